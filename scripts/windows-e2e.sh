#!/usr/bin/env bash
# Runs the Windows build under Wine, end to end; called by scripts/test-windows.sh
# inside its Debian root (builds in /build/i686 and /build/x86_64, the prebuilt
# files in /files and /opt/pelirand-windows). Reference pages made on Linux with
# the same settings, if any, are in /build/reference/<mechanism>.pnm.
set -euo pipefail

fail() { echo "test-windows: $*" >&2; exit 1; }

# deploy ARCH: the Qt, libtiff/libjpeg and MinGW run-time DLLs beside the programs.
deploy() {
    local arch="$1" bin="/build/$1/bin" opt="/opt/pelirand-windows/$1" qt
    qt="$opt/qt5-$arch-mingw"
    for dll in Qt5Core Qt5Network Qt5Gui Qt5Widgets; do
        cp -u "$qt/bin/$dll.dll" "$bin/"
    done
    mkdir -p "$bin/platforms"
    cp -u "$qt/plugins/platforms/qwindows.dll" "$qt/plugins/platforms/qoffscreen.dll" "$bin/platforms/"
    cp -u "$opt"/deps/bin/*.dll "$bin/"
    local runtime
    for runtime in libstdc++-6.dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libwinpthread-1.dll zlib1.dll; do
        local found
        found="$(find "/usr/lib/gcc/$arch-w64-mingw32" "/usr/$arch-w64-mingw32" -name "$runtime" 2>/dev/null |
            grep -v -- '-win32' | head -n 1 || true)"
        [ -n "$found" ] && cp -u "$found" "$bin/"
    done
    return 0
}

deploy i686
if [ -d /build/x86_64/bin ]; then deploy x86_64; fi
cp -u /files/i686/TWAINDSM.dll /build/i686/bin/

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=:77
Xvfb :77 -nolisten tcp >/build/xvfb.log 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT

status=0

# A kernel without IA32 emulation runs no 32-bit Linux program, and so no
# 32-bit Wine process: the 32-bit bridge cannot run there.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "== SKIPPED: this kernel runs no 32-bit programs (no IA32 emulation): no 32-bit run under Wine"
    run32=0
else
    run32=1
fi

# What the builds gave.
ls -l /build/i686/bin /build/i686/bin/twain_32
if [ -d /build/x86_64/bin ]; then ls -l /build/x86_64/bin; fi
for f in /build/i686/bin/pelirand.exe /build/i686/bin/libpelirand-client.dll \
    /build/i686/bin/twain_32/pelirand-sim.ds /build/x86_64/bin/libpelirand-client.dll; do
    [ -f "$f" ] || fail "$f was not built"
done
# The DSM finds a source by its undecorated DS_Entry.
i686-w64-mingw32-objdump -p /build/i686/bin/twain_32/pelirand-sim.ds | grep -qw 'DS_Entry' ||
    fail "pelirand-sim.ds does not export DS_Entry"

if [ "$run32" = 1 ]; then
    prefix32=/build/prefix32
    if [ ! -f "$prefix32/system.reg" ]; then
        echo "== making a 32-bit Wine prefix"
        WINEARCH=win32 WINEPREFIX="$prefix32" wineboot -i >/build/wineboot32.log 2>&1
    fi
    echo "== 32-bit: the bridge starts under Wine"
    WINEPREFIX="$prefix32" wine /build/i686/bin/pelirand.exe --version || status=1
    WINEPREFIX="$prefix32" wineserver -k 2>/dev/null || true
fi
exit "$status"
