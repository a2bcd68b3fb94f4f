"""The SQLite store behind a jar made with a path: what it keeps, the files
it refuses, locks, other processes, and processes killed mid-write."""

import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

from glimmering_copper_otter.jar import CookieJar, StoreError, StoreWarning
from glimmering_copper_otter.stores import sqlite as _store
from glimmering_copper_otter.stores.sqlite import SqliteStore
from leakcheck import assert_no_leak

NOW = time.time_ns() // 1000
DAY = 86400 * 1000000
# Every field away from its default: Latin-1 and UTF-8 bytes, a partition key,
# high priority, a secure source on a port.
ROW = (b"n\xe9", "v\u00e9".encode(), "example.test", False, b"/p\xe9", NOW + DAY, NOW - 5,
       NOW - 3, True, True, 2, True, "https://top.test", 2, 2, 8443, True, True)
KEY = (ROW[0], ROW[2], ROW[3], ROW[4], ROW[11], ROW[12], ROW[17])


X = "https://x.test/"


def _other(path):
    return sqlite3.connect(path, isolation_level=None)


def test_the_files_are_private(tmp_path):
    with SqliteStore(tmp_path / "jar.db") as store:
        store.apply([("set", ROW)])
        assert {f.name: f.stat().st_mode & 0o777 for f in tmp_path.iterdir()} == {
            "jar.db": 0o600, "jar.db-wal": 0o600, "jar.db-shm": 0o600}


def test_statements_bind_nothing_a_caller_could_adapt(tmp_path):
    calls = []

    def hostile(value):
        calls.append(value)
        return b"adapted"

    saved = dict(sqlite3.adapters)
    try:
        for kind in (bytes, str, int, bool, tuple):
            sqlite3.register_adapter(kind, hostile)
        jar = CookieJar(tmp_path / "jar.db")
        jar.set_cookie(b"sid=\xe9t\xe9; Max-Age=3600; Path=/a", "http://example.test/a")
        jar.cookie_header("http://example.test/a")
        with SqliteStore(tmp_path / "jar.db") as store:
            store.apply([("set", ROW), ("touch", KEY, NOW + DAY), ("delete", KEY)])
    finally:
        sqlite3.adapters.clear()
        sqlite3.adapters.update(saved)
    assert calls == []
    stored = _other(tmp_path / "jar.db").execute("SELECT name, value, path FROM cookies")
    assert stored.fetchall() == [(b"sid", b"\xe9t\xe9", b"/a")]


def _damaged(path):
    with SqliteStore(path) as store:
        store.apply([("set", ROW[:1] + (b"v" * 3000,) + ROW[2:])])
    db = _other(path)
    page = db.execute("SELECT rootpage FROM sqlite_master WHERE name='cookies'").fetchone()[0]
    db.close()
    data = bytearray(path.read_bytes())
    data[(page - 1) * 4096:page * 4096] = random.Random(1).randbytes(4096)  # the table's page
    path.write_bytes(data)


def _sqlite_file(path, *statements):
    db = _other(path)
    for statement in statements:
        db.execute(statement)
    db.close()


OURS = (f"PRAGMA application_id={_store.APPLICATION_ID}",
        *(statement for _, _, statement in _store._SCHEMA_2))
# Each makes a file (in tmp_path) that the store must refuse, and what it says.
REFUSED = [
    ("text", lambda p: p.write_bytes(b"example.test\tFALSE\t/\tFALSE\t0\ta\tb\n" * 100),
     "not an SQLite database"),
    ("another program's", lambda p: _sqlite_file(p, "CREATE TABLE moz_cookies (x)"),
     "another program"),
    ("version 3", lambda p: _sqlite_file(p, *OURS, "PRAGMA user_version=3"),
     "schema version 3"),
    ("version 0", lambda p: _sqlite_file(p, *OURS), "schema version 0"),
    ("an extra table", lambda p: _sqlite_file(p, *OURS, "PRAGMA user_version=2",
                                              "CREATE TABLE t (x)"), "damaged"),
    ("a missing column", lambda p: _sqlite_file(
        p, f"PRAGMA application_id={_store.APPLICATION_ID}", "PRAGMA user_version=1",
        "CREATE TABLE cookies (name)"), "damaged"),
    ("a damaged page", _damaged, "damaged|not an SQLite"),
]


@pytest.mark.parametrize("make, message", [row[1:] for row in REFUSED],
                         ids=[row[0] for row in REFUSED])
def test_a_foreign_or_damaged_file_is_refused_and_left_untouched(tmp_path, make, message):
    path = tmp_path / "jar.db"
    make(path)
    before = path.read_bytes()
    with pytest.raises(OSError, match=message) as raised:
        SqliteStore(path).load()
    assert str(path) in str(raised.value) and raised.value.filename == path.__fspath__()
    assert path.read_bytes() == before


@pytest.mark.parametrize("statements", [
    ["BEGIN IMMEDIATE", "DELETE FROM cookies"],  # a writer: reading goes on, writing waits
    ["PRAGMA locking_mode=EXCLUSIVE", "BEGIN IMMEDIATE", "DELETE FROM cookies"],  # nothing goes
])
def test_a_locked_file_waits_the_timeout_then_raises(tmp_path, statements):
    path = tmp_path / "jar.db"
    with SqliteStore(path) as store:
        store.apply([("set", ROW)])
    other = _other(path)
    for statement in statements:
        other.execute(statement)
    start = time.monotonic()
    with pytest.raises(OSError, match=f"{path}: locked by another program"):
        SqliteStore(path, timeout=0.3).apply([("delete", KEY)])
    assert 0.25 < time.monotonic() - start
    other.execute("ROLLBACK")


def test_a_call_the_locked_file_refused_changed_nothing(tmp_path):
    path = tmp_path / "jar.db"
    jar = CookieJar(path, timeout=0.2)
    jar.set_cookies([b"a=1; Max-Age=999", b"s=old; Max-Age=999"], "https://x.test/")
    other = _other(path)
    other.execute("BEGIN EXCLUSIVE")
    for call in (lambda: jar.set_cookies([b"b=1; Max-Age=999", b"a=2; Max-Age=999"], X),
                 lambda: jar.clear(name="a"), lambda: jar.load_rows(jar.rows(), replace=True)):
        with pytest.raises(StoreError, match="locked"):
            call()
    other.execute("ROLLBACK")
    # Reads do not raise meanwhile, nor write the refused changes later
    # over another connection's newer one.
    CookieJar(path).set_cookie(b"s=newer; Max-Age=999", "https://x.test/")
    assert jar.cookie_header("https://x.test/") == b"a=1; s=newer"
    assert CookieJar(path).cookie_header("https://x.test/") == b"a=1; s=newer"


def test_a_forked_child_uses_its_own_connection(tmp_path):
    store = SqliteStore(tmp_path / "jar.db")
    assert store.load() == []
    pid = os.fork()
    if pid == 0:
        try:
            store.apply([("set", ROW)])
        finally:
            os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
    assert store.refresh() == ([ROW], [])
    store.apply([("delete", KEY)])
    assert store.load() == []


U = "https://example.com/"


def test_calls_on_a_file_jar_take_turns(tmp_path, monkeypatch):
    # While one call's change is on its way to the file and another
    # connection commits, a call from another thread waits its turn (it
    # would adopt a file without that change); a call made on the same
    # thread inside the write, as a signal handler's would be, joins it.
    path = tmp_path / "jar.db"
    entered, go = threading.Event(), threading.Event()

    class Slow(SqliteStore):
        def apply(self, changes):
            if threading.current_thread().name == "writer" and not entered.is_set():
                entered.set()
                go.wait(10)
                jar.set_cookie(b"nested=1; Max-Age=999", U)
            super().apply(changes)

    monkeypatch.setattr(_store, "SqliteStore", Slow)
    jar = CookieJar(path)
    monkeypatch.undo()
    writer = threading.Thread(name="writer", target=jar.set_cookie,
                              args=(b"mine=1; Max-Age=999", U))
    writer.start()
    entered.wait(10)
    CookieJar(path).set_cookie(b"other=1; Max-Age=999", "https://other.test/")
    got = []
    reader = threading.Thread(target=lambda: got.append(jar.cookie_header(U)))
    reader.start()
    reader.join(0.3)
    assert reader.is_alive()
    go.set()
    writer.join(10)
    reader.join(10)
    assert got == [b"mine=1; nested=1"]
    assert sorted(row[0] for row in SqliteStore(path).load()) == [b"mine", b"nested", b"other"]


def test_rows_and_the_file_leak_nothing(tmp_path):
    jar = CookieJar(tmp_path / "jar.db")
    jar.set_cookie("a=1; Max-Age=600", "http://example.test/")
    rows = jar.rows()
    bad = [rows[0][:2] + (b"example.test",) + rows[0][3:]]
    for operation, raises in [
        (lambda: jar.load_rows(rows, replace=True)[0] + len(jar.rows()), None),
        (lambda: jar.load_rows(bad), None),
        (lambda: jar.set_cookie("b=2; Max-Age=600", "http://example.test/"), None),
        (lambda: jar.cookie_header("http://example.test/"), None),
    ]:
        assert_no_leak(operation, raises, runs=50)


CHILD = """
import sys
from glimmering_copper_otter.jar import CookieJar
jar = CookieJar(sys.argv[1], max_cookies=None, max_cookies_per_site=None)
tag, count, size = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
print("ready", flush=True)
for i in range(count):
    if i % 3 == 2:
        # A large transaction: a kill often lands inside it.
        rows = [(b"%s%d.%d" % (tag.encode(), i, k), b"v" * 200, "example.test", True, b"/",
                 4102444800000000, 10 ** 15 + i * 1000 + k, 10 ** 15, False, False, 0, False,
                 "", 1, 0, -1, True, False) for k in range(size)]
        print(f"begin {i}", flush=True)
        jar.load_rows(rows)
    else:
        jar.set_cookie("%s%d=v; Max-Age=86400" % (tag, i), "http://example.test/")
    print(f"done {i}", flush=True)  # word and number in one write
"""


def _child(path, tag, count, size):
    return subprocess.Popen([sys.executable, "-c", CHILD, str(path), tag, str(count), str(size)],
                            stdout=subprocess.PIPE, text=True)


def _names(path):
    return {row[0] for row in SqliteStore(path).load()}


def _expected(tag, lines, size):
    names = set()
    for line in lines:
        if line.startswith("done"):
            i = int(line.split()[1])
            if i % 3 == 2:
                names |= {b"%s%d.%d" % (tag.encode(), i, k) for k in range(size)}
            else:
                names.add(b"%s%d" % (tag.encode(), i))
    return names


def test_a_killed_writer_loses_nothing_it_reported_done(tmp_path):
    rng = random.Random(22)
    mid_transaction = 0
    # 4 writers at a time, each killed at its own instant; more waves while
    # no kill landed inside a transaction (a loaded machine starts slowly).
    for wave in range(15):
        if wave >= 5 and mid_transaction:
            break
        paths = [tmp_path / f"jar{wave}.{n}.db" for n in range(4)]
        children = [_child(path, "c", 10 ** 6, 300) for path in paths]
        assert [child.stdout.readline() for child in children] == ["ready\n"] * 4
        start = time.monotonic()
        for instant, child in sorted(zip((rng.uniform(0.0, 0.5) for _ in children), children),
                                     key=lambda pair: pair[0]):
            time.sleep(max(0.0, start + instant - time.monotonic()))
            child.send_signal(signal.SIGKILL)
        for path, child in zip(paths, children):
            lines = child.stdout.read().splitlines()
            child.wait()
            mid_transaction += bool(lines) and lines[-1].startswith("begin")
            assert _expected("c", lines, 300) <= _names(path), path
    assert mid_transaction > 0


def test_two_processes_sharing_one_file_lose_no_cookie(tmp_path):
    path = tmp_path / "jar.db"
    SqliteStore(path).close()
    children = {tag: _child(path, tag, 60, 20) for tag in ("p", "q")}
    expected = set()
    for tag, child in children.items():
        expected |= _expected(tag, child.stdout.read().splitlines(), 20)
        assert child.wait() == 0
    assert len(expected) == 2 * (40 + 20 * 20)
    assert _names(path) == expected


# Rows another program wrote, and the code word each is passed over with.
FOREIGN_ROWS = [
    ("'a', 'b', 'h.test', 1, '/', NULL, 1, 1, 0, 0, 0, 0, '', 1, 0, -1, 0",
     "Unreadable: field raw_name must be bytes"),
    ("X'61', X'62', 'h.test', 2, X'2f', NULL, 1, 1, 0, 0, 0, 0, '', 1, 0, -1, 0",
     "Unreadable: field host_only must be bool"),
    ("X'63', X'62', 'H.test', 1, X'2f', NULL, 1, 1, 0, 0, 0, 0, '', 1, 0, -1, 0",
     "InvalidDomain"),
    ("X'64', X'620a', 'h.test', 1, X'2f', NULL, 1, 1, 0, 0, 0, 0, '', 1, 0, -1, 0",
     "DisallowedCharacter"),
    ("X'65', X'62', 'h.test', 1, X'2f', NULL, 1, 1, 0, 0, 3, 0, '', 1, 0, -1, 0",
     "SameSiteNoneInsecure"),
]


def test_rows_another_program_wrote_are_passed_over_with_a_warning(tmp_path):
    path = tmp_path / "jar.db"
    with CookieJar(path) as jar:
        jar.set_cookie("good=1; Max-Age=600", "https://h.test/")
    _sqlite_file(path, *(f"INSERT INTO cookies VALUES ('default', {values}, 1)"
                         for values, _ in FOREIGN_ROWS))
    with pytest.warns(StoreWarning) as warned:
        jar = CookieJar(path)
    message = str(warned[0].message)
    assert message.startswith(f"{path}: 5 row(s) passed over") and "and 2 more" in message
    for _, reason in FOREIGN_ROWS[:3]:
        assert reason in message
    assert jar.cookie_header("https://h.test/") == b"good=1"


def _run_read_only(folder, path, whole_directory):
    """Runs READ_ONLY on a file this process may not write (or in a
    directory it may not write either).  Root writes any file whatever its
    mode: as root the file is made immutable, the directory a read-only
    mount in a namespace of its own."""
    command = [sys.executable, "-c", READ_ONLY, str(path)]
    if os.getuid() != 0:
        os.chmod(path, 0o444)
        os.chmod(folder, 0o555 if whole_directory else 0o755)
        try:
            return subprocess.run(command, capture_output=True, text=True, timeout=60)
        finally:
            os.chmod(folder, 0o755)
            os.chmod(path, 0o644)
    if whole_directory:
        mount = (f"mount --bind {folder} {folder} && mount -o remount,bind,ro {folder} && "
                 'exec "$@"')
        return subprocess.run(["unshare", "-m", "sh", "-c", mount, "sh", *command],
                              capture_output=True, text=True, timeout=60)
    subprocess.run(["chattr", "+i", str(path)], check=True)
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=60)
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)


READ_ONLY = """
import sys, warnings
warnings.simplefilter("error")
from glimmering_copper_otter.jar import CookieJar
jar = CookieJar(sys.argv[1])
print(jar.store.read_only, jar.store.immutable, jar.cookie_header("https://h.test/").decode())
print(len(jar), jar.cookies()[0].name, jar.get("a").value)
try:
    jar.set_cookie("b=2; Max-Age=600", "https://h.test/")
except OSError as error:
    print(type(error).__name__, error)
print(jar.cookie_header("https://h.test/").decode())
"""


@pytest.mark.parametrize("immutable", [False, True], ids=["file", "directory"])
def test_a_read_only_file_is_read_and_refuses_changes(tmp_path, immutable):
    folder = tmp_path / "d"
    folder.mkdir()
    path = folder / "jar.db"
    with CookieJar(path) as jar:
        jar.set_cookie("a=1; Max-Age=600", "https://h.test/")
    assert os.listdir(folder) == ["jar.db"]
    done = _run_read_only(folder, path, immutable)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"True {immutable} a=1", "1 a 1",
        f"StoreError {path}: the file is read-only here: the change was not written", "a=1"]


def test_a_dangling_link_is_refused_and_a_link_to_a_file_followed(tmp_path):
    link = tmp_path / "link.db"
    link.symlink_to(tmp_path / "missing.db")
    with pytest.raises(StoreError, match=f"{link}: a symbolic link to a missing file"):
        CookieJar(link)
    assert not (tmp_path / "missing.db").exists()
    with CookieJar(tmp_path / "real.db") as jar:
        jar.set_cookie("a=1; Max-Age=600", "https://h.test/")
    link.unlink()
    link.symlink_to(tmp_path / "real.db")
    with CookieJar(link) as jar:
        assert jar.cookie_header("https://h.test/") == b"a=1"
        jar.set_cookie("b=1; Max-Age=600", "https://h.test/")
    assert {name: os.stat(tmp_path / name).st_mode & 0o777 for name in os.listdir(tmp_path)
            if name.startswith("real")} == {"real.db": 0o600}


OPEN_AT_ONCE = """
import sys, time
from glimmering_copper_otter.jar import CookieJar
time.sleep(max(0.0, float(sys.argv[2]) - time.time()))
with CookieJar(sys.argv[1]) as jar:
    jar.set_cookie("c%s=1; Max-Age=600" % sys.argv[3], "https://h.test/")
"""


def test_processes_making_one_file_at_once_all_open_it(tmp_path):
    for round_ in range(6):
        path = tmp_path / f"jar{round_}.db"
        start = time.time() + 0.5
        children = [subprocess.Popen([sys.executable, "-c", OPEN_AT_ONCE, str(path), str(start),
                                      str(n)], stderr=subprocess.PIPE, text=True)
                    for n in range(6)]
        errors = [child.communicate(timeout=60)[1] for child in children]
        assert [child.returncode for child in children] == [0] * 6, errors
        assert len(_names(path)) == 6


UNCLOSED = """
import sys, gc
from glimmering_copper_otter.jar import CookieJar
jar = CookieJar(sys.argv[1])
jar.set_cookie("a=1; Max-Age=600", "https://h.test/")
del jar
gc.collect()
"""


def test_a_closed_jar_and_an_unclosed_one(tmp_path):
    path = tmp_path / "jar.db"
    with CookieJar(path) as jar:
        jar.set_cookie("a=1; Max-Age=600", "https://h.test/")
    assert jar.closed and repr(jar) == "<glimmering_copper_otter.jar.CookieJar (closed)>"
    for call in (lambda: jar.cookie_header("https://h.test/"), lambda: len(jar),
                 lambda: jar.set_cookie("a=1", "https://h.test/"), jar.rows):
        with pytest.raises(ValueError, match="the cookie jar is closed"):
            call()
    jar.close()  # again: nothing
    done = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", UNCLOSED,
                           str(path)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stderr == ""


def test_a_call_made_while_init_reads_its_path_is_not_lost(tmp_path):
    old, new = tmp_path / "old.db", tmp_path / "new.db"
    jar = CookieJar(old)

    class Path:
        def __fspath__(self):
            jar.set_cookie("during=1; Max-Age=600", "https://h.test/")
            return str(new)

    assert jar.set_cookie("before=1; Max-Age=600", "https://h.test/")
    jar.__init__(Path())
    assert jar.store.path == str(new) and len(jar) == 0
    assert _names(old) == {b"before", b"during"}


# The process killed: jars on one file (a fork among them), one reopened now
# and then; each prints the cookie it set once the call returned.
JARS = """
import sys, time
from glimmering_copper_otter.jar import CookieJar
path, count = sys.argv[1], int(sys.argv[2])
free = {"max_cookies": None, "max_cookies_per_site": None}
jars = [CookieJar(path, **free), CookieJar(path, name="b", **free)]
jars += [jars[0].fork("c")] if count == 3 else []
print("ready", flush=True)
for i in range(10 ** 6):
    jar = jars[i % count]
    jar.set_cookie("k%d=v; Max-Age=9999" % i, "https://h.test/")
    print(jar.store.name, i, flush=True)
    jar.cookie_header("https://h.test/")
    time.sleep(0.002)  # a few hundred cookies by the end
    if i % 7 == 6:
        jars[1].close()
        jars[1] = CookieJar(path, name="b", **free)
"""
# The other process: a jar opened, written and closed, again and again.
WRITER = """
import sys
from glimmering_copper_otter.jar import CookieJar
for i in range(int(sys.argv[2])):
    with CookieJar(sys.argv[1], max_cookies=None, max_cookies_per_site=None) as jar:
        jar.set_cookie("o%d=w%d; Max-Age=9999" % (i, i), "https://h.test/")
    print("default", f"o{i}", flush=True)
"""


def _stored(path):
    db = _other(path)
    try:
        assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
        return set(db.execute("SELECT jar, CAST(name AS TEXT), value FROM cookies").fetchall())
    finally:
        db.close()


@pytest.mark.parametrize("jars, kill_writer", [(2, False), (3, False), (3, True)],
                         ids=["two", "three", "both-killed"])
def test_jars_sharing_a_file_killed_lose_and_overwrite_nothing(tmp_path, jars, kill_writer):
    rng = random.Random(jars + kill_writer)
    for round_ in range(2):
        path = tmp_path / f"jar{round_}.db"
        CookieJar(path).close()
        killed = subprocess.Popen([sys.executable, "-c", JARS, str(path), str(jars)],
                                  stdout=subprocess.PIPE, text=True)
        assert killed.stdout.readline() == "ready\n"
        writer = subprocess.Popen([sys.executable, "-c", WRITER, str(path), "8"],
                                  stdout=subprocess.PIPE, text=True)
        # Killed after a random number of the writer's closes.
        done = [writer.stdout.readline().split() for _ in range(rng.randrange(1, 7))]
        for child in (killed, writer) if kill_writer else (killed,):
            child.send_signal(signal.SIGKILL)
        done += [line.split() for child in (killed, writer) for line in child.stdout]
        assert killed.wait() == -signal.SIGKILL and writer.wait() in (0, -signal.SIGKILL)
        expected = {(jar, f"k{i}" if i.isdigit() else i,
                     b"v" if i.isdigit() else b"w" + i[1:].encode()) for jar, i in done}
        assert expected <= _stored(path) and len(done) > 2


TWIN = """
import sys
from glimmering_copper_otter.jar import CookieJar
jar = CookieJar(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
try:
    print(jar.fork("twin").cookie_header("https://h.test/").decode())
except ValueError as error:
    print("holds cookies already" in str(error))
"""


def _twin_forks(tmp_path, monkeypatch):
    outcomes = []
    for round_ in range(3):
        path = tmp_path / f"jar{round_}.db"
        with CookieJar(path) as jar:
            jar.set_cookie("a=1; Max-Age=600", "https://h.test/")
        children = [subprocess.Popen([sys.executable, "-c", TWIN, str(path)], text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                    for _ in range(2)]
        assert [child.stdout.readline() for child in children] == ["ready\n"] * 2
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        outcomes.append(sorted(child.communicate(timeout=60)[0] for child in children))
    return outcomes


def _refused(make):
    def scenario(tmp_path, monkeypatch):
        path = make(tmp_path)
        journal = os.path.exists(f"{path}-journal")
        with pytest.raises(StoreError) as raised:
            CookieJar(path)
        made = os.path.exists(f"{path}-journal") > journal
        return str(raised.value).replace(str(path), "PATH"), made
    return scenario


def _removals_capped(tmp_path, monkeypatch):
    for name, value in [("PRUNE_EVERY", 8), ("VACUUM_ABOVE", 8), ("VACUUM_KEEP", 0)]:
        monkeypatch.setattr(_store, name, value)
    store, reader = SqliteStore(tmp_path / "jar.db"), SqliteStore(tmp_path / "jar.db")
    reader.load()
    pages = []
    for cap in (10 ** 6, 100):
        monkeypatch.setattr(_store, "KEEP_MOST", cap)
        for i in range(100):
            rows = [(b"c%d" % k,) + ROW[1:] for k in range(30)]
            store.apply([("set", row) for row in rows])
            store.apply([("delete", (row[0],) + KEY[1:]) for row in rows])
        pages.append(store._db.execute("PRAGMA page_count").fetchone()[0])
    kept = store._db.execute("SELECT count(*) FROM removals").fetchone()[0]
    return kept <= 100 + 8 * 30, pages[1] < pages[0] / 3, reader.refresh() == ([], None)


def _odd_name(tmp_path, monkeypatch):
    folder = tmp_path / "d"
    folder.mkdir()
    path = folder / "a#b?c%41.db"
    with CookieJar(path) as jar:
        jar.set_cookie("a=1; Max-Age=600", "https://h.test/")
    return os.listdir(folder), _run_read_only(folder, path, False).stdout.splitlines()[0]


NOT_A_FILE = "PATH: not a regular file ({}): a cookie store is a file; nothing was opened"
FILE_FAULTS = [
    ("twin forks", _twin_forks, [["True\n", "a=1\n"]] * 3),
    ("device", _refused(lambda _: "/dev/null"), (NOT_A_FILE.format("a device"), False)),
    ("fifo", _refused(lambda tmp: os.mkfifo(tmp / "f") or tmp / "f"),
     (NOT_A_FILE.format("a FIFO"), False)),
    ("directory", _refused(lambda tmp: tmp), (NOT_A_FILE.format("a directory"), False)),
    ("removals capped", _removals_capped, (True, True, True)),
    ("odd name", _odd_name, (["a#b?c%41.db"], "True False a=1")),
]


@pytest.mark.parametrize("scenario, expected", [row[1:] for row in FILE_FAULTS],
                         ids=[row[0] for row in FILE_FAULTS])
def test_file_faults(tmp_path, monkeypatch, scenario, expected):
    assert scenario(tmp_path, monkeypatch) == expected
