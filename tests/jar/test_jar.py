"""The cookie jar beside what the recorded browser sequences pin (their own
runner replays every rule Chromium showed): hosts outside ASCII, ws urls,
limits other than Chromium's, its arguments, its protocols, threads sharing
one jar, leaks, and callers' code that runs mid-call."""

import threading
import weakref
from datetime import datetime, timedelta, timezone

import pytest

from glimmering_copper_otter.browser import BrowserCookie
from glimmering_copper_otter.jar import CookieJar
from gco_testkit.hostile import Boom, StrSub
from leakcheck import assert_no_leak

T0 = datetime(2030, 1, 1, tzinfo=timezone.utc)


def at(seconds):
    return T0 + timedelta(seconds=seconds)


# A step is ("set", url, header[, options]) or ("send", url, expected header[, options]).
# Options: at (seconds after T0), top (site_for_cookies), nav, method, script,
# stored (whether set_cookie must store: True, False).
def run(steps, jar=None):
    jar = CookieJar() if jar is None else jar
    for op, url, text, *rest in steps:
        o = rest[0] if rest else {}
        kw = dict(now=at(o.get("at", 0)), site_for_cookies=o.get("top"),
                  navigation=o.get("nav", False), from_script=o.get("script", False))
        if op == "set":
            stored = jar.set_cookie(text, url, **kw)
            if "stored" in o:
                assert (stored is not None) == o["stored"], (text, url, o)
        else:
            got = jar.cookie_header(url, method=o.get("method", "GET"), **kw)
            assert got == (text.encode() if isinstance(text, str) else text), (url, o)
    return jar


H = "https://www.h.test/"
SCENARIOS = {
    "hosts and Domains outside ASCII, normalised and mapped": [
        ("set", "https://www.例え.jp/", "a=1; Domain=例え.jp"),
        ("send", "https://xn--r8jz45g.jp/", "a=1"), ("send", "https://ｗｗｗ.例え.jp/", "a=1"),
    ],
    "ws and wss count as http and https": [
        ("set", "wss://www.h.test/", "s=1; Secure"), ("send", H, "s=1"), ("send", "ws://www.h.test/", ""),
    ],
    "a cookie unused for a minute has its last access updated when sent": [
        # With room for 2 (purged to 2 - 2 // 6 = 2), the least recently used goes.
        ("set", H, "a=1"), ("set", H, "b=1", {"at": 30}), ("send", H, "a=1; b=1", {"at": 61}),
        ("set", H, "c=1", {"at": 62}), ("send", H, "a=1; c=1", {"at": 63}),
    ],
}


@pytest.mark.parametrize("name", SCENARIOS)
def test_scenario(name):
    jar = CookieJar(max_cookies_per_site=2) if "last access" in name else None
    run(SCENARIOS[name], jar)


# --- Limits ---------------------------------------------------------------------------

def fill(jar, count, header="c{}=1", url=H, start=0):
    for i in range(count):
        jar.set_cookie(header.format(i + start), url, now=at(i + start))


def test_no_limits():
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    fill(jar, 400)
    assert len(jar) == 400 and jar.max_cookies is None and jar.max_cookies_per_site is None


# --- The rest of the API --------------------------------------------------------------

def populated():
    jar = CookieJar()
    jar.set_cookie("a=1; Domain=h.test; Path=/", H, now=T0)
    jar.set_cookie("a=2; Path=/x", H, now=at(1))
    jar.set_cookie("a=3", H, now=at(2))
    jar.set_cookie("b=1; Max-Age=10", "https://k.test/", now=at(3))
    return jar


@pytest.mark.parametrize("kwargs, expected", [
    ({}, ("www.h.test", "/x")),                  # host-only first, then the longest path
    ({"domain": ".H.TEST"}, ("h.test", "/")),
    ({"path": "/"}, ("www.h.test", "/")),
    ({"domain": b"www.h.test", "path": b"/x"}, ("www.h.test", "/x")),
    ({"domain": "other.test"}, None),
])
def test_get(kwargs, expected):
    found = populated().get("a", **kwargs)
    assert (found and (found.domain, found.path)) == expected


def test_records_and_listings():
    jar = populated()
    stored = jar.set_cookie("n=v; Secure; HttpOnly; SameSite=Strict; Priority=HIGH; Max-Age=5",
                            H, now=T0)
    assert isinstance(stored, BrowserCookie)
    assert (stored.raw_name, stored.raw_value) == (b"n", b"v")
    assert (stored.name, stored.value, stored.domain, stored.host_only, stored.path,
            stored.expires, stored.secure, stored.http_only, stored.same_site.name,
            stored.priority, stored.expired) == (
        "n", "v", "www.h.test", True, "/", at(5), True, True, "STRICT", "high", False)
    assert jar.get("n") == stored
    jar.set_cookie(b"v=\xe9t\xe9", H, now=T0)
    jar.set_cookie(b"w=\xc3\xa9t\xc3\xa9", H, now=T0)
    assert [(c.value, c.raw_value) for c in (jar.get("v"), jar.get(b"w"))] == [
        ("\xe9t\xe9", b"\xe9t\xe9"), ("\xe9t\xe9", b"\xc3\xa9t\xc3\xa9")]
    jar.clear(name="\xe9t\xe9"), jar.clear(name="v"), jar.clear(name="w")
    assert [c.value for c in jar.cookies(H, now=T0)] == ["1", "3", "v"]
    assert [c.value for c in jar.cookies("https://www.h.test/x", now=T0)] == ["2", "1", "3", "v"]
    everything = jar.cookies(now=T0)
    assert [c.value for c in everything] == ["2", "1", "3", "1", "v"] and len(jar) == 5
    assert list(jar) == everything
    assert len(jar.cookies(now=at(14))) == 3       # b and n expired
    ((b, details),) = populated().cookies("https://k.test/", now=T0, details=True)
    assert (b.name, tuple(details)) == ("b", (at(3), at(3), None, "Secure", 443))
    jar.set_cookie("p=1; Secure; Partitioned", "http://localhost/", now=T0)
    assert jar.cookies("http://localhost/", details=True)[0][1][2:] == (
        ("http://localhost", False), "Secure", 443)
    deletion = jar.set_cookie("a=; Max-Age=0", H, now=T0)
    assert deletion.expired and jar.get("a", domain="www.h.test", path="/") is None


def test_clearing():
    jar = populated()
    assert jar.clear(domain="h.test") == 1 and jar.clear(name="zz") == 0
    assert jar.clear(path="/x") == 1 and len(jar) == 2
    jar.set_cookie("p=1; Max-Age=100", H, now=T0)
    assert jar.clear_expired(now=at(50)) == 1          # b
    assert jar.clear_session_cookies() == 1            # a=3
    assert [c.name for c in jar] == ["p"] and jar.clear() == 1 and len(jar) == 0


def test_set_cookies_reads_lists_and_raw_headers():
    jar = CookieJar()
    results = jar.set_cookies(
        [(b"Set-Cookie", b"a=1"), (b"content-type", b"text/html"), ["SET-COOKIE", "b=2"],
         "c=3", b"bad\x00=1"], H, now=T0)
    assert [r and r.name for r in results] == ["a", "b", "c", None]
    assert jar.cookie_header(H, now=T0) == b"a=1; b=2; c=3"
    assert jar.set_cookies(iter([]), H) == []


def test_the_object():
    jar = CookieJar(max_cookies=5, public_suffix_list=False)
    assert (jar.max_cookies, jar.max_cookies_per_site, jar.public_suffix_list) == (5, 180, False)
    assert repr(jar) == "<glimmering_copper_otter.jar.CookieJar with 0 cookies>"
    ref = weakref.ref(jar)
    del jar
    assert ref() is None

    class Sub(CookieJar):
        pass

    sub = Sub()
    sub.extra = 1
    assert sub.set_cookie("a=1", H) and len(sub) == 1


def test_the_suffix_list_is_per_jar():
    listed, unlisted = CookieJar(), CookieJar(public_suffix_list=False)
    for jar in (listed, unlisted):
        jar.set_cookie("a=1; Domain=co.uk", "https://www.x.co.uk/")
        jar.set_cookie("b=1", "https://www.x.co.uk/")
    assert listed.cookie_header("https://www.x.co.uk/") == b"b=1"
    assert unlisted.cookie_header("https://y.co.uk/") == b"a=1"


ARGUMENT_ERRORS = [
    (lambda j: j.set_cookie(1, H), TypeError, "raw must be bytes or str"),
    (lambda j: j.set_cookie("a=1", b"https://h.test/"), TypeError, "url must be a str"),
    (lambda j: j.set_cookie("a=1", "ftp://h.test/"), ValueError, "url must be an absolute"),
    (lambda j: j.set_cookie("a=1", "https://h.test:99999/"), ValueError, "url must be"),
    (lambda j: j.set_cookie("a=1", "/relative"), ValueError, "url must be"),
    (lambda j: j.set_cookie("a=1", H, now=datetime(2030, 1, 1)), ValueError, "aware"),
    (lambda j: j.set_cookie("a=1", H, now="today"), TypeError, "now must be a datetime"),
    (lambda j: j.set_cookie("a=1", H, site_for_cookies="x"), ValueError, "site_for_cookies"),
    (lambda j: j.set_cookie("a=1", H, navigation=Truthy(Boom)), Boom, ""),
    (lambda j: j.set_cookies("a=1", H), TypeError, "not a single bytes or str"),
    (lambda j: j.set_cookies([("a", "b", "c")], H), ValueError, "(name, value) pair"),
    (lambda j: j.set_cookies([1], H), TypeError, "a Set-Cookie value must be"),
    (lambda j: j.set_cookies(Raising(), H), Boom, ""),
    (lambda j: j.cookie_header(H, method=b"GET"), TypeError, "method must be a str"),
    (lambda j: j.get(None), TypeError, "name must be"),
    (lambda j: j.clear(domain=1), TypeError, "domain must be"),
    (lambda j: j.set_cookie("a=1"), TypeError, "exactly 2 positional arguments"),
    (lambda j: CookieJar(max_cookies=0), ValueError, "at least 1"),
    (lambda j: CookieJar(max_cookies_per_site="1"), TypeError, "int or None"),
    (lambda j: CookieJar("cookies.sqlite", timeout="5"), TypeError, "timeout is a number"),
    (lambda j: CookieJar(max_cookies=True), TypeError, "int or None"),
]


class Truthy:
    def __init__(self, effect):
        self.effect = effect

    def __bool__(self):
        if isinstance(self.effect, type):
            raise self.effect
        return self.effect()


class Raising:
    def __iter__(self):
        yield "a=1"
        raise Boom


@pytest.mark.parametrize("call, error, message", ARGUMENT_ERRORS)
def test_argument_errors(call, error, message):
    jar = CookieJar()
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)") or None):
        call(jar)
    assert len(jar) == 0


def test_content_never_raises():
    jar = CookieJar()
    for raw in [b"", b";", b"\x00", b"=", b"a=" + b"x" * 5000, "é=ü", "\udc80=1", b"a=1; Domain=.."]:
        jar.set_cookie(raw, H)
        jar.set_cookie(raw, "http://[::1]/")


# --- Threads, leaks and callers' code -------------------------------------------------

def test_threads_share_one_jar_without_losing_a_cookie():
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    barrier = threading.Barrier(16)
    errors = []

    def work(t):
        barrier.wait()
        try:
            for i in range(150):
                jar.set_cookies([f"t{t}_{i}=1", f"shared{i % 7}={t}"], f"https://h{t % 4}.test/")
                jar.cookie_header(f"https://h{t % 4}.test/")
                if i % 50 == 0:
                    list(jar)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(jar) == 16 * 150 + 4 * 7
    header = jar.cookie_header("https://h1.test/").decode()
    assert all(f"t{t}_{i}=1" in header for t in (1, 5, 9, 13) for i in range(150))


LEAK_CASES = {
    "set_cookie": (lambda j: j.set_cookie(b"a=1; Path=/; Secure; Partitioned", H), None),
    "set_cookies": (lambda j: j.set_cookies([(b"set-cookie", b"b=2")], H, site_for_cookies=H), None),
    "cookie_header": (lambda j: j.cookie_header(H, navigation=True), None),
    "listings": (lambda j: (j.cookies(), j.cookies(H), list(j), j.get("a"), len(j)), None),
    "clear": (lambda j: (j.clear(name="zz"), j.clear_expired(), j.clear_session_cookies()), None),
    "bad url": (lambda j: j.cookie_header("nope"), ValueError),
    "unusual url": (lambda j: j.cookie_header("https://ÉX.test/ a"), None),
    "bad iterable": (lambda j: j.set_cookies(Raising(), H), Boom),
}


@pytest.mark.parametrize("case", LEAK_CASES)
def test_no_leak(case):
    operation, raises = LEAK_CASES[case]
    jar = populated()
    assert_no_leak(lambda: operation(jar), raises)


class MutatingZone(timezone.__base__):
    """A time zone whose utcoffset() changes the jar mid-call."""

    def __init__(self, jar):
        self.jar = jar

    def utcoffset(self, when):
        self.jar.clear()
        self.jar.set_cookie("zone=1", H)
        return timedelta(hours=1)


class LoudStr(StrSub):
    def __getattribute__(self, name):
        raise AssertionError(f"the jar read {name} of a str subclass")

    def __eq__(self, other):
        raise AssertionError("compared")

    __hash__ = str.__hash__


def mutating_values(jar):
    yield "a=1"
    jar.set_cookie("inner=1", H)
    yield "b=2"
    jar.clear(name="a")
    yield "c=3"


REENTRANCY = {
    "a now whose zone mutates the jar": (
        lambda j: j.set_cookie("x=1", H, now=datetime(2030, 1, 1, 1, tzinfo=MutatingZone(j))),
        "zone=1; x=1"),
    "a url of a str subclass": (lambda j: j.set_cookie("x=1", LoudStr(H)), "a=0; x=1"),
    "a site_for_cookies of a str subclass": (
        lambda j: j.cookie_header(LoudStr(H), site_for_cookies=LoudStr(H)), "a=0"),
    "headers that mutate the jar while they are read": (
        lambda j: j.set_cookies(mutating_values(j), H), "inner=1; a=1; b=2; c=3"),
    "a navigation flag that calls the jar": (
        lambda j: j.cookie_header(H, navigation=Truthy(lambda: j.set_cookie("t=1", H) and False)),
        "a=0; t=1"),
}


@pytest.mark.parametrize("case", REENTRANCY)
def test_callers_code_runs_before_the_jar_is_locked(case):
    call, header_after = REENTRANCY[case]
    jar = CookieJar()
    jar.set_cookie("a=0", H)
    call(jar)
    assert jar.cookie_header(H) == header_after.encode()
