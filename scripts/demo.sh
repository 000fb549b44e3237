#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds romtool and the virtual board for the host, makes a fresh board in a
# temporary directory and runs a short, real session on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/demo -DROMTOOL_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null

board=$(mktemp -d /tmp/romtool-board.XXXXXX)
trap 'rm -rf "$board"' EXIT
vboard=virtual_board/vboard
export VBOARD_PRELOAD=$PWD/build/demo/virtual_board/libvboard.so
romtool=$PWD/build/demo/romtool/romtool

step() {
    echo
    echo "\$ romtool $*"
    "$vboard" run "$board" -- "$romtool" "$@" || echo "(exit status $?)"
}

"$vboard" create "$board"
echo "virtual board in $board:"
"$vboard" list "$board"

# A BIOS image: 64-byte header, CRC slot, body; 128 KiB of a repeating pattern.
image=$board/bios.img
python3 - "$image" <<'PY'
import sys
body = bytes((i * 7 + 3) & 0xFF for i in range(128 * 1024 - 0x44))
open(sys.argv[1], "wb").write(b"BIOS-DEMO".ljust(0x40, b"\0") + b"\0\0\0\0" + body)
PY

step -dev bios0 -i
step -dev bios0 -e
step -dev bios0 -pbios "$image"
step -dev bios0 -r 32
step -dev bios0 -dump "$board/bios0-copy.bin"
step -get serverip
step -set bootfile zImage-demo
step -get bootfile
step -list
