#!/usr/bin/env bash
# The README's test command: bootstrap (packages, configure, build), then every test that is
# not labelled "slow", with a summary at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

preset="${KORUVAN_PRESET:-default}"
export KORUVAN_SHUTDOWN_CMD="$PWD/tests/support/shutdown-stub.sh"
start=$(date +%s)
status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
set +e
ctest --preset "$preset" -j"$(nproc)" --output-on-failure --timeout 600 "$@" | tee "$log"
status=${PIPESTATUS[0]}
set -e
end=$(date +%s)
# Tests that need root, namespaces or a server skip where those are missing; on the machines
# this runs on they are all there, so a skip means a broken set-up and fails the run.
skipped=$(grep -E '\*\*\*Skipped' "$log" || true)
if [ -n "$skipped" ] && [ "${KORUVAN_ALLOW_SKIPS:-0}" != 1 ]; then
    echo
    echo "Skipped tests (set KORUVAN_ALLOW_SKIPS=1 on a machine without root or namespaces):"
    echo "$skipped"
    [ "$status" -eq 0 ] && status=1
fi

echo
echo "== Test summary ($preset preset, $((end - start)) s) =="
if [ "$status" -eq 0 ]; then
    echo "All tests passed (label 'slow' excluded)."
else
    echo "Some tests FAILED (ctest exit $status); see the output above."
fi
exit "$status"
