"""Converts a cookie date both ways: ``python -m glimmering_copper_otter``."""

from datetime import datetime

from glimmering_copper_otter.cookies import (
    datetime_from_cookie_format,
    datetime_to_cookie_format,
)


def main() -> int:
    when = datetime(2030, 1, 2, 3, 4, 5)
    written = datetime_to_cookie_format(when)
    print(f"{when.isoformat()} -> {written!r}")
    print(f"{written!r} -> {datetime_from_cookie_format(written).isoformat()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
