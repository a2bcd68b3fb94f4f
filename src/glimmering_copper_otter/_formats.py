"""A cookie jar's contents in the formats people already have: Netscape
cookies.txt (read and written by curl, wget, yt-dlp and browser extensions)
and a versioned JSON document that keeps every field.

Each function takes the jar first; the jar's methods of the same names call
them.  They talk to the jar through rows (see `_rows`).
"""

import base64
import io
import json
import os
import re
import tempfile
import time
from typing import NamedTuple

from glimmering_copper_otter import _rows

# -- cookies.txt ------------------------------------------------------------

HTTPONLY_PREFIX = b"#HttpOnly_"
HEADER = (b"# Netscape HTTP Cookie File\n"
          b"# Written by glimmering_copper_otter. SameSite and Priority are not kept in\n"
          b"# this format, and partitioned cookies are left out.\n\n")
# Far beyond the 400 days a cookie may live; keeps the microseconds in range.
_MAX_SECONDS = 253402300799  # 9999-12-31T23:59:59Z
_DOMAIN = re.compile(rb"[a-z0-9_-]+(?:\.[a-z0-9_-]+)*\.?|\[[0-9a-f:.]+\]")
# Bytes a cookie name or value never holds (control characters and ";"; "="
# in a name), as browsers read them.
_BAD_NAME = re.compile(rb"[\x00-\x1f\x7f;=]")
_BAD_VALUE = re.compile(rb"[\x00-\x1f\x7f;]")
_MAX_PAIR = 4096


class LoadReport(NamedTuple):
    """What `load_cookies_txt` did: how many cookies the jar took, how many
    lines held cookies that had already expired, and the lines it could not
    read as (line number, reason)."""

    loaded: int
    expired: int
    skipped: list[tuple[int, str]]


class LeftOut(NamedTuple):
    """A cookie `save_cookies_txt` did not write, and why."""

    name: bytes
    domain: str
    path: bytes
    reason: str


class SaveReport(NamedTuple):
    """What `save_cookies_txt` did: how many cookies it wrote and which it
    left out."""

    written: int
    left_out: list[LeftOut]


def _read_bytes(path_or_file):
    """The bytes of a path or of an open file (binary or text), and a name
    for messages."""
    if hasattr(path_or_file, "read"):
        data = path_or_file.read()
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        return data, str(getattr(path_or_file, "name", "<file>"))
    with open(path_or_file, "rb") as file:
        return file.read(), os.fsdecode(path_or_file)


def _write_bytes(path_or_file, data):
    """Writes to an open file (binary or text), or replaces a path's file at
    once (a new file of mode 0600, renamed over the old one)."""
    if hasattr(path_or_file, "write"):
        if isinstance(path_or_file, io.TextIOBase):
            path_or_file.write(data.decode("utf-8", "surrogateescape"))
        else:
            path_or_file.write(data)
        return
    target = os.fspath(path_or_file)
    directory = os.path.dirname(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".cookies-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _flag(field, what):
    if field.upper() == b"TRUE":
        return True
    if field.upper() == b"FALSE":
        return False
    raise ValueError(f"{what} is {field.decode('latin-1')!r}, not TRUE or FALSE")


def _read_line(line, stamp):
    """A row for one cookie line (creation times are set later); None for an
    expired cookie.  Raises ValueError with the reason."""
    http_only = line.startswith(HTTPONLY_PREFIX)
    if http_only:
        line = line[len(HTTPONLY_PREFIX):]
    fields = line.split(b"\t")
    if len(fields) == 6:  # a cookie with an empty value, as curl reads it
        fields.append(b"")
    if len(fields) != 7:
        raise ValueError(f"{len(fields)} TAB-separated fields, not 7")
    domain, domain_flag, path, secure, expires, name, value = fields
    domain = domain.strip().lower()
    if domain.startswith(b"."):
        domain = domain[1:]
    if not domain or not _DOMAIN.fullmatch(domain):
        raise ValueError(f"unusable domain {fields[0].decode('latin-1')!r}")
    host_only = not _flag(domain_flag, "the domain flag")
    if not path.startswith(b"/"):
        raise ValueError("the path does not begin with /")
    secure = _flag(secure, "the secure flag")
    expires = expires.strip()
    if expires in (b"", b"0"):
        expires = None
    else:
        try:
            seconds = int(expires)
        except ValueError:
            raise ValueError(f"the expiry {expires.decode('latin-1')!r} is not a "
                             "number of seconds") from None
        if seconds * 1000000 <= stamp:
            return None
        expires = min(seconds, _MAX_SECONDS) * 1000000
    if _BAD_NAME.search(name):
        raise ValueError("the name holds a control character, ';' or '='")
    if _BAD_VALUE.search(value):
        raise ValueError("the value holds a control character or ';'")
    if not name and not value:
        raise ValueError("no name and no value")
    if len(name) + len(value) > _MAX_PAIR:
        raise ValueError(f"the name and value are {len(name) + len(value)} bytes, "
                         f"over {_MAX_PAIR}")
    return (name, value, domain.decode("ascii"), host_only, path, expires, 0, 0, secure,
            http_only, 0, False, "", _rows.UNSET, 0, -1, expires is not None, False)


def read_cookies_txt(
    data: bytes, *, now: int | None = None
) -> tuple[list[tuple], int, list[tuple[int, str]]]:
    """Rows for the cookies of a cookies.txt file's bytes, in file order,
    with increasing creation times that end at `now` (microseconds since
    the epoch; default: the clock); and the report: (rows, expired count,
    [(line number, reason)])."""
    stamp = time.time_ns() // 1000 if now is None else now
    rows, skipped, expired = [], [], 0
    for number, line in enumerate(data.split(b"\n"), 1):
        line = line.removesuffix(b"\r")
        bare = line.strip()
        if not bare or (bare.startswith((b"#", b"$"))
                        and not line.startswith(HTTPONLY_PREFIX)):
            continue
        try:
            row = _read_line(line, stamp)
        except ValueError as error:
            skipped.append((number, str(error)))
            continue
        if row is None:
            expired += 1
        else:
            rows.append(row)
    # File order is creation order, all in the past.
    first = stamp - len(rows)
    rows = [row[:6] + (first + i, first + i) + row[8:] for i, row in enumerate(rows)]
    return rows, expired, skipped


def load_cookies_txt(jar, path_or_file, strict: bool = False) -> LoadReport:
    """Adds the cookies of a Netscape cookies.txt file (a path, or a file
    opened for reading) to `jar`, replacing cookies of the same name, domain
    and path.

    An expiry of 0 or an empty one reads as a session cookie; expired
    cookies are passed over.  Lines that cannot be read are reported in the
    returned `LoadReport` (line number, reason) and passed over; with
    `strict=True` the first one raises ValueError and nothing is loaded.
    SameSite and Priority read as unspecified (Priority counts as medium):
    the format has neither.
    """
    data, name = _read_bytes(path_or_file)
    rows, expired, skipped = read_cookies_txt(data)
    if strict and skipped:
        number, reason = skipped[0]
        raise ValueError(f"{name}, line {number}: {reason}")
    loaded = jar._load_rows(rows) if rows else 0
    return LoadReport(loaded, expired, skipped)


def write_cookies_txt(rows: list[tuple]) -> tuple[bytes, list[LeftOut]]:
    """The bytes of a cookies.txt file holding the rows, and the rows'
    cookies that the format cannot hold, as `LeftOut` records."""
    lines, left_out = [HEADER], []
    for row in rows:
        name, value, path = row[_rows.NAME], row[_rows.VALUE], row[_rows.PATH]
        domain = row[_rows.DOMAIN]
        if row[_rows.PARTITIONED]:
            left_out.append(LeftOut(name, domain, path,
                                    "partitioned: the format has no partition key"))
            continue
        if any(_BAD_VALUE.search(field) for field in (name, value, path)):
            left_out.append(LeftOut(name, domain, path,
                                    "holds a control character or ';'"))
            continue
        expires = row[_rows.EXPIRES]
        seconds = b"0" if expires is None else b"%d" % max(expires // 1000000, 1)
        if row[_rows.HOST_ONLY]:
            field, flag = domain.encode("ascii"), b"FALSE"
        else:
            field, flag = b"." + domain.encode("ascii"), b"TRUE"
        if row[_rows.HTTP_ONLY]:
            field = HTTPONLY_PREFIX + field
        secure = b"TRUE" if row[_rows.SECURE] else b"FALSE"
        lines.append(b"\t".join((field, flag, path, secure, seconds, name, value)) + b"\n")
    return b"".join(lines), left_out


def save_cookies_txt(jar, path_or_file) -> SaveReport:
    """Writes the jar's unexpired cookies as a Netscape cookies.txt file (a
    path, replaced at once by a file of mode 0600, or a file opened for
    writing), session cookies with an expiry of 0 as curl writes them.

    The format keeps neither SameSite nor Priority; partitioned cookies are
    left out (it cannot say under which top-level site) and reported in the
    returned `SaveReport`.
    """
    rows = jar._rows()
    data, left_out = write_cookies_txt(rows)
    _write_bytes(path_or_file, data)
    return SaveReport(len(rows) - len(left_out), left_out)


# -- JSON -------------------------------------------------------------------

JSON_FORMAT = "glimmering_copper_otter cookie jar"
JSON_VERSION = 1
# The JSON key of each row field, in the order a cookie object lists them
# (persistent is not written: it is whether expires is null).
_KEYS = {"name": _rows.NAME, "value": _rows.VALUE, "domain": _rows.DOMAIN,
         "host_only": _rows.HOST_ONLY, "path": _rows.PATH, "expires": _rows.EXPIRES,
         "creation": _rows.CREATION, "last_access": _rows.LAST_ACCESS, "secure": _rows.SECURE,
         "http_only": _rows.HTTP_ONLY, "same_site": _rows.SAME_SITE,
         "partitioned": _rows.PARTITIONED, "partition_key": _rows.PARTITION_KEY,
         "cross_site_ancestor": _rows.CROSS_SITE_ANCESTOR, "priority": _rows.PRIORITY,
         "source_scheme": _rows.SOURCE_SCHEME, "source_port": _rows.SOURCE_PORT}
# Fields written as names: the names of 0, 1, ... (priority: null for unset).
_NAMED = {_rows.SAME_SITE: _rows.SAME_SITE_NAMES, _rows.PRIORITY: _rows.PRIORITY_NAMES,
          _rows.SOURCE_SCHEME: _rows.SOURCE_SCHEME_NAMES}
_BYTES = (_rows.NAME, _rows.VALUE, _rows.PATH)


def _bytes_to_json(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return {"base64": base64.b64encode(data).decode("ascii")}


def _bytes_from_json(item, where):
    if type(item) is str:
        return item.encode("utf-8")
    if type(item) is dict and item.keys() == {"base64"} and type(item["base64"]) is str:
        try:
            return base64.b64decode(item["base64"], validate=True)
        except ValueError:
            pass
    raise ValueError(f"{where}: a string or {{\"base64\": ...}}")


def _cookie_to_json(row):
    cookie = {}
    for key, index in _KEYS.items():
        value = row[index]
        if index in _BYTES:
            value = _bytes_to_json(value)
        elif index in _NAMED:
            value = None if value == _rows.UNSET else _NAMED[index][value]
        cookie[key] = value
    return cookie


def _cookie_from_json(cookie, where):
    if type(cookie) is not dict:
        raise ValueError(f"{where}: a cookie is an object")
    if cookie.keys() != _KEYS.keys():
        missing = [key for key in _KEYS if key not in cookie]
        extra = sorted(set(cookie) - set(_KEYS))
        raise ValueError(f"{where}: " + (f"missing {', '.join(missing)}" if missing
                                          else f"unknown field {extra[0]}"))
    fields = [None] * len(_rows.FIELDS)
    for key, index in _KEYS.items():
        value = cookie[key]
        if index in _BYTES:
            value = _bytes_from_json(value, f"{where}, {key}")
        elif index == _rows.PRIORITY and value is None:
            value = _rows.UNSET
        elif index in _NAMED:
            if value not in _NAMED[index]:
                raise ValueError(f"{where}, {key}: one of {', '.join(_NAMED[index])}"
                                 + (" or null" if index == _rows.PRIORITY else ""))
            value = _NAMED[index].index(value)
        fields[index] = value
    fields[_rows.PERSISTENT] = fields[_rows.EXPIRES] is not None
    try:
        return _rows.check_row(tuple(fields), where)
    except TypeError as error:
        raise ValueError(str(error)) from None


def to_json(jar) -> str:
    """The jar's unexpired cookies as a JSON document (a str) that keeps
    every field; `from_json` reads it back.  The schema is in the README."""
    cookies = [json.dumps(_cookie_to_json(row)) for row in jar._rows()]
    return (f'{{"format": "{JSON_FORMAT}", "version": {JSON_VERSION}, "cookies": [\n'
            + ",\n".join(cookies) + "\n]}\n")


def rows_from_json(text: str | bytes) -> list[tuple]:
    """The rows of a JSON document written by `to_json`; ValueError names
    what does not read."""
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"not JSON: {error}") from None
    if type(document) is not dict or document.get("format") != JSON_FORMAT:
        raise ValueError(f'not a cookie jar document (its "format" is not "{JSON_FORMAT}")')
    if document.get("version") != JSON_VERSION:
        raise ValueError(f"cookie jar document of version {document.get('version')!r}; "
                         f"this version reads version {JSON_VERSION}")
    cookies = document.get("cookies")
    if type(cookies) is not list:
        raise ValueError('"cookies" is not a list')
    return [_cookie_from_json(cookie, f"cookie {index}") for index, cookie in enumerate(cookies)]


def load_json(jar, text: str | bytes) -> int:
    """Adds the cookies of a JSON document written by `to_json` to `jar`;
    returns how many it took.  Nothing is added when any cookie does not
    read (ValueError)."""
    return jar._load_rows(rows_from_json(text))


def from_json(jar_type, text: str | bytes):
    """A new jar of `jar_type` (no file) holding the cookies of a JSON
    document written by `to_json`."""
    rows = rows_from_json(text)
    jar = jar_type()
    jar._load_rows(rows)
    return jar
