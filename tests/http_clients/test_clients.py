"""The client adapters, judged by the Cookie bytes a loopback server receives:
on every request, redirect hops included, they must equal
`jar.cookie_header(url)` at that moment.  One table of scenarios runs against
urllib, requests, httpx, aiohttp and curl_cffi; then threads and tasks share
one jar; then curl_cffi's redirects, which the adapter follows itself."""

import asyncio
import sys
import threading
import urllib.request
from contextlib import nullcontext

from yarl import URL

import pytest

from glimmering_copper_otter.clients import aiohttp as aiohttp_adapter
from glimmering_copper_otter.jar import CookieJar
from gco_testkit.loopback import Loopback, hop

requests = pytest.importorskip("requests")
httpx = pytest.importorskip("httpx")
httpx2 = pytest.importorskip("httpx2")
aiohttp = pytest.importorskip("aiohttp")
curl_cffi = pytest.importorskip("curl_cffi.requests")


E, A, B = "example.test", "a.example.test", "b.example.test"
# Each scenario: the URLs requested in turn, and the Cookie header the last
# request carries.  The localhost rows get the server's port (PORT).
SCENARIOS = {
    "host-only cookie not sent to a subdomain": (
        [hop(E, "/", "a=1", "d=2; Domain=example.test"), hop(A, "/")], b"d=2"),
    "same name on two paths, longer path first": (
        [hop(E, "/x/", "b=0", "a=1; Path=/", "a=2; Path=/x"), hop(E, "/x/y")],
        b"b=0; a=2; a=1"),
    "equal paths in creation order": (
        [hop(E, "/", "z=1"), hop(E, "/", "y=1", "x=1"), hop(E, "/")], b"z=1; y=1; x=1"),
    "a cookie set by a redirect is sent on the next hop": (
        [hop(E, "/r1", "r=1", to=hop(E, "/r2", "s=2", to=hop(A, "/end", "t=3"))), hop(E, "/")],
        b"r=1; s=2"),
    "several Set-Cookie headers in one response": (
        [hop(E, "/", "x=1", "y=2; Path=/", "z=3; Max-Age=600"), hop(E, "/")], b"x=1; y=2; z=3"),
    "same name on two subdomains": (
        [hop(A, "/", "a=1"), hop(B, "/", "a=2"), hop(A, "/", "a=3; Domain=example.test"),
         hop(B, "/"), hop(A, "/")], b"a=1; a=3"),
    "a Secure cookie over http is refused": (
        [hop(E, "/", "s=1; Secure", "p=1"), hop(E, "/")], b"p=1"),
    "localhost and 127.0.0.1": (
        [hop("localhost:PORT", "/", "l=1", "s=1; Secure"), hop("127.0.0.1:PORT", "/", "i=1"),
         hop("localhost:PORT", "/")], b"l=1; s=1"),
    "a deletion": (
        [hop(E, "/", "d=1", "k=1"), hop(E, "/", "d=; Max-Age=0"), hop(E, "/")], b"k=1"),
    "bytes as received": (
        [hop(E, "/", b"v=\xe9t\xe9", "u=\u00e9t\u00e9"), hop(E, "/")],
        b"v=\xe9t\xe9; u=\xc3\xa9t\xc3\xa9"),
    "what a jar cannot store is ignored": (
        [hop(E, "/", "=", ";", "a=b; Domain=other.test", "x=" + "y" * 5000,
             b"\xff\xfe=\x80", "e=1; Expires=garbage"), hop(E, "/")],
        b"\xff\xfe=\x80; e=1"),
}


def run_urllib(jar, proxy, urls):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({"http": proxy}),
                                         jar.for_urllib())
    for url in urls:
        with opener.open(url, timeout=30) as response:
            response.read()


def run_requests(jar, proxy, urls):
    session = requests.Session()
    session.cookies.set("own", "1")  # what the session held before is not sent
    with jar.install(session):
        session.trust_env = False
        for url in urls:
            session.get(url, proxies={"http": proxy}, timeout=30)


def run_httpx(jar, proxy, urls):
    client = httpx.Client(proxy=proxy, trust_env=False, follow_redirects=True,
                          cookies={"own": "1"})
    with jar.install(client):
        for url in urls:
            client.get(url)
    asyncio.run(_httpx_async(jar, proxy, urls[-1:]))


async def _httpx_async(jar, proxy, urls):
    async with httpx.AsyncClient(proxy=proxy, trust_env=False, follow_redirects=True) as client:
        jar.install(client)
        for url in urls:
            await client.get(url)


def run_aiohttp(jar, proxy, urls):
    async def main():
        async with aiohttp.ClientSession(cookie_jar=jar.for_aiohttp(),
                                         trust_env=False) as session:
            for url in urls:
                async with session.get(url, proxy=proxy) as response:
                    await response.read()
    asyncio.run(main())


def utf8_pairs(header):
    """What aiohttp can send of a header: it writes header values as UTF-8
    text, so a cookie whose bytes are not UTF-8 is left out."""
    return "; ".join(aiohttp_adapter._utf8_pairs(header)).encode()


def send(kind, jar, proxy, calls, **options):
    """Sends `calls`, (method, url, keyword arguments) each, in turn from one
    session of `kind` ("-async": the async one) made with `options`, the jar
    installed unless None; returns the last response, or curl_cffi's error."""
    name, _, asynchronous = kind.partition("-")
    if name in ("httpx", "httpx2"):
        options = {"follow_redirects": True, **options}

    def session():
        if name == "requests":
            made = requests.Session()
            made.proxies, made.trust_env = {"http": proxy}, False
        else:
            made = {"httpx": (httpx.Client, httpx.AsyncClient),
                    "httpx2": (httpx2.Client, httpx2.AsyncClient),
                    "curl_cffi": (curl_cffi.Session, curl_cffi.AsyncSession)}[name][
                bool(asynchronous)](proxy=proxy, trust_env=False, **options)
        return made if jar is None else jar.install(made)

    async def in_a_loop():
        async with session() as made:
            return [await made.request(m, url, timeout=30, **more) for m, url, more in calls][-1]

    try:
        if asynchronous:
            return asyncio.run(in_a_loop())
        with session() as made:
            return [made.request(m, url, timeout=30, **more) for m, url, more in calls][-1]
    except curl_cffi.RequestsError as error:
        return error


def run_curl_cffi(jar, proxy, urls, kind="curl_cffi"):
    # Impersonating a browser adds no cookie of curl's own.
    send(kind, jar, proxy, [("GET", url, {}) for url in urls], impersonate="chrome",
         cookies={"own": "1"})


CLIENTS = {"urllib": run_urllib, "requests": run_requests, "httpx": run_httpx,
           "aiohttp": run_aiohttp, "curl_cffi": run_curl_cffi,
           "curl_cffi-async": lambda *args: run_curl_cffi(*args, kind="curl_cffi-async")}


@pytest.fixture
def served():
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)  # the 400 cookies below
    server = Loopback(oracle=lambda url: jar.cookie_header(url))
    yield jar, server
    server.close()


@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("client", CLIENTS)
def test_scenario(served, client, scenario):
    jar, server = served
    urls, last = SCENARIOS[scenario]
    urls = [url.replace("PORT", str(server.port)) for url in urls]
    CLIENTS[client](jar, server.proxy, urls)
    assert len(server.log) >= len(urls)
    for url, received, expected in server.log:
        if client == "aiohttp":
            expected = utf8_pairs(expected)
        assert (received or b"") == expected, url
    if client == "aiohttp":
        last = utf8_pairs(last)
        if scenario == "bytes as received":
            assert last == b"u=\xc3\xa9t\xc3\xa9"  # the Latin-1 value is lost
    assert server.log[-1][1] == (last or None)


def test_install_twice_replaces_and_rejects_other_targets():
    jar, session = CookieJar(), requests.Session()
    jar.install(CookieJar().install(session))
    assert {adapter.inner.__class__.__name__ for adapter in session.adapters.values()} == {
        "HTTPAdapter"}
    assert all(adapter.cookie_jar is jar for adapter in session.adapters.values())
    client = jar.install(jar.install(httpx.Client()))
    assert [len(hooks) for hooks in client.event_hooks.values()] == [1, 1]
    with pytest.raises(TypeError, match="not object"):
        jar.install(object())
    session = jar.install(CookieJar().install(curl_cffi.Session()))
    assert session.request.cookie_jar is jar and session.cookies._cookie_jar is jar
    assert session.request.__wrapped__.__func__ is curl_cffi.Session.request
    assert jar.install(curl_cffi.AsyncSession()).request.cookie_jar is jar


@pytest.mark.parametrize("client", ["requests", "httpx"])
def test_sixteen_threads_share_one_jar(served, client):
    jar, server = served
    if client == "requests":
        target = jar.install(requests.Session())
        target.trust_env = False
        get = lambda url: target.get(url, proxies={"http": server.proxy}, timeout=30)  # noqa: E731
    else:
        target = jar.install(httpx.Client(proxy=server.proxy, trust_env=False))
        get = target.get
    errors = []

    def work(thread):
        try:
            for k in range(5):
                get(hop(E, f"/{thread}/{k}", f"t{thread}k{k}=1; Path=/{thread}"))
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    target.close()
    assert errors == []
    assert len(jar.rows()) == 80
    for url, received, _ in server.log:
        thread, k = url.split("?")[0].split("/")[3:5]
        assert received == (b"; ".join(b"t%sk%d=1" % (thread.encode(), i) for i in range(int(k)))
                            or None), url


def test_two_hundred_aiohttp_tasks_share_one_jar(served):
    jar, server = served

    async def task(session, n):
        for k in range(2):
            async with session.get(hop(E, f"/{n}/{k}", f"n{n}k{k}=1; Path=/{n}"),
                                   proxy=server.proxy) as response:
                await response.read()

    async def main():
        connector = aiohttp.TCPConnector(limit=50)
        async with aiohttp.ClientSession(cookie_jar=jar.for_aiohttp(),
                                         connector=connector) as session:
            await asyncio.gather(*(task(session, n) for n in range(200)))

    asyncio.run(main())
    assert len(jar.rows()) == 400
    asyncio.run(jar.aset_cookies(iter([b"off=loop"]), "http://example.test/"))
    assert jar.cookie_header("http://example.test/") == b"off=loop"
    for url, received, _ in server.log:
        n, k = url.split("?")[0].split("/")[3:5]
        assert received == (b"n%sk0=1" % n.encode() if k == "1" else None), url


def test_aiohttp_jar_surface(served):
    jar, _ = served
    for header, url in (("a=1; Path=/p", "http://example.test/"), ("b=2", "http://127.0.0.1/"),
                        ("c=3; Domain=example.test", "http://www.example.test/")):
        jar.set_cookie(header, url)

    async def main():
        adapter = jar.for_aiohttp()
        assert sorted(m.key for m in adapter) == ["a", "b", "c"]
        assert adapter.cookies[("example.test", "/p")]["a"].value == "1"
        assert adapter.host_only_cookies == {("example.test", "/p", "a"), ("127.0.0.1", "/", "b")}
        with pytest.raises(ValueError, match="needs the URL"):
            adapter.update_cookies({"x": "1"})
        adapter.update_cookies({"x": "1"}, URL("http://example.test/"))
        adapter.clear(lambda morsel: morsel.key == "a")
        adapter.clear_domain("example.test")  # x and c
        assert [m.key for m in adapter] == ["b"]
        jar.set_cookies([b"t=1", b"t=2; Domain=example.test"], "http://example.test/")
        adapter.clear(lambda morsel: morsel.value == "1")  # not the domain cookie of that name
        assert sorted(m.value for m in adapter) == ["2", "2"]
        adapter.clear()
        assert len(adapter) == 0
    asyncio.run(main())


# -- per-request cookies and a hand-set Cookie header -------------------------

CALLS = ("requests", "httpx", "httpx-async", "httpx2", "httpx2-async", "curl_cffi",
         "curl_cffi-async")
SAME_HOST = hop(E, "/a", to=hop(E, "/b", to=hop(A, "/c")))
# A call after a response set sid=1: (url, cookies=, headers=), the Cookie
# field of each hop with the jar, and what the client alone sends where it
# differs (the server joins Cookie fields with "; ": curl_cffi alone sends a
# hand-set header as a second field after its own).
# (Without the jar, a host-only cookie of example.test also goes to
# a.example.test from requests and httpx: their jars follow Netscape's rules.)
HTTPX2 = ("httpx2", "httpx2-async")  # (alone, it puts per-request cookies first)
HTTPX = ("httpx", "httpx-async", *HTTPX2)
CURL_CFFI = ("curl_cffi", "curl_cffi-async")
PER_REQUEST = {
    "per-request cookies after the jar's, a same-name one too": (
        (hop(E, "/"), {"sid": "2", "p": "1"}, None),
        [b"sid=1; sid=2; p=1"], {**dict.fromkeys(CURL_CFFI, [b"sid=2; p=1"]),
                                 **dict.fromkeys(HTTPX2, [b"sid=2; p=1; sid=1"])}),
    "per-request cookies follow hops to the same host only": (
        (SAME_HOST, {"p": "1"}, None),
        [b"sid=1; p=1", b"sid=1; p=1", None],
        {"requests": [b"sid=1; p=1", b"sid=1; p=1", b"sid=1; p=1"],
         **dict.fromkeys(HTTPX, [b"sid=1; p=1", b"sid=1", b"sid=1"]),
         **dict.fromkeys(HTTPX2, [b"p=1; sid=1", b"sid=1", b"sid=1"])}),
    "a hand-set header first, on the first hop only": (
        (SAME_HOST, None, {"Cookie": "hand=1"}),
        [b"hand=1; sid=1", b"sid=1", None],
        {**dict.fromkeys(("requests", *HTTPX), [b"hand=1", b"sid=1", b"sid=1"]),
         **dict.fromkeys(CURL_CFFI, [b"sid=1; hand=1", b"sid=1; hand=1", None])}),
    "both": (
        (SAME_HOST, {"p": "1"}, {"Cookie": "hand=1"}),
        [b"hand=1; sid=1; p=1", b"sid=1; p=1", None],
        {"requests": [b"hand=1", b"sid=1; p=1", b"sid=1; p=1"],
         **dict.fromkeys(HTTPX, [b"hand=1", b"sid=1", b"sid=1"]),
         **dict.fromkeys(CURL_CFFI, [b"sid=1; p=1; hand=1", b"sid=1; p=1; hand=1", None])}),
}


@pytest.mark.parametrize("case", PER_REQUEST)
@pytest.mark.parametrize("client", CALLS)
@pytest.mark.parametrize("with_jar", [True, False], ids=["jar", "own"])
def test_per_request_cookies(served, client, case, with_jar):
    (jar, server), ((url, cookies, headers), ours, theirs) = served, PER_REQUEST[case]
    expected = ours if with_jar else theirs.get(client, ours)
    # httpx's own warning for per-request cookies is left as it is.
    with pytest.warns(DeprecationWarning) if cookies and "httpx" in client else nullcontext():
        send(client, jar if with_jar else None, server.proxy,
             [("GET", hop(E, "/", "sid=1"), {}),
              ("GET", url, {"cookies": cookies, "headers": headers})])
    received = [received for _, received, _ in server.log[1:]]
    if not with_jar and sys.version_info < (3, 11) and "curl_cffi" not in client:
        # Before 3.11, http.cookiejar (under requests' and httpx's own jars)
        # lists cookies of one path length in another order.
        received, expected = ([None if h is None else sorted(h.split(b"; ")) for h in headers]
                              for headers in (received, expected))
    assert received == expected


# -- the session's own cookie object over the jar -----------------------------

@pytest.mark.parametrize("kind", ["requests", "httpx", "httpx2", "curl_cffi"])
def test_the_session_cookie_object_reads_and_writes_the_jar(kind):
    jar = CookieJar()
    jar.set_cookies(["sid=1", "csrftoken=t; Path=/p"], "https://www.example.test/p/q")
    jar.set_cookie("sid=2; Domain=example.test", "https://www.example.test/")
    jar.set_cookie("p=1; Secure; Partitioned", "https://www.example.test/")  # one view, one count
    cookies = jar.install({"requests": requests.Session, "httpx": httpx.Client,
                           "httpx2": httpx2.Client, "curl_cffi": curl_cffi.Session}[kind]()).cookies
    assert (cookies.get("csrftoken"), cookies.get("sid"), cookies.get("none", "d")) == ("t", "1", "d")
    assert cookies.get("sid", domain="example.test") == "2"
    assert cookies.get_all("sid") == ["1", "2"] and cookies["csrftoken"] == "t"
    assert ("sid" in cookies, "none" in cookies, len(cookies)) == (True, False, 4)
    assert dict(cookies) == {"sid": "1", "csrftoken": "t", "p": "1"} or dict(cookies) == {
        "sid": "2", "csrftoken": "t", "p": "1"}
    names = [c.name if kind == "requests" else c for c in cookies]
    assert sorted(names) == ["csrftoken", "p", "sid", "sid"]
    cookies.set("k", "v", domain="example.test", secure=True, same_site="lax")
    assert jar.get("k").secure and jar.cookie_header("https://example.test/") == b"sid=2; k=v"
    for bad, message in ((lambda: cookies.set("k", "v"), "pass domain="),
                         (lambda: cookies.set("__Host-k", "v", domain="example.test"),
                          "InvalidPrefix"),
                         (lambda: cookies.update({"a": "1"}), "pass domain=")):
        with pytest.raises(ValueError, match=message):
            bad()
    del cookies["sid"]
    assert "sid" not in jar and len(cookies) == 3
    with pytest.raises(KeyError):
        cookies["sid"]
    cookies.clear(domain="example.test")
    assert [c.name for c in jar] == ["csrftoken", "p"]


# -- other jars in and out ------------------------------------------------------

def _foreign(format):
    from http.cookies import SimpleCookie

    standard = requests.cookies.RequestsCookieJar()
    standard.set("a", "1", domain=".example.test", path="/", rest={"HttpOnly": None,
                                                                  "SameSite": "Strict"})
    standard.set("b", "2", domain="www.example.test", path="/p", secure=True)
    standard.set("c", "3", domain="", path="/")  # a cookie of no site
    standard.set("__Host-d", "4", domain=".example.test", path="/")  # refused
    if format == "cookiejar":
        return standard
    if format == "httpx":
        return httpx.Cookies(standard)
    if format == "mapping":
        return {"a": "1", "b": "2"}

    async def make():
        jar = aiohttp.CookieJar(unsafe=True)
        cookies = SimpleCookie("a=1; Domain=example.test; HttpOnly")
        cookies.load("b=2; Path=/p")
        jar.update_cookies(cookies, URL("https://www.example.test/"))
        return jar
    return asyncio.run(make())


# format: (the loaded cookies as (name, domain, host_only, path, secure,
# http_only, same_site), the code words of what was skipped)
# (requests' set() makes domain cookies, HttpOnly in their attributes.)
LOADED = {
    "cookiejar": ({("a", "example.test", False, "/", False, True, "STRICT"),
                   ("b", "www.example.test", False, "/p", True, True, "UNDEFINED")},
                  ["Unreadable", "InvalidPrefix"]),
    "mapping": ({("a", "www.example.test", True, "/", False, False, "UNDEFINED"),
                 ("b", "www.example.test", True, "/", False, False, "UNDEFINED")}, []),
    "aiohttp": ({("a", "example.test", False, "/", False, True, "UNDEFINED"),
                 ("b", "www.example.test", True, "/p", False, False, "UNDEFINED")}, []),
}
LOADED["httpx"] = LOADED["cookiejar"]


@pytest.mark.parametrize("format", LOADED)
def test_other_jars_in_and_out(format):
    jar = CookieJar()
    url = "https://www.example.test/" if format == "mapping" else None
    report = jar.load_cookies(_foreign(format), format=format, url=url)
    loaded, skipped = LOADED[format]
    assert {(c.name, c.domain, c.host_only, c.path, c.secure, c.http_only, c.same_site.name)
            for c in jar} == loaded
    assert sorted(reason.split(":")[0] for _, reason in report.skipped) == sorted(skipped)
    jar.set_cookie("p=1; Secure; Partitioned", "https://www.example.test/")
    target, saved = jar.dump_cookies(format=format, url=url)
    assert [item.name for item in saved.left_out] == [b"p"]
    again = CookieJar()
    assert again.load_cookies(target, format=format, url=url).skipped == []
    assert {c.name for c in again} == {c.name for c in jar} - {"p"}


# -- curl_cffi's redirects, followed by the adapter ------------------------------

def _chain(code):
    """A redirect on the host, then to another host: each hop sets a cookie."""
    return hop(E, "/a", "a=1", to=hop(E, "/b", "b=1; Domain=example.test",
                                      to=hop(A, "/c", "c=1"), code=code), code=code)


FOLLOW = {"all": True, "obeycode": 2, "firstonly": 3}  # CurlFollow's values
# (method, status, how redirects are followed): the method and body of each
# of the three hops, as curl_cffi alone sends them.
REDIRECTS = {
    ("POST", 303, "all"): (("POST", "GET", "GET"), (b"a=1", b"", b"")),
    ("POST", 307, "all"): (("POST",) * 3, (b"a=1",) * 3),
    ("POST", 308, "all"): (("POST",) * 3, (b"a=1",) * 3),
    ("POST", 301, "all"): (("POST", "GET", "GET"), (b"a=1", b"", b"")),
    ("POST", 302, "all"): (("POST", "GET", "GET"), (b"a=1", b"", b"")),
    ("PUT", 302, "all"): (("PUT",) * 3, (b"a=1", b"", b"")),
    ("PUT", 303, "obeycode"): (("PUT", "GET", "GET"), (b"a=1", b"", b"")),
    ("PUT", 307, "obeycode"): (("PUT",) * 3, (b"a=1",) * 3),
    ("PUT", 307, "firstonly"): (("PUT", "POST", "POST"), (b"a=1",) * 3),
    ("HEAD", 303, "all"): (("HEAD",) * 3, (b"",) * 3),
    ("GET", 308, "firstonly"): (("GET",) * 3, (b"",) * 3),
}


@pytest.mark.parametrize("kind", ["curl_cffi", "curl_cffi-async"])
@pytest.mark.parametrize("follow", FOLLOW)
@pytest.mark.parametrize("code", [300, 301, 302, 303, 307, 308])
@pytest.mark.parametrize("method", ["GET", "POST", "PUT", "PATCH", "DELETE", "HEAD"])
def test_curl_cffi_redirects_are_curls_own_but_for_cookies(served, method, code, follow, kind):
    """The call with the jar and without it: the same hops, methods, bodies,
    history and answer; with the jar, each hop carries the jar's header."""
    (jar, server), runs = served, []
    body = {} if method in ("GET", "HEAD") else {"data": {"a": "1"}}
    for used in (jar, None):
        server.server.oracle = None if used is None else used.cookie_header
        response = send(kind, used, server.proxy, [
            (method, _chain(code), {"allow_redirects": FOLLOW[follow], **body})])
        runs.append((server.log[:], server.calls[:], (
            response.status_code, response.url, response.redirect_count,
            [(r.status_code, r.url) for r in response.history])))
        del server.log[:], server.calls[:]
    (log, calls, answer), (own_log, own_calls, own_answer) = runs
    assert (calls, answer) == (own_calls, own_answer)
    assert [url for url, _, _ in log] == [url for url, _, _ in own_log]
    for url, received, expected in log:
        assert (received or b"") == expected, url
    if (method, code, follow) in REDIRECTS:
        methods, bodies = REDIRECTS[method, code, follow]
        assert calls == list(zip(methods, bodies))
        assert [received for _, received, _ in log] == [None, b"a=1", b"b=1"]
        assert jar.cookie_header("http://a.example.test/") == b"b=1; c=1"


# options of the call: what comes of it, with the jar as without it (the
# status of the response, or of the response an error carries).
LIMITS = {
    "max_redirects=0": ({"max_redirects": 0}, ("TooManyRedirects", 302, 1)),
    "max_redirects=1": ({"max_redirects": 1}, ("TooManyRedirects", 302, 2)),
    "max_redirects=2": ({"max_redirects": 2}, ("Response", 200, 3)),
    "max_redirects=-1": ({"max_redirects": -1}, ("Response", 200, 3)),
    "allow_redirects=False": ({"allow_redirects": False}, ("Response", 302, 1)),
    # Schemes curl does not follow: its own error, no hop with the jar's cookies.
    "to ws://": ({}, ("InvalidSchema", 302, 1), "ws://a.example.test/"),
    "to file:": ({}, ("InvalidSchema", 302, 1), "file:///etc/hostname"),
    "to data:": ({}, ("InvalidSchema", 302, 1), "data:,x"),
}


@pytest.mark.parametrize("kind", ["curl_cffi", "curl_cffi-async"])
@pytest.mark.parametrize("case", LIMITS)
def test_curl_cffi_redirect_limits(served, case, kind):
    (jar, server), (options, expected, *to) = served, LIMITS[case]
    url = hop(E, "/a", "a=1", to=to[0]) if to else _chain(302)
    for used in (jar, None):
        del server.log[:]
        outcome = send(kind, used, server.proxy, [("GET", url, options)])
        response = getattr(outcome, "response", outcome)
        assert (type(outcome).__name__, response.status_code, len(server.log)) == expected
        if used is not None:  # the last response's cookies are stored, as curl stores them
            assert len(jar) == len(server.log)


def test_curl_cffi_session_params_auth_and_headers_follow_libcurls_rules(served):
    jar, server = served
    with jar.install(curl_cffi.Session(proxy=server.proxy, trust_env=False,
                                       params={"key": "k"}, auth=("u", "p"),
                                       headers={"Authorization": "Bearer t",
                                                "Cookie": "session=1"})) as session:
        session.get(SAME_HOST, params={"q": "1"}, timeout=30)
        params = session.params
        session.get(SAME_HOST, timeout=30, stream=True).close()
        session.get(hop(E, "/d", "d=1"), discard_cookies=True, timeout=30)
    urls = [url for url, _, _ in server.log]
    assert "key=k" in urls[0] and "q=1" in urls[0]
    assert not any("key=k" in url or "q=1" in url for url in urls[1:3])
    assert [received for _, received, _ in server.log] == [
        b"session=1", None, None, b"session=1", None, None, b"session=1"]
    assert "d" not in jar
    assert session.headers.get("Cookie") is None
    assert session.params is params and (params, session.auth) == ({"key": "k"}, ("u", "p"))
    # The Authorization header (which libcurl sends instead of auth=) and
    # auth= go to the first hop's host only.
    assert [h.get_all("Authorization") for h in server.headers] == [
        ["Bearer t"], ["Bearer t"], None] * 2 + [["Bearer t"]]
