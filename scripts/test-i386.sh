#!/usr/bin/env bash
# Builds pelirand as a 32-bit (i386) program and runs the whole test suite there,
# inside an i386 Debian root made with debootstrap. On i386 the TWAIN wire layout
# is the native one, so this is the build in which block conversion compiles away.
#
#   scripts/test-i386.sh [--fresh] [--clean] [--shell]
#
# --fresh   make the i386 root anew instead of reusing it
# --clean   build from scratch (the build folder is /build inside the root)
# --shell   open a shell inside the root (clone at /src, read-only) instead
#
# Needs root: it runs debootstrap, mount and chroot. The i386 root lives outside
# the clone, in $PELIRAND_I386_ROOT (default /var/tmp/pelirand-i386-root), and
# is reused; the packages of scripts/packages.txt are installed in it again only
# when that list changes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

DEBIAN_ROOT_SCRIPT=test-i386
DEBIAN_ROOT="$(realpath -m -- "${PELIRAND_I386_ROOT:-/var/tmp/pelirand-i386-root}")"
DEBIAN_ROOT_MARKER=.pelirand-i386-root
DEBIAN_ROOT_ARCH=i386
# Inside the root every program runs as an i686 process (uname says so).
DEBIAN_ROOT_RUN=(linux32 chroot "$DEBIAN_ROOT")
root="$DEBIAN_ROOT"
mirror="${PELIRAND_DEBIAN_MIRROR:-$(debian_mirror debian)}"
security="${PELIRAND_DEBIAN_SECURITY_MIRROR:-$(debian_mirror debian-security)}"

fresh=0 clean=0 shell=0
for arg in "$@"; do
    case "$arg" in
        --fresh) fresh=1 ;;
        --clean) clean=1 ;;
        --shell) shell=1 ;;
        -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
        *) echo "unknown option: $arg" >&2; exit 2 ;;
    esac
done

if [ "$shell" -eq 0 ] && ! can_run_i386; then
    echo "== test-i386: SKIPPED: this machine's kernel cannot run 32-bit x86 programs" >&2
    echo "   (Exec format error), so an i386 root can be neither made nor used here." >&2
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test-i386.sh needs root: it makes an i386 Debian root with debootstrap" >&2
    echo "and builds and tests inside it with mount and chroot. Run it as:" >&2
    echo "  sudo bash scripts/test-i386.sh" >&2
    exit 1
fi

check_root_folder PELIRAND_I386_ROOT
if [ -z "${PELIRAND_I386_INNER:-}" ]; then
    ensure_packages "$PELIRAND_ROOT/scripts/i386-host-packages.txt"
fi
enter_root_namespace PELIRAND_I386_INNER "${BASH_SOURCE[0]}" "$@"
unmount_root_on_exit

mount_clone() {
    mkdir -p "$root/src" "$root/build"
    # The clone, read-only: everything the build writes stays in the root.
    mount --bind "$PELIRAND_ROOT" "$root/src"
    mount -o remount,bind,ro "$root/src"
}

install_packages() {
    local packages
    mapfile -t packages < <(read_packages "$PELIRAND_ROOT/scripts/packages.txt")
    install_root_packages "$mirror $security" "${packages[@]}"
    # New compilers or Qt: build everything again.
    if [ "$ROOT_PACKAGES_CHANGED" = 1 ]; then
        remove_tree "$root/build"
    fi
}

build_and_test() {
    local n
    n="$(jobs)"
    # The build folder is kept only for the same clone: another clone's older
    # timestamps could otherwise leave stale objects in it.
    if [ "$clean" = 1 ] || [ "$(cat "$root/build/.pelirand-source" 2>/dev/null)" != "$PELIRAND_ROOT" ]; then
        remove_tree "$root/build"
        mkdir -p "$root/build"
        echo "$PELIRAND_ROOT" >"$root/build/.pelirand-source"
    fi
    echo "== building as $(in_root uname -m) ($(in_root dpkg --print-architecture)) in $root/build"
    in_root cmake -S /src -B /build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    in_root cmake --build /build -j "$n"
    t_tests=$SECONDS
    echo "== running the 32-bit suite"
    in_root env PELIRAND_EXPECT_POINTER_BITS=32 ctest --test-dir /build --output-on-failure -j "$n"
}

t_start=$SECONDS
ensure_root "$fresh" "$mirror" linux32
configure_root "$mirror" "$security"
mount_root
mount_clone
t_packages=$SECONDS
install_packages
t_build=$SECONDS

if [ "$shell" = 1 ]; then
    in_root bash -c 'cd /build && exec bash -i'
    exit 0
fi

t_tests=$SECONDS
build_and_test
echo "== 32-bit suite passed in $((SECONDS - t_start)) s (root $((t_packages - t_start)) s," \
    "packages $((t_build - t_packages)) s, build $((t_tests - t_build)) s, tests $((SECONDS - t_tests)) s)"
