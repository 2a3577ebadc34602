#!/usr/bin/env bash
# Installs what is missing, configures and builds pelirand.
#
#   scripts/setup.sh [--sanitize] [--build-dir DIR] [--target T]...
#
# --sanitize   build with AddressSanitizer and UndefinedBehaviorSanitizer
#              (default folder build-sanitize instead of build)
# --target T   build only target T (and what it needs); may be repeated
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build_dir=""
cmake_args=()
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize) cmake_args+=(-DPELIRAND_SANITIZE=ON); build_dir="${build_dir:-$PELIRAND_ROOT/build-sanitize}" ;;
        --build-dir) build_dir="$2"; shift ;;
        --target) targets+=(--target "$2"); shift ;;
        -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
build_dir="${build_dir:-$PELIRAND_ROOT/build}"

ensure_packages "$PELIRAND_ROOT/scripts/packages.txt"
cmake -S "$PELIRAND_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}"
cmake --build "$build_dir" -j "$(jobs)" "${targets[@]}"
