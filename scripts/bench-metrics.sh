#!/usr/bin/env bash
# halvctl metrics' benchmark (not a test: it prints figures and judges nothing): the time of one
# collection and its requests against discovery's alone, for the default population and for
# four adapters with every port full, in an optimised native build over the simulator
# in-process (tests/cli/metrics_bench.cpp). The simulator answers at once: the figures are the
# tool's own cost and its request count, which on a host multiplies by the adapter's latency.
#
#   scripts/bench-metrics.sh [ROUNDS]      (default 200 collections of the default population,
#                                           a quarter of that of the full one)
# Environment: HALV_BENCH_NATIVE_BUILD (default build/bench-native).
set -euo pipefail
cd "$(dirname "$0")/.."
NATIVE=${HALV_BENCH_NATIVE_BUILD:-build/bench-native}
scripts/deps.sh native
cmake -S . -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$NATIVE" -j2 --target halvctl_metrics_bench >/dev/null
"$NATIVE/tests/cli/halvctl_metrics_bench" "${1:-200}"
