"""Pickling and copying of Cookie and of the error types: reduce and
set-state operations, the rebuild functions, round trips and stored pickles."""

import copy
import copyreg
import datetime
import pathlib
import pickle
import sys

import pytest

from conftest import cookie_fields as fields, run_python, traceback_names
from glimmering_copper_otter import cookies
from glimmering_copper_otter.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
)

# The stored pickles name their classes as "data.frozen_classes.<name>".
TESTS_DIR = str(pathlib.Path(__file__).resolve().parent)
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

from data import frozen_pickles  # noqa: E402
from data.frozen_classes import FrozenCookie, FrozenCookieError, FrozenValueTooLong  # noqa: E402

MODULE = "glimmering_copper_otter.cookies"
COOKIE_CHECKSUMS = (0x2035A3D, 0xC44A7B0, 0xE7407DB)
ERROR_CHECKSUMS = (0xE3B0C44, 0xDA39A3E, 0xD41D8CD)
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
COOKIE_MISMATCH = (
    "Incompatible checksums (0x{} vs (0x2035a3d, 0xc44a7b0, 0xe7407db) = (_name, _value, "
    "domain, expires, http_only, max_age, path, same_site, secure))"
)
ERROR_MISMATCH = "Incompatible checksums (0x{} vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"
OVERFLOW_NEGATIVE = (
    "can't convert negative value to enum "
    "__pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode"
)

UTC = datetime.timezone.utc
EXPIRES = datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=UTC)
unpickle_cookie = cookies.__pyx_unpickle_Cookie
unpickle_error = cookies.__pyx_unpickle_CookieError
unpickle_value_too_long = cookies.__pyx_unpickle_CookieValueExceedsMaximumLength


def full_cookie(cls=Cookie):
    return cls("session", "a b;c=d", EXPIRES, "example.com", "/path", True, False, 3600, 2)


def bare(cls=Cookie):
    return cls.__new__(cls)


def state(name="n", value="v", domain="d", expires=None, http_only=True, max_age=9,
          path="/p", same_site=1, secure=True):
    return (name, value, domain, expires, http_only, max_age, path, same_site, secure)


class WithDict(Cookie):
    pass


class Slotted(Cookie):
    __slots__ = ()


class ErrorWithDict(CookieError):
    pass


class TooLongWithDict(CookieValueExceedsMaximumLength):
    pass


class CountingTooLong(CookieValueExceedsMaximumLength):
    count = 0

    def __init__(self):
        type(self).count += 1
        super().__init__()


class MyTuple(tuple):
    pass


class MyStr(str):
    pass


class LocalDatetime(datetime.datetime):
    pass


# --- reduce ----------------------------------------------------------------------------------


class TestCookieReduce:
    def test_three_item_form(self):
        cookie = full_cookie()
        reduced = cookie.__reduce__()
        assert len(reduced) == 3
        assert reduced[0] is unpickle_cookie
        assert reduced[1] == (Cookie, 0x2035A3D, None)
        assert reduced[1][0] is Cookie
        assert reduced[2] == ("session", "a b;c=d", "example.com", EXPIRES, True, 3600, "/path",
                              CookieSameSiteMode.STRICT, False)
        # The objects themselves, with the exact types written.
        for index, attribute in enumerate(["name", "value", "domain", "expires"]):
            assert reduced[2][index] is getattr(cookie, attribute)
        assert reduced[2][6] is cookie.path
        assert reduced[2][4] is True and reduced[2][8] is False
        assert type(reduced[2][5]) is int
        assert reduced[2][7] is CookieSameSiteMode.STRICT
        assert cookie.__reduce_cython__() == reduced

    def test_bare_allocation_two_item_form(self):
        reduced = bare().__reduce__()
        assert reduced == (
            unpickle_cookie,
            (Cookie, 0x2035A3D,
             (None, None, None, None, False, 0, None, CookieSameSiteMode.UNDEFINED, False)),
        )
        assert reduced[1][2][7] is CookieSameSiteMode.UNDEFINED

    @pytest.mark.parametrize(
        "attribute, value",
        [("name", "n"), ("value", ""), ("domain", ""), ("path", "/"), ("expires", EXPIRES)],
    )
    def test_any_object_field_chooses_three_items(self, attribute, value):
        cookie = bare()
        setattr(cookie, attribute, value)
        reduced = cookie.__reduce__()
        assert len(reduced) == 3 and reduced[1] == (Cookie, 0x2035A3D, None)

    def test_numbers_alone_keep_two_items(self):
        cookie = bare()
        cookie.max_age, cookie.same_site, cookie.secure, cookie.http_only = 5, 7, True, True
        reduced = cookie.__reduce__()
        assert len(reduced) == 2
        assert reduced[1][2] == (None, None, None, None, True, 5, None, CookieSameSiteMode(7), True)

    def test_subclass_with_dict_adds_tenth_item(self):
        cookie = WithDict("n", "v")
        reduced = cookie.__reduce__()
        assert reduced[1] == (WithDict, 0x2035A3D, None)
        assert len(reduced[2]) == 10 and reduced[2][9] is cookie.__dict__ and reduced[2][9] == {}
        cookie.extra = [1]
        assert cookie.__reduce__()[2][9] == {"extra": [1]}
        # Even a bare allocation uses the three-item form once it has a dict.
        empty = bare(WithDict).__reduce__()
        assert len(empty) == 3 and len(empty[2]) == 10

    def test_subclass_without_dict_has_nine_items(self):
        reduced = Slotted("n", "v").__reduce__()
        assert reduced[1] == (Slotted, 0x2035A3D, None) and len(reduced[2]) == 9

    @pytest.mark.parametrize(
        "getter, length",
        [(lambda self: None, 9), (lambda self: {"x": 1}, 10)],
        ids=["none", "dict"],
    )
    def test_dict_attribute_is_read_by_lookup(self, getter, length):
        class OwnDict(Cookie):
            __dict__ = property(getter)

        assert len(OwnDict("n", "v").__reduce__()[2]) == length

    def test_dict_lookup_errors(self):
        def missing(self):
            raise AttributeError("__dict__")

        def broken(self):
            raise RuntimeError("dict lookup failed")

        class Missing(Cookie):
            __dict__ = property(missing)

        class Broken(Cookie):
            __dict__ = property(broken)

        assert len(Missing("n", "v").__reduce__()[2]) == 9
        with pytest.raises(RuntimeError, match="^dict lookup failed$") as excinfo:
            Broken("n", "v").__reduce__()
        assert f"{MODULE}.Cookie.__reduce_cython__" in traceback_names(excinfo)

    def test_late_bound_names(self, restore_module_attributes):
        def replacement(*args):
            return args

        # setattr/delattr: a dunder-prefixed name written in a class body is mangled.
        setattr(cookies, "__pyx_unpickle_Cookie", replacement)
        assert Cookie("n", "v").__reduce__()[0] is replacement
        delattr(cookies, "__pyx_unpickle_Cookie")
        with pytest.raises(NameError) as excinfo:
            Cookie("n", "v").__reduce__()
        assert str(excinfo.value) == "name '__pyx_unpickle_Cookie' is not defined"
        assert f"{MODULE}.Cookie.__reduce_cython__" in traceback_names(excinfo)
        with pytest.raises(NameError, match="^name '__pyx_unpickle_Cookie' is not defined$"):
            pickle.dumps(Cookie("n", "v"))

    def test_same_site_class_is_late_bound(self, restore_module_attributes):
        del cookies.CookieSameSiteMode
        with pytest.raises(NameError, match="^name 'CookieSameSiteMode' is not defined$"):
            Cookie("n", "v").__reduce__()

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda c: c.__reduce__(1), "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
            (lambda c: c.__reduce_cython__(1, 2), "__reduce_cython__() takes exactly 0 positional arguments (2 given)"),
            (lambda c: c.__reduce__(protocol=2), "__reduce_cython__() got an unexpected keyword argument 'protocol'"),
            (lambda c: c.__setstate__(), "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
            (lambda c: c.__setstate_cython__(state(), 1), "__setstate_cython__() takes exactly 1 positional argument (2 given)"),
            (lambda c: c.__setstate__(state(), state=()), "__setstate_cython__() got an unexpected keyword argument 'state'"),
        ],
        ids=["reduce-1", "reduce-cython-2", "reduce-kw", "setstate-0", "setstate-cython-2", "setstate-kw"],
    )
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as excinfo:
            call(Cookie("n", "v"))
        assert str(excinfo.value) == message

    def test_keyword_names(self):
        cookie = bare()
        assert cookie.__setstate__(__pyx_state=state()) is None
        assert fields(cookie) == ("n", "v", None, "d", "/p", True, True, 9, 1)
        rebuilt = unpickle_cookie(__pyx_type=Cookie, __pyx_checksum=0x2035A3D, __pyx_state=state())
        assert fields(rebuilt) == fields(cookie)


class TestInstalledNames:
    def test_cookie_has_both_names(self):
        names = vars(Cookie)
        for name in ("__reduce__", "__reduce_cython__", "__setstate__", "__setstate_cython__"):
            assert name in names
        assert names["__reduce__"].__name__ == "__reduce_cython__"
        assert names["__setstate__"].__name__ == "__setstate_cython__"
        assert names["__reduce_cython__"].__qualname__ == "Cookie.__reduce_cython__"
        assert names["__setstate_cython__"].__qualname__ == "Cookie.__setstate_cython__"

    @pytest.mark.parametrize("cls", [CookieError, CookieValueExceedsMaximumLength])
    def test_error_types_have_cython_names_only(self, cls):
        own = vars(cls)
        assert "__setstate__" not in own
        assert cls.__setstate__ is BaseException.__setstate__
        assert own["__reduce_cython__"].__qualname__ == f"{cls.__name__}.__reduce_cython__"
        assert own["__reduce_cython__"].__name__ == "__reduce_cython__"
        assert own["__setstate_cython__"].__qualname__ == f"{cls.__name__}.__setstate_cython__"

    def test_error_reduce(self):
        assert CookieError.__reduce__ is BaseException.__reduce__
        assert "__reduce__" not in vars(CookieError)
        # The one exception: this type rebuilds through __new__, since its
        # initialiser takes no arguments.
        assert "__reduce__" in vars(CookieValueExceedsMaximumLength)

    @pytest.mark.parametrize(
        "function, name",
        [
            (unpickle_cookie, "__pyx_unpickle_Cookie"),
            (unpickle_error, "__pyx_unpickle_CookieError"),
            (unpickle_value_too_long, "__pyx_unpickle_CookieValueExceedsMaximumLength"),
        ],
    )
    def test_rebuild_functions(self, function, name):
        assert function.__name__ == function.__qualname__ == name
        assert function.__module__ == MODULE
        assert pickle.loads(pickle.dumps(function)) is function
        with pytest.raises(TypeError) as excinfo:
            function(Cookie, 0x2035A3D)
        assert str(excinfo.value) == f"{name}() takes exactly 3 positional arguments (2 given)"


# --- round trips -------------------------------------------------------------------------------


@pytest.mark.parametrize("protocol", PROTOCOLS)
class TestRoundTrip:
    @pytest.mark.parametrize(
        "make",
        [
            full_cookie,
            lambda: Cookie("n", None),
            lambda: Cookie("ñ€", "x" * 4096, LocalDatetime(2020, 2, 29), "", "", 1, 1, -(2**63), 3),
            lambda: Cookie("n", "v", max_age=2**63 - 1, same_site=7),
            bare,
        ],
        ids=["full", "none-value", "edges", "same-site-7", "bare"],
    )
    def test_cookie(self, make, protocol):
        original = make()
        loaded = pickle.loads(pickle.dumps(original, protocol))
        assert type(loaded) is Cookie
        assert fields(loaded) == fields(original)
        assert type(loaded.expires) is type(original.expires)

    def test_unchecked_state_survives(self, protocol):
        # Written by set-state without the setters' checks, and kept as is.
        original = bare()
        original.__setstate__(state(name="", value="x" * 5000))
        loaded = pickle.loads(pickle.dumps(original, protocol))
        assert (loaded.name, loaded.value) == ("", "x" * 5000)

    def test_subclass_with_dict(self, protocol):
        original = full_cookie(WithDict)
        original.owner, original.tags = "alice", ["a", "b"]
        loaded = pickle.loads(pickle.dumps(original, protocol))
        assert type(loaded) is WithDict
        assert fields(loaded) == fields(original)
        assert loaded.__dict__ == {"owner": "alice", "tags": ["a", "b"]}

    def test_subclass_without_dict(self, protocol):
        loaded = pickle.loads(pickle.dumps(full_cookie(Slotted), protocol))
        assert type(loaded) is Slotted and fields(loaded) == fields(full_cookie())

    @pytest.mark.parametrize(
        "make",
        [lambda: CookieError("x"), lambda: CookieError(None), lambda: ErrorWithDict("sub")],
        ids=["message", "none", "subclass"],
    )
    def test_cookie_error(self, make, protocol):
        original = make()
        original.code = 7
        loaded = pickle.loads(pickle.dumps(original, protocol))
        assert type(loaded) is type(original)
        assert loaded.args == original.args and loaded.code == 7
        assert str(loaded) == str(original)

    def test_value_too_long(self, protocol):
        original = CookieValueExceedsMaximumLength()
        loaded = pickle.loads(pickle.dumps(original, protocol))
        assert type(loaded) is CookieValueExceedsMaximumLength
        assert loaded.args == original.args and str(loaded) == str(original)
        assert loaded.args[0].startswith(
            "The length of the cookie value exceeds the maximum length of 4096 bytes"
        )

    def test_value_too_long_subclass_keeps_args_and_dict(self, protocol):
        original = TooLongWithDict()
        original.args = ("changed", 2)
        original.field = "value"
        loaded = pickle.loads(pickle.dumps(original, protocol))
        assert type(loaded) is TooLongWithDict
        assert loaded.args == ("changed", 2) and loaded.field == "value"


class TestCopy:
    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    def test_cookie(self, copier):
        original = full_cookie()
        copied = copier(original)
        assert copied is not original and type(copied) is Cookie
        assert fields(copied) == fields(original)
        copied.value = "other"
        assert original.value == "a b;c=d"

    def test_shallow_and_deep_dict(self):
        original = WithDict("n", "v")
        original.tags = ["a"]
        shallow, deep = copy.copy(original), copy.deepcopy(original)
        assert type(shallow) is type(deep) is WithDict
        assert shallow.tags is original.tags
        assert deep.tags == ["a"] and deep.tags is not original.tags
        assert len(original.__reduce_ex__(4)[2]) == 10

    def test_bare_allocation(self):
        for copier in (copy.copy, copy.deepcopy):
            copied = copier(bare())
            assert fields(copied) == (None, None, None, None, None, False, False, 0, 0)

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    @pytest.mark.parametrize("cls", [CookieValueExceedsMaximumLength, TooLongWithDict])
    def test_value_too_long(self, copier, cls):
        original = cls()
        original.note = "kept"
        copied = copier(original)
        assert type(copied) is cls and copied.args == original.args and copied.note == "kept"


class TestValueTooLongReduce:
    def test_form_without_dict(self):
        error = CookieValueExceedsMaximumLength()
        assert error.__reduce__() == (copyreg.__newobj__, (CookieValueExceedsMaximumLength, *error.args))

    def test_form_with_dict(self):
        error = TooLongWithDict()
        error.field = 1
        reduced = error.__reduce__()
        assert reduced[:2] == (copyreg.__newobj__, (TooLongWithDict, *error.args))
        assert reduced[2] is error.__dict__ and reduced[2] == {"field": 1}

    def test_args_of_any_length(self):
        error = CookieValueExceedsMaximumLength()
        error.args = ()
        assert error.__reduce__() == (copyreg.__newobj__, (CookieValueExceedsMaximumLength,))
        assert pickle.loads(pickle.dumps(error)).args == ()

    def test_no_initialiser_runs(self):
        original = CountingTooLong()
        before = CountingTooLong.count
        loaded = pickle.loads(pickle.dumps(original))
        assert type(loaded) is CountingTooLong and loaded.args == original.args
        assert CountingTooLong.count == before


# --- set-state -------------------------------------------------------------------------------


class TestCookieSetState:
    def test_applies_every_field(self):
        cookie = full_cookie()
        when = LocalDatetime(2001, 1, 1)
        assert cookie.__setstate__(("a", None, None, when, [], 3.9, None, 3.7, "yes")) is None
        assert fields(cookie) == ("a", None, when, None, None, False, True, 3, 3)
        assert cookie.expires is when

    @pytest.mark.parametrize("method", ["__setstate__", "__setstate_cython__"])
    @pytest.mark.parametrize(
        "argument, message",
        [
            ([], "Expected tuple, got list"),
            (MyTuple(state()), "Expected tuple, got MyTuple"),
            ({}, "Expected tuple, got dict"),
            (None, "'NoneType' object is not subscriptable"),
        ],
        ids=["list", "tuple-subclass", "dict", "none"],
    )
    def test_refused_states(self, method, argument, message):
        cookie = full_cookie()
        with pytest.raises(TypeError) as excinfo:
            getattr(cookie, method)(argument)
        assert str(excinfo.value) == message
        names = traceback_names(excinfo)
        assert f"{MODULE}.Cookie.__setstate_cython__" in names
        assert (f"{MODULE}.__pyx_unpickle_Cookie__set_state" in names) == (argument is None)
        assert fields(cookie) == fields(full_cookie())

    def test_no_setter_checks(self):
        cookie = full_cookie()
        cookie.__setstate__(state(name="", value="é" * 5000, domain="", max_age=-(2**63),
                                  same_site=4294967295))
        assert cookie.name == "" and cookie.value == "é" * 5000
        assert cookie.max_age == -(2**63)

    def test_same_site_seven_is_stored(self):
        cookie = bare()
        cookie.__setstate__(state(same_site=7))
        assert int(cookie.same_site) == 7
        assert cookie.__reduce__()[2][7] == CookieSameSiteMode(7)

    @pytest.mark.parametrize(
        "index, item, error, message, written",
        [
            (0, b"n", TypeError, "Expected str, got bytes", 0),
            (1, MyStr("v"), TypeError, "Expected str, got MyStr", 1),
            (2, 5, TypeError, "Expected str, got int", 2),
            (3, datetime.date(2020, 1, 1), TypeError,
             "Cannot convert datetime.date to datetime.datetime", 3),
            (3, "2020", TypeError, "Cannot convert str to datetime.datetime", 3),
            (5, "9", TypeError, "an integer is required", 5),
            (5, 2**63, OverflowError, None, 5),
            (6, b"/", TypeError, "Expected str, got bytes", 6),
            (7, -1, OverflowError, OVERFLOW_NEGATIVE, 7),
            (7, 2**32, OverflowError,
             "value too large to convert to enum "
             "__pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode", 7),
            (7, "1", TypeError, "an integer is required", 7),
        ],
        ids=["name-bytes", "value-str-subclass", "domain-int", "expires-date", "expires-str",
             "max-age-str", "max-age-overflow", "path-bytes", "same-site-negative",
             "same-site-too-large", "same-site-str"],
    )
    def test_partial_write(self, index, item, error, message, written):
        """Items before the bad one are stored, the rest keep their values."""
        new = ("new-name", "new-value", "new-domain", EXPIRES, False, 77, "/new", 3, False)
        old_cookie = Cookie("old", "val", None, "old.example", "/old", True, True, 1, 1)
        old = (old_cookie.name, old_cookie.value, old_cookie.domain, old_cookie.expires,
               old_cookie.http_only, old_cookie.max_age, old_cookie.path,
               int(old_cookie.same_site), old_cookie.secure)
        bad_state = new[:index] + (item,) + new[index + 1:]
        with pytest.raises(error) as excinfo:
            old_cookie.__setstate__(bad_state)
        if message is not None:
            assert str(excinfo.value) == message
        assert f"{MODULE}.__pyx_unpickle_Cookie__set_state" in traceback_names(excinfo)
        now = (old_cookie.name, old_cookie.value, old_cookie.domain, old_cookie.expires,
               old_cookie.http_only, old_cookie.max_age, old_cookie.path,
               int(old_cookie.same_site), old_cookie.secure)
        expected = tuple(new[i] if i < written else old[i] for i in range(9))
        assert now == expected

    def test_truth_test_error_propagates(self):
        class BadTruth:
            def __bool__(self):
                raise ArithmeticError("no truth")

        cookie = full_cookie()
        with pytest.raises(ArithmeticError, match="^no truth$"):
            cookie.__setstate__(state(http_only=BadTruth()))
        assert cookie.name == "n" and cookie.max_age == 3600
        with pytest.raises(ArithmeticError):
            cookie.__setstate__(state(secure=BadTruth(), max_age=5))
        assert cookie.max_age == 5 and cookie.secure is False

    @pytest.mark.parametrize("length", [0, 1, 3, 8])
    def test_short_tuple(self, length):
        cookie = full_cookie()
        new = state(name="x", value="y", domain="z", expires=None, http_only=False, max_age=1,
                    path="/q", same_site=0)
        with pytest.raises(IndexError):
            cookie.__setstate__(new[:length])
        now = fields(cookie)
        # The items that were there are written.
        if length >= 1:
            assert now[0] == "x"
        if length == 8:
            assert (cookie.path, cookie.same_site, cookie.secure) == ("/q", 0, False)
        with pytest.raises(IndexError):
            unpickle_cookie(Cookie, 0x2035A3D, new[:length])

    def test_tenth_item_merged_into_dict(self):
        cookie = WithDict("n", "v")
        cookie.kept, cookie.replaced = 1, 1
        cookie.__setstate__(state() + ({"replaced": 2, "added": 3}, "ignored", "too"))
        assert cookie.__dict__ == {"kept": 1, "replaced": 2, "added": 3}
        cookie.__setstate__(state() + ([("pairs", True)],))
        assert cookie.pairs is True

    def test_tenth_item_ignored_without_dict(self):
        cookie = Cookie("n", "v")
        cookie.__setstate__(state() + ({"extra": 1},))
        assert fields(cookie)[0] == "n" and not hasattr(cookie, "extra")

    def test_failed_dict_update_leaves_fields_written(self):
        cookie = WithDict("old", "old")
        with pytest.raises(TypeError) as excinfo:
            cookie.__setstate__(state() + (5,))
        assert f"{MODULE}.__pyx_unpickle_Cookie__set_state" in traceback_names(excinfo)
        assert fields(cookie) == ("n", "v", None, "d", "/p", True, True, 9, 1)


# --- rebuild functions -----------------------------------------------------------------------


class TestUnpickleCookie:
    @pytest.mark.parametrize("checksum", COOKIE_CHECKSUMS, ids=hex)
    def test_accepted_checksums(self, checksum):
        rebuilt = unpickle_cookie(Cookie, checksum, state())
        assert type(rebuilt) is Cookie
        assert fields(rebuilt) == ("n", "v", None, "d", "/p", True, True, 9, 1)
        empty = unpickle_cookie(Cookie, checksum, None)
        assert fields(empty) == (None, None, None, None, None, False, False, 0, 0)

    @pytest.mark.parametrize(
        "checksum, shown",
        [(1, "1"), (0, "0"), (0xE3B0C44, "e3b0c44"), (-1, "-1"), (2**63 - 1, "7fffffffffffffff")],
    )
    def test_checksum_mismatch(self, checksum, shown):
        with pytest.raises(pickle.PickleError) as excinfo:
            unpickle_cookie(Cookie, checksum, state())
        assert type(excinfo.value) is pickle.PickleError
        assert str(excinfo.value) == COOKIE_MISMATCH.format(shown)
        assert f"{MODULE}.__pyx_unpickle_Cookie" in traceback_names(excinfo)

    def test_checksum_conversion(self):
        assert unpickle_cookie(Cookie, 0x2035A3D + 0.5, None).max_age == 0
        with pytest.raises(TypeError, match="^an integer is required$"):
            unpickle_cookie(Cookie, "0x2035a3d", None)
        with pytest.raises(OverflowError):
            unpickle_cookie(Cookie, 2**64, None)

    def test_subclass_made_without_constructor(self):
        class Counting(Cookie):
            def __init__(self, *args):
                raise AssertionError("constructor ran")

        rebuilt = unpickle_cookie(Counting, 0x2035A3D, state() + ({"a": 1},))
        assert type(rebuilt) is Counting and rebuilt.a == 1

    @pytest.mark.parametrize("pyx_type", [CookieError, int, object, 5, None], ids=repr)
    def test_type_not_a_cookie_type(self, pyx_type):
        with pytest.raises(TypeError) as excinfo:
            unpickle_cookie(pyx_type, 0x2035A3D, None)
        assert f"{MODULE}.__pyx_unpickle_Cookie" in traceback_names(excinfo)

    @pytest.mark.parametrize(
        "bad, message",
        [([], "Expected tuple, got list"), (MyTuple(state()), "Expected tuple, got MyTuple"),
         ("", "Expected tuple, got str")],
    )
    def test_state_not_a_tuple(self, bad, message):
        with pytest.raises(TypeError) as excinfo:
            unpickle_cookie(Cookie, 0x2035A3D, bad)
        assert str(excinfo.value) == message

    def test_failed_state_traceback(self):
        with pytest.raises(OverflowError) as excinfo:
            unpickle_cookie(Cookie, 0x2035A3D, state(same_site=-1))
        assert str(excinfo.value) == OVERFLOW_NEGATIVE
        names = traceback_names(excinfo)
        assert names.index(f"{MODULE}.__pyx_unpickle_Cookie") < names.index(
            f"{MODULE}.__pyx_unpickle_Cookie__set_state"
        )


ERROR_CASES = [
    (CookieError, unpickle_error, "CookieError"),
    (CookieValueExceedsMaximumLength, unpickle_value_too_long, "CookieValueExceedsMaximumLength"),
]


@pytest.mark.parametrize("cls, rebuild, name", ERROR_CASES, ids=["error", "value-too-long"])
class TestErrorState:
    def make(self, cls):
        return cls("message") if cls is CookieError else cls()

    def test_reduce_cython(self, cls, rebuild, name):
        error = self.make(cls)
        reduced = error.__reduce_cython__()
        assert reduced == (rebuild, (cls, 0xE3B0C44, None), ({},))
        assert reduced[0] is rebuild and reduced[2][0] is error.__dict__
        error.code = 3
        assert error.__reduce_cython__()[2] == ({"code": 3},)

    def test_reduce_cython_without_dict(self, cls, rebuild, name):
        class NoDict(cls):
            __dict__ = property(lambda self: None)

            def __init__(self):
                pass

        reduced = NoDict().__reduce_cython__()
        assert reduced == (rebuild, (NoDict, 0xE3B0C44, ()))

    def test_message_lost_through_rebuild(self, cls, rebuild, name):
        error = self.make(cls)
        error.code = 3
        function, args, state_tuple = error.__reduce_cython__()
        rebuilt = function(*args)
        assert type(rebuilt) is cls and rebuilt.args == ()
        assert rebuilt.__setstate_cython__(state_tuple) is None
        assert rebuilt.code == 3 and rebuilt.args == ()

    @pytest.mark.parametrize("checksum", ERROR_CHECKSUMS, ids=hex)
    def test_accepted_checksums(self, cls, rebuild, name, checksum):
        rebuilt = rebuild(cls, checksum, ({"a": 1}, "ignored"))
        assert type(rebuilt) is cls and rebuilt.args == () and rebuilt.a == 1
        assert rebuild(cls, checksum, ()).__dict__ == {}
        assert rebuild(cls, checksum, None).args == ()

    @pytest.mark.parametrize("checksum, shown", [(1, "1"), (0x2035A3D, "2035a3d")])
    def test_checksum_mismatch(self, cls, rebuild, name, checksum, shown):
        with pytest.raises(pickle.PickleError) as excinfo:
            rebuild(cls, checksum, None)
        assert str(excinfo.value) == ERROR_MISMATCH.format(shown)
        assert f"{MODULE}.__pyx_unpickle_{name}" in traceback_names(excinfo)

    def test_reduce_argument_errors(self, cls, rebuild, name):
        error = self.make(cls)
        with pytest.raises(TypeError) as excinfo:
            error.__reduce_cython__(1)
        assert str(excinfo.value) == "__reduce_cython__() takes exactly 0 positional arguments (1 given)"
        assert f"{MODULE}.{name}.__reduce_cython__" in traceback_names(excinfo)
        with pytest.raises(TypeError) as excinfo:
            error.__setstate_cython__()
        assert str(excinfo.value) == "__setstate_cython__() takes exactly 1 positional argument (0 given)"

    @pytest.mark.parametrize(
        "argument, message",
        [
            ([], "Expected tuple, got list"),
            (MyTuple(), "Expected tuple, got MyTuple"),
            (None, "object of type 'NoneType' has no len()"),
        ],
    )
    def test_setstate_refused(self, cls, rebuild, name, argument, message):
        with pytest.raises(TypeError) as excinfo:
            self.make(cls).__setstate_cython__(argument)
        assert str(excinfo.value) == message
        names = traceback_names(excinfo)
        assert f"{MODULE}.{name}.__setstate_cython__" in names
        assert (f"{MODULE}.__pyx_unpickle_{name}__set_state" in names) == (argument is None)

    def test_failed_update(self, cls, rebuild, name):
        with pytest.raises(TypeError) as excinfo:
            rebuild(cls, 0xE3B0C44, (5,))
        names = traceback_names(excinfo)
        assert f"{MODULE}.__pyx_unpickle_{name}" in names
        assert f"{MODULE}.__pyx_unpickle_{name}__set_state" in names
        with pytest.raises(TypeError, match="^Expected tuple, got list$"):
            rebuild(cls, 0xE3B0C44, [])

    def test_type_must_be_a_subclass(self, cls, rebuild, name):
        subclass = type("Sub", (cls,), {})
        assert type(rebuild(subclass, 0xE3B0C44, None)) is subclass
        for other in (Exception, Cookie, int):
            with pytest.raises(TypeError):
                rebuild(other, 0xE3B0C44, None)


def test_error_rebuild_functions_differ():
    # The base's rebuild makes the subclass; the subclass's refuses the base.
    assert type(unpickle_error(CookieValueExceedsMaximumLength, 0xE3B0C44, None)) is (
        CookieValueExceedsMaximumLength
    )
    with pytest.raises(TypeError):
        unpickle_value_too_long(CookieError, 0xE3B0C44, None)


# --- stored pickles --------------------------------------------------------------------------

STORED_COOKIE = ("session", "a b;c=d", EXPIRES, "example.com", "/path", True, False, 3600, 2)
COOKIE_PROTOCOL_PICKLES = [
    frozen_pickles.COOKIE_PROTOCOL_0,
    frozen_pickles.COOKIE_PROTOCOL_1,
    frozen_pickles.COOKIE_PROTOCOL_2,
    frozen_pickles.COOKIE_PROTOCOL_3,
    frozen_pickles.COOKIE_PROTOCOL_4,
    frozen_pickles.COOKIE_PROTOCOL_5,
]
VALUE_TOO_LONG_MESSAGE = CookieValueExceedsMaximumLength().args[0]


class TestStoredPickles:
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_cookie_by_protocol(self, protocol):
        loaded = pickle.loads(COOKIE_PROTOCOL_PICKLES[protocol])
        assert type(loaded) is Cookie
        assert fields(loaded) == STORED_COOKIE
        assert loaded.expires.tzinfo is UTC
        assert loaded.same_site is CookieSameSiteMode.STRICT

    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_pickling_still_writes_the_stored_bytes(self, protocol):
        assert pickle.dumps(full_cookie(), protocol) == COOKIE_PROTOCOL_PICKLES[protocol]

    def test_loads_in_a_fresh_interpreter(self):
        # Unpickling alone imports the module and rebuilds the cookie.
        process = run_python(f"""
            import pickle, sys
            cookie = pickle.loads({frozen_pickles.COOKIE_PROTOCOL_5!r})
            assert "glimmering_copper_otter.cookies" in sys.modules
            print(repr(cookie), cookie.domain, cookie.max_age, cookie.same_site.name)
        """)
        assert process.stdout == "<Cookie session: a b...> example.com 3600 STRICT\n"

    def test_bare_cookie(self):
        loaded = pickle.loads(frozen_pickles.BARE_COOKIE_PROTOCOL_4)
        assert fields(loaded) == (None, None, None, None, None, False, False, 0, 0)
        assert pickle.dumps(bare(), 4) == frozen_pickles.BARE_COOKIE_PROTOCOL_4

    @pytest.mark.parametrize(
        "stored, expected",
        [
            (frozen_pickles.COOKIE_CHECKSUM_C44A7B0,
             ("legacy", "", datetime.datetime(1999, 12, 31, 23, 59, 59), None, "/", True, False,
              0, 1)),
            (frozen_pickles.COOKIE_CHECKSUM_E7407DB,
             ("older", None, None, ".example.net", None, False, True, -5, 7)),
            (frozen_pickles.COOKIE_CHECKSUM_2035A3D_STATE_IN_ARGS,
             ("n", "v", None, None, "/p", True, False, 2**63 - 1, 3)),
        ],
        ids=["c44a7b0", "e7407db", "2035a3d-state-in-args"],
    )
    def test_cookie_by_checksum(self, stored, expected):
        loaded = pickle.loads(stored)
        assert type(loaded) is Cookie
        assert fields(loaded) == expected

    @pytest.mark.parametrize(
        "stored",
        [frozen_pickles.SUBCLASS_COOKIE_PROTOCOL_2, frozen_pickles.SUBCLASS_COOKIE_PROTOCOL_5],
        ids=["protocol-2", "protocol-5"],
    )
    def test_subclass_cookie(self, stored):
        loaded = pickle.loads(stored)
        assert type(loaded) is FrozenCookie
        assert fields(loaded) == ("sub", "value", None, None, "/", False, True, 60, 1)
        assert loaded.__dict__ == {"owner": "alice", "tags": ["a", "b"]}

    @pytest.mark.parametrize(
        "stored, cls, args, attributes",
        [
            (frozen_pickles.COOKIE_ERROR_PROTOCOL_0, CookieError, ("boom",), {}),
            (frozen_pickles.COOKIE_ERROR_PROTOCOL_5, CookieError, ("boom",), {}),
            (frozen_pickles.COOKIE_ERROR_WITH_DICT_PROTOCOL_4, CookieError, (None,), {"code": 7}),
            (frozen_pickles.SUBCLASS_COOKIE_ERROR_PROTOCOL_3, FrozenCookieError, ("sub",), {"code": 8}),
            (frozen_pickles.VALUE_TOO_LONG_PROTOCOL_0, CookieValueExceedsMaximumLength,
             (VALUE_TOO_LONG_MESSAGE,), {}),
            (frozen_pickles.VALUE_TOO_LONG_PROTOCOL_2, CookieValueExceedsMaximumLength,
             (VALUE_TOO_LONG_MESSAGE,), {}),
            (frozen_pickles.VALUE_TOO_LONG_PROTOCOL_5, CookieValueExceedsMaximumLength,
             (VALUE_TOO_LONG_MESSAGE,), {}),
            (frozen_pickles.SUBCLASS_VALUE_TOO_LONG_PROTOCOL_5, FrozenValueTooLong,
             (VALUE_TOO_LONG_MESSAGE,), {"field": "value"}),
            (frozen_pickles.COOKIE_ERROR_CHECKSUM_E3B0C44, CookieError, (), {"code": 1}),
            (frozen_pickles.COOKIE_ERROR_CHECKSUM_DA39A3E, CookieError, (), {}),
            (frozen_pickles.VALUE_TOO_LONG_CHECKSUM_D41D8CD, CookieValueExceedsMaximumLength, (),
             {"code": 2}),
        ],
        ids=["error-0", "error-5", "error-dict-4", "error-subclass-3", "too-long-0", "too-long-2",
             "too-long-5", "too-long-subclass-5", "error-e3b0c44", "error-da39a3e",
             "too-long-d41d8cd"],
    )
    def test_errors(self, stored, cls, args, attributes):
        loaded = pickle.loads(stored)
        assert type(loaded) is cls
        assert loaded.args == args
        assert vars(loaded) == attributes
