"""The cookies of browser automation tools, read into rows and written from
them: Playwright's storage state ("playwright"), the DevTools protocol's
cookies ("cdp", the conversion of `cdp`), the `chrome.cookies` objects that
browser extensions export ("extension") and WebDriver's cookies
("webdriver").

In: each cookie of a document becomes the row it describes (`read`), and
`setting` turns a row into the Set-Cookie value and url that stand for it:
a navigation response from its site (over https, but over http where
DevTools names a non-secure source scheme for a cookie that is not Secure,
or the cookie's own partition is an http site; from the source port
DevTools names), or, for a partitioned cookie, the response to a frame
under its top-level site.  The jar applies that with its rules, then puts
back what a Set-Cookie value cannot say (`refined`): an expiry finer than a
second, the cross-site-ancestor half of a partition key, an unknown source
port.

Out: the rows as each format's objects (`write`), with what each cannot
carry: a cookie left out (`LeftOut`) or written otherwise (`Changed`).

| format | SameSite unspecified | partition | priority, source | expiry |
|---|---|---|---|---|
| playwright | Lax, reported | partitionKey, _crHasCrossSiteAncestor | lost | float seconds |
| cdp | no sameSite | partitionKey object | kept | float seconds |
| extension | "unspecified" | partitionKey object | lost | float seconds |
| webdriver | Lax, reported | left out, reported | lost | whole seconds |

None keeps creation or last-access times: a load stores the cookies in the
document's order, and a dump lists them oldest first, so the
order of cookies of equal path length (their order in a Cookie header)
survives both ways.  A name, value or path that is not UTF-8 is written by
the text rule, and reported.
"""

import datetime as dt
import email.utils
from typing import NamedTuple

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.rows import Changed, LeftOut
from glimmering_copper_otter.formats import _json, _objects, cdp

FORMATS = ("playwright", "cdp", "extension", "webdriver")

# SameSite as each format names it, by a row's value (0: unspecified).
_PLAYWRIGHT_SAME_SITE = {"lax": 1, "strict": 2, "none": 3}
_PLAYWRIGHT_NAMES = ("Lax", "Lax", "Strict", "None")
_EXTENSION_SAME_SITE = {"unspecified": 0, "lax": 1, "strict": 2, "no_restriction": 3, "none": 3}
_EXTENSION_NAMES = ("unspecified", "lax", "strict", "no_restriction")
# The store of a browser's regular profile, which chrome.cookies names "0".
EXTENSION_STORE_ID = "0"

LAX_INSTEAD = ("SameSite unspecified: written as Lax, which Chromium takes it as ({} names "
               "Strict, Lax or None only)")
WEBDRIVER_PARTITION = ("partitioned: WebDriver has no partition key; left out (written "
                       "unpartitioned it would be sent to its site's own pages)")
# Characters no host name holds; ':' only in an IPv6 address's brackets.
_NOT_HOST = frozenset(" \t\r\n\f\v/\\?#@;,%\"<>^`{|}")


# -- in ---------------------------------------------------------------------------


def parse(data: bytes | str) -> object:
    """The JSON document of a file's bytes; ValueError when it is none."""
    return _json.loads(data)


def cookies_of(document: object, format: str) -> list:
    """The cookie objects of a document: a list of them, or an object
    holding them under "cookies" (Playwright's storage state, the result of
    DevTools' Network.getAllCookies); for WebDriver also one cookie
    object.  A Playwright storage state's "origins" are not read."""
    if type(document) is dict:
        if "cookies" in document:
            document = document["cookies"]
        elif format == "webdriver" and "name" in document:
            document = [document]
    if type(document) not in (list, tuple):
        shape = ('a storage state (an object with "cookies") or a list of cookies'
                 if format == "playwright" else "a list of cookie objects")
        raise ValueError(f"format {format!r} reads {shape}, not {type(document).__name__}")
    return list(document)


def read(document: object, format: str, url: str | None = None
         ) -> list[tuple[int, tuple | None, str | None]]:
    """(index, row, None) for each cookie of the document, or (index, None,
    reason) for one that does not read, reason beginning with Unreadable.
    url is the page a WebDriver cookie without a domain is for."""
    to_row = _READERS.get(format)
    if to_row is None:
        raise ValueError(f"format is one of {', '.join(FORMATS)}, not {format!r}")
    out = []
    for index, cookie in enumerate(cookies_of(document, format)):
        try:
            if type(cookie) is not dict:
                raise ValueError("a cookie is an object")
            out.append((index, to_row(cookie, url), None))
        except ValueError as error:
            out.append((index, None, f"Unreadable: {error}"))
    return out


def _row(name, value, domain, host_only, path, expires, secure, http_only, same_site,
         site="", cross_site=False, priority=_rows.UNSET):
    """The row a format's cookie describes.  Where the format has no source
    scheme or port, the cookie is taken as set over https: a browser held it
    next to the Secure cookies it was exported with, which a cookie from an
    insecure origin could not shadow."""
    return (_objects.utf8(name, "name"), _objects.utf8(value, "value"),
            domain.lstrip(".").lower(), host_only, _objects.utf8(path, "path"),
            _objects.micros(expires), 0, 0, secure, http_only, same_site, bool(site), site,
            priority, 2, 443, expires is not None,
            bool(site) and cross_site)


def _cdp_row(cookie, url):
    return cdp.to_row(cookie)


def _playwright_row(cookie, url):
    """A cookie of a storage state, or of BrowserContext.cookies() and
    add_cookies() (with "url" instead of "domain" and "path": a host-only
    cookie of the url's host and directory, Secure for https)."""
    if cookie.get("url") is not None:
        # The url read as the browsers Playwright drives read it: https://a.test\@b.test/
        # is a page of a.test.
        parts = _objects.url(cookie["url"])
        path = parts["path"][:parts["path"].rfind("/") + 1] or "/"
        domain, secure = parts["host"], parts["scheme"] == "https"
    else:
        domain, path = _objects.text(cookie, "domain"), _objects.text(cookie, "path")
        secure = _objects.flag(cookie, "secure")
    expires = _objects.number(cookie, "expires", -1)
    if expires < 0 and expires != -1:
        raise ValueError("expires: seconds since 1970, or -1 for a session cookie")
    site = cookie.get("partitionKey")
    if site is not None and type(site) is not str:
        raise ValueError("partitionKey: a site (\"https://example.com\")")
    # Playwright sets a partitioned cookie as one of a cross-site frame
    # unless its own field says otherwise.
    return _row(_objects.text(cookie, "name"), _objects.text(cookie, "value"), domain,
                not domain.startswith("."), path, None if expires == -1 else expires, secure,
                _objects.flag(cookie, "httpOnly"),
                _objects.named(cookie, "sameSite", _PLAYWRIGHT_SAME_SITE, 0, any_case=True),
                site or "", _objects.flag(cookie, "_crHasCrossSiteAncestor", True))


def _extension_row(cookie, url):
    domain = _objects.text(cookie, "domain")
    expires = _objects.number(cookie, "expirationDate", None)
    if _objects.flag(cookie, "session"):
        expires = None
    site, cross_site = "", False
    key = cookie.get("partitionKey")
    if key is not None:
        if type(key) is not dict:
            raise ValueError("partitionKey: an object")
        site = _objects.text(key, "topLevelSite", "")
        cross_site = _objects.flag(key, "hasCrossSiteAncestor",
                                   not _objects.of_site(domain, site))
    return _row(_objects.text(cookie, "name"), _objects.text(cookie, "value"), domain,
                _objects.flag(cookie, "hostOnly", not domain.startswith(".")),
                _objects.text(cookie, "path", "/"), expires, _objects.flag(cookie, "secure"),
                _objects.flag(cookie, "httpOnly"),
                _objects.named(cookie, "sameSite", _EXTENSION_SAME_SITE, 0, any_case=True),
                site, cross_site)


def _webdriver_row(cookie, url):
    """A WebDriver cookie: a domain with a leading dot is a domain cookie
    (as Get All Cookies shows one); a cookie without a domain is the
    current page's, url."""
    domain = cookie.get("domain")
    if domain is None:
        if url is None:
            raise ValueError("domain: required, or load with url= (the page the cookies "
                             "are for)")
        domain = _objects.url(url, "url=")["host"]
    elif type(domain) is not str:
        raise ValueError("domain: a string")
    return _row(_objects.text(cookie, "name"), _objects.text(cookie, "value"), domain,
                not domain.startswith("."), _objects.text(cookie, "path", "/"),
                _objects.number(cookie, "expiry", None), _objects.flag(cookie, "secure"),
                _objects.flag(cookie, "httpOnly"),
                _objects.named(cookie, "sameSite", _PLAYWRIGHT_SAME_SITE, 0, any_case=True))


_READERS = {"playwright": _playwright_row, "cdp": _cdp_row, "extension": _extension_row,
            "webdriver": _webdriver_row}


class Setting(NamedTuple):
    """A cookie as the response that sets it: the jar applies header as
    received from url (site_for_cookies and navigation as set_cookie takes
    them), then puts back what the header cannot say from row, the cookie
    the document describes (None: nothing to put back)."""

    header: bytes
    url: str
    site_for_cookies: str | None
    navigation: bool
    row: tuple | None


def setting(row: tuple) -> Setting:
    """The Setting of a row read from a document; ValueError, with a reason
    beginning with a code word, for a cookie no Set-Cookie value can set
    (a browser's own DevTools refuses such fields as well)."""
    name, value, path, domain = (row[_rows.NAME], row[_rows.VALUE], row[_rows.PATH],
                                 row[_rows.DOMAIN])
    if b";" in name or b"=" in name or b";" in value:
        raise ValueError("DisallowedCharacter: a name holds ';' or '=', or the value ';'")
    for what, raw in (("name", name), ("value", value)):
        if raw != raw.strip(b" \t"):
            raise ValueError(f"DisallowedCharacter: the {what} begins or ends with whitespace, "
                             "which a Set-Cookie value drops")
    if not name and b"=" in value:
        raise ValueError("AmbiguousNameValue: a cookie without a name whose value holds '='")
    if not path.startswith(b"/") or b";" in path:
        raise ValueError("Unreadable: the path does not begin with '/' or holds ';'")
    if len(path) > 1024:
        raise ValueError("AttributeValueTooLong: the path is over 1024 bytes")
    if not domain:
        raise ValueError("Unreadable: the cookie names no domain")
    bracketed = domain.startswith("[") and domain.endswith("]")
    if (_NOT_HOST.intersection(domain) or any(ord(c) < 0x20 or ord(c) == 0x7F for c in domain)
            or (":" in domain and not bracketed)):
        raise ValueError(f"InvalidDomain: {domain!r} is not a host name")
    parts = [name + b"=" + value if name else value, b"Path=" + path]
    if not row[_rows.HOST_ONLY]:
        parts.append(b"Domain=" + domain.encode("utf-8"))
    if row[_rows.SECURE]:
        parts.append(b"Secure")
    if row[_rows.HTTP_ONLY]:
        parts.append(b"HttpOnly")
    if row[_rows.SAME_SITE]:
        parts.append(b"SameSite=" + cdp.SAME_SITE_NAMES[row[_rows.SAME_SITE]].encode())
    if row[_rows.PARTITIONED]:
        parts.append(b"Partitioned")
    # Medium is what a cookie without a priority counts as, and how DevTools
    # shows one: stored without it, as the header most likely was.
    if row[_rows.PRIORITY] not in (_rows.UNSET, 1):
        parts.append(b"Priority=" + cdp.PRIORITY_NAMES[row[_rows.PRIORITY]].encode())
    expires = row[_rows.EXPIRES]
    if expires is not None:
        # A date is whole seconds: the next one up, the rest put back after.
        seconds = min(max(-(-expires // 1000000), 0), _objects.LATEST_SECONDS)
        when = dt.datetime.fromtimestamp(seconds, dt.timezone.utc)
        parts.append(b"Expires=" + email.utils.format_datetime(when, usegmt=True).encode())
    secure = row[_rows.SECURE] or row[_rows.SOURCE_SCHEME] == 2
    site = row[_rows.PARTITION_KEY] if row[_rows.PARTITIONED] else None
    if site is not None:
        if not site.startswith(("https://", "http://")):
            raise ValueError(f"Unreadable: the partition key {site!r} is not a site "
                             "(\"https://example.com\")")
        # A cookie of its own site's partition came from a page of the
        # partition's scheme (http only where a Secure cookie may come over
        # it: localhost and loopback addresses).
        if site.startswith("http://") and _objects.of_site(domain, site):
            secure = False
    port = row[_rows.SOURCE_PORT]
    shown_port = f":{port}" if 0 < port < 65536 and port != (443 if secure else 80) else ""
    url = f"{'https' if secure else 'http'}://{domain}{shown_port}/"
    header = b"; ".join(parts)
    if site is not None:
        return Setting(header, url, site.rstrip("/") + "/", False, row)
    return Setting(header, url, None, True, row)


# -- out --------------------------------------------------------------------------


def _priority(row, format, changes):
    priority = row[_rows.PRIORITY]
    if priority not in (_rows.UNSET, 1):
        changes.append(f"priority {_rows.PRIORITY_NAMES[priority]}: {format} has no priority; "
                       "a browser takes the cookie as medium")


def _playwright_cookie(row, changes):
    cookie = {"name": _objects.written(row[_rows.NAME], "name", changes),
              "value": _objects.written(row[_rows.VALUE], "value", changes),
              "domain": _objects.domain_field(row),
              "path": _objects.written(row[_rows.PATH], "path", changes),
              "expires": -1 if row[_rows.EXPIRES] is None else row[_rows.EXPIRES] / 1000000,
              "httpOnly": row[_rows.HTTP_ONLY], "secure": row[_rows.SECURE],
              "sameSite": _PLAYWRIGHT_NAMES[row[_rows.SAME_SITE]]}
    if not row[_rows.SAME_SITE]:
        changes.append(LAX_INSTEAD.format("Playwright"))
    if row[_rows.PARTITIONED]:
        # Playwright's own field for the key's second half, which it reads
        # back (taking a partitioned cookie as a cross-site frame's without it).
        cookie["partitionKey"] = row[_rows.PARTITION_KEY]
        cookie["_crHasCrossSiteAncestor"] = row[_rows.CROSS_SITE_ANCESTOR]
    _priority(row, "Playwright", changes)
    return cookie


def _cdp_cookie(row, changes):
    cookie, notes = cdp.to_param(row)
    changes.extend(notes)
    return cookie


def _extension_cookie(row, changes):
    session = row[_rows.EXPIRES] is None
    cookie = {"domain": _objects.domain_field(row)}
    if not session:
        cookie["expirationDate"] = row[_rows.EXPIRES] / 1000000
    cookie.update({"hostOnly": row[_rows.HOST_ONLY], "httpOnly": row[_rows.HTTP_ONLY],
                   "name": _objects.written(row[_rows.NAME], "name", changes),
                   "path": _objects.written(row[_rows.PATH], "path", changes),
                   "sameSite": _EXTENSION_NAMES[row[_rows.SAME_SITE]],
                   "secure": row[_rows.SECURE], "session": session,
                   "storeId": EXTENSION_STORE_ID,
                   "value": _objects.written(row[_rows.VALUE], "value", changes)})
    if row[_rows.PARTITIONED]:
        cookie["partitionKey"] = {"topLevelSite": row[_rows.PARTITION_KEY],
                                  "hasCrossSiteAncestor": row[_rows.CROSS_SITE_ANCESTOR]}
    _priority(row, "the extension format", changes)
    return cookie


class _Left(Exception):
    pass


def _webdriver_cookie(row, changes):
    if row[_rows.PARTITIONED]:
        raise _Left(WEBDRIVER_PARTITION)
    cookie = {"name": _objects.written(row[_rows.NAME], "name", changes),
              "value": _objects.written(row[_rows.VALUE], "value", changes),
              "path": _objects.written(row[_rows.PATH], "path", changes),
              "domain": _objects.domain_field(row),
              "secure": row[_rows.SECURE], "httpOnly": row[_rows.HTTP_ONLY]}
    if row[_rows.EXPIRES] is not None:
        cookie["expiry"] = row[_rows.EXPIRES] // 1000000
    cookie["sameSite"] = _PLAYWRIGHT_NAMES[row[_rows.SAME_SITE]]
    if not row[_rows.SAME_SITE]:
        changes.append(LAX_INSTEAD.format("WebDriver"))
    _priority(row, "WebDriver", changes)
    return cookie


_WRITERS = {"playwright": _playwright_cookie, "cdp": _cdp_cookie,
            "extension": _extension_cookie, "webdriver": _webdriver_cookie}


def write(rows: list[tuple], format: str) -> tuple[object, list[LeftOut], list[Changed]]:
    """The rows (oldest first) as format's document: a Playwright storage
    state ({"cookies": [...], "origins": []}), or a list of cookie objects;
    the cookies left out, and what was written otherwise than the jar holds
    it, one Changed per change."""
    make = _WRITERS.get(format)
    if make is None:
        raise ValueError(f"format is one of {', '.join(FORMATS)}, not {format!r}")
    cookies, left_out, changed = [], [], []
    for row in rows:
        changes: list[str] = []
        where = (row[_rows.NAME], row[_rows.DOMAIN], row[_rows.PATH])
        try:
            cookies.append(make(row, changes))
        except _Left as left:
            left_out.append(LeftOut(*where, str(left)))
            continue
        changed.extend(Changed(*where, change) for change in changes)
    if format == "playwright":
        return {"cookies": cookies, "origins": []}, left_out, changed
    return cookies, left_out, changed
