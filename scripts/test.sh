#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#
#   scripts/test.sh [--sanitize] [--build-dir DIR]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

"$PELIRAND_ROOT/scripts/setup.sh" "$@"

build_dir="$PELIRAND_ROOT/build"
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize) build_dir="$PELIRAND_ROOT/build-sanitize" ;;
        --build-dir) build_dir="$2"; shift ;;
    esac
    shift
done
ctest --test-dir "$build_dir" --output-on-failure -j "$(jobs)"
