#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages into build/packages/:
#   romtool_<version>_powerpc.deb         the tool, for the board
#   romtool-vboard_<version>_amd64.deb    the virtual board, for the host
#                                         (with the board's preload library too)
# and checks them: contents and control fields, unpacked into scratch roots
# (dpkg -x, nothing is installed on the system), compared with a DESTDIR
# install, and the unpacked programs run on a virtual board.
# Needs what scripts/deps.sh installs, and dpkg-deb, which every Debian has.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
out=build/packages
scratch=build/packages-check
board_build=build/package-ppc
host_build=build/package-host

say() { echo "== $*"; }
die() { echo "package.sh: $*" >&2; exit 1; }

build() {
    local dir=$1; shift
    say "$dir: build"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DROMTOOL_TESTS=OFF \
        -DROMTOOL_DEBIAN_DOCS=ON "$@" \
        >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; die "configuring $dir failed"; }
    cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 \
        || { tail -n 60 "$dir.build.log"; die "building $dir failed"; }
    rm -f "$dir"/packages/*.deb
    (cd "$dir" && cpack >cpack.log 2>&1) || { cat "$dir/cpack.log"; die "cpack in $dir failed"; }
    cp "$dir"/packages/*.deb "$out/"
}

mkdir -p build
rm -rf "$out" "$scratch"
mkdir -p "$out" "$scratch"

build "$board_build" -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
# The board's preload library, stripped, for the host package.
DESTDIR="$PWD/$scratch/board-preload" cmake --install "$board_build" --prefix /usr \
    --component vboard --strip >/dev/null
board_preload=$scratch/board-preload/usr/lib/vboard/libvboard.so
[ -f "$board_preload" ] || die "no libvboard.so in the board build"
build "$host_build" -DROMTOOL_VBOARD_BOARD_PRELOAD="$PWD/$board_preload"

# --- checks ---------------------------------------------------------------------
failed=0
check() { if ! "$@"; then failed=1; fi; }
bad() { echo "FAIL: $*"; return 1; }

field() { dpkg-deb -f "$1" "$2"; }

# The ELF machine of a file, as readelf names it.
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }

# Every shared library the package's own binaries (those of machine $3) load
# must come from a declared dependency, and the libc6 version must cover the
# newest glibc symbol version used.
check_depends() {
    local deb=$1 root=$2 arch_machine=$3 depends names lib pkg f glibc min
    depends=$(field "$deb" Depends)
    names=" $(sed -E 's/ *\([^)]*\)//g; s/,/ /g' <<<"$depends") "
    for f in $(find "$root" -type f); do
        readelf -h "$f" >/dev/null 2>&1 || continue
        [ "$(machine "$f")" = "$arch_machine" ] || continue
        for lib in $(readelf -d "$f" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
            case $lib in
                libc.so.6|libm.so.6|libdl.so.2|libpthread.so.0|ld*.so*) pkg=libc6 ;;
                libstdc++.so.6) pkg=libstdc++6 ;;
                libgcc_s.so.1) pkg=libgcc-s1 ;;
                *) bad "$(basename "$deb"): ${f#$root/} needs $lib, from no known package"; return 1 ;;
            esac
            [[ $names == *" $pkg "* ]] \
                || { bad "$(basename "$deb"): ${f#$root/} needs $lib but Depends lacks $pkg"; return 1; }
        done
        glibc=$(readelf --dyn-syms -W "$f" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
        min=$(sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p' <<<"$depends")
        if [ -n "$glibc" ] && { [ -z "$min" ] || dpkg --compare-versions "$min" lt "$glibc"; }; then
            bad "$(basename "$deb"): ${f#$root/} uses GLIBC_$glibc, Depends says libc6 (>= ${min:-any})"
            return 1
        fi
    done
}

# The files of a package and of the DESTDIR install of its component agree.
check_same_as_install() {
    local deb=$1 root=$2 build=$3 component=$4 dest="$scratch/install-$4"
    DESTDIR="$PWD/$dest" cmake --install "$build" --prefix /usr --component "$component" >/dev/null
    diff <(cd "$root" && find . -type f | sort) <(cd "$dest" && find . -type f | sort) \
        || bad "$(basename "$deb") and 'cmake --install --component $component' differ"
}

check_files() {
    local deb=$1 root=$2 f listing; shift 2
    listing=$(dpkg-deb -c "$deb")
    for f in "$@"; do
        grep -q " \./$f\$" <<<"$listing" || { bad "$(basename "$deb") lacks $f"; return 1; }
        [ -f "$root/$f" ] || { bad "$f not unpacked from $(basename "$deb")"; return 1; }
    done
}

romtool_deb=$(ls "$out"/romtool_*_powerpc.deb 2>/dev/null || true)
vboard_deb=$(ls "$out"/romtool-vboard_*_amd64.deb 2>/dev/null || true)
[ -n "$romtool_deb" ] || die "no romtool_*_powerpc.deb in $out"
[ -n "$vboard_deb" ] || die "no romtool-vboard_*_amd64.deb in $out"

say "check $(basename "$romtool_deb")"
rroot="$scratch/romtool"
dpkg -x "$romtool_deb" "$rroot"
check check_files "$romtool_deb" "$rroot" usr/bin/romtool usr/share/man/man1/romtool.1.gz \
    usr/share/bash-completion/completions/romtool usr/share/romtool/romtool.schema.json \
    usr/share/doc/romtool/copyright \
    usr/share/doc/romtool/changelog.Debian.gz
[ "$(field "$romtool_deb" Package)" = romtool ] || check bad "romtool package name"
[ "$(field "$romtool_deb" Architecture)" = powerpc ] || check bad "romtool architecture"
[ "$(machine "$rroot/usr/bin/romtool")" = PowerPC ] || check bad "usr/bin/romtool is not a PowerPC program"
check check_depends "$romtool_deb" "$rroot" PowerPC
check check_same_as_install "$romtool_deb" "$rroot" "$board_build" romtool

say "check $(basename "$vboard_deb")"
vroot="$scratch/vboard"
dpkg -x "$vboard_deb" "$vroot"
check check_files "$vboard_deb" "$vroot" usr/bin/vboard usr/lib/vboard/vboard \
    usr/lib/vboard/libvboard.so usr/lib/vboard/powerpc/libvboard.so usr/share/man/man1/vboard.1.gz \
    usr/share/doc/romtool-vboard/README.md usr/share/doc/romtool-vboard/copyright \
    usr/share/doc/romtool-vboard/changelog.Debian.gz
[ "$(field "$vboard_deb" Package)" = romtool-vboard ] || check bad "vboard package name"
[ "$(field "$vboard_deb" Architecture)" = amd64 ] || check bad "vboard architecture"
grep -q python3 <<<"$(field "$vboard_deb" Depends)" || check bad "romtool-vboard does not depend on python3"
grep -q qemu-user <<<"$(field "$vboard_deb" Suggests)" || check bad "romtool-vboard does not suggest qemu-user"
[ "$(machine "$vroot/usr/lib/vboard/libvboard.so")" = "Advanced Micro Devices X86-64" ] \
    || check bad "usr/lib/vboard/libvboard.so is not an x86-64 library"
[ "$(machine "$vroot/usr/lib/vboard/powerpc/libvboard.so")" = PowerPC ] \
    || check bad "usr/lib/vboard/powerpc/libvboard.so is not a PowerPC library"
check check_depends "$vboard_deb" "$vroot" "Advanced Micro Devices X86-64"
check check_same_as_install "$vboard_deb" "$vroot" "$host_build" vboard

say "run the unpacked packages"
# The board's romtool from its package, on a board made by the unpacked
# front end, with the board's preload library from the vboard package.
board="$scratch/board"
env -u VBOARD_PRELOAD "$vroot/usr/bin/vboard" create "$board" >/dev/null || check bad "unpacked vboard create failed"
run_on_board() {
    env -u VBOARD_PRELOAD "$vroot/usr/bin/vboard" run --preload "$PWD/$vroot/usr/lib/vboard/powerpc/libvboard.so" \
        --runner 'qemu-ppc -L /usr/powerpc-linux-gnu' "$board" -- "$PWD/$rroot/usr/bin/romtool" "$@"
}
set +e
usage=$(run_on_board); status=$?
got=$(run_on_board -set pkgcheck ok && run_on_board -get pkgcheck)
set -e
[ "$status" -eq 1 ] && [ "${usage%%$'\n'*}" = "Usage: romtool" ] \
    || check bad "unpacked romtool without arguments: status $status, output '${usage:0:40}'"
[ "$got" = "pkgcheck = ok" ] || check bad "unpacked romtool -set/-get on the virtual board gave '$got'"
# Without --preload the front end uses the host library installed with it.
preload=$(env -u VBOARD_PRELOAD "$vroot/usr/bin/vboard" run "$board" -- /bin/sh -c 'printf %s "$LD_PRELOAD"') || true
[ "$preload" = "$(realpath "$vroot/usr/lib/vboard/libvboard.so")" ] \
    || check bad "unpacked vboard preloads '$preload' by default"

say "lintian"
# Errors and warnings fail; an override carries its reason in packaging/debian.
set +e
lint=$(lintian --fail-on error,warning "$romtool_deb" "$vboard_deb" 2>&1); lint_status=$?
set -e
grep -v '^running with root privileges is not recommended!$' <<<"$lint" || true
[ "$lint_status" -eq 0 ] || check bad "lintian reports errors or warnings (status $lint_status)"

echo
ls -l "$out"
[ "$failed" -eq 0 ] || die "package checks failed"
echo "packages built and checked"
