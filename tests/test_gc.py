"""Garbage collection: reference cycles through cookies are found and freed,
finalizers see their cookie whole, and nothing is left over."""

import gc
import pickle
import weakref
from datetime import datetime

import pytest

from glimmering_copper_otter.cookies import Cookie, CookieError


class SubCookie(Cookie):
    pass


class OwnedDatetime(datetime):
    """A datetime that can refer back to the cookie that holds it."""


class FinalisedCookie(Cookie):
    seen = []

    def __del__(self):
        FinalisedCookie.seen.append((self.name, self.expires))


class SubError(CookieError):
    pass


@pytest.fixture(autouse=True)
def collected():
    """Every test starts and ends with a full collection and checks that
    the collector found nothing it could not free."""
    gc.collect()
    assert gc.isenabled()
    yield
    gc.collect()
    assert gc.garbage == []


def cookies_alive():
    return sum(isinstance(obj, Cookie) for obj in gc.get_objects())


def test_a_subclass_cookie_whose_dict_refers_to_it_is_collected():
    cookie = SubCookie("n", "v")
    cookie.me = cookie
    cookie.others = [cookie, {"again": cookie}]
    alive = weakref.ref(cookie)
    del cookie
    gc.collect()
    assert alive() is None


def test_a_datetime_in_expires_that_refers_to_its_cookie_is_collected():
    expires = OwnedDatetime(2030, 1, 2, 3, 4, 5)
    cookie = Cookie("n", "v", expires)
    expires.cookie = cookie
    alive = weakref.ref(expires)
    del cookie, expires
    gc.collect()
    assert alive() is None


def test_a_datetime_assigned_later_and_a_dict_both_forming_cycles_are_collected():
    cookie = SubCookie("n", "v")
    cookie.expires = OwnedDatetime(2030, 1, 2)
    cookie.expires.cookie = cookie
    cookie.expires_again = cookie.expires
    cookie_alive, expires_alive = weakref.ref(cookie), weakref.ref(cookie.expires)
    del cookie
    gc.collect()
    assert cookie_alive() is None and expires_alive() is None


def test_the_collector_sees_expires_as_what_a_cookie_refers_to():
    expires = OwnedDatetime(2030, 1, 2)
    cookie = Cookie("n", "v", expires, "d", "/")
    assert gc.is_tracked(cookie)
    assert expires in gc.get_referents(cookie)


def test_cycles_made_by_the_constructor_setstate_and_clone_are_all_freed():
    before = cookies_alive()
    for i in range(50):
        expires = OwnedDatetime(2030, 1, 1 + i % 28)
        cookie = SubCookie(f"n{i}", "v", expires)
        expires.cookie = cookie
        restored = SubCookie.__new__(SubCookie)
        restored.__setstate__(("r", "v", None, OwnedDatetime(2030, 1, 2), False, -1, None, 0,
                               False, {"me": restored}))
        restored.expires.cookie = restored
        clone = cookie.clone()
        clone.expires.clone = clone
    del expires, cookie, restored, clone
    gc.collect()
    assert cookies_alive() == before


def test_an_unpickled_cycle_is_collected():
    cookie = SubCookie("n", "v", OwnedDatetime(2030, 1, 2))
    cookie.me = cookie
    cookie.expires.cookie = cookie
    loaded = pickle.loads(pickle.dumps(cookie))
    assert loaded.me is loaded
    alive = weakref.ref(loaded)
    del cookie, loaded
    gc.collect()
    assert alive() is None


def test_a_finaliser_in_a_cycle_runs_once_and_sees_its_cookie_whole():
    FinalisedCookie.seen.clear()
    expires = OwnedDatetime(2030, 1, 2)
    cookie = FinalisedCookie("n", "v", expires)
    expires.cookie = cookie
    alive = weakref.ref(cookie)
    del cookie, expires
    gc.collect()
    gc.collect()
    assert alive() is None
    # Finalisers run before the collector clears anything.
    assert FinalisedCookie.seen == [("n", OwnedDatetime(2030, 1, 2))]


class Resurrecting(Cookie):
    kept = []

    def __del__(self):
        Resurrecting.kept.append(self)


def test_a_cookie_resurrected_by_its_finaliser_stays_usable_and_is_freed_later():
    cookie = Resurrecting("n", "v", OwnedDatetime(2030, 1, 2), path="/")
    cookie.expires.cookie = cookie
    del cookie
    gc.collect()
    (cookie,) = Resurrecting.kept
    assert (cookie.name, cookie.value, cookie.path) == ("n", "v", "/")
    assert cookie.expires == datetime(2030, 1, 2)
    Resurrecting.kept.clear()
    alive = weakref.ref(cookie)
    del cookie
    gc.collect()
    assert alive() is None
    assert Resurrecting.kept == []  # the finaliser ran only the first time


def test_an_error_that_refers_to_itself_is_collected():
    error = SubError("m")
    error.me = error
    error.cookie = SubCookie("n", "v")
    error.cookie.error = error
    alive = weakref.ref(error)
    del error
    gc.collect()
    assert alive() is None


def test_a_caught_error_and_its_traceback_are_collected():
    def fail():
        cookie = SubCookie("n", "v")
        try:
            cookie.value = "x" * 5000
        except CookieError as error:
            cookie.error = error  # cookie -> error -> traceback -> frame -> cookie
            return weakref.ref(cookie)

    alive = fail()
    gc.collect()
    assert alive() is None
