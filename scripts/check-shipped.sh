#!/usr/bin/env bash
# Checks that what ships carries no test code: the shipped binaries of each build folder are
# searched (ASCII and UTF-16 strings, symbol and import names included) for names that exist
# only for the tests: hooks and queries, the probe DLL, the test framework, the simulator and
# the test programs.
#
#   scripts/check-shipped.sh [DIR...]      (default: build/win)
#
# Every folder must hold each binary of SHIPPED; those of LATER are checked when present.
# Exit status 0 when every binary is clean, 1 when one carries a test name, 2 when a folder
# lacks a shipped binary.
set -uo pipefail
cd "$(dirname "$0")/.."

# The binaries that ship, by file name (packaging/shipped-files), and those that will (checked
# once they are built).
. packaging/lib.sh
mapfile -t SHIPPED < <(shipped_files 1)
[ ${#SHIPPED[@]} -gt 0 ] || { echo "check-shipped: packaging/shipped-files names no file" >&2; exit 2; }
LATER=()

# Text that only test code brings in; matched without regard to case.
FORBIDDEN=(
    HALV_TEST_HOOKS TestQuery test_hooks test_query   # the old in-program test query
    halv_probe HalvProbe                              # the probe DLL the GUI tests load
    gtest googletest testing:: N7testing              # the test framework
    HALVSIM simctl SimPopulation sim_core sim_device  # the adapter simulator
    populations/ halv_e2e HALV_E2E _e2e.              # its populations, the e2e programs
    FakeKernel fake_kernel fake_ui FakeTree           # the native tests' fakes
    /tests/ 'tests\'                                  # paths of test sources
)

[ $# -gt 0 ] || set -- build/win
command -v strings >/dev/null || { echo "check-shipped: strings (binutils) is missing" >&2; exit 2; }

status=0
for dir in "$@"; do
    if [ ! -d "$dir" ]; then
        echo "check-shipped: FAIL  no build folder $dir" >&2
        status=2
        continue
    fi
    for name in "${SHIPPED[@]}" "${LATER[@]}"; do
        # Wine prefixes and test artifacts may hold copies; the build's own file is checked.
        mapfile -t files < <(find "$dir" \( -name '*prefix' -o -name 'e2e-*' \) -prune -o \
                                  -type f -name "$name" -print | sort)
        if [ ${#files[@]} -eq 0 ]; then
            if [[ " ${SHIPPED[*]} " == *" $name "* ]]; then
                echo "check-shipped: FAIL  $dir has no $name (not a build of what ships?)" >&2
                status=2
            fi
            continue
        fi
        for f in "${files[@]}"; do
            text=$( { strings -a -n 4 "$f"; strings -a -n 4 -e l "$f"; } 2>/dev/null)
            found=()
            for word in "${FORBIDDEN[@]}"; do
                grep -q -i -F -e "$word" <<<"$text" && found+=("$word")
            done
            if [ ${#found[@]} -eq 0 ]; then
                echo "check-shipped: OK    $f"
            else
                echo "check-shipped: FAIL  $f carries test-only text:" >&2
                for word in "${found[@]}"; do
                    grep -i -F -e "$word" <<<"$text" | sort -u | head -3 |
                        while IFS= read -r line; do printf '    [%s] %s\n' "$word" "$line"; done >&2
                done
                [ $status -eq 0 ] && status=1
            fi
        done
    done
done
exit $status
