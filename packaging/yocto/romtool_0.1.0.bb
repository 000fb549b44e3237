# SPDX-License-Identifier: MIT
#
# romtool for an OpenEmbedded/Yocto image. Copy into a layer's
# recipes-devtools/romtool/ and set ROMTOOL_GIT_URI and SRCREV in the
# distribution's configuration (or use externalsrc on a checkout).
# The file name carries the version; tests/packaging checks it against the
# project's version and LIC_FILES_CHKSUM against LICENSE.
SUMMARY = "Flash and environment tool for the zelk board"
DESCRIPTION = "romtool shows, dumps, erases and programs the flash devices of \
the zelk board (plain, BIOS and FPGA images with their CRC) and reads and \
writes the board's environment, through the zelk driver's nodes under /dev/zelk."
SECTION = "utils"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=f31ae5cd204f49ded3713fa46590f917"

ROMTOOL_GIT_URI ??= "git://romtool.invalid/romtool.git;protocol=https"
SRC_URI = "${ROMTOOL_GIT_URI};branch=main"
S = "${WORKDIR}/git"

# The project sets 64-bit time_t and off_t on 32-bit glibc targets itself.
# The tests run on the build machine (scripts/test.sh), not in the image build;
# the virtual board is a host tool and is not installed by default.
inherit cmake bash-completion
EXTRA_OECMAKE = "-DROMTOOL_TESTS=OFF"

# Installed: ${bindir}/romtool, romtool(1) (in ${PN}-doc), the bash
# completion (in ${PN}-bash-completion) and ${datadir}/romtool/romtool.schema.json,
# the schema of romtool -json's object.
FILES:${PN} += "${datadir}/romtool"
