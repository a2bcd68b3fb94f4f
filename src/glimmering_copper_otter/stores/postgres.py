"""A cookie store on a PostgreSQL server, for jars shared by the workers of a
crawler fleet: a `RowStore` through psycopg 3 (the `postgres` extra).

Each named jar is a row of `gco_jars`, its cookies rows of `gco_cookies`.
Every transaction that writes a jar takes the jar's lock
(`pg_advisory_xact_lock` on its id) and the next number of its counter; each
cookie row keeps the number of its last change, and removals are kept with
theirs (the last 10,000 changes or 24 hours, whichever is more).  A jar
calling `begin()` before it applies a call takes the lock and reads what
changed since it last looked, inside the transaction that `apply()` then
commits: the calls that change a jar are applied one after another, as a
single jar would apply them, whichever worker makes them.  A call that only
reads looks at the counter (one round trip) and reads what changed, if
anything did.

Statements bind their values.  A password of the url never appears in a
message or a repr.
"""

import functools
import select
import time
import urllib.parse

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.stores import StoreError, warn_skipped

SCHEMA_VERSION = 1
KEEP_CHANGES = 10000
KEEP_TIME = 24 * 3600 * 1000000
PRUNE_EVERY = 256
TOUCH_INTERVAL = 60 * 1000000
DEFAULT_NAME = "default"
# The transaction-level advisory lock that makes the schema once.
_SCHEMA_LOCK = 0x67636F6A

_COLUMNS = tuple({"raw_name": "name", "raw_value": "value"}.get(field, field)
                 for field in _rows.COLUMN_FIELDS)
_KEY = tuple({"raw_name": "name"}.get(field, field) for field in _rows.KEY_FIELDS)
_TYPES = {"name": "bytea", "value": "bytea", "domain": "text", "host_only": "boolean",
          "path": "bytea", "expires": "bigint", "creation": "bigint", "last_access": "bigint",
          "secure": "boolean", "http_only": "boolean", "same_site": "smallint",
          "partitioned": "boolean", "partition_key": "text", "priority": "smallint",
          "source_scheme": "smallint", "source_port": "integer",
          "cross_site_ancestor": "boolean"}
_SCHEMA = [
    "CREATE TABLE gco_schema (version integer NOT NULL)",
    "CREATE TABLE gco_jars (id bigserial PRIMARY KEY, name text NOT NULL UNIQUE, "
    "counter bigint NOT NULL DEFAULT 0, pruned bigint NOT NULL DEFAULT 0, clock bigint)",
    "CREATE TABLE gco_cookies (jar bigint NOT NULL REFERENCES gco_jars (id), "
    + ", ".join(f"{c} {_TYPES[c]}{'' if c == 'expires' else ' NOT NULL'}" for c in _COLUMNS)
    + f", change bigint NOT NULL, PRIMARY KEY (jar, {', '.join(_KEY)}))",
    "CREATE INDEX gco_cookies_by_change ON gco_cookies (jar, change)",
    "CREATE TABLE gco_removals (jar bigint NOT NULL, change bigint NOT NULL, "
    "at bigint NOT NULL, " + ", ".join(f"{c} {_TYPES[c]} NOT NULL" for c in _KEY) + ")",
    "CREATE INDEX gco_removals_by_change ON gco_removals (jar, change)",
    f"INSERT INTO gco_schema VALUES ({SCHEMA_VERSION})",
]
_TABLES = ("gco_schema", "gco_jars", "gco_cookies", "gco_removals")
_PERSISTENT = _rows.FIELDS.index("persistent")
_KEY_INDEXES = _rows.KEY_INDEXES
_OIDS = {"bytea": 17, "text": 25, "boolean": 16, "bigint": 20, "integer": 23, "smallint": 21}
_N = len(_KEY)
_KEY_WHERE = " AND ".join(f"{c} = ${i + 2}" for i, c in enumerate(_KEY))  # $1: the jar
_KEY_TYPES = [_TYPES[c] for c in _KEY]
# The statements of the usual calls, prepared on each connection: name, text,
# the types of the parameters.  A jar's writes and its lock go through
# libpq's pipeline, a few statements in one round trip.
_PREPARED = [
    (b"gco_head", "SELECT counter, pruned, clock FROM gco_jars WHERE id = $1", ["bigint"]),
    (b"gco_lock", "SELECT pg_advisory_xact_lock($1)", ["bigint"]),
    (b"gco_counter", "UPDATE gco_jars SET counter = $1, clock = greatest(clock, $2) "
     "WHERE id = $3", ["bigint"] * 3),
    (b"gco_set", f"INSERT INTO gco_cookies (jar, {', '.join(_COLUMNS)}, change) VALUES ($1, "
     + ", ".join(f"${i + 2}" for i in range(len(_COLUMNS))) + f", ${len(_COLUMNS) + 2}) "
     f"ON CONFLICT (jar, {', '.join(_KEY)}) DO UPDATE SET "
     + ", ".join(f"{c} = excluded.{c}" for c in (*_COLUMNS, "change") if c not in _KEY),
     ["bigint", *(_TYPES[c] for c in _COLUMNS), "bigint"]),
    (b"gco_delete", f"WITH gone AS (DELETE FROM gco_cookies WHERE jar = $1 AND {_KEY_WHERE} "
     f"RETURNING {', '.join(_KEY)}) INSERT INTO gco_removals (jar, change, at, "
     f"{', '.join(_KEY)}) SELECT $1, ${_N + 2}, ${_N + 3}, {', '.join(_KEY)} FROM gone",
     ["bigint", *_KEY_TYPES, "bigint", "bigint"]),
    (b"gco_touch", f"UPDATE gco_cookies SET last_access = ${_N + 2}, change = ${_N + 3} WHERE "
     f"jar = $1 AND {_KEY_WHERE} AND last_access <= ${_N + 4}",
     ["bigint", *_KEY_TYPES, "bigint", "bigint", "bigint"]),
]
_BEGIN, _COMMIT = (None, b"BEGIN"), (None, b"COMMIT")


def _wire(values):
    """Parameters as libpq takes them: bytes in binary, the rest as text."""
    params, formats = [], []
    for value in values:
        if value is None:
            params.append(None)
            formats.append(0)
        elif type(value) is bytes:
            params.append(value)
            formats.append(1)
        elif type(value) is bool:
            params.append(b"t" if value else b"f")
            formats.append(0)
        elif type(value) is int:
            params.append(b"%d" % value)
            formats.append(0)
        else:
            params.append(value.encode())
            formats.append(0)
    return params, formats


def _shown(url):
    """The url without its password (and without one in its query)."""
    parts = urllib.parse.urlsplit(url)
    netloc = parts.netloc
    if "@" in netloc:
        user, _, host = netloc.rpartition("@")
        netloc = f"{user.partition(':')[0]}@{host}"
    query = urllib.parse.urlencode([(k, "***" if k.lower() == "password" else v)
                                    for k, v in urllib.parse.parse_qsl(parts.query)])
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, ""))


def _now():
    return time.time_ns() // 1000


class PostgresStore:
    """The jar named `name` on the PostgreSQL server of `url`.

    The schema is made on first use (versioned; tables of another program or
    version are refused and left untouched).  `timeout` bounds, in seconds,
    the wait for the server and for the jar's lock held by another worker;
    then StoreError (an OSError naming the server).  Session cookies are
    written only with `keep_session_cookies=True`.  After the server went
    away, the call that met it raises and the next one connects again.
    """

    read_only = False

    def __init__(self, url: str, *, name: str = DEFAULT_NAME, timeout: float = 5.0,
                 keep_session_cookies: bool = False) -> None:
        if type(url) is not str:
            raise TypeError(f"url is a str, not {type(url).__name__}")
        if type(name) is not str:
            raise TypeError(f"name is a str, not {type(name).__name__}")
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            raise ValueError(f"timeout is a number of seconds > 0, not {timeout!r}")
        self._url = url
        self.server = _shown(url)
        self.name = name
        self.timeout = float(timeout)
        self.keep_session_cookies = bool(keep_session_cookies)
        self.last_change = None  # the number of the last change this store wrote
        self._db = None
        self._jar_id = None
        self._mark = None
        self._in_transaction = False
        self._clock = None  # the jar's clock as last read
        # Keys of changes apply_unless_changed() did not write: the next
        # read gives their rows as they are on the server.
        self._unwritten = []
        try:
            import psycopg
        except ImportError:
            raise ImportError("a PostgreSQL store needs psycopg 3: pip install "
                              "'glimmering-copper-otter[postgres]'") from None
        self._psycopg = psycopg
        # The counter's read through libpq, on the current connection; the
        # mark as the server writes it.
        self._quick = None
        self._mark_text = None
        self._locked = None  # the counter when begin() took the lock
        self._connection()

    # -- the connection --------------------------------------------------------

    def _fail(self, message):
        return StoreError(self.server, message)

    def _error(self, error):
        """A StoreError for a psycopg error (its message names no password)."""
        errors = self._psycopg.errors
        if isinstance(error, (errors.LockNotAvailable, errors.QueryCanceled)):
            return self._fail(f"the jar {self.name!r} is locked by another worker (waited "
                              f"{self.timeout:g} s)")
        if isinstance(error, self._psycopg.OperationalError):
            self._drop()
            lines = str(error).strip().splitlines()
            text = lines[0] if lines else type(error).__name__
            return self._fail(f"the server cannot be reached or went away ({text}); the next "
                              "call connects again")
        return self._fail(f"{type(error).__name__}: {str(error).strip()}")

    def _drop(self):
        db, self._db, self._quick = self._db, None, None
        self._in_transaction = False
        if db is not None:
            try:
                db.close()
            except Exception:  # noqa: BLE001  already gone
                pass

    def _connection(self):
        if self._db is not None and not self._db.closed:
            return self._db
        psycopg = self._psycopg
        try:
            # psycopg's own statement cache is off: once it holds a statement,
            # it answers a ROLLBACK with DEALLOCATE ALL, which would take the
            # statements prepared below with it.
            db = psycopg.connect(self._url, autocommit=True, prepare_threshold=None,
                                 connect_timeout=max(1, round(self.timeout)))
        except psycopg.Error as error:
            text = str(error).replace(self._url, self.server).strip().splitlines()
            raise self._fail("cannot connect to the server"
                             + (f" ({text[0]})" if text else "")) from None
        try:
            db.execute(f"SET lock_timeout = {int(self.timeout * 1000)}")
            self._set_up(db)
            for name, text, types in _PREPARED:
                prepared = db.pgconn.prepare(name, text.encode(), [_OIDS[t] for t in types])
                if prepared.status != psycopg.pq.ExecStatus.COMMAND_OK:
                    raise psycopg.errors.error_from_result(prepared)
            self._quick = functools.partial(db.pgconn.exec_prepared, b"gco_head",
                                            [b"%d" % self._jar_id])
        except StoreError:
            db.close()
            raise
        except psycopg.Error as error:
            db.close()
            raise self._error(error) from None
        self._db = db
        return db

    def _set_up(self, db):
        """Checks the schema (made on first use, under a lock, so that workers
        starting at once make it once) and finds the jar's id."""
        with db.transaction():
            db.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
            found = {name for (name,) in db.execute(
                "SELECT table_name FROM information_schema.tables WHERE table_schema = "
                "current_schema() AND table_name = ANY(%s)", (list(_TABLES),))}
            if not found:
                for statement in _SCHEMA:
                    db.execute(statement)
            elif "gco_schema" not in found:
                raise self._fail("tables of another program (gco_... without gco_schema); "
                                 "left untouched")
            else:
                version = db.execute("SELECT version FROM gco_schema").fetchone()
                if version is None or version[0] != SCHEMA_VERSION:
                    raise self._fail(f"cookie store of schema version "
                                     f"{None if version is None else version[0]}; this version "
                                     f"reads version {SCHEMA_VERSION} (left untouched)")
                if found != set(_TABLES):
                    raise self._fail("damaged cookie store: tables missing")
            db.execute("INSERT INTO gco_jars (name) VALUES (%s) ON CONFLICT (name) DO NOTHING",
                       (self.name,))
            self._jar_id = db.execute("SELECT id FROM gco_jars WHERE name = %s",
                                      (self.name,)).fetchone()[0]

    # -- reading ---------------------------------------------------------------

    def _read(self, db, whole, head=None):
        """(rows, removed) as refresh() gives them, or None.  head: the
        counter, pruned and clock already read in this transaction; else
        they are read first (a change committed meanwhile is read again,
        never missed)."""
        jar = self._jar_id
        if head is None:
            head = db.execute("SELECT counter, pruned, clock FROM gco_jars WHERE id = %s",
                              (jar,)).fetchone()
        counter, pruned, self._clock = head
        unwritten, self._unwritten = self._unwritten, []
        if not whole and self._mark is not None and counter == self._mark and not unwritten:
            return None
        columns = ", ".join(_COLUMNS)
        if whole or self._mark is None or self._mark < pruned:
            records = db.execute(f"SELECT {columns} FROM gco_cookies WHERE jar = %s",
                                 (jar,)).fetchall()
            removed = None
        else:
            records = db.execute(f"SELECT {columns} FROM gco_cookies WHERE jar = %s AND "
                                 "change > %s", (jar, self._mark)).fetchall()
            removed = db.execute(f"SELECT {', '.join(_KEY)} FROM gco_removals WHERE jar = %s "
                                 "AND change > %s", (jar, self._mark)).fetchall()
            match = " AND ".join(f"{c} = %s" for c in _KEY)
            for key in unwritten:
                found = db.execute(f"SELECT {columns} FROM gco_cookies WHERE jar = %s AND "
                                   f"{match}", (jar, *key)).fetchall()
                records += found
                if not found:
                    removed.append(key)
        self._mark = counter
        self._mark_text = b"%d" % counter
        rows = _rows.rows_of_columns(records)
        refused = _rows.check_rows(rows)
        if refused:
            warn_skipped(self.server, [(f"row {index}", reason) for index, reason in refused], 5)
            bad = {index for index, _ in refused}
            rows = [row for index, row in enumerate(rows) if index not in bad]
        return rows, removed

    def _reading(self, whole):
        db = self._connection()
        try:
            return self._read(db, whole)
        except self._psycopg.Error as error:
            raise self._error(error) from None

    def load(self) -> list[tuple]:
        """Every cookie of the jar, as rows."""
        self._rollback_quietly()
        return self._reading(True)[0]

    def refresh(self) -> tuple[list[tuple], list[tuple] | None] | None:
        """None when no worker changed the jar since this one last looked
        (one round trip); else the rows written and the keys removed since
        then, or (all rows, None) when this one must read the jar whole."""
        if self._quick is not None and not self._unwritten and not self._in_transaction:
            # The usual case, one prepared statement through libpq: nothing
            # changed.  Anything else takes the long way, errors included.
            try:
                if self._quick().get_value(0, 0) == self._mark_text:
                    return None
            except Exception:  # noqa: BLE001  read again below, where errors are told
                pass
        return self._reading(False)

    # -- writing ---------------------------------------------------------------

    def _pipeline(self, db, steps):
        """Runs the steps, (prepared statement, values) or (None, plain
        text), in one round trip; their results.  The first that failed
        raises its error (the transaction is then aborted)."""
        psycopg = self._psycopg
        pq = psycopg.pq
        pg = db.pgconn
        pg.enter_pipeline_mode()
        results, failed = [], None
        try:
            for name, values in steps:
                if name is None:
                    pg.send_query_params(values, None)
                else:
                    params, formats = _wire(values)
                    pg.send_query_prepared(name, params, param_formats=formats)
            pg.pipeline_sync()
            # Results read meanwhile: the server does not wait on a full
            # buffer while this one sends a long transaction.
            while pg.flush():
                readable, _, _ = select.select([pg.socket], [pg.socket], [], self.timeout)
                if readable:
                    pg.consume_input()
            for _ in steps:
                result = pg.get_result()
                if result is None:
                    break
                results.append(result)
                if failed is None and result.status not in (pq.ExecStatus.TUPLES_OK,
                                                            pq.ExecStatus.COMMAND_OK):
                    failed = result
                while pg.get_result() is not None:
                    pass
            else:
                result = pg.get_result()  # the sync
                if result is None or result.status != pq.ExecStatus.PIPELINE_SYNC:
                    failed = failed or result
            pg.exit_pipeline_mode()
        except psycopg.Error:
            self._drop()
            raise psycopg.OperationalError("the connection was lost") from None
        if pg.status != pq.ConnStatus.OK or len(results) < len(steps):
            self._drop()
            raise psycopg.OperationalError(
                (failed.error_message if failed is not None else pg.error_message)
                .decode(errors="replace").strip() or "the connection was lost")
        if failed is not None:
            raise psycopg.errors.error_from_result(failed)
        return results

    def _lock(self, db):
        """Opens a transaction and takes the jar's lock: its counter, pruned
        and clock then, in one round trip."""
        self._in_transaction = True
        # The head is read by a statement of its own: it sees what was
        # committed until the lock was taken.
        head = self._pipeline(db, [_BEGIN, (b"gco_lock", (self._jar_id,)),
                                   (b"gco_head", (self._jar_id,))])[2]
        return tuple(None if head.get_value(0, i) is None else int(head.get_value(0, i))
                     for i in range(3))

    def begin(self, whole: bool = False
              ) -> tuple[list[tuple], list[tuple] | None, int | None] | None:
        """Takes the jar's lock in a new transaction and gives what changed
        since this store last looked (None, or rows and removed keys as
        refresh() gives them, with the jar's clock: the latest creation time
        a worker handed out); commit() ends the transaction, rollback()
        abandons it."""
        self._rollback_quietly()
        db = self._connection()
        try:
            got = self._read(db, whole, self._lock(db))
        except self._psycopg.Error as error:
            self._rollback_quietly()
            raise self._error(error) from None
        except BaseException:
            self._rollback_quietly()
            raise
        self._locked = self._mark
        return None if got is None else (*got, self._clock)

    def rollback(self) -> None:
        """Abandons the transaction begin() opened."""
        self._rollback_quietly()

    def _rollback_quietly(self):
        if not self._in_transaction:
            return
        self._in_transaction = False
        try:
            self._db.execute("ROLLBACK")
        except Exception:  # noqa: BLE001  a connection lost: the server rolled back
            self._drop()

    def _writes(self, changes, number, now):
        """The statements of the changes, checked (a malformed one raises)."""
        jar = self._jar_id
        count = len(changes)
        for index, change in enumerate(changes):
            kind = change[0] if type(change) is tuple and change else None
            if kind == "set" and len(change) == 2:
                reason = _rows.refusal(change[1])
                if reason is not None:
                    raise ValueError(f"change {index}: not a row: {reason}")
                row = change[1]
                if row[_PERSISTENT] or self.keep_session_cookies:
                    yield b"gco_set", (jar, *(row[i] for i in range(len(row)) if i != _PERSISTENT),
                                       number)
                    continue
                key = tuple(row[i] for i in _KEY_INDEXES)
            elif kind in ("delete", "touch") and len(change) == (2 if kind == "delete" else 3):
                key = change[1]
                if type(key) is not tuple or len(key) != _N:
                    raise TypeError(f"change {index}: a key is a tuple of {_N} items")
                if kind == "touch":
                    when = change[2]
                    if type(when) is not int or not \
                            _rows.EARLIEST_TIME <= when <= _rows.LATEST_TIME:
                        raise TypeError(f"change {index}: a last-access time is an int of "
                                        "microseconds")
                    yield b"gco_touch", (jar, *key, when, number, when - TOUCH_INTERVAL)
                    continue
                # A replaced cookie: the row that follows takes its place.
                following = changes[index + 1] if index + 1 < count else None
                if (type(following) is tuple and len(following) == 2 and following[0] == "set"
                        and _rows.refusal(following[1]) is None
                        and (following[1][_PERSISTENT] or self.keep_session_cookies)
                        and _rows.key(following[1]) == key):
                    continue
            else:
                raise ValueError(f"change {index}: not a change")
            yield b"gco_delete", (jar, *key, number, now)

    def apply(self, changes: list[tuple]) -> None:
        """Writes the changes in one transaction of its own, in order, with
        the next number of the jar's counter (under the jar's lock too).
        When this raises, nothing was written."""
        self._rollback_quietly()
        self._apply(changes, False)

    def commit(self, changes: list[tuple], clock: int | None = None) -> None:
        """Writes the changes and the jar's clock (when it moved) in the
        transaction begin() opened, and commits it.  When this raises,
        nothing was written."""
        if not self._in_transaction:
            raise self._fail("commit() without begin()")
        self._apply(changes, False, clock)

    def apply_unless_changed(self, changes: list[tuple]) -> None:
        """As apply(), when no other worker changed the jar since this store
        last read it: changes a read decided (a last access, an expired
        cookie's removal) on what is no longer the jar.  Else nothing is
        written, and the next read gives the rows of their keys."""
        self._apply(changes, True)

    def _apply(self, changes, unless_changed, clock=None):
        began = self._in_transaction
        if not changes and not began:
            return
        if clock is not None and (type(clock) is not int or not
                                  _rows.EARLIEST_TIME <= clock <= _rows.LATEST_TIME):
            raise TypeError("a clock is None or an int of microseconds")
        now = _now()
        for _ in self._writes(changes, 0, now):  # raises for a malformed change
            pass
        moved = clock is not None and (self._clock is None or clock > self._clock)
        db = self._connection() if not began else self._db
        try:
            if began:
                counter = self._locked
            else:
                counter = self._lock(db)[0]
                if unless_changed and counter != self._mark:
                    self._rollback_quietly()
                    self._unwritten += [_rows.key(change[1]) if change[0] == "set" else change[1]
                                        for change in changes]
                    return
            # Under the lock the counter is the jar's: this change is the next.
            number = counter + 1
            steps = []
            if changes or moved:
                steps.append((b"gco_counter", (number, clock, self._jar_id)))
                steps += self._writes(changes, number, now)
            prune = (changes or moved) and number % PRUNE_EVERY == 0
            self._pipeline(db, steps if prune else [*steps, _COMMIT])
            if prune:
                self._prune(db, number, now)
                db.execute("COMMIT")
            self._in_transaction = False
        except BaseException as error:
            self._rollback_quietly()
            if unless_changed:  # the jar keeps them: the next read gives their rows
                self._unwritten += [_rows.key(change[1]) if change[0] == "set" else change[1]
                                    for change in changes]
            if isinstance(error, self._psycopg.Error):
                raise self._error(error) from None
            raise
        if changes or moved:
            self.last_change = number
            if moved:
                self._clock = clock
            if self._mark is not None and (began or number == self._mark + 1):
                self._mark = number  # what this worker wrote, under the lock
                self._mark_text = b"%d" % number

    def _prune(self, db, number, now):
        old = "jar = %s AND change <= %s AND at < %s"
        values = (self._jar_id, number - KEEP_CHANGES, now - KEEP_TIME)
        db.execute(f"UPDATE gco_jars SET pruned = greatest(pruned, coalesce((SELECT max(change) "
                   f"FROM gco_removals WHERE {old}), 0)) WHERE id = %s", (*values, self._jar_id))
        db.execute(f"DELETE FROM gco_removals WHERE {old}", values)

    def for_jar(self, name: str) -> "PostgresStore":
        """A store of the jar named name on the same server (a connection of
        its own)."""
        return PostgresStore(self._url, name=name, timeout=self.timeout,
                             keep_session_cookies=self.keep_session_cookies)

    def jar_names(self) -> list[str]:
        """The names of the jars on the server that hold cookies."""
        try:
            return [name for (name,) in self._connection().execute(
                "SELECT name FROM gco_jars WHERE id IN (SELECT DISTINCT jar FROM gco_cookies) "
                "ORDER BY name").fetchall()]
        except self._psycopg.Error as error:
            raise self._error(error) from None

    def close(self) -> None:
        self._rollback_quietly()
        self._drop()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        if getattr(self, "_db", None) is not None:
            self._drop()

    def __repr__(self):
        return f"PostgresStore({self.server!r}, name={self.name!r})"


__all__ = ["PostgresStore", "SCHEMA_VERSION"]
