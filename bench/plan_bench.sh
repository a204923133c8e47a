#!/usr/bin/env bash
# The whole five-file plan through koruvan-cli (scripts/demo.sh): peak memory of the
# download, and the MD5 verification next to md5sum on the same files.
#
#   bench/plan_bench.sh [SIZES]      (default 40M,600M,600M,600M,200M)
set -euo pipefail
cd "$(dirname "$0")/.."
sizes="${1:-40M,600M,600M,600M,200M}"
work=$(mktemp -d /tmp/koruvan-planbench.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
times="$work/times"
mkdir -p "$times"

# Each front-end run of the demo writes its own /usr/bin/time report.
cat > "$work/wrap.sh" <<WRAP
#!/bin/sh
n=\$(ls "$times" | wc -l)
exec /usr/bin/time -v -o "$times/run-\$n.txt" "\$@"
WRAP
chmod +x "$work/wrap.sh"
KORUVAN_DEMO_WRAP="$work/wrap.sh" scripts/demo.sh --no-bootstrap --sizes "$sizes" \
    --work "$work/demo" | tail -n 8

peak() { awk -F': ' '/Maximum resident/ {printf "%.1f", $2 / 1024}' "$1"; }
wall() { awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$1"; }
echo
echo "download: peak RSS $(peak "$times/run-0.txt") MiB, wall $(wall "$times/run-0.txt") s"
echo "verify + install: peak RSS $(peak "$times/run-1.txt") MiB, wall $(wall "$times/run-1.txt") s"
sync
files=$(find "$work/demo/game" -maxdepth 1 -type f ! -name '*.txt')
start=$(date +%s.%N)
md5sum $files > /dev/null
end=$(date +%s.%N)
bytes=$(du -cb $files | tail -1 | cut -f1)
awk -v b="$bytes" -v s="$start" -v e="$end" -v v="$(wall "$times/run-1.txt")" 'BEGIN {
    printf "md5sum on the same files: %.2f s (%.0f MB/s); koruvan verify + install: %.0f MB/s (%.0f%% of md5sum)\n",
        e - s, b / (e - s) / 1e6, b / v / 1e6, 100 * (e - s) / v }'
