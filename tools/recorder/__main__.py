"""Record what Chromium does with cookies, and compare it live.

    python -m tools.recorder record [--only TEXT]            # the Set-Cookie header corpus
    python -m tools.recorder compare --sample 40 --seed 7
    python -m tools.recorder renormalise
    python -m tools.recorder record-writer-grid [--only TEXT]
    python -m tools.recorder record-sequences [--only TEXT]  # cookie sequences
    python -m tools.recorder compare-sequences --sample 20 --seed 7
    python -m tools.recorder record-url-forms [--limit N]   # how Chromium reads urls

Run from the repository root with the project's .venv (the ``recorder``
extra) and Debian's ``chromium``; see headers.py and
sequences.py for how rows and scenarios are recorded.
"""

import argparse
import os
import sys
from pathlib import Path

from . import scenarios, sequences, url_forms
from .headers import ROOT, compare, record, renormalise
from .writer_grid import record_writer_grid


def main():
    ap = argparse.ArgumentParser(prog="python -m tools.recorder",
                                 description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="mode", required=True)
    for name in ("record", "record-writer-grid", "record-sequences"):
        sub.add_parser(name).add_argument("--only", default="")
    for name, sample in (("compare", 40), ("compare-sequences", 20)):
        c = sub.add_parser(name)
        c.add_argument("--sample", type=int, default=sample)
        c.add_argument("--seed", type=int, default=7)
    sub.add_parser("renormalise")
    u = sub.add_parser("record-url-forms")
    u.add_argument("--limit", type=int, help="record only the first N forms (a trial run)")
    u.add_argument("--out", default=str(url_forms.OUT))
    args = ap.parse_args()
    os.chdir(ROOT)
    if args.mode == "record":
        record(args.only)
    elif args.mode == "renormalise":
        renormalise()
    elif args.mode == "record-writer-grid":
        record_writer_grid(args.only)
    elif args.mode == "record-sequences":
        sequences.record(args.only, scenarios.scenarios(), scenarios.derived())
    elif args.mode == "record-url-forms":
        url_forms.record(args.limit, Path(args.out))
    elif args.mode == "compare-sequences":
        return sequences.compare(args.sample, args.seed)
    else:
        return compare(args.sample, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
