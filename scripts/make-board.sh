#!/usr/bin/env bash
# Makes a board disk for the simulated chips from a board description (a
# FlashSim.ini and the key and seed files it names): make-board.sh
# DESCRIPTION OUT, OUT a folder or a FAT image (.img). See
# docs/boot-and-board.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 "$root/e2e/board.py" "$@"
