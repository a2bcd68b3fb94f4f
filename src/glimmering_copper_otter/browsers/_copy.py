"""A private copy of a browser's SQLite database, never the file itself.

A browser holds its cookie database open, may lock it, and is writing it
while we read.  The database and whichever of its `-journal`, `-wal` and
`-shm` files exist are copied byte for byte into a new directory of mode
0700 (regular files only: a side file that is a link, a device or larger
than the database can need is never read), and only the copy is opened:
SQLite rolls a hot journal back, or replays the WAL, there, and nothing is
ever written in the profile.  A copy
taken in the middle of a write may be damaged: one during which a file
changed, or that fails `PRAGMA quick_check`, is taken again, up to COPIES
times.
"""

import contextlib
import errno
import os
import shutil
import sqlite3
import stat
import tempfile
import urllib.parse

COPIES = 3
SIDE_FILES = ("-journal", "-wal", "-shm")

_connect = sqlite3.connect


class DamagedCopy(ValueError):
    """Every copy of a database failed its check."""


def _side_limit(size):
    """The most bytes a side file of a database of size bytes can need: a
    page image for each of its pages (at the smallest page size, 512 bytes,
    with its framing: 24 bytes of a WAL frame, 8 of a journal record), the
    largest header (a journal's sector, 64 KiB) and a WAL's pages until the
    next checkpoint (1,000 pages of 4 KiB by default)."""
    return size + (size // 512 + 1) * 24 + 65536 + 1000 * (4096 + 24)


def _copy_regular(source, target, limit=None):
    """Copies the regular file source to target byte for byte and says True;
    False when there is none.  A side file (limit given) that is a link or
    not a regular file is passed over without being opened or read (a link
    to /dev/zero would never end); one over limit bytes is refused."""
    side = limit is not None
    try:
        status = os.lstat(source) if side else os.stat(source)
    except FileNotFoundError:
        return False
    if not stat.S_ISREG(status.st_mode):
        if side:
            return False
        raise ValueError(f"{source}: not a regular file")
    flags = os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | (os.O_NOFOLLOW if side else 0)
    try:
        descriptor = os.open(source, flags)
    except FileNotFoundError:
        return False
    except OSError as error:
        if side and error.errno == errno.ELOOP:  # made a link since
            return False
        raise
    with open(descriptor, "rb") as file:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            if side:
                return False
            raise ValueError(f"{source}: not a regular file")
        if side and status.st_size > limit:
            raise ValueError(f"{source}: {status.st_size} bytes, more than a side file of this "
                             f"database can need ({limit}); not copied")
        # What the file holds now: a file that grows meanwhile changes its
        # stamps, and the copy is taken again.
        left = status.st_size
        with open(target, "xb") as out:
            while left > 0:
                chunk = file.read(min(left, 1 << 20))
                if not chunk:
                    break
                out.write(chunk)
                left -= len(chunk)
    return True


def _copy_once(source, directory):
    target = os.path.join(directory, os.path.basename(source))
    for suffix in ("", *SIDE_FILES):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(target + suffix)
    before = _stamps(source)
    if not _copy_regular(source, target):
        raise FileNotFoundError(2, "no such database file", source)
    limit = _side_limit(os.path.getsize(target))
    for suffix in SIDE_FILES:
        _copy_regular(source + suffix, target + suffix, limit)
    # A file that changed while it was copied makes the copy suspect even
    # when it passes the check.
    return target if _stamps(source) == before else None


def _stamps(source):
    stamps = []
    for suffix in ("", *SIDE_FILES):
        try:
            status = os.lstat(source + suffix) if suffix else os.stat(source)
        except FileNotFoundError:
            stamps.append(None)
        else:
            stamps.append((status.st_size, status.st_mtime_ns))
    return stamps


def _check(path):
    """Opens the copy (rolling its journal back or replaying its WAL) and
    gives the connection, or None when the copy is damaged."""
    # A name holding '#', '?' or '%' is quoted, as a URI's path is.
    connection = _connect(f"file:{urllib.parse.quote(path)}", uri=True)
    try:
        connection.text_factory = bytes
        if connection.execute("PRAGMA quick_check").fetchone() == (b"ok",):
            return connection
    except sqlite3.DatabaseError:
        pass
    connection.close()
    return None


@contextlib.contextmanager
def opened_copy(source):
    """A connection to a checked private copy of the database at `source`
    (text read as bytes), closed and deleted on leaving.  FileNotFoundError
    when there is no such file; DamagedCopy when COPIES copies all fail
    their check."""
    source = os.fspath(source)
    if not os.path.isfile(source):
        raise FileNotFoundError(2, "no such database file", source)
    directory = tempfile.mkdtemp(prefix="gco-browser-")
    try:
        for _ in range(COPIES):
            copy = _copy_once(source, directory)
            if copy is not None:
                with open(copy, "rb") as file:
                    if file.read(16) != b"SQLite format 3\0":
                        raise ValueError(f"{source}: not an SQLite database")
            connection = None if copy is None else _check(copy)
            if connection is not None:
                break
        else:
            raise DamagedCopy(f"{source}: {COPIES} copies of the database failed SQLite's "
                              "check (the browser was writing it); try again, or close the "
                              "browser first")
        try:
            yield connection
        finally:
            connection.close()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
