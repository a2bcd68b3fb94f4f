"""The aiohttp adapter: `aiohttp.ClientSession(cookie_jar=jar.for_aiohttp())`."""

import asyncio
from http.cookies import Morsel, SimpleCookie
from types import MappingProxyType
from urllib.parse import urlsplit

from aiohttp.abc import AbstractCookieJar

from glimmering_copper_otter.clients._common import store_set_cookies


def _morsel(key, value, record=None):
    item = Morsel()
    # Morsel's pickling state: sets the fields without checking the name
    # against the old cookie grammar, as aiohttp does for what it sends.
    item.__setstate__({"key": key, "value": value, "coded_value": value})
    if record is not None:
        item["domain"] = record.domain
        item["path"] = record.path
        item["secure"] = record.secure
        item["httponly"] = record.http_only
    return item


def _of(record):
    return _morsel(record.name, record.value, record)


class AiohttpCookieJar(AbstractCookieJar):
    """An `aiohttp.abc.AbstractCookieJar` over a CookieJar, `cookie_jar`.

    Cookies for IP hosts and localhost work without `unsafe=True`.  aiohttp
    builds the Cookie header itself from what the adapter returns; the adapter
    hands it the jar's whole header as one entry, so order and same-name
    cookies are kept, with two losses: a cookie whose name or value is not
    UTF-8 is left out (aiohttp writes header values as UTF-8 text), and a
    header made only of nameless cookies is not sent.
    """

    def __init__(self, jar):
        # No call to the base initializer: it wants a running loop, which
        # this jar never uses.
        try:
            self._loop = asyncio.get_running_loop()
        except RuntimeError:
            self._loop = None
        self.cookie_jar = jar

    @property
    def unsafe(self):
        return True

    @property
    def quote_cookie(self):
        return True

    @property
    def cookies(self):
        found = {}
        for record in self.cookie_jar.cookies():
            cookies = found.setdefault((record.domain, record.path), SimpleCookie())
            dict.__setitem__(cookies, record.name, _of(record))
        return MappingProxyType(found)

    @property
    def host_only_cookies(self):
        return frozenset((record.domain, record.path, record.name)
                         for record in self.cookie_jar.cookies() if record.host_only)

    def __iter__(self):
        for record in self.cookie_jar.cookies():
            yield _of(record)

    def __len__(self):
        return len(self.cookie_jar)

    def _remove_where(self, picked):
        # Each cookie named exactly (its partition too): a same-name twin
        # that was not picked stays.
        for record, details in self.cookie_jar.cookies(details=True):
            if picked(record):
                self.cookie_jar.remove((record, details))

    def clear(self, predicate=None):
        if predicate is None:
            self.cookie_jar.clear()
            return
        self._remove_where(lambda record: predicate(_of(record)))

    def clear_domain(self, domain):
        domain = domain.lower().lstrip(".")
        self._remove_where(lambda record: record.domain == domain
                           or record.domain.endswith("." + domain))

    def update_cookies(self, cookies, response_url=None):
        items = cookies.items() if hasattr(cookies, "items") else cookies
        values = []
        for name, value in items:
            if isinstance(value, Morsel):
                values.append(value.OutputString())
            else:
                values.append(f"{name}={value}")
        if not values:
            return
        url = str(response_url) if response_url is not None else ""
        if not _has_host(url):
            raise ValueError("a cookie needs the URL it came from: "
                             "use jar.set_cookie(header, url)")
        self.update_cookies_from_headers(values, response_url)

    def update_cookies_from_headers(self, headers, response_url):
        # aiohttp reads header values as UTF-8 with surrogate escapes:
        # encoding the same way gives the bytes received.
        values = [value.encode("utf-8", "surrogateescape") for value in headers]
        store_set_cookies(self.cookie_jar, values, str(response_url), behind=True)

    def filter_cookies(self, request_url):
        found = SimpleCookie()
        header = self.cookie_jar.cookie_header(str(request_url))
        if not header:
            return found
        try:
            header = header.decode("utf-8")
        except UnicodeDecodeError:
            header = "; ".join(_utf8_pairs(header))
        name, equals, rest = header.partition("=")
        if equals:
            # One entry whose name is the first cookie's and whose value
            # is the rest of the header: aiohttp writes it as "name=rest".
            dict.__setitem__(found, name, _morsel(name, rest))
        return found


def cookie_jar(jar):
    """An `aiohttp.abc.AbstractCookieJar` over `jar` (see AiohttpCookieJar)."""
    return AiohttpCookieJar(jar)


def _utf8_pairs(header):
    for pair in header.split(b"; "):
        try:
            yield pair.decode("utf-8")
        except UnicodeDecodeError:
            pass


def _has_host(url):
    try:
        return bool(urlsplit(url).hostname)
    except ValueError:
        return False
