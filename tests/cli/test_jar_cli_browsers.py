"""`jar import --from-browser`: a browser profile into a jar file, the
report as lines and as JSON, and the arguments that do not go together."""

import time

import pytest

from gco_testkit import browser_files as files
from gco_testkit.browser_files import chromium_record, firefox_record

from glimmering_copper_otter import cli

NOW = time.time_ns() // 1000
HOUR = 3600 * 1000000
pytest.importorskip("cryptography", reason="the browsers extra: pip install '.[browsers]'")

# (arguments after "jar --file F", exit status, what stdout holds, what stderr holds)
SESSION = [
    (["import", "--from-browser", "chromium", "--profile", "CHROMIUM", "--password-env",
      "KEYRING"], 0,
     "imported 2 cookie(s) from chromium; 0 expired, 2 not loaded (1 SameSiteNoneInsecure, "
     "1 Undecryptable)", "chromium: 'www.site-a.test' '/' 'v20': Undecryptable: an app-bound"),
    (["header", "https://www.site-a.test/"], 0, "a=1; keyring=2\n", ""),
    (["--json", "import", "--from-browser", "firefox", "--profile", "FIREFOX"], 0,
     '{"imported": 1, "expired": 0, "skipped": 0, "by_reason": {}, "notes": ["no session store',
     "firefox: note: no session store"),
    (["import", "--from-browser", "chromium", "--profile", "CHROMIUM", "--password-env",
      "UNSET_VARIABLE"], 1, "", "error: the environment variable UNSET_VARIABLE is not set"),
    (["import", "--from-browser", "chromium", "--profile", "MISSING"], 1, "",
     "error: [Errno 2] no such profile directory or cookie file"),
    (["import", "--from-browser", "chromium", "--profile", "V20"], 1,
     "imported 0 cookie(s) from chromium; 0 expired, 1 not loaded (1 Undecryptable)", ""),
    (["import", "IN", "--from-browser", "chromium"], 2, "", "a FILE or --from-browser"),
    (["import", "--profile", "CHROMIUM", "IN"], 2, "", "go with --from-browser"),
    (["import"], 2, "", "import needs a FILE"),
    (["import", "--from-browser", "netscape"], 1, "", "error: unknown browser 'netscape'"),
]


@pytest.fixture
def jar_command(tmp_path, capsys, monkeypatch):
    later = NOW + HOUR
    records = [chromium_record(name, value, "www.site-a.test", creation=NOW - 3 + number,
                               expires=later, same_site=same_site)
               for number, (name, value, same_site) in enumerate([
                   (b"a", b"1", -1), (b"keyring", b"2", -1), (b"v20", b"3", -1),
                   (b"none", b"4", 0)])]
    records[1]["encryption"] = "linux-v11"
    records[2]["encryption"] = "v20"
    paths = {"CHROMIUM": files.chromium_file(tmp_path / "c" / "Cookies", 24, records,
                                             "linux-v10"),
             "V20": files.chromium_file(tmp_path / "d" / "Cookies", 24, records[2:3], "v20"),
             "FIREFOX": files.firefox_file(tmp_path / "f" / "cookies.sqlite", 17, [
                 firefox_record(b"f", b"1", "site-b.test", creation=NOW,
                                expires=later // 1000000)]),
             "MISSING": tmp_path / "nowhere" / "Cookies", "IN": tmp_path / "in.txt"}
    monkeypatch.setenv("KEYRING", files.KEYRING_PASSWORD.decode())
    monkeypatch.setenv("HOME", str(tmp_path))

    def run(arguments):
        arguments = [str(paths[a]) if a in paths else a for a in arguments]
        try:
            status = cli.main(["jar", "--file", str(tmp_path / "jar.db"), *arguments])
        except SystemExit as exit:
            status = exit.code
        return status, *capsys.readouterr()

    return run


def test_import_from_browser(jar_command):
    for arguments, status, out, err in SESSION:
        got = jar_command(arguments)
        assert got[0] == status, (arguments, got)
        assert out in got[1], (arguments, got)
        assert err in got[2], (arguments, got)


def test_without_the_ciphers_the_error_names_the_extra(jar_command, monkeypatch):
    monkeypatch.setattr("glimmering_copper_otter.browsers._chromium._crypto", lambda: None)
    status, _, err = jar_command(["import", "--from-browser", "chromium", "--profile", "CHROMIUM"])
    assert status == 1 and "error: the profile's cookies are encrypted" in err and "[browsers]" in err
