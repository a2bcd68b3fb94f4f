"""The command line, ``python -m glimmering_copper_otter``, run as a separate
process from the root of the source tree (the checkout or the unpacked sdist),
where the source package under src/ must not shadow the installed one."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

FULL_HEADER = ("sid=a%20b; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
               "Domain=example.com; Path=/; HttpOnly; SameSite=Lax")

FULL_TABLE = """\
name       sid
value      a b
expires    2030-01-02T03:04:05
domain     example.com
path       /
http_only  True
secure     False
max_age    3600
same_site  LAX
header     sid=a%20b; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; \
Domain=example.com; Path=/; HttpOnly; SameSite=Lax
"""

TOO_LONG = (
    "CookieValueExceedsMaximumLength: The length of the cookie value exceeds the maximum "
    "length of 4096 bytes, and it would be ignored or truncated by clients. "
    "See: https://datatracker.ietf.org/doc/html/rfc6265#section-6.1"
)

BARE_JSON = {
    "name": "a", "value": "", "expires": None, "domain": None, "path": None,
    "http_only": False, "secure": False, "max_age": -1, "same_site": "UNDEFINED",
    "header": "a=",
}


SOURCE_ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture
def cli():
    """Runs the command line with arguments (str or bytes) and stdin bytes."""

    def run(*args, stdin=b""):
        env = dict(os.environ, PYTHONIOENCODING="utf-8")
        process = subprocess.run(
            [sys.executable, "-m", "glimmering_copper_otter", *args],
            input=stdin, capture_output=True, cwd=SOURCE_ROOT, env=env, timeout=120,
        )
        process.stdout = process.stdout.decode()
        process.stderr = process.stderr.decode()
        return process

    return run


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


# -- parse -------------------------------------------------------------------


@pytest.mark.parametrize("command", [[], ["parse"]], ids=["default", "explicit"])
def test_table(cli, command):
    process = cli(*command, "sid=a%20b; Path=/; Domain=example.com; HttpOnly; "
                  "SameSite=lax; Max-Age=3600; Expires=Wed, 02 Jan 2030 03:04:05 GMT")
    assert (process.returncode, process.stderr) == (0, "")
    assert process.stdout == FULL_TABLE


def test_tables_are_separated_and_ambiguous_text_is_quoted(cli):
    process = cli("a=", "b=-; Domain= d ", "c=%1b[31mred")
    assert (process.returncode, process.stderr) == (0, "")
    first, second, third = process.stdout.split("\n\n")
    assert "value      ''\n" in first
    assert "max_age    -1\n" in first
    assert "same_site  UNDEFINED\n" in first
    # "-" would read as missing; surrounding blanks or an escape sequence
    # would not show as they are.
    assert "value      '-'\n" in second
    assert "domain     ' d '\n" in second
    assert "value      '\\x1b[31mred'\n" in third
    assert "header     c=%1B%5B31mred\n" in third
    assert "\x1b" not in process.stdout


def test_json(cli):
    process = cli("--json", "a=", "sid=x; SameSite=Strict; Expires=02 Jan 2030 03:04:05 +0200")
    assert (process.returncode, process.stderr) == (0, "")
    assert json_lines(process.stdout) == [
        BARE_JSON,
        {
            "name": "sid", "value": "x", "expires": "2030-01-02T03:04:05", "domain": None,
            "path": None, "http_only": False, "secure": False, "max_age": -1,
            "same_site": "STRICT",
            "header": "sid=x; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Secure; SameSite=Strict",
        },
    ]


def test_options_and_headers_may_be_intermixed(cli):
    process = cli("a=", "--json", "c=d")
    assert process.returncode == 0
    assert [cookie["header"] for cookie in json_lines(process.stdout)] == ["a=", "c=d"]


@pytest.mark.parametrize(
    "args, names",
    [
        (["--json", "--", "-a=b", "--json"], ["-a"]),
        (["parse", "c=d", "--json", "--", "-a=b", "--json"], ["c", "-a"]),
    ],
)
def test_everything_after_double_dash_is_a_header(cli, args, names):
    process = cli(*args)
    assert process.returncode == 1
    assert [cookie["name"] for cookie in json_lines(process.stdout)] == names
    assert process.stderr == (
        "error: b'--json': ValueError: Invalid name=value fragment: b'--json'\n"
    )


def test_stdin_one_header_per_line(cli):
    stdin = b"a=\n\nc=d;path=/x\r\nsid=a%20b; SameSite=None\n"
    process = cli("--json", stdin=stdin)
    assert (process.returncode, process.stderr) == (0, "")
    assert [cookie["header"] for cookie in json_lines(process.stdout)] == [
        "a=", "c=d; Path=/x", "sid=a%20b; Secure; SameSite=None",
    ]


def test_stdin_table(cli):
    process = cli(stdin=FULL_HEADER.encode() + b"\n")
    assert (process.returncode, process.stdout) == (0, FULL_TABLE)


def test_bad_headers_are_reported_and_the_rest_are_processed(cli):
    process = cli("--json", "a=", "abc", "b=1; Max-Age=x", "c=d", "=v")
    assert process.returncode == 1
    assert [cookie["header"] for cookie in json_lines(process.stdout)] == ["a=", "c=d"]
    assert process.stderr.splitlines() == [
        "error: b'abc': ValueError: Invalid name=value fragment: b'abc'",
        "error: b'b=1; Max-Age=x': ValueError: invalid literal for int() with base 10: b'x'",
        "error: b'=v': ValueError: A cookie name is required",
    ]


def test_non_utf8_bytes_reach_the_parser(cli):
    process = cli("--json", b"n=\xff", b"n=v; Foo=\xff")
    assert process.returncode == 1
    assert process.stderr == (
        "error: b'n=\\xff': UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff "
        "in position 0: invalid start byte\n"
    )
    assert [cookie["header"] for cookie in json_lines(process.stdout)] == ["n=v"]

    process = cli(stdin=b"a=b\nx=y; Path=/\xfe\n")
    assert process.returncode == 1
    assert process.stderr.startswith("error: b'x=y; Path=/\\xfe': UnicodeDecodeError: ")
    assert process.stdout.startswith("name       a\n")


def test_value_too_long(cli):
    header = b"a=" + b"x" * 4097
    process = cli("--json", header)
    assert (process.returncode, process.stdout) == (1, "")
    assert process.stderr == f"error: {header!r}: {TOO_LONG}\n"


# -- build -------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, header",
    [
        (["a", ""], "a="),
        (
            ["sid", "a b;c", "--expires", "2030-01-02T03:04:05", "--max-age", "3600",
             "--domain", "example.com", "--path", "/", "--http-only", "--secure",
             "--same-site", "lax"],
            "sid=a%20b%3Bc; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
            "Domain=example.com; Path=/; HttpOnly; Secure; SameSite=Lax",
        ),
        # An offset is converted to UTC: the header's date is always GMT.
        (["k", "v", "--expires", "2030-01-02T05:04:05+02:00"],
         "k=v; Expires=Wed, 02 Jan 2030 03:04:05 GMT"),
        (["k", "v", "--expires", "Wed, 02 Jan 2030 03:04:05 GMT"],
         "k=v; Expires=Wed, 02 Jan 2030 03:04:05 GMT"),
        (["k", "v", "--expires", "2030-01-02"], "k=v; Expires=Wed, 02 Jan 2030 00:00:00 GMT"),
        (["k", "v", "--max-age", "0"], "k=v; Max-Age=0"),
        (["k", "v", "--max-age", "-5"], "k=v"),
        (["k", "v", "--same-site", "Strict"], "k=v; Secure; SameSite=Strict"),
        (["k", "v", "--same-site", "none"], "k=v; Secure; SameSite=None"),
        (["k", "v", "--same-site", "undefined", "--secure"], "k=v; Secure"),
        (["é", "ü", "--path", "/ß"], "%C3%A9=%C3%BC; Path=/ß"),
    ],
)
def test_build(cli, args, header):
    process = cli("build", *args)
    assert (process.returncode, process.stderr) == (0, "")
    assert process.stdout == header + "\n"


def test_built_header_parses_back(cli):
    built = cli("build", "sid", "x y", "--path", "/app", "--max-age", "60", "--http-only")
    parsed = cli("--json", built.stdout.rstrip("\n"))
    assert json_lines(parsed.stdout) == [{
        "name": "sid", "value": "x y", "expires": None, "domain": None, "path": "/app",
        "http_only": True, "secure": False, "max_age": 60, "same_site": "UNDEFINED",
        "header": built.stdout.rstrip("\n"),
    }]


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["a"], 2, "python -m glimmering_copper_otter build: error: "
         "the following arguments are required: VALUE"),
        (["a", "b", "--expires", "soon"], 2, "python -m glimmering_copper_otter build: "
         "error: argument --expires: not an ISO date or a cookie date: 'soon'"),
        (["a", "b", "--max-age", "x"], 2, "python -m glimmering_copper_otter build: "
         "error: argument --max-age: invalid int value: 'x'"),
        (["a", "b", "--same-site", "loose"], 2, "python -m glimmering_copper_otter build: "
         "error: argument --same-site: invalid choice: 'loose' "
         "(choose from 'lax', 'strict', 'none', 'undefined')"),
        (["a", "b", "--bogus"], 2, "python -m glimmering_copper_otter build: "
         "error: unrecognized arguments: --bogus"),
        (["", "b"], 1, "error: ValueError: A cookie name is required"),
        (["a", "b", "--max-age", str(2**63)], 1, "error: OverflowError: int too big to convert"),
        (["a", "x" * 4097], 1, f"error: {TOO_LONG}"),
    ],
    ids=["missing-value", "bad-date", "bad-max-age", "bad-same-site", "unknown-option",
         "empty-name", "max-age-overflow", "value-too-long"],
)
def test_bad_build_input(cli, args, status, message):
    process = cli("build", *args)
    assert (process.returncode, process.stdout) == (status, "")
    assert process.stderr == message + "\n"


def test_unknown_parse_option_is_an_argument_error(cli):
    process = cli("--bogus", "a=b")
    assert (process.returncode, process.stdout) == (2, "")
    assert process.stderr == (
        "python -m glimmering_copper_otter: error: unrecognized arguments: --bogus\n"
    )


def test_help_names_both_forms(cli):
    process = cli("--help")
    assert process.returncode == 0
    assert process.stdout.startswith(
        "usage: python -m glimmering_copper_otter [parse] [--json] [HEADER ...]\n"
        "       python -m glimmering_copper_otter build NAME VALUE [options]\n"
        "       python -m glimmering_copper_otter check [--url URL] [--json] [HEADER ...]\n"
        "       python -m glimmering_copper_otter request [--json] [HEADER ...]\n"
    )


# -- check -------------------------------------------------------------------

URL = "https://www.example.test/a/b"

CHECK_TABLE = """\
header       a=b; Path=/x
refused      False
name         a
value        b
domain       www.example.test
host_only    True
path         /x
expires      -
secure       False
http_only    False
same_site    UNDEFINED
partitioned  False
priority     -
expired      False
findings     -
"""


@pytest.fixture
def browser():
    return pytest.importorskip(
        "glimmering_copper_otter.browser",
        reason="glimmering_copper_otter.browser is not built in this checkout")


def stored_view(cookie):
    if cookie is None:
        return None
    fields = {name: getattr(cookie, name) for name in (
        "name", "value", "domain", "host_only", "path", "expires", "secure", "http_only",
        "same_site", "partitioned", "priority", "expired")}
    fields["expires"] = None if cookie.expires is None else cookie.expires.isoformat()
    fields["same_site"] = cookie.same_site.name
    return fields


def test_check_table(cli, browser):
    process = cli("check", "--url", URL, "a=b; Path=/x")
    assert (process.returncode, process.stderr) == (0, "")
    assert process.stdout == CHECK_TABLE


# Headers whose outcome does not depend on the instant of the call.
CHECK_HEADERS = [
    "a=b; Path=/x",
    "a=b; SameSite=None",
    "__Host-a=b; Secure; Path=/",
    "__Host-a=b; Secure",
    "a=b; Max-Age=0",
    "a=b; Secure; Partitioned; Priority=High",
    "a=b; Path=/a b; Domain=other.test",
]


@pytest.mark.parametrize("url", [URL, None], ids=["url", "no-url"])
def test_check_json_is_what_the_module_says(cli, browser, url):
    process = cli("check", "--json", *(["--url", url] if url else []), *CHECK_HEADERS)
    assert process.stderr == ""
    results = json_lines(process.stdout)
    assert [result["header"] for result in results] == CHECK_HEADERS
    refused = False
    for result in results:
        raw = result["header"].encode()
        cookie = browser.read_set_cookie(raw, url)
        assert result["cookie"] == stored_view(cookie)
        assert result["refused"] is (cookie is None)
        assert result["findings"] == browser.check(raw, url)
        refused = refused or cookie is None
    assert refused and process.returncode == 1


@pytest.mark.parametrize("header", ["a=b; Max-Age=0", "a=b; Expires=Thu, 01 Jan 1970 00:00:00 GMT"])
def test_check_deletion_is_not_a_refusal(cli, browser, header):
    process = cli("check", "--json", "--url", URL, header)
    assert (process.returncode, process.stderr) == (0, "")
    [result] = json_lines(process.stdout)
    assert result["refused"] is False and result["cookie"]["expired"] is True
    assert result["findings"]


def test_check_reads_stdin_and_takes_headers_after_double_dash(cli, browser):
    process = cli("check", "--json", stdin=b"a=b\n\n-c=d\n")
    assert [result["header"] for result in json_lines(process.stdout)] == ["a=b", "-c=d"]
    process = cli("check", "--json", "--", "-c=d", "--json")
    assert [result["header"] for result in json_lines(process.stdout)] == ["-c=d", "--json"]


@pytest.mark.parametrize("url", ["ftp://www.example.test/", "/relative"])
def test_check_bad_url(cli, browser, url):
    process = cli("check", "--url", url, "a=b")
    assert (process.returncode, process.stdout) == (2, "")
    assert process.stderr.startswith(
        "python -m glimmering_copper_otter check: error: argument --url: ")


def test_check_without_the_browser_module(tmp_path):
    code = ("import sys; sys.modules['glimmering_copper_otter.browser'] = None\n"
            "from glimmering_copper_otter.cli import main\n"
            "sys.exit(main(['check', 'a=b']))\n")
    process = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             cwd=tmp_path, timeout=120)
    assert (process.returncode, process.stdout) == (1, "")
    assert process.stderr.startswith(
        "error: the check command needs glimmering_copper_otter.browser (ModuleNotFoundError: ")
    # The other commands do not need it.
    code = code.replace("['check', 'a=b']", "['build', 'a', 'b']")
    process = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             cwd=tmp_path, timeout=120)
    assert (process.returncode, process.stdout) == (0, "a=b\n")


# -- request -----------------------------------------------------------------


def test_request_table(cli):
    process = cli("request", "sid=a%20b; theme=dark; token; x=", 'a=1; a="2"')
    assert (process.returncode, process.stderr) == (0, "")
    assert process.stdout == "sid    a b\ntheme  dark\n''     token\nx      ''\n\na  1\na  2\n"


@pytest.mark.parametrize(
    "args, stdin, expected",
    [
        (["request", "--json", "a=%41; b", b"e=\xe9"], b"",
         [{"header": "a=%41; b", "pairs": [["a", "A"], ["", "b"]]},
          {"header": "e=\u00e9", "pairs": [["e", "\u00e9"]]}]),
        (["request", "--json"], b"a=1\n\n;;\nb=%E9\r\n",
         [{"header": "a=1", "pairs": [["a", "1"]]}, {"header": ";;", "pairs": []},
          {"header": "b=%E9", "pairs": [["b", "\ufffd"]]}]),
    ],
    ids=["arguments", "stdin"],
)
def test_request_json(cli, args, stdin, expected):
    process = cli(*args, stdin=stdin)
    assert (process.returncode, process.stderr) == (0, "")
    assert json_lines(process.stdout) == expected


def test_request_reads_what_build_wrote(cli):
    built = cli("build", "s d", "x;y").stdout.rstrip("\n")
    process = cli("request", "--json", built)
    assert json_lines(process.stdout)[0]["pairs"] == [["s d", "x;y"]]
