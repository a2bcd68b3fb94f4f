"""Record what Chromium does with cookies, and compare it live (see headers.py)."""

import argparse
import os
import sys

from .headers import ROOT, compare, record, renormalise
from .writer_grid import record_writer_grid


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="mode", required=True)
    r = sub.add_parser("record")
    r.add_argument("--only", default="")
    c = sub.add_parser("compare")
    c.add_argument("--sample", type=int, default=40)
    c.add_argument("--seed", type=int, default=7)
    sub.add_parser("renormalise")
    w = sub.add_parser("record-writer-grid")
    w.add_argument("--only", default="")
    args = ap.parse_args()
    os.chdir(ROOT)
    if args.mode == "record":
        record(args.only)
        return 0
    if args.mode == "renormalise":
        renormalise()
        return 0
    if args.mode == "record-writer-grid":
        record_writer_grid(args.only)
        return 0
    return compare(args.sample, args.seed)


if __name__ == "__main__":
    sys.exit(main())
