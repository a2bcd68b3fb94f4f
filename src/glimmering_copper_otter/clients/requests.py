"""The requests adapter: `jar.install(requests.Session())`.

Every transport adapter of the session is wrapped: the Cookie field of each
request it sends (redirect hops included) is the jar's header, after a
hand-set Cookie header (the first hop only) and before the call's own
`cookies=` (on hops to its host only); each response's Set-Cookie values go
to the jar.  `session.cookies` is a `RequestsCookieJar` over the jar.
"""

import contextvars
import sys
from http.cookiejar import CookieJar

from requests.adapters import BaseAdapter
from requests.cookies import RequestsCookieJar, merge_cookies

from glimmering_copper_otter.clients._common import latin1, store_set_cookies
from glimmering_copper_otter.clients._records import standard_cookie
from glimmering_copper_otter.clients._view import CookieView, Extra, matching, pairs_of

# What the call under way (Session.request) adds to the jar's cookies.
_EXTRA: contextvars.ContextVar = contextvars.ContextVar("glimmering_copper_otter.requests")


# requests copies the session's jar into a new one for every request and
# redirect hop (merge_cookies); a copy made there is left empty, since
# the adapter sends the jar's cookies itself.  Anywhere else, iterating
# gives the cookies.
merge_code = merge_cookies.__code__

class SessionCookies(CookieView, RequestsCookieJar):  # type: ignore[misc]  # the view's own set/update
    """requests' cookie jar for a session whose cookies live in a
    CookieJar: reading and writing it reads and writes the jar."""

    def __init__(self, jar):
        RequestsCookieJar.__init__(self)
        self._cookie_jar = jar

    def __iter__(self):
        caller = sys._getframe(1)
        if caller.f_code is merge_code or (caller.f_back is not None and
                                           caller.f_back.f_code is merge_code):
            return iter(())
        # Every cookie the jar holds, as len() counts them, a partitioned
        # one too (Partitioned among its nonstandard attributes).
        return iter([standard_cookie(record) for record in self._cookie_jar.cookies()])

    def __len__(self):
        return len(self._cookie_jar)

    def set_cookie(self, cookie, *args, **kwargs):
        """Stores an http.cookiejar.Cookie, as set by a response from its
        site (a cookie of no domain raises ValueError)."""
        source = CookieJar()
        source.set_cookie(cookie)
        self.update(source)

    def extract_cookies(self, response, request):
        pass  # the adapter hands each response's Set-Cookie values to the jar

    def clear(self, domain=None, path=None, name=None):
        CookieView.clear(self, domain, path, name)

    def clear_session_cookies(self):
        self._cookie_jar.clear_session_cookies()

    def clear_expired_cookies(self):
        self._cookie_jar.clear_expired()

    def get_dict(self, domain=None, path=None):
        found = {}
        for record in reversed(matching(self._cookie_jar, None, domain, path)):
            found[record.name] = record.value  # the one sent first wins
        return found

    def copy(self):
        copied = RequestsCookieJar()
        copied.update(self)
        return copied

    def __getstate__(self):
        raise TypeError("a session's cookies over a CookieJar do not pickle: pickle the "
                        "jar's to_json() instead")

    def __repr__(self):
        return f"<SessionCookies over {self._cookie_jar!r}>"

class CookieJarAdapter(BaseAdapter):
    """Wraps a transport adapter: the Cookie field of every request it
    sends is the jar's (with the call's own, see the module); the
    Set-Cookie values of every response go to the jar."""

    def __init__(self, inner, jar):
        super().__init__()
        self.inner = inner
        self.cookie_jar = jar

    def send(self, request, *args, **kwargs):
        jar = self.cookie_jar
        header = jar.cookie_header(request.url)
        extra = _EXTRA.get(None)
        if extra is not None and extra.jar is jar:
            header = extra.extra.header(header, request.url)
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


class _Call:
    __slots__ = ("jar", "extra")

    def __init__(self, jar, extra):
        self.jar, self.extra = jar, extra


def install(jar, session):
    """Makes the session keep and send its cookies through the jar; returns
    the session.  Installing twice replaces the first installation."""
    for prefix, adapter in list(session.adapters.items()):
        while getattr(adapter, "cookie_jar", None) is not None and hasattr(adapter, "inner"):
            adapter = adapter.inner  # installed before: replace, never stack
        session.mount(prefix, CookieJarAdapter(adapter, jar))
    session.cookies = SessionCookies(jar)
    request = getattr(session.request, "__wrapped__", session.request)

    def request_through_jar(method, url, *args, cookies=None, headers=None, **kwargs):
        # The call's own cookies and a hand-set Cookie header: sent by the
        # adapter, never copied into the session or stored.
        hand_set = None
        if headers:
            headers = dict(headers)
            for name in [name for name in headers if name.lower() == "cookie"]:
                value = headers.pop(name)
                hand_set = value if isinstance(value, bytes) else latin1(value)
        extra = Extra(hand_set, pairs_of(cookies), url)
        token = _EXTRA.set(_Call(jar, extra))
        try:
            return request(method, url, *args, headers=headers, **kwargs)
        finally:
            _EXTRA.reset(token)

    request_through_jar.__wrapped__ = request
    request_through_jar.cookie_jar = jar
    session.request = request_through_jar
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
