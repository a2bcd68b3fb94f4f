"""The curl_cffi adapter: `jar.install(curl_cffi.requests.Session())` or an
`AsyncSession`.

libcurl follows redirects inside one transfer, with its own cookie engine and
no hook per hop, so the adapter follows them itself: every hop is one
`request(..., allow_redirects=False)` of the session, and between hops it
applies what libcurl would: which responses redirect (a 3xx with a
Location, resolved as libcurl resolves it), how the method and the body
change (301 and 302 turn a POST into a GET, 303 anything but GET and HEAD,
307 and 308 keep both; a custom method is kept on every hop, dropped where
the code changes the method with `CurlFollow.OBEYCODE`, kept on the first
hop only with `CurlFollow.FIRSTONLY`), `max_redirects` (then
`TooManyRedirects`, with the last response) and `history`.  Like libcurl,
it sends the session's `params` on the first hop only, and `auth` and an
Authorization header only to the first hop's scheme, host and port.

Each hop's Cookie field is the jar's header for the URL curl_cffi requests
(after a hand-set Cookie header, first hop only, and before the call's own
`cookies=`, on hops to its host only), given to libcurl as CURLOPT_COOKIE so
that its bytes go out as they are; each hop's Set-Cookie values go to the jar
(unless `discard_cookies`).  curl's cookie engine is handed no cookie, so
impersonation adds none.  `session.cookies` is a `curl_cffi.requests.Cookies`
over the jar.
"""

import contextvars
import inspect
from urllib.parse import urljoin, urlsplit

from curl_cffi.const import CurlECode, CurlFollow, CurlOpt
from curl_cffi.requests import AsyncSession, Cookies, Headers
from curl_cffi.requests.exceptions import InvalidSchema, TooManyRedirects

from glimmering_copper_otter.clients._common import store_set_cookies
from glimmering_copper_otter.clients._view import CookieView, Extra, matching, pairs_of

# The hop under way in this thread or task (a _Hop), read by the objects the
# adapter puts on the session while curl_cffi sets up the transfer.
_HOP: contextvars.ContextVar = contextvars.ContextVar("glimmering_copper_otter.curl_cffi")

# The arguments that make a request's body.
_BODY = ("data", "content", "json", "files", "multipart")


class _Hop:
    __slots__ = ("cookies", "options", "extra", "hidden", "header")

    def __init__(self, cookies, options, extra, hidden):
        self.cookies = cookies
        self.options = options
        self.extra = extra
        self.hidden = hidden  # session attributes libcurl would not send on this hop
        self.header = b""


class _Method:
    """The method and body of each hop, as libcurl changes them."""

    __slots__ = ("custom", "kind", "body")

    def __init__(self, method, has_body):
        # libcurl's own request kinds: POST whenever a body is set, HEAD
        # without a body; any other method is a custom one it sends by name.
        self.kind = "HEAD" if method == "HEAD" else (
            "POST" if has_body or method in ("POST", "PUT", "PATCH") else "GET")
        self.custom = None if method in ("GET", "POST") and not (method == "GET" and has_body) \
            else method
        self.body = has_body

    @property
    def method(self):
        return self.custom or self.kind

    def redirect(self, code, follow):
        switched = (code in (301, 302) and self.kind == "POST"
                    or code == 303 and self.kind not in ("GET", "HEAD"))
        if switched:
            self.kind, self.body = "GET", False
        if follow == CurlFollow.FIRSTONLY or follow == CurlFollow.OBEYCODE and switched:
            self.custom = None


def _origin(url):
    parts = urlsplit(url)
    port = parts.port or {"http": 80, "https": 443}.get(parts.scheme)
    return parts.scheme, (parts.hostname or "").lower(), port


def _set_cookies(response):
    return [value for name, value in response.headers.raw
            if name.lower() == b"set-cookie" and value is not None]


class SessionCookies(CookieView, Cookies):  # type: ignore[misc]  # the view's own set/update
    """curl_cffi's cookies for a session whose cookies live in a
    CookieJar: reading and writing them reads and writes the jar.
    Iterating gives the names, as Cookies does."""

    def __init__(self, jar):
        Cookies.__init__(self)  # its own jar: empty, and kept so
        self._cookie_jar = jar

    def __iter__(self):
        return iter([record.name for record in self._cookie_jar.cookies()])

    def __bool__(self):
        # curl_cffi asks for the cookies of a transfer only when this is
        # true: during a hop of this session, always.
        hop = _HOP.get(None)
        return hop is not None and hop.cookies is self or len(self._cookie_jar) > 0

    def get_cookies_for_curl(self, request):
        # Called with the URL curl_cffi is about to request: the hop's
        # Cookie field is made here.  curl's engine gets no cookie.
        hop = _HOP.get(None)
        if hop is not None and hop.cookies is self:
            url = request.url
            hop.header = hop.extra.header(self._cookie_jar.cookie_header(url), url)
        return []

    def update_cookies_from_curl(self, morsels):
        pass  # the adapter hands each hop's Set-Cookie values to the jar

    def update_cookies_from_curl_changes(self, changes):
        pass

    def set(self, name, value, domain="", path="/", secure=False, **attributes):
        return CookieView.set(self, name, value, domain or None, path, secure=secure,
                              **attributes)

    def delete(self, name, domain=None, path=None):
        self._remove(matching(self._cookie_jar, name, domain, path))

    def get_dict(self, domain=None, path=None):
        found = {}
        for record in reversed(matching(self._cookie_jar, None, domain, path)):
            found[record.name] = record.value  # the one sent first wins
        return found

    def __getstate__(self):
        raise TypeError("a session's cookies over a CookieJar do not pickle: pickle the "
                        "jar's to_json() instead")

    def __repr__(self):
        return f"<SessionCookies over {self._cookie_jar!r}>"

class CurlOptions(dict):
    """The session's curl_options, with the hop's Cookie field as
    CURLOPT_COOKIE (curl_cffi sets these last)."""

    __slots__ = ("hand_set",)

    def __bool__(self):
        hop = _HOP.get(None)
        return hop is not None and hop.options is self or dict.__len__(self) > 0

    def items(self):
        items = list(dict.items(self))
        hop = _HOP.get(None)
        if hop is not None and hop.options is self and hop.header:
            items.append((CurlOpt.COOKIE, hop.header))
        return items


class _Hidden:
    """Session params or auth that read as empty on the hops where libcurl
    would not send them (curl_cffi adds them to a request when they are
    true)."""

    __slots__ = ()

    def __bool__(self):
        hop = _HOP.get(None)
        if hop is not None and any(item is self for item in hop.hidden):
            return False
        return len(self) > 0


class _HiddenDict(_Hidden, dict):
    __slots__ = ()


class _HiddenList(_Hidden, list):
    __slots__ = ()


class _HiddenTuple(_Hidden, tuple):
    __slots__ = ()


_HIDDEN = {dict: _HiddenDict, list: _HiddenList, tuple: _HiddenTuple}


def _hidden(value):
    """The session's params or auth as an equal object that reads as empty on
    the hops where libcurl would not send it (itself when it is one)."""
    if isinstance(value, _Hidden):
        return value
    hidden = _HIDDEN.get(type(value))
    return value if hidden is None else hidden(value)


def install(jar, session):
    """Makes the session send every hop's cookies from the jar and store
    every hop's Set-Cookie values in it, following redirects itself; returns
    the session.  Installing twice replaces the first installation."""
    cookies = SessionCookies(jar)
    # The setter of session.cookies copies what it is given into a plain
    # Cookies, and curl_cffi (0.17) has no public way to give a session a
    # Cookies object of its own: the session's attribute takes the one over
    # the jar.
    session._cookies = cookies
    request = getattr(session.request, "__wrapped__", session.request)
    signature = inspect.signature(request)

    def prepare(method, url, args, kwargs):
        """The call's hops: what stays, and the state that changes."""
        if args:
            kwargs = signature.bind(method, url, *args, **kwargs).arguments
            method, url = kwargs.pop("method"), kwargs.pop("url")
        options = session.curl_options
        if not isinstance(options, CurlOptions):
            options = session.curl_options = CurlOptions(options or {})
            options.hand_set = None
        if session.headers and "cookie" in session.headers:
            # libcurl sends no CURLOPT_COOKIE beside a Cookie header: the
            # session's is sent as a hand-set one, by the adapter.
            options.hand_set = _cookie_field(session.headers, drop=True)
        for name in ("params", "auth"):
            value = getattr(session, name)
            if value:
                setattr(session, name, _hidden(value))
        headers = Headers(kwargs.pop("headers", None))
        hand_set = _cookie_field(headers, drop=True) or options.hand_set
        extra = Extra(hand_set, pairs_of(kwargs.pop("cookies", None)), url)
        follow = kwargs.pop("allow_redirects", None)
        follow = session.allow_redirects if follow is None else follow
        # SAFE follows as ALL does (the adapter refuses every scheme but
        # http and https).
        follow = (CurlFollow.ALL if follow == "safe" or follow == CurlFollow.SAFE
                  else int(follow)) if follow else 0
        limit = kwargs.pop("max_redirects", None)
        limit = session.max_redirects if limit is None else limit
        discard = kwargs.get("discard_cookies") or session.discard_cookies
        state = _Method(str(method).upper(), any(kwargs.get(name) is not None
                                                 for name in _BODY))
        return url, kwargs, headers, extra, follow, limit, discard, state, options

    def hop_arguments(number, first, url, kwargs, headers, state):
        """The arguments of hop `number` to url, and what the session must
        not add to it."""
        arguments = dict(kwargs)
        hidden = ()
        if number:
            arguments.pop("params", None)
            arguments["quote"] = False  # the URL as libcurl resolved it
            hidden = (session.params,)
            if _origin(url) != first:
                # Credentials go to the first hop's origin only.
                arguments.pop("auth", None)
                headers = Headers(headers)
                headers["Authorization"] = None
                hidden = (session.params, session.auth)
            if not state.body:
                for name in _BODY:
                    arguments.pop(name, None)
        arguments["headers"] = headers
        return state.method, arguments, hidden

    def after(response, url, discard):
        if not discard:
            store_set_cookies(jar, _set_cookies(response), response.url or url,
                              isinstance(session, AsyncSession))
        if not 300 <= response.status_code < 400:
            return None
        # libcurl resolves the Location at the end of a transfer: a streamed
        # response has it from its header.
        location = response.headers.get("location")
        return response.redirect_url or (urljoin(response.url or url, location)
                                         if location else None)

    def hops(method, url, args, kwargs):
        """The call's hops: yields (the response to close first or None, the
        hop's method, url, arguments and _Hop), is sent each response;
        returns the last one."""
        url, kwargs, headers, extra, follow, limit, discard, state, options = prepare(
            method, url, args, kwargs)
        first, history, stale = _origin(url), [], None
        while True:
            method, arguments, hidden = hop_arguments(len(history), first, url, kwargs,
                                                      headers, state)
            response = yield stale, method, url, arguments, _Hop(cookies, options, extra, hidden)
            target = after(response, url, discard)
            if target is None or not follow:
                if history:
                    response.history = history
                    response.redirect_count = len(history)
                    response.elapsed = sum((item.elapsed for item in history), response.elapsed)
                return response
            if 0 <= limit <= len(history):
                raise TooManyRedirects(f"Maximum ({limit}) redirects followed",
                                       CurlECode.TOO_MANY_REDIRECTS, response)
            refused = _refused_redirect(target)
            if refused is not None:
                raise InvalidSchema(refused, CurlECode.UNSUPPORTED_PROTOCOL, response)
            stale = response if kwargs.get("stream") else None
            history.append(response)
            state.redirect(response.status_code, follow)
            url = target

    if isinstance(session, AsyncSession):
        async def request_through_jar(method, url, *args, **kwargs):
            walk = hops(method, url, args, kwargs)
            step = next(walk)
            while True:
                stale, method, url, arguments, hop = step
                if stale is not None:
                    await stale.aclose()
                token = _HOP.set(hop)
                try:
                    response = await request(method, url, allow_redirects=False, **arguments)
                finally:
                    _HOP.reset(token)
                try:
                    step = walk.send(response)
                except StopIteration as done:
                    return done.value
    else:
        def request_through_jar(method, url, *args, **kwargs):  # type: ignore[misc]
            walk = hops(method, url, args, kwargs)
            step = next(walk)
            while True:
                stale, method, url, arguments, hop = step
                if stale is not None:
                    stale.close()
                token = _HOP.set(hop)
                try:
                    response = request(method, url, allow_redirects=False, **arguments)
                finally:
                    _HOP.reset(token)
                try:
                    step = walk.send(response)
                except StopIteration as done:
                    return done.value

    request_through_jar.__wrapped__ = request
    request_through_jar.cookie_jar = jar
    session.request = request_through_jar
    return session


# The schemes libcurl knows; a redirect follows http and https only (curl
# alone also follows ftp and ftps; the adapter, whose hops carry cookies,
# does not).
_KNOWN_SCHEMES = frozenset(
    "dict file ftp ftps gopher gophers http https imap imaps ldap ldaps mqtt pop3 pop3s rtmp "
    "rtmpe rtmps rtmpt rtmpte rtmpts rtsp scp sftp smb smbs smtp smtps telnet tftp ws "
    "wss".split())


def _refused_redirect(target):
    """curl's message for a redirect to target that it does not follow, or
    None."""
    scheme = target.partition(":")[0].lower() if ":" in target else ""
    if scheme in ("http", "https"):
        return None
    why = (f'Protocol "{scheme}" is disabled (in redirect)' if scheme in _KNOWN_SCHEMES
           else "The redirect target URL could not be parsed: Unsupported URL scheme")
    return (f"Failed to perform, curl: (1) {why}. See "
            "https://curl.se/libcurl/c/libcurl-errors.html first for more details.")


def _cookie_field(headers, drop):
    """The bytes of the Cookie header in curl_cffi Headers (None without
    one), taken out of them when drop."""
    values = [value for name, value in headers.raw
              if name.lower() == b"cookie" and value is not None]
    if drop and "cookie" in headers:
        del headers["cookie"]
    return b"; ".join(values) if values else None
