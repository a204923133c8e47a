#!/usr/bin/env bash
# Runs the libFuzzer targets of the fuzz preset, each for a bounded time on its committed
# corpus (fuzz/corpus/<name>/, never changed here: new inputs go to a scratch folder).
#
#   scripts/fuzz.sh [--build DIR] [--seconds N] [name ...]
#
# Without --build the fuzz preset is configured and built first. Without names every
# target runs. A finding stops the run with the crashing input under build/fuzz-findings/;
# fix its cause, then copy the input into fuzz/corpus/<name>/ as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."

build=""
seconds=20
names=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="$2"; shift 2 ;;
        --seconds) seconds="$2"; shift 2 ;;
        *) names+=("$1"); shift ;;
    esac
done
if [ -z "$build" ]; then
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    build=build/fuzz/fuzz
fi
if [ ${#names[@]} -eq 0 ]; then
    for source in fuzz/*_fuzz.cpp; do
        name=$(basename "$source" .cpp)
        names+=("${name%_fuzz}")
    done
fi

findings="$PWD/build/fuzz-findings"
mkdir -p "$findings"
total_runs=0
status=0
for name in "${names[@]}"; do
    scratch=$(mktemp -d)
    log="$scratch/log"
    echo "== fuzz $name: ${seconds} s"
    if "$build/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/${name}-" \
        "$scratch" "fuzz/corpus/$name" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        echo "   ${runs:-0} inputs tried, no finding"
        total_runs=$((total_runs + ${runs:-0}))
    elif grep -q "ERROR: libFuzzer: timeout" "$log" &&
        artifact=$(sed -n "s/.*Test unit written to \(.*timeout-[0-9a-f]*\).*/\1/p" "$log" | tail -1) &&
        [ -n "$artifact" ] && "$build/${name}_fuzz" -timeout=10 -rss_limit_mb=2048 "$artifact" \
            >"$scratch/replay" 2>&1; then
        # A unit that overran only while the machine was busy and runs in time on its own is
        # load, not a finding; the input is kept for a look.
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        echo "   ${runs:-0} inputs tried; one time-out did not repeat on replay ($artifact)"
        total_runs=$((total_runs + ${runs:-0}))
    else
        status=1
        tail -n 60 "$log"
        echo "   FINDING in $name; input under $findings/"
    fi
    rm -rf "$scratch"
done
echo "== fuzz total: $total_runs inputs tried over ${#names[@]} targets"
exit "$status"
