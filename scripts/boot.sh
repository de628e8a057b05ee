#!/usr/bin/env bash
# Boots the UEFI Shell of OVMF under QEMU on a volume (a folder or a FAT
# image), optionally with a board disk, and runs shell commands in it:
#   boot.sh [--board DIR|IMAGE] [--console FILE] VOLUME [COMMAND...]
# Exits with the last command's %lasterror%. See docs/boot-and-board.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 "$root/e2e/boot.py" "$@"
