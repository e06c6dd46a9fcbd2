#!/usr/bin/env bash
# Runs HALV.exe under Wine on simulated adapters: builds the Windows binaries, loads the
# simulator driver HALVSIM.sys with a population and starts HALV.exe against it.
#
#   scripts/run-halv.sh [population.json]      (default: sim/populations/default.json)
#
# With a display ($DISPLAY set) the window opens there; close it to end the run. Without one,
# HALV runs under Xvfb in a Wine desktop (so the window has its frame), the first disk is
# selected, a screenshot is saved and its path printed.
#
# Environment:
#   HALV_WIN_BUILD    build folder (default build/win)
#   HALV_SCREENSHOT   where the screenshot goes (default <build>/halv-screenshot.png)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/xvfb.sh
ROOT=$PWD
POPULATION=${1:-sim/populations/default.json}
case $POPULATION in /*) ;; *) POPULATION=$ROOT/$POPULATION ;; esac
[ -f "$POPULATION" ] || { echo "run-halv: no population file $POPULATION" >&2; exit 2; }
BUILD=${HALV_WIN_BUILD:-build/win}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
SHOT=${HALV_SCREENSHOT:-$BUILD/halv-screenshot.png}
case $SHOT in /*) ;; *) SHOT=$ROOT/$SHOT ;; esac
PREFIX=$BUILD/run-prefix
RUNDIR=$BUILD/run
LOG=$RUNDIR/run.log

scripts/deps.sh windows

echo "== building HALV.exe, the simulator driver and the launcher"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build "$BUILD" -j2 --target HALV HALVSIM halv_launcher >/dev/null
HALV_EXE=$BUILD/manager/win32/HALV.exe
SIM_SYS=$BUILD/sim/kernel/HALVSIM.sys
LAUNCHER=$BUILD/tests/e2e/halv_launcher.exe
echo "   HALV.exe: $(stat -c %s "$HALV_EXE") bytes"

mkdir -p "$RUNDIR"
rm -f "$RUNDIR/ready" "$LOG"

# ---- Only what this script starts is stopped at the end -------------------------------------
XVFB_PID=
cleanup() {
    WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$PREFIX timeout 20 wineserver -w >/dev/null 2>&1 || true
    if [ -n "$XVFB_PID" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

HEADLESS=0
if [ -z "${DISPLAY:-}" ]; then
    HEADLESS=1
    start_xvfb 150 199 "$RUNDIR/xvfb.log" || { echo "run-halv: no free X display for Xvfb" >&2; exit 1; }
fi

echo "== Wine prefix $PREFIX"
: "${HOME:=$(getent passwd "$(id -u)" | cut -d: -f6)}"
: "${HOME:=/root}"
export HOME WINEPREFIX=$PREFIX WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
if [ ! -f "$PREFIX/system.reg" ]; then
    timeout 300 wineboot -i >"$RUNDIR/wineboot.log" 2>&1
    timeout 60 wineserver -w
fi
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
# The caption buttons are drawn with this font; without it they show as letters.
[ -f /usr/share/wine/fonts/marlett.ttf ] && cp -n /usr/share/wine/fonts/marlett.ttf "$PREFIX/drive_c/windows/Fonts/" 2>/dev/null || true

echo "== starting HALV.exe on $(basename "$POPULATION")"
if [ "$HEADLESS" = 1 ]; then
    # A Wine desktop draws the window frames that a display without a window manager lacks.
    wine explorer /desktop=HALV,660x400 "$LAUNCHER" "$SIM_SYS" "$POPULATION" "$HALV_EXE" \
        --select-disk --ready-file "$RUNDIR/ready" --close-after-ms 2000 >"$LOG" 2>&1 &
    RUN_PID=$!
    for _ in $(seq 600); do
        [ -f "$RUNDIR/ready" ] && break
        kill -0 "$RUN_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -f "$RUNDIR/ready" ]; then
        cat "$LOG" >&2
        echo "run-halv: HALV.exe did not show its window" >&2
        exit 1
    fi
    sleep 0.5  # let the selection paint
    read -r _ X Y W H <"$RUNDIR/ready"
    mkdir -p "$(dirname "$SHOT")"
    import -window root "$RUNDIR/screen.png"
    convert "$RUNDIR/screen.png" -crop "${W}x${H}+${X}+${Y}" +repage "$SHOT"
    wait "$RUN_PID" || true
    grep -v '^$' "$LOG" || true
    echo "Screenshot: $SHOT"
else
    wine "$LAUNCHER" "$SIM_SYS" "$POPULATION" "$HALV_EXE" 2>&1 | tee "$LOG" || true
fi
