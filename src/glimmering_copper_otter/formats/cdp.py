"""The cookies of the DevTools protocol: `Network.Cookie` objects (as
`Network.getAllCookies` and `Storage.getCookies` give them) to rows, and
rows to such objects.

The protocol carries no creation or last-access time, and shows a priority
the header did not give as "Medium"; it shows a name or a value that is
not UTF-8 as an empty string (`shown`), and a path by the text rule
(`text`).
"""

from glimmering_copper_otter import _rows

# The protocol's names of a row's values, by the value: a SameSite of 0 is
# shown as no sameSite at all, and a priority the header did not give
# (_rows.UNSET) as "Medium".
SAME_SITE_NAMES = (None, "Lax", "Strict", "None")
PRIORITY_NAMES = ("Low", "Medium", "High")
SOURCE_SCHEME_NAMES = ("Unset", "NonSecure", "Secure")

_SAME_SITE = {name: n for n, name in enumerate(SAME_SITE_NAMES) if name}
_PRIORITY = {name: n for n, name in enumerate(PRIORITY_NAMES)}
_SOURCE_SCHEME = {name: n for n, name in enumerate(SOURCE_SCHEME_NAMES)}


def to_row(cookie: dict, *, creation: int = 0, last_access: int | None = None) -> tuple:
    """The row of a `Network.Cookie`; `creation` and `last_access`
    (microseconds since the epoch) stand for the times the protocol does not
    carry."""
    domain = cookie["domain"]
    session = cookie.get("session") or cookie.get("expires", -1) == -1
    expires = None if session else round(cookie["expires"] * 1000000)
    key = cookie.get("partitionKey")
    return (cookie["name"].encode(), cookie["value"].encode(), domain.lstrip(".").lower(),
            not domain.startswith("."), cookie["path"].encode(), expires, creation,
            creation if last_access is None else last_access, bool(cookie["secure"]),
            bool(cookie["httpOnly"]), _SAME_SITE.get(cookie.get("sameSite"), 0), key is not None,
            "" if key is None else key["topLevelSite"],
            _PRIORITY.get(cookie.get("priority"), _rows.UNSET),
            _SOURCE_SCHEME.get(cookie.get("sourceScheme"), 0), cookie.get("sourcePort", -1),
            expires is not None, bool(key and key["hasCrossSiteAncestor"]))


def shown(raw: bytes) -> str:
    """A name or a value as the protocol shows it: its UTF-8 text, or an
    empty string when it is not UTF-8."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return ""


def text(raw: bytes) -> str:
    """The text rule: UTF-8, a byte outside a valid sequence read as Latin-1."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        pass
    out, i = [], 0
    while i < len(raw):
        for n in (1, 2, 3, 4):
            try:
                out.append(raw[i:i + n].decode("utf-8"))
            except UnicodeDecodeError:
                continue
            i += n
            break
        else:
            out.append(chr(raw[i]))
            i += 1
    return "".join(out)


def from_row(row: tuple) -> dict:
    """The `Network.Cookie` a browser would show for the row: a name, value
    or path that is not UTF-8 is shown as DevTools shows one."""
    name, value, priority = row[_rows.NAME], row[_rows.VALUE], row[_rows.PRIORITY]
    cookie = {
        "name": shown(name), "value": shown(value),
        "domain": row[_rows.DOMAIN] if row[_rows.HOST_ONLY] else "." + row[_rows.DOMAIN],
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
