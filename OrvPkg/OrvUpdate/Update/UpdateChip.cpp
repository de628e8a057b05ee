/** @file
  Chip update policy: reads an IC's active section and running version,
  programs the OCM image into the other bank when it is newer (or forced, or
  the IC reports no section), then writes the customer image into bank 0 and,
  with the backup flag, bank 1.
**/

#include "Update.h"

#include "../App/RunState.h"
#include "UpdatePlan.h"

namespace {

/// The OCM zone: version decision, then programming into the inactive bank.
///
/// @retval EFI_SUCCESS       Programmed, or skipped as up to date.
/// @retval EFI_DEVICE_ERROR  A step failed; its message is printed.
EFI_STATUS UpdateOcmZone(UINT8 Index, UINT8 Section, UINT32 ChipVersion) {
  UINT64 ImageVersion = 0;
  EFI_STATUS Status = pOrvImageProtocol->GetImageVersion(OcmImage, &ImageVersion);
  if (EFI_ERROR(Status)) {
    Print(u"Get OCMFile ver error %x\n"_w, Hex32(Status));
    return EFI_DEVICE_ERROR;
  }

  Print(u"IC %x, current section %x, ver %x\n"_w, static_cast<UINT32>(Index),
        static_cast<UINT32>(Section), ChipVersion);

  const OCM_PLAN Plan = PlanOcmZone(Section, ChipVersion, ImageVersion, RUN_FLAGS);
  if (!Plan.Programs()) {
    Print(u"Not Update! Image Ver %x\n"_w, static_cast<UINT32>(ImageVersion & 0xFFFF));
    return EFI_SUCCESS;
  }

  if ((RUN_FLAGS & RUN_FLAG_FORCE_UPDATE) != 0) {
    Print(u"Force Update Is set, Ignore veriosn!!\n"_w);
  }

  const UINT8 TargetBank = Plan.TargetBank;
  Print(u"Start Update Chip %d OCM section %x\n"_w, static_cast<UINT32>(Index),
        static_cast<UINT32>(TargetBank));

  UINTN Size = 0;
  UINT8 *Data = nullptr;
  Status = pOrvImageProtocol->GetImageData(OcmImage, &Size, &Data);
  if (EFI_ERROR(Status)) {
    Print(u"Get OCMFile data error %x\n"_w, Hex32(Status));
    return EFI_DEVICE_ERROR;
  }

  Status = ProgramBank(Index, TargetBank, ZONE_OCM, Size, Data);
  if (EFI_ERROR(Status)) {
    Print(u"IC %x update OCM error %x, current section %x\n"_w, static_cast<UINT32>(Index),
          Hex32(Status), static_cast<UINT32>(Section));
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

/// The customer zone: bank 0, then bank 1 with the backup flag. Neither bank
/// is ever made active.
///
/// @retval EFI_SUCCESS       Written (or no customer image).
/// @retval EFI_DEVICE_ERROR  A step failed; its message is printed.
EFI_STATUS UpdateCustomerZone(UINT8 Index) {
  const UINT8 Banks = PlanCustomerBanks(CustomerImage != 0, RUN_FLAGS);
  if (Banks == 0) {
    return EFI_SUCCESS;
  }

  Print(u"Start Update Chip %d Customer Zone!\n"_w, static_cast<UINT32>(Index));

  UINTN Size = 0;
  UINT8 *Data = nullptr;
  EFI_STATUS Status = pOrvImageProtocol->GetImageData(CustomerImage, &Size, &Data);
  if (EFI_ERROR(Status)) {
    Print(u"Get CSTMFile data error %x\n"_w, Hex32(Status));
    return EFI_DEVICE_ERROR;
  }

  // ProgramBank has printed the step that failed.
  if (EFI_ERROR(ProgramBank(Index, 0, ZONE_CUSTOMER, Size, Data))) {
    return EFI_DEVICE_ERROR;
  }

  if (Banks < 2) {
    return EFI_SUCCESS;
  }
  Print(u"include customer backup is set, Updating\n"_w);
  if (EFI_ERROR(ProgramBank(Index, 1, ZONE_CUSTOMER, Size, Data))) {
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS UpdateChip(UINT8 Index) {
  // Left at SECTION_INVALID when the component reports no section.
  UINT8 Section = SECTION_INVALID;
  EFI_STATUS Status = pOrvFlashProtocol->GetActiveSection(Index, &Section);
  if (EFI_ERROR(Status)) {
    Print(u"Get IC %x active section error %x\n"_w, static_cast<UINT32>(Index), Hex32(Status));
    return EFI_DEVICE_ERROR;
  }

  UINT32 ChipVersion = 0;
  Status = pOrvFlashProtocol->GetIcVersion(Index, Section, &ChipVersion);
  if (EFI_ERROR(Status)) {
    Print(u"Get IC %x ver error %x\n"_w, static_cast<UINT32>(Index), Hex32(Status));
    return EFI_DEVICE_ERROR;
  }

  if (OcmImage != 0 && EFI_ERROR(UpdateOcmZone(Index, Section, ChipVersion))) {
    // A failed OCM zone leaves the customer zone untouched.
    return EFI_DEVICE_ERROR;
  }
  return UpdateCustomerZone(Index);
}
