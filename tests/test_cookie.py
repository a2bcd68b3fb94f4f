"""The Cookie record: its type, constructor and checked accessors, what a
failure leaves behind, subclasses, reference ownership, and the layout that
sibling compiled modules read in place."""

import ctypes
import datetime
import gc
import sys
import types
import warnings
import weakref

import pytest

from conftest import IntOf, OwnInt, traceback_names
from glimmering_copper_otter import cookies
from glimmering_copper_otter.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
)

PREFIX = "glimmering_copper_otter.cookies."
ATTRIBUTES = ["name", "value", "expires", "domain", "path", "http_only", "secure", "max_age", "same_site"]
DEPRECATED_INT = (
    "__int__ returned non-int (type bool).  The ability to return an instance of a "
    "strict subclass of int is deprecated, and may be removed in a future version of Python."
)
WHEN = datetime.datetime(2030, 1, 2, 3, 4, 5)


class Text(str):
    pass


class When(datetime.datetime):
    pass


class Truthless:
    """An object whose truth test raises."""

    def __bool__(self):
        raise ZeroDivisionError("no truth")


def text(value):
    """A str object equal to value made at run time, so never an interned
    constant (one-character texts are still the interpreter's shared ones)."""
    return "".join([value, "\u00e9"])[:-1] if value else value


def short(value):
    """Test ids that stay readable for long texts."""
    if isinstance(value, str) and len(value) > 16:
        return f"{value[:4]!r}..({len(value)})".encode("ascii", "backslashreplace").decode()
    return None


# --- The record as sibling compiled modules read it -------------------------------

OFFSETS = {
    "vtab": (16, ctypes.c_void_p),
    "_name": (24, ctypes.c_void_p),
    "_value": (32, ctypes.c_void_p),
    "expires": (40, ctypes.c_void_p),
    "domain": (48, ctypes.c_void_p),
    "path": (56, ctypes.c_void_p),
    "http_only": (64, ctypes.c_int32),
    "secure": (68, ctypes.c_int32),
    "max_age": (72, ctypes.c_int64),
    "same_site": (80, ctypes.c_uint32),
}
OBJECT_FIELDS = ["_name", "_value", "expires", "domain", "path"]


def raw(cookie, field):
    offset, ctype = OFFSETS[field]
    return ctype.from_address(id(cookie) + offset).value


def vtable_pointer():
    get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
        ("PyCapsule_GetPointer", ctypes.pythonapi)
    )
    return get_pointer(Cookie.__dict__["__pyx_vtable__"], None)


def assert_record(cookie, name, value, expires, domain, path, http_only, secure, max_age, same_site):
    """The fields read in place hold exactly these objects and numbers."""
    assert raw(cookie, "vtab") == vtable_pointer()
    for field, obj in zip(OBJECT_FIELDS, (name, value, expires, domain, path)):
        assert raw(cookie, field) == id(obj), field
    assert raw(cookie, "http_only") == http_only
    assert raw(cookie, "secure") == secure
    assert raw(cookie, "max_age") == max_age
    assert raw(cookie, "same_site") == same_site


def snapshot(cookie):
    """Everything a cookie holds, with the objects by identity."""
    return {field: raw(cookie, field) for field in OFFSETS}


# --- The type --------------------------------------------------------------------


class TestType:
    def test_names_and_base(self):
        assert Cookie.__name__ == "Cookie"
        assert Cookie.__qualname__ == "Cookie"
        assert Cookie.__module__ == "glimmering_copper_otter.cookies"
        assert Cookie.__bases__ == (object,)
        assert Cookie.__mro__ == (Cookie, object)
        assert cookies.Cookie is Cookie

    def test_size_and_slots(self):
        assert Cookie.__basicsize__ == 88
        assert Cookie.__itemsize__ == 0
        assert Cookie.__dictoffset__ == 0
        assert Cookie.__weakrefoffset__ == 0

    def test_attribute_table_in_order(self):
        descriptors = [
            key for key, value in vars(Cookie).items() if isinstance(value, types.GetSetDescriptorType)
        ]
        assert descriptors == ATTRIBUTES

    def test_no_docstrings(self):
        assert Cookie.__doc__ is None
        for attribute in ATTRIBUTES:
            assert vars(Cookie)[attribute].__doc__ is None, attribute
        assert Cookie.clone.__doc__ is None

    def test_subclassable(self):
        class Sub(Cookie):
            pass

        assert isinstance(Sub("n", "v"), Cookie)

    def test_gc_tracked(self):
        assert gc.is_tracked(Cookie("n", "v"))
        assert gc.is_tracked(Cookie.__new__(Cookie))

    def test_no_instance_dict_nor_weak_references(self):
        cookie = Cookie("n", "v")
        assert not hasattr(cookie, "__dict__")
        with pytest.raises(AttributeError):
            cookie.other = 1
        with pytest.raises(AttributeError):
            cookie.other
        with pytest.raises(AttributeError):
            cookie._name = "x"
        with pytest.raises(AttributeError):
            cookie._value
        with pytest.raises(TypeError):
            weakref.ref(cookie)

    def test_unhashable(self):
        cookie = Cookie("n", "v")
        assert Cookie.__hash__ is None
        with pytest.raises(TypeError):
            hash(cookie)
        with pytest.raises(TypeError):
            {cookie}


# --- Construction and bare allocation --------------------------------------------------


def test_defaults():
    cookie = Cookie("n", "v")
    assert cookie.name == "n"
    assert cookie.value == "v"
    assert cookie.expires is None
    assert cookie.domain is None
    assert cookie.path is None
    assert cookie.http_only is False
    assert cookie.secure is False
    assert cookie.max_age == -1
    assert cookie.same_site is CookieSameSiteMode.UNDEFINED


def test_every_argument_by_position_and_by_keyword():
    values = dict(
        name=text("sid"),
        value=text("abc"),
        expires=WHEN,
        domain=text("example.com"),
        path=text("/"),
        http_only=1,
        secure="yes",
        max_age=3600,
        same_site=CookieSameSiteMode.STRICT,
    )
    optional = {key: value for key, value in values.items() if key not in ("name", "value")}
    for cookie in (
        Cookie(*values.values()),
        Cookie(**values),
        Cookie(values["name"], values["value"], **optional),
    ):
        assert cookie.name is values["name"]
        assert cookie.value is values["value"]
        assert cookie.expires is WHEN
        assert cookie.domain is values["domain"]
        assert cookie.path is values["path"]
        assert cookie.http_only is True
        assert cookie.secure is True
        assert cookie.max_age == 3600
        assert cookie.same_site is CookieSameSiteMode.STRICT


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((), {}), ((1, 2, 3), {}), ((), {"name": "x", "anything": 1})],
)
def test_bare_allocation(args, kwargs):
    cookie = Cookie.__new__(Cookie, *args, **kwargs)
    assert type(cookie) is Cookie
    assert cookie.name is None
    assert cookie.value is None
    assert cookie.expires is None
    assert cookie.domain is None
    assert cookie.path is None
    assert cookie.http_only is False
    assert cookie.secure is False
    assert cookie.max_age == 0
    assert cookie.same_site is CookieSameSiteMode.UNDEFINED
    assert_record(cookie, None, None, None, None, None, 0, 0, 0, 0)


def test_bare_allocation_can_be_initialised_later():
    cookie = Cookie.__new__(Cookie)
    cookie.__init__("n", "v", max_age=5)
    assert (cookie.name, cookie.value, cookie.max_age) == ("n", "v", 5)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "__init__() takes at least 2 positional arguments (0 given)"),
        (("n",), {}, "__init__() takes at least 2 positional arguments (1 given)"),
        ((), {"name": "n"}, "__init__() takes at least 2 positional arguments (1 given)"),
        ((), {"value": "v"}, "__init__() takes at least 2 positional arguments (0 given)"),
        (("n", "v", None, None, None, 0, 0, -1, 0, "x"), {}, "__init__() takes at most 9 positional arguments (10 given)"),
        (("n", "v"), {"Path": "/"}, "__init__() got an unexpected keyword argument 'Path'"),
        (("n", "v"), {"httponly": True}, "__init__() got an unexpected keyword argument 'httponly'"),
        (("n", "v"), {"name": "m"}, "__init__() got multiple values for keyword argument 'name'"),
        (("n", "v", None, "d"), {"domain": "e"}, "__init__() got multiple values for keyword argument 'domain'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        Cookie(*args, **kwargs)
    assert str(excinfo.value) == message
    assert traceback_names(excinfo)[-1] == PREFIX + "Cookie.__init__"


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"name": b"n"}, "Argument 'name' has incorrect type (expected str, got bytes)"),
        ({"name": Text("n")}, "Argument 'name' has incorrect type (expected str, got Text)"),
        ({"name": 5}, "Argument 'name' has incorrect type (expected str, got int)"),
        ({"value": b"v"}, "Argument 'value' has incorrect type (expected str, got bytes)"),
        ({"value": Text("v")}, "Argument 'value' has incorrect type (expected str, got Text)"),
        ({"value": 0}, "Argument 'value' has incorrect type (expected str, got int)"),
        ({"expires": datetime.date(2030, 1, 2)}, "Argument 'expires' has incorrect type (expected datetime.datetime, got datetime.date)"),
        ({"expires": "Wed, 02 Jan 2030"}, "Argument 'expires' has incorrect type (expected datetime.datetime, got str)"),
        ({"domain": b"d"}, "Argument 'domain' has incorrect type (expected str, got bytes)"),
        ({"domain": Text("d")}, "Argument 'domain' has incorrect type (expected str, got Text)"),
        ({"path": 1}, "Argument 'path' has incorrect type (expected str, got int)"),
        ({"path": Text("/")}, "Argument 'path' has incorrect type (expected str, got Text)"),
    ],
)
def test_constructor_type_checks(kwargs, message):
    arguments = {"name": "n", "value": "v", **kwargs}
    with pytest.raises(TypeError) as excinfo:
        Cookie(**arguments)
    assert str(excinfo.value) == message
    assert traceback_names(excinfo)[-1] == PREFIX + "Cookie.__init__"


def test_constructor_accepts_none_text_and_datetime_subclass():
    when = When(2030, 1, 2)
    cookie = Cookie("n", None, when, None, None)
    assert cookie.value is None
    assert cookie.expires is when


@pytest.mark.parametrize(
    ("kwargs", "exception", "message"),
    [
        # Conversions come first: the flags, then max_age, then same_site...
        ({"http_only": Truthless(), "secure": Truthless(), "max_age": "x", "name": b"n"}, ZeroDivisionError, "no truth"),
        ({"secure": Truthless(), "max_age": "x", "same_site": -1}, ZeroDivisionError, "no truth"),
        ({"max_age": "x", "same_site": -1, "name": b"n"}, TypeError, "an integer is required"),
        ({"max_age": "x", "domain": 5}, TypeError, "an integer is required"),
        ({"max_age": 2**63, "same_site": -1}, OverflowError, None),
        ({"same_site": -1, "name": b"n", "value": "x" * 5000}, OverflowError,
         "can't convert negative value to enum __pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode"),
        ({"same_site": "2", "name": ""}, TypeError, "an integer is required"),
        # ...then the argument types, in parameter order...
        ({"name": b"n", "value": b"v"}, TypeError, "Argument 'name' has incorrect type (expected str, got bytes)"),
        ({"value": 1, "expires": 1}, TypeError, "Argument 'value' has incorrect type (expected str, got int)"),
        ({"expires": 1, "domain": 1}, TypeError, "Argument 'expires' has incorrect type (expected datetime.datetime, got int)"),
        ({"domain": 1, "path": 1}, TypeError, "Argument 'domain' has incorrect type (expected str, got int)"),
        ({"name": "", "path": 1}, TypeError, "Argument 'path' has incorrect type (expected str, got int)"),
        ({"name": None, "value": b"v"}, TypeError, "Argument 'value' has incorrect type (expected str, got bytes)"),
        # ...then the name...
        ({"name": "", "value": "x" * 5000}, ValueError, "A cookie name is required"),
        ({"name": None, "value": "x" * 5000}, ValueError, "A cookie name is required"),
        ({"name": None, "value": "\ud800"}, ValueError, "A cookie name is required"),
        # ...then the value.
        ({"value": "x" * 5000}, CookieValueExceedsMaximumLength, None),
        ({"value": "\ud800"}, UnicodeEncodeError, None),
    ],
)
def test_constructor_order_of_checks(kwargs, exception, message):
    arguments = {"name": "n", "value": "v", **kwargs}
    with pytest.raises(exception) as excinfo:
        Cookie(**arguments)
    assert type(excinfo.value) is exception
    if message is not None:
        assert str(excinfo.value) == message


def test_constructor_stores_the_remaining_fields_after_name_and_value():
    cookie = Cookie("n", "v", WHEN, "d", "/p", [1], "", 7.9, True)
    assert_record(cookie, cookie.name, cookie.value, WHEN, cookie.domain, cookie.path, 1, 0, 7, 1)


# --- Rule N: the name setter -------------------------------------------------------------


@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        ("", ValueError, "A cookie name is required"),
        (None, ValueError, "A cookie name is required"),
        (0, ValueError, "A cookie name is required"),
        (False, ValueError, "A cookie name is required"),
        (b"", ValueError, "A cookie name is required"),
        ([], ValueError, "A cookie name is required"),
        (Text(""), ValueError, "A cookie name is required"),
        (5, TypeError, "Expected str, got int"),
        (True, TypeError, "Expected str, got bool"),
        (b"x", TypeError, "Expected str, got bytes"),
        (Text("x"), TypeError, "Expected str, got Text"),
        (["x"], TypeError, "Expected str, got list"),
        (Truthless(), ZeroDivisionError, "no truth"),
    ],
)
def test_name_refused(value, exception, message):
    cookie = Cookie("before", "v")
    with pytest.raises(exception) as excinfo:
        cookie.name = value
    assert type(excinfo.value) is exception
    assert str(excinfo.value) == message
    assert cookie.name == "before"
    names = traceback_names(excinfo)
    assert PREFIX + "Cookie.name.__set__" in names


def test_name_required_is_a_plain_value_error_with_one_argument():
    with pytest.raises(ValueError) as excinfo:
        Cookie("", "v")
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == ("A cookie name is required",)


@pytest.mark.parametrize("value", ["n", "x" * 10000, " ", "\ud800", "é"], ids=short)
def test_name_accepted_unchanged(value):
    cookie = Cookie("before", "v")
    new = text(value)
    cookie.name = new
    assert cookie.name is new


# --- Rule V: the value setter -------------------------------------------------------------


class EncodesTo:
    """A true object with an encode method giving the stored result."""

    def __init__(self, result):
        self.result = result

    def encode(self):
        return self.result


class LongText(str):
    def encode(self, *args):
        return b"x" * 5000


@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        # False values skip the length check and meet the type check.
        (0, TypeError, "Expected str, got int"),
        (False, TypeError, "Expected str, got bool"),
        (b"", TypeError, "Expected str, got bytes"),
        ([], TypeError, "Expected str, got list"),
        (Text(""), TypeError, "Expected str, got Text"),
        # True values are encoded first.
        (5, AttributeError, "'int' object has no attribute 'encode'"),
        (b"x", AttributeError, "'bytes' object has no attribute 'encode'"),
        (["x"], AttributeError, "'list' object has no attribute 'encode'"),
        (Text("x"), TypeError, "Expected str, got Text"),
        (EncodesTo(b""), TypeError, "Expected str, got EncodesTo"),
        (EncodesTo(b"x" * 4097), CookieValueExceedsMaximumLength, None),
        (EncodesTo(5), TypeError, "object of type 'int' has no len()"),
        (LongText("short"), CookieValueExceedsMaximumLength, None),
        (Truthless(), ZeroDivisionError, "no truth"),
        ("\ud800", UnicodeEncodeError, None),
        ("ok \udfff", UnicodeEncodeError, None),
        ("x" * 5000 + "\ud800", UnicodeEncodeError, None),
        ("x" * 4097, CookieValueExceedsMaximumLength, None),
    ],
    ids=short,
)
def test_value_refused(value, exception, message):
    cookie = Cookie("n", "before")
    with pytest.raises(exception) as excinfo:
        cookie.value = value
    assert type(excinfo.value) is exception
    if message is not None:
        assert str(excinfo.value) == message
    assert cookie.value == "before"
    assert PREFIX + "Cookie.value.__set__" in traceback_names(excinfo)


def test_encode_failure_is_passed_on_unchanged():
    with pytest.raises(UnicodeEncodeError) as excinfo:
        Cookie("n", "v").value = "ab\ud800"
    error = excinfo.value
    assert (error.encoding, error.start, error.end, error.reason) == ("utf-8", 2, 3, "surrogates not allowed")


@pytest.mark.parametrize(
    ("value", "accepted"),
    [
        ("", True),
        ("x" * 4096, True),
        ("x" * 4097, False),
        ("é" * 2048, True),  # two bytes each
        ("é" * 2049, False),
        ("é" * 2047 + "xx", True),
        ("é" * 2047 + "xxx", False),
        ("€" * 1365, True),  # three bytes each: 4095
        ("€" * 1365 + "x", True),
        ("€" * 1366, False),  # 4098
        ("\U0001f36a" * 1024, True),  # four bytes each
        ("\U0001f36a" * 1025, False),
        ("\u07ff" * 2048, True),
        ("\u0800" * 1365 + "y", True),
        ("\u0800" * 1365 + "yy", False),
        ("\uffff" * 1366, False),
        ("x" * 3000, True),
        ("é" * 3000, False),  # 3000 characters, 6000 bytes
    ],
    ids=short,
)
def test_value_length_counts_encoded_bytes(value, accepted):
    assert len(value.encode()) <= 4096 if accepted else len(value.encode()) > 4096
    cookie = Cookie("n", "v")
    if accepted:
        cookie.value = value
        assert cookie.value is value
        assert Cookie("n", value).value is value
    else:
        with pytest.raises(CookieValueExceedsMaximumLength) as excinfo:
            cookie.value = value
        assert excinfo.value.args == CookieValueExceedsMaximumLength().args
        assert cookie.value == "v"
        with pytest.raises(CookieValueExceedsMaximumLength):
            Cookie("n", value)


@pytest.mark.parametrize("value", [None, ""])
def test_value_none_or_empty_read_back_unchanged(value):
    cookie = Cookie("n", "v")
    cookie.value = value
    assert cookie.value is value
    assert Cookie("n", value).value is value


# --- The other accessors ------------------------------------------------------------------


@pytest.mark.parametrize("attribute", ["domain", "path"])
class TestTextAttributes:
    @pytest.mark.parametrize("value", ["", "example.com", "/a;b", "x" * 10000, "\ud800"], ids=short)
    def test_any_text(self, attribute, value):
        cookie = Cookie("n", "v")
        new = text(value)
        setattr(cookie, attribute, new)
        assert getattr(cookie, attribute) is new

    @pytest.mark.parametrize(
        ("value", "type_name"),
        [(b"x", "bytes"), (b"", "bytes"), (0, "int"), (Text("x"), "Text"), (["/"], "list")],
    )
    def test_refused(self, attribute, value, type_name):
        cookie = Cookie("n", "v", **{attribute: "before"})
        with pytest.raises(TypeError) as excinfo:
            setattr(cookie, attribute, value)
        assert str(excinfo.value) == f"Expected str, got {type_name}"
        assert getattr(cookie, attribute) == "before"
        assert traceback_names(excinfo)[-1] == f"{PREFIX}Cookie.{attribute}.__set__"

    def test_none_and_deletion(self, attribute):
        cookie = Cookie("n", "v", **{attribute: "before"})
        setattr(cookie, attribute, None)
        assert getattr(cookie, attribute) is None
        setattr(cookie, attribute, "again")
        delattr(cookie, attribute)
        assert getattr(cookie, attribute) is None
        delattr(cookie, attribute)
        assert getattr(cookie, attribute) is None


class TestExpires:
    @pytest.mark.parametrize(
        "value",
        [WHEN, When(2030, 1, 2), datetime.datetime(2030, 1, 2, tzinfo=datetime.timezone.utc), datetime.datetime.min],
    )
    def test_datetime_or_subclass_stored_unchanged(self, value):
        cookie = Cookie("n", "v")
        cookie.expires = value
        assert cookie.expires is value

    @pytest.mark.parametrize(
        ("value", "type_name"),
        [
            (datetime.date(2030, 1, 2), "datetime.date"),
            (datetime.time(1, 2), "datetime.time"),
            ("Wed, 02 Jan 2030 00:00:00 GMT", "str"),
            (0, "int"),
        ],
    )
    def test_refused(self, value, type_name):
        cookie = Cookie("n", "v", WHEN)
        with pytest.raises(TypeError) as excinfo:
            cookie.expires = value
        assert str(excinfo.value) == f"Cannot convert {type_name} to datetime.datetime"
        assert cookie.expires is WHEN
        assert traceback_names(excinfo)[-1] == PREFIX + "Cookie.expires.__set__"

    def test_none_and_deletion(self):
        cookie = Cookie("n", "v", WHEN)
        cookie.expires = None
        assert cookie.expires is None
        cookie.expires = WHEN
        del cookie.expires
        assert cookie.expires is None


@pytest.mark.parametrize("attribute", ["http_only", "secure"])
class TestFlags:
    @pytest.mark.parametrize(
        ("value", "stored"),
        [
            (True, 1), (False, 0), (None, 0), (1, 1), (0, 0), (-7, 1), (2**100, 1), (0.0, 0),
            ("x", 1), ("", 0), ("false", 1), ([], 0), ([0], 1), (b"", 0), (object(), 1),
        ],
    )
    def test_truth_value_stored(self, attribute, value, stored):
        cookie = Cookie("n", "v")
        setattr(cookie, attribute, value)
        assert getattr(cookie, attribute) is bool(stored)
        assert raw(cookie, attribute) == stored
        constructed = Cookie("n", "v", **{attribute: value})
        assert getattr(constructed, attribute) is bool(stored)
        assert raw(constructed, attribute) == stored

    def test_failing_truth_test(self, attribute):
        cookie = Cookie("n", "v", **{attribute: True})
        with pytest.raises(ZeroDivisionError) as excinfo:
            setattr(cookie, attribute, Truthless())
        assert getattr(cookie, attribute) is True
        assert traceback_names(excinfo)[-2:] == [f"{PREFIX}Cookie.{attribute}.__set__", "__bool__"]


def set_max_age(value):
    cookie = Cookie("n", "v")
    cookie.max_age = value
    return cookie


def init_max_age(value):
    return Cookie("n", "v", max_age=value)


MAX_AGE_ASSIGN = pytest.mark.parametrize("assign", [init_max_age, set_max_age], ids=["init", "setter"])


@MAX_AGE_ASSIGN
@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (0, 0), (-1, -1), (3600, 3600), (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)),
        (True, 1), (False, 0), (OwnInt(5), 5), (3.9, 3), (-3.9, -3), (IntOf(12), 12),
        (IntOf(-(2**63)), -(2**63)),
    ],
)
def test_max_age_accepted(assign, value, expected):
    cookie = assign(value)
    assert cookie.max_age == expected
    assert type(cookie.max_age) is int
    assert raw(cookie, "max_age") == expected


@MAX_AGE_ASSIGN
@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        ("12", TypeError, "an integer is required"),
        (b"12", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntOf("12"), TypeError, "__int__ returned non-int (type str)"),
        (IntOf(1.5), TypeError, "__int__ returned non-int (type float)"),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (IntOf(2**64), OverflowError, None),
        (float("inf"), OverflowError, None),
        (float("nan"), ValueError, None),
    ],
)
def test_max_age_refused(assign, value, exception, message):
    with pytest.raises(exception) as excinfo:
        assign(value)
    assert type(excinfo.value) is exception
    if message is not None:
        assert str(excinfo.value) == message


@MAX_AGE_ASSIGN
def test_max_age_int_subclass_from_int(assign):
    with pytest.warns(DeprecationWarning) as record:
        cookie = assign(IntOf(True))
    assert [str(w.message) for w in record] == [DEPRECATED_INT]
    assert cookie.max_age == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            assign(IntOf(True))


def test_max_age_failure_keeps_the_stored_number():
    cookie = Cookie("n", "v", max_age=10)
    for bad in ("1", 2**63, IntOf("x")):
        with pytest.raises((TypeError, OverflowError)) as excinfo:
            cookie.max_age = bad
        assert traceback_names(excinfo)[-1] == PREFIX + "Cookie.max_age.__set__"
    assert cookie.max_age == 10


def test_same_site_accessor():
    cookie = Cookie("n", "v")
    cookie.same_site = 2
    assert cookie.same_site is CookieSameSiteMode.STRICT
    cookie.same_site = CookieSameSiteMode.NONE
    assert raw(cookie, "same_site") == 3
    with pytest.raises(OverflowError):
        cookie.same_site = -1
    assert cookie.same_site is CookieSameSiteMode.NONE


@pytest.mark.parametrize("attribute", ["name", "value", "http_only", "secure", "max_age", "same_site"])
def test_deletion_refused(attribute):
    cookie = Cookie("n", "v", WHEN, "d", "/", True, True, 5, 1)
    before = snapshot(cookie)
    with pytest.raises(NotImplementedError) as excinfo:
        delattr(cookie, attribute)
    assert str(excinfo.value) == "__del__"
    assert excinfo.value.args == ("__del__",)
    assert snapshot(cookie) == before


# --- What a failed construction leaves behind ---------------------------------------------------


def full_cookie():
    return Cookie(text("old"), text("old value"), WHEN, text("d"), text("/p"), True, True, 99, 2)


@pytest.mark.parametrize(
    ("args", "kwargs", "exception"),
    [
        ((), {}, TypeError),
        (("n", "v"), {"bogus": 1}, TypeError),
        (("n", "v"), {"http_only": Truthless()}, ZeroDivisionError),
        (("n", "v"), {"secure": Truthless()}, ZeroDivisionError),
        (("n", "v"), {"max_age": "x"}, TypeError),
        (("n", "v"), {"same_site": 2**32}, OverflowError),
        ((b"n", "v"), {}, TypeError),
        (("n", "v"), {"expires": datetime.date(2030, 1, 1)}, TypeError),
        (("n", "v"), {"path": 5}, TypeError),
        (("", "v"), {}, ValueError),
        ((None, None), {}, ValueError),
    ],
)
def test_failed_reinitialisation_before_the_value_changes_nothing(args, kwargs, exception):
    cookie = full_cookie()
    before = snapshot(cookie)
    with pytest.raises(exception):
        cookie.__init__(*args, **kwargs)
    assert snapshot(cookie) == before


@pytest.mark.parametrize("value", ["x" * 4097, "\ud800"], ids=["long", "surrogate"])
def test_failed_reinitialisation_in_the_value_keeps_the_new_name(value):
    cookie = full_cookie()
    before = snapshot(cookie)
    new_name = text("new")
    with pytest.raises((CookieError, UnicodeEncodeError)):
        cookie.__init__(new_name, value, None, None, None, False, False, 1, 0)
    after = snapshot(cookie)
    assert cookie.name is new_name
    assert after.pop("_name") == id(new_name)
    before.pop("_name")
    assert after == before


def test_successful_reinitialisation_overwrites_every_field():
    cookie = full_cookie()
    name, value = text("n2"), text("v2")
    cookie.__init__(name, value)
    assert_record(cookie, name, value, None, None, None, 0, 0, -1, 0)


# --- Subclasses ---------------------------------------------------------------------------------


def test_subclass_name_property_is_honoured_by_the_constructor():
    class Upper(Cookie):
        seen = []

        @property
        def name(self):
            return "upper:" + Cookie.name.__get__(self)

        @name.setter
        def name(self, value):
            self.seen.append(value)
            Cookie.name.__set__(self, value.upper())

    cookie = Upper("sid", "v")
    assert Upper.seen == ["sid"]
    assert cookie.name == "upper:SID"
    assert Cookie.name.__get__(cookie) == "SID"


def test_subclass_value_property_is_honoured_by_the_constructor():
    class Lenient(Cookie):
        @property
        def value(self):
            return Cookie.value.__get__(self)

        @value.setter
        def value(self, value):
            Cookie.value.__set__(self, value[:4096])

    cookie = Lenient("n", "x" * 5000)
    assert cookie.value == "x" * 4096


def test_subclass_name_setter_failure_propagates():
    class Picky(Cookie):
        @property
        def name(self):
            return Cookie.name.__get__(self)

        @name.setter
        def name(self, value):
            raise LookupError("picky")

    with pytest.raises(LookupError) as excinfo:
        Picky("n", "v")
    assert PREFIX + "Cookie.__init__" in traceback_names(excinfo)


def test_constructor_stores_other_fields_without_subclass_setters():
    calls = []

    class Watched(Cookie):
        @property
        def domain(self):
            return Cookie.domain.__get__(self)

        @domain.setter
        def domain(self, value):
            calls.append(value)
            Cookie.domain.__set__(self, value)

    cookie = Watched("n", "v", domain="example.com")
    assert calls == []
    assert cookie.domain == "example.com"
    cookie.domain = "other"
    assert calls == ["other"]


def test_subclass_instances_have_a_dict_and_weak_references():
    class Sub(Cookie):
        pass

    cookie = Sub("n", "v", max_age=3)
    cookie.extra = 1
    assert cookie.__dict__ == {"extra": 1}
    assert weakref.ref(cookie)() is cookie
    assert gc.is_tracked(cookie)
    assert_record(cookie, cookie.name, cookie.value, None, None, None, 0, 0, 3, 0)
    bare = Cookie.__new__(Sub)
    assert type(bare) is Sub
    assert (bare.name, bare.max_age) == (None, 0)


def test_subclass_with_its_own_initialiser():
    class Session(Cookie):
        def __init__(self, token):
            super().__init__("session", token, http_only=True, secure=True)

    cookie = Session("abc")
    assert (cookie.name, cookie.value, cookie.http_only, cookie.secure) == ("session", "abc", True, True)


def test_subclass_finaliser_runs_before_the_fields_are_released():
    seen = []

    class Noted(Cookie):
        def __del__(self):
            seen.append((self.name, self.value))

    cookie = Noted("n", "v")
    del cookie
    gc.collect()
    assert seen == [("n", "v")]


# --- Garbage collection -------------------------------------------------------------------------


def test_only_expires_is_visited():
    when = When(2030, 1, 2)
    cookie = Cookie(text("n"), text("v"), when, text("d"), text("/"))
    assert gc.get_referents(cookie) == [when]


def test_cycle_through_expires_is_collected():
    cookie = Cookie("n", "v")
    when = When(2030, 1, 2)
    when.cookie = cookie
    cookie.expires = when
    dead = weakref.ref(when)
    del cookie, when
    gc.collect()
    assert dead() is None


def test_cycle_through_a_subclass_dict_is_collected():
    class Sub(Cookie):
        pass

    cookie = Sub("n", "v")
    cookie.me = cookie
    dead = weakref.ref(cookie)
    del cookie
    gc.collect()
    assert dead() is None


# --- Reference ownership ------------------------------------------------------------------------


def test_record_holds_one_reference_to_each_object():
    parts = [text("name"), text("value"), When(2030, 1, 2), text("domain"), text("path")]
    before = [sys.getrefcount(p) for p in parts]
    held = [Cookie(*parts) for _ in range(3)]
    assert [sys.getrefcount(p) for p in parts] == [b + 3 for b in before]
    assert_record(held[0], *parts, 0, 0, -1, 0)
    del held
    assert [sys.getrefcount(p) for p in parts] == before


def test_setters_release_the_previous_object():
    cookie = Cookie(text("name"), text("value"), When(2030, 1, 1), text("domain"), text("path"))
    for attribute in ["name", "value", "expires", "domain", "path"]:
        old = getattr(cookie, attribute)
        count = sys.getrefcount(old)
        new = When(2031, 1, 1) if attribute == "expires" else text("new")
        setattr(cookie, attribute, new)
        assert sys.getrefcount(old) == count - 1, attribute
        assert raw(cookie, "_" + attribute if attribute in ("name", "value") else attribute) == id(new)


def repeat(function, times=50):
    for _ in range(times):
        try:
            function()
        except Exception:
            pass


def test_reference_counts_flat_over_success_and_failure():
    name, value, domain, path = text("name"), text("value"), text("domain"), text("path")
    when = When(2030, 1, 2)
    long_value = "x" * 5000
    bad = Truthless()
    existing = Cookie("n", "v")
    tracked = [name, value, domain, path, when, long_value, bad, existing]
    operations = [
        lambda: Cookie(name, value, when, domain, path, True, True, 5, 2),
        lambda: Cookie(name, value, when, domain, path, bad),
        lambda: Cookie(name, value, when, domain, path, max_age="x"),
        lambda: Cookie(name, value, when, domain, path, same_site=-1),
        lambda: Cookie(name, value, when, domain, 5),
        lambda: Cookie("", value, when, domain, path),
        lambda: Cookie(name, long_value, when, domain, path),
        lambda: existing.__init__(name, value, when, domain, path),
        lambda: existing.__init__(name, long_value, when, domain, path),
        lambda: existing.__init__("n", "v"),
        lambda: setattr(existing, "value", long_value),
        lambda: setattr(existing, "name", bad),
        lambda: setattr(existing, "domain", domain),
        lambda: setattr(existing, "domain", when),
        lambda: setattr(existing, "expires", when),
        lambda: setattr(existing, "expires", domain),
        lambda: setattr(existing, "http_only", bad),
        lambda: delattr(existing, "name"),
        lambda: delattr(existing, "expires"),
    ]
    for operation in operations:
        repeat(operation, 3)
    existing.__init__("n", "v")
    before = [sys.getrefcount(obj) for obj in tracked]
    for operation in operations:
        repeat(operation)
    existing.__init__("n", "v")
    assert [sys.getrefcount(obj) for obj in tracked] == before


LEAK_SCENARIOS = {
    "construct": lambda: Cookie("n", "v", WHEN, "d", "/", True, True, 5, 2),
    "bare": lambda: Cookie.__new__(Cookie),
    "bad flag": lambda: Cookie("n", "v", http_only=Truthless()),
    "bad max_age": lambda: Cookie("n", "v", max_age=IntOf("x")),
    "bad same_site": lambda: Cookie("n", "v", same_site=2**64),
    "bad type": lambda: Cookie(b"n", "v"),
    "empty name": lambda: Cookie("", "v"),
    "long value": lambda: Cookie("n", "é" * 3000),
    "surrogate": lambda: Cookie("n", "\ud800"),
    "no encode": lambda: Cookie("n", "v").__setattr__("value", b"x"),
    "reinit fails": lambda: Cookie("n", "v").__init__("m", "x" * 5000),
    "setters": lambda: [setattr(c, a, v) for c in [Cookie("n", "v")] for a, v in
                        [("name", "m"), ("value", "w"), ("expires", WHEN), ("domain", "d"),
                         ("path", "/"), ("max_age", 2.5), ("same_site", 7)]],
    "getters": lambda: [getattr(c, a) for c in [Cookie("n", "v", same_site=7)] for a in ATTRIBUTES],
    "refused setters": lambda: [repeat(lambda: setattr(c, a, v), 1) for c in [Cookie("n", "v")] for a, v in
                                [("name", 5), ("domain", 5), ("expires", 5), ("max_age", "x"),
                                 ("same_site", -1), ("secure", Truthless())]],
}


@pytest.mark.parametrize("scenario", list(LEAK_SCENARIOS))
def test_no_growth_in_allocated_blocks(scenario):
    operation = LEAK_SCENARIOS[scenario]
    repeat(operation, 200)
    gc.collect()
    before = sys.getallocatedblocks()
    repeat(operation, 2000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


# --- Traceback entries ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("operation", "names"),
    [
        (lambda c: setattr(c, "value", "x" * 4097), ["Cookie.value.__set__"]),
        (lambda c: setattr(c, "name", ""), ["Cookie.name.__set__"]),
        (lambda c: setattr(c, "expires", 1), ["Cookie.expires.__set__"]),
        (lambda c: setattr(c, "domain", 1), ["Cookie.domain.__set__"]),
        (lambda c: setattr(c, "path", 1), ["Cookie.path.__set__"]),
        (lambda c: setattr(c, "max_age", "x"), ["Cookie.max_age.__set__"]),
        (lambda c: setattr(c, "same_site", "x"), ["Cookie.same_site.__set__"]),
        (lambda c: c.__init__(b"n", "v"), ["Cookie.__init__"]),
        (lambda c: c.__init__("", "v"), ["Cookie.__init__", "Cookie.name.__set__"]),
        (lambda c: c.__init__("n", "x" * 4097), ["Cookie.__init__", "Cookie.value.__set__"]),
    ],
    ids=["value", "name", "expires", "domain", "path", "max_age", "same_site",
         "init-type", "init-name", "init-value"],
)
def test_traceback_entries(operation, names):
    cookie = Cookie("n", "v")
    with pytest.raises(Exception) as excinfo:
        operation(cookie)
    seen = traceback_names(excinfo)
    assert seen[-len(names):] == [PREFIX + name for name in names]
    assert seen[-len(names) - 1] == "<lambda>"


# --- The record read in place ------------------------------------------------------------------


def test_vtable_capsule_has_no_name_and_matches_every_record():
    capsule = Cookie.__dict__["__pyx_vtable__"]
    get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(("PyCapsule_GetName", ctypes.pythonapi))
    assert get_name(capsule) is None
    pointer = vtable_pointer()
    assert pointer
    for cookie in (Cookie("n", "v"), Cookie.__new__(Cookie), full_cookie()):
        assert raw(cookie, "vtab") == pointer


def test_record_after_construction():
    name, value, domain, path = text("sid"), text("abc"), text("example.com"), text("/")
    when = When(2030, 1, 2)
    cookie = Cookie(name, value, when, domain, path, "yes", 0, -(2**63), 4294967295)
    assert_record(cookie, name, value, when, domain, path, 1, 0, -(2**63), 4294967295)


def test_record_after_setters():
    cookie = Cookie("n", "v")
    name, value, domain, path = text("n2"), text("v2"), text("d2"), text("/2")
    cookie.name = name
    cookie.value = value
    cookie.expires = WHEN
    cookie.domain = domain
    cookie.path = path
    cookie.http_only = [1]
    cookie.secure = True
    cookie.max_age = 2**63 - 1
    cookie.same_site = 7
    assert_record(cookie, name, value, WHEN, domain, path, 1, 1, 2**63 - 1, 7)
    cookie.value = None
    del cookie.expires, cookie.domain, cookie.path
    cookie.http_only = cookie.secure = False
    cookie.max_age = -5
    cookie.same_site = CookieSameSiteMode.LAX
    assert_record(cookie, name, None, None, None, None, 0, 0, -5, 1)


@pytest.mark.parametrize(("field", "number"), [("max_age", 123), ("same_site", 9), ("http_only", 1), ("secure", 1)])
def test_getters_read_the_fields_in_place(field, number):
    cookie = Cookie("n", "v")
    offset, ctype = OFFSETS[field]
    ctype.from_address(id(cookie) + offset).value = number
    assert getattr(cookie, field) == number
