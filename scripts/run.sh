#!/usr/bin/env bash
# Sets up the .venv and runs the main job on a few sample values.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup
cd "$ROOT"
"$VENV/bin/python" -m glimmering_copper_otter "$@"
