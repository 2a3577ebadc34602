#!/usr/bin/env bash
# pelirand as a user installs it: builds the Debian packages (without tests and
# benchmarks), checks them with lintian, installs them with apt into a fresh
# Debian 12 (amd64) root made with debootstrap, and there, without the build
# tree and without the TWAIN standard's DSM (so pelirand's own DSM loads), with
# SANE's test backend configured:
#   - pelirand-scan --list shows the SANE source with the test device as default;
#   - pelirand-scan -n 1 -f png gives the same pixels as scanimage;
#   - a batch of 5 pages from the test device's feeder goes into one PDF file;
#   - the README's library example builds with find_package(pelirand) and
#     with pkg-config against pelirand-dev, and scans.
#
#   scripts/test-install.sh [--fresh] [--build-dir DIR] [--shell]
#
# --fresh          make the Debian root anew instead of reusing it
# --build-dir DIR  the build folder of the packages (default: build-packages)
# --shell          open a shell in the root with the packages installed instead
#
# Needs root (debootstrap, mount, chroot); without it, it says so and skips.
# The root lives outside the clone, in $PELIRAND_INSTALL_ROOT (default
# /var/tmp/pelirand-install-root), with the packages of
# scripts/install-root-packages.txt; it is reused, and each run works on a
# throw-away layer over it, so every run installs into the same fresh root.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

DEBIAN_ROOT_SCRIPT=test-install
DEBIAN_ROOT="$(realpath -m -- "${PELIRAND_INSTALL_ROOT:-/var/tmp/pelirand-install-root}")"
DEBIAN_ROOT_MARKER=.pelirand-install-root
DEBIAN_ROOT_ARCH=amd64
DEBIAN_ROOT_RUN=(chroot "$DEBIAN_ROOT")
base="$DEBIAN_ROOT"
mirror="${PELIRAND_DEBIAN_MIRROR:-$(debian_mirror debian)}"
security="${PELIRAND_DEBIAN_SECURITY_MIRROR:-$(debian_mirror debian-security)}"

fresh=0 shell=0
build_dir="$PELIRAND_ROOT/build-packages"
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        --fresh) fresh=1 ;;
        --shell) shell=1 ;;
        --build-dir) build_dir="$(realpath -m -- "$2")"; shift ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
debs="$build_dir/debs"

if [ "$(id -u)" -ne 0 ]; then
    echo "== test-install: SKIPPED: it needs root to make a Debian root with debootstrap" >&2
    echo "   and to install the packages there with mount and chroot:" >&2
    echo "   sudo bash scripts/test-install.sh" >&2
    exit 0
fi
[ "$(dpkg --print-architecture)" = amd64 ] || {
    echo "== test-install: SKIPPED: it makes an amd64 root; this machine is $(dpkg --print-architecture)" >&2
    exit 0
}
check_root_folder PELIRAND_INSTALL_ROOT

t_start=$(date +%s)
if [ -z "${PELIRAND_INSTALL_INNER:-}" ]; then
    ensure_packages "$PELIRAND_ROOT/scripts/packages.txt" "$PELIRAND_ROOT/scripts/install-host-packages.txt"

    # The packages as a release builds them: no tests, no benchmarks, so none
    # of the tests' switches can be in them.
    echo "== building the packages in $build_dir"
    cmake -S "$PELIRAND_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release \
        -DPELIRAND_BUILD_TESTS=OFF -DPELIRAND_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build_dir" -j "$(jobs)" >"$build_dir/build.log" 2>&1 || {
        tail -n 60 "$build_dir/build.log" >&2
        root_die "the build failed (whole output in $build_dir/build.log)"
    }
    rm -rf -- "$debs"
    (cd "$build_dir" && cpack -G DEB -B "$debs" >"$build_dir/cpack.log" 2>&1) || {
        tail -n 60 "$build_dir/cpack.log" >&2
        root_die "cpack failed (whole output in $build_dir/cpack.log)"
    }
    rm -rf -- "$debs/_CPack_Packages"
    ls "$debs"/pelirand_*.deb "$debs"/pelirand-dev_*.deb "$debs"/pelirand-sim_*.deb >/dev/null

    echo "== lintian"
    # Errors fail the stage; warnings are shown (README, "Installing", says
    # which remain and why).
    lintian_rc=0
    lintian --fail-on error "$debs"/*.deb >"$build_dir/lintian.log" 2>&1 || lintian_rc=$?
    grep -v '^running with root privileges' "$build_dir/lintian.log" || true
    [ "$lintian_rc" = 0 ] || root_die "lintian reports errors in the packages (exit $lintian_rc)"
    echo "== packages built and checked in $(($(date +%s) - t_start)) s"
    # The run goes on in another process: the whole time is told at the end.
    export PELIRAND_INSTALL_T0="$t_start"
fi
enter_root_namespace PELIRAND_INSTALL_INNER "${BASH_SOURCE[0]}" "${args[@]}"
t_start="${PELIRAND_INSTALL_T0:-$t_start}"

# Each run: a layer over the kept root, in memory, gone with the run.
layer="$base.layer"
run_root="$base.run"
cleanup_run() {
    local rc=$?
    trap - EXIT INT TERM
    unmount_under "$run_root" || rc=1
    unmount_under "$layer" || rc=1
    unmount_under "$base" || rc=1
    unmount_under "$base.partial" || rc=1
    exit "$rc"
}
trap cleanup_run EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

t_root=$SECONDS
ensure_root "$fresh" "$mirror"
configure_root "$mirror" "$security"
mount_root
mapfile -t root_packages < <(read_packages "$PELIRAND_ROOT/scripts/install-root-packages.txt")
install_root_packages "$mirror $security" "${root_packages[@]}"
unmount_under "$base" || root_die "mounts remain in $base"

mkdir -p "$layer" "$run_root"
mount -t tmpfs -o mode=755 tmpfs "$layer"
mkdir -p "$layer/upper" "$layer/work"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$layer/upper,workdir=$layer/work" "$run_root"
DEBIAN_ROOT="$run_root"
DEBIAN_ROOT_RUN=(chroot "$run_root")
mount_root
t_install=$SECONDS

echo "== installing the packages with apt in the Debian root"
mkdir -p "$run_root/tmp/debs"
cp "$debs"/*.deb "$run_root/tmp/debs/"
logged "$layer/apt.log" in_root sh -c 'cd /tmp/debs && apt-get install -y ./pelirand_*.deb ./pelirand-dev_*.deb ./pelirand-sim_*.deb'
# SANE's test backend as the only one, with a colour picture.
printf 'test\n' >"$run_root/etc/sane.d/dll.conf"
sed -i -e 's/^mode .*/mode Color/' -e 's/^resolution .*/resolution 75.0/' \
    -e 's/^test-picture .*/test-picture "Color pattern"/' "$run_root/etc/sane.d/test.conf"
# The README's library example, as an application of one's own.
mkdir -p "$run_root/tmp/app"
cmake -DREADME="$PELIRAND_ROOT/README.md" -DOUT="$run_root/tmp/app/main.cpp" \
    -P "$PELIRAND_ROOT/tests/shipping/readmesnippet.cmake"
cat >"$run_root/tmp/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(myscan LANGUAGES CXX)
find_package(pelirand 0.3 REQUIRED)
add_executable(myscan main.cpp)
target_link_libraries(myscan PRIVATE pelirand::client)
CMAKE

if [ "$shell" = 1 ]; then
    in_root bash -c 'cd /tmp && exec bash -i'
    exit 0
fi

t_checks=$SECONDS
failures=0
check() { echo "ok:   $*"; }
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# in_user CMD...: as a user would run it, in a home of its own.
in_user() { in_root env HOME=/tmp/home QT_QPA_PLATFORM=offscreen "$@"; }
mkdir -p "$run_root/tmp/home" "$run_root/tmp/out"

for f in /usr/lib/libtwaindsm.so /usr/lib/libtwaindsm.so.2 /usr/local/lib/libtwaindsm.so /usr/local/lib/libtwaindsm.so.2; do
    [ ! -e "$run_root$f" ] || fail "the TWAIN standard's DSM is in the root: $f"
done
in_user pelirand --help >"$layer/help.txt" 2>&1 || true
if grep -q "pelirand's DSM, /usr/lib/pelirand/libpelirand-dsm.so" "$layer/help.txt"; then
    check "pelirand --help names pelirand's own DSM in /usr/lib/pelirand"
else
    fail "pelirand --help does not name pelirand's own DSM:"; tail -n 5 "$layer/help.txt" >&2
fi

list="$(in_user timeout 120 pelirand-scan --list 2>&1)" || true
if printf '%s\n' "$list" | grep -q '^\* pelirand SANE Scanner' &&
    printf '%s\n' "$list" | grep -q '^ *\* --device test:0 '; then
    check "pelirand-scan --list: the SANE source with test:0 is the default"
else
    fail "pelirand-scan --list does not take SANE's test:0 as the default:"; printf '%s\n' "$list" >&2
fi

# A source built with Qt Widgets makes the bridge load its Widgets module, which
# the packages put beside their DSM; PELIRAND_WIDGETS=1 asks for it as such a
# source would.
rm -f "$run_root/tmp/widgets.log"
if in_user env PELIRAND_WIDGETS=1 PELIRAND_LOG=/tmp/widgets.log timeout 120 pelirand-scan --list \
        >"$layer/widgets.txt" 2>&1 &&
    grep -q "running" "$run_root/tmp/widgets.log" 2>/dev/null &&
    ! grep -q "cannot load the Qt Widgets module" "$run_root/tmp/widgets.log"; then
    check "the bridge loads its Qt Widgets module from where the packages put it"
else
    fail "the bridge with PELIRAND_WIDGETS=1:"; cat "$layer/widgets.txt" >&2
    grep -h "Widgets" "$run_root/tmp/widgets.log" >&2 || true
fi

# scan_until_done CMD...: SANE's test backend now and then stalls at a page's
# end; a scan that has not ended in 60 s is tried once more.
scan_until_done() {
    local rc=0
    in_user timeout 60 "$@" >>"$layer/scans.log" 2>&1 || rc=$?
    if [ "$rc" = 124 ]; then
        rc=0
        in_user timeout 60 "$@" >>"$layer/scans.log" 2>&1 || rc=$?
    fi
    return "$rc"
}
if scan_until_done pelirand-scan -n 1 -f png -o /tmp/out/one --name page &&
    scan_until_done scanimage -d test:0 --format=png -o /tmp/out/scanimage.png; then
    one="$(ls "$run_root"/tmp/out/one/*.png 2>/dev/null | head -n 1)"
    if [ -n "$one" ] && cmp -s <(in_root pngtopnm "/tmp/out/one/$(basename "$one")") \
                              <(in_root pngtopnm /tmp/out/scanimage.png); then
        check "pelirand-scan -n 1 -f png: the same pixels as scanimage ($(in_root pngtopnm "/tmp/out/one/$(basename "$one")" | head -n 2 | tr '\n' ' '))"
    else
        fail "pelirand-scan's page differs from scanimage's: $(ls "$run_root/tmp/out/one") $(in_root sh -c 'pngtopnm /tmp/out/one/*.png | head -c 16; echo; pngtopnm /tmp/out/scanimage.png | head -c 16' | tr '\n' ' ')"
    fi
else
    fail "a scan of one page failed:"; tail -n 20 "$layer/scans.log" >&2
fi

if scan_until_done env "PELIRAND_SANE_OPTIONS=source=Automatic Document Feeder" \
    pelirand-scan -n 5 -f pdf -o /tmp/out/adf --name batch; then
    pages="$(in_root pdfinfo /tmp/out/adf/batch.pdf 2>/dev/null | sed -n 's/^Pages: *//p')"
    if [ "$pages" = 5 ]; then
        check "a batch of 5 pages from the feeder in one PDF file"
    else
        fail "the feeder's batch gave a PDF file of '${pages}' pages"
    fi
else
    fail "the feeder's batch of 5 pages failed:"; tail -n 20 "$layer/scans.log" >&2
fi

app_scans() {
    local dir="$1"
    shift
    mkdir -p "$run_root$dir"
    in_user sh -c "cd $dir && timeout 120 $*" >>"$layer/app.log" 2>&1 && ls "$run_root$dir"/page*.png >/dev/null 2>&1
}
if in_root cmake -S /tmp/app -B /tmp/app/build -DCMAKE_BUILD_TYPE=Release >>"$layer/app.log" 2>&1 &&
    in_root cmake --build /tmp/app/build >>"$layer/app.log" 2>&1 && app_scans /tmp/out/app-cmake /tmp/app/build/myscan; then
    check "the README's example, built with find_package(pelirand), scans"
else
    fail "the README's example built with find_package(pelirand):"; tail -n 20 "$layer/app.log" >&2
fi
if in_root sh -c 'c++ -std=c++17 -fPIC /tmp/app/main.cpp $(pkg-config --cflags --libs pelirand-client) -o /tmp/app/myscan-pc' \
    >>"$layer/app.log" 2>&1 && app_scans /tmp/out/app-pc /tmp/app/myscan-pc; then
    check "the README's example, built with pkg-config, scans"
else
    fail "the README's example built with pkg-config:"; tail -n 20 "$layer/app.log" >&2
fi

# A DSM installed as the TWAIN standard's is (in /usr/local/lib) would look for
# sources only in /usr/local/lib/twain and miss the packages' /usr/lib/twain:
# the installed bridge keeps its own DSM then. A copy of it under the standard
# DSM's name stands in for that DSM here; only the choice is checked.
cp "$run_root/usr/lib/pelirand/libpelirand-dsm.so" "$run_root/usr/local/lib/libtwaindsm.so.2"
in_root ldconfig
in_user pelirand --help >"$layer/help-standard.txt" 2>&1 || true
if grep -q "pelirand's DSM, /usr/lib/pelirand/libpelirand-dsm.so" "$layer/help-standard.txt" &&
    scan_until_done pelirand-scan -n 1 -f png -o /tmp/out/with-standard --name page; then
    check "with a DSM in /usr/local/lib/libtwaindsm.so.2 the packages' bridge keeps its own DSM and scans"
else
    fail "with a DSM in /usr/local/lib/libtwaindsm.so.2:"; tail -n 5 "$layer/help-standard.txt" >&2
fi
rm -f "$run_root/usr/local/lib/libtwaindsm.so.2"
in_root ldconfig

echo "== the installed packages checked; the stage took $(($(date +%s) - t_start)) s (root and its packages $((t_install - t_root)) s," \
    "apt install $((t_checks - t_install)) s, checks $((SECONDS - t_checks)) s)"
[ "$failures" = 0 ] || root_die "$failures check(s) failed"
