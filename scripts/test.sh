#!/usr/bin/env bash
# Sets up the .venv and runs the whole test suite.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup test
cd "$ROOT"
# pytest itself (not python -m pytest), so that the checkout's package
# directory does not shadow the installed one.
"$VENV/bin/pytest" "$@"
