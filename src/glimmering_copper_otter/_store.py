"""The SQLite file behind a CookieJar made with a path.

The jar calls `load()` once, `refresh()` before every call that reads or
writes (None when no other connection changed the file since this one last
looked, else the whole current contents) and `apply(changes)` after every
call that changed something, in the order of the changes.  Each `apply` is one
transaction: when it returns, the changes are in the file.  The file is in
WAL mode with `synchronous=NORMAL`: a killed process loses nothing that was
committed, a power loss may lose the last transactions.

Statements are written as text with literals only (hexadecimal blob literals
for bytes and text, decimal integers, NULL): nothing is bound, so no
`sqlite3` adapter a caller registered can run or change what is stored.
"""

import os
import threading
import time
import weakref

import sqlite3 as _sqlite3  # held here: later rebinding of the module's names changes nothing

from glimmering_copper_otter import _rows

_connect = _sqlite3.connect
_Error = _sqlite3.Error

SCHEMA_VERSION = 1
# PRAGMA application_id: marks a file as a cookie store ("gcoj").
APPLICATION_ID = 0x67636F6A
# Last-access times are written at most once a minute per cookie.
TOUCH_INTERVAL = 60 * 1000000

_COLUMNS = ("name, value, domain, host_only, path, expires, creation, last_access, "
            "secure, http_only, same_site, partitioned, partition_key, priority, "
            "source_scheme, source_port, cross_site_ancestor")
_SCHEMA = """CREATE TABLE cookies (
    name BLOB NOT NULL, value BLOB NOT NULL, domain TEXT NOT NULL,
    host_only INTEGER NOT NULL, path BLOB NOT NULL, expires INTEGER,
    creation INTEGER NOT NULL, last_access INTEGER NOT NULL, secure INTEGER NOT NULL,
    http_only INTEGER NOT NULL, same_site INTEGER NOT NULL, partitioned INTEGER NOT NULL,
    partition_key TEXT NOT NULL, priority INTEGER NOT NULL, source_scheme INTEGER NOT NULL,
    source_port INTEGER NOT NULL, cross_site_ancestor INTEGER NOT NULL,
    PRIMARY KEY (name, domain, host_only, path, partitioned, partition_key, cross_site_ancestor)
) WITHOUT ROWID"""
_SELECT = f"SELECT {_COLUMNS} FROM cookies ORDER BY creation"

# SQLite's primary result codes for a busy or locked file, a file that is not
# a database, and a damaged one.
_BUSY, _LOCKED, _CORRUPT, _NOTADB = 5, 6, 11, 26


# The stores of this process: a forked child marks them, so that each opens
# its own connection (a connection never crosses a fork) without a system
# call on every use.
_STORES: "weakref.WeakSet[SqliteStore]" = weakref.WeakSet()


def _after_fork():
    for store in list(_STORES):
        store._forked = True


os.register_at_fork(after_in_child=_after_fork)


class StoreError(OSError):
    """A cookie store that cannot be used: locked by another program beyond
    the timeout, not a cookie store, damaged, of another schema version, or
    not readable or writable.  `filename` names the file."""

    def __init__(self, path, message):
        super().__init__(f"{os.fsdecode(path)}: {message}")
        self.filename = path

    def __str__(self):
        return self.args[0]


def _blob(data):
    return f"X'{data.hex()}'"


def _text(data):
    return f"CAST(X'{data.encode('ascii').hex()}' AS TEXT)"


def _where(key):
    name, domain, host_only, path, partitioned, partition_key, cross_site_ancestor = key
    return (f"name={_blob(name)} AND domain={_text(domain)} AND host_only={host_only:d} "
            f"AND path={_blob(path)} AND partitioned={partitioned:d} "
            f"AND partition_key={_text(partition_key)} "
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


def _check_key(key, where):
    if type(key) is not tuple or len(key) != 7:
        raise TypeError(f"{where}: a key is a tuple of 7 items")
    types = (bytes, str, bool, bytes, bool, str, bool)
    for value, expected in zip(key, types):
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


def _flag(column):
    return f"typeof({column})='integer' AND {column} IN (0,1)"


def _integer(column, low, high):
    return f"typeof({column})='integer' AND {column} BETWEEN {low} AND {high}"


def _ascii(column):
    return f"typeof({column})='text' AND {column} NOT GLOB '*[^ -~]*'"


# The rows no store of this version writes, counted in SQL: one pass of the
# database engine instead of a check per row in Python.
_MALFORMED = "SELECT count(*) FROM cookies WHERE NOT (" + " AND ".join([
    "typeof(name)='blob'", "typeof(value)='blob'", _ascii("domain"), "domain<>''",
    "typeof(path)='blob'",
    f"(expires IS NULL OR ({_integer('expires', _rows.EARLIEST_TIME, _rows.LATEST_TIME)}))",
    _integer("creation", _rows.EARLIEST_TIME, _rows.LATEST_TIME),
    _integer("last_access", _rows.EARLIEST_TIME, _rows.LATEST_TIME),
    _flag("host_only"), _flag("secure"), _flag("http_only"), _flag("partitioned"),
    _flag("cross_site_ancestor"), _integer("same_site", 0, 3), _ascii("partition_key"),
    _integer("priority", -1, 2), _integer("source_scheme", 0, 2),
    _integer("source_port", -1, 65535),
]) + ")"


def _row(record):
    """A row from a record of _SELECT (checked by _MALFORMED)."""
    (name, value, domain, host_only, path, expires, creation, last_access, secure, http_only,
     same_site, partitioned, partition_key, priority, source_scheme, source_port,
     cross_site_ancestor) = record
    return (name, value, domain, host_only == 1, path, expires, creation, last_access,
            secure == 1, http_only == 1, same_site, partitioned == 1, partition_key, priority,
            source_scheme, source_port, expires is not None, cross_site_ancestor == 1)


class SqliteStore:
    """A cookie store in an SQLite file (created with mode 0600 when missing).

    `timeout` bounds the wait, in seconds, for a file that another connection
    holds locked; then StoreError (an OSError) names the file.  Session cookies
    are written only with `keep_session_cookies=True`.  Safe to share between
    threads; after a fork the child opens its own connection.
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
        self._lock = threading.Lock()
        self._db = None
        self._abandoned: list[_sqlite3.Connection] = []
        self._data_version = None
        self._open()
        _STORES.add(self)

    # -- opening ---------------------------------------------------------

    def _open(self):
        self._forked = False
        path = os.path.abspath(self.path)  # never ":memory:" nor a URI
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            pass
        else:
            os.close(fd)
        try:
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
            if kind == "new":
                db.execute("PRAGMA journal_mode=WAL")
                db.execute("BEGIN IMMEDIATE")
                try:
                    # Another process may have made it meanwhile.
                    kind = self._kind(db)
                    if kind == "new":
                        db.execute(_SCHEMA)
                        db.execute(f"PRAGMA application_id={APPLICATION_ID}")
                        db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
                    db.execute("COMMIT")
                except BaseException:
                    db.execute("ROLLBACK")
                    raise
            mode = db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
            if mode.lower() != "wal":
                raise StoreError(self.path, f"cannot use write-ahead logging (mode {mode})")
            db.execute("PRAGMA synchronous=NORMAL")
            db.execute("PRAGMA trusted_schema=OFF")
        except _Error as error:
            raise self._error(error) from None

    def _kind(self, db):
        """"new" for an empty database, "ours" for a cookie store of this
        version; raises StoreError for anything else."""
        application_id = db.execute("PRAGMA application_id").fetchone()[0]
        version = db.execute("PRAGMA user_version").fetchone()[0]
        objects = db.execute("SELECT type, name, sql FROM sqlite_master").fetchall()
        if application_id == 0 and version == 0 and not objects:
            return "new"
        if application_id != APPLICATION_ID:
            raise StoreError(self.path, "not a cookie store (an SQLite database of "
                             "another program); the file was left untouched")
        if version != SCHEMA_VERSION:
            raise StoreError(self.path, f"cookie store of schema version {version}; this "
                             f"version reads version {SCHEMA_VERSION} only (the file was "
                             "left untouched)")
        if objects != [("table", "cookies", _SCHEMA)]:
            raise StoreError(self.path, "damaged cookie store: not the tables of this "
                             "version")
        return "ours"

    def _error(self, error):
        code = getattr(error, "sqlite_errorcode", 0) & 0xFF
        if code in (_BUSY, _LOCKED):
            return StoreError(self.path, f"locked by another program (waited {self.timeout:g} s)")
        if code == _NOTADB:
            return StoreError(self.path, "not a cookie store (not an SQLite database); "
                              "the file was left untouched")
        if code == _CORRUPT:
            return StoreError(self.path, f"damaged cookie store ({error})")
        return StoreError(self.path, str(error))

    def _connection(self):
        """The connection of this process (a forked child opens its own and
        never touches its parent's)."""
        if self._db is None:
            raise StoreError(self.path, "the store is closed")
        if self._forked:
            self._abandoned.append(self._db)
            self._db = None
            self._open()
        return self._db

    # -- reading ---------------------------------------------------------

    def _read_all(self, db):
        now = time.time_ns() // 1000
        try:
            db.execute("BEGIN")
            try:
                malformed = db.execute(_MALFORMED).fetchone()[0]
                records = db.execute(_SELECT).fetchall() if not malformed else []
                version = db.execute("PRAGMA data_version").fetchone()[0]
            finally:
                db.execute("COMMIT")
        except _Error as error:
            raise self._error(error) from None
        if malformed:
            raise StoreError(self.path, f"damaged cookie store: {malformed} row(s) of wrong "
                             "types or out of range")
        self._data_version = version
        return [_row(record) for record in records
                if record[5] is None or record[5] > now]

    def load(self) -> list[tuple]:
        """Every unexpired cookie in the file, as rows, oldest first."""
        with self._lock:
            return self._read_all(self._connection())

    def refresh(self) -> list[tuple] | None:
        """None when no other connection committed a change since this one
        last read or wrote; else the whole current contents, as `load`."""
        with self._lock:
            db = self._connection()
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
            row = _rows.check_row(change[1], where)
            if row[_rows.PERSISTENT] or self.keep_session_cookies:
                # No column list (the schema is checked to be exactly ours): shorter to compile.
                return f"INSERT OR REPLACE INTO cookies VALUES {_values(row)}"
            # Not written; and a stored cookie it replaces is gone.
            return f"DELETE FROM cookies WHERE {_where(_rows.key(row))}"
        if kind == "delete" and len(change) == 2:
            return f"DELETE FROM cookies WHERE {_where(_check_key(change[1], where))}"
        if kind == "touch" and len(change) == 3:
            key = _check_key(change[1], where)
            when = change[2]
            if type(when) is not int or not _rows.EARLIEST_TIME <= when <= _rows.LATEST_TIME:
                raise TypeError(f"{where}: a last-access time is an int of microseconds")
            return (f"UPDATE cookies SET last_access={when} WHERE {_where(key)} "
                    f"AND last_access<={when - TOUCH_INTERVAL}")
        raise ValueError(f"{where}: not a change: {kind!r} with {len(change) - 1} items")

    def apply(self, changes: list[tuple]) -> None:
        """Writes the changes, a list of ("set", row), ("delete", key) and
        ("touch", key, last_access), in one transaction, in order.  Every
        change is checked before anything is written."""
        statements = [self._statement(change, index) for index, change in enumerate(changes)]
        # A replacement comes as the old cookie's deletion, then the new one:
        # the INSERT OR REPLACE that follows does both.
        statements = [statement for index, statement in enumerate(statements)
                      if not (statement.startswith("DELETE") and index + 1 < len(statements)
                              and _replaces(changes[index], changes[index + 1]))]
        if not statements:
            return
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

    def clear(self) -> None:
        """Removes every cookie from the file, in one transaction."""
        with self._lock:
            db = self._connection()
            try:
                db.execute("DELETE FROM cookies")
            except _Error as error:
                raise self._error(error) from None

    def close(self) -> None:
        """Closes the file; later calls raise StoreError."""
        with self._lock:
            if self._db is not None and not self._forked:
                self._db.close()
            self._db = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return f"SqliteStore({self.path!r})"


__all__ = ["SqliteStore", "StoreError", "SCHEMA_VERSION"]
