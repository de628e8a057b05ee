#!/usr/bin/env python3
"""boot.sh: boots the UEFI Shell of OVMF under QEMU on a volume and types
shell commands into it.

usage: boot.sh [--board DIR|IMAGE] [--console FILE] [--timeout SECONDS]
               VOLUME [COMMAND...]

VOLUME (a folder or a FAT disk image) is the boot volume, fs0: in the shell.
--board attaches a board disk (made by make-board.sh) after it: the
simulated chips' configuration and state. The COMMANDs run one after the
other in fs0:\\ (without any, the lines of standard input when it is not a
terminal); their console lines are printed, and the exit status is the last
command's %lasterror% (0 for success, the status without its error bit
otherwise, 255 when that is above 255). With no command and a terminal on
standard input, the shell prompt is left to the user (type "reset -s" to
power off, or Ctrl-A then X to stop QEMU). 125: the boot itself failed
(QEMU missing, no boot, a command that never returned within the timeout).

A folder is copied into a disk image for the boot, and every file on the
image is copied back into the folder afterwards (files deleted in the shell
stay in the folder; a startup.nsh of boot.sh's own is not copied back). On
an image, a startup.nsh the volume had is put back after the boot.

The console is saved in --console FILE (default: console.log in the work
folder, $BOOT_WORKDIR or build/boot/). BOOT_TIMEOUT (default 300) is the
seconds allowed for a boot with commands; E2E_STALL_TIMEOUT and
ORV_QEMU_KVM apply as in the e2e suite.
"""

import argparse
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import orvqemu  # noqa: E402

BOOT_FAILED = 125
STARTUP = "startup.nsh"


class Disk:
    """A volume given as an image (used in place) or a folder (copied into
    an image for the boot and back afterwards)."""

    def __init__(self, path, workdir, name):
        self.folder = path if os.path.isdir(path) else None
        if self.folder is None and not os.path.isfile(path):
            raise orvqemu.E2EError("%s is neither a folder nor a disk image" % path)
        if self.folder is None:
            self.volume = orvqemu.Volume(path, existing=True)
            return
        size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs)
        self.volume = orvqemu.Volume(os.path.join(workdir, name + ".img"),
                                     size_kib=max(65536, 2 * size // 1024 + 16384))
        for folder, dirs, files in os.walk(path):
            below = os.path.relpath(folder, path).replace(os.sep, "/")
            below = "" if below == "." else below + "/"
            for d in sorted(dirs):
                self.volume.mkdir(below + d)
            for f in sorted(files):
                self.volume.put_file(os.path.join(folder, f), below + f)

    def copy_back(self, skip=()):
        """Copies the image's files into the folder (a folder only)."""
        if self.folder is None:
            return
        for path in self.volume.files():
            target = os.path.join(self.folder, *path.rstrip("/").split("/"))
            if path.endswith("/"):
                os.makedirs(target, exist_ok=True)
            elif path not in skip:
                data = self.volume.get(path)
                if data is not None:
                    with open(target, "wb") as f:
                        f.write(data)


def exit_status(rc_text):
    """The exit status for a %lasterror% text such as 0xE."""
    try:
        value = int(rc_text, 16)
    except (TypeError, ValueError):
        return BOOT_FAILED
    return value if value <= 255 else 255


def run_commands(stick, board, commands, workdir, console, timeout):
    """Boots once with the commands and prints their lines; the exit status."""
    old_startup = stick.volume.get(STARTUP) if stick.folder is None else None
    lines = []
    for index, command in enumerate(commands, 1):
        lines += orvqemu.shell_run("c%d" % index, command)
    try:
        result = orvqemu.boot(stick.volume, lines, workdir, timeout=timeout,
                              log_name=os.path.basename(console), disks=board)
    finally:
        if old_startup is not None:
            stick.volume.put_bytes(old_startup, STARTUP, workdir)
    _save_console(workdir, console)
    runs = result.runs()
    status = None
    for index, command in enumerate(commands, 1):
        run = runs.get("c%d" % index)
        if run is None:
            break
        print("fs0:\\> " + command)
        for line in run.lines:
            print(line)
        status = run.rc
    if status is None or len(runs) < len(commands) or runs["c%d" % len(commands)].rc is None:
        why = result.stop_reason or "QEMU exit %s" % result.exit_code
        print("boot: the boot stopped before the last command returned (%s); console ends with:"
              % why, file=sys.stderr)
        print("\n".join("  | " + l for l in result.tail()), file=sys.stderr)
        return BOOT_FAILED
    print("boot: %%lasterror%% of the last command: %s" % status, file=sys.stderr)
    return exit_status(status)


def _save_console(workdir, console):
    # The boot writes the log into the work folder; --console may name another place.
    written = os.path.join(workdir, os.path.basename(console))
    if os.path.abspath(written) != os.path.abspath(console):
        shutil.move(written, console)


def interactive(stick, board, workdir, console):
    """The shell prompt on this terminal; QEMU's console output is also
    written to the console file as it comes."""
    vars_fd = os.path.join(workdir, "interactive.vars.fd")
    shutil.copyfile(orvqemu.OVMF_VARS, vars_fd)
    argv = orvqemu.qemu_argv(stick.volume, workdir, vars_fd, board)
    print("boot: type \"reset -s\" at the Shell> prompt to power off (Ctrl-A then X stops QEMU)",
          file=sys.stderr)
    try:
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE)
    except OSError as exc:
        raise orvqemu.E2EError("cannot start %s: %s" % (argv[0], exc))
    with open(console, "wb") as log:
        while True:
            data = proc.stdout.read1(4096)
            if not data:
                break
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
            log.write(data)
    return 0 if proc.wait() == 0 else BOOT_FAILED


def parse(argv):
    parser = argparse.ArgumentParser(prog="boot.sh", add_help=True,
                                     description="Boots the UEFI Shell on VOLUME under QEMU "
                                                 "and runs the COMMANDs (see "
                                                 "docs/boot-and-board.md).")
    parser.add_argument("--board", help="board disk (folder or image) attached after VOLUME")
    parser.add_argument("--console", help="where the console is saved")
    parser.add_argument("--timeout", type=int,
                        default=int(os.environ.get("BOOT_TIMEOUT", "300")),
                        help="seconds allowed for the boot (default 300)")
    parser.add_argument("volume", metavar="VOLUME", help="boot volume: a folder or a FAT image")
    parser.add_argument("commands", metavar="COMMAND", nargs="*", help="shell command lines")
    return parser.parse_args(argv)


def main(argv):
    args = parse(argv)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    workdir = os.path.abspath(os.environ.get("BOOT_WORKDIR") or os.path.join(
        os.environ.get("ORV_BUILD_DIR") or os.path.join(root, "build"), "boot"))
    os.makedirs(workdir, exist_ok=True)
    console = os.path.abspath(args.console or os.path.join(workdir, "console.log"))
    commands = list(args.commands)
    if not commands and not sys.stdin.isatty():
        commands = [l.rstrip("\r\n") for l in sys.stdin if l.strip()]
    missing = orvqemu.missing_tools()
    if missing:
        print("boot: missing: %s (run scripts/install-deps.sh)" % ", ".join(missing),
              file=sys.stderr)
        return BOOT_FAILED
    try:
        stick = Disk(args.volume, workdir, "volume")
        board = [Disk(args.board, workdir, "board")] if args.board else []
        orvqemu.accelerator(workdir, log=lambda line: print("boot: " + line, file=sys.stderr))
        if commands:
            status = run_commands(stick, [b.volume for b in board], commands, workdir, console,
                                  args.timeout)
        elif sys.stdin.isatty():
            status = interactive(stick, [b.volume for b in board], workdir, console)
        else:
            print("boot: no command given (on the command line or standard input)",
                  file=sys.stderr)
            return 2
        stick.copy_back(skip=(STARTUP,))
        for disk in board:
            disk.copy_back()
    except orvqemu.E2EError as exc:
        print("boot: %s" % exc, file=sys.stderr)
        return BOOT_FAILED
    print("boot: console saved in %s" % console, file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
