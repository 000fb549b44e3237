#!/bin/sh
# SPDX-License-Identifier: MIT
# The sample images of the README's tour and of romtool(1)'s examples, the same bytes every
# time, made in the current folder: bios.img (a 64 KiB BIOS image), head.bin and core.bin
# (the two files of an FPGA image) and fpga.bin.gz (both, compressed).
set -eu
seq 1 100000 | head -c 65536 >bios.img
seq 100001 200000 | head -c 4096 >head.bin
seq 200001 300000 | head -c 200000 >core.bin
cat head.bin core.bin | gzip -n >fpga.bin.gz
