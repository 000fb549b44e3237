#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What the packages ship.

  man --source SRC: every man page passes groff and mandoc's lint
  install --build BUILD [--expect-romtool|vboard|board-preload|debian-docs]...: each install
      component (a Debian package) holds exactly its files; scripts/package.sh runs them.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def fail(msg):
    print("FAIL: " + msg)
    return 1


def check_man(source):
    if not shutil.which("groff") or not shutil.which("mandoc"):
        print("groff or mandoc not found (Debian packages groff-base, mandoc): man pages not checked")
        return 77
    failures = 0
    for page in ("romtool.1", "vboard.1"):
        page = os.path.join(source, "doc", "man", page)
        # mandoc's lint also reports what groff renders silently; it prints on stdout.
        for cmd in (["groff", "-man", "-Tutf8", "-ww", "-z", page], ["mandoc", "-T", "lint", page]):
            r = subprocess.run(cmd, capture_output=True, text=True,
                               env=dict(os.environ, LC_ALL="C.UTF-8"))
            if r.returncode != 0 or r.stderr or (cmd[0] == "mandoc" and r.stdout):
                failures += fail("%s: status %d\n%s%s" % (" ".join(cmd), r.returncode, r.stderr, r.stdout))
    return 1 if failures else 0


def install(build, dest, component):
    cmd = ["cmake", "--install", build, "--prefix", "/usr", "--component", component]
    subprocess.run(cmd, check=True, capture_output=True, env=dict(os.environ, DESTDIR=dest))
    return {os.path.relpath(os.path.join(top, f), dest) for top, _, files in os.walk(dest) for f in files}


def check_install(build, romtool, vboard, board_preload, debian_docs):
    def docs(package):
        return {"usr/share/doc/%s/copyright" % package, "usr/share/doc/%s/changelog.Debian.gz" % package,
                "usr/share/lintian/overrides/%s" % package} if debian_docs else set()
    components = {
        "romtool": {"usr/share/man/man1/romtool.1.gz", "usr/share/bash-completion/completions/romtool",
                    "usr/share/romtool/romtool.schema.json"}
                   | ({"usr/bin/romtool"} if romtool else set()) | docs("romtool"),
        "vboard": {"usr/share/man/man1/vboard.1.gz"}
                  | ({"usr/bin/vboard", "usr/lib/vboard/vboard", "usr/lib/vboard/libvboard.so",
                      "usr/lib/vboard/board_dir.py", "usr/lib/vboard/zelk_ioctl.h",
                      "usr/share/doc/romtool-vboard/README.md"} if vboard else set())
                  | ({"usr/lib/vboard/powerpc/libvboard.so"} if board_preload else set())
                  | docs("romtool-vboard"),
    }
    with tempfile.TemporaryDirectory(prefix="romtool-install-") as tmp:
        got = {name: install(build, os.path.join(tmp, name), name) for name in components}
    return 1 if sum(fail("component %s: missing %s, unexpected %s" % (name, sorted(want - got[name]),
                    sorted(got[name] - want))) for name, want in components.items() if got[name] != want) else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("check", choices=["man", "install"])
    ap.add_argument("--source")
    ap.add_argument("--build")
    for flag in ("romtool", "vboard", "board-preload", "debian-docs"):
        ap.add_argument("--expect-" + flag, action="store_true")
    a = ap.parse_args()
    return check_man(a.source) if a.check == "man" else check_install(a.build, a.expect_romtool, a.expect_vboard, a.expect_board_preload,
                         a.expect_debian_docs)


if __name__ == "__main__":
    sys.exit(main())
