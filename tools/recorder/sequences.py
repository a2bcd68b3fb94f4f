"""Recording sequences: scenarios of steps in one cookie store.

    .venv/bin/python -m tools.recorder record-sequences [--only TEXT]
    .venv/bin/python -m tools.recorder compare-sequences --sample 20 --seed 7

A scenario (``scenarios.py``) is a list of steps: responses that set cookies
from a URL in a given context, requests whose Cookie header Chromium sends,
``document.cookie`` writes and reads.  The recorder runs each scenario in a
store emptied first (DevTools ``Network.clearBrowserCookies``, checked
empty), and keeps per step the raw Cookie header the loopback server
received, what ``document.cookie`` showed, and the whole store afterwards
(DevTools ``Network.getAllCookies``: partition keys, priorities, source
scheme and port included).  The form of the stored data is described in
``form.py``; ``tests/jar/test_jar_sequences.py`` replays every scenario
through the jar model and the compiled jar.

How a step is driven (one tab of a persistent browser context):

- ``goto``: a navigation typed by the user (``page.goto``, no initiator).
- ``navigate``: a navigation started by the page ``from`` (already loaded in
  the tab): ``location.href = url`` for GET, a submitted form for POST.
- ``iframe``: an iframe added to the page ``top`` (loaded first when the
  tab is elsewhere); the iframe's own request and response.
- ``fetch``: ``fetch(url, {credentials: "include", mode: "no-cors"})`` from
  the page ``top``.
- ``script``: ``document.cookie`` written (``write``) or read (``read``) in
  the frame ``frame`` (the page ``top`` itself, or an iframe of it, added
  when missing).
- ``wait``: real time passes (the two-minute rule).

The browser: Debian's ``chromium`` through Playwright, a persistent context
(a regular profile, not an incognito one) in a new temporary directory whose
``Preferences`` set ``profile.cookie_controls_mode`` to 0, third-party
cookies allowed.  A fresh profile of Chromium 156 blocks them (its default
setting; the blocked cookies report ``UserPreferences``): the control
scenarios ``third-party/*`` show the setting in effect, and
``record-sequences`` also runs ``third-party/control`` in a profile left at
its default and stores that outcome in ``browser_settings``.  No Date header
is sent (Chromium shifts an Expires date by the server's clock skew).

Scenarios marked ``derived`` are not recorded: they pin the branch of a rule
that a fresh profile cannot show within a recording (the global purge of
cookies unused for 30 days, the two-minute rule past its first wait), with
expectations written from the rule quoted in ``derived.rule``.
"""

from __future__ import annotations

import datetime as dt
import json
import os
import random
import sys
import tempfile
from urllib.parse import urlsplit

from . import form
from .driver import FLAGS
from .headers import ROOT
from .server import Response, Server

DATA = ROOT / "tests" / "data" / "browser_sequences.json"
UTC = dt.timezone.utc
IFRAME = """(u) => new Promise((done) => {
  const f = document.createElement('iframe');
  f.onload = () => done(true); f.onerror = () => done(false);
  f.src = u; document.body.appendChild(f);
  setTimeout(() => done(false), 10000);
})"""
FETCH = """(u) => fetch(u, {credentials: 'include', mode: 'no-cors', cache: 'no-store'})
  .then(() => true, (e) => String(e))"""
POST = """(u) => {
  const f = document.createElement('form');
  f.method = 'POST'; f.action = u;
  const i = document.createElement('input'); i.name = 'x'; i.value = '1'; f.appendChild(i);
  document.body.appendChild(f); f.submit();
}"""


def route(url: str) -> tuple[str, str, str]:
    """(scheme, Host header, request target) of a URL, as the server sees it."""
    parts = urlsplit(url)
    host = parts.netloc.rsplit("@", 1)[-1].lower()
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    return parts.scheme, host, target


class SequenceBrowser:
    """Chromium in a regular profile, one tab, driven step by step."""

    def __init__(self, third_party_cookies=True):
        from playwright.sync_api import sync_playwright
        self.server = Server()
        self.profile = tempfile.TemporaryDirectory(prefix="gco-profile-")
        if third_party_cookies:
            os.makedirs(os.path.join(self.profile.name, "Default"))
            with open(os.path.join(self.profile.name, "Default", "Preferences"), "w") as f:
                json.dump({"profile": {"cookie_controls_mode": 0}}, f)
        self.setting = ({"profile.cookie_controls_mode": 0, "third_party_cookies": "allowed"}
                        if third_party_cookies else
                        {"profile.cookie_controls_mode": "the default", "third_party_cookies": None})
        self.pw = sync_playwright().start()
        args = FLAGS + [f"--host-resolver-rules=MAP * 127.0.0.1:{self.server.port}",
                        f"--ignore-certificate-errors-spki-list={self.server.spki}"]
        self.context = self.pw.chromium.launch_persistent_context(
            self.profile.name, executable_path="/usr/bin/chromium", args=args)
        self.version = self.context.browser.version if self.context.browser else None
        self.page = self.context.pages[0] if self.context.pages else self.context.new_page()
        self.cdp = self.context.new_cdp_session(self.page)
        self.cdp.send("Network.enable")
        if self.version is None:
            self.version = self.cdp.send("Browser.getVersion")["product"].split("/")[-1]

    def close(self):
        self.context.close()
        self.pw.stop()
        self.profile.cleanup()
        self.server.close()

    def cookies(self):
        return self.cdp.send("Network.getAllCookies")["cookies"]

    def reset(self):
        try:
            self.page.goto("about:blank")
        except Exception:   # a navigation of the last step still settling
            self.page.wait_for_timeout(500)
            self.page.goto("about:blank")
        self.cdp.send("Network.clearBrowserCookies")
        left = self.cookies()
        if left:
            raise RuntimeError(f"the store is not empty after clearing: {left}")

    def _at(self, url):
        """The tab shows this page (a plain page, loaded when it is elsewhere)."""
        if self.page.url != url:
            self.page.goto(url, wait_until="load", timeout=15000)

    def _frame(self, url):
        for frame in reversed(self.page.frames):
            if frame.url == url:
                return frame
        return None

    def run_step(self, step: dict, pages: dict) -> dict:
        """Performs one step; returns what was observed."""
        do = step["do"]
        out = {}
        if do == "wait":
            self.page.wait_for_timeout(step["seconds"] * 1000)
            out["at"] = dt.datetime.now(UTC).isoformat()
            return out
        url = step.get("url") or step.get("frame")
        routes = dict(pages)
        if do != "script" or step["frame"] != step["top"]:
            routes[route(url)] = Response([v.encode("latin-1") for v in step.get("set_cookie", [])]
                                          if do != "script" else [])
        self.server.serve(routes)
        if do in ("navigate", "iframe", "fetch", "script"):
            self._at(step.get("from") or step["top"])
        out["at"] = dt.datetime.now(UTC).isoformat()
        error = None
        if do == "goto":
            try:
                self.page.goto(url, wait_until="load", timeout=15000)
            except Exception as exc:   # a refused navigation is data
                error = str(exc).splitlines()[0]
        elif do == "navigate":
            with self.page.expect_navigation(wait_until="load", timeout=15000):
                if step.get("method", "GET") == "POST":
                    self.page.evaluate(POST, url)
                else:
                    self.page.evaluate("(u) => { location.href = u; }", url)
        elif do == "iframe":
            if not self.page.evaluate(IFRAME, url):
                error = "the iframe did not load"
        elif do == "fetch":
            result = self.page.evaluate(FETCH, url)
            if result is not True:
                error = result
        elif do == "script":
            frame = self.page.main_frame if step["frame"] == step["top"] else self._frame(url)
            if frame is None:
                self.page.evaluate(IFRAME, url)
                frame = self._frame(url)
            if "write" in step:
                frame.evaluate("(v) => { document.cookie = v; }", step["write"])
            else:
                out["document_cookie"] = frame.evaluate("() => document.cookie")
        self.page.wait_for_timeout(50)
        if do != "script":
            seen = self.server.requests(*route(url))
            if len(seen) != 1:
                error = error or f"{len(seen)} requests reached {url}"
            if seen:
                out["sent"] = None if seen[0].cookie is None else seen[0].cookie.decode("latin-1")
                out["sec_fetch_site"] = seen[0].fetch.get("site")
        if error:
            out["error"] = error
        views = [form.cdp_view(c) for c in self.cookies()]
        out["cookies"] = form.store_view(views, bool(step.get("bulk")))
        return out

    def run(self, scenario: dict) -> dict:
        self.reset()
        pages = {route(u): Response() for u in scenario.get("pages", [])}
        recorded_at = dt.datetime.now(UTC).isoformat()
        steps = []
        for step in scenario["steps"]:
            if step["do"] == "script" and "write" in step:
                # document.cookie is text; the store gets its UTF-8 bytes
                step = dict(step, set_cookie=[step["write"].encode().decode("latin-1")])
            steps.append(dict(step, jar=form.jar_calls(step), **self.run_step(step, pages)))
        return dict(scenario, recorded_at=recorded_at, chromium=self.version, derived=None,
                    steps=steps)


def _load():
    return json.loads(DATA.read_text())


def _save(doc):
    doc["scenarios"].sort(key=lambda s: s["id"])
    DATA.write_text(json.dumps(doc, indent=None, ensure_ascii=True, separators=(",", ":"))
                    .replace('{"id":', '\n{"id":') + "\n")


def record(only, planned, derived):
    """Records the ``planned`` scenarios whose id holds ``only`` (all of
    them for "", which also runs the control scenario in a profile left at
    its default) and stores them with the ``derived`` ones; the lists are
    ``scenarios.scenarios()`` and ``scenarios.derived()``."""
    now = dt.datetime.now(UTC)
    todo = [s for s in planned if only in s["id"]]
    old, settings = {}, None
    if only and DATA.exists():
        doc = _load()
        old = {s["id"]: s for s in doc["scenarios"]}
        settings = doc["browser_settings"]
    browser = SequenceBrowser()
    try:
        for i, scenario in enumerate(todo, 1):
            old[scenario["id"]] = browser.run(scenario)
            if i % 10 == 0:
                print(f"record-sequences: {i}/{len(todo)}", file=sys.stderr)
        version = browser.version
        setting = browser.setting
    finally:
        browser.close()
    if settings is None:
        control = next(s for s in planned if s["id"] == "third-party/control")
        settings = dict(setting, default_profile=_default_profile_control(control))
    for scenario in derived:
        if only in scenario["id"]:
            old[scenario["id"]] = dict(scenario, chromium=version, jar_options={})
    doc = {"format": 1, "chromium": version, "recorded": now.date().isoformat(),
           "browser_settings": settings, "scenarios": list(old.values())}
    _save(doc)
    print(f"record-sequences: {len(old)} scenarios in {DATA.relative_to(ROOT)} "
          f"(Chromium {version}), {DATA.stat().st_size} bytes")


def _default_profile_control(control):
    """The third-party control scenario in a profile left at its default setting."""
    browser = SequenceBrowser(third_party_cookies=False)
    try:
        got = browser.run(control)
    finally:
        browser.close()
    return {"scenario": control["id"], "steps": [
        {k: s.get(k) for k in ("do", "url", "top", "sent", "cookies")} for s in got["steps"]]}


def compare(sample, seed):
    """Replays a fixed sample of recorded scenarios (no bulk steps, no
    waits) in a live Chromium; exits 1 on a difference under the recorded
    major version, and when Chromium cannot start."""
    doc = _load()
    pool = [s for s in doc["scenarios"] if not s.get("derived")
            and not any(st.get("bulk") or st["do"] == "wait" for st in s["steps"])]
    picked = random.Random(seed).sample(pool, min(sample, len(pool)))
    try:
        browser = SequenceBrowser()
    except Exception as exc:
        print(f"compare-sequences: Chromium did not start: {exc}")
        return 1
    same_major = browser.version.split(".")[0] == doc["chromium"].split(".")[0]
    bad = 0
    try:
        for stored in picked:
            live = browser.run({k: v for k, v in stored.items() if k != "steps"}
                               | {"steps": [_plan(s) for s in stored["steps"]]})
            problems = []
            for n, (a, b) in enumerate(zip(stored["steps"], live["steps"])):
                for key in ("sent", "document_cookie"):
                    if a.get(key) != b.get(key):
                        problems.append(f"step {n} {key}: {b.get(key)!r}, recorded {a.get(key)!r}")
                moved = (dt.datetime.fromisoformat(b["at"])
                         - dt.datetime.fromisoformat(a["at"])).total_seconds()
                if not form.same_store(a["cookies"], b["cookies"], moved):
                    problems.append(f"step {n} store: " + form.store_diff(
                        a["cookies"], b["cookies"], ("the recording", "the live browser")))
            if problems:
                bad += 1
                print(f"DIFF {stored['id']}:\n  " + "\n  ".join(problems))
    finally:
        browser.close()
    print(f"compare-sequences: {len(picked)} scenarios, {bad} disagreeing, Chromium "
          f"{browser.version} (recorded {doc['chromium']})")
    if bad and not same_major:
        print("compare-sequences: another major version than recorded: reported only")
        return 0
    return 1 if bad else 0


PLAN_KEYS = ("do", "url", "from", "method", "top", "frame", "write", "read", "set_cookie",
             "bulk", "seconds", "peer_op")


def _plan(step):
    """A recorded step without what was observed."""
    plan = {k: step[k] for k in PLAN_KEYS if k in step}
    if plan["do"] == "script" and "write" in plan:
        plan.pop("set_cookie", None)
    return plan
