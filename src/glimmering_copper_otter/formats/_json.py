"""JSON documents from other programs (automation tools' exports, a
browser's session store, `containers.json`, `Local State`), their nesting
bounded before they are parsed: a document nested deeper than MAX_DEPTH is
refused with ValueError, as is one that is not JSON, rather than parsed
into a RecursionError that depends on the caller's own stack."""

import json
from array import array
from itertools import accumulate

# Deeper than any document these readers take (a session store's frames
# within frames are a few levels each), well within the parser's reach.
MAX_DEPTH = 512

# Every byte but quotes and brackets.
_OTHERS = bytes(set(range(256)) - set(b'"[]{}'))
# An opening bracket counts 1, a closing one -1 (as a signed byte).
_STEPS = bytes.maketrans(b"[]{}", b"\x01\xff\x01\xff")


def depth(data: bytes) -> int:
    """How deep the arrays and objects of a JSON text nest (brackets in its
    strings not counted): the most brackets open at once."""
    if b"\\" in data:
        # No escaped quote ends a string; an escaped backslash is no escape.
        data = data.replace(b"\\\\", b"").replace(b'\\"', b"")
    # Two quotes with nothing between them change no bracket's side of a
    # string: dropping them leaves the quotes of strings that hold brackets.
    marks = data.translate(None, _OTHERS).replace(b'""', b"")
    if b'"' in marks:
        marks = b"".join(marks.split(b'"')[::2])
    steps = array("b")
    steps.frombytes(marks.translate(_STEPS))
    return max(accumulate(steps), default=0)


def loads(data: bytes | str, what: str = "the document") -> object:
    """The JSON document of data; ValueError naming what when it is not
    JSON or nests deeper than MAX_DEPTH."""
    raw = data.encode("utf-8", "surrogatepass") if isinstance(data, str) else data
    if depth(raw) > MAX_DEPTH:
        raise ValueError(f"{what} is nested too deeply (arrays and objects over {MAX_DEPTH} "
                         "deep)")
    try:
        return json.loads(data)
    except RecursionError:
        raise ValueError(f"{what} is nested too deeply") from None
    except ValueError as error:  # not JSON, or a number of too many digits
        raise ValueError(f"{what} is not JSON: {error}") from None
