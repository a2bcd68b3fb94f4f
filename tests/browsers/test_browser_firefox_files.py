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
    """In creation order: those loaded by default first, then the rest.  Each
    is a host cookie valued by its number, expiring in an hour, but for what
    its entry says."""
    cases = [
        (b"host", {}),
        (b"dom", dict(host=".site-a.test", secure=True, same_site=1, last_access=NOW - 3)),
        (b"ho", dict(http_only=True, same_site=2, scheme_map=1)),
        (b"none", dict(secure=True, same_site=0, scheme_map=3)),
        (b"part", dict(host="site-b.test", secure=True, same_site=0, attributes=CHIPS,
                       partitioned_attribute=1)),
        (b"tcp", dict(value=b"new", last_access=NOW - 2)),
        (b"bin", dict(value=b"\xff\xfe-not-utf-8", path=b"/a")),
        (b"tcp", dict(value=b"old", attributes=OTHER, last_access=NOW - 10)),
        (b"work", dict(attributes="^userContextId=2")),
        (b"private", dict(attributes="^privateBrowsingId=1")),
        (b"insecure-none", dict(same_site=0)),
        (b"psl", dict(host=".test")),
        (b"old", dict(creation=NOW - 4 * HOUR, expires=(NOW - HOUR) // 1000000)),
    ]
    return [record(**{"name": name, "value": b"%d" % number, "host": "www.site-a.test",
                      "creation": NOW - 21 + number, "expires": LATER} | changes)
            for number, (name, changes) in enumerate(cases, 1)]


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
    rows = jar.rows()
    stored = sorted(row for row in rows if row[5] is not None)
    session = sorted(row[:6] + row[8:11] + row[14:15] for row in rows if row[5] is None)
    return stored, session


@pytest.mark.parametrize("schema", range(9, 19))
def test_firefox_file(tmp_path, schema):
    """Schemas 10 to 17 load field by field, a later one by column name with
    a note; one before 10 is reported."""
    records = _records()
    jar = CookieJar()
    report = jar.load_browser("firefox", _profile(tmp_path, schema))
    if schema == 9:
        assert dict(report.counts()) == {"Unsupported": len(records)}
        assert "schema 9" in report.skipped[0][1]
        return
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
    assert schema < 18 or any("schema 18" in note for note in report.notes)


@pytest.mark.parametrize("schema", [12, 17])
@pytest.mark.parametrize("container", ["Work", 2, "2"])
def test_a_container_named_loads_its_cookies_alone(tmp_path, schema, container):
    jar = CookieJar()
    report = jar.load_browser("firefox", _profile(tmp_path, schema), container=container)
    assert sorted(cookie.name for cookie in jar) == ["s2", "work"]
    assert report.loaded == 2
    # Every other cookie of the file, and the session cookie outside the container.
    assert report.counts()["Unsupported"] == len(_records()) - 1 + 1


@pytest.mark.parametrize("keywords, words", [({"container": "Banking"},
                                               "Personal, Shopping list, Work"),
                                              ({"password": "x"}, "unencrypted")])
def test_arguments_that_do_not_fit_raise(tmp_path, keywords, words):
    with pytest.raises(ValueError, match=words):
        CookieJar().load_browser("firefox", _profile(tmp_path, 17), **keywords)


RECOVERY = "sessionstore-backups/recovery.jsonlz4"


# (the session store's file, its bytes or cookies, how many of its records
# are Unreadable, the words of a note)
@pytest.mark.parametrize("name, store, unreadable, note", [
    (RECOVERY, None, 0, "no session store"),
    (RECOVERY, b"mozLz40\0\xff\xff\xff\x00garbage", 0, "could not be read"),
    (RECOVERY, b"not mozlz4 at all", 0, "could not be read"),
    (RECOVERY, files.mozlz4(b"[1, 2]"), 0, "could not be read"),
    (RECOVERY, files.mozlz4(b'{"cookies": [1, {"host": 5}]}'), 2, None),
    ("sessionstore.jsonlz4", SESSION, 0, None),  # the one written at shutdown
])
def test_the_session_store_is_read_when_it_reads(tmp_path, name, store, unreadable, note):
    profile = _profile(tmp_path, 17, session=None)
    if isinstance(store, bytes):
        (profile / name).parent.mkdir(exist_ok=True)
        (profile / name).write_bytes(store)
    elif store is not None:
        files.session_store(profile, store, name=name)
    jar = CookieJar()
    report = jar.load_browser("firefox", profile / "cookies.sqlite")
    assert _split(jar)[1] == [_session_row(SESSION[0])] * (store is SESSION)
    assert report.loaded == 7 + (store is SESSION)
    assert report.counts().get("Unreadable", 0) == unreadable
    assert note is None or any(note in line for line in report.notes), report.notes
