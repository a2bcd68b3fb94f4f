"""The requests adapter: `jar.install(requests.Session())`."""

from glimmering_copper_otter.clients import latin1, store_set_cookies


def install(jar, session):
    """Wraps every transport adapter of the session so that each request it
    sends carries the jar's Cookie header and each response's Set-Cookie
    values go to the jar; the session's own jar stays empty.  Installing
    twice replaces the first installation."""
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
            store_set_cookies(jar, _set_cookies(response), request.url)
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


def _set_cookies(response):
    raw = getattr(response, "raw", None)
    headers = getattr(raw, "headers", None)
    getlist = getattr(headers, "getlist", None)
    if getlist is not None:
        values = getlist("Set-Cookie")
    else:
        original = getattr(raw, "_original_response", None)
        values = original.msg.get_all("Set-Cookie") or () if original is not None else ()
    return [latin1(value) for value in values]
