#!/usr/bin/env bash
# Two quorvel-serve instances behind nginx: both answer, and stopping one loses no request.
# The check itself is examples/scale-out/run.sh; it exits 77 (skipped) without nginx.
exec "$(dirname "$0")/../../examples/scale-out/run.sh" "$@"
