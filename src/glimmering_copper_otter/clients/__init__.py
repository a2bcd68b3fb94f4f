"""Adapters that make the HTTP clients people use keep and send cookies
through a CookieJar: urllib, requests, httpx, httpx2, aiohttp and curl_cffi, one
module each (Scrapy's downloader middleware is `glimmering_copper_otter.scrapy`).

Every request a client sends through an adapter, redirect hops included,
carries exactly `jar.cookie_header(url)` (no Cookie header when it is empty),
and every response's Set-Cookie values go to `jar.set_cookies(values, url)`,
as the bytes received.  The client's own cookie jar is left empty and adds
nothing.  An adapter never raises because of what a response's Set-Cookie
headers hold (the jar ignores what it cannot store); an OSError of the jar's
store does go through.  Adapters use the jar's public methods only.

None of the clients is a dependency: each adapter module imports its client
when it is imported, and install() imports an adapter only for a client
already imported.
"""

import sys

from glimmering_copper_otter.clients._common import latin1, store_set_cookies

__all__ = ["install", "latin1", "store_set_cookies"]


def install(jar, target):
    """Makes a `requests.Session`, an `httpx.Client`, an `httpx.AsyncClient`
    or a curl_cffi `Session` or `AsyncSession` keep and send its cookies
    through `jar`; returns `target`."""
    requests = sys.modules.get("requests")
    if requests is not None and isinstance(target, requests.Session):
        from glimmering_copper_otter.clients import requests as adapter

        return adapter.install(jar, target)
    httpx = sys.modules.get("httpx")
    if httpx is not None and isinstance(target, (httpx.Client, httpx.AsyncClient)):
        from glimmering_copper_otter.clients import httpx as adapter

        return adapter.install(jar, target)
    httpx2 = sys.modules.get("httpx2")
    if httpx2 is not None and isinstance(target, (httpx2.Client, httpx2.AsyncClient)):
        from glimmering_copper_otter.clients import httpx2 as adapter

        return adapter.install(jar, target)
    curl_cffi = sys.modules.get("curl_cffi.requests")
    if curl_cffi is not None and isinstance(target, (curl_cffi.Session,
                                                     curl_cffi.AsyncSession)):
        from glimmering_copper_otter.clients import curl_cffi as adapter

        return adapter.install(jar, target)
    raise TypeError("install() takes a requests.Session, an httpx or httpx2 Client "
                    "or AsyncClient, or a curl_cffi Session or AsyncSession, not "
                    f"{type(target).__name__}")
