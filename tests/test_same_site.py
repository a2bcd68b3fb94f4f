"""The SameSite mode: the IntFlag class, the integer-to-mode conversion made
by the constructor and the setter, the number-to-member conversion made by
the getter, and same_site_mode_from_bytes of the C-level table."""

import builtins
import ctypes
import enum
import types
import warnings

import pytest

from conftest import IntOf, OwnInt, traceback_names
from glimmering_copper_otter import cookies
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode

ENUM_TYPE = "__pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode"
NEGATIVE = f"can't convert negative value to enum {ENUM_TYPE}"
TOO_LARGE = f"value too large to convert to enum {ENUM_TYPE}"
DEPRECATED_INT = (
    "__int__ returned non-int (type bool).  The ability to return an instance of a "
    "strict subclass of int is deprecated, and may be removed in a future version of Python."
)

SAME_SITE_OFFSET = 80  # after the header, the method table and eight fields

MEMBERS = [("UNDEFINED", 0), ("LAX", 1), ("STRICT", 2), ("NONE", 3)]


# --- The class ------------------------------------------------------------------


class TestClass:
    def test_is_an_int_flag(self):
        assert issubclass(CookieSameSiteMode, enum.IntFlag)
        assert not issubclass(CookieSameSiteMode, enum.IntEnum)

    def test_names(self):
        assert CookieSameSiteMode.__name__ == "CookieSameSiteMode"
        assert CookieSameSiteMode.__qualname__ == "CookieSameSiteMode"
        assert CookieSameSiteMode.__module__ == "glimmering_copper_otter.cookies"

    @pytest.mark.parametrize(("name", "number"), MEMBERS)
    def test_members(self, name, number):
        member = CookieSameSiteMode[name]
        assert member.name == name
        assert member.value == number
        assert member == number
        assert isinstance(member, int)
        assert CookieSameSiteMode(number) is member

    def test_iteration_lists_all_four_in_order(self):
        assert [(m.name, m.value) for m in CookieSameSiteMode] == MEMBERS
        assert len(CookieSameSiteMode) == 4
        assert CookieSameSiteMode._member_names_ == [name for name, _ in MEMBERS]

    def test_flag_arithmetic(self):
        assert CookieSameSiteMode.LAX == 1
        assert CookieSameSiteMode.LAX | CookieSameSiteMode.STRICT is CookieSameSiteMode.NONE
        assert CookieSameSiteMode(3) is CookieSameSiteMode.NONE
        assert not CookieSameSiteMode.UNDEFINED
        assert all(CookieSameSiteMode[name] for name, number in MEMBERS if number)

    def test_unknown_number_gives_a_pseudo_member(self):
        pseudo = CookieSameSiteMode(7)
        assert pseudo == 7
        assert isinstance(pseudo, CookieSameSiteMode)

    @pytest.mark.parametrize("name", [name for name, _ in MEMBERS])
    def test_members_are_not_module_attributes(self, name):
        assert not hasattr(cookies, name)


# --- Integer to mode ------------------------------------------------------------


def via_constructor(value):
    return Cookie("n", "v", same_site=value)


def via_setter(value):
    cookie = Cookie("n", "v")
    cookie.same_site = value
    return cookie


ASSIGN = pytest.mark.parametrize("assign", [via_constructor, via_setter], ids=["init", "setter"])


def stored(cookie):
    """The stored number, read from the record's same_site field."""
    return ctypes.c_uint32.from_address(id(cookie) + SAME_SITE_OFFSET).value


@ASSIGN
@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (0, 0),
        (True, 1),
        (False, 0),
        (2, 2),
        (CookieSameSiteMode.NONE, 3),
        (CookieSameSiteMode.LAX, 1),
        (7, 7),
        (2**31, 2**31),
        (4294967295, 4294967295),
        (OwnInt(2), 2),
        (2.9, 2),
        (0.5, 0),
        (IntOf(2), 2),
        (IntOf(4294967295), 4294967295),
    ],
)
def test_accepted(assign, value, expected):
    assert stored(assign(value)) == expected


@ASSIGN
@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        (-1, OverflowError, NEGATIVE),
        (-(2**70), OverflowError, NEGATIVE),
        (-0.5 - 1, OverflowError, NEGATIVE),
        (IntOf(-1), OverflowError, NEGATIVE),
        (4294967296, OverflowError, TOO_LARGE),
        (2**63, OverflowError, TOO_LARGE),
        (2**64 - 1, OverflowError, TOO_LARGE),
        (4294967296.0, OverflowError, TOO_LARGE),
        ("1", TypeError, "an integer is required"),
        (b"1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (1j, TypeError, "an integer is required"),
        (IntOf("2"), TypeError, "__int__ returned non-int (type str)"),
        (IntOf(2.0), TypeError, "__int__ returned non-int (type float)"),
        (IntOf(LookupError("from __int__")), LookupError, "from __int__"),
    ],
)
def test_refused(assign, value, exception, message):
    with pytest.raises(exception) as excinfo:
        assign(value)
    assert str(excinfo.value) == message
    assert type(excinfo.value) is exception


@ASSIGN
@pytest.mark.parametrize("value", [2**64, 2**64 + 5, 2**100])
def test_from_two_to_the_64_the_interpreter_reports_the_overflow(assign, value):
    with pytest.raises(OverflowError) as excinfo:
        assign(value)
    # The interpreter's own message of its unsigned conversion.
    as_unsigned_long = ctypes.PYFUNCTYPE(ctypes.c_ulong, ctypes.py_object)(
        ("PyLong_AsUnsignedLong", ctypes.pythonapi)
    )
    with pytest.raises(OverflowError) as reference:
        as_unsigned_long(value)
    assert str(excinfo.value) == str(reference.value)
    assert str(excinfo.value) not in (TOO_LARGE, NEGATIVE)


@ASSIGN
def test_int_subclass_from_int_is_used_after_a_warning(assign):
    with pytest.warns(DeprecationWarning) as record:
        cookie = assign(IntOf(True))
    assert [str(w.message) for w in record] == [DEPRECATED_INT]
    assert cookie.same_site is CookieSameSiteMode.LAX


@ASSIGN
def test_int_subclass_from_int_fails_when_warnings_are_errors(assign):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="^__int__ returned non-int"):
            assign(IntOf(True))


def test_setter_failure_keeps_the_stored_mode():
    cookie = Cookie("n", "v", same_site=CookieSameSiteMode.STRICT)
    for bad in (-1, 4294967296, "1"):
        with pytest.raises((OverflowError, TypeError)) as excinfo:
            cookie.same_site = bad
        assert traceback_names(excinfo)[-1] == "glimmering_copper_otter.cookies.Cookie.same_site.__set__"
    assert cookie.same_site is CookieSameSiteMode.STRICT


def test_constructor_failure_names_the_constructor():
    with pytest.raises(OverflowError) as excinfo:
        Cookie("n", "v", same_site=-1)
    assert traceback_names(excinfo)[-1] == "glimmering_copper_otter.cookies.Cookie.__init__"


# --- Number to member ------------------------------------------------------------


@pytest.mark.parametrize(("name", "number"), MEMBERS)
def test_getter_gives_the_members(name, number):
    cookie = Cookie("n", "v")
    cookie.same_site = number
    assert cookie.same_site is CookieSameSiteMode[name]


def test_getter_of_seven_and_of_the_largest_number():
    assert Cookie("n", "v", same_site=7).same_site == CookieSameSiteMode(7)
    assert Cookie("n", "v", same_site=4294967295).same_site == CookieSameSiteMode(-1)


class Recorder:
    """A stand-in for the class: remembers the numbers it is called with."""

    UNDEFINED, LAX, STRICT, NONE = "undefined", "lax", "strict", "none"

    def __init__(self):
        self.calls = []

    def __call__(self, number):
        self.calls.append(number)
        return ("called", number)


@pytest.mark.parametrize(
    ("number", "expected", "calls"),
    [
        (0, "undefined", []),
        (1, "lax", []),
        (2, "strict", []),
        (3, "none", []),
        (7, ("called", 7), [7]),
        (4294967295, ("called", -1), [-1]),
        (2147483648, ("called", -2147483648), [-2147483648]),
    ],
)
def test_rebinding_the_class_changes_the_getter(restore_module_attributes, number, expected, calls):
    cookie = Cookie("n", "v", same_site=number)
    recorder = Recorder()
    restore_module_attributes.CookieSameSiteMode = recorder
    assert cookie.same_site == expected
    assert recorder.calls == calls
    assert all(type(n) is int for n in recorder.calls)


def test_rebinding_is_looked_up_at_every_read(restore_module_attributes):
    cookie = Cookie("n", "v", same_site=CookieSameSiteMode.LAX)
    restore_module_attributes.CookieSameSiteMode = types.SimpleNamespace(LAX="first")
    assert cookie.same_site == "first"
    restore_module_attributes.CookieSameSiteMode = types.SimpleNamespace(LAX="second")
    assert cookie.same_site == "second"


def test_deleting_the_class_breaks_the_getter_only(restore_module_attributes):
    cookie = Cookie("n", "v", same_site=2)
    del restore_module_attributes.CookieSameSiteMode
    with pytest.raises(NameError) as excinfo:
        cookie.same_site
    assert str(excinfo.value) == "name 'CookieSameSiteMode' is not defined"
    assert traceback_names(excinfo)[-1] == "glimmering_copper_otter.cookies.Cookie.same_site.__get__"
    # Storing a mode does not need the class.
    cookie.same_site = 3
    assert Cookie("m", "v", same_site=1) is not None


def test_deleted_class_is_found_among_the_builtins(restore_module_attributes, monkeypatch):
    cookie = Cookie("n", "v", same_site=1)
    del restore_module_attributes.CookieSameSiteMode
    monkeypatch.setattr(builtins, "CookieSameSiteMode", types.SimpleNamespace(LAX="builtin"), raising=False)
    assert cookie.same_site == "builtin"


@pytest.mark.parametrize(
    ("replacement", "number", "exception"),
    [
        (types.SimpleNamespace(), 2, AttributeError),
        (types.SimpleNamespace(UNDEFINED=0, LAX=1, NONE=3), 2, AttributeError),
        (types.SimpleNamespace(), 9, TypeError),  # not callable
        (lambda number: 1 / 0, 9, ZeroDivisionError),
    ],
)
def test_getter_passes_on_the_replacement_failures(restore_module_attributes, replacement, number, exception):
    cookie = Cookie("n", "v", same_site=number)
    restore_module_attributes.CookieSameSiteMode = replacement
    with pytest.raises(exception) as excinfo:
        cookie.same_site
    assert "glimmering_copper_otter.cookies.Cookie.same_site.__get__" in traceback_names(excinfo)


# --- same_site_mode_from_bytes ---------------------------------------------------


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (b"Strict", 2),
        (b"STRICT", 2),
        (b"strict", 2),
        (b"sTrIcT", 2),
        (b"Lax", 1),
        (b"LAX", 1),
        (b"lax", 1),
        (b"None", 3),
        (b"NONE", 3),
        (b"none", 3),
        (None, 0),
        (b"", 0),
        (b"laxx", 0),
        (b" lax", 0),
        (b"lax ", 0),
        (b"\tlax", 0),
        (b"lax\x00", 0),
        (b"la", 0),
        (b"no", 0),
        (b"non", 0),
        (b"stric", 0),
        (b"strictly", 0),
        (b"unknown", 0),
        (b"L\xc3\xa1x", 0),
    ],
)
def test_same_site_mode_from_bytes(capi, raw, expected):
    assert capi.same_site_mode_from_bytes(raw) == expected


def test_same_site_mode_from_bytes_keeps_its_argument(capi):
    raw = b"STRICT"
    assert capi.same_site_mode_from_bytes(raw) == 2
    assert raw == b"STRICT"


@pytest.mark.parametrize("raw", ["lax", 1, bytearray(b"lax"), memoryview(b"lax"), object()])
def test_same_site_mode_from_bytes_refuses_other_types(capi, raw):
    with pytest.raises(TypeError):
        capi.same_site_mode_from_bytes(raw)
