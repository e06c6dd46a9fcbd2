#!/usr/bin/env bash
# Builds the fuzz configuration (clang-14, libFuzzer, ASan+UBSan; fuzz/CMakeLists.txt) and
# runs each fuzz target for SECONDS (default: $FUZZ_SECONDS, else 30), one after another on
# one core, then replays the target's seed corpus and everything the run added. 0 seconds
# only replays.
#   scripts/fuzz.sh                  every target
#   scripts/fuzz.sh TARGET [SECONDS] one target (fuzz/targets/TARGET.cpp)
# Findings land in build/fuzz/runs/TARGET/ (crash-*, leak-*, timeout-*), with the run's log.
# Ends with "N passed, N failed" over the targets.
set -euo pipefail
cd "$(dirname "$0")/.."
only=${1:-}
seconds=${2:-${FUZZ_SECONDS:-30}}
scripts/deps.sh fuzz
build=${HALV_FUZZ_BUILD:-build/fuzz}
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j2

targets=()
for f in fuzz/targets/*.cpp; do
    t=$(basename "$f" .cpp)
    if [ -z "$only" ] || [ "$only" = "$t" ]; then targets+=("$t"); fi
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz target named '$only' (see fuzz/targets/)" >&2
    exit 2
fi

# The longest input each target needs: the BIOS image and the BIOS transfers carry 32 KiB.
max_len() {
    case "$1" in
        bios_update | channel_operations) echo 40000 ;;
        population_json) echo 16384 ;;
        *) echo 4096 ;;
    esac
}

passed=0
failed=0
for t in "${targets[@]}"; do
    bin=$build/fuzz_$t
    seeds=fuzz/corpus/$t
    run=$build/runs/$t
    mkdir -p "$run/corpus" "$seeds"
    rm -f "$run"/crash-* "$run"/leak-* "$run"/timeout-* "$run"/oom-*
    ok=1
    common=(-max_len="$(max_len "$t")" -timeout=25 -rss_limit_mb=2048 -artifact_prefix="$run/")
    # A target with a dictionary of its input's words gets it.
    [ -f "fuzz/$t.dict" ] && common+=(-dict="fuzz/$t.dict")
    if [ "$seconds" -gt 0 ]; then
        # New inputs go to the run's own corpus; the seeds in the repository stay as they are.
        # FUZZ_RUNS caps the executions as well (the benchmark: 10 million or an hour).
        if ! "$bin" "${common[@]}" -max_total_time="$seconds" ${FUZZ_RUNS:+-runs="$FUZZ_RUNS"} \
            -print_final_stats=1 \
            "$run/corpus" "$seeds" >"$run/fuzz.log" 2>&1; then
            ok=0
        fi
        # A run that fails at once prints no coverage line; the figures are then unknown.
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log" | tail -n 1)
        cov=$(grep -o 'cov: [0-9]*' "$run/fuzz.log" | tail -n 1 | cut -d' ' -f2 || true)
        took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$run/fuzz.log" | tail -n 1)
        echo "$t: ${execs:-?} executions in ${took:-$seconds} s, coverage ${cov:-?} edges"
    fi
    # Replay: every seed and every input the run kept, each once.
    if ! "$bin" "${common[@]}" -runs=0 "$seeds" "$run/corpus" >"$run/replay.log" 2>&1; then
        ok=0
    fi
    if [ $ok -eq 1 ]; then
        passed=$((passed + 1))
        echo "$t: passed"
    else
        failed=$((failed + 1))
        echo "$t: FAILED (see $run/)"
        grep -h -m 3 -E 'property failed|ERROR: (Address|libFuzzer|Undefined)|runtime error' \
            "$run/fuzz.log" "$run/replay.log" 2>/dev/null || true
        ls "$run" | grep -E '^(crash|leak|timeout|oom)-' | sed "s|^|  $run/|" || true
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
