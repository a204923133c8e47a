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
ctest --preset "$preset" -j"$(nproc)" --output-on-failure --timeout 600 "$@" || status=$?
end=$(date +%s)

echo
echo "== Test summary ($preset preset, $((end - start)) s) =="
if [ "$status" -eq 0 ]; then
    echo "All tests passed (label 'slow' excluded)."
else
    echo "Some tests FAILED (ctest exit $status); see the output above."
fi
exit "$status"
