"""Cases, boots and checks of the end-to-end suite.

A Case is one run of OrvUpdate.efi in the UEFI Shell: the shell commands that
prepare it (cp/rm of settings, images, fault files), the command line, the
exact console lines expected between the run's markers, the %lasterror% text
expected, and optional checks of the simulated flash read back from the disk
image afterwards. A Boot groups cases that share one QEMU boot; cases run in
order and see what the earlier ones left (loaded drivers, flash contents).
"""

import difflib
import os
import re
import threading

import orvqemu

BANNER = "OrvUpdate tool version 00.01.0002"

EFI_SUCCESS = 0
EFI_INVALID_PARAMETER = 0x8000000000000002
EFI_DEVICE_ERROR = 0x8000000000000007
EFI_NOT_FOUND = 0x800000000000000E


# The image parser of a build that trusts the demo key (the suite's own)
# says so once, when it is loaded: in the first run of a boot that loads it.
# Runs are compared without it; demo_key_warned checks that it is there.
DEMO_KEY_WARNING = "HexImage: warning: built with the demo signing key, for the demo and tests only"


def without_driver_warning(lines):
    return [line for line in lines if line != DEMO_KEY_WARNING]


def demo_key_warned(ctx):
    """A check: the run loaded the image parser, which warned once."""
    count = ctx.raw_run().count(DEMO_KEY_WARNING.encode())
    return [] if count == 1 else ["the demo key warning appears %d times, expected once" % count]


def shell_status(status):
    """%lasterror% as the shell prints it: hexadecimal without the error bit."""
    return "0x%X" % (status & 0x7FFFFFFFFFFFFFFF)


def low32(status):
    """A status as the application prints it with %x."""
    return "%X" % (status & 0xFFFFFFFF)


class Re:
    """An expected console line given as a regular expression (full match),
    for the few lines whose text depends on the machine (device paths)."""

    def __init__(self, pattern):
        self.pattern = pattern
        self.regex = re.compile(pattern)

    def matches(self, line):
        return self.regex.fullmatch(line) is not None

    def __repr__(self):
        return "/%s/" % self.pattern


def _line_ok(expected, actual):
    if isinstance(expected, Re):
        return expected.matches(actual)
    return expected == actual


class Case:
    def __init__(self, case_id, command, lines, status, setup=(), snapshot=(),
                 checks=(), note=""):
        """
        case_id   one word, used in the markers and for snapshot folders
        command   the shell command line of the run
        lines     the exact console lines expected (str or Re), banner included
        status    the EFI status expected back in %lasterror%
        setup     shell commands run before the run (outside its markers)
        snapshot  volume files copied into snap\\<case_id>\\ right after the
                  run, so checks see the flash as this run left it
        checks    callables check(ctx) -> list of failure texts; ctx.snap(name)
                  gives the snapshot bytes of a file named in snapshot
        """
        self.id = case_id
        self.command = command
        self.lines = list(lines)
        self.status = status
        self.setup = list(setup)
        self.snapshot = list(snapshot)
        self.checks = list(checks)
        self.note = note


class CheckContext:
    def __init__(self, volume, case, console=b""):
        self.volume = volume
        self.case = case
        self.console = console

    def snap(self, name):
        return self.volume.get("snap/%s/%s" % (self.case.id, name))

    def raw_run(self):
        """The run's console bytes as QEMU received them (carriage returns
        and all), from its begin marker to its end marker."""
        begin = re.search(re.escape(("%s %s" % (orvqemu.BEGIN, self.case.id)).encode()) + b"[\r\n]",
                          self.console)
        if begin is None:
            return b""
        end = self.console.find(("%s %s " % (orvqemu.END, self.case.id)).encode(), begin.start())
        return self.console[begin.start():end if end >= 0 else len(self.console)]


def snapshot_commands(case):
    if not case.snapshot:
        return []
    folder = "snap\\" + case.id
    cmds = ["mkdir " + folder]
    for path in case.snapshot:
        cmds.append("if exist %s then" % path)
        cmds.append("  cp -q %s %s\\%s" % (path, folder, path.replace("\\", "/").split("/")[-1]))
        cmds.append("endif")
    return cmds


def script_lines(cases):
    lines = ["mkdir snap"]
    for case in cases:
        lines += case.setup
        lines += orvqemu.shell_run(case.id, case.command)
        lines += snapshot_commands(case)
    return lines


def compare_lines(expected, actual):
    """Failure texts for a console mismatch (empty when equal)."""
    if len(expected) == len(actual) and all(_line_ok(e, a) for e, a in zip(expected, actual)):
        return []
    exp_text = [e if isinstance(e, str) else repr(e) for e in expected]
    # Show regex lines as matched when they match the line at the same place,
    # so the diff points at the real difference.
    shown = []
    for i, e in enumerate(expected):
        if isinstance(e, Re) and i < len(actual) and e.matches(actual[i]):
            shown.append(actual[i])
        else:
            shown.append(exp_text[i])
    diff = difflib.unified_diff(shown, actual, "expected", "console", lineterm="", n=2)
    return ["console lines differ:"] + ["    " + d for d in diff]


class Suite:
    """Runs boots and counts their cases. Boots may run side by side in
    threads: each boot's report is printed as one block when it ends."""

    def __init__(self, workdir, timeout, verbose=False):
        self.workdir = workdir
        self.timeout = timeout
        self.verbose = verbose
        self.passed = 0
        self.failed = 0
        self.boot_failures = []
        self.runs = 0
        self.boot_seconds = 0.0
        self._lock = threading.Lock()

    def _report(self, case, problems, out):
        if problems:
            out.append("FAIL %s: %s" % (case.id, case.command))
            out.extend("    " + p for p in problems)
        else:
            out.append("ok   %s: %s" % (case.id, case.command))
        return not problems

    def report_checked(self, heading, results):
        """Prints and counts cases a sequence checked itself: the heading,
        then a line for each (case, failure texts) of results."""
        out = [heading]
        passed = sum(1 for case, problems in results if self._report(case, problems, out))
        with self._lock:
            self.runs += len(results)
            self.passed += passed
            self.failed += len(results) - passed
            print("\n".join(out), flush=True)

    def _check_case(self, volume, case, run, console=b""):
        problems = []
        if run.rc is None:
            problems.append("the run did not return to the shell (no end marker)")
        problems += compare_lines(case.lines, without_driver_warning(run.lines))
        if run.rc is not None and run.rc != shell_status(case.status):
            problems.append("%%lasterror%% is %s, expected %s"
                            % (run.rc, shell_status(case.status)))
        if run.rc is not None:
            ctx = CheckContext(volume, case, console)
            for check in case.checks:
                try:
                    problems += check(ctx)
                except Exception as exc:  # a broken read-back is a failure, not a crash
                    problems.append("flash check raised %s: %s" % (type(exc).__name__, exc))
        if self.verbose and problems:
            problems.append("whole run output:")
            problems += ["  | " + l for l in run.lines]
        return problems

    def run_boot(self, name, volume, cases, preamble=(), report=None, disks=()):
        """Boots once with every case of the group and checks each.

        disks are further volumes attached after the boot volume (board
        disks). report, when given, is the set of case ids to check and
        count; the other cases still run (in order, before the reported
        ones) to give them the state they build on. A boot that stops before its first
        run is one failure line with the end of its console; one that stops
        later fails the run it was in and counts the runs it never reached."""
        lines = list(preamble) + script_lines(cases)
        result = orvqemu.boot(volume, lines, self.workdir, timeout=self.timeout,
                              log_name="console-%s.log" % name, disks=disks)
        log = os.path.join(self.workdir, "console-%s.log" % name)
        checked = [c for c in cases if report is None or c.id in report]
        out = ["-- boot %s: %d runs, %.1f s (console: %s)"
               % (name, len(checked), result.seconds, log)]
        if len(checked) < len(cases):
            out.append("   (%d earlier runs of this boot ran first, unchecked, for the "
                       "state the selected ones build on)" % (len(cases) - len(checked)))
        runs = result.runs()
        stopped = result.stop_reason or (
            None if result.finished else
            "the shell script did not run to its end (QEMU exit %s)" % result.exit_code)
        passed = failed = ran = 0
        failures = []
        if not runs:
            failures.append("boot %s never started: %s; %d runs not started"
                            % (name, stopped or "no run markers on the console", len(checked)))
            failed += len(checked)
            out.append("    console ends with:")
            out.extend("    | " + l for l in result.tail())
        else:
            if stopped:
                failures.append("boot %s: %s" % (name, stopped))
            not_reached = 0
            for case in checked:
                run = runs.get(case.id)
                if run is None:
                    not_reached += 1
                    continue
                ran += 1
                problems = self._check_case(volume, case, run, result.raw)
                if problems and run.rc is None and stopped:
                    problems.append("the boot stopped in this run: %s; console ends with:"
                                    % stopped)
                    problems += ["| " + l for l in result.tail()]
                if self._report(case, problems, out):
                    passed += 1
                else:
                    failed += 1
            if not_reached:
                failed += not_reached
                out.append("FAIL boot %s: %d later runs never started (the boot had stopped)"
                           % (name, not_reached))
        with self._lock:
            self.boot_seconds += result.seconds
            self.runs += ran
            self.passed += passed
            self.failed += failed
            self.boot_failures += failures
            print("\n".join(out), flush=True)
        return result
