#!/usr/bin/env bash
# Runs the main job, the command line, on the arguments (by default on a few
# sample headers) from the .venv.
#
# The first run makes the .venv and builds the package into it; later runs
# reuse that build for as long as nothing it is made from has changed: a
# content hash of src/, CMakeLists.txt, pyproject.toml and the interpreter,
# kept in .venv/.gco-build-hash (file times are not trusted).  After a
# change the package is built again incrementally (build/run), in seconds.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

STAMP="$VENV/.gco-build-hash"
if [ ! -x "$VENV/bin/python" ]; then
  echo "run.sh: making the .venv with $(find_python)" >&2
  "$(find_python)" -m venv "$VENV"
fi

sources_hash() {
  {
    "$VENV/bin/python" -c 'import sys; print(sys.version, sys._base_executable)'
    cd "$ROOT"
    find src CMakeLists.txt pyproject.toml -type f ! -name '*.pyc' ! -path '*/__pycache__/*' \
      -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}

wanted="$(sources_hash)"
if [ "$(cat "$STAMP" 2>/dev/null)" != "$wanted" ]; then
  started=$SECONDS
  rm -f "$STAMP"
  if ! "$VENV/bin/python" -c 'import scikit_build_core, ninja, cmake' 2>/dev/null; then
    echo "run.sh: installing the build tools (scikit-build-core, ninja, cmake) into .venv" >&2
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
    "$VENV/bin/python" -m pip install --quiet "scikit-build-core>=0.11" ninja cmake
  fi
  if [ -d "$ROOT/build/run" ]; then
    echo "run.sh: the sources changed since the last build: building again (only what changed)" >&2
  else
    echo "run.sh: building the package (C++, about a minute the first time)" >&2
  fi
  "$VENV/bin/python" -m pip install --quiet --no-build-isolation -Cbuild-dir=build/run \
    -Ccmake.define.COOKIES_WERROR=ON "$ROOT[browsers]"
  echo "$wanted" >"$STAMP"
  echo "run.sh: built and installed in $((SECONDS - started)) s" >&2
fi

if [ "$#" -eq 0 ]; then
  set -- "sid=a%20b; Path=/; HttpOnly; SameSite=Lax" \
    "theme=dark; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; SameSite=None"
fi
exec "$VENV/bin/python" -m glimmering_copper_otter "$@"
