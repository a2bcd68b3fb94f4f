"""Where this Linux machine's browsers keep their profiles: the home
directory's own folders, and those of the snap and flatpak packages."""

import configparser
import os
from pathlib import Path
from typing import NamedTuple

from glimmering_copper_otter.formats import _json

# The Chromium family: each browser's user data directories under the home
# directory (the profiles are folders in them: Default, Profile 1, ...).
CHROMIUM_DIRECTORIES = {
    "chromium": (".config/chromium", "snap/chromium/common/chromium",
                 ".var/app/org.chromium.Chromium/config/chromium"),
    "chrome": (".config/google-chrome", ".config/google-chrome-beta",
               ".config/google-chrome-unstable", ".var/app/com.google.Chrome/config/google-chrome"),
    "edge": (".config/microsoft-edge", ".config/microsoft-edge-beta",
             ".config/microsoft-edge-dev", ".var/app/com.microsoft.Edge/config/microsoft-edge"),
    "brave": (".config/BraveSoftware/Brave-Browser",
              "snap/brave/current/.config/BraveSoftware/Brave-Browser",
              ".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser"),
    "opera": (".config/opera", "snap/opera/current/.config/opera",
              ".var/app/com.opera.Opera/config/opera"),
    "vivaldi": (".config/vivaldi", "snap/vivaldi/current/.config/vivaldi",
                ".var/app/com.vivaldi.Vivaldi/config/vivaldi"),
}
# The Firefox family: the folders holding profiles.ini.
FIREFOX_DIRECTORIES = {
    "firefox": (".mozilla/firefox", ".config/mozilla/firefox", "snap/firefox/common/.mozilla/firefox",
                ".var/app/org.mozilla.firefox/.mozilla/firefox",
                ".var/app/org.mozilla.firefox/config/mozilla/firefox"),
    "librewolf": (".librewolf", ".var/app/io.gitlab.librewolf-community/.librewolf"),
    "waterfox": (".waterfox", ".var/app/net.waterfox.waterfox/.waterfox"),
    "floorp": (".floorp", ".var/app/one.ablaze.floorp/.floorp"),
    "zen": (".zen", ".var/app/app.zen_browser.zen/.zen"),
}
CHROMIUM_FAMILY = frozenset(CHROMIUM_DIRECTORIES)
FIREFOX_FAMILY = frozenset(FIREFOX_DIRECTORIES)
BROWSERS = tuple(CHROMIUM_DIRECTORIES) + tuple(FIREFOX_DIRECTORIES)


class Profile(NamedTuple):
    """A browser profile: the browser's name, the profile's name (Chromium's
    folder name, "Default"; Firefox's name in profiles.ini), its directory
    and its cookie database."""

    browser: str
    name: str
    path: Path
    cookie_file: Path


def chromium_cookie_file(directory: Path) -> Path:
    """A Chromium profile's cookie database: in Network/ since 2021, in the
    profile itself before."""
    network = directory / "Network" / "Cookies"
    return network if network.is_file() or not (directory / "Cookies").is_file() else directory / "Cookies"


def _folder_name(name):
    """Whether a name of `Local State` names a folder of the user data
    directory itself (not a path elsewhere)."""
    if type(name) is not str or name in ("", ".", "..") or "/" in name or "\0" in name:
        return False
    try:
        return len(os.fsencode(name)) <= 255
    except UnicodeEncodeError:
        return False


def _chromium_profiles(browser, root):
    names = []
    try:
        with open(root / "Local State", "rb") as file:
            document = _json.loads(file.read(), "Local State")
        cache = document.get("profile") if type(document) is dict else None
        cache = cache.get("info_cache") if type(cache) is dict else None
        if type(cache) is dict:
            names = [name for name in cache if _folder_name(name)]
    except (OSError, ValueError):
        pass
    try:
        names += sorted(entry.name for entry in os.scandir(root) if entry.is_dir()
                        and entry.name not in names)
    except OSError:
        return []
    found = []
    # The profile a browser starts with first.
    names.sort(key=lambda name: name != "Default")
    for name in names:
        directory = root / name
        cookie_file = chromium_cookie_file(directory)
        if cookie_file.is_file():
            found.append(Profile(browser, name, directory, cookie_file))
    # Opera keeps its one profile in the user data directory itself.
    if not found and ((root / "Cookies").is_file() or (root / "Network" / "Cookies").is_file()):
        found.append(Profile(browser, root.name, root, chromium_cookie_file(root)))
    return found


def _firefox_profiles(browser, root):
    parser = configparser.RawConfigParser(strict=False)
    try:
        parser.read(root / "profiles.ini", encoding="utf-8")
    except (configparser.Error, UnicodeDecodeError):
        return []
    defaults = set()
    for section in parser.sections():
        if section.startswith("Install") and parser.has_option(section, "Default"):
            defaults.add(parser.get(section, "Default"))
    found = []
    for section in parser.sections():
        if not section.startswith("Profile") or not parser.has_option(section, "Path"):
            continue
        relative = parser.get(section, "IsRelative", fallback="1") != "0"
        path = parser.get(section, "Path")
        directory = root / path if relative else Path(path)
        name = parser.get(section, "Name", fallback=section)
        # The profile an install starts with first, then the one marked Default.
        rank = 0 if path in defaults else 1 if parser.get(section, "Default", fallback="") == "1" else 2
        found.append((rank, Profile(browser, name, directory, directory / "cookies.sqlite")))
    return [profile for _, profile in sorted(found, key=lambda item: item[0])]


def find(browser: str | None = None, *, home: str | os.PathLike | None = None) -> list[Profile]:
    """The profiles of this machine's browsers (of `browser` alone when given),
    in the home directory (`home`, default the user's), snap and flatpak
    folders included: each browser's default profile first."""
    if browser is not None and browser not in BROWSERS:
        raise ValueError(f"unknown browser {browser!r}: one of {', '.join(BROWSERS)}")
    home = Path(os.path.expanduser("~") if home is None else home)
    profiles = []
    for name in BROWSERS if browser is None else (browser,):
        chromium = name in CHROMIUM_DIRECTORIES
        for folder in (CHROMIUM_DIRECTORIES if chromium else FIREFOX_DIRECTORIES)[name]:
            root = home / folder
            # A folder that cannot be read is passed over: the others are found.
            try:
                if chromium and root.is_dir():
                    profiles += _chromium_profiles(name, root)
                elif not chromium and (root / "profiles.ini").is_file():
                    profiles += _firefox_profiles(name, root)
            except (OSError, ValueError):
                continue
    return profiles
