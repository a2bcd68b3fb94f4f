"""glimmering_copper_otter.browser beyond the recorded rows: the compiled
read_set_cookie against the reference model on generated headers, its
arguments, the record, check() and leaks."""

import datetime as dt

import pytest
from hypothesis import given, settings, strategies as st

from gco_testkit import browser_model
from leakcheck import assert_no_leak

from glimmering_copper_otter import browser
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode

UTC = dt.timezone.utc
NOW = dt.datetime(2026, 12, 9, 3, 4, 5, 678901, tzinfo=UTC)
URLS = [None, "https://www.example.test/a/b", "http://www.example.co.uk/x", "http://127.0.0.1/",
        "http://localhost:8080/p/", "https://[::1]/", "https://B\u00fccher.example.test/",
        "HTTPS://user@WWW.Example.TEST:443/a?q#f", "https://example.test"]
FIELDS = ("name", "value", "raw_name", "raw_value", "domain", "host_only", "path", "expires", "secure", "http_only",
          "same_site", "partitioned", "priority", "expired")


def fields(cookie):
    return None if cookie is None else tuple(getattr(cookie, f) for f in FIELDS)


def agree(raw, url):
    want = browser_model.read_set_cookie(raw, url, now=NOW)
    got = browser.read_set_cookie(raw, url, now=NOW)
    assert fields(got) == fields(want), (raw, url)
    findings = browser.check(raw, url, now=NOW)
    if want is None:
        reasons = browser_model.refusal_reasons(raw, url, now=NOW)
        assert findings and findings[0].split(":")[0] == reasons[0], (raw, findings)


PIECES = [b"a", b"b", b"=", b";", b" ", b"\t", b"\"", b",", b".", b"/", b"\x01", b"\x7f",
          b"\xc3\xa9", b"\xe9", b"\xff", b"__Secure-", b"__Host-", b"__Http-", b"__Host-Http-",
          b"Secure", b"HttpOnly", b"Partitioned", b"Path=/", b"Path=x", b"Path=/a b",
          b"Domain=", b"Domain=.example.test", b"Domain=EXAMPLE.test", b"Domain=co.uk",
          b"Domain=test", b"Domain=127.0.0.1", b"Domain=b\xc3\xbccher.example.test",
          b"Domain=localhost", b"Max-Age=", b"Max-Age=0", b"Max-Age=-1", b"Max-Age=+5",
          b"Max-Age=99999999999", b"Max-Age=1.5", b"Expires=Wed, 02 Jan 2030 03:04:05 GMT",
          b"Expires=0", b"expires=1 jan 1600 00:00:00", b"Expires=31 Feb 2027 1:2:3",
          b"Expires=Jan 9 99 23:59:59", b"Expires=10000 dec 1 0:0:0", b"SameSite=None",
          b"SameSite=lax", b"SameSite=Strict", b"samesite=x", b"Priority=HIGH",
          b"Priority=low", b"Priority=med", b"x" * 1025, b"v" * 4000]


@settings(max_examples=600, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=12), st.sampled_from(URLS))
def test_header_shaped_bytes_agree_with_the_model(pieces, url):
    agree(b"".join(pieces), url)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=80), st.sampled_from(URLS))
def test_arbitrary_bytes_agree_with_the_model(raw, url):
    agree(raw, url)


@settings(max_examples=200, deadline=None)
@given(st.text(st.characters(codec="utf-8"), max_size=30) | st.text(max_size=30))
def test_str_headers_agree_with_the_model(raw):
    agree("k=" + raw, "https://www.example.test/")


@pytest.mark.parametrize("raw, url, stored", [
    # without the list only the default rule "*" applies: a last label is a suffix
    (b"a=b; Domain=example.test", "https://www.example.test/", True),
    (b"a=b; Domain=test", "https://www.example.test/", False),
    (b"a=b; Domain=test.", "https://www.example.test/", False),
    (b"a=b; Domain=co.uk", "https://www.example.co.uk/", True),
    (b"a=b; Domain=uk", "https://www.example.co.uk/", False),
])
def test_without_public_suffix_list(monkeypatch, raw, url, stored):
    monkeypatch.setattr(browser_model, "USE_PUBLIC_SUFFIX_LIST", False)
    previous = browser.use_public_suffix_list(False)
    try:
        assert (browser.read_set_cookie(raw, url, now=NOW) is not None) == stored
        assert (browser_model.read_set_cookie(raw, url, now=NOW) is not None) == stored
    finally:
        assert browser.use_public_suffix_list(previous) is False
    assert (browser.read_set_cookie(b"a=b; Domain=co.uk", "https://www.example.co.uk/",
                                    now=NOW) is None)


class Text(str):
    def encode(self, *args):
        raise AssertionError("no method of the argument is called")


@pytest.mark.parametrize("raw, value, raw_value", [
    (b"a=\xe9t\xe9", "\xe9t\xe9", b"\xe9t\xe9"),
    ("a=\xe9t\xe9", "\xe9t\xe9", b"\xe9t\xe9"),
    (Text("a=\xe9t\xe9"), "\xe9t\xe9", b"\xe9t\xe9"),
    (b"a=\xc3\xa9t\xc3\xa9", "\xe9t\xe9", b"\xc3\xa9t\xc3\xa9"),
    ("a=\xe9t\xe9\u20ac", "\xe9t\xe9\u20ac", "\xe9t\xe9\u20ac".encode()),
], ids=["latin-1 bytes", "str", "str subclass", "utf-8 bytes", "wide str"])
def test_header_forms(raw, value, raw_value):
    # the text, and the bytes as received: what a browser sends back
    cookie = browser.read_set_cookie(raw, now=NOW)
    assert (cookie.value, cookie.raw_name, cookie.raw_value) == (value, b"a", raw_value)
    latin_1 = browser.read_set_cookie(b"a=\xe9t\xe9", now=NOW)
    assert (cookie == latin_1) == (hash(cookie) == hash(latin_1)) == (raw_value == b"\xe9t\xe9")


@pytest.mark.parametrize("function", [browser.read_set_cookie, browser.check])
@pytest.mark.parametrize("args, kwargs, error", [
    ((1,), {}, TypeError),
    ((bytearray(b"a=b"),), {}, TypeError),
    ((b"a=b", b"https://x.test/"), {}, TypeError),
    ((b"a=b", "ftp://x.test/"), {}, ValueError),
    ((b"a=b", "/relative"), {}, ValueError),
    ((b"a=b", "https://"), {}, ValueError),
    ((b"a=b", "http://[::1/"), {}, ValueError),
    ((b"a=b",), {"now": dt.datetime(2026, 1, 1)}, ValueError),
    ((b"a=b",), {"now": "2026-01-01"}, TypeError),
    ((b"a=b",), {"when": NOW}, TypeError),
    ((), {}, TypeError),
])
def test_bad_arguments(function, args, kwargs, error):
    with pytest.raises(error):
        function(*args, **kwargs)


@pytest.mark.parametrize("kwargs, error", [
    ({"priority": "urgent"}, ValueError),
    ({"priority": b"high"}, TypeError),
    ({"partitioned": True, "subject": b"a=b"}, TypeError),
    ({"priority": "low", "subject": "a=b"}, TypeError),
])
def test_bad_check_keywords(kwargs, error):
    subject = kwargs.pop("subject", Cookie("a", "b"))
    with pytest.raises(error):
        browser.check(subject, **kwargs)


def test_record():
    cookie = browser.read_set_cookie(b"a=\"b\"; Max-Age=60; Priority=High; SameSite=Lax",
                                     "https://www.example.test/x/y", now=NOW)
    assert repr(cookie) == (
        "BrowserCookie(name='a', value='\"b\"', raw_name=b'a', raw_value=b'\"b\"', "
        "domain='www.example.test', host_only=True, "
        "path='/x', expires=datetime.datetime(2026, 12, 9, 3, 5, 5, 678901, "
        "tzinfo=datetime.timezone.utc), secure=False, http_only=False, "
        f"same_site={CookieSameSiteMode.LAX!r}, partitioned=False, priority='high', "
        "expired=False)")
    again = browser.read_set_cookie(b"a=\"b\"; max-age=60; priority=high; samesite=lax",
                                    "https://www.example.test/x/z", now=NOW)
    assert again == cookie and hash(again) == hash(cookie) and again != fields(cookie)
    assert cookie != browser.read_set_cookie(b"a=b", now=NOW)
    with pytest.raises(AttributeError):
        cookie.name = "b"
    with pytest.raises(TypeError):
        type(cookie)()


def test_now_in_another_zone_and_by_default():
    zone = dt.timezone(dt.timedelta(hours=-5))
    got = browser.read_set_cookie(b"a=b; Max-Age=1", now=NOW.astimezone(zone))
    assert got.expires == NOW + dt.timedelta(seconds=1) and got.expires.tzinfo is UTC
    before = dt.datetime.now(UTC)
    got = browser.read_set_cookie(b"a=b; Max-Age=10")
    assert before + dt.timedelta(seconds=9) < got.expires < before + dt.timedelta(seconds=12)


def offset_now(offset):
    """A datetime whose own utcoffset() returns offset, whatever it is."""
    class Now(dt.datetime):
        def utcoffset(self):
            return offset
    return Now(2026, 12, 9, tzinfo=dt.timezone(dt.timedelta(hours=1)))


MINUTE = dt.timedelta(minutes=1)
EARLY = dt.datetime.min.replace(tzinfo=dt.timezone(24 * 60 * MINUTE - MINUTE))  # year 0 in UTC
LATE = dt.datetime.max.replace(tzinfo=dt.timezone(MINUTE - 24 * 60 * MINUTE))  # year 10000
FIRST, LAST = dt.datetime.min.replace(tzinfo=UTC), dt.datetime.max.replace(tzinfo=UTC)
SECOND, DAY, MICRO = dt.timedelta(seconds=1), dt.timedelta(days=1), dt.timedelta.resolution


@pytest.mark.parametrize("now, raw, expires, words", [
    # a now outside years 1-9999 in UTC is read as the nearest instant inside them
    (EARLY, b"a=b; Max-Age=1", FIRST + SECOND, []),
    (EARLY, b"a=b; Max-Age=0", FIRST, ["Deletion"]),
    (EARLY, b"a=b; Max-Age=-99999999999999999999", FIRST, ["Deletion"]),
    (EARLY, b"a=b; Expires=31 Dec 9999 23:59:59", FIRST + 400 * DAY, ["ExpiryCapped"]),
    (LATE, b"a=b", None, []),
    # nothing expires after the last instant: any expiry is at once
    (LATE, b"a=b; Max-Age=1", LAST, ["Deletion"]),
    (LATE, b"a=b; Max-Age=99999999999999999999", LAST, ["ExpiryCapped", "Deletion"]),
    (LATE, b"a=b; Expires=21 Oct 99999 07:28:00", LAST, ["Deletion"]),
    (offset_now(DAY - MICRO), b"a=b; Max-Age=1", NOW.replace(2026, 12, 8, 0, 0, 1, 1), []),
    (offset_now(MICRO - DAY), b"a=b", None, []),
    # an offset a time zone cannot have
    (offset_now(DAY), b"a=b", ValueError, None),
    (offset_now(-DAY), b"a=b", ValueError, None),
    (offset_now(999_999_999 * DAY), b"a=b; Max-Age=1", ValueError, None),
    (offset_now(-999_999_999 * DAY), b"a=b; Max-Age=1", ValueError, None),
], ids=lambda v: repr(v.utcoffset()) if isinstance(v, dt.datetime) else None)
def test_now_at_the_edges(now, raw, expires, words):
    url = "https://www.example.test/"
    if expires is ValueError:
        for function in (browser.read_set_cookie, browser.check, browser_model.read_set_cookie):
            with pytest.raises(ValueError, match=r"^now\.utcoffset\(\) must be strictly"):
                function(raw, url, now=now)
        return
    got = browser.read_set_cookie(raw, url, now=now)
    assert (got.expires, got.expired) == (expires, "Deletion" in words)
    assert fields(got) == fields(browser_model.read_set_cookie(raw, url, now=now))
    assert [line.split(":")[0] for line in browser.check(raw, url, now=now)] == words


LONG_DATE = dt.datetime(2030, 1, 2, 3, 4, 5)


@pytest.mark.parametrize("subject, kwargs, words", [
    (b"sid=abc; Path=/; Secure; HttpOnly; SameSite=Lax", {}, []),
    (Cookie("sid", "abc", path="/"), {}, []),
    (b"a=b\x01", {}, ["DisallowedCharacter"]),
    (b"=", {}, ["NoCookieContent"]),
    (b"a=" + b"v" * 4095, {}, []),
    (b"a=" + b"v" * 4096, {}, ["NameValuePairExceedsMaxSize"]),
    (Cookie("a", "\xe9" * 750), {}, ["NameValuePairExceedsMaxSize"]),
    (b"=a=b", {}, ["AmbiguousNameValue"]),
    (b"a=b; Domain=other.test", {"url": "https://www.example.test/"}, ["InvalidDomain"]),
    (b"a=b; Domain=co.uk", {"url": "https://www.example.co.uk/"}, ["InvalidDomain"]),
    (b"__Host-a=b; Secure; Path=/x", {"url": "https://www.example.test/"}, ["InvalidPrefix"]),
    (b"a=b; Secure", {"url": "http://www.example.test/"}, ["SecureOnly"]),
    (b"a=b; SameSite=None", {}, ["SameSiteNoneInsecure"]),
    (b"a=b; Partitioned", {}, ["PartitionedNotSecure"]),
    (b"a=b; Path=/" + b"p" * 1100, {}, ["AttributeValueTooLong"]),
    (b"a=b; Colour=red", {}, ["UnknownAttribute"]),
    # ten of a kind, then one line that counts the others
    (b"a=b" + b"; x" * 12 + b"; Max-Age=1.5" * 2, {}, ["UnknownAttribute"] * 10 + [
        "DuplicateAttribute", "InvalidMaxAge", "UnknownAttribute"]),
    (b"a=b; Path=/x; Path=/y", {}, ["DuplicateAttribute"]),
    (b"a=b; HttpOnly=false", {}, ["FlagWithValue"]),
    (b"a=b; Expires=soon", {}, ["InvalidExpires"]),
    (b"a=b; Max-Age=1.5", {}, ["InvalidMaxAge"]),
    (b"a=b; SameSite=Sometimes", {}, ["UnknownSameSite"]),
    (b"a=b; Priority=Urgent", {}, ["UnknownPriority"]),
    (b"a=b; Domain=127.0.0.1", {"url": "http://127.0.0.1/"}, ["DomainIgnored"]),
    (b"a=b; Path=sub", {"url": "https://www.example.test/"}, ["PathDefaulted"]),
    (b"a=b; Max-Age=99999999999", {}, ["ExpiryCapped"]),
    (b"a=b; Max-Age=0", {}, ["Deletion"]),
    (Cookie("a", "b", expires=dt.datetime(2000, 1, 1)), {}, ["Deletion"]),
    (Cookie("a", "b", same_site=CookieSameSiteMode.STRICT), {}, ["SecureAdded"]),
    (Cookie("a", "b", same_site=CookieSameSiteMode.LAX), {"partitioned": True}, ["SecureAdded"]),
    (Cookie("a", "b", secure=True), {"partitioned": True, "priority": "HIGH"}, []),
    (Cookie("a", "b", expires=dt.datetime(69, 1, 1)), {}, ["ExpiresBefore1601", "ExpiryCapped"]),
    (Cookie("a", "b", path="/a b"), {}, ["PathNotAscii"]),
    (Cookie("a", "b", domain="b\xfccher.example.test"), {}, ["DomainNotAscii"]),
    (Cookie("a", "b", path="/a;b"), {}, ["WriterRefuses"]),
    (Cookie.__new__(Cookie), {}, ["NoName"]),
])
def test_check(subject, kwargs, words):
    kwargs.setdefault("now", NOW)
    findings = browser.check(subject, **kwargs)
    assert [line.split(":")[0] for line in findings] == words, findings
    assert all(": " in line and line.split(": ", 1)[1] for line in findings)


def test_check_reads_the_written_header_back():
    # the header check() judges is the writer's with the two keywords
    cookie = Cookie("a", "b", http_only=True, same_site=CookieSameSiteMode.LAX)
    assert browser.check(cookie, "https://www.example.test/", partitioned=True,
                         priority="low", now=NOW) == [
        "SecureAdded: the writer adds Secure for Partitioned"]
    assert browser.check(b"a=b; HttpOnly; Secure; SameSite=Lax; Partitioned; Priority=Low",
                         "https://www.example.test/", now=NOW) == []


@pytest.mark.parametrize("call, raises", [
    (lambda: browser.read_set_cookie(b"__Host-a=b; Secure; Path=/; Max-Age=5; SameSite=Lax; "
                                     b"Priority=High", "https://www.example.test/x", now=NOW), None),
    (lambda: browser.read_set_cookie("a=\u20ac\udc80; Domain=b\u00fccher.example.test",
                                     "https://B\u00fccher.example.test/", now=NOW), None),
    (lambda: browser.read_set_cookie(b"a=b; Domain=other.test", "https://[::1]/"), None),
    (lambda: browser.read_set_cookie(b"a=b", "ftp://x.test/"), ValueError),
    (lambda: browser.read_set_cookie(b"a=b", now=dt.datetime(2026, 1, 1)), ValueError),
    (lambda: browser.read_set_cookie(1), TypeError),
    (lambda: browser.check(b"a=b; Colour=red; Max-Age=0", "http://localhost/", now=NOW), None),
    (lambda: browser.check(Cookie("a", "b", path="/a;b")), None),
    (lambda: browser.check(Cookie("a", "b"), partitioned=True, priority="x"), ValueError),
])
def test_no_leaks(call, raises):
    assert_no_leak(call, raises)
