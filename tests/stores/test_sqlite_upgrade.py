"""Schema version 1 of the file upgraded, also when the process is killed in
the middle."""

import random
import signal
import sqlite3
import subprocess
import sys
import time

from glimmering_copper_otter.jar import CookieJar
from glimmering_copper_otter.stores import sqlite as _store
from glimmering_copper_otter.stores.sqlite import SqliteStore

FAR = 4102444800000000  # 2100


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
        # Killed at once, at random points, and (the last round) once it is
        # done, so that both ends are seen however fast the machine is.
        if round_ == 9:
            assert child.stdout.readline() == "done\n"
        elif round_:
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
    # Upgraded, the cookies are the default jar's, whole.
    with CookieJar(path) as jar:
        assert len(jar) == 30000 and {c.value for c in jar} == {"v" * 100}
    db = sqlite3.connect(path)
    assert db.execute("PRAGMA user_version").fetchone() == (2,)
    assert db.execute("SELECT DISTINCT jar FROM cookies").fetchall() == [("default",)]
    with CookieJar(path, name="other") as other:
        assert len(other) == 0
