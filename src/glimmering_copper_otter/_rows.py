"""Rows: how a CookieJar hands its cookies to the interpreted helpers
(the SQLite store, cookies.txt, JSON, the client adapters) and takes them back.

A row is a tuple of 18 items of exact builtin types, in the order of FIELDS.
Times are integer microseconds since 1970-01-01 UTC.  The key of a cookie,
what replaces what, is (raw_name, domain, host_only, path, partitioned,
partition_key, cross_site_ancestor).
"""

FIELDS = (
    "raw_name", "raw_value", "domain", "host_only", "path", "expires", "creation",
    "last_access", "secure", "http_only", "same_site", "partitioned", "partition_key",
    "priority", "source_scheme", "source_port", "persistent", "cross_site_ancestor",
)
(NAME, VALUE, DOMAIN, HOST_ONLY, PATH, EXPIRES, CREATION, LAST_ACCESS, SECURE,
 HTTP_ONLY, SAME_SITE, PARTITIONED, PARTITION_KEY, PRIORITY, SOURCE_SCHEME,
 SOURCE_PORT, PERSISTENT, CROSS_SITE_ANCESTOR) = range(18)

SAME_SITE_NAMES = ("undefined", "lax", "strict", "none")
# Priority -1: the header named none (it counts as medium).
PRIORITY_NAMES = ("low", "medium", "high")
UNSET = -1
SOURCE_SCHEME_NAMES = ("unset", "non-secure", "secure")

# The exact type of each field; None is also allowed for expires.
_TYPES = (bytes, bytes, str, bool, bytes, int, int, int, bool, bool, int, bool, str,
          int, int, int, bool, bool)
_SESSION_TYPES = _TYPES[:EXPIRES] + (type(None),) + _TYPES[EXPIRES + 1:]
# Inclusive bounds of the small integer fields.
_RANGES = {SAME_SITE: (0, 3), PRIORITY: (-1, 2), SOURCE_SCHEME: (0, 2),
           SOURCE_PORT: (-1, 65535)}
# Times a jar keeps: years 1 to 9999.
EARLIEST_TIME = -62135596800 * 1000000
LATEST_TIME = 253402300799 * 1000000 + 999999
_TIMES = (EXPIRES, CREATION, LAST_ACCESS)


def key(row):
    """The key of a row's cookie: (raw_name, domain, host_only, path,
    partitioned, partition_key, cross_site_ancestor)."""
    return (row[NAME], row[DOMAIN], row[HOST_ONLY], row[PATH], row[PARTITIONED],
            row[PARTITION_KEY], row[CROSS_SITE_ANCESTOR])


def check_row(row, where="row"):
    """Raises TypeError or ValueError, naming `where` and the field, unless
    `row` is a well-formed row; returns it."""
    if type(row) is not tuple:
        raise TypeError(f"{where}: a row is a tuple, not {type(row).__name__}")
    if len(row) != 18:
        raise ValueError(f"{where}: a row has 18 fields, not {len(row)}")
    types = tuple(map(type, row))
    if types != _TYPES and types != _SESSION_TYPES:
        for index, (value, expected) in enumerate(zip(row, _TYPES)):
            if type(value) is not expected and not (index == EXPIRES and value is None):
                raise TypeError(f"{where}: field {FIELDS[index]} is {expected.__name__}, "
                                f"not {type(value).__name__}")
    for index, (low, high) in _RANGES.items():
        if not low <= row[index] <= high:
            raise ValueError(f"{where}: field {FIELDS[index]} is {row[index]}, "
                             f"outside {low}..{high}")
    for index in _TIMES:
        if row[index] is not None and not EARLIEST_TIME <= row[index] <= LATEST_TIME:
            raise ValueError(f"{where}: field {FIELDS[index]} is out of range")
    if row[PERSISTENT] is not (row[EXPIRES] is not None):
        raise ValueError(f"{where}: field persistent is {row[PERSISTENT]} but expires is "
                         f"{row[EXPIRES]}")
    if not row[DOMAIN].isascii() or not row[PARTITION_KEY].isascii():
        raise ValueError(f"{where}: domain and partition_key are ASCII")
    return row
