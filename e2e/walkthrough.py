#!/usr/bin/env python3
"""Runs a walkthrough document step by step, so the steps a reader follows
cannot go stale.

Every fenced block marked ```sh in the document is one step. The steps run
in order with bash (-e -u -o pipefail) in one scratch folder; variables a
step exports are seen by the later ones. Comment lines in a step state what
must come of it:

    # expect: TEXT      a line of the step's output (standard output and
                        standard error) holds TEXT; one line per expectation
    # status: N         the step exits with status N (default 0)

Environment given to the steps: ORV_ROOT (the source tree), ORV_BUILD (the
build folder: ORV_BUILD_DIR, default <root>/build).

    python3 e2e/walkthrough.py [DOC] [--workdir DIR] [-v]

DOC defaults to docs/board-teams.md. Prints one line per step and
"walkthrough: N passed, M failed" last; exits 1 when a step failed, 2 on a
bad command line or a document without steps. The e2e suite runs the same
steps as its "walkthrough" sequence.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_DOC = os.path.join(ROOT, "docs", "board-teams.md")
STEP_TIMEOUT = 900      # seconds; a step builds the image parser or boots QEMU
STATE_FILE = ".walkthrough-env"

_FENCE = re.compile(r"^```(\S*)\s*$")
_EXPECT = re.compile(r"^\s*#\s*expect:\s?(.*?)\s*$")
_STATUS = re.compile(r"^\s*#\s*status:\s*(\d+)\s*$")


class Step:
    def __init__(self, number, line, text):
        self.number = number
        self.line = line          # line of the document where the block starts
        self.text = text
        self.expect = [m.group(1) for m in map(_EXPECT.match, text.splitlines()) if m]
        statuses = [int(m.group(1)) for m in map(_STATUS.match, text.splitlines()) if m]
        self.status = statuses[-1] if statuses else 0

    def title(self):
        """The step's first command line, for the report."""
        for l in self.text.splitlines():
            if l.strip() and not l.lstrip().startswith("#"):
                return l.strip()
        return "(comments only)"


def parse_steps(markdown):
    """The ```sh blocks of the document, in order. Raises ValueError for a
    block that is never closed."""
    steps, block, start = [], None, 0
    for number, line in enumerate(markdown.splitlines(), 1):
        fence = _FENCE.match(line)
        if block is None:
            if fence and fence.group(1) == "sh":
                block, start = [], number
        elif fence and fence.group(1) == "":
            steps.append(Step(len(steps) + 1, start, "\n".join(block) + "\n"))
            block = None
        else:
            block.append(line)
    if block is not None:
        raise ValueError("the block at line %d is never closed" % start)
    return steps


def step_script(step, workdir):
    """The bash script of one step: the state of the steps before it, the
    step itself, and the state it leaves for the next (also when it fails)."""
    state = os.path.join(workdir, STATE_FILE)
    return ("set -euo pipefail\ncd %s\n[ -f %s ] && source %s\n"
            "trap 'export -p > %s' EXIT\n%s"
            % (_quote(workdir), _quote(state), _quote(state), _quote(state), step.text))


def _quote(path):
    return "'" + path.replace("'", "'\\''") + "'"


def check_step(step, status, output):
    """Failure texts of a step that exited with status and printed output."""
    problems = []
    if status != step.status:
        problems.append("exit status %s, expected %d" % (status, step.status))
    lines = output.replace("\r", "").split("\n")
    for text in step.expect:
        if not any(text in l for l in lines):
            problems.append("no output line holds %r" % text)
    return problems


def run_step(step, workdir, env, timeout=STEP_TIMEOUT, niceness=0):
    """Runs one step (at the given niceness); returns (problems, output)."""
    argv = ["bash", "-c", step_script(step, workdir)]
    if niceness:
        argv = ["nice", "-n", str(niceness)] + argv
    try:
        proc = subprocess.run(argv, cwd=workdir,
                              env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        out = (exc.stdout or b"").decode(errors="replace")
        return ["did not end within %d s" % timeout], out
    output = proc.stdout.decode(errors="replace")
    return check_step(step, proc.returncode, output), output


def step_env(build, extra=None):
    env = dict(os.environ)
    for key, value in (extra or {}).items():
        env.setdefault(key, value)      # what the caller's environment says stands
    env["ORV_ROOT"] = ROOT
    env["ORV_BUILD"] = build
    return env


def run_walkthrough(doc, workdir, build, report=print, verbose=False, niceness=0,
                    extra_env=None):
    """Runs every step of doc in workdir (emptied first); stops at the first
    failing step, since the later ones build on it. Returns a list of
    (step, problems) for every step, the ones not run included. A niceness
    above 0 leaves the processor to other work first (the e2e suite's boots
    beside it have a short no-progress limit). extra_env gives defaults for the
    steps' environment."""
    with open(doc, encoding="utf-8") as f:
        steps = parse_steps(f.read())
    if os.path.isdir(workdir):
        shutil.rmtree(workdir)
    os.makedirs(workdir)
    env = step_env(build, extra_env)
    results, failed = [], None
    for step in steps:
        if failed is not None:
            results.append((step, ["not run: step %d failed" % failed]))
            continue
        problems, output = run_step(step, workdir, env, niceness=niceness)
        if problems:
            failed = step.number
            tail = output.replace("\r", "").rstrip("\n").split("\n")
            problems += ["| " + l for l in (tail if verbose else tail[-15:])]
        results.append((step, problems))
        report("%s step %d (%s line %d): %s" % ("FAIL" if problems else "ok  ", step.number,
                                               os.path.basename(doc), step.line, step.title()))
        for p in problems:
            report("    " + p)
    return results


def main(argv):
    args = [a for a in argv if a != "-v"]
    workdir = None
    if "--workdir" in args:
        i = args.index("--workdir")
        if i + 1 >= len(args):
            print("walkthrough: --workdir needs a folder")
            return 2
        workdir = args[i + 1]
        del args[i:i + 2]
    if len(args) > 1 or any(a.startswith("-") for a in args):
        print("usage: walkthrough.py [DOC] [--workdir DIR] [-v]")
        return 2
    doc = os.path.abspath(args[0]) if args else DEFAULT_DOC
    build = os.path.abspath(os.environ.get("ORV_BUILD_DIR", os.path.join(ROOT, "build")))
    workdir = os.path.abspath(workdir or tempfile.mkdtemp(prefix="walkthrough."))
    try:
        results = run_walkthrough(doc, workdir, build, verbose="-v" in argv)
    except (OSError, ValueError) as exc:
        print("walkthrough: %s: %s" % (doc, exc))
        return 2
    if not results:
        print("walkthrough: %s has no ```sh steps" % doc)
        return 2
    failed = sum(1 for _, problems in results if problems)
    print("walkthrough: %d passed, %d failed (work folder %s)"
          % (len(results) - failed, failed, workdir))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    sys.exit(main(sys.argv[1:]))
