#!/bin/bash
# SPDX-License-Identifier: MIT
#
# The distribution builds of romtool, emulated: a Yocto-style build (Ninja,
# 'cmake --build --target install') and a Buildroot-style one (Makefiles,
# 'make install/fast'), each configured with a foreign PowerPC toolchain file
# that defines none of our macros and with the options of packaging/yocto or
# packaging/buildroot, installed into a staging root. Checks the staging root
# holds the board's files only and the program uses 64-bit time and offsets.
# Ends with "packaging: N passed, M failed" (scripts/test.sh adds the counts).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
work=build/distro
mkdir -p "$work"

passed=0 failed=0
for flavour in yocto buildroot; do
    echo "== distribution build: $flavour style"
    if python3 tests/packaging/test_distribution.py build --source . --work "$work" \
        --flavour "$flavour"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
echo "packaging: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
