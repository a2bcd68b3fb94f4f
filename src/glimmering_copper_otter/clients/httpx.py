"""The httpx adapter: `jar.install(httpx.Client())` or an `httpx.AsyncClient`."""

import http.cookiejar

from glimmering_copper_otter.clients import store_set_cookies


def _on_request(jar, request, httpx):
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


def _on_response(jar, response):
    values = [value for name, value in response.headers.raw if name.lower() == b"set-cookie"]
    store_set_cookies(jar, values, str(response.request.url))


def _awaitable(hook):
    """An async hook that runs `hook` (an AsyncClient awaits its hooks)."""
    async def run(argument):
        hook(argument)
    return run


class _EmptyCookieJar(http.cookiejar.CookieJar):
    """httpx's jar for a client whose cookies live in a CookieJar: it takes
    nothing, so it sends nothing."""

    def set_cookie(self, cookie):
        pass

    def extract_cookies(self, response, request):
        pass


def install(jar, client):
    """Adds event hooks to the client (last, so that what the caller's hooks
    do to the Cookie header is replaced too); its own jar stays empty.
    Installing twice replaces the first installation."""
    import httpx

    def on_request(request):
        _on_request(jar, request, httpx)

    def on_response(response):
        _on_response(jar, response)

    if isinstance(client, httpx.AsyncClient):
        on_request, on_response = _awaitable(on_request), _awaitable(on_response)
    on_request.cookie_jar = on_response.cookie_jar = jar
    hooks = client.event_hooks
    hooks["request"] = [hook for hook in hooks["request"] if not hasattr(hook, "cookie_jar")]
    hooks["response"] = [hook for hook in hooks["response"] if not hasattr(hook, "cookie_jar")]
    hooks["request"].append(on_request)
    hooks["response"].append(on_response)
    client.event_hooks = hooks
    client.cookies = _EmptyCookieJar()
    return client
