"""A reference-leak check usable from any test.

``assert_no_leak(operation, raises)`` runs the operation many times after a
warm-up and asserts that the interpreter's memory stays flat: a reference
that the module forgets to release on some path keeps an object alive per
call, and that shows up as growth proportional to the number of calls.

Memory is counted as the interpreter's allocated blocks of its object
allocator.  Without that allocator (PYTHONMALLOC=malloc, as in the run under
the sanitizers, where even plain interpreted code shows steady growth in
what tracemalloc sees) the growth is not measured: the operations still run
on every path under the sanitizers' eyes, and the reference counts of the
objects handed to the operation, which can be watched, must not change.
"""

import gc
import sys
import warnings

WARMUP = 100
RUNS = 100
ROUNDS = 3


def _growth(run):
    """How many allocated blocks run() left behind (0 when not counted)."""
    gc.collect()
    before = sys.getallocatedblocks()
    run()
    gc.collect()
    return sys.getallocatedblocks() - before


def assert_no_leak(operation, raises=None, *, watch=(), warmup=WARMUP, runs=RUNS,
                   rounds=ROUNDS, warnings_as_errors=False):
    """Runs operation() warmup times, then rounds times runs times.
    raises: None when every call must succeed, else the exception type(s)
    that every call must raise (so that the failure path is the one
    measured).  Warnings are ignored, or turned into errors with
    warnings_as_errors.

    A leak grows memory in every round, in proportion to the calls; caches
    and the allocator's own bookkeeping make noise of some dozens of blocks
    now and then.  So the smallest growth of the rounds counts, and a
    suspicious one is looked at again over rounds five times longer."""

    def once():
        if raises is None:
            operation()
            return
        try:
            operation()
        except raises:
            return
        raise AssertionError(f"{operation!r} did not raise {raises!r}")

    def many(count):
        for _ in range(count):
            once()

    # What lives already is set aside from the collector for the check, so
    # that its collections cost what the operation makes, not what the
    # whole test session holds.
    gc.collect()
    gc.freeze()
    try:
        _check(many, warmup, runs, rounds, watch, warnings_as_errors)
    finally:
        gc.unfreeze()


def _own_count(obj):
    """Whether obj's reference count moves with its own references only.
    Before 3.12 made them immortal, None, the bools and the small ints were
    held and let go all over the interpreter (3.12 on, their counts stand
    still, so nothing is lost by leaving them out)."""
    return sys.version_info >= (3, 12) or not (
        obj is None or type(obj) is bool or (type(obj) is int and -5 <= obj <= 256))


def _check(many, warmup, runs, rounds, watch, warnings_as_errors):
    watch = [obj for obj in watch if _own_count(obj)]
    with warnings.catch_warnings():
        warnings.simplefilter("error" if warnings_as_errors else "ignore")
        many(warmup)
        counts = [sys.getrefcount(obj) for obj in watch]
        if not sys.getallocatedblocks():
            rounds = 1  # nothing to measure: one round runs every path
        growths = [_growth(lambda: many(runs)) for _ in range(rounds)]
        if min(growths) > runs // 10:
            runs *= 5
            growths = [_growth(lambda: many(runs)) for _ in range(rounds)]
        after = [sys.getrefcount(obj) for obj in watch]
    assert counts == after, f"reference counts of the arguments changed: {counts} -> {after}"
    # A leak on the path is at least one block per call.
    assert min(growths) <= runs // 10, f"grew by {growths} blocks in rounds of {runs} calls"
