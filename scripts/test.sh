#!/usr/bin/env bash
# Every test: the native suites under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the Windows binaries end to end under Wine (skip those with HALV_SKIP_E2E=1).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
start=$(date +%s)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALV_SANITIZE=ON >/dev/null
cmake --build build/native -j2
ctest --test-dir build/native --output-on-failure -j2
echo "native tests: $(( $(date +%s) - start )) s"
if [ "${HALV_SKIP_E2E:-0}" != 1 ]; then
    scripts/e2e.sh
fi
