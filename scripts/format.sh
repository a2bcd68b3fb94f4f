#!/usr/bin/env bash
# The C and C++ sources in the style of .clang-format, with a pinned
# clang-format from PyPI (in .venv-tools).
#
#   scripts/format.sh           reformats the files in place
#   scripts/format.sh --check   changes nothing; fails on any difference (CI)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CLANG_FORMAT_VERSION=19.1.7
VENV_TOOLS="$ROOT/.venv-tools"
if [ ! -x "$VENV_TOOLS/bin/clang-format" ] ||
   [ "$("$VENV_TOOLS/bin/clang-format" --version | grep -o '[0-9.]*$')" != "$CLANG_FORMAT_VERSION" ]; then
  "$(find_python)" -m venv "$VENV_TOOLS"
  "$VENV_TOOLS/bin/python" -m pip install --quiet "clang-format==$CLANG_FORMAT_VERSION"
fi

cd "$ROOT"
mapfile -t files < <(git ls-files -- '*.cpp' '*.hpp' '*.h' 2>/dev/null ||
                     find src tests benchmarks -name '*.cpp' -o -name '*.hpp' -o -name '*.h')
if [ "${1:-}" = --check ]; then
  "$VENV_TOOLS/bin/clang-format" --dry-run -Werror "${files[@]}"
  echo "clang-format $CLANG_FORMAT_VERSION: ${#files[@]} files as .clang-format wants them"
else
  "$VENV_TOOLS/bin/clang-format" -i "${files[@]}"
fi
