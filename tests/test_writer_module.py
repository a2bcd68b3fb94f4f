"""glimmering_copper_otter.writer: write_cookie_for_response of the cookies
module's C-level function table, offered to interpreted code."""

import inspect
import sys
from datetime import datetime, timedelta, timezone

import pytest

from conftest import run_python
from glimmering_copper_otter import cookies, writer
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode

EXPECTED_TYPE = "expected glimmering_copper_otter.cookies.Cookie"


class SubCookie(Cookie):
    pass


class ShoutingCookie(Cookie):
    """Overrides value: the writer reads name and value by attribute lookup."""

    @property
    def value(self):
        return "LOUD value"

    @value.setter
    def value(self, value):
        Cookie.value.__set__(self, value)


def _examples():
    yield "bare", Cookie("a", "")
    yield "full", Cookie(
        "sid", "a b;c/d", datetime(2030, 1, 2, 3, 4, 5), "example.com", "/",
        True, False, 3600, CookieSameSiteMode.LAX,
    )
    yield "strict-forces-secure", Cookie("k", "v", same_site=CookieSameSiteMode.STRICT)
    yield "aware-expires-non-ascii", Cookie(
        "é", "ü=1", datetime(2030, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=2))),
        path="/ß", max_age=0, secure=True,
    )
    yield "subclass", SubCookie("s", "v", domain="d", same_site=CookieSameSiteMode.NONE)
    yield "subclass-overriding-value", ShoutingCookie("n", "ignored", http_only=True)


EXAMPLES = dict(_examples())


@pytest.mark.parametrize("key", EXAMPLES)
def test_output_equals_the_c_entry(capi, key):
    cookie = EXAMPLES[key]
    written = writer.write_cookie_for_response(cookie)
    assert type(written) is bytes
    assert written == capi.write_cookie_for_response(cookie)


def test_worked_example_and_keyword_form():
    cookie = EXAMPLES["full"]
    expected = (b"sid=a%20b%3Bc/d; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
                b"Domain=example.com; Path=/; HttpOnly; SameSite=Lax")
    assert writer.write_cookie_for_response(cookie) == expected
    assert writer.write_cookie_for_response(cookie=cookie) == expected
    assert writer.write_cookie_for_response(EXAMPLES["subclass-overriding-value"]) == (
        b"n=LOUD%20value; HttpOnly")


@pytest.mark.parametrize(
    "argument, type_name",
    [
        (None, "NoneType"),
        (1, "int"),
        ("a=b", "str"),
        (b"a=b", "bytes"),
        (Cookie, "type"),
        (object(), "object"),
    ],
)
def test_non_cookie_is_refused(argument, type_name):
    message = f"Argument 'cookie' has incorrect type ({EXPECTED_TYPE}, got {type_name})"
    with pytest.raises(TypeError) as excinfo:
        writer.write_cookie_for_response(argument)
    assert str(excinfo.value) == message
    with pytest.raises(TypeError) as excinfo:
        writer.write_cookie_for_response(cookie=argument)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "write_cookie_for_response() takes exactly 1 positional argument (0 given)"),
        ((EXAMPLES["bare"],) * 2, {},
         "write_cookie_for_response() takes exactly 1 positional argument (2 given)"),
        ((), {"value": EXAMPLES["bare"]},
         "write_cookie_for_response() got an unexpected keyword argument 'value'"),
        ((EXAMPLES["bare"],), {"other": 1},
         "write_cookie_for_response() got an unexpected keyword argument 'other'"),
        ((EXAMPLES["bare"],), {"cookie": EXAMPLES["bare"]},
         "write_cookie_for_response() got multiple values for keyword argument 'cookie'"),
    ],
    ids=["none", "two", "wrong-keyword", "extra-keyword", "twice"],
)
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        writer.write_cookie_for_response(*args, **kwargs)
    assert str(excinfo.value) == message


def test_signature_and_namespace():
    assert writer.__name__ == "glimmering_copper_otter.writer"
    assert str(inspect.signature(writer.write_cookie_for_response)) == (
        "(cookie, *, partitioned=False, priority=None)")
    assert [name for name in vars(writer) if not name.startswith("_")] == [
        "write_cookie_for_response", "set_cookie_header", "delete_cookie_header"
    ]


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: Cookie.__new__(Cookie), TypeError),  # bare allocation: name None
        (lambda: _with_value(None), TypeError),
        (lambda: Cookie("a", "b", path="\udcff"), UnicodeEncodeError),
    ],
    ids=["bare-allocation", "value-none", "unencodable-path"],
)
def test_failures_of_the_c_entry_propagate(capi, make, error):
    cookie = make()
    with pytest.raises(error) as from_writer:
        writer.write_cookie_for_response(cookie)
    with pytest.raises(error) as from_capi:
        capi.write_cookie_for_response(cookie)
    assert str(from_writer.value) == str(from_capi.value)


def _with_value(value):
    cookie = Cookie("a", "b")
    cookie.value = value
    return cookie


def test_rebound_quote_is_used(restore_module_attributes, capi):
    cookie = Cookie("a b", "c d", path="/p q")
    restore_module_attributes.quote = lambda text: f"<{text}>"
    assert writer.write_cookie_for_response(cookie) == b"<a b>=<c d>; Path=/p q"
    assert writer.write_cookie_for_response(cookie) == capi.write_cookie_for_response(cookie)
    del restore_module_attributes.quote
    with pytest.raises(NameError, match="^name 'quote' is not defined$"):
        writer.write_cookie_for_response(cookie)


def test_no_reference_is_leaked():
    cookie = EXAMPLES["full"]
    refcount = sys.getrefcount(cookie)
    for _ in range(100):
        writer.write_cookie_for_response(cookie)
        with pytest.raises(TypeError):
            writer.write_cookie_for_response(cookie, cookie)
    assert sys.getrefcount(cookie) == refcount


def test_import_leaves_the_cookies_namespace_unchanged():
    run_python(
        """
        import sys
        from glimmering_copper_otter import cookies
        before = dict(vars(cookies))
        capi_before = dict(cookies.__pyx_capi__)
        from glimmering_copper_otter import writer
        after = dict(vars(cookies))
        assert after.keys() == before.keys(), after.keys() ^ before.keys()
        assert all(after[key] is before[key] for key in before)
        assert cookies.__pyx_capi__ == capi_before
        assert sys.modules["glimmering_copper_otter.cookies"] is cookies
        """
    )


def test_importing_the_writer_first_imports_cookies():
    process = run_python(
        """
        import sys
        import glimmering_copper_otter.writer as writer
        cookies = sys.modules["glimmering_copper_otter.cookies"]
        print(writer.write_cookie_for_response(cookies.parse_cookie(b"a=b; SameSite=none")))
        """
    )
    assert process.stdout == "b'a=b; Secure; SameSite=None'\n"


# --- the Partitioned and Priority keywords ------------------------------------------


class LaxOnRead(Cookie):
    """Sets SameSite=Lax while the writer reads the value: what counts is the
    record as the writer left it."""

    @property
    def value(self):
        self.same_site = CookieSameSiteMode.LAX
        return Cookie.value.__get__(self)

    @value.setter
    def value(self, value):
        Cookie.value.__set__(self, value)


KEYWORD_CASES = [
    # cookie, partitioned, priority, bytes
    (Cookie("a", "b"), True, "high", b"a=b; Secure; Partitioned; Priority=High"),
    (Cookie("a", "b"), False, "LOW", b"a=b; Priority=Low"),
    (Cookie("a", "b"), True, None, b"a=b; Secure; Partitioned"),
    (Cookie("a", "b"), False, "mEdIuM", b"a=b; Priority=Medium"),
    (Cookie("a", "b", secure=True), True, None, b"a=b; Secure; Partitioned"),
    (EXAMPLES["full"], True, "Low",
     b"sid=a%20b%3Bc/d; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
     b"Domain=example.com; Path=/; HttpOnly; Secure; SameSite=Lax; Partitioned; Priority=Low"),
    (Cookie("k", "v", same_site=CookieSameSiteMode.STRICT), True, None,
     b"k=v; Secure; SameSite=Strict; Partitioned"),
    (Cookie("k", "v", same_site=CookieSameSiteMode.NONE), True, "high",
     b"k=v; Secure; SameSite=None; Partitioned; Priority=High"),
    (Cookie("k", "v", same_site=7), True, None, b"k=v; Secure; Partitioned"),
    (Cookie("k", "v", path="/p", http_only=True), True, None,
     b"k=v; Path=/p; HttpOnly; Secure; Partitioned"),
    (Cookie("k", "v", max_age=0, same_site=CookieSameSiteMode.LAX), True, None,
     b"k=v; Max-Age=0; Secure; SameSite=Lax; Partitioned"),
    (Cookie("k", "v", domain="d", path=""), True, None, b"k=v; Domain=d; Secure; Partitioned"),
    (LaxOnRead("n", "v"), True, None, b"n=v; Secure; SameSite=Lax; Partitioned"),
    (EXAMPLES["bare"], "yes", None, b"a=; Secure; Partitioned"),
    (EXAMPLES["bare"], 0, None, b"a="),
]


@pytest.mark.parametrize("cookie, partitioned, priority, expected", KEYWORD_CASES)
def test_keywords(cookie, partitioned, priority, expected):
    assert writer.write_cookie_for_response(
        cookie, partitioned=partitioned, priority=priority) == expected


@pytest.mark.parametrize("key", EXAMPLES)
def test_default_keywords_change_nothing(capi, key):
    cookie = EXAMPLES[key]
    assert writer.write_cookie_for_response(cookie, partitioned=False, priority=None) == (
        capi.write_cookie_for_response(cookie))


def test_secure_is_placed_by_the_fields_not_by_the_bytes(restore_module_attributes):
    # A rebound quote may return any text, a pretended SameSite included.
    restore_module_attributes.quote = lambda text: f"{text}; SameSite=Lax; HttpOnly"
    cookie = Cookie("n", "v", same_site=CookieSameSiteMode.LAX)
    assert writer.write_cookie_for_response(cookie, partitioned=True) == (
        b"n; SameSite=Lax; HttpOnly=v; SameSite=Lax; HttpOnly; Secure; SameSite=Lax; "
        b"Partitioned")


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class StrSub(str):
    def lower(self):
        return "high"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"priority": "highest"}, ValueError,
         "Invalid cookie priority 'highest': expected 'low', 'medium' or 'high' "
         "(in any letter case) or None"),
        ({"priority": ""}, ValueError, None),
        ({"priority": "l\u00f6w"}, ValueError, None),
        ({"priority": " low"}, ValueError, None),
        ({"priority": StrSub("x")}, ValueError, None),
        ({"priority": b"low"}, TypeError,
         "Argument 'priority' has incorrect type (expected str or None, got bytes)"),
        ({"priority": 1}, TypeError, None),
        ({"partitioned": Truthless()}, ZeroDivisionError, "no truth"),
        ({"Partitioned": True}, TypeError,
         "write_cookie_for_response() got an unexpected keyword argument 'Partitioned'"),
    ],
)
def test_bad_keywords(kwargs, error, message):
    with pytest.raises(error) as excinfo:
        writer.write_cookie_for_response(Cookie("a", "b"), **kwargs)
    if message is not None:
        assert str(excinfo.value) == message


def test_keywords_are_keyword_only():
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        writer.write_cookie_for_response(Cookie("a", "b"), True)


def test_priority_is_checked_before_the_cookie_is_written(restore_module_attributes):
    calls = []
    restore_module_attributes.quote = lambda text: calls.append(text) or text
    with pytest.raises(ValueError):
        writer.write_cookie_for_response(Cookie("a", "b"), priority="urgent")
    assert calls == []


def test_str_subclass_priority_is_read_as_its_text():
    assert writer.write_cookie_for_response(Cookie("a", "b"), priority=StrSub("LOW")) == (
        b"a=b; Priority=Low")
