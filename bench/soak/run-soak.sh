#!/bin/sh
# Long fault cases on loopback: a 1 GiB flood through `dravlin --console`
# (bytes checked, RSS bounded), 1,000 sequential clients (open descriptors
# compared before and after) and 1,000 clients that end their sending first
# and must still get their whole answer. Takes a few minutes; stops at --timeout.
# Usage: sh bench/soak/run-soak.sh [--flood-mb N] [--clients N] [--half-close-clients N]
#                                  [--rss-limit-mb N] [--timeout S]
# DRAVLIN=/path/to/dravlin skips the build (default: build into build-soak).
set -eu
cd "$(dirname "$0")/../.."

build=${SOAK_BUILD:-build-soak}
if [ -z "${DRAVLIN:-}" ]; then
    sh scripts/install-deps.sh
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build" --target dravlin -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
    DRAVLIN="$build/app/dravlin"
fi
mkdir -p "$build"
exec python3 bench/soak/soak.py --dravlin "$DRAVLIN" --workdir "$build" "$@"
