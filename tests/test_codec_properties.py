"""Properties of the Set-Cookie codec over generated cookies and headers:
writing then reading keeps a cookie up to the known asymmetries, reading
never fails in an undocumented way, and the native code agrees with the
library functions that it stands in for."""

import contextlib
import email.utils
import string
import urllib.parse
from datetime import datetime, timedelta, timezone
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from glimmering_copper_otter import cookies
from gco_testkit import model
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode, CookieValueExceedsMaximumLength

# A modest budget keeps the default run quick; a hypothesis profile can ask
# for more.
property_test = settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])

FIELDS = ("name", "value", "expires", "domain", "path", "http_only", "secure", "max_age", "same_site")
ATTRIBUTE_KEYS = {"expires", "domain", "path", "max-age", "samesite"}
INT64 = st.integers(-(2**63), 2**63 - 1)
DATE_FORMAT = "%a, %d %b %Y %H:%M:%S GMT"


def fields(cookie):
    return {key: getattr(cookie, key) for key in FIELDS}


def outcome(function, *args):
    """What a call gives: its result, or the type and text of its exception."""
    try:
        return "returned", function(*args)
    except Exception as error:
        return "raised", type(error), str(error)


def utc_wall_clock(when):
    if when.utcoffset() is not None:
        when = (when - when.utcoffset()).replace(tzinfo=None)
    return when


@contextlib.contextmanager
def library_paths():
    """Rebinds the late-bound names to equal Python wrappers, so that the
    native stand-ins give way to the library functions themselves."""
    saved = {name: getattr(cookies, name) for name in ("quote", "unquote", "parsedate_to_datetime", "CookieSameSiteMode")}
    cookies.quote = lambda text: urllib.parse.quote(text)
    cookies.unquote = lambda text: urllib.parse.unquote(text)
    cookies.parsedate_to_datetime = lambda text: email.utils.parsedate_to_datetime(text)
    cookies.CookieSameSiteMode = SimpleNamespace(**{member.name: member for member in CookieSameSiteMode})
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(cookies, name, value)


# ---------------------------------------------------------------------------
# Strategies

# ASCII punctuation and controls are where the encodings differ most.
characters = st.characters(exclude_categories=["Cs"]) | st.sampled_from(string.printable + "\x00\x7f")
texts = st.text(characters, max_size=24)
any_texts = st.text(characters | st.characters(), max_size=24)  # lone surrogates included
# Domains and paths: mostly text that the writer accepts, so that a refusal
# does not hide what comes before it.
attribute_texts = st.text(characters.filter(lambda c: not (c == ";" or c < " " or c == "\x7f")), max_size=24) | any_texts
names = st.text(characters, min_size=1, max_size=24)
any_names = st.text(characters | st.characters(), min_size=1, max_size=24)
offsets = st.timedeltas(min_value=-timedelta(hours=23, minutes=59), max_value=timedelta(hours=23, minutes=59))
# Years from 1900: the date reader takes two-digit years as 19xx or 20xx, and
# an offset must not push the UTC time outside the datetime range.
expiries = st.none() | st.datetimes(
    min_value=datetime(1900, 1, 2),
    max_value=datetime(9998, 12, 30),
    timezones=st.none() | st.builds(timezone, offsets),
)
# The whole datetime range, for the writer alone.
full_range_expiries = st.none() | st.datetimes(timezones=st.none() | st.builds(timezone, offsets))
modes = st.sampled_from(list(CookieSameSiteMode))


@st.composite
def cookie_records(draw, name_texts=names, attribute_texts=attribute_texts, expiry_values=expiries):
    return Cookie(
        draw(name_texts),
        draw(texts),
        draw(expiry_values),
        draw(st.none() | attribute_texts),
        draw(st.none() | attribute_texts),
        draw(st.booleans()),
        draw(st.booleans()),
        draw(INT64),
        draw(modes),
    )


date_texts = st.one_of(
    st.datetimes().map(lambda when: when.strftime(DATE_FORMAT)),
    st.text("0123456789 :,+-GMTUESDAYJanFebMarAprMayJunJulAugSepOctNovDec", max_size=40),
)
# Runs of percent-escapes (whole, cut short or invalid), quotes, spaces and
# UTF-8 bytes.
escaped = st.lists(
    st.sampled_from([b"%", b"%4", b"%41", b"%c3", b"%A9", b"%FF", b"%6f", b"%e2%82%ac", b"%zz", b"%22", b"+", b'"', b" ", b"a", b"\xc3\xa9"]),
    max_size=8,
).map(b"".join)
quoted = st.builds(lambda lead, inner, trail: b'"' * lead + inner + b'"' * trail,
                   st.integers(0, 3), escaped, st.integers(0, 3))
attribute_values = st.one_of(
    st.binary(max_size=24),
    escaped,
    quoted,
    st.text(max_size=12).map(lambda text: text.encode("utf-8", "surrogatepass")),
    date_texts.map(str.encode),
    st.sampled_from([b"", b" 7 ", b"-1", b"+1_0", b"9223372036854775808", b"Strict", b"NONE", b"lax",
                     b"%C3%A9", b"%FF", b'"x y"', b'"x', b"/p", b"\xff"]),
)
keys = st.sampled_from([b"Expires", b"max-age", b"MAX-AGE", b"Domain", b"path", b"SameSite", b"name", b"", b"x y"])
fragments = st.one_of(
    st.binary(max_size=16),
    st.builds(lambda key, value: key + b"=" + value, keys, attribute_values),
    st.sampled_from([b"Secure", b"HTTPONLY", b"secure ", b"", b" ", b";", b"="]),
)
cookie_names = st.one_of(st.text(max_size=8).map(str.encode), st.binary(max_size=4), escaped, keys)
first_fragments = st.builds(lambda name, value: name + b"=" + value, cookie_names, attribute_values)
headers = st.one_of(
    st.builds(lambda first, rest, separator: separator.join([first, *rest]), first_fragments,
              st.lists(fragments, max_size=8), st.sampled_from([b"; ", b";", b";  "])),
    st.binary(max_size=64),
)


# ---------------------------------------------------------------------------
# Writing, then reading back


def read_back(cookie):
    """What reading the written cookie should give."""
    return {
        "name": cookie.name,
        "value": cookie.value,
        "expires": None if cookie.expires is None else utc_wall_clock(cookie.expires).replace(microsecond=0),
        "domain": cookie.domain or None,
        "path": cookie.path or None,
        "http_only": cookie.http_only,
        "secure": cookie.secure or cookie.same_site in (CookieSameSiteMode.STRICT, CookieSameSiteMode.NONE),
        "max_age": max(cookie.max_age, -1),
        "same_site": cookie.same_site,
    }


def refused_by_writer(text):
    return text is not None and any(c == ";" or c < " " or c == "\x7f" for c in text)


def writer_refusal(cookie):
    """The exception that the domain or the path makes the writer raise."""
    for text in (cookie.domain, cookie.path):
        if text and any("\ud800" <= c <= "\udfff" for c in text):
            return UnicodeEncodeError
        if text and refused_by_writer(text):
            return ValueError
    return None


@property_test
@given(cookie_records())
@example(Cookie("a", "", None, "", "", False, False, -(2**63), CookieSameSiteMode.NONE))
@example(Cookie("path", "x"))
@example(Cookie("a", "\u00e9" * 2048, datetime(2030, 1, 2, 3, 4, 5, 6), max_age=0, same_site=CookieSameSiteMode.STRICT))
@example(Cookie("a", "b", domain="d;", path="\udfff"))
def test_written_cookie_reads_back(capi, cookie):
    # A cookie named after an attribute also sets that attribute when read;
    # quote() leaves such a name as it is.
    if urllib.parse.quote(cookie.name).lower() in ATTRIBUTE_KEYS:
        cookie.name = "_" + cookie.name
    refusal = writer_refusal(cookie)
    if refusal is not None:
        with pytest.raises(refusal):
            capi.write_cookie_for_response(cookie)
        return
    header = capi.write_cookie_for_response(cookie)
    assert fields(cookies.parse_cookie(header)) == read_back(cookie)


# ---------------------------------------------------------------------------
# Reading arbitrary bytes


DOCUMENTED = (ValueError, OverflowError, CookieValueExceedsMaximumLength)


@property_test
@given(headers)
@example(b"a=b; Expires=Wed, 02 Jan 2030 03:04:05 +99999999999999999999")
@example(b"a=b; Expires=02 Jan 99999999999999999999 03:04:05 GMT")
def test_any_header_parses_or_fails_as_documented(raw):
    try:
        cookie = cookies.parse_cookie(raw)
    except DOCUMENTED:
        return
    assert type(cookie) is Cookie
    assert type(cookie.name) is str and cookie.name
    assert len(cookie.value.encode()) <= 4096


# ---------------------------------------------------------------------------
# The native code against the library it stands in for


def comparable(result):
    """An outcome of a parse, with the cookie as its fields."""
    if result[0] == "returned":
        return "returned", fields(result[1])
    if result[1] is OverflowError:
        # The interpreter's wording of a 64-bit overflow varies by call site.
        return result[:2]
    return result


@property_test
@given(headers)
@example(b"%41=%zz%4%c3%A9%FF%%41; Max-Age=-0")
@example(b'a=""x %22y"""; path="/ x"')
@example(b"%=%%; SameSite=none")
def test_parser_agrees_with_the_library_path(raw):
    native = outcome(cookies.parse_cookie, raw)
    with library_paths():
        library = outcome(cookies.parse_cookie, raw)
    # The fields are read with the names bound as imported.
    assert comparable(native) == comparable(library)


def reference_parse(raw):
    """The shared reference parse, its fields made into a Cookie."""
    *parts, mode = model.reference_parse(raw)
    return Cookie(*parts, CookieSameSiteMode(mode))


@property_test
@given(headers)
@example(b"a=b;; Path=/;x; ;secure")
@example(b"a=b; Max-Age=000000000000000000009223372036854775807")
@example(b"a=b; Max-Age=9999999999999999999")
@example(b"%41=%zz%4%c3%A9%FF%%41")
@example(b'a=""x %22y"""; path="/ x"')
@example(b"a=b; Max-Age=-999999999999999999")
def test_parser_agrees_with_the_reference(raw):
    assert comparable(outcome(cookies.parse_cookie, raw)) == comparable(outcome(reference_parse, raw))


class Plain(Cookie):
    """Its name and value are read as attributes, not from the record."""


class OwnStrftime(datetime):
    """Formatted by a strftime of its own, which is datetime's."""

    def strftime(self, format):
        return datetime.strftime(self, format)


def library_twin(cookie):
    expires = cookie.expires
    if expires is not None:
        expires = OwnStrftime.combine(expires.date(), expires.timetz(), tzinfo=expires.tzinfo)
    return Plain(cookie.name, cookie.value, expires, cookie.domain, cookie.path, cookie.http_only,
                 cookie.secure, cookie.max_age, cookie.same_site)


@property_test
@given(cookie_records(name_texts=any_names), full_range_expiries)
@example(Cookie("\ud800", "x"), None)
@example(Cookie(string.printable, string.punctuation + "\x00\x7f\xe9\u20ac\U0001d11e"), None)
@example(Cookie("a", "b"), datetime(999, 1, 1))
@example(Cookie("a", "b"), datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=1))))
def test_writer_agrees_with_the_library_path(capi, cookie, expires):
    cookie.expires = expires
    native = outcome(capi.write_cookie_for_response, cookie)
    twin = library_twin(cookie)
    with library_paths():
        library = outcome(capi.write_cookie_for_response, twin)
    assert native == library


def reference_write(cookie):
    """The header written out with the library calls."""
    pieces = [urllib.parse.quote(cookie.name).encode() + b"=" + urllib.parse.quote(cookie.value).encode()]
    if cookie.expires is not None:
        pieces.append(b"Expires=" + utc_wall_clock(cookie.expires).strftime(DATE_FORMAT).encode())
    if cookie.max_age >= 0:
        pieces.append(b"Max-Age=%d" % cookie.max_age)
    for attribute, prefix in (("domain", b"Domain="), ("path", b"Path=")):
        text = getattr(cookie, attribute)
        if text:
            encoded = text.encode()
            if refused_by_writer(text):
                raise ValueError(attribute)
            pieces.append(prefix + encoded)
    if cookie.http_only:
        pieces.append(b"HttpOnly")
    if cookie.secure or cookie.same_site in (CookieSameSiteMode.STRICT, CookieSameSiteMode.NONE):
        pieces.append(b"Secure")
    spelling = {CookieSameSiteMode.STRICT: b"Strict", CookieSameSiteMode.LAX: b"Lax", CookieSameSiteMode.NONE: b"None"}
    if cookie.same_site in spelling:
        pieces.append(b"SameSite=" + spelling[cookie.same_site])
    return b"; ".join(pieces)


@property_test
@given(cookie_records(name_texts=any_names, expiry_values=full_range_expiries))
@example(Cookie("a", "b", domain="d\x7f"))
@example(Cookie("a", "b", path="/\x1f"))
def test_writer_agrees_with_the_reference(capi, cookie):
    native = outcome(capi.write_cookie_for_response, cookie)
    reference = outcome(reference_write, cookie)
    if reference[0] == "raised" and reference[1] is ValueError:
        # The refusal names the attribute; the rest of its wording is the writer's.
        assert native[:2] == reference[:2]
        assert reference[2] in native[2]
    else:
        assert native == reference
