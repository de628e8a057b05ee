/** @file
  The last attempt of each IC, kept in a non-volatile variable so that it
  survives a reset, as platform FMP drivers keep theirs: "OrvFmpLastAttemptNN"
  (NN: the IC index in two hexadecimal digits) under gOrvFmpVariableGuid,
  8 bytes: the attempt's FMP version, then its LAST_ATTEMPT_STATUS_*, both
  little-endian.
**/

#include "OrvFmp.h"

#include <OrvBase/Status.h>

namespace {

struct LAST_ATTEMPT {
  UINT32 Version;
  UINT32 Status;
};

constexpr UINT32 VARIABLE_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE |
                                       EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINTN VARIABLE_NAME_LENGTH = 24;

void VariableName(CHAR16 (&Name)[VARIABLE_NAME_LENGTH], UINT8 Ic) {
  SPrint(Name, sizeof(Name), u"OrvFmpLastAttempt%02x"_w, static_cast<UINT32>(Ic));
}

}  // namespace

const EFI_GUID gOrvFmpVariableGuid = ORV_FMP_VARIABLE_GUID;

void FmpLoadLastAttempt(ORV_FMP_INSTANCE *Instance) {
  CHAR16 Name[VARIABLE_NAME_LENGTH];
  VariableName(Name, Instance->Ic);
  LAST_ATTEMPT Saved{};
  UINTN Size = sizeof(Saved);
  UINT32 Attributes = 0;
  EFI_STATUS Status = RT->GetVariable(Name, const_cast<EFI_GUID *>(&gOrvFmpVariableGuid),
                                      &Attributes, &Size, &Saved);
  // A variable of another size is not ours to interpret: no attempt known.
  if (EFI_ERROR(Status) || Size != sizeof(Saved)) Saved = {};
  Instance->LastAttemptVersion = Saved.Version;
  Instance->LastAttemptStatus = Saved.Status;
}

void FmpRecordLastAttempt(ORV_FMP_INSTANCE *Instance, UINT32 Version, UINT32 Status) {
  Instance->LastAttemptVersion = Version;
  Instance->LastAttemptStatus = Status;
  CHAR16 Name[VARIABLE_NAME_LENGTH];
  VariableName(Name, Instance->Ic);
  LAST_ATTEMPT Saved{Version, Status};
  EFI_STATUS Saving = RT->SetVariable(Name, const_cast<EFI_GUID *>(&gOrvFmpVariableGuid),
                                      VARIABLE_ATTRIBUTES, sizeof(Saved), &Saved);
  if (EFI_ERROR(Saving)) {
    Print(u"OrvFmp: IC %x last attempt not saved %x\n"_w, static_cast<UINT32>(Instance->Ic),
          Hex32(Saving));
  }
}
