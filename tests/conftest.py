"""Shared fixtures: the module, its C-level entries called through ctypes, and
a runner for code that needs a fresh interpreter."""

import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import glimmering_copper_otter
from glimmering_copper_otter import cookies


def _installed_package_error():
    """Why the package under test is not the one installed for the running
    interpreter (in its site-packages), or None.  A copy elsewhere, such as a
    source tree or a stale build put on sys.path, would be tested instead of
    what users install."""
    paths = sysconfig.get_paths(vars={"base": sys.prefix, "platbase": sys.prefix})
    roots = {Path(paths[name]).resolve() for name in ("purelib", "platlib")}
    for module in (glimmering_copper_otter, cookies):
        location = Path(module.__file__).resolve()
        if not any(location.is_relative_to(root) for root in roots):
            return (f"{module.__name__} was imported from {location}, not from the "
                    f"site-packages of {sys.executable} ({', '.join(map(str, sorted(roots)))})")
    return None


if (_error := _installed_package_error()) is not None:
    pytest.exit(_error, returncode=pytest.ExitCode.USAGE_ERROR)

from gco_testkit.capi import SIGNATURES, CApi  # noqa: F401  (SIGNATURES: for the tests)


@pytest.fixture(scope="session")
def capi():
    return CApi(cookies)


@pytest.fixture
def restore_module_attributes():
    """Puts back any module attribute that a test rebinds or deletes."""
    saved = dict(vars(cookies))
    yield cookies
    for name in list(vars(cookies)):
        if name not in saved:
            delattr(cookies, name)
    for name, value in saved.items():
        setattr(cookies, name, value)


def run_python(code, *args, check=True):
    """Runs code in a fresh interpreter; returns the completed process."""
    process = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if check and process.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({process.returncode}):\n{process.stdout}\n{process.stderr}"
        )
    return process


def traceback_names(excinfo):
    """The function names of an exception's traceback entries."""
    tb = excinfo.value.__traceback__ if hasattr(excinfo, "value") else excinfo.__traceback__
    names = []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def cookie_fields(cookie):
    """The nine attributes of a cookie, same_site as its number."""
    return (
        cookie.name,
        cookie.value,
        cookie.expires,
        cookie.domain,
        cookie.path,
        cookie.http_only,
        cookie.secure,
        cookie.max_age,
        int(cookie.same_site),
    )


class OwnInt(int):
    """An int subclass: its number is used as it is, never its __int__."""

    def __int__(self):
        return 99


class IntOf:
    """An object whose only number conversion is __int__, which returns (or
    raises) the given result."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def _jars():
    from gco_testkit import jar_model
    from glimmering_copper_otter.jar import CookieJar
    return [pytest.param(jar_model.CookieJar, id="model"), pytest.param(CookieJar, id="compiled")]


# Every jar that must behave as Chromium did: the reference model and the
# compiled jar.
JARS = _jars()
