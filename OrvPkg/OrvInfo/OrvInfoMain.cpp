/** @file
  The run driver of OrvInfo.efi: banner, the shared command line, the
  settings sequence and binding, the IC count, one line per selected IC (no
  selection: every IC), and the release of the images and the path component.
  OrvUpdate.efi's own run driver is untouched by this module.
**/

#include "OrvInfo.h"

#include <OrvBase/Status.h>

#include <OrvRun/RunSteps.h>

#include "../OrvUpdate/App/CommandLine.h"
#include "../OrvUpdate/App/RunState.h"
#include "../OrvUpdate/Components/ComponentGuards.h"
#include "../OrvUpdate/Settings/InitialSettings.h"

namespace {

constexpr const char16_t USAGE[] =
    u"Usage: OrvInfo.efi [0-9]... [-a] [-d addr] [-o file] [-c file] [-f] [-cb] [-v]\n"
    u"  Lists each selected IC (none selected: every IC) and what OrvUpdate.efi with the\n"
    u"  same arguments would do to it; never writes the flash.\n"
    u"  0-9      select that IC           -a       select every IC\n"
    u"  -d addr  the IC at that bus address (1 or 2 hex digits)\n"
    u"  -o file  OCM image instead of the settings' OCM image\n"
    u"  -c file  customer image instead of the settings' customer image\n"
    u"  -f       plan a forced update     -cb      plan customer bank 1 too\n"
    u"  -v       also compare the flash with the images\n"
    u"  -h       this text\n"
    u"Status: 0x0 listed (and matched), 0x1B a bank differs, 0xE an IC not found.\n";

/// Combines the results of the ICs: a failed component call stands over a
/// verify difference, which stands over success.
class RUN_RESULT {
 public:
  void Add(EFI_STATUS Status) {
    if (Status == EFI_CRC_ERROR) {
      Differs = true;
    } else if (EFI_ERROR(Status)) {
      FailedStatus = Status;
    }
  }
  EFI_STATUS Status() const {
    if (EFI_ERROR(FailedStatus)) return FailedStatus;
    return Differs ? EFI_CRC_ERROR : EFI_SUCCESS;
  }

 private:
  EFI_STATUS FailedStatus = EFI_SUCCESS;
  bool Differs = false;
};

/// The IC that answers to DeviceAddress, or the list of those that answer.
EFI_STATUS ReportByAddress(UINT64 DeviceAddress, UINT8 IcCount, BOOLEAN Verify) {
  UINT8 Index = 0;
  EFI_STATUS Status = FindIcByAddress(DeviceAddress, IcCount, &Index);
  return EFI_ERROR(Status) ? Status : ReportIc(Index, Verify);
}

}  // namespace

EFI_STATUS OrvInfoMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  PrintBanner(u"OrvInfo tool version %02x.%02x.%04x\n"_w);

  TOOL_ARGUMENTS Arguments;
  EFI_STATUS Status =
      BeginToolRun(ImageHandle, SystemTable, u"OrvInfo.efi"_w, AsChar16(USAGE), &Arguments);
  if (EFI_ERROR(Status) || Arguments.Help) return Status;
  const COMMAND_LINE &Line = Arguments.Line;
  const UINT64 ChipMask = Arguments.ChipMask;
  const UINT64 DeviceAddress = Arguments.DeviceAddress;
  const bool EveryIc = ChipMask == 0 && DeviceAddress == 0;
  UINT8 IcCount = 0;

  Status = OrvInitialSettings(ImageHandle);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Load settings error, %x\n"_w);
  // Every way out from here gives back the images and closes the path.
  BoundRunGuard Bound;

  Status = CountIcs(DeviceAddress, &IcCount);
  if (EFI_ERROR(Status)) return Status;

  Print(u"ics=%x\n"_w, static_cast<UINT32>(IcCount));
  if (DeviceAddress != 0) {
    Status = ReportByAddress(DeviceAddress, IcCount, Line.Verify);
  } else {
    RUN_RESULT Result;
    for (UINT8 Index = 0; Index < IcCount; Index++) {
      if (EveryIc || IsChipSelected(ChipMask, Index)) {
        Result.Add(ReportIc(Index, Line.Verify));
      }
    }
    Status = ReportMissingIcs(ChipMask, IcCount, Result.Status());
  }

  return Status;
}
