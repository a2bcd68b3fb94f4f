"""Debian's chromium and firefox-esr, started by the tests with throw-away
profiles, on a `Site` served from this process that answers every host
name: over TLS for Chromium (its resolver maps every name here), over plain
HTTP as a proxy for Firefox (TLS too, through CONNECT).  `/set?c=...&to=...`
answers with a Set-Cookie header per `c` (and a 302 to `to`), `/frame?src=URL`
with a page framing URL, `/done` tells the test its page loaded; each Cookie
header is logged.  `Chromium` is driven over the DevTools pipe (no driver, no
package), with its DevTools port open too on request; `Firefox` over
WebDriver BiDi (websockets), a session of the harness's own per visit."""

import contextlib
import datetime
import fcntl
import json
import os
import shutil
import select
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
FIREFOX = shutil.which("firefox-esr") or "/usr/bin/firefox-esr"
# How each real-browser test is run where a browser is missing.
HOW = ("apt-get install -y chromium firefox-esr, and the browsers extra "
       "(pip install '.[browsers]' in a checkout); CI installs both")


def have(path):
    return Path(path).is_file() and os.access(path, os.X_OK)


@contextlib.contextmanager
def unsanitized():
    """The browsers and their drivers are not under test: under the
    sanitizers, whatever this process starts starts without the preloaded
    runtime."""
    saved = {name: os.environ.pop(name) for name in ("LD_PRELOAD", "ASAN_OPTIONS",
                                                      "UBSAN_OPTIONS", "PYTHONMALLOC")
             if name in os.environ}
    try:
        yield
    finally:
        os.environ.update(saved)


def _environment(home):
    """The browsers' environment: a throw-away home (nothing reaches the
    user's own profiles), and none of the sanitizer run's preloading."""
    return {name: value for name, value in os.environ.items()
            if name not in ("LD_PRELOAD", "PYTHONMALLOC")
            and not name.startswith(("ASAN_", "UBSAN_", "LSAN_"))} | {"HOME": str(home)}


def _certificate(directory):
    """A self-signed certificate for every name and its key, written to one
    file in directory; and the key's SPKI hash, which Chromium is told to
    accept (--ignore-certificate-errors-spki-list)."""
    import base64
    import hashlib

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "test site")])
    now = datetime.datetime.now(datetime.timezone.utc)
    names = [x509.DNSName(n) for n in ("*.test", "*.site-a.test", "localhost")]
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=2))
                   .add_extension(x509.SubjectAlternativeName(names), critical=False)
                   .sign(key, hashes.SHA256()))
    path = Path(directory, "site.pem")
    path.write_bytes(certificate.public_bytes(serialization.Encoding.PEM) + key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    spki = key.public_key().public_bytes(serialization.Encoding.DER,
                                         serialization.PublicFormat.SubjectPublicKeyInfo)
    return path, base64.b64encode(hashlib.sha256(spki).digest()).decode()


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        server = self.server
        scheme = "https" if server.tls else "http"
        url = (self.path if self.path.startswith(("http://", "https://"))
               else f"{scheme}://{self.headers['Host']}{self.path}")
        parts = urlsplit(url)
        cookies = self.headers.get_all("Cookie")
        with server.site.lock:
            server.site.log.append((url, None if cookies is None else "; ".join(cookies)))
        query = parse_qs(parts.query, encoding="latin-1")  # raw bytes as they are
        body = b"ok"
        if parts.path == "/frame":
            body = f'<html><body><iframe src="{query["src"][0]}"></iframe></body></html>'.encode()
        elif parts.path == "/done":
            server.site.done.set()
        self.send_response(302 if "to" in query else 200)
        self.send_header("Content-Type", "text/html")
        for value in query.get("c", ()):
            self.send_header("Set-Cookie", value)
        for value in query.get("to", ()):
            self.send_header("Location", value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_CONNECT(self):
        """A tunnel to the site's TLS port, whatever host is asked for."""
        upstream = socket.create_connection(("127.0.0.1", self.server.site.tls_port), timeout=30)
        self.send_response(200)
        self.end_headers()
        ends = [self.connection, upstream]
        try:
            while True:
                ready = select.select(ends, [], [], 30)[0]
                if not ready:
                    return
                for end in ready:
                    data = end.recv(1 << 16)
                    if not data:
                        return
                    (upstream if end is self.connection else self.connection).sendall(data)
        finally:
            upstream.close()
            self.close_connection = True

    def log_message(self, *args):
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a browser's own requests and connections it drops are none of the tests'


class Site:
    """The site, over TLS (`tls_port`) and plain HTTP (`port`), until close()."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="gco-site-")
        self.log = []
        self.lock = threading.Lock()
        self.done = threading.Event()
        pem, self.spki = _certificate(self.directory)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem)
        self.servers = []
        for tls in (True, False):
            server = _Server(("127.0.0.1", 0), _Handler)
            server.tls, server.site = tls, self
            if tls:
                server.socket = context.wrap_socket(server.socket, server_side=True)
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                             daemon=True).start()
            self.servers.append(server)
        self.tls_port = self.servers[0].server_address[1]
        self.port = self.servers[1].server_address[1]

    def sent(self, path):
        """The Cookie header of the last request whose url ends with path."""
        with self.lock:
            return next(header for url, header in reversed(self.log) if url.endswith(path))

    def close(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()
        shutil.rmtree(self.directory, ignore_errors=True)


class Chromium:
    """Headless Chromium on a throw-away profile (`profile`, the user data
    directory), its values stored with the basic password store (v10),
    driven over the DevTools pipe; with port, its DevTools port is open as
    well (chosen by the browser, read from DevToolsActivePort): `endpoint`."""

    def __init__(self, site, profile, *, port=False):
        self.profile = Path(profile)
        default = self.profile / "Default"
        default.mkdir(parents=True, exist_ok=True)
        # Session cookies are kept in the file only when the browser restores
        # the last session; third-party cookies are allowed, as the jar does.
        (default / "Preferences").write_text(json.dumps(
            {"session": {"restore_on_startup": 1}, "profile": {"cookie_controls_mode": 0}}))
        to_browser, self._write = os.pipe()
        self._read, from_browser = os.pipe()
        args = [CHROMIUM, "--headless", "--no-sandbox", "--remote-debugging-pipe",
                f"--user-data-dir={self.profile}", "--password-store=basic",
                "--no-first-run", "--no-default-browser-check", "--disable-gpu",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-features=Translate,MediaRouter",
                f"--host-resolver-rules=MAP * 127.0.0.1:{site.tls_port}",
                f"--ignore-certificate-errors-spki-list={site.spki}", "about:blank"]
        if port:
            args.insert(3, "--remote-debugging-port=0")
        # The pipe is the child's fds 3 (commands in) and 4 (answers out),
        # copied there from fds above 4 so that neither end is overwritten.
        high = [fcntl.fcntl(end, fcntl.F_DUPFD_CLOEXEC, 5) for end in (to_browser, from_browser)]
        self.process = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True, pass_fds=(3, 4),
            preexec_fn=lambda: [os.dup2(end, fd) for end, fd in zip(high, (3, 4))],
            env=_environment(self.profile.parent))
        for end in (to_browser, from_browser, *high):
            os.close(end)
        self._buffer, self._id, self._session = b"", 0, None
        page = self.call("Target.createTarget", url="about:blank")["targetId"]
        self._session = self.call("Target.attachToTarget", targetId=page,
                                  flatten=True)["sessionId"]
        self.call("Page.enable", session=True)
        if port:
            active = self.profile / "DevToolsActivePort"
            _wait_for(lambda: active.is_file() and active.read_text().count("\n") >= 1)
            self.endpoint = f"http://127.0.0.1:{active.read_text().split()[0]}"

    def call(self, method, session=False, **params):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if session:
            message["sessionId"] = self._session
        os.write(self._write, json.dumps(message).encode() + b"\0")
        return self._wait(lambda m: m.get("id") == self._id)["result"]

    def _wait(self, match, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self._buffer:
                raw, self._buffer = self._buffer.split(b"\0", 1)
                message = json.loads(raw)
                if "error" in message and message.get("id") == self._id:
                    raise RuntimeError(message["error"])
                if match(message):
                    return message
            if time.monotonic() > deadline:
                raise TimeoutError("Chromium did not answer")
            chunk = os.read(self._read, 1 << 16)
            if not chunk:
                raise RuntimeError("Chromium closed the pipe")
            self._buffer += chunk

    def goto(self, url):
        """Navigates the page and waits for its load event."""
        self.call("Page.navigate", session=True, url=url)
        self._wait(lambda m: m.get("method") == "Page.loadEventFired")

    def cookies(self):
        return self.call("Storage.getCookies")["cookies"]

    def close(self):
        """Closes the browser the way a user does (it writes its cookies)."""
        with contextlib.suppress(RuntimeError, OSError):
            self.call("Browser.close")
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        os.close(self._write)
        os.close(self._read)


def firefox_run(site, profile, url, *, timeout=60):
    """Firefox headless on a new profile directory, opened on url through the
    site's proxy; stopped with SIGTERM once the site's /done page loaded and
    the session store was written after it.  Returns the profile directory."""
    profile = Path(profile)
    profile.mkdir(parents=True, exist_ok=True)
    prefs = {
        "network.proxy.type": 1, "network.proxy.http": "127.0.0.1",
        "network.proxy.http_port": site.port, "network.proxy.allow_hijacking_localhost": True,
        "network.proxy.no_proxies_on": "", "browser.shell.checkDefaultBrowser": False,
        "browser.startup.homepage_override.mstone": "ignore",
        "datareporting.policy.dataSubmissionEnabled": False,
        "toolkit.telemetry.reportingpolicy.firstRun": False, "app.update.disabledForTesting": True,
        "browser.aboutwelcome.enabled": False, "network.captive-portal-service.enabled": False,
        "network.connectivity-service.enabled": False, "browser.safebrowsing.update.enabled": False,
        "browser.sessionstore.interval": 500,
    }
    (profile / "user.js").write_text(
        "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items()))
    site.done.clear()
    env = _environment(profile.parent) | {"MOZ_HEADLESS": "1"}
    process = subprocess.Popen([FIREFOX, "--headless", "--no-remote", "--profile", str(profile),
                                url], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env, start_new_session=True)
    try:
        if not site.done.wait(timeout):
            raise TimeoutError("Firefox did not reach the last page")
        # Cookies reach cookies.sqlite at once; the session store is written
        # every half second (browser.sessionstore.interval) after a change.
        done, store = time.time(), profile / "sessionstore-backups" / "recovery.jsonlz4"
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if store.is_file() and store.stat().st_mtime > done + 1:
                break
            time.sleep(0.2)
        process.send_signal(signal.SIGTERM)
        process.wait(30)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return profile


def _wait_for(ready, timeout=30):
    deadline = time.monotonic() + timeout
    while not ready():
        if time.monotonic() > deadline:
            raise TimeoutError("the browser did not start")
        time.sleep(0.05)


class Firefox:
    """Headless firefox-esr on a throw-away profile with its WebDriver BiDi
    port open (chosen by the browser, read from WebDriverBiDiServer.json):
    `endpoint`, ws://127.0.0.1:PORT/session.  Every name reaches the site
    through its proxy (https through CONNECT); `visit` opens a BiDi session
    of its own that accepts the site's certificate and ends it, since
    Firefox holds one session at a time."""

    def __init__(self, site, profile):
        profile = Path(profile)
        profile.mkdir(parents=True, exist_ok=True)
        prefs = {"network.proxy.type": 1, "network.proxy.http": "127.0.0.1",
                 "network.proxy.http_port": site.port, "network.proxy.ssl": "127.0.0.1",
                 "network.proxy.ssl_port": site.port,
                 "network.proxy.allow_hijacking_localhost": True,
                 "network.proxy.no_proxies_on": "", "browser.shell.checkDefaultBrowser": False,
                 "datareporting.policy.dataSubmissionEnabled": False,
                 "app.update.disabledForTesting": True,
                 "network.captive-portal-service.enabled": False,
                 "network.connectivity-service.enabled": False,
                 "browser.safebrowsing.update.enabled": False,
                 "services.settings.server": "data:,#remote-settings-dummy/v1",
                 "network.cookie.cookieBehavior": 0}  # third-party cookies, as the jar
        (profile / "user.js").write_text(
            "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items()))
        self.process = subprocess.Popen(
            [FIREFOX, "--headless", "--no-remote", "--profile", str(profile),
             "--remote-debugging-port", "0"], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
            env=_environment(profile.parent) | {"MOZ_HEADLESS": "1"})
        server = profile / "WebDriverBiDiServer.json"

        def port():
            with contextlib.suppress(OSError, ValueError):
                return json.loads(server.read_text())["ws_port"]

        _wait_for(port)
        self.endpoint = f"ws://127.0.0.1:{port()}/session"

    def visit(self, urls, *, clear=False):
        """Loads each url in turn, at the top level, in one session (after
        removing every cookie, with clear)."""
        from websockets.sync.client import connect

        with connect(self.endpoint, proxy=None, open_timeout=30) as ws:
            numbers = iter(range(1, 1 << 30))

            def call(method, **params):
                number = next(numbers)
                ws.send(json.dumps({"id": number, "method": method, "params": params}))
                while True:
                    answer = json.loads(ws.recv(timeout=30))
                    if answer.get("id") == number:
                        if answer.get("type") == "error":
                            raise RuntimeError(answer)
                        return answer["result"]

            call("session.new", capabilities={"alwaysMatch": {"acceptInsecureCerts": True}})
            try:
                if clear:
                    call("storage.deleteCookies")
                context = call("browsingContext.getTree")["contexts"][0]["context"]
                for url in urls:
                    call("browsingContext.navigate", context=context, url=url, wait="complete")
            finally:
                call("session.end")

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
