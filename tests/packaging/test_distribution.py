#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""romtool as distributions build it.

  time64 PROGRAM: a 32-bit glibc PROGRAM uses 64-bit time and offsets
  in-step --source SRC: recipes, changelog and man pages carry the version and LICENSE sums
  build --source SRC --work DIR [--flavour yocto|buildroot]...: the recipe's build, staged
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

# The 32-bit time_t or off_t forms of what romtool calls: glibc redirects each to a
# 64-bit entry point under _TIME_BITS=64 and _FILE_OFFSET_BITS=64, in every source file.
# poll is not among them: its timeout is an int of milliseconds, and glibc has one entry.
BANNED_32BIT = set("""
    open openat lseek mmap pread pwrite ftruncate fopen stat fstat lstat fstatat fcntl ioctl
    time gettimeofday clock_gettime clock_nanosleep nanosleep mktime localtime localtime_r
    gmtime_r pthread_cond_timedwait pthread_cond_clockwait pthread_mutex_timedlock sem_timedwait
    select ppoll futimens utimensat
""".split())
REQUIRED_64BIT = {"__ioctl_time64", "lseek64"}  # romtool always makes requests and seeks
BOARD_FILES = {"usr/bin/romtool", "usr/share/man/man1/romtool.1.gz",
               "usr/share/bash-completion/completions/romtool",
               "usr/share/romtool/romtool.schema.json"}


def fail(msg):
    print("FAIL: " + msg)
    return 1


def check_time64(program):
    out = subprocess.run(["readelf", "--dyn-syms", "-W", program], check=True,
                         capture_output=True, text=True).stdout
    names = {f[7].split("@")[0] for f in map(str.split, out.splitlines())
             if len(f) >= 8 and f[6] == "UND"}
    if names & BANNED_32BIT or REQUIRED_64BIT - names:
        return fail("%s calls %s, does not call %s"
                    % (program, sorted(names & BANNED_32BIT), sorted(REQUIRED_64BIT - names)))
    return 0


def read(src, path, pattern):
    m = re.search(pattern, open(os.path.join(src, path)).read(), re.M)
    return m.group(1) if m else "no %s in %s" % (pattern, path)


def check_in_step(src):
    version = read(src, "CMakeLists.txt", r"^project\(romtool VERSION ([0-9.]+)")
    release = read(src, "packaging/CMakeLists.txt", r"^set\(CPACK_DEBIAN_PACKAGE_RELEASE (\S+)\)")
    licence = open(os.path.join(src, "LICENSE"), "rb").read()
    bb = "packaging/yocto/romtool_%s.bb" % version
    mk = "packaging/buildroot/romtool/romtool.mk"
    rows = [  # (found, wanted): a mismatch fails the distribution's own build or check
        (read(src, bb, r'^LIC_FILES_CHKSUM = "(.*)"'),
         "file://LICENSE;md5=" + hashlib.md5(licence).hexdigest()),
        (read(src, mk, r"^ROMTOOL_VERSION = (\S+)"), version),
        (read(src, "packaging/buildroot/romtool/romtool.hash", r"^sha256\s+(\S+)\s+LICENSE$"),
         hashlib.sha256(licence).hexdigest()),
        (read(src, "packaging/debian/changelog", r"^romtool \((\S+)\)"), version + "-" + release),
    ] + [(read(src, "doc/man/" + page, r'^\.TH \S+ \S+ "[^"]*" "romtool ([^"]*)"'), version)
         for page in ("romtool.1", "vboard.1")]
    if not os.path.exists(os.path.join(src, bb)):
        rows.append((sorted(os.listdir(os.path.join(src, "packaging/yocto"))), bb))
    return 1 if sum(fail("%r, want %r" % row) for row in rows if row[0] != row[1]) else 0


# What a distribution's toolchain file sets: compilers, sysroot, its own flags;
# none of the project's macros.
FLAGS = "-O2 -pipe -g -fstack-protector-strong -D_FORTIFY_SOURCE=2"
FOREIGN_TOOLCHAIN = "".join("set(%s)\n" % line for line in [
    "CMAKE_SYSTEM_NAME Linux", "CMAKE_SYSTEM_PROCESSOR powerpc",
    "CMAKE_C_COMPILER powerpc-linux-gnu-gcc", "CMAKE_CXX_COMPILER powerpc-linux-gnu-g++",
    'CMAKE_C_FLAGS "%s" CACHE STRING ""' % FLAGS, 'CMAKE_CXX_FLAGS "%s" CACHE STRING ""' % FLAGS,
    "CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu", "CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER"] + [
    "CMAKE_FIND_ROOT_PATH_MODE_%s ONLY" % m for m in ("LIBRARY", "INCLUDE", "PACKAGE")])


def distribution_build(src, work, flavour):
    """Configures, builds and installs as the flavour's cmake class does; checks the stage."""
    build, stage = os.path.join(work, flavour, "build"), os.path.join(work, flavour, "image")
    for d in (build, stage):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    toolchain = os.path.join(work, flavour, "toolchain.cmake")
    open(toolchain, "w").write(FOREIGN_TOOLCHAIN)
    if flavour == "yocto":
        options = ["-G", "Ninja"] + ["-DCMAKE_" + o for o in (
            "INSTALL_PREFIX:PATH=/usr", "INSTALL_BINDIR:PATH=bin", "INSTALL_DATAROOTDIR:PATH=share",
            "INSTALL_SO_NO_EXE=0", "NO_SYSTEM_FROM_IMPORTED=1", "BUILD_TYPE=Release")]
        recipe = [f for f in os.listdir(os.path.join(src, "packaging/yocto")) if f.endswith(".bb")]
        options += read(src, "packaging/yocto/" + recipe[0], r'^EXTRA_OECMAKE = "(.*)"').split()
        install = ["cmake", "--build", build, "--target", "install", "--", "-j2"]
    else:
        options = ["-G", "Unix Makefiles"] + ["-D" + o for o in (
            "CMAKE_INSTALL_PREFIX=/usr", "CMAKE_COLOR_MAKEFILE=OFF", "BUILD_DOC=OFF", "BUILD_DOCS=OFF",
            "BUILD_TESTING=OFF", "BUILD_SHARED_LIBS=ON", "CMAKE_BUILD_TYPE=Release")]
        options += read(src, "packaging/buildroot/romtool/romtool.mk",
                        r"^ROMTOOL_CONF_OPTS = (.*)").split()
        install = ["make", "-C", build, "-j2", "install/fast"]
    configure = ["cmake", "-S", src, "-B", build, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain] + options
    log = os.path.join(work, flavour, "build.log")
    with open(log, "w") as out:
        for cmd in (configure, ["cmake", "--build", build, "-j2"], install):
            out.write("$ %s\n" % " ".join(cmd))
            out.flush()
            if subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT,
                              env=dict(os.environ, DESTDIR=stage)).returncode != 0:
                print("".join(open(log).readlines()[-40:]))
                return fail("%s-style build failed (log: %s)" % (flavour, log))
    got = {os.path.relpath(os.path.join(top, f), stage) for top, _, files in os.walk(stage)
           for f in files}
    if got != BOARD_FILES:
        return fail("%s: staging root: missing %s, unexpected %s"
                    % (flavour, sorted(BOARD_FILES - got), sorted(got - BOARD_FILES)))
    program = os.path.join(stage, "usr/bin/romtool")
    r = subprocess.run(["qemu-ppc", "-L", "/usr/powerpc-linux-gnu", program], capture_output=True,
                       text=True, restore_signals=True)
    if r.returncode != 1 or not r.stdout.startswith("Usage: romtool\n"):
        return fail("%s: staged romtool: status %d, output %r" % (flavour, r.returncode, r.stdout[:60]))
    return check_time64(program)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("check", choices=["time64", "in-step", "build"])
    ap.add_argument("program", nargs="?")
    ap.add_argument("--source")
    ap.add_argument("--work")
    ap.add_argument("--flavour", action="append", choices=["yocto", "buildroot"])
    a = ap.parse_args()
    if a.check == "time64":
        return check_time64(a.program)
    src = os.path.abspath(a.source)
    if a.check == "in-step":
        return check_in_step(src)
    work = os.path.abspath(a.work)
    return 1 if sum(distribution_build(src, work, f) for f in a.flavour or ["yocto", "buildroot"]) else 0


if __name__ == "__main__":
    sys.exit(main())
