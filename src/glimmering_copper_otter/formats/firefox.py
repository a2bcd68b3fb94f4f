"""Firefox's cookies: a record of the `moz_cookies` table of a profile's
`cookies.sqlite` (read by column name, its schema by `PRAGMA
user_version`), and a session cookie of the session store, to a row.

The schema changed what columns mean: `expiry` is in seconds before schema
16 and in milliseconds from 16 on; up to schema 14, `rawSameSite` kept what
the header said beside `sameSite` (what Firefox applied), and from 15 on
`sameSite` alone holds it, 256 for a cookie that named none.  Times of
creation and last access are microseconds since 1970.  `originAttributes`
is a suffix (`^userContextId=2&partitionKey=%28https%2Cexample.com%29`)
naming the container, the partition and private browsing.
"""

from urllib.parse import unquote

from glimmering_copper_otter import rows as _rows

# The schemas read; earlier ones lack the columns read here.
OLDEST_SCHEMA = 10
# Schemas known to this reader: a later one is read by column name too.
NEWEST_SCHEMA = 17
MILLISECOND_EXPIRY_SCHEMA = 16
UNSET_SAME_SITE_SCHEMA = 15
COLUMNS = ("originAttributes", "name", "value", "host", "path", "expiry", "lastAccessed",
           "creationTime", "isSecure", "isHttpOnly", "sameSite", "rawSameSite", "schemeMap",
           "isPartitionedAttributeSet")
# Firefox's SameSite values: none, lax, strict, and (schema 15 on) unset.
NONE, LAX, STRICT, UNSET = 0, 1, 2, 256
_SAME_SITE = {NONE: 3, LAX: 1, STRICT: 2, UNSET: 0}
# schemeMap bits: the schemes the cookie was set or sent over.
SCHEME_HTTP, SCHEME_HTTPS = 1, 2


def origin_attributes(suffix: str) -> dict[str, str]:
    """The attributes of an `originAttributes` suffix, decoded; ValueError
    for one that is not a suffix."""
    if not suffix:
        return {}
    if type(suffix) is not str or not suffix.startswith("^"):
        raise ValueError(f"originAttributes {str(suffix)[:60]!r} is not a suffix")
    attributes = {}
    for item in suffix[1:].split("&"):
        key, equals, value = item.partition("=")
        if not equals:
            raise ValueError(f"originAttributes item {item[:60]!r} has no value")
        attributes[key] = unquote(value)
    return attributes


def partition(value: str) -> tuple[str, bool] | None:
    """The top-level site of a `partitionKey` ("(scheme,host[,port][,f])")
    and whether the frame had a cross-site ancestor (f); None when it is
    empty."""
    if not value:
        return None
    if type(value) is not str or not (value.startswith("(") and value.endswith(")")):
        raise ValueError(f"partitionKey {str(value)[:60]!r} is not (scheme,host)")
    fields = value[1:-1].split(",")
    foreign = fields[-1] == "f"
    if foreign:
        fields.pop()
    if len(fields) not in (2, 3) or fields[0] not in ("http", "https") or not fields[1]:
        raise ValueError(f"partitionKey {value[:60]!r} is not (scheme,host)")
    # A partition is a site: its port is not part of it.
    return f"{fields[0]}://{fields[1].lower()}", foreign


def same_site(record: dict, schema: int) -> int:
    """A row's SameSite of a record of `schema`."""
    value = record["sameSite"]
    if schema < UNSET_SAME_SITE_SCHEMA:
        # Firefox applied Lax to a cookie that named none (rawSameSite none)
        # when Lax was the default; its own migration reads that as unset.
        if value == LAX and record.get("rawSameSite") == NONE:
            return 0
        if value == UNSET:
            raise ValueError(f"sameSite is {value!r}")
    if value not in _SAME_SITE:
        raise ValueError(f"sameSite is {value!r}")
    return _SAME_SITE[value]


def source_scheme(scheme_map) -> int:
    """A row's source scheme of a schemeMap: secure or non-secure when one
    scheme alone set or read the cookie, else unset."""
    if scheme_map == SCHEME_HTTPS:
        return 2
    if scheme_map == SCHEME_HTTP:
        return 1
    return 0


def _host(host):
    if type(host) is bytes:
        try:
            host = host.decode("ascii")
        except UnicodeDecodeError:
            raise ValueError("host is not ASCII") from None
    if type(host) is not str or not host or host == ".":
        raise ValueError("host is empty or not text")
    host = host.lower()
    host_only = not host.startswith(".")
    domain = host.removeprefix(".")
    # An IPv6 address is kept in brackets.
    if ":" in domain and not domain.startswith("["):
        domain = f"[{domain}]"
    return domain, host_only


def _flag(value, what):
    if value not in (0, 1, True, False):
        raise ValueError(f"{what} is {value!r}, not 0 or 1")
    return bool(value)


def _microseconds(value, what):
    if type(value) is not int or not _rows.EARLIEST_TIME <= value <= _rows.LATEST_TIME:
        raise ValueError(f"{what} is not a time")
    return value


def to_row(record: dict, schema: int, *, key: tuple[str, bool] | None) -> tuple:
    """The row of a `moz_cookies` record (name, value and path as bytes) of
    `schema`, under the partition `key` (site, cross-site ancestor) or none.
    Raises ValueError with the reason for a record that does not read as a
    cookie."""
    domain, host_only = _host(record["host"])
    name, value, path = record["name"], record["value"], record["path"]
    if not all(type(item) is bytes for item in (name, value, path)):
        raise ValueError("name, value or path is not text")
    expiry = record["expiry"]
    if type(expiry) is not int:
        raise ValueError("expiry is not an integer")
    # Seconds or milliseconds, clamped to the years a jar keeps (Firefox
    # writes far-future expiries as they came).
    expires = expiry * (1000 if schema >= MILLISECOND_EXPIRY_SCHEMA else 1000000)
    expires = max(min(expires, _rows.LATEST_TIME), _rows.EARLIEST_TIME)
    creation = _microseconds(record["creationTime"], "creationTime")
    last_access = _microseconds(record["lastAccessed"], "lastAccessed")
    site, cross_site_ancestor = key if key is not None else ("", False)
    return (name, value, domain, host_only, path, expires, creation, last_access,
            _flag(record["isSecure"], "isSecure"), _flag(record["isHttpOnly"], "isHttpOnly"),
            same_site(record, schema), key is not None, site, _rows.UNSET,
            source_scheme(record["schemeMap"]), -1, True,
            key is not None and cross_site_ancestor)


def session_to_row(cookie: dict, now: int, *, key: tuple[str, bool] | None) -> tuple:
    """The row of a session cookie of the session store (an object of its
    "cookies" list), created at `now` (the store keeps no times).  Raises
    ValueError for an object that does not read as a cookie."""
    if type(cookie) is not dict:
        raise ValueError("a session cookie is an object")
    fields = {}
    for field in ("host", "name", "value", "path"):
        item = cookie.get(field, "" if field in ("name", "value") else None)
        if type(item) is not str:
            raise ValueError(f"{field} is not text")
        fields[field] = item
    domain, host_only = _host(fields["host"])
    value = cookie.get("sameSite", UNSET)
    if type(value) is not int or value not in _SAME_SITE:
        raise ValueError(f"sameSite is {value!r}")
    site, cross_site_ancestor = key if key is not None else ("", False)
    encode = (lambda text: text.encode("utf-8", "surrogatepass"))  # noqa: E731
    try:
        name, raw, path = encode(fields["name"]), encode(fields["value"]), encode(fields["path"])
    except UnicodeEncodeError:
        raise ValueError("name, value or path is not text") from None
    return (name, raw, domain, host_only, path, None, now, now,
            _flag(cookie.get("secure", False), "secure"),
            _flag(cookie.get("httponly", False), "httponly"), _SAME_SITE[value],
            key is not None, site, _rows.UNSET, source_scheme(cookie.get("schemeMap")), -1,
            False, key is not None and cross_site_ancestor)


def place(record: dict) -> str:
    """Where a record is, for a report: its host, path and name, and the
    origin attributes it has."""
    def shown(item):
        text = item.decode("latin-1") if isinstance(item, bytes) else str(item)
        return repr(text[:60] + ("..." if len(text) > 60 else ""))

    where = f"{shown(record.get('host'))} {shown(record.get('path'))} {shown(record.get('name'))}"
    attributes = record.get("originAttributes")
    if attributes:
        where += f" {shown(attributes)}"
    return where
