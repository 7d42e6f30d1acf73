#!/usr/bin/env bash
# Runs every fuzz driver built in BUILD: first once over each input that made it fail before
# (fuzz/regressions/NAME/), then for SECONDS from its seeds (fuzz/corpus/NAME/) and what earlier
# runs in BUILD kept. New inputs and failing ones are written under BUILD/work/NAME/, never
# into the checked-in corpus. Any failure stops the run with a non-zero status.
#   fuzz/run.sh [BUILD] [SECONDS]     (defaults: build-fuzz 60)
# FUZZ_FLAGS adds libFuzzer options, such as -jobs=2 or -seed=1.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${2:-60}
shopt -s nullglob
build=$(cd "${1:-build-fuzz}" && pwd)
drivers=("$build"/*_fuzz)
if [ ${#drivers[@]} -eq 0 ]; then
    echo "fuzz: no drivers built in $build" >&2
    exit 1
fi

for program in "${drivers[@]}"; do
    name=$(basename "$program" _fuzz)
    work=$build/work/$name
    mkdir -p "$work/corpus" "$work/artifacts"
    # A driver stopped by a finding leaves its temporary tree behind: it stays in the build
    # tree until the next run.
    rm -rf "$work/tmp"
    mkdir -p "$work/tmp"
    export TMPDIR=$work/tmp

    found=(fuzz/regressions/"$name"/*)
    if [ ${#found[@]} -gt 0 ]; then
        echo "fuzz: $name: replaying ${#found[@]} past findings"
        "$program" "${found[@]}" 2>"$work/replay.log" || { cat "$work/replay.log" >&2; exit 1; }
    fi

    options=(-max_total_time="$seconds" -max_len=12288 -timeout=25 -rss_limit_mb=2048
             -print_final_stats=1 -artifact_prefix="$work/artifacts/")
    [ -f fuzz/"$name".dict ] && options+=(-dict=fuzz/"$name".dict)
    echo "fuzz: $name: fuzzing for ${seconds}s"
    # shellcheck disable=SC2086 # FUZZ_FLAGS is a list of options
    "$program" "${options[@]}" ${FUZZ_FLAGS:-} "$work/corpus" fuzz/corpus/"$name"
done
