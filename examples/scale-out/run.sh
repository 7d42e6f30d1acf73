#!/usr/bin/env bash
# Scale-out check: two quorvel-serve instances behind nginx as a round-robin balancer.
#
#   examples/scale-out/run.sh [BUILD_DIR]      (default: build/ of the project's top)
#
# Starts two quorvel-serve on 127.0.0.1 (port 0) serving copies of one small temporary site
# that differ only in /who.txt ("a" or "b"), and nginx in the foreground in front of them
# (nginx.conf.in beside this script, filled into a temporary directory that also holds its
# pid, logs and temporary files). Then checks that
#   (a) requests through nginx reach both instances, and
#   (b) stopping one instance with SIGTERM while a client sends requests one after another
#       through nginx loses none of them: every answer is 200, from the other instance once
#       the first has gone.
# Stops everything it started, by PID, also on failure or interruption, and removes its
# directory (KEEP=1 keeps it). Exit status: 0 passed, 77 skipped (nginx is not installed),
# 1 failed, with a message. Needs nginx, curl and python3; takes a few seconds.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
serve=$build/tools/quorvel-serve
started=$SECONDS

note() { echo "scale-out: $*"; }
fail() { echo "scale-out: FAILED: $*" >&2; exit 1; }

nginx=$(command -v nginx || true)
if [ -z "$nginx" ] && [ -x /usr/sbin/nginx ]; then nginx=/usr/sbin/nginx; fi
if [ -z "$nginx" ]; then
    note "skipped: nginx is not installed (on Debian: apt-get install nginx)"
    exit 77
fi
[ -x "$serve" ] || fail "no quorvel-serve at $serve (build it: cmake --build $build --target quorvel-serve)"
command -v curl >/dev/null || fail "curl is not installed"
command -v python3 >/dev/null || fail "python3 is not installed"

# Every request goes straight to 127.0.0.1, whatever proxy the environment names.
fetch() { curl -s --noproxy '*' --max-time 5 "$@"; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-scale-out.XXXXXX")
# Started by root, nginx's workers run as another user: let them reach their files.
chmod 755 "$dir"
pid_a="" pid_b="" port_a="" port_b="" port="" nginx_pid="" client_pid=""

# end_pid PID [SIGNAL]: sends SIGNAL (none when empty), waits up to 10 s for the process to
# end, then kills it (and its children: nginx's workers) by PID. Returns its exit status.
end_pid() {
    local pid=$1 signal=${2:-} i children status=0
    [ -z "$signal" ] || kill "-$signal" "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "scale-out: process $pid still running after 10 s, killing it" >&2
        children=$(ps -o pid= --ppid "$pid" 2>/dev/null || true)
        # shellcheck disable=SC2086 # one PID a word
        kill -KILL "$pid" $children 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || status=$?
    return "$status"
}

cleanup() {
    local status=$? log
    trap - EXIT INT TERM
    set +e # nothing stops the clean-up half way, not even a reader that went away
    trap '' PIPE
    touch "$dir/stop-clients"
    [ -z "$client_pid" ] || end_pid "$client_pid"
    [ -z "$nginx_pid" ] || end_pid "$nginx_pid" TERM
    [ -z "$pid_a" ] || end_pid "$pid_a" TERM
    [ -z "$pid_b" ] || end_pid "$pid_b" TERM
    if [ "$status" -ne 0 ]; then
        for log in "$dir"/*.err "$dir"/*.log "$dir"/nginx/*.log; do
            [ -s "$log" ] || continue
            echo "--- ${log#"$dir"/} (last lines)" >&2
            tail -n 15 "$log" >&2
        done
    fi
    if [ "${KEEP:-0}" = 1 ]; then note "files kept in $dir"; else rm -rf "$dir"; fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The site: the same pages on both instances, and /who.txt naming the instance.
for who in a b; do
    site=$dir/site-$who
    mkdir -p "$site/docs"
    printf '<html><body><p>Served from behind a balancer.</p></body></html>\n' >"$site/index.html"
    printf 'the same text on every instance\n' >"$site/docs/page.txt"
    printf '%s' "$who" >"$site/who.txt"
done

# start_instance NAME: quorvel-serve for site-NAME on a free port; sets pid_NAME, and
# port_NAME from the URL it prints once serving (polled for at most 10 s).
start_instance() {
    local who=$1 i line port="" pid
    : >"$dir/serve-$who.out" # there before the program opens it, for the first look
    "$serve" --root "$dir/site-$who" --port 0 --log "$dir/serve-$who.log" \
        >"$dir/serve-$who.out" 2>"$dir/serve-$who.err" &
    pid=$!
    printf -v "pid_$who" '%s' "$pid"
    for ((i = 0; i < 200; i++)); do
        line=$(grep -m 1 '^quorvel-serve: serving' "$dir/serve-$who.out" || true)
        if [[ $line =~ http://127\.0\.0\.1:([0-9]+)/ ]]; then
            port=${BASH_REMATCH[1]}
            break
        fi
        kill -0 "$pid" 2>/dev/null || fail "quorvel-serve $who ended before serving"
        sleep 0.05
    done
    [ -n "$port" ] || fail "quorvel-serve $who announced no port within 10 s"
    printf -v "port_$who" '%s' "$port"
}

free_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()'
}

# start_nginx: nginx on a free port, set in `port`. Another program may take the port between
# its release and nginx's bind, so a failed bind is tried again on another (5 attempts).
start_nginx() {
    local attempt i
    mkdir -p "$dir/nginx/temp"
    for ((attempt = 1; attempt <= 5; attempt++)); do
        port=$(free_port)
        sed -e "s|@DIR@|$dir/nginx|g" -e "s|@PORT@|$port|g" \
            -e "s|@PORT_A@|$port_a|g" -e "s|@PORT_B@|$port_b|g" \
            "$here/nginx.conf.in" >"$dir/nginx/nginx.conf"
        rm -f "$dir/nginx/nginx.pid"
        : >"$dir/nginx.err"
        "$nginx" -p "$dir/nginx/" -c "$dir/nginx/nginx.conf" >"$dir/nginx.out" 2>"$dir/nginx.err" &
        nginx_pid=$!
        # Up once its pid file is written and it answers (polled for at most 10 s).
        for ((i = 0; i < 200; i++)); do
            kill -0 "$nginx_pid" 2>/dev/null || break
            if [ -s "$dir/nginx/nginx.pid" ] && fetch -o /dev/null "http://127.0.0.1:$port/"; then
                return 0
            fi
            sleep 0.05
        done
        kill -0 "$nginx_pid" 2>/dev/null && fail "nginx did not answer within 10 s"
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=""
        grep -qs 'Address already in use' "$dir/nginx.err" "$dir/nginx/error.log" ||
            fail "nginx did not start: $(tail -n 3 "$dir/nginx.err")"
        note "port $port was taken before nginx bound it; trying another"
    done
    fail "nginx found no free port in 5 attempts"
}

start_instance a
start_instance b
start_nginx
base=http://127.0.0.1:$port
note "instance a on port $port_a (pid $pid_a), b on port $port_b (pid $pid_b), nginx on port $port"

# (a) Requests through nginx reach both instances.
seen=""
for ((i = 1; i <= 10; i++)); do
    seen+=$(fetch -f "$base/who.txt") || fail "request $i of 10 through nginx failed"
done
[[ $seen == *a* && $seen == *b* ]] || fail "ten requests through nginx reached only '$seen'"
fetch -f "$base/docs/page.txt" | grep -q 'the same text' || fail "/docs/page.txt did not come through nginx"
note "(a) ok: ten requests through nginx reached both instances ($seen)"

# (b) A client sends requests one after another through nginx, each on a new connection,
# until told to stop (at most 3000 requests and 60 s), and writes "STATUS WHO" for each.
answers=$dir/answers
: >"$answers"
(
    deadline=$((SECONDS + 60))
    for ((i = 0; i < 3000 && SECONDS < deadline; i++)); do
        [ -e "$dir/stop-clients" ] && break
        who=""
        code=$(fetch -o "$dir/body" -w '%{http_code}' "$base/who.txt") || true
        [ "$code" != 200 ] || who=$(cat "$dir/body" 2>/dev/null || true)
        echo "$code $who" >>"$answers"
        rm -f "$dir/body"
    done
) &
client_pid=$!

# wait_answers N: waits (at most 20 s) until the client has written N answers.
wait_answers() {
    local i
    for ((i = 0; i < 400; i++)); do
        [ "$(wc -l <"$answers")" -ge "$1" ] && return 0
        kill -0 "$client_pid" 2>/dev/null || fail "the client ended after $(wc -l <"$answers") requests"
        sleep 0.05
    done
    fail "the client had $(wc -l <"$answers") answers after 20 s, expected $1"
}

wait_answers 40
before=$(wc -l <"$answers")
status=0
end_pid "$pid_a" TERM || status=$?
pid_a=""
[ "$status" -eq 0 ] || fail "instance a ended with status $status on SIGTERM"
gone=$(wc -l <"$answers")
note "instance a stopped on SIGTERM during requests $((before + 1)) to $((gone + 1))"
wait_answers $((gone + 40))
touch "$dir/stop-clients"
status=0
end_pid "$client_pid" || status=$?
client_pid=""
[ "$status" -eq 0 ] || fail "the client ended with status $status"

total=$(wc -l <"$answers")
if grep -qv '^200 [ab]$' "$answers"; then
    fail "$(grep -cv '^200 [ab]$' "$answers") of $total requests failed;" \
        "answers (count, status, instance): $(sort "$answers" | uniq -c | tr -s ' \n' ' ')"
fi
# The request under way when a's end was seen may still have been answered by a.
late=$(tail -n +$((gone + 2)) "$answers" | grep -c ' a$' || true)
[ "$late" -eq 0 ] || fail "$late requests were answered by instance a after it had stopped"
errors=$(grep -c '\[error\].*upstream' "$dir/nginx/error.log" || true)
note "(b) ok: $total requests through nginx, all 200, every one after a's stop from b" \
    "(nginx logged $errors errors from a and passed those requests to b)"
note "passed in $((SECONDS - started)) s"
