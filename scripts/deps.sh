#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs what building and testing romtool needs on a fresh Debian 12 machine.
# Does nothing when everything is already there.
set -euo pipefail
need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have g++ || need+=(g++)
have make || need+=(make)
have powerpc-linux-gnu-g++ || need+=(g++-powerpc-linux-gnu)
have qemu-ppc || need+=(qemu-user)
have python3 || need+=(python3)
# The e2e tests check every -json object against doc/romtool.schema.json.
python3 -c 'import jsonschema' 2>/dev/null || /usr/bin/python3 -c 'import jsonschema' 2>/dev/null ||
    need+=(python3-jsonschema)
have groff || need+=(groff-base)
have man || need+=(man-db)
have valgrind || need+=(valgrind)  # scripts/test.sh --valgrind
have mandoc || need+=(mandoc)      # man page lint
have lintian || need+=(lintian)    # scripts/package.sh
have shellcheck || need+=(shellcheck)
have readelf || need+=(binutils)
have ninja || need+=(ninja-build)
[ -f /usr/share/bash-completion/bash_completion ] || need+=(bash-completion)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# The kernel board (kernel_board/): a PowerPC kernel built from Debian's source, booted
# under qemu-system-ppc.
have qemu-system-ppc || need+=(qemu-system-ppc)
have powerpc-linux-gnu-gcc || need+=(gcc-powerpc-linux-gnu)
for tool in flex bison bc cpio; do have $tool || need+=($tool); done
[ -f /usr/src/linux-source-6.1.tar.xz ] || need+=(linux-source-6.1)
[ -f /usr/include/libelf.h ] || need+=(libelf-dev)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
