/** @file
  Loading of the fault rules file.
**/

#include "SimFaults.h"

EFI_STATUS SimLoadFaults(EFI_HANDLE DriverImage, const CHAR16 *Component, FAULT_RULES *Rules) {
  Rules->Count = 0;
  EFI_FILE_HANDLE Root = nullptr;
  if (EFI_ERROR(SimOpenImageVolume(DriverImage, &Root))) {
    // Without a volume there is no fault file either.
    return EFI_SUCCESS;
  }
  UINT8 *Text = nullptr;
  UINTN Size = 0;
  EFI_STATUS Status = SimReadFile(Root, u"OrvSim\\Faults.ini"_w, 1024 * 1024, &Text, &Size);
  Root->Close(Root);
  if (Status == EFI_NOT_FOUND) {
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(Status)) {
    Print(u"%s: cannot read OrvSim\\Faults.ini, %x\n"_w, Component, Hex32(Status));
    return EFI_INVALID_PARAMETER;
  }
  TEXT_ERROR Error{};
  Status = ParseFaultRules(reinterpret_cast<const char *>(Text), Size, Rules, &Error);
  FreePool(Text);
  if (EFI_ERROR(Status)) {
    Rules->Count = 0;
    Print(u"%s: Faults.ini line %d: %a\n"_w, Component, Error.Line, Error.Reason);
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}
