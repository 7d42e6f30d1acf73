#!/usr/bin/env bash
# Builds the benchmarks (build-bench/) and sends a file over loopback through both library
# forms beside a plain sendfile loop and a raw read. Arguments go to the program:
#   bench/stream_file.sh [MiB=64] [runs=5] [directory] [--sweep]
set -euo pipefail
cd "$(dirname "$0")/.."
make --no-print-directory bench >/dev/null
exec build-bench/bench/bench_stream_file "$@"
