"""The cookies of the browsers on this Linux machine, read exactly.

`find(browser=None)` lists the profiles of the Chromium family
("chromium", "chrome", "edge", "brave", "opera", "vivaldi") and of the
Firefox family ("firefox", "librewolf", "waterfox", "floorp", "zen") in the
home directory, snap and flatpak folders included.  `read_cookies(...)`
reads one profile's cookies into rows (see `glimmering_copper_otter.rows`)
with what it passed over and why; `CookieJar.load_browser` loads them.

Nothing is written in a profile, and the profile's own database files are
never opened with SQLite: a private copy is (`_copy`).  Files are read
here, keys found and values decrypted; what a browser's record means is in
`formats.chromium` and `formats.firefox`.
"""

import os
from pathlib import Path
from typing import NamedTuple

from glimmering_copper_otter.browsers._profiles import (
    BROWSERS, CHROMIUM_FAMILY, FIREFOX_FAMILY, Profile, chromium_cookie_file, find,
)


class Cookies(NamedTuple):
    """What `read_cookies` found: the rows, the place of each (host, path,
    name), the cookies passed over as (place, reason), the reason beginning
    with a code word, and notes on the whole profile.  The rows are as the
    profile holds them: the jar that loads them applies the row contract
    (a domain cookie of a public suffix is refused there)."""

    rows: list[tuple]
    places: list[str]
    skipped: list[tuple[str, str]]
    notes: list[str]
    profile: Profile


def profile_of(browser: str, profile: str | os.PathLike | None = None) -> Profile:
    """The profile `profile` names for `browser`: a profile's name (None:
    the browser's default profile), a profile directory or a cookie
    database file."""
    if browser not in BROWSERS:
        raise ValueError(f"unknown browser {browser!r}: one of {', '.join(BROWSERS)}")
    chromium = browser in CHROMIUM_FAMILY
    if profile is not None:
        path = Path(os.fsdecode(profile)).expanduser()
        if path.is_file():
            return Profile(browser, path.parent.name, path.parent, path)
        if path.is_dir():
            if chromium:
                directory = path if chromium_cookie_file(path).is_file() else path / "Default"
                return Profile(browser, directory.name, directory, chromium_cookie_file(directory))
            return Profile(browser, path.name, path, path / "cookies.sqlite")
        if isinstance(profile, os.PathLike) or os.sep in os.fsdecode(profile):
            raise FileNotFoundError(2, "no such profile directory or cookie file", str(path))
    profiles = find(browser)
    if not profiles:
        raise FileNotFoundError(f"no {browser} profile found in the home directory (give the "
                                "profile's directory or its cookie file)")
    if profile is None:
        return profiles[0]
    for candidate in profiles:
        if candidate.name == os.fsdecode(profile):
            return candidate
    raise FileNotFoundError(f"no {browser} profile {os.fsdecode(profile)!r}: "
                            f"{', '.join(repr(p.name) for p in profiles)}")


def read_cookies(browser: str, profile: str | os.PathLike | None = None, *,
                 password: str | bytes | None = None, key: bytes | None = None,
                 container: str | int | None = None) -> Cookies:
    """The cookies of a browser profile (see `profile_of`) as rows, not
    yet checked against the row contract (a jar does that as it loads
    them), with those passed over: Undecryptable (no key, a wrong key, an
    app-bound value), Unsupported (a database version, a container not
    asked for), Unreadable, or InvalidDomain (a domain cookie of a public
    suffix, which Chromium refuses).

    Chromium family: `password` is the keyring's password for `v11` values
    (else the Secret Service is asked) or, for a file copied from a Mac, the
    Keychain's "Safe Storage" password; `key` the 32-byte AES-256-GCM key of
    a file copied from Windows.  Firefox family: `container` names a
    container (its name or number) whose cookies load instead of the
    default ones."""
    found_profile = profile_of(browser, profile)
    if browser in FIREFOX_FAMILY:
        if password is not None or key is not None:
            raise ValueError("Firefox keeps cookies unencrypted: password and key are for "
                             "the Chromium family")
        from glimmering_copper_otter.browsers import _firefox

        found = _firefox.read(found_profile.cookie_file, browser, container=container)
    else:
        if container is not None:
            raise ValueError("container is for the Firefox family")
        from glimmering_copper_otter.browsers import _chromium

        found = _chromium.read(found_profile.cookie_file, browser, password=password, key=key)
    return Cookies(list(found.rows), list(found.places), list(found.skipped), list(found.notes),
                   found_profile)


__all__ = ["BROWSERS", "Cookies", "Profile", "find", "profile_of", "read_cookies"]
