"""The fields of the JSON objects that automation tools keep cookies in
(DevTools, Playwright, browser extensions, WebDriver), read and written
alike for every such format: a field of the wrong type raises ValueError
naming it, and a name, value or path a format cannot carry as text is
written by the text rule, with a note saying so."""

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.browser import _read_url

# Above every expiry a browser keeps (year 9999), so that no conversion of
# a huge number fails.
LATEST_SECONDS = 253402300799


def text(cookie: dict, key: str, default: str | None = None) -> str:
    value = cookie.get(key, default)
    if type(value) is not str:
        raise ValueError(f"{key}: a string" + (" is required" if value is None else ""))
    return value


def url(value: object, key: str = "url") -> dict:
    """A url as a browser reads it (the WHATWG URL standard as Chromium
    applies it: a backslash is a slash, credentials end at the last '@' of
    the authority, an IPv6 host is kept in brackets, a host is lowered and
    made ASCII): its parts ("scheme", "host", "path", ...); ValueError
    naming key when it is not an absolute http, https, ws or wss url."""
    if type(value) is not str:
        raise ValueError(f"{key}: a string")
    parts = _read_url(value)
    if parts is None:
        raise ValueError(f"{key}: not an absolute http, https, ws or wss url")
    return parts


def flag(cookie: dict, key: str, default: bool = False) -> bool:
    value = cookie.get(key)
    if value is None:
        return default
    if type(value) is not bool:
        raise ValueError(f"{key}: true or false")
    return value


def number(cookie: dict, key: str, default: float | None) -> float | None:
    """A finite number (an int or a float, not a bool), or default when the
    field is missing or null."""
    value = cookie.get(key)
    if value is None:
        return default
    if type(value) not in (int, float) or not -1e300 < value < 1e300:
        raise ValueError(f"{key}: a number")
    return value


def named(cookie: dict, key: str, names: dict, default: int, *, any_case: bool = False) -> int:
    """The value of a field holding one of names (or default when missing
    or null)."""
    value = cookie.get(key)
    if value is None:
        return default
    if type(value) is str and any_case:
        value = value.lower()
    if type(value) is not str or value not in names:
        raise ValueError(f"{key}: one of {', '.join(names)}")
    return names[value]


def utf8(value: str, key: str) -> bytes:
    try:
        return value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{key}: text with a lone surrogate") from None


def micros(seconds: float | None) -> int | None:
    """Seconds since 1970 (a float of them, as these formats keep an expiry)
    as the microseconds of a row."""
    if seconds is None:
        return None
    return round(max(min(seconds, LATEST_SECONDS), -LATEST_SECONDS) * 1000000)


def of_site(domain: str, site: str) -> bool:
    """Whether a cookie's domain is of a top-level site ("https://example.com"):
    the site's host or a subdomain of it."""
    host = site.partition("://")[2].rstrip("/").lower()
    domain = domain.lstrip(".").lower()
    return bool(host) and (domain == host or domain.endswith("." + host))


def text_rule(raw: bytes) -> str:
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


def written(raw: bytes, what: str, changes: list[str]) -> str:
    """A name, value or path as the text a format keeps; a note in changes
    when it is not UTF-8 (a browser given the text keeps its UTF-8, not
    these bytes)."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        changes.append(f"not UTF-8: its {what} is written by the text rule (a byte outside a "
                       "UTF-8 sequence as its Latin-1 character), which a browser keeps as that "
                       "text's UTF-8")
        return text_rule(raw)


def domain_field(row: tuple) -> str:
    """A row's domain as these formats write it: with a leading dot for a
    domain cookie."""
    return row[_rows.DOMAIN] if row[_rows.HOST_ONLY] else "." + row[_rows.DOMAIN]
