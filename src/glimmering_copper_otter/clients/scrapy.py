"""Scrapy's cookies kept as Chromium keeps them: a downloader middleware, in
place of Scrapy's own.

    DOWNLOADER_MIDDLEWARES = {
        "scrapy.downloadermiddlewares.cookies.CookiesMiddleware": None,
        "glimmering_copper_otter.clients.scrapy.CookiesMiddleware": 700,
    }

Each `meta["cookiejar"]` key is a named CookieJar, `str(key)` (1 and "1"
are one jar; no key is "default").  With the setting `GCO_COOKIES_PATH` the
jars live in that SQLite file, which several crawls and processes may share
(`GCO_COOKIES_KEEP_SESSION` writes session cookies to it too); without it,
in memory.  With `GCO_COOKIES_STORE`, a "postgresql://" url, they live on
that PostgreSQL server, shared by the crawl's workers on every machine
(the postgres extra; there session cookies are shared too unless
`GCO_COOKIES_KEEP_SESSION` is False; not with `GCO_COOKIES_PATH`).  `COOKIES_ENABLED`, `COOKIES_DEBUG` and
`meta["dont_merge_cookies"]` mean what they mean to Scrapy's middleware.

Every request leaves with exactly `jar.cookie_header(request.url)` (a
hand-set Cookie header is removed first, as Scrapy's middleware removes it),
and every response's Set-Cookie values go to `jar.set_cookies(values, url)`
as the bytes received, redirects through Scrapy's redirect middleware
included.  `Request(cookies=...)` is stored as Scrapy stores it: as if a
response from the request's URL had set each cookie (its path and domain
when given; Secure unless given otherwise on https).
"""

from __future__ import annotations

import logging
from typing import TYPE_CHECKING, Any

from glimmering_copper_otter.clients import store_set_cookies

if TYPE_CHECKING:
    import os

    from glimmering_copper_otter.jar import CookieJar

logger = logging.getLogger(__name__)


class CookiesMiddleware:
    """The downloader middleware; `jar(key)` is the CookieJar of a
    `meta["cookiejar"]` key (made when first asked for), `jars` those made
    so far by name."""

    def __init__(self, path: str | os.PathLike[str] | None = None, *, store: str | None = None,
                 keep_session_cookies: bool | None = None, debug: bool = False) -> None:
        if path is not None and store is not None:
            raise ValueError("the jars are kept in a file (GCO_COOKIES_PATH) or on a server "
                             "(GCO_COOKIES_STORE), not both")
        if store is not None and (type(store) is not str or not store.startswith(
                ("postgresql://", "postgres://"))):
            raise ValueError(f"GCO_COOKIES_STORE is a postgresql:// url, not {store!r}")
        self.path = path
        self.store = store
        self.keep_session_cookies = keep_session_cookies
        self.debug = debug
        self.jars: dict[str, CookieJar] = {}
        self.crawler: Any = None

    @classmethod
    def from_crawler(cls, crawler: Any) -> CookiesMiddleware:
        from scrapy import signals
        from scrapy.exceptions import NotConfigured

        settings = crawler.settings
        if not settings.getbool("COOKIES_ENABLED"):
            raise NotConfigured
        middleware = cls(settings.get("GCO_COOKIES_PATH"), store=settings.get("GCO_COOKIES_STORE"),
                         keep_session_cookies=None if settings.get("GCO_COOKIES_KEEP_SESSION")
                         is None else settings.getbool("GCO_COOKIES_KEEP_SESSION"),
                         debug=settings.getbool("COOKIES_DEBUG"))
        middleware.crawler = crawler
        crawler.signals.connect(middleware.close, signal=signals.spider_closed)
        return middleware

    def jar(self, key: object = None) -> CookieJar:
        """The CookieJar named str(key) ("default" for None)."""
        name = "default" if key is None else str(key)
        jar = self.jars.get(name)
        if jar is None:
            # The middleware makes its jars, from the jar's public face.
            from glimmering_copper_otter.jar import CookieJar

            if self.path is not None or self.store is not None:
                jar = CookieJar(self.path, store=self.store, name=name,
                                keep_session_cookies=self.keep_session_cookies)
            else:
                jar = CookieJar()
            self.jars[name] = jar
        return jar

    def close(self) -> None:
        """Closes the jars' file or connections (at the end of the crawl)."""
        for jar in self.jars.values():
            jar.close()

    def process_request(self, request: Any) -> None:
        if request.meta.get("dont_merge_cookies", False):
            return None
        jar = self.jar(request.meta.get("cookiejar"))
        if request.cookies:
            store_set_cookies(jar, self._request_cookies(request), request.url)
        request.headers.pop("Cookie", None)
        header = jar.cookie_header(request.url)
        if header:
            request.headers["Cookie"] = header
        if self.debug:
            self._log("Sending cookies to: %s", request, "Cookie", request.headers)
        return None

    def process_response(self, request: Any, response: Any) -> Any:
        if request.meta.get("dont_merge_cookies", False):
            return response
        jar = self.jar(request.meta.get("cookiejar"))
        store_set_cookies(jar, response.headers.getlist("Set-Cookie"), request.url)
        if self.debug:
            self._log("Received cookies from: %s", response, "Set-Cookie", response.headers)
        return response

    def _log(self, message, subject, field, headers):
        # The lines Scrapy's middleware logs, for tools that read them.
        lines = [value.decode("utf-8", "replace") for value in headers.getlist(field)]
        if lines:
            text = "\n".join(f"{field}: {line}\n" for line in lines)
            spider = getattr(self.crawler, "spider", None)
            logger.debug(f"{message % subject}\n{text}", extra={"spider": spider})

    @staticmethod
    def _request_cookies(request):
        """Request.cookies (a mapping of names to values, or a list of dicts
        with name, value and maybe path, domain and secure) as Set-Cookie
        values."""
        cookies = request.cookies
        if isinstance(cookies, dict):
            cookies = [{"name": name, "value": value} for name, value in cookies.items()]
        https = request.url.startswith("https:")
        values = []
        for cookie in cookies:
            if cookie.get("name") is None or cookie.get("value") is None:
                logger.warning("Invalid cookie found in request %s: %s (%r is missing)",
                               request, cookie, "name" if cookie.get("name") is None
                               else "value")
                continue
            value = _text(cookie["name"]) + b"=" + _text(cookie["value"])
            for attribute in ("path", "domain"):
                if cookie.get(attribute) is not None:
                    value += b"; " + attribute.capitalize().encode() + b"=" + _text(
                        cookie[attribute])
            if cookie.get("secure", https):
                value += b"; Secure"
            values.append(value)
        return values


def _text(value):
    """A part of a cookie given to a Request, as bytes (str as UTF-8)."""
    if isinstance(value, bytes):
        return value
    return str(value).encode("utf-8", "surrogateescape")
