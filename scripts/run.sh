#!/usr/bin/env bash
# The main job on the simulator's default population.
set -euo pipefail
cd "$(dirname "$0")/.."
# "scripts/run.sh halvctl ARGS..." runs the console program natively over the simulator instead.
if [ "${1:-}" = halvctl ]; then
    shift
    scripts/deps.sh native
    cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALV_SANITIZE=ON >/dev/null
    cmake --build build/native -j2 --target halvctl >/dev/null
    exec build/native/manager/cli/halvctl "$@"
fi
if [ -x scripts/run-halv.sh ] && [ "${HALV_TEXT:-0}" != 1 ]; then
    exec scripts/run-halv.sh "$@"
fi
scripts/deps.sh native
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALV_SANITIZE=ON >/dev/null
cmake --build build/native -j2 --target halv-tree
build/native/tools/halv-tree "$@"
