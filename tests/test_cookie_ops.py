"""Copy (clone, interpreted and through the method table), equality and the
display form of Cookie."""

import ctypes
import datetime

import pytest

from conftest import cookie_fields as fields, traceback_names
from glimmering_copper_otter import cookies
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode, CookieValueExceedsMaximumLength

MODULE = "glimmering_copper_otter.cookies"

EXPIRES = datetime.datetime(2031, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)


def full_cookie():
    return Cookie(
        "session",
        "token-value",
        EXPIRES,
        "example.org",
        "/app",
        True,
        False,
        3600,
        CookieSameSiteMode.STRICT,
    )


# --- the compiled-level clone, the one slot of the method table ---------------------------

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

VTABLE = _get_pointer(Cookie.__pyx_vtable__, None)
# PYFUNCTYPE holds the interpreter lock and raises the pending exception when
# the slot returns NULL.
vtable_clone = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int)(
    ctypes.c_void_p.from_address(VTABLE).value
)


def record_vtab(cookie):
    """The method-table pointer stored right after the object header."""
    return ctypes.c_void_p.from_address(id(cookie) + object.__basicsize__).value


class Plain(Cookie):
    pass


class Slotted(Cookie):
    __slots__ = ()


class Overriding(Cookie):
    result = "marker"

    def clone(self):
        self.calls = getattr(self, "calls", 0) + 1
        if self.result == "marker":
            return Cookie("from-override", "v")
        if self.result == "raise":
            raise LookupError("override failed")
        return self.result


class UpperName(Cookie):
    """Redefines name and value; the setters store through Cookie's own."""

    @property
    def name(self):
        return Cookie.name.__get__(self).upper()

    @name.setter
    def name(self, new):
        Cookie.name.__set__(self, new)

    @property
    def value(self):
        return "<" + Cookie.value.__get__(self) + ">"

    @value.setter
    def value(self, new):
        Cookie.value.__set__(self, new)


class TestClone:
    def test_copy_is_new_equal_and_independent(self):
        original = full_cookie()
        copy = original.clone()
        assert copy is not original
        assert type(copy) is Cookie
        assert copy == original
        assert fields(copy) == fields(original)
        assert copy.same_site is CookieSameSiteMode.STRICT
        copy.name = "other"
        copy.value = "changed"
        copy.max_age = 1
        copy.http_only = False
        copy.domain = None
        assert fields(original) == fields(full_cookie())

    def test_copy_is_shallow(self):
        original = full_cookie()
        copy = original.clone()
        for attribute in ("name", "value", "expires", "domain", "path"):
            assert getattr(copy, attribute) is getattr(original, attribute)

    def test_defaults_and_none_value(self):
        original = Cookie("n", None)
        copy = original.clone()
        assert copy.value is None
        assert fields(copy) == ("n", None, None, None, None, False, False, -1, 0)

    @pytest.mark.parametrize(
        "stored, expected",
        [
            (0, 0),
            (1, 1),
            (2, 2),
            (3, 3),
            # Not a member: goes out through the class call and back in.
            (7, 7),
            # Read as the signed 32-bit -1 on the way out.
            (4294967295, int(CookieSameSiteMode(-1))),
        ],
    )
    def test_same_site_goes_through_the_class(self, stored, expected):
        if expected < 0:
            # Before 3.11 IntFlag keeps -1 as it is (from 3.11 it is the
            # members' bits), and a record holds no negative mode.
            with pytest.raises(OverflowError, match="can't convert negative value"):
                Cookie("n", "v", same_site=stored).clone()
            return
        copy = Cookie("n", "v", same_site=stored).clone()
        assert int(copy.same_site) == expected
        assert isinstance(copy.same_site, CookieSameSiteMode)

    @pytest.mark.parametrize("max_age", [-(2**63), -1, 0, 2**63 - 1])
    def test_max_age_extremes(self, max_age):
        assert Cookie("n", "v", max_age=max_age).clone().max_age == max_age

    @pytest.mark.parametrize("cls", [Plain, Slotted, UpperName])
    def test_subclass_instance_clones_to_plain_cookie(self, cls):
        original = cls("n", "v", domain="d")
        original_fields = fields(original)
        copy = original.clone()
        assert type(copy) is Cookie
        # name and value are read through the subclass's properties.
        assert fields(copy) == original_fields

    def test_subclass_properties_are_read(self):
        copy = UpperName("abc", "v").clone()
        assert (copy.name, copy.value) == ("ABC", "<v>")

    def test_bare_allocation_has_no_name(self):
        bare = Cookie.__new__(Cookie)
        with pytest.raises(ValueError, match="^A cookie name is required$") as excinfo:
            bare.clone()
        assert f"{MODULE}.Cookie.clone" in traceback_names(excinfo)
        assert bare.name is None and bare.max_age == 0

    def test_constructor_checks_run_again(self):
        # Fields written by set-state skip the setters' checks; clone does not.
        too_long = Cookie.__new__(Cookie)
        too_long.__setstate__(("n", "x" * 5000, None, None, False, 0, None, 0, False))
        with pytest.raises(CookieValueExceedsMaximumLength):
            too_long.clone()
        nameless = Cookie.__new__(Cookie)
        nameless.__setstate__(("", "v", None, None, False, 0, None, 0, False))
        with pytest.raises(ValueError, match="^A cookie name is required$"):
            nameless.clone()

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "clone() takes exactly 0 positional arguments (1 given)"),
            ((1, 2), {}, "clone() takes exactly 0 positional arguments (2 given)"),
            ((), {"deep": True}, "clone() got an unexpected keyword argument 'deep'"),
        ],
    )
    def test_method_takes_no_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            Cookie("n", "v").clone(*args, **kwargs)
        assert str(excinfo.value) == message
        assert f"{MODULE}.Cookie.clone" in traceback_names(excinfo)

    def test_method_skips_overrides(self):
        # The method sets skip-dispatch: it never calls back into an override.
        target = Overriding("n", "v")
        copy = Cookie.clone(target)
        assert type(copy) is Cookie and copy.name == "n"
        assert not hasattr(target, "calls")

    def test_late_bound_same_site_class(self, restore_module_attributes):
        del cookies.CookieSameSiteMode
        original = Cookie("n", "v", same_site=1)
        with pytest.raises(NameError, match="^name 'CookieSameSiteMode' is not defined$"):
            original.clone()
        assert original.name == "n"


class TestCloneSlot:
    def test_records_point_at_the_published_table(self):
        assert VTABLE
        for cookie in (Cookie("n", "v"), Cookie.__new__(Cookie), Plain("n", "v"), Overriding("n", "v")):
            assert record_vtab(cookie) == VTABLE

    @pytest.mark.parametrize("skip_dispatch", [1, 0])
    @pytest.mark.parametrize("cls", [Cookie, Plain, Slotted])
    def test_plain_clone(self, cls, skip_dispatch):
        original = cls("n", "v", EXPIRES, "d", "/", True, True, 5, 2)
        copy = vtable_clone(original, skip_dispatch)
        assert type(copy) is Cookie
        assert copy is not original
        assert fields(copy) == fields(original)

    def test_failure_is_raised(self):
        with pytest.raises(ValueError, match="^A cookie name is required$") as excinfo:
            vtable_clone(Cookie.__new__(Cookie), 1)
        assert f"{MODULE}.Cookie.clone" in traceback_names(excinfo)

    @pytest.mark.parametrize("skip_dispatch", [1, 0])
    def test_override_called_only_without_skip(self, skip_dispatch):
        target = Overriding("n", "v")
        copy = vtable_clone(target, skip_dispatch)
        if skip_dispatch:
            assert (copy.name, type(copy)) == ("n", Cookie)
            assert not hasattr(target, "calls")
        else:
            assert copy.name == "from-override"
            assert target.calls == 1

    @pytest.mark.parametrize(
        "result",
        [None, Cookie("c", "1"), Plain("p", "2")],
        ids=["none", "cookie", "subclass"],
    )
    def test_override_result_returned_as_is(self, result):
        target = Overriding("n", "v")
        target.result = result
        assert vtable_clone(target, 0) is result

    @pytest.mark.parametrize(
        "result, type_name",
        [(5, "int"), ("text", "str"), (object(), "object")],
    )
    def test_override_result_of_wrong_type(self, result, type_name):
        target = Overriding("n", "v")
        target.result = result
        with pytest.raises(TypeError) as excinfo:
            vtable_clone(target, 0)
        assert str(excinfo.value) == f"Cannot convert {type_name} to {MODULE}.Cookie"
        assert f"{MODULE}.Cookie.clone" in traceback_names(excinfo)

    def test_override_exception_propagates(self):
        target = Overriding("n", "v")
        target.result = "raise"
        with pytest.raises(LookupError, match="^override failed$") as excinfo:
            vtable_clone(target, 0)
        names = traceback_names(excinfo)
        assert names.index(f"{MODULE}.Cookie.clone") < names.index("clone")
        # With skip-dispatch the override is not reached.
        assert type(vtable_clone(target, 1)) is Cookie

    def test_instance_attribute_is_an_override(self):
        target = Plain("n", "v")
        target.clone = lambda: None
        assert vtable_clone(target, 0) is None
        assert type(vtable_clone(target, 1)) is Cookie

    def test_lookup_error_propagates(self):
        class Broken(Cookie):
            @property
            def clone(self):
                raise RuntimeError("no clone here")

        with pytest.raises(RuntimeError, match="^no clone here$"):
            vtable_clone(Broken("n", "v"), 0)
        assert type(vtable_clone(Broken("n", "v"), 1)) is Cookie


class Probe:
    """An object standing in for a name or value: records which operand was
    on the left of == and returns a chosen result."""

    def __init__(self, tag, result, log):
        self.tag, self.result, self.log = tag, result, log

    def __eq__(self, other):
        self.log.append((self.tag, getattr(other, "tag", other)))
        return self.result

    __hash__ = None


class Falsy:
    def __bool__(self):
        return False


class Truthy:
    def __bool__(self):
        return True


class BadTruth:
    def __bool__(self):
        raise ArithmeticError("no truth value")


class ProbeName(Cookie):
    """A cookie whose name and value attributes are arbitrary objects."""

    def __init__(self, name_obj, value_obj):
        super().__init__("n", "v")
        self.name_obj, self.value_obj = name_obj, value_obj

    @property
    def name(self):
        return self.name_obj

    @name.setter
    def name(self, new):
        Cookie.name.__set__(self, new)

    @property
    def value(self):
        return self.value_obj

    @value.setter
    def value(self, new):
        Cookie.value.__set__(self, new)


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class DecodingBytes(bytes):
    def decode(self, *args, **kwargs):
        return "abc"


class TestEquality:
    @pytest.mark.parametrize(
        "other",
        ["abc", b"abc", MyStr("abc"), MyBytes(b"abc"), DecodingBytes(b"zzz")],
        ids=["str", "bytes", "str-subclass", "bytes-subclass", "own-decode"],
    )
    def test_equal_to_text_and_bytes_of_the_value(self, other):
        cookie = Cookie("name", "abc")
        assert (cookie == other) is True
        assert (other == cookie) is True
        assert (cookie != other) is False
        assert (other != cookie) is False

    @pytest.mark.parametrize("other", ["ab", "abcd", "name", b"ABC", "", b""])
    def test_unequal_text_and_bytes(self, other):
        cookie = Cookie("name", "abc")
        assert (cookie == other) is False
        assert (other == cookie) is False
        assert (cookie != other) is True
        assert (other != cookie) is True

    def test_non_ascii_bytes_decoded_as_utf8(self):
        cookie = Cookie("n", "café")
        assert cookie == "café".encode()
        assert "café".encode() == cookie

    @pytest.mark.parametrize("op", ["==", "!="])
    @pytest.mark.parametrize("raw", [b"\xff", b"ab\xc3"])
    def test_invalid_utf8_raises(self, raw, op):
        cookie = Cookie("n", "abc")
        for left, right in ((cookie, raw), (raw, cookie)):
            with pytest.raises(UnicodeDecodeError) as excinfo:
                eval(f"left {op} right")
            assert f"{MODULE}.Cookie.__eq__" in traceback_names(excinfo)
        with pytest.raises(UnicodeDecodeError):
            _ = cookie == MyBytes(raw)

    def test_value_none_compares_with_text(self):
        cookie = Cookie("n", None)
        assert (cookie == "None") is False
        assert (cookie != "") is True
        assert cookie == Cookie("n", None)

    def test_cookies_compare_by_name_and_value_only(self):
        a = Cookie("n", "v", EXPIRES, "a.example", "/a", True, True, 10, 1)
        b = Cookie("n", "v", None, "b.example", "/b", False, False, -1, 3)
        assert (a == b) is True and (b == a) is True
        assert (a != b) is False
        assert (a == Cookie("m", "v")) is False
        assert (a == Cookie("n", "w")) is False
        assert (a != Cookie("m", "v")) is True

    def test_subclass_instances_compare(self):
        assert Cookie("n", "v") == Plain("n", "v")
        assert Plain("n", "v") == Cookie("n", "v")
        # Redefined attributes are honoured: UpperName shows "N" and "<v>".
        assert UpperName("n", "v") == "<v>"
        assert UpperName("n", "v") != Cookie("n", "v")
        assert UpperName("n", "v") == Cookie("N", "<v>")

    @pytest.mark.parametrize(
        "other",
        [None, 0, 1, 3.5, bytearray(b"abc"), memoryview(b"abc"), ["abc"], object()],
        ids=lambda o: type(o).__name__,
    )
    def test_other_types_fall_back_to_identity(self, other):
        cookie = Cookie("abc", "abc")
        assert cookie.__eq__(other) is NotImplemented
        assert cookie.__ne__(other) is NotImplemented
        assert (cookie == other) is False
        assert (other == cookie) is False
        assert (cookie != other) is True
        assert (other != cookie) is True

    def test_identity_of_a_cookie(self):
        cookie = Cookie("n", "v")
        assert cookie == cookie and not (cookie != cookie)

    @pytest.mark.parametrize(
        "op, method", [("<", "__lt__"), ("<=", "__le__"), (">", "__gt__"), (">=", "__ge__")]
    )
    @pytest.mark.parametrize(
        "other", [Cookie("n", "v"), "v", b"v", None], ids=["cookie", "str", "bytes", "none"]
    )
    def test_ordering_is_unsupported(self, op, method, other):
        cookie = Cookie("n", "v")
        assert getattr(cookie, method)(other) is NotImplemented
        with pytest.raises(TypeError, match=f"'{op}' not supported between instances of"):
            eval(f"cookie {op} other")

    def test_unhashable(self):
        cookie = Cookie("n", "v")
        assert Cookie.__hash__ is None
        with pytest.raises(TypeError, match="unhashable type"):
            hash(cookie)
        with pytest.raises(TypeError):
            {cookie}
        with pytest.raises(TypeError):
            {cookie: 1}

    def test_other_name_is_the_left_operand(self):
        log = []
        a = ProbeName(Probe("a-name", True, log), Probe("a-value", True, log))
        b = ProbeName(Probe("b-name", True, log), Probe("b-value", True, log))
        assert (a == b) is True
        assert log == [("b-name", "a-name"), ("b-value", "a-value")]

    def test_false_name_result_returned_unchanged(self):
        log = []
        verdict = Falsy()
        a = ProbeName(Probe("a-name", verdict, log), Probe("a-value", True, log))
        b = ProbeName(Probe("b-name", verdict, log), Probe("b-value", True, log))
        assert (a == b) is verdict
        assert log == [("b-name", "a-name")]  # values were not compared
        assert (a != b) is True

    def test_true_name_result_moves_on_to_value(self):
        log = []
        value_result = Falsy()
        a = ProbeName(Probe("a-name", Truthy(), log), Probe("a-value", value_result, log))
        b = ProbeName(Probe("b-name", Truthy(), log), Probe("b-value", value_result, log))
        assert (a == b) is value_result
        assert (a != b) is True

    def test_value_comparison_result_returned_unchanged(self):
        result = Truthy()
        cookie = ProbeName("n", Probe("value", result, []))
        assert (cookie == "x") is result
        assert (cookie == b"x") is result
        assert (cookie != "x") is False

    def test_truth_test_errors_propagate(self):
        cookie = ProbeName(Probe("n", BadTruth(), []), "v")
        other = Cookie("n", "v")
        # The name result's truth decides between stopping and going on.
        with pytest.raises(ArithmeticError, match="^no truth value$"):
            _ = other == cookie
        bad_value = ProbeName("n", Probe("v", BadTruth(), []))
        assert isinstance(bad_value == "v", BadTruth)
        with pytest.raises(ArithmeticError, match="^no truth value$"):
            _ = bad_value != "v"

    def test_attribute_errors_propagate(self):
        class NoValue(Cookie):
            @property
            def value(self):
                raise KeyError("value")

            @value.setter
            def value(self, new):
                Cookie.value.__set__(self, new)

        cookie = NoValue("n", "v")
        for other in ("v", b"v", Cookie("n", "v")):
            with pytest.raises(KeyError) as excinfo:
                _ = cookie == other
            assert f"{MODULE}.Cookie.__eq__" in traceback_names(excinfo)


class FormatOnly:
    def __format__(self, fmt):
        return f"formatted[{fmt}]"

    def __str__(self):
        return "str-not-used"


class FormattedStr(str):
    def __format__(self, fmt):
        return "formatted-str"


class OwnSlice(str):
    def __getitem__(self, key):
        return f"slice[{key.start}:{key.stop}]"


class Shown(Cookie):
    """Holds arbitrary objects as its name and value for display."""

    def __init__(self, name_obj, value_obj):
        super().__init__("n", "v")
        self.name_obj, self.value_obj = name_obj, value_obj

    name = property(lambda self: self.name_obj, lambda self, new: Cookie.name.__set__(self, new))
    value = property(lambda self: self.value_obj, lambda self, new: Cookie.value.__set__(self, new))


class TestDisplay:
    @pytest.mark.parametrize(
        "name, value, text",
        [
            ("lang", "fr-CA", "<Cookie lang: fr-...>"),
            ("a", "xy", "<Cookie a: xy...>"),
            ("a", "", "<Cookie a: ...>"),
            ("a", "xyz", "<Cookie a: xyz...>"),
            ("ünï", "€éàü", "<Cookie ünï: €éà...>"),
            ("n" * 500, "value", "<Cookie " + "n" * 500 + ": val...>"),
        ],
        ids=["worked-1", "worked-2", "empty", "exact-3", "non-ascii", "long-name"],
    )
    def test_display(self, name, value, text):
        cookie = Cookie(name, value, EXPIRES, "d", "/", True, True, 1, 2)
        assert repr(cookie) == text
        assert str(cookie) == text
        assert f"{cookie}" == text

    def test_value_none_cannot_be_displayed(self):
        for cookie in (Cookie("n", None), Cookie.__new__(Cookie)):
            with pytest.raises(TypeError) as excinfo:
                repr(cookie)
            assert str(excinfo.value) == "'NoneType' object is unsliceable"
            assert f"{MODULE}.Cookie.__repr__" in traceback_names(excinfo)

    def test_bare_allocation_with_a_value(self):
        cookie = Cookie.__new__(Cookie)
        cookie.value = "xyzzy"
        assert repr(cookie) == "<Cookie None: xyz...>"

    @pytest.mark.parametrize(
        "name, value, text",
        [
            (42, "v", "<Cookie 42: v...>"),
            (FormatOnly(), "v", "<Cookie formatted[]: v...>"),
            (FormattedStr("s"), "v", "<Cookie formatted-str: v...>"),
            ("n", ["a", "b", "c", "d"], "<Cookie n: ['a', 'b', 'c']...>"),
            ("n", b"bytes", "<Cookie n: b'byt'...>"),
            ("n", (1, 2), "<Cookie n: (1, 2)...>"),
            ("n", FormattedStr("long value"), "<Cookie n: lon...>"),
            ("n", OwnSlice("abcdef"), "<Cookie n: slice[None:3]...>"),
        ],
        ids=["int-name", "format-name", "str-subclass-name", "list-value", "bytes-value",
             "tuple-value", "str-subclass-value", "own-getitem"],
    )
    def test_non_str_parts(self, name, value, text):
        assert repr(Shown(name, value)) == text

    @pytest.mark.parametrize("value, type_name", [(5, "int"), (object(), "object"), ({1, 2}, "set")])
    def test_unsliceable_value(self, value, type_name):
        with pytest.raises(TypeError) as excinfo:
            repr(Shown("n", value))
        assert str(excinfo.value) == f"'{type_name}' object is unsliceable"

    def test_formatting_errors_propagate(self):
        class BadFormat:
            def __format__(self, fmt):
                raise ValueError("cannot format")

        with pytest.raises(ValueError, match="^cannot format$") as excinfo:
            repr(Shown(BadFormat(), "v"))
        assert f"{MODULE}.Cookie.__repr__" in traceback_names(excinfo)

    def test_display_changes_nothing(self):
        cookie = full_cookie()
        before = fields(cookie)
        repr(cookie)
        cookie == "x"
        cookie.clone()
        assert fields(cookie) == before
