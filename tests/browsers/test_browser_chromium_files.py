"""Chromium `Cookies` files of versions 18 to 24 made by the tests
(gco_testkit.browser_files), under each key a file can carry, loaded by
`CookieJar.load_browser`: what loads, field by field, and what the report
says of the rest."""

import time

import pytest

pytest.importorskip("cryptography", reason="the browsers extra: pip install '.[browsers]'")

from gco_testkit import browser_files as files  # noqa: E402
from gco_testkit.browser_files import chromium_record as record  # noqa: E402

from glimmering_copper_otter.browsers import _secret_service  # noqa: E402
from glimmering_copper_otter.jar import CookieJar  # noqa: E402

NOW = time.time_ns() // 1000
HOUR = 3600 * 1000000
LATER = NOW + HOUR


def _records():
    """Every column's cases, in creation order; the last four are not loaded."""
    return [
        record(b"host", b"1", "www.site-a.test", creation=NOW - 20, expires=LATER),
        record(b"dom", b"2", ".site-a.test", creation=NOW - 19, expires=LATER, secure=True,
               same_site=1, priority=2, last_access=NOW - 5),
        record(b"ho", b"3", "www.site-a.test", creation=NOW - 18, expires=LATER, http_only=True,
               same_site=2, priority=0),
        record(b"none", b"4", "www.site-a.test", creation=NOW - 17, expires=LATER, secure=True,
               same_site=0),
        record(b"sess", b"5", "www.site-a.test", creation=NOW - 16),
        record(b"part", b"6", "site-b.test", creation=NOW - 15, expires=LATER, secure=True,
               same_site=0, top_frame="https://site-a.test", cross_site_ancestor=1),
        record(b"own", b"7", "www.site-a.test", creation=NOW - 14, expires=LATER, secure=True,
               top_frame="https://site-a.test", cross_site_ancestor=0),
        record(b"bin", b"\xff\xfe-not-utf-8", "www.site-a.test", creation=NOW - 13,
               expires=LATER),
        record(b"plain", b"9", "www.site-a.test", creation=NOW - 12, expires=LATER,
               source_scheme=1, source_port=80),
        record(b"ext", b"10", "www.site-a.test", creation=NOW - 11, expires=LATER, same_site=3),
        record(b"deep", b"11", "www.site-a.test", path=b"/a/b", creation=NOW - 10,
               expires=LATER),
        record(b"long", b"12", "www.site-a.test", creation=NOW - 9,
               expires=NOW + 399 * 24 * HOUR, source_scheme=0, source_port=-1),
        record(b"insecure-none", b"13", "www.site-a.test", creation=NOW - 8, expires=LATER,
               same_site=0),
        record(b"__Host-x", b"14", ".site-a.test", creation=NOW - 7, expires=LATER,
               secure=True),
        record(b"psl", b"15", ".test", creation=NOW - 6, expires=LATER),
        record(b"old", b"16", "www.site-a.test", creation=NOW - 4 * HOUR, expires=NOW - HOUR),
    ]


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


# (id, version, how values are stored, load_browser's keywords, the Secret
# Service's password, what must happen: "all" loads, "locked" leaves every
# encrypted value Undecryptable, "unsupported" reports every cookie, and the
# words a note must hold)
CASES = [
    *[(f"{v}-linux-v10", v, "linux-v10", {}, None, "all", None) for v in range(18, 25)],
    *[(f"{v}-plain", v, "plain", {}, None, "all", None) for v in (18, 24)],
    ("24-linux-v10-empty-password", 24, "linux-v10-empty", {}, None, "all", None),
    ("21-linux-v10-empty-password", 21, "linux-v10-empty", {}, None, "all", None),
    ("24-linux-v11-password", 24, "linux-v11", {"password": files.KEYRING_PASSWORD}, None,
     "all", None),
    ("20-linux-v11-password-text", 20, "linux-v11",
     {"password": files.KEYRING_PASSWORD.decode()}, None, "all", None),
    ("24-linux-v11-secret-service", 24, "linux-v11", {}, files.KEYRING_PASSWORD, "all", None),
    ("22-linux-v11-secret-service", 22, "linux-v11", {}, files.KEYRING_PASSWORD, "all", None),
    ("24-linux-v11-no-keyring", 24, "linux-v11", {}, None, "locked", "KWallet is not read"),
    ("24-linux-v11-wrong-password", 24, "linux-v11", {"password": b"wrong"}, None, "locked",
     None),
    ("19-linux-v11-wrong-password", 19, "linux-v11", {"password": b"wrong"}, None, "locked",
     None),
    ("24-mac", 24, "mac-v10", {"password": files.MAC_PASSWORD}, None, "all", None),
    ("18-mac", 18, "mac-v10", {"password": files.MAC_PASSWORD}, None, "all", None),
    ("24-mac-no-password", 24, "mac-v10", {}, None, "locked", None),
    ("23-mac-wrong-password", 23, "mac-v10", {"password": b"wrong"}, None, "locked", None),
    ("24-windows", 24, "windows-v10", {"key": files.WINDOWS_KEY}, None, "all", None),
    ("21-windows", 21, "windows-v10", {"key": files.WINDOWS_KEY}, None, "all", None),
    ("24-windows-wrong-key", 24, "windows-v10", {"key": bytes(32)}, None, "locked", None),
    ("24-windows-no-key", 24, "windows-v10", {}, None, "locked", None),
    ("24-app-bound", 24, "v20", {}, None, "v20", "app-bound"),
    ("17-razed", 17, "linux-v10", {}, None, "unsupported", None),
]


@pytest.mark.parametrize("case, version, encryption, keywords, keyring, outcome, note", CASES,
                         ids=[case[0] for case in CASES])
def test_chromium_file(tmp_path, monkeypatch, case, version, encryption, keywords, keyring,
                       outcome, note):
    monkeypatch.setattr(_secret_service, "password", _secret(keyring))
    records = _records()
    cookie_file = files.chromium_file(tmp_path / "Default" / "Network" / "Cookies", version,
                                      records, encryption)
    jar = CookieJar()
    report = jar.load_browser("chromium", tmp_path / "Default", **keywords)
    counts = report.counts()
    if outcome == "all":
        assert sorted(jar._rows()) == sorted(_expected(item, version)
                                             for item in records[:LOADED])
        assert (report.loaded, report.expired) == (LOADED, 1)
        assert dict(counts) == dict.fromkeys(REFUSED, 1)
        assert ("'www.site-a.test' '/' 'insecure-none'",
                "SameSiteNoneInsecure: SameSite=None without Secure") in report.skipped
    elif outcome == "unsupported":
        assert (report.loaded, counts) == (0, {"Unsupported": len(records)})
        assert "version 17" in report.skipped[0][1]
    else:
        assert (report.loaded, counts) == (0, {"Undecryptable": len(records)}), report.skipped
        if outcome == "v20":
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
    assert sorted(jar._rows()) == sorted(_expected(item, 24) for item in records
                                         if item["name"] != b"dom")


@pytest.mark.parametrize("version, verified", [(23, False), (24, True)])
def test_a_key_opening_few_values_is_noted_before_version_24(tmp_path, version, verified):
    files.chromium_file(tmp_path / "Cookies", version, _records()[:3], "linux-v10")
    report = CookieJar().load_browser("chromium", tmp_path / "Cookies")
    assert report.loaded == 3
    assert any("too few to verify" in note for note in report.notes) is not verified


@pytest.mark.parametrize("compatible, loaded", [(24, LOADED), (25, 0)])
def test_a_newer_version_loads_only_when_it_says_it_is_compatible(tmp_path, compatible,
                                                                    loaded):
    files.chromium_file(tmp_path / "Cookies", 25, _records(), "linux-v10",
                        compatible=compatible)
    report = CookieJar().load_browser("chromium", tmp_path / "Cookies")
    assert report.loaded == loaded


def test_a_value_of_another_row_is_refused_from_version_24(tmp_path):
    """The host hash binds each value to its row: a value moved to another
    host's row opens under the right key and is still refused."""
    records = _records()[:2]
    files.chromium_file(tmp_path / "Cookies", 24, records, "linux-v10")
    import sqlite3

    connection = sqlite3.connect(tmp_path / "Cookies")
    connection.execute("UPDATE cookies SET encrypted_value = (SELECT encrypted_value FROM "
                       "cookies WHERE host_key = '.site-a.test') WHERE host_key = "
                       "'www.site-a.test'")
    connection.commit()
    connection.close()
    report = CookieJar().load_browser("chromium", tmp_path / "Cookies")
    assert (report.loaded, dict(report.counts())) == (1, {"Undecryptable": 1})


@pytest.mark.parametrize("damage, message", [
    (b"not a database at all, just text", "not an SQLite database"),
    (None, "no cookies table"),
])
def test_a_file_that_is_not_a_cookie_database_raises(tmp_path, damage, message):
    path = tmp_path / "Cookies"
    if damage is None:
        import sqlite3

        connection = sqlite3.connect(path)
        connection.execute("CREATE TABLE meta(key, value)")
        connection.execute("INSERT INTO meta VALUES ('version', '24')")
        connection.commit()
        connection.close()
    else:
        path.write_bytes(damage)
    with pytest.raises(ValueError, match=message):
        CookieJar().load_browser("chromium", path)


def test_arguments_of_the_other_family_are_refused(tmp_path):
    files.chromium_file(tmp_path / "Cookies", 24, _records()[:1], "plain")
    with pytest.raises(ValueError, match="key is the 32 bytes"):
        CookieJar().load_browser("chromium", tmp_path / "Cookies", key=b"short")
    with pytest.raises(ValueError, match="container is for the Firefox family"):
        CookieJar().load_browser("chromium", tmp_path / "Cookies", container="Work")
    with pytest.raises(ValueError, match="unknown browser"):
        CookieJar().load_browser("netscape", tmp_path / "Cookies")


def test_an_unreachable_secret_service_is_said(monkeypatch):
    pytest.importorskip("secretstorage", reason="the browsers extra")
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus")
    found, why = _secret_service.password("chromium")
    assert found is None and "could not be asked" in why


def test_without_the_ciphers_encrypted_values_are_reported(tmp_path, monkeypatch):
    from glimmering_copper_otter.browsers import _chromium

    monkeypatch.setattr(_chromium, "_crypto", lambda: None)
    records = _records()[:3]
    records[0]["encryption"] = "plain"
    files.chromium_file(tmp_path / "Cookies", 24, records, "linux-v10")
    report = CookieJar().load_browser("chromium", tmp_path / "Cookies")
    assert (report.loaded, dict(report.counts())) == (1, {"Undecryptable": 2})
    assert any("pip install" in note for note in report.notes)
