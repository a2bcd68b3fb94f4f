"""The module frame: what an import publishes, the calling conventions that
every function shares, the 64-bit integer conversion, the function objects,
and the module's life across repeated, failed and foreign imports."""

import builtins
import ctypes
import datetime
import json
import pickle
import warnings

import pytest

from conftest import SIGNATURES, run_python, traceback_names
from gco_testkit.hostile import BytesSub, IntSub, StrSub
from gco_testkit.subinterpreters import EXEC_IN_SUBINTERPRETER
from glimmering_copper_otter import cookies

MODULE = "glimmering_copper_otter.cookies"
COOKIE_CHECKSUM = 0x2035A3D

_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_call_with_dict = ctypes.pythonapi.PyObject_Call
_call_with_dict.restype = ctypes.py_object
_call_with_dict.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]

WHEN = datetime.datetime(2030, 1, 2, 3, 4, 5)
WHEN_BYTES = b"Wed, 02 Jan 2030 03:04:05 GMT"


class DatetimeSub(datetime.datetime):
    pass


def run_json(code):
    """Runs code in a fresh interpreter and decodes its last output line."""
    process = run_python(code)
    return json.loads(process.stdout.strip().splitlines()[-1])


def entry(qualname):
    return f"{MODULE}.{qualname}"


# ---------------------------------------------------------------------------
# Namespace and exported tables

IMPORT_SYSTEM_NAMES = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__path__", "__cached__",
}
BOUND_NAMES = [
    "__builtins__",
    "__pyx_capi__",
    "Cookie",
    "CookieError",
    "CookieValueExceedsMaximumLength",
    "CookieSameSiteMode",
    "quote",
    "unquote",
    "parsedate_to_datetime",
    "datetime_to_cookie_format",
    "datetime_from_cookie_format",
    "parse_cookie",
    "__pyx_unpickle_CookieError",
    "__pyx_unpickle_CookieValueExceedsMaximumLength",
    "__pyx_unpickle_Cookie",
    "__test__",
]


def test_namespace_holds_exactly_the_bound_names_in_binding_order():
    # A fresh interpreter: tests here rebind and restore attributes, which
    # would move them to the end of this process's namespace.
    names = run_json(
        f"""
        import json
        import glimmering_copper_otter.cookies as module
        print(json.dumps([n for n in vars(module) if n not in {IMPORT_SYSTEM_NAMES!r}]))
        """
    )
    assert names == BOUND_NAMES


def test_import_system_attributes_come_from_the_module_spec():
    spec = cookies.__spec__
    assert cookies.__name__ == MODULE
    assert cookies.__doc__ is None
    assert cookies.__loader__ is spec.loader
    assert cookies.__file__ == spec.origin
    assert cookies.__package__ == "glimmering_copper_otter"
    assert not hasattr(cookies, "__path__")


def test_builtins_and_test_attributes():
    assert cookies.__builtins__ is builtins
    assert type(cookies.__test__) is dict
    assert cookies.__test__ == {}


def test_imported_library_functions_are_bound():
    import email.utils
    import urllib.parse

    assert cookies.quote is urllib.parse.quote
    assert cookies.unquote is urllib.parse.unquote
    assert cookies.parsedate_to_datetime is email.utils.parsedate_to_datetime


@pytest.mark.parametrize(
    "name",
    [
        "write_cookie_for_response",
        "split_value",
        "same_site_mode_from_bytes",
        "datetime",
        "UNDEFINED",
        "LAX",
        "STRICT",
        "NONE",
    ],
)
def test_names_that_are_not_bound(name):
    assert not hasattr(cookies, name)


def test_capi_table_has_the_six_entries_named_by_signature():
    table = cookies.__pyx_capi__
    assert type(table) is dict
    assert list(table) == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        capsule = table[name]
        assert type(capsule).__name__ == "PyCapsule"
        assert _capsule_name(capsule) == signature.encode()
        assert _capsule_pointer(capsule, signature.encode())


def test_capi_capsule_refuses_another_name():
    with pytest.raises(ValueError):
        _capsule_pointer(cookies.__pyx_capi__["split_value"], b"PyObject *(PyObject *)")


def test_cookie_method_table_is_a_capsule_without_a_name():
    capsule = cookies.Cookie.__dict__["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert _capsule_name(capsule) is None
    assert _capsule_pointer(capsule, None)


# ---------------------------------------------------------------------------
# Calling conventions


def _cookie():
    return cookies.Cookie("a", "b")


def _error():
    return cookies.CookieError("m")


COUNT_ERRORS = [
    # (call, message, traceback entry)
    (lambda: cookies.datetime_to_cookie_format(),
     "datetime_to_cookie_format() takes exactly 1 positional argument (0 given)",
     "datetime_to_cookie_format"),
    (lambda: cookies.datetime_to_cookie_format(WHEN, WHEN),
     "datetime_to_cookie_format() takes exactly 1 positional argument (2 given)",
     "datetime_to_cookie_format"),
    (lambda: cookies.datetime_from_cookie_format(b"", b"", b""),
     "datetime_from_cookie_format() takes exactly 1 positional argument (3 given)",
     "datetime_from_cookie_format"),
    (lambda: cookies.parse_cookie(),
     "parse_cookie() takes exactly 1 positional argument (0 given)",
     "parse_cookie"),
    (lambda: cookies.__pyx_unpickle_Cookie(),
     "__pyx_unpickle_Cookie() takes exactly 3 positional arguments (0 given)",
     "__pyx_unpickle_Cookie"),
    (lambda: cookies.__pyx_unpickle_CookieError(1, 2, 3, 4),
     "__pyx_unpickle_CookieError() takes exactly 3 positional arguments (4 given)",
     "__pyx_unpickle_CookieError"),
    (lambda: cookies.__pyx_unpickle_CookieValueExceedsMaximumLength(
        cookies.CookieValueExceedsMaximumLength, 1),
     "__pyx_unpickle_CookieValueExceedsMaximumLength() takes exactly 3 positional arguments"
     " (2 given)",
     "__pyx_unpickle_CookieValueExceedsMaximumLength"),
    (lambda: cookies.__pyx_unpickle_Cookie(cookies.Cookie, __pyx_state=None),
     "__pyx_unpickle_Cookie() takes exactly 3 positional arguments (1 given)",
     "__pyx_unpickle_Cookie"),
    (lambda: cookies.Cookie(),
     "__init__() takes at least 2 positional arguments (0 given)", "Cookie.__init__"),
    (lambda: cookies.Cookie("a"),
     "__init__() takes at least 2 positional arguments (1 given)", "Cookie.__init__"),
    (lambda: cookies.Cookie(name="a"),
     "__init__() takes at least 2 positional arguments (1 given)", "Cookie.__init__"),
    (lambda: cookies.Cookie(value="b"),
     "__init__() takes at least 2 positional arguments (0 given)", "Cookie.__init__"),
    (lambda: cookies.Cookie(*range(10)),
     "__init__() takes at most 9 positional arguments (10 given)", "Cookie.__init__"),
    (lambda: cookies.CookieError(),
     "__init__() takes exactly 1 positional argument (0 given)", "CookieError.__init__"),
    (lambda: cookies.CookieError("a", "b"),
     "__init__() takes exactly 1 positional argument (2 given)", "CookieError.__init__"),
    (lambda: cookies.CookieValueExceedsMaximumLength("a"),
     "__init__() takes exactly 0 positional arguments (1 given)",
     "CookieValueExceedsMaximumLength.__init__"),
    (lambda: _cookie().clone(True),
     "clone() takes exactly 0 positional arguments (1 given)", "Cookie.clone"),
    (lambda: _cookie().__reduce_cython__(1),
     "__reduce_cython__() takes exactly 0 positional arguments (1 given)",
     "Cookie.__reduce_cython__"),
    (lambda: _cookie().__setstate_cython__(),
     "__setstate_cython__() takes exactly 1 positional argument (0 given)",
     "Cookie.__setstate_cython__"),
    (lambda: _error().__setstate_cython__((), ()),
     "__setstate_cython__() takes exactly 1 positional argument (2 given)",
     "CookieError.__setstate_cython__"),
    (lambda: cookies.CookieValueExceedsMaximumLength().__reduce_cython__(None),
     "__reduce_cython__() takes exactly 0 positional arguments (1 given)",
     "CookieValueExceedsMaximumLength.__reduce_cython__"),
]

KEYWORD_ERRORS = [
    (lambda: cookies.datetime_to_cookie_format(WHEN, other=1),
     "datetime_to_cookie_format() got an unexpected keyword argument 'other'",
     "datetime_to_cookie_format"),
    (lambda: cookies.datetime_from_cookie_format(WHEN_BYTES, when=1),
     "datetime_from_cookie_format() got an unexpected keyword argument 'when'",
     "datetime_from_cookie_format"),
    (lambda: cookies.parse_cookie(b"a=b", value=b"x"),
     "parse_cookie() got an unexpected keyword argument 'value'", "parse_cookie"),
    (lambda: cookies.Cookie("a", "b", nam="x"),
     "__init__() got an unexpected keyword argument 'nam'", "Cookie.__init__"),
    (lambda: cookies.CookieValueExceedsMaximumLength(message="x"),
     "__init__() got an unexpected keyword argument 'message'",
     "CookieValueExceedsMaximumLength.__init__"),
    (lambda: _cookie().clone(deep=True),
     "clone() got an unexpected keyword argument 'deep'", "Cookie.clone"),
    (lambda: cookies.__pyx_unpickle_Cookie(cookies.Cookie, COOKIE_CHECKSUM, None, extra=1),
     "__pyx_unpickle_Cookie() got an unexpected keyword argument 'extra'",
     "__pyx_unpickle_Cookie"),
    (lambda: cookies.datetime_to_cookie_format(WHEN, value=WHEN),
     "datetime_to_cookie_format() got multiple values for keyword argument 'value'",
     "datetime_to_cookie_format"),
    (lambda: cookies.parse_cookie(b"a=b", raw_value=b"a=b"),
     "parse_cookie() got multiple values for keyword argument 'raw_value'", "parse_cookie"),
    (lambda: cookies.Cookie("a", "b", name="c"),
     "__init__() got multiple values for keyword argument 'name'", "Cookie.__init__"),
    (lambda: cookies.CookieError("m", message="n"),
     "__init__() got multiple values for keyword argument 'message'", "CookieError.__init__"),
    (lambda: cookies.__pyx_unpickle_Cookie(cookies.Cookie, 1, None, __pyx_type=cookies.Cookie),
     "__pyx_unpickle_Cookie() got multiple values for keyword argument '__pyx_type'",
     "__pyx_unpickle_Cookie"),
    (lambda: _call_with_dict(cookies.Cookie, ("a", "b"), {1: 2}),
     "__init__() keywords must be strings", "Cookie.__init__"),
    (lambda: _call_with_dict(cookies.CookieError, ("m",), {b"message": "m"}),
     "__init__() keywords must be strings", "CookieError.__init__"),
]


@pytest.mark.parametrize(
    "call, message, qualname",
    COUNT_ERRORS + KEYWORD_ERRORS,
    ids=[message for _, message, _ in COUNT_ERRORS + KEYWORD_ERRORS],
)
def test_argument_errors(call, message, qualname):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert traceback_names(excinfo)[-1] == entry(qualname)
    assert traceback_names(excinfo).count(entry(qualname)) == 1


def test_calls_by_keyword():
    assert cookies.datetime_to_cookie_format(value=WHEN) == WHEN_BYTES
    assert cookies.datetime_from_cookie_format(value=WHEN_BYTES) == WHEN
    parsed = cookies.parse_cookie(raw_value=b"a=b")
    assert (parsed.name, parsed.value) == ("a", "b")
    assert cookies.Cookie(value="b", name="a") == cookies.Cookie("a", "b")
    assert cookies.CookieError(message="m").args == ("m",)
    rebuilt = cookies.__pyx_unpickle_Cookie(
        __pyx_state=None, __pyx_checksum=COOKIE_CHECKSUM, __pyx_type=cookies.Cookie
    )
    assert type(rebuilt) is cookies.Cookie
    cookie = _cookie()
    state = cookie.__reduce_cython__()[2]
    copy = cookies.Cookie("x", "y")
    assert copy.__setstate_cython__(__pyx_state=state) is None
    assert copy == cookie


def test_keyword_names_match_by_value():
    # Names built at run time are equal to the parameter names, not the same
    # objects.
    value = "".join(["val", "ue"])
    assert cookies.datetime_to_cookie_format(**{value: WHEN}) == WHEN_BYTES
    with pytest.raises(TypeError, match="multiple values for keyword argument 'value'"):
        cookies.datetime_to_cookie_format(WHEN, **{value: WHEN})
    name = "".join(["na", "me"])
    assert cookies.Cookie(**{name: "a", "value": "b"}) == cookies.Cookie("a", "b")


def _message(parameter, expected, got):
    return f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"


TYPE_REFUSALS = [
    (lambda v: cookies.parse_cookie(v), "raw_value", "bytes", "parse_cookie"),
    (lambda v: cookies.datetime_from_cookie_format(v), "value", "bytes",
     "datetime_from_cookie_format"),
    (lambda v: cookies.CookieError(v), "message", "str", "CookieError.__init__"),
    (lambda v: cookies.Cookie(v, "b"), "name", "str", "Cookie.__init__"),
    (lambda v: cookies.Cookie("a", "b", domain=v), "domain", "str", "Cookie.__init__"),
    (lambda v: cookies.datetime_to_cookie_format(v), "value", "datetime.datetime",
     "datetime_to_cookie_format"),
    (lambda v: cookies.Cookie("a", "b", expires=v), "expires", "datetime.datetime",
     "Cookie.__init__"),
]
# Each refused value with its type's name as the interpreter spells it.
REFUSED_VALUES = {
    "bytes": [
        (BytesSub(b"a=b"), "BytesSub"),
        (bytearray(b"a=b"), "bytearray"),
        (memoryview(b"a=b"), "memoryview"),
        ("a=b", "str"),
        (5, "int"),
    ],
    "str": [(StrSub("m"), "StrSub"), (b"m", "bytes"), (5, "int")],
    "datetime.datetime": [
        (datetime.date(2030, 1, 2), "datetime.date"),
        (datetime.time(3, 4, 5), "datetime.time"),
        ("2030-01-02", "str"),
        (WHEN.timestamp(), "float"),
    ],
}


@pytest.mark.parametrize(
    "call, parameter, expected, qualname, value, got",
    [
        (call, parameter, expected, qualname, value, got)
        for call, parameter, expected, qualname in TYPE_REFUSALS
        for value, got in REFUSED_VALUES[expected]
    ],
)
def test_parameter_type_refused(call, parameter, expected, qualname, value, got):
    with pytest.raises(TypeError) as excinfo:
        call(value)
    assert str(excinfo.value) == _message(parameter, expected, got)
    assert traceback_names(excinfo)[-1] == entry(qualname)


def test_datetime_parameters_accept_subclasses():
    when = DatetimeSub(2030, 1, 2, 3, 4, 5)
    assert cookies.datetime_to_cookie_format(when) == WHEN_BYTES
    assert cookies.Cookie("a", "b", expires=when).expires is when


def test_none_passes_the_type_checks():
    # What follows is each function's own business, not the argument check.
    cookie = cookies.Cookie("a", "b", expires=None, domain=None, path=None)
    assert (cookie.expires, cookie.domain, cookie.path) == (None, None, None)
    assert cookies.CookieError(None).args == (None,)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'strftime'"):
        cookies.datetime_to_cookie_format(None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'decode'"):
        cookies.datetime_from_cookie_format(None)


# ---------------------------------------------------------------------------
# 64-bit integer conversion


class IntSubWithInt(int):
    def __int__(self):
        return 99


class IntReturnsFloat:
    def __int__(self):
        return 3.5


class IntReturnsIntSub:
    def __int__(self):
        return IntSub(7)


class IntRaises:
    def __int__(self):
        raise ArithmeticError("no number here")


class OnlyIndex:
    def __index__(self):
        return 5


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


DEPRECATION_TEXT = (
    "__int__ returned non-int (type IntSub).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, 0),
        (-1, -1),
        (IntSub(5), 5),
        (IntSubWithInt(5), 5),
        (True, 1),
        (2**63 - 1, 2**63 - 1),
        (-(2**63), -(2**63)),
        (2.9, 2),
        (-2.9, -2),
        (IntReturns(12), 12),
        (IntReturns(-(2**63)), -(2**63)),
    ],
)
def test_max_age_conversion(value, expected):
    cookie = _cookie()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cookie.max_age = value
    assert cookie.max_age == expected
    assert type(cookie.max_age) is int


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (1e30, OverflowError, None),
        (IntReturns(2**64), OverflowError, None),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (OnlyIndex(), TypeError, "an integer is required"),
        (IntReturnsFloat(), TypeError, "__int__ returned non-int (type float)"),
        (IntReturns("7"), TypeError, "__int__ returned non-int (type str)"),
        (IntRaises(), ArithmeticError, "no number here"),
        (float("nan"), ValueError, None),
    ],
)
def test_max_age_conversion_refused(value, error, message):
    cookie = cookies.Cookie("a", "b", max_age=10)
    with pytest.raises(error) as excinfo:
        cookie.max_age = value
    if message is not None:
        assert str(excinfo.value) == message
    # Entries of code that the conversion called (__int__) come after it.
    assert traceback_names(excinfo)[1] == entry("Cookie.max_age.__set__")
    assert cookie.max_age == 10


def test_int_subclass_from_int_warns_and_goes_on():
    cookie = _cookie()
    with pytest.warns(DeprecationWarning) as record:
        cookie.max_age = IntReturnsIntSub()
    assert [str(w.message) for w in record] == [DEPRECATION_TEXT]
    assert cookie.max_age == 7


def test_int_subclass_from_int_fails_when_warnings_are_errors():
    cookie = cookies.Cookie("a", "b", max_age=10)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as excinfo:
            cookie.max_age = IntReturnsIntSub()
    assert str(excinfo.value) == DEPRECATION_TEXT
    assert cookie.max_age == 10


def test_constructor_converts_max_age_the_same_way():
    assert cookies.Cookie("a", "b", max_age=-7.9).max_age == -7
    with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type float\)$") as excinfo:
        cookies.Cookie("a", "b", max_age=IntReturnsFloat())
    assert traceback_names(excinfo)[-1] == entry("Cookie.__init__")


@pytest.mark.parametrize(
    "checksum",
    [COOKIE_CHECKSUM, IntSub(0xC44A7B0), 0xE7407DB + 0.75, IntReturns(COOKIE_CHECKSUM)],
)
def test_checksum_conversion(checksum):
    rebuilt = cookies.__pyx_unpickle_Cookie(cookies.Cookie, checksum, None)
    assert type(rebuilt) is cookies.Cookie


@pytest.mark.parametrize(
    "checksum, error, message",
    [
        ("x", TypeError, "an integer is required"),
        (IntReturnsFloat(), TypeError, "__int__ returned non-int (type float)"),
        (2**64, OverflowError, None),
    ],
)
def test_checksum_conversion_refused(checksum, error, message):
    with pytest.raises(error) as excinfo:
        cookies.__pyx_unpickle_Cookie(cookies.Cookie, checksum, None)
    if message is not None:
        assert str(excinfo.value) == message
    assert traceback_names(excinfo)[-1] == entry("__pyx_unpickle_Cookie")


def test_checksum_from_int_subclass_warns():
    with pytest.warns(DeprecationWarning) as record:
        rebuilt = cookies.__pyx_unpickle_Cookie(
            cookies.Cookie, IntReturns(IntSub(COOKIE_CHECKSUM)), None
        )
    assert [str(w.message) for w in record] == [DEPRECATION_TEXT]
    assert type(rebuilt) is cookies.Cookie


# ---------------------------------------------------------------------------
# Function objects

FUNCTIONS = [
    (lambda: cookies.datetime_to_cookie_format, "datetime_to_cookie_format"),
    (lambda: cookies.datetime_from_cookie_format, "datetime_from_cookie_format"),
    (lambda: cookies.parse_cookie, "parse_cookie"),
    (lambda: cookies.__pyx_unpickle_CookieError, "__pyx_unpickle_CookieError"),
    (lambda: cookies.__pyx_unpickle_CookieValueExceedsMaximumLength,
     "__pyx_unpickle_CookieValueExceedsMaximumLength"),
    (lambda: cookies.__pyx_unpickle_Cookie, "__pyx_unpickle_Cookie"),
    (lambda: cookies.Cookie.__dict__["clone"], "Cookie.clone"),
] + [
    (lambda owner=owner, name=name: getattr(cookies, owner).__dict__[name], f"{owner}.{name}")
    for owner in ("Cookie", "CookieError", "CookieValueExceedsMaximumLength")
    for name in ("__reduce_cython__", "__setstate_cython__")
]


@pytest.mark.parametrize("get, qualname", FUNCTIONS, ids=[q for _, q in FUNCTIONS])
def test_function_attributes(get, qualname):
    function = get()
    assert callable(function)
    assert function.__name__ == qualname.rpartition(".")[2]
    assert function.__qualname__ == qualname
    assert function.__module__ == MODULE
    assert function.__doc__ is None


@pytest.mark.parametrize("get, qualname", FUNCTIONS, ids=[q for _, q in FUNCTIONS])
@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_functions_pickle_by_reference(get, qualname, protocol):
    function = get()
    data = pickle.dumps(function, protocol=protocol)
    assert MODULE.encode() in data
    assert pickle.loads(data) is function


def test_methods_bind_to_instances():
    clone = cookies.Cookie.__dict__["clone"]
    assert cookies.Cookie.clone is clone
    assert clone.__get__(None, cookies.Cookie) is clone
    cookie = cookies.Cookie("a", "b", domain="example.com")
    bound = cookie.clone
    assert bound.__self__ is cookie
    assert bound.__func__ is clone
    copy = bound()
    assert copy == cookie and copy is not cookie
    assert cookies.Cookie.clone(cookie) == cookie


def test_module_functions_bind_like_python_functions():
    class When(datetime.datetime):
        to_cookie = cookies.datetime_to_cookie_format

    class Holder:
        to_cookie = cookies.datetime_to_cookie_format

    assert When(2030, 1, 2, 3, 4, 5).to_cookie() == WHEN_BYTES
    with pytest.raises(TypeError) as excinfo:
        Holder().to_cookie()
    assert str(excinfo.value) == _message("value", "datetime.datetime", "Holder")


@pytest.mark.parametrize(
    "call",
    [
        lambda: cookies.Cookie.clone(5),
        lambda: cookies.Cookie.clone(),
        lambda: cookies.Cookie.__setstate__(object(), ()),
        lambda: cookies.Cookie.__reduce_cython__(object()),
        lambda: cookies.Cookie.__setstate_cython__(cookies.CookieError("m"), ()),
        lambda: cookies.CookieError.__reduce_cython__(cookies.Cookie("a", "b")),
        lambda: cookies.CookieValueExceedsMaximumLength.__setstate_cython__(
            cookies.CookieError("m"), ()),
    ],
)
def test_methods_refuse_a_foreign_self(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------------------
# Immutable types

TYPES = ["Cookie", "CookieError", "CookieValueExceedsMaximumLength"]


@pytest.mark.parametrize("type_name", TYPES)
@pytest.mark.parametrize("attribute", ["extra", "__reduce_cython__", "__init__"])
def test_types_refuse_attribute_assignment(type_name, attribute):
    cls = getattr(cookies, type_name)
    before = cls.__dict__.get(attribute)
    with pytest.raises(TypeError, match="immutable type"):
        setattr(cls, attribute, 1)
    assert cls.__dict__.get(attribute) is before


@pytest.mark.parametrize("type_name", TYPES)
def test_types_refuse_attribute_deletion(type_name):
    cls = getattr(cookies, type_name)
    with pytest.raises(TypeError, match="immutable type"):
        del cls.__reduce_cython__
    assert "__reduce_cython__" in cls.__dict__


# ---------------------------------------------------------------------------
# The module's life across imports (each in a fresh interpreter)

SUBINTERPRETER_IMPORT = EXEC_IN_SUBINTERPRETER + """
def import_in_subinterpreter():
    return exec_in_subinterpreter("import glimmering_copper_otter.cookies")
"""

BREAK_URLLIB_PARSE = """
import sys, types, urllib.parse
real_urllib_parse = sys.modules["urllib.parse"]
sys.modules["urllib.parse"] = types.ModuleType("urllib.parse")
"""
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process."
)


def test_second_interpreter_is_refused():
    result = run_json(
        SUBINTERPRETER_IMPORT
        + """
import json
import glimmering_copper_otter.cookies as module
refused = import_in_subinterpreter()
print(json.dumps([refused, module.datetime_to_cookie_format.__name__]))
"""
    )
    assert result == [["ImportError", INTERPRETER_CHANGE], "datetime_to_cookie_format"]


def test_second_interpreter_is_refused_after_a_failed_first_import():
    result = run_json(
        SUBINTERPRETER_IMPORT
        + BREAK_URLLIB_PARSE
        + """
import json
try:
    import glimmering_copper_otter.cookies
except ImportError as error:
    first = str(error)
refused = import_in_subinterpreter()
sys.modules["urllib.parse"] = real_urllib_parse
import glimmering_copper_otter.cookies as module
print(json.dumps([first, refused, module.quote is real_urllib_parse.quote]))
"""
    )
    assert result == ["cannot import name quote", ["ImportError", INTERPRETER_CHANGE], True]


def test_the_first_interpreter_to_import_keeps_the_module():
    result = run_json(
        SUBINTERPRETER_IMPORT
        + """
import json
loaded = import_in_subinterpreter()
try:
    import glimmering_copper_otter.cookies
except ImportError as error:
    refused = [type(error).__name__, str(error)]
print(json.dumps([loaded, refused]))
"""
    )
    assert result == [None, ["ImportError", INTERPRETER_CHANGE]]


def test_reimport_gives_the_same_module_with_its_changes():
    result = run_json(
        """
        import importlib, json, sys
        import glimmering_copper_otter.cookies as first
        first.quote = "changed"
        first.extra = 1
        del first.unquote
        del sys.modules["glimmering_copper_otter.cookies"]
        import glimmering_copper_otter.cookies as second
        reloaded = importlib.reload(second)
        print(json.dumps([
            second is first,
            reloaded is first,
            sys.modules["glimmering_copper_otter.cookies"] is first,
            first.quote,
            first.extra,
            hasattr(first, "unquote"),
        ]))
        """
    )
    assert result == [True, True, True, "changed", 1, False]


def test_second_module_object_from_one_spec_is_refused():
    result = run_json(
        """
        import importlib.util, json, sys
        spec = importlib.util.find_spec("glimmering_copper_otter.cookies")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            refused = str(error)
            tb, names = error.__traceback__, []
            while tb is not None:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        import glimmering_copper_otter.cookies as imported
        print(json.dumps([
            first is second,
            refused,
            any("init" in name for name in names),
            again is first,
            imported is first,
            hasattr(second, "Cookie"),
        ]))
        """
    )
    assert result == [
        False,
        "Module 'cookies' has already been imported. Re-initialisation is not supported.",
        False,
        True,
        True,
        False,
    ]


FAILED_IMPORTS = {
    "urllib.parse": ("ImportError", "cannot import name quote"),
    "email.utils": ("ImportError", "cannot import name parsedate_to_datetime"),
    "datetime": ("TypeError", "datetime.date is not a type object"),
}


@pytest.mark.parametrize("module_name", list(FAILED_IMPORTS))
def test_failed_import_starts_over(module_name):
    error_type, message = FAILED_IMPORTS[module_name]
    result = run_json(
        f"""
        import datetime, importlib, json, pickle, sys, types
        real = importlib.import_module({module_name!r})
        stub = types.ModuleType({module_name!r})
        if {module_name!r} == "datetime":
            stub.__dict__.update(vars(real))
            stub.date = "not a type"
        sys.modules[{module_name!r}] = stub
        try:
            import glimmering_copper_otter.cookies
        except Exception as error:
            failure = [type(error).__name__, str(error)]
            tb, names = error.__traceback__, []
            while tb is not None:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
        registered = "glimmering_copper_otter.cookies" in sys.modules
        sys.modules[{module_name!r}] = real
        import glimmering_copper_otter.cookies as module
        cookie = module.Cookie("a", "b", max_age=5)
        error = module.CookieValueExceedsMaximumLength()
        print(json.dumps([
            failure,
            names[1:],
            registered,
            pickle.loads(pickle.dumps(cookie)) == cookie,
            type(pickle.loads(pickle.dumps(error))).__name__,
            module.datetime_to_cookie_format(datetime.datetime(2030, 1, 2, 3, 4, 5)).decode(),
        ]))
        """
    )
    assert result == [
        [error_type, message],
        ["init glimmering_copper_otter.cookies"],
        False,
        True,
        "CookieValueExceedsMaximumLength",
        "Wed, 02 Jan 2030 03:04:05 GMT",
    ]


def test_failed_exec_used_a_module_object_that_is_not_reused():
    result = run_json(
        BREAK_URLLIB_PARSE
        + """
import json
seen = []
def __getattr__(name):
    seen.append(sys.modules.get("glimmering_copper_otter.cookies"))
    raise AttributeError(name)
sys.modules["urllib.parse"].__getattr__ = __getattr__
try:
    import glimmering_copper_otter.cookies
except ImportError:
    pass
sys.modules["urllib.parse"] = real_urllib_parse
import glimmering_copper_otter.cookies as module
failed = seen[0]
print(json.dumps([failed is not None, failed is not module, hasattr(failed, "Cookie")]))
"""
    )
    assert result == [True, True, True]


DATETIME_STUB = """
import datetime as real, importlib, json, sys, types, warnings
stub = types.ModuleType("datetime")
stub.__dict__.update({k: v for k, v in vars(real).items() if k != "__name__"})
"""


def _datetime_stub_import(setup, warning_filter="always"):
    return run_json(
        DATETIME_STUB
        + setup
        + f"""
sys.modules["datetime"] = stub
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter({warning_filter!r})
    try:
        import glimmering_copper_otter.cookies as module
        outcome = module.datetime_to_cookie_format(real.datetime(2030, 1, 2, 3, 4, 5)).decode()
    except Exception as error:
        outcome = [type(error).__name__, str(error)]
        tb = error.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        outcome.append(tb.tb_frame.f_code.co_name)
print(json.dumps([outcome, [[w.category.__name__, str(w.message)] for w in caught], sizes]))
"""
    )


def _size_message(name, expected, got):
    return (
        f"datetime.{name} size changed, may indicate binary incompatibility. "
        f"Expected {expected} from C header, got {got} from PyObject"
    )


def test_datetime_attribute_that_is_not_a_type():
    outcome, caught, _ = _datetime_stub_import("stub.date = len\nsizes = None\n")
    assert outcome == [
        "TypeError", "datetime.date is not a type object", "init glimmering_copper_otter.cookies",
    ]
    assert caught == []


def test_datetime_type_smaller_than_compiled_for():
    outcome, caught, sizes = _datetime_stub_import(
        "class date:\n"
        "    __slots__ = ()\n"
        "stub.date = date\n"
        "sizes = [real.date.__basicsize__, date.__basicsize__]\n"
    )
    expected, got = sizes
    assert got < expected
    assert outcome == [
        "ValueError", _size_message("date", expected, got), "init glimmering_copper_otter.cookies",
    ]
    assert caught == []


LARGER_TZINFO = (
    "class tzinfo(real.tzinfo):\n"
    "    __slots__ = ('first', 'second')\n"
    "stub.tzinfo = tzinfo\n"
    "sizes = [real.tzinfo.__basicsize__, tzinfo.__basicsize__]\n"
)


def test_datetime_type_larger_than_compiled_for_warns():
    outcome, caught, sizes = _datetime_stub_import(LARGER_TZINFO)
    expected, got = sizes
    assert got > expected
    assert outcome == "Wed, 02 Jan 2030 03:04:05 GMT"
    assert caught == [["RuntimeWarning", _size_message("tzinfo", expected, got)]]


def test_datetime_size_warning_as_error_fails_the_import():
    outcome, caught, sizes = _datetime_stub_import(LARGER_TZINFO, warning_filter="error")
    expected, got = sizes
    assert outcome == [
        "RuntimeWarning", _size_message("tzinfo", expected, got),
        "init glimmering_copper_otter.cookies",
    ]
