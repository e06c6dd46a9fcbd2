#!/usr/bin/env bash
# Every test: the native suites under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the Windows binaries end to end under Wine (skip those with HALV_SKIP_E2E=1).
set -euo pipefail
cd "$(dirname "$0")/.."
# The monitoring set is the native one plus promtool and node_exporter for tests/monitoring.
scripts/deps.sh monitoring
start=$(date +%s)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALV_SANITIZE=ON >/dev/null
cmake --build build/native -j2
ctest --test-dir build/native --output-on-failure -j2 | tee build/native/ctest.log
native=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' build/native/ctest.log)
native_total=${native% *}; native_failed=${native#* }
# ---- Monitoring end to end (tests/monitoring/prometheus_e2e.py): the native halvctl's
# textfile through Debian's node_exporter into Prometheus with the alert rules, on loopback
# ports of its own; about 15 s, 60 s at most. A failure stops the run as a native test's
# does; a pass counts as one native test.
python3 tests/monitoring/prometheus_e2e.py build/native/manager/cli/halvctl . build/native/prometheus-e2e
native_total=$((native_total + 1))
# ---- end of the monitoring block
echo "native tests: $(( $(date +%s) - start )) s"
# An optimised native build without sanitizers must compile warning-free and pass too
# (HALV_SKIP_OPTIMISED=1 skips it).
if [ "${HALV_SKIP_OPTIMISED:-0}" != 1 ]; then
    cmake -S . -B build/native-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build/native-release -j2
    ctest --test-dir build/native-release --output-on-failure -j2 | tail -n 3
fi
# Every fuzz target for a few seconds, then every corpus replayed (HALV_SKIP_FUZZ=1 skips it).
if [ "${HALV_SKIP_FUZZ:-0}" != 1 ]; then
    FUZZ_SECONDS=${FUZZ_SECONDS:-5} scripts/fuzz.sh
fi
if [ "${HALV_SKIP_E2E:-0}" != 1 ]; then
    # The signed release with a throwaway certificate made for this run (never a real key in
    # the repository); the harness's install stage then installs that package.
    scripts/deps.sh release
    packaging/make-test-cert.sh build/ci-cert >/dev/null
    export HALV_SIGN_CERT=$PWD/build/ci-cert/test-signing.crt HALV_SIGN_KEY=$PWD/build/ci-cert/test-signing.key
    start=$(date +%s)
    scripts/release.sh
    tests/packaging/signing_test.sh
    echo "release: $(( $(date +%s) - start )) s"
    # The harness ends with "N passed, N failed" over the Windows test programs.
    set +e
    scripts/e2e.sh 2>&1 | tee build/e2e.log
    e2e_rc=${PIPESTATUS[0]}
    set -e
    e2e=$(tail -n 1 build/e2e.log | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p')
    e2e_passed=${e2e% *}; e2e_failed=${e2e#* }
    echo "native: $((native_total - native_failed)) passed, Windows programs: ${e2e_passed:-0} passed"
    echo "$((native_total - native_failed + ${e2e_passed:-0})) passed, $((native_failed + ${e2e_failed:-1})) failed"
    exit "$e2e_rc"
fi
