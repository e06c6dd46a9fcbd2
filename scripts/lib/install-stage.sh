# The install stage of scripts/e2e.sh, sourced by it: the release's package and one a build
# newer, then install_e2e (tests/packaging/install_e2e.cpp) on the harness's fresh prefix.
# Uses the harness's BUILD, LOGS, ART, DRIVER_LOG, TIMEOUT and its result lists.

# The package of the release in HALV_RELEASE_DIR (default build/release), made again by
# scripts/release.sh when it is missing or older than any source it is built from. Signing
# follows HALV_SIGN_CERT and HALV_SIGN_KEY as for the release itself.
install_stage_packages() {
    local rel=${HALV_RELEASE_DIR:-build/release}
    case $rel in /*) ;; *) rel=$ROOT/$rel ;; esac
    local version=${HALV_VERSION:-$(head -n1 packaging/product-version | tr -d '[:space:]')}
    INSTALL_OLDER=$rel/HALV-$version-x64.msi
    if [ ! -f "$INSTALL_OLDER" ] ||
        [ -n "$(find channel manager service driver packaging cmake CMakeLists.txt -newer "$INSTALL_OLDER" -print -quit)" ]; then
        echo "   making the release $version"
        HALV_VERSION=$version HALV_RELEASE_DIR=$rel scripts/release.sh >"$LOGS/release.log" 2>&1 || return 1
    fi
    # The newer package: the same sources one build higher, so that every installed file
    # changes its version in the upgrade.
    local major=${version%%.*} rest=${version#*.}
    local minor=${rest%%.*} build=${rest#*.}
    local next=$major.$minor.$((build + 1))
    echo "   making a newer package $next to upgrade to"
    HALV_VERSION=$next HALV_RELEASE_DIR=$BUILD/release-next scripts/release.sh \
        >"$LOGS/release-next.log" 2>&1 || return 1
    INSTALL_NEWER=$BUILD/release-next/HALV-$next-x64.msi
}

run_install_stage() {
    install_stage_packages || return 1
    local name=install_e2e log=$LOGS/install_e2e.log program sim
    program=$(find "$BUILD" -name install_e2e.exe -print -quit)
    sim=$(find "$BUILD" -name HALVSIM.sys -print -quit)
    [ -n "$program" ] && [ -n "$sim" ] || { echo "e2e: install_e2e.exe or HALVSIM.sys is not built" >&2; return 1; }
    local mark t0 rc secs crash cases
    mark=$(stat -c %s "$DRIVER_LOG" 2>/dev/null || echo 0)
    t0=$(date +%s.%N)
    WINE_RUN_TIMEOUT=$((TIMEOUT * 2)) timeout -k 10 $((TIMEOUT * 2 + 60)) \
        cmake/wine-run.sh "$program" "$sim" "$INSTALL_OLDER" "$INSTALL_NEWER" >"$log" 2>&1
    rc=$?
    secs=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    tail -c +$((mark + 1)) "$DRIVER_LOG" >"$LOGS/$name.driver.log" 2>/dev/null
    crash=$(grep -m1 -E "wine: Unhandled|Unhandled exception|wine: Assertion|Backtrace:" "$LOGS/$name.driver.log")
    if [ $rc -eq 0 ] && ! grep -q "^\[  PASSED  \]" "$log"; then rc=1; fi
    cases=$(grep -m1 -oE "\[  PASSED  \] [0-9]+ tests?" "$log" | grep -oE "[0-9]+")
    if [ $rc -eq 0 ] && [ -z "$crash" ]; then
        passed=$((passed + 1))
        RESULTS+=("$(printf 'PASS  %-32s %6s s  %s' "$name" "$secs" "${cases:+$cases cases}")")
    else
        failed=$((failed + 1)); FAILED+=("$name")
        RESULTS+=("$(printf 'FAIL  %-32s %6s s  %s' "$name" "$secs" "${crash:+driver log: $crash}")")
        cp "$log" "$ART/$name.log"
        cp "$LOGS/$name.driver.log" "$ART/$name.driver.log"
        echo "---- $name failed (rc $rc); last lines of its log:"
        tail -60 "$log"
    fi
    echo "${RESULTS[-1]}"
    # The times msiexec took, for the record.
    grep -E "^\[   TIME   \]" "$log" | sed 's/^/   /'
    echo "   package: $(basename "$INSTALL_OLDER") $(stat -c %s "$INSTALL_OLDER") bytes"
    if [ -n "$crash" ]; then
        echo "   restarting Wine after the crash"
        stop_wine
        start_wine || return 1
    fi
    return 0
}
