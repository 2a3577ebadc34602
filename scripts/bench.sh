#!/usr/bin/env bash
# Installs what is missing, builds, and runs the quick benchmarks in a short
# form: each prints its figures and their ratios against a baseline measured in
# the same run. A ratio never fails the run (speed on a shared machine varies
# too much for that); a benchmark whose scans or transfers fail does.
#
#   scripts/bench.sh [--build-dir DIR]
#
# A few minutes on two cores. Left out: bench_mainapp's 100-page batch
# and its 1200 dpi page (run build/bin/bench_mainapp for those).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

"$PELIRAND_ROOT/scripts/setup.sh" "$@"

build_dir="$PELIRAND_ROOT/build"
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir="$2"; shift ;;
    esac
    shift
done
bin="$build_dir/bin"

failed=()
# bench NAME ARGS...: one benchmark, bounded in time, in a temporary folder.
bench() {
    local name="$1" dir rc=0
    shift
    echo "== $name $*"
    dir="$(mktemp -d)"
    (cd "$dir" && timeout --kill-after=10 300 "$bin/$name" "$@") || rc=$?
    rm -rf -- "$dir"
    if [ "$rc" -ne 0 ]; then
        echo "$name failed (exit status $rc)" >&2
        failed+=("$name")
    fi
}

bench bench_sane 3
bench bench_ipc
bench bench_formats 1
bench bench_xfer_normalizedib
bench bench_xfer_nativetransfer
bench bench_start --starts 10
# pelirand-scan against scanimage: colour in every format, grey and black and
# white into PNG and PDF, the feeder's batch, listing, one run each (build/bin/bench_scanimage
# without --quick for every pixel type in every format, --dpi 300,600 for 600 dpi).
bench bench_scanimage --runs 1 --batch-runs 1 --quick --budget 150
bench bench_mainapp --only trips,page,render,start,memory --rounds 2000 --starts 5 --pages 3 --no-1200

if [ ${#failed[@]} -ne 0 ]; then
    echo "benchmarks that failed: ${failed[*]}" >&2
    exit 1
fi
