"""Chromium's cookie database (a profile's `Cookies` file): a record of its
`cookies` table, read by column name, to a row, and the framing of its
encrypted values.

Times are microseconds since 1601-01-01 UTC; `samesite` is -1 for a cookie
that named none (its own state, not Lax), 0 for None, 1 Lax, 2 Strict (3,
an old "extended" value, reads as unspecified, as Chromium reads it);
`top_frame_site_key` is the partition's top-level site, empty for an
unpartitioned cookie.  Decrypting is not done here: `split_value` says how a
value is framed and `strip_host_hash` undoes what version 24 adds inside.
"""

import hashlib

from glimmering_copper_otter import rows as _rows

# Microseconds from 1601-01-01 to 1970-01-01.
EPOCH_DELTA = 11644473600 * 1000000
# The database versions read: Chromium itself razes a file older than it
# migrates, and refuses one whose last compatible version is newer.
OLDEST_VERSION = 18
NEWEST_VERSION = 24
# From this version on, a decrypted value starts with the SHA-256 of the
# cookie's host key, which binds the value to its row.
HASHED_VERSION = 24
# Before this version the file has no has_cross_site_ancestor column.
CROSS_SITE_ANCESTOR_VERSION = 23
# The prefixes of an encrypted value: the key that made it.
PREFIXES = (b"v10", b"v11", b"v20")
# The columns read; those a version lacks read as None.
COLUMNS = ("creation_utc", "host_key", "top_frame_site_key", "name", "value",
           "encrypted_value", "path", "expires_utc", "is_secure", "is_httponly",
           "last_access_utc", "is_persistent", "priority", "samesite",
           "source_scheme", "source_port", "has_cross_site_ancestor")
_SAME_SITE = {-1: 0, 0: 3, 1: 1, 2: 2, 3: 0}
_PRIORITY = {0: 0, 1: 1, 2: 2}


def split_value(encrypted: bytes) -> tuple[bytes | None, bytes]:
    """The prefix of an encrypted value (one of PREFIXES, or None for a
    value of no known framing) and what follows it."""
    prefix = encrypted[:3]
    if prefix in PREFIXES:
        return prefix, encrypted[3:]
    return None, encrypted


def host_hash(host_key: str) -> bytes:
    """What version 24 puts before a value: the SHA-256 of its host key."""
    return hashlib.sha256(host_key.encode("utf-8", "surrogateescape")).digest()


def strip_host_hash(plain: bytes, host_key: str) -> bytes | None:
    """The value inside a decrypted version-24 value, or None when it does
    not start with its host key's hash (a wrong key, or another row's value)."""
    digest = host_hash(host_key)
    return plain[len(digest):] if plain.startswith(digest) else None


def cross_site_ancestor_before_23(host_key: str, top_frame_site_key: str) -> bool:
    """The cross-site-ancestor bit of a partitioned row of a file before
    version 23, as Chromium's migration derives it: unset when the host key
    contains the top-level site's host."""
    scheme_end = top_frame_site_key.find("://")
    return not (scheme_end >= 0 and top_frame_site_key[scheme_end + 3:] in host_key)


def _time(value, what):
    if type(value) is not int:
        raise ValueError(f"{what} is not an integer")
    stamp = value - EPOCH_DELTA
    if not _rows.EARLIEST_TIME <= stamp <= _rows.LATEST_TIME:
        raise ValueError(f"{what} is out of range")
    return stamp


def _text(value, what):
    if type(value) is bytes:
        try:
            value = value.decode("ascii")
        except UnicodeDecodeError:
            raise ValueError(f"{what} is not ASCII") from None
    if type(value) is not str:
        raise ValueError(f"{what} is not text")
    return value


def _flag(value, what):
    if value not in (0, 1):
        raise ValueError(f"{what} is {value!r}, not 0 or 1")
    return bool(value)


def to_row(record: dict, value: bytes, version: int) -> tuple:
    """The row of a record (column name to value, name and path as bytes) of
    a file of `version`, whose value is `value` (decrypted).  Raises
    ValueError with the reason for a record that does not read as a cookie."""
    host_key = _text(record["host_key"], "host_key").lower()
    host_only = not host_key.startswith(".")
    domain = host_key.removeprefix(".")
    name, path = record["name"], record["path"]
    if type(name) is not bytes or type(path) is not bytes:
        raise ValueError("name or path is not text")
    creation = _time(record["creation_utc"], "creation_utc")
    last_access = _time(record["last_access_utc"], "last_access_utc")
    # An expiry of 0 is no expiry, whatever is_persistent says.
    persistent = _flag(record["is_persistent"], "is_persistent") and record["expires_utc"] != 0
    expires = _time(record["expires_utc"], "expires_utc") if persistent else None
    same_site = _SAME_SITE.get(record["samesite"])
    if same_site is None:
        raise ValueError(f"samesite is {record['samesite']!r}")
    priority = _PRIORITY.get(record["priority"])
    if priority is None:
        raise ValueError(f"priority is {record['priority']!r}")
    # Chromium resets a source scheme it does not know to unset.
    source_scheme = record["source_scheme"]
    if type(source_scheme) is not int or source_scheme not in (0, 1, 2):
        source_scheme = 0
    source_port = record["source_port"]
    if type(source_port) is not int or not -1 <= source_port <= 65535:
        raise ValueError(f"source_port is {source_port!r}")
    top_frame = _text(record["top_frame_site_key"] or "", "top_frame_site_key")
    # Chromium writes 1 in has_cross_site_ancestor on unpartitioned rows:
    # the bit means something only with a partition.
    if not top_frame:
        cross_site_ancestor = False
    elif version < CROSS_SITE_ANCESTOR_VERSION or record["has_cross_site_ancestor"] is None:
        cross_site_ancestor = cross_site_ancestor_before_23(host_key, top_frame)
    else:
        cross_site_ancestor = _flag(record["has_cross_site_ancestor"], "has_cross_site_ancestor")
    return (name, value, domain, host_only, path, expires, creation, last_access,
            _flag(record["is_secure"], "is_secure"), _flag(record["is_httponly"], "is_httponly"),
            same_site, bool(top_frame), top_frame, priority, source_scheme, source_port,
            expires is not None, cross_site_ancestor)


def place(record: dict) -> str:
    """Where a record is, for a report: its host key, path and name."""
    def shown(item):
        text = item.decode("latin-1") if isinstance(item, bytes) else str(item)
        return repr(text[:60] + ("..." if len(text) > 60 else ""))

    where = f"{shown(record.get('host_key'))} {shown(record.get('path'))} {shown(record.get('name'))}"
    if record.get("top_frame_site_key"):
        where += f" in {shown(record['top_frame_site_key'])}"
    return where
