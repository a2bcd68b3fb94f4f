"""The automation tools' formats as data: what a cookie object loads as (or
why it is refused), what each format writes and reports, and a property:
dump then load through each format loses nothing the format carries.
test_automation_browser.py runs them against Playwright and DevTools."""

import io
import json
import time

import pytest
from gco_testkit import hostile
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.formats import automation, cdp
from glimmering_copper_otter.jar import CookieJar

FORMATS = automation.FORMATS
T = (int(time.time()) // 86400 + 10) * 86400  # ten days ahead, whole seconds
C = (int(time.time()) - 3600) * 1000000
TOP, SITE = "https://top.test", "https://example.test"
BASE = {"playwright": {"expires": -1}, "cdp": {"session": True, "priority": "Medium"},
        "extension": {"hostOnly": True, "session": True}, "webdriver": {}}


def _c(format, **fields):
    return {"name": "a", "value": "1", "domain": "www.example.test", "path": "/",
            "secure": False, "httpOnly": False, **BASE[format], **fields}


# (format, cookie object, url, what the jar then holds (some row fields by
# name), or the code word of why it is skipped, or "expired"): what a dump
# does not write, since test_dump_then_load covers what it does.
READ = [
    ("playwright", _c("playwright", expires=T + 0.123456, sameSite="lax"), None,
     {"host_only": True, "expires": T * 1000000 + 123456, "same_site": 1, "source_scheme": 2,
      "source_port": 443}),
    ("playwright", {"name": "u", "value": "1", "url": "https://www.example.test/a/b"}, None,
     {"host_only": True, "path": b"/a/", "secure": True}),
    ("playwright", _c("playwright", secure=True, sameSite="None", partitionKey=TOP), None,
     {"partition_key": TOP, "cross_site_ancestor": True}),
    # Playwright's default: a cross-site frame's, here A in B in A.
    ("playwright", _c("playwright", secure=True, partitionKey=SITE), None,
     {"partition_key": SITE, "cross_site_ancestor": True}),
    ("playwright", _c("playwright", expires=1000), None, "expired"),
    ("playwright", _c("playwright", expires=-5), None, "Unreadable"),
    ("cdp", _c("cdp", secure="yes"), None, "Unreadable"),
    ("playwright", _c("playwright", secure=True, partitionKey="top.test"), None, "Unreadable"),
    ("playwright", _c("playwright", value="a;b"), None, "DisallowedCharacter"),
    ("playwright", _c("playwright", name="", value="a=b"), None, "AmbiguousNameValue"),
    ("playwright", _c("playwright", domain="bad host"), None, "InvalidDomain"),
    ("playwright", _c("playwright", name="__Host-a", domain=".example.test", secure=True),
     None, "InvalidPrefix"),
    # Only a cross-site frame sets a cookie into another site's partition.
    ("playwright", _c("playwright", secure=True, sameSite="Lax", partitionKey=TOP), None,
     "SameSiteLax"),
    ("playwright", _c("playwright", secure=True, partitionKey=TOP), None,
     "SameSiteUnspecifiedTreatedAsLax"),
    ("cdp", _c("cdp", secure=True, sourceScheme="NonSecure", sourcePort=-1), None,
     {"source_scheme": 2, "source_port": -1}),  # a Secure cookie is set over https
    ("cdp", _c("cdp", expires=T + 0.5, session=False, sameSite="Strict"), None,
     {"priority": -1, "expires": T * 1000000 + 500000, "same_site": 2}),
    ("cdp", _c("cdp", secure=True, sameSite="None", partitionKey=TOP), None,  # older form
     {"partition_key": TOP, "cross_site_ancestor": True}),
    ("cdp", _c("cdp", secure=True, partitionKey={"topLevelSite": SITE}), None,
     {"partition_key": SITE, "cross_site_ancestor": False}),
    ("extension", _c("extension", domain="example.test", hostOnly=False, expirationDate=T,
                     sameSite=None), None, {"host_only": False, "expires": None, "same_site": 0}),
    ("extension", _c("extension", secure=True, sameSite="no_restriction",
                     partitionKey={"topLevelSite": TOP}), None, {"cross_site_ancestor": True}),
    ("webdriver", {"name": "a", "value": "1"}, "https://www.example.test/x",
     {"domain": "www.example.test", "host_only": True, "path": b"/", "same_site": 0}),
    ("webdriver", {"name": "a", "value": "1"}, None, "Unreadable"),
]


@pytest.mark.parametrize("format, cookie, url, expected", READ)
def test_read(format, cookie, url, expected):
    jar = CookieJar()
    report = jar.load_cookies([cookie], format=format, url=url)
    if expected == "expired":
        assert report[:3] == (0, 1, [])
    elif isinstance(expected, str):
        assert (report.loaded, report.counts()) == (0, {expected: 1}), report.skipped
    else:
        assert (report.loaded, report.skipped) == (1, [])
        [row] = jar.rows()
        assert {field: row[_rows.FIELDS.index(field)] for field in expected} == expected


# What only DevTools carries whole: a value that is not UTF-8, unspecified
# SameSite, a high priority, a partition, a port.
ROWS = [(b"a", b"\xff", "www.example.test", True, b"/", T * 1000000 + 250000, C, C, False, True,
         0, False, "", 2, 2, 443, True, False),
        (b"b", b"2", "example.test", False, b"/p", None, C + 1, C + 1, True, False, 3, True, TOP,
         -1, 2, 8443, False, True)]
A, B = {"name": "a", "value": "\xff", "path": "/"}, {"name": "b", "value": "2", "path": "/p"}
KEY = {"topLevelSite": TOP, "hasCrossSiteAncestor": True}
# format: (the document, the changes reported by their first words, what is left out)
WRITTEN = {
    "playwright": ({"cookies": [
        {**A, "domain": "www.example.test", "expires": T + 0.25, "httpOnly": True,
         "secure": False, "sameSite": "Lax"},
        {**B, "domain": ".example.test", "expires": -1, "httpOnly": False, "secure": True,
         "sameSite": "None", "partitionKey": TOP, "_crHasCrossSiteAncestor": True},
    ], "origins": []}, ["not UTF-8", "SameSite unspecified", "priority high"], []),
    "cdp": ([
        {**A, "domain": "www.example.test", "secure": False, "httpOnly": True,
         "expires": T + 0.25, "priority": "High", "sourceScheme": "Secure", "sourcePort": 443},
        {**B, "domain": ".example.test", "secure": True, "httpOnly": False, "sameSite": "None",
         "priority": "Medium", "sourceScheme": "Secure", "sourcePort": 8443, "partitionKey": KEY},
    ], ["not UTF-8"], []),
    "extension": ([
        {**A, "domain": "www.example.test", "expirationDate": T + 0.25, "hostOnly": True,
         "httpOnly": True, "sameSite": "unspecified", "secure": False, "session": False,
         "storeId": "0"},
        {**B, "domain": ".example.test", "hostOnly": False, "httpOnly": False,
         "sameSite": "no_restriction", "secure": True, "session": True, "storeId": "0",
         "partitionKey": KEY},
    ], ["not UTF-8", "priority high"], []),
    "webdriver": ([{**A, "domain": "www.example.test", "secure": False, "httpOnly": True,
                    "expiry": T, "sameSite": "Lax"}],
                  ["not UTF-8", "SameSite unspecified", "priority high"], [b"b"]),
}


@pytest.mark.parametrize("format", FORMATS)
def test_write(format):
    jar = CookieJar()
    jar.load_rows(ROWS)
    document, report = jar.dump_cookies(format=format)
    expected, changes, left_out = WRITTEN[format]
    assert document == expected == json.loads(json.dumps(document))
    assert [(item.name, item.reason.split(":")[0]) for item in report.changed] == [
        (b"a", change) for change in changes]
    assert [item.name for item in report.left_out] == left_out
    assert report.written == 2 - len(left_out)


_HOSTS = ["www.example.test", "example.test", "other.test", "localhost", "127.0.0.1"]
_ORIGINS = ["https://{}/", "http://{}/", "http://{}:8080/", "https://{}:8443/"]
_BYTES = [bytes([b]) for b in b"!#%&()*+-./09AZaz{}~"] + [b"\xc3\xa9", b"\xff", b"\x80", b" "]


@st.composite
def _jar(draw):
    """A jar of cookies set as a browser sets them, and then one row with
    what no single response sets: a source port not known and, when
    partitioned, a cross-site ancestor flipped."""
    jar = CookieJar()
    for _ in range(draw(st.integers(0, 10))):
        host = draw(st.sampled_from(_HOSTS))
        url = draw(st.sampled_from(_ORIGINS)).format(host)
        name = draw(st.sampled_from(["", "a", "sid", "__Secure-s", "__Host-h", "é"]))
        value = draw(st.lists(st.sampled_from(_BYTES), max_size=5).map(b"".join)).strip()
        parts = [name.encode() + b"=" + value if name else value]
        for attribute, values in (("Domain", ["example.test", host]), ("Path", ["/", "/p", "/é"]),
                                  ("SameSite", ["Lax", "Strict", "None"]),
                                  ("Priority", ["Low", "Medium", "High"]),
                                  ("Max-Age", ["1000", "86400", "40000000"])):
            if draw(st.booleans()):
                parts.append(f"{attribute}={draw(st.sampled_from(values))}".encode())
        parts += [flag for flag in (b"Secure", b"HttpOnly") if draw(st.booleans())]
        top = draw(st.sampled_from([None, None, TOP + "/", url]))
        if top is not None:  # mostly as a frame sets one
            parts += [b"Partitioned", b"Secure", b"SameSite=None"][:draw(st.integers(1, 3))]
        jar.set_cookie(b"; ".join(parts), url, site_for_cookies=top, navigation=top is None)
    if len(jar) and draw(st.booleans()):
        row = list(draw(st.sampled_from(jar.rows())))
        jar.remove(_rows.key(tuple(row)))
        row[_rows.CROSS_SITE_ANCESTOR] ^= row[_rows.PARTITIONED]
        row[_rows.SOURCE_PORT] = -1
        jar.load_rows([tuple(row)])
    return jar


def _carried(row, format):
    """What of a row a format carries, as a load gives it back."""
    texts = tuple(cdp.text(row[i]).encode() for i in (_rows.NAME, _rows.VALUE, _rows.PATH))
    expires, same_site = row[_rows.EXPIRES], row[_rows.SAME_SITE]
    if format == "webdriver" and expires is not None:
        expires -= expires % 1000000
    if format in ("playwright", "webdriver") and not same_site:
        same_site = 1
    carried = texts + (row[_rows.DOMAIN], row[_rows.HOST_ONLY], expires, row[_rows.SECURE],
                       row[_rows.HTTP_ONLY], same_site, *row[_rows.PARTITIONED:_rows.PRIORITY],
                       row[_rows.CROSS_SITE_ANCESTOR])
    if format == "cdp":  # a priority not given reads as medium
        carried += ({1: -1}.get(row[_rows.PRIORITY], row[_rows.PRIORITY]),
                    *row[_rows.SOURCE_SCHEME:_rows.PERSISTENT])
    return carried


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(_jar())
def test_dump_then_load_keeps_what_the_format_carries(jar):
    for format in FORMATS:
        document, report = jar.dump_cookies(format=format)
        again = CookieJar()
        loaded = again.load_cookies(json.loads(json.dumps(document)), format=format)
        kept = [row for row in jar.rows()
                if not (format == "webdriver" and row[_rows.PARTITIONED])]
        assert loaded[:3] == (len(kept), 0, []) and report.written == len(kept)
        # In order: a dump lists them oldest first, a load creates them so.
        assert [_carried(row, format) for row in again.rows()] == \
            [_carried(row, format) for row in kept]
        assert {item[:3] for item in report.changed if item.reason.startswith("not UTF-8")} == {
            (row[_rows.NAME], row[_rows.DOMAIN], row[_rows.PATH]) for row in kept
            if cdp.text(row[_rows.VALUE]).encode() != row[_rows.VALUE]}


STATE = {"cookies": [_c("playwright", expires=T), _c("playwright", name="b")],
         "origins": [{"origin": "https://www.example.test", "localStorage": []}]}


@pytest.mark.parametrize("kind", ["dict", "bytes", "path", "str", "binary file", "text file"])
def test_a_document_is_an_object_or_its_json(kind, tmp_path):
    text, path = json.dumps(STATE), tmp_path / "state.json"
    path.write_text(text)
    source = {"dict": STATE, "bytes": text.encode(), "path": path, "str": str(path),
              "binary file": io.BytesIO(text.encode()), "text file": io.StringIO(text)}[kind]
    jar = CookieJar()
    assert jar.load_cookies(source, format="playwright")[:3] == (2, 0, [])
    assert [c.name for c in jar.cookies()] == ["a", "b"]


@pytest.mark.parametrize("format, source, error", [
    ("playwright", b"{", "not JSON"), ("playwright", b"[" * 100000, "nested too deeply"),
    ("playwright", {"origins": []}, "a storage state"),
    ("cdp", {"result": []}, "a list of cookie objects"),
    ("cdp", 3, "a document is a dict or a list"),
    ("json", [], "format is one of cookiejar, httpx, aiohttp, mapping, playwright, cdp"),
])
def test_a_document_that_is_not_one(format, source, error):
    with pytest.raises(TypeError if source == 3 else ValueError, match=error):
        CookieJar().load_cookies(source, format=format)


def test_whole_results_and_dumps_for_a_url():
    jar = CookieJar()
    assert jar.load_cookies({"cookies": [_c("cdp")]}, format="cdp").loaded == 1
    assert jar.load_cookies(_c("webdriver", name="b", path="/p"), format="webdriver").loaded == 1
    jar.set_cookie("c=3; Secure; SameSite=None; Partitioned", "https://www.example.test/",
                   site_for_cookies=TOP + "/")
    jar.set_cookie("d=4", "https://other.test/")
    for format in FORMATS:
        document, report = jar.dump_cookies(format=format, url="https://www.example.test/p")
        cookies = document["cookies"] if format == "playwright" else document
        assert [c["name"] for c in cookies] == ["a", "b"] and report.written == 2


@pytest.mark.parametrize("format, document, url, loaded, counts",
                         [case[1:] for case in hostile.DOCUMENTS],
                         ids=[case[0] for case in hostile.DOCUMENTS])
def test_a_hostile_document(format, document, url, loaded, counts):
    jar = CookieJar()
    report = jar.load_cookies(document, format=format, url=url)
    assert [(cookie.domain, cookie.path) for cookie in jar.cookies()] == loaded
    assert dict(report.counts()) == counts, report.skipped
