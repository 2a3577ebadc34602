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
