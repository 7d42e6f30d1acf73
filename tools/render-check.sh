#!/usr/bin/env bash
# Renders the demo site's start page, its page built by server-side includes and a directory
# listing, and the board of the notes application with a note in it, in headless Chromium and
# saves screenshots, to check by eye that they display properly. On demand, not part of CI.
#
#   tools/render-check.sh [OUT_DIR]      (default: a new directory under /tmp)
#
# Builds quorvel-serve and notes_app, serves both on free ports of 127.0.0.1, installs
# Debian's chromium when it is missing, and stops the servers by their PIDs at the end.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$(mktemp -d "${TMPDIR:-/tmp}/quorvel-render.XXXXXX")}
mkdir -p "$out"
cd "$top"

if ! command -v chromium >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target quorvel-serve notes_app >/dev/null

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for() {  # PORT
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
port=$(free_port)
build/tools/quorvel-serve --port "$port" --ssi --cache /welcome.shtml=welcome.shtml --log "$out/server.log" >"$out/serve.out" 2>&1 &
server=$!
app_port=$(free_port)
build/notes_app --port "$app_port" --log "$out/notes.log" >"$out/notes.out" 2>&1 &
app=$!
trap 'kill "$server" "$app" 2>/dev/null; wait "$server" "$app" 2>/dev/null || true' EXIT
wait_for "$port"
wait_for "$app_port"
# A note as a browser on the Latin-1 board would post it.
curl -s -o /dev/null --data-urlencode "author=$(printf 'Zo\xeb')" \
    --data-urlencode "text=<b>not bold</b> and a second line" "http://127.0.0.1:$app_port/notes"

shoot() {  # URL FILE
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$(mktemp -d)" --window-size=1100,900 \
        --screenshot="$2" "$1" >/dev/null 2>&1
    [ -s "$2" ] || { echo "no screenshot of $1" >&2; return 1; }
    echo "$1 -> $2"
}
shoot "http://127.0.0.1:$port/" "$out/index.png"
shoot "http://127.0.0.1:$port/welcome.shtml" "$out/includes.png"
shoot "http://127.0.0.1:$port/docs/" "$out/listing.png"
shoot "http://127.0.0.1:$port/docs/?sm" "$out/listing-by-size.png"
shoot "http://127.0.0.1:$app_port/" "$out/notes.png"
