"""The httpx2 adapter: `jar.install(httpx2.Client())` or an `httpx2.AsyncClient`
(see `clients._httpx_family`)."""

import httpx2

from glimmering_copper_otter.clients import _httpx_family


class ClientCookies(_httpx_family.CookiesOverJar, httpx2.Cookies):  # type: ignore[misc]  # the view's own set/update
    """httpx2's cookies for a client whose cookies live in a CookieJar."""

    def __init__(self, jar):
        httpx2.Cookies.__init__(self)  # its own store: empty, and kept so
        self._cookie_jar = jar


def install(jar, client):
    """Makes the httpx2.Client or AsyncClient keep and send its cookies
    through `jar`; returns the client."""
    return _httpx_family.install(jar, client, httpx2, ClientCookies)
