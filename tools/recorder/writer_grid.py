"""The writer grid: Cookie records written by the writer, then served."""

from __future__ import annotations

import datetime as dt
import json
import sys

from .driver import Browser
from .form import cookie_args, make_cookie
from .headers import ROOT, T, H, CU, IP, LH, UTC, normalise

WRITER_DATA = ROOT / "tests" / "data" / "browser_writer_grid.json"


def writer_grid(now: dt.datetime) -> list[dict]:
    """Rows of Cookie constructor arguments and writer keywords."""
    rows: list[dict] = []
    naive_now = now.replace(tzinfo=None, microsecond=0)
    D = "https://www.example.test/a/b/page"

    def add(group, key, name="a", value="b", url=T, partitioned=False, priority=None,
            moving=False, **fields):
        rows.append({"id": f"{group}/{key}", "group": group,
                     "cookie": cookie_args(name, value, **fields),
                     "keywords": {"partitioned": partitioned, "priority": priority},
                     "url": url, "moving": moving})

    # -- sizes: the name and the value as written, percent-escapes included
    add("size", "plain")
    add("size", "empty-value", value="")
    add("size", "4096-ascii", name="n", value="v" * 4095)
    add("size", "4097-ascii", name="n", value="v" * 4096)
    add("size", "4096-long-name", name="n" * 4000, value="v" * 96)
    add("size", "4097-long-name", name="n" * 4001, value="v" * 96)
    add("size", "750-e-acute", value="é" * 750)
    add("size", "682-e-acute", name="n", value="é" * 682)
    add("size", "683-e-acute", name="n", value="é" * 683)
    add("size", "4096-spaces", value=" " * 4096)
    add("size", "1365-spaces", name="n", value=" " * 1365)
    add("size", "1366-spaces", name="n", value=" " * 1366)
    add("size", "euro-sign", value="€")
    add("size", "emoji-name", name="\U0001f36a", value="v")
    add("size", "specials", value='a"b,c;d\\e f')
    add("size", "name-with-space", name="a b", value="c")
    add("size", "4096-ascii-partitioned", name="n", value="v" * 4095, partitioned=True,
        priority="high")

    # -- SameSite: every mode, Secure or not, from https and http
    for mode in ("UNDEFINED", "LAX", "STRICT", "NONE"):
        key = mode.lower()
        add("samesite", key, same_site=mode)
        add("samesite", f"{key}-secure", same_site=mode, secure=True)
        add("samesite", f"{key}-http", same_site=mode, url=H)
        add("samesite", f"{key}-partitioned", same_site=mode, partitioned=True)

    # -- Expires at the edges (naive: UTC) and Max-Age
    for key, when in [
        ("year-1", dt.datetime(1, 1, 2, 3, 4, 5)), ("year-69", dt.datetime(69, 1, 2, 3, 4, 5)),
        ("year-999", dt.datetime(999, 6, 1)), ("year-1600", dt.datetime(1600, 12, 31, 23, 59, 59)),
        ("year-1601", dt.datetime(1601, 1, 1)), ("year-1601-later", dt.datetime(1601, 1, 2, 3, 4, 5)),
        ("epoch", dt.datetime(1970, 1, 1)), ("year-2099", dt.datetime(2099, 10, 21, 7, 28)),
        ("year-9999", dt.datetime(9999, 12, 31, 23, 59, 59)),
        ("aware-offset", dt.datetime(2099, 1, 2, 3, 4, 5, tzinfo=dt.timezone(dt.timedelta(hours=2)))),
    ]:
        add("expires", key, expires=when)
    for key, days in [("yesterday", -1), ("in-30-days", 30), ("in-399-days", 399),
                      ("in-401-days", 401)]:
        add("expires", key, expires=naive_now + dt.timedelta(days=days), moving=True)
    for key, seconds in [("zero", 0), ("one", 1), ("hour", 3600), ("400-days", 400 * 86400),
                         ("400-days-and-an-hour", 400 * 86400 + 3600), ("2-31", 2**31),
                         ("largest", 2**63 - 1)]:
        add("max-age", key, max_age=seconds)
    add("max-age", "over-past-expires", max_age=3600, expires=dt.datetime(1970, 1, 1))
    add("max-age", "zero-partitioned", max_age=0, partitioned=True)

    # -- domains
    for key, domain, url in [
        ("none", None, T), ("empty", "", T), ("parent", "example.test", T),
        ("parent-dot", ".example.test", T), ("upper", "EXAMPLE.TEST", T),
        ("host", "www.example.test", T), ("trailing-dot", "example.test.", T),
        ("other", "other.test", T), ("suffix", "test", T), ("child", "sub.www.example.test", T),
        ("sub", "sub", T), ("non-ascii", "exämple.test", T), ("space", "exa mple.test", T),
        ("1100-bytes", "a." * 544 + "example.test", T), ("ip-equal", "127.0.0.1", IP),
        ("ip-other", "127.0.0.2", IP), ("co-uk-parent", "example.co.uk", CU),
        ("co-uk-suffix", "co.uk", CU), ("localhost", "localhost", LH),
        ("http-parent", "example.test", H),
        ("semicolon", "example.test;x", T), ("control", "exa\x01mple.test", T),
        ("delete", "example.test\x7f", T),
    ]:
        add("domain", key, domain=domain, url=url)
    add("domain", "parent-partitioned", domain="example.test", partitioned=True, priority="low")

    # -- paths, received from a deep page (default path /a/b)
    for key, path in [
        ("none", None), ("empty", ""), ("root", "/"), ("explicit", "/x"), ("slash-end", "/x/"),
        ("space", "/a b"), ("e-acute", "/é"), ("encoded", "/a%20b"), ("sub", "sub"),
        ("1024-bytes", "/" + "p" * 1023), ("1100-bytes", "/" + "p" * 1099),
        ("double-slash", "//"), ("backslash", "\\x"), ("query-like", "/x?y"),
        ("semicolon", "/a;b"), ("tab", "/a\tb"), ("control", "/a\x1fb"),
    ]:
        add("path", key, path=path, url=D)

    # -- name prefixes
    for key, name, fields, url, part in [
        ("secure-ok", "__Secure-a", {"secure": True}, T, False),
        ("secure-not-secure", "__Secure-a", {}, T, False),
        ("secure-by-strict", "__Secure-a", {"same_site": "STRICT"}, T, False),
        ("secure-by-partitioned", "__Secure-a", {}, T, True),
        ("secure-http", "__Secure-a", {"secure": True}, H, False),
        ("secure-lower", "__secure-a", {}, T, False),
        ("host-ok", "__Host-a", {"secure": True, "path": "/"}, T, False),
        ("host-no-path", "__Host-a", {"secure": True}, T, False),
        ("host-path-x", "__Host-a", {"secure": True, "path": "/x"}, T, False),
        ("host-domain", "__Host-a", {"secure": True, "path": "/", "domain": "www.example.test"},
         T, False),
        ("host-not-secure", "__Host-a", {"path": "/"}, T, False),
        ("host-partitioned", "__Host-a", {"path": "/", "same_site": "NONE"}, T, True),
        ("host-http", "__Host-a", {"secure": True, "path": "/"}, H, False),
        ("host-upper", "__HOST-a", {"secure": True, "path": "/"}, T, False),
    ]:
        add("prefix", key, name=name, url=url, partitioned=part, **fields)

    # -- the keywords
    for key, url, part, prio, fields in [
        ("partitioned", T, True, None, {}),
        ("partitioned-http", H, True, None, {}),
        ("partitioned-ip", IP, True, None, {}),
        ("partitioned-localhost", LH, True, None, {}),
        ("partitioned-co-uk", CU, True, None, {}),
        ("partitioned-httponly-lax", T, True, None, {"http_only": True, "same_site": "LAX",
                                                     "path": "/"}),
        ("partitioned-full", T, True, "medium",
         {"expires": dt.datetime(2099, 1, 1), "max_age": 3600, "domain": "example.test",
          "path": "/", "http_only": True, "same_site": "LAX"}),
        ("priority-low", T, False, "low", {}), ("priority-medium", T, False, "medium", {}),
        ("priority-high", T, False, "high", {}), ("priority-upper", T, False, "HIGH", {}),
        ("priority-mixed", T, False, "mEdIuM", {}),
        ("priority-http", H, False, "low", {}),
        ("both-strict", T, True, "high", {"same_site": "STRICT"}),
        ("both-http-secure", H, True, "low", {"secure": True}),
    ]:
        add("keywords", key, url=url, partitioned=part, priority=prio, **fields)

    rows.sort(key=lambda r: r["id"])
    ids = [r["id"] for r in rows]
    assert len(ids) == len(set(ids)), "duplicate row ids"
    return rows


def write_grid_row(row) -> tuple[bytes | None, str | None]:
    """(header bytes, None) as the writer writes the row's cookie, or (None,
    "ErrorType: message") when the writer refuses it."""
    from glimmering_copper_otter.writer import write_cookie_for_response

    try:
        header = write_cookie_for_response(make_cookie(row["cookie"]), **row["keywords"])
    except (ValueError, TypeError) as error:
        return None, f"{type(error).__name__}: {error}"
    return header, None


def record_writer_grid(only):
    now = dt.datetime.now(UTC)
    rows = writer_grid(now)
    if only:
        rows = [r for r in rows if only in r["id"]]
    old = {}
    if only and WRITER_DATA.exists():
        old = {r["id"]: r for r in json.loads(WRITER_DATA.read_text())["rows"]}
    browser = Browser()
    try:
        for i, row in enumerate(rows, 1):
            header, error = write_grid_row(row)
            out = dict(row, header=None if header is None else header.decode("latin-1"),
                       writer_error=error)
            if header is None:
                out.update(recorded_at=dt.datetime.now(UTC).isoformat(),
                           chromium=browser.version, devtools=None, expected=None,
                           reasons=[], derived_from_model=[])
            else:
                served = dict(row, header=header)
                rec = browser.record(served)
                expected, reasons, derived = normalise(served, rec)
                out.update(rec, expected=expected, reasons=reasons, derived_from_model=derived)
            old[row["id"]] = out
            if i % 25 == 0:
                print(f"record-writer-grid: {i}/{len(rows)}", file=sys.stderr)
        version = browser.version
    finally:
        browser.close()
    doc = {"format": 1, "chromium": version, "recorded": now.date().isoformat(),
           "rows": sorted(old.values(), key=lambda r: r["id"])}
    WRITER_DATA.write_text(json.dumps(doc, indent=1, ensure_ascii=True) + "\n")
    print(f"record-writer-grid: {len(old)} rows written to {WRITER_DATA.relative_to(ROOT)} "
          f"(Chromium {version})")


