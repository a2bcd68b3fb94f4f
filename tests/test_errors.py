"""CookieError and CookieValueExceedsMaximumLength: their types, initialisers,
argument errors, the fixed message, and how the value setter raises them."""

import re

import pytest

from conftest import traceback_names
from glimmering_copper_otter.cookies import Cookie, CookieError, CookieValueExceedsMaximumLength

MESSAGE_START = (
    "The length of the cookie value exceeds the maximum length of 4096 bytes, and it "
    "would be ignored or truncated by clients. See: "
)
BYTES_PER_CHARACTER = ["one-byte", "two-byte", "three-byte", "four-byte"]


class Text(str):
    pass


# --- The types -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("error_type", "name", "base"),
    [
        (CookieError, "CookieError", Exception),
        (CookieValueExceedsMaximumLength, "CookieValueExceedsMaximumLength", CookieError),
    ],
)
def test_type(error_type, name, base):
    assert error_type.__name__ == name
    assert error_type.__qualname__ == name
    assert error_type.__module__ == "glimmering_copper_otter.cookies"
    assert error_type.__base__ is base
    assert error_type.__basicsize__ == Exception.__basicsize__


def test_hierarchy():
    assert CookieValueExceedsMaximumLength.__mro__[1:] == CookieError.__mro__
    assert CookieError.__mro__[1:] == Exception.__mro__


# --- CookieError -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("x",), {}, "x"),
        ((), {"message": "x"}, "x"),
        (("",), {}, ""),
        (("ünïcode ✓",), {}, "ünïcode ✓"),
        ((None,), {}, None),
        ((), {"message": None}, None),
    ],
)
def test_cookie_error_made(args, kwargs, message):
    error = CookieError(*args, **kwargs)
    assert error.args == (message,)
    assert str(error) == str(message)
    assert repr(error) == f"CookieError({message!r})"
    assert not hasattr(error, "message")


def test_cookie_error_keeps_the_very_text():
    text = "".join(["some ", "message"])
    assert CookieError(text).args[0] is text


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "__init__() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, "__init__() takes exactly 1 positional argument (2 given)"),
        (("a", "b", "c"), {}, "__init__() takes exactly 1 positional argument (3 given)"),
        ((b"x",), {}, "Argument 'message' has incorrect type (expected str, got bytes)"),
        ((), {"message": b"x"}, "Argument 'message' has incorrect type (expected str, got bytes)"),
        ((1,), {}, "Argument 'message' has incorrect type (expected str, got int)"),
        ((Text("x"),), {}, "Argument 'message' has incorrect type (expected str, got Text)"),
        (("x",), {"code": 1}, "__init__() got an unexpected keyword argument 'code'"),
        (("x",), {"message": "y"}, "__init__() got multiple values for keyword argument 'message'"),
    ],
)
def test_cookie_error_refused(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        CookieError(*args, **kwargs)
    assert str(excinfo.value) == message
    assert traceback_names(excinfo)[-1] == "glimmering_copper_otter.cookies.CookieError.__init__"


# --- CookieValueExceedsMaximumLength --------------------------------------------------


def test_value_too_long_made():
    error = CookieValueExceedsMaximumLength()
    assert isinstance(error, CookieError)
    assert isinstance(error, Exception)
    assert len(error.args) == 1
    (message,) = error.args
    assert type(message) is str
    assert str(error) == message
    assert message.startswith("The length of the cookie value exceeds the maximum length of 4096 bytes")
    assert not hasattr(error, "message")


def test_value_too_long_message_ends_with_the_rfc_address():
    (message,) = CookieValueExceedsMaximumLength().args
    assert message.startswith(MESSAGE_START)
    address = message[len(MESSAGE_START):]
    # One address, section 6.1 of RFC 6265, and nothing after it.
    assert re.fullmatch(r"https://\S+/rfc6265(\.html)?#section-6\.1", address), address


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("x",), {}, "__init__() takes exactly 0 positional arguments (1 given)"),
        ((None,), {}, "__init__() takes exactly 0 positional arguments (1 given)"),
        (("x", "y"), {}, "__init__() takes exactly 0 positional arguments (2 given)"),
        ((), {"code": 1}, "__init__() got an unexpected keyword argument 'code'"),
        ((), {"message": "x"}, "__init__() got an unexpected keyword argument 'message'"),
    ],
)
def test_value_too_long_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        CookieValueExceedsMaximumLength(*args, **kwargs)
    assert str(excinfo.value) == message
    assert (
        traceback_names(excinfo)[-1]
        == "glimmering_copper_otter.cookies.CookieValueExceedsMaximumLength.__init__"
    )


# --- Subclassing -----------------------------------------------------------------------


def test_subclasses_from_python():
    class AppError(CookieError):
        pass

    class TooLong(CookieValueExceedsMaximumLength):
        def __init__(self, detail):
            super().__init__()
            self.detail = detail

    error = AppError("boom")
    assert error.args == ("boom",)
    assert isinstance(error, CookieError)
    error.extra = 1  # subclass instances have a __dict__

    too_long = TooLong("d")
    assert too_long.detail == "d"
    assert too_long.args[0].startswith(MESSAGE_START)
    assert isinstance(too_long, CookieError)

    with pytest.raises(CookieError):
        raise TooLong("x")


def test_subclass_initialiser_that_passes_its_own_message():
    class Named(CookieError):
        def __init__(self, name):
            super().__init__(f"bad cookie {name}")

    assert Named("sid").args == ("bad cookie sid",)
    with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type \(expected str, got bytes\)$"):

        class Broken(CookieError):
            def __init__(self):
                super().__init__(b"x")

        Broken()


class FailingBase(Exception):
    def __init__(self, *args):
        raise LookupError("base refused")


@pytest.mark.parametrize(
    ("error_type", "args", "names"),
    [
        (CookieError, ("x",), ["glimmering_copper_otter.cookies.CookieError.__init__"]),
        (
            CookieValueExceedsMaximumLength,
            (),
            [
                "glimmering_copper_otter.cookies.CookieValueExceedsMaximumLength.__init__",
                "glimmering_copper_otter.cookies.CookieError.__init__",
            ],
        ),
    ],
)
def test_failing_base_initialiser_propagates(error_type, args, names):
    # super() from the module's initialiser reaches FailingBase.__init__.
    Mixed = type("Mixed", (error_type, FailingBase), {})
    with pytest.raises(LookupError, match="^base refused$") as excinfo:
        Mixed(*args)
    seen = traceback_names(excinfo)
    assert seen[-1] == "__init__"
    assert seen[-1 - len(names) : -1] == names


# --- Raised by the value setter ---------------------------------------------------------


@pytest.mark.parametrize("value", ["x" * 4097, "é" * 2049, "€" * 1366, "\U0001f36a" * 1025], ids=BYTES_PER_CHARACTER)
def test_except_cookie_error_catches_the_setter_error(value):
    cookie = Cookie("n", "v")
    try:
        cookie.value = value
    except CookieError as error:
        caught = error
    else:
        pytest.fail("no error raised")
    assert type(caught) is CookieValueExceedsMaximumLength
    assert caught.args == CookieValueExceedsMaximumLength().args
    assert cookie.value == "v"


@pytest.mark.parametrize("value", ["x" * 4096, "é" * 2048, "€" * 1365, "\U0001f36a" * 1024], ids=BYTES_PER_CHARACTER)
def test_value_of_4096_bytes_raises_nothing(value):
    cookie = Cookie("n", "v")
    cookie.value = value
    assert cookie.value is value


def test_except_cookie_error_catches_the_constructor_error():
    with pytest.raises(CookieError) as excinfo:
        Cookie("n", "x" * 4097)
    assert type(excinfo.value) is CookieValueExceedsMaximumLength
