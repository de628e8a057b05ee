"""Boots the UEFI Shell of OVMF under QEMU on a FAT disk image and collects
the serial console.

Used by the end-to-end suite (e2e_suite.py) and the demo (demo.py). Only the
Python standard library, QEMU, OVMF and mtools/dosfstools are needed.

A boot runs the lines of a generated startup.nsh. Every application run is
bracketed by echo markers so the transcript can be cut into runs afterwards:

    @@E2E-BEGIN <id>
    ... the run's console lines ...
    @@E2E-END <id> RC=<%lasterror%>

and the script ends with an @@E2E-DONE marker before `reset -s`, so a boot
that stopped half-way (hang, crash, timeout) is told apart from one that ran
every line.
"""

import os
import re
import shutil
import subprocess
import threading
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
QEMU = "qemu-system-x86_64"

BEGIN = "@@E2E-BEGIN"
END = "@@E2E-END"
DONE = "@@E2E-DONE"

# ANSI control sequences the shell writes on the serial console (cursor
# moves, colours, mode switches such as ESC[=3h).
_ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]|\x1b[()][A-Za-z0-9]|\x1b[=>c]")


class E2EError(Exception):
    """A failure of the harness itself (tool missing, disk image, QEMU)."""


def missing_tools():
    """Names of the programs and firmware files a boot needs but are absent."""
    missing = [t for t in (QEMU, "mkfs.vfat", "mcopy", "mmd")
               if shutil.which(t) is None]
    missing += [f for f in (OVMF_CODE, OVMF_VARS) if not os.path.isfile(f)]
    return missing


def clean_console(raw):
    """Serial output as plain text: ANSI escapes and carriage returns removed."""
    text = raw.decode("utf-8", errors="replace")
    text = _ANSI.sub("", text)
    return text.replace("\r", "")


def _mtools_env():
    env = dict(os.environ)
    # The image has no partition table; mtools must not insist on geometry.
    env["MTOOLS_SKIP_CHECK"] = "1"
    return env


def _dos(path):
    """A volume path written with backslashes or slashes as an mtools path."""
    return "::/" + path.replace("\\", "/").lstrip("/")


class Volume:
    """A FAT disk image filled and read back with mtools."""

    def __init__(self, path, size_kib=65536):
        self.path = path
        if os.path.exists(path):
            os.remove(path)
        self._run(["mkfs.vfat", "-C", path, str(size_kib)])

    def _run(self, argv, binary_out=False):
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=_mtools_env())
        if proc.returncode != 0:
            raise E2EError("%s failed: %s" % (" ".join(argv),
                                              proc.stderr.decode(errors="replace").strip()))
        return proc.stdout if binary_out else proc.stdout.decode(errors="replace")

    def mkdir(self, path):
        self._run(["mmd", "-i", self.path, _dos(path)])

    def put_file(self, host_path, path):
        self._run(["mcopy", "-o", "-i", self.path, host_path, _dos(path)])

    def put_bytes(self, data, path, workdir):
        tmp = os.path.join(workdir, ".put.tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        self.put_file(tmp, path)
        os.remove(tmp)

    def put_text(self, text, path, workdir, crlf=True):
        if crlf:
            text = text.replace("\r\n", "\n").replace("\n", "\r\n")
        self.put_bytes(text.encode("ascii"), path, workdir)

    def get(self, path):
        """The file's bytes, or None when the volume has no such file."""
        proc = subprocess.run(["mcopy", "-n", "-i", self.path, _dos(path), "-"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=_mtools_env())
        if proc.returncode != 0:
            return None
        return proc.stdout


class BootResult:
    def __init__(self, raw, seconds, timed_out, exit_code, arrivals=()):
        self.raw = raw
        self.arrivals = list(arrivals)   # (seconds since start, bytes received so far)
        self.text = clean_console(raw)
        self.seconds = seconds
        self.timed_out = timed_out
        self.exit_code = exit_code
        self.finished = (DONE + "\n") in self.text or self.text.rstrip().endswith(DONE)

    def time_of(self, text):
        """Seconds after the start of QEMU at which text had been received on
        the console, or None when it never was."""
        at = self.raw.find(text.encode())
        if at < 0:
            return None
        end = at + len(text)
        for seconds, received in self.arrivals:
            if received >= end:
                return seconds
        return None

    def run_seconds(self, run_id):
        """Wall time of one run, from its begin marker to its end marker."""
        begin = self.time_of("%s %s" % (BEGIN, run_id))
        end = self.time_of("%s %s " % (END, run_id))
        return None if begin is None or end is None else end - begin

    def runs(self):
        """The application runs of this boot: {id: Run}, in script order."""
        return split_runs(self.text)


class Run:
    def __init__(self, run_id):
        self.id = run_id
        self.lines = []
        self.rc = None          # the shell's %lasterror% text, None if no end marker

    def __repr__(self):
        return "Run(%s, rc=%s, %d lines)" % (self.id, self.rc, len(self.lines))


def split_runs(text):
    runs = {}
    current = None
    for line in text.split("\n"):
        if line.startswith(BEGIN + " "):
            current = Run(line[len(BEGIN) + 1:].strip())
            runs[current.id] = current
            continue
        if line.startswith(END + " ") and current is not None:
            m = re.match(re.escape(END) + r" (\S+) RC=(\S*)$", line)
            if m and m.group(1) == current.id:
                current.rc = m.group(2)
            current = None
            continue
        if current is not None:
            current.lines.append(line)
    return runs


def shell_run(run_id, command):
    """startup.nsh lines that run one command between markers and capture its
    status. The run id must be one word without shell specials."""
    return ["echo %s %s" % (BEGIN, run_id),
            command,
            "echo %s %s RC=%%lasterror%%" % (END, run_id)]


def write_startup(volume, lines, workdir):
    body = ["@echo -off", "fs0:"] + list(lines) + ["echo " + DONE, "reset -s"]
    volume.put_text("\n".join(body) + "\n", "startup.nsh", workdir)


def boot(volume, lines, workdir, timeout=120, log_name="console.log"):
    """Writes startup.nsh with the given lines, boots QEMU on the volume and
    returns the BootResult. QEMU is always stopped by the timeout."""
    write_startup(volume, lines, workdir)
    vars_fd = os.path.join(workdir, "vars.fd")
    shutil.copyfile(OVMF_VARS, vars_fd)
    argv = [QEMU, "-machine", "q35", "-m", "256", "-nographic", "-no-reboot",
            "-net", "none",
            "-drive", "if=pflash,format=raw,readonly=on,file=" + OVMF_CODE,
            "-drive", "if=pflash,format=raw,file=" + vars_fd,
            "-drive", "format=raw,file=" + volume.path]
    # Software emulation (TCG): a /dev/kvm that opens may still fail to run
    # a guest, and then QEMU hangs instead of exiting.
    argv[1:1] = ["-accel", "tcg"]

    start = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    chunks = []
    arrivals = []
    lock = threading.Lock()

    def reader():
        while True:
            data = proc.stdout.read1(4096)
            if not data:
                break
            with lock:
                chunks.append(data)
                total = arrivals[-1][1] + len(data) if arrivals else len(data)
                arrivals.append((time.monotonic() - start, total))

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()

    # The shell waits 5 s for a key before it runs startup.nsh; any key but
    # ESC starts the script at once.
    key_sent = False
    timed_out = False
    while proc.poll() is None:
        if time.monotonic() - start > timeout:
            timed_out = True
            proc.kill()
            break
        if not key_sent:
            with lock:
                seen = b"".join(chunks)
            if b"any other key to continue" in seen:
                try:
                    proc.stdin.write(b" ")
                    proc.stdin.flush()
                except OSError:
                    pass
                key_sent = True
        time.sleep(0.05)
    proc.wait()
    thread.join(timeout=5)
    seconds = time.monotonic() - start
    raw = b"".join(chunks)
    with open(os.path.join(workdir, log_name), "wb") as f:
        f.write(raw)
    return BootResult(raw, seconds, timed_out, proc.returncode, arrivals)
