"""cookies.txt and JSON: a table of lines and what they read as, and both
ways against curl and http.cookiejar.MozillaCookieJar."""

import http.cookiejar
import io
import json
import os
import shutil
import subprocess
import time
from urllib.parse import quote_from_bytes

import pytest

from glimmering_copper_otter.formats import cdp, native_json, netscape
from glimmering_copper_otter.jar import CookieJar
from gco_testkit.loopback import Loopback

FUTURE = int(time.time()) + 86400
T = FUTURE * 1000000
# A line of a cookies.txt file, and what it reads as: (domain, host_only,
# path, secure, http_only, expires, name, value), "expired", or the reason
# it cannot be read.
LINES = [
    (b"# Netscape HTTP Cookie File", None),
    (b"", None),
    (b"  # a comment", None),
    (b"$ a line some writers add", None),
    (b".example.test\tTRUE\t/\tFALSE\t%d\ta\tb" % FUTURE,
     ("example.test", False, b"/", False, False, T, b"a", b"b")),
    (b"Example.TEST\tFALSE\t/p\tTRUE\t0\ta\tb",
     ("example.test", True, b"/p", True, False, None, b"a", b"b")),
    (b"#HttpOnly_.example.test\tTRUE\t/\tFALSE\t\tsid\t\xe9t\xe9\r",
     ("example.test", False, b"/", False, True, None, b"sid", b"\xe9t\xe9")),
    (b"example.test\tfalse\t/\tfalse\t%d\tempty" % FUTURE,
     ("example.test", True, b"/", False, False, T, b"empty", b"")),
    (b"example.test\tFALSE\t/\tFALSE\t0\t\tnameless",
     ("example.test", True, b"/", False, False, None, b"", b"nameless")),
    (b"[::1]\tFALSE\t/\tFALSE\t99999999999999\tbig\t1",
     ("[::1]", True, b"/", False, False, 253402300799000000, b"big", b"1")),
    (b"example.test\tFALSE\t/\tFALSE\t1\told\t1", "expired"),
    # A path from a url's directory may hold ";" and be long; so may a host.
    (b"example.test\tFALSE\t/a;b/" + b"c" * 1100 + b"\tFALSE\t0\tlong\t1",
     ("example.test", True, b"/a;b/" + b"c" * 1100, False, False, None, b"long", b"1")),
    (b"a" * 1100 + b".test\tFALSE\t/\tFALSE\t0\thost\t1",
     ("a" * 1100 + ".test", True, b"/", False, False, None, b"host", b"1")),
    (b"example.test\tFALSE\t/\tFALSE\t0", "Unreadable: 5 TAB-separated fields, not 7"),
    (b"example.test\tFALSE\t/\tFALSE\t0\ta\tb\tc", "Unreadable: 8 TAB-separated fields"),
    (b"example.test\tYES\t/\tFALSE\t0\ta\tb",
     "Unreadable: the domain flag is 'YES', not TRUE or FALSE"),
    (b"example.test\tFALSE\t/\tsecure\t0\ta\tb", "Unreadable: the secure flag is 'secure'"),
    (b"example.test\tFALSE\tp\tFALSE\t0\ta\tb", "Unreadable: the path does not begin with /"),
    (b"example.test\tFALSE\t/\tFALSE\tsoon\ta\tb", "Unreadable: the expiry 'soon' is not"),
    (b"exa mple.test\tFALSE\t/\tFALSE\t0\ta\tb", "InvalidDomain: the domain is not a host"),
    (b"\xc3\xa9.test\tFALSE\t/\tFALSE\t0\ta\tb", "InvalidDomain: field domain must be ASCII"),
    (b"example.test\tFALSE\t/\tFALSE\t0\ta=b\tc", "DisallowedCharacter: the name holds"),
    (b"example.test\tFALSE\t/\tFALSE\t0\ta\tb;c", "DisallowedCharacter: the value holds"),
    (b"example.test\tFALSE\t/\tFALSE\t0\ta\tb\x00", "DisallowedCharacter: the value holds"),
    (b"example.test\tFALSE\t/\tFALSE\t0\t\t", "NoCookieContent"),
    (b"example.test\tFALSE\t/\tFALSE\t0\ta\t" + b"b" * 4096,
     "NameValuePairExceedsMaxSize: the name and value are 4097 bytes"),
    (b".example.test\tTRUE\t/\tTRUE\t0\t__Host-a\tb", "InvalidPrefix: a __Host- name"),
]
FIELDS = (2, 3, 4, 8, 9, 5, 0, 1)  # the row fields of an expected tuple


def test_cookies_txt_lines():
    data = b"\n".join(line for line, _ in LINES) + b"\n"
    rows, expired, skipped = netscape.read_cookies_txt(data, now=T - 10 ** 9)
    assert [tuple(row[i] for i in FIELDS) for row in rows] == [
        expected for _, expected in LINES if isinstance(expected, tuple)]
    assert [row[6] for row in rows] == sorted(row[6] for row in rows)  # file order
    assert expired == 1
    reasons = [(number, expected) for number, (_, expected) in enumerate(LINES, 1)
               if isinstance(expected, str) and expected != "expired"]
    assert [number for number, _ in skipped] == [number for number, _ in reasons]
    for (_, reason), (_, expected) in zip(skipped, reasons):
        assert reason.startswith(expected)


def test_load_and_save_cookies_txt(tmp_path):
    jar = CookieJar()
    source = tmp_path / "in.txt"
    source.write_bytes(b"\n".join(line for line, _ in LINES))
    report = jar.load_cookies_txt(source)
    assert (report.loaded, report.expired, len(report.skipped)) == (8, 1, 14)
    assert report.counts()["Unreadable"] == 6
    with pytest.raises(ValueError, match=f"{source}, line 14: Unreadable: 5 TAB-separated"):
        CookieJar().load_cookies_txt(str(source), strict=True)
    partitioned = (b"p", b"1", "example.test", True, b"/", T, 1, 1, True, False, 3, True,
                   "https://top.test", 1, 2, 443, True, False)
    jar.load_rows([partitioned])
    report = jar.save_cookies_txt(tmp_path / "out.txt")
    assert report.written == 7
    assert sorted(report.left_out) == [
        (b"", "example.test", b"/", "no name: curl would read the value back as a name"),
        (b"p", "example.test", b"/", "partitioned: the format has no partition key")]
    assert (tmp_path / "out.txt").stat().st_mode & 0o777 == 0o600
    lines = (tmp_path / "out.txt").read_bytes().splitlines()
    assert lines[0] == b"# Netscape HTTP Cookie File"
    assert b"#HttpOnly_.example.test\tTRUE\t/\tFALSE\t0\tsid\t\xe9t\xe9" in lines
    again = CookieJar()
    text = io.StringIO((tmp_path / "out.txt").read_bytes().decode("latin-1"))
    assert again.load_cookies_txt(text).loaded == 7
    kept = (0, 2, 3, 4, 8, 9)  # cookies.txt keeps no SameSite, Priority nor times
    assert ([tuple(row[i] for i in kept) for row in again.rows()]
            == [tuple(row[i] for i in kept) for row in jar.rows() if row[0] and not row[11]])


def test_mozilla_cookie_jar_both_ways(tmp_path):
    jar = CookieJar()
    jar.set_cookie("a=1; Max-Age=3600; Domain=example.test; Path=/p", "http://example.test/")
    jar.set_cookie("b=2; Max-Age=3600; Secure", "https://www.example.test/")
    jar.set_cookie("c=3", "http://example.test/")
    jar.save_cookies_txt(tmp_path / "ours.txt")
    mozilla = http.cookiejar.MozillaCookieJar()
    mozilla.load(tmp_path / "ours.txt", ignore_discard=True, ignore_expires=True)
    seen = {(c.domain, c.path, c.secure, c.name, c.value, c.expires) for c in mozilla}
    expiry = {row[0]: row[5] and row[5] // 1000000 for row in jar.rows()}
    assert seen == {(".example.test", "/p", False, "a", "1", expiry[b"a"]),
                    ("www.example.test", "/", True, "b", "2", expiry[b"b"]),
                    # A session cookie is written with 0, which this jar reads as expired.
                    ("example.test", "/", False, "c", "3", 0)}
    mozilla.save(tmp_path / "theirs.txt", ignore_discard=True, ignore_expires=True)
    rows, _, skipped = netscape.read_cookies_txt((tmp_path / "theirs.txt").read_bytes())
    assert skipped == []
    def fields(rows):
        return sorted((r[0], r[2], r[3], r[4], r[5] and r[5] // 1000000) for r in rows)

    assert fields(rows) == fields(jar.rows())


def _url(host, path, *cookies):
    query = "&".join("c=" + quote_from_bytes(cookie, safe="") for cookie in cookies)
    return f"http://{host}{path}?{query}"


def _pairs(header):
    return sorted(header.split(b"; ")) if header else []


# Set-Cookie values from a host, and the URLs then asked for.
CURL_COOKIES = [
    ("example.test", b"host=1; Max-Age=3600"),
    ("example.test", b"dom=2; Domain=example.test; Max-Age=3600; HttpOnly"),
    ("example.test", b"deep=3; Path=/p; Expires=Wed, 01 Jan 2031 00:00:00 GMT"),
    ("www.example.test", b"session=4; Path=/"),
    ("www.example.test", b"dom=5; Path=/p"),
]
CURL_TARGETS = ["http://example.test/p/x", "http://www.example.test/p", "http://other.test/"]


@pytest.mark.skipif(shutil.which("curl") is None, reason="needs curl")
def test_curl_both_ways(tmp_path):
    server = Loopback()

    # curl is not under test: without the sanitizers' runtime a test run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}

    def curl(*args):
        subprocess.run(["curl", "-s", "-o", "/dev/null", "-x", server.proxy, *args],
                       check=True, timeout=60, env=env)

    try:
        # curl keeps what the server sets and writes it; the jar reads it.
        curl("-c", tmp_path / "curl.txt", *[_url(h, "/set", c) for h, c in CURL_COOKIES])
        jar = CookieJar()
        assert jar.load_cookies_txt(tmp_path / "curl.txt").skipped == []
        assert len(jar.rows()) == len(CURL_COOKIES)
        # The jar writes; curl reads.
        ours = CookieJar()
        for host, cookie in CURL_COOKIES:
            ours.set_cookie(cookie, f"http://{host}/set")
        ours.save_cookies_txt(tmp_path / "ours.txt")
        del server.log[:]
        for target in CURL_TARGETS:
            curl("-b", tmp_path / "curl.txt", target)
            curl("-b", tmp_path / "ours.txt", target)
    finally:
        server.close()
    received = [entry[1] for entry in server.log]
    for index, target in enumerate(CURL_TARGETS):
        # curl orders by path, then domain and name length; the jar by path, then creation.
        assert _pairs(received[2 * index]) == _pairs(jar.cookie_header(target)), target
        assert _pairs(received[2 * index + 1]) == _pairs(ours.cookie_header(target)), target
    assert received[0] and received[2]


JSON_ROWS = [
    (b"n\xe9", b"\xc3\xa9t\xc3\xa9", "example.test", False, b"/p\xff", T, 10, 20, True, True,
     2, True, "https://top.test", 2, 2, 8443, True, True),
    (b"", b"v", "[::1]", True, b"/", None, 11, 11, False, False, 0, False, "", -1, 1, -1, False,
     False),
]


def test_json_keeps_every_field():
    jar = CookieJar()
    jar.load_rows(JSON_ROWS)
    text = jar.to_json()
    document = json.loads(text)
    assert (document["format"], document["version"]) == ("glimmering_copper_otter cookie jar", 1)
    assert document["cookies"][0]["name"] == {"base64": "buk="}
    assert document["cookies"][0]["value"] == "\xe9t\xe9"
    assert (document["cookies"][1]["same_site"], document["cookies"][1]["priority"]) == (
        "undefined", None)
    assert CookieJar.from_json(text).rows() == jar.rows() == JSON_ROWS


# A change to a good document, and the first reason it is refused with:
# whole (ValueError from both readers) or for one cookie (passed over by
# load_json, refused by from_json).
JSON_ERRORS = [
    (lambda d: d.update(version=2), "version 2; this version reads version 1", None),
    (lambda d: d.update(version=True), "version True", None),
    (lambda d: d.update(version=1.0), "version 1.0", None),
    (lambda d: d.update(version=10 ** 40), "version a number of 41 digits", None),
    (lambda d: d.update(format="other"), "not a cookie jar document", None),
    (lambda d: d.update(cookies={}), '"cookies" is not a list', None),
    (lambda d: d["cookies"][0].pop("priority"), "Unreadable: missing priority", 0),
    (lambda d: d["cookies"][1].update(extra=1), "Unreadable: unknown field extra", 1),
    (lambda d: d["cookies"][1].update(same_site="relaxed"), "Unreadable: same_site: one of", 1),
    (lambda d: d["cookies"][0].update(name={"base64": "%%"}), "Unreadable: name: a string", 0),
    (lambda d: d["cookies"][1].update(source_port="80"),
     "Unreadable: field source_port must be int, not str", 1),
    (lambda d: d["cookies"][1].update(host_only=1), "Unreadable: field host_only must be bool", 1),
    (lambda d: d["cookies"][1].update(expires=10 ** 30), "Unreadable: expires: a number of 31", 1),
    (lambda d: d["cookies"][0].update(partition_key="https://top\u0001.test"),
     "Unreadable: the partition key is not a site", 0),
    (lambda d: d["cookies"][1].update(name="__Host-x"), "InvalidPrefix", 1),
]


@pytest.mark.parametrize("change, message, index", JSON_ERRORS)
def test_json_errors(change, message, index):
    document = json.loads(native_json.to_json(JSON_ROWS))
    change(document)
    text = json.dumps(document)
    if index is None:
        for read in (CookieJar.from_json, CookieJar().load_json):
            with pytest.raises(ValueError, match=message):
                read(text)
        return
    with pytest.raises(ValueError, match=f"cookie {index}: {message}"):
        CookieJar.from_json(text)
    jar = CookieJar()
    report = jar.load_json(text)
    assert report.loaded == 1 and report.skipped[0][0] == index
    assert report.skipped[0][1].startswith(message)


@pytest.mark.parametrize("text", ["{", "[" * 100000 + "]" * 100000,
                                  '{"cookies": ' + "[" * 100000 + "]" * 100000 + "}"])
def test_json_that_is_not_a_document(text):
    with pytest.raises(ValueError, match="not JSON|nested too deeply|not a cookie jar"):
        CookieJar().load_json(text)


def test_devtools_cookies_both_ways():
    for row in JSON_ROWS[1:]:
        shown = cdp.from_row(row)
        assert cdp.to_row(shown, creation=row[6]) == row[:13] + (1,) + row[14:]  # Medium
