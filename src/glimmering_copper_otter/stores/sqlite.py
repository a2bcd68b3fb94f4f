"""The SQLite file behind a CookieJar made with a path: a `RowStore`.

A file holds named jars (one per account, spider or task), each cookie under
its jar's name.  Each `apply` is one transaction: when it returns, the
changes are in the file; when it raises, nothing was written.  The file is
in WAL mode with `synchronous=NORMAL`: a killed process loses nothing that
was committed, a power loss may lose the last transactions.

Connections share the file without reading it whole: every transaction that
writes takes the next number of a counter, each row holds the number of its
last change, and removals are kept (the last 10,000 changes, or those of
the last 24 hours, whichever is more, and never more than the last 100,000
removals) with theirs.  A store remembers the number it last saw (its mark)
and reads only what changed after it; a store whose mark is older than the
removals kept reads its whole jar once.  A file made by this version gives
the pages the pruned removals leave back to the file system.

A process holds one SQLite connection per file, shared by every store (named
jar, fork) on it and closed with the last of them: SQLite's locks on a file
are POSIX advisory locks, held per process, and closing any descriptor of the
file would drop them all.  So the store never opens the file itself while a
connection of this process is open on it: a missing file is made, and a file
checked (a regular file, by stat), before the first connection; what changed
is read from the WAL index through one descriptor that lives as long as the
connection (opened after it, closed after it), then asked of SQLite.

Statements are written as text with literals only (hexadecimal blob literals
for bytes and text, decimal integers, NULL): nothing is bound, so no
`sqlite3` adapter a caller registered can run or change what is stored.
"""

import errno
import os
import stat
import threading
import time
import urllib.parse

import sqlite3 as _sqlite3  # held here: later rebinding of the module's names changes nothing

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.stores import StoreError, warn_skipped

_connect = _sqlite3.connect
_Error = _sqlite3.Error
_pread = os.pread

SCHEMA_VERSION = 2
# PRAGMA application_id: marks a file as a cookie store ("gcoj").
APPLICATION_ID = 0x67636F6A
# Last-access times are written at most once a minute per cookie.
TOUCH_INTERVAL = 60 * 1000000
# Removals are kept for the last KEEP_CHANGES changes or KEEP_TIME
# microseconds, whichever is more, but never more than the last KEEP_MOST
# removals; they are pruned every PRUNE_EVERY changes.
KEEP_CHANGES = 10000
KEEP_TIME = 24 * 3600 * 1000000
KEEP_MOST = 100000
PRUNE_EVERY = 256
# When a prune leaves more than VACUUM_ABOVE free pages, all but VACUUM_KEEP
# of them (at most VACUUM_MOST at a time) go back to the file system.
VACUUM_ABOVE, VACUUM_KEEP, VACUUM_MOST = 256, 64, 4096
DEFAULT_NAME = "default"

# The columns: the row's fields but persistent (whether expires is NULL),
# after the jar's name; the key's fields, after it, the primary key.
_COLUMN_NAMES = {"raw_name": "name", "raw_value": "value"}
_COLUMNS = tuple(_COLUMN_NAMES.get(field, field) for field in _rows.COLUMN_FIELDS)
_KEY = tuple(_COLUMN_NAMES.get(field, field) for field in _rows.KEY_FIELDS)
_KEY_COLUMNS = tuple(_COLUMNS.index(column) for column in _KEY)
_TYPES = {"name": "BLOB NOT NULL", "value": "BLOB NOT NULL", "domain": "TEXT NOT NULL",
          "path": "BLOB NOT NULL", "expires": "INTEGER", "partition_key": "TEXT NOT NULL"}


def _declared(columns):
    return ", ".join(f"{column} {_TYPES.get(column, 'INTEGER NOT NULL')}" for column in columns)


# Version 1, as files of that version hold it (compared as it is).
_SCHEMA_1 = """CREATE TABLE cookies (
    name BLOB NOT NULL, value BLOB NOT NULL, domain TEXT NOT NULL,
    host_only INTEGER NOT NULL, path BLOB NOT NULL, expires INTEGER,
    creation INTEGER NOT NULL, last_access INTEGER NOT NULL, secure INTEGER NOT NULL,
    http_only INTEGER NOT NULL, same_site INTEGER NOT NULL, partitioned INTEGER NOT NULL,
    partition_key TEXT NOT NULL, priority INTEGER NOT NULL, source_scheme INTEGER NOT NULL,
    source_port INTEGER NOT NULL, cross_site_ancestor INTEGER NOT NULL,
    PRIMARY KEY (name, domain, host_only, path, partitioned, partition_key, cross_site_ancestor)
) WITHOUT ROWID"""
# Version 2: the jar's name in the key, the number of each row's last change,
# the removals, the counter.
_SCHEMA_2 = (
    ("table", "cookies",
     f"CREATE TABLE cookies (jar TEXT NOT NULL, {_declared(_COLUMNS)}, change INTEGER NOT NULL, "
     f"PRIMARY KEY (jar, {', '.join(_KEY)})) WITHOUT ROWID"),
    ("index", "cookies_by_change", "CREATE INDEX cookies_by_change ON cookies (jar, change)"),
    ("table", "removals",
     f"CREATE TABLE removals (change INTEGER NOT NULL, at INTEGER NOT NULL, jar TEXT NOT NULL, "
     f"{_declared(_KEY)})"),
    ("index", "removals_by_change", "CREATE INDEX removals_by_change ON removals (jar, change)"),
    ("table", "counter", "CREATE TABLE counter (value INTEGER NOT NULL, pruned INTEGER NOT NULL)"),
)
_OBJECTS_2 = sorted(_SCHEMA_2)
# The header in one statement (one read transaction): a file another
# process is making meanwhile reads as new or as made, never as half made.
_HEADER = ("SELECT a.application_id, v.user_version, m.type, m.name, m.sql "
           "FROM pragma_application_id AS a, pragma_user_version AS v "
           "LEFT JOIN sqlite_master AS m")

# SQLite's primary result codes for a busy or locked file, a read-only one,
# a file that is not a database, and a damaged one.
_BUSY, _LOCKED, _READONLY, _CORRUPT, _NOTADB = 5, 6, 8, 11, 26

_FLAG = {0: False, 1: True}
# The first copy of the WAL index header (iVersion, iChange, mxFrame, salts,
# checksums: the SQLite file format's "wal-index header").
_HEADER_BYTES = 48



# SQLite's primary result code of an error: sqlite3 gives it from 3.11 on;
# before, SQLite's own fixed text for it says which it is.
_CODES_BY_TEXT = {
    "database is locked": _BUSY, "database table is locked": _LOCKED,
    "attempt to write a readonly database": _READONLY, "file is not a database": _NOTADB,
    "database disk image is malformed": _CORRUPT,
}


def _result_code(error):
    code = getattr(error, "sqlite_errorcode", None)
    return code & 0xFF if code is not None else _CODES_BY_TEXT.get(str(error), 0)

class _Shared:
    """The connection of this process to one file (its st_dev and st_ino),
    and what every store on it shares: the lock their calls take turns on,
    the count of the transactions they committed (SQLite's data_version
    counts only other connections'), what the file is, and a descriptor of
    its WAL index (see _open_index)."""

    __slots__ = ("commits", "cursor", "db", "forked", "immutable", "incremental", "index",
                 "key", "lock", "read_only", "timeout", "users", "version")

    def __init__(self, db, key, timeout, read_only, immutable):
        self.db, self.cursor, self.key = db, db.cursor(), key
        # Reentrant: a signal handler that calls another jar of the file
        # while a call holds it is refused (in a transaction), not stuck.
        self.lock = threading.RLock()
        self.users, self.commits, self.timeout = 1, 0, timeout
        self.read_only, self.immutable = read_only, immutable
        self.version, self.incremental, self.forked = SCHEMA_VERSION, False, False
        self.index = None


# The connections of this process by file, and the lock that makes and
# closes them.  A forked child marks them and keeps them unclosed for its
# life (a connection never crosses a fork, and closing the inherited one
# would drop the locks of the child's own): each store then opens the
# child's own connection.
_OPEN: dict[tuple[int, int], _Shared] = {}
_OPEN_LOCK = threading.RLock()
_INHERITED: list[_Shared | int] = []


def _after_fork():
    global _OPEN_LOCK
    _OPEN_LOCK = threading.RLock()  # another thread may have held it at the fork
    for shared in _OPEN.values():
        shared.forked = True
    _INHERITED.extend(_OPEN.values())
    _OPEN.clear()


os.register_at_fork(after_in_child=_after_fork)


def _detach(shared):
    """One store fewer on shared: the last closes the connection."""
    with _OPEN_LOCK:  # closed before another connection to the file can be opened
        shared.users -= 1
        if shared.users or shared.forked:
            return
        if _OPEN.get(shared.key) is shared:
            del _OPEN[shared.key]
        with shared.lock:
            shared.db.close()
            if shared.index is not None:
                # After the connection: SQLite holds no lock on it any more.
                os.close(shared.index)
                shared.index = None


def _hex_text(text):
    return f"CAST(X'{text.encode().hex()}' AS TEXT)"


def _key_where(key):
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
    return (f"X'{name.hex()}',X'{value.hex()}',CAST(X'{domain.encode().hex()}' AS TEXT),"
            f"{host_only:d},X'{path.hex()}',{expires},{creation:d},{last_access:d},"
            f"{secure:d},{http_only:d},{same_site:d},{partitioned:d},"
            f"CAST(X'{partition_key.encode().hex()}' AS TEXT),{priority:d},{source_scheme:d},"
            f"{source_port:d},{cross_site_ancestor:d}")


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
    return (type(deletion) is tuple and len(deletion) == 2 and deletion[0] == "delete"
            and type(change) is tuple and len(change) == 2 and change[0] == "set"
            and type(change[1]) is tuple and len(change[1]) == len(_rows.FIELDS)
            and _rows.key(change[1]) == deletion[1])


def _key(record):
    """A key from a record of the key's columns (as _row, checked by the
    jar when it takes it)."""
    name, domain, host_only, path, partitioned, partition_key, cross_site_ancestor = record
    flag = _FLAG.get
    return (name, domain, flag(host_only, host_only), path, flag(partitioned, partitioned),
            partition_key, flag(cross_site_ancestor, cross_site_ancestor))


def _place(row):
    """Where a stored row is, for a report: its domain, path and name."""
    def shown(item):
        text = item.decode("latin-1") if isinstance(item, bytes) else str(item)
        return repr(text[:60] + ("..." if len(text) > 60 else ""))

    return (f"domain {shown(row[_rows.DOMAIN])} path {shown(row[_rows.PATH])} "
            f"name {shown(row[_rows.NAME])}")


def _open_flags():
    return os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0)


def _now():
    return time.time_ns() // 1000


class SqliteStore:
    """A cookie store in an SQLite file (created with mode 0600 when missing):
    the cookies of the jar named `name`.

    `timeout` bounds the wait, in seconds, for a file that another connection
    holds locked; then StoreError (an OSError) names the file.  Session cookies
    are written only with `keep_session_cookies=True`.  A file of schema
    version 1 is upgraded to version 2 (its cookies become the jar "default")
    in one transaction when it is first opened.  A file this process may not
    write (its mode, a read-only mount) is opened read-only: it is read, and a
    change raises StoreError; in a directory this process may not write
    either, it is opened as immutable, and changes other processes make to it
    are not seen.  Safe to share between threads.  The stores of a process
    on one file (named jars, forks) share one connection to it, closed with
    the last of them; after a fork the child opens its own.  A path that
    names no regular file (a directory, a device, a FIFO) is refused before
    anything opens it.
    """

    def __init__(self, path: str | bytes | os.PathLike, *, name: str = DEFAULT_NAME,
                 timeout: float = 5.0, keep_session_cookies: bool = False) -> None:
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout is a number of seconds, not {type(timeout).__name__}")
        if not timeout >= 0:
            raise ValueError(f"timeout is a number of seconds >= 0, not {timeout!r}")
        if type(name) is not str:
            raise TypeError(f"name is a str, not {type(name).__name__}")
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError("name holds a lone surrogate") from None
        self.path = os.fspath(path)
        self.name = name
        self.timeout = float(timeout)
        self.keep_session_cookies = bool(keep_session_cookies)
        self._shared = None
        self._db = self._cursor = None
        self._seen = None  # (data_version, the connection's commits) when last read
        self._header = None  # the WAL index header when last asked
        self._mark = None
        jar = _hex_text(name)
        self._jar = jar
        self._select = f"SELECT {', '.join(_COLUMNS)} FROM cookies WHERE jar={jar}"
        # The removed keys in the columns of the rows ({mark} filled in).
        removed = ", ".join(column if column in _KEY else "NULL" for column in _COLUMNS)
        self._since = (f"SELECT 0, {', '.join(_COLUMNS)} FROM cookies "
                       f"WHERE jar={jar} AND change>{{mark}} UNION ALL "
                       f"SELECT 1, {removed} FROM removals WHERE jar={jar} AND change>{{mark}}")
        self._attach()

    # -- opening ---------------------------------------------------------

    def _fail(self, message):
        return StoreError(self.path, message)

    def _file(self, path):
        """The file's (st_dev, st_ino), None when it is missing; refuses
        what is not a regular file (a directory, a device, a FIFO, a
        socket), before anything opens it.  stat opens no descriptor."""
        try:
            found = os.stat(path)
        except FileNotFoundError:
            if os.path.islink(path):
                raise self._fail("a symbolic link to a missing file: a cookie store is "
                                 "never made through a link") from None
            return None
        except OSError as error:
            raise self._fail(f"cannot open the file ({error.strerror})") from None
        if not stat.S_ISREG(found.st_mode):
            kind = ("a directory" if stat.S_ISDIR(found.st_mode) else
                    "a FIFO" if stat.S_ISFIFO(found.st_mode) else
                    "a socket" if stat.S_ISSOCK(found.st_mode) else "a device")
            raise self._fail(f"not a regular file ({kind}): a cookie store is a file; "
                             "nothing was opened")
        return found.st_dev, found.st_ino

    def _make_file(self, path):
        """Makes the missing file (mode 0600, never through a link).  No
        connection of this process is open on it: a new file has none."""
        try:
            fd = os.open(path, _open_flags(), 0o600)
        except FileExistsError:
            return  # made meanwhile by another process: checked as any file
        except OSError as error:
            if error.errno not in (errno.EACCES, errno.EROFS, errno.EPERM):
                raise self._fail(f"cannot make the file ({error.strerror})") from None
            raise self._fail(f"cannot make the file in a directory this process may not write "
                             f"({error.strerror})") from None
        os.close(fd)

    def _attach(self):
        """Shares the connection of this process to the file, or opens it."""
        path = os.path.abspath(self.path)  # never ":memory:" nor a URI
        with _OPEN_LOCK:
            key = self._file(path)
            shared = _OPEN.get(key) if key is not None else None
            if shared is None:
                if key is None:
                    self._make_file(path)
                    key = self._file(path)
                    if key is None:
                        raise self._fail("the file was removed while it was made")
                shared = self._connect(path, key)
                _OPEN[key] = shared
            else:
                shared.users += 1
        try:
            if shared.version == 1 and self.name != DEFAULT_NAME:
                raise self._fail("a read-only file of schema version 1 holds only the jar "
                                 f"{DEFAULT_NAME!r}")
        except BaseException:
            _detach(shared)
            raise
        self._use(shared)

    def _use(self, shared):
        self._shared, self._db, self._cursor = shared, shared.db, shared.db.cursor()
        self.read_only, self.immutable = shared.read_only, shared.immutable
        self.version = shared.version
        self._seen = self._mark = self._header = None

    def _connect(self, path, key):
        """The first connection of this process to the file (key its
        st_dev and st_ino as checked).  Whether this process may write the
        file and its directory is asked with access(), which opens nothing."""
        def may_write(target):
            return os.access(target, os.W_OK, effective_ids=os.access in os.supports_effective_ids)

        directory_writable = may_write(os.path.dirname(os.path.realpath(path)))
        read_only = not (may_write(path) and directory_writable)
        immutable = not directory_writable
        try:
            if read_only:
                mode = "immutable=1" if immutable else "mode=ro"
                target = f"file:{urllib.parse.quote(os.fsencode(path))}?{mode}"
                db = _connect(target, uri=True, timeout=self.timeout, isolation_level=None,
                              check_same_thread=False, cached_statements=16)
            else:
                db = _connect(path, timeout=self.timeout, isolation_level=None,
                              check_same_thread=False, cached_statements=16)
        except _Error as error:
            raise self._error(error) from None
        shared = _Shared(db, key, self.timeout, read_only, immutable)
        try:
            # The path names the file checked (not one put there since).
            if self._file(path) != key:
                raise self._fail("the file was replaced while it was opened; nothing was "
                                 "written")
            self._adopt(shared)
            if not read_only:
                shared.index = self._open_index(path)
        except BaseException:
            if self._file_key_open(path):
                _INHERITED.append(shared)  # another connection's file: never closed
            else:
                db.close()
            raise
        return shared

    @staticmethod
    def _open_index(path):
        """A descriptor of the file's WAL index (the -shm SQLite keeps while
        a connection is open in WAL mode), or None.  Its header changes with
        every transaction any connection commits, and reading it costs one
        system call, where asking SQLite (PRAGMA data_version) takes a read
        lock.  Opened once the connection has it open, and closed only after
        the connection (closing it before would drop SQLite's locks on it);
        one for every store of the process on the file."""
        try:
            fd = os.open(os.path.realpath(path) + "-shm",
                         os.O_RDONLY | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0))
        except OSError:
            return None
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            _INHERITED.append(fd)  # not closed while the connection is open
            return None
        return fd

    @staticmethod
    def _file_key_open(path):
        try:
            found = os.stat(path)
        except OSError:
            return False
        return (found.st_dev, found.st_ino) in _OPEN

    def _adopt(self, shared):
        """Checks that the file of `shared` is a cookie store (or a new, empty file) before
        anything is written, then sets it up: a new file is made, a file of
        version 1 upgraded.  Processes that open a new file at once can meet
        in SQLite's locks in a way it resolves by failing one of them at once
        rather than waiting (one switching the file to WAL while another
        makes the tables): that one tries again, until the timeout."""
        deadline = time.monotonic() + self.timeout
        while True:
            try:
                return self._set_up(shared)
            except StoreError as error:
                busy = _result_code(error.__cause__) in (_BUSY, _LOCKED)
                if not busy or time.monotonic() >= deadline:
                    raise
            time.sleep(0.005 + 0.02 * (os.getpid() % 7) / 7)

    def _set_up(self, shared):
        db = shared.db
        try:
            kind = self._kind(db)
            if shared.read_only:
                if kind == "new":
                    raise self._fail("not a cookie store (an empty file this process may not "
                                     "write)")
                shared.version = kind
                return
            if kind != SCHEMA_VERSION:
                if kind == "new":
                    # Set before anything is written (the switch to WAL
                    # writes the header): the pages removals free go back
                    # to the file system.  A file made before stays as it
                    # is (the switch takes a VACUUM, a copy of the file
                    # under the write lock).
                    db.execute("PRAGMA auto_vacuum=INCREMENTAL")
                    db.execute("PRAGMA journal_mode=WAL")
                db.execute("BEGIN IMMEDIATE")
                try:
                    # Another process may have made or upgraded it meanwhile.
                    kind = self._kind(db)
                    if kind == "new":
                        self._make(db)
                    elif kind == 1:
                        self._upgrade(db)
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
            shared.incremental = db.execute("PRAGMA auto_vacuum").fetchone()[0] == 2
        except _Error as error:
            raise self._error(error) from error

    @staticmethod
    def _make(db):
        for _, _, statement in _SCHEMA_2:
            db.execute(statement)
        db.execute("INSERT INTO counter VALUES (0, 0)")
        db.execute(f"PRAGMA application_id={APPLICATION_ID}")
        db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")

    @staticmethod
    def _upgrade(db):
        """Version 1 to 2, in the caller's transaction: a killed upgrade
        leaves version 1 as it was."""
        db.execute("ALTER TABLE cookies RENAME TO cookies_1")
        for _, _, statement in _SCHEMA_2:
            db.execute(statement)
        columns = ", ".join(_COLUMNS)
        db.execute(f"INSERT INTO cookies (jar, {columns}, change) "
                   f"SELECT {_hex_text(DEFAULT_NAME)}, {columns}, 0 FROM cookies_1")
        db.execute("DROP TABLE cookies_1")
        db.execute("INSERT INTO counter VALUES (0, 0)")
        db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")

    def _kind(self, db):
        """"new" for an empty database, else the schema version of a cookie
        store this version reads (1 or 2); raises StoreError for anything
        else."""
        header = db.execute(_HEADER).fetchall()
        application_id, version = header[0][:2]
        objects = sorted(record[2:] for record in header if record[2] is not None)
        if application_id == 0 and version == 0 and not objects:
            return "new"
        if application_id != APPLICATION_ID:
            raise self._fail("not a cookie store (an SQLite database of another program); "
                             "the file was left untouched")
        if version not in (1, SCHEMA_VERSION):
            raise self._fail(f"cookie store of schema version {version}; this version reads "
                             f"versions 1 and {SCHEMA_VERSION} (the file was left untouched)")
        if objects != ([("table", "cookies", _SCHEMA_1)] if version == 1 else _OBJECTS_2):
            raise self._fail("damaged cookie store: not the tables of its version")
        return version

    def _error(self, error):
        code = _result_code(error)
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

    def _now_shared(self):
        """The connection of this process (a forked child opens its own and
        never touches its parent's)."""
        shared = self._shared
        if shared is None:
            raise self._fail("the store is closed")
        if shared.forked:
            with _OPEN_LOCK:
                if self._shared is shared:
                    self._attach()
            shared = self._shared
        return shared

    def _enter(self, shared):
        """The connection, its lock taken (by the caller): the timeout of
        this store set, a call of this thread inside another one's
        transaction (a signal handler's) refused."""
        db = shared.db
        if db.in_transaction:
            raise self._fail("another call on this file is under way on this thread (a signal "
                             "handler?): this one was not done")
        if shared.timeout != self.timeout:
            db.execute(f"PRAGMA busy_timeout={min(int(self.timeout * 1000), 2 ** 31 - 1)}")
            shared.timeout = self.timeout
        return db

    # -- reading ---------------------------------------------------------

    def _checked(self, records):
        """The rows of records, those the row contract refuses passed over
        with a StoreWarning."""
        rows = _rows.rows_of_columns(records)
        refused = _rows.check_rows(rows)
        if refused:
            warn_skipped(os.fsdecode(self.path),
                         [(_place(rows[index]), reason) for index, reason in refused], 5)
            bad = {index for index, _ in refused}
            rows = [row for index, row in enumerate(rows) if index not in bad]
        return rows

    def _read(self, db, whole, version=None):
        """Every cookie of the jar (whole), or what changed after the mark:
        (rows, removed keys), removed None for the whole contents; None when
        nothing changed.  version is the file's data_version as read before.

        The counter is read first: a change committed between the reads is
        read (again) at the next call, never missed.  No transaction spans
        them, so the few statements of a call that catches up stay few."""
        try:
            if version is None:
                version = self._cursor.execute("PRAGMA data_version").fetchone()[0]
            if self.version == 1:
                counter, pruned = 0, 0
            else:
                counter, pruned = self._cursor.execute(
                    "SELECT value, pruned FROM counter").fetchone()
            if not whole and self._mark is not None and counter == self._mark:
                records = removals = None
            elif whole or self._mark is None or self._mark < pruned or self.version == 1:
                records = db.execute(
                    self._select if self.version == 2 else
                    f"SELECT {', '.join(_COLUMNS)} FROM cookies").fetchall()
                removals = None
            else:
                # One statement: the rows written and the keys removed.
                found = db.execute(self._since.format(mark=self._mark)).fetchall()
                records = [record[1:] for record in found if record[0] == 0]
                removals = [tuple(record[i + 1] for i in _KEY_COLUMNS)
                            for record in found if record[0] == 1]
        except _Error as error:
            raise self._error(error) from None
        self._seen = (version, self._shared.commits)
        self._mark = counter
        if records is None:
            return None
        return self._checked(records), None if removals is None else list(map(_key, removals))

    def load(self) -> list[tuple]:
        """Every cookie of the jar, as rows (rows that are not cookies a jar
        keeps are passed over with a StoreWarning)."""
        shared = self._now_shared()
        with shared.lock:
            return self._read(self._enter(shared), True)[0]

    def refresh(self) -> tuple[list[tuple], list[tuple] | None] | None:
        """None when no other connection committed a change to this jar since
        this one last looked; else (rows, removed): the rows written and the
        keys removed since then, or (all rows, None) when this connection
        must read the whole jar again."""
        # The index header as it was before SQLite is asked: unchanged at
        # the next call, no connection (this one included) committed a
        # transaction meanwhile.
        shared, header = self._shared, None
        if shared is not None and shared.index is not None and not shared.forked:
            try:
                header = _pread(shared.index, _HEADER_BYTES, 0)
            except OSError:
                pass
            else:
                if header == self._header:
                    return None
        shared = self._now_shared()
        with shared.lock:
            db = self._enter(shared)
            if self.immutable and self._seen is not None:
                return None
            # SQLite's count of the transactions other connections
            # committed, and this connection's own (another store's).
            try:
                version = self._cursor.execute("PRAGMA data_version").fetchone()[0]
            except _Error as error:
                raise self._error(error) from None
            if (version, shared.commits) != self._seen:
                changes = self._read(db, False, version)
            else:
                changes = None
            self._header = header if shared is self._shared else None
            return changes

    # -- writing ---------------------------------------------------------

    def _statements(self, change, index, now):
        where = f"change {index}"
        if type(change) is not tuple or not change or type(change[0]) is not str:
            raise TypeError(f"{where}: a change is a tuple (kind, ...)")
        kind, jar = change[0], self._jar
        if kind == "set" and len(change) == 2:
            reason = _rows.refusal(change[1])
            if reason is not None:
                raise ValueError(f"{where}: not a row: {reason}")
            row = change[1]
            if row[_rows.PERSISTENT] or self.keep_session_cookies:
                # No column list (the schema is checked to be exactly ours): shorter to compile.
                return [f"INSERT OR REPLACE INTO cookies VALUES ({jar},{_values(row)},{{change}})"]
            # Not written; and a stored cookie it replaces is gone.
            return self._removal(_rows.key(row), now)
        if kind == "delete" and len(change) == 2:
            return self._removal(_key_from(change[1], where), now)
        if kind == "touch" and len(change) == 3:
            key = _key_from(change[1], where)
            when = change[2]
            if type(when) is not int or not _rows.EARLIEST_TIME <= when <= _rows.LATEST_TIME:
                raise TypeError(f"{where}: a last-access time is an int of microseconds")
            return [f"UPDATE cookies SET last_access={when}, change={{change}} WHERE jar={jar} "
                    f"AND {_key_where(key)} AND last_access<={when - TOUCH_INTERVAL}"]
        raise ValueError(f"{where}: not a change: {kind!r} with {len(change) - 1} items")

    def _removal(self, key, now):
        where = f"jar={self._jar} AND {_key_where(key)}"
        return [f"INSERT INTO removals SELECT {{change}}, {now}, jar, {', '.join(_KEY)} "
                f"FROM cookies WHERE {where}", f"DELETE FROM cookies WHERE {where}"]

    def apply(self, changes: list[tuple]) -> None:
        """Writes the changes, a list of ("set", row), ("delete", key) and
        ("touch", key, last_access), in one transaction, in order.  Every
        change is checked before anything is written; when this raises,
        nothing was written."""
        now = _now()
        statements = []
        for index, change in enumerate(changes):
            # A replacement comes as the old cookie's deletion, then the new
            # one: the INSERT OR REPLACE that follows does both.
            if index + 1 < len(changes) and _replaces(change, changes[index + 1]):
                continue
            statements += self._statements(change, index, now)
        if not statements:
            return
        if self.read_only:
            raise self._fail("the file is read-only here: the change was not written")
        if self.version == 1:  # only a read-only file stays at version 1
            raise self._fail("a file of schema version 1 is not written")
        shared = self._now_shared()
        with shared.lock:
            self._write(shared, statements, now)

    def _write(self, shared, statements, now, empty_jar=False):
        """The statements in one transaction under the next change number;
        with empty_jar, only when the jar holds no cookie yet."""
        db = self._enter(shared)
        try:
            db.execute("BEGIN IMMEDIATE")
            try:
                if empty_jar and db.execute(
                        f"SELECT 1 FROM cookies WHERE jar={self._jar} LIMIT 1").fetchone():
                    raise ValueError(f"{self!r}: the jar {self.name!r} holds cookies already")
                number = db.execute(
                    "UPDATE counter SET value=value+1 RETURNING value").fetchall()[0][0]
                for statement in statements:
                    db.execute(statement.replace("{change}", str(number)))
                if number % PRUNE_EVERY == 0:
                    self._prune(shared, number, now)
                db.execute("COMMIT")
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                raise
        except _Error as error:
            raise self._error(error) from None
        shared.commits += 1
        if self._mark is not None and number == self._mark + 1:
            # No other connection nor store wrote in between.
            self._mark = number
            if self._seen is not None:
                self._seen = (self._seen[0], shared.commits)

    @staticmethod
    def _prune(shared, number, now):
        """Drops the removals older than both the last KEEP_CHANGES changes
        and KEEP_TIME, and those beyond the last KEEP_MOST; the counter's
        pruned is the last change whose removals may be gone: a mark before
        it reads the whole jar again.  Rowids grow with the changes (only
        the oldest rows are ever deleted), so the cap reads no row."""
        db = shared.db
        old = (f"change<={number - KEEP_CHANGES} AND at<{now - KEEP_TIME} "
               f"OR rowid<=(SELECT max(rowid) FROM removals)-{KEEP_MOST}")
        db.execute("UPDATE counter SET pruned=max(pruned, coalesce("
                   f"(SELECT max(change) FROM removals WHERE {old}), 0))")
        db.execute(f"DELETE FROM removals WHERE {old}")
        if shared.incremental:
            free = db.execute("PRAGMA freelist_count").fetchone()[0]
            if free > VACUUM_ABOVE:
                # One page a step: this module steps a statement that
                # returns no row once.
                for _ in range(min(free - VACUUM_KEEP, VACUUM_MOST)):
                    db.execute("PRAGMA incremental_vacuum(1)")

    def for_jar(self, name: str) -> "SqliteStore":
        """A store of the jar named name in the same file (sharing this
        process's connection to it)."""
        return SqliteStore(self.path, name=name, timeout=self.timeout,
                           keep_session_cookies=self.keep_session_cookies)

    def fork(self, name: str, rows: list[tuple]) -> "SqliteStore":
        """A store of the jar named name in the same file, holding rows: the
        check that the jar holds no cookie and the writing in one
        transaction (of two forks into one name, one raises ValueError)."""
        store = self.for_jar(name)
        try:
            now = _now()
            statements = []
            for index, row in enumerate(rows):
                if type(row) is tuple and len(row) == len(_rows.FIELDS) and not (
                        row[_rows.PERSISTENT] or self.keep_session_cookies):
                    continue  # not kept: nothing to remove in a new jar
                statements += store._statements(("set", row), index, now)
            if store.read_only:
                raise store._fail("the file is read-only here: the change was not written")
            shared = store._now_shared()
            with shared.lock:
                store._write(shared, statements, now, empty_jar=True)
        except BaseException:
            store.close()
            raise
        return store

    def jar_names(self) -> list[str]:
        """The names of the jars that hold cookies in the file."""
        shared = self._now_shared()
        with shared.lock:
            db = self._enter(shared)
            try:
                if self.version == 1:
                    return [DEFAULT_NAME] if db.execute(
                        "SELECT 1 FROM cookies LIMIT 1").fetchone() else []
                return [name for (name,) in db.execute(
                    "SELECT DISTINCT jar FROM cookies ORDER BY jar").fetchall()]
            except _Error as error:
                raise self._error(error) from None

    def close(self) -> None:
        """Closes the store (the connection, with the last store of this
        process on the file); later calls raise StoreError."""
        shared = self._shared
        if shared is None:
            return
        if shared.forked:  # the parent's, kept unclosed (its lock may be held forever)
            self._shared = self._db = self._cursor = None
            return
        with shared.lock:  # a call under way on another thread ends first
            if self._shared is not shared:
                return
            self._shared = self._db = self._cursor = None
        _detach(shared)

    def __del__(self):
        # Every change was committed when its call returned: a store that is
        # dropped unclosed loses nothing, and says nothing.
        shared = getattr(self, "_shared", None)
        if shared is not None:
            self._shared = None
            _detach(shared)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return f"SqliteStore({self.path!r}, name={self.name!r})"


__all__ = ["SqliteStore", "StoreError", "SCHEMA_VERSION"]
