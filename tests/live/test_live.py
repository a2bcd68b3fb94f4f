"""A jar into a running browser and back, against the real programs: Debian's
chromium (its DevTools port, a Playwright context and a Selenium WebDriver
attached to that port, the command line) and firefox-esr (its WebDriver BiDi
port, the command line), each started once on a throw-away profile, on a
loopback HTTPS site.  The pushed jar's Cookie headers must arrive at the
site as jar.cookie_header predicts (byte for byte from Chromium, as the same
set from Firefox); the site's cookies, pulled, must predict what the browser
sent; and every cookie a browser cannot take as the jar holds it is in the
report."""

import asyncio
import concurrent.futures
import importlib.util
import json
import time

import pytest

from gco_testkit import real_browsers
from gco_testkit.real_browsers import CHROMIUM, FIREFOX, HOW

from glimmering_copper_otter import cli
from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.jar import CookieJar

pytest.importorskip("websockets", reason=f"the live extra: {HOW}")
pytest.importorskip("cryptography", reason=f"the browsers extra: {HOW}")

W, A, B = "https://www.site-a.test/", "https://site-a.test/", "https://site-b.test/"
# The jar: (Set-Cookie value, url, the top-level page of the frame it came
# from, None for a navigation): every attribute a push carries.
JAR = [(b"host=1; Max-Age=3600", W, None), (b"dom=2; Domain=site-a.test; Path=/p", W, None),
       (b"sess=3", W, None), (b"strict=4; Secure; HttpOnly; SameSite=Strict", W, None),
       (b"lax=5; SameSite=Lax; Max-Age=600", W, None), (b"none=6; Secure; SameSite=None", W, None),
       (b"__Host-h=7; Secure; Path=/", W, None), (b"deep=8; Path=/p/x; Max-Age=60", W, None),
       (b"utf=\xc3\xa9\xe2\x82\xac", W, None), (b"high=10; Priority=High", W, None),
       (b"chips=11; Secure; SameSite=None; Partitioned", B + "f", A),
       (b"other=12; Domain=site-b.test; Secure; SameSite=None; Max-Age=99", B, None)]
# Pages asked for: (url, the top-level page framing it, None at the top).
PAGES = [(W + "p/x", None), (W, None), ("https://sub.site-a.test/p/y", None), (B + "f", A),
         (B, None)]
# What each protocol cannot carry of JAR, as (cookie name, the reason's first
# words); Firefox's value cannot hold the euro sign.
CHANGED = {"cdp": set(),
           "bidi": {("high", "priority high"), ("chips", "partition: WebDriver BiDi")}}
REFUSED = {"cdp": set(), "bidi": {("utf", "Unsupported: Firefox")}}
# Set-Cookie values the site sets in the browser, to be pulled.
SET = ["s1=a; Max-Age=3600", "s2=b; Domain=site-a.test; Path=/p", "s3=c; Secure; HttpOnly",
       "s4=d; SameSite=Strict", "s5=\xc3\xa9"]


def _jar():
    jar = CookieJar()
    for header, url, top in JAR:
        assert jar.set_cookie(header, url, navigation=top is None, site_for_cookies=top), header
    return jar


def _expected(jar, url, top):
    return jar.cookie_header(url, navigation=top is None, site_for_cookies=top)


def _frame(url, top):
    return url if top is None else f"{top}frame?src={url}"


class Chromium:
    """One headless chromium with its DevTools port open; the targets
    reaching it."""

    protocol = "cdp"

    def __init__(self, site, directory):
        self.site = site
        self.browser = real_browsers.Chromium(site, directory / "chromium", port=True)
        self.endpoint = self.browser.endpoint
        self._playwright = self._selenium = None

    def sent(self, urls, clear=False):
        if clear:
            self.browser.call("Storage.clearCookies")
        for url in urls:
            self.browser.goto(url)
        time.sleep(0.3)  # a frame's response is handled after the page's load event

    def playwright(self):
        if self._playwright is None:
            from playwright.sync_api import sync_playwright

            with real_browsers.unsanitized():
                driver = sync_playwright().start()
            self._playwright = driver, driver.chromium.connect_over_cdp(self.endpoint)
        return self._playwright[1].contexts[0]

    def selenium(self):
        if self._selenium is None:
            from selenium import webdriver
            from selenium.webdriver.chrome.service import Service

            options = webdriver.ChromeOptions()
            options.debugger_address = self.endpoint.removeprefix("http://")
            with real_browsers.unsanitized():
                self._selenium = webdriver.Chrome(service=Service("/usr/bin/chromedriver"),
                                                  options=options)
        return self._selenium

    def close(self):
        if self._selenium is not None:
            self._selenium.quit()
        if self._playwright is not None:
            self._playwright[1].close()
            self._playwright[0].stop()
        self.browser.close()


class Firefox:
    protocol = "bidi"

    def __init__(self, site, directory):
        self.site = site
        self.browser = real_browsers.Firefox(site, directory / "firefox" / "profile")
        self.endpoint = self.browser.endpoint

    def sent(self, urls, clear=False):
        self.browser.visit(urls, clear=clear)
        time.sleep(0.3)

    def close(self):
        self.browser.close()


@pytest.fixture(scope="module")
def site():
    site = real_browsers.Site()
    yield site
    site.close()


@pytest.fixture(scope="module", params=["chromium", "firefox"])
def browser(request, site, tmp_path_factory):
    path, make = {"chromium": (CHROMIUM, Chromium), "firefox": (FIREFOX, Firefox)}[request.param]
    if not real_browsers.have(path):
        pytest.skip(f"{request.param} is not installed: {HOW}")
    browser = make(site, tmp_path_factory.mktemp(request.param))
    yield browser
    browser.close()


def _cli(command, browser, jar_file, capsys):
    """The jar command's push or pull on browser's endpoint; its report."""
    option = "--cdp" if browser.protocol == "cdp" else "--bidi"
    status = cli.main(["jar", "--file", str(jar_file), "--keep-session-cookies", "--json",
                       command, option, browser.endpoint])
    out = capsys.readouterr()
    return status, json.loads(out.out), out.err


def _need(module):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"needs {module}: {HOW}")


def _async_playwright(browser, call):
    """call(jar method) on the default context of Playwright's async API,
    connected to the browser's DevTools port."""
    from playwright.async_api import async_playwright

    async def run():
        with real_browsers.unsanitized():
            driver = await async_playwright().start()
        try:
            connected = await driver.chromium.connect_over_cdp(browser.endpoint)
            return await call(connected.contexts[0])
        finally:
            await driver.stop()

    # In a thread of its own: the sync API's loop may hold this one.
    with concurrent.futures.ThreadPoolExecutor(1) as worker:
        return worker.submit(asyncio.run, run()).result()


# How each target pushes a jar and pulls into one: (protocol, push, pull).
TARGETS = {
    "endpoint": (None, lambda b, jar: jar.push(b.endpoint), lambda b, jar: jar.pull(b.endpoint)),
    "async endpoint": (None, lambda b, jar: asyncio.run(jar.apush(b.endpoint)),
                       lambda b, jar: asyncio.run(jar.apull(b.endpoint))),
    "playwright": ("cdp", lambda b, jar: jar.push(b.playwright()),
                   lambda b, jar: jar.pull(b.playwright())),
    "async playwright": ("cdp", lambda b, jar: _async_playwright(b, jar.apush),
                         lambda b, jar: _async_playwright(b, jar.apull)),
    "selenium": ("cdp", lambda b, jar: jar.push(b.selenium()),
                 lambda b, jar: jar.pull(b.selenium())),
}


@pytest.mark.parametrize("target", [*TARGETS, "command line"])
def test_push_and_pull(browser, target, tmp_path, capsys):
    protocol = TARGETS.get(target, (None,))[0]
    if protocol not in (None, browser.protocol):
        pytest.skip(f"{target} drives Chromium")
    _need(target.split()[-1] if target.endswith(("playwright", "selenium")) else "websockets")
    jar = _jar()
    browser.sent([], clear=True)
    if target == "command line":
        filed = CookieJar(tmp_path / "jar.db", keep_session_cookies=True)
        filed.load_rows(jar.rows())
        filed.close()
        status, printed, notes = _cli("push", browser, tmp_path / "jar.db", capsys)
        assert printed["refused"] == len(REFUSED[browser.protocol]) and status == (
            1 if REFUSED[browser.protocol] else 0), notes
    else:
        report = TARGETS[target][1](browser, jar)
        assert {(c.name.decode(), c.reason[:len(why)]) for c in report.changed
                for name, why in CHANGED[browser.protocol] if c.name.decode() == name} \
            == CHANGED[browser.protocol]
        assert {(r.name.decode(), r.reason[:len(why)]) for r in report.refused
                for name, why in REFUSED[browser.protocol]} == REFUSED[browser.protocol]
        assert report.pushed == len(JAR) - len(CHANGED[browser.protocol]) - len(
            REFUSED[browser.protocol])
    refused = {name for name, _ in REFUSED[browser.protocol]}
    for name in refused:
        jar.clear(name=name)
    urls = [_frame(url, top) for url, top in PAGES]
    browser.site.log.clear()
    browser.sent(urls)
    for url, top in PAGES:
        sent = (browser.site.sent(url) or "").encode("latin-1")
        expected = _expected(jar, url, top)
        if browser.protocol == "cdp":
            assert sent == expected, url
        else:  # Firefox orders cookies of one path length otherwise
            assert sorted(sent.split(b"; ")) == sorted(expected.split(b"; ")), url
    # The site's own cookies, pulled, predict what the browser sends.
    query = "&".join("c=" + "".join(f"%{b:02X}" for b in v.encode("latin-1")) for v in SET)
    browser.sent([W + f"p/set?{query}", W + "p/echo"], clear=True)
    sent = (browser.site.sent("/p/echo") or "").encode("latin-1")
    if target == "command line":
        status, printed, notes = _cli("pull", browser, tmp_path / "pulled.db", capsys)
        assert (status, printed["pulled"], printed["skipped"]) == (0, len(SET), 0), notes
        pulled = CookieJar(tmp_path / "pulled.db")
    else:
        pulled = CookieJar()
        report = TARGETS[target][2](browser, pulled)
        assert (report.loaded, report.skipped) == (len(SET), [])
    again = pulled.cookie_header(W + "p/echo", navigation=True)
    assert b"s2=b" in sent and b"s5=\xc3\xa9" in sent
    if browser.protocol == "cdp":
        assert again == sent
    else:
        assert sorted(again.split(b"; ")) == sorted(sent.split(b"; "))


def _row(**changes):
    jar = CookieJar()
    jar.set_cookie(b"x=1; Secure", W)
    row = list(jar.rows()[0])
    for field, value in changes.items():
        row[_rows.FIELDS.index(field)] = value
    return tuple(row)


NOW = int(time.time()) * 1000000
# Cookies a jar may hold that a browser must refuse or change: (id, row,
# {protocol: (what the report holds, its reason's first words)}).
REFUSALS = [
    ("not UTF-8", _row(raw_value=b"\xff"), {"cdp": ("changed", "not UTF-8: its value"),
                                        "bidi": ("refused", "Unsupported: Firefox")}),
    # (a jar that reads sites by the list's default rule alone holds it)
    ("a public suffix", _row(domain="github.io", host_only=False),
     {"cdp": ("changed", "host_only: set as False, stored as True"),
      "bidi": ("refused", "unable to set cookie: [Exception")}),
    ("a space in the path", _row(path=b"/a b"),
     {"cdp": ("changed", "path: set as b'/a b', stored as b'/a%20b'"), "bidi": ("pushed", "")}),
    ("a long path", _row(path=b"/" + b"a" * 1100), {"cdp": ("refused", "AttributeValueTooLong"),
                                                    "bidi": ("refused", "AttributeValueTooLong")}),
    ("past 400 days", _row(expires=NOW + 800 * 86400 * 1000000, persistent=True),
     {"cdp": ("changed", "expires: set as"), "bidi": ("changed", "expires: set as")}),
    ("Secure from an insecure scheme", _row(source_scheme=1, source_port=80),
     {"cdp": ("refused", "Invalid cookie fields"), "bidi": ("pushed", "")}),
    ("a low priority", _row(priority=0), {"cdp": ("pushed", ""),
                                          "bidi": ("changed", "priority low")}),
]


@pytest.mark.parametrize("case, row, outcomes", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refused_or_changed(browser, case, row, outcomes):
    jar = CookieJar(public_suffix_list=False)
    jar.load_rows([row])
    browser.sent([], clear=True)
    report = jar.push(browser.endpoint)
    kind, why = outcomes[browser.protocol]
    found = {"pushed": [""] * report.pushed, "refused": [r.reason for r in report.refused],
             "changed": [c.reason for c in report.changed]}
    assert [(k, reason[:len(why)]) for k, reasons in found.items() for reason in reasons] == [
        (kind, why)], found


def test_unreachable():
    jar = CookieJar()
    for endpoint, how in (("http://127.0.0.1:9", "--remote-debugging-port=9222"),
                          ("ws://127.0.0.1:9/session", "--remote-debugging-port 9222")):
        with pytest.raises(ConnectionError, match=f"^{endpoint}: cannot reach .*{how}"):
            jar.push(endpoint)
    with pytest.raises(ValueError, match="no browser endpoint"):
        jar.pull("ws://127.0.0.1:9/other")
