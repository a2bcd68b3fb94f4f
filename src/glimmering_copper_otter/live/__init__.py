"""Cookies into a running browser and back: rows set over the DevTools
protocol (Chromium) or WebDriver BiDi (Firefox), read back and compared
(`push`), and the browser's cookies as rows (`pull`); `CookieJar.push` and
`CookieJar.pull` call them.

A target is a DevTools endpoint ("http://127.0.0.1:PORT", as
--remote-debugging-port=PORT serves it, or its ws:// browser url), a
WebDriver BiDi endpoint ("ws://127.0.0.1:PORT/session": a session of its
own, ended at the end), a Playwright BrowserContext of Chromium (a DevTools
session on one of its pages) or a Selenium WebDriver (its DevTools command,
else its BiDi url).  No page is navigated.  The endpoints are spoken to
with websockets (the live extra); Playwright and Selenium only through the
objects given.
"""

import asyncio
import contextlib
from typing import NamedTuple

from glimmering_copper_otter.live._report import PushReport, Refused
from glimmering_copper_otter.live._wire import TIMEOUT

__all__ = ["PushReport", "Pulled", "Refused", "TIMEOUT", "apull", "apush", "pull", "push"]


class Pulled(NamedTuple):
    """A browser's cookies: rows (creation times in the browser's order),
    where each is (places, for a report), and those that could not come, as
    (place, reason)."""

    rows: list[tuple]
    places: list[str]
    skipped: list[tuple[str, str]]


def _link(target):
    """A context manager giving the Link to a target, for a sync call."""
    from glimmering_copper_otter.live import _wire

    if isinstance(target, str):
        return _wire.opened(target)
    module = type(target).__module__
    if module.startswith("playwright.async_api"):
        raise TypeError("a context of Playwright's async API: await jar.apush() / jar.apull()")
    if module.startswith("playwright."):
        return _wire.playwright(target)
    if module.startswith("selenium."):
        link = _wire.selenium(target)
        if isinstance(link, str):
            return _wire.opened(link, browser=target.capabilities.get("browserName", ""))
        return contextlib.nullcontext(link)
    raise TypeError("a target is a DevTools endpoint (\"http://127.0.0.1:PORT\"), a WebDriver "
                    "BiDi endpoint (\"ws://127.0.0.1:PORT/session\"), a Playwright "
                    f"BrowserContext or a Selenium WebDriver, not {type(target).__name__}")


@contextlib.asynccontextmanager
async def _alink(target):
    """The Link to a target for an async call: sends are awaited."""
    from glimmering_copper_otter.live import _wire

    module = type(target).__module__
    if isinstance(target, str):
        async with _wire.aopened(target) as link:
            yield link
    elif module.startswith("playwright.async_api"):
        async with _wire.aplaywright(target) as link:
            yield link
    elif module.startswith("playwright."):
        raise TypeError("a context of Playwright's sync API: call jar.push() / jar.pull()")
    else:
        # Selenium's calls, and the others, wait in a worker thread.
        manager = _link(target)
        link = await asyncio.to_thread(manager.__enter__)
        try:
            send = link.send

            async def threaded(method, params):
                return await asyncio.to_thread(send, method, params)

            yield _wire.Link(link.protocol, threaded, link.browser)
        finally:
            await asyncio.to_thread(manager.__exit__, None, None, None)


def _push_steps(link, rows):
    from glimmering_copper_otter.live import _steps

    if link.protocol == "cdp":
        return _steps.cdp_push(rows)
    return _steps.bidi_push(rows, link.browser == "firefox")


def _pull_steps(link, urls):
    from glimmering_copper_otter.live import _steps

    if link.protocol == "cdp":
        return _steps.cdp_held()
    return _steps.bidi_held(_sites(urls), link.browser == "firefox")


def _sites(urls):
    """The top-level sites of urls, whose partitions a BiDi pull reads."""
    from urllib.parse import urlsplit

    from glimmering_copper_otter.browser import registrable_domain

    sites = set()
    for url in urls or ():
        parts = urlsplit(url)
        host = parts.hostname or ""
        if host:
            sites.add(f"{parts.scheme}://{registrable_domain(host) or host}")
    return sites


def push(target, rows) -> PushReport:
    """Sets the rows' cookies in the target's browser, every attribute the
    protocol carries, reads its cookies back and reports."""
    from glimmering_copper_otter.live import _steps

    with _link(target) as link:
        return PushReport(*_steps.run(_push_steps(link, rows), link))


def pull(target, *, urls=None) -> Pulled:
    """The cookies of the target's browser, as rows (over BiDi, those of the
    partitions of urls' top-level sites too)."""
    from glimmering_copper_otter.live import _steps

    with _link(target) as link:
        return Pulled(*_steps.run(_pull_steps(link, urls), link))


async def apush(target, rows) -> PushReport:
    """push, on an event loop."""
    from glimmering_copper_otter.live import _steps

    async with _alink(target) as link:
        return PushReport(*await _steps.arun(_push_steps(link, rows), link))


async def apull(target, *, urls=None) -> Pulled:
    """pull, on an event loop."""
    from glimmering_copper_otter.live import _steps

    async with _alink(target) as link:
        return Pulled(*await _steps.arun(_pull_steps(link, urls), link))
