# SPDX-License-Identifier: MIT
"""The kernel board's guest: qemu-system-ppc booting the image `kboard.py build` made, a
program at a time in it (process_t, like subprocess.Popen), and the board folder and the
work folder kept in step with it around every program."""

import ctypes
import hashlib
import os
import queue
import resource
import signal
import stat
import subprocess
import tempfile
import threading
import time

import kboard_protocol as protocol
from kboard_protocol import board_dir


def _sha1(data):
    return hashlib.sha1(data).hexdigest()


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


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
        for fd in (1, 2):
            r, w = os.pipe()
            self._out[fd] = (w, queue.Queue())
            setattr(self, "stdout" if fd == 1 else "stderr", os.fdopen(r, "rb"))
            threading.Thread(target=self._pump, args=(fd,), daemon=True).start()

    def _pump(self, fd):
        w, items = self._out[fd]
        while True:
            data = items.get()
            if data is None:
                break
            try:
                _write_all(w, data)
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


class guest_t:
    """One booted guest; programs run in it one at a time."""

    def __init__(self, image_dir, memory="256", qemu_args=()):
        self.image_dir = image_dir
        # The mailbox disk: bulk data both ways (the serial line carries tens of kB/s).
        self._tmp = tempfile.TemporaryDirectory(prefix="kboard-")
        mailbox = os.path.join(self._tmp.name, "mailbox")
        self._mailbox = os.open(mailbox, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        os.ftruncate(self._mailbox, protocol.MAILBOX_SIZE)
        self.qemu = subprocess.Popen(
            ["qemu-system-ppc", *qemu_args, "-M", "ppce500", "-cpu", "e500mc", "-m", memory,
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
        self._nodes = {}  # what the driver holds: node -> (digest of its record, of its image)
        self._rules = []  # the fault rules it holds, as board_dir reads them
        self._work = {}   # the guest's work folder: name -> digest or "dir"
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
            raise RuntimeError("kernel board: %s" % " ".join(reply))
        return reply

    def _read(self):
        stream = self.qemu.stdout
        try:
            while True:
                line = stream.readline()
                if not line:
                    break
                at = line.find(protocol.PREFIX)
                if at < 0:
                    self.console += line
                    continue
                self.console += line[:at]
                self._handle(line[at + len(protocol.PREFIX):].rstrip(b"\n").split(b" "), stream)
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
        kind, process = words[0].decode(), self._process
        if kind == "out":
            data = self._payload(words, 3, stream)
            if process is not None:
                process._output(int(words[2]), data)
        elif kind == "log":
            data = self._payload(words, 1, stream)
            if process is not None:
                with open(os.path.join(process.board, "requests.log"), "ab") as f:
                    f.write(data)
        elif kind == "image":
            data = self._payload(words, 1, stream)
            name, image = protocol.node_name(data), data[protocol.NODE_RECORD.size:]
            self._nodes[name] = (self._nodes.get(name, ("",))[0], _sha1(image))
            if process is not None:
                board_dir.write_image(process.board, name, image)
        elif kind == "hits":
            data = self._payload(words, 1, stream)
            if process is not None:
                board_dir.write_hits(process.board, self._rules, protocol.hits(data))
        elif kind == "file":
            name, mode = words[1].decode(), int(words[2], 8)
            data = self._payload(words, 3, stream)
            if process is not None:
                path = os.path.join(process.work, name)
                with open(path, "r+b" if os.path.exists(path) else "wb") as f:
                    f.write(data)
                    f.truncate()
                os.chmod(path, mode)
                self._work[name] = _sha1(data + b"%o" % mode)
        elif kind == "gone":
            name = words[1].decode()
            self._work.pop(name, None)
            if process is not None:
                try:
                    os.unlink(os.path.join(process.work, name))
                except FileNotFoundError:
                    pass
        elif kind == "exit":
            if process is not None:
                number = int(words[3])
                process._finish(-number if words[2] == b"signal" else number)
        else:
            self._replies.put([w.decode(errors="replace") for w in words])

    def _in_mailbox(self, data):
        # Not when the caller's file size limit cuts the write short.
        try:
            return 512 <= len(data) <= protocol.MAILBOX_OUT and os.pwrite(
                self._mailbox, data, 0) == len(data)
        except OSError:
            return False

    def _send_data(self, head, data):
        if self._in_mailbox(data):
            self.send(head + b" %d @0\n" % len(data))
        else:
            self.send(head + b" %d\n" % len(data) + data)
        self._expect("ok")

    # -- state --

    def sync_work(self, work):
        """The guest's work folder := the host's (folders in it as names only: a program
        may meet one)."""
        names = []
        for name in os.listdir(work):
            path = os.path.join(work, name)
            mode = os.stat(path).st_mode
            if stat.S_ISDIR(mode) or stat.S_ISREG(mode):
                names.append(name)
            if stat.S_ISDIR(mode):
                if self._work.get(name) != "dir":
                    self.send(b"dir %s %o\n" % (name.encode(), mode & 0o7777))
                    self._expect("ok")
                    self._work[name] = "dir"
            elif stat.S_ISREG(mode) and self._work.get(name) != "dir":
                with open(path, "rb") as f:
                    data = f.read()
                digest = _sha1(data + b"%o" % (mode & 0o7777))
                if self._work.get(name) != digest:
                    self._send_data(b"put %s %o" % (name.encode(), mode & 0o7777), data)
                    self._work[name] = digest
        for name in [n for n in self._work if n not in names]:
            self.send(b"del %s\n" % name.encode())
            self._expect("ok")
            del self._work[name]

    def sync_board(self, board):
        """The driver takes the board: the nodes that changed, settings, texts and rules."""
        chunks = []
        present = [n for n in board_dir.nodes(board)
                   if len(n.encode()) < protocol.C["ZB_NAME_SIZE"]]
        for name in [n for n in self._nodes if n not in present]:
            chunks.append(protocol.remove_node(name))
            del self._nodes[name]
        for name in present:
            settings = board_dir.node_settings(board, name)
            with open(os.path.join(board, name + ".img"), "rb") as f:
                image = f.read()
            key = (_sha1(repr(sorted(settings.items())).encode()), _sha1(image))
            if self._nodes.get(name) != key:
                chunks.append(protocol.set_node(name, settings, image))
                self._nodes[name] = key
        self._rules = board_dir.fault_rules(board)[:protocol.C["ZB_MAX_RULES"]]
        chunks.append(protocol.set_tables(board, self._rules))
        self._send_data(b"load", b"".join(chunks))

    def sync(self, board, work):
        self.sync_board(board)
        self.sync_work(work)

    def start(self, board, work, argv, limit=600, ignored=(), closed=()):
        """Runs argv (argv[0] a guest path) in the guest's copy of work, on board, with
        every signal at its default but those in ignored, as `vboard run` starts it, and
        the standard descriptors in closed (0, 1, 2) closed."""
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
                 b"%x" % ignored, b"%x" % sum(1 << fd for fd in closed)]
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
