#!/usr/bin/env bash
# A flash crowd on one CDN: N clients arrive one after another and fetch the five-file plan,
# in turn with Koruvan P2SP, Koruvan web only, libtorrent with BEP 19 web seeds and aria2c
# with the same web-seeded torrents, each kind on a fresh swarm of network namespaces:
#   - one bridge (namespace <p>sw), everything on 192.0.2.0/24 and nothing else routed;
#   - the CDN (<p>cdn, 192.0.2.2): nginx, its egress shaped with tc tbf to the CDN rate;
#   - the tracker (<p>trk, 192.0.2.3): opentracker, whitelisting the five info hashes;
#   - client i (<p>c<i>, 192.0.2.(10+i)): its uplink (egress) shaped to the uplink rate.
# Every finished client keeps seeding until the last one is done. No namespace has a default
# route, IPv6 is off in all of them and multicast is routed only onto the bridge: no DHT,
# UPnP or NAT-PMP anywhere, local discovery and peer exchange reach only the bench's hosts.
# Everything is removed on exit, Ctrl-C included. Run with --help for the options and what
# each figure means. Needs root, a built default preset (koruvan-cli, koruvan-mkplan),
# nginx, opentracker, aria2c, curl, tc, /usr/bin/time and Debian's /usr/bin/python3 with
# libtorrent.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
repo=$PWD

usage() {
    cat <<'EOF'
bench/swarm.sh [OPTIONS]: a flash crowd of N clients on one shaped CDN, per client kind

  -n, --clients N      clients per run (default 10)
  --cdn-rate MBIT      the CDN's egress, Mbit/s (default 200)
  --uplink MBIT        each client's uplink, Mbit/s (default 40)
  --spacing SECONDS    time between two arrivals (default 1)
  --sizes LIST         the five file sizes (default 1M,40M,40M,40M,10M)
  --kinds LIST         client kinds in order, from p2sp,web,libtorrent,aria2c (default all)
  --runs R             runs of every kind (default 1), each on a fresh swarm
  --timeout SECONDS    a run ends unfinished after this long (default 600)
  --keep               keep the work folder (logs, nginx access logs) and print its path
  -h, --help           this text

Kinds: p2sp = koruvan-cli download, then seed in the same namespace (or download
--seed-for when the CLI has it), with the plan's P2P defaults but upnp = 0 and without
usage statistics; web = koruvan-cli download --no-p2p; libtorrent =
bench/swarm_lt.py (session defaults, DHT/UPnP/NAT-PMP off, all five torrents active);
aria2c = aria2c with defaults, DHT off, seeding without a ratio limit.

Per run: CDN bytes (sum of nginx's $bytes_sent, and the tx byte counter of the CDN's
interface), offload = 1 - CDN bytes / (N x total size), median and max completion (from
each client's arrival), bytes received twice (the client's own payload count minus the
file sizes; aria2c reports none, so its figure is the wire estimate below), the wire
estimate for every client (interface rx bytes - 66 B of Ethernet/IP/TCP headers per packet,
minus the file sizes: an upper bound that includes protocol messages), MD5 of every file
against the plan, peak RSS per client (/usr/bin/time -v, its largest process), the client
uplinks' and the CDN's average rates, and the host's CPU load (/proc/stat, all of it: other
work on the machine counts too).
EOF
}

clients=10 cdn_rate=200 uplink=40 spacing=1 sizes=1M,40M,40M,40M,10M
kinds=p2sp,web,libtorrent,aria2c runs=1 run_timeout=600 keep=0
while (($#)); do
    case "$1" in
        -n | --clients) clients=${2:?}; shift ;;
        --cdn-rate) cdn_rate=${2:?}; shift ;;
        --uplink) uplink=${2:?}; shift ;;
        --spacing) spacing=${2:?}; shift ;;
        --sizes) sizes=${2:?}; shift ;;
        --kinds) kinds=${2:?}; shift ;;
        --runs) runs=${2:?}; shift ;;
        --timeout) run_timeout=${2:?}; shift ;;
        --keep) keep=1 ;;
        -h | --help) usage; exit 0 ;;
        *) echo "swarm: unknown option $1 (--help lists them)" >&2; exit 2 ;;
    esac
    shift
done
number() { [[ $2 =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "swarm: $1 must be a number" >&2; exit 2; }; }
number --clients "$clients"; number --cdn-rate "$cdn_rate"; number --uplink "$uplink"
number --spacing "$spacing"; number --runs "$runs"; number --timeout "$run_timeout"
((clients >= 1 && clients <= 200)) || { echo "swarm: --clients must be 1 to 200" >&2; exit 2; }
IFS=, read -r -a kind_list <<<"$kinds"
for k in "${kind_list[@]}"; do
    [[ $k =~ ^(p2sp|web|libtorrent|aria2c)$ ]] || { echo "swarm: unknown kind $k" >&2; exit 2; }
done

build="${KORUVAN_BUILD:-build/default}"
[[ $build == /* ]] || build="$repo/$build"
cli="$build/cli/koruvan-cli"
mkplan="$build/tools/mkplan/koruvan-mkplan"
lt_client="$repo/bench/swarm_lt.py"
[ -x "$cli" ] && [ -x "$mkplan" ] || { echo "swarm: build koruvan-cli and koruvan-mkplan first"; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "swarm: needs root (network namespaces, tc)"; exit 2; }
for tool in ip tc nginx opentracker aria2c curl md5sum /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "swarm: $tool is missing"; exit 2; }
done
/usr/bin/python3 -c 'import libtorrent' 2>/dev/null || { echo "swarm: python3-libtorrent is missing"; exit 2; }
seed_for=0
"$cli" download --help 2>&1 | grep -q -- '--seed-for' && seed_for=1

# --- names, addresses, work folder, clean-up ------------------------------------------------

prefix="ksw$$"
ns_sw=${prefix}sw ns_cdn=${prefix}cdn ns_trk=${prefix}trk
cdn_ip=192.0.2.2 trk_ip=192.0.2.3 trk_port=6969
client_ns() { echo "${prefix}c$1"; }
client_ip() { echo "192.0.2.$((10 + $1))"; }

work=$(mktemp -d /tmp/koruvan-swarm.XXXXXX)
chmod 755 "$work" # nginx workers and opentracker drop their privileges
namespaces=()  # every namespace made, deleted by net_down
servers=()     # nginx and opentracker of the current run
runners=()     # one background job per client of the current run

# kill_tree PID SIGNAL: the process and everything below it, deepest first.
kill_tree() {
    local child
    for child in $(pgrep -P "$1" 2>/dev/null); do kill_tree "$child" "$2"; done
    kill "-$2" "$1" 2>/dev/null || true
}
net_down() { # also ends whatever still runs inside them (a hook, an orphan)
    local ns pid
    for ns in "${namespaces[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
    namespaces=()
}
cleanup() {
    local pid
    trap - EXIT INT TERM
    for pid in "${runners[@]}" "${servers[@]}"; do kill_tree "$pid" KILL; done
    wait 2>/dev/null || true
    net_down
    if ((keep)); then echo "swarm: logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'echo; echo "swarm: interrupted"; exit 130' INT
trap 'exit 143' TERM

# --- the plan and the web-seeded torrents ---------------------------------------------------

bundle="$work/bundle"
plan="$bundle/plan.ini"
# The product's P2P defaults but port mapping (lan_discovery on, no bind address); the
# statistics stay off (--no-telemetry) so that the CDN counts only what the download costs.
"$mkplan" --out "$bundle" --sizes "$sizes" --base-url "http://$cdn_ip" \
    --tracker "http://$trk_ip:$trk_port/announce" --lan-discovery on --quiet
chmod -R a+rX "$bundle"
plan_key() { awk -F' = ' -v s="[file$1]" '$0 == s { f = 1; next } /^\[/ { f = 0 } f && $1 == k { print $2 }' k="$2" "$plan"; }
names=() md5s=() file_sizes=()
total=0
for i in 0 1 2 3 4; do
    names+=("$(plan_key "$i" name)")
    md5s+=("$(plan_key "$i" md5)")
    file_sizes+=("$(plan_key "$i" size)")
    total=$((total + file_sizes[i]))
done
demand=$((clients * total))
mkdir -p "$work/webseeded"
/usr/bin/python3 - "$bundle/torrents" "$work/webseeded" "http://$cdn_ip/vemo047/" "${names[@]}" <<'EOF'
import sys, libtorrent as lt
src, dst, base, names = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
for name in names:  # the maker's torrent, same info dictionary, plus a BEP 19 url-list
    meta = lt.bdecode(open("%s/%s.torrent" % (src, name), "rb").read())
    meta[b"url-list"] = [(base + name).encode()]
    open("%s/%s.torrent" % (dst, name), "wb").write(lt.bencode(meta))
    assert lt.torrent_info("%s/%s.torrent" % (dst, name)).info_hash() == \
        lt.torrent_info("%s/%s.torrent" % (src, name)).info_hash()
EOF
torrents=()
for n in "${names[@]}"; do torrents+=("$work/webseeded/$n.torrent"); done

# --- the network ----------------------------------------------------------------------------

add_ns() {
    ip netns add "$1"
    namespaces+=("$1")
    ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    ip -n "$1" link set lo up
}
# tbf needs a bucket of at least one timer tick at the rate (250 Hz), and a few frames.
shape() { # NAMESPACE MBIT
    local burst
    burst=$(awk -v r="$2" 'BEGIN { b = r * 1e6 / 8 / 250; printf "%d", (b < 15140 ? 15140 : b) }')
    tc -n "$1" qdisc add dev eth0 root tbf rate "${2}mbit" burst "$burst" latency 50ms
}
host_up() { # NAMESPACE BRIDGE_PORT ADDRESS [MBIT]
    add_ns "$1"
    ip -n "$ns_sw" link add "$2" type veth peer name eth0 netns "$1"
    ip -n "$ns_sw" link set "$2" master br0 up
    ip netns exec "$1" sysctl -qw net.ipv6.conf.eth0.disable_ipv6=1
    ip -n "$1" addr add "$3/24" dev eth0
    ip -n "$1" link set eth0 up
    ip -n "$1" route add 224.0.0.0/4 dev eth0 # discovery datagrams: onto the bridge only
    [ -z "${4:-}" ] || shape "$1" "$4"
}
net_up() {
    local i
    add_ns "$ns_sw"
    ip -n "$ns_sw" link add br0 type bridge mcast_snooping 0
    ip -n "$ns_sw" link set br0 up
    host_up "$ns_cdn" cdn "$cdn_ip" "$cdn_rate"
    host_up "$ns_trk" trk "$trk_ip"
    for ((i = 0; i < clients; i++)); do host_up "$(client_ns "$i")" "c$i" "$(client_ip "$i")" "$uplink"; done
}
# counters NAMESPACE: "rx_bytes rx_packets tx_bytes tx_packets" of its eth0.
counters() {
    ip -n "$1" -s link show dev eth0 |
        awk '/RX:/ { getline; rb = $1; rp = $2 } /TX:/ { getline; tb = $1; tp = $2 } END { print rb, rp, tb, tp }'
}

# --- the CDN and the tracker ----------------------------------------------------------------

servers_up() { # RUN_DIR
    local rd=$1 _
    mkdir -p "$rd/nginx/tmp" "$rd/tracker"
    chmod -R 755 "$rd"
    cat >"$rd/nginx/nginx.conf" <<EOF
daemon off; worker_processes 2; pid $rd/nginx/nginx.pid; error_log $rd/nginx/error.log;
user root root;
events { worker_connections 2048; }
http {
  log_format swarm '\$remote_addr \$status \$bytes_sent \$body_bytes_sent "\$http_range" \$request_time "\$request"';
  access_log $rd/nginx/access.log swarm;
  sendfile on; default_type application/octet-stream; types { text/xml xml; }
  client_body_temp_path $rd/nginx/tmp; proxy_temp_path $rd/nginx/tmp;
  fastcgi_temp_path $rd/nginx/tmp; uwsgi_temp_path $rd/nginx/tmp; scgi_temp_path $rd/nginx/tmp;
  server {
    listen $cdn_ip:80; root $bundle/www;
    rewrite "^/[0-9a-f]{32}/[0-9]+(/vemo047/.*)\$" \$1 last;
    rewrite "^/[0-9]{12}/[0-9a-f]{32}(/vemo047/.*)\$" \$1 last;
    location /launchersubmit/ { return 200 "ok\n"; }
    location = /ready { access_log off; return 204; }
  }
}
EOF
    ip netns exec "$ns_cdn" nginx -e "$rd/nginx/error.log" -p "$rd/nginx" -c "$rd/nginx/nginx.conf" \
        >"$rd/nginx/stdout.log" 2>&1 &
    servers+=($!)
    cut -d' ' -f1 "$bundle/infohashes.txt" >"$rd/tracker/whitelist.txt"
    chmod 644 "$rd/tracker/whitelist.txt"
    ip netns exec "$ns_trk" opentracker -i "$trk_ip" -p "$trk_port" -P "$trk_port" -d "$rd/tracker" \
        -w whitelist.txt >"$rd/tracker.log" 2>&1 &
    servers+=($!)
    for _ in $(seq 100); do
        ip netns exec "$ns_trk" curl -s -m 1 -o /dev/null "http://$cdn_ip/ready" &&
            ip netns exec "$ns_cdn" curl -s -m 1 -o /dev/null "http://$trk_ip:$trk_port/scrape" &&
            return 0
        sleep 0.1
    done
    echo "swarm: nginx or opentracker did not start (logs in $rd)"
    return 1
}
# servers_cpu: CPU seconds nginx and opentracker used so far (every process in their namespaces).
servers_cpu() {
    local ns pid t=0 f
    for ns in "$ns_cdn" "$ns_trk"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            read -r -a f <"/proc/$pid/stat" 2>/dev/null || continue
            t=$((t + f[13] + f[14])) # utime, stime (the name holds no space here)
        done
    done
    awk -v t="$t" -v h="$ticks" 'BEGIN { printf "%.1f", t / h }'
}
servers_down() { # nginx finishes its log lines at a graceful stop (QUIT)
    local _
    kill -QUIT "${servers[0]}" 2>/dev/null || true
    kill -TERM "${servers[1]}" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "${servers[0]}" 2>/dev/null || kill -0 "${servers[1]}" 2>/dev/null || break
        sleep 0.1
    done
    kill_tree "${servers[0]}" KILL
    kill_tree "${servers[1]}" KILL
    wait "${servers[@]}" 2>/dev/null || true
    servers=()
}

# --- the clients ----------------------------------------------------------------------------
# Client i of a run works in $rd/c<i>: out/ (the files), <tag>.log (time-stamped output),
# <tag>.time (/usr/bin/time -v), <tag>.pid, done (the completion time), exit (the runner's
# end). A client is complete at the first line that says so: Koruvan's "received from web
# sources" line, swarm_lt's "complete", or aria2c's fifth --on-bt-download-complete call.

# stamp MARKER DONE_FILE: standard input to standard output, each line prefixed with the
# time; the time of the first line holding MARKER goes to DONE_FILE.
stamp() {
    local line found=0
    while IFS= read -r line; do
        printf '%s %s\n' "$EPOCHREALTIME" "$line"
        if ((!found)) && [ -n "$1" ] && [[ $line == *"$1"* ]]; then
            echo "$EPOCHREALTIME" >"$2"
            found=1
        fi
    done
}
# measured DIR NAMESPACE TAG MARKER COMMAND...: COMMAND in the client's namespace under
# /usr/bin/time -v, with its own home and runtime folder (the plan lock is per user).
measured() {
    local dir=$1 ns=$2 tag=$3 marker=$4 pid
    shift 4
    ip netns exec "$ns" env HOME="$dir" XDG_RUNTIME_DIR="$dir/run" PYTHONUNBUFFERED=1 \
        /usr/bin/time -v -o "$dir/$tag.time" "$@" > >(stamp "$marker" "$dir/done" >"$dir/$tag.log") 2>&1 &
    pid=$!
    echo "$pid" >"$dir/$tag.pid"
    wait "$pid"
}
runner() { # KIND INDEX RUN_DIR
    local kind=$1 i=$2 dir=$3/c$2 ns rc=0 done_marker="koruvan-cli: received from web sources"
    ns=$(client_ns "$i")
    local koruvan=("$cli" --plan "$plan" --data-dir "$dir/data" --no-telemetry)
    mkdir -p "$dir/out" "$dir/run"
    chmod 700 "$dir/run"
    case "$kind" in
        p2sp)
            if ((seed_for)); then
                measured "$dir" "$ns" download "$done_marker" "${koruvan[@]}" download \
                    --save-dir "$dir/out" --seed-for 86400 || rc=$?
            else
                measured "$dir" "$ns" download "$done_marker" "${koruvan[@]}" download \
                    --save-dir "$dir/out" || rc=$?
                if ((rc == 0)) && [ ! -s "$dir/done" ]; then # no completion line seen: its exit
                    sleep 0.3
                    [ -s "$dir/done" ] || echo "$EPOCHREALTIME" >"$dir/done"
                fi
                # The runner may not see the stop in time: the stop loop signals this seed too.
                if ((rc == 0)) && [ ! -e "$3/stop" ]; then
                    measured "$dir" "$ns" seed "" "${koruvan[@]}" seed --save-dir "$dir/out" \
                        --for 86400 || true
                fi
            fi ;;
        web)
            measured "$dir" "$ns" download "$done_marker" "${koruvan[@]}" download \
                --save-dir "$dir/out" --no-p2p || rc=$? ;;
        libtorrent)
            measured "$dir" "$ns" lt "swarm_lt: complete" /usr/bin/python3 "$lt_client" \
                --save "$dir/out" "${torrents[@]}" || rc=$? ;;
        aria2c)
            printf '#!/bin/sh\necho "$(date +%%s.%%N) $3" >>"%s/aria2-complete"\n' "$dir" >"$dir/hook.sh"
            chmod 755 "$dir/hook.sh"
            measured "$dir" "$ns" aria2c "" aria2c --dir="$dir/out" --enable-dht=false \
                --enable-dht6=false --seed-ratio=0.0 --on-bt-download-complete="$dir/hook.sh" \
                --summary-interval=0 "${torrents[@]}" || rc=$? ;;
    esac
    echo "$rc" >"$dir/exit"
}
# complete_at DIR: sets `when` to the completion time when the client is complete; false
# otherwise (no subshell: it runs five times a second per client).
complete_at() {
    local lines
    if [ -s "$1/done" ]; then
        read -r when <"$1/done"
        return 0
    fi
    [ -f "$1/aria2-complete" ] || return 1
    mapfile -t lines <"$1/aria2-complete"
    ((${#lines[@]} >= 5)) || return 1
    when=${lines[4]%% *}
}
# stop_clients RUN_DIR: every client process gets TERM (Koruvan: Ctrl-C's end of seeding),
# again every 5 s while its runner lives; KILL after 30 s.
stop_clients() {
    local rd=$1 f pid child alive round
    touch "$rd/stop"
    for ((round = 0; round < 150; round++)); do
        alive=0
        for pid in "${runners[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        ((alive)) || break
        if ((round % 25 == 0)); then
            for f in "$rd"/c*/*.pid; do
                [ -f "$f" ] || continue
                for child in $(pgrep -P "$(cat "$f")" 2>/dev/null); do kill -TERM "$child" 2>/dev/null || true; done
            done
        fi
        sleep 0.2
    done
    for pid in "${runners[@]}"; do kill_tree "$pid" KILL; done
    wait "${runners[@]}" 2>/dev/null || true
    runners=()
}

# --- one run --------------------------------------------------------------------------------

us() { awk -v s="$1" 'BEGIN { printf "%d", s * 1e6 }'; }
spacing_us=$(us "$spacing")
timeout_us=$(us "$run_timeout")
ticks=$(getconf CLK_TCK)
# cpu_now: sets cpu_busy, cpu_soft (softirq: mostly the bridge and the shaping) and cpu_all,
# in clock ticks of all cores, from /proc/stat.
cpu_now() {
    local _ user nice system idle iowait irq softirq steal
    read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
    cpu_all=$((user + nice + system + idle + iowait + irq + softirq + steal))
    cpu_busy=$((cpu_all - idle - iowait))
    cpu_soft=$softirq
}

# watch_run KIND RUN_DIR: starts the clients at their arrival times and waits until every
# one is complete, has failed, or the run timed out. Fills arrive, finish (a time, "fail" or
# "timeout"), base and at_done (interface counters at arrival and completion), at_end (at
# the last completion) and the host CPU figures.
watch_run() {
    local kind=$1 rd=$2 next=0 now t0 i finished last_cpu=0 b0 a0 s0 b1 a1 pb=0 pa=0 when
    t0=${EPOCHREALTIME/./}
    t0_s=$EPOCHREALTIME
    cpu_now; b0=$cpu_busy; a0=$cpu_all; s0=$cpu_soft
    cpu_samples=0 cpu_saturated=0 cpu_peak=0
    while :; do
        now=${EPOCHREALTIME/./}
        while ((next < clients && now >= t0 + next * spacing_us)); do
            base[next]=$(counters "$(client_ns "$next")")
            arrive[next]=$EPOCHREALTIME
            runner "$kind" "$next" "$rd" &
            runners+=($!)
            next=$((next + 1))
        done
        finished=0
        for ((i = 0; i < next; i++)); do
            if [ -z "${finish[i]:-}" ]; then
                if complete_at "$rd/c$i"; then
                    finish[i]=$when
                    at_done[i]=$(counters "$(client_ns "$i")")
                elif [ -f "$rd/c$i/exit" ]; then
                    finish[i]=fail
                fi
            fi
            [ -n "${finish[i]:-}" ] && finished=$((finished + 1))
        done
        if ((now - last_cpu >= 1000000)); then # one-second samples of the host's load
            cpu_now
            if ((pa > 0 && cpu_all > pa)); then
                local pct=$(((cpu_busy - pb) * 100 / (cpu_all - pa)))
                cpu_samples=$((cpu_samples + 1))
                ((pct >= 95)) && cpu_saturated=$((cpu_saturated + 1))
                ((pct > cpu_peak)) && cpu_peak=$pct
            fi
            pb=$cpu_busy pa=$cpu_all last_cpu=$now
        fi
        ((next == clients && finished == clients)) && break
        if ((now - t0 > timeout_us)); then
            for ((i = 0; i < clients; i++)); do [ -n "${finish[i]:-}" ] || finish[i]=timeout; done
            break
        fi
        sleep 0.2
    done
    cpu_now; b1=$cpu_busy; a1=$cpu_all
    cpu_mean=$(((b1 - b0) * 100 / (a1 - a0 > 0 ? a1 - a0 : 1)))
    cpu_busy_s=$(awk -v t=$((b1 - b0)) -v h="$ticks" 'BEGIN { printf "%.1f", t / h }')
    cpu_soft_s=$(awk -v t=$((cpu_soft - s0)) -v h="$ticks" 'BEGIN { printf "%.1f", t / h }')
    for ((i = 0; i < next; i++)); do at_end[i]=$(counters "$(client_ns "$i")"); done
}

# --- figures of a run -----------------------------------------------------------------------

# own_count DIR KIND: payload bytes the client says it received, "-" when it says nothing.
own_count() {
    case "$2" in
        p2sp | web)
            sed -n 's/.*koruvan-cli: received from web sources \([0-9]*\) B, from peers \([0-9]*\) B.*/\1 \2/p' \
                "$1/download.log" | awk '{ n = $1 + $2 } END { print (NR ? n : "-") }' ;;
        libtorrent)
            sed -n 's/.*swarm_lt: at completion .*"downloaded": \([0-9]*\).*/\1/p' "$1/lt.log" |
                awk '{ n = $1 } END { print (NR ? n : "-") }' ;;
        *) echo - ;;
    esac
}
# md5_ok DIR: how many of the five files match the plan.
md5_ok() {
    local n=0 i got
    for i in 0 1 2 3 4; do
        got=$(md5sum <"$1/out/${names[i]}" 2>/dev/null | cut -d' ' -f1) || true
        [ "$got" = "${md5s[i]}" ] && n=$((n + 1))
    done
    echo "$n"
}
# client_rows KIND RUN_DIR: one tab-separated line per client (see report_run).
client_rows() {
    local kind=$1 rd=$2 i dir rss_cpu
    declare -A cdn_by_ip=()
    while read -r ip bytes; do cdn_by_ip[$ip]=$bytes; done < <(awk '{ b[$1] += $3 } END { for (k in b) print k, b[k] }' \
        "$rd/nginx/access.log")
    for ((i = 0; i < clients; i++)); do
        dir=$rd/c$i
        rss_cpu=$(cat "$dir"/*.time 2>/dev/null | awk -F': ' '/Maximum resident/ { if ($2 > r) r = $2 }
            /User time|System time/ { c += $2 } END { printf "%d %.1f", r, c }' || true)
        printf '%d\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$i" "${arrive[i]:--}" "${finish[i]:-timeout}" \
            "${cdn_by_ip[$(client_ip "$i")]:-0}" "$(own_count "$dir" "$kind")" "${base[i]:-0 0 0 0}" \
            "${at_done[i]:-}" "${at_end[i]:-0 0 0 0}" "${rss_cpu% *}" "${rss_cpu#* }" "$(md5_ok "$dir")"
    done
}

# report_run LABEL RUN RUN_DIR CDN_NGINX CDN_IFACE REQUESTS: the per-client table and the
# run's figures; the summary row goes to $rd/row.
report_run() {
    local label=$1 run=$2 rd=$3
    client_rows "$kind" "$rd" >"$rd/clients.tsv"
    awk -F'\t' -v label="$label" -v run="$run" -v t0="$t0_s" -v total="$total" -v n="$clients" \
        -v cdn="$4" -v cdn_if="$5" -v req="$6" -v uplink="$uplink" -v cpu_mean="$cpu_mean" \
        -v cpu_sat="$cpu_saturated" -v cpu_n="$cpu_samples" -v cpu_peak="$cpu_peak" -v busy_s="$cpu_busy_s" -v server_cpu="$server_cpu" -v soft_s="$cpu_soft_s" -v cdn_rate="$cdn_rate" -v row="$rd/row" '
    function mb(x) { return x / 1e6 }
    function sort(a, k,   i, j, v) { for (i = 2; i <= k; i++) { v = a[i]; for (j = i - 1; j >= 1 && a[j] > v; j--) a[j + 1] = a[j]; a[j + 1] = v } }
    BEGIN {
        printf "  %-6s %7s %9s %9s %10s %9s %10s %9s %8s %6s %4s\n", "client", "arrival", "complete",
            "from CDN", "own count", "twice", "wire-size", "uploaded", "peak RSS", "CPU", "MD5"
        printf "  %-6s %7s %9s %9s %10s %9s %10s %9s %8s %6s %4s\n", "", "s", "s after", "MB", "MB",
            "MB", "MB (est)", "MB", "MiB", "s", "ok"
    }
    {
        split($6, b, " "); split($7, d, " "); split($8, e, " ")
        arr = ($2 == "-") ? "-" : sprintf("%.1f", $2 - t0)
        done = ($3 ~ /^[0-9.]+$/) ? $3 - $2 : -1
        if (done >= 0) { took[++ok] = done; if ($3 > last) last = $3 }
        wire = ($7 == "") ? "" : (d[1] - b[1]) - 66 * (d[2] - b[2]) - total
        twice = ($5 == "-") ? "" : $5 - total
        if (twice != "") { tw += twice } else if (wire != "") { tw += wire; est = 1 }
        if (wire != "") wt += wire
        up += e[3] - b[3]; md5 += $11; cpu += $10
        rss[NR] = $9 / 1024; if ($9 / 1024 > rssmax) rssmax = $9 / 1024
        printf "  c%-5d %7s %9s %9.1f %10s %9s %10s %9.1f %8.1f %6.1f %2d/5\n", $1, arr,
            (done >= 0 ? sprintf("%.1f", done) : $3), mb($4), ($5 == "-" ? "-" : sprintf("%.1f", mb($5))),
            (twice == "" ? "-" : sprintf("%.1f", mb(twice))), (wire == "" ? "-" : sprintf("%+.1f", mb(wire))),
            mb(e[3] - b[3]), $9 / 1024, $10, $11
    }
    END {
        sort(took, ok); sort(rss, NR)
        med = ok ? (ok % 2 ? took[(ok + 1) / 2] : (took[ok / 2] + took[ok / 2 + 1]) / 2) : 0
        window = last > t0 ? last - t0 : 1
        demand = n * total
        printf "  CDN sent %.1f MB (nginx $bytes_sent, %d requests), %.1f MB on its interface; demand %.1f MB\n",
            mb(cdn), req, mb(cdn_if), mb(demand)
        times = ok == n ? sprintf("%.1f / %.1f s", med, took[ok]) : sprintf("incomplete (%d of %d)", ok, n)
        printf "  offload %.1f %% (nginx), %.1f %% (interface); completion median / max: %s\n",
            100 * (1 - cdn / demand), 100 * (1 - cdn_if / demand), times
        printf "  received twice %s%.1f MB (%.1f %% of demand; %s)\n", (est ? "~" : ""), mb(tw), 100 * tw / demand,
            (est ? "wire estimate: the client counts none" : "the clients'\'' own counts")
        printf "  wire estimate over the file sizes %.1f MB (%.1f %%: bytes twice, protocol messages, bytes dropped uncounted)\n",
            mb(wt), 100 * wt / demand
        printf "  MD5: %d OK, %d FAIL; peak RSS max %.1f MiB, median %.1f MiB\n", md5, 5 * n - md5, rssmax, rss[int((n + 1) / 2)]
        printf "  client uplinks sent %.1f MB by the last completion (%.1f s after the first arrival): %.0f Mbit/s of %d\n",
            mb(up), window, up * 8 / 1e6 / window, n * uplink
        printf "  CDN interface: %.0f Mbit/s on average over that time, of %g\n", cdn_if * 8 / 1e6 / window, cdn_rate
        printf "  host CPU (all cores, shared with other work): %d %% busy on average, %d of %d one-second samples at 95 %% or more, peak %d %%;\n",
            cpu_mean, cpu_sat, cpu_n, cpu_peak
        printf "    %.1f busy core-seconds in all: clients %.1f s, nginx and opentracker %.1f s, softirq (bridge, shaping) %.1f s, the rest other work\n",
            busy_s, cpu, server_cpu, soft_s
        printf "| %s | %d | %.1f | %.1f | %.1f %% | %s | %s%.1f (%.1f %%) | %.1f | %d / %d | %.1f | %d %% (%d s ≥95 %%) |\n",
            label, run, mb(cdn), mb(cdn_if), 100 * (1 - cdn / demand), times, (est ? "~" : ""), mb(tw),
            100 * tw / demand, mb(wt), md5, 5 * n - md5, rssmax, cpu_mean, cpu_sat > row
    }' "$rd/clients.tsv"
}

# --- the runs -------------------------------------------------------------------------------

declare -A label=([p2sp]=koruvan-p2sp [web]=koruvan-web [libtorrent]=libtorrent [aria2c]=aria2c)
run_once() { # KIND RUN
    kind=$1
    local run=$2 rd="$work/$1-$2" cdn0 cdn1 cdn_nginx requests i
    arrive=() finish=() base=() at_done=() at_end=()
    mkdir -p "$rd"
    net_up
    servers_up "$rd"
    read -r _ _ cdn0 _ < <(counters "$ns_cdn")
    echo
    echo "== ${label[$kind]}, run $run: $clients clients, one every $spacing s"
    watch_run "$kind" "$rd"
    stop_clients "$rd"
    server_cpu=$(servers_cpu)
    servers_down
    read -r _ _ cdn1 _ < <(counters "$ns_cdn")
    cdn_nginx=$(awk '{ n += $3 } END { print n + 0 }' "$rd/nginx/access.log")
    requests=$(grep -c ' "GET /' "$rd/nginx/access.log" || true)
    report_run "${label[$kind]}" "$run" "$rd" "$cdn_nginx" "$((cdn1 - cdn0))" "$requests"
    rows+=("$(cat "$rd/row")")
    net_down
    for ((i = 0; i < clients; i++)); do rm -rf "$rd/c$i/out" "$rd/c$i/data"; done
}

rows=()
printf 'swarm: %d clients, CDN %s Mbit/s, uplinks %s Mbit/s, one arrival every %s s, sizes %s (%.1f MB each, demand %.1f MB)\n' \
    "$clients" "$cdn_rate" "$uplink" "$spacing" "$sizes" "$(awk -v t="$total" 'BEGIN { print t / 1e6 }')" \
    "$(awk -v t="$demand" 'BEGIN { print t / 1e6 }')"
awk -v d="$demand" -v c="$cdn_rate" -v u="$uplink" -v n="$clients" 'BEGIN {
    printf "bounds: demand / (CDN + all uplinks) = %.1f s; web only, demand / CDN = %.1f s\n",
        d * 8 / 1e6 / (c + n * u), d * 8 / 1e6 / c }'
((seed_for)) && echo "koruvan-cli has download --seed-for: P2SP clients seed in the same process" ||
    echo "koruvan-cli has no download --seed-for: P2SP clients run download, then seed"
for ((r = 1; r <= runs; r++)); do
    for k in "${kind_list[@]}"; do run_once "$k" "$r"; done
done

echo
echo "summary ($(date -u '+%F %H:%M') UTC; MB = 10^6 bytes)"
echo
echo "| client | run | CDN MB (nginx) | CDN MB (interface) | offload | median / max | received twice MB | wire − size MB (est) | MD5 OK / FAIL | peak RSS MiB | host CPU busy |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
