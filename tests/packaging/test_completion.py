#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""test_completion.py SCRIPT ROMTOOL [RUNNER...]: romtool's bash completion, as bash runs it
on <TAB> with and without the bash-completion framework, offers what `romtool --help` lists."""
import os
import shutil
import subprocess
import sys
import tempfile

FRAMEWORK = "/usr/share/bash-completion/bash_completion"
FILES = ["a.bit", "b.bit", "sub"]

RUN = r'''
[ -n "$FRAMEWORK" ] && source "$FRAMEWORK"
source "$SCRIPT" || exit 2
complete -p romtool >/dev/null || exit 3
COMP_WORDS=(romtool "$@")
COMP_CWORD=$#
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
_romtool
printf '%s\n' "${COMPREPLY[@]}"
'''


def help_options(romtool):
    """(every option --help lists, the modifiers among them)"""
    lines = subprocess.run(romtool + ["--help"], capture_output=True, text=True,
                           check=True).stdout.split("\n")[1:]
    options, modifiers = [], []
    for line in lines:
        for spelling in line[:27].strip().split(", ") if line else ():
            option = spelling.split()[0]
            if option.startswith("["):
                option = option.strip("[]")
                modifiers.append(option)
            options.append(option)
    return sorted(options), modifiers


def main():
    script = os.path.abspath(sys.argv[1])
    options, modifiers = help_options(sys.argv[3:] + [sys.argv[2]])
    commands = [o for o in options if o not in modifiers and o != "-dev"]
    # (words on the line, the last one being completed; board nodes, None: no node
    #  folder; expected COMPREPLY)
    rows = [
        (["-"], None, options),
        (["-dev", ""], ["flash_fpga1", "flash_bios0", "nvram0"], ["bios0", "fpga1"]),
        (["-dev", ""], None, ["bios0", "bios1", "booter", "env0", "env1", "fpga0", "fpga1"]),
        (["-crc", ""], None, ["bios", "fpga"]),
        (["-rmt", ""], None, []),
        (["-unset", ""], None, []),
        (["-set", "bootfile", ""], None, []),
        (["-p", ""], None, FILES),
        (["-load", "a"], None, ["a.bit"]),
        (["-pfpga", "a.bit", "-dev", "fpga0", "b"], None, ["b.bit"]),
        (["-dump", ""], None, ["-"] + FILES),  # "-" is standard output
    ]
    rows += [(["-pfpga", "a.bit", m, "b"], None, ["b.bit"]) for m in modifiers]
    rows += [(["-pfpga", "a.bit", c, "x", "b"], None, []) for c in commands if c != "-pfpga"]
    failures = 0
    frameworks = [""] + ([FRAMEWORK] if os.path.exists(FRAMEWORK) else [])
    with tempfile.TemporaryDirectory(prefix="romtool-completion-") as tmp:
        touch = lambda folder, names: [open(os.path.join(folder, f), "w").close() for f in names]
        os.mkdir(os.path.join(tmp, "sub"))
        touch(tmp, FILES[:2])
        for n, (words, nodes, want) in enumerate(rows):
            dev_dir = os.path.join(tmp, "sub", "dev-%d" % n)
            if nodes is not None:
                os.mkdir(dev_dir)
                touch(dev_dir, nodes)
            for framework in frameworks:
                env = dict(os.environ, SCRIPT=script, FRAMEWORK=framework, _romtool_dev_dir=dev_dir)
                r = subprocess.run(["bash", "--norc", "--noprofile", "-c", RUN, "romtool"] + words,
                                   cwd=tmp, env=env, capture_output=True, text=True)
                got = sorted(w for w in r.stdout.split("\n") if w)
                if r.returncode != 0 or r.stderr or got != sorted(want):
                    failures += 1
                    print("FAIL romtool %s<TAB>%s: status %d, %s gave %s, want %s"
                          % (" ".join(words), " (bash-completion)" if framework else "",
                             r.returncode, r.stderr.strip(), got, sorted(want)))
    shellcheck = shutil.which("shellcheck")
    r = subprocess.run([shellcheck, script], capture_output=True, text=True) if shellcheck else None
    if not r or r.returncode != 0:
        failures += 1
        print("FAIL: shellcheck %s\n%s" % (script, r.stdout if r else "not found"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
