"""Following a PostgreSQL jar's changes on a connection of its own: the
workers announce each change they commit on the jar's channel (NOTIFY, with
the change's number), and a `Follower` listens in a background thread, so
that a worker's jar answers reads from its copy with no round trip while
nothing changed.

The thread waits in `select()`, which never holds the interpreter.  It
knows `latest`, the highest change number announced or read, and `alive`,
whether it is listening now.  While it is not (the server away, the
connection being made again), the store reads as if it did not follow.
Each time it starts listening it reads the jar's counter once on its own
connection: a change announced while it was away is then known, so no
change is ever missed, only seen later.  Between announcements it reads the
counter every `POLL` seconds too, for a writer that does not announce.

The stores of one process on one jar share its follower (`follower()`,
`release()`), and a store that committed a change tells it at once
(`noticed()`): the jars of one process see each other's changes with
their next call, those of other processes with the announcement.
"""

import os
import select
import threading
import weakref

POLL = 5.0
# The followers of this process: a child process made by fork() has none
# of their threads, and so no follower.
_FOLLOWERS: "weakref.WeakSet[Follower]" = weakref.WeakSet()
# The followers in use, by (url, channel), with the count of their stores.
_SHARED: dict = {}
_SHARING = threading.Lock()


def _forked():
    global _SHARING
    _SHARING = threading.Lock()
    _SHARED.clear()
    for follower in list(_FOLLOWERS):
        follower.alive = False
        follower._stopped = True


os.register_at_fork(after_in_child=_forked)


def follower(psycopg, url, channel, jar_id, timeout):
    """The follower of the jar for this process, started on first use."""
    with _SHARING:
        found = _SHARED.get((url, channel))
        if found is not None and not found[0]._stopped:
            found[1] += 1
            return found[0]
        made = Follower(psycopg, url, channel, jar_id, timeout)
        _SHARED[url, channel] = [made, 1]
        return made


def release(follower):
    """A store is done with follower: the last one stops it."""
    with _SHARING:
        key = (follower._url, follower._channel)
        found = _SHARED.get(key)
        if found is None or found[0] is not follower:
            last = True
        else:
            found[1] -= 1
            last = found[1] <= 0
            if last:
                del _SHARED[key]
    if last:
        follower.stop()


class Follower:
    """Listens on channel (bytes, a plain identifier) of the server of url
    for the jar of id jar_id; psycopg is the module."""

    def __init__(self, psycopg, url, channel, jar_id, timeout):
        self._psycopg = psycopg
        self._url = url
        self._channel = channel
        self._jar_id = jar_id
        self._timeout = timeout
        self.latest = 0
        self._noticing = threading.Lock()
        self.alive = False
        # Times the follower started listening again, so that a reader may
        # tell a gap in its announcements.
        self.epoch = 0
        self.backend_pid = None  # the server's process of the listening connection
        self._stopped = False
        self._wake_read, self._wake_write = os.pipe()
        self._ready = threading.Event()
        _FOLLOWERS.add(self)
        self._thread = threading.Thread(target=self._run, name="gco-follow", daemon=True)
        self._thread.start()
        # A short wait for the first listen: the jar's first reads are then
        # answered from its copy.
        self._ready.wait(min(timeout, 1.0))

    def wake(self):
        try:
            os.write(self._wake_write, b"x")
        except OSError:  # closed
            pass

    def stop(self):
        """Ends the thread (it closes its own connection)."""
        if self._stopped:
            return
        self._stopped = True
        self.alive = False
        self.wake()
        if self._thread is not threading.current_thread():
            self._thread.join(self._timeout)
        if not self._thread.is_alive():
            for fd in (self._wake_read, self._wake_write):
                try:
                    os.close(fd)
                except OSError:
                    pass

    def _pause(self, seconds):
        """Waits seconds or until woken; whether to go on."""
        if not self._stopped:
            readable, _, _ = select.select([self._wake_read], [], [], seconds)
            if readable:
                os.read(self._wake_read, 64)
        return not self._stopped

    def _poll(self, db):
        found = db.execute("SELECT counter FROM gco_jars WHERE id = %s",
                           (self._jar_id,)).fetchone()
        if found is not None:
            self.noticed(found[0])

    def _run(self):
        psycopg = self._psycopg
        delay = 0.05
        while not self._stopped:
            db = None
            try:
                # Keepalives tell a link that died without a word.
                db = psycopg.connect(self._url, autocommit=True,
                                     connect_timeout=max(1, round(self._timeout)),
                                     keepalives=1, keepalives_idle=5, keepalives_interval=2,
                                     keepalives_count=3, application_name="gco_follow")
                # Announcements that come in while the counter is read.
                db.add_notify_handler(lambda notice: self.noticed(notice.payload))
                db.execute(b"LISTEN " + self._channel)
                self.backend_pid = db.pgconn.backend_pid
                self._poll(db)  # what was announced while nobody listened
                self.epoch += 1
                self.alive = True
                self._ready.set()
                delay = 0.05
                self._listen(db)
            except Exception:  # noqa: BLE001  the server away: listen again later
                pass
            finally:
                self.alive = False
                if db is not None:
                    try:
                        db.close()
                    except Exception:  # noqa: BLE001  already gone
                        pass
            self._ready.set()
            if not self._pause(delay):
                break
            delay = min(delay * 2, 2.0)

    def _listen(self, db):
        pg = db.pgconn
        socket = pg.socket
        while not self._stopped:
            readable, _, _ = select.select([socket, self._wake_read], [], [], POLL)
            if self._wake_read in readable:
                os.read(self._wake_read, 64)
                continue
            if not readable:
                self._poll(db)
                continue
            pg.consume_input()
            if pg.status != self._psycopg.pq.ConnStatus.OK:
                return
            while (notice := pg.notifies()) is not None:
                self.noticed(notice.extra)

    def noticed(self, payload):
        """Change payload (its number, bytes, str or int) was committed."""
        try:
            number = int(payload)
        except ValueError:
            number = self.latest + 1  # an announcement without a number: read
        with self._noticing:  # the listener and the stores of the process
            if number > self.latest:
                self.latest = number
