"""The form of the recorded cookie sequences (tests/data/browser_sequences.json),
shared by the recorder (tools/recorder) and the test that replays them.

A scenario is a list of steps run in one fresh cookie store.  Each step holds
what the browser did (``do``: ``goto``, ``navigate``, ``iframe``, ``fetch``,
``script``, ``wait``), the Set-Cookie values of its response
(``set_cookie``, raw bytes as Latin-1 text), the time it started (``at``),
the same step as calls on a jar (``jar``: ``header`` for the request, with
``url``, ``site_for_cookies``, ``navigation``, ``method`` and ``from_script``;
``set`` for the response, with ``url``, ``site_for_cookies`` and
``from_script``), and what was observed: ``sent`` (the Cookie header the
server received, Latin-1 text, null when none), ``document_cookie`` (for a
script read) and ``cookies`` (the whole store afterwards, as views below, or
``{"count", "digest"}`` for a bulk step).  ``replay`` runs a scenario
through a jar class and lists every difference.

A scenario also holds ``id``, ``group``, ``title``, ``recorded_at`` and
``chromium``; ``derived`` is null for a recorded one, or ``{"rule": ...}``
for one written from a rule that a fresh profile cannot show (its steps
carry the same fields, their times chosen).  A step mirroring a peer
suite's operation names it in ``peer_op``.  The document holds
``browser_settings``: the profile setting the scenarios were recorded with
(third-party cookies allowed) and what a profile left at its default did
with the third-party control scenario.
"""

from __future__ import annotations

import datetime as dt
import hashlib
import json

EXPIRY_TOLERANCE = 5.0   # seconds: Max-Age is counted from slightly different instants


def _text(raw: bytes) -> str:
    # DevTools shows a name or value that is not UTF-8 as an empty string
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return ""


def cdp_view(c: dict) -> dict:
    """A cookie of DevTools' Network.getAllCookies as a step stores it."""
    key = c.get("partitionKey")
    return {
        "name": c["name"], "value": c["value"], "domain": c["domain"], "path": c["path"],
        "expires": None if c.get("session") or c["expires"] == -1 else float(c["expires"]),
        "size": c["size"], "http_only": c["httpOnly"], "secure": c["secure"],
        "same_site": c.get("sameSite"), "priority": c.get("priority", "Medium"),
        "partition": None if key is None else [key["topLevelSite"], key["hasCrossSiteAncestor"]],
        "source_scheme": c.get("sourceScheme"), "source_port": c.get("sourcePort"),
    }


def jar_view(c, details) -> dict:
    """A jar's cookie (and its CookieDetails) in the same form."""
    return {
        "name": _text(c.raw_name), "value": _text(c.raw_value),
        "domain": c.domain if c.host_only else "." + c.domain, "path": c.path,
        "expires": None if c.expires is None else c.expires.timestamp(),
        "size": len(c.raw_name) + len(c.raw_value), "http_only": c.http_only,
        "secure": c.secure,
        "same_site": {"LAX": "Lax", "STRICT": "Strict", "NONE": "None"}.get(c.same_site.name),
        "priority": (c.priority or "medium").capitalize(),
        "partition": None if details.partition_key is None else list(details.partition_key),
        "source_scheme": details.source_scheme, "source_port": details.source_port,
    }


def _order(view):
    return (view["domain"], view["path"], view["name"], view["value"], str(view["partition"]))


def store_view(views: list[dict], bulk: bool):
    """The store as a step keeps it: the sorted views, or for a bulk step
    their count and a digest of who they are."""
    views = sorted(views, key=_order)
    if not bulk:
        return views
    who = [[v["name"], v["value"], v["size"], v["domain"], v["path"], v["partition"]]
           for v in views]
    text = json.dumps(who, ensure_ascii=True, separators=(",", ":"))
    return {"count": len(views), "digest": hashlib.sha256(text.encode()).hexdigest()[:20]}


def same_store(want, got, moved=0.0) -> bool:
    """Two stores as steps keep them; an expiry may differ by ``moved``
    seconds too (a Max-Age or a capped date counted from a later instant)."""
    if isinstance(want, dict):
        return want == got
    if len(want) != len(got):
        return False
    for w, g in zip(want, got):
        w, g = dict(w), dict(g)
        we, ge = w.pop("expires"), g.pop("expires")
        if (we is None) != (ge is None):
            return False
        if we is not None and min(abs(we - ge), abs(we + moved - ge)) > EXPIRY_TOLERANCE:
            return False
        if w != g:
            return False
    return True


def replay(jar_class, scenario) -> list[str]:
    """Runs a recorded scenario through a new ``jar_class()``; the
    differences from what Chromium did, one line each."""
    jar = jar_class(**scenario.get("jar_options", {}))
    problems = []
    for n, step in enumerate(scenario["steps"]):
        if step["do"] == "wait":
            continue
        now = dt.datetime.fromisoformat(step["at"])
        calls = step["jar"]
        if "header" in calls:
            h = calls["header"]
            got = jar.cookie_header(h["url"], now=now, site_for_cookies=h["site_for_cookies"],
                                    navigation=h["navigation"], method=h["method"],
                                    from_script=h["from_script"])
            if h["from_script"]:
                if got.decode("utf-8", "replace") != step["document_cookie"]:
                    problems.append(f"step {n}: document.cookie {got!r}, "
                                    f"Chromium {step['document_cookie']!r}")
            elif got != (step["sent"] or "").encode("latin-1"):
                problems.append(f"step {n}: sent {got!r}, Chromium {step['sent']!r}")
        if "set" in calls:
            s = calls["set"]
            jar.set_cookies([v.encode("latin-1") for v in step["set_cookie"]], s["url"], now=now,
                            site_for_cookies=s["site_for_cookies"], from_script=s["from_script"])
        if "cookies" in step:
            want = step["cookies"]
            got = store_view([jar_view(c, d) for c, d in jar.cookies(now=now, details=True)],
                             isinstance(want, dict))
            if not same_store(want, got):
                problems.append(f"step {n}: store {store_diff(want, got)}")
    return problems


def store_diff(want, got, names=("Chromium", "the jar")) -> str:
    if isinstance(want, dict):
        return f"{got}, {names[0]} {want}"
    w = {json.dumps(v, sort_keys=True) for v in want}
    g = {json.dumps(v, sort_keys=True) for v in got}
    return f"only in {names[1]} {sorted(g - w)}, only in {names[0]} {sorted(w - g)}"
