#!/usr/bin/env bash
# The swarm demo (scripts/demo.sh --swarm): two koruvan-cli on two machines of their own —
# network namespaces on one bridge, addresses from 198.51.100.0/24 — next to a third one
# that serves the web mirror (nginx) and the tracker (opentracker). Machine A downloads the
# game from the mirror and then seeds it; machine B downloads it while the mirror gives it
# only a trickle, so most of B's bytes come from A. Bytes by source are printed for both.
# Needs root. The namespaces and everything running in them are removed at the end, also on
# Ctrl-C or failure; no packet leaves them.
#
#   scripts/demo.sh --swarm [--sizes LIST] [--trickle RATE] [--work DIR] [--no-bootstrap]
#
#   --sizes LIST    sizes of the five files (default 2M,40M,40M,40M,20M)
#   --trickle RATE  the mirror's rate per connection for machine B, nginx syntax (default 200k)
#   --work DIR      working folder (default build/demo-swarm); it is replaced
#   --no-bootstrap  use the existing build instead of running scripts/bootstrap.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/nginx-head.sh
repo=$PWD

sizes="2M,40M,40M,40M,20M"
trickle="200k"
work="$repo/build/demo-swarm"
bootstrap=1
while (($#)); do
    case "$1" in
        --swarm) ;;
        --sizes) sizes="${2:?--sizes needs a list}"; shift ;;
        --trickle) trickle="${2:?--trickle needs a rate}"; shift ;;
        --work) work="${2:?--work needs a folder}"; shift ;;
        --no-bootstrap) bootstrap=0 ;;
        -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

say() { printf '\n== %s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "the swarm demo makes network namespaces: run it as root"
if ((bootstrap)); then
    say "Bootstrap: packages, configure, build"
    scripts/bootstrap.sh
fi
build="$repo/build/${KORUVAN_PRESET:-default}"
find_program() { find "$build" -maxdepth 3 -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1; }
mkplan=$(find_program koruvan-mkplan)
cli=$(find_program koruvan-cli)
[ -n "$mkplan" ] && [ -n "$cli" ] || fail "koruvan-mkplan and koruvan-cli must be built in $build"
for tool in ip nginx opentracker awk; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap.sh installs it)"
done
export KORUVAN_SHUTDOWN_CMD="${KORUVAN_SHUTDOWN_CMD:-$repo/tests/support/shutdown-stub.sh}"

rm -rf "${work:?}"
mkdir -p "$work"
work=$(cd "$work" && pwd)
chmod 755 "$work"

# ---------------------------------------------------------------- the network (removed on exit)
tag="kvd$$"
sw="${tag}sw" ns_a="${tag}a" ns_b="${tag}b"
server=198.51.100.1 addr_a=198.51.100.10 addr_b=198.51.100.11
seed_pid=""
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if [ -n "$seed_pid" ] && kill -0 "$seed_pid" 2>/dev/null; then
        kill -INT "$seed_pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$seed_pid" 2>/dev/null || break; sleep 0.1; done
    fi
    for ns in "$ns_a" "$ns_b" "$sw"; do
        if ip netns list | grep -qw "$ns"; then
            for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -TERM "$pid" 2>/dev/null || true; done
            sleep 0.3
            for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
            ip netns del "$ns" 2>/dev/null || true
        fi
    done
    echo "demo: namespaces removed"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say "Network: $sw (bridge, mirror and tracker at $server), $ns_a ($addr_a), $ns_b ($addr_b)"
ip netns add "$sw"
ip -n "$sw" link set lo up
ip -n "$sw" link add br0 type bridge
ip -n "$sw" addr add "$server/24" dev br0
ip -n "$sw" link set br0 up
for pair in "$ns_a:$addr_a:pa" "$ns_b:$addr_b:pb"; do
    IFS=: read -r ns addr port <<<"$pair"
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip -n "$sw" link add "$port" type veth peer name eth0 netns "$ns"
    ip -n "$sw" link set "$port" master br0
    ip -n "$sw" link set "$port" up
    ip -n "$ns" addr add "$addr/24" dev eth0
    ip -n "$ns" link set eth0 up
done

# ---------------------------------------------------------------- the game, the mirror, the tracker
say "Making the demo game ($sizes) with koruvan-mkplan"
bundle="$work/bundle"
"$mkplan" --out "$bundle" --sizes "$sizes" --installer-script --base-url "http://$server:8080" \
    --tracker "http://$server:6969/announce" --sec-type B1 --p2p on --upnp off \
    --lan-discovery off --bind-address none --quiet
chmod -R a+rX "$bundle"
# One plan per machine: its own address for the P2P service; the product's disguise stays on.
for machine in a b; do
    addr_var="addr_$machine"
    awk -v addr="${!addr_var}" '
        /^\[p2p\]$/ { print; print "upnp = 0"; print "lan_discovery = 0";
                      print "bind_address = " addr; print "listen_port = 6881"; skip = 1; next }
        /^\[/ { skip = 0 }
        !skip { print }' "$bundle/plan.ini" >"$bundle/plan-$machine.ini"
done

web="$work/nginx"
mkdir -p "$web/tmp"
{
    nginx_head "$web" "user $(id -un) $(id -gn);"
    cat <<EOF
    # Machine B gets the files only as a trickle; machine A at full speed.
    map \$remote_addr \$demo_rate { $addr_b $trickle; default 0; }
    server {
        listen $server:8080;
        root $bundle/www;
        access_log $web/access.log demo;
        limit_rate \$demo_rate;
        rewrite "^/[0-9a-f]{32}/[0-9]+(/vemo047/.*)\$" \$1 last;
        location /launchersubmit/ { return 200 '{"error":0}'; }
    }
}
EOF
} >"$web/nginx.conf"
ip netns exec "$sw" nginx -e "$web/error.log" -p "$web" -c "$web/nginx.conf" &
tracker="$work/tracker"
mkdir -p "$tracker"
chmod 755 "$tracker"
cp "$bundle/infohashes.txt" "$tracker/whitelist.txt"
chmod 644 "$tracker/whitelist.txt"
ip netns exec "$sw" opentracker -i "$server" -p 6969 -P 6969 -d "$tracker" -w whitelist.txt \
    >"$work/opentracker.log" 2>&1 &
for _ in $(seq 100); do
    ip netns exec "$ns_a" bash -c "exec 3<>/dev/tcp/$server/8080" 2>/dev/null &&
        ip netns exec "$ns_a" bash -c "exec 3<>/dev/tcp/$server/6969" 2>/dev/null && break
    sleep 0.1
done
echo "mirror http://$server:8080 and tracker http://$server:6969/announce are up"

# ---------------------------------------------------------------- A downloads, then seeds
status_bytes() {  # machine: "web W B, peers P B" summed over the five files
    "$cli" --plan "$bundle/plan-$1.ini" --data-dir "$work/data-$1" status |
        awk '/last run: web/ { for (i = 1; i <= NF; i++) { if ($i == "web") w += $(i + 1);
                                                         if ($i == "peers") p += $(i + 1) } }
             END { printf "web %d B, peers %d B", w, p }'
}

say "Machine A downloads the game from the mirror"
mkdir -p "$work/run-a" "$work/run-b"  # each machine's own lock folder
run_a() { ip netns exec "$ns_a" env XDG_RUNTIME_DIR="$work/run-a" "$cli" --plan "$bundle/plan-a.ini" --data-dir "$work/data-a" "$@"; }
run_b() { ip netns exec "$ns_b" env XDG_RUNTIME_DIR="$work/run-b" "$cli" --plan "$bundle/plan-b.ini" --data-dir "$work/data-b" "$@"; }
run_a download --save-dir "$work/game-a" | tail -n 1 || fail "machine A's download failed"

say "Machine A seeds; machine B downloads (the mirror trickles at $trickle per connection)"
(exec ip netns exec "$ns_a" env XDG_RUNTIME_DIR="$work/run-a" "$cli" --plan "$bundle/plan-a.ini" \
    --data-dir "$work/data-a" seed >"$work/seed-a.out" 2>"$work/seed-a.err") &
seed_pid=$!
for _ in $(seq 100); do grep -q "seeding" "$work/seed-a.err" 2>/dev/null && break; sleep 0.1; done
grep -q "seeding" "$work/seed-a.err" || fail "machine A did not start seeding: $(cat "$work/seed-a.err")"
# B learns of A from the tracker's answer to its first announce: wait until the tracker lists
# A as a seed of all five torrents (the next announces come only after the tracker's interval).
for hash in $(cat "$bundle/infohashes.txt"); do
    encoded=$(echo "$hash" | sed 's/../%&/g')
    for _ in $(seq 150); do
        ip netns exec "$sw" curl -s -m 2 "http://$server:6969/scrape?info_hash=$encoded" |
            grep -aq "8:completei[1-9]" && break
        sleep 0.2
    done
done
t0=$(date +%s.%N)
run_b download --save-dir "$work/game-b" | tee "$work/download-b.out" | tail -n 1 || fail "machine B's download failed"
t1=$(date +%s.%N)
kill -INT "$seed_pid" 2>/dev/null || true
wait "$seed_pid" 2>/dev/null || true
seed_pid=""

say "Summary"
for i in 0 1 2 3 4; do
    name=$(awk -F' = ' -v s="[file$i]" '$0 == s { f = 1; next } /^\[/ { f = 0 } f && $1 == "name" { print $2 }' "$bundle/plan.ini")
    cmp -s "$bundle/www/vemo047/$name" "$work/game-b/$name" || fail "machine B's $name differs"
done
echo "machine A ($addr_a): $(status_bytes a)"
echo "machine B ($addr_b): $(status_bytes b), in $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }') s"
echo "machine A's last seeding line: $(tr '\r' '\n' <"$work/seed-a.out" | grep seeding | tail -n 1)"
echo "all five files of machine B match the mirror's"
