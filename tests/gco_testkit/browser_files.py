"""Browser cookie databases made by the tests: Chromium's `Cookies` of
versions 18 to 24 with values encrypted under known keys (Linux v10 and
v11, a Mac's and a Windows profile's v10, app-bound v20), and Firefox's
`cookies.sqlite` of schemas 10 to 17 with a mozLz4 session store.  The
tables are laid out as each version's browser creates them (column lists
below); the encryption is done with the `cryptography` package, as the
browsers do it, never with the package's own code."""

import hashlib
import json
import os
import sqlite3
from pathlib import Path

# Microseconds from 1601 to 1970.
EPOCH_DELTA = 11644473600 * 1000000

_V18 = ("creation_utc INTEGER NOT NULL, host_key TEXT NOT NULL, top_frame_site_key TEXT NOT NULL, "
        "name TEXT NOT NULL, value TEXT NOT NULL, encrypted_value BLOB NOT NULL, "
        "path TEXT NOT NULL, expires_utc INTEGER NOT NULL, is_secure INTEGER NOT NULL, "
        "is_httponly INTEGER NOT NULL, last_access_utc INTEGER NOT NULL, "
        "has_expires INTEGER NOT NULL, is_persistent INTEGER NOT NULL, "
        "priority INTEGER NOT NULL, samesite INTEGER NOT NULL, source_scheme INTEGER NOT NULL, "
        "source_port INTEGER NOT NULL, is_same_party INTEGER NOT NULL, "
        "last_update_utc INTEGER NOT NULL")
_V21 = _V18.replace("is_same_party INTEGER NOT NULL, ", "")
_V22 = _V21 + ", source_type INTEGER NOT NULL"
_V23 = _V22 + ", has_cross_site_ancestor INTEGER NOT NULL"
CHROMIUM_TABLES = {18: _V18, 19: _V18, 20: _V18, 21: _V21, 22: _V22, 23: _V23, 24: _V23,
                   17: _V18, 25: _V23}


def cbc(password, iterations, plain, prefix=b"v10"):
    from cryptography.hazmat.primitives import hashes, padding
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

    key = PBKDF2HMAC(algorithm=hashes.SHA1(), length=16, salt=b"saltysalt",
                     iterations=iterations).derive(password)
    padder = padding.PKCS7(128).padder()
    encryptor = Cipher(algorithms.AES(key), modes.CBC(b" " * 16)).encryptor()
    return (prefix + encryptor.update(padder.update(plain) + padder.finalize())
            + encryptor.finalize())


def gcm(key, plain):
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    nonce = os.urandom(12)
    return b"v10" + nonce + AESGCM(key).encrypt(nonce, plain, None)


# How each kind of file encrypts a value: (plaintext) -> stored bytes.
WINDOWS_KEY = bytes(range(32))
MAC_PASSWORD = b"mac keychain password"
KEYRING_PASSWORD = b"keyring password"
ENCRYPTIONS = {
    "plain": None,
    "linux-v10": lambda plain: cbc(b"peanuts", 1, plain),
    "linux-v10-empty": lambda plain: cbc(b"", 1, plain),
    "linux-v11": lambda plain: cbc(KEYRING_PASSWORD, 1, plain, b"v11"),
    "linux-v11-empty": lambda plain: cbc(b"", 1, plain, b"v11"),
    "linux-v10-cut": lambda plain: cbc(b"peanuts", 1, plain)[:-5],
    "mac-v10": lambda plain: cbc(MAC_PASSWORD, 1003, plain),
    "windows-v10": lambda plain: gcm(WINDOWS_KEY, plain),
    "v20": lambda plain: b"v20" + os.urandom(12) + plain + os.urandom(16),
}


def chromium_record(name, value, host_key, *, path="/", creation, expires=None, last_access=None,
                    secure=False, http_only=False, same_site=-1, priority=1, top_frame="",
                    cross_site_ancestor=1, source_scheme=2, source_port=443):
    """A record as Chromium stores it: times in microseconds since 1970
    here (written since 1601), expires None for a session cookie."""
    return dict(locals(), last_access=last_access or creation)


def _database(path, script, table, definition, rows):
    """A database at path made by script, its `table` of the columns in
    definition holding rows (dicts by column).  Names, values and paths go
    in as the bytes given, as TEXT."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    connection = sqlite3.connect(path)
    connection.executescript(script)
    columns = [item.split()[0] for item in definition.split(", ")]
    marks = ", ".join("CAST(? AS TEXT)" if column in ("name", "value", "path") else "?"
                      for column in columns)
    connection.executemany(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})",
                           [[row[column] for column in columns] for row in rows])
    connection.commit()
    connection.close()
    return path


def _chromium_row(record, version, encryption):
    encrypt = ENCRYPTIONS[record.get("encryption", encryption)]
    value, encrypted = record["value"], b""
    if encrypt is not None:
        if version >= 24:
            value = hashlib.sha256(record["host_key"].encode()).digest() + value
        value, encrypted = b"", encrypt(value)
    persistent = record["expires"] is not None
    return {
        "creation_utc": record["creation"] + EPOCH_DELTA, "host_key": record["host_key"],
        "top_frame_site_key": record["top_frame"], "name": record["name"],
        "value": value, "encrypted_value": encrypted, "path": record["path"],
        "expires_utc": record["expires"] + EPOCH_DELTA if persistent else 0,
        "is_secure": int(record["secure"]), "is_httponly": int(record["http_only"]),
        "last_access_utc": record["last_access"] + EPOCH_DELTA,
        "has_expires": int(persistent), "is_persistent": int(persistent),
        "priority": record["priority"], "samesite": record["same_site"],
        "source_scheme": record["source_scheme"], "source_port": record["source_port"],
        "is_same_party": 0, "last_update_utc": record["creation"] + EPOCH_DELTA,
        "source_type": 1, "has_cross_site_ancestor": record["cross_site_ancestor"],
    }


def chromium_file(path, version, records, encryption, *, compatible=None):
    """A Cookies file of `version` holding records, their values stored as
    `encryption` (a key of ENCRYPTIONS) makes them."""
    return _database(
        path, "CREATE TABLE meta(key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);"
        f"INSERT INTO meta VALUES ('version', '{version}'), "
        f"('last_compatible_version', '{compatible or version}');"
        f"CREATE TABLE cookies({CHROMIUM_TABLES[version]});", "cookies",
        CHROMIUM_TABLES[version], [_chromium_row(item, version, encryption) for item in records])


def sql(path, script):
    """Runs script on the database at path (a file made above, changed the
    way no browser would)."""
    connection = sqlite3.connect(path)
    connection.executescript(script)
    connection.close()
    return path


# Firefox's moz_cookies by schema, as each one's browser creates or
# upgrades it.
_F10 = ("id INTEGER PRIMARY KEY, baseDomain TEXT, originAttributes TEXT NOT NULL DEFAULT '', "
        "name TEXT, value TEXT, host TEXT, path TEXT, expiry INTEGER, lastAccessed INTEGER, "
        "creationTime INTEGER, isSecure INTEGER, isHttpOnly INTEGER, "
        "inBrowserElement INTEGER DEFAULT 0, sameSite INTEGER DEFAULT 0, "
        "rawSameSite INTEGER DEFAULT 0")
_F11 = _F10.replace("baseDomain TEXT, ", "")
_F12 = _F11 + ", schemeMap INTEGER DEFAULT 0"
_F13 = _F12 + ", isPartitionedAttributeSet INTEGER DEFAULT 0"
_F15 = _F13.replace(", rawSameSite INTEGER DEFAULT 0", "")
_F17 = _F15 + ", updateTime INTEGER"
FIREFOX_TABLES = {9: _F10, 10: _F10, 11: _F11, 12: _F12, 13: _F13, 14: _F13, 15: _F15, 16: _F15,
                  17: _F17, 18: _F17}
UNIQUE = ", CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes)"


def firefox_record(name, value, host, *, path="/", creation, expires, last_access=None,
                   secure=False, http_only=False, same_site=256, raw_same_site=None,
                   attributes="", scheme_map=2, partitioned_attribute=0):
    """A record as Firefox stores it, expires in seconds since 1970 (stored
    as each schema keeps it); same_site as schema 15 on stores it (256:
    none named), raw_same_site what schemas before 15 kept beside it."""
    return dict(locals(), last_access=last_access or creation)


def _old_same_site(record):
    """sameSite and rawSameSite as a schema before 15 stores them: a cookie
    that named none applied Lax by default, its raw value none."""
    if record["same_site"] == 256:
        return 1, 0
    raw = record["raw_same_site"]
    return record["same_site"], record["same_site"] if raw is None else raw


def _firefox_row(number, record, schema):
    same_site, raw = (record["same_site"], None) if schema >= 15 else _old_same_site(record)
    return {
        "id": number, "baseDomain": record["host"].lstrip("."),
        "originAttributes": record["attributes"], "name": record["name"],
        "value": record["value"], "host": record["host"], "path": record["path"],
        "expiry": record["expires"] * (1000 if schema >= 16 else 1),
        "lastAccessed": record["last_access"], "creationTime": record["creation"],
        "isSecure": int(record["secure"]), "isHttpOnly": int(record["http_only"]),
        "inBrowserElement": 0, "sameSite": same_site, "rawSameSite": raw,
        "schemeMap": record["scheme_map"],
        "isPartitionedAttributeSet": record["partitioned_attribute"],
        "updateTime": record["creation"],
    }


def firefox_file(path, schema, records):
    table = FIREFOX_TABLES[schema]
    return _database(path, f"PRAGMA user_version = {schema};"
                     f"CREATE TABLE moz_cookies ({table}{UNIQUE});", "moz_cookies", table,
                     [_firefox_row(number, item, schema) for number, item in enumerate(records, 1)])


def mozlz4(data: bytes) -> bytes:
    """A mozLz4 file of data, compressed by the lz4 package."""
    import lz4.block

    return b"mozLz40\0" + lz4.block.compress(data, store_size=True)


def session_store(profile, cookies, name="sessionstore-backups/recovery.jsonlz4"):
    path = Path(profile) / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(mozlz4(json.dumps({"version": ["sessionrestore", 1], "windows": [],
                                        "cookies": cookies}).encode()))
    return path


def containers(profile, identities):
    Path(profile, "containers.json").write_text(json.dumps({"version": 5,
                                                            "identities": identities}))
