"""What the adapters of httpx and of its fork httpx2 share (one family,
one API): `clients.httpx` and `clients.httpx2` give it their module.

Event hooks set the Cookie field of each request (redirect hops included):
the jar's header, after a hand-set Cookie header (the first hop only) and
before the call's own `cookies=` (on hops to its host only); and hand each
response's Set-Cookie values to the jar.  `client.cookies` is the family's
`Cookies` over the jar, whose own store stays empty, so the copies the
client makes of it for every request are empty.
"""

from glimmering_copper_otter.clients._common import store_set_cookies
from glimmering_copper_otter.clients._view import CookieView, Extra, matching, pairs_of

# The request extension that carries what a call adds to the jar's cookies
# (httpx hands a request's extensions on to its redirect hops).
_KEY = "glimmering_copper_otter.cookies"


class CookiesOverJar(CookieView):
    """A family's Cookies for a client whose cookies live in a CookieJar:
    reading and writing them reads and writes the jar.  Iterating gives
    the names, as Cookies does.  Put before the family's Cookies class."""

    def __iter__(self):
        return iter([record.name for record in self._cookie_jar.cookies()])

    def set(self, name, value, domain="", path="/", **attributes):
        return CookieView.set(self, name, value, domain or None, path, **attributes)

    def delete(self, name, domain=None, path=None):
        self._remove(matching(self._cookie_jar, name, domain, path))

    def extract_cookies(self, response):
        pass  # the response hook hands Set-Cookie values to the jar

    def set_cookie_header(self, request):
        pass  # the request hook sets the Cookie field

    def __repr__(self):
        return f"<{type(self).__name__} over {self._cookie_jar!r}>"


def _on_request(jar, request, httpx):
    url = str(request.url)
    header = jar.cookie_header(url)
    extra = request.extensions.get(_KEY)
    if extra is not None and extra[0] is jar:
        header = extra[1].header(header, url)
    else:
        # A request built without the client (client.send): a Cookie header
        # it carries is the caller's, sent first.
        hand_set = request.headers.get("Cookie")
        if hand_set:
            header = b"; ".join([hand_set.encode("utf-8", "surrogateescape")] +
                                ([header] if header else []))
    request.headers.pop("Cookie", None)
    if not header:
        return
    if header.isascii():
        request.headers["Cookie"] = header.decode("ascii")
    else:
        # httpx encodes str header values as UTF-8; raw headers carry the bytes.
        raw = [(name, value) for name, value in request.headers.raw]
        request.headers = httpx.Headers(raw + [(b"Cookie", header)])


def _on_response(jar, response, behind=False):
    values = [value for name, value in response.headers.raw if name.lower() == b"set-cookie"]
    store_set_cookies(jar, values, str(response.request.url), behind)


def _awaitable(hook):
    """An async hook that runs `hook` (an AsyncClient awaits its hooks)."""
    async def run(argument):
        hook(argument)
    return run


def install(jar, client, httpx, cookies_class):
    """Adds event hooks to the client of the family `httpx` (the module)
    (last, so that what the caller's hooks do to the Cookie header is
    replaced too) and makes client.cookies a `cookies_class` over the jar.
    Installing twice replaces the first installation."""

    def on_request(request):
        _on_request(jar, request, httpx)

    def on_response(response):
        _on_response(jar, response)

    if isinstance(client, httpx.AsyncClient):
        on_request = _awaitable(on_request)
        on_response = _awaitable(lambda response: _on_response(jar, response, True))
    on_request.cookie_jar = on_response.cookie_jar = jar
    hooks = client.event_hooks
    hooks["request"] = [hook for hook in hooks["request"] if not hasattr(hook, "cookie_jar")]
    hooks["response"] = [hook for hook in hooks["response"] if not hasattr(hook, "cookie_jar")]
    hooks["request"].append(on_request)
    hooks["response"].append(on_response)
    client.event_hooks = hooks
    # The setter of client.cookies copies what it is given into a plain
    # Cookies, and neither httpx (0.28) nor httpx2 (0.29) has a public way to
    # give a client a Cookies object of its own: the client's attribute takes
    # the object over the jar.
    client._cookies = cookies_class(jar)
    build_request = getattr(client.build_request, "__wrapped__", client.build_request)

    def build_request_through_jar(method, url, *args, cookies=None, headers=None,
                                  extensions=None, **kwargs):
        request = build_request(method, url, *args, headers=headers, extensions=extensions,
                                **kwargs)
        hand_set = request.headers.get("Cookie")
        hand_set = hand_set.encode("utf-8", "surrogateescape") if hand_set else None
        request.extensions = {**request.extensions,
                              _KEY: (jar, Extra(hand_set, pairs_of(cookies), str(request.url)))}
        return request

    build_request_through_jar.__wrapped__ = build_request
    client.build_request = build_request_through_jar
    return client
