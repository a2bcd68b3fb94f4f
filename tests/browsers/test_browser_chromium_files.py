"""Chromium `Cookies` files of versions 18 to 24 made by the tests
(gco_testkit.browser_files), under each key a file can carry, loaded by
`CookieJar.load_browser`: what loads, field by field, and what the report
says of the rest."""

import time
from pathlib import Path

import pytest

try:
    import tomllib
except ImportError:  # before 3.11: pytest's own dependency there
    import tomli as tomllib

pytest.importorskip("cryptography", reason="the browsers extra: pip install '.[browsers]'")

from gco_testkit import browser_files as files  # noqa: E402
from gco_testkit.browser_files import chromium_record as record  # noqa: E402

from glimmering_copper_otter.browsers import _secret_service  # noqa: E402
from glimmering_copper_otter.jar import CookieJar  # noqa: E402

NOW = time.time_ns() // 1000
HOUR = 3600 * 1000000
LATER = NOW + HOUR


def _records():
    """Every column's cases, in creation order; the last four are not loaded.
    Each is a host cookie valued by its number, expiring in an hour, but for
    what its entry says."""
    cases = [
        (b"host", {}),
        (b"dom", dict(host_key=".site-a.test", secure=True, same_site=1, priority=2,
                      last_access=NOW - 5)),
        (b"ho", dict(http_only=True, same_site=2, priority=0)),
        (b"none", dict(secure=True, same_site=0)),
        (b"sess", dict(expires=None)),
        (b"part", dict(host_key="site-b.test", secure=True, same_site=0,
                       top_frame="https://site-a.test", cross_site_ancestor=1)),
        (b"own", dict(secure=True, top_frame="https://site-a.test", cross_site_ancestor=0)),
        (b"bin", dict(value=b"\xff\xfe-not-utf-8")),
        (b"plain", dict(source_scheme=1, source_port=80)),
        (b"ext", dict(same_site=3)),
        (b"deep", dict(path=b"/a/b")),
        (b"long", dict(expires=NOW + 399 * 24 * HOUR, source_scheme=0, source_port=-1)),
        (b"insecure-none", dict(same_site=0)),
        (b"__Host-x", dict(host_key=".site-a.test", secure=True)),
        (b"psl", dict(host_key=".test")),
        (b"old", dict(creation=NOW - 4 * HOUR, expires=NOW - HOUR)),
    ]
    return [record(**{"name": name, "value": b"%d" % number, "host_key": "www.site-a.test",
                      "creation": NOW - 21 + number, "expires": LATER} | changes)
            for number, (name, changes) in enumerate(cases, 1)]


LOADED = 12
REFUSED = ["SameSiteNoneInsecure", "InvalidPrefix", "InvalidDomain"]
_SAME_SITE = {-1: 0, 0: 3, 1: 1, 2: 2, 3: 0}


def _expected(item, version):
    """The row a record must load as, written from what Chromium's columns
    mean."""
    host = item["host_key"]
    partitioned = bool(item["top_frame"])
    if not partitioned:
        ancestor = False
    elif version >= 23:
        ancestor = bool(item["cross_site_ancestor"])
    else:
        ancestor = item["top_frame"].split("://")[1] not in host
    path = item["path"] if isinstance(item["path"], bytes) else item["path"].encode()
    return (item["name"], item["value"], host.lstrip("."), not host.startswith("."), path,
            item["expires"], item["creation"], item["last_access"], item["secure"],
            item["http_only"], _SAME_SITE[item["same_site"]], partitioned, item["top_frame"],
            # A jar keeps whether the source was secure: unset reads back as non-secure.
            item["priority"], max(item["source_scheme"], 1), item["source_port"],
            item["expires"] is not None, ancestor)


def _secret(found):
    return lambda browser: (found, "") if found else (None, "no keyring in this test")


# (version, how values are stored, load_browser's keywords ("compatible":
# the file's last compatible version), the Secret Service's password, what
# must happen: "all" loads, "locked" leaves every encrypted value
# Undecryptable, "unsupported" reports every cookie; and the words a note
# must hold)
PASSWORD = {"password": files.KEYRING_PASSWORD}
CASES = [
    *[(version, "linux-v10", {}, None, "all", None) for version in range(18, 25)],
    *[(version, "plain", {}, None, "all", None) for version in (18, 24)],
    *[(version, "linux-v10-empty", {}, None, "all", None) for version in (21, 24)],
    (24, "linux-v11", PASSWORD, None, "all", None),
    (20, "linux-v11", {"password": files.KEYRING_PASSWORD.decode()}, None, "all", None),
    *[(version, "linux-v11", {}, files.KEYRING_PASSWORD, "all", None) for version in (22, 24)],
    (24, "linux-v11", {}, None, "locked", "KWallet is not read"),
    *[(version, "linux-v11", {"password": b"wrong"}, None, "locked", None) for version in (19, 24)],
    *[(version, "mac-v10", {"password": files.MAC_PASSWORD}, None, "all", None)
      for version in (18, 24)],
    (24, "mac-v10", {}, None, "locked", None),
    (23, "mac-v10", {"password": b"wrong"}, None, "locked", None),
    *[(version, "windows-v10", {"key": files.WINDOWS_KEY}, None, "all", None)
      for version in (21, 24)],
    *[(24, "windows-v10", keywords, None, "locked", None) for keywords in ({"key": bytes(32)}, {})],
    (24, "v20", {}, None, "locked", "app-bound"),
    (17, "linux-v10", {}, None, "unsupported", None),
    (25, "linux-v10", {}, None, "unsupported", None),
    (25, "linux-v10", {"compatible": 24}, None, "all", "read as version 24"),
]


@pytest.mark.parametrize("version, encryption, keywords, keyring, outcome, note", CASES,
                         ids=[f"{case[0]}-{case[1]}-{case[4]}" for case in CASES])
def test_chromium_file(tmp_path, monkeypatch, version, encryption, keywords, keyring, outcome,
                       note):
    monkeypatch.setattr(_secret_service, "password", _secret(keyring))
    records, keywords = _records(), dict(keywords)
    cookie_file = files.chromium_file(tmp_path / "Default" / "Network" / "Cookies", version,
                                      records, encryption, compatible=keywords.pop("compatible",
                                                                                   None))
    jar = CookieJar()
    report = jar.load_browser("chromium", tmp_path / "Default", **keywords)
    counts = report.counts()
    if outcome == "all":
        assert sorted(jar.rows()) == sorted(_expected(item, version)
                                             for item in records[:LOADED])
        assert (report.loaded, report.expired) == (LOADED, 1)
        assert dict(counts) == dict.fromkeys(REFUSED, 1)
        assert ("'www.site-a.test' '/' 'insecure-none'",
                "SameSiteNoneInsecure: SameSite=None without Secure") in report.skipped
    elif outcome == "unsupported":
        assert (report.loaded, counts) == (0, {"Unsupported": len(records)})
        assert f"version {version}" in report.skipped[0][1]
    else:
        assert (report.loaded, counts) == (0, {"Undecryptable": len(records)}), report.skipped
        if encryption == "v20":
            assert "separate automation profile" in report.skipped[0][1]
    assert note is None or any(note in line for line in report.notes), report.notes
    assert cookie_file.is_file()


def test_a_mixed_file_loads_what_each_key_opens(tmp_path, monkeypatch):
    monkeypatch.setattr(_secret_service, "password", _secret(None))
    records = _records()[:LOADED]
    records[0]["encryption"] = "linux-v11"
    records[1]["encryption"] = "v20"
    records[2]["encryption"] = "plain"
    files.chromium_file(tmp_path / "Cookies", 24, records, "linux-v10")
    jar = CookieJar()
    report = jar.load_browser("chrome", tmp_path / "Cookies", password=files.KEYRING_PASSWORD)
    assert (report.loaded, dict(report.counts())) == (LOADED - 1, {"Undecryptable": 1})
    assert sorted(jar.rows()) == sorted(_expected(item, 24) for item in records
                                         if item["name"] != b"dom")


@pytest.mark.parametrize("version, verified", [(23, False), (24, True)])
def test_a_key_opening_few_values_is_noted_before_version_24(tmp_path, version, verified):
    files.chromium_file(tmp_path / "Cookies", version, _records()[:3], "linux-v10")
    report = CookieJar().load_browser("chromium", tmp_path / "Cookies")
    assert report.loaded == 3
    assert any("too few to verify" in note for note in report.notes) is not verified


def test_a_value_of_another_row_is_refused_from_version_24(tmp_path):
    """The host hash binds each value to its row: a value moved to another
    host's row opens under the right key and is still refused."""
    files.chromium_file(tmp_path / "Cookies", 24, _records()[:2], "linux-v10")
    files.sql(tmp_path / "Cookies", "UPDATE cookies SET encrypted_value = (SELECT encrypted_value "
         "FROM cookies WHERE host_key = '.site-a.test') WHERE host_key = 'www.site-a.test'")
    report = CookieJar().load_browser("chromium", tmp_path / "Cookies")
    assert (report.loaded, dict(report.counts())) == (1, {"Undecryptable": 1})


# (the file: bytes, an SQL script, or None for a Cookies file of one cookie;
# the browser, load_browser's keywords, the error's words)
REFUSALS = [
    (b"not a database at all, just text", "chromium", {}, "not an SQLite database"),
    ("CREATE TABLE meta(key, value); INSERT INTO meta VALUES ('version', '24');", "chromium", {},
     "no cookies table"),
    (None, "chromium", {"key": b"short"}, "key is the 32 bytes"),
    (None, "chromium", {"container": "Work"}, "container is for the Firefox family"),
    (None, "netscape", {}, "unknown browser"),
]


@pytest.mark.parametrize("made, browser, keywords, words", REFUSALS)
def test_what_cannot_be_read_raises(tmp_path, made, browser, keywords, words):
    path = tmp_path / "Cookies"
    if made is None:
        files.chromium_file(path, 24, _records()[:1], "plain")
    elif isinstance(made, bytes):
        path.write_bytes(made)
    else:
        files.sql(path, made)
    with pytest.raises(ValueError, match=words):
        CookieJar().load_browser(browser, path, **keywords)


def test_an_unreachable_secret_service_is_said(monkeypatch):
    pytest.importorskip("secretstorage", reason="the browsers extra")
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus")
    found, why = _secret_service.password("chromium")
    assert found is None and "could not be asked" in why


@pytest.mark.parametrize("encryption, loaded", [("linux-v10", None), ("plain", 3), ("v20", 0)])
def test_without_the_ciphers_encrypted_values_raise(tmp_path, monkeypatch, encryption, loaded):
    """Not 0 cookies, each Undecryptable: an error naming the extra, with a
    pip command that works from a checkout too (and the extra run.sh installs)."""
    from glimmering_copper_otter.browsers import _chromium

    monkeypatch.setattr(_chromium, "_crypto", lambda: None)
    files.chromium_file(tmp_path / "Cookies", 24, _records()[:3], encryption)
    if loaded is not None:
        assert CookieJar().load_browser("chromium", tmp_path / "Cookies").loaded == loaded
        return
    with pytest.raises(ImportError, match=r"\[browsers\]") as raised:
        CookieJar().load_browser("chromium", tmp_path / "Cookies")
    root = Path(__file__).resolve().parents[2]
    extras = tomllib.loads((root / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    command = "pip install '" + "' '".join(extras["browsers"]) + "'"
    assert raised.value.name == "cryptography" and command in str(raised.value)
    assert '"$ROOT[browsers]"' in (root / "scripts/run.sh").read_text()
