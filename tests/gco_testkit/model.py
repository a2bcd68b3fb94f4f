"""Plain-Python reference versions of the codec of
glimmering_copper_otter.cookies, built on the standard library: the parser,
the writer, the dates, split_value and the SameSite reading.  Tests, the
corpus replay and the fuzz harness compare the module with these."""

import datetime as dt

from glimmering_copper_otter.cookies import CookieValueExceedsMaximumLength

from .capi import fields

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def reference_split(raw, separator=b"="):
    position = raw.index(separator)
    if position > 0x7FFFFFFF:
        raise OverflowError("value too large to convert to int")
    return raw[:position], raw[position + 1:]


def reference_from_cookie_format(raw):
    return late("parsedate_to_datetime")(raw.decode()).replace(tzinfo=None)


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
    name_text = late("unquote")(name.decode())
    value_text = late("unquote")(value.decode())
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


def late(name):
    """A name the module looks up at each use: its namespace, then the builtins."""
    from glimmering_copper_otter import cookies
    import builtins
    try:
        return vars(cookies)[name]
    except KeyError:
        pass
    try:
        return getattr(builtins, name)
    except AttributeError:
        raise NameError(f"name '{name}' is not defined") from None


def reference_write(cookie):
    """write_cookie_for_response's algorithm; name and value by attribute
    lookup, everything else from the record, each field read at its own
    step (callbacks of an earlier step may have changed it)."""
    first = late("quote")(cookie.name).encode() + b"="
    first += late("quote")(cookie.value).encode()
    pieces = [first]
    expires = fields(cookie)[2]
    if expires is not None and expires:
        date = reference_to_cookie_format(expires)
        if not isinstance(date, bytes):
            raise TypeError(f"Expected bytes, got {type(date).__name__}")
        pieces.append(b"Expires=" + date)
    max_age = fields(cookie)[7]
    if max_age >= 0:
        pieces.append(b"Max-Age=" + str(max_age).encode())
    domain_bytes = _attribute_bytes(fields(cookie)[3], "domain")
    if domain_bytes is not None:
        pieces.append(b"Domain=" + domain_bytes)
    path_bytes = _attribute_bytes(fields(cookie)[4], "path")
    if path_bytes is not None:
        pieces.append(b"Path=" + path_bytes)
    *_, http_only, secure, _, same_site = fields(cookie)
    if http_only:
        pieces.append(b"HttpOnly")
    if secure or same_site in (2, 3):
        pieces.append(b"Secure")
    spelling = {1: b"SameSite=Lax", 2: b"SameSite=Strict", 3: b"SameSite=None"}.get(same_site)
    if spelling is not None:
        pieces.append(spelling)
    return b"; ".join(pieces)


def reference_member(mode):
    """The number-to-member conversion: CookieSameSiteMode looked up at each use."""
    cls = late("CookieSameSiteMode")
    if mode <= 3:
        return getattr(cls, ("UNDEFINED", "LAX", "STRICT", "NONE")[mode])
    return cls(mode - 2**32 if mode >= 2**31 else mode)


def reference_clone(cookie):
    """clone() without the override search: name and value by lookup, the
    other seven read from the record together, then SameSite converted."""
    from glimmering_copper_otter.cookies import Cookie
    name, value = cookie.name, cookie.value
    _, _, expires, domain, path, http_only, secure, max_age, mode = fields(cookie)
    member = reference_member(mode)
    return Cookie(name, value, expires, domain, path, bool(http_only), bool(secure), max_age,
                  member)


def reference_reduce(cookie):
    """The reduce of a Cookie: the nine items from the record first, then
    __dict__, the form chosen from what was read."""
    name, value, expires, domain, path, http_only, secure, max_age, mode = fields(cookie)
    state = (name, value, domain, expires, bool(http_only), max_age, path,
             reference_member(mode), bool(secure))
    instance_dict = getattr(cookie, "__dict__", None)
    rebuild = late("__pyx_unpickle_Cookie")
    if instance_dict is not None:
        return rebuild, (type(cookie), 0x2035A3D, None), state + (instance_dict,)
    if any(item is not None for item in (name, value, domain, expires, path)):
        return rebuild, (type(cookie), 0x2035A3D, None), state
    return rebuild, (type(cookie), 0x2035A3D, state)


def reference_repr(cookie):
    name = cookie.name
    name_text = name if type(name) is str else format(name, "")
    value = cookie.value
    try:
        cut = value[:3]
    except TypeError:
        raise TypeError(f"'{type(value).__name__}' object is unsliceable") from None
    value_text = cut if type(cut) is str else format(cut, "")
    return "<Cookie " + name_text + ": " + value_text + "...>"


def reference_equals(cookie, other):
    """cookie == other for another cookie: names, then values, other's on the left."""
    names_equal = other.name == cookie.name
    if not names_equal:
        return names_equal
    return other.value == cookie.value
