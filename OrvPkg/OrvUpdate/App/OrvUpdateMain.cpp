/** @file
  The run driver: banner, command line, read-mode rule, settings and
  components, the IC loop in mask, address or read mode, and the clean-up.
**/

#include "OrvUpdate.h"

#include "CommandLine.h"
#include "RunState.h"
#include "../Components/ComponentGuards.h"
#include "../Settings/InitialSettings.h"
#include "../Update/Update.h"

#include <OrvBase/Status.h>
#include <OrvRun/RunSteps.h>

namespace {

UINTN CountDigitSelectedIcs(UINT64 ChipMask) {
  UINTN Count = 0;
  for (UINT8 Index = 0; Index < DIGIT_SELECTABLE_ICS; Index++) {
    Count += IsChipSelected(ChipMask, Index) ? 1 : 0;
  }
  return Count;
}

/// Address mode: updates the first IC that answers to DeviceAddress, or lists
/// the addresses that answer when none does.
EFI_STATUS UpdateByAddress(UINT64 DeviceAddress, UINT8 IcCount) {
  UINT8 Index = 0;
  EFI_STATUS Status = FindIcByAddress(DeviceAddress, IcCount, &Index);
  if (EFI_ERROR(Status)) return Status;
  Status = UpdateChip(Index);
  if (EFI_ERROR(Status)) {
    Print(u"Addr %x IC update error %x\n"_w, Hex32(DeviceAddress), Hex32(Status));
  }
  return Status;
}

/// Mask mode: every selected IC is attempted; the run fails when any did.
/// With no selected IC below IcCount, Status (that of IcInit) stands.
EFI_STATUS UpdateByMask(UINT64 ChipMask, UINT8 IcCount, EFI_STATUS Status) {
  EFI_STATUS FailedStatus = EFI_SUCCESS;
  for (UINT8 Index = 0; Index < IcCount; Index++) {
    if (!IsChipSelected(ChipMask, Index)) {
      continue;
    }
    Status = UpdateChip(Index);
    if (EFI_ERROR(Status)) {
      Print(u"IC %x update error %x\n"_w, static_cast<UINT32>(Index), Hex32(Status));
      FailedStatus = Status;
    }
  }
  // A later IC's success must not hide an earlier IC's failure from a script.
  return EFI_ERROR(FailedStatus) ? FailedStatus : Status;
}

EFI_STATUS ReadSelected(UINT64 ChipMask, UINT8 IcCount, EFI_STATUS Status) {
  for (UINT8 Index = 0; Index < IcCount; Index++) {
    if (!IsChipSelected(ChipMask, Index)) {
      continue;
    }
    Status = ReadIc(Index);
    if (EFI_ERROR(Status)) {
      Print(u"IC %x Read error %x\n"_w, static_cast<UINT32>(Index), Hex32(Status));
    }
    break;
  }
  return Status;
}

}  // namespace

EFI_STATUS ReadIc(UINT8 Index) {
  UINT64 Address = HexTextToValue(OcmOverridePath(), 8);
  UINT64 Length = HexTextToValue(CustomerOverridePath(), 8);
  Print(u"Read ic %x, addr %08x, length %08x\n"_w, static_cast<UINT32>(Index), Hex32(Address),
        Hex32(Length));
  return EFI_SUCCESS;
}

EFI_STATUS OrvUpdateMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  EFI_STATUS Status = EFI_UNSUPPORTED;
  PrintBanner(u"OrvUpdate tool version %02x.%02x.%04x\n"_w);

  CHAR16 **Argv = nullptr;
  UINTN Argc = 0;
  UINT64 ChipMask = 0;
  UINT64 DeviceAddress = 0;
  UINT8 IcCount = 0;
  if (EFI_ERROR(BeginRun(ImageHandle, SystemTable, &Argc, &Argv))) return EFI_UNSUPPORTED;

  if (!ParseCommandLine(Argc, Argv, &ChipMask, &DeviceAddress)) {
    return EFI_INVALID_PARAMETER;
  }

  if (IsReadMode() && CountDigitSelectedIcs(ChipMask) != 1) {
    Print(u"Read 1 IC at a time!\n"_w);
    Print(u"  \"OrvUpdate.efi 1 -r 0 10> out.txt\" read chip1 addr 0 len 10 data to out.txt\n"_w);
    return EFI_INVALID_PARAMETER;
  }

  Status = OrvInitialSettings(ImageHandle);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Load settings error, %x\n"_w);
  // From here on every way out gives back the zone images, then closes the
  // path session: also the ends at "-d" without address support and at a
  // failed IcInit, so repeated runs in one boot do not exhaust the image
  // parser.
  BoundRunGuard Bound;

  Status = CountIcs(DeviceAddress, &IcCount);
  if (EFI_ERROR(Status)) return Status;

  if (IsReadMode()) {
    Status = ReportMissingIcs(ChipMask, IcCount, ReadSelected(ChipMask, IcCount, Status));
  } else if (DeviceAddress != 0) {
    Status = UpdateByAddress(DeviceAddress, IcCount);
  } else {
    Status = ReportMissingIcs(ChipMask, IcCount, UpdateByMask(ChipMask, IcCount, Status));
  }

  return Status;
}
