#!/usr/bin/env bash
# HTTP benchmark: the library beside nginx, lighttpd, libmicrohttpd and civetweb, one TCP
# connection per request, measured by the shared peer benchmark on this machine: peers.sh, which
# is not part of this repository and is expected at ../shared/bench/peers.sh beside the
# project's top directory (PEERS_SCRIPT=/path/to/peers.sh names another copy). The project's
# server is bench/hello_host.c: files under the root, and /hello answered by a C function (the
# peers answer it with their own callback or a fixed string).
#
#   bench/http.sh                 one run (2 rounds) into a new directory under /tmp
#   bench/http.sh --runs 2        two runs, then the medians of all rounds merged
#   bench/http.sh --summarize D1/raw.tsv D2/raw.tsv ...
#
# Knobs are those of the peer script (SERVERS, CONCS, TOOLS, DURATION, REPEATS, ...);
# TARGETS defaults to "1k 1m hello". Installs the peers and the load tools from Debian's packages
# when they are missing. Takes about 8 minutes per run.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
peers=${PEERS_SCRIPT:-$top/../shared/bench/peers.sh}
if [ ! -x "$peers" ]; then
    cat >&2 <<EOT
peer benchmark not found: $peers
bench/http.sh runs peers.sh, the shared peer benchmark: it starts nginx, lighttpd,
libmicrohttpd, civetweb and this project's server in turn on 127.0.0.1 and measures each with
ab and wrk. It is not part of this repository; it is expected at ../shared/bench/peers.sh
beside the project's top directory ($top/../shared/bench/peers.sh).
To use a copy elsewhere: PEERS_SCRIPT=/path/to/peers.sh bench/http.sh
EOT
    exit 1
fi

if [ "${1:-}" = --summarize ]; then
    shift
    exec "$peers" --summarize "$@"
fi
runs=1
if [ "${1:-}" = --runs ]; then runs=$2; shift 2; fi

need=()
for tool in nginx lighttpd wrk ab curl cc; do command -v "$tool" >/dev/null || need+=("$tool"); done
[ -e /usr/include/microhttpd.h ] || need+=(libmicrohttpd)
[ -e /usr/include/civetweb.h ] || need+=(civetweb)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing the peers and load tools (missing: ${need[*]})" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nginx lighttpd lighttpd-modules-lua \
        wrk apache2-utils curl gcc libmicrohttpd-dev libcivetweb-dev >/dev/null
    # The packages start their services; the benchmark runs its own instances. Only the
    # services the installation started are stopped, by the PIDs they wrote.
    for service in nginx lighttpd; do
        command -v systemctl >/dev/null && systemctl stop "$service" 2>/dev/null || true
        pid=$(cat "/run/$service.pid" 2>/dev/null || true)
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
fi

build=$top/build-bench
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BENCH=ON -DQUORVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target hello_host >/dev/null
host=$build/bench/hello_host
[ -x "$host" ] || { echo "hello_host was not built" >&2; exit 1; }

export PROJECT_CMD="$host --root {ROOT} --port {PORT} --log /dev/null"
export PROJECT_NAME=quorvel
export PROJECT_HELLO_URI=/hello
export TARGETS=${TARGETS:-"1k 1m hello"}

raws=()
for run in $(seq "$runs"); do
    out=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-http-bench.XXXXXX")
    echo "run $run of $runs: results in $out" >&2
    OUT_DIR=$out "$peers"
    raws+=("$out/raw.tsv")
done
if [ "$runs" -gt 1 ]; then
    echo
    echo "== all $runs runs merged =="
    "$peers" --summarize "${raws[@]}"
fi
