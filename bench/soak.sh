#!/usr/bin/env bash
# Soak test of a built relay: bench/soak.sh [seconds, default 600].
# MIREVO_BIN selects the relay (default build/mirevo, e.g. build-asan/mirevo); MIREVO_LOAD the
# load tool (default <relay dir>/bench/mirevo-load); MIREVO_SOAK_HTTP=on|auto|off decides
# whether the HTTP management churn is required, used when present, or left out.
set -euo pipefail
exec python3 "$(dirname "$0")/soak.py" "${1:-600}"
