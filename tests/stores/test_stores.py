"""One suite, three places: the SQLite file, the PostgreSQL server (a
throw-away one, see gco_testkit.postgres) read strictly, and the server
followed into a local copy, keep the same rows, read the same changes since
a mark, keep named jars apart, and replay the sequences recorded from
Chromium the same way."""

import copy
import datetime as dt
import json
import sqlite3
import threading
import time
from pathlib import Path

import pytest

from glimmering_copper_otter.jar import CookieJar
from glimmering_copper_otter.stores import postgres as _postgres
from glimmering_copper_otter.stores import sqlite as _sqlite
from glimmering_copper_otter.stores.sqlite import SqliteStore
from gco_testkit import postgres
from tools.recorder.form import replay

NOW = time.time_ns() // 1000
DAY = 86400 * 1000000
# Every field away from its default: Latin-1 and UTF-8 bytes, a partition key,
# high priority, a secure source on a port.
ROW = (b"n\xe9", "v\u00e9".encode(), "example.test", False, b"/p\xe9", NOW + DAY, NOW - 5,
       NOW - 3, True, True, 2, True, "https://top.test", 2, 2, 8443, True, True)
SESSION = ROW[:5] + (None,) + ROW[6:16] + (False, True)
KEY = (ROW[0], ROW[2], ROW[3], ROW[4], ROW[11], ROW[12], ROW[17])
U = "https://example.test/"
X = "https://x.test/"


class Place:
    """Where a test's jars are kept: a new file, or a new schema on the
    server (read strictly, or from a local copy)."""

    def __init__(self, kind, tmp_path):
        self.kind = kind
        if kind == "file":
            self.path, self.module = tmp_path / "jar.db", _sqlite
        else:
            self.server, self.module = postgres.server(), _postgres
            self.url = self.server.fresh()

    def store(self, **options):
        options.setdefault("keep_session_cookies", False)  # as a file by default
        if self.kind == "file":
            return SqliteStore(self.path, **options)
        return _postgres.PostgresStore(self.url, reads="strict" if self.kind == "server"
                                       else "local", **options)

    def jar(self, **options):
        if self.kind == "file":
            return CookieJar(self.path, **options)
        ours = {k: options.pop(k) for k in ("name", "keep_session_cookies") if k in options}
        return CookieJar(store=self.store(**ours), **options)

    def counter(self, name="default"):
        """The jar's counter: (last change, last change pruned)."""
        if self.kind == "file":
            db = sqlite3.connect(self.path)
            try:
                return db.execute("SELECT value, pruned FROM counter").fetchone()
            finally:
                db.close()
        schema = self.url.rpartition("%3D")[2]
        return tuple(self.server.sql(f"SELECT counter, pruned FROM {schema}.gco_jars WHERE "
                                     "name = %s", (name,))[0])


@pytest.fixture(params=["file", "server", "local"])
def place(request, tmp_path):
    return Place(request.param, tmp_path)


def test_rows_keep_every_field(place):
    with place.store() as store:
        store.apply([("set", ROW), ("set", (b"s",) + SESSION[1:])])
        assert store.load() == [ROW]  # the session cookie was not written
    with place.store(keep_session_cookies=True) as store:
        assert store.load() == [ROW]
        store.apply([("set", SESSION)])  # a session cookie replaces the stored one
        assert store.load() == [SESSION]
    with place.store() as store:
        store.apply([("set", SESSION)])  # not written, and the stored one is gone
        assert store.load() == []


def test_last_access_is_written_at_most_once_a_minute(place):
    with place.store() as store:
        store.apply([("set", ROW)])
        for moved, written in ((30, False), (59, False), (60, True)):
            when = ROW[7] + moved * 1000000
            store.apply([("touch", KEY, when)])
            assert (store.load()[0][7] == when) is written, moved
        store.apply([("touch", KEY[:2] + (True,) + KEY[3:], NOW + DAY)])  # no such cookie
        assert store.load()[0][7] == ROW[7] + 60 * 1000000


@pytest.mark.parametrize("change, error", [
    (("set", ROW[:17]), ValueError), (("set", ROW[:2] + (b"example.test",) + ROW[3:]), ValueError),
    (("set", ROW[:13] + (7,) + ROW[14:]), ValueError), (("delete", KEY[:4]), TypeError),
    (("touch", KEY, 1.5), TypeError), (("rename", KEY), ValueError),
])
def test_a_malformed_change_writes_nothing(place, change, error):
    with place.store() as store:
        store.apply([("set", ROW)])
        with pytest.raises(error, match="change 1"):
            store.apply([("delete", KEY), change])
        assert store.load() == [ROW]


def test_a_change_the_store_refuses_as_such_is_reported_once(place):
    refusals = [TypeError("refused")]
    store = place.store()

    class Refusing(type(store)):
        def apply(self, changes):
            if refusals:
                raise refusals.pop()
            super().apply(changes)

        def commit(self, changes, clock):  # a store shared by workers
            if refusals:
                raise refusals.pop()
            super().commit(changes, clock)

    store.__class__ = Refusing
    jar = CookieJar(store=store)
    with pytest.raises(TypeError, match="refused"):
        jar.set_cookie(b"a=1; Max-Age=999", X)
    assert len(jar) == 0
    jar.set_cookie(b"b=1; Max-Age=999", X)  # not refused again and again
    assert [row[0] for row in place.store().load()] == [b"b"]


def test_two_connections_see_each_others_changes(place):
    first, second = place.store(), place.store()
    assert first.load() == second.load() == []
    assert first.refresh() is None
    second.apply([("set", ROW)])
    assert second.refresh() is None  # its own change
    assert first.refresh() == ([ROW], []) and first.refresh() is None
    jars = [place.jar() for _ in range(2)]
    jars[0].set_cookie("a=1; Max-Age=600", "http://example.test/")
    jars[1].set_cookie("b=2; Max-Age=600", "http://example.test/")
    jars[0].set_cookie("a=3; Max-Age=600", "http://example.test/")
    assert [jar.cookie_header("http://example.test/") for jar in jars] == [b"b=2; a=3"] * 2


def test_threads_on_one_store_leave_it_as_the_jar(place):
    jar = place.jar(max_cookies=None, max_cookies_per_site=None)

    def work(thread):
        for k in range(40):
            jar.set_cookie(f"t{thread}k{k}=1; Max-Age=600", "http://example.test/")
            jar.set_cookie(f"same={thread}.{k}; Max-Age=600", "http://example.test/")

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    # Every change reached the store, the last one last.
    assert sorted(place.store().load()) == sorted(jar.rows())
    assert len(jar.rows()) == 8 * 40 + 1


OLD = dt.datetime(1960, 1, 1, tzinfo=dt.timezone.utc)
LAST = dt.datetime.max.replace(tzinfo=dt.timezone.utc)


@pytest.mark.parametrize("now", [OLD, LAST], ids=["before-1970", "end-of-9999"])
def test_a_jar_at_the_edges_of_time(place, now):
    jar, other = (place.jar(keep_session_cookies=True) for _ in range(2))
    later = now if now == LAST else now + dt.timedelta(minutes=2)  # an access to write
    jar.set_cookies([b"a=1", b"b=1"], U, now=now)
    assert jar.cookie_header(U, now=later) == b"a=1; b=1"
    assert sorted(place.store().load()) == sorted(jar.rows())
    other.clear(name="a")  # another connection removes a session cookie
    assert jar.cookie_header(U, now=later) == b"b=1"


def test_named_jars_and_changes_read_since_a_mark(place):
    a, b, a2 = (place.jar(name=n) for n in ("a", "b", "a"))
    a.set_cookies(["x=1; Max-Age=600", "y=1; Max-Age=600"], U)
    b.set_cookie("x=b; Max-Age=600", U)
    assert (a2.cookie_header(U), b.cookie_header(U)) == (b"x=1; y=1", b"x=b")
    # What the other connection reads: the rows written and the keys removed.
    store = place.store(name="a")
    store.load()
    a.clear(name="x")
    a.set_cookie("z=1; Max-Age=600", U)
    rows, removed = store.refresh()
    assert [row[0] for row in rows] == [b"z"] and [key[0] for key in removed] == [b"x"]
    assert store.refresh() is None
    assert a2.cookie_header(U) == b"y=1; z=1"
    assert sorted(place.store().jar_names()) == ["a", "b"]


def test_a_mark_older_than_the_removals_kept_reads_the_whole_jar(place, monkeypatch):
    monkeypatch.setattr(place.module, "KEEP_CHANGES", 2)
    monkeypatch.setattr(place.module, "KEEP_TIME", -10 ** 12)
    monkeypatch.setattr(place.module, "PRUNE_EVERY", 1)
    writer, reader = place.jar(), place.store()
    reader.load()
    for i in range(6):
        writer.set_cookie(f"c{i}=1; Max-Age=600", U)
        writer.clear(name=f"c{i}")
    writer.set_cookie("last=1; Max-Age=600", U)
    assert place.counter()[1] > 0
    rows, removed = reader.refresh()
    assert removed is None and [row[0] for row in rows] == [b"last"]


def test_what_costs_a_transaction(place):
    jar = place.jar()
    jar.set_cookie("p=1; Max-Age=600", U)
    before, rows = place.counter()[0], place.store().load()
    for call in (lambda: jar.set_cookie("s=1", U), lambda: jar.cookie_header(U),
                 lambda: jar.clear(name="s"), lambda: jar.set_cookie("s=2", U),
                 lambda: jar.set_cookie("s=2; Max-Age=0", U)):
        call()
        assert place.store().load() == rows  # session cookies are not written
        # The file's counter stays; on the server every cookie set moves the
        # clock the workers share (creation times stay unique among them).
        assert (place.counter()[0] == before) is (place.kind == "file")
    # A session cookie another connection that keeps them wrote is removed there.
    place.jar(keep_session_cookies=True).set_cookie("kept=1", U)
    assert jar.cookie_header(U) == b"p=1; kept=1"
    jar.clear(name="kept")
    assert place.jar(keep_session_cookies=True).cookie_header(U) == b"p=1"


def test_a_jar_holds_its_store_beyond_its_limits_until_it_sets_a_cookie(place):
    place.jar(max_cookies_per_site=None).set_cookies([f"c{i}=1; Max-Age=600"
                                                      for i in range(30)], U)
    jar = place.jar(max_cookies_per_site=20)
    assert len(jar) == 30  # nothing hidden that a clear() would leave behind
    jar.set_cookie("new=1; Max-Age=600", U)  # Chromium keeps the limits here
    assert len(jar) == len(place.store().load()) <= 20


def test_forks_and_copies(place):
    jar = place.jar(keep_session_cookies=True, max_cookies_per_site=50)
    jar.set_cookies(["a=1; Max-Age=600", "s=1"], U)
    fork = jar.fork("spider-2")
    fork.set_cookie("b=1; Max-Age=600", U)
    assert (jar.cookie_header(U), fork.cookie_header(U)) == (b"a=1; s=1", b"a=1; s=1; b=1")
    assert place.jar(name="spider-2").cookie_header(U) == b"a=1; s=1; b=1"
    assert fork.rows()[:2] == jar.rows()  # creation times kept
    assert fork.store.keep_session_cookies and type(fork.store) is type(jar.store)
    for made in (copy.copy(jar), copy.deepcopy(jar), CookieJar().fork("any")):
        assert made.store is None
    copied = copy.copy(jar)
    assert copied.rows() == jar.rows() and copied.max_cookies_per_site == 50
    with pytest.raises(ValueError, match="holds cookies already"):
        place.jar().fork("spider-2")
    with pytest.raises(ValueError, match="needs a path"):
        CookieJar(name="x")


SEQUENCES = json.loads((Path(__file__).parent.parent / "data" /
                        "browser_sequences.json").read_text())["scenarios"]


def _shifted(scenario):
    """The scenario moved by whole days to after today: a store passes over
    rows that expired by the clock, and the recorded ones would have."""
    first = dt.datetime.fromisoformat(scenario["steps"][0]["at"])
    days = dt.timedelta(days=(dt.datetime.now(dt.timezone.utc) - first).days + 2)
    return {**scenario, "steps": [
        {**step, "at": (dt.datetime.fromisoformat(step["at"]) + days).isoformat()}
        if "at" in step else step for step in scenario["steps"]]}


@pytest.mark.parametrize("scenario", [pytest.param(s, id=s["id"]) for s in SEQUENCES])
def test_recorded_sequences_through_a_store(place, scenario):
    made = []

    def jar(**options):
        # Two connections take turns: each call sees the other's changes.
        made.extend(place.jar(keep_session_cookies=True, **options) for _ in range(2))
        return Alternating(made)

    # What a jar in memory does with the same clock (the recorded clock is
    # the memory jar's own suite's).
    scenario = _shifted(scenario)
    assert replay(jar, scenario) == replay(CookieJar, scenario)
    assert sorted(place.store(keep_session_cookies=True).load()) == sorted(made[0].rows())


class Alternating:
    def __init__(self, jars):
        self.jars, self.turn = jars, 0

    def __getattr__(self, name):
        self.turn += 1
        return getattr(self.jars[self.turn % 2], name)


def test_a_session_is_shared_and_ended_for_every_worker(place):
    options = {"keep_session_cookies": True}
    with place.jar(**options) as one, place.jar(**options) as two:
        one.set_cookie("sid=1", U)
        one.set_cookie("keep=1; Max-Age=600", U)
        assert two.cookie_header(U) == b"sid=1; keep=1"
        assert two.end_session() == 1
        assert one.cookie_header(U) == b"keep=1"
    memory = CookieJar()
    memory.set_cookie("sid=1", U)
    assert (memory.end_session(), len(memory)) == (1, 0)


def _fifty():
    jar = CookieJar()
    jar.set_cookies([f"c{i}=v{i}; Max-Age=600; Secure; Path=/p{i % 3}" for i in range(50)], U)
    return jar


# How a batch of 50 cookies comes in: each is one call and one transaction.
BATCHES = {
    **{format: (lambda jar, format=format: jar.load_cookies(
        _fifty().dump_cookies(format=format)[0], format=format))
       for format in ("playwright", "cdp", "extension", "webdriver", "cookiejar")},
    "mapping": lambda jar: jar.load_cookies({f"c{i}": f"v{i}" for i in range(50)},
                                            format="mapping", url=U),
    "cookies.txt": lambda jar: jar.load_cookies_txt(_txt(_fifty())),
    "json": lambda jar: jar.load_json(_fifty().to_json()),
    "set_cookies": lambda jar: jar.set_cookies(
        [f"c{i}=v{i}; Max-Age=600; Secure; Path=/p{i % 3}" for i in range(50)], U),
}


def _txt(jar):
    import io

    file = io.BytesIO()
    jar.save_cookies_txt(file)
    file.seek(0)
    return file


@pytest.mark.parametrize("batch", BATCHES)
def test_a_batch_is_one_transaction(place, batch):
    jar = place.jar(keep_session_cookies=True)
    store, opened = jar.store, []
    # The file's write transactions are its applies; the server's, its begins.
    name = "apply" if place.kind == "file" else "begin"
    method = getattr(store, name)
    setattr(store, name, lambda *args: opened.append(name) or method(*args))
    BATCHES[batch](jar)
    assert (len(jar), len(opened)) == (50, 1)
