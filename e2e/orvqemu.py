"""Boots the UEFI Shell of OVMF under QEMU on a FAT disk image and collects
the serial console.

Used by the end-to-end suite (e2e_suite.py), the demo (demo.py) and
scripts/boot.sh (boot.py). Only the Python standard library, QEMU, OVMF and
mtools/dosfstools are needed. A boot may attach further disks after the one
it boots from (a board disk): the shell maps the boot volume as fs0:.

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
import tempfile
import threading
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
# ORV_QEMU names another QEMU binary (the self-check uses a stand-in script).
QEMU = os.environ.get("ORV_QEMU", "qemu-system-x86_64")
KVM_DEVICE = "/dev/kvm"

# ORV_QEMU_KVM=1 asks for KVM. It is used only after a probe boot has shown
# that it runs a guest: on some machines /dev/kvm opens, yet the guest stops
# at its first instruction and QEMU waits instead of exiting.
KVM_REQUEST = "ORV_QEMU_KVM"
TCG_ARGS = ["-accel", "tcg"]
KVM_ARGS = ["-accel", "kvm"]

# A boot whose console shows nothing new for this long is stopped
# (E2E_STALL_TIMEOUT overrides it).
STALL_SECONDS = 20

# Lines with which QEMU says that the guest cannot go on. The boot is
# stopped as soon as one shows, instead of waiting out its timeout.
FATAL_OUTPUT = (b"KVM internal error", b"emulation failure",
                b"failed to initialize kvm", b"Could not access KVM kernel module")

# The firmware's boot manager prints this once the firmware has run through
# its early phases: the probe boot has seen enough.
PROBE_MARK = b"BdsDxe"
PROBE_SECONDS = 40

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


def render_line(line):
    """A console line as the screen shows it. A carriage return inside the
    line goes back to its start and what follows writes over what was there
    (a progress line redrawn in place and cleared at its end); such a line
    shows without the blanks that cleared it. A line without one keeps its
    text as sent, trailing blanks included."""
    if "\r" not in line.rstrip("\r"):
        return line.replace("\r", "")
    cells = []
    column = 0
    for char in line:
        if char == "\r":
            column = 0
            continue
        if column < len(cells):
            cells[column] = char
        else:
            cells.append(char)
        column += 1
    return "".join(cells).rstrip(" ")


def clean_console(raw):
    """Serial output as plain text: ANSI escapes removed, each line as the
    screen shows it (render_line)."""
    text = raw.decode("utf-8", errors="replace")
    text = _ANSI.sub("", text)
    return "\n".join(render_line(line) for line in text.split("\n"))


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

    def __init__(self, path, size_kib=65536, existing=False):
        """A new empty image at path, or with existing the image already there."""
        self.path = path
        if existing:
            return
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
        # A file of its own: volumes are filled side by side.
        fd, tmp = tempfile.mkstemp(prefix=".put.", dir=workdir)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            self.put_file(tmp, path)
        finally:
            os.remove(tmp)

    def put_text(self, text, path, workdir, crlf=True):
        if crlf:
            text = text.replace("\r\n", "\n").replace("\n", "\r\n")
        self.put_bytes(text.encode("ascii"), path, workdir)

    def remove(self, path):
        self._run(["mdel", "-i", self.path, _dos(path)])

    def files(self):
        """Paths of every file on the volume (slashes, no leading one) and of
        every folder (ending in a slash), parents first."""
        text = self._run(["mdir", "-/", "-b", "-i", self.path, "::/"])
        paths = [line[3:] for line in text.splitlines() if line.startswith("::/")]
        return sorted(p for p in paths if p)

    def get(self, path):
        """The file's bytes, or None when the volume has no such file."""
        proc = subprocess.run(["mcopy", "-n", "-i", self.path, _dos(path), "-"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=_mtools_env())
        if proc.returncode != 0:
            return None
        return proc.stdout


class BootResult:
    def __init__(self, raw, seconds, timed_out, exit_code, arrivals=(), stop_reason=None):
        self.raw = raw
        self.arrivals = list(arrivals)   # (seconds since start, bytes received so far)
        self.text = clean_console(raw)
        self.seconds = seconds
        self.timed_out = timed_out
        self.exit_code = exit_code
        # Why the harness stopped QEMU before it exited by itself: None when
        # it exited, else a short text (timeout, no progress, QEMU's error).
        self.stop_reason = stop_reason
        self.finished = (DONE + "\n") in self.text or self.text.rstrip().endswith(DONE)

    def tail(self, count=12):
        """The last console lines, for a report."""
        lines = [l for l in self.text.strip().split("\n") if l.strip()]
        return lines[-count:]

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


def _fatal_line(raw, start):
    """QEMU's own report that the guest cannot run, searched from start on:
    the whole line that holds it, or None."""
    for pattern in FATAL_OUTPUT:
        at = raw.find(pattern, start)
        if at >= 0:
            line_start = raw.rfind(b"\n", 0, at) + 1
            line_end = raw.find(b"\n", at)
            line = raw[line_start:line_end if line_end >= 0 else len(raw)]
            return line.decode("utf-8", errors="replace").strip()
    return None


def run_qemu(argv, timeout, stall=None, until=None, press_key=False):
    """Runs one QEMU process and collects its console.

    It is stopped when it has run for timeout seconds, when its console shows
    nothing new for stall seconds, at once when QEMU reports that the guest
    cannot run (FATAL_OUTPUT), and, with until, as soon as that text shows.
    With press_key a key is sent when the shell offers to skip startup.nsh,
    so the script starts at once. Returns a BootResult."""
    start = time.monotonic()
    try:
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
    except OSError as exc:
        raise E2EError("cannot start %s: %s" % (argv[0], exc))
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

    key_sent = not press_key
    timed_out = False
    stop_reason = None
    scanned = 0
    while proc.poll() is None:
        now = time.monotonic() - start
        with lock:
            raw = b"".join(chunks)
            last = arrivals[-1][0] if arrivals else 0.0
        # Search only what came since the last look, with room for a
        # pattern cut in two by a read.
        fatal = _fatal_line(raw, max(0, scanned - 64))
        scanned = len(raw)
        if fatal is not None:
            stop_reason = "QEMU reported: " + fatal
        elif until is not None and until in raw:
            stop_reason = "reached"
        elif now > timeout:
            timed_out = True
            stop_reason = "not finished within %d s" % timeout
        elif stall is not None and now - last > stall:
            stop_reason = "no console output for %d s" % stall
        if stop_reason is not None:
            proc.kill()
            break
        if not key_sent and b"any other key to continue" in raw:
            try:
                proc.stdin.write(b" ")
                proc.stdin.flush()
            except OSError:
                pass
            key_sent = True
        time.sleep(0.05)
    proc.wait()
    thread.join(timeout=5)
    for pipe in (proc.stdin, proc.stdout):
        try:
            pipe.close()
        except OSError:
            pass
    seconds = time.monotonic() - start
    raw = b"".join(chunks)
    if stop_reason is None:
        # QEMU exited by itself; it may still have said why.
        fatal = _fatal_line(raw, 0)
        if fatal is not None and proc.returncode != 0:
            stop_reason = "QEMU reported: " + fatal
    return BootResult(raw, seconds, timed_out, proc.returncode, arrivals, stop_reason)


def _firmware_args(vars_fd):
    return ["-machine", "q35", "-m", "256", "-nographic", "-no-reboot", "-net", "none",
            "-drive", "if=pflash,format=raw,readonly=on,file=" + OVMF_CODE,
            "-drive", "if=pflash,format=raw,file=" + vars_fd]


def probe_kvm(workdir):
    """A short boot of the firmware alone with KVM. Returns (works, why):
    it works when the firmware reaches its boot manager."""
    fd, vars_fd = tempfile.mkstemp(prefix="probe.", suffix=".vars.fd", dir=workdir)
    os.close(fd)
    try:
        shutil.copyfile(OVMF_VARS, vars_fd)
        result = run_qemu([QEMU] + KVM_ARGS + _firmware_args(vars_fd),
                          timeout=PROBE_SECONDS, stall=STALL_SECONDS, until=PROBE_MARK)
    finally:
        os.remove(vars_fd)
    if result.stop_reason == "reached":
        return True, "the firmware reached its boot manager in %.1f s" % result.seconds
    if result.stop_reason is not None:
        return False, result.stop_reason
    last = result.tail(1)
    return False, "QEMU exited with status %s%s" % (
        result.exit_code, (": " + last[0]) if last else "")


_accel_lock = threading.Lock()
_accel_args = None


def accelerator(workdir, log=print):
    """QEMU's accelerator arguments for every boot of this process, chosen
    once: software emulation (TCG) unless ORV_QEMU_KVM=1 asks for KVM and a
    probe boot shows that KVM runs a guest here. A request that cannot be
    met falls back to TCG with one line saying why."""
    global _accel_args
    with _accel_lock:
        if _accel_args is None:
            _accel_args = _choose_accelerator(workdir, log)
        return list(_accel_args)


def _choose_accelerator(workdir, log):
    request = os.environ.get(KVM_REQUEST, "").strip().lower()
    if request in ("", "0", "no", "off", "false"):
        return TCG_ARGS
    if request not in ("1", "yes", "on", "true"):
        log("qemu: %s=%s is not 1 or 0; using software emulation (TCG)"
            % (KVM_REQUEST, os.environ[KVM_REQUEST]))
        return TCG_ARGS
    if not os.access(KVM_DEVICE, os.R_OK | os.W_OK):
        log("qemu: KVM requested, but %s cannot be opened; using software emulation (TCG)"
            % KVM_DEVICE)
        return TCG_ARGS
    works, why = probe_kvm(workdir)
    if works:
        log("qemu: KVM requested and its probe boot worked (%s); using KVM" % why)
        return KVM_ARGS
    log("qemu: KVM requested, but its probe boot failed (%s); using software emulation (TCG)"
        % why)
    return TCG_ARGS


def stall_seconds():
    """The no-progress limit of a boot, E2E_STALL_TIMEOUT or the default."""
    value = os.environ.get("E2E_STALL_TIMEOUT")
    if not value:
        return STALL_SECONDS
    try:
        seconds = float(value)
    except ValueError:
        raise E2EError("E2E_STALL_TIMEOUT=%s is not a number of seconds" % value)
    if seconds <= 0:
        raise E2EError("E2E_STALL_TIMEOUT=%s must be above 0" % value)
    return seconds


def boot(volume, lines, workdir, timeout=120, log_name="console.log", stall=None, disks=()):
    """Writes startup.nsh with the given lines, boots QEMU on the volume and
    returns the BootResult (see boot_volume)."""
    write_startup(volume, lines, workdir)
    return boot_volume(volume, workdir, timeout, log_name, stall, disks)


def qemu_argv(volume, workdir, vars_fd, disks=()):
    """The QEMU command line of a boot from volume with the further disks
    (Volume objects) attached after it, the console on standard output."""
    argv = [QEMU] + accelerator(workdir) + _firmware_args(vars_fd)
    for disk in [volume] + list(disks):
        argv += ["-drive", "format=raw,file=" + disk.path]
    return argv


def boot_volume(volume, workdir, timeout=120, log_name="console.log", stall=None, disks=()):
    """Boots QEMU on the volume as it is (its own startup.nsh), with the
    further disks attached, and returns the BootResult. QEMU is stopped by
    the timeout, by a console that shows no progress for stall seconds
    (default stall_seconds()), and at once by QEMU's report that the guest
    cannot run."""
    vars_fd = os.path.join(workdir, log_name + ".vars.fd")
    shutil.copyfile(OVMF_VARS, vars_fd)
    argv = qemu_argv(volume, workdir, vars_fd, disks)
    result = run_qemu(argv, timeout, stall=stall_seconds() if stall is None else stall,
                      press_key=True)
    with open(os.path.join(workdir, log_name), "wb") as f:
        f.write(result.raw)
    return result
