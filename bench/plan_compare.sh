#!/usr/bin/env bash
# The whole five-file plan on loopback: koruvan-cli next to aria2c (-i LIST -j5) and curl
# (--parallel) on the same nginx, each under /usr/bin/time -v, every result checked with
# MD5; wall time, CPU time and peak memory as ratios to aria2c.
#
#   bench/plan_compare.sh [--quick | --scale F]
#
# The file sizes are the real plan's (13.9 GB in all) times F (default 1; --quick: 1/16).
# Needs free disk space for about twice the total, a built default preset, nginx, curl,
# aria2c and /usr/bin/time. Called by `bench/compare.sh --plan`.
set -euo pipefail
cd "$(dirname "$0")/.."
scale=1
while (($#)); do
    case "$1" in
        --quick) scale=0.0625 ;;
        --scale) scale="${2:?--scale needs a factor}"; shift ;;
        *) echo "plan_compare: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
build="${KORUVAN_BUILD:-build/default}"
cli="$build/cli/koruvan-cli"
mkplan="$build/tools/mkplan/koruvan-mkplan"
[ -x "$cli" ] && [ -x "$mkplan" ] || { echo "plan_compare: build the default preset first"; exit 2; }

real_sizes=(39714680 4222222222 4222222222 4222222222 1229830419)
sizes=""
total=0
for s in "${real_sizes[@]}"; do
    n=$(awk -v s="$s" -v f="$scale" 'BEGIN { printf "%.0f", s * f }')
    sizes="$sizes${sizes:+,}$n"
    total=$((total + n))
done
free_kb=$(df -Pk /tmp | awk 'NR == 2 { print $4 }')
((free_kb * 1024 > total * 2 + 1073741824)) || {
    echo "plan_compare: needs $((total * 2 / 1048576 + 1024)) MiB free in /tmp"; exit 2; }

work=$(mktemp -d /tmp/koruvan-plancompare.XXXXXX)
chmod 755 "$work"
nginx_pid=""
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
base="http://127.0.0.1:$port"
echo "making the plan ($sizes bytes)..."
"$mkplan" --out "$work/bundle" --sizes "$sizes" --base-url "$base" --p2p off --quiet

mkdir -p "$work/nginx/tmp"
cat > "$work/nginx/nginx.conf" <<EOF
daemon off; worker_processes 2; pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;
events { worker_connections 512; }
http {
  access_log off; sendfile on; default_type application/octet-stream; types { text/xml xml; }
  client_body_temp_path $work/nginx/tmp; proxy_temp_path $work/nginx/tmp;
  fastcgi_temp_path $work/nginx/tmp; uwsgi_temp_path $work/nginx/tmp; scgi_temp_path $work/nginx/tmp;
  server {
    listen 127.0.0.1:$port; root $work/bundle/www;
    rewrite "^/[0-9a-f]{32}/[0-9]+(/vemo047/.*)\$" \$1 last;
    rewrite "^/[0-9]{12}/[0-9a-f]{32}(/vemo047/.*)\$" \$1 last;
    location /launchersubmit/ { return 200 "ok\n"; }
  }
}
EOF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "$base/" && break; sleep 0.05; done

plan="$work/bundle/plan.ini"
names=() md5s=()
for i in 0 1 2 3 4; do
    names+=("$(awk -F' = ' -v s="[file$i]" '$0 == s { f = 1; next } /^\[/ { f = 0 } f && $1 == "name" { print $2 }' "$plan")")
    md5s+=("$(awk -F' = ' -v s="[file$i]" '$0 == s { f = 1; next } /^\[/ { f = 0 } f && $1 == "md5" { print $2 }' "$plan")")
done
urls=()
for n in "${names[@]}"; do urls+=("$base/vemo047/$n"); done
printf '%s\n' "${urls[@]}" > "$work/list.txt"

declare -A wall cpu mem
run() {
    local name=$1; shift
    rm -rf "$work/out" "$work/data"
    mkdir -p "$work/out"
    sync
    sleep 1
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || {
        echo "plan_compare: $name failed"; tail -5 "$work/stderr.txt"; return 1; }
    for i in 0 1 2 3 4; do
        local got
        got=$(md5sum < "$work/out/${names[$i]}" | cut -d' ' -f1)
        [ "$got" = "${md5s[$i]}" ] || { echo "plan_compare: $name: wrong bytes in ${names[$i]}"; return 1; }
    done
    wall[$name]=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$work/time.txt")
    cpu[$name]=$(awk -F': ' '/User time/ {u=$2} /System time/ {s=$2} END {print u+s}' "$work/time.txt")
    mem[$name]=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
    echo "$name: ${wall[$name]} s"
}

curl_args=()
for i in 0 1 2 3 4; do curl_args+=(-o "$work/out/${names[$i]}" "${urls[$i]}"); done
run aria2c aria2c -q -j5 -x1 -s1 -i "$work/list.txt" -d "$work/out" --allow-overwrite=true \
    --file-allocation=none
run curl curl -s --parallel --parallel-max 5 "${curl_args[@]}"
run engine "$cli" --plan "$plan" --data-dir "$work/data" download --save-dir "$work/out" --no-p2p

printf '\nthe whole plan, %s MB in five files, on loopback (nginx), %s\n\n' \
    "$((total / 1000000))" "$(date -u +%F)"
printf '| downloader | wall s | CPU s | peak RSS MiB | wall / aria2c | CPU / aria2c |\n|---|---|---|---|---|---|\n'
for n in aria2c curl engine; do
    awk -v n="$n" -v w="${wall[$n]}" -v c="${cpu[$n]}" -v m="${mem[$n]}" \
        -v aw="${wall[aria2c]}" -v ac="${cpu[aria2c]}" 'BEGIN {
        printf "| %s | %.2f | %.2f | %.1f | %.2f | %.2f |\n", n, w, c, m/1024, w/aw, (ac>0?c/ac:0) }'
done
