"""Builds the docs site and saves screenshots of its start page and one
module page, taken by headless Chromium, for a reviewer to look at.

    .venv/bin/python scripts/screenshots.py [--out build/screenshots] [--no-build]

Needs the docs extra (`.venv/bin/pip install '.[docs]'`) and Debian's
chromium.  The pages are opened from the built files (no server), each in
a throw-away profile.
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SITE = ROOT / "build" / "site"
PAGES = {"start.png": "index.html", "jar.png": "jar/index.html"}


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if found := shutil.which(name):
            return found
    sys.exit("screenshots.py: no chromium on PATH (apt-get install chromium)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "screenshots")
    parser.add_argument("--no-build", action="store_true", help="use the site already built")
    arguments = parser.parse_args()
    if not arguments.no_build:
        subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--quiet"],
                       cwd=ROOT, check=True)
    arguments.out.mkdir(parents=True, exist_ok=True)
    browser = chromium()
    for picture, page in PAGES.items():
        target = arguments.out / picture
        with tempfile.TemporaryDirectory(prefix="gco-shot-") as profile:
            subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                            "--hide-scrollbars", f"--user-data-dir={profile}",
                            "--window-size=1280,1400", f"--screenshot={target}",
                            (SITE / page).as_uri()],
                           check=True, timeout=120, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        print(target)


if __name__ == "__main__":
    main()
