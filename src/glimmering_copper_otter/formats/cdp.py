"""The cookies of the DevTools protocol: `Network.Cookie` objects (as
`Network.getAllCookies` and `Storage.getCookies` give them) to rows, and
rows to such objects (`from_row`, what DevTools shows) or to the
`Network.CookieParam` objects that `Network.setCookies` and
`Storage.setCookies` take (`to_param`).  This is the "cdp" format of
`CookieJar.load_cookies` and `dump_cookies` (see `automation`), and the
conversion the recorder and its data use.

The protocol carries no creation or last-access time, and shows a priority
the header did not give as "Medium"; it shows a name or a value that is
not UTF-8 as an empty string (`shown`), and a path by the text rule
(`text`).  `to_param` writes such a name or value by the text rule too, and
says so.
"""

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.formats import _objects

# The protocol's names of a row's values, by the value: a SameSite of 0 is
# shown as no sameSite at all, and a priority the header did not give
# (_rows.UNSET) as "Medium".
SAME_SITE_NAMES = (None, "Lax", "Strict", "None")
PRIORITY_NAMES = ("Low", "Medium", "High")
SOURCE_SCHEME_NAMES = ("Unset", "NonSecure", "Secure")

_SAME_SITE = {name: n for n, name in enumerate(SAME_SITE_NAMES) if name}
_PRIORITY = {name: n for n, name in enumerate(PRIORITY_NAMES)}
_SOURCE_SCHEME = {name: n for n, name in enumerate(SOURCE_SCHEME_NAMES)}

# The text rule: UTF-8, a byte outside a valid sequence read as Latin-1.
text = _objects.text_rule


def to_row(cookie: dict, *, creation: int = 0, last_access: int | None = None) -> tuple:
    """The row of a `Network.Cookie` (or of a `Network.CookieParam` with a
    domain and a path); `creation` and `last_access` (microseconds since the
    epoch) stand for the times the protocol does not carry.  A field of the
    wrong type raises ValueError naming it.  A partition key given as a bare
    site (the protocol's older form), or without hasCrossSiteAncestor, is
    taken as set from a cross-site frame unless the cookie's domain is of
    that site."""
    name, value, domain, path = (_objects.text(cookie, key)
                                 for key in ("name", "value", "domain", "path"))
    expires = _objects.number(cookie, "expires", -1)
    session = _objects.flag(cookie, "session") or expires == -1
    key = cookie.get("partitionKey")
    if key is None:
        site, cross_site = "", False
    elif type(key) is str:
        site, cross_site = key, not _objects.of_site(domain, key)
    elif type(key) is dict:
        site = _objects.text(key, "topLevelSite")
        cross_site = _objects.flag(key, "hasCrossSiteAncestor", not _objects.of_site(domain, site))
    else:
        raise ValueError("partitionKey: an object or a site")
    source_port = cookie.get("sourcePort", -1)
    if type(source_port) is not int or not -1 <= source_port <= 65535:
        raise ValueError("sourcePort: -1 or a port number")
    return (_objects.utf8(name, "name"), _objects.utf8(value, "value"),
            domain.lstrip(".").lower(), not domain.startswith("."), _objects.utf8(path, "path"),
            None if session else _objects.micros(expires), creation,
            creation if last_access is None else last_access, _objects.flag(cookie, "secure"),
            _objects.flag(cookie, "httpOnly"), _objects.named(cookie, "sameSite", _SAME_SITE, 0),
            bool(site), site, _objects.named(cookie, "priority", _PRIORITY, _rows.UNSET),
            _objects.named(cookie, "sourceScheme", _SOURCE_SCHEME, 0), source_port, not session,
            bool(site) and cross_site)


def shown(raw: bytes) -> str:
    """A name or a value as the protocol shows it: its UTF-8 text, or an
    empty string when it is not UTF-8."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return ""


def from_row(row: tuple) -> dict:
    """The `Network.Cookie` a browser would show for the row: a name, value
    or path that is not UTF-8 is shown as DevTools shows one."""
    name, value, priority = row[_rows.NAME], row[_rows.VALUE], row[_rows.PRIORITY]
    cookie = {
        "name": shown(name), "value": shown(value),
        "domain": _objects.domain_field(row),
        "path": text(row[_rows.PATH]),
        "expires": -1 if row[_rows.EXPIRES] is None else row[_rows.EXPIRES] / 1000000,
        "size": len(name) + len(value), "httpOnly": row[_rows.HTTP_ONLY],
        "secure": row[_rows.SECURE], "session": row[_rows.EXPIRES] is None,
        "priority": PRIORITY_NAMES[1 if priority == _rows.UNSET else priority],
        "sourceScheme": SOURCE_SCHEME_NAMES[row[_rows.SOURCE_SCHEME]],
        "sourcePort": row[_rows.SOURCE_PORT],
    }
    if row[_rows.SAME_SITE]:
        cookie["sameSite"] = SAME_SITE_NAMES[row[_rows.SAME_SITE]]
    if row[_rows.PARTITIONED]:
        cookie["partitionKey"] = {"topLevelSite": row[_rows.PARTITION_KEY],
                                  "hasCrossSiteAncestor": row[_rows.CROSS_SITE_ANCESTOR]}
    return cookie


def to_param(row: tuple) -> tuple[dict, list[str]]:
    """The `Network.CookieParam` that sets the row's cookie, and what it
    writes otherwise than the row holds: a name, value or path that is not
    UTF-8 is written by the text rule (the protocol takes text).  A SameSite
    the header did not give is left out, as the protocol means it; a
    priority the header did not give is written "Medium", what Chromium
    takes it as."""
    changes: list[str] = []
    priority = row[_rows.PRIORITY]
    cookie = {"name": _objects.written(row[_rows.NAME], "name", changes),
              "value": _objects.written(row[_rows.VALUE], "value", changes),
              "domain": _objects.domain_field(row),
              "path": _objects.written(row[_rows.PATH], "path", changes),
              "secure": row[_rows.SECURE], "httpOnly": row[_rows.HTTP_ONLY]}
    if row[_rows.SAME_SITE]:
        cookie["sameSite"] = SAME_SITE_NAMES[row[_rows.SAME_SITE]]
    if row[_rows.EXPIRES] is not None:
        cookie["expires"] = row[_rows.EXPIRES] / 1000000
    cookie["priority"] = PRIORITY_NAMES[1 if priority == _rows.UNSET else priority]
    cookie["sourceScheme"] = SOURCE_SCHEME_NAMES[row[_rows.SOURCE_SCHEME]]
    cookie["sourcePort"] = row[_rows.SOURCE_PORT]
    if row[_rows.PARTITIONED]:
        cookie["partitionKey"] = {"topLevelSite": row[_rows.PARTITION_KEY],
                                  "hasCrossSiteAncestor": row[_rows.CROSS_SITE_ANCESTOR]}
    return cookie, changes
