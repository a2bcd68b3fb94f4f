"""The stored data sets' common forms: the text rule, a DevTools cookie as
an expectation, and comparing expectations."""

from __future__ import annotations

def text(raw: bytes) -> str:
    """The text rule: UTF-8, a byte outside a valid sequence read as Latin-1."""
    out, i = [], 0
    while i < len(raw):
        for n in (4, 3, 2, 1):
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


def header_priority(header: bytes):
    last = None
    for av in header.split(b";")[1:]:
        name, _, value = av.partition(b"=")
        value = value.strip(b" \t")
        if name.strip(b" \t").lower() == b"priority" and len(value) <= 1024:
            last = value.lower()
    return last.decode("latin-1") if last in (b"low", b"medium", b"high") else None


def from_cdp(c, header, sent):
    priority = c.get("priority", "Medium").lower()
    if priority == "medium":
        priority = "medium" if header_priority(header) == "medium" else None
    n, v = c["name"].encode(), c["value"].encode()
    if sent is not None:
        # the Cookie header Chromium sent back: "name=value" or a bare value
        pair = sent.encode("latin-1")
        if b"=" in pair:
            n, _, v = pair.partition(b"=")
        else:
            n, v = b"", pair
    return {
        "name": text(n), "value": text(v),
        "raw_name": n.decode("latin-1"), "raw_value": v.decode("latin-1"),
        "domain": c["domain"].lstrip(".").lower(),
        "host_only": not c["domain"].startswith("."),
        "path": c["path"],
        "expires": None if c.get("session") or c["expires"] == -1 else float(c["expires"]),
        "secure": c["secure"], "http_only": c["httpOnly"],
        "same_site": {"Lax": "LAX", "Strict": "STRICT", "None": "NONE"}.get(c.get("sameSite"), "UNDEFINED"),
        "partitioned": "partitionKey" in c,
        "priority": priority, "expired": False,
    }




def differences(want, got, tolerance=5.0):
    """Field names on which two expectations differ (expiry within tolerance)."""
    if want is None or got is None:
        return [] if want is got else ["stored" if got is not None else "refused"]
    out = []
    for key in want:
        a, b = want[key], got.get(key)
        if key == "expires" and a is not None and b is not None:
            if abs(a - b) > tolerance:
                out.append(key)
        elif a != b:
            out.append(key)
    return out


