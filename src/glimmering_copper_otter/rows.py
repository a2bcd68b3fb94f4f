"""Rows: how a CookieJar hands its cookies to its stores, formats and client
adapters, and takes them back: `jar.rows()` gives every unexpired cookie as
a row, oldest first; `jar.load_rows(rows, replace=False)` puts rows in as
they are (times included), all or nothing, and returns (loaded, expired,
refused).  A store, a format or a tool of your own builds on these.

A row is a tuple of 18 items of exact builtin types, in the order of
FIELDS.  Times are integer microseconds since 1970-01-01 UTC.  The key of a
cookie, what replaces what, is the fields of KEY_FIELDS.  Both come from the
jar's native core, where the one contract of a row is checked
(`check_rows`): every cookie a jar can hold is a row, and nothing else is.
"""

from collections import Counter
from collections.abc import Sequence
from operator import itemgetter
from typing import NamedTuple

from glimmering_copper_otter._jar import KEY_FIELDS, ROW_FIELDS, check_rows, rows_of_columns
from glimmering_copper_otter._jar import value_refusal

FIELDS = ROW_FIELDS
# The columns a store keeps: the fields but persistent (whether expires is
# None); rows_of_columns makes rows of records of them.
COLUMN_FIELDS = tuple(field for field in FIELDS if field != "persistent")
(NAME, VALUE, DOMAIN, HOST_ONLY, PATH, EXPIRES, CREATION, LAST_ACCESS, SECURE,
 HTTP_ONLY, SAME_SITE, PARTITIONED, PARTITION_KEY, PRIORITY, SOURCE_SCHEME,
 SOURCE_PORT, PERSISTENT, CROSS_SITE_ANCESTOR) = range(len(FIELDS))
FIELDS_INDEX_NAMES = ("NAME", "VALUE", "DOMAIN", "HOST_ONLY", "PATH", "EXPIRES", "CREATION",
                      "LAST_ACCESS", "SECURE", "HTTP_ONLY", "SAME_SITE", "PARTITIONED",
                      "PARTITION_KEY", "PRIORITY", "SOURCE_SCHEME", "SOURCE_PORT",
                      "PERSISTENT", "CROSS_SITE_ANCESTOR")
KEY_INDEXES = tuple(FIELDS.index(name) for name in KEY_FIELDS)

SAME_SITE_NAMES = ("undefined", "lax", "strict", "none")
# Priority -1: the header named none (it counts as medium).
PRIORITY_NAMES = ("low", "medium", "high")
UNSET = -1
SOURCE_SCHEME_NAMES = ("unset", "non-secure", "secure")

# Times a jar keeps: years 1 to 9999.
EARLIEST_TIME = -62135596800 * 1000000
LATEST_TIME = 253402300799 * 1000000 + 999999

# The key of a row's cookie: its fields named by KEY_FIELDS, in order.
key = itemgetter(*KEY_INDEXES)


def refusal(row) -> str | None:
    """Why the row contract refuses `row` ("<code word>: <why>"), or None."""
    refused = check_rows((row,))
    return refused[0][1] if refused else None


class LoadReport(NamedTuple):
    """What a load did: how many cookies the jar took, how many had
    already expired, and the items it passed over as (where, reason): where
    is a line number, an index or a row's place, and reason begins with a
    code word (`browser.check`'s, or Unreadable for an item that does not
    read as a cookie; a browser's cookies also Undecryptable and
    Unsupported); notes: what concerns the whole source rather than one
    item (a key that could not be verified, a keyring not read)."""

    loaded: int
    expired: int
    skipped: list[tuple[int | str, str]]
    notes: tuple[str, ...] = ()

    def counts(self) -> Counter[str]:
        """How many items were passed over, by code word."""
        return Counter(reason.partition(":")[0] for _, reason in self.skipped)


class LeftOut(NamedTuple):
    """A cookie a save did not write, and why."""

    name: bytes
    domain: str
    path: bytes
    reason: str


class Changed(NamedTuple):
    """A cookie a save wrote with something its target cannot carry: what,
    and how it was written instead."""

    name: bytes
    domain: str
    path: bytes
    reason: str


class SaveReport(NamedTuple):
    """What a save did: how many cookies it wrote, which it left out, and
    what it wrote otherwise than the jar holds it (one Changed per change;
    empty for a format that writes every cookie as it is or not at all)."""

    written: int
    left_out: list[LeftOut]
    changed: Sequence[Changed] = ()


__all__ = ["FIELDS", "KEY_FIELDS", "KEY_INDEXES", "COLUMN_FIELDS", "SAME_SITE_NAMES",
           "PRIORITY_NAMES", "SOURCE_SCHEME_NAMES", "UNSET", "EARLIEST_TIME", "LATEST_TIME",
           "key", "refusal", "value_refusal", "check_rows", "rows_of_columns", "LoadReport", "LeftOut",
           "Changed", "SaveReport", *FIELDS_INDEX_NAMES]
