#!/usr/bin/env bash
# The service's benchmark (not a test: it prints figures and judges nothing). For the native
# build, the event monitor's own code in-process over the simulator (korrin_bench); under
# Wine, the real Vexmond.exe under the Service Control Manager against XAPHLINK.sys and
# HALVSIM.sys in the e2e harness's prefix (korrin_bench_wine). Each prints signal-to-entry
# latency p50 and p99, entries per second in a four-adapter storm, the drain rate of a
# 250-record backlog on one edge-signalling adapter, and the CPU time of an idle service, alone
# and while one adapter claims records forever (two idle spells). Both are optimised release
# builds, in folders of their own.
#
#   scripts/bench.sh [native|wine|all]      (default all)
#
# Environment: HALV_BENCH_NATIVE_BUILD (default build/bench-native), HALV_BENCH_WIN_BUILD
# (default build/win-release); KORRIN_BENCH_EVENTS (latency events, default 1000 native and
# 300 under Wine), KORRIN_BENCH_STORM (records per adapter, default 20000 native and 2000
# under Wine), KORRIN_BENCH_IDLE (idle seconds, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WHAT=${1:-all}
NATIVE=${HALV_BENCH_NATIVE_BUILD:-build/bench-native}
WIN=${HALV_BENCH_WIN_BUILD:-build/win-release}
case $WIN in /*) ;; *) WIN=$ROOT/$WIN ;; esac
IDLE=${KORRIN_BENCH_IDLE:-60}
results=()

if [ "$WHAT" = native ] || [ "$WHAT" = all ]; then
    scripts/deps.sh native
    cmake -S . -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$NATIVE" -j2 --target korrin_bench >/dev/null
    echo "== native (idle $IDLE s)"
    out=$("$NATIVE/service/tests/korrin_bench" "${KORRIN_BENCH_EVENTS:-1000}" \
        "${KORRIN_BENCH_STORM:-20000}" "$IDLE")
    echo "$out"
    results+=("$out")
fi

if [ "$WHAT" = wine ] || [ "$WHAT" = all ]; then
    scripts/deps.sh windows
    # Configured as Release here; the harness configures it again without changing that.
    cmake -S . -B "$WIN" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    echo "== Wine (the e2e harness's set-up, then the benchmark; idle $IDLE s)"
    log=$WIN/bench-wine.log
    export KORRIN_BENCH_IDLE=$IDLE
    export KORRIN_BENCH_EVENTS=${KORRIN_BENCH_EVENTS:-300}
    export KORRIN_BENCH_STORM=${KORRIN_BENCH_STORM:-2000}
    HALV_WIN_BUILD=$WIN HALV_E2E_TIMEOUT=$((2 * IDLE + 600)) \
        HALV_E2E_EXEC="cmake/wine-run.sh '$WIN/service/tests/korrin_bench_wine.exe' \
            '$WIN/sim/kernel/HALVSIM.sys' '$WIN/service/Vexmond.exe' '$WIN/driver/XAPHLINK.sys'" \
        scripts/e2e.sh >"$log" 2>&1 || { tail -40 "$log"; echo "bench: the Wine run failed (see $log)" >&2; exit 1; }
    out=$(grep -E '^wine ' "$log" | tr -d '\r')
    echo "$out"
    results+=("$out")
fi

echo
echo "Figures:"
printf '%s\n' "${results[@]}"
