################################################################################
#
# romtool
#
################################################################################
# SPDX-License-Identifier: MIT
#
# For a BR2_EXTERNAL tree (package/romtool/). Set ROMTOOL_SITE to the project's
# repository, or build from a checkout with ROMTOOL_OVERRIDE_SRCDIR in local.mk.
# tests/packaging checks the version against the project's and the LICENSE
# hash in romtool.hash.

ROMTOOL_VERSION = 0.1.0
ROMTOOL_SITE ?= git://romtool.invalid/romtool.git
ROMTOOL_SITE_METHOD = git
ROMTOOL_LICENSE = MIT
ROMTOOL_LICENSE_FILES = LICENSE
# The tests run on the build machine (scripts/test.sh); the virtual board is a
# host tool, not installed into the target by default.
ROMTOOL_CONF_OPTS = -DROMTOOL_TESTS=OFF

$(eval $(cmake-package))
