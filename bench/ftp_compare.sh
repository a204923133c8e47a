#!/usr/bin/env bash
# Downloads the same generated file from vsftpd on loopback with the engine, curl and lftp,
# and prints wall time, CPU time and peak memory side by side, as ratios to curl.
#
#   bench/ftp_compare.sh [SIZE_MIB]        (default 1024)
#
# Needs a built default preset (engine_fetch), vsftpd, curl, lftp and /usr/bin/time, and
# root (vsftpd keeps its anonymous users in a chroot). vsftpd listens on 127.0.0.1 only,
# with its own configuration in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib="${1:-1024}"
build="${KORUVAN_BUILD:-build/default}"
fetch="$build/bench/engine_fetch"
[ -x "$fetch" ] || { echo "ftp_compare: build $fetch first (cmake --build --preset default)"; exit 2; }
for p in vsftpd curl lftp; do
    command -v "$p" >/dev/null || [ -x "/usr/sbin/$p" ] || { echo "ftp_compare: $p is missing"; exit 2; }
done

work=$(mktemp -d /tmp/koruvan-ftp-compare.XXXXXX)
chmod 755 "$work"
ftp_pid=""
cleanup() {
    [ -n "$ftp_pid" ] && kill "$ftp_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/www" "$work/out"
chmod 755 "$work/www"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/www/big.bin"
chmod 644 "$work/www/big.bin"
expected=$(md5sum < "$work/www/big.bin" | cut -d' ' -f1)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/vsftpd.conf" <<EOF
listen=YES
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
local_enable=NO
anon_root=$work/www
pasv_enable=YES
pasv_address=127.0.0.1
write_enable=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
max_per_ip=0
xferlog_enable=NO
secure_chroot_dir=/var/run/vsftpd/empty
EOF
vsftpd "$work/vsftpd.conf" &
ftp_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "ftp://127.0.0.1:$port/" && break; sleep 0.05; done
url="ftp://127.0.0.1:$port/big.bin"

# run NAME COMMAND...: one timed download into $work/out/big.bin
declare -A wall cpu mem
run() {
    local name=$1; shift
    rm -f "$work/out/"*
    # Every downloader starts with the previous one's data on the disk, not being written
    # back under it.
    sync
    sleep 1
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || {
        echo "ftp_compare: $name failed"; cat "$work/stderr.txt"; return 1; }
    local got
    got=$(md5sum < "$work/out/big.bin" | cut -d' ' -f1)
    [ "$got" = "$expected" ] || { echo "ftp_compare: $name produced wrong bytes"; return 1; }
    wall[$name]=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$work/time.txt")
    cpu[$name]=$(awk -F': ' '/User time/ {u=$2} /System time/ {s=$2} END {print u+s}' "$work/time.txt")
    mem[$name]=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
}

run curl curl -s -o "$work/out/big.bin" "$url"
run lftp-get lftp -c "set cmd:at-exit ''; get $url -o $work/out/big.bin"
run lftp-pget-4 lftp -c "set cmd:at-exit ''; pget -n 4 $url -o $work/out/big.bin"
run engine "$fetch" "$work/out/big.bin" "$url"

printf '\n%s MiB from vsftpd on loopback, %s\n\n' "$size_mib" "$(date -u +%F)"
printf '| downloader | wall s | CPU s | peak RSS MiB | wall / curl | CPU / curl |\n|---|---|---|---|---|---|\n'
for n in curl lftp-get lftp-pget-4 engine; do
    awk -v n="$n" -v w="${wall[$n]}" -v c="${cpu[$n]}" -v m="${mem[$n]}" \
        -v cw="${wall[curl]}" -v cc="${cpu[curl]}" 'BEGIN {
        printf "| %s | %.2f | %.2f | %.1f | %.2f | %.2f |\n", n, w, c, m/1024, w/cw, (cc>0?c/cc:0) }'
done
