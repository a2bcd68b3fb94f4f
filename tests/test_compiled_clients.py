"""Sibling compiled modules built against the shipped declarations.

Two client modules are compiled during the test run, one in Cython from
cookies.pxd and one in C++ from cookies.h, and each calls every entry of the
C-level interface from compiled code: the six functions of __pyx_capi__, the
clone slot of Cookie's method table, and the record's fields read in place.
Both also call the writer module's entry, write_set_cookie (writer.pxd,
writer.h).
"""

import importlib.util
import re
import shutil
import subprocess
import sys
import sysconfig
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

import glimmering_copper_otter
from conftest import SIGNATURES, run_python
from glimmering_copper_otter import cookie_header, cookies, writer
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode

CLIENTS = Path(__file__).parent / "capi_clients"
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
PYTHON_INCLUDES = sorted({sysconfig.get_paths()["include"], sysconfig.get_paths()["platinclude"]})
INCLUDE = glimmering_copper_otter.get_include()
COOKIE = "glimmering_copper_otter.cookies.Cookie"
MODE_TYPE = "enum __pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode"


def _tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


def _cython():
    # The cython command of the interpreter running the tests.
    path = shutil.which("cython", path=str(Path(sys.executable).parent))
    if path is None:
        pytest.skip("Cython is not installed")
    return path


def _run(command, cwd):
    process = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300)
    if process.returncode != 0:
        raise AssertionError(f"{command[0]} failed:\n{process.stdout}\n{process.stderr}")


def _compile(compiler, source, name, out_dir, *flags):
    target = out_dir / f"{name}{EXT_SUFFIX}"
    includes = [f"-I{path}" for path in (*PYTHON_INCLUDES, INCLUDE)]
    _run([compiler, "-shared", "-fPIC", "-O1", *flags, *includes, str(source), "-o", str(target)],
         out_dir)
    return target


def _cythonize(pyx, out_dir, include_dir):
    c_file = out_dir / (pyx.stem + ".c")
    _run([_cython(), "-3", "-I", str(include_dir), str(pyx), "-o", str(c_file)], out_dir)
    return c_file


def _load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def cython_client(tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("cython_client")
    # The package's own directory comes first on the include path, so the
    # installed cookies.pxd is what the client is compiled against.
    c_file = _cythonize(CLIENTS / "cython_client.pyx", out_dir, Path(INCLUDE).parent)
    return _load("cython_client", _compile(_tool("gcc"), c_file, "cython_client", out_dir))


@pytest.fixture(scope="module")
def cxx_client_path(tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("cxx_client")
    # The package's compat.hpp gives the client the 3.13 C API it is written
    # against on older interpreters too.
    return _compile(_tool("g++"), CLIENTS / "cxx_client.cpp", "cxx_client", out_dir,
                    "-std=c++20", "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers",
                    f"-I{Path(__file__).parents[1] / 'src' / 'common'}")


@pytest.fixture(scope="module")
def cxx_client(cxx_client_path):
    return _load("cxx_client", cxx_client_path)


@pytest.fixture(params=["cython", "cxx"])
def client(request):
    return request.getfixturevalue(f"{request.param}_client")


# --- the declarations ship with the package -----------------------------------


def test_declarations_are_installed_beside_the_module():
    include = Path(INCLUDE)
    assert include == Path(cookies.__file__).parent
    assert (include / "cookies.h").is_file()
    assert (include / "cookies.pxd").is_file()
    assert (include / "writer.h").is_file()
    assert (include / "writer.pxd").is_file()


@pytest.mark.parametrize(
    "compiler, flags",
    [("gcc", ["-x", "c", "-std=c11"]), ("g++", ["-x", "c++", "-std=c++20"])],
    ids=["c11", "c++20"],
)
def test_header_compiles_without_warnings(tmp_path, compiler, flags):
    source = tmp_path / "use.inc"
    source.write_text(
        '#include "cookies.h"\n'
        "int use_cookies_h(void);\n"
        "int use_cookies_h(void) {\n"
        "  GcoCookiesAPI api;\n"
        "  if (GcoCookies_Import(&api) < 0) return -1;\n"
        "  return GcoCookie_Check(&api, Py_None);\n"
        "}\n"
        '#include "writer.h"\n'
        "int use_writer_h(void);\n"
        "int use_writer_h(void) {\n"
        "  GcoWriterAPI writer;\n"
        "  return GcoWriter_Import(&writer);\n"
        "}\n"
    )
    includes = [f"-I{path}" for path in (*PYTHON_INCLUDES, INCLUDE)]
    _run([_tool(compiler), *flags, "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-fsyntax-only",
          *includes, str(source)], tmp_path)


# --- the six functions of __pyx_capi__ ----------------------------------------

HEADERS = [
    b"a=b",
    b"sid=a%20b; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; Path=/; HttpOnly; "
    b"SameSite=Lax",
    b"lang=fr-CA; Domain=example.com; Secure",
    b"k=v;SameSite=strict;max-age=0",
    b"%C3%A9=%C3%BC%3D1; SameSite=None",
]


@pytest.mark.parametrize("raw", HEADERS)
def test_parse_then_write(client, raw):
    expected = writer.write_cookie_for_response(cookies.parse_cookie(raw))
    assert client.round_trip(raw) == expected


def test_round_trip_worked_example(client):
    assert client.round_trip(b"k=v;SameSite=strict;max-age=0") == (
        b"k=v; Max-Age=0; Secure; SameSite=Strict")


def test_parse_failure_propagates(client):
    with pytest.raises(ValueError, match="^Invalid name=value fragment: b'novalue'$"):
        client.round_trip(b"novalue; Path=/")


def test_write_reads_a_subclass_record(client):
    class Sub(Cookie):
        pass

    cookie = Sub("s", "v w", path="/", same_site=CookieSameSiteMode.NONE)
    assert client.write(cookie) == b"s=v%20w; Path=/; Secure; SameSite=None"


@pytest.mark.parametrize(
    "raw, separator, expected",
    [
        (b"k=v=w", b"=", (b"k", b"v=w")),
        (b"=", b"=", (b"", b"")),
        (b"name=", b"=", (b"name", b"")),
        (b"a;b", b";", (b"a", b"b")),
    ],
)
def test_split_value(client, raw, separator, expected):
    assert client.split(raw, separator) == expected


def test_split_value_without_separator_raises(client):
    with pytest.raises(ValueError, match="^subsection not found$"):
        client.split(b"kv", b"=")


MODES = [
    (b"Strict", 2), (b"STRICT", 2), (b"strict", 2), (b"Lax", 1), (b"None", 3),
    (None, 0), (b"", 0), (b"laxx", 0), (b" lax", 0), (b"no", 0),
]


@pytest.mark.parametrize("raw, number", MODES)
def test_same_site_mode_from_bytes(client, raw, number):
    assert client.mode(raw) == number


@pytest.mark.parametrize("raw, type_name", [(1, "int"), ("lax", "str"), (bytearray(b"lax"), "bytearray")])
def test_same_site_mode_failure_is_raised_after_the_call(client, raw, type_name):
    with pytest.raises(TypeError, match=f"^Expected bytes, got {type_name}$"):
        client.mode(raw)


def test_same_site_mode_failure_is_zero_with_an_exception_pending(cxx_client):
    # 0 is also UNDEFINED: only the pending exception tells the two apart.
    number, error = cxx_client.mode_and_error(1)
    assert number == 0
    assert type(error) is TypeError and str(error) == "Expected bytes, got int"
    assert cxx_client.mode_and_error(b"") == (0, None)
    assert cxx_client.mode_and_error(b"lax") == (1, None)


def test_cython_converts_a_mode_to_the_interpreted_member(cython_client):
    assert cython_client.mode_member(b"STRICT") is CookieSameSiteMode.STRICT
    assert cython_client.mode_member(b"x") is CookieSameSiteMode.UNDEFINED


@pytest.mark.parametrize(
    "value",
    [
        datetime(2030, 1, 2, 3, 4, 5, 999),
        datetime(2030, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=2))),
    ],
    ids=["naive-with-microseconds", "aware"],
)
def test_datetime_to_cookie_format(client, value):
    written = client.to_cookie_format(value)
    assert written == cookies.datetime_to_cookie_format(value)
    if value.tzinfo is None:
        assert written == b"Wed, 02 Jan 2030 03:04:05 GMT"


@pytest.mark.parametrize(
    "raw",
    [b"Wed, 02 Jan 2030 03:04:05 GMT", b"Wed, 02 Jan 2030 03:04:05 +0200",
     b"02 Jan 2030 03:04:05 GMT"],
)
def test_datetime_from_cookie_format(client, raw):
    value = client.from_cookie_format(raw)
    assert value == datetime(2030, 1, 2, 3, 4, 5) and value.tzinfo is None


def test_date_failures_propagate(client):
    with pytest.raises(ValueError):
        client.from_cookie_format(b"garbage")


# --- the record, read in place --------------------------------------------------


def test_fields_after_construction(client):
    name, value, domain, path = "sid", "a b", "example.com", "/p"
    expires = datetime(2030, 1, 2, 3, 4, 5)
    cookie = Cookie(name, value, expires, domain, path, True, False, 3600,
                    CookieSameSiteMode.STRICT)
    fields = client.fields(cookie)
    assert fields == (name, value, expires, domain, path, 1, 0, 3600, 2)
    # The record keeps the very objects it was given.
    for got, given in zip(fields, (name, value, expires, domain, path)):
        assert got is given


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: Cookie("a", "b"), ("a", "b", None, None, None, 0, 0, -1, 0)),
        (lambda: Cookie.__new__(Cookie), (None, None, None, None, None, 0, 0, 0, 0)),
    ],
    ids=["defaults", "bare-allocation"],
)
def test_fields_of_defaults(client, make, expected):
    assert client.fields(make()) == expected


@pytest.mark.parametrize(
    "attribute, assigned, index, stored",
    [
        ("name", "other", 0, "other"),
        ("value", None, 1, None),
        ("value", "é" * 2048, 1, "é" * 2048),
        ("expires", datetime(1999, 12, 31, 23, 59, 59), 2, datetime(1999, 12, 31, 23, 59, 59)),
        ("domain", "", 3, ""),
        ("path", "/x", 4, "/x"),
        ("http_only", "yes", 5, 1),
        ("secure", True, 6, 1),
        ("max_age", -(2**63), 7, -(2**63)),
        ("max_age", 2**63 - 1, 7, 2**63 - 1),
        ("max_age", 3.9, 7, 3),
        ("same_site", CookieSameSiteMode.NONE, 8, 3),
        ("same_site", 7, 8, 7),
        ("same_site", 2**32 - 1, 8, 2**32 - 1),
    ],
)
def test_fields_after_setters(client, attribute, assigned, index, stored):
    cookie = Cookie("n", "v", datetime(2030, 1, 1), "d", "/", False, True, 10, 1)
    before = list(client.fields(cookie))
    setattr(cookie, attribute, assigned)
    before[index] = stored
    assert client.fields(cookie) == tuple(before)


def test_deleted_fields_read_as_none(client):
    cookie = Cookie("n", "v", datetime(2030, 1, 1), "d", "/p")
    del cookie.expires, cookie.domain, cookie.path
    assert client.fields(cookie)[2:5] == (None, None, None)


def test_records_point_at_the_published_method_table(cxx_client):
    class Sub(Cookie):
        pass

    for cookie in (Cookie("a", "b"), Sub("a", "b"), Cookie.__new__(Cookie)):
        assert cxx_client.has_published_method_table(cookie)


# --- clone through the method table --------------------------------------------


class Overriding(Cookie):
    """A subclass whose clone the method table calls unless told to skip it."""

    result = "copy"

    def clone(self):
        if self.result == "copy":
            return Cookie("overridden", "x")
        return self.result


class Plain(Cookie):
    pass


@pytest.mark.parametrize("skip_dispatch", [True, False])
@pytest.mark.parametrize("cls", [Cookie, Plain])
def test_clone_copies_every_field(client, cls, skip_dispatch):
    original = cls("n", "v", datetime(2030, 1, 2), "d", "/p", True, True, 5, 7)
    copy = client.clone(original, skip_dispatch)
    assert type(copy) is Cookie and copy is not original
    assert client.fields(copy) == client.fields(original)


def test_clone_calls_the_override_unless_skipped(client):
    cookie = Overriding("n", "v", path="/p")
    skipped = client.clone(cookie, True)
    assert type(skipped) is Cookie
    assert client.fields(skipped) == client.fields(cookie)
    dispatched = client.clone(cookie, False)
    assert type(dispatched) is Cookie and dispatched.name == "overridden"


def test_override_results_pass_through_the_method_table(client):
    cookie = Overriding("n", "v")
    cookie.result = None
    assert client.clone(cookie, False) is None
    cookie.result = "text"
    with pytest.raises(TypeError, match=f"^Cannot convert str to {COOKIE}$"):
        client.clone(cookie, False)
    assert client.clone(cookie, True) == cookie


def test_clone_failure_propagates(client):
    with pytest.raises(ValueError, match="^A cookie name is required$"):
        client.clone(Cookie.__new__(Cookie), True)


# --- signatures are checked at import --------------------------------------------


def _wrong_signature_message(entry, expected, got):
    return (f"C function glimmering_copper_otter.cookies.{entry} has wrong signature "
            f"(expected {expected}, got {got})")


@pytest.fixture(scope="module")
def wrong_cython_client_path(tmp_path_factory):
    """A Cython client compiled against a copy of cookies.pxd in which
    same_site_mode_from_bytes returns an int."""
    out_dir = tmp_path_factory.mktemp("wrong_cython_client")
    package = out_dir / "include" / "glimmering_copper_otter"
    package.mkdir(parents=True)
    (package / "__init__.pxd").write_text("")
    declaration = "cdef CookieSameSiteMode same_site_mode_from_bytes(bytes raw_value)"
    declarations = (Path(INCLUDE) / "cookies.pxd").read_text()
    assert declaration in declarations
    (package / "cookies.pxd").write_text(
        declarations.replace(declaration, "cdef int same_site_mode_from_bytes(bytes raw_value)"))
    pyx = out_dir / "wrong_client.pyx"
    pyx.write_text(
        "from glimmering_copper_otter.cookies cimport same_site_mode_from_bytes\n"
        "def mode(bytes raw):\n"
        "    return same_site_mode_from_bytes(raw)\n"
    )
    c_file = _cythonize(pyx, out_dir, package.parent)
    return _compile(_tool("gcc"), c_file, "wrong_client", out_dir)


def test_cython_client_with_a_wrong_declaration_is_refused(wrong_cython_client_path):
    with pytest.raises(TypeError) as excinfo:
        _load("wrong_client", wrong_cython_client_path)
    assert str(excinfo.value) == _wrong_signature_message(
        "same_site_mode_from_bytes", "int (PyObject *)", f"{MODE_TYPE} (PyObject *)")


@pytest.mark.parametrize("entry", SIGNATURES)
def test_cxx_import_by_signature_text(cxx_client, entry):
    assert cxx_client.import_entry(entry, SIGNATURES[entry]) is True
    wrong = SIGNATURES[entry].replace("(", "(int, ", 1)
    with pytest.raises(TypeError) as excinfo:
        cxx_client.import_entry(entry, wrong)
    assert str(excinfo.value) == _wrong_signature_message(entry, wrong, SIGNATURES[entry])


def test_cxx_import_of_a_missing_entry(cxx_client):
    with pytest.raises(ImportError) as excinfo:
        cxx_client.import_entry("clone", "PyObject *(PyObject *)")
    assert str(excinfo.value) == (
        "glimmering_copper_otter.cookies does not export expected C function clone")


def test_import_function_releases_what_it_takes(cxx_client):
    table = cookies.__pyx_capi__
    capsule = table["split_value"]
    before = sys.getrefcount(cookies), sys.getrefcount(table), sys.getrefcount(capsule)
    for _ in range(100):
        cxx_client.import_entry("split_value", SIGNATURES["split_value"])
        with pytest.raises(TypeError):
            cxx_client.import_entry("split_value", "PyObject *(void)")
        with pytest.raises(ImportError):
            cxx_client.import_entry("missing", "PyObject *(void)")
    assert (sys.getrefcount(cookies), sys.getrefcount(table), sys.getrefcount(capsule)) == before


# Each case tampers with the cookies module in a fresh interpreter, then
# imports the C++ client, the package's writer module and the Cython client,
# all of which must refuse to load with the same message.
TAMPERING = {
    "swapped-entry": (
        "cookies.__pyx_capi__['split_value'] = cookies.__pyx_capi__['parse_cookie']",
        "TypeError",
        _wrong_signature_message("split_value", SIGNATURES["split_value"],
                                 SIGNATURES["parse_cookie"]),
    ),
    "missing-entry": (
        "del cookies.__pyx_capi__['datetime_from_cookie_format']",
        "ImportError",
        "glimmering_copper_otter.cookies does not export expected C function "
        "datetime_from_cookie_format",
    ),
    "entry-not-a-capsule": (
        "cookies.__pyx_capi__['parse_cookie'] = 1",
        "TypeError",
        "C function glimmering_copper_otter.cookies.parse_cookie is not a capsule (got int)",
    ),
    "missing-table": (
        "del cookies.__pyx_capi__",
        "ImportError",
        "glimmering_copper_otter.cookies has no C function table __pyx_capi__",
    ),
    "cookie-not-a-type": (
        "cookies.Cookie = 1",
        "TypeError",
        "glimmering_copper_otter.cookies.Cookie is not a type object",
    ),
    "cookie-too-small": (
        "cookies.Cookie = type('Cookie', (), {'__slots__': ()})",
        "ValueError",
        re.compile(r"glimmering_copper_otter\.cookies\.Cookie size changed, may indicate binary "
                   r"incompatibility\. Expected \d+ from C header, got 16 from PyObject"),
    ),
}

# Cython reports a missing table in its own words, and a Cython module
# crashes on an entry that is not a capsule, so it is not loaded then.
CYTHON_SAME_MESSAGE = {"swapped-entry", "missing-entry", "cookie-not-a-type", "cookie-too-small"}
CYTHON_NOT_LOADED = {"entry-not-a-capsule"}


@pytest.mark.parametrize("case", TAMPERING)
def test_import_refuses_a_tampered_interface(cxx_client_path, cython_client, case):
    tamper, error, message = TAMPERING[case]
    names = ["cxx_client", "writer"] + ["cython_client"] * (case not in CYTHON_NOT_LOADED)
    modules = {"cxx_client": str(cxx_client_path), "cython_client": cython_client.__file__}
    process = run_python(
        f"""
        import importlib, importlib.util, sys
        from glimmering_copper_otter import cookies
        {tamper}
        def load(name):
            if name == "writer":
                return importlib.import_module("glimmering_copper_otter.writer")
            spec = importlib.util.spec_from_file_location(name, {modules!r}[name])
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        for name in {names!r}:
            try:
                load(name)
            except Exception as error:
                print(name, type(error).__name__, error, sep="|")
            else:
                print(name, "loaded", sep="|")
        """
    )
    results = [line.split("|") for line in process.stdout.splitlines()]
    assert [name for name, *_ in results] == names
    for name, got_error, got_message in results:
        if name == "cython_client" and case not in CYTHON_SAME_MESSAGE:
            assert got_error != "loaded"
            continue
        assert got_error == error, (name, got_error, got_message)
        if isinstance(message, str):
            assert got_message == message, name
        else:
            assert message.fullmatch(got_message), (name, got_message)


# --- the writer module's entry ----------------------------------------------------

WRITER_SIGNATURE = (
    "PyObject *(struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *, int, PyObject *)")


def test_clients_ask_for_the_writer_entry_by_its_signature_text(cxx_client_path, cython_client):
    # With the capsule renamed, each client reports the text it asks for:
    # for the Cython client, the one Cython derives from writer.pxd.
    assert f'capsule object "{WRITER_SIGNATURE}"' in repr(writer.__pyx_capi__["write_set_cookie"])
    modules = {"cxx_client": str(cxx_client_path), "cython_client": cython_client.__file__}
    process = run_python(
        f"""
        import ctypes, importlib.util
        from glimmering_copper_otter import writer
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        other = ctypes.c_char_p(b"PyObject *(void)")
        writer.__pyx_capi__["write_set_cookie"] = new(1, other, None)
        for name, path in {modules!r}.items():
            spec = importlib.util.spec_from_file_location(name, path)
            try:
                spec.loader.exec_module(importlib.util.module_from_spec(spec))
            except TypeError as error:
                print(error)
        """
    )
    message = ("C function glimmering_copper_otter.writer.write_set_cookie has wrong signature "
               f"(expected {WRITER_SIGNATURE}, got PyObject *(void))")
    assert process.stdout.splitlines() == [message, message]


@pytest.mark.parametrize(
    "cookie, partitioned, priority",
    [
        (Cookie("a", "b"), True, "high"),
        (Cookie("a", "b"), False, None),
        (Cookie("s", "v w", path="/", http_only=True, same_site=CookieSameSiteMode.LAX), True,
         "LOW"),
        (Cookie("s", "v", same_site=CookieSameSiteMode.NONE), False, "Medium"),
    ],
)
def test_write_set_cookie(client, cookie, partitioned, priority):
    assert client.write_set(cookie, partitioned, priority) == writer.write_cookie_for_response(
        cookie, partitioned=partitioned, priority=priority)


def test_write_set_cookie_worked_example(client):
    assert client.write_set(Cookie("a", "b"), True, "high") == (
        b"a=b; Secure; Partitioned; Priority=High")


@pytest.mark.parametrize(
    "cookie, priority, error, message",
    [
        (None, None, TypeError, f"Cannot convert NoneType to {COOKIE}"),
        (Cookie("a", "b"), "urgent", ValueError,
         "Invalid cookie priority 'urgent': expected 'low', 'medium' or 'high' "
         "(in any letter case) or None"),
        (Cookie("a", "b"), 1, TypeError,
         "Argument 'priority' has incorrect type (expected str or None, got int)"),
        (Cookie.__new__(Cookie), None, TypeError, None),
    ],
    ids=["none-cookie", "bad-priority", "priority-not-text", "bare-allocation"],
)
def test_write_set_cookie_failures(client, cookie, priority, error, message):
    with pytest.raises(error) as excinfo:
        client.write_set(cookie, True, priority)
    if message is not None:
        assert str(excinfo.value) == message


def test_cxx_writer_import_by_signature_text(cxx_client):
    assert cxx_client.import_writer_entry("write_set_cookie", WRITER_SIGNATURE) is True
    wrong = WRITER_SIGNATURE.replace(", int,", ",")
    with pytest.raises(TypeError) as excinfo:
        cxx_client.import_writer_entry("write_set_cookie", wrong)
    assert str(excinfo.value) == (
        "C function glimmering_copper_otter.writer.write_set_cookie has wrong signature "
        f"(expected {wrong}, got {WRITER_SIGNATURE})")
    with pytest.raises(ImportError) as excinfo:
        cxx_client.import_writer_entry("write_cookie_for_response", WRITER_SIGNATURE)
    assert str(excinfo.value) == (
        "glimmering_copper_otter.writer does not export expected C function "
        "write_cookie_for_response")


# --- the request-header module's __pyx_capi__ -------------------------------------


def test_cookie_header_declarations_are_installed():
    include = Path(INCLUDE)
    assert (include / "cookie_header.h").is_file()
    assert (include / "cookie_header.pxd").is_file()


@pytest.mark.parametrize(
    "raw, pairs",
    [
        (b"a=1; b=%41; a=2", [("a", "1"), ("b", "A"), ("a", "2")]),
        ("\u00e9=\xe9", [("\u00e9", "\u00e9")]),
        ([b"a=1", "b"], [("a", "1"), ("", "b")]),
    ],
)
def test_cookie_header_entries(client, raw, pairs):
    assert client.header_pairs(raw) == pairs
    assert client.header_dict(raw) == dict(reversed(pairs))
    assert client.header_write(dict(pairs)) == cookie_header.write_cookie_header(dict(pairs))


@pytest.mark.parametrize("entry", ["header_dict", "header_pairs"])
def test_cookie_header_entries_check_their_argument(client, entry):
    with pytest.raises(TypeError) as excinfo:
        getattr(client, entry)(1)
    assert str(excinfo.value) == "Expected bytes, str, or a list or tuple of them, got int"
    with pytest.raises(TypeError, match="^Expected a mapping or an iterable of .name, value. "
                       "pairs, got int$"):
        client.header_write(1)
