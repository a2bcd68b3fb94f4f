"""Firefox `cookies.sqlite` files of schemas 10 to 17 and mozLz4 session
stores made by the tests (gco_testkit.browser_files), loaded by
`CookieJar.load_browser`: what loads, field by field, and what the report
says of the rest."""

import time

import pytest

from gco_testkit import browser_files as files
from gco_testkit.browser_files import firefox_record as record

from glimmering_copper_otter.jar import CookieJar

NOW = time.time_ns() // 1000
HOUR = 3600 * 1000000
LATER = (NOW + HOUR) // 1000000  # expiry in seconds
CHIPS = "^partitionKey=%28https%2Csite-a.test%29"
OTHER = "^partitionKey=%28https%2Cother.test%2Cf%29"


def _records():
    """In creation order: those loaded by default first, then the rest."""
    return [
        record(b"host", b"1", "www.site-a.test", creation=NOW - 20, expires=LATER),
        record(b"dom", b"2", ".site-a.test", creation=NOW - 19, expires=LATER, secure=True,
               same_site=1, last_access=NOW - 3),
        record(b"ho", b"3", "www.site-a.test", creation=NOW - 18, expires=LATER,
               http_only=True, same_site=2, scheme_map=1),
        record(b"none", b"4", "www.site-a.test", creation=NOW - 17, expires=LATER, secure=True,
               same_site=0, scheme_map=3),
        record(b"part", b"5", "site-b.test", creation=NOW - 16, expires=LATER, secure=True,
               same_site=0, attributes=CHIPS, partitioned_attribute=1),
        record(b"tcp", b"new", "www.site-a.test", creation=NOW - 15, expires=LATER,
               last_access=NOW - 2),
        record(b"bin", b"\xff\xfe-not-utf-8", "www.site-a.test", creation=NOW - 14,
               expires=LATER, path=b"/a"),
        record(b"tcp", b"old", "www.site-a.test", creation=NOW - 13, expires=LATER,
               attributes=OTHER, last_access=NOW - 10),
        record(b"work", b"9", "www.site-a.test", creation=NOW - 12, expires=LATER,
               attributes="^userContextId=2"),
        record(b"private", b"10", "www.site-a.test", creation=NOW - 11, expires=LATER,
               attributes="^privateBrowsingId=1"),
        record(b"insecure-none", b"11", "www.site-a.test", creation=NOW - 10, expires=LATER,
               same_site=0),
        record(b"psl", b"12", ".test", creation=NOW - 9, expires=LATER),
        record(b"old", b"13", "www.site-a.test", creation=NOW - 4 * HOUR,
               expires=(NOW - HOUR) // 1000000),
    ]


SESSION = [
    {"host": "www.site-a.test", "name": "s1", "value": "v", "path": "/", "secure": True,
     "httponly": True, "sameSite": 1, "schemeMap": 2,
     "originAttributes": {"userContextId": 0, "partitionKey": "", "privateBrowsingId": 0}},
    {"host": ".site-a.test", "name": "s2", "value": "w", "path": "/", "sameSite": 256,
     "schemeMap": 1, "originAttributes": {"userContextId": 2}},
]
_SAME_SITE = {0: 3, 1: 1, 2: 2, 256: 0}
_SCHEME = {1: 1, 2: 2, 3: 1}  # a jar keeps whether the source was secure


def _expected(item, schema):
    """The row a record must load as, written from what the columns mean."""
    host = item["host"]
    asked = item["partitioned_attribute"] and schema >= 13
    key = ("https://site-a.test", True) if asked else ("", False)
    return (item["name"], item["value"], host.lstrip("."), not host.startswith("."),
            item["path"] if isinstance(item["path"], bytes) else item["path"].encode(),
            item["expires"] * 1000000, item["creation"], item["last_access"], item["secure"],
            item["http_only"], _SAME_SITE[item["same_site"]], bool(asked), key[0], -1,
            _SCHEME[item["scheme_map"]] if schema >= 12 else 1, -1, True, key[1])


def _session_row(cookie):
    host = cookie["host"]
    return (cookie["name"].encode(), cookie["value"].encode(), host.lstrip("."),
            not host.startswith("."), cookie["path"].encode(), None,
            cookie.get("secure", False), cookie.get("httponly", False),
            _SAME_SITE[cookie["sameSite"]], _SCHEME[cookie["schemeMap"]])


def _profile(tmp_path, schema, records=None, session=SESSION):
    profile = tmp_path / "abcd.default-release"
    files.firefox_file(profile / "cookies.sqlite", schema,
                       _records() if records is None else records)
    if session is not None:
        files.session_store(profile, session)
    files.containers(profile, [
        {"userContextId": 1, "l10nId": "user-context-personal", "public": True},
        {"userContextId": 2, "l10nId": "user-context-work", "public": True},
        {"userContextId": 5, "name": "Shopping list", "public": True},
    ])
    return profile


def _split(jar):
    """A jar's rows: those from the database, and the session ones as the
    session store says them (it keeps no times)."""
    rows = jar._rows()
    stored = sorted(row for row in rows if row[5] is not None)
    session = sorted(row[:6] + row[8:11] + row[14:15] for row in rows if row[5] is None)
    return stored, session


@pytest.mark.parametrize("schema", range(10, 18))
def test_firefox_file(tmp_path, schema):
    records = _records()
    jar = CookieJar()
    report = jar.load_browser("firefox", _profile(tmp_path, schema))
    stored, session = _split(jar)
    assert stored == sorted(_expected(item, schema) for item in records[:7])
    assert session == [_session_row(SESSION[0])]
    assert (report.loaded, report.expired) == (8, 1)
    assert dict(report.counts()) == {"Unsupported": 4, "SameSiteNoneInsecure": 1,
                                     "InvalidDomain": 1}
    reasons = [reason for _, reason in report.skipped]
    assert any("container 2 ('Work')" in reason for reason in reasons)
    assert any("private-browsing" in reason for reason in reasons)
    assert any("partitioned without the site asking" in reason for reason in reasons)


@pytest.mark.parametrize("schema", [12, 17])
@pytest.mark.parametrize("container", ["Work", 2, "2"])
def test_a_container_named_loads_its_cookies_alone(tmp_path, schema, container):
    jar = CookieJar()
    report = jar.load_browser("firefox", _profile(tmp_path, schema), container=container)
    assert sorted(cookie.name for cookie in jar) == ["s2", "work"]
    assert report.loaded == 2
    # Every other cookie of the file, and the session cookie outside the container.
    assert report.counts()["Unsupported"] == len(_records()) - 1 + 1


def test_an_unknown_container_raises(tmp_path):
    with pytest.raises(ValueError, match="Personal, Shopping list, Work"):
        CookieJar().load_browser("firefox", _profile(tmp_path, 17), container="Banking")


@pytest.mark.parametrize("store, note", [
    (None, "no session store"),
    (b"mozLz40\0\xff\xff\xff\x00garbage", "could not be read"),
    (b"not mozlz4 at all", "could not be read"),
    (files.mozlz4(b"[1, 2]"), "could not be read"),
    (files.mozlz4(b'{"cookies": [1, {"host": 5}]}'), None),
])
def test_the_session_store_is_read_when_it_reads(tmp_path, store, note):
    profile = _profile(tmp_path, 17, session=None)
    if store is not None:
        path = profile / "sessionstore-backups" / "recovery.jsonlz4"
        path.parent.mkdir()
        path.write_bytes(store)
    report = CookieJar().load_browser("firefox", profile)
    assert report.loaded == 7
    if note is None:
        assert report.counts()["Unreadable"] == 2
    else:
        assert any(note in line for line in report.notes), report.notes


def test_the_session_store_written_at_shutdown_is_read_too(tmp_path):
    profile = _profile(tmp_path, 17, session=None)
    files.session_store(profile, SESSION, name="sessionstore.jsonlz4")
    jar = CookieJar()
    jar.load_browser("firefox", profile / "cookies.sqlite")
    assert _split(jar)[1] == [_session_row(SESSION[0])]


def test_a_schema_before_10_is_reported(tmp_path):
    report = CookieJar().load_browser("firefox", _profile(tmp_path, 9))
    assert dict(report.counts()) == {"Unsupported": len(_records())}
    assert "schema 9" in report.skipped[0][1]


def test_a_later_schema_is_read_by_column_name(tmp_path):
    report = CookieJar().load_browser("firefox", _profile(tmp_path, 18))
    assert report.loaded == 8
    assert any("schema 18" in note for note in report.notes)


def test_password_and_key_are_refused_for_firefox(tmp_path):
    with pytest.raises(ValueError, match="unencrypted"):
        CookieJar().load_browser("firefox", _profile(tmp_path, 17), password="x")
