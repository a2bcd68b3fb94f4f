"""The command line: ``python -m glimmering_copper_otter --help``."""

from glimmering_copper_otter.cli import run

if __name__ == "__main__":
    raise SystemExit(run())
