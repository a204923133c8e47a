#!/usr/bin/env bash
# Downloads the same generated file on loopback with the engine, curl and aria2, and prints
# wall time, CPU time and peak memory side by side, as ratios to curl.
#
#   bench/compare.sh [SIZE_MIB]        (default 1024)
#   bench/compare.sh --plan [--quick | --scale F]
#                                      the whole five-file plan (bench/plan_compare.sh)
#
# Needs a built default preset (engine_fetch) and nginx, curl, aria2c, /usr/bin/time.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--plan" ]; then
    shift
    exec bench/plan_compare.sh "$@"
fi
size_mib="${1:-1024}"
build="${KORUVAN_BUILD:-build/default}"
fetch="$build/bench/engine_fetch"
[ -x "$fetch" ] || { echo "compare: build $fetch first (cmake --build --preset default)"; exit 2; }

work=$(mktemp -d /tmp/koruvan-compare.XXXXXX)
chmod 755 "$work"  # nginx workers run unprivileged
nginx_pid=""
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/www" "$work/nginx/tmp" "$work/out"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/www/big.bin"
expected=$(md5sum < "$work/www/big.bin" | cut -d' ' -f1)

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
ports=("$(free_port)" "$(free_port)" "$(free_port)")
{
    echo "daemon off; worker_processes 2; pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;"
    echo "events { worker_connections 512; }"
    echo "http { access_log off; sendfile on; client_body_temp_path $work/nginx/tmp;"
    echo "  proxy_temp_path $work/nginx/tmp; fastcgi_temp_path $work/nginx/tmp;"
    echo "  uwsgi_temp_path $work/nginx/tmp; scgi_temp_path $work/nginx/tmp;"
    for p in "${ports[@]}"; do echo "  server { listen 127.0.0.1:$p; root $work/www; }"; done
    echo "}"
} > "$work/nginx/nginx.conf"
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
for p in "${ports[@]}"; do
    for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$p/" && break; sleep 0.05; done
done
url() { echo "http://127.0.0.1:${ports[$1]}/big.bin"; }

# run NAME COMMAND...: one timed download into $work/out/NAME.bin
declare -A wall cpu mem
run() {
    local name=$1; shift
    rm -f "$work/out/"*
    # Every downloader starts with the previous one's data on the disk, not being written
    # back under it.
    sync
    sleep 1
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || {
        echo "compare: $name failed"; cat "$work/stderr.txt"; return 1; }
    local got
    got=$(md5sum < "$(ls "$work/out/"*.bin | head -1)" | cut -d' ' -f1)
    [ "$got" = "$expected" ] || { echo "compare: $name produced wrong bytes"; return 1; }
    wall[$name]=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$work/time.txt")
    cpu[$name]=$(awk -F': ' '/User time/ {u=$2} /System time/ {s=$2} END {print u+s}' "$work/time.txt")
    mem[$name]=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
}

run curl curl -s -o "$work/out/big.bin" "$(url 0)"
run aria2c-x1 aria2c -q -x1 -s1 -d "$work/out" -o big.bin --allow-overwrite=true --file-allocation=none "$(url 0)"
run aria2c-x16 aria2c -q -x16 -s16 -k1M -d "$work/out" -o big.bin --allow-overwrite=true --file-allocation=none "$(url 0)"
run engine-1 "$fetch" "$work/out/big.bin" "$(url 0)"
run engine-3 "$fetch" "$work/out/big.bin" "$(url 0)" "$(url 1)" "$(url 2)"

printf '\n%s MiB on loopback (nginx), %s\n\n' "$size_mib" "$(date -u +%F)"
printf '| downloader | wall s | CPU s | peak RSS MiB | wall / curl | CPU / curl |\n|---|---|---|---|---|---|\n'
for n in curl aria2c-x1 aria2c-x16 engine-1 engine-3; do
    awk -v n="$n" -v w="${wall[$n]}" -v c="${cpu[$n]}" -v m="${mem[$n]}" \
        -v cw="${wall[curl]}" -v cc="${cpu[curl]}" 'BEGIN {
        printf "| %s | %.2f | %.2f | %.1f | %.2f | %.2f |\n", n, w, c, m/1024, w/cw, (cc>0?c/cc:0) }'
done
