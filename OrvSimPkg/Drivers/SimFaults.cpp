/** @file
  Loading of the fault rules file.
**/

#include "SimFaults.h"

EFI_STATUS SimLoadFaults(EFI_HANDLE DriverImage, const CHAR16 *Component, FAULT_RULES *Rules) {
  Rules->Count = 0;
  PoolGuard<UINT8> Text;
  UINTN Size = 0;
  EFI_STATUS Status;
  {
    FileGuard Root;
    // Without a volume there is no fault file either.
    if (EFI_ERROR(OpenImageVolume(BS, DriverImage, &Root))) return EFI_SUCCESS;
    Status = ReadWholeFile(Root.Get(), u"OrvSim\\Faults.ini"_w, 1024 * 1024, &Text, &Size);
  }
  if (Status == EFI_NOT_FOUND) return EFI_SUCCESS;
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(EFI_INVALID_PARAMETER, u"%s: cannot read OrvSim\\Faults.ini, %x\n"_w,
                          Component, Hex32(Status));
  }
  TEXT_ERROR Error{};
  Status = ParseFaultRules(reinterpret_cast<const char *>(Text.Get()), Size, Rules, &Error);
  if (EFI_ERROR(Status)) {
    Rules->Count = 0;
    SimReportBadFile(Component, u"Faults.ini"_w, Error.Line, Error.Reason);
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}
