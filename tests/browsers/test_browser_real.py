"""Debian's chromium and firefox-esr, started here on throw-away profiles,
set cookies on a site served from this process; `load_browser` must then
give what the browser kept, field by field, and the jar must send what the
browser sent.  Skipped only where a browser is not installed."""

import time
from urllib.parse import quote

import pytest

from gco_testkit import real_browsers
from gco_testkit.real_browsers import CHROMIUM, FIREFOX, HOW

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.formats import cdp
from glimmering_copper_otter.jar import CookieJar

pytest.importorskip("cryptography", reason=f"the browsers extra: {HOW}")

# Set-Cookie headers of the first-party page: every attribute Chromium keeps.
FIRST_PARTY = [
    "host=1; Max-Age=3600", "dom=2; Domain=site-a.test; Max-Age=3600", "sess=3",
    "sec=4; Secure; Max-Age=3600", "ho=5; HttpOnly; Max-Age=3600",
    "lax=6; SameSite=Lax; Max-Age=3600", "strict=7; SameSite=Strict; Max-Age=3600",
    "none=8; SameSite=None; Secure; Max-Age=3600", "high=9; Priority=High; Max-Age=3600",
    "low=10; Priority=Low; Max-Age=3600", "deep=11; Path=/a/b; Max-Age=3600",
    "__Host-h=12; Secure; Path=/; Max-Age=3600", "long=13; Max-Age=34560000",
    "sessdom=14; Domain=site-a.test; Secure; HttpOnly",
]
# From a frame of site-b.test under site-a.test: a partitioned cookie.
PARTITIONED = "part=15; Secure; Partitioned; SameSite=None; Path=/; Max-Age=3600"


def _set(host, headers, to=None):
    url = f"{host}/set?" + "&".join("c=" + quote(header) for header in headers)
    return url + (f"&to={quote(to)}" if to else "")


@pytest.fixture
def site():
    site = real_browsers.Site()
    yield site
    site.close()


def _comparable(row):
    """A row without the times DevTools does not show."""
    return row[:_rows.CREATION] + row[_rows.SECURE:]


@pytest.mark.skipif(not real_browsers.have(CHROMIUM), reason=f"chromium is not installed: {HOW}")
def test_chromium_profile(site, tmp_path):
    profile = tmp_path / "chromium"
    browser = real_browsers.Chromium(site, profile)
    try:
        browser.goto(_set("https://www.site-a.test", FIRST_PARTY))
        browser.goto("https://site-a.test/frame?src="
                     + quote(_set("https://site-b.test", [PARTITIONED])))
        time.sleep(0.5)  # the frame's response is handled after the page's load event
        browser.goto("https://www.site-a.test/a/b/echo")
        shown = browser.cookies()
        # A profile in use loads from a copy; Chromium writes its file every
        # 30 seconds, so only some cookies may be there yet.
        running = CookieJar()
        running.load_browser("chromium", profile)
        assert {_comparable(row) for row in running.rows()} <= {
            _comparable(cdp.to_row(cookie)) for cookie in shown}
    finally:
        browser.close()
    assert len(shown) == len(FIRST_PARTY) + 1
    jar = CookieJar()
    report = jar.load_browser("chromium", profile)
    assert (report.loaded, report.skipped, report.notes) == (len(shown), [], ())
    assert sorted(_comparable(row) for row in jar.rows()) == sorted(
        _comparable(cdp.to_row(cookie)) for cookie in shown)
    sent = site.sent("/a/b/echo")
    assert jar.cookie_header("https://www.site-a.test/a/b/echo", navigation=True) == sent.encode()
    assert jar.cookie_header("https://site-b.test/",
                             site_for_cookies="https://site-a.test/") == b"part=15"


# (name, domain, host-only, secure, HttpOnly, SameSite, partitioned, session):
# what Firefox keeps of what the site sets.
FIREFOX_FIRST = ["host=1; Max-Age=3600", "dom=2; Domain=site-a.test; Max-Age=3600", "sess=3",
                 "ho=4; HttpOnly; Max-Age=3600", "lax=5; SameSite=Lax; Max-Age=3600",
                 "strict=6; SameSite=Strict; Max-Age=3600", "deep=7; Path=/a; Max-Age=3600"]
FIREFOX_LOCAL = ["sec=8; Secure; Max-Age=3600", "none=9; SameSite=None; Secure; Max-Age=3600",
                 "lsess=10; Secure", "part=11; Secure; Partitioned; Max-Age=3600"]
FIREFOX_EXPECTED = [
    ("host", "www.site-a.test", True, False, False, 0, False, False),
    ("dom", "site-a.test", False, False, False, 0, False, False),
    ("sess", "www.site-a.test", True, False, False, 0, False, True),
    ("ho", "www.site-a.test", True, False, True, 0, False, False),
    ("lax", "www.site-a.test", True, False, False, 1, False, False),
    ("strict", "www.site-a.test", True, False, False, 2, False, False),
    ("deep", "www.site-a.test", True, False, False, 0, False, False),
    ("sec", "localhost", True, True, False, 0, False, False),
    ("none", "localhost", True, True, False, 3, False, False),
    ("lsess", "localhost", True, True, False, 0, False, True),
    ("part", "localhost", True, True, False, 0, True, False),
]


@pytest.mark.skipif(not real_browsers.have(FIREFOX), reason=f"firefox-esr is not installed: {HOW}")
def test_firefox_profile(site, tmp_path):
    done = "http://www.site-a.test/done"
    second = _set("http://localhost", FIREFOX_LOCAL, to=done)
    profile = real_browsers.firefox_run(site, tmp_path / "home" / "profile",
                                        _set("http://www.site-a.test", FIREFOX_FIRST, to=second))
    jar = CookieJar()
    report = jar.load_browser("firefox", profile)
    assert (report.loaded, report.skipped) == (len(FIREFOX_EXPECTED), [])
    kept = sorted((c.name, c.domain, c.host_only, c.secure, c.http_only, int(c.same_site),
                   c.partitioned, c.expires is None) for c in jar)
    assert kept == sorted(FIREFOX_EXPECTED)
    assert {cookie.name: cookie.path for cookie in jar}["deep"] == "/a"
    # The session store keeps no creation times: its cookies are made at the
    # load, so they come last among cookies of one path.
    assert jar.cookie_header("http://www.site-a.test/done", navigation=True) == \
        b"host=1; dom=2; ho=4; lax=5; strict=6; sess=3"
