"""Finding profiles, and reading them without disturbing them: the profile's
own files are never opened with SQLite nor changed, a hot journal or a WAL
is honoured in the private copy, and a copy taken mid-write is taken
again."""

import hashlib
import os
import subprocess
import sys
import textwrap
import time

import pytest

from gco_testkit import browser_files as files
from gco_testkit.browser_files import firefox_record

from glimmering_copper_otter import browsers
from glimmering_copper_otter.browsers import _copy
from glimmering_copper_otter.jar import CookieJar

NOW = time.time_ns() // 1000
LATER = NOW // 1000000 + 3600


def _cookie(name, value=b"v"):
    return firefox_record(name, value, "www.site-a.test", creation=NOW, expires=LATER)


def _chromium_home(home):
    for folder, names in ((".config/chromium", ["Default", "Profile 1"]),
                          ("snap/chromium/common/chromium", ["Default"]),
                          (".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser",
                           ["Default"]),
                          (".config/google-chrome", ["Profile 2"])):
        for name in names:
            files.chromium_file(home / folder / name / "Network" / "Cookies", 24, [], "plain")
    # A profile of before 2021 keeps Cookies beside its Preferences.
    files.chromium_file(home / ".config/chromium/Old/Cookies", 24, [], "plain")
    (home / ".config/chromium/System Profile").mkdir()  # no cookies: not a profile


def _firefox_home(home):
    root = home / ".mozilla/firefox"
    files.firefox_file(root / "a.default/cookies.sqlite", 17, [])
    files.firefox_file(root / "b.default-release/cookies.sqlite", 17, [])
    files.firefox_file(home / "elsewhere/c/cookies.sqlite", 17, [])
    (root / "profiles.ini").write_text(
        "[Profile1]\nName=default\nIsRelative=1\nPath=a.default\nDefault=1\n\n"
        "[Profile0]\nName=default-release\nIsRelative=1\nPath=b.default-release\n\n"
        f"[Profile2]\nName=work\nIsRelative=0\nPath={home / 'elsewhere/c'}\n\n"
        "[Install4F96D1932A9F858E]\nDefault=b.default-release\n")
    snap = home / "snap/firefox/common/.mozilla/firefox"
    files.firefox_file(snap / "x.default/cookies.sqlite", 17, [])
    (snap / "profiles.ini").write_text("[Profile0]\nName=snapped\nPath=x.default\n")


def test_find_lists_each_family_default_first(tmp_path):
    _chromium_home(tmp_path)
    _firefox_home(tmp_path)
    found = [(p.browser, p.name, p.cookie_file.relative_to(tmp_path).as_posix())
             for p in browsers.find(home=tmp_path)]
    assert found == [
        ("chromium", "Default", ".config/chromium/Default/Network/Cookies"),
        ("chromium", "Old", ".config/chromium/Old/Cookies"),
        ("chromium", "Profile 1", ".config/chromium/Profile 1/Network/Cookies"),
        ("chromium", "Default", "snap/chromium/common/chromium/Default/Network/Cookies"),
        ("chrome", "Profile 2", ".config/google-chrome/Profile 2/Network/Cookies"),
        ("brave", "Default", ".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser/"
                             "Default/Network/Cookies"),
        ("firefox", "default-release", ".mozilla/firefox/b.default-release/cookies.sqlite"),
        ("firefox", "default", ".mozilla/firefox/a.default/cookies.sqlite"),
        ("firefox", "work", "elsewhere/c/cookies.sqlite"),
        ("firefox", "snapped", "snap/firefox/common/.mozilla/firefox/x.default/cookies.sqlite"),
    ]
    assert [p.name for p in browsers.find("firefox", home=tmp_path)][:1] == ["default-release"]
    assert browsers.find("vivaldi", home=tmp_path) == []
    with pytest.raises(ValueError, match="unknown browser"):
        browsers.find("mosaic", home=tmp_path)


# (browser, the profile named, the cookie file found or the error raised)
NAMED = [
    ("firefox", None, ".mozilla/firefox/b.default-release/cookies.sqlite"),
    ("firefox", "work", "elsewhere/c/cookies.sqlite"),
    ("firefox", "a.default", ".mozilla/firefox/a.default/cookies.sqlite"),
    ("chromium", None, ".config/chromium/Default/Network/Cookies"),
    ("chromium", "Profile 1", ".config/chromium/Profile 1/Network/Cookies"),
    ("chromium", ".config/chromium", ".config/chromium/Default/Network/Cookies"),
    ("chromium", ".config/chromium/Old", ".config/chromium/Old/Cookies"),
    ("chromium", ".config/chromium/Old/Cookies", ".config/chromium/Old/Cookies"),
    ("vivaldi", None, FileNotFoundError("no vivaldi profile found")),
    ("chromium", "Profile 9", FileNotFoundError("'Default', 'Old', 'Profile 1'")),
]


@pytest.mark.parametrize("browser, profile, expected", NAMED)
def test_a_profile_is_named_by_name_directory_or_file(tmp_path, monkeypatch, browser, profile,
                                                      expected):
    _chromium_home(tmp_path)
    _firefox_home(tmp_path)
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.chdir(tmp_path)
    if profile == "a.default":
        profile = tmp_path / ".mozilla/firefox/a.default"
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=str(expected)):
            CookieJar().load_browser(browser, profile)
    else:
        found = browsers.profile_of(browser, profile)
        assert found.cookie_file.resolve() == (tmp_path / expected).resolve()


def _snapshot(directory):
    return {path.relative_to(directory).as_posix(): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(directory.rglob("*")) if path.is_file()}


def _interrupted(database, journal_mode):
    """Leaves database as a writer killed mid-way leaves it: a hot rollback
    journal (an uncommitted change already in the file), or a WAL holding
    a committed change not yet copied into the file."""
    code = f"""
        import os, sqlite3
        connection = sqlite3.connect({str(database)!r}, isolation_level=None)
        connection.execute("PRAGMA journal_mode={journal_mode}")
        connection.execute("PRAGMA cache_size=1")
        connection.execute("PRAGMA wal_autocheckpoint=0")
        connection.execute("BEGIN")
        connection.execute("UPDATE moz_cookies SET value = CAST('changed' AS TEXT)")
        connection.execute("INSERT INTO moz_cookies (name, value, host, path, expiry, "
                           "lastAccessed, creationTime, isSecure, isHttpOnly, sameSite, "
                           "schemeMap) SELECT CAST('n' || id AS TEXT), value, host, path, "
                           "expiry, lastAccessed, creationTime, 0, 0, 256, 2 FROM moz_cookies")
        if {journal_mode == "wal"}:
            connection.execute("COMMIT")
        os._exit(0)
    """
    subprocess.run([sys.executable, "-c", textwrap.dedent(code)], check=True, timeout=60)


@pytest.mark.parametrize("journal_mode, loaded, value", [
    ("delete", 200, b"v"),     # the hot journal is rolled back in the copy
    ("wal", 400, b"changed"),  # the WAL's commit is read from the copy
])
def test_the_profile_is_read_from_a_copy_and_left_as_it_was(tmp_path, monkeypatch, journal_mode,
                                                            loaded, value):
    profile = tmp_path / "profile"
    database = files.firefox_file(profile / "cookies.sqlite", 17,
                                  [_cookie(b"c%d" % i) for i in range(200)])
    files.session_store(profile, [])
    _interrupted(database, journal_mode)
    side = {"delete": "-journal", "wal": "-wal"}[journal_mode]
    assert os.path.getsize(str(database) + side) > 0
    before = _snapshot(profile)
    opened = []
    connect = _copy._connect
    monkeypatch.setattr(_copy, "_connect", lambda path, **kw: opened.append(path) or
                        connect(path, **kw))
    jar = CookieJar()
    report = jar.load_browser("firefox", profile)
    assert report.loaded == loaded
    assert {cookie.raw_value for cookie in jar} == {value}
    assert _snapshot(profile) == before
    assert opened and not any(str(profile) in path for path in opened)


# (the step of the copy that fails, how many times, how often it runs): a
# copy that fails its check, or during which the file changed, is taken
# again, up to COPIES times.
RETRIES = [("_check", 2, 3), ("_check", 99, _copy.COPIES), ("_stamps", 2, 4)]


@pytest.mark.parametrize("step, failures, calls", RETRIES)
def test_a_damaged_copy_is_taken_again_and_none_is_left_behind(tmp_path, monkeypatch, step,
                                                               failures, calls):
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path / "tmp"))
    (tmp_path / "tmp").mkdir()
    database = files.firefox_file(tmp_path / "p" / "cookies.sqlite", 17, [_cookie(b"a")])
    real, seen = getattr(_copy, step), []

    def failing(path):
        seen.append(path)
        if len(seen) > failures:
            return real(path)
        return None if step == "_check" else real(path) + [len(seen)]

    monkeypatch.setattr(_copy, step, failing)
    if failures < _copy.COPIES:
        assert CookieJar().load_browser("firefox", database).loaded == 1
    else:
        with pytest.raises(_copy.DamagedCopy, match="3 copies of the database failed"):
            CookieJar().load_browser("firefox", database)
    assert len(seen) == calls
    assert list((tmp_path / "tmp").iterdir()) == []
