"""One file shared by connections and named jars: changes read since a mark,
removals kept and pruned, schema version 1 upgraded (also when the process
is killed in the middle), forks and copies, and what costs a transaction."""

import copy
import random
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from glimmering_copper_otter.jar import CookieJar
from glimmering_copper_otter.stores import sqlite as _store
from glimmering_copper_otter.stores.sqlite import SqliteStore

U = "https://example.test/"
FAR = 4102444800000000  # 2100


def _counter(path):
    db = sqlite3.connect(path)
    try:
        return db.execute("SELECT value, pruned FROM counter").fetchone()
    finally:
        db.close()


def _version_1(path, count):
    """A file of schema version 1 holding count cookies."""
    db = sqlite3.connect(path)
    db.executescript(f"PRAGMA journal_mode=WAL; PRAGMA application_id={_store.APPLICATION_ID};"
                     f"{_store._SCHEMA_1}; PRAGMA user_version=1;")
    db.executemany("INSERT INTO cookies VALUES (?, ?, 'example.test', 1, X'2f', ?, ?, ?, 0, 0, "
                   "0, 0, '', -1, 2, 443, 0)",
                   [(b"c%d" % i, b"v" * 100, FAR, 10 ** 15 + i, 10 ** 15 + i)
                    for i in range(count)])
    db.commit()
    db.close()


def test_version_1_is_upgraded_to_the_jar_default(tmp_path):
    path = tmp_path / "jar.db"
    _version_1(path, 3)
    with CookieJar(path) as jar:
        assert jar.cookie_header(U) == b"c0=" + b"v" * 100 + b"; c1=" + b"v" * 100 + b"; c2=" + \
            b"v" * 100
    db = sqlite3.connect(path)
    assert db.execute("PRAGMA user_version").fetchone() == (2,)
    assert db.execute("SELECT DISTINCT jar FROM cookies").fetchall() == [("default",)]
    with CookieJar(path, name="other") as other:
        assert len(other) == 0


UPGRADE = """
import sys
from glimmering_copper_otter.stores.sqlite import SqliteStore
print("opening", flush=True)
SqliteStore(sys.argv[1]).close()
print("done", flush=True)
"""


def test_a_killed_upgrade_leaves_version_1_or_2_whole(tmp_path):
    rng, seen = random.Random(28), set()
    for round_ in range(10):
        path = tmp_path / f"jar{round_}.db"
        _version_1(path, 30000)
        child = subprocess.Popen([sys.executable, "-c", UPGRADE, str(path)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "opening\n"
        time.sleep(rng.uniform(0.0, 0.4))
        child.send_signal(signal.SIGKILL)
        child.wait()
        db = sqlite3.connect(path)
        version = db.execute("PRAGMA user_version").fetchone()[0]
        seen.add(version)
        assert db.execute("SELECT count(*) FROM cookies").fetchone() == (30000,)
        db.close()
        assert len(SqliteStore(path).load()) == 30000
    assert seen == {1, 2}


def test_named_jars_in_one_file_and_changes_read_since_a_mark(tmp_path):
    path = tmp_path / "jar.db"
    a, b, a2 = (CookieJar(path, name=n) for n in ("a", "b", "a"))
    a.set_cookies(["x=1; Max-Age=600", "y=1; Max-Age=600"], U)
    b.set_cookie("x=b; Max-Age=600", U)
    assert (a2.cookie_header(U), b.cookie_header(U)) == (b"x=1; y=1", b"x=b")
    # What the other connection reads: the rows written and the keys removed.
    store = SqliteStore(path, name="a")
    store.load()
    a.clear(name="x")
    a.set_cookie("z=1; Max-Age=600", U)
    rows, removed = store.refresh()
    assert [row[0] for row in rows] == [b"z"] and [key[0] for key in removed] == [b"x"]
    assert store.refresh() is None
    assert a2.cookie_header(U) == b"y=1; z=1"
    assert sorted(SqliteStore(path).jar_names()) == ["a", "b"]


def test_a_mark_older_than_the_removals_kept_reads_the_whole_jar(tmp_path, monkeypatch):
    monkeypatch.setattr(_store, "KEEP_CHANGES", 2)
    monkeypatch.setattr(_store, "KEEP_TIME", -10 ** 12)
    monkeypatch.setattr(_store, "PRUNE_EVERY", 1)
    path = tmp_path / "jar.db"
    writer, reader = CookieJar(path), SqliteStore(path)
    reader.load()
    for i in range(6):
        writer.set_cookie(f"c{i}=1; Max-Age=600", U)
        writer.clear(name=f"c{i}")
    writer.set_cookie("last=1; Max-Age=600", U)
    assert _counter(path)[1] > 0
    rows, removed = reader.refresh()
    assert removed is None and [row[0] for row in rows] == [b"last"]


def test_what_costs_a_transaction(tmp_path):
    path = tmp_path / "jar.db"
    jar = CookieJar(path)
    jar.set_cookie("p=1; Max-Age=600", U)
    before = _counter(path)[0]
    for call in (lambda: jar.set_cookie("s=1", U), lambda: jar.cookie_header(U),
                 lambda: jar.clear(name="s"), lambda: jar.set_cookie("s=2", U),
                 lambda: jar.set_cookie("s=2; Max-Age=0", U)):
        call()
        assert _counter(path)[0] == before  # session cookies are not written
    # A session cookie another connection that keeps them wrote is removed there.
    CookieJar(path, keep_session_cookies=True).set_cookie("kept=1", U)
    assert jar.cookie_header(U) == b"p=1; kept=1"
    jar.clear(name="kept")
    assert CookieJar(path, keep_session_cookies=True).cookie_header(U) == b"p=1"


def test_forks_and_copies(tmp_path):
    path = tmp_path / "jar.db"
    jar = CookieJar(path, keep_session_cookies=True, max_cookies_per_site=50)
    jar.set_cookies(["a=1; Max-Age=600", "s=1"], U)
    fork = jar.fork("spider-2")
    fork.set_cookie("b=1; Max-Age=600", U)
    assert (jar.cookie_header(U), fork.cookie_header(U)) == (b"a=1; s=1", b"a=1; s=1; b=1")
    assert CookieJar(path, name="spider-2").cookie_header(U) == b"a=1; s=1; b=1"
    assert fork._rows()[:2] == jar._rows()  # creation times kept
    for made in (copy.copy(jar), copy.deepcopy(jar), CookieJar().fork("any")):
        assert made.store is None
    copied = copy.copy(jar)
    assert copied._rows() == jar._rows() and copied.max_cookies_per_site == 50
    with pytest.raises(ValueError, match="holds cookies already"):
        CookieJar(path).fork("spider-2")
    with pytest.raises(ValueError, match="needs a path"):
        CookieJar(name="x")
