/** @file
  Chip update policy: reads an IC's active section and running version,
  decides whether the OCM image goes into the other bank (newer, forced, or
  the IC reports no section), has the flash component's policy (when it has
  one) accept every image the IC is going to get before anything is erased,
  then programs the OCM image and writes the customer image into bank 0 and,
  with the backup flag, bank 1.
**/

#include "Update.h"

#include <OrvBase/Status.h>

#include "../App/RunState.h"
#include "UpdatePlan.h"

namespace {

/// The OCM zone's decision, with its console lines.
///
/// @retval EFI_SUCCESS       *Plan holds the decision.
/// @retval EFI_DEVICE_ERROR  The image version could not be read; its message is printed.
EFI_STATUS PlanOcm(UINT8 Index, UINT8 Section, UINT32 ChipVersion, OCM_PLAN *Plan) {
  UINT64 ImageVersion = 0;
  EFI_STATUS Status = pOrvImageProtocol->GetImageVersion(OcmImage, &ImageVersion);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"Get OCMFile ver error %x\n"_w, Hex32(Status));
  }

  Print(u"IC %x, current section %x, ver %x\n"_w, static_cast<UINT32>(Index),
        static_cast<UINT32>(Section), ChipVersion);

  *Plan = PlanOcmZone(Section, ChipVersion, ImageVersion, RUN_FLAGS);
  if (!Plan->Programs()) {
    Print(u"Not Update! Image Ver %x\n"_w, static_cast<UINT32>(ImageVersion & 0xFFFF));
  } else if ((RUN_FLAGS & RUN_FLAG_FORCE_UPDATE) != 0) {
    Print(u"Force Update Is set, Ignore veriosn!!\n"_w);
  }
  return EFI_SUCCESS;
}

/// The OCM image into the inactive bank.
///
/// @retval EFI_SUCCESS       Programmed, verified and switched.
/// @retval EFI_DEVICE_ERROR  A step failed; its message is printed.
EFI_STATUS ProgramOcm(UINT8 Index, UINT8 Section, UINT8 TargetBank) {
  Print(u"Start Update Chip %d OCM section %x\n"_w, static_cast<UINT32>(Index),
        static_cast<UINT32>(TargetBank));

  UINTN Size = 0;
  UINT8 *Data = nullptr;
  EFI_STATUS Status = pOrvImageProtocol->GetImageData(OcmImage, &Size, &Data);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"Get OCMFile data error %x\n"_w, Hex32(Status));
  }

  Status = ProgramBank(Index, TargetBank, ZONE_OCM, Size, Data);
  if (EFI_ERROR(Status)) {
    Print(u"IC %x update OCM error %x, current section %x\n"_w, static_cast<UINT32>(Index),
          Hex32(Status), static_cast<UINT32>(Section));
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

/// The customer zone: bank 0, then bank 1 when Banks is 2. Neither bank is
/// ever made active.
///
/// @retval EFI_SUCCESS       Written (or no customer bank to write).
/// @retval EFI_DEVICE_ERROR  A step failed; its message is printed.
EFI_STATUS UpdateCustomerZone(UINT8 Index, UINT8 Banks) {
  if (Banks == 0) {
    return EFI_SUCCESS;
  }

  Print(u"Start Update Chip %d Customer Zone!\n"_w, static_cast<UINT32>(Index));

  UINTN Size = 0;
  UINT8 *Data = nullptr;
  EFI_STATUS Status = pOrvImageProtocol->GetImageData(CustomerImage, &Size, &Data);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"Get CSTMFile data error %x\n"_w, Hex32(Status));
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
    return PrintAndReturn(EFI_DEVICE_ERROR, u"Get IC %x active section error %x\n"_w,
                          static_cast<UINT32>(Index), Hex32(Status));
  }

  UINT32 ChipVersion = 0;
  Status = pOrvFlashProtocol->GetIcVersion(Index, Section, &ChipVersion);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"Get IC %x ver error %x\n"_w,
                          static_cast<UINT32>(Index), Hex32(Status));
  }

  OCM_PLAN Plan = {OCM_DECISION::UP_TO_DATE, 0};
  if (OcmImage != 0 && EFI_ERROR(PlanOcm(Index, Section, ChipVersion, &Plan))) {
    // A failed OCM zone leaves the customer zone untouched.
    return EFI_DEVICE_ERROR;
  }
  const UINT8 CustomerBanks = PlanCustomerBanks(CustomerImage != 0, RUN_FLAGS);

  // Every image is accepted before the first erase, so a refused customer
  // image cannot leave the IC half updated.
  Status = CheckImagesAccepted(Index, Plan.Programs(), CustomerBanks != 0);
  if (EFI_ERROR(Status)) return Status;

  if (Plan.Programs() && EFI_ERROR(ProgramOcm(Index, Section, Plan.TargetBank))) {
    return EFI_DEVICE_ERROR;
  }
  return UpdateCustomerZone(Index, CustomerBanks);
}
