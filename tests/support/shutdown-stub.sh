#!/bin/sh
# Stands in for the power-off command in every test: records the call, never shuts down.
echo "$@" >> "${KORUVAN_SHUTDOWN_LOG:-/dev/null}"
exit 0
