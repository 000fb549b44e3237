# SPDX-License-Identifier: MIT
"""The README's tour and romtool(1)'s EXAMPLES, run from the documents on a fresh virtual
board, print what the documents show; a line shown ending in ctrl-c gets a real SIGINT."""

import os
import re
import subprocess
import tempfile
import unittest

import harness

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SECONDS = re.compile(rb'"seconds":[0-9.]+')


def tour_lines():
    """(command, quoted outputs) of the README's tour but its build line."""
    with open(os.path.join(TOP, "README.md")) as f:
        text = f.read()
    tour = text[text.index("## A short tour"):]
    tour = tour[:tour.index("\n## ", 1)]
    lines = []
    for line in tour.split("\n"):
        if not line.startswith("    ") or line.strip().startswith("cmake "):
            continue
        command, *comment = re.split(r"\s#\s", line.strip() + " ", maxsplit=1)
        lines.append((command.strip(), re.findall(r'"([^"]*)"', "".join(comment))))
    return lines


def example_lines():
    """(command, the lines the page shows after it) of romtool(1)'s EXAMPLES."""
    with open(os.path.join(TOP, "doc", "man", "romtool.1")) as f:
        page = f.read()
    page = page[page.index(".SH EXAMPLES"):page.index(".SH SEE ALSO")]
    examples = []
    for block in re.findall(r"\.EX\n(.*?)\.EE", page, re.S):
        for line in block.replace("\\-", "-").replace("\\\\", "\\").split("\n")[:-1]:
            if line.startswith("$ "):
                examples.append((line[2:], []))
            else:
                examples[-1][1].append(line)
    return examples


class test_docs(harness.romtool_test_case):
    def setUp(self):
        if harness.RUNNER or harness.KERNEL or harness.VALGRIND or not harness.PRELOAD:
            self.skipTest("the documents' commands are the host's")
        tmp = tempfile.TemporaryDirectory(prefix="romtool-docs-")
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.board = os.path.join(self.tmp, "board")

    def run_lines(self, prelude, commands, cwd):
        """[(status, standard output and error)] of the commands, in one bash after prelude."""
        script = ["set -u", prelude, "export TMPDIR=%s" % self.tmp]
        for n, (command, interrupt_after) in enumerate(commands):
            out = os.path.join(self.tmp, "out.%d" % n)
            if interrupt_after is None:
                script.append("{ %s ; } >%s 2>&1; echo $? >%s.status" % (command, out, out))
            else:  # in the background; its own process gets ctrl-c once it has said so
                script += ["{ %s ; } >%s 2>&1 &" % (command, out), "job=$!",
                           "until grep -qF %s %s; do sleep 0.05; done" % (
                               harness.shlex.quote(interrupt_after), out),
                           "kill -INT $(pgrep -P $job)", "wait $job; echo $? >%s.status" % out]
        subprocess.run(["bash", "-c", "\n".join(script)], cwd=cwd, check=True,
                       timeout=20 * harness.TIMEOUT)
        results = []
        for n in range(len(commands)):
            with open(os.path.join(self.tmp, "out.%d" % n), "rb") as f, \
                    open(os.path.join(self.tmp, "out.%d.status" % n)) as s:
                results.append((int(s.read()), f.read()))
        return results

    def test_readme_tour(self):
        # The tour's own folder layout, pointing at what this build made.
        top = os.path.join(self.tmp, "top")
        for link, target in (("virtual_board", os.path.join(TOP, "virtual_board")),
                             ("scripts", os.path.join(TOP, "scripts")),
                             ("build/tour/romtool/romtool", harness.ROMTOOL),
                             ("build/tour/virtual_board/libvboard.so", harness.PRELOAD)):
            os.makedirs(os.path.dirname(os.path.join(top, link)), exist_ok=True)
            os.symlink(os.path.abspath(target), os.path.join(top, link))
        lines = [(command.replace("/tmp/board", self.board), quoted)
                 for command, quoted in tour_lines()]
        # The lines that define what the others use run before each of them.
        defining = [c for c, _ in lines if c.startswith(("top=", "vboard()", "romtool()"))]
        commands = [(c, q[0] if "ctrl-c" in c or any("ctrl-c" in x for x in q) else None)
                    for c, q in lines if c not in defining]
        results = self.run_lines("\n".join(defining), commands, top)
        for (command, quoted), (status, output) in zip(
                [line for line in lines if line[0] not in defining], results):
            with self.subTest(command=command):
                self.assertEqual(status, 0, output[-500:])
                at = 0
                for text in quoted:
                    found = output.find(text.encode(), at)
                    self.assertGreaterEqual(found, 0, "%r not in %r" % (text, output[-500:]))
                    at = found + len(text)

    def test_man_page_examples(self):
        work = os.path.join(self.tmp, "work")
        os.mkdir(work)
        subprocess.run([os.path.join(TOP, "scripts", "sample_images.sh")], cwd=work, check=True)
        subprocess.run([harness.sys.executable, harness.VBOARD, "create", self.board], check=True)
        prelude = 'romtool() { %s run --preload %s %s -- %s "$@"; }' % (
            harness.VBOARD, harness.PRELOAD, self.board, harness.ROMTOOL)
        examples = example_lines()
        commands = [(c, shown[-2] if shown[-1:] == ["^C"] else None) for c, shown in examples]
        for (command, shown), (status, output) in zip(examples, self.run_lines(prelude, commands,
                                                                            work)):
            with self.subTest(command=command):
                shown = [line for line in shown if line != "^C"]
                got = [line.rstrip() for line in SECONDS.sub(b'"seconds":0', output).decode()
                       .split("\n")[:-1]]
                self.assertEqual(got, [SECONDS.sub(b'"seconds":0', line.encode()).decode()
                                       for line in shown], "status %d" % status)


if __name__ == "__main__":
    unittest.main()
