#!/usr/bin/env bash
# BitTorrent on loopback: one generated file (default 1 GiB) seeded by python3-libtorrent
# on 127.0.0.2 and announced through opentracker on 127.0.0.1, fetched in turn by
#   - the engine (engine_fetch, plain BitTorrent, its only web source refusing connections),
#   - a libtorrent leecher (tests/integration/fixtures/lt_peer.py),
#   - aria2c as a BitTorrent client,
# each from its own loopback address, with wall time, CPU time and peak memory side by side
# as ratios to the libtorrent leecher (/usr/bin/time -v). The engine again while 200 silent
# connections (bench/silent_flood.py) hold its listener. Then the engine once more with two
# libtorrent seeders (127.0.0.2, 127.0.0.4) and one nginx web mirror at once, next to the
# engine from the mirror alone and from the two seeders alone.
# No DHT, local discovery, UPnP or NAT-PMP anywhere: nothing leaves loopback.
#
#   bench/bt_compare.sh [SIZE_MIB]        (default 1024)
#
# Needs a built default preset (engine_fetch), nginx, opentracker, aria2c, /usr/bin/time and
# Debian's /usr/bin/python3 with libtorrent.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
size_mib="${1:-1024}"
build="${KORUVAN_BUILD:-build/default}"
fetch="$repo/$build/bench/engine_fetch"
peer="$repo/tests/integration/fixtures/lt_peer.py"
[ -x "$fetch" ] || { echo "bt_compare: build $fetch first (cmake --build --preset default)"; exit 2; }
for tool in nginx opentracker aria2c /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bt_compare: $tool is missing"; exit 2; }
done
/usr/bin/python3 -c 'import libtorrent' || { echo "bt_compare: python3-libtorrent is missing"; exit 2; }

work=$(mktemp -d /tmp/koruvan-btcompare.XXXXXX)
chmod 755 "$work"  # nginx workers and opentracker run unprivileged
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
tracker_port=$(free_port)
web_port=$(free_port)
slow_web_port=$(free_port)

echo "bt_compare: generating $size_mib MiB and its torrent"
mkdir -p "$work/seed" "$work/www" "$work/nginx/tmp" "$work/tracker"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/seed/big.bin"
ln "$work/seed/big.bin" "$work/www/big.bin"
expected=$(md5sum <"$work/seed/big.bin" | cut -d' ' -f1)
/usr/bin/python3 - "$work" "http://127.0.0.1:$tracker_port/announce" <<'EOF'
import sys, libtorrent as lt
work, tracker = sys.argv[1], sys.argv[2]
fs = lt.file_storage()
lt.add_files(fs, work + "/seed/big.bin")
t = lt.create_torrent(fs, 1 << 20, flags=lt.create_torrent.v1_only)  # BitTorrent v1, as the game's torrents
t.add_tracker(tracker)
lt.set_piece_hashes(t, work + "/seed")
data = lt.bencode(t.generate())
open(work + "/big.torrent", "wb").write(data)
open(work + "/tracker/whitelist.txt", "w").write(str(lt.torrent_info(data).info_hash()) + "\n")
EOF
chmod 644 "$work/tracker/whitelist.txt"

opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$work/tracker" \
    -w whitelist.txt >"$work/tracker.log" 2>&1 &
pids+=($!)
{
    echo "daemon off; worker_processes 2; pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;"
    [ "$(id -u)" -eq 0 ] && echo "user $(id -un) $(id -gn);"
    echo "events { worker_connections 512; }"
    echo "http { access_log off; sendfile on; client_body_temp_path $work/nginx/tmp;"
    echo "  proxy_temp_path $work/nginx/tmp; fastcgi_temp_path $work/nginx/tmp;"
    echo "  uwsgi_temp_path $work/nginx/tmp; scgi_temp_path $work/nginx/tmp;"
    echo "  server { listen 127.0.0.1:$web_port; root $work/www; }"
    # The same mirror at an internet mirror's pace (per connection), slower than the swarm.
    echo "  server { listen 127.0.0.1:$slow_web_port; root $work/www; limit_rate 40m; } }"
} >"$work/nginx/nginx.conf"
nginx -e "$work/nginx/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)

start_seeder() {  # address: a libtorrent seed of the file
    /usr/bin/python3 "$peer" --bind "$1" --save "$work/seed" --seed "$work/big.torrent" \
        >"$work/seeder-$1.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q listening "$work/seeder-$1.log" && return; sleep 0.1; done
    echo "bt_compare: the seeder on $1 did not start"; exit 1
}
start_seeder 127.0.0.2
sleep 1

# run NAME COMMAND...: measured with /usr/bin/time -v; the file must arrive intact.
declare -A wall cpu rss
run() {
    local name=$1 out=$2
    shift 2
    rm -rf "$work/out"
    mkdir -p "$work/out"
    /usr/bin/time -v -o "$work/time-$name.txt" "$@" >"$work/run-$name.log" 2>&1 ||
        { echo "bt_compare: $name failed:"; tail -n 5 "$work/run-$name.log"; exit 1; }
    [ "$(md5sum <"$out" | cut -d' ' -f1)" = "$expected" ] || { echo "bt_compare: $name: wrong MD5"; exit 1; }
    wall[$name]=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
        for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$work/time-$name.txt")
    cpu[$name]=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' "$work/time-$name.txt")
    rss[$name]=$(awk -F': ' '/Maximum resident/ { print $2 }' "$work/time-$name.txt")
    printf '%-22s wall %7.2f s  cpu %7.2f s  peak RSS %8d KiB\n' "$name" "${wall[$name]}" "${cpu[$name]}" "${rss[$name]}"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "bt_compare: one libtorrent seeder on 127.0.0.2, tracker 127.0.0.1:$tracker_port"
run libtorrent "$work/out/big.bin" /usr/bin/python3 "$peer" --bind 127.0.0.6 --save "$work/out" \
    --timeout 1200 "$work/big.torrent"
run engine "$work/out/big.bin" "$fetch" --torrent "$work/big.torrent" --bind 127.0.0.3 \
    "$work/out/big.bin" "http://127.0.0.1:1/big.bin"
run aria2c "$work/out/big.bin" aria2c --dir="$work/out" --interface=127.0.0.5 \
    --enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false \
    --seed-time=0 --check-integrity=false --file-allocation=none --summary-interval=0 \
    --console-log-level=warn --listen-port=$((tracker_port + 1)) "$work/big.torrent"

echo
echo "ratios to the libtorrent leecher (wall / cpu / peak RSS):"
for name in engine aria2c; do
    echo "  $name: $(ratio "${wall[$name]}" "${wall[libtorrent]}") / $(ratio "${cpu[$name]}" "${cpu[libtorrent]}") / $(ratio "${rss[$name]}" "${rss[libtorrent]}")"
done

echo
echo "bt_compare: the engine from the same seeder while 200 connections that never speak hold its listener"
flood_port=$(free_port)
/usr/bin/python3 "$repo/bench/silent_flood.py" 127.0.0.3 "$flood_port" 200 600 127.0.0.10 127.0.0.11 \
    >"$work/flood.log" 2>&1 &
flood_pid=$!
pids+=("$flood_pid")
run engine-flooded "$work/out/big.bin" "$fetch" --torrent "$work/big.torrent" --bind 127.0.0.3 \
    --listen-port "$flood_port" "$work/out/big.bin" "http://127.0.0.1:1/big.bin"
kill -TERM "$flood_pid" 2>/dev/null || true
wait "$flood_pid" 2>/dev/null || true
sed 's/^/  /' "$work/flood.log"
echo "  flooded wall to the engine's unflooded wall: $(ratio "${wall[engine-flooded]}" "${wall[engine]}") (aim: at most 1.20)"

echo
echo "bt_compare: the engine with two seeders (127.0.0.2, 127.0.0.4) and one web mirror"
start_seeder 127.0.0.4
sleep 1
run "engine-web" "$work/out/big.bin" "$fetch" "$work/out/big.bin" "http://127.0.0.1:$web_port/big.bin"
run "engine-2-seeders" "$work/out/big.bin" "$fetch" --torrent "$work/big.torrent" --bind 127.0.0.3 \
    "$work/out/big.bin" "http://127.0.0.1:1/big.bin"
run "engine-2-seeders+web" "$work/out/big.bin" "$fetch" --torrent "$work/big.torrent" --bind 127.0.0.3 \
    "$work/out/big.bin" "http://127.0.0.1:$web_port/big.bin"
grep -h 'engine_fetch: web' "$work/run-engine-2-seeders+web.log" | sed 's/^/  bytes by source: /'
echo "  wall of both sources to the web mirror alone: $(ratio "${wall[engine-2-seeders+web]}" "${wall[engine-web]}"), to the two seeders alone: $(ratio "${wall[engine-2-seeders+web]}" "${wall[engine-2-seeders]}")"

echo
echo "bt_compare: the same with the mirror limited to 40 MB/s per connection"
run "engine-slow-web" "$work/out/big.bin" "$fetch" "$work/out/big.bin" \
    "http://127.0.0.1:$slow_web_port/big.bin"
run "engine-2-seeders+slow-web" "$work/out/big.bin" "$fetch" --torrent "$work/big.torrent" \
    --bind 127.0.0.3 "$work/out/big.bin" "http://127.0.0.1:$slow_web_port/big.bin"
grep -h 'engine_fetch: web' "$work/run-engine-2-seeders+slow-web.log" | sed 's/^/  bytes by source: /'
echo "  wall of both sources to the slow mirror alone: $(ratio "${wall[engine-2-seeders+slow-web]}" "${wall[engine-slow-web]}"), to the two seeders alone: $(ratio "${wall[engine-2-seeders+slow-web]}" "${wall[engine-2-seeders]}")"
