#!/usr/bin/env bash
# The end-to-end harness: builds the Windows configuration and runs every Windows test
# program under Wine, one at a time and each with a time limit, in a fresh Wine prefix with a
# display (Xvfb) and a wineserver of its own. The simulator driver and the bridge driver run
# in that prefix's winedevice.exe; their debug output (DbgPrint) and the service's event-log
# lines are collected in one driver log.
#
#   scripts/e2e.sh [ctest -R regex]
#
# Environment:
#   HALV_WIN_BUILD     build folder (default build/win)
#   HALV_E2E_TIMEOUT   seconds one test program may run (default 180) unless its TIMEOUT
#                      property says otherwise
#   HALV_E2E_KEEP=1    leave the prefix's processes running and print how to reach them
#   HALV_SHIPPED_DIRS  build folders whose shipped binaries are checked (default: the build)
#   HALV_E2E_EXEC      a shell command to run in the prepared prefix in place of the tests
#                      (scripts/bench.sh); its exit status is the script's
#   HALV_E2E_REPEAT    runs the chosen programs this many rounds over, in one prefix (default
#                      1; the install stage runs once); each round has a line of its own
#                      ("name#round"), so that "passes ten runs in a row" is one command:
#                      HALV_E2E_REPEAT=10 scripts/e2e.sh 'service_e2e|korrin_load_e2e'
#   HALV_RELEASE_DIR   the release whose package the install stage installs (default
#                      build/release; made by scripts/release.sh when missing or stale)
#
# Results: a line per program, the time of each stage, and a closing "N passed, N failed".
# For every failure its log, the driver log of its run and a screenshot are kept under
# <build>/e2e-artifacts/. Exit status 0 only when everything passed.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/xvfb.sh
ROOT=$PWD
BUILD=${HALV_WIN_BUILD:-build/win}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
TIMEOUT=${HALV_E2E_TIMEOUT:-180}
REPEAT=${HALV_E2E_REPEAT:-1}
FILTER=${1:-}
ART=$BUILD/e2e-artifacts
LOGS=$BUILD/e2e-logs
PREFIX=$BUILD/wineprefix
DRIVER_LOG=$ART/driver.log

# ---- Timing ------------------------------------------------------------------------------
declare -a STAGES=()
stage_start() { STAGE_NAME=$1; STAGE_T0=$(date +%s.%N); echo "== $1"; }
stage_end() {
    local t; t=$(awk -v a="$STAGE_T0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    STAGES+=("$(printf '%-28s %7s s' "$STAGE_NAME" "$t")")
}
print_stages() {
    echo "Stage times:"
    local s; for s in "${STAGES[@]}"; do echo "  $s"; done
}
die() { echo "e2e: $*" >&2; print_stages; echo "0 passed, 1 failed"; exit 1; }
[[ $REPEAT =~ ^[1-9][0-9]*$ ]] || die "HALV_E2E_REPEAT must be a whole number of rounds, not '$REPEAT'"

# ---- Processes this script starts, and only those, are stopped at the end ------------------
XVFB_PID=
SERVER_STARTED=0
cleanup() {
    if [ "${HALV_E2E_KEEP:-0}" = 1 ]; then
        echo "Kept running: WINEPREFIX=$PREFIX DISPLAY=${DISPLAY:-} (Xvfb pid ${XVFB_PID:-none})"
        return
    fi
    if [ "$SERVER_STARTED" = 1 ]; then
        WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1
        WINEPREFIX=$PREFIX timeout 20 wineserver -w >/dev/null 2>&1
    fi
    if [ -n "$XVFB_PID" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- 1. Packages ---------------------------------------------------------------------------
stage_start "packages"
scripts/deps.sh windows || die "installing packages failed"
stage_end

# ---- 2. Display ----------------------------------------------------------------------------
stage_start "display (Xvfb)"
mkdir -p "$ART" "$LOGS"
rm -f "$ART"/* "$LOGS"/* 2>/dev/null
start_xvfb 90 140 "$LOGS/xvfb.log" || die "no free X display for Xvfb"
echo "   DISPLAY=$DISPLAY"
stage_end

# ---- 3. A fresh Wine prefix and a wineserver that lives for the whole run ------------------
stage_start "Wine prefix"
: "${HOME:=$(getent passwd "$(id -u)" | cut -d: -f6)}"
: "${HOME:=/root}"
export HOME
export WINEPREFIX=$PREFIX WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
# A server left by an interrupted earlier run of this harness would hold the old prefix.
wineserver -k >/dev/null 2>&1 && timeout 20 wineserver -w >/dev/null 2>&1
rm -rf "$PREFIX"
WINEDEBUG=-all timeout 300 wineboot -i >"$LOGS/wineboot.log" 2>&1 || die "wineboot failed (see $LOGS/wineboot.log)"
timeout 60 wineserver -w
# services.exe and winedevice.exe (where the drivers run) take their environment and stderr
# from the first Wine process after the server starts: this one. DbgPrint appears on
# warn:debugstr, the service's event-log entries on the eventlog channel (their type and
# identifier on fixme:advapi, their text on eventlog), every dialog a service makes on +dialog
# (a service's message box is seen by no other process; its dialog line counts it), and every
# box a service hands to the console session on fixme:wtsapi (Wine's WTSSendMessageA is a stub).
# With -p the server
# and those processes stay up between the test programs.
start_wine() {
    wineserver -p || return 1
    SERVER_STARTED=1
    WINEDEBUG=fixme-all,fixme+advapi,fixme+wtsapi,warn+debugstr,+eventlog,+dialog \
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>>"$DRIVER_LOG"
}
stop_wine() {
    wineserver -k >/dev/null 2>&1
    timeout 20 wineserver -w >/dev/null 2>&1
    SERVER_STARTED=0
}
start_wine || die "starting Wine in the prefix failed (see $DRIVER_LOG)"
export WINEDEBUG=-all
export HALV_E2E_DRIVER_LOG=$DRIVER_LOG
export WINE_RUN_TIMEOUT=$TIMEOUT
stage_end

# ---- 4. Build --------------------------------------------------------------------------------
stage_start "build (Windows)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >"$LOGS/configure.log" 2>&1 \
    || { tail -40 "$LOGS/configure.log"; die "configuring $BUILD failed"; }
cmake --build "$BUILD" -j2 >"$LOGS/build.log" 2>&1 \
    || { grep -E "error|FAILED" -A5 "$LOGS/build.log" | head -60; die "building $BUILD failed"; }
# The kernel images the tests load pass the check that the released driver passes.
tools/check-kernel-image.py "$BUILD/driver/XAPHLINK.sys" "$BUILD/sim/kernel/HALVSIM.sys" \
    || die "a kernel image of $BUILD fails the kernel-image check"
stage_end

# ---- 4a. Or one command in the prepared prefix, in place of the tests ------------------------
if [ -n "${HALV_E2E_EXEC:-}" ]; then
    stage_start "command"
    bash -c "$HALV_E2E_EXEC"
    rc=$?
    stage_end
    cleanup
    trap - EXIT
    print_stages
    exit $rc
fi

passed=0; failed=0; declare -a FAILED=() RESULTS=()

# ---- 4b. The installer package on the prefix that nothing has touched yet -----------------------
# install_e2e (tests/packaging) installs the release's package, runs the installed service
# against the simulator, upgrades to a package one build newer, has the older one refused and
# uninstalls. The release is made again when a source is newer than its package.
RUN_INSTALL=0
if [ -z "$FILTER" ] || [[ install_e2e =~ $FILTER ]]; then RUN_INSTALL=1; fi
if [ "$RUN_INSTALL" = 1 ]; then
    stage_start "install tests"
    . scripts/lib/install-stage.sh
    run_install_stage || die "the install stage could not run (see $LOGS/release*.log)"
    stage_end
fi

# ---- 5. The Windows test programs, one at a time -----------------------------------------------
stage_start "Windows tests"
mapfile -t TESTS < <(ctest --test-dir "$BUILD" -N ${FILTER:+-R "$FILTER"} |
                     sed -n 's/^ *Test *#\([0-9]*\): *\(.*\)$/\1 \2/p')
[ ${#TESTS[@]} -gt 0 ] || [ "$RUN_INSTALL" = 1 ] || die "no Windows test programs found in $BUILD"
# Each program's own TIMEOUT property, where it sets one, is its limit (the load test needs
# more than most); HALV_E2E_TIMEOUT holds for the rest.
declare -A LIMITS=()
while read -r tname tlimit; do LIMITS[$tname]=$tlimit; done < <(
    ctest --test-dir "$BUILD" --show-only=json-v1 2>/dev/null | /usr/bin/python3 -c '
import json, sys
for test in json.load(sys.stdin).get("tests", []):
    for prop in test.get("properties", []):
        if prop["name"] == "TIMEOUT":
            print(test["name"], int(float(prop["value"])))')
for round in $(seq 1 "$REPEAT"); do
    for entry in "${TESTS[@]}"; do
        num=${entry%% *}; name=${entry#* }
        limit=${LIMITS[$name]:-$TIMEOUT}
        # Every round keeps its own log and artifacts under its own name.
        [ "$REPEAT" -gt 1 ] && name="${entry#* }#$round"
        log=$LOGS/$name.log
        mark=$(stat -c %s "$DRIVER_LOG" 2>/dev/null || echo 0)
        t0=$(date +%s.%N)
        WINE_RUN_TIMEOUT=$limit timeout -k 10 $((limit + 60)) \
            ctest --test-dir "$BUILD" -I "$num,$num" -V --timeout "$limit" >"$log" 2>&1
        rc=$?
        secs=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
        # A crash in winedevice.exe ends every driver of its process; it fails the run even when
        # the program that caused it did not notice.
        tail -c +$((mark + 1)) "$DRIVER_LOG" >"$LOGS/$name.driver.log" 2>/dev/null
        crash=$(grep -m1 -E "wine: Unhandled|Unhandled exception|wine: Assertion|Backtrace:" "$LOGS/$name.driver.log")
        if [ $rc -eq 0 ] && ! grep -q "tests passed, 0 tests failed" "$log"; then rc=1; fi
        cases=$(grep -m1 -oE "\[  PASSED  \] [0-9]+ tests?" "$log" | grep -oE "[0-9]+")
        if [ $rc -eq 0 ] && [ -z "$crash" ]; then
            passed=$((passed + 1))
            RESULTS+=("$(printf 'PASS  %-32s %6s s  %s' "$name" "$secs" "${cases:+$cases cases}")")
        else
            failed=$((failed + 1)); FAILED+=("$name")
            RESULTS+=("$(printf 'FAIL  %-32s %6s s  %s' "$name" "$secs" "${crash:+driver log: $crash}")")
            cp "$log" "$ART/$name.log"
            cp "$LOGS/$name.driver.log" "$ART/$name.driver.log"
            timeout 20 import -display "$DISPLAY" -window root "$ART/$name.png" >/dev/null 2>&1
            echo "---- $name failed (rc $rc); last lines of its log:"
            tail -40 "$log"
            if [ -n "$crash" ]; then
                echo "---- driver log:"
                grep -E -B4 -A12 "wine: Unhandled|Unhandled exception|Backtrace:" "$LOGS/$name.driver.log" | head -40
            fi
        fi
        echo "${RESULTS[-1]}"
        # A crashed winedevice.exe leaves its services half stopped: start Wine afresh (same
        # prefix) so that the next program does not fail for this one's fault.
        if [ -n "$crash" ]; then
            echo "   restarting Wine after the crash"
            stop_wine
            start_wine || die "restarting Wine failed"
        fi
    done
done
stage_end

# ---- 5b. What ships carries no test code ------------------------------------------------------
# Counted as one more program: the shipped binaries of the build folders in HALV_SHIPPED_DIRS
# (default: this build) must hold no test-only names.
stage_start "shipped binaries"
if scripts/check-shipped.sh ${HALV_SHIPPED_DIRS:-"$BUILD"} >"$LOGS/check-shipped.log" 2>&1; then
    passed=$((passed + 1))
    RESULTS+=("PASS  shipped binaries carry no test names")
else
    failed=$((failed + 1)); FAILED+=("check-shipped")
    RESULTS+=("FAIL  shipped binaries carry no test names (see $ART/check-shipped.log)")
    cp "$LOGS/check-shipped.log" "$ART/"
fi
cat "$LOGS/check-shipped.log"
stage_end

# ---- 6. Summary ------------------------------------------------------------------------------
stage_start "stop Wine and Xvfb"
cleanup
trap - EXIT
stage_end

echo
echo "Windows test programs:"
for r in "${RESULTS[@]}"; do echo "  $r"; done
[ ${#FAILED[@]} -gt 0 ] && echo "Failed: ${FAILED[*]} (logs and screenshots in $ART)"
print_stages
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
