"""Row stores: where a CookieJar keeps its cookies besides memory.

A store moves rows (see `glimmering_copper_otter.rows`) in and out and knows
nothing of cookie rules; the jar applies them.  `RowStore` is the protocol
the jar drives:

- `load()` once, when the jar is made: every cookie the store holds, as rows
  (rows that are not cookies a jar keeps are passed over with a
  `StoreWarning`);
- `refresh()` before every call: None when no other connection changed the
  store since this one last looked, else (rows, removed keys): the rows
  written and the keys removed since then, or (every row, None);
- `apply(changes)` after a call that changed something: the changes, a list
  of ("set", row), ("delete", key) and ("touch", key, last_access), written
  in one transaction, in order.  When it raises, nothing was written, and
  the jar undoes the changes and raises in its turn;
- `close()`.

`keep_session_cookies` says whether the store keeps session cookies (the
jar hands it none otherwise), `read_only` whether it takes changes at all (a
jar never asks a read-only store to write what a read changed: last-access
times, expired cookies).

A store shared by workers on several machines is a `SharedRowStore`: it has
`begin()`, and the jar applies each call that changes cookies under the
jar's lock, to a copy brought up to date inside the transaction that writes
it, so that the calls of all workers apply one after another:

- `begin(whole)` takes the lock in a new transaction and gives what
  changed, as `refresh()` (every row when `whole`), with the jar's clock,
  the latest creation time any worker handed out: None, or (rows, removed
  keys, clock);
- `commit(changes, clock)` writes the call's changes (maybe none) and the
  clock, and commits; `rollback()` abandons the transaction;
- `apply_unless_changed(changes)` writes what a read decided (last-access
  times, expired cookies removed) only when no other worker changed the jar
  since this one read it; else nothing, and the next read gives the rows of
  their keys.

`glimmering_copper_otter.stores.sqlite.SqliteStore` is the store of a jar
made with a path; `glimmering_copper_otter.stores.postgres.PostgresStore`
(the `postgres` extra) keeps jars on a PostgreSQL server.
"""

import os
from typing import Protocol, runtime_checkable


class StoreError(OSError):
    """A store that cannot be used: locked by another program beyond the
    timeout, not a cookie store, damaged, of another schema version,
    read-only for a change, or not readable; a server that cannot be
    reached.  `filename` names the file or the server (never a password)."""

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

    def refresh(self) -> tuple[list[tuple], list[tuple] | None] | None: ...

    def apply(self, changes: list[tuple]) -> None: ...

    def close(self) -> None: ...


@runtime_checkable
class SharedRowStore(RowStore, Protocol):
    def begin(self, whole: bool) -> tuple[list[tuple], list[tuple] | None, int | None] | None: ...

    def commit(self, changes: list[tuple], clock: int | None) -> None: ...

    def rollback(self) -> None: ...

    def apply_unless_changed(self, changes: list[tuple]) -> None: ...


def warn_skipped(name: str, skipped: list[tuple[object, str]], stacklevel: int = 3) -> None:
    """Warns that a store passed over rows: their count and the first three
    reasons."""
    import warnings

    shown = "; ".join(f"{where}: {reason}" for where, reason in skipped[:3])
    more = f"; and {len(skipped) - 3} more" if len(skipped) > 3 else ""
    warnings.warn(f"{name}: {len(skipped)} row(s) passed over, not cookies a jar keeps: "
                  f"{shown}{more}", StoreWarning, stacklevel=stacklevel)


__all__ = ["RowStore", "SharedRowStore", "StoreError", "StoreWarning"]
