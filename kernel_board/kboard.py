#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""kboard: the kernel board, a PowerPC Linux guest under qemu-system-ppc whose flash driver
is our module (kernel_board/module), with the PowerPC romtool inside.

    kboard.py build --romtool PPC_ROMTOOL --out DIR     kernel (cached), module, /init, initramfs
    kboard.py run --image DIR BOARD_DIR [--work DIR] -- /usr/bin/romtool ARGS...

A board folder (as `vboard create` makes it) is the guest's state: before each program the
changed files of the board folder and the work folder go into the guest and the driver takes
them; after it, what the program changed comes back (device images, fault counters, files
in the work folder), and request log lines are appended to the board's requests.log while it
runs. See README.md beside this script.
"""

import argparse
import ctypes
import hashlib
import os
import queue
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SYSROOT = "/usr/powerpc-linux-gnu"
GUEST_ROMTOOL = "/usr/bin/romtool"
GUEST_PROBE = "/usr/bin/zelk_probe"
CROSS = "powerpc-linux-gnu-"
PREFIX = b"@@zb "
MAILBOX_SIZE = 64 << 20
MAILBOX_OUT = 32 << 20  # the guest's data from here on, the host's below


def _say(text):
    sys.stderr.write("kboard: %s\n" % text)


# ---- building ----

def kernel_dir():
    """The cached kernel build (built on first use, see build-kernel.sh)."""
    done = subprocess.run([os.path.join(HERE, "build-kernel.sh")], stdout=subprocess.PIPE,
                          check=True)
    return done.stdout.decode().strip()


def build_module(kdir, out, extra_cflags=""):
    """The driver module, built in out/module from a copy of its source."""
    work = os.path.join(out, "module")
    os.makedirs(work, exist_ok=True)
    shutil.copy(os.path.join(HERE, "module", "zelk_board.c"), work)
    with open(os.path.join(work, "Kbuild"), "w") as f:
        f.write("obj-m := zelk_board.o\nccflags-y := -I%s -I%s %s\n"
                % (os.path.join(ROOT, "libs", "zelk"), HERE, extra_cflags))
    src = os.path.join(os.path.dirname(kdir), "src-" + _kernel_version(kdir), "linux-source-6.1")
    subprocess.run(["make", "-s", "-C", src, "O=" + kdir, "M=" + work, "ARCH=powerpc",
                    "CROSS_COMPILE=" + CROSS, "modules"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(work, "zelk_board.ko")


def _kernel_version(kdir):
    # build-kernel.sh puts the source beside the build folders: src-<version>
    parent = os.path.dirname(kdir)
    for name in os.listdir(parent):
        if name.startswith("src-"):
            return name[4:]
    raise RuntimeError("no kernel source beside %s" % kdir)


def build_agent(out):
    agent = os.path.join(out, "init")
    subprocess.run([CROSS + "gcc", "-static", "-O2", "-Wall", "-Wextra", "-Werror",
                    "-Wno-format-truncation", "-I", HERE, "-o", agent, os.path.join(HERE, "agent", "agent.c"), "-lm"],
                   check=True)
    return agent


def build_probe(out):
    """zelk_probe (tests/driver_probe.c), built like romtool: dynamic, 64-bit time and
    offsets, so that the preload board serves it too."""
    probe = os.path.join(out, "zelk_probe")
    subprocess.run([CROSS + "gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-D_GNU_SOURCE",
                    "-D_FILE_OFFSET_BITS=64", "-D_TIME_BITS=64",
                    "-I", os.path.join(ROOT, "libs", "zelk"), "-o", probe,
                    os.path.join(HERE, "tests", "driver_probe.c")], check=True)
    return probe


def _needed(binary):
    done = subprocess.run([CROSS + "readelf", "-d", binary], capture_output=True, check=True)
    out = []
    for line in done.stdout.decode().splitlines():
        if "(NEEDED)" in line:
            out.append(line.split("[", 1)[1].split("]", 1)[0])
    return out


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


def default_board(out):
    """A fresh default board, as `vboard create` makes it: the guest starts with it."""
    board = os.path.join(out, "default_board")
    shutil.rmtree(board, ignore_errors=True)
    subprocess.run([sys.executable, os.path.join(ROOT, "virtual_board", "vboard"), "create",
                    board], check=True)
    return board


def build_initramfs(kdir, out, agent, module, romtool, probe):
    board = default_board(out)
    lines = ["dir /dev 0755 0 0", "nod /dev/console 0600 0 0 c 5 1", "dir /lib 0755 0 0",
             "dir /lib/modules 0755 0 0", "dir /usr 0755 0 0", "dir /usr/bin 0755 0 0",
             "dir /board 0755 0 0", "dir /work 0755 0 0", "dir /tmp 1777 0 0",
             "file /init %s 0755 0 0" % agent,
             "file /lib/modules/zelk_board.ko %s 0644 0 0" % module,
             "file %s %s 0755 0 0" % (GUEST_ROMTOOL, os.path.realpath(romtool)),
             "file %s %s 0755 0 0" % (GUEST_PROBE, probe)]
    for name, path in sorted(_libraries(romtool).items()):
        lines.append("file /lib/%s %s 0755 0 0" % (name, path))
    for name in sorted(_board_files(board)):
        lines.append("file /board/%s %s 0644 0 0" % (name, os.path.join(board, name)))
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
    build_initramfs(kdir, out, agent, module, romtool, build_probe(out))
    times["initramfs"] = time.monotonic() - start
    shutil.copy(os.path.join(kdir, "vmlinux"), os.path.join(out, "vmlinux"))
    with open(os.path.join(out, "kernel"), "w") as f:  # for variants of this image
        f.write(kdir + "\n")
    return times


# ---- the guest ----

def _board_files(board):
    # The board's state; the request log only ever comes out of the guest.
    return [n for n in os.listdir(board)
            if n not in ("lock", "requests.log") and os.path.isfile(os.path.join(board, n))]


def _digest(data, mode):
    return hashlib.sha1(data + b"%o" % mode).hexdigest()


class process_t:
    """A program running in the guest, with the part of subprocess.Popen the tests use:
    pid (qemu's: the guest's work shows as its CPU time), stdout and stderr as pipes,
    poll, wait, communicate, send_signal, kill, terminate, returncode."""

    def __init__(self, guest, ident, board, work):
        self._guest, self.ident, self.board, self.work = guest, ident, board, work
        self.pid = guest.qemu.pid
        self.returncode = None
        self._done = threading.Event()
        self._out = {}
        self.stdout = self.stderr = None
        for fd in (1, 2):
            r, w = os.pipe()
            self._out[fd] = (w, queue.Queue())
            stream = os.fdopen(r, "rb")
            if fd == 1:
                self.stdout = stream
            else:
                self.stderr = stream
            threading.Thread(target=self._pump, args=(fd,), daemon=True).start()

    def _pump(self, fd):
        w, items = self._out[fd]
        while True:
            data = items.get()
            if data is None:
                break
            try:
                os.write(w, data) if len(data) < 4096 else _write_all(w, data)
            except OSError:
                pass
        os.close(w)

    def _output(self, fd, data):
        self._out[fd][1].put(data)

    def _finish(self, returncode):
        self.returncode = returncode
        for fd in (1, 2):
            self._out[fd][1].put(None)
        self._done.set()

    def poll(self):
        return self.returncode

    def wait(self, timeout=None):
        if not self._done.wait(timeout):
            raise subprocess.TimeoutExpired("romtool", timeout)
        return self.returncode

    def communicate(self, timeout=None):
        results = {}

        def drain(name, stream):
            results[name] = stream.read()

        threads = [threading.Thread(target=drain, args=("out", self.stdout), daemon=True),
                   threading.Thread(target=drain, args=("err", self.stderr), daemon=True)]
        for t in threads:
            t.start()
        deadline = None if timeout is None else time.monotonic() + timeout
        for t in threads:
            t.join(None if deadline is None else max(0, deadline - time.monotonic()))
        self.wait(None if deadline is None else max(0.001, deadline - time.monotonic()))
        if any(t.is_alive() for t in threads):
            raise subprocess.TimeoutExpired("romtool", timeout)
        self.stdout.close()
        self.stderr.close()
        return results["out"], results["err"]

    def send_signal(self, number):
        if self.returncode is None:
            self._guest.send(b"signal %s %d\n" % (self.ident.encode(), number))

    def kill(self):
        self.send_signal(signal.SIGKILL)

    def terminate(self):
        self.send_signal(signal.SIGTERM)


def _die_with_parent():
    # A test killed for its time limit must not leave its guest running.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class guest_t:
    """One booted guest; programs run in it one at a time."""

    def __init__(self, image_dir, memory="256"):
        self.image_dir = image_dir
        # The mailbox disk: bulk data both ways (the serial line carries tens of kB/s).
        self._tmp = tempfile.TemporaryDirectory(prefix="kboard-")
        mailbox = os.path.join(self._tmp.name, "mailbox")
        self._mailbox = os.open(mailbox, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        os.ftruncate(self._mailbox, MAILBOX_SIZE)
        self.qemu = subprocess.Popen(
            ["qemu-system-ppc", "-M", "ppce500", "-cpu", "e500mc", "-m", memory,
             "-display", "none", "-monitor", "none", "-nic", "none", "-no-reboot",
             "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
             "-drive", "file=%s,if=none,format=raw,id=mailbox,cache=unsafe" % mailbox,
             "-device", "virtio-blk-pci,drive=mailbox",
             "-kernel", os.path.join(image_dir, "vmlinux"),
             "-initrd", os.path.join(image_dir, "initramfs.cpio.gz"),
             "-append", "console=ttyS0 quiet loglevel=1"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            preexec_fn=_die_with_parent)
        self.console = bytearray()  # what the guest printed besides replies
        self._replies = queue.Queue()
        self._write_lock = threading.Lock()
        self._process = None
        self._count = 0
        # What the guest holds: (area, name) -> digest. It starts with the default board.
        default = os.path.join(image_dir, "default_board")
        self._files = {}
        for name in _board_files(default):
            with open(os.path.join(default, name), "rb") as f:
                self._files[("board", name)] = _digest(f.read(), 0o644)
        threading.Thread(target=self._read, daemon=True).start()
        self._expect("ready", timeout=60)

    # -- the serial line --

    def send(self, data):
        with self._write_lock:
            self.qemu.stdin.write(data)
            self.qemu.stdin.flush()

    def _expect(self, word, timeout=60):
        try:
            reply = self._replies.get(timeout=timeout)
        except queue.Empty:
            raise RuntimeError("kernel board: no reply within %d s; console: %r"
                               % (timeout, bytes(self.console[-2000:]))) from None
        if reply is None:
            raise RuntimeError("kernel board: the guest stopped; console: %r"
                               % bytes(self.console[-2000:]))
        if reply[0] != word:
            raise RuntimeError("kernel board: %s" % b" ".join(reply).decode(errors="replace"))
        return reply

    def _read(self):
        stream = self.qemu.stdout
        try:
            while True:
                line = stream.readline()
                if not line:
                    break
                at = line.find(PREFIX)
                if at < 0:
                    self.console += line
                    continue
                self.console += line[:at]
                self._handle(line[at + len(PREFIX):].rstrip(b"\n").split(b" "), stream)
        finally:
            self._replies.put(None)
            process = self._process
            if process is not None and process.returncode is None:
                process._output(2, b"kernel board: the guest stopped\n")
                process._finish(255)

    def _payload(self, words, at, stream):
        # "SIZE": the bytes follow the line; "SIZE @OFFSET": they are in the mailbox.
        size = int(words[at])
        if len(words) > at + 1 and words[at + 1].startswith(b"@"):
            return os.pread(self._mailbox, size, int(words[at + 1][1:]))
        return stream.read(size)

    def _handle(self, words, stream):
        kind = words[0].decode()
        process = self._process
        if kind == "out":
            data = self._payload(words, 3, stream)
            if process is not None:
                process._output(int(words[2]), data)
        elif kind == "log":
            data = self._payload(words, 1, stream)
            if process is not None:
                with open(os.path.join(process.board, "requests.log"), "ab") as f:
                    f.write(data)
        elif kind == "file":
            area, name, mode = words[1].decode(), words[2].decode(), int(words[3], 8)
            data = self._payload(words, 4, stream)
            if process is not None:
                folder = process.board if area == "board" else process.work
                path = os.path.join(folder, name)
                with open(path, "r+b" if os.path.exists(path) else "wb") as f:
                    f.write(data)
                    f.truncate()
                os.chmod(path, mode)
                self._files[(area, name)] = _digest(data, mode)
        elif kind == "gone":
            area, name = words[1].decode(), words[2].decode()
            self._files.pop((area, name), None)
            if process is not None:
                folder = process.board if area == "board" else process.work
                try:
                    os.unlink(os.path.join(folder, name))
                except FileNotFoundError:
                    pass
        elif kind == "exit":
            if process is not None:
                number = int(words[3])
                process._finish(-number if words[2] == b"signal" else number)
        else:
            self._replies.put([w.decode(errors="replace") for w in words])

    # -- state --

    def _put(self, area, name, mode, data):
        head = b"put %s %s %o %d" % (area.encode(), name.encode(), mode, len(data))
        if 512 <= len(data) <= MAILBOX_OUT:
            os.pwrite(self._mailbox, data, 0)
            self.send(head + b" @0\n")
        else:
            self.send(head + b"\n" + data)
        self._expect("ok")

    def sync(self, board, work):
        """The guest's copy of both folders := the host's; the driver takes the board."""
        for area, folder, names in (("board", board, _board_files(board)),
                                    ("work", work, [n for n in os.listdir(work)
                                                    if os.path.isfile(os.path.join(work, n))])):
            if area == "work":  # folders in it, as names only: a program may meet one
                for name in os.listdir(work):
                    mode = os.stat(os.path.join(work, name)).st_mode
                    if stat.S_ISDIR(mode) and self._files.get((area, name)) != "dir":
                        self.send(b"dir work %s %o\n" % (name.encode(), mode & 0o7777))
                        self._expect("ok")
                        self._files[(area, name)] = "dir"
                    if stat.S_ISDIR(mode):
                        names.append(name)
            for name in names:
                path = os.path.join(folder, name)
                if self._files.get((area, name)) == "dir":
                    continue
                mode = os.stat(path).st_mode & 0o7777 if area == "work" else 0o644
                with open(path, "rb") as f:
                    data = f.read()
                digest = _digest(data, mode)
                if self._files.get((area, name)) != digest:
                    self._put(area, name, mode, data)
                    self._files[(area, name)] = digest
            for key in [k for k in self._files if k[0] == area and k[1] not in names]:
                self.send(b"del %s %s\n" % (area.encode(), key[1].encode()))
                self._expect("ok")
                del self._files[key]
        self.send(b"load\n")
        self._expect("ok")

    def start(self, board, work, argv, limit=600, ignored=()):
        """Runs argv (argv[0] a guest path) in the guest's copy of work, on board, with
        every signal at its default but those in ignored, as `vboard run` starts it."""
        if self._process is not None and self._process.returncode is None:
            self._process.kill()
            self._process.wait(60)
        self.sync(board, work)
        self._count += 1
        ident = "p%d" % self._count
        self._process = process_t(self, ident, board, work)
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, [])
        mask = sum(1 << (int(s) - 1) for s in blocked if 0 < int(s) <= 64)
        fsize = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
        fsize = -1 if fsize == resource.RLIM_INFINITY else fsize
        ignored = sum(1 << (int(s) - 1) for s in ignored)
        words = [b"start", ident.encode(), b"%d" % limit, b"%d" % fsize, b"%x" % mask,
                 b"%x" % ignored]
        words += [arg.encode().hex().encode() if isinstance(arg, str) else arg.hex().encode()
                  for arg in argv]
        self.send(b" ".join(words) + b"\n")
        self._expect("started")
        return self._process

    def close(self):
        # Everything worth keeping is on the host already: the power just goes.
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
        for stream in (self.qemu.stdin, self.qemu.stdout, self.qemu.stderr):
            try:
                stream.close()
            except OSError:
                pass
        os.close(self._mailbox)
        self._tmp.cleanup()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build", help="kernel, module, /init and initramfs")
    b.add_argument("--romtool", required=True, help="the PowerPC romtool")
    b.add_argument("--out", required=True)
    b.add_argument("--cflags", default="", help="extra compiler flags for the module")
    r = sub.add_parser("run", help="boot, run one program on a board folder, power off")
    r.add_argument("--image", required=True, help="the folder `build` filled")
    r.add_argument("--work", help="the program's folder (default: the current one)")
    r.add_argument("board")
    r.add_argument("argv", nargs="+")
    args = parser.parse_args()
    if args.command == "build":
        times = build(args.romtool, args.out, args.cflags)
        _say("built in %s" % ", ".join("%s %.1f s" % kv for kv in times.items()))
        return 0
    guest = guest_t(args.image)
    try:
        process = guest.start(os.path.abspath(args.board), os.path.abspath(args.work or "."),
                              args.argv)
        out, err = process.communicate()
        sys.stdout.buffer.write(out)
        sys.stderr.buffer.write(err)
        return process.returncode if process.returncode >= 0 else 128 - process.returncode
    finally:
        guest.close()


if __name__ == "__main__":
    sys.exit(main())
