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
