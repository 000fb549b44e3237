#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""romtool's bash completion, run in bash as bash runs it on <TAB>.

  test_completion.py SCRIPT

Each row sets COMP_WORDS/COMP_CWORD, calls the completion function and compares
COMPREPLY word for word; file rows run with and without the bash-completion
framework (its _filedir, where installed). shellcheck checks the script too.
"""
import os
import shutil
import subprocess
import sys
import tempfile

FRAMEWORK = "/usr/share/bash-completion/bash_completion"

OPTIONS = sorted("-dev -i -r -dump -e -p -pbios -pfpga -get -set -rmt -wmt -l -verify -erase "
                 "-ifchanged -crc -progress -nowait -version --version -h --help "
                 "-list -unset -load -nvram".split())

# (what the row catches, words on the line with the last one being completed,
#  board nodes present or None for no node folder, expected COMPREPLY)
ROWS = [
    ("every option, the new ones included", ["-"], None, OPTIONS),
    ("options by prefix", ["-p"], None, ["-p", "-pbios", "-pfpga", "-progress"]),
    ("long options", ["--"], None, ["--help", "--version"]),
    ("an empty word offers options", [""], None, OPTIONS),
    ("options after a complete command", ["-dev", "bios0", "-pbios", "img.bin", "-v"], None,
     ["-verify", "-version"]),
    ("-dev: the board's nodes", ["-dev", ""], ["flash_fpga1", "flash_bios0", "flash_env0", "nvram0"],
     ["bios0", "env0", "fpga1"]),
    ("-dev: by prefix", ["-dev", "f"], ["flash_fpga1", "flash_bios0"], ["fpga1"]),
    ("-dev: the usage text's names without nodes", ["-dev", ""], None,
     ["bios0", "bios1", "booter", "env0", "env1", "fpga0", "fpga1"]),
    ("-dev: an empty node folder", ["-dev", "b"], [], ["bios0", "bios1", "booter"]),
    ("-crc: the image kinds", ["-crc", ""], None, ["bios", "fpga"]),
    ("-rmt: a count, nothing to offer", ["-rmt", ""], None, []),
    ("-r: a count, nothing to offer", ["-r", ""], None, []),
    ("-get: a key, nothing to offer", ["-get", ""], None, []),
    ("-set: neither key nor value", ["-set", "bootfile", ""], None, []),
]

# File rows run in a folder holding a.bit, b.bit, img.bin and the folder sub/.
FILE_ROWS = [
    ("-p: file names", ["-p", ""], ["a.bit", "b.bit", "img.bin", "sub"]),
    ("-pbios: by prefix", ["-pbios", "i"], ["img.bin"]),
    ("-dump: file names", ["-dump", "s"], ["sub"]),
    ("-load: file names", ["-load", "a"], ["a.bit"]),
    ("-pfpga: the first file", ["-pfpga", "a"], ["a.bit"]),
    ("-pfpga: every further file", ["-dev", "fpga0", "-pfpga", "a.bit", "b"], ["b.bit"]),
    ("-pfpga: a modifier does not end the files", ["-pfpga", "a.bit", "-verify", "b"], ["b.bit"]),
    ("-pfpga: another option ends them", ["-pfpga", "a.bit", "-i", ""], OPTIONS),
    ("-dump: standard output too", ["-dump", ""], ["-", "a.bit", "b.bit", "img.bin", "sub"]),
]

RUN = r'''
[ -n "$FRAMEWORK" ] && source "$FRAMEWORK"
source "$SCRIPT" || exit 2
complete -p romtool >&2
COMP_WORDS=(romtool "$@")
COMP_CWORD=$#
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
_romtool
printf '%s\n' "${COMPREPLY[@]}"
'''


def complete(script, words, cwd, dev_dir, framework=""):
    env = dict(os.environ, SCRIPT=script, FRAMEWORK=framework, _romtool_dev_dir=dev_dir)
    r = subprocess.run(["bash", "--norc", "--noprofile", "-c", RUN, "romtool"] + words,
                       cwd=cwd, env=env, capture_output=True, text=True)
    return r.returncode, [w for w in r.stdout.split("\n") if w], r.stderr


def main():
    script = os.path.abspath(sys.argv[1])
    failures = 0

    def check(name, words, cwd, dev_dir, want, framework=""):
        nonlocal failures
        rc, got, err = complete(script, words, cwd, dev_dir, framework)
        if rc != 0 or err.strip() != "complete -F _romtool romtool":
            failures += 1
            print("FAIL %s: status %d, %s" % (name, rc, err.strip()))
        elif sorted(got) != sorted(want):
            failures += 1
            print("FAIL %s%s: romtool %s<TAB> gave %s, want %s"
                  % (name, " (bash-completion)" if framework else "", " ".join(words), got, want))

    with tempfile.TemporaryDirectory(prefix="romtool-completion-") as tmp:
        for name, words, nodes, want in ROWS:
            dev_dir = os.path.join(tmp, "dev-%d" % ROWS.index((name, words, nodes, want)))
            if nodes is not None:
                os.mkdir(dev_dir)
                for n in nodes:
                    open(os.path.join(dev_dir, n), "w").close()
            check(name, words, tmp, dev_dir, want)

        files = os.path.join(tmp, "files")
        os.makedirs(os.path.join(files, "sub"))
        for f in ("a.bit", "b.bit", "img.bin"):
            open(os.path.join(files, f), "w").close()
        frameworks = [""] + ([FRAMEWORK] if os.path.exists(FRAMEWORK) else [])
        for framework in frameworks:
            for name, words, want in FILE_ROWS:
                check(name, words, files, os.path.join(tmp, "no-dev"), want, framework)

    shellcheck = shutil.which("shellcheck")
    if not shellcheck:
        print("FAIL: shellcheck not found (Debian package shellcheck)")
        failures += 1
    else:
        r = subprocess.run([shellcheck, script], capture_output=True, text=True)
        if r.returncode != 0:
            failures += 1
            print("FAIL: shellcheck %s\n%s" % (script, r.stdout))
    if failures:
        return 1
    print("%d completion rows, shellcheck clean" % (len(ROWS) + len(FILE_ROWS) * len(frameworks)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
