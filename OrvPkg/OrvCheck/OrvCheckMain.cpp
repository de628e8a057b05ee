/** @file
  The run driver of OrvCheck.efi: banner, the shared command line (-w and -s
  its own), the settings sequence and binding of OrvUpdate.efi, the checks of
  the whole board, the checks of each selected IC (no selection: every IC),
  the closing line, and the release of the images and the path component.
**/

#include "OrvCheck.h"

#include <OrvBase/Status.h>

#include <OrvRun/RunSteps.h>

#include "../OrvUpdate/App/CommandLine.h"
#include "../OrvUpdate/App/RunState.h"
#include "../OrvUpdate/Settings/InitialSettings.h"

namespace {

void CheckIc(UINT8 Ic, const IC_COUNTS &Counts, const COMMAND_LINE &Line, CHECK_REPORT &Report) {
  IC_FACTS Facts = CheckIcReading(Ic, Counts, Report);
  if (Line.Write) CheckIcWriting(Facts, Line.Switch, Report);
}

/// The IC at the -d address, the ICs of the chip mask, or every IC.
/// @return EFI_NOT_FOUND when a selected IC is not on the board.
EFI_STATUS CheckSelectedIcs(UINT64 ChipMask, UINT64 DeviceAddress, const IC_COUNTS &Counts,
                            const COMMAND_LINE &Line, CHECK_REPORT &Report) {
  if (DeviceAddress != 0) {
    UINT8 Ic = 0;
    EFI_STATUS Status = FindIcByAddress(DeviceAddress, Counts.Checked, &Ic);
    if (!EFI_ERROR(Status)) CheckIc(Ic, Counts, Line, Report);
    return Status;
  }
  for (UINT8 Ic = 0; Ic < Counts.Checked; Ic++) {
    if (ChipMask == 0 || IsChipSelected(ChipMask, Ic)) CheckIc(Ic, Counts, Line, Report);
  }
  return ReportMissingIcs(ChipMask, Counts.Checked, EFI_SUCCESS);
}

}  // namespace

EFI_STATUS OrvCheckMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  PrintBanner(u"OrvCheck tool version %02x.%02x.%04x\n"_w);

  CHAR16 **Argv = nullptr;
  UINTN Argc = 0;
  UINT64 ChipMask = 0;
  UINT64 DeviceAddress = 0;
  if (EFI_ERROR(BeginRun(ImageHandle, SystemTable, &Argc, &Argv))) return EFI_UNSUPPORTED;

  // No usage text: without arguments every IC is checked, read-only.
  const COMMAND_LINE Line = ParseArguments(Argc, Argv);
  if (!ApplyCommandLine(Line, &ChipMask, &DeviceAddress)) {
    return EFI_INVALID_PARAMETER;
  }
  // The -r texts would be taken for zone image files.
  if (IsReadMode()) {
    return PrintAndReturn(EFI_INVALID_PARAMETER, u"OrvCheck.efi has no read mode (-r)\n"_w);
  }
  if (Line.Switch && !Line.Write) {
    return PrintAndReturn(EFI_INVALID_PARAMETER, u"OrvCheck.efi -s needs -w\n"_w);
  }

  EFI_STATUS Status = OrvInitialSettings(ImageHandle);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Load settings error, %x\n"_w);
  // Every way out from here gives back the images and closes the path.
  BoundRunGuard Bound;
  Status = CheckAddressSupport(DeviceAddress);
  if (EFI_ERROR(Status)) return Status;

  CHECK_REPORT Report;
  IC_COUNTS Counts = CheckBoard(&Bound, Report);
  if (Counts.Checked != 0) {
    Status = CheckSelectedIcs(ChipMask, DeviceAddress, Counts, Line, Report);
  }
  Report.PrintTotals();
  return Report.AnyFailed() ? EFI_PROTOCOL_ERROR : Status;
}
