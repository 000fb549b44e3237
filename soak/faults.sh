#!/bin/bash
# SPDX-License-Identifier: MIT
# Many seeded runs of every romtool command under random driver faults on a virtual
# board (the rows of soak/faults_random.py), with a verdict per command.
#   soak/faults.sh [--build DIR] [--runs N per command, default 100] [--seed S]
# A build tree configured with the PowerPC toolchain runs romtool under qemu-ppc.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/host runs=100 seed=1
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --seed) seed=$2; shift 2 ;;
        *) echo "usage: $0 [--build DIR] [--runs N] [--seed S]" >&2; exit 2 ;;
    esac
done
build=$(cd "$build" && pwd)
export ROMTOOL=$build/romtool/romtool
export VBOARD=$PWD/virtual_board/vboard
export VBOARD_PRELOAD=$build/virtual_board/libvboard.so
export ROMTOOL_RUNNER=""
grep -q powerpc-linux-gnu "$build/CMakeCache.txt" && ROMTOOL_RUNNER="qemu-ppc -L /usr/powerpc-linux-gnu"
for f in "$ROMTOOL" "$VBOARD_PRELOAD"; do
    [ -e "$f" ] || { echo "faults: $f not built" >&2; exit 1; }
done
exec python3 soak/faults_random.py --runs "$runs" --seed "$seed"
