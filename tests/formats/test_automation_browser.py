"""The automation formats against the real programs: Playwright's Python
package driving Debian's chromium, and DevTools on it, in one throw-away
profile (third-party cookies allowed) on the recorder's loopback server.
The jar's dumps, put into the browser, must send exactly what
`jar.cookie_header` predicts; what the browser gives back, loaded into a
fresh jar, must predict the same."""

import importlib.util
import os

import pytest

from gco_testkit.real_browsers import unsanitized

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.jar import CookieJar

CHROMIUM = "/usr/bin/chromium"
HOW = ("needs Debian's chromium at /usr/bin/chromium and Playwright's Python package with "
       "trustme (apt-get install chromium; pip install '.[recorder]'; see CONTRIBUTING.md, "
       "\"Recorded from a real browser\")")
pytestmark = pytest.mark.skipif(
    not os.path.exists(CHROMIUM) or not all(importlib.util.find_spec(name)
                                            for name in ("playwright", "trustme")), reason=HOW)

T, W = "https://top.test/page", "https://www.example.test/"
# The jar's cookies: (Set-Cookie value, url it came from, the top-level page
# of the frame that received it, None for a navigation).
COOKIES = [(b"host=1; Max-Age=3600", W, None),
           (b"dom=2; Domain=example.test; Path=/p; Max-Age=7200", W, None),
           (b"dom=3; Domain=example.test; Max-Age=7200", W, None),
           (b"strict=4; Secure; HttpOnly; SameSite=Strict; Priority=High", W, None),
           (b"lax=5; SameSite=Lax; Max-Age=600", W, None),
           (b"none=6; Secure; SameSite=None", W, None), (b"__Host-h=7; Secure; Path=/", W, None),
           (b"chips=8; Secure; SameSite=None; Partitioned", W, T),
           (b"own=9; Secure; Partitioned; Max-Age=900", W, W),
           (b"plain=10; Path=/", "http://plain.test/", None),
           (b"other=11; Domain=other.test; SameSite=None; Secure", "https://other.test/", None)]
# The pages asked for: a url, and the top-level page of the frame it is
# loaded in (None: a navigation typed by the user).
PAGES = [(W, None), (W + "p/x", None), ("http://www.example.test/p/x", None),
         ("https://sub.example.test/p", None), ("https://other.test/", None),
         ("http://plain.test/", None), (W + "frame", T), ("https://other.test/frame", W + "page")]

def _jar():
    jar = CookieJar()
    for header, url, top in COOKIES:
        stored = jar.set_cookie(header, url, navigation=top is None, site_for_cookies=top)
        assert stored is not None, header
    # A partitioned cookie of its own site set by a frame with a cross-site
    # ancestor (A in B in A), which no single frame's response can set.
    own = next(row for row in jar.rows() if row[_rows.NAME] == b"own")
    jar.load_rows([(b"nested", *own[1:_rows.CROSS_SITE_ANCESTOR], True)])
    return jar


def _expected(jar, url, top):
    return jar.cookie_header(url, navigation=top is None, site_for_cookies=top)


@pytest.fixture(scope="module")
def browser():
    from tools.recorder.sequences import SequenceBrowser

    with unsanitized():
        chromium = SequenceBrowser(third_party_cookies=True)
    try:
        yield chromium
    finally:
        chromium.close()


def _sent(browser):
    """What the browser sends to each of PAGES, raw."""
    out = []
    for url, top in PAGES:
        step = {"do": "goto", "url": url} if top is None else {"do": "iframe", "url": url,
                                                                 "top": top}
        seen = browser.run_step(step, {})
        assert "error" not in seen, (url, seen["error"])
        out.append(b"" if seen.get("sent") is None else seen["sent"].encode("latin-1"))
    return out


# format: (how the browser takes the jar's dump, what it gives back)
WAYS = {"playwright": (lambda b, state: b.context.add_cookies(state["cookies"]),
                       lambda b: b.context.storage_state()),
        "cdp": (lambda b, params: b.cdp.send("Network.setCookies", {"cookies": params}),
                lambda b: b.cdp.send("Storage.getCookies"))}


@pytest.mark.parametrize("format", WAYS)
def test_both_ways(browser, format):
    put, take = WAYS[format]
    jar = _jar()
    document, report = jar.dump_cookies(format=format)
    browser.reset()
    put(browser, document)
    sent = _sent(browser)
    assert sent == [_expected(jar, url, top) for url, top in PAGES] and sent[0] and sent[6]
    # What the browser gives back sends the same from a fresh jar.
    again = CookieJar()
    loaded = again.load_cookies(take(browser), format=format)
    assert (loaded.loaded, loaded.skipped) == (len(jar), [])
    assert [_expected(again, url, top) for url, top in PAGES] == sent
    if format == "cdp":
        # DevTools carries every field but the times, exactly, and changes nothing.
        assert report.changed == [] and report.left_out == []
        fields = [i for i in range(len(_rows.FIELDS))
                  if i not in (_rows.CREATION, _rows.LAST_ACCESS)]
        assert sorted(tuple(row[i] for i in fields) for row in again.rows()) == \
            sorted(tuple(row[i] for i in fields) for row in jar.rows())
        return
    # The report names every cookie whose SameSite the browser now holds
    # otherwise than the jar (DevTools shows the browser's own).
    names = {"UNDEFINED": None, "LAX": "Lax", "STRICT": "Strict", "NONE": "None"}
    held = {(c["name"], c["domain"].lstrip("."), c["path"]): c.get("sameSite")
            for c in browser.cookies()}
    rewritten = {(c.name, c.domain, c.path) for c in jar
                 if names[c.same_site.name] != held[c.name, c.domain, c.path]}
    assert rewritten == {(item.name.decode(), item.domain, item.path.decode())
                         for item in report.changed if item.reason.startswith("SameSite")}
    assert len(rewritten) == 7
