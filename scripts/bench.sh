#!/usr/bin/env bash
# Sets up the .venv (with werkzeug, Django and matplotlib) and runs the
# benchmarks: the codec's, then the request header's; each one process, all
# its cases interleaved, medians and ratios in a table.  Arguments go to the
# codec's benchmark.  Example: ./scripts/bench.sh --chart benchmarks/chart.png
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup bench
"$VENV/bin/python" "$ROOT/benchmarks/bench.py" "$@"
echo
"$VENV/bin/python" "$ROOT/benchmarks/bench_cookie_header.py"
