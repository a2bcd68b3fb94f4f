"""Callers' code that changes the cookie while an operation is half-way
through: every callback site of the module, under every hostile action, in a
child process under -X dev, against the reference model of the operation
run on the same hostile sequence (gco_testkit/reentrancy.py builds both).

A read of freed memory may surface as an ordinary exception or a wrong
result rather than a crash; comparing with the model catches those too."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

from gco_testkit import reentrancy

TESTS = pathlib.Path(__file__).resolve().parent

# Every place where the module calls interpreted code while it holds
# something of its own (a field it read, an object it looked up): file,
# function, the callback that reaches it.  Each has a row in
# reentrancy.SITES.
AUDIT = [
    ("src/cookies/writer.cpp", "write", "expires.__bool__ of a datetime subclass"),
    ("src/cookies/dates.cpp", "to_utc_wall_clock (from write)", "utcoffset of a time zone"),
    ("src/cookies/dates.cpp", "to_cookie_format (from write)", "strftime of a datetime subclass"),
    ("src/cookies/writer.cpp", "append_quoted", "name property of a subclass"),
    ("src/cookies/writer.cpp", "append_quoted", "quote rebound to interpreted code"),
    ("src/writer/writer.cpp", "write_cookie_for_response", "expires.__bool__ of a datetime subclass"),
    ("src/cookies/cookie_ops.cpp", "clone", "name property of a subclass"),
    ("src/cookies/cookie_ops.cpp", "clone", "CookieSameSiteMode rebound to interpreted code"),
    ("src/cookies/cookie_ops.cpp", "repr", "name property of a subclass"),
    ("src/cookies/cookie_ops.cpp", "equals", "name property of a subclass"),
    ("src/cookies/pickling.cpp", "reduce_cookie", "CookieSameSiteMode rebound to interpreted code"),
    ("src/cookies/pickling.cpp", "reduce_cookie", "__dict__ property of a subclass"),
    ("src/cookies/pickling.cpp", "apply_cookie_state", "truth test of a state item"),
    ("src/cookies/pickling.cpp", "apply_cookie_state", "keys() of the mapping given to dict.update"),
    ("src/cookies/cookie.cpp", "set_expires (store_field)", "__del__ of the replaced datetime"),
    ("src/cookies/samesite.cpp", "same_site_to_member", "CookieSameSiteMode rebound to interpreted code"),
    ("src/cookies/parser.cpp", "parse", "unquote rebound to interpreted code"),
    ("src/cookies/dates.cpp", "from_cookie_format (from parse)",
     "parsedate_to_datetime rebound to interpreted code"),
    ("src/cookie_header/cookie_header.cpp", "write_mapping", "keys() of a mapping"),
    ("src/cookie_header/cookie_header.cpp", "write_mapping", "__getitem__ of a mapping"),
    ("src/cookie_header/cookie_header.cpp", "write_pairs", "__next__ of an iterable of pairs"),
    ("src/browser/module.cpp", "cookie_header (from check)",
     "expires.__bool__ of a datetime subclass, through the writer module"),
]

SCENARIOS = [(site, action) for site in reentrancy.SITES for action in reentrancy.ACTIONS]


def test_every_audited_site_has_a_row():
    rows = {(s.file, s.function, s.callback) for s in reentrancy.SITES.values()}
    assert rows == set(AUDIT)


@pytest.mark.parametrize("site, action", SCENARIOS, ids=[f"{s}-{a}" for s, a in SCENARIOS])
def test_scenario(site, action):
    code = ("import json, sys; from gco_testkit import reentrancy; "
            "print(json.dumps(reentrancy.run(sys.argv[1], sys.argv[2])))")
    env = dict(os.environ, PYTHONPATH=str(TESTS))
    process = subprocess.run([sys.executable, "-X", "dev", "-c", code, site, action],
                             capture_output=True, text=True, timeout=120, env=env,
                             cwd=TESTS)
    assert process.returncode == 0, process.stderr[-3000:]
    result = json.loads(process.stdout.strip().splitlines()[-1])
    native, model = result["native"], result["model"]
    assert native[-1], "the callback never ran"
    assert native == model
