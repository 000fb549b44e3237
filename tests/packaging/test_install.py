#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks of what the packages ship: the man pages and the install tree.

  test_install.py man --source SRC
      every page in doc/man renders with groff and man without a warning, and
      passes mandoc's lint.
  test_install.py install --build BUILD [--expect-romtool] [--expect-vboard]
                  [--expect-board-preload] [--expect-debian-docs]
      'cmake --install' with DESTDIR puts exactly the expected files into each
      component, and the installed programs run from there.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def fail(msg):
    print("FAIL: " + msg)
    return 1


def check_man(source):
    groff = shutil.which("groff")
    mandoc = shutil.which("mandoc")
    if not groff or not mandoc:
        print("groff or mandoc not found (Debian packages groff-base, mandoc): man pages not checked")
        return SKIP
    pages = sorted(os.path.join(source, "doc", "man", f)
                   for f in os.listdir(os.path.join(source, "doc", "man")) if f.endswith(".1"))
    if len(pages) < 2:
        return fail("expected romtool.1 and vboard.1 in doc/man, found %s" % pages)
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
    failures = 0
    for page in pages:
        # mandoc's lint also reports what groff renders silently (an unparsable
        # date, overlong lines); it prints its messages on standard output.
        runs = [[groff, "-man", "-Tutf8", "-ww", "-z", page], [mandoc, "-T", "lint", page]]
        if shutil.which("man"):
            runs.append(["man", "--warnings", "-l", page])
        for cmd in runs:
            r = subprocess.run(cmd, capture_output=True, text=True, env=env)
            lint = r.stdout if cmd[0] == mandoc else ""
            if r.returncode != 0 or r.stderr or lint:
                failures += fail("%s: status %d\n%s%s" % (" ".join(cmd), r.returncode, r.stderr, lint))
            elif cmd[0] == "man" and "NAME" not in r.stdout:
                failures += fail("%s printed no NAME section" % " ".join(cmd))
    return 1 if failures else 0


def installed_files(root):
    found = set()
    for top, _, files in os.walk(root):
        for f in files:
            found.add(os.path.relpath(os.path.join(top, f), root))
    return found


def install(build, dest, component=None):
    cmd = ["cmake", "--install", build, "--prefix", "/usr"]
    if component:
        cmd += ["--component", component]
    r = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, DESTDIR=dest))
    if r.returncode != 0:
        raise RuntimeError("%s failed:\n%s%s" % (" ".join(cmd), r.stdout, r.stderr))


def debian_docs(package):
    return {"usr/share/doc/%s/copyright" % package, "usr/share/doc/%s/changelog.Debian.gz" % package,
            "usr/share/lintian/overrides/%s" % package}


def check_install(build, expect_romtool, expect_vboard, expect_board_preload, expect_debian_docs):
    # Each component holds exactly its files: a file in the wrong component
    # would land in the wrong Debian package.
    components = {
        "romtool": {"usr/share/man/man1/romtool.1.gz", "usr/share/bash-completion/completions/romtool"}
                   | ({"usr/bin/romtool"} if expect_romtool else set())
                   | (debian_docs("romtool") if expect_debian_docs else set()),
        "vboard": {"usr/share/man/man1/vboard.1.gz"}
                  | ({"usr/bin/vboard", "usr/lib/vboard/vboard", "usr/lib/vboard/libvboard.so",
                      "usr/lib/vboard/board_dir.py", "usr/lib/vboard/zelk_ioctl.h",
                      "usr/share/doc/romtool-vboard/README.md"}
                     if expect_vboard else set())
                  | ({"usr/lib/vboard/powerpc/libvboard.so"} if expect_board_preload else set())
                  | (debian_docs("romtool-vboard") if expect_debian_docs else set()),
    }
    failures = 0
    with tempfile.TemporaryDirectory(prefix="romtool-install-") as tmp:
        for name, expected in components.items():
            dest = os.path.join(tmp, name)
            install(build, dest, name)
            got = installed_files(dest)
            if got != expected:
                failures += fail("component %s: missing %s, unexpected %s"
                                 % (name, sorted(expected - got), sorted(got - expected)))

        dest = os.path.join(tmp, "all")
        install(build, dest)
        usr = os.path.join(dest, "usr")
        for f in ("bin/romtool", "bin/vboard", "lib/vboard/vboard"):
            path = os.path.join(usr, f)
            if os.path.exists(path) and not os.access(path, os.X_OK):
                failures += fail("%s is not executable" % f)

        if expect_romtool:
            # The installed binary runs (no build-tree RPATH needed).
            r = subprocess.run([os.path.join(usr, "bin", "romtool")], capture_output=True, text=True)
            if r.returncode != 1 or not r.stdout.startswith("Usage: romtool\n"):
                failures += fail("installed romtool without arguments: status %d, output %r"
                                 % (r.returncode, r.stdout[:80]))

        if expect_vboard:
            # The installed front end finds the preload library installed with
            # it, not one from the build tree or the caller's environment.
            env = {k: v for k, v in os.environ.items() if k not in ("VBOARD_PRELOAD", "LD_PRELOAD")}
            vboard = os.path.join(usr, "bin", "vboard")
            board = os.path.join(tmp, "board")
            r = subprocess.run([vboard, "create", board], capture_output=True, text=True, env=env)
            if r.returncode != 0:
                return fail("installed vboard create: status %d\n%s%s"
                            % (r.returncode, r.stdout, r.stderr))
            # the error-text rule takes its request code from the installed contract
            r = subprocess.run([vboard, "fault", board, "error-text", "bios0", "errno=5"],
                               capture_output=True, text=True, env=env)
            rules = os.path.join(board, "faults.txt")
            if r.returncode != 0 or "code=0xc0ccd00a" not in open(rules).read():
                failures += fail("installed vboard fault error-text: status %d, %s"
                                 % (r.returncode, r.stderr.strip()))
            r = subprocess.run([vboard, "run", board, "--", "/bin/sh", "-c", 'printf %s "$LD_PRELOAD"'],
                               capture_output=True, text=True, env=env)
            want = os.path.realpath(os.path.join(usr, "lib", "vboard", "libvboard.so"))
            if r.returncode != 0 or r.stdout != want:
                failures += fail("installed vboard run preloads %r (status %d, %s), want %r"
                                 % (r.stdout, r.returncode, r.stderr.strip(), want))
    return 1 if failures else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("check", choices=["man", "install"])
    ap.add_argument("--source")
    ap.add_argument("--build")
    ap.add_argument("--expect-romtool", action="store_true")
    ap.add_argument("--expect-vboard", action="store_true")
    ap.add_argument("--expect-board-preload", action="store_true")
    ap.add_argument("--expect-debian-docs", action="store_true")
    a = ap.parse_args()
    if a.check == "man":
        return check_man(a.source)
    return check_install(a.build, a.expect_romtool, a.expect_vboard, a.expect_board_preload,
                         a.expect_debian_docs)


if __name__ == "__main__":
    sys.exit(main())
