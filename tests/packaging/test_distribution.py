#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""romtool as distributions build it.

  test_distribution.py time64 PROGRAM
      PROGRAM, a 32-bit glibc build, calls the 64-bit time and file offset
      entry points of the C library and none of their 32-bit forms.
  test_distribution.py in-step --source SRC
      the Yocto recipe, the Buildroot package, the Debian changelog, the man
      pages and the presets agree with the project's version, LICENSE and trees.
  test_distribution.py build --source SRC --work DIR [--flavour yocto|buildroot]...
      emulated distribution builds: configure with a foreign toolchain file that
      defines none of our macros and the options of the recipe, build, install
      into a staging root as the distribution does, and check the file list, the
      program's symbols, and that it runs (qemu-ppc).
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys

# C library functions whose 32-bit time_t or off_t form a 32-bit build must not
# call: glibc redirects each to a 64-bit entry point under _TIME_BITS=64 and
# _FILE_OFFSET_BITS=64 (the *64 forms of stat and fcntl still take a 32-bit time).
BANNED_32BIT = set("""
    open openat creat lseek mmap pread pwrite truncate ftruncate fopen freopen fseeko ftello
    fgetpos fsetpos tmpfile posix_fallocate posix_fadvise lockf sendfile
    stat fstat lstat fstatat stat64 fstat64 lstat64 fstatat64 statfs fstatfs fcntl fcntl64 ioctl
    time gettimeofday settimeofday clock_gettime clock_settime clock_getres clock_nanosleep
    nanosleep difftime mktime timegm localtime localtime_r gmtime gmtime_r ctime ctime_r
    pthread_cond_timedwait pthread_cond_clockwait pthread_mutex_timedlock pthread_mutex_clocklock
    pthread_rwlock_timedrdlock pthread_rwlock_timedwrlock pthread_timedjoin_np sem_timedwait
    sem_clockwait select pselect poll ppoll epoll_pwait2 sigtimedwait futimens utimensat utime
    utimes futimes lutimes setitimer getitimer timer_settime timer_gettime timerfd_settime
    timerfd_gettime wait3 wait4 getrusage sched_rr_get_interval recvmmsg mq_timedsend
    mq_timedreceive aio_suspend adjtime adjtimex clock_adjtime
""".split())
# romtool always makes driver requests and seeks on its nodes.
REQUIRED_64BIT = {"__ioctl_time64", "lseek64"}

BOARD_FILES = {
    "usr/bin/romtool",
    "usr/share/man/man1/romtool.1.gz",
    "usr/share/bash-completion/completions/romtool",
}


def fail(msg):
    print("FAIL: " + msg)
    return 1


def undefined_symbols(program):
    out = subprocess.run(["readelf", "--dyn-syms", "-W", program], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 8 and f[6] == "UND":
            names.add(f[7].split("@")[0])
    return names


def elf_class_and_machine(program):
    out = subprocess.run(["readelf", "-h", program], check=True, capture_output=True,
                         text=True).stdout
    fields = dict(l.strip().split(":", 1) for l in out.splitlines() if ":" in l)
    return fields.get("Class", "").strip(), fields.get("Machine", "").strip()


def check_time64(program):
    if elf_class_and_machine(program)[0] != "ELF32":
        return fail("%s is not a 32-bit program" % program)
    names = undefined_symbols(program)
    failures = 0
    banned = sorted(names & BANNED_32BIT)
    if banned:
        failures += fail("%s calls the 32-bit time/offset forms %s" % (program, banned))
    missing = sorted(REQUIRED_64BIT - names)
    if missing:
        failures += fail("%s does not call %s" % (program, missing))
    return 1 if failures else 0


# --- recipes and version ----------------------------------------------------------------

def read(src, path):
    with open(os.path.join(src, path)) as f:
        return f.read()


def one(pattern, text, what):
    m = re.search(pattern, text, re.M)
    if not m:
        raise ValueError("no %s" % what)
    return m.group(1)


def check_in_step(src):
    version = one(r"^project\(romtool VERSION ([0-9.]+)", read(src, "CMakeLists.txt"), "project version")
    release = one(r"^set\(CPACK_DEBIAN_PACKAGE_RELEASE (\S+)\)", read(src, "packaging/CMakeLists.txt"),
                  "Debian release")
    licence = open(os.path.join(src, "LICENSE"), "rb").read()
    md5 = hashlib.md5(licence).hexdigest()
    sha256 = hashlib.sha256(licence).hexdigest()
    recipes = sorted(f for f in os.listdir(os.path.join(src, "packaging/yocto")) if f.endswith(".bb"))
    bb = read(src, "packaging/yocto/" + recipes[0]) if recipes else ""
    mk = read(src, "packaging/buildroot/romtool/romtool.mk")
    br_hash = read(src, "packaging/buildroot/romtool/romtool.hash")
    changelog = read(src, "packaging/debian/changelog")
    presets = json.loads(read(src, "CMakePresets.json"))
    configure = {p["name"]: p for p in presets["configurePresets"]}

    def cache(name):
        merged = {}
        chain = [configure[name]]
        while "inherits" in chain[-1]:
            chain.append(configure[chain[-1]["inherits"]])
        for p in reversed(chain):
            merged.update(p.get("cacheVariables", {}))
            if "binaryDir" in p:
                merged["binaryDir"] = p["binaryDir"].replace("${presetName}", name)
            if "toolchainFile" in p:
                merged["toolchainFile"] = p["toolchainFile"]
        return merged

    # (what, found, wanted)
    rows = [
        ("Yocto recipe file name", recipes, ["romtool_%s.bb" % version]),
        ("Yocto LICENSE", one(r'^LICENSE = "(.*)"', bb, "LICENSE"), "MIT"),
        ("Yocto LIC_FILES_CHKSUM", one(r'^LIC_FILES_CHKSUM = "(.*)"', bb, "LIC_FILES_CHKSUM"),
         "file://LICENSE;md5=" + md5),
        ("Buildroot version", one(r"^ROMTOOL_VERSION = (\S+)", mk, "ROMTOOL_VERSION"), version),
        ("Buildroot licence", one(r"^ROMTOOL_LICENSE = (.*)", mk, "ROMTOOL_LICENSE"), "MIT"),
        ("Buildroot licence files", one(r"^ROMTOOL_LICENSE_FILES = (.*)", mk, "ROMTOOL_LICENSE_FILES"),
         "LICENSE"),
        ("Buildroot LICENSE hash", one(r"^sha256\s+(\S+)\s+LICENSE$", br_hash, "LICENSE hash"), sha256),
        ("Debian changelog version", one(r"^romtool \((\S+)\)", changelog, "changelog entry"),
         "%s-%s" % (version, release)),
    ]
    for page in ("romtool.1", "vboard.1"):
        rows.append(("%s version" % page, one(r'^\.TH \S+ \S+ "[^"]*" "romtool ([^"]*)"',
                                               read(src, "doc/man/" + page), ".TH"), version))
    # The trees scripts/test.sh builds, with warnings fatal.
    for name, extra in (("host", {}), ("asan", {"ROMTOOL_SANITIZE": "address"}),
                        ("tsan", {"ROMTOOL_SANITIZE": "thread"}),
                        ("ppc", {"toolchainFile": "${sourceDir}/cmake/powerpc-linux-gnu.cmake"})):
        want = dict({"binaryDir": "${sourceDir}/build/" + name, "ROMTOOL_WERROR": "ON"}, **extra)
        got = cache(name) if name in configure else {}
        rows.append(("preset " + name, {k: got.get(k) for k in want}, want))

    failures = 0
    for what, found, wanted in rows:
        if found != wanted:
            failures += fail("%s: %r, want %r" % (what, found, wanted))
    return 1 if failures else 0


# --- emulated distribution builds ---------------------------------------------------------

# What a distribution's toolchain file sets: compilers, sysroot, its own flags;
# none of the project's macros.
FOREIGN_TOOLCHAIN = """\
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_C_FLAGS "-O2 -pipe -g -fstack-protector-strong -D_FORTIFY_SOURCE=2" CACHE STRING "")
set(CMAKE_CXX_FLAGS "-O2 -pipe -g -fstack-protector-strong -D_FORTIFY_SOURCE=2" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
"""


def recipe_options(src, flavour):
    if flavour == "yocto":
        bb = [f for f in os.listdir(os.path.join(src, "packaging/yocto")) if f.endswith(".bb")][0]
        return one(r'^EXTRA_OECMAKE = "(.*)"', read(src, "packaging/yocto/" + bb), "EXTRA_OECMAKE").split()
    return one(r"^ROMTOOL_CONF_OPTS = (.*)", read(src, "packaging/buildroot/romtool/romtool.mk"),
               "ROMTOOL_CONF_OPTS").split()


def distribution_build(src, work, flavour):
    """Configures, builds and installs as the flavour's cmake class does."""
    build = os.path.join(work, flavour, "build")
    stage = os.path.join(work, flavour, "image")
    for d in (build, stage):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    toolchain = os.path.join(work, flavour, "toolchain.cmake")
    with open(toolchain, "w") as f:
        f.write(FOREIGN_TOOLCHAIN)
    if flavour == "yocto":
        generator = ["-G", "Ninja"]
        common = ["-DCMAKE_INSTALL_PREFIX:PATH=/usr", "-DCMAKE_INSTALL_BINDIR:PATH=bin",
                  "-DCMAKE_INSTALL_DATAROOTDIR:PATH=share", "-DCMAKE_INSTALL_SO_NO_EXE=0",
                  "-DCMAKE_NO_SYSTEM_FROM_IMPORTED=1", "-DCMAKE_BUILD_TYPE=Release"]
        install = ["cmake", "--build", build, "--target", "install", "--", "-j2"]
    else:
        generator = ["-G", "Unix Makefiles"]
        common = ["-DCMAKE_INSTALL_PREFIX=/usr", "-DCMAKE_COLOR_MAKEFILE=OFF", "-DBUILD_DOC=OFF",
                  "-DBUILD_DOCS=OFF", "-DBUILD_TESTING=OFF", "-DBUILD_SHARED_LIBS=ON",
                  "-DCMAKE_BUILD_TYPE=Release"]
        install = ["make", "-C", build, "-j2", "install/fast"]
    configure = (["cmake", "-S", src, "-B", build] + generator + ["-DCMAKE_TOOLCHAIN_FILE=" + toolchain]
                 + common + recipe_options(src, flavour))
    env = dict(os.environ, DESTDIR=stage)
    log = os.path.join(work, flavour, "build.log")
    with open(log, "w") as out:
        for cmd in (configure, ["cmake", "--build", build, "-j2"], install):
            out.write("$ %s\n" % " ".join(cmd))
            out.flush()
            if subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, env=env).returncode != 0:
                return None, log
    return stage, log


def check_staging(stage, flavour):
    got = set()
    for top, _, files in os.walk(stage):
        for f in files:
            got.add(os.path.relpath(os.path.join(top, f), stage))
    failures = 0
    if got != BOARD_FILES:
        failures += fail("%s: staging root holds %s; missing %s, unexpected %s"
                         % (flavour, sorted(got), sorted(BOARD_FILES - got), sorted(got - BOARD_FILES)))
    program = os.path.join(stage, "usr/bin/romtool")
    if os.path.exists(program):
        if elf_class_and_machine(program) != ("ELF32", "PowerPC"):
            failures += fail("%s: usr/bin/romtool is %s" % (flavour, elf_class_and_machine(program)))
        failures += check_time64(program)
        # The staged program runs (under qemu-user, on the board's libraries).
        r = subprocess.run(["qemu-ppc", "-L", "/usr/powerpc-linux-gnu", program], capture_output=True,
                           text=True, restore_signals=True)
        if r.returncode != 1 or not r.stdout.startswith("Usage: romtool\n"):
            failures += fail("%s: staged romtool without arguments: status %d, output %r"
                             % (flavour, r.returncode, r.stdout[:60]))
    return 1 if failures else 0


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
    failures = 0
    for flavour in a.flavour or ["yocto", "buildroot"]:
        stage, log = distribution_build(src, os.path.abspath(a.work), flavour)
        if stage is None:
            with open(log) as f:
                print("".join(f.readlines()[-40:]))
            failures += fail("%s-style build failed (log: %s)" % (flavour, log))
            continue
        if check_staging(stage, flavour):
            failures += 1
        else:
            print("%s-style build: staging root holds exactly %s; 64-bit time and offsets"
                  % (flavour, ", ".join(sorted(BOARD_FILES))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
