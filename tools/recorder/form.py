"""The form of the recorded data sets (tests/data/browser_*.json), shared by
the recorder and the tests that replay them.  The cookies of DevTools are
read and shown by one conversion, glimmering_copper_otter.formats.cdp; what
is here is the shape the data keeps them in.

Header rows (browser_set_cookie.json, browser_writer_grid.json)
---------------------------------------------------------------
A row's ``expected`` is the cookie Chromium stored, in the form of
``from_cdp`` (what DevTools showed, with the raw name and value Chromium
sent back) and of ``cookie_view`` (a ``read_set_cookie`` result), compared
by ``differences``.  A row of the writer grid names its cookie by the
constructor arguments of ``cookie_args`` (``make_cookie`` makes it).

Sequences (browser_sequences.json)
----------------------------------
A scenario is a list of steps run in one fresh cookie store.  Each step holds
what the browser did (``do``: ``goto``, ``navigate``, ``iframe``, ``fetch``,
``script``, ``wait``), the Set-Cookie values of its response
(``set_cookie``, raw bytes as Latin-1 text), the time it started (``at``),
the same step as calls on a jar (``jar``, from ``jar_calls``: ``header`` for
the request, with ``url``, ``site_for_cookies``, ``navigation``, ``method``
and ``from_script``; ``set`` for the response, with ``url``,
``site_for_cookies`` and ``from_script``), and what was observed: ``sent``
(the Cookie header the server received, Latin-1 text, null when none),
``document_cookie`` (for a script read) and ``cookies`` (the whole store
afterwards, as ``store_view`` keeps it: the views below, or ``{"count",
"digest"}`` for a bulk step).  ``replay`` runs a scenario through a jar class
and lists every difference.

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

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode
from glimmering_copper_otter.formats import cdp

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)
MEDIUM = cdp.PRIORITY_NAMES.index("Medium")

# ---------------------------------------------------------------------------
# Header rows
# ---------------------------------------------------------------------------


def header_priority(header: bytes):
    """The header's own priority: its last Priority attribute (a value of at
    most 1024 bytes) when that names one, in lower case, else None."""
    last = None
    for av in header.split(b";")[1:]:
        name, _, value = av.partition(b"=")
        value = value.strip(b" \t")
        if name.strip(b" \t").lower() == b"priority" and len(value) <= 1024:
            last = value.lower()
    return last.decode("latin-1") if last in (b"low", b"medium", b"high") else None


def from_cdp(c: dict, header: bytes, sent: str | None) -> dict:
    """A DevTools cookie stored for ``header`` as a row's expectation;
    ``sent`` is the Cookie header Chromium sent back for it (Latin-1 text:
    "name=value" or a bare value), which holds the raw bytes of a name or a
    value that DevTools shows empty.  DevTools shows a priority the header
    did not give as Medium: the expectation has it only when the header
    said so."""
    row = cdp.to_row(c)
    name, value = row[_rows.NAME], row[_rows.VALUE]
    if sent is not None:
        pair = sent.encode("latin-1")
        if b"=" in pair:
            name, _, value = pair.partition(b"=")
        else:
            name, value = b"", pair
    priority = row[_rows.PRIORITY]
    if priority in (_rows.UNSET, MEDIUM):
        priority = MEDIUM if header_priority(header) == "medium" else _rows.UNSET
    expires = row[_rows.EXPIRES]
    return {
        "name": cdp.text(name), "value": cdp.text(value),
        "raw_name": name.decode("latin-1"), "raw_value": value.decode("latin-1"),
        "domain": row[_rows.DOMAIN], "host_only": row[_rows.HOST_ONLY],
        "path": cdp.text(row[_rows.PATH]),
        "expires": None if expires is None else expires / 1000000,
        "secure": row[_rows.SECURE], "http_only": row[_rows.HTTP_ONLY],
        "same_site": CookieSameSiteMode(row[_rows.SAME_SITE]).name,
        "partitioned": row[_rows.PARTITIONED],
        "priority": None if priority == _rows.UNSET else _rows.PRIORITY_NAMES[priority],
        "expired": False,
    }


def cookie_view(cookie) -> dict | None:
    """A read_set_cookie result (of the package or of a reference model) as
    a row's expectation."""
    if cookie is None:
        return None
    return {
        "name": cookie.name, "value": cookie.value,
        "raw_name": cookie.raw_name.decode("latin-1"),
        "raw_value": cookie.raw_value.decode("latin-1"), "domain": cookie.domain,
        "host_only": cookie.host_only, "path": cookie.path,
        "expires": None if cookie.expires is None else cookie.expires.timestamp(),
        "secure": cookie.secure, "http_only": cookie.http_only,
        "same_site": cookie.same_site.name, "partitioned": cookie.partitioned,
        "priority": cookie.priority, "expired": cookie.expired,
    }


def differences(want, got, tolerance=5.0):
    """Field names on which two expectations differ (expiry within tolerance)."""
    if want is None or got is None:
        return [] if want is got else ["stored" if got is not None else "refused"]
    out = []
    for key in want:
        a, b = want[key], got.get(key)
        if key == "expires" and a is not None and b is not None:
            if abs(a - b) > tolerance:
                out.append(key)
        elif a != b:
            out.append(key)
    return out


def cookie_args(name, value, *, expires=None, domain=None, path=None, http_only=False,
                secure=False, max_age=-1, same_site="UNDEFINED"):
    """A writer-grid row's cookie: Cookie constructor arguments as JSON
    values (expires as ISO text)."""
    return {"name": name, "value": value,
            "expires": None if expires is None else expires.isoformat(),
            "domain": domain, "path": path, "http_only": http_only, "secure": secure,
            "max_age": max_age, "same_site": same_site}


def make_cookie(args: dict) -> Cookie:
    """The Cookie of a writer-grid row's ``cookie``."""
    expires = args["expires"]
    return Cookie(
        args["name"], args["value"],
        None if expires is None else dt.datetime.fromisoformat(expires),
        args["domain"], args["path"], args["http_only"], args["secure"], args["max_age"],
        CookieSameSiteMode[args["same_site"]],
    )


# ---------------------------------------------------------------------------
# Sequences
# ---------------------------------------------------------------------------

EXPIRY_TOLERANCE = 5.0   # seconds: Max-Age is counted from slightly different instants


def view(row: tuple, size: int | None = None) -> dict:
    """A cookie as a step stores it: what DevTools shows of its row.
    ``size`` is DevTools' own count for a cookie read from DevTools, which
    counts the bytes of a name or value it shows empty."""
    c = cdp.from_row(row)
    key = c.get("partitionKey")
    return {
        "name": c["name"], "value": c["value"], "domain": c["domain"], "path": c["path"],
        "expires": None if c["session"] else c["expires"],
        "size": c["size"] if size is None else size, "http_only": c["httpOnly"],
        "secure": c["secure"], "same_site": c.get("sameSite"), "priority": c["priority"],
        "partition": None if key is None else [key["topLevelSite"], key["hasCrossSiteAncestor"]],
        "source_scheme": c["sourceScheme"], "source_port": c["sourcePort"],
    }


def cdp_view(c: dict) -> dict:
    """A cookie of DevTools' Network.getAllCookies as a step stores it."""
    return view(cdp.to_row(c), c["size"])


def _micros(when: dt.datetime) -> int:
    return (when - EPOCH) // dt.timedelta(microseconds=1)


def jar_row(c, details) -> tuple:
    """A jar's cookie and its CookieDetails as a row.  A jar's cookie shows
    its path as text (the text rule), not as bytes: the row holds the text's
    UTF-8, which reads back as the same text."""
    expires = None if c.expires is None else _micros(c.expires)
    key = details.partition_key
    return (c.raw_name, c.raw_value, c.domain, c.host_only, c.path.encode(), expires,
            _micros(details.creation), _micros(details.last_access), c.secure, c.http_only,
            c.same_site.value, key is not None, "" if key is None else key[0],
            _rows.UNSET if c.priority is None else _rows.PRIORITY_NAMES.index(c.priority),
            cdp.SOURCE_SCHEME_NAMES.index(details.source_scheme), details.source_port,
            expires is not None, key is not None and key[1])


def jar_view(c, details) -> dict:
    """A jar's cookie (and its CookieDetails) as a step stores it."""
    return view(jar_row(c, details))


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


def store_diff(want, got, names=("Chromium", "the jar")) -> str:
    if isinstance(want, dict):
        return f"{got}, {names[0]} {want}"
    w = {json.dumps(v, sort_keys=True) for v in want}
    g = {json.dumps(v, sort_keys=True) for v in got}
    return f"only in {names[1]} {sorted(g - w)}, only in {names[0]} {sorted(w - g)}"


def jar_calls(step: dict) -> dict:
    """The step as calls on a jar: ``site_for_cookies`` is the top-level
    page (for a navigation, the page it starts from), None for a navigation
    typed by the user and for the response to a top-level navigation."""
    do = step["do"]
    if do == "goto":
        return {"header": _header(step["url"], None, True, "GET"),
                "set": _set(step["url"], None)}
    if do == "navigate":
        return {"header": _header(step["url"], step["from"], True, step.get("method", "GET")),
                "set": _set(step["url"], None)}
    if do in ("iframe", "fetch"):
        return {"header": _header(step["url"], step["top"], False, "GET"),
                "set": _set(step["url"], step["top"])}
    if do == "script":
        top = None if step["frame"] == step["top"] else step["top"]
        if "write" in step:
            return {"set": _set(step["frame"], top, from_script=True)}
        return {"header": _header(step["frame"], top, False, "GET", from_script=True)}
    return {}


def _header(url, top, navigation, method, from_script=False):
    return {"url": url, "site_for_cookies": top, "navigation": navigation, "method": method,
            "from_script": from_script}


def _set(url, top, from_script=False):
    return {"url": url, "site_for_cookies": top, "from_script": from_script}


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
