/** @file
  The run driver of OrvCheck.efi: banner, the shared command line (-w and -s
  its own), the settings sequence and binding of OrvUpdate.efi, the checks of
  the whole board, the checks of each selected IC (no selection: every IC),
  the closing line, and the release of the images and the path component.
**/

#include "OrvCheck.h"

#include <OrvBase/Status.h>

#include <OrvRun/RunSteps.h>

#include "../OrvUpdate/Settings/InitialSettings.h"

namespace {

constexpr const char16_t USAGE[] =
    u"Usage: OrvCheck.efi [0-9]... [-a] [-d addr] [-o file] [-c file] [-w [-s]]\n"
    u"  Checks that the board's component drivers keep the update's contract, on each\n"
    u"  selected IC (none selected: every IC), with the settings OrvUpdate.efi uses.\n"
    u"  0-9, -a, -d addr   select ICs as OrvUpdate.efi does\n"
    u"  -o file, -c file   zone images instead of the settings' (-w writes the -o image)\n"
    u"  -w       also the checks that write, on the bank an update would write\n"
    u"  -s       with -w: also the bank switch\n"
    u"  -h       this text\n"
    u"Status: 0x0 every check passed, 0x18 a check failed.\n";

void CheckIc(UINT8 Ic, const IC_COUNTS &Counts, const COMMAND_LINE &Line,
             const WRITE_OPTIONS &Options, CHECK_REPORT &Report) {
  IC_FACTS Facts = CheckIcReading(Ic, Counts, Report);
  if (Line.Write) CheckIcWriting(Facts, Options, Report);
}

/// The IC at the -d address, the ICs of the chip mask, or every IC.
/// @return EFI_NOT_FOUND when a selected IC is not on the board.
EFI_STATUS CheckSelectedIcs(const TOOL_ARGUMENTS &Arguments, const IC_COUNTS &Counts,
                            const WRITE_OPTIONS &Options, CHECK_REPORT &Report) {
  const UINT64 ChipMask = Arguments.ChipMask;
  if (Arguments.DeviceAddress != 0) {
    UINT8 Ic = 0;
    EFI_STATUS Status = FindIcByAddress(Arguments.DeviceAddress, Counts.Checked, &Ic);
    if (!EFI_ERROR(Status)) CheckIc(Ic, Counts, Arguments.Line, Options, Report);
    return Status;
  }
  for (UINT8 Ic = 0; Ic < Counts.Checked; Ic++) {
    if (ChipMask == 0 || IsChipSelected(ChipMask, Ic)) CheckIc(Ic, Counts, Arguments.Line, Options, Report);
  }
  return ReportMissingIcs(ChipMask, Counts.Checked, EFI_SUCCESS);
}

}  // namespace

EFI_STATUS OrvCheckMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  PrintBanner(u"OrvCheck tool version %02x.%02x.%04x\n"_w);

  // Without arguments every IC is checked, read-only.
  TOOL_ARGUMENTS Arguments;
  EFI_STATUS Status =
      BeginToolRun(ImageHandle, SystemTable, u"OrvCheck.efi"_w, AsChar16(USAGE), &Arguments);
  if (EFI_ERROR(Status) || Arguments.Help) return Status;
  const COMMAND_LINE &Line = Arguments.Line;
  if (Line.Switch && !Line.Write) {
    return PrintAndReturn(EFI_INVALID_PARAMETER, u"OrvCheck.efi -s needs -w\n"_w);
  }

  Status = OrvInitialSettings(ImageHandle);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Load settings error, %x\n"_w);
  // Every way out from here gives back the images and closes the path.
  BoundRunGuard Bound;
  Status = CheckAddressSupport(Arguments.DeviceAddress);
  if (EFI_ERROR(Status)) return Status;

  CHECK_REPORT Report;
  IC_COUNTS Counts = CheckBoard(&Bound, Report);
  const WRITE_OPTIONS Options = {Line.Switch, BoardEnforcesSomething(Counts.Checked), ImageHandle};
  if (Line.Write && Counts.Checked != 0 && !Options.Security) {
    CHECK(Report, u"security"_w, WHOLE_BOARD)
        .Skip(u"no IC of the board enforces signatures, zones or a floor: it runs any image"_w);
  }
  if (Counts.Checked != 0) {
    Status = CheckSelectedIcs(Arguments, Counts, Options, Report);
  }
  Report.PrintTotals();
  return Report.AnyFailed() ? EFI_PROTOCOL_ERROR : Status;
}
