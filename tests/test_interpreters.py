"""One interpreter per process: every module refuses a second interpreter, of
any configuration, and the first keeps working after the second has ended.
Each case runs in a child process."""

import json

import pytest

from conftest import run_python

CHILD = """
import _interpreters, json, sys
from glimmering_copper_otter import browser, cookie_header, cookies, writer

module, config = sys.argv[1:]
interp = _interpreters.create(config)
try:
    # Had the import worked, these calls would bind the module's lazily
    # imported helpers to objects of the second interpreter.
    failure = _interpreters.exec(interp, f'''
import glimmering_copper_otter.{module}
from glimmering_copper_otter import browser
browser.read_set_cookie(b"a=b", "http://[::1]/")
browser.read_set_cookie(b"a=b", "https://b\\u00fccher.example.test/")
''')
finally:
    _interpreters.destroy(interp)
ipv6 = browser.read_set_cookie(b"a=b", "http://[::1]/")
print(json.dumps([
    None if failure is None else failure.type.__name__,
    [ipv6.name, ipv6.host_only],
    browser.read_set_cookie(b"a=b", "https://b\\u00fccher.example.test/").domain,
    writer.write_cookie_for_response(cookies.Cookie("a", "b"), priority="low").decode(),
    cookie_header.parse_cookie_header(b"a=b; c=d"),
]))
"""


@pytest.mark.parametrize("config", ["legacy", "isolated"])
@pytest.mark.parametrize("module", ["cookies", "writer", "cookie_header", "browser", "jar"])
def test_a_second_interpreter_is_refused(module, config):
    out = run_python(CHILD, module, config).stdout
    assert json.loads(out.splitlines()[-1]) == [
        "ImportError", ["a", True], "xn--bcher-kva.example.test", "a=b; Priority=Low",
        {"a": "b", "c": "d"}]
