"""Record what Chromium stores for Set-Cookie headers, and compare it live.

Run from the repository root with the project's venv python (it needs the
``recorder`` extra: playwright, trustme)
and Debian's ``chromium`` (``apt-get install -y chromium``; ``playwright
install`` is never used)::

    .venv/bin/python -m tools.recorder record [--only TEXT]
    .venv/bin/python -m tools.recorder compare --sample 40 --seed 7
    .venv/bin/python -m tools.recorder renormalise
    .venv/bin/python -m tools.recorder record-writer-grid [--only TEXT]

``record`` serves every row of the corpus below to a headless Chromium and
writes ``tests/data/browser_set_cookie.json`` (``--only`` records just the
rows whose id contains TEXT and merges them into the existing file, whose
``chromium`` and ``recorded`` stay those of the bulk of the table; each row
names the build that recorded it).
``compare`` re-runs a fixed random sample of the stored rows against the live
browser and also checks ``glimmering_copper_otter.browser.read_set_cookie``
against the live result (the test suite checks the reference model of
``tests/gco_testkit/`` against every stored row).
It exits 1 when Chromium cannot start, or when a row disagrees and the live
major version equals the recorded one; under another major version it only
reports.

How a row is recorded
---------------------
One loopback server on an ephemeral port speaks both TLS and plain HTTP (it
peeks at the first byte of each connection).  Chromium is launched with
``--host-resolver-rules="MAP * 127.0.0.1:PORT"`` so that every name, IP
literals included, reaches it and nothing leaves the machine; the URLs stay
port-less (https://www.example.test/, http://www.example.test/, ...).  The
certificate is made at run time by trustme and accepted through
``--ignore-certificate-errors-spki-list``, so the https origins are secure
ones (rows with Secure cookies from each https host prove it).  The server
writes ``Set-Cookie: `` + the row's bytes + CRLF with a raw socket write,
only in answer to the row's own host and request target; every other request
(favicon, the browser's own background requests) gets a 404 without cookies.

Each row gets a fresh browser context and one top-level navigation.  After it
the recorder keeps, as ``devtools``: ``cookies`` (Network.getAllCookies of the
context, with priority, partitionKey and every other field CDP gives),
``blocked`` (the ``blockedCookies`` of Network.responseReceivedExtraInfo for
the document request: blockedReasons, cookieLine, the parsed cookie),
``exempted`` (its exemptedCookies, when present) and ``error`` (a navigation
error, for instance when Chromium refuses the response itself).

Deletions: an accepted header that expires at once leaves an empty store and
no blocked reason.  For such a row the recorder runs a second context: it
first serves a *seed* header (the row's header without its Expires and
Max-Age attributes), then, on a second navigation to the same URL, the row's
header.  If the seed cookie was stored and is gone afterwards, the header is
a deletion of exactly that cookie: ``devtools.deletion`` holds the seed
header and the seed cookie, and the expectation is the seed cookie with
``expired: true``.  Chromium never reports the instant of a deletion, so its
``expires`` is ``read_set_cookie``'s value at the recording time (the
package's, which the reference model agrees with on every stored row), and
the row lists ``"expires"`` in ``derived_from_model``.

Bytes that are not UTF-8: CDP reports such a name or value as an empty
string (its ``size`` is still the byte count).  For rows with any byte over
0x7F the recorder navigates to the URL once more and keeps the Cookie request
header that Chromium sends (``devtools.cookie_header_sent``, a Latin-1
string); raw_name and raw_value of the expectation are then those bytes, and
name and value are read from them with the text rule (UTF-8, a byte outside a valid sequence standing for its
Latin-1 character).

What the recording showed about the transport: a NUL anywhere in the
header makes Chromium refuse the whole response (net::ERR_INVALID_HTTP_RESPONSE,
kept in ``devtools.error``; the row expects no cookie); the other control
characters and TAB arrive and are judged by the cookie code.  Some refusals
come with no blocked reason at all (Partitioned without Secure or from an
http origin, an empty name with "=" in the value): such rows have
``expected: null`` and ``reasons: []``.

``record-writer-grid`` builds a grid of ``Cookie`` records (sizes around the
limits, every SameSite mode, expiry edges, domains and paths of every kind,
the name prefixes, the writer's ``partitioned`` and ``priority`` keywords),
writes each with ``glimmering_copper_otter.writer.write_cookie_for_response``
and the row's keywords, serves the bytes as above and writes
``tests/data/browser_writer_grid.json``: per row the same fields as the table
below plus ``cookie`` (the constructor arguments, expires as ISO text),
``keywords`` and ``writer_error``.  A cookie the writer refuses (a ";" or a
control character in its domain or path) is a row with the writer's error,
``header``, ``devtools`` and ``expected`` null.

``renormalise`` derives every expectation again from the stored DevTools
output (after a change to the normalising code or to the marked
differences), without a browser.

The stored file
---------------
One JSON document: ``{"format": 1, "chromium": "156.0...", "recorded":
"2026-12-09", "rows": [...]}``, rows sorted by ``id``.  A row::

    {"id": "date/asctime", "group": "date",
     "header": "a=b; Expires=...",     # the header bytes as a Latin-1 string
     "url": "https://www.example.test/",
     "recorded_at": "2026-12-09T03:20:01.123456+00:00",
     "chromium": "156.0.8078.129",
     "devtools": {...},                # raw CDP output, see above
     "expected": null | {...},         # null: Chromium refused the header
     "reasons": ["SecureOnly"],        # blocked reasons CDP gave (sorted)
     "derived_from_model": [],         # fields not observable in Chromium
     "difference": null | {"reason": "...", "section": "..."},
     "moving": false}                  # true: an absolute date near now

``expected`` holds name, value, domain (lower case, no leading dot),
host_only, path, expires (UTC POSIX seconds, a float, null for a session
cookie), secure, http_only, same_site ("UNDEFINED", "LAX", "STRICT",
"NONE"), partitioned, priority and expired.  CDP always reports a priority
(Medium by default), so ``priority`` is CDP's value in lower case when it is
Low or High, and for Medium it is "medium" only when the header's last
Priority attribute (split on ";" and "=", trimmed, its value at most 1024
bytes) is "medium" in any letter case, else null.  ``moving`` rows carry an
absolute Expires within 400 days of the recording: the live comparison
checks them against read_set_cookie only, since the stored answer ages.
"""

from __future__ import annotations

import datetime as dt
import json
import random
import sys
from pathlib import Path

from glimmering_copper_otter.browser import read_set_cookie

from .driver import Browser
from .form import cookie_view, differences, from_cdp

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data" / "browser_set_cookie.json"

T = "https://www.example.test/"
CU = "https://www.example.co.uk/"
IP = "https://127.0.0.1/"
LH = "https://localhost/"
H = "http://www.example.test/"
UTC = dt.timezone.utc

# ---------------------------------------------------------------------------
# The corpus: (id, header bytes, url, difference or None)
# ---------------------------------------------------------------------------

def _b(s):
    return s.encode("latin-1") if isinstance(s, str) else s


def corpus(now: dt.datetime) -> list[dict]:
    rows: list[dict] = []

    def add(group, key, header, url=T, difference=None, moving=False):
        rows.append({"id": f"{group}/{key}", "group": group, "header": _b(header),
                     "url": url, "difference": difference, "moving": moving})

    # -- syntax of the name-value pair and the attribute list
    for k, h in [
        ("plain", "a=b"), ("empty-value", "a="), ("empty-name", "=b"),
        ("no-equals", "b"), ("equals-only", "="), ("empty", ""),
        ("spaces-around", " a = b "), ("tabs-around", "\ta=b\t"),
        ("trailing-semicolon", "a=b;"), ("trailing-semicolon-space", "a=b; "),
        ("double-semicolon", "a=b;;"), ("value-with-equals", "a=b=c"),
        ("double-equals", "a==b"), ("quoted", 'a="b"'), ("open-quote", 'a="b'),
        ("quoted-spaces", 'a=" b "'), ("quoted-semicolon", 'a="b;c"'),
        ("inner-space", "a=b c"), ("inner-tab", "a=b\tc"), ("name-space", "a b=c"),
        ("comma", "a=b,c=d"), ("two-pairs", "a=b; c=d"),
        ("percent", "a=%20b%3B"), ("separators-in-name", "a(b)<c>@,d=e"),
        ("brackets-in-name", "a[b]{c}=d"), ("slash-backslash", "a/b\\c=d\\e"),
        ("colon-question", "a:b?=c?d:e"), ("value-specials", "a=!#$%&'()*+-./:<>?@[]^_`{|}~"),
        ("name-only-spaces", "  =b"), ("value-only-with-attr", "b; Secure"),
        ("empty-name-equals-value", "=b=c"), ("leading-semicolon", ";a=b"),
        ("attr-no-name", "a=b; =x"), ("attr-empty", "a=b; ;Secure"),
        ("attr-spaces", "a=b ; path = /x ; secure"), ("unknown-attr", "a=b; Foo=1; Secure"),
        ("secure-with-value", "a=b; Secure=false"), ("httponly-with-value", "a=b; HttpOnly=false"),
        ("upper-flags", "a=b; SECURE; HTTPONLY"), ("lower-flags", "a=b; secure; httponly"),
        ("no-space-attrs", "a=b;Path=/;HttpOnly;Secure"), ("comment-attr", "a=b; Comment=hi; Version=1"),
        ("utf8-value", "a=é".encode()), ("utf8-name", "é=1".encode()),
        ("utf8-emoji", "a=\U0001f36a".encode()), ("latin1-value", b"a=\xe9"),
        ("latin1-name", b"\xff=1"), ("truncated-utf8", b"a=\xc3"),
        ("mixed-utf8-latin1", b"a=\xc3\xa9\xff"), ("overlong-utf8", b"a=\xc0\xaf"),
        ("utf8-in-attr", "a=b; Foo=é".encode()),
        # the same text received as Latin-1 and as UTF-8: different bytes sent back
        ("latin1-ete", b"a=\xe9t\xe9"), ("utf8-ete", "a=\xe9t\xe9".encode()),
    ]:
        add("syntax", k, h)
    add("syntax", "plain-co-uk", "a=b", CU)
    add("syntax", "plain-ip", "a=b", IP)
    add("syntax", "plain-localhost", "a=b", LH)
    add("syntax", "plain-http", "a=b", H)
    add("syntax", "idn-host", "a=b", "https://bücher.example.test/")
    add("syntax", "trailing-dot-host", "a=b", "https://www.example.test./")
    add("syntax", "upper-host", "a=b", "https://WWW.Example.TEST/")

    # -- control characters that an HTTP/1.1 header value can carry
    for c in list(range(0x00, 0x09)) + [0x0B, 0x0C] + list(range(0x0E, 0x20)) + [0x7F]:
        add("ctl", f"value-{c:02x}", b"a=b" + bytes([c]) + b"c")
    for c in (0x01, 0x1F, 0x7F):
        add("ctl", f"name-{c:02x}", b"a" + bytes([c]) + b"=b")
        add("ctl", f"path-{c:02x}", b"a=b; Path=/x" + bytes([c]))
        add("ctl", f"unknown-attr-{c:02x}", b"a=b; Foo=" + bytes([c]))
    add("ctl", "trailing-00", b"a=b\x00")
    add("ctl", "attr-00", b"a=b; Path=/x\x00y")
    add("ctl", "tab-in-attr", b"a=b; Path=/x\ty")

    # -- Expires: the cookie-date algorithm
    far = [
        ("usual", "Wed, 21 Oct 2099 07:28:00 GMT"), ("rfc850", "Wednesday, 21-Oct-99 07:28:00 GMT"),
        ("asctime", "Wed Oct 21 07:28:00 2099"), ("no-weekday", "21 Oct 2099 07:28:00"),
        ("month-first", "Oct 21 2099 07:28:00"), ("year-first", "2099 Oct 21 07:28:00"),
        ("time-first", "07:28:00 21 Oct 2099"), ("epoch", "Thu, 01 Jan 1970 00:00:00 GMT"),
        ("epoch-plus-1", "Thu, 01 Jan 1970 00:00:01 GMT"), ("zero", "0"), ("empty", ""),
        ("garbage", "soon"), ("no-time", "Wed, 21 Oct 2099"), ("no-time-past", "Wed, 21 Oct 2001"),
        ("yy-69", "21 Oct 69 07:28:00"), ("yy-70", "21 Oct 70 07:28:00"),
        ("yy-68", "21 Oct 68 07:28:00"), ("yy-00", "21 Oct 00 07:28:00"),
        ("yy-99", "21 Oct 99 07:28:00"), ("yy-40", "21 Oct 40 07:28:00"),
        ("yyy-999", "21 Oct 999 07:28:00"), ("year-1600", "21 Oct 1600 07:28:00"),
        ("year-1601", "01 Jan 1601 00:00:00"), ("year-1000", "21 Oct 1000 07:28:00"),
        ("year-9999", "31 Dec 9999 23:59:59"), ("year-10000", "21 Oct 10000 07:28:00"),
        ("year-99999", "21 Oct 99999 07:28:00"), ("year-100000", "21 Oct 100000 07:28:00"),
        ("year-2147483647", "21 Oct 2147483647 07:28:00"),
        ("year-2147483648", "21 Oct 2147483648 07:28:00"),
        ("year-9999999999", "Thu, 12-Aug-9999999999 20:49:07 GMT"),
        ("year-10000000000", "12 Aug 10000000000 20:49:07"),
        ("year-leading-zeros", "21 Oct 002099 07:28:00"),
        ("year-long-then-short", "21 Oct 123456 2099 07:28:00"),
        ("year-10000-feb-30", "30 Feb 10000 07:28:00"),
        ("day-0", "0 Oct 2099 07:28:00"), ("day-32", "32 Oct 2099 07:28:00"),
        ("day-1-digit", "1 Oct 2099 07:28:00"), ("day-3-digit", "021 Oct 2099 07:28:00"),
        ("feb-30", "30 Feb 2099 07:28:00"), ("feb-29-leap", "29 Feb 2096 07:28:00"),
        ("feb-29-noleap", "29 Feb 2097 07:28:00"), ("apr-31", "31 Apr 2099 07:28:00"),
        ("hour-24", "21 Oct 2099 24:00:00"), ("minute-60", "21 Oct 2099 07:60:00"),
        ("second-60", "21 Oct 2099 07:28:60"), ("end-of-day", "21 Oct 2099 23:59:59"),
        ("short-time", "21 Oct 2099 7:8:9"), ("long-time-field", "21 Oct 2099 007:28:00"),
        ("time-hh-mm", "21 Oct 2099 07:28"), ("time-four-fields", "21 Oct 2099 07:28:00:00"),
        ("time-fraction", "21 Oct 2099 07:28:00.123"), ("time-z", "21 Oct 2099 07:28:00Z"),
        ("dashes", "21-Oct-2099 07:28:00"), ("slashes", "21/Oct/2099 07:28:00"),
        ("commas", "21,Oct,2099,07:28:00"), ("iso", "2099-10-21T07:28:00Z"),
        ("offset", "21 Oct 2099 07:28:00 +0100"), ("glued-day-month", "21Oct2099 07:28:00"),
        ("glued-month-day", "Oct21 2099 07:28:00"), ("month-long", "21 October 2099 07:28:00"),
        ("month-lower", "21 oct 2099 07:28:00"), ("month-upper", "21 OCT 2099 07:28:00"),
        ("month-unknown", "21 Foo 2099 07:28:00"), ("spaces-around", "  21 Oct 2099 07:28:00  "),
        ("trailing-words", "21 Oct 2099 07:28:00 GMT and more"), ("wrong-weekday", "Sun, 21 Oct 2099 07:28:00 GMT"),
        ("two-days", "21 22 Oct 2099 07:28:00"), ("two-months", "21 Oct Nov 2099 07:28:00"),
        ("day-suffix", "21st Oct 2099 07:28:00"), ("year-suffix", "21 Oct 2099AD 07:28:00"),
        ("quoted", '"Wed, 21 Oct 2099 07:28:00 GMT"'), ("tab-separated", "21\tOct\t2099\t07:28:00"),
        ("delimiter-chars", "21!Oct#2099{07:28:00}"), ("no-day", "Oct 2099 07:28:00"),
        ("no-year", "21 Oct 07:28:00"), ("past-usual", "Sun, 06 Nov 1994 08:49:37 GMT"),
        ("past-yesterday", (now - dt.timedelta(days=1)).strftime("%a, %d %b %Y %H:%M:%S GMT")),
    ]
    for k, d in far:
        add("date", k, f"a=b; Expires={d}")
    for k, delta in [("in-30-days", 30), ("in-399-days", 399), ("in-401-days", 401)]:
        when = now + dt.timedelta(days=delta)
        add("date", k, f"a=b; Expires={when.strftime('%a, %d %b %Y %H:%M:%S GMT')}", moving=True)
    near = now + dt.timedelta(days=30)
    add("date", "in-30-days-asctime", f"a=b; Expires={near.strftime('%a %b %d %H:%M:%S %Y')}", moving=True)
    add("date", "in-30-days-yy", f"a=b; Expires={near.strftime('%d-%b-%y %H:%M:%S')}", moving=True)
    add("date", "two-expires-last-valid", "a=b; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Expires=bogus")
    add("date", "two-expires-last-wins", "a=b; Expires=Wed, 21 Oct 2099 07:28:00 GMT; Expires=Thu, 01 Jan 1970 00:00:00 GMT")
    add("date", "expires-lower", "a=b; expires=Wed, 21 Oct 2099 07:28:00 GMT")
    add("date", "expires-1025", "a=b; Expires=Wed, 21 Oct 2099 07:28:00 GMT" + " " * 1000 + "x" * 25)
    add("date", "expires-1024", "a=b; Expires=Wed, 21 Oct 2099 07:28:00 GMT " + "x" * (1024 - 30))
    add("date", "expires-on-http", "a=b; Expires=Wed, 21 Oct 2099 07:28:00 GMT", H)

    # -- Max-Age
    for k, v in [
        ("empty", ""), ("zero", "0"), ("minus-one", "-1"), ("minus-zero", "-0"),
        ("fraction", "1.5"), ("plus", "+5"), ("leading-zeros", "0005"), ("sixty", "60"),
        ("space-minus", "- 1"), ("exponent", "1e3"), ("letters", "abc"), ("digits-letters", "60abc"),
        ("hex", "0x10"), ("spaces", "  60  "), ("quoted", '"60"'), ("huge", "99999999999999999999"),
        ("huge-negative", "-99999999999999999999"), ("400-days", "34560000"),
        ("400-days-plus-1", "34560001"), ("capped", "999999999"), ("int64-max", "9223372036854775807"),
        ("one", "1"), ("long-zeros", "0" * 1020 + "60"), ("long-1025", "0" * 1023 + "60"),
    ]:
        add("max-age", k, f"a=b; Max-Age={v}")
    add("max-age", "bare", "a=b; Max-Age")
    add("max-age", "lower", "a=b; max-age=60")
    add("max-age", "upper-zero", "a=b; MAX-AGE=0")
    add("max-age", "last-wins-zero", "a=b; Max-Age=60; Max-Age=0")
    add("max-age", "last-wins-sixty", "a=b; Max-Age=0; Max-Age=60")
    add("max-age", "last-invalid", "a=b; Max-Age=60; Max-Age=x")
    add("max-age", "wins-over-past-expires", "a=b; Max-Age=60; Expires=Thu, 01 Jan 1970 00:00:00 GMT")
    add("max-age", "wins-over-expires-after", "a=b; Expires=Wed, 21 Oct 2099 07:28:00 GMT; Max-Age=0")
    add("max-age", "invalid-keeps-expires", "a=b; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=x")
    add("max-age", "zero-on-http", "a=b; Max-Age=0", H)

    # -- Domain
    for k, v, url in [
        ("parent", "example.test", T), ("parent-dot", ".example.test", T),
        ("upper", "EXAMPLE.TEST", T), ("trailing-dot", "example.test.", T),
        ("host", "www.example.test", T), ("host-dot", ".www.example.test", T),
        ("other", "other.test", T), ("suffix-not-label", "ample.test", T),
        ("tld", "test", T), ("tld-dot", ".test", T), ("empty", "", T),
        ("child", "sub.www.example.test", T), ("two-dots", "..example.test", T),
        ("ip-on-name", "127.0.0.1", T), ("non-ascii", "exämple.test", T),
        ("punycode-other", "xn--exmple-cua.test", T), ("spaces", "  example.test  ", T),
        ("quoted", '"example.test"', T), ("lone-dot", ".", T),
        ("co-uk-parent", "example.co.uk", CU), ("co-uk-suffix", "co.uk", CU),
        ("co-uk-suffix-dot", ".co.uk", CU), ("co-uk-tld", "uk", CU),
        ("co-uk-host", "www.example.co.uk", CU), ("co-uk-other", "example.test", CU),
        ("ip-equal", "127.0.0.1", IP), ("ip-equal-dot", ".127.0.0.1", IP),
        ("ip-tail", "0.0.1", IP), ("ip-other", "127.0.0.2", IP), ("ip-name", "localhost", IP),
        ("localhost", "localhost", LH), ("localhost-dot", ".localhost", LH),
        ("localhost-other", "example.test", LH), ("http-parent", "example.test", H),
        ("idn-host-parent", "example.test", "https://bücher.example.test/"),
        ("idn-unicode", "bücher.example.test", "https://bücher.example.test/"),
        ("idn-punycode", "xn--bcher-kva.example.test", "https://bücher.example.test/"),
        ("trailing-dot-host", "example.test", "https://www.example.test./"),
        ("trailing-dot-both", "example.test.", "https://www.example.test./"),
        # read as a url's host is read: escapes, IPv4 forms, UTS #46
        ("canon-escaped", "%65xample.test", T), ("canon-escaped-host", "www.%45xample.test", T),
        ("canon-ipv4-hex", "0x7f.0.0.1", IP), ("canon-ipv4-short", "127.1", IP),
        ("canon-fullwidth", "ｅｘａｍｐｌｅ.test", T),
        ("canon-cjk", "例え.jp", "https://www.例え.jp/"), ("canon-forbidden", "exa<mple.test", T),
    ]:
        add("domain", k, f"a=b; Domain={v}".encode(), url)
    add("domain", "bare", "a=b; Domain")
    add("domain", "last-wins", "a=b; Domain=other.test; Domain=example.test")
    add("domain", "last-wins-bad", "a=b; Domain=example.test; Domain=other.test")
    add("domain", "last-empty", "a=b; Domain=example.test; Domain=")
    add("domain", "1025-ignored", "a=b; Domain=example.test; Domain=" + "a." * 512 + "x")
    add("domain", "1025-alone", "a=b; Domain=" + "a." * 512 + "x")
    add("domain", "lower-attr", "a=b; domain=example.test")

    # -- Path and the default path
    for k, url in [("root", T), ("deep", "https://www.example.test/a/b/page"),
                   ("dir", "https://www.example.test/dir/"), ("file", "https://www.example.test/dir"),
                   ("deep-dir", "https://www.example.test/a/b/c/"),
                   ("query", "https://www.example.test/a/b?x=/y/z"),
                   ("encoded", "https://www.example.test/a%20b/c"),
                   ("double-slash", "https://www.example.test//x"),
                   ("deep-http", "http://www.example.test/a/b/page")]:
        add("default-path", k, "a=b", url)
    D = "https://www.example.test/a/b/page"
    for k, v in [("explicit", "/x"), ("relative", "x"), ("empty", ""), ("slash-end", "/x/"),
                 ("root", "/"), ("encoded", "/X%20Y"), ("space", "/a b"), ("utf8", "/é"),
                 ("double-slash", "//"), ("dotdot", "/a/../b"), ("backslash", "\\x"),
                 ("query-like", "/x?y"), ("spaces", "  /x  "), ("quoted", '"/x"'),
                 ("1024", "/" + "p" * 1023), ("1025", "/" + "p" * 1024), ("case", "/A/B")]:
        add("path", k, f"a=b; Path={v}".encode(), D)
    add("path", "bare", "a=b; Path", D)
    add("path", "last-wins", "a=b; Path=/x; Path=/y", D)
    add("path", "last-empty", "a=b; Path=/x; Path=", D)
    add("path", "last-relative", "a=b; Path=/x; Path=y", D)
    add("path", "1025-after", "a=b; Path=/x; Path=/" + "p" * 1024, D)
    add("path", "lower-attr", "a=b; path=/x", D)

    # -- Secure and secure origins
    for k, url in [("test", T), ("co-uk", CU), ("ip", IP), ("localhost", LH), ("http", H),
                   ("http-localhost", "http://localhost/"), ("http-ip", "http://127.0.0.1/"),
                   ("http-ip-other", "http://127.0.0.2/"), ("http-sub-localhost", "http://app.localhost/"),
                   ("http-co-uk", "http://www.example.co.uk/")]:
        add("secure", k, "a=b; Secure", url)
    add("secure", "httponly-on-http", "a=b; HttpOnly", H)

    # -- name prefixes
    for k, h, url in [
        ("secure-ok", "__Secure-a=b; Secure", T), ("secure-no-secure", "__Secure-a=b", T),
        ("secure-http", "__Secure-a=b; Secure", H), ("secure-lower", "__secure-a=b", T),
        ("secure-lower-ok", "__secure-a=b; Secure", T), ("secure-upper", "__SECURE-a=b", T),
        ("secure-mixed-ok", "__SeCuRe-a=b; Secure", T), ("secure-domain", "__Secure-a=b; Secure; Domain=example.test", T),
        ("secure-path", "__Secure-a=b; Secure; Path=/x", T), ("secure-ip", "__Secure-a=b; Secure", IP),
        ("secure-localhost-http", "__Secure-a=b; Secure", "http://localhost/"),
        ("secure-no-dash", "__Securea=b", T), ("secure-underscore", "__Secure_a=b", T),
        ("secure-leading-space", " __Secure-a=b", T), ("secure-in-value", "=__Secure-a", T),
        ("secure-in-value-ok", "=__Secure-a; Secure", T), ("secure-in-value-lower", "=__secure-a", T),
        ("secure-bare", "__Secure-=b; Secure", T), ("secure-only-name", "__Secure-a", T),
        ("host-ok", "__Host-a=b; Secure; Path=/", T), ("host-no-path", "__Host-a=b; Secure", T),
        ("host-path-x", "__Host-a=b; Secure; Path=/x", T), ("host-no-secure", "__Host-a=b; Path=/", T),
        ("host-domain", "__Host-a=b; Secure; Path=/; Domain=example.test", T),
        ("host-domain-host", "__Host-a=b; Secure; Path=/; Domain=www.example.test", T),
        ("host-lower", "__host-a=b; Secure", T), ("host-lower-ok", "__host-a=b; Secure; Path=/", T),
        ("host-upper-ok", "__HOST-a=b; Secure; Path=/", T), ("host-upper-domain", "__HOST-a=b; Secure; Path=/; Domain=example.test", T),
        ("host-deep-no-path", "__Host-a=b; Secure", D), ("host-deep-ok", "__Host-a=b; Secure; Path=/", D),
        ("host-deep-relative", "__Host-a=b; Secure; Path=x", "https://www.example.test/page"),
        ("host-ip", "__Host-a=b; Secure; Path=/", IP), ("host-ip-domain", "__Host-a=b; Secure; Path=/; Domain=127.0.0.1", IP),
        ("host-localhost", "__Host-a=b; Secure; Path=/", LH), ("host-http", "__Host-a=b; Secure; Path=/", H),
        ("host-in-value", "=__Host-a", T), ("host-in-value-ok", "=__Host-a; Secure; Path=/", T),
        ("host-no-dash", "__Hosta=b", T), ("host-partitioned", "__Host-a=b; Secure; Path=/; Partitioned", T),
        ("host-path-twice", "__Host-a=b; Secure; Path=/x; Path=/", T),
        ("host-path-1025", "__Host-a=b; Secure; Path=/; Path=/" + "p" * 1024, T),
        ("http-prefix", "__Http-a=b; Secure; HttpOnly", T), ("host-http-prefix", "__Host-Http-a=b; Secure; Path=/; HttpOnly", T),
        ("http-prefix-no-httponly", "__Http-a=b; Secure", T), ("host-http-prefix-no-httponly", "__Host-Http-a=b; Secure; Path=/", T),
        ("http-prefix-lower", "__http-a=b; Secure", T),
    ]:
        add("prefix", k, h, url)

    # -- SameSite
    for k, v in [("lax", "Lax"), ("strict", "Strict"), ("none-secure", "None; Secure"),
                 ("none", "None"), ("lower", "lax"), ("upper", "STRICT"), ("bogus", "Bogus"),
                 ("empty", ""), ("spaces", "  Lax  "), ("quoted", '"Lax"'), ("split", "No ne"),
                 ("last-wins", "None; SameSite=Lax"), ("last-none", "Lax; SameSite=None"),
                 ("last-bogus", "Strict; SameSite=Bogus"), ("extended", "Lax-Allowing-Unsafe")]:
        add("samesite", k, f"a=b; SameSite={v}")
    add("samesite", "bare", "a=b; SameSite")
    add("samesite", "none-http", "a=b; SameSite=None; Secure", H)
    add("samesite", "none-no-secure-http", "a=b; SameSite=None", H)
    add("samesite", "strict-http", "a=b; SameSite=Strict", H)
    add("samesite", "none-1025", "a=b; Secure; SameSite=Lax; SameSite=None" + " " * 1020 + "x")

    # -- Partitioned
    for k, h, url in [
        ("secure", "a=b; Secure; Partitioned", T), ("alone", "a=b; Partitioned", T),
        ("http", "a=b; Secure; Partitioned", H), ("http-alone", "a=b; Partitioned", H),
        ("lower", "a=b; secure; partitioned", T), ("with-value", "a=b; Secure; Partitioned=no", T),
        ("samesite-none", "a=b; Secure; SameSite=None; Partitioned", T),
        ("domain", "a=b; Secure; Domain=example.test; Partitioned", T),
        ("ip", "a=b; Secure; Partitioned", IP), ("co-uk", "a=b; Secure; Partitioned", CU),
        ("max-age-zero", "a=b; Secure; Partitioned; Max-Age=0", T),
    ]:
        add("partitioned", k, h, url)

    # -- Priority
    for k, v in [("low", "Low"), ("medium", "Medium"), ("high", "High"), ("lower", "low"),
                 ("upper", "HIGH"), ("mixed-medium", "mEdIuM"), ("bogus", "Bogus"), ("empty", ""),
                 ("spaces", "  High  "), ("quoted", '"High"'), ("last-wins", "High; Priority=Low"),
                 ("last-bogus", "Low; Priority=bogus"), ("last-medium", "High; Priority=Medium"),
                 ("1025", "High; Priority=Low" + " " * 1010 + "x" * 15)]:
        add("priority", k, f"a=b; Priority={v}")
    add("priority", "bare", "a=b; Priority")
    add("priority", "none", "a=b")

    # -- sizes
    add("size", "4096-name-value", "n=" + "v" * 4095)
    add("size", "4097-name-value", "n=" + "v" * 4096)
    add("size", "4096-name-only", "n" * 4096 + "=")
    add("size", "4097-name-only", "n" * 4097 + "=")
    add("size", "4096-value-only", "=" + "v" * 4096)
    add("size", "4097-value-only", "=" + "v" * 4097)
    add("size", "4096-no-equals", "v" * 4096)
    add("size", "4097-no-equals", "v" * 4097)
    add("size", "4096-trailing-spaces", "n=" + "v" * 4095 + "   ")
    add("size", "4096-inner-spaces", "n=" + "v" * 4093 + " " * 1 + "vv")
    add("size", "4096-utf8", ("n=" + "é" * 2047 + "v").encode())
    add("size", "4097-utf8", ("n=" + "é" * 2048).encode())
    add("size", "4095-name-value", "n=" + "v" * 4094)
    add("size", "half-half", "n" * 2048 + "=" + "v" * 2048)
    add("size", "4096-with-attrs", "n=" + "v" * 4095 + "; Path=/; Secure; HttpOnly")
    add("size", "unknown-attr-1025", "a=b; Foo=" + "x" * 1025 + "; Secure")
    add("size", "attr-name-2000", "a=b; " + "F" * 2000 + "=1; Secure")
    add("size", "attr-name-path-1025-value", "a=b; Path=/" + "p" * 1023, D)
    add("size", "many-attrs", "a=b" + "; Foo=1" * 200 + "; Secure")
    add("size", "header-8k", "a=b; Foo=" + "x" * 1000 + ("; Bar=" + "y" * 1000) * 7)

    # -- shapes real servers send
    E = "Wed, 21 Oct 2099 07:28:00 GMT"
    for k, h, url in [
        ("php-session", "PHPSESSID=el4ukv0kqbvoirg7nkp4dncpk3; path=/", T),
        ("java-session", "JSESSIONID=1A530637289A03B07199A44E8D531427; Path=/; Secure; HttpOnly", T),
        ("aspnet-session", "ASP.NET_SessionId=wysxsba0ojgdhzlokgokhpn5; path=/; HttpOnly; SameSite=Lax", T),
        ("express-session", f"connect.sid=s%3AabcDEF123.xyzXYZ%2F456; Path=/; Expires={E}; HttpOnly", T),
        ("flask-session", "session=eyJfZnJlc2giOmZhbHNlfQ.ZxYzAb.c2lnbmF0dXJl; HttpOnly; Path=/", T),
        ("django-session", f"sessionid=8cae3cb4wdyxqaxjnu3gcg1f0bzk9o2l; expires={E}; HttpOnly; Max-Age=1209600; Path=/; SameSite=Lax", T),
        ("django-csrf", f"csrftoken=mUxQKCoAtd0ng5Fhs3KS9AWpXu1cAaHj; expires={E}; Max-Age=31449600; Path=/; SameSite=Lax", T),
        ("django-delete", "sessionid=\"\"; expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0; Path=/", T),
        ("angular-xsrf", "XSRF-TOKEN=eyJpdiI6IkxZ; Path=/; Secure; SameSite=Strict", T),
        ("laravel", f"laravel_session=eyJpdiI6InR; expires={E}; Max-Age=7200; path=/; httponly; samesite=lax", T),
        ("rails", "_app_session=QmFzZTY0--abc123; path=/; secure; HttpOnly; SameSite=Lax", T),
        ("rack", "rack.session=BAh7BkkiD3Nlc3Npb25faWQGOgZFVEkiRTA; path=/; HttpOnly", T),
        ("remember-me", f"remember_token=1%7Cabcdef; expires={E}; path=/; secure; HttpOnly", T),
        ("ga", "_ga=GA1.2.1234567890.1700000000; expires=Thu, 21 Oct 2099 07:28:00 GMT; path=/; domain=.example.test", T),
        ("gid", "_gid=GA1.2.987654321.1700000000; Max-Age=86400; path=/; domain=.example.test", T),
        ("ga-co-uk", "_ga=GA1.3.1234567890.1700000000; Max-Age=63072000; path=/; domain=.example.co.uk", CU),
        ("fbp", "_fbp=fb.1.1700000000000.1234567890; Max-Age=7776000; Path=/; Domain=example.test; SameSite=Lax; Secure", T),
        ("lb-sticky", "AWSALB=abc/def+ghi==; Expires=Wed, 16 Dec 2026 03:00:00 GMT; Path=/", T),
        ("lb-sticky-cors", "AWSALBCORS=abc/def+ghi==; Expires=Wed, 16 Dec 2026 03:00:00 GMT; Path=/; SameSite=None; Secure", T),
        ("bot-management", "__bm=abc.def-1700000000-1.0.1.1-xyz; path=/; expires=Wed, 09-Dec-26 03:45:00 GMT; domain=.example.test; HttpOnly; Secure; SameSite=None", T),
        ("consent", "cookieconsent_status=dismiss; expires=Thu, 09 Dec 2027 03:00:00 GMT; path=/", T),
        ("locale", "locale=en-GB; Path=/; Max-Age=31536000", CU),
        ("json-value", 'prefs={"theme":"dark","n":1}; Path=/', T),
        ("base64-padding", "token=YWJjZA==; Path=/; Secure", T),
        ("jwt", "access_token=eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.abc-_def; Path=/api; HttpOnly; Secure; SameSite=Strict", "https://www.example.test/api/login"),
        ("delete-epoch", "a=deleted; expires=Thu, 01-Jan-1970 00:00:01 GMT; path=/", T),
        ("delete-max-age", "auth=; Max-Age=0; Path=/; HttpOnly", T),
        ("delete-both", "auth=; Path=/; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=-1", T),
        ("netscape-style", "CUSTOMER=WILE_E_COYOTE; path=/; expires=Wednesday, 09-Nov-99 23:12:40 GMT", T),
        ("login-redirect", "flash=Welcome%21; Path=/; SameSite=Lax", "https://www.example.test/login"),
        ("api-path", "api_key=k1; Path=/api/", "https://www.example.test/api/v1/items"),
        ("host-session", "__Host-session=abc123; Secure; HttpOnly; Path=/; SameSite=Lax", T),
        ("secure-csrf", "__Secure-csrf=abc; Secure; Path=/; SameSite=Strict", CU),
        ("chips", "__Host-embed=1; Secure; Path=/; SameSite=None; Partitioned", T),
        ("priority-high", "SID=abc; Path=/; Domain=.example.test; Secure; HttpOnly; Priority=HIGH", T),
        ("priority-low-tracking", "NID=511=abc; expires=Thu, 10-Jun-2027 03:00:00 GMT; path=/; domain=.example.test; HttpOnly; Priority=LOW", T),
        ("localhost-dev", "session=dev; Path=/; HttpOnly; SameSite=Lax", "http://localhost/"),
        ("ip-dev", "session=dev; Path=/; HttpOnly; Secure", "http://127.0.0.1/"),
    ]:
        add("real", k, h, url)
    rows.sort(key=lambda r: r["id"])
    ids = [r["id"] for r in rows]
    assert len(ids) == len(set(ids)), "duplicate row ids"
    return rows


# Rows on which the reference model deliberately differs from Chromium:
# id -> {"reason": ..., "section": the draft's section}.
DIFFERENCES: dict[str, dict] = {}


def normalise(row, rec):
    """(expected, reasons, derived_from_model) for one recorded row."""
    dev = rec["devtools"]
    header = row["header"]
    reasons = sorted({r for b in dev["blocked"] for r in b.get("blockedReasons", [])})
    if dev["cookies"]:
        if len(dev["cookies"]) != 1:
            raise RuntimeError(f"{row['id']}: {len(dev['cookies'])} cookies stored")
        return from_cdp(dev["cookies"][0], header, dev.get("cookie_header_sent")), reasons, []
    deletion = dev.get("deletion")
    if deletion and len(deletion["before"]) == 1 and not deletion["after"] and not deletion["blocked"]:
        exp = from_cdp(deletion["before"][0], header, None)
        exp["expired"] = True
        # Chromium never shows the instant a deletion expired at
        now = dt.datetime.fromisoformat(rec["recorded_at"])
        cookie = read_set_cookie(header, row["url"], now=now)
        exp["expires"] = None if cookie is None or cookie.expires is None else cookie.expires.timestamp()
        return exp, reasons, ["expires"]
    return None, reasons, []


# ---------------------------------------------------------------------------
# Comparing
# ---------------------------------------------------------------------------

def _shift(exp, delta):
    if exp is None or exp.get("expires") is None or exp["expired"]:
        return exp
    return dict(exp, expires=exp["expires"] + delta)


def _load():
    doc = json.loads(DATA.read_text())
    for r in doc["rows"]:
        r["header"] = r["header"].encode("latin-1")
    return doc


def compare(sample, seed):
    doc = _load()
    rows = sorted(doc["rows"], key=lambda r: r["id"])
    picked = random.Random(seed).sample(rows, min(sample, len(rows)))
    try:
        browser = Browser()
    except Exception as exc:
        print(f"compare: Chromium did not start: {exc}")
        return 1
    same_major = browser.version.split(".")[0] == doc["chromium"].split(".")[0]
    bad = 0
    try:
        for row in picked:
            rec = browser.record(row)
            live, reasons, _ = normalise(row, rec)
            now = dt.datetime.fromisoformat(rec["recorded_at"])
            problems = []
            if not row["moving"]:
                then = dt.datetime.fromisoformat(row["recorded_at"])
                delta = (now - then).total_seconds()
                stored = row["expected"]
                # Max-Age and the 400-day cap move with the clock, dates do not
                diff = differences(stored, live)
                if diff and differences(_shift(stored, delta), live):
                    problems.append(f"stored {diff}")
            diff = differences(cookie_view(read_set_cookie(row["header"], row["url"], now=now)),
                               live)
            if diff:
                problems.append(f"read_set_cookie {diff}")
            if problems:
                bad += 1
                print(f"DIFF {row['id']}: {'; '.join(problems)}\n  live: {live} {reasons}")
    finally:
        browser.close()
    print(f"compare: {len(picked)} rows, {bad} disagreeing, Chromium {browser.version} "
          f"(recorded {doc['chromium']})")
    if bad and not same_major:
        print("compare: another major version than recorded: reported only")
        return 0
    return 1 if bad else 0


def renormalise():
    """Derive every row's expectation anew from its stored DevTools output."""
    doc = _load()
    for row in doc["rows"]:
        row["expected"], row["reasons"], row["derived_from_model"] = normalise(row, row)
        row["difference"] = DIFFERENCES.get(row["id"])
    _save(doc)
    print(f"renormalise: {len(doc['rows'])} rows")


def _save(doc):
    doc = dict(doc, rows=[dict(r, header=r["header"].decode("latin-1"))
                          for r in sorted(doc["rows"], key=lambda r: r["id"])])
    DATA.write_text(json.dumps(doc, indent=1, ensure_ascii=True) + "\n")


def record(only):
    now = dt.datetime.now(UTC)
    rows = corpus(now)
    if only:
        rows = [r for r in rows if only in r["id"]]
    old, previous = {}, None
    if only and DATA.exists():
        previous = _load()
        old = {r["id"]: r for r in previous["rows"]}
    browser = Browser()
    try:
        for i, row in enumerate(rows, 1):
            rec = browser.record(row)
            expected, reasons, derived = normalise(row, rec)
            old[row["id"]] = {
                "id": row["id"], "group": row["group"], "header": row["header"],
                "url": row["url"], **rec, "expected": expected, "reasons": reasons,
                "derived_from_model": derived, "difference": DIFFERENCES.get(row["id"]),
                "moving": row["moving"]}
            if i % 25 == 0:
                print(f"record: {i}/{len(rows)}", file=sys.stderr)
        version = browser.version
    finally:
        browser.close()
    doc = {"format": 1, "chromium": version, "recorded": now.date().isoformat(),
           "rows": list(old.values())}
    if previous is not None:
        # a few rows added to the table: the document still names the build
        # and the day of the bulk of it; each row names its own build
        doc.update(chromium=previous["chromium"], recorded=previous["recorded"])
    _save(doc)
    print(f"record: {len(old)} rows written to {DATA.relative_to(ROOT)} (Chromium {version})")
