"""The Netscape cookies.txt format (curl's `-b`/`-c`, wget, yt-dlp, browser
extensions), read into rows and written from them.

Seven TAB-separated fields: domain (a leading dot for a domain cookie,
`#HttpOnly_` before it for an HttpOnly one), the TRUE/FALSE domain flag,
path, secure, expiry in seconds (0 or empty: a session cookie), name, value.
The format has no SameSite, Priority, partition key or times of creation
and last access.
"""

import time

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.rows import LeftOut

HTTPONLY_PREFIX = b"#HttpOnly_"
HEADER = (b"# Netscape HTTP Cookie File\n"
          b"# Written by glimmering_copper_otter. SameSite and Priority are not kept in\n"
          b"# this format; partitioned and nameless cookies are left out.\n\n")
# Far beyond the 400 days a cookie may live; keeps the microseconds in range.
_MAX_SECONDS = 253402300799  # 9999-12-31T23:59:59Z
_FLAGS = {b"TRUE": True, b"FALSE": False, b"true": True, b"false": False}
# The fields of a row this format does not carry: unset SameSite, priority
# and source, no partition.
_REST = (0, False, "", _rows.UNSET, 0, -1)
_SESSION = (b"", b"0")


def _flag(field, what):
    flag = _FLAGS.get(field)
    if flag is None:
        flag = _FLAGS.get(field.upper())
        if flag is None:
            raise ValueError(f"{what} is {field.decode('latin-1')!r}, not TRUE or FALSE")
    return flag


def _read_line(line, stamp, creation):
    """The row of one cookie line; None for an expired cookie.  Raises
    ValueError with the reason."""
    http_only = line.startswith(HTTPONLY_PREFIX)
    if http_only:
        line = line[len(HTTPONLY_PREFIX):]
    fields = line.split(b"\t")
    if len(fields) == 6:  # a cookie with an empty value, as curl reads it
        fields.append(b"")
    if len(fields) != 7:
        raise ValueError(f"{len(fields)} TAB-separated fields, not 7")
    domain, domain_flag, path, secure, expires, name, value = fields
    host_only = not _flag(domain_flag, "the domain flag")
    secure = _flag(secure, "the secure flag")
    if expires in _SESSION:
        expires = None
    else:
        try:
            seconds = int(expires)
        except ValueError:
            raise ValueError(f"the expiry {expires.decode('latin-1')!r} is not a number of "
                             "seconds") from None
        if seconds * 1000000 <= stamp:
            return None
        expires = min(seconds, _MAX_SECONDS) * 1000000
    domain = domain.strip().lower().removeprefix(b".").decode("latin-1")
    return (name, value, domain, host_only, path, expires, creation, creation, secure,
            http_only, *_REST, expires is not None, False)


def parse(data: bytes, *, now: int | None = None
          ) -> tuple[list[tuple], list[int], int, list[tuple[int, str]]]:
    """The rows of a cookies.txt file's bytes as the lines give them, not
    yet checked against the row contract: the rows in file order, with
    increasing creation times before `now` (microseconds since the epoch;
    default: the clock); the line number of each; the count of expired
    cookies; and the lines that are no cookie lines, as (line number,
    reason), the reason beginning with Unreadable."""
    stamp = time.time_ns() // 1000 if now is None else now
    lines = data.split(b"\n")
    # File order is creation order, all in the past.
    first = stamp - len(lines) - 1
    rows, numbers, skipped, expired = [], [], [], 0
    add_row, add_number, flags, latest = rows.append, numbers.append, _FLAGS, _MAX_SECONDS
    # The usual line, read in this loop: seven fields, the flags written as
    # TRUE or FALSE, the expiry 0 or seconds; any other goes to _read_line.
    for number, line in enumerate(lines, 1):
        if line[-1:] == b"\r":
            line = line[:-1]
        raw, start, http_only = line, line[:1], False
        if start == b"#":
            if not line.startswith(HTTPONLY_PREFIX):
                continue  # a comment
            http_only = True
            line = line[10:]
        elif start in b"$ \t":  # a blank line, a comment, or one to read slowly
            bare = line.strip()
            if not bare or bare[:1] in b"#$":
                continue
            http_only = None
        fields = line.split(b"\t")
        if http_only is not None and len(fields) == 7:
            domain, domain_flag, path, secure, expires, name, value = fields
            domain_cookie, secure = flags.get(domain_flag), flags.get(secure)
            if domain_cookie is not None and secure is not None and (
                    expires == b"0" or expires.isdigit()):
                creation = first + number
                if expires == b"0":
                    expires = None
                else:
                    seconds = int(expires)
                    if seconds * 1000000 <= stamp:
                        expired += 1
                        continue
                    expires = (seconds if seconds < latest else latest) * 1000000
                add_row((name, value,
                         domain.lower().removeprefix(b".").decode("latin-1"),
                         not domain_cookie, path, expires, creation, creation, secure,
                         http_only, 0, False, "", -1, 0, -1, expires is not None, False))
                add_number(number)
                continue
        try:
            row = _read_line(raw, stamp, first + number)
        except ValueError as error:
            skipped.append((number, f"Unreadable: {error}"))
            continue
        if row is None:
            expired += 1
        else:
            add_row(row)
            add_number(number)
    return rows, numbers, expired, skipped


def read_cookies_txt(
    data: bytes, *, now: int | None = None
) -> tuple[list[tuple], int, list[tuple[int, str]]]:
    """The rows of a cookies.txt file's bytes (see `parse`), those the row
    contract refuses left out; the count of expired cookies; and the lines
    passed over as (line number, reason), reason beginning with a code word
    (Unreadable for a line that is no cookie line, else `browser.check`'s)."""
    rows, numbers, expired, skipped = parse(data, now=now)
    refused = _rows.check_rows(rows)
    if refused:
        bad = {index for index, _ in refused}
        skipped.extend((numbers[index], reason) for index, reason in refused)
        skipped.sort()
        rows = [row for index, row in enumerate(rows) if index not in bad]
    return rows, expired, skipped


def write_cookies_txt(rows: list[tuple]) -> tuple[bytes, list[LeftOut]]:
    """The bytes of a cookies.txt file holding the rows, and the rows'
    cookies that the format cannot carry, as `LeftOut` records: a
    partitioned cookie (the format cannot say under which top-level site)
    and a cookie without a name (curl reads its value back as a name)."""
    lines, left_out = [HEADER], []
    for row in rows:
        name, value, path = row[_rows.NAME], row[_rows.VALUE], row[_rows.PATH]
        domain = row[_rows.DOMAIN]
        if row[_rows.PARTITIONED]:
            left_out.append(LeftOut(name, domain, path,
                                    "partitioned: the format has no partition key"))
            continue
        if not name:
            left_out.append(LeftOut(name, domain, path,
                                    "no name: curl would read the value back as a name"))
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
