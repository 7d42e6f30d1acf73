#!/usr/bin/env bash
# `cmake --install` into a temporary prefix, then the prefix used from outside the tree:
# examples/embed built with pkg-config and with find_package and served on port 0, a bubble
# built with the installed quorvel_add_bubble, and the installed quorvel-serve showing its
# installed demo site (private area included) by default. Removes everything it made.
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-install.XXXXXX")
work=$(realpath "$work")
prefix=$work/prefix
pid=

cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "install test: $*" >&2
    for log in "$work"/*.log; do [ -s "$log" ] && { echo "--- $log" >&2; tail -20 "$log" >&2; }; done
    exit 1
}

# Hosts linking a sanitized library must carry the same runtime.
sanitize=$(sed -n 's/^QUORVEL_SANITIZE:STRING=//p' "$build/CMakeCache.txt")
flags="-Werror${sanitize:+ -fsanitize=$sanitize}"

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install failed"

# --- What was installed.
libdir=$(dirname "$(find "$prefix" -name libquorvel32_2k.so.0 -print -quit)")
[ -d "$libdir" ] || fail "no libquorvel32_2k.so.0 under $prefix"
version=$(sed -n 's/^#define QUORVEL_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/quorvel.h")
[ -f "$libdir/libquorvel32_2k.so.$version" ] || fail "no libquorvel32_2k.so.$version"
[ "$(readlink "$libdir/libquorvel32_2k.so")" = libquorvel32_2k.so.0 ] || fail "no development link"
soname=$(readelf -d "$libdir/libquorvel32_2k.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libquorvel32_2k.so.0 ] || fail "SONAME is '$soname'"
[ "$(ls "$prefix/bin")" = "$(printf 'quorvel-bubble\nquorvel-serve')" ] ||
    fail "programs installed: $(ls "$prefix/bin" | tr '\n' ' ')"
[ -z "$(find "$prefix" -name '*.a' -o -name 'test_*' -o -name 'c_*')" ] ||
    fail "the core library or tests were installed"
for program in quorvel-serve quorvel-bubble; do
    runpath=$(readelf -d "$prefix/bin/$program" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
    [[ $runpath == *'$ORIGIN/../'"${libdir#"$prefix"/}"* ]] || fail "$program: RUNPATH '$runpath'"
    [[ $runpath != *"$build"* ]] || fail "$program: RUNPATH into the build tree: '$runpath'"
done
# The installed server carries no path into the sources (it would serve their demo site).
rodata=$(readelf -p .rodata "$prefix/bin/quorvel-serve")
[[ $rodata != *"$top/demo"* ]] || fail "the installed quorvel-serve names $top/demo"

# --- Servers on port 0: each announces 127.0.0.1:PORT on its first line of output.
mkfifo "$work/announce"
start() {
    "$@" >"$work/announce" 2>"$work/server.log" &
    pid=$!
    exec 3<"$work/announce"
    local line=
    IFS= read -r -t 10 line <&3 || fail "$1 announced nothing within 10 s"
    [[ $line =~ 127\.0\.0\.1:([0-9]+) ]] || fail "$1 announced: $line"
    port=${BASH_REMATCH[1]}
    announced=$line
}
stop() {
    kill "$pid"
    local status=0
    wait "$pid" || status=$?
    pid=
    exec 3<&-
    [ "$status" -eq 0 ] || fail "$1 exited with status $status on SIGTERM"
}
get() { curl -sS --max-time 5 -o "$work/body" -w '%{http_code}' "$@" "http://127.0.0.1:$port$path"; }
expect() { # CODE PATH CONTENT-FILE|TEXT [curl options]
    local code=$1 want=$3 got
    path=$2
    shift 3
    got=$(get "$@") || fail "curl $path failed"
    [ "$got" = "$code" ] || fail "$path answered $got, not $code"
    if [ -f "$want" ]; then
        cmp -s "$want" "$work/body" || fail "$path: not the bytes of $want"
    elif [ -n "$want" ]; then
        grep -qF "$want" "$work/body" || fail "$path: no '$want' in $(head -c 300 "$work/body")"
    fi
}

mkdir -p "$work/site/sub"
echo "served by a host built against the install ($$)" >"$work/site/sub/page.txt"
serve_site() { # the embed host at $1
    start "$1" "$work/site" 0
    [[ $announced == *"serving $work/site at http://127.0.0.1:$port/"* ]] || fail "$1 announced: $announced"
    grep -q " $libdir/libquorvel32_2k.so.$version\$" "/proc/$pid/maps" || fail "$1 did not load $libdir"
    expect 200 /sub/page.txt "$work/site/sub/page.txt"
    expect 200 /sub/ page.txt
    stop "$1"
}

# --- examples/embed, copied out of the tree, built with pkg-config.
cp -r "$top/examples/embed" "$work/embed"
rm -rf "$work/embed/embed_host" "$work/embed/build"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion quorvel)" = "$version" ] || fail "pkg-config: $(pkg-config --modversion quorvel 2>&1)"
make -C "$work/embed" CFLAGS="-O1 $flags" LDFLAGS="${sanitize:+-fsanitize=$sanitize}" \
    >"$work/make.log" 2>&1 || fail "the pkg-config build failed"
serve_site "$work/embed/embed_host"

# --- The same with find_package, and a bubble built with the installed quorvel_add_bubble
# (both configured at once: configuring is most of the time).
mkdir "$work/bubble"
cat >"$work/bubble/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(installed_bubble C)
find_package(Quorvel REQUIRED)
quorvel_add_bubble(installed_bubble SOURCES page.c URI "installed_page get /installed text")
EOF
cat >"$work/bubble/page.c" <<'EOF'
#include <quorvel.h>
#include <stddef.h>
char* installed_page(envelope* request, envelope* out)
{
    (void)request;
    quorvel_printf(out, "a bubble built against the install\n");
    return NULL;
}
EOF
export CMAKE_PREFIX_PATH=$prefix
configure() { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$flags" \
                  -DCMAKE_EXE_LINKER_FLAGS="${sanitize:+-fsanitize=$sanitize}" >"$3" 2>&1; }
configure "$work/embed" "$work/embed-cmake" "$work/cmake-embed.log" & embed_configure=$!
configure "$work/bubble" "$work/bubble-cmake" "$work/cmake-bubble.log" ||
    fail "configuring the bubble failed"
wait "$embed_configure" || fail "configuring examples/embed with find_package failed"
for tree in embed-cmake bubble-cmake; do
    grep -qx "Quorvel_DIR:PATH=$libdir/cmake/Quorvel" "$work/$tree/CMakeCache.txt" ||
        fail "$tree found $(grep Quorvel_DIR "$work/$tree/CMakeCache.txt")"
    cmake --build "$work/$tree" >>"$work/cmake-$tree.log" 2>&1 || fail "building $tree failed"
done
serve_site "$work/embed-cmake/embed_host"
mkdir "$work/bubbles"
cp "$work/bubble-cmake/installed_bubble.bbl" "$work/bubbles/"

# --- The installed quorvel-serve, from a directory outside the tree, without a root: the
# installed demo site, its private area reading the installed password file.
cd "$work"
start "$prefix/bin/quorvel-serve" --port 0 --bubbles "$work/bubbles"
[[ $announced == *"serving $prefix/share/quorvel/www at"* ]] || fail "quorvel-serve announced: $announced"
expect 200 / "Quorvel demo site"
expect 200 /docs/readme.txt "$top/demo/www/docs/readme.txt"
expect 401 /private/secret.txt ""
expect 200 /private/secret.txt "$top/demo/www/private/secret.txt" -u demo:quorvel
expect 200 /installed "a bubble built against the install"
stop quorvel-serve
echo "install ok: library $version, pkg-config and CMake hosts, bubble, installed demo"
