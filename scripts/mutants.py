#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Mutant runner: which small faults in our C and C++ sources do the host tests miss?

  scripts/mutants.py list FILE|DIR...          the mutants it would make; nothing is run
  scripts/mutants.py list --summary [PATH...]  their count per folder and operator
  scripts/mutants.py run FILE|DIR...           apply each mutant, rebuild, test, restore
  scripts/mutants.py run --since REV           only on the lines changed since REV
  scripts/mutants.py run --shuffle SEED DIR    in a random order: a run cut short samples evenly
  scripts/mutants.py report [--survivors [PATH]]
  scripts/mutants.py equivalent ID "reason"    a survivor no test can kill, and why
  scripts/mutants.py selfcheck                 the operators on a small sample

A mutant is one operator-level change: a relational boundary (< <=, > >=), == != and
&& ||, a negated if/while/?: condition, an integer literal plus or minus one, a guarded
throw/return/break/continue dropped, one flag dropped from an a | b | c set, standard output
swapped with standard error, a "+ 1" or "- 1" dropped. The sources are read as tokens, so
comments, string and character literals and preprocessor lines (but for the values of
object-like #defines) are never touched; nor are test sources.

For each mutant, run writes it into the source file, rebuilds the tree build/mutants
(configured like the host preset, with the standard library's checks on), runs the host
tests related to the file (RELATED below; --all-tests: all of them) one at a time with the
most related first (tests that killed mutants of the same file before, the file's own unit
tests, e2e tests sharing a word with its name, then the rest, quickest first within each
group) and stops at the first failure or when --budget runs out. The file is always put
back, on ctrl-c too; a crash is repaired at the next start (build/mutants/active-mutant.json).

Outcomes go to tests/mutants/results.tsv as soon as they are known (appended, the file
rewritten sorted every few outcomes), so a run resumes where the last one stopped. One line
per mutant, tab separated: id, file:line, operator, change ("before → after" on that line),
outcome (killed, survived, did-not-build, timed-out), the test that killed it or ran out of
time, seconds, and "stale" once the lines it changed are no longer there. Equivalent mutants
go to tests/mutants/equivalent.tsv with their reason. A mutant's ID is made from the text of
the lines it touches, the operator and its place among that operator's mutants there: it
survives edits elsewhere in the file, and a result whose lines changed no longer counts.

Not part of CI: a survivor costs a whole host test run, and all of romtool/, libs/ and
virtual_board/core/ take about a day. The tests must pass on the unchanged tree first
(checked once per state of the sources, cached in the build tree).
"""

import argparse
import collections
import fcntl
import glob
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

SOURCE_EXTENSIONS = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp")
DEFAULT_SCOPE = ("romtool", "libs", "virtual_board/core")
RESULTS = "tests/mutants/results.tsv"
EQUIVALENT = "tests/mutants/equivalent.tsv"
OPERATORS = ("relational", "equality", "logical", "negate", "literal", "guard", "flag",
             "stream", "plus-one")
OUTCOMES = ("killed", "survived", "did-not-build", "timed-out")

# The tests that exercise each part of the code (file path prefix, ctest regex; the first
# prefix that matches counts). A mutant none of them kills has survived; --all-tests runs
# every test instead, for a last look at the survivors.
E2E = r"^e2e\.test_(%s)$"
RELATED = (
    ("libs/util/args", r"^util\.|" + E2E % "cli"),
    ("libs/util/crc32", r"^util\.|" + E2E % "flash_program|flash_modifiers|flash_errors"),
    ("libs/posix/", r"^posix\.|" + E2E % "flash_errors|flash_device|output|env_load|cli"),
    ("libs/pproc/", r"^(Thread|Event|Mutex|Deadline)\.|" + E2E % "env_threads|json"),
    ("libs/zelk/zelk_driver", r"^zelk\.|" + E2E % "flash_errors|flash_device|json"),
    ("libs/zelk/zelk_ioctl", r"^zelk\.|" + E2E % "flash_errors|flash_device|env_keys|env_load|json"),
    ("libs/zelk/", r"^zelk\.|" + E2E % "env_keys|env_load|json|power_cuts"),
    ("romtool/program_", E2E % "flash_program|flash_modifiers|flash_errors|json|power_cuts|output"),
    ("romtool/image", E2E % "flash_program|flash_modifiers|json"),
    ("romtool/device_io", E2E % "flash_modifiers|flash_program|json"),
    ("romtool/erase", E2E % "flash_modifiers|flash_errors|json"),
    ("romtool/crc_command", E2E % "flash_modifiers|json|power_cuts"),
    ("romtool/env_threads", E2E % "env_threads|json"),
    ("romtool/env_", E2E % "env_keys|env_load|json|power_cuts|cli"),
    ("romtool/held_signals", E2E % "env_load"),
    ("romtool/dump", r"^romtool\.|" + E2E % "flash_device|output|json|flash_errors|cli"),
    ("romtool/removed_on_signal", r"^romtool\.|" + E2E % "flash_device"),
    ("romtool/device_info", E2E % "flash_device|json|flash_errors"),
    ("romtool/device_lock", r"^romtool\.|" + E2E % "cli|env_keys|json"),
    ("romtool/progress", E2E % "output|flash_modifiers|json"),
    ("romtool/json", E2E % "json|docs|cli|output"),  # docs: the man page's objects, byte for byte
    ("romtool/access_loop", E2E % "json"),
    ("romtool/command_table", r"^romtool\.|packaging_completion|^e2e\."),  # every command's row
    ("romtool/", r"^romtool\.|packaging_completion|" + E2E % "cli|json|output|env_load|flash_errors"
     "|env_threads"),  # env_threads: the failures its workers print, by main
    ("virtual_board/core/", r"^vboard\.|" + E2E % "flash_program|flash_modifiers|flash_errors"
     "|flash_device|env_keys|env_load|power_cuts|cli|json"),
    ("virtual_board/", r"^vboard\.|" + E2E % "flash_program|flash_modifiers|flash_device|env_keys"
     "|env_threads|power_cuts"),
)


def related_tests(path):
    for prefix, pattern in RELATED:
        if path.startswith(prefix):
            return pattern
    return None

# ---------------------------------------------------------------------------------------
# Tokens

KEYWORDS = set("""
alignas alignof asm auto bool break case catch char char16_t char32_t char8_t class const
consteval constexpr constinit const_cast continue co_await co_return co_yield decltype default
delete do double dynamic_cast else enum explicit export extern false float for friend goto if
inline int long mutable namespace new noexcept nullptr operator private protected public
register reinterpret_cast requires restrict return short signed sizeof static static_assert
static_cast struct switch template this thread_local throw true try typedef typeid typename
union unsigned using virtual void volatile wchar_t while _Bool _Static_assert _Alignas
""".split())
# Words a declaration starts with, or that end the type of one.
TYPE_WORDS = set("""
auto bool char char16_t char32_t char8_t const constexpr double float int long short signed
static unsigned void volatile wchar_t struct enum class typename register extern inline
""".split())
# Cast-like keywords followed by template brackets.
TEMPLATE_WORDS = {"template", "static_cast", "dynamic_cast", "const_cast", "reinterpret_cast"}
PUNCTUATORS = sorted("""
>>= <<= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= .* ##
""".split(), key=len, reverse=True)
ASSIGNMENTS = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
OPENERS = {"(": ")", "[": "]", "{": "}"}
CLOSERS = {v: k for k, v in OPENERS.items()}
JUMPS = {"throw", "return", "break", "continue"}
STREAMS = {"cout": "cerr", "cerr": "cout", "stdout": "stderr", "stderr": "stdout",
           "STDOUT_FILENO": "STDERR_FILENO", "STDERR_FILENO": "STDOUT_FILENO"}

Token = collections.namedtuple("Token", "kind text start end line define")

IDENT = re.compile(r"[A-Za-z_]\w*")
NUMBER = re.compile(r"\.?\d(?:[eEpP][+-]|'(?=\w)|[\w.])*")
DIRECTIVE = re.compile(r"#[ \t]*(\w*)")
DEFINE_NAME = re.compile(r"[ \t]+(\w+)")
STRING_PREFIXES = {"L", "u", "U", "u8"}
RAW_PREFIXES = {"R", "LR", "uR", "UR", "u8R"}


def _skip_quoted(text, i, quote):  # i: just past the opening quote; returns past the closing
    n = len(text)
    while i < n:
        c = text[i]
        if c == "\\":
            i += 2
        elif c == quote or c == "\n":  # an unterminated literal ends with its line
            return i + 1
        else:
            i += 1
    return n


def _skip_directive(text, i):  # to the newline that ends the logical line (not past it)
    n = len(text)
    while i < n:
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
        elif text.startswith("\\\n", i):
            i += 2
        elif text[i] == "\n":
            return i
        else:
            i += 1
    return n


def lex(text):
    """The tokens of a C or C++ source. Comments and directives are left out, except the
    value of an object-like #define, whose tokens carry define=True."""
    tokens = []
    i, n, line = 0, len(text), 1
    line_start, in_define = True, False

    def add(kind, start, end):
        tokens.append(Token(kind, text[start:end], start, end, line, in_define))

    while i < n:
        c = text[i]
        if c == "\n":
            line, i, line_start, in_define = line + 1, i + 1, True, False
        elif text.startswith("\\\n", i):
            line, i = line + 1, i + 2
        elif c in " \t\r\f\v":
            i += 1
        elif text.startswith("//", i):
            end = i
            while True:  # a comment ending in a backslash goes on on the next line
                end = text.find("\n", end)
                if end < 0 or text[end - 1] != "\\":
                    break
                line, end = line + 1, end + 1
            i = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += text.count("\n", i, end)
            i = end
        elif c == "#" and line_start:
            m = DIRECTIVE.match(text, i)
            name = DEFINE_NAME.match(text, m.end()) if m.group(1) == "define" else None
            line_start = False
            if name and not text.startswith("(", name.end()):
                i, in_define = name.end(), True  # an object-like macro: its value is lexed
            else:
                end = _skip_directive(text, i)
                line += text.count("\n", i, end)
                i = end
        else:
            line_start = False
            start = i
            if c.isalpha() or c == "_":
                word = IDENT.match(text, i)
                i = word.end()
                if i < n and text[i] == '"' and word.group() in RAW_PREFIXES:
                    open_paren = text.find("(", i)
                    delimiter = ")" + text[i + 1:open_paren] + '"'
                    end = text.find(delimiter, open_paren)
                    i = n if end < 0 else end + len(delimiter)
                    add("str", start, i)
                    line += text.count("\n", start, i)
                elif i < n and text[i] in "\"'" and word.group() in STRING_PREFIXES:
                    i = _skip_quoted(text, i + 1, text[i])
                    add("str" if text[start + len(word.group())] == '"' else "chr", start, i)
                else:
                    add("id", start, i)
            elif c.isdigit() or (c == "." and text[i + 1:i + 2].isdigit()):
                i = NUMBER.match(text, i).end()
                add("num", start, i)
            elif c in "\"'":
                i = _skip_quoted(text, i + 1, c)
                add("str" if c == '"' else "chr", start, i)
            else:
                for p in PUNCTUATORS:
                    if text.startswith(p, i):
                        i += len(p)
                        break
                else:
                    i += 1
                add("op", start, i)
    return tokens


# ---------------------------------------------------------------------------------------
# Integer literals

INT_LITERAL = re.compile(r"(0[xX])([0-9a-fA-F]+)([uUlLzZ]*)$|(0[bB])([01]+)([uUlLzZ]*)$|"
                         r"(0)([0-7]+)([uUlLzZ]*)$|()([1-9]\d*|0)([uUlLzZ]*)$")


def parse_int(text):
    """(prefix, digits, suffix, base) of an integer literal; None for anything else."""
    m = INT_LITERAL.match(text)
    if not m:
        return None
    for group, base in ((1, 16), (4, 2), (7, 8), (10, 10)):
        if m.group(group) is not None:
            return m.group(group), m.group(group + 1), m.group(group + 2), base
    return None


def int_value(text):
    parsed = parse_int(text)
    return int(parsed[1], parsed[3]) if parsed else None


def shifted_literal(text, delta):
    """The literal plus delta in the same base, width, case and suffix; 0 - 1 is -1."""
    prefix, digits, suffix, base = parse_int(text)
    value = int(digits, base) + delta
    magnitude = abs(value)
    body = {16: "%x", 8: "%o", 10: "%d"}.get(base, "")
    body = body % magnitude if body else bin(magnitude)[2:]
    if base == 16 and any(ch in "ABCDEF" for ch in digits):
        body = body.upper()
    if base != 10:
        body = body.zfill(len(digits))
    return ("-" if value < 0 else "") + prefix + body + suffix


# ---------------------------------------------------------------------------------------
# Where each operator applies

Mutant = collections.namedtuple("Mutant", "path op start end old new line id change")


class Source:
    """One file's text and tokens, with the bracket pairs and the spans no literal is
    changed in (template arguments, array sizes of declarations, static_assert, tables)."""

    def __init__(self, path, text):
        self.path, self.text = path, text
        everything = lex(text)
        self.code = [t for t in everything if not t.define]
        self.defines = [t for t in everything if t.define]
        self.pair = {}
        stack = []
        for k, t in enumerate(self.code):
            if t.kind != "op":
                continue
            if t.text in OPENERS:
                stack.append(k)
            elif t.text in CLOSERS and stack and self.code[stack[-1]].text == CLOSERS[t.text]:
                opener = stack.pop()
                self.pair[opener], self.pair[k] = k, opener
        self.template = self._template_brackets()
        self.asserted = set()  # static_assert's: whatever changes there does not build
        self.frozen = self._frozen_literals()

    def tok(self, k):  # a token or a blank one past either end
        return self.code[k] if 0 <= k < len(self.code) else Token("", "", 0, 0, 0, False)

    def _template_brackets(self):
        """Indices of < and > that are template brackets: a < after a name whose matching
        > comes before anything an expression would need (; { && == . -> and the like)."""
        code, found = self.code, set()
        for k, t in enumerate(code):
            before = self.tok(k - 1)
            if t.text != "<" or t.kind != "op" or before.kind != "id" or before.text == "operator":
                continue
            if before.text in KEYWORDS and before.text not in TEMPLATE_WORDS:
                continue
            depth, parens, inner = 1, 0, [k]
            for j in range(k + 1, len(code)):
                u = code[j]
                if u.kind in ("id", "num") or u.text in ("::", ",", "*", "&", "..."):
                    continue
                if u.text == "(":
                    parens += 1
                elif u.text == ")" and parens:
                    parens -= 1
                elif u.text == "<":
                    depth += 1
                    inner.append(j)
                elif u.text in (">", ">>"):
                    depth -= len(u.text)
                    inner.append(j)
                    if depth <= 0:
                        found.update(inner)
                        break
                else:
                    break
        return found

    def _frozen_literals(self):
        code, frozen = self.code, set()

        def freeze(a, b):
            frozen.update(range(a, b + 1))

        opened = []  # open template brackets, to freeze their arguments
        for k, t in enumerate(code):
            if k in self.template:
                if t.text == "<":
                    opened.append(k)
                elif opened:
                    a = opened.pop()
                    if t.text == ">>" and opened:
                        a = opened.pop()
                    freeze(a, k)
            elif t.text in ("static_assert", "_Static_assert", "alignas", "_Alignas",
                            "__attribute__", "alignof", "sizeof", "asm", "__asm__") \
                    and self.tok(k + 1).text == "(" and k + 1 in self.pair:
                freeze(k, self.pair[k + 1])
                if t.text in ("static_assert", "_Static_assert"):
                    self.asserted.update(range(k, self.pair[k + 1] + 1))
            elif t.text == "[" and k in self.pair and self._declares_array(k):
                freeze(k, self.pair[k])
            elif t.text == "0" and self.tok(k - 1).text == "=" \
                    and self.tok(k - 2).text in (")", "const", "override", "noexcept"):
                frozen.add(k)  # "= 0" of a pure virtual function
            elif t.text == ":" and self.tok(k + 1).kind == "num" \
                    and self.tok(k + 2).text in (";", ",") and self.tok(k - 1).kind == "id" \
                    and self.tok(k - 2).kind == "id" and self.tok(k - 3).text in (";", "{", "}"):
                frozen.add(k + 1)  # width of a bit field
            elif t.text == "{" and k in self.pair:
                self._freeze_table(k, frozen)
        return frozen

    def _declares_array(self, k):  # "T name[N]", "T name[N][M]"
        before, name = self.tok(k - 1), self.tok(k - 2)
        if before.text == "]" and k - 1 in self.pair:
            return self._declares_array(self.pair[k - 1])
        return before.kind == "id" and before.text not in KEYWORDS and (
            name.text in TYPE_WORDS or (name.kind == "id" and name.text not in KEYWORDS)
            or (name.text in (">", ">>") and k - 2 in self.template))

    def _freeze_table(self, k, frozen):
        """A long braced list of numbers is a table of data: only its first and last
        entries are changed, which shows whether any test reads the table at all."""
        entries, j, end = [], k + 1, self.pair[k]
        while j < end:
            start = j
            while j < end and self.code[j].text != ",":
                j = self.pair.get(j, j) + 1 if self.code[j].text in OPENERS else j + 1
            if j - start == 1 and self.code[start].kind == "num":
                entries.append(start)
            j += 1
        if len(entries) > 8:
            frozen.update(entries[1:-1])

    # --- helpers over the code tokens ------------------------------------------------------

    def ends_operand(self, k):  # the token ends an operand: what follows is a binary operator
        t = self.tok(k)
        return (t.kind in ("num", "str", "chr") or t.text in (")", "]", "this")
                or (t.kind == "id" and t.text not in KEYWORDS)
                or (t.text in (">", ">>") and k in self.template))

    def statement_end(self, k):  # index of the ; that ends the statement starting at k
        while k < len(self.code) and self.code[k].text != ";":
            if self.code[k].text in OPENERS and k in self.pair:
                k = self.pair[k]
            elif self.code[k].text in CLOSERS:
                return None
            k += 1
        return k if k < len(self.code) else None

    def condition_start(self, q):  # first token of the condition of the ? at q
        j = q - 1
        while j >= 0:
            t = self.code[j]
            if t.text in CLOSERS and j in self.pair:
                j = self.pair[j] - 1
                continue
            if t.text in OPENERS or t.text in ASSIGNMENTS or t.text in (
                    ",", ";", "?", ":", "return", "throw", "case", "}"):
                break
            j -= 1
        return j + 1

    def operand_right(self, k):  # last index of a simple operand starting at k, or None
        if self.tok(k).text == "~":
            k += 1
        t = self.tok(k)
        if t.text == "(" and k in self.pair:
            return self.pair[k]
        if t.kind == "num":
            return k
        if t.kind != "id" or t.text in KEYWORDS:
            return None
        while self.tok(k + 1).text == "::" and self.tok(k + 2).kind == "id":
            k += 2
        if self.tok(k + 1).text == "(" and k + 1 in self.pair:
            k = self.pair[k + 1]
        return k

    def operand_left(self, k):  # first index of a simple operand ending at k, or None
        t = self.tok(k)
        if t.text == ")" and k in self.pair:
            k = self.pair[k]
            if self.tok(k - 1).kind != "id":
                return k - (self.tok(k - 1).text == "~")
            k -= 1
        elif t.kind == "num":
            return k - (self.tok(k - 1).text == "~")
        elif t.kind != "id" or t.text in KEYWORDS:
            return None
        while self.tok(k - 1).text == "::" and self.tok(k - 2).kind == "id":
            k -= 2
        return k - (self.tok(k - 1).text == "~")

    # --- the operators: each yields (anchor index, start, end, replacement) ------------------

    def relational(self):
        swap = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
        for k, t in enumerate(self.code):
            if t.kind == "op" and t.text in swap and k not in self.template \
                    and self.tok(k - 1).text != "operator":
                yield k, t.start, t.end, swap[t.text]

    def equality(self):
        for k, t in enumerate(self.code):
            if t.text in ("==", "!=") and self.tok(k - 1).text != "operator":
                yield k, t.start, t.end, "!=" if t.text == "==" else "=="

    def logical(self):
        for k, t in enumerate(self.code):
            if t.text not in ("&&", "||") or self.tok(k - 1).text == "operator":
                continue
            before = self.tok(k - 1)
            if t.text == "&&" and (before.text in TYPE_WORDS or
                                   (before.text in (">", ">>") and k - 1 in self.template) or
                                   (before.kind == "id" and before.end == t.start
                                    and self.text[t.end:t.end + 1].isspace())):
                continue  # "T&& name": a forwarding or rvalue reference
            yield k, t.start, t.end, "||" if t.text == "&&" else "&&"

    def _condition(self, k):  # (open, close) of the parenthesised condition after if/while
        open_ = k + 1
        if self.tok(open_).text == "constexpr" or self.tok(open_).text != "(" \
                or open_ not in self.pair:
            return None
        close = self.pair[open_]
        inner = self.code[open_ + 1:close]
        if not inner or any(t.text == ";" for t in inner):
            return None  # empty, or with an init-statement
        first, second = inner[0], self.tok(open_ + 2)
        if first.text in TYPE_WORDS or (first.kind == second.kind == "id"
                                        and first.text not in KEYWORDS):
            return None  # "if (T x = ...)": a declaration, no expression to negate
        return open_, close

    def negate(self):
        for k, t in enumerate(self.code):
            if t.text in ("if", "while"):
                cond = self._condition(k)
                if cond:
                    a, b = self.code[cond[0]].end, self.code[cond[1]].start
                    yield k, a, b, "!(" + self.text[a:b] + ")"
            elif t.text == "?" and t.kind == "op":
                first = self.condition_start(k)
                if first < k:
                    a, b = self.code[first].start, self.code[k - 1].end
                    yield k, a, b, "!(" + self.text[a:b] + ")"

    def guard(self):
        for k, t in enumerate(self.code):
            if t.text == "if":
                cond = self._condition(k)
                if cond is None and self.tok(k + 1).text == "(" and k + 1 in self.pair:
                    cond = (k + 1, self.pair[k + 1])  # declarations guard jumps too
                if cond is None:
                    continue
                body = cond[1] + 1
            elif t.text == "else" and self.tok(k + 1).text != "if":
                body = k + 1
            else:
                continue
            first = self.tok(body)
            if first.text in JUMPS:
                end = self.statement_end(body)
                if end is not None:
                    yield body, first.start, self.code[end].end, "{}"
            elif first.text == "{" and body in self.pair:
                close = self.pair[body]
                if self.tok(body + 1).text in JUMPS and self.statement_end(body + 1) == close - 1:
                    yield body + 1, first.end, self.code[close].start, ""

    def flag(self):
        done = set()
        for k, t in enumerate(self.code):
            if t.text != "|" or k in done:
                continue
            first = self.operand_left(k - 1)
            if first is None:
                continue
            operands, j = [(first, k - 1)], k
            while self.tok(j).text == "|":
                done.add(j)
                last = self.operand_right(j + 1)
                if last is None:
                    break
                operands.append((j + 1, last))
                j = last + 1
            else:
                before, after = self.tok(first - 1), self.tok(j)
                if not (before.text in ("(", ",", "return", "{", "?", ":")
                        or before.text in ASSIGNMENTS) \
                        or after.text not in (")", ",", ";", "}", "?", ":"):
                    continue  # part of a larger expression: not a plain set of flags
                for n, (a, b) in enumerate(operands):
                    if n == 0:
                        start, end = self.code[a].start, self.code[operands[1][0]].start
                    else:
                        start, end = self.code[operands[n - 1][1]].end, self.code[b].end
                    yield a, start, end, ""

    def stream(self):
        for k, t in enumerate(self.code):
            if t.kind == "id" and t.text in STREAMS and self.tok(k - 1).text not in (".", "->"):
                if t.text in ("cout", "cerr") and self.tok(k - 1).text == "::" \
                        and self.tok(k - 2).text != "std":
                    continue
                yield k, t.start, t.end, STREAMS[t.text]

    def literal(self):
        for k, t in enumerate(self.code):
            if t.kind == "num" and k not in self.frozen and parse_int(t.text):
                for delta in (1, -1):
                    new = shifted_literal(t.text, delta)
                    if new.startswith("-") and self.text[t.start - 1:t.start] in "+-":
                        new = "(" + new + ")"  # "x - -1" would be "x--1" written close
                    yield k, t.start, t.end, new
        for t in self.defines:  # the value of a #define: anchored on its own line
            if t.kind == "num" and parse_int(t.text):
                for delta in (1, -1):
                    yield t, t.start, t.end, shifted_literal(t.text, delta)

    def plus_one(self):
        higher = {"*", "/", "%", "(", "[", ".", "->", "++", "--", "::"}
        for k, t in enumerate(self.code):
            if t.text in ("+", "-") and self.tok(k + 1).kind == "num" \
                    and int_value(self.tok(k + 1).text) == 1 \
                    and self.tok(k + 2).text not in higher and self.ends_operand(k - 1) \
                    and k not in self.frozen:
                yield k, self.code[k - 1].end, self.tok(k + 1).end, ""


def _crop(prefix, middle, suffix):
    squash = lambda s: re.sub(r"\s+", " ", s)  # noqa: E731
    prefix, middle, suffix = squash(prefix).lstrip(), squash(middle), squash(suffix).rstrip()
    if len(prefix) > 30:
        prefix = "…" + prefix[-29:]
    if len(suffix) > 30:
        suffix = suffix[:29] + "…"
    if len(middle) > 60:
        middle = middle[:29] + "…" + middle[-29:]
    return prefix + middle + suffix


def mutants_of(path, text, operators=OPERATORS):
    """Every mutant of one file, in the order of the file."""
    source = Source(path, text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    lines = text.split("\n")
    seen_lines = collections.Counter()
    repeat = {}  # line number: how many identical lines come before it
    for number, body in enumerate(lines, 1):
        repeat[number] = seen_lines[body.strip()]
        seen_lines[body.strip()] += 1
    found = []
    for op in operators:
        for anchor, start, end, new in getattr(source, op.replace("-", "_"))():
            if isinstance(anchor, int) and anchor in source.asserted:
                continue
            token = anchor if isinstance(anchor, Token) else source.code[anchor]
            found.append((token.line, token.start, op, start, end, new))
    found.sort()
    out, occurrence = [], collections.Counter()
    for line, _, op, start, end, new in found:
        last = text.count("\n", 0, max(start, end - 1)) + 1
        first = min(line, text.count("\n", 0, start) + 1)
        touched = "\n".join(s.strip() for s in lines[first - 1:max(last, line)])
        key = (line, op)
        n = occurrence[key]
        occurrence[key] += 1
        ident = hashlib.sha1(("%s\0%s\0%d\0%s\0%d" % (
            path, touched, repeat[line], op, n)).encode()).hexdigest()[:10]
        line_start = line_starts[first - 1]
        line_end = text.find("\n", end)
        line_end = len(text) if line_end < 0 else line_end
        before = _crop(text[line_start:start], text[start:end], text[end:line_end])
        after = _crop(text[line_start:start], new, text[end:line_end])
        out.append(Mutant(path, op, start, end, text[start:end], new, line, ident,
                          "%s → %s" % (before, after)))
    return out


# ---------------------------------------------------------------------------------------
# Files and the repository

def git(*args, check=True):
    return subprocess.run(["git", *args], capture_output=True, text=True, check=check).stdout


def is_test_source(path):
    parts = path.split("/")
    name = parts[-1]
    return (parts[0] in ("tests", "fuzz", "bench") or name.startswith("test_")
            or re.search(r"_tests?\.\w+$", name) is not None)


def sources_under(paths):
    """The tracked C and C++ files (test sources left out) named or under the folders."""
    out = []
    for path in paths:
        path = os.path.relpath(os.path.abspath(path)).rstrip("/")
        listed = git("ls-files", "--", path).split()
        if not listed and os.path.isfile(path):
            listed = [path]
        if not listed:
            sys.exit("mutants: no tracked file at " + path)
        kept = [p for p in listed if p.endswith(SOURCE_EXTENSIONS) and not is_test_source(p)]
        if not kept:
            print("mutants: no C or C++ source to mutate at %s (tests are left alone)" % path,
                  file=sys.stderr)
        out += kept
    return sorted(set(out))


def changed_lines(revision, scope):
    """{path: set of line numbers} changed since revision in the working tree, in files
    under the scope. The whole tree is compared, so that a file moved in from elsewhere
    is a rename and only its changed lines count."""
    diff = git("diff", "-U0", "--no-color", "--find-renames", revision)
    scope = [s.rstrip("/") + "/" if os.path.isdir(s) else s for s in scope]
    out, path = {}, None
    for line in diff.splitlines():
        if line.startswith("+++ "):
            path = line[6:] if line.startswith("+++ b/") else None
        elif line.startswith("@@") and path:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", line)
            first, count = int(m.group(1)), int(m.group(2) or 1)
            out.setdefault(path, set()).update(range(first, first + count))
    return {p: lines for p, lines in out.items()
            if p.endswith(SOURCE_EXTENSIONS) and not is_test_source(p) and os.path.exists(p)
            and any(p == s or p.startswith(s) for s in scope)}


def read(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def pristine(path):
    """The file's text, or its original while a run has a mutant in it."""
    for note in glob.glob("build/*/active-mutant.json"):
        try:
            with open(note, encoding="utf-8") as f:
                state = json.load(f)
        except (OSError, ValueError):
            continue
        if state["path"] == path:
            return state["original"]
    return read(path)


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())


def folder_of(path):  # the report's rows: romtool/, each libs/X/, virtual_board/core/, ...
    parts = path.split("/")
    depth = 2 if parts[0] in ("libs", "virtual_board") and len(parts) > 2 else 1
    return "/".join(parts[:depth]) + "/"


# ---------------------------------------------------------------------------------------
# Results: one line per mutant, tab separated, newest line per ID wins

COLUMNS = ("id", "where", "operator", "change", "outcome", "test", "seconds", "note")
HEADER = "# " + "\t".join(COLUMNS) + "\n"


def load_table(path, columns):
    rows = collections.OrderedDict()
    if not os.path.exists(path):
        return rows
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.endswith("\n"):
                continue  # the header, or a line cut short by a crash
            fields = line.rstrip("\n").split("\t")
            if len(fields) != len(columns):
                continue
            row = dict(zip(columns, fields))
            rows.pop(row["id"], None)
            rows[row["id"]] = row
    return rows


def save_table(path, rows, columns, header):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    def order(row):
        file, _, line = row["where"].rpartition(":")
        return file, int(line) if line.isdigit() else 0, row["operator"], row["id"]
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(header)
        for row in sorted(rows.values(), key=order):
            f.write("\t".join(row.get(c, "") for c in columns) + "\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def current_mutants(paths):
    """{id: mutant} of the files as they are now."""
    out = {}
    for path in paths:
        if os.path.exists(path):
            out.update((m.id, m) for m in mutants_of(path, pristine(path)))
    return out


def mark_stale(rows, current):
    """A result of a mutant that the file no longer has (its lines changed) is stale."""
    for row in rows.values():
        gone = row["id"] not in current
        row["note"] = "stale" if gone else ""
        if not gone:
            m = current[row["id"]]
            row["where"] = "%s:%d" % (m.path, m.line)


class Results:
    def __init__(self, path, every=10):
        self.path, self.every, self.pending = path, every, 0
        self.rows = load_table(path, COLUMNS)

    def record(self, mutant, outcome, test, seconds):
        row = dict(id=mutant.id, where="%s:%d" % (mutant.path, mutant.line),
                   operator=mutant.op, change=mutant.change, outcome=outcome, test=test or "-",
                   seconds="%.0f" % seconds, note="")
        self.rows.pop(mutant.id, None)
        self.rows[mutant.id] = row
        new_file = not os.path.exists(self.path)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with open(self.path, "a", encoding="utf-8") as f:  # known at once, whatever follows
            if new_file:
                f.write(HEADER)
            f.write("\t".join(row[c] for c in COLUMNS) + "\n")
            f.flush()
            os.fsync(f.fileno())
        self.pending += 1
        if self.pending >= self.every:
            self.rewrite()

    def rewrite(self):
        files = {row["where"].rpartition(":")[0] for row in self.rows.values()}
        mark_stale(self.rows, current_mutants(files))
        save_table(self.path, self.rows, COLUMNS, HEADER)
        self.pending = 0

    def killers(self, path):  # tests that killed mutants of this file, most kills first
        return collections.Counter(r["test"] for r in self.rows.values()
                                   if r["outcome"] == "killed"
                                   and r["where"].rpartition(":")[0] == path)


# ---------------------------------------------------------------------------------------
# Tests: the host tree's ctest list, ordered per file

class Tests:
    def __init__(self, build, pattern):
        shown = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                               capture_output=True, text=True, check=True).stdout
        self.build, self.all = build, []
        for t in json.loads(shown)["tests"]:
            if pattern and not re.search(pattern, t["name"]):
                continue
            props = {p["name"]: p["value"] for p in t.get("properties", [])}
            programs = {os.path.basename(c) for c in t.get("command", [])}
            self.all.append(dict(name=t["name"], labels=set(props.get("LABELS", [])),
                                 programs=programs))
        if not self.all:
            sys.exit("mutants: no test matches " + repr(pattern))

    @staticmethod
    def words(name):
        stop = {"test", "tests", "cpp", "h", "c", "the", "of", "and"}
        return {w for w in re.split(r"[^a-z0-9]+", name.lower()) if len(w) > 2 and w not in stop}

    def order(self, path, killers, durations):
        """Tests that killed this file's mutants before (most kills first); the file's
        own unit or board tests; e2e tests sharing a word with the file's name; the rest.
        Within each group the quickest first."""
        parts = path.split("/")
        own = {"libs": parts[1] + "_" if len(parts) > 2 else None,
               "romtool": "romtool_unit_tests", "virtual_board": "vboard"}.get(parts[0])
        stem = self.words(os.path.splitext(parts[-1])[0])

        def rank(t):
            mine = own and any(p.startswith(own) for p in t["programs"])
            if killers.get(t["name"]):
                group = 0
            elif mine:
                group = 1
            elif "e2e" in t["labels"] and stem & self.words(t["name"]):
                group = 2
            elif "e2e" in t["labels"] or "vboard" in t["labels"]:
                group = 3
            else:
                group = 4
            return group, -killers.get(t["name"], 0), durations.get(t["name"], 60.0), t["name"]
        return [t["name"] for t in sorted(self.all, key=rank)]


def _regex(name):  # ctest's -R for exactly this test
    return "^" + re.sub(r"([.\\^$*+?()\[\]|])", r"\\\1", name) + "$"


def stop_group(process):
    """Ends a ctest run we started (its own process group) and the tests under it."""
    if process.poll() is not None:
        return
    for sig, wait in ((signal.SIGINT, 10), (signal.SIGKILL, 10)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(wait)
            return
        except subprocess.TimeoutExpired:
            pass


STATUS = re.compile(r"Test +#\d+: \S+ \.*\s*(?:\*{3})?(\S.*?)\s+[\d.]+ sec")


def run_tests(build, names, jobs, budget, timeouts, log):
    """Runs the tests in order, up to jobs at a time, until one fails or the budget is
    spent. Returns (outcome, test, {test: seconds}); outcome is "passed", "failed",
    "timed-out", or "error" when ctest could not run a test at all."""
    queue, running, seconds = list(names), {}, {}
    deadline = time.monotonic() + budget
    outcome, culprit = "passed", None
    try:
        while queue or running:
            while queue and len(running) < jobs:
                name = queue.pop(0)
                left = deadline - time.monotonic()
                limit = max(1, int(min(timeouts.get(name, 600), left)))
                out = tempfile.TemporaryFile()
                process = subprocess.Popen(
                    ["ctest", "--test-dir", build, "-R", _regex(name), "--timeout", str(limit),
                     "--output-on-failure", "--no-tests=error"],
                    stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
                running[process] = (name, out, time.monotonic(), limit)
            time.sleep(0.2)
            for process, (name, out, started, limit) in list(running.items()):
                if process.poll() is None:
                    if time.monotonic() - started > limit + 60:  # ctest itself stuck
                        stop_group(process)
                        outcome, culprit = "timed-out", name
                    continue
                del running[process]
                seconds[name] = time.monotonic() - started
                out.seek(0)
                text = out.read().decode(errors="replace")
                out.close()
                status = STATUS.findall(text)
                if process.returncode == 0 and status:
                    continue
                with open(log, "a") as f:
                    f.write(text)
                if not status:
                    outcome, culprit = "error", name
                elif "Timeout" in status[-1]:
                    outcome, culprit = "timed-out", name
                else:
                    outcome, culprit = "failed", name
                break
            if outcome != "passed":
                break
            if time.monotonic() > deadline and (queue or running):
                outcome, culprit = "timed-out", "(budget)"
                break
    finally:
        for process, (_, out, _, _) in running.items():
            stop_group(process)
            out.close()
    return outcome, culprit, seconds


# ---------------------------------------------------------------------------------------
# Applying a mutant, and putting the file back whatever happens

class Interrupted(Exception):
    pass


GUARDED = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Editor:
    """Writes mutants into source files and puts the originals back. The file being
    mutated and its original are noted in the build tree first, so that a run killed
    outright is repaired by the next one."""

    def __init__(self, note):
        self.note, self.originals, self.active = note, {}, None

    def recover(self):
        if not os.path.exists(self.note):
            return
        with open(self.note, encoding="utf-8") as f:
            state = json.load(f)
        path = state["path"]
        if os.path.exists(path) and read(path) == state["mutated"]:
            write(path, state["original"])
            print("mutants: put back %s, left mutated by an interrupted run" % path)
        elif os.path.exists(path) and read(path) != state["original"]:
            print("mutants: %s changed since an interrupted run; left as it is" % path)
        os.unlink(self.note)

    def apply(self, mutant):
        signal.pthread_sigmask(signal.SIG_BLOCK, GUARDED)  # no half-written note or file
        try:
            original = read(mutant.path)
            if original[mutant.start:mutant.end] != mutant.old:
                raise RuntimeError("%s changed since its mutants were made" % mutant.path)
            self.originals.setdefault(mutant.path, original)
            mutated = original[:mutant.start] + mutant.new + original[mutant.end:]
            tmp = self.note + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                json.dump(dict(path=mutant.path, original=original, mutated=mutated), f)
            os.replace(tmp, self.note)
            self.active = (mutant.path, original, mutated)
            write(mutant.path, mutated)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, GUARDED)

    def restore(self):
        if self.active is None:
            return
        signal.pthread_sigmask(signal.SIG_BLOCK, GUARDED)
        try:
            path, original, mutated = self.active
            if read(path) == mutated:
                write(path, original)
            else:  # someone edited the file meanwhile: our change is gone already
                print("mutants: %s was changed during the run; left as it is" % path)
            self.active = None
            os.unlink(self.note)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, GUARDED)

    def verify(self):
        changed = [p for p, text in self.originals.items() if read(p) != text]
        for path in changed:
            print("mutants: %s differs from its text before the run" % path, file=sys.stderr)
        return not changed


# ---------------------------------------------------------------------------------------
# The build tree and the unchanged tree's test run

def configure(build):
    # The standard library's checks on: a mutant that reads one past a vector then fails
    # as the fault it is, instead of reading what happens to lie there.
    generator = [] if os.path.exists(os.path.join(build, "CMakeCache.txt")) else \
        ["-G", "Ninja"] if subprocess.run(["which", "ninja"], capture_output=True).returncode == 0 \
        else []
    subprocess.run(["cmake", "-S", ".", "-B", build, *generator,
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DROMTOOL_WERROR=ON",
                    "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS",
                    "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"], check=True, stdout=subprocess.DEVNULL)


def build_tree(build, jobs, log):
    with open(log, "a") as f:
        # In a process group of its own, stopped whole and waited for when the run is cut
        # short: a compiler left running would write an object of the mutant after the
        # source is put back, newer than it, and every later build would keep it.
        process = subprocess.Popen(["cmake", "--build", build, "-j", str(jobs)], stdout=f,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return process.wait() == 0
        except BaseException:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise


def built_sources(build):
    """The files the tree compiles or includes; None when that cannot be told."""
    commands = os.path.join(build, "compile_commands.json")
    if not os.path.exists(commands):
        return None
    top = os.getcwd() + "/"
    with open(commands) as f:
        out = {os.path.relpath(c["file"]) for c in json.load(f)}
    deps = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True, text=True)
    for line in deps.stdout.splitlines():
        line = line.strip()
        if line.startswith(top):
            out.add(line[len(top):])
    return out


def source_state(pattern):
    """Names the state of the sources; this runner and its results files are left out."""
    exclude = (":(exclude)tests/mutants", ":(exclude)scripts/mutants.py")
    h = hashlib.sha1()
    for part in (git("ls-files", "-s", "--", ".", *exclude), git("diff", "--", ".", *exclude),
                 git("ls-files", "--others", "--exclude-standard", "--", ".", *exclude),
                 pattern or ""):
        h.update(part.encode())
    return h.hexdigest()


def baseline(build, tests, jobs, pattern):
    """Seconds each test takes on the unchanged tree, where all must pass: measured once
    per state of the sources."""
    path = os.path.join(build, "mutants-baseline.json")
    state = source_state(pattern)
    if os.path.exists(path):
        with open(path) as f:
            cached = json.load(f)
        if cached.get("state") == state:
            return cached["seconds"]
    print("mutants: building and testing the unchanged tree (once per state of the sources)",
          flush=True)
    log = os.path.join(build, "mutants-baseline.log")
    open(log, "w").close()
    if not build_tree(build, jobs, log):
        sys.exit("mutants: the unchanged tree does not build; see " + log)
    subprocess.run(["ctest", "--test-dir", build, "-N"], capture_output=True)
    names = [t["name"] for t in tests.all]
    outcome, culprit, seconds = run_tests(build, names, jobs, 1e9, {}, log)
    if outcome != "passed":
        sys.exit("mutants: %s %s on the unchanged tree; see %s" % (culprit, outcome, log))
    with open(path, "w") as f:
        json.dump(dict(state=state, seconds=seconds), f)
    return seconds


# ---------------------------------------------------------------------------------------
# Commands

def select(a):
    """(files, {path: lines or None}) that run or list work on."""
    if a.since:
        changed = changed_lines(a.since, a.paths or list(DEFAULT_SCOPE))
        return sorted(changed), changed
    files = sources_under(a.paths or list(DEFAULT_SCOPE))
    return files, {p: None for p in files}


def chosen_mutants(a):
    files, lines = select(a)
    operators = a.operators.split(",") if a.operators else OPERATORS
    unknown = set(operators) - set(OPERATORS)
    if unknown:
        sys.exit("mutants: unknown operator %s (known: %s)" % (", ".join(sorted(unknown)),
                                                                ", ".join(OPERATORS)))
    out = []
    for path in files:
        for m in mutants_of(path, pristine(path), operators):
            if lines[path] is None or m.line in lines[path]:
                out.append(m)
    return out


def cmd_list(a):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # "list | head" ends quietly
    mutants = chosen_mutants(a)
    if not a.summary:
        for m in mutants:
            print("%s  %s:%d  %-10s  %s" % (m.id, m.path, m.line, m.op, m.change))
        return
    table = collections.defaultdict(collections.Counter)
    for m in mutants:
        table[folder_of(m.path)][m.op] += 1
    print("%-22s %6s  %s" % ("folder", "total", "  ".join("%s" % op for op in OPERATORS)))
    for folder in sorted(table):
        row = table[folder]
        print("%-22s %6d  %s" % (folder, sum(row.values()), "  ".join(
            "%*d" % (len(op), row[op]) for op in OPERATORS)))
    print("%-22s %6d" % ("all", len(mutants)))


def cmd_run(a):
    build = a.build
    os.makedirs(build, exist_ok=True)
    # One run at a time in this checkout, whatever its build tree: both would edit the sources.
    lock = open("build/mutants.lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit("mutants: another run is using this checkout")
    editor = Editor(os.path.join(build, "active-mutant.json"))
    editor.recover()
    results = Results(a.results)
    equivalent = load_table(a.equivalent, EQUIVALENT_COLUMNS)
    redo = set(a.rerun.split(",")) if a.rerun else set()
    mutants = [m for m in chosen_mutants(a) if m.id not in equivalent and (
        (m.id not in results.rows and not a.only) or
        (m.id in results.rows and results.rows[m.id]["outcome"] in redo))]
    if a.shuffle is not None:  # a run cut short still samples the whole scope evenly
        random.Random(a.shuffle).shuffle(mutants)
    if a.limit:
        mutants = mutants[:a.limit]
    print("mutants: %d to run" % len(mutants), flush=True)
    if not mutants:
        return 0
    configure(build)
    # Built first: the unit tests' names are known to ctest only once their programs are.
    if not build_tree(build, 2, os.path.join(build, "mutants-baseline.log")):
        sys.exit("mutants: the unchanged tree does not build; see %s/mutants-baseline.log" % build)
    tests = Tests(build, a.tests)
    if a.dry_run:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        for path in sorted({m.path for m in mutants}):
            order = tests.order(path, results.killers(path), {})
            print("%s: tests in the order %s" % (path, " ".join(order)))
        for m in mutants:
            print("%s  %s:%d  %-10s  %s" % (m.id, m.path, m.line, m.op, m.change))
        return 0

    def interrupted(signum, _frame):
        raise Interrupted(signal.Signals(signum).name)
    for sig in GUARDED:  # this also leaves SIGINT at its default in the tests we start
        signal.signal(sig, interrupted)
    status = 0
    try:
        run_mutants(a, build, mutants, tests, results, editor)
    except Interrupted as e:
        print("mutants: stopped by %s" % e, file=sys.stderr)
        status = 130
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, GUARDED)  # a second ctrl-c waits for this
        editor.restore()
        results.rewrite()
        if editor.verify():
            print("mutants: the sources are as they were before the run")
        else:
            status = 3
    return status


def run_mutants(a, build, mutants, tests, results, editor):
    durations = baseline(build, tests, a.jobs, a.tests)
    built = built_sources(build)
    if built is not None:
        missing = sorted({m.path for m in mutants} - built)
        if missing:  # no test could kill those: left out rather than called survivors
            print("mutants: not built in %s, left out: %s" % (build, " ".join(missing)))
            mutants = [m for m in mutants if m.path not in missing]
    # A hung test is stopped at three times its usual time (the machine may be busy).
    timeouts = {n: 3 * s + 30 for n, s in durations.items()}
    budget = a.budget or 2 * sum(durations.values()) + 120
    log = os.path.join(build, "mutants.log")
    spent = collections.defaultdict(list)  # outcome: (build, test) seconds of each mutant
    for number, m in enumerate(mutants, 1):
        started = time.monotonic()
        built_at = None
        with open(log, "w") as f:
            f.write("mutant %s %s:%d %s\n%s\n" % (m.id, m.path, m.line, m.op, m.change))
        try:
            editor.apply(m)
            ok = build_tree(build, 2, log)
            built_at = time.monotonic()
            if not ok:
                outcome, test = "did-not-build", None
            else:
                if a.jobs > 1:  # test discovery once, before ctest runs side by side
                    subprocess.run(["ctest", "--test-dir", build, "-N"], capture_output=True)
                order = tests.order(m.path, results.killers(m.path), durations)
                pattern = None if a.all_tests else related_tests(m.path)
                if pattern:
                    order = [name for name in order if re.search(pattern, name)]
                result, test, _ = run_tests(build, order, a.jobs, budget, timeouts, log)
                if result == "error":
                    raise RuntimeError("ctest could not run %s; see %s" % (test, log))
                outcome = {"passed": "survived", "failed": "killed"}.get(result, result)
        finally:
            editor.restore()
        now = time.monotonic()
        results.record(m, outcome, test, now - started)
        spent[outcome].append((built_at - started, now - built_at))
        os.replace(log, os.path.join(build, "mutants-last-%s.log" % outcome))
        print("[%d/%d] %s %s:%d %s: %s  %s%s (build %.0f s, tests %.0f s)" % (
            number, len(mutants), m.id, m.path, m.line, m.op, m.change, outcome,
            " by " + test if outcome in ("killed", "timed-out") else "", built_at - started,
            now - built_at), flush=True)
    for outcome, times in sorted(spent.items()):
        print("mutants: %d %s, %.0f s to build and %.0f s to test on average" % (
            len(times), outcome, sum(b for b, _ in times) / len(times),
            sum(t for _, t in times) / len(times)))


EQUIVALENT_COLUMNS = ("id", "where", "operator", "change", "reason")


def cmd_equivalent(a):
    results = load_table(a.results, COLUMNS)
    row = results.get(a.id)
    if row is None:
        sys.exit("mutants: no result for %s in %s" % (a.id, a.results))
    current = current_mutants([row["where"].rpartition(":")[0]])
    if a.id not in current:
        sys.exit("mutants: %s is stale: its lines changed since it ran" % a.id)
    if row["outcome"] != "survived":
        print("mutants: note that %s was %s, not survived" % (a.id, row["outcome"]))
    table = load_table(a.equivalent, EQUIVALENT_COLUMNS)
    reason = " ".join(a.reason.split())
    table[a.id] = dict(id=a.id, where=row["where"], operator=row["operator"],
                       change=row["change"], reason=reason)
    save_table(a.equivalent, table, EQUIVALENT_COLUMNS,
               "# " + "\t".join(EQUIVALENT_COLUMNS) + "\n")
    print("%s  %s  equivalent: %s" % (a.id, row["where"], reason))


def cmd_report(a):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    rows = load_table(a.results, COLUMNS)
    equivalent = load_table(a.equivalent, EQUIVALENT_COLUMNS)
    files = set(sources_under(list(DEFAULT_SCOPE)))
    files |= {r["where"].rpartition(":")[0] for r in rows.values()}
    current = current_mutants(sorted(f for f in files if os.path.exists(f)))
    if a.survivors is not None:
        prefix = a.survivors.rstrip("/")
        for r in rows.values():
            m = current.get(r["id"])
            if m and r["outcome"] == "survived" and r["id"] not in equivalent \
                    and (not prefix or m.path == prefix or m.path.startswith(prefix + "/")):
                print("%s  %s:%d  %-10s  %s" % (r["id"], m.path, m.line, m.op, r["change"]))
        return
    table = collections.defaultdict(collections.Counter)
    for ident, m in current.items():
        row = table[folder_of(m.path)]
        row["mutants"] += 1
        outcome = rows[ident]["outcome"] if ident in rows else "pending"
        if ident in equivalent:
            outcome = "equivalent"
        row[outcome] += 1
    stale = sum(1 for r in rows.values() if r["id"] not in current)
    leaves = list(table)
    for parent in {f.split("/")[0] + "/" for f in leaves}:  # libs/ above its folders
        under = [f for f in leaves if f.startswith(parent)]
        if len(under) > 1:
            table[parent] = sum((table[f] for f in under), collections.Counter())
    table["all"] = sum((table[f] for f in leaves), collections.Counter())
    for folder in sorted(table, key=lambda f: (f == "all", f)):
        row = table[folder]
        detected = row["killed"] + row["timed-out"]
        counted = detected + row["survived"]
        score = "%3.0f%%" % (100.0 * detected / counted) if counted else "   -"
        print("%-22s killed %4d/%-4d %s  equivalent %3d  did not build %4d  timed out %3d"
              "  not run %5d" % (folder, detected, counted, score, row["equivalent"],
                                 row["did-not-build"], row["timed-out"], row["pending"]))
    stale_equivalent = sum(1 for ident in equivalent if ident not in current)
    if stale or stale_equivalent:
        print("(stale, their lines changed since: %d results, %d equivalents)"
              % (stale, stale_equivalent))


SAMPLE = r'''#include <vector>
#define LIMIT 0x1F
static_assert(sizeof(int) == 4, "<");
template <typename T> int f(std::vector<T>&& v, const char* s) {
    char name[16]; // a < b
    if (v.size() < 3 && s[0] != 'x')
        return v[1] + 1;
    int flags = O_RDWR | O_SYNC;
    std::cout << (flags > 2 ? "a" : "b");
    return 0;
}
'''

SAMPLE_CHANGES = """\
#define LIMIT 0x1F → #define LIMIT 0x20
#define LIMIT 0x1F → #define LIMIT 0x1E
if (v.size() < 3 && s[0] != 'x') → if (v.size() <= 3 && s[0] != 'x')
if (v.size() < 3 && s[0] != 'x') → if (v.size() < 3 || s[0] != 'x')
if (v.size() < 3 && s[0] != 'x') → if (v.size() < 3 && s[0] == 'x')
if (v.size() < 3 && s[0] != 'x') → if (!(v.size() < 3 && s[0] != 'x'))
if (v.size() < 3 && s[0] != 'x') → if (v.size() < 4 && s[0] != 'x')
if (v.size() < 3 && s[0] != 'x') → if (v.size() < 2 && s[0] != 'x')
if (v.size() < 3 && s[0] != 'x') → if (v.size() < 3 && s[1] != 'x')
if (v.size() < 3 && s[0] != 'x') → if (v.size() < 3 && s[-1] != 'x')
return v[1] + 1; → {}
return v[1] + 1; → return v[2] + 1;
return v[1] + 1; → return v[0] + 1;
return v[1] + 1; → return v[1] + 2;
return v[1] + 1; → return v[1] + 0;
return v[1] + 1; → return v[1];
int flags = O_RDWR | O_SYNC; → int flags = O_SYNC;
int flags = O_RDWR | O_SYNC; → int flags = O_RDWR;
std::cout << (flags > 2 ? "a" : "b"); → std::cout << (flags >= 2 ? "a" : "b");
std::cout << (flags > 2 ? "a" : "b"); → std::cout << (!(flags > 2) ? "a" : "b");
std::cout << (flags > 2 ? "a" : "b"); → std::cout << (flags > 3 ? "a" : "b");
std::cout << (flags > 2 ? "a" : "b"); → std::cout << (flags > 1 ? "a" : "b");
std::cout << (flags > 2 ? "a" : "b"); → std::cerr << (flags > 2 ? "a" : "b");
return 0; → return 1;
return 0; → return -1;
"""


def cmd_selfcheck(_a):
    """The sample's mutants against the ones written down above: nothing in the comment,
    the strings, the #include, the template brackets, the reference or the array size."""
    got = [m.change for m in mutants_of("sample.cpp", SAMPLE)]
    want = SAMPLE_CHANGES.splitlines()
    for line in sorted(set(got) ^ set(want)):
        print("%s %s" % ("unexpected" if line in got else "missing   ", line))
    if sorted(got) != sorted(want):
        sys.exit("mutants: selfcheck failed")
    print("mutants: selfcheck passed (%d mutants)" % len(got))


def main():
    top = git("rev-parse", "--show-toplevel").strip()
    os.chdir(top)
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--results", default=RESULTS, help="results file (default %(default)s)")
    ap.add_argument("--equivalent", default=EQUIVALENT, help="equivalent mutants' file")
    sub = ap.add_subparsers(dest="command", required=True)
    for name in ("list", "run"):
        p = sub.add_parser(name)
        p.add_argument("paths", nargs="*", help="files or folders (default: %s)"
                       % " ".join(DEFAULT_SCOPE))
        p.add_argument("--since", metavar="REV", help="only lines changed since REV")
        p.add_argument("--operators", help="comma-separated subset of: " + ",".join(OPERATORS))
    sub.choices["list"].add_argument("--summary", action="store_true",
                                     help="counts per folder and operator")
    run = sub.choices["run"]
    run.add_argument("--build", default="build/mutants", help="build tree (%(default)s)")
    run.add_argument("--budget", type=float, help="seconds of testing per mutant "
                     "(default: twice the unchanged tree's test time plus two minutes)")
    run.add_argument("--jobs", type=int, default=1, help="tests run side by side")
    run.add_argument("--tests", metavar="REGEX", help="only the tests matching REGEX")
    run.add_argument("--all-tests", action="store_true",
                     help="every test for every mutant, not only the related ones")
    run.add_argument("--limit", type=int, help="at most this many mutants this time")
    run.add_argument("--shuffle", type=int, metavar="SEED",
                     help="run the mutants in a random order made from SEED")
    run.add_argument("--rerun", metavar="OUTCOMES",
                     help="run mutants again whose result is one of these, e.g. survived")
    run.add_argument("--only", action="store_true",
                     help="with --rerun: those mutants alone, none that never ran")
    run.add_argument("--dry-run", action="store_true",
                     help="show the mutants and each file's test order; build nothing")
    p = sub.add_parser("report")
    p.add_argument("--survivors", nargs="?", const="", metavar="PATH",
                   help="list the survivors (under PATH) instead")
    p = sub.add_parser("equivalent")
    p.add_argument("id")
    p.add_argument("reason")
    sub.add_parser("selfcheck")
    a = ap.parse_args()
    return {"list": cmd_list, "run": cmd_run, "report": cmd_report,
            "equivalent": cmd_equivalent, "selfcheck": cmd_selfcheck}[a.command](a) or 0


if __name__ == "__main__":
    sys.exit(main())
