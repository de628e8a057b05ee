"""Board disks: the simulated chips live on a board disk made by
scripts/make-board.sh and attached by scripts/boot.sh, so one stick updates
two boards in turn, each keeping its own state; a stick that brings its own
chip configuration is refused beside a board, and a stick alone without one
(or one that holds a board folder itself) is told what to attach. Runs
scripts/boot.sh itself: its printed lines and its exit status (the last
command's %lasterror%) are checked.
"""

import os
import shutil
import subprocess

import images
import orvqemu
from harness import (BANNER, EFI_INVALID_PARAMETER, EFI_NOT_FOUND, EFI_SUCCESS, Case,
                     compare_lines, shell_status, without_driver_warning)
from fixture import (FLASHSIM_INI, OCM_BANK, SIM, TARGET, V1, V2, ic_lines)

EFI_ACCESS_DENIED = 0x800000000000000F
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BOOT_SH = os.path.join(ROOT, "scripts", "boot.sh")
MAKE_BOARD = os.path.join(ROOT, "scripts", "make-board.sh")
PROMPT = "fs0:\\> "

REFUSED = ("FlashSim: refused OrvSim\\FlashSim.ini on the stick: the chips belong to the board, "
           "configured by OrvBoard\\FlashSim.ini on its disk. Remove OrvSim\\FlashSim.ini from "
           "the stick")
OWN_BOARD = ("FlashSim: OrvBoard\\FlashSim.ini is on the stick; a board's folder belongs on a "
             "disk of its own")
BAD_BOARD = ["FlashSim: OrvBoard\\FlashSim.ini line 2: IcCount must be 1 to 16",
             "FlashSim: fix the board description and make the board disk again "
             "(scripts/make-board.sh)", "IC init error 2"]
TWO_BOARDS = ("FlashSim: 2 board disks are attached (each holds OrvBoard\\FlashSim.ini): "
              "attach one board at a time")
NO_BOARD = ("FlashSim: no board found: attach a board disk holding OrvBoard\\FlashSim.ini "
            "(scripts/make-board.sh makes one, scripts/boot.sh --board attaches it)")


def description(fx):
    """The suite's board as a description: FlashSim.ini naming OrvSim\\
    paths, its seed image and key found by file name beside it."""
    folder = os.path.join(fx.workdir, "board-description")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "FlashSim.ini"), "w") as f:
        f.write(FLASHSIM_INI)
    shutil.copyfile(fx.hex["ocm_v1.hex"], os.path.join(folder, "ocm_v1.hex"))
    shutil.copyfile(images.DEMO_PUB, os.path.join(folder, "demo.pub.pem"))
    return folder


def make_board(desc, out):
    if os.path.isdir(out):
        shutil.rmtree(out)
    elif os.path.exists(out):
        os.remove(out)
    proc = subprocess.run([MAKE_BOARD, desc, out], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    if proc.returncode != 0:
        raise orvqemu.E2EError("make-board.sh failed: %s" % proc.stdout.decode(errors="replace"))


def boot_sh(suite, name, stick, board, commands):
    """Runs scripts/boot.sh; (exit status, {command index: console lines})."""
    workdir = os.path.join(suite.workdir, "boot-" + name)
    env = dict(os.environ, BOOT_WORKDIR=workdir, BOOT_TIMEOUT=str(suite.timeout))
    argv = [BOOT_SH] + (["--board", board] if board else []) + [stick] + list(commands)
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    runs = {}
    current = None
    for line in proc.stdout.decode(errors="replace").split("\n"):
        if line.startswith(PROMPT) and line[len(PROMPT):] in commands:
            current = commands.index(line[len(PROMPT):], len(runs))
            runs[current] = []
        elif current is not None:
            runs[current].append(line)
    if current is not None and runs[current] and runs[current][-1] == "":
        runs[current].pop()
    return proc.returncode, runs, proc.stderr.decode(errors="replace")


def check_boot(result, expected, status):
    """Failure texts: each command printed its expected lines (None: not
    checked), and boot.sh exited with the last command's status."""
    code, runs, err = result
    problems = []
    for index, lines in enumerate(expected):
        if lines is None:   # a helper command whose output is not checked
            continue
        got = runs.get(index, ["<no output of command %d>" % index])
        problems += compare_lines(lines, without_driver_warning(got))
    want = int(shell_status(status), 16)
    if code != want:
        problems.append("boot.sh exited %d, expected %d; its messages:" % (code, want))
        problems += ["| " + l for l in err.splitlines()]
    return problems


def bank(disk_read, ic, active, ocm1):
    """Failure texts of one IC on a board: its active section and OCM bank 1."""
    problems = []
    text = disk_read("OrvBoard/Ic%dActive.txt" % ic)
    got = "0" if text is None else text.decode(errors="replace").strip()
    if got != active:
        problems.append("IC %d on the board runs section %s, expected %s" % (ic, got, active))
    if disk_read("OrvBoard/Ic%dOcm1.bin" % ic) != images.bank(ocm1, OCM_BANK):
        problems.append("IC %d OCM bank 1 on the board is not the image meant" % ic)
    return problems


def second_image(fx):
    """Board 2 as an image (boot.sh copies a folder; a plain boot needs one)."""
    path = os.path.join(fx.workdir, "board2-copy.img")
    make_board(os.path.join(fx.workdir, "board-description"), path)
    return orvqemu.Volume(path, existing=True)


def folder_reader(folder):
    def read(path):
        full = os.path.join(folder, *path.split("/"))
        if not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()
    return read


def boards_sequence(suite, fx):
    desc = description(fx)
    board1 = os.path.join(fx.workdir, "board1.img")
    board2 = os.path.join(fx.workdir, "board2")
    make_board(desc, board1)
    make_board(desc, board2)
    stick = fx.volume("board_stick")
    stick.remove(SIM + "/FlashSim.ini")
    read1 = orvqemu.Volume(board1, existing=True).get
    update = [BANNER, TARGET] + ic_lines(0, 0, V1, target=1, new_ver=V2) + \
        ic_lines(1, 0, V1, target=1, new_ver=V2)
    current = [BANNER, TARGET] + ic_lines(0, 1, V2, image_ver=V2) + \
        ic_lines(1, 1, V2, image_ver=V2)
    results = []

    # Board 1 (an image): both ICs updated; the stick gains no flash file.
    problems = check_boot(boot_sh(suite, "board1", stick.path, board1, ["OrvUpdate.efi 0 1"]),
                          [update], EFI_SUCCESS)
    problems += bank(read1, 0, "1", fx.ocm_v2) + bank(read1, 1, "1", fx.ocm_v2)
    stray = [p for p in stick.files() if "/Ic" in p]
    if stray:
        problems.append("flash files on the stick: %s" % ", ".join(stray))
    results.append(("board_first", "boot.sh --board board1.img: OrvUpdate.efi 0 1", problems))

    # Board 2 (a folder), same stick: updated from V1 too, its files copied
    # back. Then its configuration is spoilt (the board is fs1:): the
    # simulator says what to do, and that last command's status is boot.sh's.
    stick.put_text(FLASHSIM_INI.replace("IcCount = 2", "IcCount = 99"), SIM + "/Bad.ini",
                   fx.workdir)
    problems = check_boot(
        boot_sh(suite, "board2", stick.path, board2,
                ["OrvUpdate.efi -a", "OrvUpdate.efi 5",
                 "cp -q fs0:\\%s\\Bad.ini fs1:\\OrvBoard\\FlashSim.ini" % SIM,
                 "OrvUpdate.efi 0"]),
        [update, [BANNER, TARGET, "IC 5 not found"], None, [BANNER, TARGET] + BAD_BOARD],
        EFI_INVALID_PARAMETER)
    read2 = folder_reader(board2)
    problems += bank(read2, 0, "1", fx.ocm_v2) + bank(read2, 1, "1", fx.ocm_v2)
    results.append(("board_second", "boot.sh --board board2/: OrvUpdate.efi -a, 5, a spoilt "
                    "board", problems))

    # Board 1 again: it kept its state. Then the stick brings a chip
    # configuration of its own: refused, board 1 untouched.
    before = {p: read1(p) for p in ("OrvBoard/Ic0Ocm0.bin", "OrvBoard/Ic0Active.txt")}
    stick.put_text(FLASHSIM_INI, SIM + "/Own.ini", fx.workdir)
    problems = check_boot(
        boot_sh(suite, "board1again", stick.path, board1,
                ["OrvUpdate.efi 0 1", "cp -q %s\\Own.ini %s\\FlashSim.ini" % (SIM, SIM),
                 "OrvUpdate.efi 0"]),
        [current, None, [BANNER, TARGET, REFUSED, "IC init error F"]], EFI_ACCESS_DENIED)
    if any(read1(p) != data for p, data in before.items()):
        problems.append("board 1 changed although the stick's configuration was refused")
    results.append(("board_again_refused", "boot.sh --board board1.img: kept state, "
                    "stick configuration refused", problems))

    # No board, and the stick tries to be its own board disk: told what to
    # attach.
    if stick.get(SIM + "/FlashSim.ini") is not None:   # absent if the boot before stopped
        stick.remove(SIM + "/FlashSim.ini")
    stick.mkdir("OrvBoard")
    stick.put_text(FLASHSIM_INI, "OrvBoard/FlashSim.ini", fx.workdir)
    problems = check_boot(boot_sh(suite, "noboard", stick.path, None, ["OrvUpdate.efi 0"]),
                          [[BANNER, TARGET, OWN_BOARD, NO_BOARD, "IC init error E"]],
                          EFI_NOT_FOUND)
    results.append(("board_none", "boot.sh without a board: OrvUpdate.efi 0", problems))

    # Two boards at once: which chips would be meant is not clear; refused.
    suite.run_boot("board_two", stick, [Case(
        "board_two", "OrvUpdate.efi 0", [BANNER, TARGET, TWO_BOARDS, "IC init error F"],
        EFI_ACCESS_DENIED)], disks=[orvqemu.Volume(board1, existing=True), second_image(fx)])
    suite.report_checked("-- boots of scripts/boot.sh with board disks (consoles: %s)"
                         % os.path.join(suite.workdir, "boot-*", "console.log"),
                         [(Case(case_id, what, [], EFI_SUCCESS), problems)
                          for case_id, what, problems in results])


SEQUENCES = [("boards", boards_sequence)]
