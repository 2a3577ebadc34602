# Shared helpers for the scripts in this folder; source it, do not run it.

# The repository's top folder.
PELIRAND_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# read_packages FILE...: the package names listed in the files, comments dropped.
read_packages() {
    sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$@"
}

# ensure_packages FILE...: installs the listed Debian packages that are missing.
# As root it runs apt-get; otherwise it prints the command to run and fails.
ensure_packages() {
    local missing=() pkg
    for pkg in $(read_packages "$@"); do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with:  sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
}

jobs() { nproc 2>/dev/null || echo 2; }

# can_run_i386: whether this machine's kernel runs 32-bit x86 programs (some
# kernels are built without that). Runs a 96-byte 32-bit ELF program that only
# exits with 42.
can_run_i386() {
    local probe rc=0
    probe="$(mktemp)"
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || rc=$?
    rm -f -- "$probe"
    [ "$rc" -eq 42 ]
}

# debian_mirror [debian|debian-security]: the Debian archive URL this host's apt
# already uses (so it is one this network reaches), else deb.debian.org's.
debian_mirror() {
    local kind="${1:-debian}" url
    url="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        sed -n -e 's/^[[:space:]]*deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]\{1,\}\).*/\2/p' \
               -e 's/^[[:space:]]*URIs:[[:space:]]*//p' |
        tr -s ' \t' '\n\n' | sed 's:/*$::' | grep -E "^https?://.*/${kind}\$" | head -n 1 || true)"
    echo "${url:-http://deb.debian.org/${kind}}"
}

# mounts_under DIR: the mount points at DIR or below it, deepest first (a path
# mounted twice is listed twice).
mounts_under() {
    local dir
    dir="$(realpath -m -- "$1")"
    findmnt -rn -o TARGET | awk -v d="$dir" '$0 == d || index($0, d "/") == 1' | sort -r
}

# unmount_under DIR: unmounts everything at DIR or below it; fails if anything is
# still mounted there afterwards.
unmount_under() {
    local dir="$1" mnt round
    for round in 1 2 3 4 5; do
        [ -z "$(mounts_under "$dir")" ] && return 0
        while read -r mnt; do
            umount -- "$mnt" 2>/dev/null || umount -l -- "$mnt" 2>/dev/null || true
        done < <(mounts_under "$dir")
    done
    if [ -n "$(mounts_under "$dir")" ]; then
        echo "still mounted below $dir:" >&2
        mounts_under "$dir" >&2
        return 1
    fi
}

# remove_tree DIR: deletes DIR, but only once nothing is mounted inside it: a bind
# mount left there would otherwise have rm delete the folder it shows (the clone).
remove_tree() {
    local dir="$1"
    [ -e "$dir" ] || return 0
    unmount_under "$dir" || { echo "not removing $dir: mounts remain inside it" >&2; return 1; }
    rm -rf --one-file-system -- "$dir"
}

# --- Debian roots made with debootstrap --------------------------------------
# The i386 suite (scripts/test-i386.sh) and the installed packages
# (scripts/test-install.sh) each keep a Debian root outside the clone and reuse
# it. A script sets DEBIAN_ROOT (the root's folder), DEBIAN_ROOT_MARKER (a file
# name that marks the root as its own), DEBIAN_ROOT_ARCH (debootstrap's
# --arch) and DEBIAN_ROOT_RUN (an array: the command that runs a program
# inside the root, e.g. (linux32 chroot "$DEBIAN_ROOT")), then calls these.
DEBIAN_ROOT_SUITE=bookworm

root_die() { echo "${DEBIAN_ROOT_SCRIPT:-scripts}: $*" >&2; exit 1; }

# check_root_folder VARIABLE: refuses a root that is a system folder or that
# overlaps the clone; VARIABLE names the setting the user would change.
check_root_folder() {
    local variable="$1"
    case "$DEBIAN_ROOT" in
        / | /bin | /boot | /dev | /etc | /home | /lib* | /opt | /proc | /root | /run | /sbin | /srv | /sys | /tmp | /usr | /var | /var/tmp)
            root_die "$variable=$DEBIAN_ROOT is a system folder; choose a folder of its own" ;;
    esac
    case "$DEBIAN_ROOT/" in "$PELIRAND_ROOT"/*) root_die "$variable must be outside the clone ($PELIRAND_ROOT)" ;; esac
    case "$PELIRAND_ROOT/" in "$DEBIAN_ROOT"/*) root_die "the clone must not be inside $variable ($DEBIAN_ROOT)" ;; esac
}

# enter_root_namespace INNER_VARIABLE SCRIPT ARGS...: once per run (the outer
# one, INNER_VARIABLE unset): takes the root's lock, waiting for another run
# that uses it (the descriptor 9 is inherited by the run), clears mounts that a
# killed run left, and runs SCRIPT ARGS again in a private mount namespace, so
# that every mount made goes away with the run however it ends. Returns in the
# inner run, or where no private namespace can be made.
enter_root_namespace() {
    local inner="$1"
    shift
    [ -n "${!inner:-}" ] && return 0
    mkdir -p "$(dirname "$DEBIAN_ROOT")"
    exec 9>"$DEBIAN_ROOT.lock"
    if ! flock -n 9; then
        echo "== waiting for another run that uses $DEBIAN_ROOT"
        flock 9
    fi
    unmount_under "$DEBIAN_ROOT.partial"
    unmount_under "$DEBIAN_ROOT"
    if unshare --mount --propagation private true 2>/dev/null; then
        export "$inner"=1
        exec unshare --mount --propagation private -- bash "$@"
    fi
    echo "== no private mount namespace here; mounting in the host's own" >&2
}

# unmount_root_on_exit: on every end of the run, unmounts what was mounted in
# the root (and in its unfinished copy), keeping the run's exit status.
unmount_root_on_exit() {
    trap 'root_cleanup' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}
root_cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    unmount_under "$DEBIAN_ROOT.partial" || rc=1
    unmount_under "$DEBIAN_ROOT" || rc=1
    exit "$rc"
}

# logged LOG CMD...: runs CMD with its output in LOG, shown only if CMD fails.
logged() {
    local log="$1"
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        root_die "failed: $* (whole output in $log)"
    fi
}

# in_root CMD...: runs CMD inside the root with a clean environment and
# without the lock's descriptor.
in_root() {
    "${DEBIAN_ROOT_RUN[@]}" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LC_ALL=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive \
        "$@" 9>&-
}

# ensure_root FRESH MIRROR [PERSONALITY]: makes the root with debootstrap
# unless a complete one of this script's is there (FRESH=1: anew); a folder
# that is not the script's own is never removed. PERSONALITY (e.g. linux32)
# runs debootstrap.
ensure_root() {
    local fresh="$1" mirror="$2" personality=("${@:3}")
    local stage="$DEBIAN_ROOT.partial"
    if [ "$fresh" = 1 ] && [ -e "$DEBIAN_ROOT" ]; then
        [ -f "$DEBIAN_ROOT/$DEBIAN_ROOT_MARKER" ] || root_die "$DEBIAN_ROOT was not made by this script; not removing it"
        echo "== removing the old root $DEBIAN_ROOT"
        remove_tree "$DEBIAN_ROOT" || root_die "cannot remove $DEBIAN_ROOT"
    fi
    [ -f "$DEBIAN_ROOT/$DEBIAN_ROOT_MARKER" ] && return 0
    if [ -e "$DEBIAN_ROOT" ] && [ -n "$(ls -A "$DEBIAN_ROOT")" ]; then
        root_die "$DEBIAN_ROOT exists but was not made by this script; remove it or choose another folder"
    fi
    echo "== making a $DEBIAN_ROOT_ARCH Debian $DEBIAN_ROOT_SUITE root in $DEBIAN_ROOT from $mirror"
    remove_tree "$stage" || root_die "cannot clear $stage"
    mkdir -p "$stage"
    # debootstrap works in the unfinished copy, which is renamed once complete.
    logged "$DEBIAN_ROOT.debootstrap.log" \
        "${personality[@]}" debootstrap --arch="$DEBIAN_ROOT_ARCH" --variant=minbase "$DEBIAN_ROOT_SUITE" "$stage" "$mirror"
    unmount_under "$stage" || root_die "debootstrap left mounts in $stage"
    touch "$stage/$DEBIAN_ROOT_MARKER"
    if [ -d "$DEBIAN_ROOT" ]; then rmdir "$DEBIAN_ROOT"; fi
    mv "$stage" "$DEBIAN_ROOT"
}

# configure_root MIRROR SECURITY: the archive, the host's name service, and no
# services started by packages inside the root.
configure_root() {
    cat >"$DEBIAN_ROOT/etc/apt/sources.list" <<SOURCES
deb $1 $DEBIAN_ROOT_SUITE main
deb $1 $DEBIAN_ROOT_SUITE-updates main
deb $2 $DEBIAN_ROOT_SUITE-security main
SOURCES
    # Remove first: copying onto a symbolic link would write through it, on the host.
    rm -f "$DEBIAN_ROOT/etc/resolv.conf"
    if [ -e /etc/resolv.conf ]; then cp -L /etc/resolv.conf "$DEBIAN_ROOT/etc/resolv.conf"; fi
    printf '#!/bin/sh\nexit 101\n' >"$DEBIAN_ROOT/usr/sbin/policy-rc.d"
    chmod 755 "$DEBIAN_ROOT/usr/sbin/policy-rc.d"
}

# mount_root: /proc, /sys (read-only), /dev, and a private /tmp, so that
# local-socket names cannot meet the host's.
mount_root() {
    mkdir -p "$DEBIAN_ROOT/proc" "$DEBIAN_ROOT/sys" "$DEBIAN_ROOT/dev" "$DEBIAN_ROOT/tmp"
    mount -t proc proc "$DEBIAN_ROOT/proc"
    mount -t sysfs -o ro sysfs "$DEBIAN_ROOT/sys"
    mount --rbind /dev "$DEBIAN_ROOT/dev"
    mount --make-rslave "$DEBIAN_ROOT/dev"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$DEBIAN_ROOT/tmp"
}

# install_root_packages KEY PACKAGE...: installs the packages in the root with
# apt, unless the same list (with KEY: the archives, say) was installed last
# time. Sets ROOT_PACKAGES_CHANGED to 1 when it installed, else 0.
install_root_packages() {
    local key="$1" state="$DEBIAN_ROOT/var/lib/pelirand" want have
    shift
    want="$({ printf '%s\n' "$DEBIAN_ROOT_SUITE" "$key"; printf '%s\n' "$@" | sort -u; } | sha256sum | cut -d' ' -f1)"
    have="$(cat "$state/packages.sha256" 2>/dev/null || true)"
    ROOT_PACKAGES_CHANGED=0
    if [ "$want" = "$have" ]; then
        echo "== the root's packages are up to date ($DEBIAN_ROOT)"
        return 0
    fi
    ROOT_PACKAGES_CHANGED=1
    echo "== installing in the root: $*"
    mkdir -p "$state"
    rm -f "$state/packages.sha256"
    logged "$state/apt.log" in_root apt-get update
    logged "$state/apt.log" in_root apt-get install -y --no-install-recommends "$@"
    in_root apt-get clean
    echo "$want" >"$state/packages.sha256"
}
