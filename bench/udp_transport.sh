#!/usr/bin/env bash
# Throughput of one pseudo-socket connection next to TCP on the same link: two network
# namespaces joined by a veth pair (192.0.2.1 and 192.0.2.2), the rendezvous server on the
# first, a stream from the first to the second; once clean and once with 1 % of the
# packets dropped in each direction (nftables on arrival; tc netem where the kernel has it
# is not needed for plain loss). The CPU column is the user + system time of both processes
# (sender and receiver, from their start to their end). Then an idle node: a listener,
# registered and waiting for a connection that never comes; its "UDPServer" thread's
# voluntary context switches (wake-ups) and CPU time over 10 s. Needs root. The
# namespaces are removed on exit.
#
#   bench/udp_transport.sh [BUILD_DIR]   (default build/default)
#   UDP_CLEAN_MIB / UDP_LOSSY_MIB: stream sizes in MiB (default 64 and 2)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
peer=$build/tests/koruvan_udp_peer
rendezvous=$build/tools/koruvan-rendezvous/koruvan-rendezvous
[ -x "$peer" ] && [ -x "$rendezvous" ] || {
    echo "build koruvan_udp_peer and koruvan-rendezvous first" >&2
    exit 2
}
p=kvb$$
a=${p}a
b=${p}b
cleanup() {
    [ -n "${rv_pid:-}" ] && kill "$rv_pid" 2>/dev/null || true
    ip netns del "$a" 2>/dev/null || true
    ip netns del "$b" 2>/dev/null || true
}
trap cleanup EXIT
ip netns add "$a"
ip netns add "$b"
ip link add ${p}x netns "$a" type veth peer name ${p}y netns "$b"
ip -n "$a" addr add 192.0.2.1/24 dev ${p}x
ip -n "$b" addr add 192.0.2.2/24 dev ${p}y
for ns in "$a" "$b"; do ip -n "$ns" link set lo up; done
ip -n "$a" link set ${p}x up
ip -n "$b" link set ${p}y up
ip netns exec "$a" "$rendezvous" --listen 192.0.2.1:82 >/dev/null &
rv_pid=$!
sleep 0.3

# loss PERCENT: drop that share of every packet arriving in either namespace. Dropped on
# arrival, as a lossy link would: a drop in the output hook fails the sender's sendto()
# with EPERM instead, which is a socket error to the sender rather than a lost packet.
loss() {
    for ns in "$a" "$b"; do
        ip netns exec "$ns" nft delete table ip kvbloss 2>/dev/null || true
        [ "$1" = 0 ] && continue
        ip netns exec "$ns" nft -f - <<NFT
table ip kvbloss {
  chain in { type filter hook input priority 0; policy accept; ip saddr 192.0.2.0/24 numgen random mod 100 < $1 drop; }
}
NFT
    done
}

# udp BYTES -> "bytes ms loss window payload re-sent/sent cpu-seconds"
udp() {
    ip netns exec "$b" /usr/bin/time -f '%U %S' -o /tmp/$p.ltime \
        "$peer" listen 192.0.2.1:82 7002 32 6881 "$1" >/tmp/$p.listen &
    local l=$!
    sleep 1
    ip netns exec "$a" /usr/bin/time -f '%U %S' -o /tmp/$p.ctime \
        "$peer" connect 192.0.2.1:82 7001 16 192.0.2.2:6881 32 "$1" >/tmp/$p.connect
    wait "$l"
    local cpu
    cpu=$(cat /tmp/$p.ltime /tmp/$p.ctime | awk '{ s += $1 + $2 } END { printf "%.2f", s }')
    sed -n 's/^udp: \([0-9]*\) bytes in \([0-9]*\) ms, loss \([0-9]*\) %, window \([0-9]*\), payload \([0-9]*\), sends \([0-9]*\), retransmits \([0-9]*\).*/\1 \2 \3 \4 \5 \7\/\6/p' /tmp/$p.connect |
        sed "s/\$/ $cpu/"
}
# idle -> "wake-ups/s cpu-ms": the UDPServer thread of a registered listener left alone
idle() {
    ip netns exec "$b" "$peer" listen 192.0.2.1:82 7003 33 6883 1 >/tmp/$p.idle &
    local l=$! tid="" i
    for i in $(seq 100); do
        grep -q listening /tmp/$p.idle 2>/dev/null && break
        sleep 0.1
    done
    sleep 1
    for t in /proc/$l/task/*; do
        [ "$(cat "$t/comm" 2>/dev/null)" = UDPServer ] && tid=${t##*/}
    done
    [ -n "$tid" ] || { kill "$l"; echo "- -"; return; }
    local t=/proc/$l/task/$tid
    local w0 c0 w1 c1
    w0=$(awk '/^voluntary_ctxt_switches/ { print $2 }' $t/status)
    c0=$(awk '{ print $14 + $15 }' $t/stat)
    sleep 10
    w1=$(awk '/^voluntary_ctxt_switches/ { print $2 }' $t/status)
    c1=$(awk '{ print $14 + $15 }' $t/stat)
    kill "$l" 2>/dev/null || true
    wait "$l" 2>/dev/null || true
    awk -v w=$((w1 - w0)) -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.1f %d\n", w / 10, c * 1000 / hz }'
}
tcp() {
    ip netns exec "$b" "$peer" tcp-listen 6882 "$1" >/tmp/$p.listen &
    local l=$!
    sleep 0.5
    ip netns exec "$a" "$peer" tcp-connect 192.0.2.2:6882 "$1" >/tmp/$p.connect
    wait "$l"
    sed -n 's/^tcp: \([0-9]*\) bytes in \([0-9]*\) ms.*/\1 \2/p' /tmp/$p.connect
}
rate() {  # bytes ms -> KiB/s
    awk -v b="$1" -v ms="$2" 'BEGIN { printf "%.0f", (ms > 0 ? b / 1024 / (ms / 1000) : 0) }'
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '| link | transport | bytes | time (ms) | KiB/s | loss rate seen | window | payload | re-sent/sent | CPU s |\n'
printf '|---|---|---|---|---|---|---|---|---|---|\n'
for pct in 0 1; do
    loss "$pct"
    read -r bytes ms l w pl rs cpu < <(udp $((pct == 0 ? ${UDP_CLEAN_MIB:-64} << 20 : ${UDP_LOSSY_MIB:-2} << 20)))
    printf '| %s %% loss | pseudo-socket | %s | %s | %s | %s %% | %s | %s | %s | %s |\n' "$pct" "$bytes" "$ms" "$(rate "$bytes" "$ms")" "$l" "$w" "$pl" "$rs" "$cpu"
    read -r bytes ms < <(tcp $((64 << 20)))
    printf '| %s %% loss | TCP | %s | %s | %s | — | — | — | — | — |\n' "$pct" "$bytes" "$ms" "$(rate "$bytes" "$ms")"
done
loss 0
read -r wakeups cpums < <(idle)
printf '\n| idle node, 10 s | UDPServer wake-ups/s | UDPServer CPU ms |\n|---|---|---|\n'
printf '| registered listener | %s | %s |\n' "$wakeups" "$cpums"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -f /tmp/$p.listen /tmp/$p.connect /tmp/$p.ltime /tmp/$p.ctime /tmp/$p.idle
