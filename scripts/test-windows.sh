#!/usr/bin/env bash
# Builds pelirand for Windows with mingw-w64 (the bridge, the simulated scanner,
# the client library and pelirand-scan for 32-bit Windows; the client library
# and pelirand-scan for 64-bit Windows) and runs it under Wine with Xvfb, in a
# Debian root of its own made with debootstrap (Wine's 32-bit half needs the
# i386 architecture, which the host is not asked to take).
#
#   scripts/test-windows.sh [--fresh] [--clean] [--shell]
#
# --fresh   make the root anew instead of reusing it
# --clean   build from scratch (the build folders are /build/* inside the root)
# --shell   open a shell inside the root (clone at /src, read-only) instead
#
# Needs root. Qt, libtiff/libjpeg for mingw, the TWAIN DSM for Windows and
# Wine's SANE source are not downloaded: they are the prebuilt files of
# $PELIRAND_WINDOWS_FILES (default: shared/windows beside the clone). The root
# lives in $PELIRAND_WINDOWS_ROOT (default /var/tmp/pelirand-windows-root) and is
# reused; the packages of scripts/windows-packages.txt are installed in it
# again only when that list changes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

suite=bookworm
root="$(realpath -m -- "${PELIRAND_WINDOWS_ROOT:-/var/tmp/pelirand-windows-root}")"
stage="$root.partial"
state=/var/lib/pelirand
files="$(realpath -m -- "${PELIRAND_WINDOWS_FILES:-$PELIRAND_ROOT/../shared/windows}")"
mirror="${PELIRAND_DEBIAN_MIRROR:-$(debian_mirror debian)}"
security="${PELIRAND_DEBIAN_SECURITY_MIRROR:-$(debian_mirror debian-security)}"

fresh=0 clean=0 shell=0
for arg in "$@"; do
    case "$arg" in
        --fresh) fresh=1 ;;
        --clean) clean=1 ;;
        --shell) shell=1 ;;
        -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
        *) echo "unknown option: $arg" >&2; exit 2 ;;
    esac
done

die() { echo "test-windows: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test-windows.sh needs root: it makes a Debian root with debootstrap" >&2
    echo "and builds and tests inside it with mount and chroot. Run it as:" >&2
    echo "  sudo bash scripts/test-windows.sh" >&2
    exit 1
fi
for f in i686/qt5-i686-mingw.tar.xz i686/deps-tiff-jpeg-i686-mingw.tar.xz i686/TWAINDSM.dll \
    x86_64/qt5-x86_64-mingw.tar.xz x86_64/deps-tiff-jpeg-x86_64-mingw.tar.xz; do
    [ -f "$files/$f" ] || die "$files/$f is missing (set PELIRAND_WINDOWS_FILES to the folder of the prebuilt Windows files)"
done

case "$root" in
    / | /bin | /boot | /dev | /etc | /home | /lib* | /opt | /proc | /root | /run | /sbin | /srv | /sys | /tmp | /usr | /var | /var/tmp)
        die "PELIRAND_WINDOWS_ROOT=$root is a system folder; choose a folder of its own" ;;
esac
case "$root/" in "$PELIRAND_ROOT"/*) die "PELIRAND_WINDOWS_ROOT must be outside the clone ($PELIRAND_ROOT)" ;; esac
case "$PELIRAND_ROOT/" in "$root"/*) die "the clone must not be inside PELIRAND_WINDOWS_ROOT ($root)" ;; esac

if [ -z "${PELIRAND_WINDOWS_INNER:-}" ]; then
    ensure_packages "$PELIRAND_ROOT/scripts/i386-host-packages.txt"
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    if ! flock -n 9; then
        echo "== waiting for another run that uses $root"
        flock 9
    fi
    unmount_under "$stage"
    unmount_under "$root"
    if unshare --mount --propagation private true 2>/dev/null; then
        export PELIRAND_WINDOWS_INNER=1
        exec unshare --mount --propagation private -- bash "${BASH_SOURCE[0]}" "$@"
    fi
    echo "== no private mount namespace here; mounting in the host's own" >&2
fi

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    # Wine's server and Xvfb live in the root: nothing of this run stays behind.
    if [ -d "$root/proc" ]; then
        in_root_pids | xargs -r kill -9 2>/dev/null || true
    fi
    unmount_under "$stage" || rc=1
    unmount_under "$root" || rc=1
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The processes whose root is this one (started below, with chroot).
in_root_pids() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && echo "${p#/proc/}"
    done
    return 0
}

in_root() {
    chroot "$root" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LC_ALL=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive \
        "$@" 9>&-
}

logged() {
    local log="$1"
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        die "failed: $* (whole output in $log)"
    fi
}

is_our_root() { [ -f "$1/.pelirand-windows-root" ]; }

make_root() {
    echo "== making a Debian $suite root in $root from $mirror"
    remove_tree "$stage" || die "cannot clear $stage"
    mkdir -p "$stage"
    logged "$root.debootstrap.log" debootstrap --variant=minbase "$suite" "$stage" "$mirror"
    unmount_under "$stage" || die "debootstrap left mounts in $stage"
    touch "$stage/.pelirand-windows-root"
    if [ -d "$root" ]; then rmdir "$root"; fi
    mv "$stage" "$root"
}

configure_root() {
    cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
SOURCES
    rm -f "$root/etc/resolv.conf"
    if [ -e /etc/resolv.conf ]; then cp -L /etc/resolv.conf "$root/etc/resolv.conf"; fi
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
}

mount_root() {
    mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/src" "$root/files" "$root/build"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --make-rslave "$root/dev"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp"
    mount --bind "$PELIRAND_ROOT" "$root/src"
    mount -o remount,bind,ro "$root/src"
    mount --bind "$files" "$root/files"
    mount -o remount,bind,ro "$root/files"
}

install_packages() {
    local packages want have
    mapfile -t packages < <(read_packages "$PELIRAND_ROOT/scripts/windows-packages.txt")
    want="$({ printf '%s\n' "$suite" "$mirror" "$security"; printf '%s\n' "${packages[@]}" | sort -u; } |
        sha256sum | cut -d' ' -f1)"
    have="$(cat "$root$state/packages.sha256" 2>/dev/null || true)"
    if [ "$want" = "$have" ]; then
        echo "== the root's packages are up to date ($root)"
        return 0
    fi
    echo "== installing in the root: ${packages[*]}"
    mkdir -p "$root$state"
    rm -f "$root$state/packages.sha256"
    logged "$root$state/apt.log" in_root dpkg --add-architecture i386
    logged "$root$state/apt.log" in_root apt-get update
    logged "$root$state/apt.log" in_root apt-get install -y --no-install-recommends "${packages[@]}"
    in_root apt-get clean
    remove_tree "$root/build"
    echo "$want" >"$root$state/packages.sha256"
}

# The prebuilt files unpacked in /opt/pelirand-windows, again when they change.
unpack_files() {
    local want have arch
    want="$(cd "$files" && sha256sum {i686,x86_64}/{qt5,deps}-*.tar.xz i686/wine-sane-ds-*.tar.xz |
        sha256sum | cut -d' ' -f1)"
    have="$(cat "$root/opt/pelirand-windows/.unpacked" 2>/dev/null || true)"
    [ "$want" = "$have" ] && return 0
    echo "== unpacking Qt and libtiff/libjpeg for mingw"
    rm -rf "$root/opt/pelirand-windows"
    for arch in i686 x86_64; do
        mkdir -p "$root/opt/pelirand-windows/$arch"
        for f in "$files/$arch"/{qt5,deps,wine-sane-ds}-*.tar.xz; do
            [ -f "$f" ] || continue
            tar -xJf "$f" -C "$root/opt/pelirand-windows/$arch"
        done
    done
    echo "$want" >"$root/opt/pelirand-windows/.unpacked"
}

# build ARCH: configures and builds /src for ARCH in /build/ARCH.
build() {
    local arch="$1" qt
    qt="/opt/pelirand-windows/$arch/qt5-$arch-mingw"
    echo "== building for $arch Windows in $root/build/$arch"
    in_root cmake -S /src -B "/build/$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=/src/cmake/toolchains/mingw-w64.cmake -DPELIRAND_WINDOWS_ARCH="$arch" \
        -DPELIRAND_WINDOWS_QT="$qt" -DPELIRAND_WINDOWS_DEPS="/opt/pelirand-windows/$arch/deps" \
        -DPELIRAND_BUILD_TESTS=OFF -DPELIRAND_BUILD_BENCH=OFF >/dev/null
    in_root cmake --build "/build/$arch" -j "$(jobs)"
}

t_start=$SECONDS
if [ "$fresh" = 1 ] && [ -e "$root" ]; then
    is_our_root "$root" || die "$root was not made by this script; not removing it"
    echo "== removing the old root"
    remove_tree "$root" || die "cannot remove $root"
fi
if ! is_our_root "$root"; then
    if [ -e "$root" ] && [ -n "$(ls -A "$root")" ]; then
        die "$root exists but was not made by this script; remove it or set PELIRAND_WINDOWS_ROOT"
    fi
    make_root
fi
configure_root
mount_root
t_packages=$SECONDS
install_packages
unpack_files

if [ "$shell" = 1 ]; then
    in_root bash -c 'cd /build && exec bash -i'
    exit 0
fi

t_build=$SECONDS
if [ "$clean" = 1 ] || [ "$(cat "$root/build/.pelirand-source" 2>/dev/null)" != "$PELIRAND_ROOT" ]; then
    remove_tree "$root/build"
    mkdir -p "$root/build"
    echo "$PELIRAND_ROOT" >"$root/build/.pelirand-source"
fi
build i686
build x86_64
t_tests=$SECONDS
echo "== running under Wine"
in_root bash /src/scripts/windows-e2e.sh
echo "== Windows stage passed in $((SECONDS - t_start)) s (root $((t_packages - t_start)) s," \
    "packages $((t_build - t_packages)) s, build $((t_tests - t_build)) s, tests $((SECONDS - t_tests)) s)"
