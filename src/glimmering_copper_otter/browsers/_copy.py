"""A private copy of a browser's SQLite database, never the file itself.

A browser holds its cookie database open, may lock it, and is writing it
while we read.  The database and whichever of its `-journal`, `-wal` and
`-shm` files exist are copied byte for byte into a new directory of mode
0700, and only the copy is opened: SQLite rolls a hot journal back, or
replays the WAL, there, and nothing is ever written in the profile.  A copy
taken in the middle of a write may be damaged: one during which a file
changed, or that fails `PRAGMA quick_check`, is taken again, up to COPIES
times.
"""

import contextlib
import os
import shutil
import sqlite3
import tempfile

COPIES = 3
SIDE_FILES = ("-journal", "-wal", "-shm")

_connect = sqlite3.connect


class DamagedCopy(ValueError):
    """Every copy of a database failed its check."""


def _copy_once(source, directory):
    target = os.path.join(directory, os.path.basename(source))
    for suffix in SIDE_FILES:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(target + suffix)
    before = _stamps(source)
    shutil.copyfile(source, target)
    for suffix in SIDE_FILES:
        try:
            shutil.copyfile(source + suffix, target + suffix)
        except FileNotFoundError:
            pass
    # A file that changed while it was copied makes the copy suspect even
    # when it passes the check.
    return target if _stamps(source) == before else None


def _stamps(source):
    stamps = []
    for suffix in ("", *SIDE_FILES):
        try:
            status = os.stat(source + suffix)
        except FileNotFoundError:
            stamps.append(None)
        else:
            stamps.append((status.st_size, status.st_mtime_ns))
    return stamps


def _check(path):
    """Opens the copy (rolling its journal back or replaying its WAL) and
    gives the connection, or None when the copy is damaged."""
    connection = _connect(f"file:{path}", uri=True)
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
