"""Writing a server jar's changes behind its calls: the calls of an event
loop's thread (the async adapters, aset_cookie) apply to the jar's copy at
once, without a lock or a round trip, and a writer thread makes the same
calls again on a jar of its own on the same server, in order, under the
jar's lock: Chromium's rules are applied to the server's current copy, as
a call written through would be.

The writer takes what is waiting, all of it, into one transaction.  When
the server is away it keeps the calls and tries again; at most `limit`
calls wait, and a call beyond that raises StoreError.  `flush()` returns
once what was handed to it so far is committed, or raises what the server
said while it fails.  The jar's copy follows the server: a transaction of
the writer that comes right after what the copy holds is taken as held
(its changes are the copy's own), anything else is read.
"""

import atexit
import threading
import time
import weakref

from glimmering_copper_otter.stores import StoreError
from glimmering_copper_otter.stores import postgres

LIMIT = 1000


class _Batch(postgres.PostgresStore):
    """The writer's store: the calls of one round share one transaction,
    begun (the lock taken, the changes of other workers read) by the first
    and committed after the last."""

    _batch = None

    def begin(self, whole=False):
        if self._batch is None or self._batch["began"]:
            return None if self._batch is not None else super().begin(whole)
        got = super().begin(whole)
        self._batch["began"] = True
        return got

    def commit(self, changes, clock=None):
        if self._batch is None:
            return super().commit(changes, clock)
        self._batch["changes"] += changes
        if clock is not None:
            self._batch["clock"] = max(clock, self._batch["clock"] or clock)

    def rollback(self):
        if self._batch is None:
            super().rollback()
        # Else the call's changes were never handed over: the transaction
        # goes on for the others.

    def apply(self, changes):
        if self._batch is None:
            super().apply(changes)
        else:
            self._batch["changes"] += changes

    def apply_unless_changed(self, changes):
        if self._batch is None:
            super().apply_unless_changed(changes)
        else:
            self._batch["changes"] += changes  # under the lock: the copy is the jar

    def round(self):
        self._batch = {"began": False, "changes": [], "clock": None}

    def end_round(self):
        """Commits the round's transaction; the number of its change, or
        None for no change.  When it raises, nothing was written."""
        batch, self._batch = self._batch, None
        if not batch["began"]:
            return None
        before = self.last_change
        super().commit(batch["changes"], batch["clock"])
        return self.last_change if self.last_change != before else None

    def abandon(self):
        self._batch = None
        self._rollback_quietly()
        self.sync(whole=True)  # the writer's copy holds what was not written


class Writer:
    """The writer behind jar (a CookieJar on a PostgresStore)."""

    def __init__(self, jar, limit=LIMIT):
        front = jar.store
        self._front = front
        self._type = type(jar)
        self._jar_read = weakref.ref(jar)  # the jar whose copy catches up here
        self._catching_up = False
        self._refused = None
        self._made = dict(max_cookies=jar.max_cookies,
                          max_cookies_per_site=jar.max_cookies_per_site,
                          public_suffix_list=jar.public_suffix_list)
        self.limit = limit
        self._waiting = []
        self._handed = self._done = self._attempts = 0
        self._failing = None
        self._stopped = False
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._run, name="gco-behind", daemon=True)
        self._thread.start()

    def submit(self, values, url, options):
        """Hands over a set_cookies call made on the copy."""
        with self._changed:
            if self._stopped:
                raise ValueError("the cookie jar is closed")
            if len(self._waiting) >= self.limit:
                raise StoreError(self._front.server, f"{len(self._waiting)} writes wait for "
                                 f"the server, the most this jar keeps ({self._failing or 'busy'})")
            self._waiting.append((values, url, options))
            self._handed += 1
            self._changed.notify_all()

    def catch_up(self):
        """Has the jar read what changed on the server, in this thread."""
        with self._changed:
            if not self._catching_up:
                self._catching_up = True
                self._changed.notify_all()

    def flush(self, timeout=None):
        """Returns once every call handed over so far is committed; raises
        StoreError while the server fails (the calls keep waiting)."""
        end = None if timeout is None else time.monotonic() + timeout
        with self._changed:
            wanted, attempts = self._handed, self._attempts
            while self._done < wanted:
                # A failure of an attempt made since this flush began.
                if self._failing is not None and self._attempts > attempts:
                    raise self._failing
                left = None if end is None else end - time.monotonic()
                if left is not None and left <= 0:
                    raise StoreError(self._front.server, f"{wanted - self._done} writes still "
                                     "wait for the server")
                self._changed.wait(left)
            refused, self._refused = self._refused, None
        if refused is not None:
            raise refused

    def stop(self, timeout=None):
        """Flushes (as flush), then ends the thread."""
        try:
            self.flush(timeout)
        finally:
            with self._changed:
                self._stopped = True
                self._changed.notify_all()
            self._thread.join(5)

    def _jar(self):
        front = self._front
        store = _Batch(front._url, name=front.name, timeout=front.timeout,
                       keep_session_cookies=front.keep_session_cookies, reads="strict")
        return self._type(store=store, **self._made)

    def _run(self):
        jar = None
        delay = 0.05
        while True:
            with self._changed:
                while not self._waiting and not self._stopped and not self._catching_up:
                    self._changed.wait()
                if not self._waiting and not self._catching_up:
                    break
                calls = list(self._waiting)
                self._catching_up = False
            if not calls:
                self._read()
                continue
            try:
                if jar is None:
                    jar = self._jar()
                number = self._write(jar, calls)
            except StoreError as error:
                with self._changed:
                    self._failing = error
                    self._attempts += 1
                    self._changed.notify_all()
                time.sleep(delay)
                delay = min(delay * 2, 1.0)
                continue
            except Exception as error:  # noqa: BLE001  refused: told by flush()
                self._refused = error
                number = None
                self._front.sync(whole=True)  # the copy follows the server
            delay = 0.05
            if number is not None:
                self._front.adopt(number)
            self._read()
            with self._changed:
                del self._waiting[:len(calls)]
                self._done += len(calls)
                self._attempts += 1
                self._failing = None
                self._changed.notify_all()
        if jar is not None:
            jar.close()

    def _read(self):
        """Brings the jar's copy up to date, when the server holds more."""
        front = self._front
        follower = front._follower
        if follower is not None and follower.alive and follower.epoch == front._epoch and \
                front._mark is not None and follower.latest <= front._mark:
            return
        jar = self._jar_read()
        if jar is not None and not jar.closed:
            try:
                len(jar)
            except Exception:  # noqa: BLE001  told by the jar's next call
                pass

    @staticmethod
    def _write(jar, calls):
        store = jar.store
        store.round()
        try:
            for values, url, options in calls:
                try:
                    jar.set_cookies(values, url, **options)
                except (TypeError, ValueError):  # as the copy ignored it
                    pass
            return store.end_round()
        except BaseException:
            store.abandon()
            raise


_WRITERS: "weakref.WeakSet[Writer]" = weakref.WeakSet()


@atexit.register
def _flush_all():
    """At the interpreter's exit, what waits is written (each writer within
    its store's timeout)."""
    for behind in list(_WRITERS):
        try:
            behind.flush(behind._front.timeout)
        except Exception:  # noqa: BLE001  the server away: the writes are lost
            pass


def writer(jar):
    """The jar's writer (started on first use), or None for a jar whose
    store is not a server's."""
    store = jar.store
    if not isinstance(store, postgres.PostgresStore):
        return None
    if store.writer is None:
        store.writer = Writer(jar)
        _WRITERS.add(store.writer)
    return store.writer


def set_cookies(jar, values, url, options):
    """set_cookies on the jar's copy, written behind; for a jar not on a
    server, written through."""
    behind = writer(jar)
    if behind is None:
        return jar.set_cookies(values, url, **options)
    postgres.LOCAL_ONLY.on = True
    try:
        records = jar.set_cookies(values, url, **options)
    finally:
        postgres.LOCAL_ONLY.on = False
    behind.submit(values, url, options)
    return records
