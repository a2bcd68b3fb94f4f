"""The jar command, one session of commands on one file."""

import json
import subprocess
import sys
import time

import pytest

from glimmering_copper_otter import cli
from glimmering_copper_otter.jar import CookieJar

LATER = int(time.time()) + 3600
TXT = (b"# Netscape HTTP Cookie File\n.example.test\tTRUE\t/\tFALSE\t%d\tt\t1\n"
       b"example.test\tFALSE\t/\tFALSE\t0\ts\t2\nbroken line\n" % LATER)
# (arguments after "jar --file F", exit status, what stdout holds, what stderr holds)
SESSION = [
    (["set", "http://example.test/", "a=1; Max-Age=600", "b=2; Secure"], 1,
     "name  value  domain", "refused: 'b=2; Secure'"),
    (["header", "http://example.test/"], 0, "a=1\n", ""),
    (["import", "IN"], 0, "imported 2 cookie(s); 0 expired, 1 line(s) not read",
     "line 4: Unreadable: 1 TAB-separated fields, not 7\n1 session cookie(s) not written"),
    (["--json", "header", "http://www.example.test/"], 0,
     '{"url": "http://www.example.test/", "header": "t=1"}', ""),
    (["--json", "list"], 0, '"name": "t", "value": "1", "domain": "example.test", '
     '"host_only": false', ""),
    (["list", "http://other.test/"], 0, "", ""),
    (["export"], 0, ".example.test\tTRUE\t/\tFALSE\t%d\tt\t1" % LATER, ""),
    (["export", "--format", "json"], 0, '"format": "glimmering_copper_otter cookie jar"', ""),
    (["clear"], 0, "removed 2 cookie(s)", ""),
    (["--json", "list"], 0, "", ""),
    (["--name", "spider", "set", "http://example.test/", "n=1; Max-Age=600"], 0, "n     1", ""),
    (["header", "--name", "spider", "http://example.test/"], 0, "n=1\n", ""),
    (["header", "http://example.test/"], 0, "\n", ""),
    (["set", "http://example.test/", "Set-Cookie: q=1; Max-Age=600", "__Host-r=1"], 1, "q     1",
     "removed the pasted 'Set-Cookie:'"),
    (["set", "http://example.test/", "__Host-r=1"], 1, "",
     "refused: '__Host-r=1': InvalidPrefix: a __Host- name needs Secure"),
    (["import", "--strict", "IN"], 1, "", "IN, line 4: Unreadable: 1 TAB-separated fields"),
    (["set", "http://example.test/"], 2, "", "the following arguments are required"),
    # A document that reads as nothing: an error line, never a traceback.
    (["import", "DEEP"], 1, "", "error: not a document this reader takes: arrays and objects"),
    (["import", "NONE"], 1, "imported 0 cookie(s); 0 expired, 1 line(s) not read",
     "NONE, line 1: Unreadable: 1 TAB-separated fields"),
]


@pytest.fixture
def jar_command(tmp_path, capsys):
    inputs = {"IN": TXT, "DEEP": b"{\"cookies\": " + b"[" * 100000, "NONE": b"broken line\n"}
    for name, data in inputs.items():
        (tmp_path / name).write_bytes(data)

    def run(arguments, path=tmp_path / "jar.db"):
        arguments = [str(tmp_path / a) if a in inputs else a for a in arguments]
        try:
            status = cli.main(["jar", "--file", str(path), *arguments])
        except SystemExit as exit:
            status = exit.code
        out, err = capsys.readouterr()
        for name in inputs:
            err = err.replace(str(tmp_path / name), name)
        return status, out, err

    return run


def test_a_session_of_commands(jar_command):
    for arguments, status, out, err in SESSION:
        result = jar_command(arguments)
        assert result[0] == status, (arguments, result)
        assert out in result[1] and (out or not result[1]), (arguments, result)
        assert err in result[2], (arguments, result)


def test_a_file_that_is_not_a_jar(jar_command, tmp_path):
    (tmp_path / "notes.txt").write_text("not a database, but long enough to be read " * 50)
    status, out, err = jar_command(["list"], path=tmp_path / "notes.txt")
    assert (status, out) == (1, "")
    assert err == f"error: {tmp_path / 'notes.txt'}: not a cookie store (not an SQLite " \
        "database); the file was left untouched\n"


def test_the_command_line_reaches_the_jar_command():
    process = subprocess.run([sys.executable, "-m", "glimmering_copper_otter", "jar", "--help"],
                             capture_output=True, text=True, timeout=60)
    assert process.returncode == 0 and "export" in process.stdout


def test_a_command_that_fails_on_its_arguments_makes_no_file(jar_command, tmp_path):
    status, out, err = jar_command(["header", "example.test"], path=tmp_path / "new.db")
    assert (status, out) == (1, "") and "must be an absolute http(s)" in err
    assert not (tmp_path / "new.db").exists()


@pytest.mark.parametrize("format", ["playwright", "cdp", "extension", "webdriver"])
def test_import_and_export_an_automation_tools_cookies(format, jar_command, tmp_path):
    source = CookieJar()
    source.set_cookie("a=1; Secure; SameSite=Strict", "https://example.test/")
    source.set_cookie("b=2; Domain=example.test; HttpOnly; Max-Age=600", "https://example.test/")
    document = source.dump_cookies(format=format)[0]
    cookies = document["cookies"] if format == "playwright" else document
    cookies.append(dict(cookies[0], value="a;b"))  # refused
    (tmp_path / "in.json").write_text(json.dumps(document))
    keep = ["--keep-session-cookies"]
    status, out, err = jar_command([*keep, "import", "--format", format, str(tmp_path / "in.json")])
    assert (status, out) == (0, "imported 2 cookie(s); 0 expired, 1 cookie(s) not read\n")
    assert "in.json, cookie 2: DisallowedCharacter: " in err
    assert jar_command([*keep, "set", "https://example.test/", "c=3"])[0] == 0
    status, out, err = jar_command([*keep, "export", "--format", format])
    exported = json.loads(out)
    assert status == 0 and (exported["cookies"] if format == "playwright" else exported)[:2] \
        == cookies[:2]
    # Playwright and WebDriver cannot say that c's SameSite is unspecified.
    lax = format in ("playwright", "webdriver")
    assert ("changed 'c' for example.test: SameSite unspecified: written as Lax" in err) == lax


# (arguments after "jar --file F" or "jar --store URL", exit status, stdout, stderr)
NAMED = [
    (["--name", "spider", "set", "http://example.test/", "n=1; Max-Age=600", "m=2; Max-Age=60"],
     0, "n     1", ""),
    (["names"], 0, "spider\n", ""),
    (["--name", "spidr", "list"], 1, "",
     "error: no jar named 'spidr' holds cookies in"),
    (["--name", "spidr", "list"], 1, "", "(its jars: 'spider'); set or import makes one"),
    (["--name", "spider", "remove", "n", "--domain", "other.test"], 1, "removed 0 cookie(s)", ""),
    (["--name", "spider", "remove", "n"], 0, "removed 1 cookie(s)", ""),
    (["--name", "spider", "--json", "list"], 0, '"name": "m"', ""),
    (["--json", "names"], 0, '{"name": "spider"}', ""),
]


@pytest.fixture(params=["file", "server"])
def place(request, tmp_path):
    if request.param == "file":
        return ["--file", str(tmp_path / "jar.db")]
    from gco_testkit import postgres

    return ["--store", postgres.server().fresh()]


def test_named_jars_of_a_file_or_a_server(place, capsys):
    for arguments, status, out, err in NAMED:
        assert cli.main(["jar", *place, *arguments]) == status, arguments
        got_out, got_err = capsys.readouterr()
        assert out in got_out and (out or not got_out), (arguments, got_out)
        assert err in got_err, (arguments, got_err)


@pytest.mark.parametrize("arguments, said", [
    (["--file", "postgresql://h/db"], "--file takes a file; a server's url goes to --store"),
    (["--store", "jar.db"], "--store takes a postgresql:// url, not 'jar.db'"),
])
def test_a_url_and_a_file_in_each_others_place(arguments, said, capsys):
    assert cli.main(["jar", *arguments, "list"]) == 2
    assert said in capsys.readouterr().err
