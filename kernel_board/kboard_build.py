# SPDX-License-Identifier: MIT
"""Building the kernel board's image: the kernel (cached, see build-kernel.sh), the driver
module, the agent (/init) and the initramfs with the PowerPC romtool."""

import os
import shutil
import subprocess
import time

import kboard_protocol

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SYSROOT = "/usr/powerpc-linux-gnu"
GUEST_ROMTOOL = "/usr/bin/romtool"
CROSS = "powerpc-linux-gnu-"
# The source folders the module is built from, copied to the same places under the build
# folder so that the paths between them hold; the first is the module's (its Kbuild, or
# obj-m := zelk_board.o).
MODULE_SOURCES = ("kernel_board/module",)


def kernel_dir():
    """The cached kernel build (built on first use)."""
    done = subprocess.run([os.path.join(HERE, "build-kernel.sh")], stdout=subprocess.PIPE,
                          check=True)
    return done.stdout.decode().strip()


def _kernel_version(kdir):
    # build-kernel.sh puts the source beside the build folders: src-<version>
    parent = os.path.dirname(kdir)
    for name in os.listdir(parent):
        if name.startswith("src-"):
            return name[4:]
    raise RuntimeError("no kernel source beside %s" % kdir)


def build_module(kdir, out, extra_cflags=""):
    """The driver module, built from a copy of its sources in out/src."""
    copy = os.path.join(out, "src")
    shutil.rmtree(copy, ignore_errors=True)
    for folder in MODULE_SOURCES:
        shutil.copytree(os.path.join(ROOT, folder), os.path.join(copy, folder))
    work = os.path.join(copy, MODULE_SOURCES[0])
    if not os.path.exists(os.path.join(work, "Kbuild")):
        with open(os.path.join(work, "Kbuild"), "w") as f:
            f.write("obj-m := zelk_board.o\n")
    flags = "-I%s -I%s %s" % (os.path.join(ROOT, "libs", "zelk"), HERE, extra_cflags)
    src = os.path.join(os.path.dirname(kdir), "src-" + _kernel_version(kdir), "linux-source-6.1")
    subprocess.run(["make", "-s", "-C", src, "O=" + kdir, "M=" + work, "ARCH=powerpc",
                    "CROSS_COMPILE=" + CROSS, "KCFLAGS=" + flags.strip(), "modules"],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(work, "zelk_board.ko")


def build_agent(out):
    agent = os.path.join(out, "init")
    sources = sorted(os.path.join(HERE, "agent", n) for n in os.listdir(os.path.join(HERE, "agent"))
                     if n.endswith(".c"))
    sizes = ["-DKBOARD_%s_SIZE=%d" % kv for kv in kboard_protocol.SIZES.items()]
    subprocess.run([CROSS + "gcc", "-static", "-O2", "-Wall", "-Wextra", "-Werror",
                    "-Wno-format-truncation", *sizes,
                    "-I", HERE, "-o", agent, *sources], check=True)
    return agent


def _needed(binary):
    done = subprocess.run([CROSS + "readelf", "-d", binary], capture_output=True, check=True)
    return [line.split("[", 1)[1].split("]", 1)[0]
            for line in done.stdout.decode().splitlines() if "(NEEDED)" in line]


def _libraries(binary):
    """The shared libraries a PowerPC program needs, transitively, with the loader."""
    found, todo = {"ld.so.1": os.path.join(SYSROOT, "lib", "ld.so.1")}, [binary]
    while todo:
        for name in _needed(todo.pop()):
            if name in found:
                continue
            path = os.path.join(SYSROOT, "lib", name)
            if not os.path.exists(path):
                raise RuntimeError("%s: no %s in %s" % (binary, name, SYSROOT))
            found[name] = os.path.realpath(path)
            todo.append(found[name])
    return found


def build_initramfs(kdir, out, agent, module, romtool):
    lines = ["dir /dev 0755 0 0", "nod /dev/console 0600 0 0 c 5 1", "dir /lib 0755 0 0",
             "dir /lib/modules 0755 0 0", "dir /usr 0755 0 0", "dir /usr/bin 0755 0 0",
             "dir /work 0755 0 0", "dir /tmp 1777 0 0",
             "file /init %s 0755 0 0" % agent,
             "file /lib/modules/zelk_board.ko %s 0644 0 0" % module,
             "file %s %s 0755 0 0" % (GUEST_ROMTOOL, os.path.realpath(romtool))]
    for name, path in sorted(_libraries(romtool).items()):
        lines.append("file /lib/%s %s 0755 0 0" % (name, path))
    listing = os.path.join(out, "initramfs.list")
    with open(listing, "w") as f:
        f.write("\n".join(lines) + "\n")
    cpio = os.path.join(out, "initramfs.cpio.gz")
    tool = os.path.join(kdir, "usr", "gen_init_cpio")
    with open(cpio + ".tmp", "wb") as f:
        gen = subprocess.Popen([tool, listing], stdout=subprocess.PIPE)
        subprocess.run(["gzip", "-1", "-n"], stdin=gen.stdout, stdout=f, check=True)
        gen.stdout.close()
        if gen.wait() != 0:
            raise RuntimeError("gen_init_cpio failed")
    os.replace(cpio + ".tmp", cpio)
    return cpio


def build(romtool, out, extra_cflags="", kernel=None):
    """Everything the guest needs into out; the seconds each part took."""
    os.makedirs(out, exist_ok=True)
    times = {}
    start = time.monotonic()
    kdir = kernel or kernel_dir()
    times["kernel"] = time.monotonic() - start
    start = time.monotonic()
    module = build_module(kdir, out, extra_cflags)
    times["module"] = time.monotonic() - start
    start = time.monotonic()
    agent = build_agent(out)
    build_initramfs(kdir, out, agent, module, romtool)
    times["initramfs"] = time.monotonic() - start
    shutil.copy(os.path.join(kdir, "vmlinux"), os.path.join(out, "vmlinux"))
    with open(os.path.join(out, "kernel"), "w") as f:  # for variants of this image
        f.write(kdir + "\n")
    return times
