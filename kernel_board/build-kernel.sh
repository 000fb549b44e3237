#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the guest kernel for the kernel board once and prints its build folder.
# The folder is keyed by the kernel source package version and the config fragment,
# so a changed fragment or a new kernel gets a fresh build and an unchanged one is reused.
# ROMTOOL_KBOARD_CACHE overrides the cache root (default /var/cache/romtool-kernel-board,
# or ~/.cache/romtool-kernel-board when that is not writable).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fragment=$here/kernel.config
tarball=/usr/src/linux-source-6.1.tar.xz
[ -f "$tarball" ] || { echo "build-kernel.sh: $tarball missing (apt-get install linux-source-6.1)" >&2; exit 1; }

root=${ROMTOOL_KBOARD_CACHE:-/var/cache/romtool-kernel-board}
if ! mkdir -p "$root" 2>/dev/null || [ ! -w "$root" ]; then
    root=${XDG_CACHE_HOME:-$HOME/.cache}/romtool-kernel-board
    mkdir -p "$root"
fi
version=$(dpkg-query -W -f='${Version}' linux-source-6.1 2>/dev/null || stat -c %Y "$tarball")
key=$( (echo "$version"; cat "$fragment") | sha256sum | cut -c1-16)
src=$root/src-$version/linux-source-6.1
obj=$root/build-$key

# One builder per key (another key may build at the same time); one unpacker per version.
exec 9>"$root/.lock-$key"
flock 9
if [ -f "$obj/.done" ]; then echo "$obj"; exit 0; fi
(
    flock 8
    if [ ! -f "$src/.unpacked" ]; then
        rm -rf "$root/src-$version" && mkdir -p "$root/src-$version"
        tar -C "$root/src-$version" -xf "$tarball"
        touch "$src/.unpacked"
    fi
) 8>"$root/.lock-src-$version"
rm -rf "$obj" && mkdir -p "$obj"
jobs=$(nproc)
kmake() { make -C "$src" O="$obj" ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu- "$@"; }
{
    kmake tinyconfig
    KCONFIG_CONFIG="$obj/.config" "$src/scripts/kconfig/merge_config.sh" -m -O "$obj" "$obj/.config" "$fragment"
    kmake olddefconfig
    # Every option the fragment asks for must have survived the dependency resolution.
    missing=0
    while IFS= read -r line; do
        case $line in CONFIG_*=y) grep -qx "$line" "$obj/.config" || { echo "not set: $line"; missing=1; } ;; esac
    done <"$fragment"
    [ $missing -eq 0 ]
    kmake -j"$jobs" vmlinux modules
} >"$obj/build.log" 2>&1 || { tail -n 40 "$obj/build.log" >&2; echo "build-kernel.sh: kernel build failed, log: $obj/build.log" >&2; exit 1; }
touch "$obj/.done"
echo "$obj"
