"""Row stores: where a CookieJar keeps its cookies besides memory.

A store moves rows (see `glimmering_copper_otter._rows`) in and out and knows
nothing of cookie rules; the jar applies them.  `RowStore` is the protocol
the jar drives:

- `load()` once, when the jar is made: every cookie the store holds, as rows
  (rows that are not cookies a jar keeps are passed over with a
  `StoreWarning`);
- `refresh()` before every call: None when no other connection changed the
  store since this one last looked, else its whole contents, as `load`;
- `apply(changes)` after a call that changed something: the changes, a list
  of ("set", row), ("delete", key) and ("touch", key, last_access), written
  in one transaction, in order.  When it raises, nothing was written, and
  the jar undoes the changes and raises in its turn;
- `close()`.

`keep_session_cookies` says whether the store keeps session cookies (the
jar hands it none otherwise), `read_only` whether it takes changes at all (a
jar never asks a read-only store to write what a read changed: last-access
times, expired cookies).

`glimmering_copper_otter.stores.sqlite.SqliteStore` is the store of a jar
made with a path.
"""

import os
from typing import Protocol, runtime_checkable


class StoreError(OSError):
    """A store that cannot be used: locked by another program beyond the
    timeout, not a cookie store, damaged, of another schema version,
    read-only for a change, or not readable.  `filename` names the file."""

    def __init__(self, path, message):
        super().__init__(f"{os.fsdecode(path)}: {message}")
        self.filename = path

    def __str__(self):
        return self.args[0]


class StoreWarning(UserWarning):
    """A store passed over rows that are not cookies a jar keeps (written by
    another program, or damaged): the message counts them and gives the
    first reasons."""


@runtime_checkable
class RowStore(Protocol):
    keep_session_cookies: bool
    read_only: bool

    def load(self) -> list[tuple]: ...

    def refresh(self) -> list[tuple] | None: ...

    def apply(self, changes: list[tuple]) -> None: ...

    def close(self) -> None: ...


def warn_skipped(name: str, skipped: list[tuple[object, str]], stacklevel: int = 3) -> None:
    """Warns that a store passed over rows: their count and the first three
    reasons."""
    import warnings

    shown = "; ".join(f"{where}: {reason}" for where, reason in skipped[:3])
    more = f"; and {len(skipped) - 3} more" if len(skipped) > 3 else ""
    warnings.warn(f"{name}: {len(skipped)} row(s) passed over, not cookies a jar keeps: "
                  f"{shown}{more}", StoreWarning, stacklevel=stacklevel)


__all__ = ["RowStore", "StoreError", "StoreWarning"]
