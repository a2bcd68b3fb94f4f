#!/usr/bin/env bash
# Coverage-guided fuzzing of the extension for a long session:
#
#   scripts/fuzz.sh [seconds] [libFuzzer flags...]     (default 600 seconds)
#   scripts/fuzz.sh merge     (adds what the sessions found to fuzz/corpus)
#
# Builds the extension with clang (coverage instrumentation for libFuzzer,
# AddressSanitizer and UBSan) into .venv-fuzz with atheris, then runs the
# harness fuzz/fuzz_cookies.py.  New interesting inputs go to
# build/fuzz/corpus (fuzz/corpus/ holds the committed seeds and findings and
# is read too); a crash, a sanitizer report or a failed check stops the run
# and leaves the input in build/fuzz/artifacts/.  Installs clang with
# apt-get when it is missing and the script runs as root.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

MODE=run
if [ "${1:-}" = merge ]; then
  MODE=merge
  shift
fi
DURATION="${1:-600}"
shift || true

if ! command -v clang++ >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "clang not found: installing it with apt-get" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  else
    echo "clang++ is needed (for example: apt-get install clang)" >&2
    exit 1
  fi
fi

VENV_FUZZ="$ROOT/.venv-fuzz"
if [ ! -x "$VENV_FUZZ/bin/python" ]; then
  "$(find_python)" -m venv "$VENV_FUZZ"
fi
"$VENV_FUZZ/bin/python" -m pip install --quiet --upgrade pip
"$VENV_FUZZ/bin/python" -m pip install --quiet atheris scikit-build-core cmake ninja
# clang's -fsanitize=function and vptr need run-time type information,
# which the module is built without.
CC=clang CXX=clang++ "$VENV_FUZZ/bin/python" -m pip install --quiet --no-build-isolation "$ROOT" \
  -Cbuild-dir=build/fuzz/{wheel_tag} \
  -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.COOKIES_SANITIZE=ON \
  "-Ccmake.define.COOKIES_SANITIZE_EXTRA=-fsanitize=fuzzer-no-link;-fno-sanitize=function,vptr"

ATHERIS_DIR="$("$VENV_FUZZ/bin/python" -c 'import atheris; print(atheris.path())')"
WORK="$ROOT/build/fuzz"
mkdir -p "$WORK/corpus" "$WORK/artifacts"

cd "$ROOT"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
# The targets are in tests/gco_testkit, imported as the tests import it
# (with the form of the recorded data from tools/recorder).
export PYTHONPATH="$ROOT/tests:$ROOT"
# libFuzzer's merge runs the harness again as a program: through its first
# line, with the venv's python first on PATH.
export PATH="$VENV_FUZZ/bin:$PATH"
fuzzer() {
  LD_PRELOAD="$ATHERIS_DIR/asan_with_fuzzer.so" "$VENV_FUZZ/bin/python" fuzz/fuzz_cookies.py \
    -max_len=8192 -timeout=30 -rss_limit_mb=4096 "$@"
}

if [ "$MODE" = run ]; then
  fuzzer -max_total_time="$DURATION" -print_final_stats=1 -artifact_prefix="$WORK/artifacts/" \
    "$@" "$WORK/corpus" "$ROOT/fuzz/corpus"
  exit
fi

# A small set of the sessions' inputs that reaches every edge they reached;
# those not in fuzz/corpus yet are added to it as found-<sha1>.
rm -rf "$WORK/merged"
mkdir -p "$WORK/merged"
fuzzer -set_cover_merge=1 -use_counters=0 -use_cmp=0 -use_value_profile=0 \
  "$WORK/merged" "$ROOT/fuzz/corpus" "$WORK/corpus"
for input in "$WORK/merged"/*; do
  [ -e "$input" ] || continue
  known=0
  for kept in "$ROOT"/fuzz/corpus/*; do
    if cmp -s "$input" "$kept"; then
      known=1
      break
    fi
  done
  if [ "$known" = 0 ]; then
    cp "$input" "$ROOT/fuzz/corpus/found-$(sha1sum "$input" | cut -c1-16)"
  fi
done
echo "fuzz/corpus: $(ls "$ROOT/fuzz/corpus" | wc -l) inputs"
