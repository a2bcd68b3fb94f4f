"""The cookies of WebDriver BiDi's storage module: rows to the
`storage.PartialCookie` and partition that `storage.setCookie` takes
(`to_cookie`), and the `network.Cookie` objects of `storage.getCookies`
to rows (`to_row`).

BiDi carries a name, a value (text or base64 bytes), a domain (with a
leading dot for a domain cookie), a path, whole seconds of expiry (none for
a session cookie), Secure, HttpOnly and SameSite ("default" for one the
header did not give).  It has no priority, no source scheme or port and no
cross-site-ancestor half of a partition key: `to_cookie` says so for a
cookie that has one, and `to_row` takes a cookie as set over https, at
medium priority.  A partitioned cookie is set and read through a partition
naming its top-level site (`sourceOrigin`); the cookies shown carry no
partition of their own.

Firefox (153) reads text otherwise than the protocol says, measured on
what it then sends: it keeps a name as the Latin-1 bytes of its text, and
shows it so; it keeps a value given as text or base64 as the UTF-8 of the
value's bytes read as Latin-1 (a UTF-8 value so given arrives encoded twice),
and shows the value's UTF-8 as text.  With `firefox`, the conversions
speak that dialect: a name goes as its bytes' Latin-1 text, a value as the
base64 of its text's Latin-1 bytes, which Firefox keeps as the value's own
UTF-8; a value that is not UTF-8, or holds a character above U+00FF,
cannot be set so (Firefox keeps no value that is not UTF-8 at all, even
from a Set-Cookie header, where it writes U+FFFD instead).
"""

import base64

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.formats import _objects, automation

SAME_SITE_NAMES = ("default", "lax", "strict", "none")
_SAME_SITE = {name: n for n, name in enumerate(SAME_SITE_NAMES)}

NO_PRIORITY = ("priority {}: WebDriver BiDi has no priority; the browser takes the cookie as "
               "medium")
NO_CROSS_SITE_ANCESTOR = ("partition: WebDriver BiDi names no cross-site ancestor; set in its "
                          "top-level site's partition without it")
FIREFOX_VALUE = ("Unsupported: Firefox keeps a value set over WebDriver BiDi as the UTF-8 of its "
                 "bytes read as Latin-1, so a value that is not UTF-8 or holds a character "
                 "above U+00FF cannot be set (not sent)")


def _firefox_value(raw):
    """The bytes whose base64 Firefox keeps as raw, or None."""
    try:
        return raw.decode("utf-8").encode("latin-1")
    except (UnicodeDecodeError, UnicodeEncodeError):
        return None


def partition_of(site: str | None) -> dict:
    """The `storage.PartitionKey` descriptor of a top-level site's
    partition (None: the browser's own, unpartitioned one)."""
    if site is None:
        return {"type": "storageKey"}
    return {"type": "storageKey", "sourceOrigin": site.rstrip("/")}


def to_cookie(row: tuple, *, firefox: bool = False) -> tuple[dict | None, str | None, list[str]]:
    """The `storage.PartialCookie` that sets the row's cookie, the top-level
    site of its partition (None for an unpartitioned cookie), and what the
    protocol cannot carry of it.  The value goes as base64 (its bytes as
    they are); a name or path that is not UTF-8 by the text rule, said in
    the notes.  With firefox, in Firefox's dialect (see above); None for a
    cookie it cannot be told, with the reason as the one note."""
    changes: list[str] = []
    name, value = row[_rows.NAME], row[_rows.VALUE]
    if firefox:
        value = _firefox_value(value)
        if value is None:
            return None, None, [FIREFOX_VALUE]
        shown_name = name.decode("latin-1")
    else:
        shown_name = _objects.written(name, "name", changes)
    cookie = {"name": shown_name,
              "value": {"type": "base64", "value": base64.b64encode(value).decode("ascii")},
              "domain": _objects.domain_field(row),
              "path": _objects.written(row[_rows.PATH], "path", changes),
              "httpOnly": row[_rows.HTTP_ONLY], "secure": row[_rows.SECURE],
              "sameSite": SAME_SITE_NAMES[row[_rows.SAME_SITE]]}
    if row[_rows.EXPIRES] is not None:
        cookie["expiry"] = row[_rows.EXPIRES] // 1000000
    priority = row[_rows.PRIORITY]
    if priority not in (_rows.UNSET, 1):
        changes.append(NO_PRIORITY.format(_rows.PRIORITY_NAMES[priority]))
    site = row[_rows.PARTITION_KEY] if row[_rows.PARTITIONED] else None
    if row[_rows.CROSS_SITE_ANCESTOR]:
        changes.append(NO_CROSS_SITE_ANCESTOR)
    return cookie, site, changes


def _value(cookie: dict, firefox: bool) -> bytes:
    value = cookie.get("value")
    if type(value) is not dict:
        raise ValueError("value: an object")
    kind, data = value.get("type"), _objects.text(value, "value")
    if kind == "base64":
        try:
            raw = base64.b64decode(data, validate=True)
        except ValueError:
            raise ValueError("value: not base64") from None
        return raw.decode("latin-1").encode("utf-8") if firefox else raw
    if kind != "string":
        raise ValueError("value: of type string or base64")
    return _objects.utf8(data, "value")


def to_row(cookie: dict, *, site: str | None = None, firefox: bool = False) -> tuple:
    """The row of a `network.Cookie` read from the partition of the
    top-level site `site` (None: unpartitioned; a cookie of another site
    there is taken as set from a cross-site frame); times 0.  With
    firefox, a name shown as Latin-1 text, and a value as Firefox keeps
    one given as base64.  A field of the wrong type
    raises ValueError naming it."""
    domain, name = _objects.text(cookie, "domain"), _objects.text(cookie, "name")
    expires = _objects.number(cookie, "expiry", None)
    row = automation._row(
        name, "", domain, not domain.startswith("."), _objects.text(cookie, "path", "/"),
        expires, _objects.flag(cookie, "secure"), _objects.flag(cookie, "httpOnly"),
        _objects.named(cookie, "sameSite", _SAME_SITE, 0), site or "",
        bool(site) and not _objects.of_site(domain, site))
    if firefox and max(name, default="\0") < "\u0100":
        row = (name.encode("latin-1"), *row[1:])
    return (row[0], _value(cookie, firefox), *row[2:])
