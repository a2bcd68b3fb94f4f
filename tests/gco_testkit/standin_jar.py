"""A small interpreted cookie jar with the surface the interpreted helpers use
(`set_cookie(s)`, `cookie_header`, `cookies`, `get`, `clear`, `_rows`,
`_load_rows` and the store hooks), for the tests of those helpers while no
compiled jar is built.  Set-Cookie values are read by `browser.read_set_cookie`;
storage follows the replace-by-key, path-then-creation order rules.  No
eviction, no same-site contexts."""

import threading
import time
from datetime import datetime, timezone
from types import SimpleNamespace
from urllib.parse import urlsplit

from glimmering_copper_otter import _rows
from glimmering_copper_otter.browser import read_set_cookie
from glimmering_copper_otter.cookies import CookieSameSiteMode

_PRIORITY = {"low": 0, None: -1, "medium": 1, "high": 2}
_TOUCH = 60 * 1000000


def _host_and_scheme(url):
    parts = urlsplit(url)
    scheme = {"ws": "http", "wss": "https"}.get(parts.scheme, parts.scheme)
    host = (parts.hostname or "").lower()
    if ":" in host:
        host = f"[{host}]"
    return host, scheme, parts.port, parts.path or "/"


def _raw_pair(raw):
    if isinstance(raw, str):
        raw = raw.encode("utf-8" if max(raw, default="\0") > "\xff" else "latin-1")
    pair = raw.split(b";", 1)[0]
    name, equals, value = pair.partition(b"=")
    if not equals:
        name, value = b"", name
    return name.strip(b" \t"), value.strip(b" \t")


def _raw(text):
    return text.encode() if isinstance(text, str) else text


def _domain_match(row, host):
    domain = row[_rows.DOMAIN]
    if row[_rows.HOST_ONLY] or host.startswith("[") or host.replace(".", "").isdigit():
        return host == domain
    return host == domain or host.endswith("." + domain)


def _path_match(cookie_path, path):
    return (path == cookie_path or path.startswith(cookie_path)
            and (cookie_path.endswith(b"/") or path[len(cookie_path):][:1] == b"/"))


class StandInJar:
    def __init__(self, path=None, *, keep_session_cookies=False, timeout=5.0, **limits):
        self._lock = threading.Lock()
        self._store_lock = threading.Lock()
        self._pending = []
        self._cookies = {}
        self._last_creation = 0
        self._store = None
        if path is not None:
            from glimmering_copper_otter._store import SqliteStore
            self._store = SqliteStore(path, timeout=timeout,
                                      keep_session_cookies=keep_session_cookies)
            self._adopt(self._store.load())

    # -- the store hooks -------------------------------------------------

    def _adopt(self, rows):
        with self._lock:
            session = {k: r for k, r in self._cookies.items() if not r[_rows.PERSISTENT]}
            self._cookies = {_rows.key(r): r for r in rows}
            for k, r in session.items():
                self._cookies.setdefault(k, r)
            self._last_creation = max([self._last_creation]
                                      + [r[_rows.CREATION] for r in rows])

    def _refresh(self):
        if self._store is not None:
            rows = self._store.refresh()
            if rows is not None:
                self._adopt(rows)

    def _flush(self):
        # Changes are queued under the jar's lock and written by whichever
        # thread holds the store's lock: the file sees them in order.
        if self._store is None:
            return
        with self._store_lock:
            with self._lock:
                changes, self._pending = self._pending, []
            self._store.apply(changes)

    def _now(self, now):
        if now is None:
            return time.time_ns() // 1000
        return (now - datetime(1970, 1, 1, tzinfo=timezone.utc)) // _one_microsecond

    # -- the jar ---------------------------------------------------------

    def set_cookie(self, raw, url, *, now=None):
        self._refresh()
        stamp = self._now(now)
        cookie = read_set_cookie(raw, url, now=now)
        if cookie is None:
            return None
        name, value = _raw_pair(raw)
        host, scheme, port, _ = _host_and_scheme(url)
        domain = cookie.domain if ":" not in cookie.domain else f"[{cookie.domain}]"
        expires = None
        if cookie.expires is not None:
            expires = max(self._now(cookie.expires), -10**18)
        key = (name, domain, cookie.host_only, cookie.path.encode(), False, "", False)
        with self._lock:
            old = self._cookies.get(key)
            if cookie.expired:
                if self._cookies.pop(key, None) is not None:
                    self._pending.append(("delete", key))
            else:
                self._last_creation = creation = max(self._last_creation + 1, stamp)
                if old is not None and old[_rows.VALUE] == value:
                    creation = old[_rows.CREATION]
                row = (name, value, domain, cookie.host_only, key[3], expires, creation, stamp,
                       cookie.secure, cookie.http_only, int(cookie.same_site), False, "", _PRIORITY[cookie.priority],
                       2 if scheme == "https" else 1, port or (443 if scheme == "https" else 80),
                       expires is not None, False)
                self._cookies[key] = row
                self._pending.append(("set", row))
        self._flush()
        return cookie

    def set_cookies(self, values, url, *, now=None):
        for value in values:
            if isinstance(value, tuple):
                if value[0].lower() != b"set-cookie":
                    continue
                value = value[1]
            self.set_cookie(value, url, now=now)

    def _matching(self, url, stamp):
        host, scheme, _, path = _host_and_scheme(url)
        secure = scheme == "https" or host in ("localhost", "127.0.0.1", "[::1]")
        return [r for r in self._cookies.values()
                if _domain_match(r, host) and _path_match(r[_rows.PATH], path.encode())
                and (secure or not r[_rows.SECURE])
                and (r[_rows.EXPIRES] is None or r[_rows.EXPIRES] > stamp)]

    def cookie_header(self, url, *, now=None):
        self._refresh()
        stamp = self._now(now)
        with self._lock:
            rows = sorted(self._matching(url, stamp),
                          key=lambda r: (-len(r[_rows.PATH]), r[_rows.CREATION]))
            for row in rows:
                if stamp - row[_rows.LAST_ACCESS] >= _TOUCH:
                    key = _rows.key(row)
                    self._cookies[key] = row[:7] + (stamp,) + row[8:]
                    self._pending.append(("touch", key, stamp))
        self._flush()
        return b"; ".join(r[_rows.NAME] + b"=" + r[_rows.VALUE] if r[_rows.NAME]
                          else r[_rows.VALUE] for r in rows)

    def cookies(self, url=None, *, now=None):
        self._refresh()
        stamp = self._now(now)
        with self._lock:
            rows = self._matching(url, stamp) if url else list(self._cookies.values())
        return [_view(row) for row in sorted(rows, key=lambda r: r[_rows.CREATION])]

    def get(self, name, *, domain=None, path=None):
        self._refresh()
        raw = name.encode() if isinstance(name, str) else name
        with self._lock:
            found = [r for r in self._cookies.values() if r[_rows.NAME] == raw
                     and (domain is None or r[_rows.DOMAIN] == domain.lstrip("."))
                     and (path is None or r[_rows.PATH] == path.encode())]
        found.sort(key=lambda r: (not r[_rows.HOST_ONLY], -len(r[_rows.DOMAIN]),
                                  -len(r[_rows.PATH]), -r[_rows.CREATION]))
        return _view(found[0]) if found else None

    def clear(self, domain=None, path=None, name=None):
        self._refresh()
        with self._lock:
            for key, row in list(self._cookies.items()):
                if ((domain is None or row[_rows.DOMAIN] == domain)
                        and (path is None or row[_rows.PATH] == _raw(path))
                        and (name is None or row[_rows.NAME] == _raw(name))):
                    del self._cookies[key]
                    self._pending.append(("delete", key))
        self._flush()

    def __len__(self):
        self._refresh()
        return len(self._rows())

    def _rows(self):
        stamp = time.time_ns() // 1000
        with self._lock:
            return sorted((r for r in self._cookies.values()
                           if r[_rows.EXPIRES] is None or r[_rows.EXPIRES] > stamp),
                          key=lambda r: r[_rows.CREATION])

    def _load_rows(self, rows, *, replace=False):
        rows = [_rows.check_row(row, f"row {index}") for index, row in enumerate(rows)]
        self._refresh()
        with self._lock:
            if replace:
                self._pending += [("delete", key) for key in self._cookies]
                self._cookies.clear()
            for row in rows:
                self._cookies[_rows.key(row)] = row
                self._last_creation = max(self._last_creation, row[_rows.CREATION])
                self._pending.append(("set", row))
        self._flush()
        return len(rows)


def _view(row):
    """The row as a record with the attributes of the jar's cookie records."""
    expires = row[_rows.EXPIRES]
    return SimpleNamespace(
        name=row[_rows.NAME].decode("utf-8", "replace"), raw_name=row[_rows.NAME],
        value=row[_rows.VALUE].decode("utf-8", "replace"), raw_value=row[_rows.VALUE],
        domain=row[_rows.DOMAIN], host_only=row[_rows.HOST_ONLY],
        path=row[_rows.PATH].decode("utf-8", "replace"),
        expires=None if expires is None else datetime.fromtimestamp(expires / 1e6, timezone.utc),
        secure=row[_rows.SECURE], http_only=row[_rows.HTTP_ONLY],
        same_site=CookieSameSiteMode(row[_rows.SAME_SITE]),
        partitioned=row[_rows.PARTITIONED],
        priority=(None, "low", "medium", "high")[row[_rows.PRIORITY] + 1])


_one_microsecond = datetime(1970, 1, 1, 0, 0, 0, 1, tzinfo=timezone.utc) - datetime(
    1970, 1, 1, tzinfo=timezone.utc)
