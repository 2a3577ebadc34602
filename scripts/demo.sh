#!/usr/bin/env bash
# Installs what is missing, builds, and scans three pages from the simulated
# scanner into ./scans as PNG files.
#
#   scripts/demo.sh [more pelirand-scan options]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# Only what the demo runs: the bridge, its DSM, the simulated scanner, pelirand-scan.
"$PELIRAND_ROOT/scripts/setup.sh" --target pelirand-scan --target pelirand --target dsm --target pelirand-sim

out="$PWD/scans"
echo
"$PELIRAND_ROOT/build/bin/pelirand-scan" --source "pelirand Simulated Scanner" --pages 3 \
    --format png --output "$out" "$@"
echo
echo "Done: the three pages from the simulated scanner are in $out"
