#!/usr/bin/env bash
# Sets up the .venv (with werkzeug, Django, matplotlib and aiohttp) and runs
# the benchmarks: the codec's, the request header's, then the jar's; each
# one process, all its cases interleaved, medians and ratios in a table.  Arguments go to the
# codec's benchmark.  Example: ./scripts/bench.sh --chart benchmarks/chart.png
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup bench
"$VENV/bin/python" "$ROOT/benchmarks/bench.py" "$@"
echo
"$VENV/bin/python" "$ROOT/benchmarks/bench_cookie_header.py"
echo
"$VENV/bin/python" "$ROOT/benchmarks/bench_jar.py"
