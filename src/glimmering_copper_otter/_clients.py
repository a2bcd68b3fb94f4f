"""Adapters that make the HTTP clients people use keep and send cookies
through a CookieJar: urllib, requests, httpx and aiohttp.

Every request a client sends through an adapter, redirect hops included,
carries exactly `jar.cookie_header(url)` (no Cookie header when it is empty),
and every response's Set-Cookie values go to `jar.set_cookies(values, url)`,
as the bytes received.  The client's own cookie jar is left empty and adds
nothing.  An adapter never raises because of what a response's Set-Cookie
headers hold (the jar ignores what it cannot store); an OSError of the jar's
file does go through.

None of the clients is a dependency: each adapter imports its client when it
is made.
"""

import sys

# What a jar's set_cookies may raise for content it cannot read; anything
# else (an OSError of its file) goes through.
_IGNORED = (TypeError, ValueError)


def _store_set_cookies(jar, values, url):
    if values:
        try:
            jar.set_cookies(values, url)
        except _IGNORED:
            pass


# -- urllib -----------------------------------------------------------------

def for_urllib(jar):
    """A handler for `urllib.request.build_opener(jar.for_urllib())`: it
    sets each request's Cookie header from the jar (replacing one the caller
    set) and hands each response's Set-Cookie values to the jar."""
    import urllib.request

    class CookieJarHandler(urllib.request.BaseHandler):
        # Before the error processor (1000), so that the cookies of a
        # redirect reach the jar before the next hop is made.
        handler_order = 500

        def http_request(self, request):
            header = jar.cookie_header(request.full_url)
            request.remove_header("Cookie")
            if header:
                # http.client writes str header values as Latin-1: the bytes go out unchanged.
                request.add_unredirected_header("Cookie", header.decode("latin-1"))
            return request

        def http_response(self, request, response):
            # http.client reads header values as Latin-1: encoding gives the bytes back.
            values = response.headers.get_all("Set-Cookie") or ()
            _store_set_cookies(jar, [_latin1(value) for value in values], request.full_url)
            return response

        https_request = http_request
        https_response = http_response

    return CookieJarHandler()


def _latin1(text):
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogateescape")


# -- requests ---------------------------------------------------------------

def _install_requests(jar, session):
    from requests.adapters import BaseAdapter
    from requests.cookies import RequestsCookieJar

    class EmptyCookieJar(RequestsCookieJar):
        """requests' jar for a session whose cookies live in a CookieJar: it
        takes nothing, so it sends nothing."""

        def set_cookie(self, cookie, *args, **kwargs):
            pass

        def extract_cookies(self, response, request):
            pass

    class CookieJarAdapter(BaseAdapter):
        """Wraps a transport adapter: the Cookie header of every request it
        sends is the jar's; the Set-Cookie values of every response go to
        the jar."""

        def __init__(self, inner):
            super().__init__()
            self.inner = inner
            self.cookie_jar = jar

        def send(self, request, *args, **kwargs):
            header = jar.cookie_header(request.url)
            if header:
                request.headers["Cookie"] = header.decode("latin-1")
            else:
                request.headers.pop("Cookie", None)
            response = self.inner.send(request, *args, **kwargs)
            _store_set_cookies(jar, _requests_set_cookies(response), request.url)
            return response

        def close(self):
            self.inner.close()

        def __getattr__(self, name):
            return getattr(self.__dict__["inner"], name)

    for prefix, adapter in list(session.adapters.items()):
        while getattr(adapter, "cookie_jar", None) is not None and hasattr(adapter, "inner"):
            adapter = adapter.inner  # installed before: replace, never stack
        session.mount(prefix, CookieJarAdapter(adapter))
    session.cookies = EmptyCookieJar()
    return session


def _requests_set_cookies(response):
    raw = getattr(response, "raw", None)
    headers = getattr(raw, "headers", None)
    getlist = getattr(headers, "getlist", None)
    if getlist is not None:
        values = getlist("Set-Cookie")
    else:
        original = getattr(raw, "_original_response", None)
        values = original.msg.get_all("Set-Cookie") or () if original is not None else ()
    return [_latin1(value) for value in values]


# -- httpx ------------------------------------------------------------------

def _httpx_request(jar, request, httpx):
    header = jar.cookie_header(str(request.url))
    request.headers.pop("Cookie", None)
    if not header:
        return
    if header.isascii():
        request.headers["Cookie"] = header.decode("ascii")
    else:
        # httpx encodes str header values as UTF-8; raw headers carry the bytes.
        raw = [(name, value) for name, value in request.headers.raw]
        request.headers = httpx.Headers(raw + [(b"Cookie", header)])


def _httpx_response(jar, response):
    values = [value for name, value in response.headers.raw if name.lower() == b"set-cookie"]
    _store_set_cookies(jar, values, str(response.request.url))


def _awaitable(hook):
    """An async hook that runs `hook` (an AsyncClient awaits its hooks)."""
    async def run(argument):
        hook(argument)
    return run


def _install_httpx(jar, client, httpx):
    import http.cookiejar

    class EmptyCookieJar(http.cookiejar.CookieJar):
        """httpx's jar for a client whose cookies live in a CookieJar: it
        takes nothing, so it sends nothing."""

        def set_cookie(self, cookie):
            pass

        def extract_cookies(self, response, request):
            pass

    def on_request(request):
        _httpx_request(jar, request, httpx)

    def on_response(response):
        _httpx_response(jar, response)

    if isinstance(client, httpx.AsyncClient):
        on_request, on_response = _awaitable(on_request), _awaitable(on_response)
    on_request.cookie_jar = on_response.cookie_jar = jar
    hooks = client.event_hooks
    # Installed before: replace, never stack.  Last, so that what the
    # caller's hooks do to the Cookie header is replaced too.
    hooks["request"] = [hook for hook in hooks["request"] if not hasattr(hook, "cookie_jar")]
    hooks["response"] = [hook for hook in hooks["response"] if not hasattr(hook, "cookie_jar")]
    hooks["request"].append(on_request)
    hooks["response"].append(on_response)
    client.event_hooks = hooks
    client.cookies = EmptyCookieJar()
    return client


def install(jar, target):
    """Makes a `requests.Session`, an `httpx.Client` or an `httpx.AsyncClient`
    keep and send its cookies through `jar`; returns `target`.

    Every request, redirect hops included, carries exactly the jar's Cookie
    header for its URL (a Cookie header set by the caller, or cookies passed
    with `cookies=`, are replaced), and every response's Set-Cookie values go
    to the jar.  The client's own jar is replaced by one that stays empty;
    read cookies with `jar.get(name)` or `jar.cookies(url)`.  Installing
    twice replaces the first installation.
    """
    requests = sys.modules.get("requests")
    if requests is not None and isinstance(target, requests.Session):
        return _install_requests(jar, target)
    httpx = sys.modules.get("httpx")
    if httpx is not None and isinstance(target, (httpx.Client, httpx.AsyncClient)):
        return _install_httpx(jar, target, httpx)
    raise TypeError("install() takes a requests.Session, an httpx.Client or an "
                    f"httpx.AsyncClient, not {type(target).__name__}")


# -- aiohttp ----------------------------------------------------------------

def for_aiohttp(jar):
    """An `aiohttp.abc.AbstractCookieJar` over `jar`:
    `aiohttp.ClientSession(cookie_jar=jar.for_aiohttp())`.

    Cookies for IP hosts and localhost work without `unsafe=True`.  aiohttp
    builds the Cookie header itself from what the adapter returns; the adapter
    hands it the jar's whole header as one entry, so order and same-name
    cookies are kept, with two losses: a cookie whose name or value is not
    UTF-8 is left out (aiohttp writes header values as UTF-8 text), and a
    header made only of nameless cookies is not sent.
    """
    import asyncio
    from http.cookies import Morsel, SimpleCookie
    from types import MappingProxyType

    from aiohttp.abc import AbstractCookieJar

    from glimmering_copper_otter import _rows

    def morsel(key, value, row=None):
        item = Morsel()
        # Morsel's pickling state: sets the fields without checking the name
        # against the old cookie grammar, as aiohttp does for what it sends.
        item.__setstate__({"key": key, "value": value, "coded_value": value})
        if row is not None:
            item["domain"] = row[_rows.DOMAIN]
            item["path"] = row[_rows.PATH].decode("utf-8", "replace")
            item["secure"] = row[_rows.SECURE]
            item["httponly"] = row[_rows.HTTP_ONLY]
        return item

    def text(data):
        return data.decode("utf-8", "replace")

    class AiohttpCookieJar(AbstractCookieJar):
        def __init__(self):
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
            for row in jar._rows():
                key = (row[_rows.DOMAIN], text(row[_rows.PATH]))
                found.setdefault(key, SimpleCookie())
                dict.__setitem__(found[key], text(row[_rows.NAME]),
                                 morsel(text(row[_rows.NAME]), text(row[_rows.VALUE]), row))
            return MappingProxyType(found)

        @property
        def host_only_cookies(self):
            return frozenset((row[_rows.DOMAIN], text(row[_rows.PATH]), text(row[_rows.NAME]))
                             for row in jar._rows() if row[_rows.HOST_ONLY])

        def __iter__(self):
            for row in jar._rows():
                yield morsel(text(row[_rows.NAME]), text(row[_rows.VALUE]), row)

        def __len__(self):
            return len(jar._rows())

        def clear(self, predicate=None):
            if predicate is None:
                jar.clear()
                return
            _clear_rows(jar, [row for row in jar._rows() if predicate(
                morsel(text(row[_rows.NAME]), text(row[_rows.VALUE]), row))])

        def clear_domain(self, domain):
            domain = domain.lower().lstrip(".")
            _clear_rows(jar, [row for row in jar._rows() if row[_rows.DOMAIN] == domain
                              or row[_rows.DOMAIN].endswith("." + domain)])

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
            _store_set_cookies(jar, values, str(response_url))

        def filter_cookies(self, request_url):
            found = SimpleCookie()
            header = jar.cookie_header(str(request_url))
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
                dict.__setitem__(found, name, morsel(name, rest))
            return found

    return AiohttpCookieJar()


def _utf8_pairs(header):
    for pair in header.split(b"; "):
        try:
            yield pair.decode("utf-8")
        except UnicodeDecodeError:
            pass


def _has_host(url):
    from urllib.parse import urlsplit

    try:
        return bool(urlsplit(url).hostname)
    except ValueError:
        return False


def _clear_rows(jar, doomed):
    from glimmering_copper_otter import _rows

    # clear() removes by domain, path and name (the raw bytes): a host-only
    # or partitioned twin of a doomed cookie that was not picked goes back.
    names = {(row[_rows.DOMAIN], row[_rows.PATH], row[_rows.NAME]) for row in doomed}
    picked = set(doomed)
    twins = [row for row in jar._rows()
             if (row[_rows.DOMAIN], row[_rows.PATH], row[_rows.NAME]) in names
             and row not in picked]
    for domain, path, name in names:
        jar.clear(domain=domain, path=path, name=name)
    if twins:
        jar._load_rows(twins)


# -- asyncio ----------------------------------------------------------------

async def aset_cookie(jar, raw, url, **options):
    """`jar.set_cookie(raw, url, **options)` in a worker thread: for a jar
    with a file, the write (one committed transaction) happens off the event
    loop.  The loop goes on meanwhile; the cookie is in the jar and in the
    file when the awaited call returns."""
    import asyncio

    return await asyncio.to_thread(jar.set_cookie, raw, url, **options)


async def aset_cookies(jar, values, url, **options):
    """`jar.set_cookies(values, url, **options)` in a worker thread, as
    `aset_cookie`."""
    import asyncio

    values = list(values)  # read here, not in the worker
    return await asyncio.to_thread(jar.set_cookies, values, url, **options)
