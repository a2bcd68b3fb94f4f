#!/usr/bin/env bash
# Sets up the .venv (with werkzeug and matplotlib) and runs the benchmarks:
# one process, all cases interleaved, medians and ratios in a table.
# Example: ./scripts/bench.sh --chart benchmarks/chart.png
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup bench
"$VENV/bin/python" "$ROOT/benchmarks/bench.py" "$@"
