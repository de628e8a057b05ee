"""Command line of OrvUpdate.efi: usage, bad arguments, settings files that
cannot be read, a driver file that is missing.
"""

from harness import BANNER, EFI_INVALID_PARAMETER, EFI_NOT_FOUND, Case, Re
from fixture import (COMP, EFI_BAD_BUFFER_SIZE, TARGET, bank_files, load_error)

USAGE = [
    "Usage:",
    '  Edit "OrvUpdateComponent\\OrvUpdateSettings.ini" for images,',
    "         See ini for detail about updating single image",
    "         And the tap commands for select chip to do update",
    "Command: ",
    "  OrvUpdate.efi <id (0:chip0, 1:chip1...)> <para1> <para2>...",
    "Para and Example: ",
    '  "OrvUpdate.efi 0 1"        update chip0&chip1 using settings file defined image',
    '  "OrvUpdate.efi -a"         update all chips',
    '  "OrvUpdate.efi 2 -f"       update chip2 ignore verision',
    '  "OrvUpdate.efi 2 -o a.hex" update with a.hex as OCM image',
    '  "OrvUpdate.efi 2 -c b.hex" update with b.hex as customer zone image',
    '  "OrvUpdate.efi 2 -cb"      update including customer define backup zone',
    '  "OrvUpdate.efi -d addr"    specify the IC with addr to update (.nsh function)',
    "",
]
READ_RULE = [
    "Read 1 IC at a time!",
    '  "OrvUpdate.efi 1 -r 0 10> out.txt" read chip1 addr 0 len 10 data to out.txt',
]


def cli_cases(fx):
    """No driver loaded yet in this boot, no settings file at first."""
    long_name = "x" * 65
    cases = [
        Case("usage", "OrvUpdate.efi",
             [BANNER] + USAGE + load_error(EFI_NOT_FOUND, "Open settings file error E"),
             EFI_NOT_FOUND),
        Case("nosettings", "OrvUpdate.efi 0 1",
             [BANNER] + load_error(EFI_NOT_FOUND, "Open settings file error E"),
             EFI_NOT_FOUND),
        Case("badindex", "OrvUpdate.efi 12",
             [BANNER, "Invalid chip index 12: expected one digit 0-9"], EFI_INVALID_PARAMETER),
        Case("dnovalue", "OrvUpdate.efi -d",
             [BANNER, "Option -d needs a value"], EFI_INVALID_PARAMETER),
        Case("dbad", "OrvUpdate.efi -d zz",
             [BANNER, "Invalid -d address zz: expected 1 or 2 hex digits, not 0"],
             EFI_INVALID_PARAMETER),
        Case("dzero", "OrvUpdate.efi -d 0",
             [BANNER, "Invalid -d address 0: expected 1 or 2 hex digits, not 0"],
             EFI_INVALID_PARAMETER),
        Case("olong", "OrvUpdate.efi 0 -o " + long_name,
             [BANNER, "Argument %s is too long: at most 64 characters" % long_name],
             EFI_INVALID_PARAMETER),
        Case("ronly", "OrvUpdate.efi 1 -r 0",
             [BANNER, "-r read process need set addr and length!"], EFI_INVALID_PARAMETER),
        Case("rnochip", "OrvUpdate.efi -r 0 10",
             [BANNER] + READ_RULE, EFI_INVALID_PARAMETER),
        Case("rtwochips", "OrvUpdate.efi 0 1 -r 0 10",
             [BANNER] + READ_RULE, EFI_INVALID_PARAMETER),
        Case("shortsettings", "OrvUpdate.efi 0",
             [BANNER] + load_error(EFI_BAD_BUFFER_SIZE, "Get settings file info error 0"),
             EFI_BAD_BUFFER_SIZE,
             setup=["cp -q %s\\short.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)]),
        Case("nodefault", "OrvUpdate.efi 0",
             [BANNER] + load_error(EFI_NOT_FOUND, "Default target section string not found"),
             EFI_NOT_FOUND,
             setup=["cp -q %s\\nodef.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)]),
        # The flash driver named by the settings is not on the volume: the
        # image parser is loaded, the flash component is not.
        Case("nodriver", "OrvUpdate.efi 0 1",
             [BANNER, TARGET,
              Re(r"Component OrvUpdateComponent\\OrvMissing\.efi not found! Path "
                 r"\S*OrvUpdateComponent\\OrvMissing\.efi ")]
             + load_error(EFI_NOT_FOUND,
                          "LocateHandleBuffer gOrvFlashProtocolGuid after load ERROR E"),
             EFI_NOT_FOUND,
             setup=["cp -q %s\\nodrv.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)],
             snapshot=bank_files(), checks=[no_flash_files]),
    ]
    return cases


def no_flash_files(ctx):
    """The flash simulator was never started: no bank file may exist."""
    present = [p for p in bank_files() if ctx.snap(p.split("\\")[-1]) is not None]
    return ["flash files exist although the simulator never ran: %s" % ", ".join(present)] \
        if present else []


BOOTS = [("cli", False, cli_cases)]
