"""The Scrapy middleware, in real crawls (each in a child process, bounded in
time) against the loopback server: a site that logs in, sets, changes and
deletes cookies and redirects across host names.  Every request a crawl sends
carries exactly `jar.cookie_header(url)` of its named jar at that moment (read
from the jars' file by the server), and the same with the jars in memory;
each row's last request is set beside what Scrapy's own middleware sends; two
crawls in two processes resume one login.  Then the parts without a crawl."""

import json
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace
from urllib.parse import parse_qs, urlsplit

import pytest

from glimmering_copper_otter.jar import CookieJar
from gco_testkit.loopback import Loopback, hop

scrapy = pytest.importorskip("scrapy")

TESTS = Path(__file__).resolve().parents[1]
OURS = {"scrapy.downloadermiddlewares.cookies.CookiesMiddleware": None,
        "glimmering_copper_otter.scrapy.CookiesMiddleware": 700}
S, W, O = "site.test", "www.site.test", "other.test"
LOOP = "127.0.0.1:PORT"


def at(host, path, *cookies, to=None):
    """hop() of a row: each URL, redirect targets too, names its row (the
    server's oracle reads the row's jar)."""
    return hop(host, path, *cookies, to=to) + "&j=JROWJ"


def step(url, **options):
    return {"url": url, **options}


# Each row: its requests, one after another, in a named jar of its own; then
# the Cookie header of the last one with our middleware, and with Scrapy's.
ROWS = {
    "login, change, logout": (
        [step(at(S, "/login", "sid=abc; Max-Age=3600; HttpOnly", to=at(S, "/account")),
              method="POST", body="user=u&password=p",
              headers={"Content-Type": "application/x-www-form-urlencoded"}),
         step(at(S, "/change", "sid=def; Max-Age=3600")),
         step(at(S, "/logout", "sid=; Max-Age=0", "bye=1")),
         step(at(S, "/"))],
        b"bye=1", b"bye=1"),
    "redirects across host names": (
        [step(at(S, "/r1", "r=1; Domain=site.test",
                  to=at(O, "/r2", "o=1", to=at(W, "/r3", "w=1")))),
         step(at(W, "/"))],
        b"r=1; w=1", b"w=1; r=1"),
    "a host-only cookie and a subdomain": (
        [step(at(S, "/", "a=1", "d=2; Domain=site.test")), step(at(W, "/"))],
        b"d=2", b"a=1; d=2"),
    "SameSite=None needs Secure": (
        [step(at(S, "/", "n=1; SameSite=None", "l=1; SameSite=Lax")), step(at(S, "/"))],
        b"l=1", b"n=1; l=1"),
    "Secure on loopback": (
        [step(at(LOOP, "/", "s=1; Secure", "p=1")), step(at(LOOP, "/"))],
        b"s=1; p=1", b"p=1"),
    # (A Path that does not start with "/" is the default path to a browser.)
    "same-name cookies on two paths": (
        [step(at(S, "/x/", "a=1; Path=/", "a=2; Path=/x", "a=3; Path=x")), step(at(S, "/x/y"))],
        b"a=3; a=1", b"a=2; a=1"),
    "Request cookies, a hand-set header removed": (
        [step(at(S, "/"), cookies={"rc": "1"}, headers={"Cookie": "hand=1"}),
         step(at(S, "/"))],
        b"rc=1", b"rc=1"),
    "dont_merge_cookies": (
        [step(at(S, "/", "k=1")),
         step(at(S, "/", "x=1"), meta={"dont_merge_cookies": True},
              headers={"Cookie": "hand=1"}),
         step(at(S, "/"))],
        b"k=1", b"k=1"),
    "1 and '1' are one jar": (
        [step(at(S, "/", "one=1"), meta={"cookiejar": 1}),
         step(at(S, "/"), meta={"cookiejar": "1"})],
        b"one=1", None),
}


def _rows(port):
    return {name: [{**s, "url": s["url"].replace("PORT", str(port)).replace("JROWJ", str(i))}
                   for s in ROWS[name][0]] for i, name in enumerate(ROWS)}


def crawl(server, rows, **settings):
    """Runs one crawl in a child process (`-m` finds gco_testkit in its
    working directory); returns what it printed."""
    plan = {"rows": rows, "proxy": server.proxy, "settings": settings}
    done = subprocess.run([sys.executable, "-m", "gco_testkit.crawl", json.dumps(plan)],
                          capture_output=True, text=True, timeout=180, cwd=str(TESTS))
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout)
    assert result["reason"] == "finished", result
    # Scrapy's own middleware may try to download the suffix list once
    # (offline here) before it falls back to its snapshot.
    assert [(name, level, message) for name, level, message in result["log"]
            if level in ("WARNING", "ERROR", "CRITICAL") and not name.startswith("tldextract")
            and "suffix" not in message.lower()] == []
    return result


def _row_of(url, rows):
    return list(rows)[int(parse_qs(urlsplit(url).query)["j"][0])]


def _received(server, rows):
    """The Cookie headers each row's requests carried, in order."""
    found = {name: [] for name in rows}
    for url, received, expected in server.log:
        found[_row_of(url, rows)].append((url, received, expected))
    return found


def test_crawls_send_the_jars_header_and_differ_from_scrapys_where_chromium_does(tmp_path):
    path, opened = tmp_path / "crawl.db", {}

    def oracle(url):  # the named jar of the request's row, read from the jars' file
        name = _row_of(url, rows)
        key = str(ROWS[name][0][0].get("meta", {}).get("cookiejar", name))
        if key not in opened:
            opened[key] = CookieJar(path, name=key, keep_session_cookies=True)
        return opened[key].cookie_header(url)

    server = Loopback(oracle=oracle)
    try:
        rows = _rows(server.port)
        ours = crawl(server, rows, DOWNLOADER_MIDDLEWARES=OURS, GCO_COOKIES_PATH=str(path),
                     GCO_COOKIES_KEEP_SESSION=True, COOKIES_DEBUG=True)
        received = _received(server, rows)
        del server.log[:]
        server.server.oracle = None
        theirs = crawl(server, rows, COOKIES_DEBUG=True)
        their_received = _received(server, rows)
        del server.log[:]
        crawl(server, rows, DOWNLOADER_MIDDLEWARES=OURS)  # the jars in memory, by default
        in_memory = _received(server, rows)
    finally:
        server.close()
        for jar in opened.values():
            jar.close()
    assert {name: [got for _, got, _ in hops] for name, hops in in_memory.items()} == {
        name: [got for _, got, _ in hops] for name, hops in received.items()}
    # A request of dont_merge_cookies leaves with its own header, untouched.
    untouched = {s["url"] for steps in rows.values() for s in steps
                 if s.get("meta", {}).get("dont_merge_cookies")}
    for name, (steps, last, their_last) in ROWS.items():
        hops = received[name]
        assert len(hops) >= len(steps), name
        for url, got, expected in hops:
            assert got == b"hand=1" if url in untouched else (got or b"") == expected, (
                name, url)
        assert hops[-1][1] == last, name
        if their_last is not None:
            assert their_received[name][-1][1] == their_last, name
    # The redirect hops: each carries the cookies set by the hop before.
    assert [got for _, got, _ in received["redirects across host names"]] == [
        None, None, b"r=1", b"r=1; w=1"]
    assert [got for _, got, _ in received["login, change, logout"]][:2] == [None, b"sid=abc"]
    assert ours["responses"]["login, change, logout"] == [200, 200, 200, 200]
    # COOKIES_DEBUG: the lines Scrapy's middleware logs, in its form.
    debug = [entry[2] for entry in ours["log"] if entry[1] == "DEBUG"]
    their_debug = [entry[2] for entry in theirs["log"] if entry[1] == "DEBUG"
                   and entry[0] == "scrapy.downloadermiddlewares.cookies"]
    assert any(line.startswith("Sending cookies to: <GET http://site.test/account") and
               line.endswith("\nCookie: sid=abc\n") for line in debug)
    assert any(line.startswith("Received cookies from: <302 http://site.test/login") and
               "\nSet-Cookie: sid=abc; Max-Age=3600; HttpOnly\n" in line for line in debug)
    shape = sorted({line.split(":")[0] for line in debug})
    assert shape == sorted({line.split(":")[0] for line in their_debug}) == [
        "Received cookies from", "Sending cookies to"]


@pytest.mark.parametrize("shared", ["GCO_COOKIES_PATH", "GCO_COOKIES_STORE"])
def test_two_crawls_in_two_processes_resume_one_login(tmp_path, shared):
    if shared == "GCO_COOKIES_PATH":
        where = str(tmp_path / "shared.db")
    else:  # a named jar on a PostgreSQL server, as a fleet's workers share it
        from gco_testkit import postgres

        where = postgres.server().fresh()
    server = Loopback()
    login = at(S, "/login", "sid=abc; Max-Age=3600", "tmp=1", to=at(S, "/account"))
    try:
        crawl(server, {"login": [step(login, method="POST", body="u=1")]},
              DOWNLOADER_MIDDLEWARES=OURS, **{shared: where})
        crawl(server, {"later": [step(at(S, "/account"), meta={"cookiejar": "login"})]},
              DOWNLOADER_MIDDLEWARES=OURS, **{shared: where})
    finally:
        server.close()
    # A file keeps the session cookie with the first process (no
    # GCO_COOKIES_KEEP_SESSION); a server's jar is one session for the fleet.
    later = b"sid=abc" if shared == "GCO_COOKIES_PATH" else b"sid=abc; tmp=1"
    assert [received for _, received, _ in server.log] == [None, b"sid=abc; tmp=1", later]


# -- without a crawl ---------------------------------------------------------------

def _middleware(**settings):
    from scrapy.settings import Settings
    from scrapy.signalmanager import SignalManager

    from glimmering_copper_otter.scrapy import CookiesMiddleware

    return CookiesMiddleware.from_crawler(SimpleNamespace(
        spider=None, settings=Settings({"COOKIES_ENABLED": True, **settings}),
        signals=SignalManager()))


# Request.cookies: the cookies then stored, as (name, value, domain,
# host_only, path, secure).
REQUEST_COOKIES = {
    "a mapping, on https: Secure": (
        "https://www.site.test/p/q", {"a": "1", "b": 2},
        {("a", "1", "www.site.test", True, "/p", True),
         ("b", "2", "www.site.test", True, "/p", True)}),
    "a mapping, on http": (
        "http://www.site.test/", {"a": "1"}, {("a", "1", "www.site.test", True, "/", False)}),
    "dicts with domain, path and secure": (
        "https://www.site.test/", [{"name": "a", "value": "1", "domain": "site.test",
                                    "path": "/x", "secure": False},
                                   {"name": b"b", "value": b"\xe9"}],
        {("a", "1", "site.test", False, "/x", False),
         ("b", "\u00e9", "www.site.test", True, "/", True)}),
    "a cookie without a value is left out": (
        "https://www.site.test/", [{"name": "a"}, {"name": "c", "value": "3"}],
        {("c", "3", "www.site.test", True, "/", True)}),
    "a cookie a browser refuses is left out": (
        "https://www.site.test/", [{"name": "d", "value": "1", "domain": "other.test"}],
        set()),
}


@pytest.mark.parametrize("case", REQUEST_COOKIES)
def test_request_cookies_are_stored_as_scrapy_stores_them(case):
    url, cookies, stored = REQUEST_COOKIES[case]
    middleware = _middleware()
    request = scrapy.Request(url, cookies=cookies, headers={"Cookie": "hand=1"})
    middleware.process_request(request)
    jar = middleware.jar()
    assert {(c.name, c.value, c.domain, c.host_only, c.path, c.secure) for c in jar} == stored
    assert request.headers.getlist("Cookie") == ([jar.cookie_header(url)] if stored else [])


def test_jars_by_key_and_settings():
    # (dont_merge_cookies: the crawl's row of that name.)
    from scrapy.exceptions import NotConfigured
    from scrapy.http import Response

    with pytest.raises(NotConfigured):
        _middleware(COOKIES_ENABLED=False)
    both = {"GCO_COOKIES_PATH": "a.db", "GCO_COOKIES_STORE": "postgresql://h/d"}
    for settings, message in ((both, "not both"), ({"GCO_COOKIES_STORE": "a.db"}, "postgresql")):
        with pytest.raises(ValueError, match=message):
            _middleware(**settings)
    middleware = _middleware()
    assert middleware.jar(1) is middleware.jar("1") is not middleware.jar()
    assert middleware.jar(None) is middleware.jar("default")
    request = scrapy.Request("http://site.test/", meta={"cookiejar": 7})
    response = Response(request.url, headers={"Set-Cookie": [b"a=1", b"b=\xff"]})
    assert middleware.process_response(request, response) is response
    assert middleware.jar(7).cookie_header("http://site.test/") == b"a=1; b=\xff"
    middleware.close()


# Many keys over one store: each key's jar gets a persistent and a session
# cookie, then every key is asked again; the open jars stay bounded (the
# server's connection limit, the process's file limit) and nothing is lost.
MANY_KEYS = """
import resource, sys
from types import SimpleNamespace
import scrapy
from scrapy.http import Response
from scrapy.settings import Settings
from scrapy.signalmanager import SignalManager
from glimmering_copper_otter.scrapy import CookiesMiddleware
if sys.argv[2] == "files":
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
setting = "GCO_COOKIES_PATH" if sys.argv[2] == "files" else "GCO_COOKIES_STORE"
middleware = CookiesMiddleware.from_crawler(SimpleNamespace(spider=None, settings=Settings(
    {"COOKIES_ENABLED": True, setting: sys.argv[1]}), signals=SignalManager()))
count = int(sys.argv[3])
for i in range(count):
    request = scrapy.Request("http://site.test/", meta={"cookiejar": i})
    middleware.process_request(request)
    middleware.process_response(request, Response(request.url, headers={
        "Set-Cookie": [b"k=%d; Max-Age=3600" % i, b"s=%d" % i]}))
for i in range(count):
    request = scrapy.Request("http://site.test/", meta={"cookiejar": i})
    middleware.process_request(request)
    assert request.headers.get("Cookie") == b"k=%d; s=%d" % (i, i), (i, request.headers)
assert len(middleware.jars) <= 8
middleware.close()
"""


@pytest.mark.parametrize("where", ["files", "server"])
def test_many_keys_keep_the_open_jars_bounded(tmp_path, where):
    if where == "files":
        target, count = str(tmp_path / "jars.db"), 400
    else:
        from gco_testkit import postgres

        server = postgres.server()
        target, count = server.fresh(), 120
        server.sql("ALTER DATABASE gco CONNECTION LIMIT 20")
    try:
        subprocess.run([sys.executable, "-c", MANY_KEYS, target, where, str(count)],
                       check=True, timeout=240)
    finally:
        if where == "server":
            server.sql("ALTER DATABASE gco CONNECTION LIMIT -1")


class _Unnamed:
    def __str__(self):
        raise RuntimeError("no name")


# A meta["cookiejar"] key that names no jar: the request is dropped (the
# response passes untouched), with a warning.
UNNAMED_KEYS = {"str() raises": (_Unnamed(), {}),
                "a lone surrogate, in a file": ("\udcff", {"GCO_COOKIES_PATH": "FILE"})}


@pytest.mark.parametrize("case", UNNAMED_KEYS)
def test_a_key_that_names_no_jar_drops_its_request(case, tmp_path, caplog):
    from scrapy.exceptions import IgnoreRequest
    from scrapy.http import Response

    key, settings = UNNAMED_KEYS[case]
    middleware = _middleware(**{name: str(tmp_path / "j.db") for name in settings})
    request = scrapy.Request("http://site.test/", meta={"cookiejar": key})
    with pytest.raises(IgnoreRequest):
        middleware.process_request(request)
    response = Response(request.url, headers={"Set-Cookie": b"a=1"})
    assert middleware.process_response(request, response) is response
    assert "names no jar" in caplog.text and not middleware.jars
    middleware.close()


def test_a_path_that_is_no_jar_file_is_refused_when_the_middleware_is_made(tmp_path):
    from glimmering_copper_otter.stores import StoreError

    (tmp_path / "notes.txt").write_text("not a database\n" * 100)
    with pytest.raises(StoreError, match="not a cookie store"):
        _middleware(GCO_COOKIES_PATH=str(tmp_path / "notes.txt"))
