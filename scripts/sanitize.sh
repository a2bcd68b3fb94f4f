#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into their own venv (.venv-asan) and build
# directory, then runs the whole test suite against them.  The interpreter
# stays uninstrumented: the sanitizer runtimes are preloaded, and
# PYTHONMALLOC=malloc routes object allocations through them so that ASan
# sees every Python object too.  Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

VENV_ASAN="$ROOT/.venv-asan"
if [ ! -x "$VENV_ASAN/bin/python" ]; then
  "$(find_python)" -m venv "$VENV_ASAN"
fi
"$VENV_ASAN/bin/python" -m pip install --quiet --upgrade pip
"$VENV_ASAN/bin/python" -m pip install --quiet "$ROOT[test,frameworks,clients,browsers,live,postgres,recorder]" \
  -Cbuild-dir=build/asan/{wheel_tag} \
  -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.COOKIES_WERROR=ON \
  -Ccmake.define.COOKIES_SANITIZE=ON

CXX_COMPILER="${CXX:-c++}"
runtime() {
  local path
  path="$("$CXX_COMPILER" -print-file-name="$1")"
  if [ "$path" = "$1" ] || [ ! -e "$path" ]; then
    echo "sanitizer runtime $1 not found by $CXX_COMPILER" >&2
    return 1
  fi
  echo "$path"
}
ASAN_RUNTIME="$(runtime libasan.so)"
UBSAN_RUNTIME="$(runtime libubsan.so)"

cd "$ROOT"
# Leak detection stays off: the interpreter keeps much of what it allocates
# until the process ends, which LeakSanitizer would report at every exit.
# Reference leaks are checked by tests/test_leaks.py instead.
# max_free_fill_size and free_fill_byte poison freed memory, so that the
# uninstrumented interpreter trips over a freed object it reads too.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:max_free_fill_size=65536:free_fill_byte=221"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
# Tests that cannot work under the sanitizers (such as those that compile
# a client module with a compiler that would inherit the preload) skip
# themselves when this is set.
export COOKIES_SANITIZED=1
LD_PRELOAD="$ASAN_RUNTIME $UBSAN_RUNTIME" "$VENV_ASAN/bin/pytest" -p no:cacheprovider "$@"
