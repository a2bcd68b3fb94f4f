"""parse_cookie: one Set-Cookie header value, as bytes, to a Cookie; and
split_value, the cut at the first separator that the parser relies on."""

import builtins
import email.utils
import urllib.parse
from datetime import datetime
from types import SimpleNamespace

import pytest

from conftest import traceback_names
from glimmering_copper_otter import cookies
from glimmering_copper_otter.cookies import (
    Cookie,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    parse_cookie,
)

UNDEFINED = CookieSameSiteMode.UNDEFINED
LAX = CookieSameSiteMode.LAX
STRICT = CookieSameSiteMode.STRICT
NONE = CookieSameSiteMode.NONE

DATE = b"Wed, 02 Jan 2030 03:04:05 GMT"
WHEN = datetime(2030, 1, 2, 3, 4, 5)

DEFAULTS = {
    "name": "a",
    "value": "b",
    "expires": None,
    "domain": None,
    "path": None,
    "http_only": False,
    "secure": False,
    "max_age": -1,
    "same_site": UNDEFINED,
}


def raised(function, *args):
    """The exception that function(*args) raises."""
    with pytest.raises(BaseException) as excinfo:
        function(*args)
    return excinfo.value


DATE_ERROR = str(raised(email.utils.parsedate_to_datetime, "garbage"))


def fields(cookie):
    return {key: getattr(cookie, key) for key in DEFAULTS}


def expected(**changes):
    return {**DEFAULTS, **changes}


# ---------------------------------------------------------------------------
# Headers that parse


PARSED = {
    # The fragments and their separators.
    "name and value only": (b"a=b", {}),
    "every attribute": (
        b"a=b; Path=/; Domain=d; Max-Age=60; Secure; HttpOnly; SameSite=Lax",
        {"path": "/", "domain": "d", "max_age": 60, "secure": True, "http_only": True, "same_site": LAX},
    ),
    "bare semicolons": (b"a=b;path=/;SECURE", {"path": "/", "secure": True}),
    "semicolon kept where '; ' also occurs": (b"a=b;Path=/; Secure", {"value": "b;Path=/", "secure": True}),
    "'=' in the value": (b"a=b=c", {"value": "b=c"}),
    "empty value": (b"a=", {"value": ""}),
    "NUL and CR LF are text": (b"a=b\x00c\r\n", {"value": "b\x00c\r\n"}),
    "empty fragments between separators": (b"a=b; ; Secure", {"secure": True}),
    "trailing separator": (b"a=b; ", {}),
    "doubled bare semicolon": (b"a=b;;secure;", {"secure": True}),
    "bare semicolon before '; ' stays in the value": (b"a=b;; Path=/", {"value": "b;", "path": "/"}),
    "'=' in an attribute value": (b"a=b; Path=/x=y; Domain==d", {"path": "/x=y", "domain": "=d"}),
    "unknown attributes and flags": (b"a=b; Comment=x; Version=1; Partitioned; Priority=High", {}),
    # Quotes around the value.
    "quoted value with a space": (b'a="x y"', {"value": "x y"}),
    "quote missing at the end": (b'a="x y', {"value": "x y"}),
    "quoted value without a space": (b'a="x"', {"value": '"x"'}),
    "space but no leading quote": (b'a=x "y"', {"value": 'x "y"'}),
    "every outer quote stripped": (b'a=""x y"""', {"value": "x y"}),
    "quotes around a lone space": (b'a=" "', {"value": " "}),
    "stripped before percent-decoding": (b'a="%41 b"', {"value": "A b"}),
    "encoded quotes are not stripped": (b"a=%22x y%22", {"value": '"x y"'}),
    "quoted attributes keep their quotes": (b'a=b; Domain="d e"; Path="/"', {"domain": '"d e"', "path": '"/"'}),
    # Percent-decoding of the name and the value only.
    "percent-escapes in the value": (b"a=%41%20b", {"value": "A b"}),
    "plus sign kept": (b"a=b+c", {"value": "b+c"}),
    "percent-escapes in the name": (b"%61%3D=b", {"name": "a="}),
    "hex digits in either case": (b"a=%c3%a9%6f%6F%2f%Fa", {"value": "\u00e9oo/\ufffd"}),
    "invalid escapes kept": (b"a=%zz%4%", {"value": "%zz%4%"}),
    "escape of invalid UTF-8 replaced": (b"a=%FFx", {"value": "\ufffdx"}),
    "raw UTF-8 name and value": ("\u00e9=\u00fc%41".encode(), {"name": "\u00e9", "value": "\u00fcA"}),
    "path and domain taken as they stand": (b"a=b; Path=/%41; Domain=%64", {"path": "/%41", "domain": "%64"}),
    "UTF-8 domain and path": ("a=b; Domain=\u00fc.example; Path=/\u00e9".encode(), {"domain": "\u00fc.example", "path": "/\u00e9"}),
    # Attribute names in any case, but exactly.
    "upper-case keys": (b"a=b; PATH=/p; DOMAIN=d; MAX-AGE=5; SAMESITE=strict; HTTPONLY", {"path": "/p", "domain": "d", "max_age": 5, "same_site": STRICT, "http_only": True}),
    "mixed-case keys": (b"a=b; pAtH=/p; DoMaIn=d; mAx-AgE=5; sAmEsItE=LaX; sEcUrE", {"path": "/p", "domain": "d", "max_age": 5, "same_site": LAX, "secure": True}),
    "space before a key": (b"a=b;  Path=/; Domain =d;  Secure", {}),
    "space after a flag": (b"a=b; Secure ; HttpOnly ", {}),
    "flag with a value": (b"a=b; Secure=1; HttpOnly=", {}),
    # Max-Age, as int() reads bytes.
    "Max-Age zero": (b"a=b; Max-Age=0", {"max_age": 0}),
    "Max-Age surrounded by spaces": (b"a=b; Max-Age= 7 ", {"max_age": 7}),
    "Max-Age with tab and newline": (b"a=b; Max-Age=\t7\n", {"max_age": 7}),
    "Max-Age with a plus sign": (b"a=b; Max-Age=+7", {"max_age": 7}),
    "Max-Age with underscores": (b"a=b; Max-Age=1_0", {"max_age": 10}),
    "Max-Age with leading zeros": (b"a=b; Max-Age=007", {"max_age": 7}),
    "Max-Age minus zero": (b"a=b; Max-Age=-0", {"max_age": 0}),
    "Max-Age negative": (b"a=b; Max-Age=-5", {"max_age": -5}),
    "Max-Age minus one": (b"a=b; Max-Age=-1", {}),
    "Max-Age largest": (b"a=b; Max-Age=9223372036854775807", {"max_age": 2**63 - 1}),
    "Max-Age smallest": (b"a=b; Max-Age=-9223372036854775808", {"max_age": -(2**63)}),
    "Max-Age many leading zeros": (b"a=b; Max-Age=0000000000000000000000042", {"max_age": 42}),
    # Expires, read after the last fragment.
    "Expires": (b"a=b; Expires=" + DATE, {"expires": WHEN}),
    "Expires with an offset keeps the clock time": (b"a=b; Expires=Wed, 02 Jan 2030 03:04:05 +0200", {"expires": WHEN}),
    "Expires without a day name": (b"a=b; Expires=02 Jan 2030 03:04:05 GMT", {"expires": WHEN}),
    "unreadable Expires then a valid one": (b"a=b; Expires=garbage; Expires=" + DATE, {"expires": WHEN}),
    "non-UTF-8 Expires then a valid one": (b"a=b; Expires=\xff; expires=" + DATE, {"expires": WHEN}),
    # Empty attribute values set nothing, and replace an earlier value.
    "empty Expires": (b"a=b; Expires=", {}),
    "empty Domain": (b"a=b; Domain=", {}),
    "empty Path": (b"a=b; Path=", {}),
    "empty values after real ones": (b"a=b; Expires=" + DATE + b"; Domain=d; Path=/; Expires=; Domain=; Path=", {}),
    # SameSite.
    "SameSite upper case": (b"a=b; SameSite=STRICT", {"same_site": STRICT}),
    "SameSite lower case": (b"a=b; SameSite=none", {"same_site": NONE}),
    "SameSite unknown word": (b"a=b; SameSite=foo", {}),
    "SameSite bare": (b"a=b; SameSite", {}),
    "SameSite empty": (b"a=b; SameSite=", {}),
    "SameSite with a space": (b"a=b; SameSite= Lax", {}),
    "SameSite None does not set Secure": (b"a=b; SameSite=None", {"same_site": NONE}),
    # Flags.
    "HttpOnly upper case": (b"a=b; HTTPONLY", {"http_only": True}),
    "Secure after two spaces": (b"a=b;  Secure", {}),
    # Later occurrences win.
    "repeated attributes": (
        b"a=b; Domain=d1; Path=/1; Max-Age=1; SameSite=Lax; Expires=Thu, 01 Jan 2026 00:00:00 GMT;"
        b" Domain=d2; Path=/2; Max-Age=2; SameSite=Strict; Expires=" + DATE,
        {"domain": "d2", "path": "/2", "max_age": 2, "same_site": STRICT, "expires": WHEN},
    ),
    "unrecognised SameSite replaces a recognised one": (b"a=b; SameSite=Lax; SameSite=foo", {}),
    # The first fragment is examined as an attribute too.
    "cookie named path": (b"path=x; Secure", {"name": "path", "value": "x", "path": "x", "secure": True}),
    "cookie named Secure": (b"Secure=1", {"name": "Secure", "value": "1"}),
    "cookie named domain with a quoted value": (b'domain="x y"', {"name": "domain", "value": "x y", "domain": '"x y"'}),
    "cookie named Max-Age": (b"Max-Age=5", {"name": "Max-Age", "value": "5", "max_age": 5}),
    "cookie named samesite": (b"samesite=strict", {"name": "samesite", "value": "strict", "same_site": STRICT}),
    "cookie named expires": (b"expires=" + DATE + b"; Path=/", {"name": "expires", "value": DATE.decode(), "expires": WHEN, "path": "/"}),
    "later attribute replaces the name's": (b"path=x; Path=/y", {"name": "path", "value": "x", "path": "/y"}),
    # Bytes that are not UTF-8 where nothing decodes them.
    "non-UTF-8 in ignored attributes": (b"a=b; Comment=\xff\xfe; \xff; X\xff=1", {}),
    "non-UTF-8 SameSite": (b"a=b; SameSite=\xff", {}),
    "non-UTF-8 SameSite replaced": (b"a=b; SameSite=\xff; SameSite=Lax", {"same_site": LAX}),
}


@pytest.mark.parametrize(("raw", "changes"), PARSED.values(), ids=PARSED.keys())
def test_parses(raw, changes):
    cookie = parse_cookie(raw)
    assert type(cookie) is Cookie
    assert fields(cookie) == expected(**changes)


def test_parsed_fields_have_the_constructor_types():
    cookie = parse_cookie(b"a=b; Expires=" + DATE + b"; Domain=d; Path=/; Max-Age=1; SameSite=Lax; Secure")
    assert type(cookie.name) is str and type(cookie.value) is str
    assert type(cookie.domain) is str and type(cookie.path) is str
    assert type(cookie.expires) is datetime and cookie.expires.tzinfo is None
    assert type(cookie.max_age) is int
    assert cookie.same_site is LAX
    assert cookie.secure is True and cookie.http_only is False


def test_max_age_minus_one_is_the_same_as_none():
    assert fields(parse_cookie(b"a=b; Max-Age=-1")) == fields(parse_cookie(b"a=b"))


def test_value_length_is_counted_after_percent_decoding():
    assert len(parse_cookie(b"a=" + b"%41" * 4096).value) == 4096
    assert parse_cookie(b"a=" + b"%C3%A9" * 2048).value == "\u00e9" * 2048
    assert len(parse_cookie(b"a=" + b"x" * 4096).value) == 4096
    for raw in (b"a=" + b"%41" * 4097, b"a=" + b"%C3%A9" * 2048 + b"x", b"a=" + b"x" * 4097,
                b"a=" + "\u00e9".encode() * 2049):
        with pytest.raises(CookieValueExceedsMaximumLength):
            parse_cookie(raw)


# ---------------------------------------------------------------------------
# The first fragment


@pytest.mark.parametrize(
    ("raw", "fragment"),
    [
        (b"abc", b"abc"),
        (b"abc; Path=/", b"abc"),
        (b"abc;Path=/", b"abc"),
        (b"", b""),
        (b"; a=b", b""),
        (b";a=b", b""),
        (b"a\x00'\"\xff", b"a\x00'\"\xff"),
        # A bad first fragment is reported before anything that follows it.
        (b"abc; Max-Age=x; Domain=\xff", b"abc"),
    ],
)
def test_first_fragment_without_equals(raw, fragment):
    with pytest.raises(ValueError) as excinfo:
        parse_cookie(raw)
    error = excinfo.value
    assert type(error) is ValueError
    assert error.args == ("Invalid name=value fragment: " + repr(fragment),)
    # Raised while the cut's own ValueError was being handled.
    context = error.__context__
    assert type(context) is ValueError
    assert str(context) == str(raised(fragment.index, b"="))
    assert error.__cause__ is None and not error.__suppress_context__
    assert "glimmering_copper_otter.cookies.parse_cookie" in traceback_names(excinfo)


# ---------------------------------------------------------------------------
# Failures and the order in which they are found


def int_error(text):
    return raised(int, text)


@pytest.mark.parametrize(
    "raw_max_age",
    [b"abc", b"", b" ", b"1.5", b"0x10", b"1e3", b"--1", b"+", b"-", b"1_", b"_1", b"1__0", b"1 2", b"\xff", b"\xd9\xa3"],
)
def test_unreadable_max_age(raw_max_age):
    with pytest.raises(ValueError) as excinfo:
        parse_cookie(b"a=b; Max-Age=" + raw_max_age)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == str(int_error(raw_max_age))
    assert "glimmering_copper_otter.cookies.parse_cookie" in traceback_names(excinfo)


@pytest.mark.parametrize(
    "raw_max_age",
    [b"9223372036854775808", b"-9223372036854775809", b"1" + b"0" * 30, b" +9_223_372_036_854_775_808 "],
)
def test_max_age_outside_64_bits(raw_max_age):
    with pytest.raises(OverflowError):
        parse_cookie(b"a=b; Max-Age=" + raw_max_age)


@pytest.mark.parametrize(
    ("raw", "error_type", "message"),
    [
        # Max-Age is converted where it stands: an earlier bad one counts.
        (b"a=b; Max-Age=abc; Max-Age=5", ValueError, str(int_error(b"abc"))),
        (b"a=b; Max-Age=x; Max-Age=y", ValueError, str(int_error(b"x"))),
        (b"max-age=abc", ValueError, str(int_error(b"abc"))),
        # The fragment loop comes before any decoding.
        (b"\xff=\xfe; Max-Age=x", ValueError, str(int_error(b"x"))),
        (b"a=b; Domain=\xff; Max-Age=x", ValueError, str(int_error(b"x"))),
        # Only the last Expires is read.
        (b"a=b; Expires=" + DATE + b"; Expires=garbage", ValueError, DATE_ERROR),
        # Name, value, expiry, domain, path, then the constructor.
        (b"\xff=\xfe; Expires=x", UnicodeDecodeError, str(raised(b"\xff".decode))),
        (b"a=\xfe; Expires=x; Domain=\xff", UnicodeDecodeError, str(raised(b"\xfe".decode))),
        (b"a=b; Domain=\xff; Expires=garbage", ValueError, DATE_ERROR),
        (b"a=b; Path=\xfe; Domain=\xff", UnicodeDecodeError, str(raised(b"\xff".decode))),
        (b"=" + b"x" * 4097 + b"; Path=\xfe", UnicodeDecodeError, str(raised(b"\xfe".decode))),
        (b"=b; Expires=garbage", ValueError, DATE_ERROR),
        (b"=" + b"x" * 4097, ValueError, "A cookie name is required"),
    ],
)
def test_first_failure_wins(raw, error_type, message):
    with pytest.raises(error_type) as excinfo:
        parse_cookie(raw)
    assert type(excinfo.value) is error_type
    assert str(excinfo.value) == message


def test_unreadable_expires_raises_what_the_date_reader_raises():
    for raw_date in (b"garbage", b"\xff", b"Wed, 32 Jan 2030 03:04:05 GMT"):
        with pytest.raises(ValueError) as excinfo:
            parse_cookie(b"a=b; Expires=" + raw_date)
        reference = raised(cookies.datetime_from_cookie_format, raw_date)
        assert type(excinfo.value) is type(reference)
        assert str(excinfo.value) == str(reference)


@pytest.mark.parametrize(
    ("raw", "bad"),
    [
        (b"\xff=b", b"\xff"),
        (b"a\xc3=b", b"a\xc3"),
        (b"a=b\xe9", b"b\xe9"),
        (b'a="x \xff"', b"x \xff"),  # the value as it is after its quotes are stripped
        (b"a=b; Domain=d\xff", b"d\xff"),
        (b"a=b; Path=/\xed\xa0\x80", b"/\xed\xa0\x80"),  # an encoded surrogate is not UTF-8
    ],
)
def test_bytes_that_are_not_utf8(raw, bad):
    with pytest.raises(UnicodeDecodeError) as excinfo:
        parse_cookie(raw)
    assert excinfo.value.encoding == "utf-8"
    assert excinfo.value.object == bad
    assert str(excinfo.value) == str(raised(bad.decode))


@pytest.mark.parametrize("raw", [b"=b", b"=", b"=; Path=/", b'=""'])
def test_empty_name(raw):
    with pytest.raises(ValueError, match="^A cookie name is required$"):
        parse_cookie(raw)


def test_constructor_failures_carry_the_parse_cookie_entry():
    with pytest.raises(ValueError) as excinfo:
        parse_cookie(b"=b")
    assert "glimmering_copper_otter.cookies.parse_cookie" in traceback_names(excinfo)
    with pytest.raises(UnicodeDecodeError) as excinfo:
        parse_cookie(b"a=\xff")
    assert "glimmering_copper_otter.cookies.parse_cookie" in traceback_names(excinfo)


# ---------------------------------------------------------------------------
# Arguments of the interpreted form and the C-level entry


class HeaderBytes(bytes):
    pass


@pytest.mark.parametrize(
    ("argument", "type_name"),
    [
        (HeaderBytes(b"a=b"), "HeaderBytes"),
        (bytearray(b"a=b"), "bytearray"),
        ("a=b", "str"),
        (memoryview(b"a=b"), "memoryview"),
        (1, "int"),
    ],
)
def test_refused_argument_types(argument, type_name):
    with pytest.raises(TypeError) as excinfo:
        parse_cookie(argument)
    assert str(excinfo.value) == f"Argument 'raw_value' has incorrect type (expected bytes, got {type_name})"
    assert "glimmering_copper_otter.cookies.parse_cookie" in traceback_names(excinfo)


def test_none_passes_the_type_check_but_does_not_parse():
    with pytest.raises(Exception) as excinfo:
        parse_cookie(None)
    assert "has incorrect type" not in str(excinfo.value)


def test_argument_binding():
    assert parse_cookie(raw_value=b"a=b").value == "b"
    for args, kwargs in [((), {}), ((b"a=b", b"c=d"), {}), ((), {"value": b"a=b"}),
                         ((b"a=b",), {"raw_value": b"a=b"})]:
        with pytest.raises(TypeError):
            parse_cookie(*args, **kwargs)


def test_c_level_entry(capi):
    raw = b"a=%41; Domain=d; Max-Age=3; SameSite=Strict; Expires=" + DATE
    for flag in (0, 1):
        assert fields(capi.parse_cookie(raw, flag)) == fields(parse_cookie(raw))
    assert type(capi.parse_cookie(raw, 0)) is Cookie
    with pytest.raises(ValueError, match="^Invalid name=value fragment: b'abc'$"):
        capi.parse_cookie(b"abc", 0)
    with pytest.raises(OverflowError):
        capi.parse_cookie(b"a=b; Max-Age=9223372036854775808", 0)


@pytest.mark.parametrize("argument", [None, bytearray(b"a=b"), "a=b", 7])
def test_c_level_entry_refuses_what_is_not_bytes(capi, argument):
    # No type check is promised here, only an exception instead of a bad read.
    with pytest.raises(Exception):
        capi.parse_cookie(argument, 0)


# ---------------------------------------------------------------------------
# Names looked up at each use


def test_unquote_is_looked_up_at_each_call(restore_module_attributes):
    calls = []

    def recording_unquote(text):
        calls.append(text)
        return urllib.parse.unquote(text).upper()

    cookies.unquote = recording_unquote
    cookie = parse_cookie(b"n%61me=v%61lue; Path=/%61; Domain=d%61")
    # The name first, then the value; never the domain or the path.
    assert calls == ["n%61me", "v%61lue"]
    assert (cookie.name, cookie.value, cookie.path, cookie.domain) == ("NAME", "VALUE", "/%61", "d%61")

    cookies.unquote = urllib.parse.unquote
    assert parse_cookie(b"n%61me=v").name == "name"
    assert calls == ["n%61me", "v%61lue"]


def test_unquote_receives_decoded_text(restore_module_attributes):
    calls = []
    cookies.unquote = lambda text: calls.append(text) or text
    parse_cookie('\u00e9=" \u00fc"'.encode())
    assert calls == ["\u00e9", " \u00fc"]


def test_what_unquote_returns_meets_the_constructor(restore_module_attributes):
    cookies.unquote = lambda text: 7
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
        parse_cookie(b"a=b")
    cookies.unquote = lambda text: ""
    with pytest.raises(ValueError, match="^A cookie name is required$"):
        parse_cookie(b"a=b")


def test_exception_from_unquote_propagates_unchanged(restore_module_attributes):
    class Refused(Exception):
        pass

    def refusing_unquote(text):
        raise Refused(text)

    cookies.unquote = refusing_unquote
    with pytest.raises(Refused) as excinfo:
        parse_cookie(b"a=b")
    assert excinfo.value.args == ("a",)
    assert "glimmering_copper_otter.cookies.parse_cookie" in traceback_names(excinfo)


def test_unquote_deleted(restore_module_attributes, monkeypatch):
    del cookies.unquote
    with pytest.raises(NameError) as excinfo:
        parse_cookie(b"a=b")
    assert str(excinfo.value) == "name 'unquote' is not defined"
    # Among the builtins the name is found again.
    monkeypatch.setattr(builtins, "unquote", lambda text: text + "!", raising=False)
    assert (parse_cookie(b"a=b").name, parse_cookie(b"a=b").value) == ("a!", "b!")


def test_same_site_class_is_looked_up_at_each_call(restore_module_attributes):
    seen = []

    class Members:
        def __getattr__(self, name):
            seen.append(name)
            return getattr(CookieSameSiteMode, name)

    cookies.CookieSameSiteMode = Members()
    parse_cookie(b"a=b; SameSite=Strict")
    parse_cookie(b"a=b")
    assert seen == ["STRICT", "UNDEFINED"]

    # The member found is what the constructor receives.
    cookies.CookieSameSiteMode = SimpleNamespace(UNDEFINED=0, LAX=STRICT, STRICT=LAX, NONE=NONE)
    cookie = parse_cookie(b"a=b; SameSite=Lax")
    cookies.CookieSameSiteMode = CookieSameSiteMode
    assert cookie.same_site is STRICT


def test_same_site_class_deleted(restore_module_attributes):
    del cookies.CookieSameSiteMode
    for raw in (b"a=b", b"a=b; SameSite=Lax"):
        with pytest.raises(NameError) as excinfo:
            parse_cookie(raw)
        assert str(excinfo.value) == "name 'CookieSameSiteMode' is not defined"


def test_same_site_member_missing_from_a_replacement(restore_module_attributes):
    cookies.CookieSameSiteMode = SimpleNamespace(UNDEFINED=UNDEFINED)
    assert parse_cookie(b"a=b").same_site is UNDEFINED
    with pytest.raises(AttributeError):
        parse_cookie(b"a=b; SameSite=None")


# ---------------------------------------------------------------------------
# split_value


@pytest.mark.parametrize(
    ("raw", "parts"),
    [
        (b"k=v=w", (b"k", b"v=w")),
        (b"=", (b"", b"")),
        (b"k=", (b"k", b"")),
        (b"=v", (b"", b"v")),
        (b"==", (b"", b"=")),
        (b"k\x00=\xff", (b"k\x00", b"\xff")),
    ],
)
def test_split_value(capi, raw, parts):
    result = capi.split_value(raw, b"=")
    assert type(result) is tuple
    assert result == parts
    assert all(type(part) is bytes for part in result)


@pytest.mark.parametrize("raw", [b"kv", b""])
def test_split_value_without_separator(capi, raw):
    with pytest.raises(ValueError) as excinfo:
        capi.split_value(raw, b"=")
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == str(raised(raw.index, b"="))


def test_split_value_other_one_byte_separators(capi):
    assert capi.split_value(b"a; b; c", b";") == (b"a", b" b; c")
    assert capi.split_value(b"a\xffb", b"\xff") == (b"a", b"b")


@pytest.mark.parametrize(("raw", "separator"), [(None, b"="), (b"k=v", None), ("k=v", b"="), (bytearray(b"k=v"), b"=")])
def test_split_value_refuses_what_is_not_bytes(capi, raw, separator):
    with pytest.raises(Exception):
        capi.split_value(raw, separator)
