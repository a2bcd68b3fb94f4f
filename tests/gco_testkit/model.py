"""Plain-Python reference versions of the codec of
glimmering_copper_otter.cookies, built on the standard library: the parser,
the writer, the dates, split_value and the SameSite reading.  Tests, the
corpus replay and the fuzz harness compare the module with these."""

import datetime as dt
from email.utils import parsedate_to_datetime
from urllib.parse import quote, unquote

from glimmering_copper_otter.cookies import CookieValueExceedsMaximumLength

from .capi import fields

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def reference_split(raw, separator=b"="):
    position = raw.index(separator)
    if position > 0x7FFFFFFF:
        raise OverflowError("value too large to convert to int")
    return raw[:position], raw[position + 1:]


def reference_from_cookie_format(raw):
    return parsedate_to_datetime(raw.decode()).replace(tzinfo=None)


def reference_same_site(raw):
    if not raw:
        return 0
    return {b"strict": 2, b"lax": 1, b"none": 3}.get(raw.lower(), 0)


def reference_parse(raw):
    """parse_cookie's algorithm over bytes methods; the nine fields."""
    parts = raw.split(b"; ")
    if len(parts) == 1:
        parts = raw.split(b";")
    try:
        name, value = reference_split(parts[0])
    except ValueError:
        raise ValueError("Invalid name=value fragment: " + format(parts[0], "")) from None
    if b" " in value and value.startswith(b'"'):
        value = value.strip(b'"')
    expires = domain = path = same_site = None
    max_age = -1
    http_only = secure = False
    for fragment in parts:
        if b"=" in fragment:
            key, attribute = reference_split(fragment)
            key = key.lower()
            if key == b"expires":
                expires = attribute
            elif key == b"domain":
                domain = attribute
            elif key == b"path":
                path = attribute
            elif key == b"max-age":
                max_age = int(attribute)
                if not INT64_MIN <= max_age <= INT64_MAX:
                    raise OverflowError("Python int too large to convert to C long")
            elif key == b"samesite":
                same_site = attribute
        elif fragment.lower() == b"httponly":
            http_only = True
        elif fragment.lower() == b"secure":
            secure = True
    name_text = unquote(name.decode())
    value_text = unquote(value.decode())
    expiry = reference_from_cookie_format(expires) if expires else None
    domain_text = domain.decode() if domain else None
    path_text = path.decode() if path else None
    mode = reference_same_site(same_site)
    if not name_text:
        raise ValueError("A cookie name is required")
    if value_text and len(value_text.encode()) > 4096:
        raise CookieValueExceedsMaximumLength()
    return (name_text, value_text, expiry, domain_text, path_text, http_only, secure, max_age, mode)


def reference_to_cookie_format(value):
    if isinstance(value, dt.datetime) and not (type(value) is dt.datetime and value.tzinfo is None):
        offset = value.utcoffset()
        if offset is not None and offset:
            value = (value - offset).replace(tzinfo=None)
    text = value.strftime("%a, %d %b %Y %H:%M:%S GMT")
    return text.encode()


def _attribute_bytes(text, attribute):
    if text is None or text == "":
        return None
    encoded = text.encode()
    for byte in encoded:
        if byte == 0x3B or byte < 0x20 or byte == 0x7F:
            raise ValueError(
                f"The cookie {attribute} contains {chr(byte)!r}, which cannot be written in a "
                "Set-Cookie header (';' and control characters are not allowed)")
    return encoded


def reference_write(cookie):
    """write_cookie_for_response's algorithm; name and value by attribute
    lookup, everything else from the record."""
    name = cookie.name
    first = quote(name).encode() + b"="
    value = cookie.value
    first += quote(value).encode()
    pieces = [first]
    _, _, expires, domain, path, http_only, secure, max_age, same_site = fields(cookie)
    if expires is not None and expires:
        date = reference_to_cookie_format(expires)
        if not isinstance(date, bytes):
            raise TypeError(f"Expected bytes, got {type(date).__name__}")
        pieces.append(b"Expires=" + date)
    if max_age >= 0:
        pieces.append(b"Max-Age=" + str(max_age).encode())
    domain_bytes = _attribute_bytes(domain, "domain")
    if domain_bytes is not None:
        pieces.append(b"Domain=" + domain_bytes)
    path_bytes = _attribute_bytes(path, "path")
    if path_bytes is not None:
        pieces.append(b"Path=" + path_bytes)
    if http_only:
        pieces.append(b"HttpOnly")
    if secure or same_site in (2, 3):
        pieces.append(b"Secure")
    spelling = {1: b"SameSite=Lax", 2: b"SameSite=Strict", 3: b"SameSite=None"}.get(same_site)
    if spelling is not None:
        pieces.append(spelling)
    return b"; ".join(pieces)
