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
status=0
for target in "${targets[@]}"; do
    name="$(basename "$target")"
    seeds="$PELIRAND_ROOT/fuzz/corpus/${name#fuzz_}"
    work="$(mktemp -d)"
    mkdir -p "$work/corpus" "$work/crashes"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work/corpus"/
    echo "== $name for ${seconds}s"
    if ASAN_OPTIONS=detect_leaks=0 "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/crashes/" "$work/corpus" > "$work/log" 2>&1; then
        grep -E '^Done|#[0-9]+.*DONE' "$work/log" | tail -n 1
    else
        echo "!! $name failed:"
        tail -n 60 "$work/log"
        for crash in "$work/crashes"/*; do
            [ -e "$crash" ] && echo "input (base64): $(base64 -w0 "$crash")"
        done
        status=1
    fi
    rm -rf "$work"
done
exit $status
