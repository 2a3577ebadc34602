#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer on) and runs each
# on its seed corpus for a bounded time.
#
#   scripts/fuzz.sh [SECONDS]     (default 60 per target)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds="${1:-60}"
build_dir="$PELIRAND_ROOT/build-fuzz"
ensure_packages "$PELIRAND_ROOT/scripts/packages.txt" "$PELIRAND_ROOT/scripts/fuzz-packages.txt"
CC=clang CXX=clang++ cmake -S "$PELIRAND_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELIRAND_FUZZ=ON -DPELIRAND_SANITIZE=ON -DBUILD_TESTING=OFF
cmake --build "$build_dir" -j "$(jobs)"

shopt -s nullglob
targets=("$build_dir"/bin/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets built"
    exit 0
fi
for target in "${targets[@]}"; do
    name="$(basename "$target")"
    seeds="$PELIRAND_ROOT/fuzz/corpus/${name#fuzz_}"
    work="$(mktemp -d)"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
    echo "== $name for ${seconds}s"
    ASAN_OPTIONS=detect_leaks=0 "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "$work" 2>&1 | tail -n 5
    rm -rf "$work"
done
