"""A throw-away PostgreSQL server for the tests and the benchmarks: made by
initdb in a temporary directory, listening on a Unix socket there only, run
as an unprivileged user when the caller is root (the server refuses root),
and stopped (its directory removed) when the process ends.

`server()` gives the one server of the process (started on first use);
`server().fresh()` the url of a new empty schema, so that each test starts
from an empty database without making one.  Without the server's programs,
`Missing` says how to get them.
"""

import atexit
import glob
import os
import pwd
import shutil
import subprocess
import tempfile
import urllib.parse

HOW = ("the PostgreSQL server tests need initdb and pg_ctl (on PATH or in "
       "/usr/lib/postgresql/<version>/bin): apt-get install postgresql, and pip install "
       "'psycopg[binary]'")


def binaries():
    """The directory of initdb and pg_ctl, or None."""
    found = shutil.which("initdb")
    if found and shutil.which("pg_ctl"):
        return os.path.dirname(found)
    versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                      key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(versions[-1]) if versions else None


PASSWORD_ROLE = "gcopw"


class Missing(RuntimeError):
    """The server's programs or psycopg are not installed."""


class Server:
    def __init__(self):
        self.bin = binaries()
        try:
            import psycopg  # noqa: F401
        except ImportError:
            self.bin = None
        if self.bin is None:
            raise Missing(HOW)
        self.root = tempfile.mkdtemp(prefix="gco-pg-")
        self.data = os.path.join(self.root, "data")
        self.socket = self.root
        self._schemas = 0
        self.user = None
        if os.getuid() == 0:
            name = "postgres" if _exists("postgres") else "nobody"
            self.user = pwd.getpwnam(name)
            os.chown(self.root, self.user.pw_uid, self.user.pw_gid)
        os.chmod(self.root, 0o755)
        self._owner = os.getpid()
        atexit.register(self._remove)
        self._run("initdb", "-D", self.data, "-A", "trust", "-U", "gco", "-E", "UTF8",
                  "--locale=C", "-N")
        # The role PASSWORD_ROLE signs in with a password; every other, trusted.
        hba = os.path.join(self.data, "pg_hba.conf")
        with open(hba) as file:
            rules = file.read()
        with open(hba, "w") as file:
            file.write(f"local all {PASSWORD_ROLE} scram-sha-256\n{rules}")
        self.start()
        self.socket_path = os.path.join(self.socket, ".s.PGSQL.5432")
        self.admin = self._connect("postgres")
        self.admin.execute("CREATE DATABASE gco")
        self.admin.execute(f"CREATE ROLE {PASSWORD_ROLE} LOGIN")
        self.admin.execute(f"GRANT ALL ON DATABASE gco TO {PASSWORD_ROLE}")
        self._db = self._connect("gco")

    def _run(self, program, *args, check=True):
        kwargs = {}
        if self.user is not None:
            kwargs = dict(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        # The server is not built with the sanitizers the tests may preload.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
        done = subprocess.run([os.path.join(self.bin, program), *args], capture_output=True,
                              text=True, timeout=120, cwd=self.root, env=env, **kwargs)
        if check and done.returncode != 0:
            raise RuntimeError(f"{program} failed:\n{done.stdout}\n{done.stderr}")
        return done

    def start(self):
        options = f"-k {self.socket} -c listen_addresses= -F -c max_connections=60"
        self._run("pg_ctl", "-D", self.data, "-o", options, "-l",
                  os.path.join(self.root, "log"), "-w", "start")

    def stop(self, mode="fast"):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "stop", check=False)

    def _remove(self):
        if os.getpid() != self._owner:  # a forked child: the server is its parent's
            return
        for connection in (getattr(self, "admin", None), getattr(self, "_db", None)):
            if connection is not None:
                connection.close()
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def restart(self):
        for connection in (self.admin, self._db):
            connection.close()
        self.stop()
        self.start()
        self.admin = self._connect("postgres")
        self._db = self._connect("gco")

    def _connect(self, database):
        import psycopg

        return psycopg.connect(f"postgresql://gco@/{database}?host={self.socket}",
                               autocommit=True)

    def url(self, schema=None, password=None):
        """A url of the database gco; with schema, in a new empty schema of
        that name (made here)."""
        user = "gco" if password is None else f"gco:{password}"
        query = {"host": self.socket}
        if schema is not None:
            self.sql(f'DROP SCHEMA IF EXISTS "{schema}" CASCADE')
            self.sql(f'CREATE SCHEMA "{schema}"')
            query["options"] = f"-csearch_path={schema}"
        return f"postgresql://{user}@/gco?{urllib.parse.urlencode(query)}"

    def set_password(self, password):
        """Gives PASSWORD_ROLE that password."""
        from psycopg import sql

        self.admin.execute(sql.SQL("ALTER ROLE {} PASSWORD {}").format(
            sql.Identifier(PASSWORD_ROLE), sql.Literal(password)))

    def fresh(self):
        """The url of a new empty schema."""
        self._schemas += 1
        return self.url(f"t{self._schemas}")

    def sql(self, statement, values=None):
        """Runs a statement as another client would; its rows, if any."""
        import psycopg

        try:
            cursor = self._db.execute(statement, values)
        except psycopg.OperationalError:  # the server restarted: connect again
            self._db.close()
            self._db = self._connect("gco")
            cursor = self._db.execute(statement, values)
        return cursor.fetchall() if cursor.description else None

    def connect(self, url):
        import psycopg

        return psycopg.connect(url, autocommit=True)


def _exists(user):
    try:
        pwd.getpwnam(user)
    except KeyError:
        return False
    return True


_SERVER = None


def server():
    global _SERVER
    if _SERVER is None:
        _SERVER = Server()
    return _SERVER
