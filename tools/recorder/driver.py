"""Driving Chromium: one headless browser, one fresh context per row."""

from __future__ import annotations

import datetime as dt

from .server import Server

UTC = dt.timezone.utc

FLAGS = [
    "--no-sandbox",
    "--disable-background-networking",
    "--disable-component-update",
    "--no-first-run",
    "--disable-sync",
    "--disable-default-apps",
    "--disable-extensions",
]



def _host_and_target(url):
    from urllib.parse import urlsplit
    parts = urlsplit(url)
    host = parts.hostname.encode("idna").decode() if parts.hostname else ""
    if parts.hostname and parts.hostname.endswith("."):
        host = parts.hostname.rstrip(".").encode("idna").decode() + "."
    target = parts.path or "/"
    if parts.query:
        target += "?" + parts.query
    return host.lower(), target


class Browser:
    def __init__(self):
        from playwright.sync_api import sync_playwright
        self.server = Server()
        self.pw = sync_playwright().start()
        args = FLAGS + [f"--host-resolver-rules=MAP * 127.0.0.1:{self.server.port}",
                        f"--ignore-certificate-errors-spki-list={self.server.spki}"]
        self.browser = self.pw.chromium.launch(executable_path="/usr/bin/chromium", args=args)
        self.version = self.browser.version

    def close(self):
        self.browser.close()
        self.pw.stop()

    def _navigate(self, page, session, url, header):
        host, target = _host_and_target(url)
        self.server.set_plan(host, target, header)
        events, docs = {}, set()

        def on_request(e):
            if e.get("type") == "Document":
                docs.add(e["requestId"])

        def on_extra(e):
            events[e["requestId"]] = e

        session.on("Network.requestWillBeSent", on_request)
        session.on("Network.responseReceivedExtraInfo", on_extra)
        error = None
        try:
            page.goto(url, wait_until="load", timeout=15000)
        except Exception as exc:  # a refused response is data, not a failure
            error = str(exc).splitlines()[0]
        page.wait_for_timeout(50)
        session.remove_listener("Network.requestWillBeSent", on_request)
        session.remove_listener("Network.responseReceivedExtraInfo", on_extra)
        extra = [events[r] for r in docs if r in events]
        return extra, error

    def _cookies(self, session):
        return session.send("Network.getAllCookies")["cookies"]

    def record(self, row):
        url, header = row["url"], row["header"]
        context = self.browser.new_context()
        try:
            page = context.new_page()
            session = context.new_cdp_session(page)
            session.send("Network.enable")
            recorded_at = dt.datetime.now(UTC)
            extra, error = self._navigate(page, session, url, header)
            cookies = self._cookies(session)
            devtools = {"cookies": cookies, "error": error,
                        "blocked": [b for e in extra for b in e.get("blockedCookies", [])]}
            exempted = [b for e in extra for b in e.get("exemptedCookies", [])]
            if exempted:
                devtools["exempted"] = exempted
            if extra and "cookiePartitionKey" in extra[0]:
                devtools["partition_key"] = extra[0]["cookiePartitionKey"]
            if cookies and any(b > 0x7F for b in header):
                self._navigate(page, session, url, None)
                sent = self.server.seen_cookie
                devtools["cookie_header_sent"] = None if sent is None else sent.decode("latin-1")
        finally:
            context.close()
        if not cookies and not devtools["blocked"] and error is None:
            devtools["deletion"] = self._deletion(row)
        return {"recorded_at": recorded_at.isoformat(), "chromium": self.version, "devtools": devtools}

    def _deletion(self, row):
        seed = seed_header(row["header"])
        context = self.browser.new_context()
        try:
            page = context.new_page()
            session = context.new_cdp_session(page)
            session.send("Network.enable")
            self._navigate(page, session, row["url"], seed)
            before = self._cookies(session)
            extra, _ = self._navigate(page, session, row["url"], row["header"])
            after = self._cookies(session)
        finally:
            context.close()
        return {"seed": seed.decode("latin-1"), "before": before, "after": after,
                "blocked": [b for e in extra for b in e.get("blockedCookies", [])]}


def seed_header(header: bytes) -> bytes:
    """The header without its Expires and Max-Age attributes."""
    parts = header.split(b";")
    keep = [parts[0]] + [p for p in parts[1:]
                         if p.split(b"=", 1)[0].strip(b" \t").lower() not in (b"expires", b"max-age")]
    return b";".join(keep)


