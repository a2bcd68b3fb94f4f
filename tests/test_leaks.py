"""No operation keeps a reference it should have released: every public
operation, on success and on each of its failure paths, run many times with
memory and the arguments' reference counts watched (tests/leakcheck.py)."""

import copy
import pickle
from datetime import date, datetime, timedelta, timezone

import pytest

from glimmering_copper_otter import cookies, writer
from glimmering_copper_otter.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    datetime_from_cookie_format,
    datetime_to_cookie_format,
    parse_cookie,
)
from gco_testkit.hostile import Boom, Encodes, IntLike, IntSub, StrSub, Truthless, Unsized, give
from leakcheck import assert_no_leak


class OddDatetime(datetime):
    def strftime(self, fmt):
        raise Boom


class RaisingZone(timezone.__base__):
    def utcoffset(self, when):
        raise Boom


class SubCookie(Cookie):
    pass


class OverridingCookie(Cookie):
    """Overrides clone, so the C-level slot dispatches to it."""

    result = None

    def clone(self):
        return give(self.result)


AWARE = datetime(2030, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=2)))
NAIVE = datetime(2030, 1, 2, 3, 4, 5)


def full_cookie():
    return Cookie("sid", "a b;c/d", NAIVE, "example.com", "/", True, True, 3600,
                  CookieSameSiteMode.LAX)


# --- Setters and deleters -----------------------------------------------------------

SETTER_CASES = [
    # attribute, value (None with delete=True means del), expected exception
    ("name", "other", None),
    ("name", "", ValueError),
    ("name", None, ValueError),
    ("name", 0, ValueError),
    ("name", 5, TypeError),
    ("name", b"x", TypeError),
    ("name", StrSub("x"), TypeError),
    ("name", Truthless(), Boom),
    ("value", "v" * 100, None),
    ("value", "é" * 2048, None),
    ("value", None, None),
    ("value", "", None),
    ("value", "x" * 4097, CookieValueExceedsMaximumLength),
    ("value", "é" * 2049, CookieValueExceedsMaximumLength),
    ("value", "a\udcff", UnicodeEncodeError),
    ("value", b"x", AttributeError),
    ("value", b"", TypeError),
    ("value", 0, TypeError),
    ("value", StrSub("x"), TypeError),
    ("value", Truthless(), Boom),
    ("value", Encodes(Boom), Boom),
    ("value", Encodes(Unsized()), TypeError),
    ("value", Encodes([0] * 5000), CookieValueExceedsMaximumLength),
    ("expires", NAIVE, None),
    ("expires", OddDatetime(2030, 1, 1), None),
    ("expires", None, None),
    ("expires", date(2030, 1, 2), TypeError),
    ("expires", "Wed, 02 Jan 2030", TypeError),
    ("domain", "example.com", None),
    ("domain", None, None),
    ("domain", b"example.com", TypeError),
    ("domain", StrSub("x"), TypeError),
    ("path", "/", None),
    ("path", 5, TypeError),
    ("http_only", "yes", None),
    ("http_only", Truthless(), Boom),
    ("secure", [], None),
    ("secure", Truthless(), Boom),
    ("max_age", 5, None),
    ("max_age", 3.9, None),
    ("max_age", IntLike(7), None),
    ("max_age", IntLike(IntSub(7)), None),
    ("max_age", "7", TypeError),
    ("max_age", IntLike("7"), TypeError),
    ("max_age", IntLike(Boom), Boom),
    ("max_age", 2**63, OverflowError),
    ("max_age", IntLike(2**63), OverflowError),
    ("max_age", float("nan"), ValueError),
    ("same_site", 2, None),
    ("same_site", CookieSameSiteMode.NONE, None),
    ("same_site", 2.9, None),
    ("same_site", 7, None),
    ("same_site", -1, OverflowError),
    ("same_site", 2**32, OverflowError),
    ("same_site", 2**64, OverflowError),
    ("same_site", "1", TypeError),
    ("same_site", IntLike(Boom), Boom),
    ("same_site", IntLike(-1), OverflowError),
]


@pytest.mark.parametrize(("attribute", "value", "raises"), SETTER_CASES,
                         ids=[f"{a}-{i}" for i, (a, _, _) in enumerate(SETTER_CASES)])
def test_setter(attribute, value, raises):
    cookie = full_cookie()
    assert_no_leak(lambda: setattr(cookie, attribute, value), raises, watch=(value, cookie))


@pytest.mark.parametrize("attribute", ["expires", "domain", "path"])
def test_deleting_an_optional_attribute(attribute):
    cookie = full_cookie()
    assert_no_leak(lambda: delattr(cookie, attribute), watch=(cookie,))


@pytest.mark.parametrize("attribute",
                         ["name", "value", "http_only", "secure", "max_age", "same_site"])
def test_deleting_a_required_attribute(attribute):
    cookie = full_cookie()
    assert_no_leak(lambda: delattr(cookie, attribute), NotImplementedError, watch=(cookie,))


def test_int_subclass_from_int_as_an_error():
    cookie = full_cookie()
    value = IntLike(IntSub(7))
    assert_no_leak(lambda: setattr(cookie, "max_age", value), DeprecationWarning,
                   watch=(value,), warnings_as_errors=True)
    assert_no_leak(lambda: setattr(cookie, "same_site", value), DeprecationWarning,
                   watch=(value,), warnings_as_errors=True)


@pytest.mark.parametrize("stored", [0, 1, 2, 3, 7, 2**31, 2**32 - 1])
def test_getters(stored):
    cookie = full_cookie()
    cookie.same_site = stored

    def read_all():
        return (cookie.name, cookie.value, cookie.expires, cookie.domain, cookie.path,
                cookie.http_only, cookie.secure, cookie.max_age, cookie.same_site)

    assert_no_leak(read_all, watch=(cookie,))


def test_same_site_getter_without_the_class(restore_module_attributes):
    cookie = full_cookie()
    del restore_module_attributes.CookieSameSiteMode
    assert_no_leak(lambda: cookie.same_site, NameError)


# --- Constructor ------------------------------------------------------------------------

NAME, VALUE = "sid", "value"

CONSTRUCTOR_CASES = [
    ((NAME, VALUE), {}, None),
    ((NAME, VALUE, NAIVE, "d", "/", 1, 0, 60, 2), {}, None),
    ((), {"name": NAME, "value": None, "expires": AWARE, "same_site": CookieSameSiteMode.NONE},
     None),
    ((), {}, TypeError),
    ((NAME,), {}, TypeError),
    ((NAME, VALUE, None, None, None, 0, 0, -1, 0, "extra"), {}, TypeError),
    ((NAME, VALUE), {"code": 1}, TypeError),
    ((NAME, VALUE), {"name": NAME}, TypeError),
    ((NAME, VALUE), {"http_only": Truthless()}, Boom),
    ((NAME, VALUE), {"secure": Truthless()}, Boom),
    ((NAME, VALUE), {"max_age": "x"}, TypeError),
    ((NAME, VALUE), {"max_age": 2**63}, OverflowError),
    ((NAME, VALUE), {"max_age": IntLike(Boom)}, Boom),
    ((NAME, VALUE), {"same_site": -1}, OverflowError),
    ((NAME, VALUE), {"same_site": 2**32}, OverflowError),
    ((NAME, VALUE), {"same_site": "x"}, TypeError),
    ((b"sid", VALUE), {}, TypeError),
    ((NAME, b"value"), {}, TypeError),
    ((NAME, VALUE, date(2030, 1, 2)), {}, TypeError),
    ((NAME, VALUE, None, 5), {}, TypeError),
    ((NAME, VALUE, None, None, 5), {}, TypeError),
    ((StrSub(NAME), VALUE), {}, TypeError),
    (("", VALUE), {}, ValueError),
    ((None, VALUE), {}, ValueError),
    ((NAME, "x" * 4097), {}, CookieValueExceedsMaximumLength),
    ((NAME, "\udcff"), {}, UnicodeEncodeError),
]


@pytest.mark.parametrize(("args", "kwargs", "raises"), CONSTRUCTOR_CASES,
                         ids=[str(i) for i in range(len(CONSTRUCTOR_CASES))])
@pytest.mark.parametrize("cls", [Cookie, SubCookie])
def test_constructor(cls, args, kwargs, raises):
    assert_no_leak(lambda: cls(*args, **kwargs), raises, watch=(*args, *kwargs.values()))


@pytest.mark.parametrize(("args", "kwargs", "raises"), CONSTRUCTOR_CASES[:3] + [
    ((NAME, VALUE), {"max_age": "x"}, TypeError),
    ((NAME, "x" * 4097), {}, CookieValueExceedsMaximumLength),
], ids=range(5))
def test_constructor_again_on_a_live_cookie(args, kwargs, raises):
    cookie = full_cookie()
    assert_no_leak(lambda: cookie.__init__(*args, **kwargs), raises,
                   watch=(cookie, *args, *kwargs.values()))


# --- Parser -----------------------------------------------------------------------------

PARSE_CASES = [
    (b"a=b", None),
    (b"sid=a%20b%3Bc; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; Domain=d; "
     b"Path=/; HttpOnly; Secure; SameSite=Strict", None),
    (b"a=b; Expires=02 Jan 2030 03:04:05 +0200; Max-Age= 7 ; samesite=none", None),
    (b'a="x y"; Path=/%41', None),
    (b"n=\xc3\xa9%C3%A9%zz", None),
    (b"abc", ValueError),
    (b"", ValueError),
    (b"abc; Path=/", ValueError),
    (b"\xff=b", UnicodeDecodeError),
    (b"a=\xff", UnicodeDecodeError),
    (b"a=b; Domain=\xff", UnicodeDecodeError),
    (b"a=b; Path=\xfe", UnicodeDecodeError),
    (b"a=b; Max-Age=abc", ValueError),
    (b"a=b; Max-Age=", ValueError),
    (b"a=b; Max-Age=9223372036854775808", OverflowError),
    (b"a=b; Max-Age=" + b"9" * 30, OverflowError),
    (b"a=b; Expires=garbage", ValueError),
    (b"a=b; Expires=Wed, 32 Jan 2030 03:04:05 GMT", ValueError),
    (b"a=b; Expires=\xff", UnicodeDecodeError),
    (b"=b", ValueError),
    (b"=b; Expires=garbage", ValueError),
    (b"a=" + b"x" * 4097, CookieValueExceedsMaximumLength),
    (b"a=" + "é".encode() * 2049, CookieValueExceedsMaximumLength),
]


@pytest.mark.parametrize(("raw", "raises"), PARSE_CASES,
                         ids=[str(i) for i in range(len(PARSE_CASES))])
def test_parse_cookie(raw, raises):
    assert_no_leak(lambda: parse_cookie(raw), raises, watch=(raw,))


@pytest.mark.parametrize(("raw", "raises"), PARSE_CASES[:2] + PARSE_CASES[5:7] + PARSE_CASES[-2:],
                         ids=range(6))
def test_parse_cookie_c_entry(capi, raw, raises):
    assert_no_leak(lambda: capi.parse_cookie(raw, 0), raises, watch=(raw,))


@pytest.mark.parametrize(("args", "kwargs"), [
    (("a=b",), {}), ((bytearray(b"a=b"),), {}), ((), {}), ((b"a=b", b"x"), {}),
    ((), {"raw": b"a=b"}), ((b"a=b",), {"raw_value": b"a=b"}), ((None,), {}),
])
def test_parse_cookie_argument_errors(args, kwargs):
    assert_no_leak(lambda: parse_cookie(*args, **kwargs), TypeError)


@pytest.mark.parametrize("name", ["unquote", "CookieSameSiteMode"])
def test_parse_cookie_with_a_name_deleted(restore_module_attributes, name):
    delattr(restore_module_attributes, name)
    raw = b"a=%41; SameSite=Lax"
    assert_no_leak(lambda: parse_cookie(raw), NameError, watch=(raw,))


def test_parse_cookie_with_replaced_library_functions(restore_module_attributes):
    from email.utils import parsedate_to_datetime
    from urllib.parse import unquote

    module = restore_module_attributes
    module.unquote = lambda text: unquote(text)
    module.parsedate_to_datetime = lambda text: parsedate_to_datetime(text)
    raw = b"a=%41%zz; Expires=Wed, 02 Jan 2030 03:04:05 GMT; SameSite=Lax"
    assert_no_leak(lambda: parse_cookie(raw), watch=(raw,))
    module.unquote = lambda text: (_ for _ in ()).throw(Boom())
    assert_no_leak(lambda: parse_cookie(raw), Boom, watch=(raw,))


# --- Writer -------------------------------------------------------------------------------


def _writer_cases():
    yield "full", full_cookie(), None
    yield "aware-non-ascii", Cookie("é", "ü=1", AWARE, "bücher.example", "/ß", max_age=0,
                                    same_site=CookieSameSiteMode.NONE), None
    yield "subclass", SubCookie("s", "v", domain="d"), None
    none_value = full_cookie()
    none_value.value = None
    yield "none-value", none_value, TypeError
    yield "bare", Cookie.__new__(Cookie), TypeError
    yield "surrogate-name", Cookie("\udcff", "v"), UnicodeEncodeError
    # The value setter refuses what cannot be encoded; a state does not.
    surrogate_value = Cookie("n", "v")
    surrogate_value.__setstate__(("n", "\udcff", None, None, False, -1, None, 0, False))
    yield "surrogate-value", surrogate_value, UnicodeEncodeError
    yield "surrogate-domain", Cookie("n", "v", domain="\udcff"), UnicodeEncodeError
    yield "surrogate-path", Cookie("n", "v", path="é\udcff"), UnicodeEncodeError
    yield "semicolon-domain", Cookie("n", "v", domain="a;b"), ValueError
    yield "semicolon-path", Cookie("n", "v", path="/é;x"), ValueError
    yield "control-path", Cookie("n", "v", path="/\r\nSet-Cookie: x=y"), ValueError
    yield "delete-domain", Cookie("n", "v", domain="a\x7fb"), ValueError
    yield "failing-strftime", Cookie("n", "v", OddDatetime(2030, 1, 1)), Boom
    yield "failing-utcoffset", Cookie("n", "v", datetime(2030, 1, 1, tzinfo=RaisingZone())), Boom


WRITER_CASES = list(_writer_cases())


@pytest.mark.parametrize(("cookie", "raises"), [case[1:] for case in WRITER_CASES],
                         ids=[case[0] for case in WRITER_CASES])
def test_write_cookie_for_response(capi, cookie, raises):
    assert_no_leak(lambda: capi.write_cookie_for_response(cookie), raises, watch=(cookie,))


def test_write_cookie_for_response_refuses_what_is_not_a_cookie(capi):
    assert_no_leak(lambda: capi.write_cookie_for_response("a=b"), TypeError)


def test_writer_module(restore_module_attributes):
    cookie = full_cookie()
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie), watch=(cookie,))
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie=cookie), watch=(cookie,))
    assert_no_leak(lambda: writer.write_cookie_for_response(None), TypeError)
    assert_no_leak(lambda: writer.write_cookie_for_response(), TypeError)
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie, cookie=cookie), TypeError)
    del restore_module_attributes.quote
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie), NameError, watch=(cookie,))
    restore_module_attributes.quote = lambda text: StrSub(text)
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie), watch=(cookie,))
    restore_module_attributes.quote = lambda text: 5
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie), AttributeError,
                   watch=(cookie,))


def test_writer_module_keywords():
    cookie = full_cookie()
    assert_no_leak(lambda: writer.write_cookie_for_response(
        cookie, partitioned=True, priority="high"), watch=(cookie,))
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie, priority="x"), ValueError,
                   watch=(cookie,))
    assert_no_leak(lambda: writer.write_cookie_for_response(cookie, priority=1), TypeError)


# --- Dates --------------------------------------------------------------------------------

TO_CASES = [
    (NAIVE, None),
    (AWARE, None),
    (datetime(999, 1, 1, 0, 0, 0, 123), None),
    (OddDatetime(2030, 1, 1), Boom),
    (datetime(2030, 1, 1, tzinfo=RaisingZone()), Boom),
    (datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=5))), OverflowError),
    (date(2030, 1, 2), TypeError),
    ("2030", TypeError),
    (None, AttributeError),
]


@pytest.mark.parametrize(("value", "raises"), TO_CASES, ids=range(len(TO_CASES)))
def test_datetime_to_cookie_format(value, raises):
    assert_no_leak(lambda: datetime_to_cookie_format(value), raises, watch=(value,))


FROM_CASES = [
    (b"Wed, 02 Jan 2030 03:04:05 GMT", None),
    (b"Wed, 02-Jan-2030 03:04:05 GMT", None),
    (b"02 Jan 2030 03:04:05 +0200", None),
    (b"Wed, 02 Jan 30 03:04:05 GMT", None),
    (b"garbage", ValueError),
    (b"", ValueError),
    (b"Wed, 30 Feb 2030 03:04:05 GMT", ValueError),
    (b"\xff", UnicodeDecodeError),
    ("Wed, 02 Jan 2030 03:04:05 GMT", TypeError),
    (bytearray(b"x"), TypeError),
    (None, AttributeError),
]


@pytest.mark.parametrize(("value", "raises"), FROM_CASES, ids=range(len(FROM_CASES)))
def test_datetime_from_cookie_format(value, raises):
    assert_no_leak(lambda: datetime_from_cookie_format(value), raises, watch=(value,))


def test_dates_through_the_c_entries(capi):
    raw = b"Wed, 02 Jan 2030 03:04:05 GMT"
    assert_no_leak(lambda: capi.datetime_from_cookie_format(raw, 0), watch=(raw,))
    assert_no_leak(lambda: capi.datetime_from_cookie_format(b"nope", 0), ValueError)
    assert_no_leak(lambda: capi.datetime_to_cookie_format(NAIVE, 0), watch=(NAIVE,))
    assert_no_leak(lambda: capi.datetime_to_cookie_format(OddDatetime(2030, 1, 1), 0), Boom)


def test_dates_argument_errors():
    assert_no_leak(lambda: datetime_to_cookie_format(), TypeError)
    assert_no_leak(lambda: datetime_to_cookie_format(NAIVE, NAIVE), TypeError)
    assert_no_leak(lambda: datetime_from_cookie_format(valu=b"x"), TypeError)


def test_reading_dates_without_the_library_function(restore_module_attributes):
    del restore_module_attributes.parsedate_to_datetime
    raw = b"Wed, 02 Jan 2030 03:04:05 GMT"
    assert_no_leak(lambda: datetime_from_cookie_format(raw), NameError, watch=(raw,))


# --- Clone, comparison, display ---------------------------------------------------------------


def _overriding(result):
    cookie = OverridingCookie("o", "v")
    cookie.result = result
    return cookie


def _long_value():
    cookie = Cookie("n", "v")
    cookie.__setstate__(("n", "x" * 5000, None, None, False, -1, None, 0, False))
    return cookie


CLONE_CASES = [
    ("full", full_cookie, None),
    ("subclass", lambda: SubCookie("s", "v", AWARE), None),
    ("none-value", lambda: Cookie("n", None), None),
    ("bare", lambda: Cookie.__new__(Cookie), ValueError),
    ("long-value", _long_value, CookieValueExceedsMaximumLength),
]


@pytest.mark.parametrize(("make", "raises"), [case[1:] for case in CLONE_CASES],
                         ids=[case[0] for case in CLONE_CASES])
def test_clone(make, raises):
    cookie = make()
    assert_no_leak(cookie.clone, raises, watch=(cookie,))


def test_clone_arguments():
    cookie = full_cookie()
    assert_no_leak(lambda: cookie.clone(1), TypeError, watch=(cookie,))
    assert_no_leak(lambda: cookie.clone(deep=True), TypeError, watch=(cookie,))


def test_clone_with_the_same_site_class_deleted(restore_module_attributes):
    cookie = full_cookie()
    del restore_module_attributes.CookieSameSiteMode
    assert_no_leak(cookie.clone, NameError, watch=(cookie,))


@pytest.mark.parametrize(("result", "raises"), [
    (Cookie("c", "v"), None), (None, None), ("not a cookie", TypeError), (Boom, Boom),
])
def test_clone_slot_dispatching_to_an_override(capi_clone, result, raises):
    cookie = _overriding(result)
    assert_no_leak(lambda: capi_clone(cookie, 0), raises, watch=(cookie,))
    assert_no_leak(lambda: capi_clone(cookie, 1), watch=(cookie,))


@pytest.fixture(scope="module")
def capi_clone():
    import ctypes

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(Cookie.__dict__["__pyx_vtable__"], None)
    slot = ctypes.c_void_p.from_address(table).value
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int)(slot)


COMPARE_CASES = [
    ("same", lambda c: c == c.clone(), None),
    ("other-name", lambda c: c == Cookie("x", c.value), None),
    ("ne", lambda c: c != Cookie("x", c.value), None),
    ("text", lambda c: c == "a b;c/d", None),
    ("text-left", lambda c: "a b;c/d" != c, None),
    ("bytes", lambda c: c == b"a b;c/d", None),
    ("invalid-bytes", lambda c: c == b"\xff", UnicodeDecodeError),
    ("invalid-bytes-ne", lambda c: c != b"\xff", UnicodeDecodeError),
    ("none", lambda c: c == None, None),  # noqa: E711
    ("ordering", lambda c: c < c, TypeError),
    ("hash", hash, TypeError),
    ("repr", repr, None),
    ("str", str, None),
    ("repr-none-value", lambda c: repr(Cookie("n", None)), TypeError),
    ("repr-bare", lambda c: repr(Cookie.__new__(Cookie)), TypeError),
]


@pytest.mark.parametrize(("operation", "raises"), [case[1:] for case in COMPARE_CASES],
                         ids=[case[0] for case in COMPARE_CASES])
def test_comparison_and_display(operation, raises):
    cookie = full_cookie()
    assert_no_leak(lambda: operation(cookie), raises, watch=(cookie,))


# --- Pickling ---------------------------------------------------------------------------------

GOOD_STATE = ("n", "v", "d", NAIVE, True, 60, "/", CookieSameSiteMode.STRICT, False)


def _state_with(index, item):
    state = list(GOOD_STATE)
    state[index] = item
    return tuple(state)


SETSTATE_CASES = [
    ("nine", GOOD_STATE, None),
    ("ten-ignored", GOOD_STATE + ({"x": 1},), None),
    ("empty-name-long-value", ("", "x" * 5000) + GOOD_STATE[2:], None),
    ("same-site-seven", _state_with(7, 7), None),
    ("name", _state_with(0, b"n"), TypeError),
    ("value", _state_with(1, 5), TypeError),
    ("domain", _state_with(2, StrSub("d")), TypeError),
    ("expires", _state_with(3, date(2030, 1, 2)), TypeError),
    ("http-only", _state_with(4, Truthless()), Boom),
    ("max-age", _state_with(5, "60"), TypeError),
    ("max-age-overflow", _state_with(5, 2**63), OverflowError),
    ("path", _state_with(6, 1), TypeError),
    ("same-site", _state_with(7, -1), OverflowError),
    ("secure", _state_with(8, Truthless()), Boom),
    ("short", GOOD_STATE[:5], IndexError),
    ("list", list(GOOD_STATE), TypeError),
    ("none", None, TypeError),
]


@pytest.mark.parametrize(("state", "raises"), [case[1:] for case in SETSTATE_CASES],
                         ids=[case[0] for case in SETSTATE_CASES])
def test_setstate(state, raises):
    cookie = full_cookie()
    assert_no_leak(lambda: cookie.__setstate__(state), raises, watch=(cookie, state))


@pytest.mark.parametrize(("extra", "raises"), [
    ({"a": 1}, None), ([("a", 1)], None), (5, TypeError), (["ab", "c"], ValueError),
])
def test_setstate_of_a_subclass_with_a_dict(extra, raises):
    cookie = SubCookie("n", "v")
    state = GOOD_STATE + (extra,)
    assert_no_leak(lambda: cookie.__setstate__(state), raises, watch=(cookie, state))


def test_setstate_arguments():
    cookie = full_cookie()
    assert_no_leak(lambda: cookie.__setstate__(), TypeError)
    assert_no_leak(lambda: cookie.__setstate__(GOOD_STATE, GOOD_STATE), TypeError)
    assert_no_leak(lambda: cookie.__setstate_cython__(state=GOOD_STATE), TypeError)
    assert_no_leak(lambda: cookie.__reduce__(1), TypeError)


@pytest.mark.parametrize("make", [full_cookie, lambda: Cookie.__new__(Cookie),
                                  lambda: SubCookie("s", "v")], ids=["full", "bare", "subclass"])
def test_reduce_and_round_trips(make):
    cookie = make()
    if isinstance(cookie, SubCookie):
        cookie.extra = [1, 2]
    assert_no_leak(cookie.__reduce__, watch=(cookie,))
    assert_no_leak(lambda: pickle.loads(pickle.dumps(cookie)), watch=(cookie,))
    assert_no_leak(lambda: copy.deepcopy(cookie), watch=(cookie,))


@pytest.mark.parametrize("name", ["__pyx_unpickle_Cookie", "CookieSameSiteMode"])
def test_reduce_with_a_name_deleted(restore_module_attributes, name):
    cookie = full_cookie()
    delattr(restore_module_attributes, name)
    assert_no_leak(cookie.__reduce__, NameError, watch=(cookie,))


UNPICKLE_CASES = [
    ("none-state", (Cookie, 0x2035A3D, None), None),
    ("sha1", (Cookie, 0xC44A7B0, GOOD_STATE), None),
    ("md5-subclass", (SubCookie, 0xE7407DB, GOOD_STATE + ({"a": 1},)), None),
    ("checksum", (Cookie, 1, None), pickle.PickleError),
    ("checksum-type", (Cookie, "0x2035a3d", None), TypeError),
    ("not-a-type", ("Cookie", 0x2035A3D, None), TypeError),
    ("not-a-subtype", (int, 0x2035A3D, None), TypeError),
    ("state-list", (Cookie, 0x2035A3D, []), TypeError),
    ("bad-state", (Cookie, 0x2035A3D, _state_with(3, "x")), TypeError),
]


@pytest.mark.parametrize(("args", "raises"), [case[1:] for case in UNPICKLE_CASES],
                         ids=[case[0] for case in UNPICKLE_CASES])
def test_unpickle_cookie(args, raises):
    assert_no_leak(lambda: cookies.__pyx_unpickle_Cookie(*args), raises, watch=args)


def test_unpickle_arguments():
    unpickle = cookies.__pyx_unpickle_Cookie
    assert_no_leak(lambda: unpickle(Cookie, 0x2035A3D), TypeError)
    assert_no_leak(lambda: unpickle(Cookie, 0x2035A3D, None, __pyx_type=Cookie), TypeError)


# --- Error types ------------------------------------------------------------------------------

ERROR_CASES = [
    ("message", lambda: CookieError("m"), None),
    ("keyword", lambda: CookieError(message=None), None),
    ("no-argument", lambda: CookieError(), TypeError),
    ("bytes", lambda: CookieError(b"m"), TypeError),
    ("unexpected-keyword", lambda: CookieError("m", code=1), TypeError),
    ("too-long", lambda: CookieValueExceedsMaximumLength(), None),
    ("too-long-argument", lambda: CookieValueExceedsMaximumLength("x"), TypeError),
    ("reduce", lambda: CookieError("m").__reduce_cython__(), None),
    ("setstate", lambda: CookieError("m").__setstate_cython__(({"a": 1},)), None),
    ("setstate-none", lambda: CookieError("m").__setstate_cython__(None), TypeError),
    ("setstate-list", lambda: CookieError("m").__setstate_cython__([]), TypeError),
    ("setstate-bad-dict", lambda: CookieError("m").__setstate_cython__((5,)), TypeError),
    ("unpickle", lambda: cookies.__pyx_unpickle_CookieError(CookieError, 0xE3B0C44, ()), None),
    ("unpickle-checksum",
     lambda: cookies.__pyx_unpickle_CookieValueExceedsMaximumLength(
         CookieValueExceedsMaximumLength, 5, None), pickle.PickleError),
    ("unpickle-state", lambda: cookies.__pyx_unpickle_CookieError(CookieError, 0xDA39A3E, None),
     None),
    ("round-trip", lambda: pickle.loads(pickle.dumps(CookieError("m"))), None),
    ("round-trip-too-long",
     lambda: pickle.loads(pickle.dumps(CookieValueExceedsMaximumLength())), None),
]


@pytest.mark.parametrize(("operation", "raises"), [case[1:] for case in ERROR_CASES],
                         ids=[case[0] for case in ERROR_CASES])
def test_error_types(operation, raises):
    assert_no_leak(operation, raises)


# --- The other C-level entries ------------------------------------------------------------------


@pytest.mark.parametrize(("raw", "separator", "raises"), [
    (b"k=v=w", b"=", None),
    (b"=", b"=", None),
    (b"kv", b"=", ValueError),
    ("k=v", b"=", TypeError),
    (b"k=v", None, TypeError),
])
def test_split_value(capi, raw, separator, raises):
    assert_no_leak(lambda: capi.split_value(raw, separator), raises, watch=(raw, separator))


@pytest.mark.parametrize(("raw", "raises"), [
    (b"Strict", None), (b"LAX", None), (b"none", None), (b"lax ", None), (None, None),
    (b"", None), ("Lax", TypeError),
])
def test_same_site_mode_from_bytes(capi, raw, raises):
    assert_no_leak(lambda: capi.same_site_mode_from_bytes(raw), raises, watch=(raw,))
