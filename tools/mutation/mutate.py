#!/usr/bin/env python3
"""One-line mutation testing of the code that decides what runs on a chip.

For the source files of targets.json it lists every one-line fault of a few
kinds (a comparison flipped or moved by one, && and || swapped, a condition
negated, a number off by one, a returned verdict or status replaced, a
statement deleted), picks a fixed-seed sample, and for each mutant: writes it
into a copy of the source tree, rebuilds only the affected test targets in a
separate build directory, and runs their tests with a timeout. A mutant that
does not compile is not counted; one listed in equivalent.txt is reported
apart and not counted either. Prints

    mutants: N, killed: K, survived: S, score: P%

and every survivor as file:line, its function and the change. The mutants
are chosen when the tool runs, from the code as it is then, so changed line
numbers do not matter. The working tree is never modified.
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# ---------------------------------------------------------------------------
# Reading C++: the lines of function bodies, with comments and strings masked.


def mask_line(line, in_block):
    """The code of a line with comments removed and string or character
    literals blanked (same length up to any comment), and whether a block
    comment is still open at its end."""
    out = []
    i = 0
    quote = None
    while i < len(line):
        c = line[i]
        if in_block:
            if line.startswith("*/", i):
                in_block = False
                i += 2
                out.append("  ")
                continue
            out.append(" ")
            i += 1
            continue
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            if c == quote:
                quote = None
                out.append(c)
            else:
                out.append("_")
            i += 1
            continue
        if line.startswith("//", i):
            break
        if line.startswith("/*", i):
            in_block = True
            out.append("  ")
            i += 2
            continue
        if c in "\"'":
            quote = c
        out.append(c)
        i += 1
    return "".join(out).rstrip(), in_block


NOT_A_FUNCTION = re.compile(r"^\s*(namespace\b|extern\s+\"|struct\b|class\b|enum\b|union\b)|=\s*$|=\s*\{$")


def function_lines(text):
    """(line number, masked code, function name) of each line inside a
    function body (not its opening or closing line)."""
    result = []
    stack = []  # one entry per open brace: a function name, or None
    header = ""
    in_block = False
    for number, raw in enumerate(text.split("\n"), 1):
        code, in_block = mask_line(raw, in_block)
        if code.lstrip().startswith("#"):
            continue
        current = next((name for name in reversed(stack) if name), None)
        if current and stack and code.strip() and not code.strip().startswith("}"):
            result.append((number, code, current))
        for c in code:
            if c == "{":
                name = None
                if not any(stack) and not NOT_A_FUNCTION.search(header + " {"):
                    found = re.findall(r"([A-Za-z_]\w*)\s*\(", header)
                    name = found[0] if found else None
                    if name in ("if", "for", "while", "switch", "return"):
                        name = None
                stack.append(name)
                header = ""
            elif c == "}":
                if stack:
                    stack.pop()
                header = ""
            elif c == ";":
                header = ""
            else:
                header += c
        header += " "
    return result


def wanted(function, patterns):
    if not patterns:
        return True
    for pattern in patterns:
        if pattern.startswith("~"):
            if re.search(pattern[1:], function):
                return True
        elif pattern == function:
            return True
    return False


# ---------------------------------------------------------------------------
# Mutation operators: each gives (description, mutated masked-line span).

COMPARISONS = [(" == ", " != "), (" != ", " == "), (" <= ", " < "), (" >= ", " > "),
               (" < ", " <= "), (" > ", " >= "), (" && ", " || "), (" || ", " && ")]
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uU]?[lL]{0,2})(?![\w.])")
# A line that declares a variable: deleting it cannot compile.
DECLARATION = re.compile(r"^\s*(?:(?:const|constexpr|static|auto)\s+)*[\w:]+(?:<[^;]*>)?[\s*&]+\w+\s*(?:=|\{|;|\(|\[)")
RETURN = re.compile(r"^(\s*(?:if \(.*\) )?return )([^;]+);\s*$")


def balanced_end(code, start):
    """Index of the parenthesis closing the one at start, or -1."""
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def replacement_value(value, enums):
    """A different verdict or status for a returned value, or None."""
    value = value.strip()
    swaps = {"true": "false", "false": "true", "EFI_SUCCESS": "EFI_DEVICE_ERROR", "0": "1", "1": "0",
             "nullptr": None}
    if value in swaps:
        return swaps[value]
    if re.fullmatch(r"EFI_[A-Z_]+", value):
        return "EFI_SUCCESS"
    match = re.fullmatch(r"([A-Z_][A-Z0-9_]*)::(\w+)", value)
    if match and match.group(1) in enums:
        others = [name for name in enums[match.group(1)] if name != match.group(2)]
        return "%s::%s" % (match.group(1), others[0]) if others else None
    return None


def mutations(code, previous, enums):
    """Every mutant of one masked line: (kind, column, old text, new text)."""
    found = []
    for old, new in COMPARISONS:
        start = code.find(old)
        while start >= 0:
            kind = "swap logic" if old.strip() in ("&&", "||") else "flip comparison"
            found.append((kind, start, old, new))
            start = code.find(old, start + 1)
    for keyword in ("if (", "while ("):
        start = code.find(keyword)
        if start >= 0:
            open_at = start + len(keyword) - 1
            close_at = balanced_end(code, open_at)
            if close_at > 0:
                condition = code[open_at + 1:close_at]
                found.append(("negate condition", open_at, "(" + condition + ")", "(!(" + condition + "))"))
    for match in NUMBER.finditer(code):
        literal = match.group(1)
        value = int(literal, 0)
        for delta in (1, -1):
            if value + delta >= 0:
                text = hex(value + delta) if literal.lower().startswith("0x") else str(value + delta)
                found.append(("off by one", match.start(), match.group(0), text + match.group(2)))
    ret = RETURN.match(code)
    if ret:
        other = replacement_value(ret.group(2), enums)
        if other:
            found.append(("replace verdict", len(ret.group(1)), ret.group(2) + ";", other + ";"))
    stripped = code.strip()
    if (stripped.endswith(";") and previous.rstrip().endswith((";", "{", "}", ":"))
            and not stripped.startswith(("return", "break", "continue")) and not DECLARATION.match(code)):
        found.append(("delete statement", 0, code, ""))
    return found


def enum_values(paths):
    """enum class NAME -> its enumerators, from headers and sources."""
    enums = {}
    pattern = re.compile(r"enum\s+class\s+(\w+)\s*(?::\s*\w+\s*)?\{([^}]*)\}", re.S)
    for path in paths:
        try:
            text = open(path, encoding="utf-8", errors="replace").read()
        except OSError:
            continue
        text = re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S)
        for match in pattern.finditer(text):
            names = [part.split("=")[0].strip() for part in match.group(2).split(",")]
            enums[match.group(1)] = [name for name in names if name]
    return enums


class Mutant:
    def __init__(self, target, line, function, kind, original, mutated):
        self.target = target
        self.line = line
        self.function = function
        self.kind = kind
        self.original = original
        self.mutated = mutated

    def key(self):
        return (self.target["file"], self.original.strip(), self.mutated.strip())

    def change(self):
        return "%s: `%s` -> `%s`" % (self.kind, self.original.strip(), self.mutated.strip() or "(deleted)")


def list_mutants(targets, source_root):
    headers = []
    for base, _, files in os.walk(source_root):
        if "/build" in base or "/.git" in base or "/.cache" in base:
            continue
        headers += [os.path.join(base, f) for f in files if f.endswith((".h", ".cpp"))]
    enums = enum_values(headers)
    result = []
    seen = set()
    for target in targets:
        path = os.path.join(source_root, target["file"])
        if not os.path.exists(path):
            print("mutation: %s is missing; skipped" % target["file"])
            continue
        lines = open(path, encoding="utf-8").read().split("\n")
        previous = ""
        for number, code, function in function_lines("\n".join(lines)):
            if not wanted(function, target.get("functions")):
                previous = code
                continue
            raw = lines[number - 1]
            for kind, column, old, new in mutations(code, previous, enums):
                raw_old = raw[column:column + len(old)]
                if kind == "negate condition":
                    new = "(!" + raw_old + ")"
                elif raw_old != old:
                    continue  # the text differs inside a literal
                mutated = "" if kind == "delete statement" else raw[:column] + new + raw[column + len(old):]
                mutant = Mutant(target, number, function, kind, raw, mutated)
                if mutant.key() not in seen and mutated != raw:
                    seen.add(mutant.key())
                    result.append(mutant)
            previous = code
    return result


def read_equivalents(path):
    """file | original line | mutated line | reason, one a line."""
    listed = {}
    if not os.path.exists(path):
        return listed
    for line in open(path, encoding="utf-8"):
        if line.strip() and not line.startswith("#"):
            parts = [part.strip() for part in line.rstrip("\n").split(" | ")]
            if len(parts) >= 4:
                listed[(parts[0], parts[1], "" if parts[2] == "(deleted)" else parts[2])] = parts[3]
    return listed


# ---------------------------------------------------------------------------
# The copy of the tree, its build and the test runs.


def sync_tree(source_root, copy_root):
    """Copies the tracked and new files of the working tree into copy_root;
    files whose bytes did not change keep their time, so nothing unchanged
    is rebuilt."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=source_root,
                            capture_output=True, check=True).stdout.decode().split("\0")
    for name in [n for n in listed if n]:
        src = os.path.join(source_root, name)
        dst = os.path.join(copy_root, name)
        if not os.path.isfile(src):
            continue
        if os.path.isfile(dst) and open(src, "rb").read() == open(dst, "rb").read():
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)
    cache = os.path.join(source_root, ".cache")
    if os.path.lexists(cache) and not os.path.lexists(os.path.join(copy_root, ".cache")):
        os.symlink(os.path.realpath(cache), os.path.join(copy_root, ".cache"))


def run(command, cwd, timeout, env=None):
    """(exit status, output); status None when the timeout ran out."""
    try:
        done = subprocess.run(command, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, start_new_session=True)
        return done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired as expired:
        return None, (expired.output or b"").decode(errors="replace")


def build(build_dir, targets, jobs, timeout):
    status, output = run(["cmake", "--build", build_dir, "-j%d" % jobs, "--target"] + targets,
                         build_dir, timeout)
    return status == 0, output


def test(target, copy_root, build_dir, jobs, timeout):
    """'killed' or 'survived' (a test run that times out kills the mutant)."""
    if "command" in target:
        env = dict(os.environ, ORV_BUILD_DIR=build_dir, **target.get("env", {}))
        status, _ = run(target["command"], copy_root, timeout, env)
    else:
        status, _ = run(["ctest", "-R", target["ctest"], "-j%d" % jobs, "--stop-on-failure",
                         "--timeout", str(timeout)], build_dir, timeout)
    return "survived" if status == 0 else "killed"


def evaluate(mutant, copy_root, build_dir, args):
    path = os.path.join(copy_root, mutant.target["file"])
    original = open(path, encoding="utf-8").read()
    lines = original.split("\n")
    if mutant.mutated:
        lines[mutant.line - 1] = mutant.mutated
    else:
        del lines[mutant.line - 1]
    try:
        with open(path, "w", encoding="utf-8") as out:
            out.write("\n".join(lines))
        ok, _ = build(build_dir, mutant.target["build"], args.jobs, args.timeout)
        if not ok:
            return "stillborn"
        return test(mutant.target, copy_root, build_dir, args.jobs, args.timeout)
    finally:
        with open(path, "w", encoding="utf-8") as out:
            out.write(original)


def configure(copy_root, build_dir):
    if os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        return True
    env = dict(os.environ)
    env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
    status, output = run(["cmake", "-S", copy_root, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Debug"],
                         copy_root, 600, env)
    if status != 0:
        print(output)
    return status == 0


# ---------------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100, help="mutants to judge (default 100)")
    parser.add_argument("--seed", type=int, default=23, help="sample seed (default 23)")
    parser.add_argument("--budget", type=float, default=90,
                        help="minutes; no new mutant is started after them (default 90)")
    parser.add_argument("--timeout", type=int, default=300,
                        help="seconds for one mutant's build and for its tests (default 300)")
    parser.add_argument("--jobs", type=int, default=2, help="build and test jobs (default 2)")
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutation"),
                        help="copy of the tree and its build (default build-mutation/)")
    parser.add_argument("--targets", default=os.path.join(HERE, "targets.json"))
    parser.add_argument("--equivalent", default=os.path.join(HERE, "equivalent.txt"))
    parser.add_argument("--file", action="append", default=[],
                        help="only targets whose file contains this text (repeatable)")
    parser.add_argument("--slow", action="store_true", help="also the targets tested end to end")
    parser.add_argument("--list", action="store_true", help="list the sample, judge nothing")
    return parser.parse_args(argv)


def choose(args):
    config = json.load(open(args.targets, encoding="utf-8"))["targets"]
    targets = [t for t in config if (args.slow or not t.get("slow"))
               and (not args.file or any(f in t["file"] for f in args.file))]
    skipped = [t["file"] for t in config if t.get("slow") and not args.slow]
    mutants = list_mutants(targets, ROOT)
    random.Random(args.seed).shuffle(mutants)
    return mutants, skipped


def report(results, equivalents, stillborn, started, budget_hit):
    judged = [(m, r) for m, r in results]
    killed = sum(1 for _, r in judged if r == "killed")
    survivors = [m for m, r in judged if r == "survived"]
    score = 100.0 * killed / len(judged) if judged else 0.0
    print("mutants: %d, killed: %d, survived: %d, score: %.0f%%" % (len(judged), killed, len(survivors), score))
    for mutant in survivors:
        print("survived %s:%d (%s) %s" % (mutant.target["file"], mutant.line, mutant.function, mutant.change()))
    for mutant, reason in equivalents:
        print("equivalent %s:%d (%s) %s: %s" % (mutant.target["file"], mutant.line, mutant.function,
                                                mutant.change(), reason))
    print("not compiled (not counted): %d; time: %.1f min%s" %
          (stillborn, (time.time() - started) / 60, "; budget spent before the sample was done" if budget_hit else ""))


def main(argv):
    args = parse_args(argv)
    mutants, skipped = choose(args)
    for name in skipped:
        print("mutation: %s is tested end to end only: left out (--slow takes it)" % name)
    if args.list:
        for mutant in mutants[:args.count]:
            print("%s:%d (%s) %s" % (mutant.target["file"], mutant.line, mutant.function, mutant.change()))
        print("candidates: %d" % len(mutants))
        return 0
    copy_root = os.path.join(os.path.abspath(args.work), "src")
    build_dir = os.path.join(os.path.abspath(args.work), "build")
    os.makedirs(copy_root, exist_ok=True)
    sync_tree(ROOT, copy_root)
    if not configure(copy_root, build_dir):
        return 2
    everything = sorted({t for m in mutants for t in m.target["build"]})
    ok, output = build(build_dir, everything, args.jobs, 3600)
    if not ok:
        print(output[-4000:])
        print("mutation: the unmutated tree does not build")
        return 2
    for target in {id(m.target): m.target for m in mutants}.values():
        if test(target, copy_root, build_dir, args.jobs, args.timeout) != "survived":
            print("mutation: the tests of %s fail on the unmutated tree" % target["file"])
            return 2
    listed = read_equivalents(args.equivalent)
    results, equivalents, stillborn = [], [], 0
    started = time.time()
    budget_hit = False
    for mutant in mutants:
        if len(results) >= args.count:
            break
        if time.time() - started > args.budget * 60:
            budget_hit = True
            break
        if mutant.key() in listed:
            equivalents.append((mutant, listed[mutant.key()]))
            continue
        verdict = evaluate(mutant, copy_root, build_dir, args)
        print("%-9s %s:%d %s" % (verdict, mutant.target["file"], mutant.line, mutant.change()), flush=True)
        if verdict == "stillborn":
            stillborn += 1
        else:
            results.append((mutant, verdict))
    report(results, equivalents, stillborn, started, budget_hit)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
