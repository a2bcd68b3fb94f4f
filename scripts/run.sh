#!/usr/bin/env bash
# Sets up the .venv and runs the main job, by default on a few sample values.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup
if [ "$#" -eq 0 ]; then
  set -- "sid=a%20b; Path=/; HttpOnly; SameSite=Lax" \
    "theme=dark; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; SameSite=None"
fi
"$VENV/bin/python" -m glimmering_copper_otter "$@"
