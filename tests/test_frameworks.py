"""The README's recipes, run in each framework itself (in this process): a
first request sets three cookies with writer.set_cookie_header, one per
encoding; the next request carries the Cookie header a browser would send
for the Set-Cookie lines captured (what browser.read_set_cookie keeps for
them over https), and the app answers what the package's reader and the
framework's own reader make of it.  The frameworks are test extras
(`frameworks`); a framework that is not installed is skipped."""

import asyncio
import copy
import io
import json
import pickle
import sys
import types
from http.cookies import SimpleCookie
from wsgiref.util import setup_testing_defaults

import pytest

from glimmering_copper_otter.browser import read_set_cookie
from glimmering_copper_otter.cookie_header import parse_cookie_header
from glimmering_copper_otter.morsel import HeaderMorsel, set_header
from glimmering_copper_otter.writer import set_cookie_header

# (name, value, encoding): a signed value left as it is, base64 as it is,
# and text that only percent-encoding carries.
COOKIES = [("sid", "v:1700000000:c2ln", "auto"), ("tok", "YWJj+/==", "raw"),
           ("pref", "a b;\xe9", "percent")]
URL = "https://www.example.test/"


def headers():
    return [set_cookie_header(name, value, encoding=encoding) for name, value, encoding in COOKIES]


# -- one runner per framework: request(path, cookie) -> (Set-Cookie lines, answer)


def wsgi_runner(app):
    def request(path, cookie):
        environ = {"PATH_INFO": path, "wsgi.url_scheme": "https", "HTTP_HOST": "www.example.test",
                   "wsgi.input": io.BytesIO()}
        if cookie is not None:
            environ["HTTP_COOKIE"] = cookie.decode("latin-1")  # WSGI: header text is Latin-1
        setup_testing_defaults(environ)
        started = []
        body = b"".join(app(environ, lambda status, head, exc_info=None: started.append(head)))
        lines = [v.encode("latin-1").strip() for k, v in started[0] if k.lower() == "set-cookie"]
        return lines, body
    return request


def flask_runner():
    flask = pytest.importorskip("flask")
    app = flask.Flask(__name__)

    @app.get("/set")
    def set_cookies():
        response = flask.Response("ok")
        for header in headers():
            response.headers.add("Set-Cookie", header.decode("latin-1"))
        return response

    @app.get("/read")
    def read():
        return {"package": parse_cookie_header(flask.request.headers.get("Cookie", "")),
                "framework": dict(flask.request.cookies)}
    return wsgi_runner(app)


def django_runner():
    django = pytest.importorskip("django")
    from django.conf import settings
    if not settings.configured:
        settings.configure(ALLOWED_HOSTS=["*"], SECRET_KEY="test", MIDDLEWARE=[])
    django.setup()
    from django.core.wsgi import get_wsgi_application
    from django.http import HttpResponse, JsonResponse
    from django.urls import clear_url_caches, path

    def set_cookies(request):
        response = HttpResponse("ok")
        for header in headers():
            set_header(response.cookies, header)
        return response

    def read(request):
        return JsonResponse({"package": parse_cookie_header(request.META.get("HTTP_COOKIE", "")),
                             "framework": request.COOKIES})
    urls = sys.modules["gco_test_urls"] = types.ModuleType("gco_test_urls")
    urls.urlpatterns = [path("set", set_cookies), path("read", read)]
    settings.ROOT_URLCONF = "gco_test_urls"
    clear_url_caches()
    return wsgi_runner(get_wsgi_application())


def starlette_runner():
    pytest.importorskip("starlette")
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, PlainTextResponse
    from starlette.routing import Route

    async def set_cookies(request):
        response = PlainTextResponse("ok")
        for header in headers():
            response.raw_headers.append((b"set-cookie", header))
        return response

    async def read(request):
        raw = [value for key, value in request.scope["headers"] if key == b"cookie"]
        return JSONResponse({"package": parse_cookie_header(raw), "framework": request.cookies})
    app = Starlette(routes=[Route("/set", set_cookies), Route("/read", read)])

    async def call(path, cookie):
        scope = {"type": "http", "method": "GET", "scheme": "https", "path": path,
                 "query_string": b"", "headers": [] if cookie is None else [(b"cookie", cookie)]}
        sent = []

        async def send(message):
            sent.append(message)
        await app(scope, None, send)
        lines = [v for k, v in sent[0]["headers"] if k == b"set-cookie"]
        return lines, b"".join(m.get("body", b"") for m in sent[1:])
    return lambda path, cookie: asyncio.run(call(path, cookie))


def aiohttp_runner():
    pytest.importorskip("aiohttp")
    from aiohttp import ClientSession, DummyCookieJar, web
    from aiohttp.test_utils import TestServer

    async def set_cookies(request):
        response = web.Response(text="ok")
        for header in headers():
            response.headers.add("Set-Cookie", header.decode())  # aiohttp: header text is UTF-8
        return response

    async def read(request):
        return web.json_response({
            "package": parse_cookie_header(request.headers.get("Cookie", "")),
            "framework": dict(request.cookies)})
    async def call(path, cookie):
        app = web.Application()  # an application is tied to one event loop
        app.router.add_get("/set", set_cookies)
        app.router.add_get("/read", read)
        extra = {} if cookie is None else {"Cookie": cookie.decode()}
        # Loopback only; the client keeps no cookies of its own.
        async with TestServer(app, host="127.0.0.1") as server, \
                ClientSession(cookie_jar=DummyCookieJar()) as session, \
                session.get(server.make_url(path), headers=extra) as response:
            lines = [v for k, v in response.raw_headers if k.lower() == b"set-cookie"]
            return lines, await response.read()
    return lambda path, cookie: asyncio.run(call(path, cookie))


RUNNERS = {"flask": flask_runner, "django": django_runner, "starlette": starlette_runner,
           "aiohttp": aiohttp_runner}


@pytest.mark.parametrize("framework", RUNNERS)
def test_recipe(framework):
    request = RUNNERS[framework]()
    lines, _ = request("/set", None)
    assert lines == headers()
    kept = [read_set_cookie(line, URL) for line in lines]
    cookie = "; ".join(f"{c.name}={c.value}" for c in kept).encode()
    _, body = request("/read", cookie)
    answer = json.loads(body)
    assert answer["package"] == {name: value for name, value, _ in COOKIES}
    # Frameworks' readers do not percent-decode: they see what was sent,
    # which is the value itself for the auto and raw cookies.
    assert answer["framework"] == {c.name: c.value for c in kept}
    assert [answer["framework"][n] for n, _, _ in COOKIES[:2]] == [v for _, v, _ in COOKIES[:2]]


def test_header_morsel_survives_what_frameworks_do_with_morsels():
    cookies = SimpleCookie()
    morsel = set_header(cookies, b"path=a%20b; Path=/; Secure")  # a name Morsel.set refuses
    assert (morsel.key, morsel.value, cookies.output()) == (
        "path", "a%20b", "Set-Cookie: path=a%20b; Path=/; Secure")
    for again in (copy.copy(morsel), morsel.copy(), pickle.loads(pickle.dumps(morsel))):
        assert isinstance(again, HeaderMorsel) and again == morsel and str(again) == str(morsel)
    morsel.set("path2", "v", "v")  # set again by the framework: a plain Morsel
    assert morsel.OutputString() == "path2=v"
