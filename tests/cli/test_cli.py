"""The command line, ``python -m glimmering_copper_otter``, run as a separate
process from the root of the source tree (the checkout or the unpacked sdist),
where the source package under src/ must not shadow the installed one."""

import io
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from glimmering_copper_otter import __version__, cli as cli_module

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
    "The length of the cookie value exceeds the maximum "
    "length of 4096 bytes, and it would be ignored or truncated by clients. "
    "See: https://datatracker.ietf.org/doc/html/rfc6265#section-6.1"
)

BARE_JSON = {
    "name": "a", "value": "", "expires": None, "domain": None, "path": None,
    "http_only": False, "secure": False, "max_age": -1, "same_site": "UNDEFINED",
    "header": "a=",
}


SOURCE_ROOT = Path(__file__).resolve().parents[2]
PROG = "python -m glimmering_copper_otter"


@pytest.fixture
def cli():
    """Runs the command line with arguments (str or bytes) and stdin bytes."""

    def run(*args, stdin=b"", encoding="utf-8"):
        env = dict(os.environ, PYTHONIOENCODING=encoding)
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
    assert process.stderr == "error: '--json': the header does not begin with name=value\n"


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
    process = cli("--json", "a=", "abc", "b=1; Max-Age=x", "b=1; Max-Age=99999999999999999999",
                  "c=d", "c=d; Expires=soon", "=v", "\x1b[31m")
    assert process.returncode == 1
    assert [cookie["header"] for cookie in json_lines(process.stdout)] == ["a=", "c=d"]
    assert process.stderr.splitlines() == [
        "error: 'abc': the header does not begin with name=value",
        "error: 'b=1; Max-Age=x': Max-Age is not a whole number of seconds",
        "error: 'b=1; Max-Age=99999999999999999999': Max-Age is out of range",
        "error: 'c=d; Expires=soon': Expires is not a date",
        "error: '=v': A cookie name is required",
        "error: '\\x1b[31m': the header does not begin with name=value",
    ]


def test_latin1_bytes_are_read_as_check_reads_them(cli):
    process = cli("--json", b"n=\xff", b"n=\xc3\xa9; Foo=\xff")
    assert (process.returncode, process.stderr) == (0, "")
    assert [(c["value"], c["header"]) for c in json_lines(process.stdout)] == [
        ("\xff", "n=%C3%BF"), ("\xe9", "n=%C3%A9")]


def test_value_too_long(cli):
    header = b"a=" + b"x" * 4097
    process = cli("--json", header)
    assert (process.returncode, process.stdout) == (1, "")
    assert process.stderr == f"error: '{header.decode()}': {TOO_LONG}\n"


# -- build -------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, header",
    [
        (["a"], "a=; Path=/"),
        (
            ["sid", "a b;c", "--expires", "2030-01-02T03:04:05", "--max-age", "3600",
             "--domain", "example.com", "--path", "/x", "--http-only", "--secure",
             "--same-site", "lax", "--priority", "HIGH"],
            "sid=a%20b%3Bc; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
            "Domain=example.com; Path=/x; HttpOnly; Secure; SameSite=Lax; Priority=High",
        ),
        # An offset is converted to UTC: the header's date is always GMT.
        (["k", "v", "--expires", "2030-01-02T05:04:05+02:00", "--path", ""],
         "k=v; Expires=Wed, 02 Jan 2030 03:04:05 GMT"),
        (["k", "v", "--expires", "Wed, 02 Jan 2030 03:04:05 GMT", "--max-age", "0"],
         "k=v; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=0; Path=/"),
        (["k", "v", "--max-age", "30d"], "k=v; Max-Age=2592000; Path=/"),
        (["k", "v", "--max-age", "2H"], "k=v; Max-Age=7200; Path=/"),
        (["k", "v", "--same-site", "Strict"], "k=v; Path=/; SameSite=Strict"),
        (["k", "v", "--same-site", "none", "--partitioned"],
         "k=v; Path=/; Secure; SameSite=None; Partitioned"),
        (["k!", "v~", "--raw"], "k!=v~; Path=/"),
        (["k", "v", "--encoding", "percent"], "k=v; Path=/"),
        (["__Host-k", "v", "--delete"], "__Host-k=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; "
         "Max-Age=0; Path=/; Secure"),
        (["\xe9", "\xfc", "--path", "/\xdf"], "%C3%A9=%C3%BC; Path=/%C3%9F"),
    ],
)
def test_build(cli, args, header):
    process = cli("build", *args)
    assert (process.returncode, process.stderr) == (0, "")
    assert process.stdout == header + "\n"


BUILD_ERROR = "python -m glimmering_copper_otter build: error: "


@pytest.mark.parametrize(
    "args, status, message",
    [
        ([], 2, BUILD_ERROR + "the following arguments are required: NAME"),
        (["a", "b", "--expires", "soon"], 2,
         BUILD_ERROR + "argument --expires: not an ISO date or a cookie date: 'soon'"),
        (["a", "b", "--max-age", "-5"], 2, BUILD_ERROR + "argument --max-age: expected "
         "seconds, or a number followed by s, m, h or d (such as 30d), not '-5'"),
        (["a", "b", "--same-site", "loose"], 2, BUILD_ERROR + "argument --same-site: invalid "
         "choice: 'loose' (choose from 'lax', 'strict', 'none')"),
        (["a", "b", "--bogus\x1b[2J"], 2,
         BUILD_ERROR + "unrecognized arguments: --bogus\\x1b[2J"),
        (["", "b"], 1, "error: name must not be empty"),
        (["a b", "c", "--raw"], 1, "error: encoding='raw' writes the name unchanged, and a "
         "name must be an HTTP token without '%': ' ' (U+0020) at position 1 is not; use "
         "encoding='auto' or 'percent'"),
        (["__Host-a", "b", "--domain", "example.com"], 1, "error: InvalidPrefix: a __Host- "
         "name needs Secure from a secure origin, no Domain and Path=/: a browser refuses "
         "the cookie"),
        (["a", "x" * 4096], 1, "error: NameValuePairExceedsMaxSize: the name and value are "
         "4097 bytes, over the 4096-byte limit: a browser refuses the cookie"),
    ],
    ids=["missing-name", "bad-date", "bad-max-age", "bad-same-site", "unknown-option",
         "empty-name", "raw-refused", "browser-refuses", "too-big"],
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


# A first word that is no command and no header (no "="), close to a command.
MISTYPED = {("buidl", "x", "1"): "buidl is no command and no header (no '='): did you mean build?",
            ("chek", "a=b"): "chek is no command and no header (no '='): did you mean check?",
            ("JAR",): "JAR is no command and no header (no '='): did you mean jar?"}


@pytest.mark.parametrize("args", MISTYPED)
def test_a_mistyped_command_gets_suggestions(cli, args):
    process = cli(*args)
    assert (process.returncode, process.stdout) == (2, "")
    assert process.stderr == f"{PROG}: error: {MISTYPED[args]}\n"
    assert "did you mean" not in cli("sid").stderr  # far from every command: a header


def test_help_names_every_form(cli):
    process = cli("--help")
    assert process.returncode == 0
    assert process.stdout.startswith(
        "usage: python -m glimmering_copper_otter [parse] [--json] [HEADER ...]\n"
        "       python -m glimmering_copper_otter build NAME [VALUE] [options]\n"
        "       python -m glimmering_copper_otter check [--url URL] [--json] [HEADER ...]\n"
        "       python -m glimmering_copper_otter request [--json] [HEADER ...]\n"
        "       python -m glimmering_copper_otter jar --file F COMMAND ...\n"
        "       python -m glimmering_copper_otter --version\n"
    )


# -- what every command shares --------------------------------------------------


@pytest.mark.parametrize("command", [[], ["build"], ["check"], ["request"]])
def test_version(cli, command):
    process = cli(*command, "--version")
    assert (process.returncode, process.stdout) == (0, f"{PROG} {__version__}\n")


@pytest.mark.parametrize("command", [[], ["parse"], ["check"], ["request"]])
def test_help_at_a_terminal_instead_of_waiting(monkeypatch, capsys, command):
    class Terminal(io.BytesIO):
        def isatty(self):
            return True
    monkeypatch.setattr(sys, "stdin", Terminal())
    assert cli_module.main(command) == 0
    assert capsys.readouterr().out.startswith("usage: ")


@pytest.mark.parametrize(
    "args, field, value, note",
    [
        (["--json", "Set-Cookie: a=b"], "header", "a=b", "Set-Cookie"),
        (["request", "--json", "COOKIE: a=1"], "pairs", [["a", "1"]], "Cookie"),
        (["check", "--json", "Set-Cookie:\ta=b"], "header", "a=b", "Set-Cookie"),
    ],
)
def test_pasted_header_names_are_removed(cli, args, field, value, note):
    process = cli(*args)
    assert process.returncode == 0
    assert json_lines(process.stdout)[0][field] == value
    assert process.stderr == f"note: removed the pasted '{note}:' before the header\n"


def test_unencodable_text_is_escaped(cli):
    process = cli("a=%C3%A9%E2%9C%93", encoding="ascii")
    assert (process.returncode, process.stderr) == (0, "")
    assert "value      \\xe9\\u2713\n" in process.stdout


def test_a_closed_pipe_ends_the_command_quietly(tmp_path):
    # The reader takes one line and goes away, as `| head -1` does.
    headers = tmp_path / "headers"
    headers.write_bytes(b"".join(b"c%d=v; Path=/; HttpOnly\n" % i for i in range(5000)))
    with headers.open("rb") as stdin:
        process = subprocess.Popen([sys.executable, "-m", "glimmering_copper_otter"],
                                   stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   cwd=SOURCE_ROOT)
    assert process.stdout.readline() == b"name       c0\n"
    process.stdout.close()
    assert process.wait(timeout=120) == -signal.SIGPIPE
    assert process.stderr.read() == b""


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
    assert (process.returncode, process.stdout) == (0, "a=b; Path=/\n")


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
    built = cli("build", "s d", "x;y", "--path", "").stdout.rstrip("\n")
    process = cli("request", "--json", built)
    assert json_lines(process.stdout)[0]["pairs"] == [["s d", "x;y"]]
