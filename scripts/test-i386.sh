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

suite=bookworm
root="$(realpath -m -- "${PELIRAND_I386_ROOT:-/var/tmp/pelirand-i386-root}")"
stage="$root.partial"    # debootstrap works here; renamed to $root once complete
state=/var/lib/pelirand  # inside the root
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

die() { echo "test-i386: $*" >&2; exit 1; }

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

case "$root" in
    / | /bin | /boot | /dev | /etc | /home | /lib* | /opt | /proc | /root | /run | /sbin | /srv | /sys | /tmp | /usr | /var | /var/tmp)
        die "PELIRAND_I386_ROOT=$root is a system folder; choose a folder of its own" ;;
esac
case "$root/" in "$PELIRAND_ROOT"/*) die "PELIRAND_I386_ROOT must be outside the clone ($PELIRAND_ROOT)" ;; esac
case "$PELIRAND_ROOT/" in "$root"/*) die "the clone must not be inside PELIRAND_I386_ROOT ($root)" ;; esac

if [ -z "${PELIRAND_I386_INNER:-}" ]; then
    ensure_packages "$PELIRAND_ROOT/scripts/i386-host-packages.txt"
    mkdir -p "$(dirname "$root")"
    # One run at a time per root; the lock is inherited by the run below.
    exec 9>"$root.lock"
    if ! flock -n 9; then
        echo "== waiting for another run that uses $root"
        flock 9
    fi
    # Mounts that a run killed outright may have left behind.
    unmount_under "$stage"
    unmount_under "$root"
    # In a private mount namespace every mount made from here on goes away with
    # the run, however it ends; the trap below still unmounts them in order.
    if unshare --mount --propagation private true 2>/dev/null; then
        export PELIRAND_I386_INNER=1
        exec unshare --mount --propagation private -- bash "${BASH_SOURCE[0]}" "$@"
    fi
    echo "== no private mount namespace here; mounting in the host's own" >&2
fi

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    unmount_under "$stage" || rc=1
    unmount_under "$root" || rc=1
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# in_root CMD...: runs CMD inside the root as an i686 process (uname says so),
# with a clean environment and without the lock's descriptor.
in_root() {
    linux32 chroot "$root" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LC_ALL=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive \
        "$@" 9>&-
}

# logged LOG CMD...: runs CMD with its output in LOG, shown only if CMD fails.
logged() {
    local log="$1"
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        die "failed: $* (whole output in $log)"
    fi
}

is_our_root() { [ -f "$1/.pelirand-i386-root" ]; }

make_root() {
    echo "== making an i386 Debian $suite root in $root from $mirror"
    remove_tree "$stage" || die "cannot clear $stage"
    mkdir -p "$stage"
    logged "$root.debootstrap.log" \
        linux32 debootstrap --arch=i386 --variant=minbase "$suite" "$stage" "$mirror"
    unmount_under "$stage" || die "debootstrap left mounts in $stage"
    touch "$stage/.pelirand-i386-root"
    if [ -d "$root" ]; then rmdir "$root"; fi
    mv "$stage" "$root"
}

configure_root() {
    cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
    # Remove first: copying onto a symbolic link would write through it, on the host.
    rm -f "$root/etc/resolv.conf"
    if [ -e /etc/resolv.conf ]; then cp -L /etc/resolv.conf "$root/etc/resolv.conf"; fi
    # Packages must not start services inside the root.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
}

mount_root() {
    mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/src" "$root/build"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --make-rslave "$root/dev"
    # A private /tmp, so local-socket names cannot meet the host's.
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp"
    # The clone, read-only: everything the build writes stays in the root.
    mount --bind "$PELIRAND_ROOT" "$root/src"
    mount -o remount,bind,ro "$root/src"
}

install_packages() {
    local packages want have
    mapfile -t packages < <(read_packages "$PELIRAND_ROOT/scripts/packages.txt")
    want="$({ printf '%s\n' "$suite" "$mirror" "$security"; printf '%s\n' "${packages[@]}" | sort -u; } |
        sha256sum | cut -d' ' -f1)"
    have="$(cat "$root$state/packages.sha256" 2>/dev/null || true)"
    if [ "$want" = "$have" ]; then
        echo "== the i386 root's packages are up to date ($root)"
        return 0
    fi
    echo "== installing in the i386 root: ${packages[*]}"
    mkdir -p "$root$state"
    rm -f "$root$state/packages.sha256"
    logged "$root$state/apt.log" in_root apt-get update
    logged "$root$state/apt.log" in_root apt-get install -y --no-install-recommends "${packages[@]}"
    in_root apt-get clean
    # New compilers or Qt: build everything again.
    remove_tree "$root/build"
    echo "$want" >"$root$state/packages.sha256"
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
if [ "$fresh" = 1 ] && [ -e "$root" ]; then
    is_our_root "$root" || die "$root was not made by this script; not removing it"
    echo "== removing the old i386 root"
    remove_tree "$root" || die "cannot remove $root"
fi
if ! is_our_root "$root"; then
    if [ -e "$root" ] && [ -n "$(ls -A "$root")" ]; then
        die "$root exists but was not made by this script; remove it or set PELIRAND_I386_ROOT"
    fi
    make_root
fi
configure_root
mount_root
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
