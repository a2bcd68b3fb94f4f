"""Rows of the writer grid (tests/data/browser_writer_grid.json): what a
row's cookie says a browser should store, in the form of the recorder's
expectations (tools/recorder/form.py, where the cookie's constructor
arguments are read too).  Used by tests/test_browser_writer_grid.py.
"""

from __future__ import annotations

import datetime as dt
from urllib.parse import quote, urlsplit

UTC = dt.timezone.utc


def _default_path(url_path: str) -> str:
    if not url_path.startswith("/") or url_path.count("/") <= 1:
        return "/"
    return url_path[:url_path.rindex("/")]


def said(args: dict, keywords: dict, url: str, now: dt.datetime) -> dict:
    """What the cookie says a browser stores when the header is received
    from url at now: its name and value percent-encoded as the writer
    writes them, its domain and path (or the host and the default path),
    its expiry, flags and mode as given, and the keywords."""
    parts = urlsplit(url)
    if args["max_age"] >= 0:
        try:
            expires = now + dt.timedelta(seconds=args["max_age"])
        except OverflowError:  # past the last datetime: as good as never
            expires = dt.datetime.max.replace(tzinfo=UTC)
    elif args["expires"] is not None:
        expires = dt.datetime.fromisoformat(args["expires"])
        expires = expires.replace(tzinfo=UTC) if expires.tzinfo is None else expires
    else:
        expires = None
    domain = args["domain"]
    priority = keywords.get("priority")
    return {
        "name": quote(args["name"]), "value": quote(args["value"]),
        "domain": domain.lower().removeprefix(".") if domain else parts.hostname.lower(),
        "host_only": not domain,
        "path": args["path"] or _default_path(parts.path),
        "expires": None if expires is None else expires.timestamp(),
        "secure": args["secure"], "http_only": args["http_only"],
        "same_site": args["same_site"],
        "partitioned": bool(keywords.get("partitioned")),
        "priority": None if priority is None else priority.lower(),
        "expired": expires is not None and expires <= now,
    }


def stored_as_said(expected: dict | None, says: dict, tolerance: float = 5.0) -> bool:
    """Whether what the browser stored (a recorded expectation) is what the
    cookie says; for a deletion, every field but the instant."""
    if expected is None:
        return False
    for key, want in says.items():
        got = expected[key]
        if key == "expires":
            if says["expired"] and expected["expired"]:
                continue
            if (want is None) != (got is None) or (want is not None and abs(want - got) > tolerance):
                return False
        elif got != want:
            return False
    return True
