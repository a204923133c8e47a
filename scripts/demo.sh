#!/usr/bin/env bash
# The demo (the README's first command). It builds everything (scripts/bootstrap.sh), makes a
# demo game of five files — a few hundred MB, the installer a small shell script — serves it
# with nginx on 127.0.0.1 (one port as CDN and downloader service, two more as the mirrors
# the resource list offers), downloads it with koruvan-cli, checks and installs it, and
# prints a summary with times and speeds. Every server it starts is stopped at the end, also
# on Ctrl-C or failure. Nothing leaves the machine: all traffic is on loopback.
#
#   scripts/demo.sh [--gui] [--sizes LIST] [--limit KBPS] [--work DIR] [--no-bootstrap]
#   scripts/demo.sh --swarm [...]   two downloaders in network namespaces (demo-swarm.sh)
#
#   --gui           run the window (koruvan) instead of koruvan-cli
#   --sizes LIST    sizes of the five files (default 2M,100M,100M,100M,48M)
#   --limit KBPS    speed limit for the download (default: none)
#   --work DIR      working folder (default build/demo); its demo subfolders are replaced
#   --no-bootstrap  use the existing build instead of running scripts/bootstrap.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/nginx-head.sh
repo=$PWD
for arg in "$@"; do
    # Two downloaders in network namespaces, the second fed mostly by the first.
    [ "$arg" = "--swarm" ] && exec scripts/demo-swarm.sh "$@"
done

gui=0
sizes="2M,100M,100M,100M,48M"
limit=""
work="$repo/build/demo"
bootstrap=1
while (($#)); do
    case "$1" in
        --gui) gui=1 ;;
        --sizes) sizes="${2:?--sizes needs a list}"; shift ;;
        --limit) limit="${2:?--limit needs a number}"; shift ;;
        --work) work="${2:?--work needs a folder}"; shift ;;
        --no-bootstrap) bootstrap=0 ;;
        -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

say() { printf '\n== %s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }
# seconds between two `now` values, and a rate in MB/s for a byte count over them
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { d = b - a; if (d < 0.001) d = 0.001; printf "%.1f", n / d / 1048576 }'; }

# ---------------------------------------------------------------- build
if ((bootstrap)); then
    say "Bootstrap: packages, configure, build"
    scripts/bootstrap.sh
fi
build="$repo/build/${KORUVAN_PRESET:-default}"
find_program() { find "$build" -maxdepth 3 -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1; }
mkplan=$(find_program koruvan-mkplan)
cli=$(find_program koruvan-cli)
window=$(find_program koruvan)
[ -n "$mkplan" ] || fail "koruvan-mkplan is not built in $build (run without --no-bootstrap)"
for tool in nginx curl md5sum awk; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap.sh installs it)"
done
nginx_bin=$(command -v nginx)

# ---------------------------------------------------------------- work folder and ports
mkdir -p "$work"
work=$(cd "$work" && pwd)
for sub in bundle data game nginx; do
    rm -rf "${work:?}/$sub"
done
bundle="$work/bundle" data="$work/data" game="$work/game" web="$work/nginx"
mkdir -p "$data" "$game" "$web/tmp"

total_bytes=$(awk -v list="$sizes" 'BEGIN {
    n = split(list, s, ","); t = 0
    for (i = 1; i <= n; i++) {
        v = s[i]; u = toupper(substr(v, length(v))); m = 1
        if (u == "K") m = 1024; else if (u == "M") m = 1048576; else if (u == "G") m = 1073741824
        if (m > 1) v = substr(v, 1, length(v) - 1)
        t += v * m
    }
    printf "%.0f", t }')
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if ((free_kib * 1024 < total_bytes * 2 + 104857600)); then
    fail "not enough free space in $work: the demo needs about $((total_bytes * 2 / 1048576 + 100)) MB"
fi

# Three free TCP ports on 127.0.0.1.
free_ports() {
    if command -v python3 >/dev/null; then
        python3 - <<'EOF'
import socket
socks = []
for _ in range(3):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
EOF
    else
        local found=() p
        while ((${#found[@]} < 3)); do
            p=$((20000 + RANDOM % 40000))
            (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || found+=("$p")
        done
        echo "${found[*]}"
    fi
}
read -r cdn_port mirror1_port mirror2_port < <(free_ports)
cdn="http://127.0.0.1:$cdn_port"

# ---------------------------------------------------------------- servers (stopped on exit)
nginx_pid=""
client_pid=""
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if [ -n "$client_pid" ] && kill -0 "$client_pid" 2>/dev/null; then
        # SIGTERM asks the front end to pause and save its state, as Ctrl-C does (a second
        # SIGINT would end it at once).
        kill -TERM "$client_pid" 2>/dev/null || true
        for _ in $(seq 300); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$client_pid" 2>/dev/null || true
        wait "$client_pid" 2>/dev/null || true
    fi
    if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill -TERM "$nginx_pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        echo "demo: nginx stopped"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------- the demo game
say "Making the demo game ($sizes) with koruvan-mkplan"
t0=$(now)
"$mkplan" --out "$bundle" --sizes "$sizes" --installer-script \
    --base-url "$cdn" --mirror "http://127.0.0.1:$mirror1_port" \
    --mirror "http://127.0.0.1:$mirror2_port" --sec-type B1 --p2p off --upnp off --quiet
t1=$(now)
plan="$bundle/plan.ini"
echo "plan: $plan ($(elapsed "$t0" "$t1") s)"
plan_value() { awk -F' = ' -v s="[file$1]" -v k="$2" '$0 == s { in_s = 1; next } /^\[/ { in_s = 0 } in_s && $1 == k { print $2 }' "$plan"; }

say "Starting nginx on 127.0.0.1:$cdn_port (CDN and service), :$mirror1_port and :$mirror2_port (mirrors)"
user_line=""
if [ "$(id -u)" -eq 0 ]; then
    user_line="user $(id -un) $(id -gn);"  # workers read the bundle with our rights
fi
server_block() {
    cat <<EOF
    server {
        listen 127.0.0.1:$1;
        root $bundle/www;
        access_log $web/access-$1.log demo;
        # Signed source URLs (B1: /<md5>/<time>/..., A0: /<time>/<md5>/...) name the
        # plain path behind the signature; the demo CDN serves them without checking it.
        rewrite "^/[0-9a-f]{32}/[0-9]+(/vemo047/.*)\$" \$1 last;
        rewrite "^/[0-9]{12}/[0-9a-f]{32}(/vemo047/.*)\$" \$1 last;
        location /launchersubmit/ { return 200 '{"error":0}'; }
    }
EOF
}
{
    nginx_head "$web" "$user_line"
    cat <<EOF
$(server_block "$cdn_port")
$(server_block "$mirror1_port")
$(server_block "$mirror2_port")
}
EOF
} >"$web/nginx.conf"
"$nginx_bin" -e "$web/error.log" -p "$web" -c "$web/nginx.conf" &
nginx_pid=$!
for port in "$cdn_port" "$mirror1_port" "$mirror2_port"; do
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/" && break
        kill -0 "$nginx_pid" 2>/dev/null || fail "nginx did not start: $(tail -n 3 "$web/error.log")"
        sleep 0.1
    done
done

say "Self-check of the servers with curl"
name0=$(plan_value 0 name)
md50=$(plan_value 0 md5)
curl -fsS "$cdn/downloader/secres/vemo/vemo_sec.xml" | grep -q "<project>" ||
    fail "the sec configuration is not served"
curl -fsS "$cdn/downloader/secres/vemo/VemoResourceList20250711.xml" | grep -q "<resources>" ||
    fail "the resource list is not served"
got=$(curl -fsS "$cdn/vemo047/$name0" | md5sum | cut -d' ' -f1)
[ "$got" = "$md50" ] || fail "the installer from the CDN has MD5 $got, the plan says $md50"
first_kib=$(head -c 1024 "$bundle/www/vemo047/$name0" | md5sum)
for port in "$mirror1_port" "$mirror2_port"; do
    got=$(curl -fsS -r 0-1023 "http://127.0.0.1:$port/vemo047/$name0" | md5sum)
    [ "$got" = "$first_kib" ] || fail "mirror $port does not serve byte ranges of the files"
done
signed="$cdn/0123456789abcdef0123456789abcdef/1700000000/vemo047/$name0"
[ "$(curl -fsS -r 0-99 "$signed" | wc -c)" -eq 100 ] || fail "signed URLs are not served"
echo "CDN, mirrors, documents, byte ranges and signed paths: OK"

# ---------------------------------------------------------------- download, check, install
# KORUVAN_DEMO_WRAP: an optional command prefix for the front-end runs (bench/plan_bench.sh
# measures them with /usr/bin/time this way).
read -r -a demo_wrap <<< "${KORUVAN_DEMO_WRAP:-}"
run_client() {  # runs a front end in the foreground, so that Ctrl-C reaches it first
    "${demo_wrap[@]}" "$@" &
    client_pid=$!
    local status=0
    wait "$client_pid" || status=$?
    client_pid=""
    return "$status"
}

if ((gui)); then
    [ -n "$window" ] || fail "the window (koruvan) is not built yet; run the demo without --gui"
    [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || fail "--gui needs a display"
    export KORUVAN_SHUTDOWN_CMD="${KORUVAN_SHUTDOWN_CMD:-$repo/tests/support/shutdown-stub.sh}"
    say "Running the window: press 开始 (Start); when 安装 (Install) appears, press it"
    echo "(the speed limit is set in the window's settings, the gear button)"
    rm -f "$game/demo-game-installed.txt"
    t0=$(now)
    run_client "$window" --plan "$plan" --data-dir "$data" --save-dir "$game" ||
        fail "the window ended with an error"
    t1=$(now)
    say "Summary"
    echo "window open for $(elapsed "$t0" "$t1") s; plan $plan, data $data, game $game"
    if [ -f "$game/demo-game-installed.txt" ]; then
        echo "installer: $(head -n 1 "$game/demo-game-installed.txt")"
    else
        echo "the installer was not started (the window was closed before Install)"
    fi
    exit 0
fi

if [ -z "$cli" ]; then
    fail "koruvan-cli is not built yet; the bundle and the servers worked (plan: $plan)"
fi
export KORUVAN_SHUTDOWN_CMD="${KORUVAN_SHUTDOWN_CMD:-$repo/tests/support/shutdown-stub.sh}"

say "Downloading with koruvan-cli"
limit_args=()
[ -n "$limit" ] && limit_args=(--limit "$limit")
t0=$(now)
status=0
run_client "$cli" --plan "$plan" --data-dir "$data" download --save-dir "$game" \
    "${limit_args[@]}" || status=$?
t1=$(now)
((status == 0)) || fail "koruvan-cli download ended with exit code $status (1: failed or \
interrupted, 2: plan or usage error, 3: another instance holds the plan)"

say "Checking the five MD5 digests independently (md5sum)"
for i in 0 1 2 3 4; do
    name=$(plan_value "$i" name)
    got=$(md5sum "$game/$name" | cut -d' ' -f1)
    [ "$got" = "$(plan_value "$i" md5)" ] || fail "$name has MD5 $got, the plan says $(plan_value "$i" md5)"
    echo "$name  $got  OK"
done

say "Verifying and installing with koruvan-cli"
rm -f "$game/demo-game-installed.txt"
t2=$(now)
status=0
run_client "$cli" --plan "$plan" --data-dir "$data" install --verify || status=$?
t3=$(now)
((status == 0)) || fail "koruvan-cli install --verify ended with exit code $status"
for _ in $(seq 100); do
    [ -f "$game/demo-game-installed.txt" ] && break
    sleep 0.1
done
[ -f "$game/demo-game-installed.txt" ] || fail "the installer did not run"

# ---------------------------------------------------------------- summary
served() { awk '{ n += $NF } END { printf "%.1f", n / 1048576 }' "$web/access-$1.log" 2>/dev/null || echo 0; }
signed_requests=$(cat "$web"/access-*.log | grep -cE '"GET /[0-9a-f]{32}/[0-9]+/vemo047/' || true)
say "Summary"
printf '%-28s %10s %12s\n' "step" "seconds" "MB/s"
printf '%-28s %10s %12s\n' "download ($((total_bytes / 1048576)) MB)" "$(elapsed "$t0" "$t1")" \
    "$(rate "$total_bytes" "$t0" "$t1")"
printf '%-28s %10s %12s\n' "verify (MD5) and install" "$(elapsed "$t2" "$t3")" \
    "$(rate "$total_bytes" "$t2" "$t3")"
printf 'served: CDN %s MB, mirror 1 %s MB, mirror 2 %s MB; %s signed requests\n' \
    "$(served "$cdn_port")" "$(served "$mirror1_port")" "$(served "$mirror2_port")" \
    "$signed_requests"
echo "installer: $(head -n 1 "$game/demo-game-installed.txt" 2>/dev/null) (marker in $game)"
echo "game: $game; data: $data; plan: $plan"
