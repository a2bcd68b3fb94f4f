"""write_cookie_for_response, reached through __pyx_capi__: one Cookie to
the bytes of one Set-Cookie header value."""

import builtins
import urllib.parse
from datetime import datetime, timedelta, timezone, tzinfo

import pytest

from conftest import traceback_names
from glimmering_copper_otter import cookies
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode

UNDEFINED = CookieSameSiteMode.UNDEFINED
LAX = CookieSameSiteMode.LAX
STRICT = CookieSameSiteMode.STRICT
NONE = CookieSameSiteMode.NONE

WHEN = datetime(2030, 1, 2, 3, 4, 5)
ENTRY = "glimmering_copper_otter.cookies.write_cookie_for_response"
FIELDS = ("name", "value", "expires", "domain", "path", "http_only", "secure", "max_age", "same_site")


@pytest.fixture
def write(capi):
    return capi.write_cookie_for_response


def fields(cookie):
    return {key: getattr(cookie, key) for key in FIELDS}


def test_worked_example(write):
    cookie = Cookie("sid", "a b;c/d", WHEN, None, "/", True, False, 3600, LAX)
    assert write(cookie) == (
        b"sid=a%20b%3Bc/d; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; Path=/; HttpOnly; SameSite=Lax"
    )
    cookie.same_site = NONE
    assert write(cookie) == (
        b"sid=a%20b%3Bc/d; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; Path=/; HttpOnly; Secure; SameSite=None"
    )
    assert type(write(cookie)) is bytes


class Falsy(datetime):
    def __bool__(self):
        return False


class OwnFormat(datetime):
    def strftime(self, format):
        return "<" + format + ">"


WRITTEN = {
    "defaults": ({}, b"a="),
    "value": ({"value": "v"}, b"a=v"),
    # Max-Age.
    "Max-Age zero": ({"max_age": 0}, b"a=; Max-Age=0"),
    "Max-Age one": ({"max_age": 1}, b"a=; Max-Age=1"),
    "Max-Age minus one": ({"max_age": -1}, b"a="),
    "Max-Age minus two": ({"max_age": -2}, b"a="),
    "Max-Age smallest": ({"max_age": -(2**63)}, b"a="),
    "Max-Age largest": ({"max_age": 2**63 - 1}, b"a=; Max-Age=9223372036854775807"),
    # Domain and path.
    "empty domain": ({"domain": ""}, b"a="),
    "empty path": ({"path": ""}, b"a="),
    "domain and path": ({"domain": "example.com", "path": "/x"}, b"a=; Domain=example.com; Path=/x"),
    "domain and path are not encoded": (
        {"domain": 'a b,c="d"%41+', "path": "/a b=%20'\"\\"},
        b"a=; Domain=a b,c=\"d\"%41+; Path=/a b=%20'\"\\",
    ),
    "non-ASCII domain and path as UTF-8": (
        {"domain": "b\u00fccher.example", "path": "/\u00e9/\u20ac/\U0001d11e"},
        "a=; Domain=b\u00fccher.example; Path=/\u00e9/\u20ac/\U0001d11e".encode(),
    ),
    "high control characters are not single bytes": (
        {"domain": "d\x85\x9f", "path": "/\u2028"},
        "a=; Domain=d\x85\x9f; Path=/\u2028".encode(),
    ),
    # Flags and SameSite.
    "HttpOnly": ({"http_only": True}, b"a=; HttpOnly"),
    "Secure": ({"secure": True}, b"a=; Secure"),
    "HttpOnly and Secure": ({"http_only": True, "secure": True}, b"a=; HttpOnly; Secure"),
    "SameSite Lax": ({"same_site": LAX}, b"a=; SameSite=Lax"),
    "SameSite Strict forces Secure": ({"same_site": STRICT}, b"a=; Secure; SameSite=Strict"),
    "SameSite None forces Secure": ({"same_site": NONE}, b"a=; Secure; SameSite=None"),
    "SameSite None with Secure": ({"same_site": NONE, "secure": True}, b"a=; Secure; SameSite=None"),
    "SameSite Lax with Secure": ({"same_site": LAX, "secure": True}, b"a=; Secure; SameSite=Lax"),
    "SameSite outside the four modes": ({"same_site": 7}, b"a="),
    "SameSite largest number": ({"same_site": 4294967295, "secure": True}, b"a=; Secure"),
    # Expires.
    "Expires": ({"expires": WHEN}, b"a=; Expires=Wed, 02 Jan 2030 03:04:05 GMT"),
    "Expires drops microseconds": ({"expires": WHEN.replace(microsecond=999999)}, b"a=; Expires=Wed, 02 Jan 2030 03:04:05 GMT"),
    "Expires that is false": ({"expires": Falsy(2030, 1, 2)}, b"a="),
    "Expires with its own strftime": ({"expires": OwnFormat(2030, 1, 2)}, b"a=; Expires=<%a, %d %b %Y %H:%M:%S GMT>"),
    # Everything, in the fixed order.
    "every piece": (
        {"value": "v", "expires": WHEN, "max_age": 60, "domain": "d", "path": "/", "http_only": True,
         "secure": True, "same_site": STRICT},
        b"a=v; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=60; Domain=d; Path=/; HttpOnly; Secure; SameSite=Strict",
    ),
}


@pytest.mark.parametrize(("attributes", "header"), WRITTEN.values(), ids=WRITTEN.keys())
def test_writes(write, attributes, header):
    cookie = Cookie(**{"name": "a", "value": "", **attributes})
    assert write(cookie) == header


def test_forced_secure_leaves_the_cookie_alone(write):
    cookie = Cookie("a", "b", same_site=STRICT)
    before = fields(cookie)
    assert write(cookie) == b"a=b; Secure; SameSite=Strict"
    assert cookie.secure is False
    assert fields(cookie) == before


def test_attributes_changed_after_construction_are_written(write):
    cookie = Cookie("a", "b", domain="d", max_age=5, same_site=LAX)
    cookie.name, cookie.value = "n", "v"
    cookie.domain, cookie.max_age, cookie.same_site, cookie.http_only = None, -1, UNDEFINED, True
    del cookie.path
    assert write(cookie) == b"n=v; HttpOnly"


# ---------------------------------------------------------------------------
# Percent-encoding of the name and the value


ENCODED = [
    ("azAZ09", "azAZ09"),
    ("_.-~/", "_.-~/"),
    (" ", "%20"),
    (";", "%3B"),
    ("=", "%3D"),
    (",", "%2C"),
    ("%", "%25"),
    ("+", "%2B"),
    ('"', "%22"),
    ("\\", "%5C"),
    ("\x00\r\n\x7f", "%00%0D%0A%7F"),
    ("\u00e9", "%C3%A9"),
    ("\u20ac", "%E2%82%AC"),
    ("\U0001d11e", "%F0%9D%84%9E"),
    ("\U0001f63f\U0010ffff", "%F0%9F%98%BF%F4%8F%BF%BF"),
    ("a b;c/d", "a%20b%3Bc/d"),
    ("\u00e9t\u00e9 x", "%C3%A9t%C3%A9%20x"),
]


@pytest.mark.parametrize(("text", "encoded"), ENCODED)
def test_value_is_percent_encoded(write, text, encoded):
    assert encoded == urllib.parse.quote(text)
    assert write(Cookie("a", text)) == b"a=" + encoded.encode()


@pytest.mark.parametrize(("text", "encoded"), ENCODED)
def test_name_is_percent_encoded(write, text, encoded):
    assert write(Cookie(text, "v")) == encoded.encode() + b"=v"


def test_longest_value(write):
    assert write(Cookie("a", "\u00e9" * 2048)) == b"a=" + b"%C3%A9" * 2048


# ---------------------------------------------------------------------------
# Expires with a time zone is written in UTC


class NoOffset(tzinfo):
    def utcoffset(self, dt):
        return None


@pytest.mark.parametrize(
    ("expires", "date"),
    [
        (datetime(2030, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=2))), b"Wed, 02 Jan 2030 01:04:05 GMT"),
        (datetime(2030, 1, 1, 22, 4, 5, tzinfo=timezone(timedelta(hours=-5))), b"Wed, 02 Jan 2030 03:04:05 GMT"),
        (datetime(2029, 12, 31, 23, 0, tzinfo=timezone(timedelta(hours=-1))), b"Tue, 01 Jan 2030 00:00:00 GMT"),
        (datetime(2030, 1, 2, 3, 4, 5, tzinfo=timezone.utc), b"Wed, 02 Jan 2030 03:04:05 GMT"),
        (datetime(2030, 1, 2, 3, 4, 5, 678, tzinfo=timezone(timedelta(minutes=30, seconds=15))), b"Wed, 02 Jan 2030 02:33:50 GMT"),
        (datetime(2030, 1, 2, 3, 4, 5, tzinfo=NoOffset()), b"Wed, 02 Jan 2030 03:04:05 GMT"),
    ],
)
def test_aware_expires_is_written_in_utc(write, expires, date):
    cookie = Cookie("a", "b", expires)
    assert write(cookie) == b"a=b; Expires=" + date
    assert cookie.expires is expires


# ---------------------------------------------------------------------------
# Failures: the exception propagates and no bytes are returned


def quote_error(argument):
    with pytest.raises(Exception) as excinfo:
        urllib.parse.quote(argument)
    return excinfo.value


class BadTruth(datetime):
    def __bool__(self):
        raise ZeroDivisionError("truth")


class BadFormat(datetime):
    def strftime(self, format):
        raise LookupError("format")


@pytest.mark.parametrize(
    ("make", "error_type", "message"),
    [
        (lambda: Cookie("a", None), TypeError, str(quote_error(None))),
        (lambda: Cookie.__new__(Cookie), TypeError, str(quote_error(None))),
        (lambda: Cookie("\ud800", "v"), UnicodeEncodeError, str(quote_error("\ud800"))),
        (lambda: Cookie("a", "v", domain="\udc80"), UnicodeEncodeError, None),
        (lambda: Cookie("a", "v", path="/\ud800"), UnicodeEncodeError, None),
        (lambda: Cookie("a", "v", BadTruth(2030, 1, 2)), ZeroDivisionError, "truth"),
        (lambda: Cookie("a", "v", BadFormat(2030, 1, 2)), LookupError, "format"),
        (lambda: Cookie("a", "v", datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=1)))), OverflowError, None),
    ],
    ids=["value None", "bare allocation", "name surrogate", "domain surrogate", "path surrogate",
         "truth of expires", "strftime", "expires before year 1 in UTC"],
)
def test_failures(write, make, error_type, message):
    cookie = make()
    before = fields(cookie)
    with pytest.raises(error_type) as excinfo:
        write(cookie)
    if message is not None:
        assert str(excinfo.value) == message
    assert ENTRY in traceback_names(excinfo)
    assert fields(cookie) == before


def test_value_surrogate(write):
    class Raw(Cookie):
        @property
        def value(self):
            return "x\udfff"

        @value.setter
        def value(self, value):
            Cookie.value.__set__(self, value)

    with pytest.raises(UnicodeEncodeError) as excinfo:
        write(Raw("a", "b"))
    assert str(excinfo.value) == str(quote_error("x\udfff"))


def test_what_is_not_a_cookie_is_refused(write):
    for argument in (None, "a=b", object()):
        with pytest.raises(Exception):
            write(argument)


# ---------------------------------------------------------------------------
# Domain and path bytes that would end their attribute or the header line


FORBIDDEN = [";"] + [chr(code) for code in range(0x20)] + ["\x7f"]


@pytest.mark.parametrize("attribute", ["domain", "path"])
@pytest.mark.parametrize("character", FORBIDDEN, ids=[f"{ord(c):#04x}" for c in FORBIDDEN])
def test_domain_and_path_cannot_break_out(write, attribute, character):
    cookie = Cookie("a", "b", domain="example.com", path="/")
    setattr(cookie, attribute, "x" + character + "y")
    # The setter stores any text.
    assert getattr(cookie, attribute) == "x" + character + "y"
    before = fields(cookie)
    with pytest.raises(ValueError) as excinfo:
        write(cookie)
    assert type(excinfo.value) is ValueError
    assert attribute in str(excinfo.value)
    assert ENTRY in traceback_names(excinfo)
    assert fields(cookie) == before


@pytest.mark.parametrize(
    ("attribute", "text"),
    [
        ("domain", ";"),
        ("domain", "example.com; Secure"),
        ("domain", "\u00fc.example;"),
        ("path", "/\r\nSet-Cookie: admin=1"),
        ("path", "\n"),
        ("path", "/\u00e9\x00"),
    ],
)
def test_forbidden_bytes_anywhere(write, attribute, text):
    cookie = Cookie("a", "b", **{attribute: text})
    with pytest.raises(ValueError, match=attribute):
        write(cookie)


def test_domain_is_checked_before_path(write):
    with pytest.raises(ValueError) as excinfo:
        write(Cookie("a", "b", domain="d;", path="/;"))
    assert "domain" in str(excinfo.value)
    assert "path" not in str(excinfo.value)


def test_name_and_value_may_hold_what_domain_and_path_may_not(write):
    assert write(Cookie("a;\r\n", "b;\x00\x7f")) == b"a%3B%0D%0A=b%3B%00%7F"


def test_parser_still_reads_control_characters():
    cookie = cookies.parse_cookie(b"a=b; Domain=d\x01e; Path=/\x7f")
    assert (cookie.domain, cookie.path) == ("d\x01e", "/\x7f")


# ---------------------------------------------------------------------------
# quote is looked up at each use; the name and the value through attributes


def test_quote_is_looked_up_for_the_name_and_for_the_value(write, restore_module_attributes):
    calls = []

    def recording_quote(text):
        calls.append(text)
        return "<" + text + ">"

    cookies.quote = recording_quote
    assert write(Cookie("n", "v w", path="/ x", domain="d e")) == b"<n>=<v w>; Domain=d e; Path=/ x"
    assert calls == ["n", "v w"]

    def switching_quote(text):
        # The value's lookup comes after this call, so it finds the new binding.
        cookies.quote = recording_quote
        return text.upper()

    calls.clear()
    cookies.quote = switching_quote
    assert write(Cookie("n", "v")) == b"N=<v>"
    assert calls == ["v"]


def test_quote_result_is_encoded_as_utf8(write, restore_module_attributes):
    cookies.quote = lambda text: text + "\u00e9"
    assert write(Cookie("n", "v")) == "n\u00e9=v\u00e9".encode()


def test_exception_from_quote_propagates_unchanged(write, restore_module_attributes):
    class Refused(Exception):
        pass

    def refusing_quote(text):
        raise Refused(text)

    cookies.quote = refusing_quote
    with pytest.raises(Refused) as excinfo:
        write(Cookie("n", "v"))
    assert excinfo.value.args == ("n",)
    assert ENTRY in traceback_names(excinfo)


def test_quote_deleted(write, restore_module_attributes, monkeypatch):
    del cookies.quote
    with pytest.raises(NameError) as excinfo:
        write(Cookie("n", "v"))
    assert str(excinfo.value) == "name 'quote' is not defined"
    assert ENTRY in traceback_names(excinfo)
    monkeypatch.setattr(builtins, "quote", str.upper, raising=False)
    assert write(Cookie("n", "v")) == b"N=V"


def test_subclass_name_and_value_are_honoured(write):
    class Shouting(Cookie):
        @property
        def name(self):
            return Cookie.name.__get__(self).upper()

        @name.setter
        def name(self, name):
            Cookie.name.__set__(self, name)

        @property
        def value(self):
            return "[" + Cookie.value.__get__(self) + "]"

        @value.setter
        def value(self, value):
            Cookie.value.__set__(self, value)

    assert write(Shouting("sid", "a b")) == b"SID=%5Ba%20b%5D"


def test_subclass_other_attributes_are_read_from_the_record(write):
    class Pretending(Cookie):
        path = property(lambda self: "/elsewhere")
        max_age = property(lambda self: 99)
        secure = property(lambda self: True)

    assert write(Pretending("a", "b", path="/", max_age=5)) == b"a=b; Max-Age=5; Path=/"


def test_plain_subclass_writes_like_cookie(write):
    class Plain(Cookie):
        pass

    attributes = {"expires": WHEN, "max_age": 1, "domain": "d", "path": "/", "http_only": True, "same_site": NONE}
    assert write(Plain("n m", "v;", **attributes)) == write(Cookie("n m", "v;", **attributes))
