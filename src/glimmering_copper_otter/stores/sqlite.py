"""The SQLite file behind a CookieJar made with a path: a `RowStore`.

Each `apply` is one transaction: when it returns, the changes are in the
file; when it raises, nothing was written.  The file is in WAL mode with
`synchronous=NORMAL`: a killed process loses nothing that was committed, a
power loss may lose the last transactions.

Statements are written as text with literals only (hexadecimal blob literals
for bytes and text, decimal integers, NULL): nothing is bound, so no
`sqlite3` adapter a caller registered can run or change what is stored.
"""

import errno
import os
import threading
import urllib.parse
import weakref

import sqlite3 as _sqlite3  # held here: later rebinding of the module's names changes nothing

from glimmering_copper_otter import _rows
from glimmering_copper_otter.stores import StoreError, warn_skipped

_connect = _sqlite3.connect
_Error = _sqlite3.Error

SCHEMA_VERSION = 1
# PRAGMA application_id: marks a file as a cookie store ("gcoj").
APPLICATION_ID = 0x67636F6A
# Last-access times are written at most once a minute per cookie.
TOUCH_INTERVAL = 60 * 1000000

# The columns: the row's fields but persistent (whether expires is NULL),
# the key's fields the primary key.  The text is the one files of this
# version hold, compared as it is (the tests check it against the row's
# fields).
_SCHEMA = """CREATE TABLE cookies (
    name BLOB NOT NULL, value BLOB NOT NULL, domain TEXT NOT NULL,
    host_only INTEGER NOT NULL, path BLOB NOT NULL, expires INTEGER,
    creation INTEGER NOT NULL, last_access INTEGER NOT NULL, secure INTEGER NOT NULL,
    http_only INTEGER NOT NULL, same_site INTEGER NOT NULL, partitioned INTEGER NOT NULL,
    partition_key TEXT NOT NULL, priority INTEGER NOT NULL, source_scheme INTEGER NOT NULL,
    source_port INTEGER NOT NULL, cross_site_ancestor INTEGER NOT NULL,
    PRIMARY KEY (name, domain, host_only, path, partitioned, partition_key, cross_site_ancestor)
) WITHOUT ROWID"""
_COLUMN_NAMES = {"raw_name": "name", "raw_value": "value"}
_COLUMNS = tuple(_COLUMN_NAMES.get(field, field) for field in _rows.FIELDS
                 if field != "persistent")
_KEY = tuple(_COLUMN_NAMES.get(field, field) for field in _rows.KEY_FIELDS)
_SELECT = f"SELECT {', '.join(_COLUMNS)} FROM cookies ORDER BY creation"
# The header in one statement (one read transaction): a file another
# process is making meanwhile reads as new or as made, never as half made.
_HEADER = ("SELECT a.application_id, v.user_version, m.type, m.name, m.sql "
           "FROM pragma_application_id AS a, pragma_user_version AS v "
           "LEFT JOIN sqlite_master AS m")

# SQLite's primary result codes for a busy or locked file, a read-only one,
# a file that is not a database, and a damaged one.
_BUSY, _LOCKED, _READONLY, _CORRUPT, _NOTADB = 5, 6, 8, 11, 26

_FLAG = {0: False, 1: True}


# The stores of this process: a forked child marks them, so that each opens
# its own connection (a connection never crosses a fork) without a system
# call on every use.
_STORES: "weakref.WeakSet[SqliteStore]" = weakref.WeakSet()


def _after_fork():
    for store in list(_STORES):
        store._forked = True


os.register_at_fork(after_in_child=_after_fork)


def _hex_text(text):
    return f"CAST(X'{text.encode('ascii').hex()}' AS TEXT)"


def _where(key):
    name, domain, host_only, path, partitioned, partition_key, cross_site_ancestor = key
    return (f"name=X'{name.hex()}' AND domain={_hex_text(domain)} AND host_only={host_only:d} "
            f"AND path=X'{path.hex()}' AND partitioned={partitioned:d} "
            f"AND partition_key={_hex_text(partition_key)} "
            f"AND cross_site_ancestor={cross_site_ancestor:d}")


def _values(row):
    (name, value, domain, host_only, path, expires, creation, last_access, secure, http_only,
     same_site, partitioned, partition_key, priority, source_scheme, source_port, _,
     cross_site_ancestor) = row
    expires = "NULL" if expires is None else expires
    # One f-string: this runs on every stored change.
    return (f"(X'{name.hex()}',X'{value.hex()}',CAST(X'{domain.encode().hex()}' AS TEXT),"
            f"{host_only:d},X'{path.hex()}',{expires},{creation:d},{last_access:d},"
            f"{secure:d},{http_only:d},{same_site:d},{partitioned:d},"
            f"CAST(X'{partition_key.encode().hex()}' AS TEXT),{priority:d},{source_scheme:d},"
            f"{source_port:d},{cross_site_ancestor:d})")


def _key_from(key, where):
    if type(key) is not tuple or len(key) != len(_KEY):
        raise TypeError(f"{where}: a key is a tuple of {len(_KEY)} items")
    for value, expected in zip(key, (bytes, str, bool, bytes, bool, str, bool)):
        if type(value) is not expected:
            raise TypeError(f"{where}: a key holds {expected.__name__}, "
                            f"not {type(value).__name__}")
    if not key[1].isascii() or not key[5].isascii():
        raise ValueError(f"{where}: domain and partition_key are ASCII")
    return key


def _replaces(deletion, change):
    """Whether change stores a cookie of the deleted key."""
    return (deletion[0] == "delete" and change[0] == "set"
            and _rows.key(change[1]) == deletion[1])


def _row(record):
    """A row from a record of _SELECT.  A column of the wrong type or range
    stays as it is, for the row contract to refuse."""
    (name, value, domain, host_only, path, expires, creation, last_access, secure, http_only,
     same_site, partitioned, partition_key, priority, source_scheme, source_port,
     cross_site_ancestor) = record
    flag = _FLAG.get
    return (name, value, domain, flag(host_only, host_only), path, expires, creation,
            last_access, flag(secure, secure), flag(http_only, http_only), same_site,
            flag(partitioned, partitioned), partition_key, priority, source_scheme, source_port,
            expires is not None, flag(cross_site_ancestor, cross_site_ancestor))


def _place(row):
    """Where a stored row is, for a report: its domain, path and name."""
    def shown(item):
        text = item.decode("latin-1") if isinstance(item, bytes) else str(item)
        return repr(text[:60] + ("..." if len(text) > 60 else ""))

    return (f"domain {shown(row[_rows.DOMAIN])} path {shown(row[_rows.PATH])} "
            f"name {shown(row[_rows.NAME])}")


def _open_flags():
    return os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0)


class SqliteStore:
    """A cookie store in an SQLite file (created with mode 0600 when missing).

    `timeout` bounds the wait, in seconds, for a file that another connection
    holds locked; then StoreError (an OSError) names the file.  Session cookies
    are written only with `keep_session_cookies=True`.  A file this process
    may not write (its mode, a read-only mount) is opened read-only: it is
    read, and a change raises StoreError; in a directory this process may not
    write either, it is opened as immutable, and changes other processes make
    to it are not seen.  Safe to share between threads; after a fork the
    child opens its own connection.
    """

    def __init__(self, path: str | bytes | os.PathLike, *, timeout: float = 5.0,
                 keep_session_cookies: bool = False) -> None:
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout is a number of seconds, not {type(timeout).__name__}")
        if not timeout >= 0:
            raise ValueError(f"timeout is a number of seconds >= 0, not {timeout!r}")
        self.path = os.fspath(path)
        self.timeout = float(timeout)
        self.keep_session_cookies = bool(keep_session_cookies)
        self.read_only = False
        self.immutable = False
        self._lock = threading.Lock()
        self._db = None
        self._abandoned: list[_sqlite3.Connection] = []
        self._data_version = None
        self._open()
        _STORES.add(self)

    # -- opening ---------------------------------------------------------

    def _fail(self, message):
        return StoreError(self.path, message)

    def _create_or_check(self, path):
        """Makes a missing file (mode 0600, never through a link); tells
        whether this process may write it and its directory."""
        try:
            fd = os.open(path, _open_flags(), 0o600)
        except FileExistsError:
            if os.path.islink(path) and not os.path.exists(path):
                raise self._fail("a symbolic link to a missing file: a cookie store is "
                                 "never made through a link") from None
        except OSError as error:
            if error.errno not in (errno.EACCES, errno.EROFS, errno.EPERM):
                raise self._fail(f"cannot make the file ({error.strerror})") from None
            raise self._fail(f"cannot make the file in a directory this process may not write "
                             f"({error.strerror})") from None
        else:
            os.close(fd)
            return True, True
        try:
            fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
        except OSError as error:
            if error.errno not in (errno.EACCES, errno.EROFS, errno.EPERM):
                raise self._fail(f"cannot open the file ({error.strerror})") from None
            writable = False
        else:
            os.close(fd)
            writable = True
        directory = os.path.dirname(os.path.realpath(path))
        return writable, os.access(directory, os.W_OK)

    def _open(self):
        self._forked = False
        path = os.path.abspath(self.path)  # never ":memory:" nor a URI
        writable, directory_writable = self._create_or_check(path)
        self.read_only = not (writable and directory_writable)
        self.immutable = not directory_writable
        try:
            if self.read_only:
                mode = "immutable=1" if self.immutable else "mode=ro"
                target = f"file:{urllib.parse.quote(os.fsencode(path))}?{mode}"
                db = _connect(target, uri=True, timeout=self.timeout, isolation_level=None,
                              check_same_thread=False, cached_statements=8)
            else:
                db = _connect(path, timeout=self.timeout, isolation_level=None,
                              check_same_thread=False, cached_statements=8)
        except _Error as error:
            raise self._error(error) from None
        try:
            self._adopt(db)
        except BaseException:
            db.close()
            raise
        self._db = db
        self._cursor = db.cursor()
        self._data_version = None

    def _adopt(self, db):
        """Checks that `db` is a cookie store of this version (or a new, empty
        file) before anything is written, then sets it up."""
        try:
            kind = self._kind(db)
            if self.read_only:
                if kind == "new":
                    raise self._fail("not a cookie store (an empty file this process may not "
                                     "write)")
                return
            if kind == "new":
                db.execute("PRAGMA journal_mode=WAL")
                db.execute("BEGIN IMMEDIATE")
                try:
                    # Another process may have made it meanwhile.
                    if self._kind(db) == "new":
                        db.execute(_SCHEMA)
                        db.execute(f"PRAGMA application_id={APPLICATION_ID}")
                        db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
                    db.execute("COMMIT")
                except BaseException:
                    if db.in_transaction:
                        db.execute("ROLLBACK")
                    raise
            mode = db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
            if mode.lower() != "wal":
                raise self._fail(f"cannot use write-ahead logging (mode {mode})")
            db.execute("PRAGMA synchronous=NORMAL")
            db.execute("PRAGMA trusted_schema=OFF")
        except _Error as error:
            raise self._error(error) from None

    def _kind(self, db):
        """"new" for an empty database, "ours" for a cookie store of this
        version; raises StoreError for anything else."""
        header = db.execute(_HEADER).fetchall()
        application_id, version = header[0][:2]
        objects = [record[2:] for record in header if record[2] is not None]
        if application_id == 0 and version == 0 and not objects:
            return "new"
        if application_id != APPLICATION_ID:
            raise self._fail("not a cookie store (an SQLite database of another program); "
                             "the file was left untouched")
        if version != SCHEMA_VERSION:
            raise self._fail(f"cookie store of schema version {version}; this version reads "
                             f"version {SCHEMA_VERSION} only (the file was left untouched)")
        if objects != [("table", "cookies", _SCHEMA)]:
            raise self._fail("damaged cookie store: not the tables of this version")
        return "ours"

    def _error(self, error):
        code = getattr(error, "sqlite_errorcode", 0) & 0xFF
        if code in (_BUSY, _LOCKED):
            return self._fail(f"locked by another program (waited {self.timeout:g} s)")
        if code == _READONLY:
            return self._fail("the file is read-only here: the change was not written")
        if code == _NOTADB:
            return self._fail("not a cookie store (not an SQLite database); the file was left "
                              "untouched")
        if code == _CORRUPT:
            return self._fail(f"damaged cookie store ({error})")
        return self._fail(str(error))

    def _connection(self):
        """The connection of this process (a forked child opens its own and
        never touches its parent's)."""
        if self._db is None:
            raise self._fail("the store is closed")
        if self._forked:
            self._abandoned.append(self._db)
            self._db = None
            self._open()
        return self._db

    # -- reading ---------------------------------------------------------

    def _read_all(self, db):
        try:
            db.execute("BEGIN")
            try:
                records = db.execute(_SELECT).fetchall()
                version = db.execute("PRAGMA data_version").fetchone()[0]
            finally:
                db.execute("COMMIT")
        except _Error as error:
            raise self._error(error) from None
        self._data_version = version
        rows = list(map(_row, records))
        refused = _rows.check_rows(rows)
        if refused:
            warn_skipped(os.fsdecode(self.path),
                         [(_place(rows[index]), reason) for index, reason in refused], 4)
            bad = {index for index, _ in refused}
            rows = [row for index, row in enumerate(rows) if index not in bad]
        return rows

    def load(self) -> list[tuple]:
        """Every cookie in the file, as rows, oldest first (rows that are not
        cookies a jar keeps are passed over with a StoreWarning)."""
        with self._lock:
            return self._read_all(self._connection())

    def refresh(self) -> list[tuple] | None:
        """None when no other connection committed a change since this one
        last read or wrote; else the whole current contents, as `load`."""
        with self._lock:
            db = self._connection()
            if self.immutable and self._data_version is not None:
                return None
            try:
                version = self._cursor.execute("PRAGMA data_version").fetchone()[0]
            except _Error as error:
                raise self._error(error) from None
            if version == self._data_version:
                return None
            return self._read_all(db)

    # -- writing ---------------------------------------------------------

    def _statement(self, change, index):
        where = f"change {index}"
        if type(change) is not tuple or not change or type(change[0]) is not str:
            raise TypeError(f"{where}: a change is a tuple (kind, ...)")
        kind = change[0]
        if kind == "set" and len(change) == 2:
            reason = _rows.refusal(change[1])
            if reason is not None:
                raise ValueError(f"{where}: not a row: {reason}")
            row = change[1]
            if row[_rows.PERSISTENT] or self.keep_session_cookies:
                # No column list (the schema is checked to be exactly ours): shorter to compile.
                return f"INSERT OR REPLACE INTO cookies VALUES {_values(row)}"
            # Not written; and a stored cookie it replaces is gone.
            return f"DELETE FROM cookies WHERE {_where(_rows.key(row))}"
        if kind == "delete" and len(change) == 2:
            return f"DELETE FROM cookies WHERE {_where(_key_from(change[1], where))}"
        if kind == "touch" and len(change) == 3:
            key = _key_from(change[1], where)
            when = change[2]
            if type(when) is not int or not _rows.EARLIEST_TIME <= when <= _rows.LATEST_TIME:
                raise TypeError(f"{where}: a last-access time is an int of microseconds")
            return (f"UPDATE cookies SET last_access={when} WHERE {_where(key)} "
                    f"AND last_access<={when - TOUCH_INTERVAL}")
        raise ValueError(f"{where}: not a change: {kind!r} with {len(change) - 1} items")

    def apply(self, changes: list[tuple]) -> None:
        """Writes the changes, a list of ("set", row), ("delete", key) and
        ("touch", key, last_access), in one transaction, in order.  Every
        change is checked before anything is written; when this raises,
        nothing was written."""
        statements = [self._statement(change, index) for index, change in enumerate(changes)]
        # A replacement comes as the old cookie's deletion, then the new one:
        # the INSERT OR REPLACE that follows does both.
        statements = [statement for index, statement in enumerate(statements)
                      if not (statement.startswith("DELETE") and index + 1 < len(statements)
                              and _replaces(changes[index], changes[index + 1]))]
        if not statements:
            return
        if self.read_only:
            raise self._fail("the file is read-only here: the change was not written")
        with self._lock:
            db = self._connection()
            try:
                if len(statements) == 1:  # a transaction of its own
                    db.execute(statements[0])
                    return
                db.execute("BEGIN IMMEDIATE")
                try:
                    for statement in statements:
                        db.execute(statement)
                    db.execute("COMMIT")
                except BaseException:
                    if db.in_transaction:
                        db.execute("ROLLBACK")
                    raise
            except _Error as error:
                raise self._error(error) from None

    def close(self) -> None:
        """Closes the file; later calls raise StoreError."""
        with self._lock:
            if self._db is not None and not self._forked:
                self._db.close()
            self._db = None

    def __del__(self):
        # Every change was committed when its call returned: a store that is
        # dropped unclosed loses nothing, and says nothing.
        db = getattr(self, "_db", None)
        if db is not None and not getattr(self, "_forked", True):
            db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return f"SqliteStore({self.path!r})"


__all__ = ["SqliteStore", "StoreError", "SCHEMA_VERSION"]
