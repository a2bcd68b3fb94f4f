"""The httpx adapter: `jar.install(httpx.Client())` or an `httpx.AsyncClient`
(see `clients._httpx_family`)."""

import httpx

from glimmering_copper_otter.clients import _httpx_family


class ClientCookies(_httpx_family.CookiesOverJar, httpx.Cookies):  # type: ignore[misc]  # the view's own set/update
    """httpx's cookies for a client whose cookies live in a CookieJar."""

    def __init__(self, jar):
        httpx.Cookies.__init__(self)  # its own store: empty, and kept so
        self._cookie_jar = jar


def install(jar, client):
    """Makes the httpx.Client or AsyncClient keep and send its cookies
    through `jar`; returns the client."""
    return _httpx_family.install(jar, client, httpx, ClientCookies)
