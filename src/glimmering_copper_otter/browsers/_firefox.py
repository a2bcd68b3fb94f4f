"""Reading a Firefox-family profile: `cookies.sqlite` (persistent cookies)
and the session store (`sessionstore-backups/recovery.jsonlz4`, or
`sessionstore.jsonlz4`), which holds the session cookies Firefox keeps
while it runs and, with session restore, across restarts.

Origin attributes decide what loads: a cookie of a container loads only
when that container is asked for (and then only that container's cookies
do); a partition key is kept only where the site asked for it
(`isPartitionedAttributeSet`), as Chromium keeps partitions; a cookie that
Firefox alone partitioned (Total Cookie Protection) loads unpartitioned,
the most recently used of a name, domain and path winning; cookies of
private browsing or first-party isolation are passed over.
"""

import sqlite3
import time
from pathlib import Path

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.browser import registrable_domain
from glimmering_copper_otter.browsers import _copy, mozlz4
from glimmering_copper_otter.browsers._chromium import Found
from glimmering_copper_otter.formats import _json
from glimmering_copper_otter.formats import firefox as _format

SESSION_FILES = ("sessionstore-backups/recovery.jsonlz4", "sessionstore.jsonlz4")
# The names Firefox shows for its built-in containers.
_BUILT_IN = {"user-context-personal": "Personal", "user-context-work": "Work",
             "user-context-banking": "Banking", "user-context-shopping": "Shopping"}


def containers(profile: Path, notes: list[str] | None = None) -> dict[str, int]:
    """A profile's containers: name to userContextId (containers.json); in
    notes, why the file or an identity of it was not read."""
    notes = [] if notes is None else notes
    path = profile / "containers.json"
    try:
        with open(path, "rb") as file:
            document = _json.loads(file.read(), str(path))
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as error:
        notes.append(f"containers are not named: {error}")
        return {}
    identities = document.get("identities") if type(document) is dict else None
    if type(identities) is not list:
        notes.append(f'containers are not named: {path} holds no "identities" list')
        return {}
    named = {}
    for index, identity in enumerate(identities):
        if type(identity) is dict:
            number, name = identity.get("userContextId"), identity.get("name")
            if not name:
                name = _BUILT_IN.get(identity.get("l10nId"), "") \
                    if type(identity.get("l10nId")) is str else ""
            if type(number) is int and type(name) is str:
                if name and identity.get("public", True):
                    named[name] = number
                continue
        notes.append(f"containers.json: identity {index} is not an object with a number "
                     "and a name; passed over")
    return named


def _container_id(profile, container, notes):
    known = containers(profile, notes)
    if container is None:
        return 0, known
    if isinstance(container, int) and not isinstance(container, bool):
        return container, known
    if isinstance(container, str):
        if container in known:
            return known[container], known
        if container.isdigit():
            return int(container), known
    raise ValueError(f"no container {container!r} in {profile}: "
                     f"{', '.join(sorted(known)) or 'the profile names none'}")


def _site(domain):
    host = domain.strip("[]")
    return registrable_domain(host) or host


class _Reader:
    """The attributes' rules, shared by the database and the session store."""

    def __init__(self, profile, container, notes):
        self.wanted, known = _container_id(profile, container, notes)
        self.names = {number: name for name, number in known.items()}

    def key(self, attributes, host, asked):
        """The partition key to load a cookie under (None: unpartitioned),
        or raises _Passed with why the cookie is passed over."""
        if str(attributes.get("privateBrowsingId", 0) or 0) != "0":
            raise _Passed("Unsupported: a private-browsing cookie")
        if attributes.get("firstPartyDomain"):
            raise _Passed("Unsupported: a cookie of first-party isolation "
                          f"({attributes['firstPartyDomain']!r})")
        if attributes.get("geckoViewSessionContextId"):
            raise _Passed("Unsupported: a cookie of a GeckoView session context")
        context = attributes.get("userContextId", 0) or 0
        if type(context) is str and context.isascii() and context.isdigit() and len(context) < 20:
            context = int(context)
        if type(context) is not int:
            raise _Passed("Unreadable: a userContextId that is not a number")
        if context != self.wanted:
            if context:
                name = self.names.get(context)
                shown = f"container {context}" + (f" ({name!r})" if name else "")
                raise _Passed(f"Unsupported: a cookie of {shown}, not asked for (container= "
                              "loads one container's cookies)")
            raise _Passed("Unsupported: a cookie outside the container asked for")
        try:
            partition = _format.partition(attributes.get("partitionKey", "") or "")
        except ValueError as error:
            raise _Passed(f"Unreadable: {error}") from None
        if not asked:
            return None
        domain = host.lower().removeprefix(".")
        if partition is None:
            # Firefox keeps a first-party Partitioned cookie under its own site.
            return f"https://{_site(domain)}", False
        site, foreign = partition
        return site, foreign or _site(site.split("://", 1)[1]) != _site(domain)


class _Passed(Exception):
    pass


def _session_cookies(profile, reader, found, now):
    for name in SESSION_FILES:
        path = profile / name
        if path.is_file():
            break
    else:
        found.notes.append("no session store (sessionstore-backups/recovery.jsonlz4): "
                           "session cookies are not read")
        return
    try:
        with open(path, "rb") as file:
            document = _json.loads(mozlz4.decode(file.read()), "the session store")
        if type(document) is not dict:
            raise ValueError("the session store is not an object")
        cookies = document.get("cookies", [])
        if type(cookies) is not list:
            raise ValueError('"cookies" is not a list')
    except (OSError, ValueError) as error:
        found.notes.append(f"the session store {path} could not be read: {error}")
        return
    def session_row(cookie, creation):
        attributes = cookie.get("originAttributes") or {}
        if not isinstance(attributes, dict):
            raise ValueError("originAttributes is not an object")
        key = reader.key(attributes, str(cookie.get("host", "")),
                         bool(cookie.get("isPartitioned", False)))
        return _format.session_to_row(cookie, creation, key=key)

    for index, cookie in enumerate(cookies):
        if isinstance(cookie, dict):
            _add(found, _format.place(cookie), session_row, cookie, now + index)
        else:
            found.skipped.append((f"session store cookie {index}",
                                  "Unreadable: a session cookie is an object"))


def _add(found, where, make, *args):
    """The row make(*args) gives, or why the cookie is passed over."""
    try:
        row = make(*args)
    except _Passed as passed:
        found.skipped.append((where, str(passed)))
    except ValueError as error:
        found.skipped.append((where, f"Unreadable: {error}"))
    else:
        found.rows.append(row)
        found.places.append(where)


def _one_per_key(found):
    """Keeps the most recently used cookie of each key: cookies Firefox kept
    apart in partitions of its own may share one once unpartitioned."""
    newest = {}
    for index, row in enumerate(found.rows):
        key = _rows.key(row)
        if key not in newest or row[_rows.LAST_ACCESS] >= found.rows[newest[key]][_rows.LAST_ACCESS]:
            newest[key] = index
    if len(newest) == len(found.rows):
        return
    keep = set(newest.values())
    for index in range(len(found.rows)):
        if index not in keep:
            found.skipped.append((found.places[index], "Unsupported: a cookie Firefox "
                                  "partitioned without the site asking; a more recently used "
                                  "one of the same name, domain and path is loaded"))
    found.rows[:] = [row for index, row in enumerate(found.rows) if index in keep]
    found.places[:] = [place for index, place in enumerate(found.places) if index in keep]


def read(cookie_file, browser, *, container=None) -> Found:
    """The rows of a Firefox-family profile's cookies, read from a private
    copy of its database, and its session cookies."""
    cookie_file = Path(cookie_file)
    profile = cookie_file.parent
    found = Found([], [], [], [])
    reader = _Reader(profile, container, found.notes)
    with _copy.opened_copy(cookie_file) as connection:
        try:
            schema = connection.execute("PRAGMA user_version").fetchone()[0]
            columns = {row[1].decode("latin-1") for row in
                       connection.execute("PRAGMA table_info(moz_cookies)").fetchall()}
        except sqlite3.DatabaseError:
            raise ValueError("not a Firefox cookie database") from None
        if not {"host", "name", "path", "originAttributes"} <= columns:
            raise ValueError("not a Firefox cookie database (no moz_cookies table)")
        listed = ", ".join(name if name in columns else f"NULL AS {name}"
                           for name in _format.COLUMNS)
        records = [dict(zip(_format.COLUMNS, values)) for values in
                   connection.execute(f"SELECT {listed} FROM moz_cookies ORDER BY creationTime")]
    for record in records:
        if isinstance(record["originAttributes"], bytes):
            record["originAttributes"] = record["originAttributes"].decode("latin-1")
    if schema < _format.OLDEST_SCHEMA:
        reason = (f"Unsupported: a cookie database of schema {schema} (schemas "
                  f"{_format.OLDEST_SCHEMA} to {_format.NEWEST_SCHEMA} are read; Firefox "
                  "upgrades an older one when it starts)")
        found.skipped.extend((_format.place(record), reason) for record in records)
        return found
    if schema > _format.NEWEST_SCHEMA:
        found.notes.append(f"a cookie database of schema {schema}, read by column name as "
                           f"schema {_format.NEWEST_SCHEMA}")
    def row(record):
        attributes = _format.origin_attributes(record["originAttributes"] or "")
        host = record["host"].decode("latin-1") if isinstance(record["host"], bytes) else ""
        key = reader.key(attributes, host, record["isPartitionedAttributeSet"] == 1)
        return _format.to_row(record, schema, key=key)

    for record in records:
        _add(found, _format.place(record), row, record)
    _session_cookies(profile, reader, found, time.time_ns() // 1000)
    _one_per_key(found)
    return found
