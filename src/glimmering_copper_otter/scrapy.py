"""Scrapy's cookies kept as Chromium keeps them: a downloader middleware, in
place of Scrapy's own.

    DOWNLOADER_MIDDLEWARES = {
        "scrapy.downloadermiddlewares.cookies.CookiesMiddleware": None,
        "glimmering_copper_otter.scrapy.CookiesMiddleware": 700,
    }

Each `meta["cookiejar"]` key is a named CookieJar, `str(key)` (1 and "1"
are one jar; no key is "default").  With the setting `GCO_COOKIES_PATH` the
jars live in that SQLite file, which several crawls and processes may share
(`GCO_COOKIES_KEEP_SESSION` writes session cookies to it too); without it,
in memory.  With `GCO_COOKIES_STORE`, a "postgresql://" url, they live on
that PostgreSQL server, shared by the crawl's workers on every machine
(the postgres extra; there session cookies are shared too unless
`GCO_COOKIES_KEEP_SESSION` is False; not with `GCO_COOKIES_PATH`).
`COOKIES_ENABLED`, `COOKIES_DEBUG` and `meta["dont_merge_cookies"]` mean
what they mean to Scrapy's middleware.

The middleware keeps one store (the file, or one server's store) and at most
`GCO_COOKIES_OPEN_JARS` (8) named jars of it open at once: the jar used
least recently is closed when another is needed, and opened again when its
key comes back, as its store holds it (its session cookies, which the store
does not keep, are held in memory meanwhile): thousands of keys take a
bounded number of connections and files.  A key that cannot be made into a
jar's name (its `str()` raises, or holds a lone surrogate) drops its request
with IgnoreRequest, and a warning.

Every request leaves with exactly `jar.cookie_header(request.url)` (a
hand-set Cookie header is removed first, as Scrapy's middleware removes it),
and every response's Set-Cookie values go to `jar.set_cookies(values, url)`
(written behind on a server's jar, off the reactor's thread) as the bytes
received, redirects through Scrapy's redirect middleware
included.  `Request(cookies=...)` is stored as Scrapy stores it: as if a
response from the request's URL had set each cookie (its path and domain
when given; Secure unless given otherwise on https).
"""

from __future__ import annotations

import logging
from collections import OrderedDict
from typing import TYPE_CHECKING, Any

from glimmering_copper_otter import rows
from glimmering_copper_otter.clients._common import store_set_cookies

if TYPE_CHECKING:
    import os

    from glimmering_copper_otter.jar import CookieJar

logger = logging.getLogger(__name__)


class CookiesMiddleware:
    """The downloader middleware; `jar(key)` is the CookieJar of a
    `meta["cookiejar"]` key (opened when asked for), `jars` those open now by
    name, least recently used first."""

    def __init__(self, path: str | os.PathLike[str] | None = None, *, store: str | None = None,
                 keep_session_cookies: bool | None = None, debug: bool = False,
                 open_jars: int = 8) -> None:
        if path is not None and store is not None:
            raise ValueError("the jars are kept in a file (GCO_COOKIES_PATH) or on a server "
                             "(GCO_COOKIES_STORE), not both")
        if store is not None and (type(store) is not str or not store.startswith(
                ("postgresql://", "postgres://"))):
            raise ValueError(f"GCO_COOKIES_STORE is a postgresql:// url, not {store!r}")
        if type(open_jars) is not int or open_jars < 1:
            raise ValueError(f"GCO_COOKIES_OPEN_JARS is a number of jars >= 1, not {open_jars!r}")
        self.path = path
        self.store = store
        self.keep_session_cookies = keep_session_cookies
        self.debug = debug
        self.open_jars = open_jars
        self.jars: OrderedDict[str, CookieJar] = OrderedDict()
        self.crawler: Any = None
        # The session cookies of the named jars closed meanwhile, by name.
        self._sessions: dict[str, list[tuple]] = {}
        # The middleware's one store, opened (and so checked) now: the named
        # jars are its for_jar(name).
        self._store: Any = None
        if path is not None:
            from glimmering_copper_otter.stores.sqlite import SqliteStore

            self._store = SqliteStore(path, keep_session_cookies=bool(keep_session_cookies))
        elif store is not None:
            from glimmering_copper_otter.stores.postgres import PostgresStore

            self._store = PostgresStore(store,
                                        keep_session_cookies=keep_session_cookies is not False)
        if self._store is not None:  # a server's jars keep them by default
            self.keep_session_cookies = self._store.keep_session_cookies

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
                         debug=settings.getbool("COOKIES_DEBUG"),
                         open_jars=settings.getint("GCO_COOKIES_OPEN_JARS", 8))
        middleware.crawler = crawler
        crawler.signals.connect(middleware.close, signal=signals.spider_closed)
        return middleware

    def jar(self, key: object = None) -> CookieJar:
        """The CookieJar named str(key) ("default" for None)."""
        name = "default" if key is None else str.__str__(str(key))
        jar = self.jars.get(name)
        if jar is not None:
            self.jars.move_to_end(name)
            return jar
        # The middleware makes its jars, from the jar's public face.
        from glimmering_copper_otter.jar import CookieJar

        if self._store is None:
            jar = CookieJar()
        else:
            store = self._store.for_jar(name)
            try:
                jar = CookieJar(store=store)
                held = self._sessions.pop(name, None)
                if held:
                    # What another process set meanwhile under a key wins.
                    jar.load_rows([row for row in held if rows.key(row) not in jar])
            except BaseException:
                store.close()
                raise
            while len(self.jars) >= self.open_jars:
                self._close_least_used()
        self.jars[name] = jar
        return jar

    def _close_least_used(self):
        name, jar = self.jars.popitem(last=False)
        if not self.keep_session_cookies:
            held = [row for row in jar.rows() if not row[rows.PERSISTENT]]
            if held:
                self._sessions[name] = held
        jar.close()

    def close(self) -> None:
        """Closes the jars' file or connections (at the end of the crawl)."""
        while self.jars:
            self.jars.popitem()[1].close()
        if self._store is not None:
            self._store.close()

    def _jar_of(self, request):
        """The jar of a request's key, or None (logged) for a key that names
        no jar."""
        key = request.meta.get("cookiejar")
        try:
            name = None if key is None else str.__str__(str(key))
        except Exception as error:  # noqa: BLE001  the key's own __str__
            reason = f"str() of the key raised {type(error).__name__}"
        else:
            try:
                return self.jar(name)
            except UnicodeEncodeError:
                reason = "the key holds a lone surrogate"
            except ValueError as error:
                if self._store is None:
                    raise
                reason = str(error)
        logger.warning("Request %s dropped: its meta['cookiejar'] names no jar (%s)",
                       request, reason, extra={"spider": getattr(self.crawler, "spider", None)})
        return None

    def process_request(self, request: Any) -> None:
        if request.meta.get("dont_merge_cookies", False):
            return None
        jar = self._jar_of(request)
        if jar is None:
            from scrapy.exceptions import IgnoreRequest

            raise IgnoreRequest("meta['cookiejar'] names no jar")
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
        jar = self._jar_of(request)
        if jar is None:
            return response
        store_set_cookies(jar, response.headers.getlist("Set-Cookie"), request.url, behind=True)
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
