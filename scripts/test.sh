#!/bin/bash
# SPDX-License-Identifier: MIT
# The whole test suite: host, host with ASan+UBSan, host with TSan (thread layer
# and stress tests), the board build under qemu-ppc and on the kernel board, a smoke run
# of every fuzz target, and emulated distribution builds (scripts/check_packaging.sh).
# scripts/test.sh --valgrind: only the host build's end-to-end tests, with romtool under
# valgrind memcheck (a leak or an invalid access fails the test).
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1
jobs=$(nproc)

configure_and_build() {
    local dir=$1; shift
    # Warnings are fatal in every tree built here (the project's default leaves them
    # warnings, for distribution builds with newer compilers).
    cmake -S . -B "build/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROMTOOL_WERROR=ON "$@" \
        >"build/$dir.configure.log" 2>&1 \
        || { cat "build/$dir.configure.log"; return 1; }
    cmake --build "build/$dir" -j"$jobs" >"build/$dir.build.log" 2>&1 \
        || { tail -n 60 "build/$dir.build.log"; return 1; }
}

passed=0 failed=0 status=0
run_suite() {
    local dir=$1 label=$2; shift 2
    echo "== $dir: build"
    if ! configure_and_build "$dir" "$@"; then
        echo "== $dir: BUILD FAILED"; status=1; failed=$((failed + 1)); return
    fi
    echo "== $dir: test"
    local args=(--test-dir "build/$dir" --output-on-failure --no-tests=error -j"$jobs")
    [ -n "$label" ] && args+=(-L "$label")
    ctest "${args[@]}" 2>&1 | tee "build/$dir.test.log" | grep -v -E '^ *([0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|Start +[0-9]+: )'
    local rc=${PIPESTATUS[0]}
    local line p f
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "build/$dir.test.log" | tail -n 1)
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    p=$(( $(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line") - f ))
    passed=$((passed + ${p:-0})); failed=$((failed + ${f:-0}))
    [ "$rc" -eq 0 ] || status=1
}

mkdir -p build
if [ "${1:-}" = "--valgrind" ]; then
    export ROMTOOL_VALGRIND=1
    run_suite valgrind e2e -DROMTOOL_E2E_TIMEOUT=5400
    echo
    echo "total (e2e under valgrind): $passed passed, $failed failed"
    exit $status
fi
run_suite host ""
run_suite asan "" -DROMTOOL_SANITIZE=address
run_suite tsan threads -DROMTOOL_SANITIZE=thread
# The board build runs its e2e files twice: under qemu-user on the preload board, and (label
# "kernel") in a PowerPC Linux guest on our driver module, whose kernel is built once into a
# cache (kernel_board/README.md).
run_suite ppc "" -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake -DROMTOOL_KERNEL_BOARD=ON

echo "== fuzz: smoke run of every target"
if scripts/fuzz.sh --smoke >build/fuzz-smoke.log 2>&1; then
    passed=$((passed + 1))
else
    tail -n 40 build/fuzz-smoke.log; echo "== fuzz: FAILED"
    failed=$((failed + 1)); status=1
fi
# --- packaging: emulated distribution builds (Yocto- and Buildroot-style) ----------
echo "== packaging: distribution builds"
scripts/check_packaging.sh >build/packaging.log 2>&1
packaging_status=$?
grep -v '^packaging: ' build/packaging.log | grep -E '^(==|FAIL|[a-z]+-style build)' || true
[ "$packaging_status" -eq 0 ] || { tail -n 40 build/packaging.log; echo "== packaging: FAILED"; status=1; }
line=$(grep -E '^packaging: [0-9]+ passed, [0-9]+ failed$' build/packaging.log | tail -n 1)
if [ -n "$line" ]; then
    passed=$((passed + $(sed -E 's/^packaging: ([0-9]+) passed.*/\1/' <<<"$line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")))
else
    failed=$((failed + 1))
fi

echo
echo "total: $passed passed, $failed failed"
exit $status
