"""The type stubs shipped with the package, checked against the built modules
and used by a type checker the way a caller's code would use them."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import glimmering_copper_otter

pytest.importorskip("mypy")

PACKAGE = Path(glimmering_copper_otter.get_include())
ALLOWLIST = Path(__file__).parent / "stubtest-allowlist.txt"


def _mypy(tmp_path, *args):
    # In an empty directory, which also takes mypy's cache.
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )


def test_stubs_are_installed():
    for name in ("cookies.pyi", "writer.pyi", "browser.pyi", "cookie_header.pyi", "jar.pyi",
                 "py.typed"):
        assert (PACKAGE / name).is_file(), name


def test_stubs_match_the_built_modules(tmp_path):
    process = _mypy(tmp_path, "mypy.stubtest", "--allowlist", str(ALLOWLIST),
                    "glimmering_copper_otter.cookies", "glimmering_copper_otter.writer",
                    "glimmering_copper_otter.browser",
                    "glimmering_copper_otter.cookie_header", "glimmering_copper_otter.jar")
    assert process.returncode == 0, process.stdout + process.stderr


def test_a_caller_is_type_checked(tmp_path):
    (tmp_path / "caller.py").write_text(textwrap.dedent(
        """
        from datetime import datetime

        from glimmering_copper_otter import get_include
        from glimmering_copper_otter.cookies import (
            Cookie, CookieSameSiteMode, CookieValueExceedsMaximumLength, parse_cookie,
            datetime_from_cookie_format, datetime_to_cookie_format,
        )
        from glimmering_copper_otter.writer import write_cookie_for_response
        from glimmering_copper_otter.browser import BrowserCookie, check, read_set_cookie
        from glimmering_copper_otter.cookie_header import (
            parse_cookie_header, parse_cookie_header_pairs, write_cookie_header,
        )
        from collections import Counter

        import curl_cffi.requests
        import httpx
        import httpx2
        import requests
        from aiohttp.abc import AbstractCookieJar

        from glimmering_copper_otter.jar import CookieJar, LoadReport
        from glimmering_copper_otter.writer import set_cookie_header

        cookie = Cookie("sid", "v", expires=datetime(2030, 1, 2), same_site=CookieSameSiteMode.LAX)
        cookie.http_only = "any object"
        cookie.max_age = 3.5
        del cookie.path
        header: bytes = write_cookie_for_response(parse_cookie(b"a=b"))
        mode: CookieSameSiteMode = cookie.same_site | CookieSameSiteMode.STRICT
        when: datetime = datetime_from_cookie_format(datetime_to_cookie_format(datetime.now()))
        copy: Cookie = cookie.clone()
        include: str = get_include()
        error: Exception = CookieValueExceedsMaximumLength()
        stored: BrowserCookie | None = read_set_cookie(b"a=b", "https://x.test/", now=datetime.now())
        findings: list[str] = check(cookie, partitioned=True, priority="high")
        received: dict[str, str] = parse_cookie_header([b"a=1", "b=2"])
        pairs: list[tuple[str, str]] = parse_cookie_header_pairs("a=1")
        request_header: bytes = write_cookie_header({"a": "1"}) + write_cookie_header([("a", "1")])
        jar = CookieJar(max_cookies=None)
        kept: BrowserCookie | None = jar.set_cookie(b"a=b", "https://x.test/", navigation=True)
        many: list[BrowserCookie | None] = jar.set_cookies([(b"set-cookie", b"a=b")], "https://x.test/")
        sent: bytes = jar.cookie_header("https://x.test/", site_for_cookies="https://y.test/")
        listed: list[BrowserCookie] = jar.cookies() + list(jar)
        removed: int = jar.clear(domain="x.test") + len(jar)
        saved: str = CookieJar.from_json(jar.to_json()).to_json() + str(jar.for_urllib())
        from glimmering_copper_otter import browsers
        profiles: list[browsers.Profile] = browsers.find("firefox")
        report = jar.load_browser("chromium", "Default", password=b"secret")
        notes: tuple[str, ...] = report.notes

        Cookie(b"name", "v")  # E: bytes name
        cookie.name = None  # E: a name is required
        cookie.domain = 1  # E: not text
        parse_cookie("a=b")  # E: text, not bytes
        write_cookie_for_response("a=b")  # E: not a Cookie
        read_set_cookie(b"a=b", now="today")  # E: not a datetime
        chips: bytes = write_cookie_for_response(cookie, partitioned=True, priority="high")
        write_cookie_for_response(cookie, priority=1)  # E: not a str
        write_cookie_for_response(cookie, True)  # E: keyword-only
        parse_cookie_header(1)  # E: not a header
        write_cookie_header({"a": 1})  # E: values are text
        jar.cookie_header(b"https://x.test/")  # E: url is a str
        CookieJar("file.sqlite", timeout="5")  # E: timeout is a number of seconds
        jar.set_cookies("a=b", "https://x.test/")  # E: deprecated: a lone value
        jar.install(object())  # E: not a client
        set_cookie_header("a", "b", same_site="lox")  # E: not a SameSite
        set_cookie_header("a", "b", priority="urgent")  # E: not a priority
        jar["sid"]  # E: not a mapping
        jar.dump_cookies(format="json")  # E: not a format of other jars
        sessions: requests.Session = jar.install(requests.Session())
        client: httpx.AsyncClient = jar.install(httpx.AsyncClient())
        # Before 3.13 curl_cffi's sessions have no default type of response.
        curl: curl_cffi.requests.Session[curl_cffi.requests.Response] = jar.install(
            curl_cffi.requests.Session(impersonate="chrome"))
        fetched: curl_cffi.requests.Response = curl.get("https://x.test/")
        crawler: curl_cffi.requests.AsyncSession[curl_cffi.requests.Response] = jar.install(
            curl_cffi.requests.AsyncSession())
        aio: AbstractCookieJar = jar.for_aiohttp()
        held: bool = "sid" in jar and jar.remove(jar.cookies()[0])
        standard, left = jar.dump_cookies(format="cookiejar")
        loaded: LoadReport = jar.load_cookies(standard, format="cookiejar")
        mapping: dict[str, str] = jar.dump_cookies(format="mapping", url="https://x.test/")[0]
        words: Counter[str] = jar.load_json(jar.to_json()).counts()
        state, saved_state = jar.dump_cookies(format="playwright", url="https://x.test/")
        from playwright.sync_api import StorageState
        handed: StorageState = state  # new_context(storage_state=...) takes it as it is
        client2: httpx2.Client = jar.install(httpx2.Client())
        params: list[dict[str, object]] = jar.dump_cookies(format="cdp")[0]
        changes: list[str] = [item.reason for item in saved_state.changed] + list(state)
        tools: LoadReport = jar.load_cookies(params, format="cdp")
        jar.load_cookies(3, format="webdriver")  # E: not a document
        """
    ))
    process = _mypy(tmp_path, "mypy", "--strict", "--enable-error-code", "deprecated",
                    "caller.py")
    errors = [line for line in process.stdout.splitlines() if ": error:" in line]
    expected_lines = [
        number for number, line in enumerate((tmp_path / "caller.py").read_text().splitlines(), 1)
        if "# E:" in line
    ]
    assert sorted({int(line.split(":")[1]) for line in errors}) == expected_lines, process.stdout


# What the docs' jar examples may use without defining it (the names the
# docs runner, tests/test_docs.py, gives their pages).
DOCS_PRELUDE = """\
import urllib.request

import aiohttp
import httpx
import requests
from playwright.sync_api import BrowserContext
from selenium.webdriver import Chrome

from glimmering_copper_otter.jar import CookieJar

context: BrowserContext
driver: Chrome
jar = CookieJar()
session = requests.Session()
url = worker_url = endpoint = "postgresql://crawler@db.internal/crawl"
"""
JAR_PAGES = ["jar.md", "files.md", "processes.md", "fleet.md", "browser-profiles.md",
             "automation.md", "live.md", "clients.md", "scrapy.md"]


def _code(block):
    """A block as the code it runs: a doctest's source lines, or the block."""
    if not block.startswith(">>> "):
        return block
    return "".join(line[4:] + "\n" for line in block.splitlines()
                   if line.startswith((">>> ", "... ")))


def test_the_docs_jar_examples_type_check(tmp_path):
    docs = Path(__file__).resolve().parents[1] / "docs"
    blocks = [_code(block.split("```", 1)[0]) for page in JAR_PAGES
              for block in (docs / page).read_text().split("```python\n")[1:]]
    assert len(blocks) > 8
    body = [DOCS_PRELUDE]
    for index, block in enumerate(blocks):
        body.append(f"\n\nasync def example_{index}() -> None:\n" +
                    textwrap.indent(block, "    ") + "    pass\n")
    (tmp_path / "docs.py").write_text("".join(body))
    process = _mypy(tmp_path, "mypy", "--strict", "--enable-error-code", "deprecated",
                    "docs.py")
    assert process.returncode == 0, process.stdout
