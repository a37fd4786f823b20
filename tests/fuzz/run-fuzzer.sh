#!/bin/sh
# Builds a fuzz target with clang and runs it for a while.
# Usage: sh tests/fuzz/run-fuzzer.sh [SECONDS] [BUILD_DIR] [TARGET]
#   SECONDS    how long to fuzz (default 30)
#   BUILD_DIR  where to build and keep the growing corpus (default build-fuzz)
#   TARGET     linecapture (default) or upgradedetector
# The seeds in tests/fuzz/corpus (line capture) or tests/fuzz/corpus-TARGET are
# copied into a folder of that name in BUILD_DIR and never written to. A failing
# input lands in BUILD_DIR/artifacts/.
# Exit status: 0 clean run, 77 when clang or libFuzzer is missing, other on a finding.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-30}
build=${2:-build-fuzz}
target=${3:-linecapture}
seeds="$here/corpus"
[ "$target" = linecapture ] || seeds="$here/corpus-$target"
if [ ! -d "$seeds" ]; then
    echo "run-fuzzer: cible inconnue : $target" >&2
    exit 2
fi
corpus="$build/$(basename "$seeds")"
skip=77

cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "run-fuzzer: $cxx introuvable, fuzzing ignoré (installez clang et libclang-rt-14-dev)"
    exit $skip
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n' > "$probe/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
    echo "run-fuzzer: $cxx ne lie pas -fsanitize=fuzzer, fuzzing ignoré (installez libclang-rt-14-dev)"
    exit $skip
fi
rm -rf "$probe"
trap - EXIT

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" --target "${target}_fuzzer" >/dev/null

mkdir -p "$corpus" "$build/artifacts"
cp "$seeds"/* "$corpus/"
# The corpus directory comes first: libFuzzer adds what it finds there only.
# libFuzzer's own failure status is 77, which would read as "skipped": say 1.
exec "$build/${target}_fuzzer" "$corpus" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -error_exitcode=1 -timeout_exitcode=1 \
    -artifact_prefix="$build/artifacts/" -print_final_stats=1
