"""The native stand-ins for quote, unquote and parsedate_to_datetime give, byte
for byte, what the library functions give, errors included; and they step
aside as soon as the module attribute is rebound."""

import email.utils
import urllib.parse
from datetime import datetime

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from glimmering_copper_otter import cookies
from glimmering_copper_otter.cookies import Cookie, datetime_from_cookie_format, parse_cookie

# Text with every kind of character: ASCII, Latin-1, other planes, surrogates.
any_text = st.text(st.characters(codec=None, min_codepoint=0, max_codepoint=0x10FFFF), max_size=40)
percent_text = st.lists(
    st.one_of(
        st.sampled_from(["%", "%4", "%41", "%e2", "%E2%9C%93", "%ff", "%C3", "%c3%a9", "%%", "%zz", "+"]),
        st.text(max_size=4),
    ),
    max_size=12,
).map("".join)


def outcome(function, *args):
    try:
        return ("ok", function(*args))
    except Exception as error:  # the type and message are what must agree
        return ("error", type(error), str(error))


def library_value(text):
    return outcome(lambda: urllib.parse.unquote(text))


@settings(max_examples=400)
@given(any_text)
@example("a b;c/d")
@example("~_.-/é\U0001F63F")
@example("\udcff")
def test_quote_is_the_library_quote(capi, text):
    expected = outcome(lambda: urllib.parse.quote(text).encode())
    # Set-state stores the text unchecked, surrogates and all.
    cookie = Cookie.__new__(Cookie)
    cookie.__setstate__(("n", text, None, None, False, -1, None, 0, False))
    written = outcome(capi.write_cookie_for_response, cookie)
    if expected[0] == "ok":
        assert written == ("ok", b"n=" + expected[1])
    else:
        assert written[:2] == expected[:2]
    cookie.__setstate__((text, "v", None, None, False, -1, None, 0, False))
    written = outcome(capi.write_cookie_for_response, cookie)
    if expected[0] == "ok":
        assert written == ("ok", expected[1] + b"=v")
    else:
        assert written[:2] == expected[:2]


@settings(max_examples=400)
@given(percent_text)
@example("%E2%9C")  # a cut multi-byte sequence becomes U+FFFD
@example("%41%4")
def test_unquote_is_the_library_unquote(text):
    raw = text.encode()
    if b";" in raw:
        return
    expected = library_value(text)
    parsed = outcome(parse_cookie, b"name=" + raw)
    # (A value that starts with a double quote and holds a space loses its
    # quotes before decoding.)
    if expected[0] == "ok" and len(expected[1].encode()) <= 4096 and not text.startswith('"'):
        assert parsed[0] == "ok"
        assert parsed[1].value == expected[1]


@settings(max_examples=200)
@given(percent_text)
def test_unquote_of_the_name_is_the_library_unquote(text):
    raw = text.encode()
    if b"=" in raw or b";" in raw or not text:
        return
    expected = urllib.parse.unquote(text)
    parsed = outcome(parse_cookie, raw + b"=v")
    if expected:
        assert parsed[0] == "ok" and parsed[1].name == expected


def library_date(raw):
    return outcome(lambda: email.utils.parsedate_to_datetime(raw.decode()).replace(tzinfo=None))


date_parts = st.tuples(
    st.sampled_from(["Wed", "Mon", "Sun", "Xyz", "wed", "Thu", "W"]),
    st.sampled_from([", ", ",", " ", ",  "]),
    st.sampled_from(["02", "2", "31", "30", "29", "00", "32", "1a", "09"]),
    st.sampled_from([" ", "-", "  "]),
    st.sampled_from(["Jan", "Feb", "jan", "JAN", "Dec", "Foo", "Sep"]),
    st.sampled_from([" ", "-"]),
    st.sampled_from(["2030", "1999", "2000", "2100", "0099", "0999", "1000", "9999", "99", "70", "2024"]),
    st.sampled_from([" "]),
    st.sampled_from(["03:04:05", "23:59:59", "24:00:00", "00:60:00", "00:00:60", "3:4:5", "03:04"]),
    st.sampled_from([" GMT", " UTC", " +0200", " -0000", "", " gmt", " GMT ", " EST"]),
)


@settings(max_examples=600)
@given(date_parts)
@example(("Wed", ", ", "02", " ", "Jan", " ", "2030", " ", "03:04:05", " GMT"))
@example(("Thu", ", ", "29", " ", "Feb", " ", "2024", " ", "00:00:00", " GMT"))
@example(("Thu", ", ", "29", " ", "Feb", " ", "2100", " ", "00:00:00", " GMT"))
@example(("Wed", ", ", "02", "-", "Jan", "-", "2030", " ", "03:04:05", " GMT"))
def test_reading_a_date_is_the_library_reading(parts):
    raw = "".join(parts).encode()
    assert outcome(datetime_from_cookie_format, raw) == library_date(raw)


@settings(max_examples=300)
@given(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31, 23, 59, 59)))
def test_reading_written_dates_is_the_library_reading(when):
    raw = when.strftime("%a, %d %b %Y %H:%M:%S GMT").encode()
    assert outcome(datetime_from_cookie_format, raw) == library_date(raw)


@settings(max_examples=300)
@given(st.binary(max_size=40))
def test_reading_arbitrary_bytes_as_a_date_is_the_library_reading(raw):
    try:
        text = raw.decode()
    except UnicodeDecodeError:
        return
    expected = outcome(lambda: email.utils.parsedate_to_datetime(text).replace(tzinfo=None))
    assert outcome(datetime_from_cookie_format, raw) == expected


@pytest.mark.parametrize("name", ["quote", "unquote", "parsedate_to_datetime"])
def test_rebinding_switches_the_native_code_off_and_restoring_switches_it_on(
    restore_module_attributes, capi, name
):
    original = getattr(cookies, name)
    calls = []

    def recording(*args):
        calls.append(args)
        return original(*args)

    def exercise():
        cookie = parse_cookie(b"a%20b=c%20d; Expires=Wed, 02 Jan 2030 03:04:05 GMT")
        capi.write_cookie_for_response(cookie)

    setattr(cookies, name, recording)
    exercise()
    assert calls
    calls.clear()
    setattr(cookies, name, original)
    exercise()
    assert calls == []
    # A rebinding through the namespace itself counts the same.
    vars(cookies)[name] = recording
    exercise()
    assert calls


def test_deleting_and_restoring_a_name(restore_module_attributes):
    original = cookies.unquote
    del cookies.unquote
    with pytest.raises(NameError, match="name 'unquote' is not defined"):
        parse_cookie(b"a=b")
    cookies.unquote = original
    assert parse_cookie(b"a=%41").value == "A"


def test_the_parser_builds_the_cookie_as_calling_the_type_does(restore_module_attributes):
    original = cookies.CookieSameSiteMode
    seen = []

    class Members:
        UNDEFINED, LAX, STRICT, NONE = (original.UNDEFINED, original.LAX, original.STRICT, original.NONE)

        def __getattribute__(self, item):
            seen.append(item)
            return getattr(original, item)

    cookies.CookieSameSiteMode = Members()
    cookie = parse_cookie(b"a=b; SameSite=Strict")
    assert seen == ["STRICT"]
    assert cookie.same_site is original.STRICT
    # A member the constructor cannot convert is refused as the constructor
    # refuses it.
    class Refusing:
        UNDEFINED = "not a number"

    cookies.CookieSameSiteMode = Refusing
    with pytest.raises(TypeError, match="an integer is required"):
        parse_cookie(b"a=b")
