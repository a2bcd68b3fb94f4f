"""One interpreter per process: every module refuses a second interpreter, of
any configuration, and the first keeps working after the second has ended.
Each case runs in a child process.  Before 3.12 an interpreter has no
isolated configuration to ask for: the modules' own check refuses both kinds,
with its own message."""

import json
import sys

import pytest

from conftest import run_python
from gco_testkit.subinterpreters import EXEC_IN_SUBINTERPRETER

CHILD = EXEC_IN_SUBINTERPRETER + """
import json, sys
from glimmering_copper_otter import browser, cookie_header, cookies, writer

module, config = sys.argv[1:]
# Had the import worked, these calls would bind the module's lazily
# imported helpers to objects of the second interpreter.
code = f'''
import glimmering_copper_otter.{module}
from glimmering_copper_otter import browser
browser.read_set_cookie(b"a=b", "http://[::1]/")
browser.read_set_cookie(b"a=b", "https://b\\u00fccher.example.test/")
'''
failure = exec_in_subinterpreter(code, config)
ipv6 = browser.read_set_cookie(b"a=b", "http://[::1]/")
print(json.dumps([
    failure and [failure[0], failure[1][:30]],
    [ipv6.name, ipv6.host_only],
    browser.read_set_cookie(b"a=b", "https://b\\u00fccher.example.test/").domain,
    writer.write_cookie_for_response(cookies.Cookie("a", "b"), priority="low").decode(),
    cookie_header.parse_cookie_header(b"a=b; c=d"),
]))
"""

# The first words of the refusal: an interpreter that checks what modules
# declare (isolated, 3.12 on) refuses them itself; else the modules do.
REFUSED = {True: "module glimmering_copper_otter.", False: "Interpreter change detected - "}


@pytest.mark.parametrize("config", ["legacy", "isolated"])
@pytest.mark.parametrize("module", ["cookies", "writer", "cookie_header", "browser", "jar"])
def test_a_second_interpreter_is_refused(module, config):
    out = run_python(CHILD, module, config).stdout
    checked = config == "isolated" and sys.version_info >= (3, 12)
    assert json.loads(out.splitlines()[-1]) == [
        ["ImportError", REFUSED[checked][:30]], ["a", True],
        "xn--bcher-kva.example.test", "a=b; Priority=Low", {"a": "b", "c": "d"}]
