"""Reading a Chromium-family `Cookies` file: its version, its records, and
the keys of its encrypted values.

Values are AES encrypted and framed by a prefix (`formats.chromium`):
on Linux `v10` under a key made from the password "peanuts" (or the empty
password), `v11` under one made from the password in the Secret Service,
both AES-128-CBC with PBKDF2-SHA1 over the salt "saltysalt", 1 iteration;
a file copied from a Mac `v10` under the Keychain's "Safe Storage"
password, 1,003 iterations; a file copied from Windows `v10` under a
32-byte AES-256-GCM key (which the user unwraps from `Local State` on that
machine: no system call of another platform is ever made here); `v20`,
app-bound, which only the browser that wrote it can read and is never
attempted.  The ciphers are the `cryptography` package's (the browsers
extra).
"""

import sqlite3
from typing import NamedTuple

from glimmering_copper_otter.browsers import _copy, _secret_service
from glimmering_copper_otter.formats import chromium as _format

V20 = ("Undecryptable: an app-bound (v20) value, which only the browser that wrote it can "
       "read; export the cookies from inside the browser (an extension), sign in with a "
       "separate automation profile, or use Firefox")
NO_CIPHERS = ("the profile's cookies are encrypted, and decrypting them needs the cryptography "
              "package of the browsers extra: pip install 'cryptography>=42' "
              "'secretstorage>=3.3' (what the extra adds: pip install "
              "'glimmering-copper-otter[browsers]', or '.[browsers]' in a checkout)")
# Before version 24 a CBC key is known right only by the padding of every
# value it opens; with fewer values than this the odds that a wrong key
# opens them all are not small enough to call it verified.
VERIFIED_VALUES = 8
_SALT = b"saltysalt"
_IV = b" " * 16


class Found(NamedTuple):
    """What a reader found: the rows, the place of each (for a report), the
    cookies passed over as (place, reason) and notes on the whole file."""

    rows: list
    places: list
    skipped: list
    notes: list


class _Key(NamedTuple):
    """A key to try: a name for notes, the cipher (cbc or gcm) and its bytes."""

    name: str
    cipher: str
    secret: bytes


def _crypto():
    """The ciphers, or None when the browsers extra is not installed (a file
    with encrypted values then raises ImportError naming the extra)."""
    try:
        from cryptography.exceptions import InvalidTag
        from cryptography.hazmat.primitives import hashes, padding
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
    except ImportError:
        return None
    return InvalidTag, hashes, padding, Cipher, algorithms, modes, AESGCM, PBKDF2HMAC


def _cbc_key(crypto, password, iterations):
    _, hashes, _, _, _, _, _, PBKDF2HMAC = crypto
    return PBKDF2HMAC(algorithm=hashes.SHA1(), length=16, salt=_SALT,
                      iterations=iterations).derive(password)


def _decrypt(crypto, key, payload):
    """The plaintext of a value's payload under key, or None when the key
    does not open it (bad padding, or a GCM tag that does not match)."""
    InvalidTag, _, padding, Cipher, algorithms, modes, AESGCM, _ = crypto
    if key.cipher == "gcm":
        if len(payload) < 12 + 16:
            return None
        try:
            return AESGCM(key.secret).decrypt(payload[:12], payload[12:], None)
        except InvalidTag:
            return None
    if not payload or len(payload) % 16:
        return None
    decryptor = Cipher(algorithms.AES(key.secret), modes.CBC(_IV)).decryptor()
    padded = decryptor.update(payload) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    try:
        return unpadder.update(padded) + unpadder.finalize()
    except ValueError:
        return None


def _candidates(crypto, prefix, browser, password, key, notes):
    """The keys to try for the values of one prefix, most likely first."""
    if prefix == b"v10":
        if key is not None:
            return [_Key("the Windows key given", "gcm", key)]
        keys = [_Key("Linux v10 key", "cbc", _cbc_key(crypto, b"peanuts", 1)),
                _Key("empty password", "cbc", _cbc_key(crypto, b"", 1))]
        if password is not None:
            keys.append(_Key("the password given (a Mac's Keychain)", "cbc",
                             _cbc_key(crypto, password, 1003)))
        return keys
    keys = []
    if password is not None:
        keys.append(_Key("the password given", "cbc", _cbc_key(crypto, password, 1)))
    else:
        found, why = _secret_service.password(browser)
        if found is not None:
            keys.append(_Key("the Secret Service's password", "cbc", _cbc_key(crypto, found, 1)))
        else:
            notes.append(f"v11 values need the password the browser keeps in the system's "
                         f"keyring: {why}; KWallet is not read; give password=")
    keys.append(_Key("empty password", "cbc", _cbc_key(crypto, b"", 1)))
    return keys


def _open(crypto, key, payload, host_key, hashed):
    plain = _decrypt(crypto, key, payload)
    if plain is not None and hashed:
        plain = _format.strip_host_hash(plain, host_key)
    return plain


def _decrypt_group(crypto, group, keys, hashed, notes, prefix):
    """The values of one prefix's records ({index: value}), and the indexes
    no key opened.  A file may hold values under two passwords, and a value
    cut short opens under none: each value is tried under each key.  GCM's
    tag, or the host hash from version 24, checks a value's key on its own:
    the first key that opens it is the one.  Before that only the padding
    does, which a wrong key passes about once in 256 values, so a key is
    taken (most opened first) only where it opens every value still closed,
    or enough of them that chance cannot (VERIFIED_VALUES, and one in 16),
    or where the keys together open every value (Chromium's own fallback
    keys: the empty password's beside "peanuts" or the keyring's)."""
    if hashed or all(key.cipher == "gcm" for key in keys):
        opened, failed = {}, []
        for index, payload, host_key in group:
            for key in keys:
                plain = _open(crypto, key, payload, host_key, hashed)
                if plain is not None:
                    opened[index] = plain
                    break
            else:
                failed.append(index)
        return opened, failed
    tried = []
    for key in keys:
        opened = {}
        for index, payload, host_key in group:
            plain = _open(crypto, key, payload, host_key, False)
            if plain is not None:
                opened[index] = plain
        tried.append((key, opened))
    tried.sort(key=lambda item: -len(item[1]))
    # The values a key could open: whole blocks of AES.
    closed = {index for index, payload, _ in group if payload and not len(payload) % 16}
    values = {}
    # Keys that between them open every value are all taken, as when one does.
    together = set().union(*(opened for _, opened in tried)) >= closed
    for key, opened in tried:
        fresh = {index: plain for index, plain in opened.items() if index in closed}
        if not fresh or not (together or len(fresh) == len(closed) or (
                len(fresh) >= VERIFIED_VALUES and len(fresh) * 16 >= len(closed))):
            continue
        values.update(fresh)
        closed.difference_update(fresh)
        if len(fresh) < VERIFIED_VALUES:
            notes.append(f"{len(fresh)} {prefix.decode()} value(s) opened with {key.name}: "
                         f"too few to verify the key (a file of version "
                         f"{_format.HASHED_VERSION} or later, or {VERIFIED_VALUES} values, "
                         "would tell)")
    return values, [index for index, _, _ in group if index not in values]


def _number(value):
    """A meta value as a number, or None (missing, NULL or not digits)."""
    if type(value) is bytes and value.strip().isdigit() and len(value) < 20:
        return int(value)
    return value if type(value) is int else None


def _version(connection):
    """The file's version and last compatible version (None when its meta
    table names none that reads as a number)."""
    try:
        meta = dict(connection.execute("SELECT key, value FROM meta").fetchall())
    except (sqlite3.DatabaseError, TypeError):
        raise ValueError("not a Chromium cookie database (no meta table)") from None
    version = _number(meta.get(b"version"))
    compatible = _number(meta.get(b"last_compatible_version"))
    return version, version if compatible is None else compatible


def read(cookie_file, browser, *, password=None, key=None) -> Found:
    """The rows of a Chromium-family cookie database, read from a private
    copy of it."""
    if key is not None and (type(key) is not bytes or len(key) != 32):
        raise ValueError("key is the 32 bytes of a Windows profile's AES-256-GCM key")
    if password is not None:
        password = password.encode("utf-8") if isinstance(password, str) else bytes(password)
    with _copy.opened_copy(cookie_file) as connection:
        version, compatible = _version(connection)
        try:
            columns = {row[1].decode("latin-1") for row in
                       connection.execute("PRAGMA table_info(cookies)").fetchall()}
        except sqlite3.DatabaseError:
            columns = set()
        if not {"host_key", "name", "path"} <= columns:
            raise ValueError("not a Chromium cookie database (no cookies table)")
        listed = ", ".join(name if name in columns else f"NULL AS {name}"
                           for name in _format.COLUMNS)
        records = [dict(zip(_format.COLUMNS, values)) for values in
                   connection.execute(f"SELECT {listed} FROM cookies ORDER BY creation_utc")]
    for record in records:
        for name in ("host_key", "top_frame_site_key"):
            if isinstance(record[name], bytes):
                record[name] = record[name].decode("latin-1")
    found = Found([], [], [], [])
    if version is None:
        reason = ("Unsupported: a cookie database whose meta table gives no version (versions "
                  f"{_format.OLDEST_VERSION} to {_format.NEWEST_VERSION} are read)")
        found.skipped.extend((_format.place(record), reason) for record in records)
        return found
    if version < _format.OLDEST_VERSION or compatible > _format.NEWEST_VERSION:
        why = (f"Chromium razes a file older than version {_format.OLDEST_VERSION}"
               if version < _format.OLDEST_VERSION else
               f"it needs a reader of version {compatible}")
        reason = (f"Unsupported: a cookie database of version {version} ({why}; versions "
                  f"{_format.OLDEST_VERSION} to {_format.NEWEST_VERSION} are read)")
        found.skipped.extend((_format.place(record), reason) for record in records)
        return found
    if version > _format.NEWEST_VERSION:
        found.notes.append(f"a cookie database of version {version}, read as version "
                           f"{_format.NEWEST_VERSION} (it says it is compatible)")
    hashed = version >= _format.HASHED_VERSION
    values, groups, crypto = {}, {b"v10": [], b"v11": []}, None
    for index, record in enumerate(records):
        plain, encrypted = record["value"] or b"", record["encrypted_value"] or b""
        if type(record["host_key"]) is not str:
            found.skipped.append((_format.place(record), "Unreadable: host_key is not text"))
            continue
        if type(plain) is not bytes or type(encrypted) is not bytes:
            found.skipped.append((_format.place(record), "Unreadable: value is not text"))
            continue
        if not encrypted:
            values[index] = plain
            continue
        if plain:
            found.skipped.append((_format.place(record), "Unreadable: both a plain and an "
                                  "encrypted value (Chromium refuses such a row)"))
            continue
        prefix, payload = _format.split_value(encrypted)
        if prefix == b"v20":
            found.skipped.append((_format.place(record), V20))
        elif prefix is None:
            found.skipped.append((_format.place(record), "Undecryptable: an encrypted value "
                                  "of no known framing (not v10, v11 or v20)"))
        else:
            groups[prefix].append((index, payload, record["host_key"]))
    if any(reason == V20 for _, reason in found.skipped):
        found.notes.append("app-bound (v20) values cannot be read outside the browser that "
                           "wrote them")
    if groups[b"v10"] or groups[b"v11"]:
        crypto = _crypto()
        if crypto is None:
            raise ImportError(NO_CIPHERS, name="cryptography")
    for prefix, group in groups.items():
        if not group:
            continue
        keys = _candidates(crypto, prefix, browser, password, key, found.notes)
        opened, failed = _decrypt_group(crypto, group, keys, hashed, found.notes, prefix)
        values.update(opened)
        why = (f"no key opens it ({', '.join(key.name for key in keys)} tried): "
               "a wrong key, or none given")
        for index in failed:
            found.skipped.append((_format.place(records[index]),
                                  f"Undecryptable: a {prefix.decode()} value; {why}"))
    for index, record in enumerate(records):
        if index not in values:
            continue
        try:
            row = _format.to_row(record, values[index], version)
        except ValueError as error:
            found.skipped.append((_format.place(record), f"Unreadable: {error}"))
            continue
        found.rows.append(row)
        found.places.append(_format.place(record))
    return found
