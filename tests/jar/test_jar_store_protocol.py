"""The row store protocol as the jar drives it, with a store whose hooks do
hostile things: raise, call the jar from inside (a call that joins the one
under way), close or re-make the jar, hand back what is not rows, collect
garbage.  Whatever they do, the jar does not crash, a call that raised left
the jar and the store as they were, and the store holds what the jar
keeps."""

import datetime
import gc

import pytest

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter._jar import CookieJar as Core

U = "https://example.test/"
LATER = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=300)


class Store:
    """A RowStore in a dict; one hook is hostile once."""

    keep_session_cookies = False
    read_only = False

    def __init__(self, hook=None, action=None):
        self.rows, self.hook, self.action, self.jar = {}, hook, action, None

    def _fire(self, hook):
        if hook != self.hook or self.action is None:
            return None
        action, self.action = self.action, None
        return ACTIONS[action](self)

    def load(self):
        got = self._fire("load")
        return list(self.rows.values()) if got is None else got

    def refresh(self):
        return self._fire("refresh")

    def apply(self, changes):
        self._fire("apply")
        for change in changes:
            if change[0] == "set":
                self.rows[_rows.key(change[1])] = change[1]
            elif change[0] == "delete":
                self.rows.pop(change[1], None)
            elif change[1] in self.rows:  # a touch
                row = self.rows[change[1]]
                self.rows[change[1]] = row[:7] + (change[2],) + row[8:]

    def close(self):
        self._fire("close")


class Shared(Store):
    """A store shared by workers: changes go through begin() and commit()."""

    def begin(self, whole):
        got = self._fire("begin")
        if got is not None:
            return got
        return (list(self.rows.values()), None, None) if whole else None

    def commit(self, changes, clock):
        self._fire("commit")
        self.apply(changes)

    def rollback(self):
        self._fire("rollback")

    def apply_unless_changed(self, changes):
        self._fire("apply_unless_changed")
        self.apply(changes)


def _raise(store):
    raise OSError("the store is down")


def _nested(store):
    store.jar.set_cookie("nested=1; Max-Age=600", U)


def _collect(store):
    store.rows = dict(store.rows)
    gc.collect()


ACTIONS = {
    "raise": _raise,
    "nested": _nested,
    "close": lambda store: store.jar.close(),
    "remake": lambda store: store.jar.__init__(Store()),
    "not-rows": lambda store: [("not", "a", "row"), 5],
    "not-a-list": lambda store: 5,
    "collect": _collect,
}
CALLS = {
    "set_cookie": lambda jar: jar.set_cookie("a=2; Max-Age=600", U),
    "cookie_header": lambda jar: jar.cookie_header(U),
    # A read that writes: last-access times, and a cookie gone out of date.
    "cookie_header later": lambda jar: jar.cookie_header(U, now=LATER),
    "clear": lambda jar: jar.clear(),
    "load_rows": lambda jar: jar.load_rows([]),
    "remove": lambda jar: jar.remove((b"a", "example.test", True, b"/", False, "", False)),
}


@pytest.mark.parametrize("kind, hook", [
    (Store, "refresh"), (Store, "apply"), (Shared, "refresh"), (Shared, "begin"),
    (Shared, "commit"), (Shared, "rollback"), (Shared, "apply_unless_changed")])
@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("call", CALLS)
def test_a_hostile_store_hook(kind, hook, action, call):
    store = kind()
    jar = Core(store)
    jar.set_cookies(["a=1; Max-Age=600", "b=1; Max-Age=600", "c=1; Max-Age=200"], U)
    before = sorted(jar.rows())
    store.hook, store.action, store.jar = hook, action, jar
    raised = False
    try:
        CALLS[call](jar)
    except (OSError, RuntimeError, TypeError):
        raised = True
    if jar.closed or jar.store is not store or store.action is not None:
        return  # (a call that writes nothing never reaches apply)
    if raised:
        assert sorted(jar.rows()) == before
    # A read keeps what it decided (a last access, an expired cookie gone)
    # when the store could not take it.
    failed_read = call == "cookie_header later" and hook.startswith("apply") and action in (
        "raise", "close", "remake")
    if (hook, action) != ("refresh", "not-rows") and not failed_read:
        # (refresh not-rows: a store that says it holds nothing)
        # What the store holds is what the jar keeps (every cookie here persists).
        assert sorted(store.rows.values()) == sorted(jar.rows())


@pytest.mark.parametrize("action", ["raise", "nested", "not-rows", "not-a-list", "collect"])
def test_a_hostile_load(action):
    store = Store("load", action)
    store.rows = {("k",): (b"k", b"1", "example.test", True, b"/", 4 * 10 ** 15, 1, 1, False,
                           False, 0, False, "", -1, 2, 443, True, False)}
    jar = Core()
    store.jar = jar
    try:
        jar.__init__(store)
    except (OSError, TypeError):
        assert jar.store is None and len(jar) == 0
    else:
        assert jar.store is store
        assert [row[0] for row in jar.rows()] in ([b"k"], [])
