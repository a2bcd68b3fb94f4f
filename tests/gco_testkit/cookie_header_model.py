"""A pure-Python reference model of glimmering_copper_otter.cookie_header.

Written for clarity, not speed, straight from the rules the module follows;
the tests check the compiled module against it.
"""

import codecs
from urllib.parse import quote, unquote

_LATIN1_FALLBACK = "gco_testkit.latin1"


def _latin1_for_invalid(error):
    # Each byte outside a valid UTF-8 sequence stands for its Latin-1 character.
    if not isinstance(error, UnicodeDecodeError):
        raise error
    return error.object[error.start:error.end].decode("latin-1"), error.end


codecs.register_error(_LATIN1_FALLBACK, _latin1_for_invalid)


def type_name(value):
    """The name an error message gives the type, as the interpreter's C code
    does: a class's own name, a built-in extension type's dotted name."""
    cls = type(value)
    if cls.__flags__ & (1 << 9) or cls.__module__ == "builtins":  # a heap type
        return cls.__name__
    return f"{cls.__module__}.{cls.__qualname__}"


def header_bytes(value):
    """The bytes a header value stands for; None when it is neither bytes
    nor str.  Subclasses are read as their plain value, calling none of
    their methods."""
    if isinstance(value, bytes):
        return bytes.__getitem__(value, slice(None))
    if isinstance(value, str):
        text = str.__str__(value)
        if all(ord(c) < 0x100 for c in text):
            return text.encode("latin-1")
        return text.encode("utf-8", "surrogatepass")
    return None


def _raw_bytes(raw):
    data = header_bytes(raw)
    if data is not None:
        return data
    if not isinstance(raw, (list, tuple)):
        raise TypeError(
            f"Expected bytes, str, or a list or tuple of them, got {type_name(raw)}")
    parts = []
    for item in raw:
        data = header_bytes(item)
        if data is None:
            raise TypeError(
                f"Expected bytes or str in the {type_name(raw)}, got {type_name(item)}")
        parts.append(data)
    return b"; ".join(parts)


def unescape(inner):
    """The inside of a quoted value with its backslash escapes decoded."""
    out = bytearray()
    i = 0
    while i < len(inner):
        if inner[i] == 0x5C and i + 1 < len(inner):
            octal = inner[i + 1:i + 4]
            if len(octal) == 3 and octal[0] in b"0123" and all(c in b"01234567" for c in octal):
                out.append(int(octal, 8))
                i += 4
            else:
                out.append(inner[i + 1])
                i += 2
        else:
            out.append(inner[i])
            i += 1
    return bytes(out)


def text(data, percent_decode=True):
    """Bytes as text (UTF-8, other bytes as Latin-1), then unquote()."""
    decoded = data.decode("utf-8", _LATIN1_FALLBACK)
    return unquote(decoded) if percent_decode else decoded


def parse_cookie_header_pairs(raw, percent_decode=True):
    pairs = []
    for piece in _raw_bytes(raw).split(b";"):
        piece = piece.strip(b" \t")
        if not piece:
            continue
        name, equals, value = piece.partition(b"=")
        if not equals:
            name, value = b"", piece
        name, value = name.strip(b" \t"), value.strip(b" \t")
        if not name and not value:
            continue
        if len(value) >= 2 and value.startswith(b'"') and value.endswith(b'"'):
            value = unescape(value[1:-1])
        pairs.append((text(name, percent_decode), text(value, percent_decode)))
    return pairs


def parse_cookie_header(raw, percent_decode=True):
    result = {}
    for name, value in parse_cookie_header_pairs(raw, percent_decode):
        result.setdefault(name, value)
    return result


def _plain_text(value):
    if not isinstance(value, str):
        raise TypeError(f"Expected str, got {type_name(value)}")
    return str.__str__(value)


def _pairs_of(cookies):
    if type(cookies) is dict or hasattr(cookies, "keys"):
        for name in cookies.keys():
            yield name, cookies[name]
        return
    try:
        iterator = iter(cookies)
    except TypeError:
        raise TypeError("Expected a mapping or an iterable of (name, value) pairs, "
                        f"got {type_name(cookies)}") from None
    for pair in iterator:
        if not isinstance(pair, (tuple, list)):
            raise TypeError(f"Expected a (name, value) pair, got {type_name(pair)}")
        if len(pair) != 2:
            raise ValueError(f"Expected a (name, value) pair, got a {type_name(pair)} "
                             f"of length {len(pair)}")
        yield pair[0], pair[1]


def write_cookie_header(cookies):
    pieces = []
    for name, value in _pairs_of(cookies):
        name, value = _plain_text(name), _plain_text(value)
        if name:
            pieces.append(f"{quote(name)}={quote(value)}")
        elif value:
            pieces.append(quote(value))
    return "; ".join(pieces).encode("ascii")
