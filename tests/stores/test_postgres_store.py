"""The PostgreSQL store on a throw-away server (gco_testkit.postgres): a fleet
of workers on one named jar ends as one jar replaying their commits would,
and the faults: the server restarting, a lock held elsewhere, a connection
cut mid-transaction, a worker killed, tables of another program or
version, passwords."""

import datetime as dt
import json
import random
import signal
import subprocess
import sys
import threading
import time
import warnings
from urllib.parse import quote

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from glimmering_copper_otter.jar import CookieJar, StoreError, StoreWarning
from glimmering_copper_otter.stores import _follow
from glimmering_copper_otter.stores import postgres as _postgres
from glimmering_copper_otter.stores.postgres import PostgresStore
from gco_testkit import postgres
from gco_testkit.proxy import Proxy

U = "https://www.a.test/"


@pytest.fixture
def server():
    return postgres.server()


@pytest.fixture
def url(server):
    return server.fresh()


def _schema(url):
    return url.rpartition("%3D")[2]


# 8 workers on one jar, the same few cookies on purpose.  Each call has its
# own instant (after the real clock, so that nothing expires by it), all
# within a minute (no last access is written): the calls that committed
# replay exactly.  A committed call is printed as [its change number, call].
# A call of the fleet, in the workers and in the replay alike.
CALL = """
def call_jar(jar, call, when):
    if call[0] == "set":
        jar.set_cookie(call[1], call[2], now=when)
    elif call[0] == "send":
        jar.cookie_header(call[1], now=when)
    else:
        jar.clear(domain=call[1], name=call[2])
"""
FLEET = CALL + """
import json, random, sys
import datetime as dt
from glimmering_copper_otter.jar import CookieJar
url, worker, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
T0 = dt.datetime.fromisoformat(sys.argv[4])
jar = CookieJar(store=url, name="fleet", keep_session_cookies=True, max_cookies=50,
                max_cookies_per_site=20)
rng = random.Random(worker)
for i in range(count):
    now = (i * 8 + worker) * 1000
    site = rng.choice("abc")
    url = f"{rng.choice(['http', 'https'])}://www.{site}.test/{rng.choice(['', 'p/'])}"
    pick = rng.random()
    if pick < 0.45:
        text = "n%d=%d%s%s%s" % (rng.randrange(30), rng.randrange(3),
                                 rng.choice(["; Max-Age=3600"] * 7 + ["; Max-Age=2"] * 2 + [""]),
                                 rng.choice(["", "", "; Path=/p"]),
                                 rng.choice(["", "", "", "; Secure"]))
        call = ["set", text, url]
    elif pick < 0.8:
        call = ["send", url]
    elif pick < 0.95:
        call = ["clear", None, f"n{rng.randrange(30)}"]
    else:
        call = ["clear", f"www.{site}.test", None]
    before = jar.store.last_change
    call_jar(jar, call, T0 + dt.timedelta(microseconds=now))
    if jar.store.last_change != before:
        print(json.dumps([jar.store.last_change, now, call]), flush=True)
"""


def _replay(lines, t0):
    """The committed calls in the server's order, through one memory jar."""
    jar, calls = CookieJar(max_cookies=50, max_cookies_per_site=20), {}
    exec(CALL, calls)
    for number, now, call in sorted(json.loads(line) for line in lines):
        calls["call_jar"](jar, call, t0 + dt.timedelta(microseconds=now))
    return jar


def test_a_fleet_on_one_jar_ends_as_its_commits_replayed(server, url):
    t0 = dt.datetime.now(dt.timezone.utc).replace(microsecond=0) + dt.timedelta(hours=1)
    workers = [subprocess.Popen([sys.executable, "-c", FLEET, url, str(n), "2000",
                                 t0.isoformat()], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True) for n in range(8)]
    lines = []
    for worker in workers:
        out, err = worker.communicate(timeout=900)
        assert worker.returncode == 0, err
        lines += out.splitlines()
    numbers = sorted(json.loads(line)[0] for line in lines)
    counter = server.sql(f"SELECT counter FROM {_schema(url)}.gco_jars WHERE name = 'fleet'")
    assert numbers == list(range(1, counter[0][0] + 1))  # every commit, once
    rows = PostgresStore(url, name="fleet").load()
    assert sorted(rows) == sorted(_replay(lines, t0).rows())
    sites = [row[2] for row in rows]
    assert len(rows) <= 50 and max(map(sites.count, set(sites))) <= 20
    assert {json.loads(line)[2][0] for line in lines} >= {"set", "clear"}


def test_what_a_read_decided_is_written_only_on_the_jar_it_read(url):
    # A read removes a cookie it found expired: written when no other worker
    # changed the jar meanwhile; else not, and the next read has the key's
    # row as it is on the server.
    t0 = dt.datetime.now(dt.timezone.utc) + dt.timedelta(hours=1)
    later = t0 + dt.timedelta(seconds=5)
    meanwhile = []

    class Racing(PostgresStore):
        def apply_unless_changed(self, changes):
            for call in meanwhile:
                call()
            super().apply_unless_changed(changes)

    jar, other = CookieJar(store=Racing(url)), CookieJar(store=url)
    jar.set_cookies(["a=1; Max-Age=2", "b=1; Max-Age=2"], U, now=t0)
    before = jar.store.last_change
    assert jar.cookie_header(U, now=later) == b"" and jar.store.last_change == before + 1
    assert other.cookie_header(U, now=t0) == b""
    other.set_cookie("a=2; Max-Age=2", U, now=t0)
    meanwhile.append(lambda: other.set_cookie("a=3; Max-Age=600", U, now=t0))
    assert jar.cookie_header(U, now=later) == b""  # a=2 expired: its removal is not written
    meanwhile.clear()
    assert [row[1] for row in PostgresStore(url).load()] == [b"3"]
    assert jar.cookie_header(U, now=later) == b"a=3"


def test_the_clock_reaches_a_worker_that_read_the_change_that_hid_it(url):
    # Another worker hands out a creation time, then removes the cookie; this
    # worker reads both, then sets a cookie at an earlier instant: its
    # creation follows the clock, as in one jar.
    t0 = dt.datetime.now(dt.timezone.utc) + dt.timedelta(hours=1)
    jar, other, one = CookieJar(store=url), CookieJar(store=url), CookieJar()
    jar.cookie_header(U, now=t0)
    for each in (other, one):
        each.set_cookie("b=1; Max-Age=600", U, now=t0 + dt.timedelta(seconds=10))
        each.clear()
    jar.cookie_header(U, now=t0)
    for each in (jar, one):
        each.set_cookie("a=1; Max-Age=600", U, now=t0)
    assert jar.rows() == one.rows()


def test_the_prepared_statements_outlive_a_rollback(url):
    # A call that changes nothing rolls back; the client library must not
    # take that as its cue to drop every prepared statement of the session.
    jar, other = CookieJar(store=url), CookieJar(store=url)
    for n in range(8):  # the same catch-up read, again and again
        other.set_cookie(f"n{n}=1; Max-Age=600", U)
        jar.cookie_header(U)
    jar.store.begin()
    jar.store.rollback()
    jar.set_cookie("a=1; Max-Age=600", U)
    assert b"a=1" in other.cookie_header(U)


def test_the_server_restarting_mid_crawl(server, url):
    jar = CookieJar(store=url)
    jar.set_cookie("a=1; Max-Age=600", U)
    server.restart()
    # The call that meets the lost connection raises, naming the server; it
    # changed nothing, and the next one connects again.
    with pytest.raises(StoreError, match="the server cannot be reached or went away") as raised:
        jar.set_cookie("b=1; Max-Age=600", U)
    assert raised.value.filename == jar.store.server
    assert jar.cookie_header(U) == b"a=1"
    jar.set_cookie("b=1; Max-Age=600", U)
    assert CookieJar(store=url).cookie_header(U) == b"a=1; b=1"


def test_a_lock_held_by_another_client_waits_the_timeout(server, url):
    jar = CookieJar(store=url, timeout=0.3)
    jar.set_cookie("a=1; Max-Age=600", U)
    other = server.connect(url)
    jar_id = other.execute("SELECT id FROM gco_jars WHERE name = 'default'").fetchone()[0]
    other.execute("SELECT pg_advisory_lock(%s)", (jar_id,))
    start = time.monotonic()
    with pytest.raises(StoreError, match="locked by another worker"):
        jar.set_cookie("b=1; Max-Age=600", U)
    assert time.monotonic() - start > 0.25
    assert jar.cookie_header(U) == b"a=1"  # a read does not wait for the lock
    other.close()
    jar.set_cookie("b=1; Max-Age=600", U)
    assert CookieJar(store=url).cookie_header(U) == b"a=1; b=1"


def test_a_connection_cut_inside_a_transaction_changes_nothing(server, url):
    cut = []

    class Cut(PostgresStore):
        def commit(self, changes, clock):
            if not cut:
                cut.append(server.sql("SELECT pg_terminate_backend(%s)",
                                      (self._db.pid,)))
            super().commit(changes, clock)

    jar = CookieJar(store=Cut(url))
    with pytest.raises(StoreError, match="went away"):
        jar.set_cookies(["a=1; Max-Age=600", "b=1; Max-Age=600"], U)
    assert len(jar) == 0 and CookieJar(store=url).cookie_header(U) == b""
    jar.set_cookie("c=1; Max-Age=600", U)
    assert CookieJar(store=url).cookie_header(U) == b"c=1"


def _via(server, url, proxy):
    return url.replace(f"host={quote(server.socket, safe='')}", f"host=127.0.0.1&port={proxy.port}")


def _held(server, url):
    """Another client holding the jar's lock."""
    other = server.connect(url)
    jar_id = other.execute("SELECT id FROM gco_jars WHERE name = 'default'").fetchone()[0]
    other.execute("SELECT pg_advisory_lock(%s)", (jar_id,))
    return other


def _ticking_lock_wait(server, url, proxy, jar):
    other, ticks, stop = _held(server, url), [], threading.Event()

    def tick():
        while not stop.wait(0.001):
            ticks.append(1)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        with pytest.raises(StoreError, match="locked by another worker"):
            jar.set_cookie("b=1; Max-Age=600", U)
    finally:
        stop.set()
        ticker.join()
        other.close()
    assert len(ticks) > 20  # the interpreter was free while the call waited


def _stalled(server, url, proxy, jar):
    proxy.stall()
    with pytest.raises(StoreError, match="did not answer in 0.5 s"):
        jar.set_cookie("b=1; Max-Age=600", U)


def _interrupted(server, url, proxy, jar):
    proxy.stall()
    main = threading.get_ident()
    threading.Timer(0.1, signal.pthread_kill, (main, signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        jar.set_cookie("b=1; Max-Age=600", U)


def _cancelled(server, url, proxy, jar):
    other = _held(server, url)
    threading.Timer(0.1, server.sql, ("SELECT pg_cancel_backend(pid) FROM pg_stat_activity "
                                      "WHERE wait_event_type = 'Lock' AND pid <> %s",
                                      (other.info.backend_pid,))).start()
    with pytest.raises(StoreError, match="cancelled a statement") as raised:
        jar.set_cookie("b=1; Max-Age=600", U)
    other.close()
    assert "locked" not in str(raised.value)


def _cut_after_commit(server, url, proxy, jar):
    proxy.cut_after(b"COMMIT")
    jar.set_cookie("b=1; Max-Age=600", U)  # committed: reported done, not raised
    assert proxy._cut_pattern is None  # the link was cut


# A wait met by a call (timeout 0.5 s, through the proxy); after it, the
# jar goes on, and only a call that did not raise changed the jar.
@pytest.mark.parametrize("meet, written", [
    (_ticking_lock_wait, False), (_stalled, False), (_interrupted, False), (_cancelled, False),
    (_cut_after_commit, True),
], ids=["lock wait lets threads run", "stalled server", "Ctrl-C", "statement cancelled",
        "cut after COMMIT"])
def test_every_wait_is_bounded_and_lets_the_process_run(server, url, meet, written):
    with Proxy(server.socket_path) as proxy:
        jar = CookieJar(store=_via(server, url, proxy), timeout=0.5)
        jar.set_cookie("a=1; Max-Age=600", U)
        meet(server, url, proxy, jar)
        proxy.resume()
        assert CookieJar(store=url).cookie_header(U) == (b"a=1; b=1" if written else b"a=1")
        jar.set_cookie("c=1; Max-Age=600", U)
        assert b"c=1" in CookieJar(store=url).cookie_header(U)


def _backends(server, settled=None):
    """The server's backends of application 'one'; with settled, once that
    many are left (a closed connection's backend is listed until it has
    ended), or what is left after 10 seconds."""
    deadline = time.monotonic() + 10
    while True:
        count = server.sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                           "'one'")[0][0]
        if settled is None or count == settled or time.monotonic() > deadline:
            return count
        time.sleep(0.01)


def test_named_jars_of_one_store_share_its_connection(server, url):
    store = PostgresStore(url + "&application_name=one", keep_session_cookies=True)
    before = _backends(server)
    jars = [CookieJar(store=store.for_jar(f"key{n}")) for n in range(20)]
    assert _backends(server) == before

    def crawl(jar, n):
        for i in range(25):
            jar.set_cookie(f"k{n}x{i}=1", U)
            assert b"k%dx%d=1" % (n, i) in jar.cookie_header(U)

    threads = [threading.Thread(target=crawl, args=(jar, n)) for n, jar in enumerate(jars)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for n in (0, 19):
        assert len(PostgresStore(url, name=f"key{n}", keep_session_cookies=True).load()) == 25
    for jar in jars:
        jar.close()
    assert _backends(server) == before  # the first store still holds it
    store.close()
    assert _backends(server, settled=before - 1) == before - 1


def test_two_forks_into_one_name_one_wins(url):
    for round_ in range(4):
        jars = [CookieJar(store=url, name=f"r{round_}s{n}") for n in range(2)]
        for n, jar in enumerate(jars):
            jar.set_cookie(f"from{n}=1; Max-Age=600", U)
        barrier, outcome = threading.Barrier(2), []

        def fork(jar):
            barrier.wait()
            try:
                outcome.append(jar.fork(f"r{round_}new").cookie_header(U))
            except ValueError as error:
                outcome.append(str(error))

        threads = [threading.Thread(target=fork, args=(jar,)) for jar in jars]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        won = [o for o in outcome if isinstance(o, bytes)]
        assert len(won) == 1 and "holds cookies already" in str(outcome)
        assert CookieJar(store=url, name=f"r{round_}new").cookie_header(U) == won[0]


KILLED = """
import sys
from glimmering_copper_otter.jar import CookieJar
jar = CookieJar(store=sys.argv[1], max_cookies=None, max_cookies_per_site=None)
print("ready", flush=True)
for i in range(10 ** 6):
    jar.set_cookies(["k%d.%d=1; Max-Age=600" % (i, k) for k in range(50)], "https://www.a.test/")
    print(f"done {i}", flush=True)  # word and number in one write
"""


def test_a_worker_killed_between_statements_loses_nothing_it_reported_done(url):
    rng = random.Random(33)
    for _ in range(4):
        child = subprocess.Popen([sys.executable, "-c", KILLED, url], stdout=subprocess.PIPE,
                                 text=True)
        assert child.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0.05, 0.5))
        child.send_signal(signal.SIGKILL)
        done = {int(line.split()[1]) for line in child.communicate()[0].splitlines()}
        names = {row[0] for row in PostgresStore(url).load()}
        calls = {name.split(b".")[0] for name in names}
        # Every call reported done is there, each call whole or not at all.
        assert {b"k%d" % i for i in done} <= calls and len(names) == 50 * len(calls)
        CookieJar(store=url, timeout=2).clear()  # the killed worker's lock went with it
        assert PostgresStore(url).load() == []


def _foreign(server, url):
    server.sql(f"CREATE TABLE {_schema(url)}.gco_cookies (x int)")


def _version(server, url):
    PostgresStore(url).close()
    server.sql(f"UPDATE {_schema(url)}.gco_schema SET version = 9")


@pytest.mark.parametrize("make, message", [
    (_foreign, "tables of another program"), (_version, "schema version 9"),
], ids=["another program", "another version"])
def test_tables_of_another_program_or_version_are_refused_untouched(server, url, make, message):
    make(server, url)
    tables = ("SELECT table_name FROM information_schema.tables WHERE table_schema = "
              f"'{_schema(url)}'")
    before = sorted(server.sql(tables))
    with pytest.raises(StoreError, match=message):
        CookieJar(store=url)
    assert sorted(server.sql(tables)) == before


def test_a_password_never_shows(server, url):
    secret = "pa:ss@w%2Frd"
    with_password = url.replace("gco@", f"gco:{secret}@") + "&password=" + secret
    store = PostgresStore(with_password)
    assert secret not in repr(store) and secret not in store.server
    missing = with_password.replace("%2Ftmp", "%2Fnowhere")
    with pytest.raises(StoreError) as raised:
        CookieJar(store=missing)
    assert "cannot connect" in str(raised.value) and "pa:ss" not in str(raised.value)
    assert "w%2Frd" not in repr(raised.value) and secret not in str(raised.value.filename)


def _kv(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


# How a password reaches libpq: (name, the connection string of a password,
# a socket directory and a port; PGPASSWORD or None).
PASSWORD_FORMS = [
    ("url", lambda pw, d, p: f"postgresql://gcopw:{quote(pw, safe='')}@/gco?host={quote(d)}"
     f"&port={p}", False),
    ("url, raw", lambda pw, d, p: f"postgresql://gcopw:{pw}@/gco?host={quote(d)}&port={p}",
     False),
    ("query", lambda pw, d, p: f"postgresql://gcopw@/gco?host={quote(d)}&port={p}&password="
     f"{quote(pw, safe='')}", False),
    ("sslpassword", lambda pw, d, p: f"postgresql://gcopw:x@/gco?port={p}&host={quote(d)}"
     f"&sslpassword={quote(pw)}", False),
    ("key-value", lambda pw, d, p: f"host={_kv(d)} port={p} user=gcopw dbname=gco "
     f"password={_kv(pw)}", False),
    ("PGPASSWORD", lambda pw, d, p: f"postgresql://gcopw@/gco?host={quote(d)}&port={p}", True),
]


def _shows_no_password(server, monkeypatch, text, connects):
    # Markers at both ends: a password shown in part shows one of them.
    password = f"S3cr{text}Et9"
    if connects:
        server.set_password(password)
    for name, form, environment in PASSWORD_FORMS:
        for port in (5432, 1):  # refused (or signed in), no server there
            with monkeypatch.context() as patch:
                if environment:
                    patch.setenv("PGPASSWORD", password)
                shown = []
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    try:
                        store = PostgresStore(form(password, server.socket, port))
                    except StoreError as error:
                        shown += [str(error), repr(error), str(error.filename)]
                    else:
                        shown += [repr(store), *(str(value) for key, value in vars(store).items()
                                                 if not key.startswith("_"))]
                        store.close()
                shown += [str(warning.message) for warning in caught]
            for text_shown in shown:
                for piece in (password, quote(password, safe=""), "S3cr", "Et9"):
                    assert piece not in text_shown, (name, port, text_shown)


@settings(max_examples=30, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.text(st.characters(min_codepoint=32, max_codepoint=126), min_size=1))
def test_no_password_shows_in_any_message_repr_or_attribute(server, monkeypatch, text):
    _shows_no_password(server, monkeypatch, text, False)


@pytest.mark.parametrize("text", ["p@ss#w?d", "a b%zz", "q'\\\"x", "%41%", "x:y@z/w"])
def test_a_password_that_signs_in_never_shows(server, monkeypatch, text):
    server.sql("DROP SCHEMA IF EXISTS pw CASCADE")
    server.sql("CREATE SCHEMA pw AUTHORIZATION gcopw")
    server.sql("ALTER ROLE gcopw SET search_path = pw")
    _shows_no_password(server, monkeypatch, text, True)


def test_rows_another_program_wrote_are_passed_over_with_a_warning(server, url):
    with CookieJar(store=url) as jar:
        jar.set_cookie("good=1; Max-Age=600", U)
    columns = ", ".join(_postgres._COLUMNS)
    for name, domain, value in ((b"c", "WWW.a.test", b"1"), (b"d", "www.a.test", b"1\n")):
        server.sql(f"INSERT INTO {_schema(url)}.gco_cookies (jar, {columns}, change) SELECT jar, "
                   f"%s, %s, %s, {columns.split(', ', 3)[3]}, change FROM "
                   f"{_schema(url)}.gco_cookies WHERE name = 'good'", (name, value, domain))
    with pytest.warns(StoreWarning, match="InvalidDomain.*DisallowedCharacter|"
                      "DisallowedCharacter.*InvalidDomain"):
        jar = CookieJar(store=url)
    assert jar.cookie_header(U) == b"good=1"


@pytest.mark.parametrize("args, error, message", [
    (dict(path="x.db", store="postgresql://h/db"), ValueError, "not both"),
    (dict(store="/tmp/x.db"), ValueError, "postgresql:// url"),
    (dict(store="postgresql://h/db", timeout=0), ValueError, "timeout"),
    (dict(path="postgresql://h/db"), ValueError, r"CookieJar\(store=url\)"),
    (dict(store="postgresql://h/db", timeout=0.0005), ValueError, "timeout"),
    (dict(store="postgresql://h/db", timeout=float("inf")), ValueError, "finite"),
    (dict(store="postgresql://h/db", timeout=float("nan")), ValueError, "finite"),
    (dict(store="postgresql://h/db", timeout="5"), TypeError, "timeout"),
    (dict(store="postgresql://h/db", name="\udcff"), ValueError, "lone surrogate: '\\\\udcff'"),
])
def test_arguments(args, error, message):
    path = args.pop("path", None)
    with pytest.raises(error, match=message):
        CookieJar(path, **args)


# (what the worker's role was granted, the server's words in the error)
GRANTS = [
    ("", "no schema has been selected to create in"),  # no USAGE: the schema is not seen
    ("GRANT USAGE ON SCHEMA {s} TO gco_worker", "permission denied for schema"),
]


@pytest.mark.parametrize("grants, said", GRANTS, ids=["nothing", "usage only"])
def test_a_role_without_privileges_is_told_what_to_grant(server, url, grants, said):
    PostgresStore(url).close()  # the tables, made by their owner
    server.sql("DROP ROLE IF EXISTS gco_worker")
    server.sql("CREATE ROLE gco_worker LOGIN")
    try:
        for grant in filter(None, grants.split("; ")):
            server.sql(grant.format(s=_schema(url)))
        with pytest.raises(StoreError, match=said) as raised:
            CookieJar(store=url.replace("gco@", "gco_worker@"))
        assert "GRANT SELECT, INSERT, UPDATE, DELETE" in str(raised.value)
    finally:
        server.sql("DROP OWNED BY gco_worker")
        server.sql("DROP ROLE gco_worker")


def _until(condition, seconds=20.0):
    """Whether condition() came true within seconds."""
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


# How another worker's change reaches a jar reading from its copy: (the
# writer announces it, the listening connection is cut first, how the reader
# catches up: waiting for the follower, or sync()).
FOLLOWED = [
    ("announced", True, False, "wait"),
    ("listen dropped", False, True, "wait"),
    ("not announced, polled", False, False, "wait"),
    ("not announced, synced", False, False, "sync"),
]


@pytest.mark.parametrize("announced, dropped, catch_up",
                         [row[1:] for row in FOLLOWED], ids=[row[0] for row in FOLLOWED])
def test_a_reader_of_its_copy_misses_no_change(server, url, monkeypatch, announced, dropped,
                                               catch_up):
    if catch_up == "wait" and not announced and not dropped:
        monkeypatch.setattr(_follow, "POLL", 0.2)
    reader = CookieJar(store=url)
    writer = CookieJar(store=PostgresStore(url, reads="strict"))
    follower = reader.store._follower
    assert reader.cookie_header(U) == b"" and follower.alive
    if not announced:
        writer.store._channel = None  # as a program that does not announce
    epoch = follower.epoch
    if dropped:
        server.sql("SELECT pg_terminate_backend(%s)", (follower.backend_pid,))
    writer.set_cookie("x=1; Max-Age=600", U)
    if catch_up == "sync":
        reader.sync()
        assert reader.cookie_header(U) == b"x=1"
    else:
        assert _until(lambda: reader.cookie_header(U) == b"x=1")
    # A cut connection is made again (read as if not followed meanwhile).
    assert _until(lambda: follower.alive and follower.epoch > epoch) if dropped \
        else follower.epoch == epoch
    writer.clear()
    assert _until(lambda: reader.cookie_header(U) == b"")
    reader.close()
    assert not follower.alive and not follower._thread.is_alive()


def test_a_fleet_writing_behind_ends_as_the_servers_rows_after_every_flush(server, url):
    import asyncio

    async def work(worker, jar, round):
        for k in range(6):
            await jar.aset_cookies([f"w{worker}k{k}=1; Max-Age=600", f"same={worker}.{round}",
                                    f"gone{k % 2}=1; Max-Age={600 if worker % 2 else 0}"], U)
            jar.cookie_header(U)  # answered from the copy meanwhile

    async def fleet():
        jars = [CookieJar(store=url) for _ in range(8)]
        for round in range(3):
            await asyncio.gather(*(work(i, jar, round) for i, jar in enumerate(jars)))
            for jar in jars:
                await jar.aflush()
            for jar in jars:  # what the others flushed after it
                jar.sync()
            rows = sorted(PostgresStore(url, reads="strict").load())
            assert [sorted(jar.rows()) for jar in jars] == [rows] * 8, round
        async with jars[0] as first:
            await first.aset_cookie("last=1; Max-Age=600", U)
        # Closing flushed it.
        assert b"last" in [row[0] for row in PostgresStore(url).load()]
        for jar in jars[1:]:
            await jar.aclose()

    asyncio.run(fleet())


def test_a_server_away_queues_writes_behind_and_reads_go_on(server, url):
    import asyncio

    async def away():
        jar = CookieJar(store=url)
        await jar.aset_cookie("a=1; Max-Age=600", U)
        await jar.aflush()
        server.stop()
        try:
            await jar.aset_cookie("b=1; Max-Age=600", U)  # applied to the copy, queued
            assert _until(lambda: not jar.store._follower.alive)
            assert jar.cookie_header(U) == b"a=1; b=1"
            with pytest.raises(StoreError):
                await jar.aflush(timeout=30)
        finally:
            server.start()
        await jar.aflush(timeout=60)  # written once the server is back
        assert sorted(row[0] for row in PostgresStore(url).load()) == [b"a", b"b"]
        await jar.aclose()

    asyncio.run(away())


async def _get(client, jar, urls):
    if client == "aiohttp":
        import aiohttp

        async with aiohttp.ClientSession(cookie_jar=jar.for_aiohttp()) as session:
            for url in urls:
                async with session.get(url) as response:
                    await response.read()
    elif client == "httpx":
        import httpx

        async with jar.install(httpx.AsyncClient()) as session:
            for url in urls:
                await session.get(url)
    else:
        from curl_cffi.requests import AsyncSession

        async with jar.install(AsyncSession()) as session:
            for url in urls:
                await session.get(url)


@pytest.mark.parametrize("client", ["aiohttp", "httpx", "curl_cffi"])
def test_the_async_clients_write_behind(url, client):
    import asyncio

    from gco_testkit.loopback import Loopback

    web = Loopback()
    base = f"http://127.0.0.1:{web.server.server_address[1]}"
    jar = CookieJar(store=url)
    try:
        asyncio.run(_get(client, jar, [f"{base}/set?c=a%3D1%3B%20Max-Age%3D600", f"{base}/x"]))
        assert [received for _, received, _ in web.log] == [None, b"a=1"]  # from the copy
        assert jar.store.writer is not None
        jar.flush()
        assert [row[0] for row in PostgresStore(url).load()] == [b"a"]
    finally:
        jar.close()
        web.close()
