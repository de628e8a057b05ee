#!/usr/bin/env python3
"""make-board: a board disk for the simulated chips, made once from a board
description.

usage: make-board.sh DESCRIPTION OUT

DESCRIPTION is the flash simulator's configuration of the board (a
FlashSim.ini file, or a folder holding one); the files it names (the
ICs' seed images and provisioned public keys) are found relative to the
description's folder, by the path written or else by their file name. OUT
is a folder, or a FAT disk image when it ends in .img; it must not exist yet
(a board keeps its chips' state: banks, active sections, security floors).

The board disk holds OrvBoard\\FlashSim.ini, its values naming the copies in
OrvBoard\\; the flash simulator keeps the chips' state files beside it.
"""

import os
import re
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import orvqemu  # noqa: E402

FOLDER = "OrvBoard"
CONFIG = "FlashSim.ini"
_KEY_LINE = re.compile(r"^(\s*)([A-Za-z0-9]+)(\s*=\s*)(.*?)(\s*)$")


class BoardError(Exception):
    """A description or output the board cannot be made from."""


def names_file(key):
    """Whether a configuration key's value is a file the board must carry."""
    key = key.lower()
    return key.endswith("seed") or key == "publickey"


def find_named_file(folder, value):
    """The host file a description value names: its path below folder
    (backslashes or slashes), else its file name in folder; None if neither."""
    relative = value.replace("\\", "/").lstrip("/")
    for candidate in (os.path.join(folder, relative),
                      os.path.join(folder, os.path.basename(relative))):
        if value and os.path.isfile(candidate):
            return candidate
    return None


def board_files(description):
    """The board's FlashSim.ini text (CR LF ends) and its files: (text,
    {file name on the board: host path}). Raises BoardError naming the
    description's line for a file that is missing or a name used twice."""
    path = os.path.join(description, CONFIG) if os.path.isdir(description) else description
    try:
        with open(path, encoding="ascii") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise BoardError("cannot read the description %s: %s" % (path, exc))
    folder = os.path.dirname(os.path.abspath(path))
    files = {}
    out = []
    for number, line in enumerate(lines, 1):
        m = _KEY_LINE.match(line)
        if m is None or not names_file(m.group(2)) or line.lstrip().startswith((";", "#")):
            out.append(line)
            continue
        value = m.group(4)
        host = find_named_file(folder, value)
        if host is None:
            raise BoardError("%s line %d: %s = %s: no such file in %s"
                             % (path, number, m.group(2), value, folder))
        name = os.path.basename(value.replace("\\", "/"))
        if files.get(name, host) != host:
            raise BoardError("%s line %d: two files named %s (%s and %s): give them different "
                             "names" % (path, number, name, files[name], host))
        files[name] = host
        out.append("%s%s%s%s\\%s%s" % (m.group(1), m.group(2), m.group(3), FOLDER, name,
                                       m.group(5)))
    return "\r\n".join(out) + "\r\n", files


def make_board(description, out, workdir=None):
    """Makes the board disk OUT (see the module's text). Raises BoardError."""
    if os.path.exists(out):
        raise BoardError("%s exists: a board keeps its chips' state; remove it first to make a "
                         "new board" % out)
    text, files = board_files(description)
    if out.endswith(".img"):
        if orvqemu.missing_tools():
            raise BoardError("missing: %s (run scripts/install-deps.sh)"
                             % ", ".join(orvqemu.missing_tools()))
        tmp = tempfile.mkdtemp(prefix="make-board.", dir=workdir)
        try:
            volume = orvqemu.Volume(out, size_kib=16384)
            volume.mkdir(FOLDER)
            volume.put_bytes(text.encode("ascii"), FOLDER + "/" + CONFIG, tmp)
            for name, host in sorted(files.items()):
                volume.put_file(host, FOLDER + "/" + name)
        except orvqemu.E2EError as exc:
            if os.path.exists(out):
                os.remove(out)
            raise BoardError(str(exc))
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        return
    os.makedirs(os.path.join(out, FOLDER))
    with open(os.path.join(out, FOLDER, CONFIG), "w", newline="") as f:
        f.write(text)
    for name, host in sorted(files.items()):
        shutil.copyfile(host, os.path.join(out, FOLDER, name))


def main(argv):
    if len(argv) == 1 and argv[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(argv) != 2:
        print("make-board: expected DESCRIPTION OUT (make-board.sh --help)", file=sys.stderr)
        return 2
    try:
        make_board(argv[0], argv[1])
    except BoardError as exc:
        print("make-board: %s" % exc, file=sys.stderr)
        return 1
    print("make-board: board disk %s made from %s" % (argv[1], argv[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
