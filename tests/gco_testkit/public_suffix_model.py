"""A plain-Python reference of the registrable domain as Chromium computes it
for cookies, read from the list file the package compiles in.

Rules are read as Chromium reads the list (the text up to the first white
space; "!" an exception, "*." a wildcard; one leading and one trailing dot
dropped; A-labels for other text) into a dict; the longest rule that is a
suffix of the host from a label's start decides.  Private registries
count; an unknown top-level domain is a registry.
"""

import functools
import ipaddress
import unicodedata
from pathlib import Path

LIST = Path(__file__).resolve().parents[2] / "src/common/public_suffix/public_suffix_list.dat"


def _a_label(label):
    label = unicodedata.normalize("NFC", label).lower()
    return label if label.isascii() else "xn--" + label.encode("punycode").decode("ascii")


@functools.cache
def rules():
    """{rule: "rule" | "exception" | "wildcard"} of the list file."""
    found = {}
    for line in LIST.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("//"):
            continue
        rule, kind = line.split()[0], "rule"
        if rule.startswith("!"):
            rule, kind = rule[1:], "exception"
        elif rule.startswith("*."):
            rule, kind = rule[2:], "wildcard"
        rule = rule.removeprefix(".").removesuffix(".")
        found[".".join(_a_label(label) for label in rule.split("."))] = kind
    return found


def version():
    for line in LIST.read_text(encoding="utf-8").splitlines():
        if line.startswith("// VERSION:"):
            return line.split()[2][:10]
    raise AssertionError("no VERSION line")


def _is_ip(host):
    try:
        ipaddress.ip_address(host.strip("[]"))
    except ValueError:
        return ":" in host or host.startswith("[")
    return True


def _registry_length(host, use_list):
    """Chromium's registry length: 0 for none (or the host is a registry)."""
    stripped = host.lstrip(".")
    if not stripped:
        return 0
    trailing = 1 if stripped.endswith(".") else 0
    name = stripped[:len(stripped) - trailing]
    starts = [0] + [i + 1 for i, c in enumerate(name) if c == "."]
    match = next(((name[i:], rules()[name[i:]]) for i in starts
                  if use_list and name[i:] in rules()), None)
    if match is None:
        length = len(name) - name.rfind(".") - 1 if "." in name else 0
    else:
        suffix, kind = match
        before = name[:len(name) - len(suffix)]  # ends with "." unless empty
        if kind == "wildcard":
            label_start = before[:-1].rfind(".") if before else -1
            length = 0 if not before or label_start < 0 else len(name) - label_start - 1
        elif kind == "exception":
            length = len(suffix) - suffix.index(".") - 1 if "." in suffix else 0
        else:
            length = 0 if not before else len(suffix)
    return length + trailing if length else 0


def registrable_domain(host, use_list=True):
    if not host or _is_ip(host):
        return None
    length = _registry_length(host, use_list)
    if not length or length > len(host) - 2:
        return None
    dot = host.rfind(".", 0, len(host) - length - 1)
    return host[dot + 1:]


def is_public_suffix(domain, use_list=True):
    return bool(domain) and not _is_ip(domain) and _registry_length(domain, use_list) == 0
