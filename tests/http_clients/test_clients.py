"""The client adapters, judged by the Cookie bytes a loopback server receives:
on every request, redirect hops included, they must equal
`jar.cookie_header(url)` at that moment.  One table of scenarios runs against
urllib, requests, httpx and aiohttp; then threads and tasks share one jar."""

import asyncio
import threading
import urllib.request
from urllib.parse import quote_from_bytes

from yarl import URL

import pytest

from glimmering_copper_otter.clients import aiohttp as aiohttp_adapter
from glimmering_copper_otter.jar import CookieJar
from gco_testkit.loopback import Loopback

requests = pytest.importorskip("requests")
httpx = pytest.importorskip("httpx")
aiohttp = pytest.importorskip("aiohttp")


def hop(host, path, *cookies, to=None):
    """The URL of a request whose response sets `cookies` (and redirects to `to`)."""
    query = [("c", c if isinstance(c, bytes) else c.encode()) for c in cookies]
    if to is not None:
        query.append(("to", to.encode()))
    text = "&".join(f"{k}={quote_from_bytes(v, safe='')}" for k, v in query)
    return f"http://{host}{path}?{text}"


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


CLIENTS = {"urllib": run_urllib, "requests": run_requests, "httpx": run_httpx,
           "aiohttp": run_aiohttp}


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
    assert len(jar._rows()) == 80
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
    assert len(jar._rows()) == 400
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

def _call_requests(jar, proxy, url, cookies, headers):
    session = requests.Session() if jar is None else jar.install(requests.Session())
    session.trust_env = False
    session.get(hop(E, "/", "sid=1"), proxies={"http": proxy}, timeout=30)
    session.get(url, cookies=cookies, headers=headers, proxies={"http": proxy}, timeout=30)


def _call_httpx(jar, proxy, url, cookies, headers):
    client = httpx.Client(proxy=proxy, trust_env=False, follow_redirects=True)
    if jar is not None:
        jar.install(client)
    with client, pytest.warns(DeprecationWarning) if cookies else _nothing():
        client.get(hop(E, "/", "sid=1"))
        client.get(url, cookies=cookies, headers=headers)


def _call_httpx_async(jar, proxy, url, cookies, headers):
    async def main():
        async with httpx.AsyncClient(proxy=proxy, trust_env=False,
                                     follow_redirects=True) as client:
            if jar is not None:
                jar.install(client)
            await client.get(hop(E, "/", "sid=1"))
            with pytest.warns(DeprecationWarning) if cookies else _nothing():
                await client.get(url, cookies=cookies, headers=headers)
    asyncio.run(main())


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


CALLS = {"requests": _call_requests, "httpx": _call_httpx, "httpx-async": _call_httpx_async}
SAME_HOST = hop(E, "/a", to=hop(E, "/b", to=hop(A, "/c")))
# A call after a response set sid=1: (url, cookies=, headers=), then the
# Cookie field of each hop with the jar, and what the client sends without
# it (client: fields, for those that differ).
# (Without the jar, a host-only cookie of example.test also goes to
# a.example.test: the clients' jars follow Netscape's rules.)
HTTPX = ("httpx", "httpx-async")
PER_REQUEST = {
    "per-request cookies after the jar's, a same-name one too": (
        (hop(E, "/"), {"sid": "2", "p": "1"}, None),
        [b"sid=1; sid=2; p=1"], {}),
    "per-request cookies follow hops to the same host only": (
        (SAME_HOST, {"p": "1"}, None),
        [b"sid=1; p=1", b"sid=1; p=1", None],
        {"requests": [b"sid=1; p=1", b"sid=1; p=1", b"sid=1; p=1"],
         **dict.fromkeys(HTTPX, [b"sid=1; p=1", b"sid=1", b"sid=1"])}),
    "a hand-set header first, on the first hop only": (
        (SAME_HOST, None, {"Cookie": "hand=1"}),
        [b"hand=1; sid=1", b"sid=1", None],
        dict.fromkeys(("requests", *HTTPX), [b"hand=1", b"sid=1", b"sid=1"])),
    "both": (
        (SAME_HOST, {"p": "1"}, {"Cookie": "hand=1"}),
        [b"hand=1; sid=1; p=1", b"sid=1; p=1", None],
        {"requests": [b"hand=1", b"sid=1; p=1", b"sid=1; p=1"],
         **dict.fromkeys(HTTPX, [b"hand=1", b"sid=1", b"sid=1"])}),
}


@pytest.mark.parametrize("case", PER_REQUEST)
@pytest.mark.parametrize("client", CALLS)
@pytest.mark.parametrize("with_jar", [True, False], ids=["jar", "own"])
def test_per_request_cookies(client, case, with_jar):
    (url, cookies, headers), ours, theirs = PER_REQUEST[case]
    expected = ours if with_jar else theirs.get(client, ours)
    server = Loopback()
    try:
        CALLS[client](CookieJar() if with_jar else None, server.proxy, url, cookies, headers)
    finally:
        server.close()
    assert [received for _, received, _ in server.log[1:]] == expected


# -- the session's own cookie object over the jar -----------------------------

def _session(kind, jar):
    if kind == "requests":
        return jar.install(requests.Session())
    return jar.install(httpx.Client())


@pytest.mark.parametrize("kind", ["requests", "httpx"])
def test_the_session_cookie_object_reads_and_writes_the_jar(kind):
    jar = CookieJar()
    jar.set_cookies(["sid=1", "csrftoken=t; Path=/p"], "https://www.example.test/p/q")
    jar.set_cookie("sid=2; Domain=example.test", "https://www.example.test/")
    cookies = _session(kind, jar).cookies
    assert (cookies.get("csrftoken"), cookies.get("sid"), cookies.get("none", "d")) == ("t", "1", "d")
    assert cookies.get("sid", domain="example.test") == "2"
    assert cookies.get_all("sid") == ["1", "2"] and cookies["csrftoken"] == "t"
    assert ("sid" in cookies, "none" in cookies, len(cookies)) == (True, False, 3)
    assert dict(cookies) == {"sid": "1", "csrftoken": "t"} or dict(cookies) == {
        "sid": "2", "csrftoken": "t"}
    names = [c.name if kind == "requests" else c for c in cookies]
    assert sorted(names) == ["csrftoken", "sid", "sid"]
    cookies.set("k", "v", domain="example.test", secure=True, same_site="lax")
    assert jar.get("k").secure and jar.cookie_header("https://example.test/") == b"sid=2; k=v"
    for bad, message in ((lambda: cookies.set("k", "v"), "pass domain="),
                         (lambda: cookies.set("__Host-k", "v", domain="example.test"),
                          "InvalidPrefix"),
                         (lambda: cookies.update({"a": "1"}), "pass domain=")):
        with pytest.raises(ValueError, match=message):
            bad()
    del cookies["sid"]
    assert "sid" not in jar and len(cookies) == 2
    with pytest.raises(KeyError):
        cookies["sid"]
    cookies.clear(domain="example.test")
    assert [c.name for c in jar] == ["csrftoken"]


# -- other jars in and out ------------------------------------------------------

def _foreign(format):
    import http.cookiejar
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
        cookies = SimpleCookie()
        cookies["a"] = "1"
        cookies["a"]["domain"] = "example.test"
        cookies["a"]["httponly"] = True
        cookies["b"] = "2"
        cookies["b"]["path"] = "/p"
        jar.update_cookies(cookies, URL("https://www.example.test/"))
        return jar
    assert http.cookiejar
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
