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
message or a repr (stores._secrets).  The store speaks to libpq in
non-blocking mode and waits on its socket itself: other threads run while it
waits, a signal gets through, and each wait ends at the timeout.  A COMMIT
whose answer was lost is settled by asking the server, on a new connection,
about its transaction id.
"""

import functools
import math
import select
import sys
import threading
import time

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.stores import StoreError, warn_skipped
from glimmering_copper_otter.stores._secrets import Secrets

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
_PREPARE = object()  # a step that prepares a statement


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


def _decode(result, binary):
    """The rows of a result as tuples of Python values."""
    columns = []
    for column in range(result.nfields):
        oid = result.ftype(column)
        if oid == 17:
            columns.append(None if binary else lambda v: bytes.fromhex(v[2:].decode()))
        elif oid == 16:
            columns.append((lambda v: v == b"\x01") if binary else (lambda v: v == b"t"))
        elif oid in (20, 21, 23):
            columns.append((lambda v: int.from_bytes(v, "big", signed=True)) if binary else int)
        else:
            columns.append(bytes.decode)
    get = result.get_value
    return [tuple(value if value is None or decode is None else decode(value)
                  for value, decode in ((get(row, column), decode)
                                        for column, decode in enumerate(columns)))
            for row in range(result.ntuples)]


class _Rows:
    __slots__ = ("rows",)

    def __init__(self, rows):
        self.rows = rows

    def fetchall(self):
        return self.rows

    def fetchone(self):
        return self.rows[0] if self.rows else None

    def __iter__(self):
        return iter(self.rows)


class _Link:
    """A connection to the server through libpq in non-blocking mode: every
    wait is this module's own select() on the socket, which lets other
    threads run, gives way to a signal (Ctrl-C), and ends at a deadline
    (then the connection is closed: ConnectionTimeout)."""

    def __init__(self, psycopg, conninfo, timeout):
        self.psycopg = psycopg
        self.timeout = timeout
        pq = psycopg.pq
        deadline = time.monotonic() + timeout
        pg = pq.PGconn.connect_start(conninfo.encode())
        self.pg = pg
        try:
            if pg.status == pq.ConnStatus.BAD:
                raise psycopg.OperationalError(pg.error_message.decode(errors="replace"))
            while True:
                polled = pg.connect_poll()
                if polled == pq.PollingStatus.OK:
                    break
                if polled == pq.PollingStatus.FAILED:
                    raise psycopg.OperationalError(pg.error_message.decode(errors="replace"))
                self._wait(polled == pq.PollingStatus.WRITING, (deadline,))
            pg.nonblocking = 1
        except BaseException:
            self.close()
            raise
        self.pid = pg.backend_pid

    @property
    def closed(self):
        return self.pg is None

    def close(self):
        pg, self.pg = self.pg, None
        if pg is not None:
            pg.finish()

    def _wait(self, writing, deadline):
        """Waits for the socket, until the deadline: (a time,), or a number
        of seconds (the longest the server may stay silent)."""
        left = deadline if type(deadline) is not tuple else deadline[0] - time.monotonic()
        if left <= 0:
            raise self.psycopg.errors.ConnectionTimeout(
                f"no answer from the server in {self.timeout:g} s")
        socket = self.pg.socket
        readable, writable, _ = select.select([socket], [socket] if writing else [], [], left)
        if not (readable or writable):
            raise self.psycopg.errors.ConnectionTimeout(
                f"no answer from the server in {self.timeout:g} s")
        return readable

    def run(self, steps, wait=1.0):
        """Runs the steps, (a prepared statement's name, values) or (None,
        text) or (None, (text, values)), in one round trip; their results
        (text format).  The server may stay silent for wait times the
        timeout (a long transaction takes as long as it goes on moving).  The first that
        failed raises its error (the transaction is then aborted); a
        connection lost or silent raises OperationalError, and is closed."""
        psycopg = self.psycopg
        pq = psycopg.pq
        pg = self.pg
        deadline = self.timeout * wait
        pipelined = len(steps) > 1
        results, failed = [], None
        try:
            if pipelined:
                pg.enter_pipeline_mode()
            for name, values in steps:
                if name is _PREPARE:
                    pg.send_prepare(*values)
                elif name is not None:
                    params, formats = _wire(values)
                    pg.send_query_prepared(name, params, param_formats=formats)
                elif type(values) is tuple:
                    params, formats = _wire(values[1])
                    pg.send_query_params(values[0].encode(), params, param_formats=formats)
                else:
                    pg.send_query_params(values, None)
            if pipelined:
                pg.pipeline_sync()
            while pg.flush():
                # Results read meanwhile: the server does not wait on a full
                # buffer while this one sends a long transaction.
                if self._wait(True, deadline):
                    pg.consume_input()
            while True:
                while pg.is_busy():
                    self._wait(False, deadline)
                    pg.consume_input()
                result = pg.get_result()
                if result is None:
                    if not pipelined or pg.status != pq.ConnStatus.OK:
                        break
                    continue
                if result.status == pq.ExecStatus.PIPELINE_SYNC:
                    break
                results.append(result)
                if failed is None and result.status not in (pq.ExecStatus.TUPLES_OK,
                                                            pq.ExecStatus.COMMAND_OK):
                    failed = result
            if pipelined:
                pg.exit_pipeline_mode()
        except psycopg.errors.ConnectionTimeout:
            self.close()
            raise
        except psycopg.Error:
            self.close()
            raise psycopg.OperationalError("the connection was lost") from None
        except BaseException:  # Ctrl-C: the server rolls back what is open
            self.close()
            raise
        if pg.status != pq.ConnStatus.OK or len(results) < len(steps):
            message = (failed.error_message if failed is not None else pg.error_message)
            self.close()
            raise psycopg.OperationalError(message.decode(errors="replace").strip()
                                           or "the connection was lost")
        if failed is not None:
            raise psycopg.errors.error_from_result(failed)
        return results

    def execute(self, text, values=(), wait=1.0):
        """One statement ("%s" for each value): its rows."""
        parts = text.split("%s")
        text = "".join(part + (f"${i + 1}" if i < len(parts) - 1 else "")
                       for i, part in enumerate(parts))
        result = self.run([(None, (text, values))], wait)[0]
        return _Rows(_decode(result, False))


class _Shared:
    """The connection of the stores for_jar() made from one store: the
    current link, and the lock that gives it to one store at a time (held
    from begin() to commit() or rollback())."""

    __slots__ = ("link", "lock", "users")

    def __init__(self):
        self.link = None
        self.lock = threading.RLock()
        self.users = 0


def _guarded(method):
    @functools.wraps(method)
    def guarded(self, *args, **kwargs):
        with self._shared.lock:
            return method(self, *args, **kwargs)
    return guarded


def _timeout(timeout):
    """A timeout checked: a finite number of seconds, at least a millisecond."""
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout is a number of seconds, not {type(timeout).__name__}")
    if not (math.isfinite(timeout) and timeout >= 0.001):
        raise ValueError(f"timeout is a finite number of seconds >= 0.001, not {timeout!r}")
    return float(timeout)


def _now():
    return time.time_ns() // 1000


# A thread whose jar calls apply to the jar's copy only, written behind by
# another (glimmering_copper_otter._behind): its stores take no lock and
# write nothing.
LOCAL_ONLY = threading.local()


def _on_event_loop():
    """Whether an asyncio event loop runs in this thread."""
    events = sys.modules.get("asyncio.events")
    return events is not None and events._get_running_loop() is not None


def _privileges(error):
    """What a role lacking privileges must be granted, with the server's
    words."""
    lines = str(error).strip().splitlines()
    said = lines[0] if lines else "permission denied"
    return (f"{said}: a worker's role needs, in the jar's schema, USAGE (and CREATE until "
            "the first worker made the tables), then SELECT, INSERT, UPDATE, DELETE on "
            f"{', '.join(_TABLES)} and USAGE on the sequence gco_jars_id_seq; as the "
            "schema's owner: GRANT USAGE, CREATE ON SCHEMA <schema> TO <role>; or, once the "
            "tables exist: GRANT USAGE ON SCHEMA <schema> TO <role>; GRANT SELECT, INSERT, "
            "UPDATE, DELETE ON ALL TABLES IN SCHEMA <schema> TO <role>; GRANT USAGE ON ALL "
            "SEQUENCES IN SCHEMA <schema> TO <role>")


class PostgresStore:
    """The jar named `name` on the PostgreSQL server of `url`.

    The schema is made on first use (versioned; tables of another program or
    version are refused and left untouched).  `timeout` (seconds, finite,
    at least 0.001) bounds every wait: connecting, the jar's lock held by
    another worker, and the server's silence in each round trip (twice it
    for the one that waits for the lock); then StoreError (an OSError naming
    the server).  Session cookies are kept (a named jar is one browsing
    session for all its workers) unless `keep_session_cookies=False`.
    After the server went away, the call that met it raises having changed
    nothing (or returns, when its change committed all the same) and the
    next one connects again.  Stores made by for_jar() share this one's
    connection.
    """

    read_only = False

    def __init__(self, url: str, *, name: str = DEFAULT_NAME, timeout: float = 5.0,
                 keep_session_cookies: bool = True, reads: str = "local") -> None:
        self._init(url, name, timeout, keep_session_cookies, _Shared(), reads)

    def _init(self, url, name, timeout, keep_session_cookies, shared, reads="local"):
        self._shared = None
        if type(url) is not str:
            raise TypeError(f"url is a str, not {type(url).__name__}")
        if type(name) is not str:
            raise TypeError(f"name is a str, not {type(name).__name__}")
        if reads not in ("local", "strict"):
            raise ValueError(f'reads is "local" or "strict", not {reads!r}')
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"name holds a lone surrogate: {ascii(name)}") from None
        self.timeout = _timeout(timeout)
        self._url = url
        self._secrets = Secrets(url)
        self.server = self._secrets.shown
        self.name = name
        self.keep_session_cookies = bool(keep_session_cookies)
        self.last_change = None  # the number of the last change this store wrote
        self._db = None
        self._jar_id = None
        self._closed = True  # not counted among the users of the connection
        self._mark = None
        self._in_transaction = False
        self._clock = None  # the jar's clock as last read
        self._clock_given = None  # as begin() last gave it
        # Keys of changes apply_unless_changed() did not write: the next
        # read gives their rows as they are on the server.
        self._unwritten = []
        try:
            import psycopg
        except ImportError:
            raise ImportError("a PostgreSQL store needs psycopg 3, the postgres extra: pip "
                              "install 'psycopg[binary]>=3.2' (or '.[postgres]' in a "
                              "checkout)") from None
        self._psycopg = psycopg
        # The counter's read through libpq, on the current connection; the
        # mark as the server writes it.
        self._quick = None
        self._mark_text = None
        self._locked = None  # the counter when begin() took the lock
        self.reads = reads
        self._local_only = False  # begin() took no lock: commit() writes nothing
        self.writer = None  # the writer behind (glimmering_copper_otter._behind)
        self._channel = self._follower = None
        self._epoch = -1  # the follower's epoch at the last read
        self._xid = None  # the id of the transaction that holds the lock
        with shared.lock:
            self._shared = shared
            try:
                self._connection()
                self._follow()
            except BaseException:
                self._release()
                raise

    # -- the connection --------------------------------------------------------

    def _fail(self, message):
        return StoreError(self.server, self._secrets.scrub(message))

    def _error(self, error):
        """A StoreError for a psycopg error (its message names no password)."""
        errors = self._psycopg.errors
        if isinstance(error, errors.LockNotAvailable):
            return self._fail(f"the jar {self.name!r} is locked by another worker (waited "
                              f"{self.timeout:g} s)")
        if isinstance(error, (errors.InsufficientPrivilege, errors.InvalidSchemaName)):
            return self._fail(_privileges(error))
        if isinstance(error, errors.QueryCanceled):
            return self._fail(f"the server cancelled a statement ({self._secrets.message(error)}"
                              f"); nothing was written")
        if isinstance(error, errors.ConnectionTimeout):
            self._drop()
            return self._fail(f"the server did not answer in {self.timeout:g} s (a stalled "
                              "server or network); the next call connects again")
        if isinstance(error, self._psycopg.OperationalError):
            self._drop()
            text = self._secrets.message(error)
            return self._fail(f"the server cannot be reached or went away ({text}); the next "
                              "call connects again")
        return self._fail(f"{type(error).__name__}: {self._secrets.message(error)}")

    def _leave(self):
        """Ends this store's hold of the connection, taken by _lock()."""
        if self._in_transaction:
            self._in_transaction = False
            self._shared.lock.release()

    def _drop(self):
        """Closes the connection (lost, or in an unknown state): every store
        sharing it connects again on its next call."""
        db, self._db, self._quick = self._db, None, None
        self._leave()
        if db is not None:
            try:
                db.close()
            except Exception:  # noqa: BLE001  already gone
                pass

    def _connection(self):
        link = self._db
        if link is not None and not link.closed:
            return link
        if self._closed:  # made, or used again after close()
            self._closed = False
            self._shared.users += 1
        link = self._shared.link
        if link is None or link.closed:
            self._shared.link = link = self._open()
        elif self._jar_id is None:
            try:
                self._find_jar(link)
            except self._psycopg.Error as error:
                raise self._error(error) from None
        self._db = link
        self._quick = functools.partial(link.run, [(b"gco_head", (self._jar_id,))])
        return link

    def _open(self):
        """A new connection, set up: the schema checked, the statements
        prepared."""
        psycopg = self._psycopg
        try:
            db = _Link(psycopg, self._url, self.timeout)
        except psycopg.Error as error:
            raise self._fail(f"cannot connect to the server ({self._secrets.message(error)})"
                             ) from None
        try:
            # The server's own bounds: a lock waited for the timeout, a
            # statement (a lock wait and its round trip) twice that.
            milliseconds = min(2 ** 30, max(1, round(self.timeout * 1000)))
            db.execute("SELECT set_config('lock_timeout', %s, false), "
                       "set_config('statement_timeout', %s, false)",
                       (str(milliseconds), str(2 * milliseconds)))
            self._set_up(db)
            db.run([(_PREPARE, (name, text.encode(), [_OIDS[t] for t in types]))
                    for name, text, types in _PREPARED])
        except StoreError:
            db.close()
            raise
        except psycopg.Error as error:
            db.close()
            raise self._error(error) from None
        return db

    def _set_up(self, db):
        """Checks the schema (made on first use, under a lock, so that workers
        starting at once make it once) and finds the jar's id."""
        db.execute("BEGIN")
        try:
            db.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,), 2.0)
            found = {name for (name,) in db.execute(
                "SELECT table_name::text FROM information_schema.tables WHERE table_schema = "
                "current_schema() AND table_name = ANY(string_to_array(%s, ','))",
                (",".join(_TABLES),))}
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
            self._find_jar(db)
            db.execute("COMMIT")
        except BaseException:
            if not db.closed:
                db.close()  # the server rolls back
            raise

    def _find_jar(self, db):
        """The jar's id (its row made when missing)."""
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

    @_guarded
    def load(self) -> list[tuple]:
        """Every cookie of the jar, as rows."""
        self._rollback_quietly()
        return self._reading(True)[0]

    def _follow(self):
        """Finds the jar's channel, on which every change is announced, and
        with reads="local" follows it."""
        try:
            oid = self._db.execute("SELECT 'gco_jars'::regclass::oid").fetchone()[0]
        except self._psycopg.Error as error:
            raise self._error(error) from None
        self._channel = b"gco_%d_%d" % (int(oid), int(self._jar_id))
        if self.reads == "local":
            from glimmering_copper_otter.stores import _follow

            self._follower = _follow.follower(self._psycopg, self._url, self._channel,
                                              self._jar_id, self.timeout)

    def sync(self, whole: bool = False) -> None:
        """Makes the next refresh() read the server (whole: every row)."""
        self._epoch = -1
        if whole:
            self._mark = self._mark_text = None

    def adopt(self, number: int) -> None:
        """Change number, written behind for this store's jar, is what its
        copy holds already when it is the next after the mark."""
        if self._mark is not None and number == self._mark + 1:
            self._mark = number
            self._mark_text = b"%d" % number


    def refresh(self) -> tuple[list[tuple], list[tuple] | None] | None:
        """None when no worker changed the jar since this one last looked;
        else the rows written and the keys removed since then, or (all rows,
        None) when this one must read the jar whole.  With reads="local",
        no round trip when nothing was announced, nor while the follower,
        which listened, waits for the server to come back; else one."""
        follower = self._follower
        if follower is None or not follower.alive:
            # A follower that listened and lost the server: the copy is read
            # until it listens again (and catches up then).
            return None if follower is not None and follower.epoch else self._round_trip()
        epoch = follower.epoch
        if (epoch == self._epoch and self._mark is not None and follower.latest <= self._mark
                and not self._unwritten and not self._in_transaction):
            return None
        if self.writer is not None and _on_event_loop():
            # Read by the writer's thread, off the loop: the copy meanwhile.
            self.writer.catch_up()
            return None
        self._epoch = -1  # read again next time unless this read ends well
        got = self._round_trip()
        self._epoch = epoch
        return got

    @_guarded
    def _round_trip(self):
        if self._quick is not None and not self._unwritten and not self._in_transaction:
            # The usual case, one prepared statement through libpq: nothing
            # changed.  Anything else takes the long way, errors included.
            try:
                if self._quick()[0].get_value(0, 0) == self._mark_text:
                    return None
            except Exception:  # noqa: BLE001  read again below, where errors are told
                pass
        return self._reading(False)

    # -- writing ---------------------------------------------------------------

    def _lock(self, db):
        """Opens a transaction and takes the jar's lock: its counter, pruned
        and clock then, in one round trip."""
        self._shared.lock.acquire()
        self._in_transaction = True
        # The head is read by a statement of its own: it sees what was
        # committed until the lock was taken.
        results = db.run([_BEGIN, (b"gco_lock", (self._jar_id,)), (b"gco_head", (self._jar_id,)),
                          (None, b"SELECT pg_current_xact_id()::text")], 2.0)
        head = results[2]
        self._xid = results[3].get_value(0, 0).decode()
        return tuple(None if head.get_value(0, i) is None else int(head.get_value(0, i))
                     for i in range(3))

    @_guarded
    def begin(self, whole: bool = False
              ) -> tuple[list[tuple], list[tuple] | None, int | None] | None:
        """Takes the jar's lock in a new transaction and gives what changed
        since this store last looked (None, or rows and removed keys as
        refresh() gives them, with the jar's clock: the latest creation time
        a worker handed out); commit() ends the transaction, rollback()
        abandons it."""
        self._rollback_quietly()
        if not whole and getattr(LOCAL_ONLY, "on", False):
            self._local_only = True
            return None
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
        if got is None:
            # Nothing changed since this store last read, but a read does not
            # give the jar the clock: a worker may have moved it since the
            # jar last had it (with a cookie removed since).
            if self._clock == self._clock_given:
                return None
            got = ([], [])
        self._clock_given = self._clock
        return (*got, self._clock)

    @_guarded
    def rollback(self) -> None:
        """Abandons the transaction begin() opened."""
        self._local_only = False
        self._rollback_quietly()

    def _rollback_quietly(self):
        if not self._in_transaction:
            return
        self._leave()
        try:
            self._db.execute("ROLLBACK")
        except Exception:  # noqa: BLE001  a connection lost: the server rolled back
            self._drop()

    def _writes(self, changes, now):
        """The statements of the changes, each (name, its parameters before
        the change's number, those after it); the rows checked once, in one
        native call (a malformed change raises)."""
        jar = self._jar_id
        sets = [index for index, change in enumerate(changes)
                if type(change) is tuple and len(change) == 2 and change[0] == "set"]
        refused = {sets[index]: reason
                   for index, reason in _rows.check_rows([changes[i][1] for i in sets])}
        rows, writes = set(sets), []
        for index, change in enumerate(changes):
            kind = change[0] if type(change) is tuple and change else None
            if kind == "set" and len(change) == 2:
                if index in refused:
                    raise ValueError(f"change {index}: not a row: {refused[index]}")
                row = change[1]
                if row[_PERSISTENT] or self.keep_session_cookies:
                    writes.append((b"gco_set", (jar, *(row[i] for i in range(len(row))
                                                       if i != _PERSISTENT)), ()))
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
                    writes.append((b"gco_touch", (jar, *key, when), (when - TOUCH_INTERVAL,)))
                    continue
                # A replaced cookie: the row that follows takes its place.
                following = index + 1
                if (following in rows and following not in refused
                        and (changes[following][1][_PERSISTENT] or self.keep_session_cookies)
                        and _rows.key(changes[following][1]) == key):
                    continue
            else:
                raise ValueError(f"change {index}: not a change")
            writes.append((b"gco_delete", (jar, *key), (now,)))
        return writes

    @_guarded
    def apply(self, changes: list[tuple]) -> None:
        """Writes the changes in one transaction of its own, in order, with
        the next number of the jar's counter (under the jar's lock too).
        When this raises, nothing was written."""
        self._rollback_quietly()
        self._apply(changes, False)

    @_guarded
    def commit(self, changes: list[tuple], clock: int | None = None) -> None:
        """Writes the changes and the jar's clock (when it moved) in the
        transaction begin() opened, and commits it.  When this raises,
        nothing was written."""
        if self._local_only:
            self._local_only = False
            return
        if not self._in_transaction:
            raise self._fail("commit() without begin()")
        self._apply(changes, False, clock)

    @_guarded
    def apply_unless_changed(self, changes: list[tuple]) -> None:
        """As apply(), when no other worker changed the jar since this store
        last read it: changes a read decided (a last access, an expired
        cookie's removal) on what is no longer the jar.  Else nothing is
        written, and the next read gives the rows of their keys."""
        if getattr(LOCAL_ONLY, "on", False) or self.writer is not None and _on_event_loop():
            return  # a last access is not worth a wait on the loop
        self._apply(changes, True)

    def _apply(self, changes, unless_changed, clock=None):
        began = self._in_transaction
        if not changes and not began:
            return
        if clock is not None and (type(clock) is not int or not
                                  _rows.EARLIEST_TIME <= clock <= _rows.LATEST_TIME):
            raise TypeError("a clock is None or an int of microseconds")
        now = _now()
        writes = self._writes(changes, now)  # raises for a malformed change
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
                steps += [(name, (*before, number, *after)) for name, before, after in writes]
                if self._channel is not None:  # the followers' news, sent at commit
                    steps.append((None, b"NOTIFY %s, '%d'" % (self._channel, number)))
            if (changes or moved) and number % PRUNE_EVERY == 0:
                steps += self._prune(number, now)
            xid, pid = self._xid, db.pid
            try:
                db.run([*steps, _COMMIT])
            except self._psycopg.OperationalError:
                # The link was lost or fell silent after the COMMIT was
                # sent: the server may have committed.  The transaction's
                # own id tells.
                if not (changes or moved) or not self._committed(xid, pid):
                    raise
            self._leave()
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
            if self._follower is not None:  # the process's other jars read it next
                self._follower.noticed(number)
            if moved:
                self._clock = self._clock_given = clock
            if self._mark is not None and (began or number == self._mark + 1):
                self._mark = number  # what this worker wrote, under the lock
                self._mark_text = b"%d" % number

    def _prune(self, number, now):
        old = "jar = $1 AND change <= $2 AND at < $3"
        values = (self._jar_id, number - KEEP_CHANGES, now - KEEP_TIME)
        return [(None, ("UPDATE gco_jars SET pruned = greatest(pruned, coalesce((SELECT "
                        f"max(change) FROM gco_removals WHERE {old}), 0)) WHERE id = $1", values)),
                (None, (f"DELETE FROM gco_removals WHERE {old}", values))]

    def _committed(self, xid, pid):
        """Whether the transaction xid, whose COMMIT was sent on the link of
        backend pid before the link was lost, committed: asked on a new
        connection, after ending that backend if it still holds the
        transaction open.  Raises StoreError when it cannot be known."""
        self._leave()
        deadline = time.monotonic() + self.timeout
        try:
            db = self._connection()
            while True:
                status = db.execute("SELECT pg_xact_status(%s::xid8)", (xid,)).fetchone()[0]
                if status != "in progress":
                    return status == "committed"
                if time.monotonic() > deadline:
                    break
                db.execute("SELECT pg_terminate_backend(pid, %s) FROM pg_stat_activity WHERE "
                           "pid = %s AND backend_xid::text = %s",
                           (max(1, round(self.timeout * 1000)), pid, str(int(xid) % 2 ** 32)))
                time.sleep(0.001)
        except (StoreError, self._psycopg.Error):
            pass
        self._drop()
        raise self._fail("the server went away while this call committed, and whether its change "
                         "stands is not known; the next call reads the jar as it is") from None

    def for_jar(self, name: str) -> "PostgresStore":
        """A store of the jar named name on the same server and the same
        connection: the stores of one connection take turns on it (a call
        waits while another store's call runs)."""
        store = type(self).__new__(type(self))
        # Read strictly: a follower is a connection of its own, and the
        # stores of one connection must stay at one connection.
        store._init(self._url, name, self.timeout, self.keep_session_cookies, self._shared,
                    "strict")
        return store

    @_guarded
    def fork(self, name: str, rows: list[tuple]) -> "PostgresStore":
        """A store of the jar named name (as for_jar()) that holds rows: the
        check that the jar holds no cookie and the rows are written in one
        transaction.  ValueError, nothing written, when it holds one."""
        if name == self.name:
            raise ValueError(f"the jar is named {name!r} already")
        store = self.for_jar(name)
        try:
            got = store.begin(True)
            if got is not None and got[0]:
                store.rollback()
                raise ValueError(f"{self!r}: the jar {name!r} holds cookies already")
            creation = _rows.FIELDS.index("creation")
            store.commit([("set", row) for row in rows],
                         max((row[creation] for row in rows), default=None))
        except BaseException:
            store.close()
            raise
        return store

    @_guarded
    def jar_names(self) -> list[str]:
        """The names of the jars on the server that hold cookies."""
        try:
            return [name for (name,) in self._connection().execute(
                "SELECT name FROM gco_jars WHERE id IN (SELECT DISTINCT jar FROM gco_cookies) "
                "ORDER BY name").fetchall()]
        except self._psycopg.Error as error:
            raise self._error(error) from None

    @_guarded
    def close(self) -> None:
        self._rollback_quietly()
        self._release()
        follower, self._follower = self._follower, None
        if follower is not None:
            from glimmering_copper_otter.stores import _follow

            _follow.release(follower)

    def _release(self):
        """This store no longer uses the connection; the last one closes it."""
        shared, self._db, self._quick = self._shared, None, None
        if shared is None or self._closed:
            return
        self._closed = True
        shared.users -= 1
        if shared.users == 0 and shared.link is not None:
            link, shared.link = shared.link, None
            link.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        if getattr(self, "_shared", None) is not None and not self._closed:
            try:
                self._leave()
            except RuntimeError:  # held by another thread: it ends with it
                pass
            self._release()
        if getattr(self, "_follower", None) is not None:
            from glimmering_copper_otter.stores import _follow

            _follow.release(self._follower)

    def __repr__(self):
        return f"PostgresStore({self.server!r}, name={self.name!r})"


__all__ = ["PostgresStore", "SCHEMA_VERSION"]
