/** @file
  The capsule result variables: one Capsule#### per item and target
  processed (header, FMP part, file name, empty target), CapsuleLast naming
  the newest, and CapsuleMax naming the highest number before the numbers
  wrap to Capsule0000. The platform's CapsuleMax is kept when it has one.
**/

#include "OrvCapsule.h"

#include <stddef.h>

namespace {

constexpr EFI_GUID CAPSULE_REPORT_GUID = EFI_CAPSULE_REPORT_GUID;
constexpr UINT32 RESULT_ATTRIBUTES =
  EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
/// The highest number written when the platform sets no CapsuleMax: a small
/// ring, so repeated updates never fill the variable store.
constexpr UINT16 DEFAULT_CAPSULE_MAX = 0x000F;
/// "Capsule####": seven letters and four upper-case hexadecimal digits, stored without terminator.
constexpr UINTN NAME_LENGTH = 11;

static_assert(sizeof(EFI_CAPSULE_RESULT_VARIABLE_HEADER) == 48);
static_assert(offsetof(EFI_CAPSULE_RESULT_VARIABLE_HEADER, CapsuleGuid) == 8);
static_assert(offsetof(EFI_CAPSULE_RESULT_VARIABLE_HEADER, CapsuleProcessed) == 24);
static_assert(offsetof(EFI_CAPSULE_RESULT_VARIABLE_HEADER, CapsuleStatus) == 40);
static_assert(sizeof(EFI_CAPSULE_RESULT_VARIABLE_FMP) == 20);
static_assert(offsetof(EFI_CAPSULE_RESULT_VARIABLE_FMP, UpdateImageTypeId) == 4);

void FormatName(UINT16 Number, CHAR16 *Name) {
  constexpr char16_t PREFIX[] = u"Capsule";
  constexpr char HEX[] = "0123456789ABCDEF";
  for (UINTN Index = 0; Index < 7; Index++) Name[Index] = PREFIX[Index];
  for (UINTN Index = 0; Index < 4; Index++) Name[7 + Index] = HEX[(Number >> (12 - 4 * Index)) & 0xF];
  Name[NAME_LENGTH] = 0;
}

/// Reads CapsuleMax or CapsuleLast: true with its number when it holds a valid name.
bool ReadNameVariable(EFI_RUNTIME_SERVICES *Rt, const CHAR16 *Variable, UINT16 *Number) {
  CHAR16 Value[NAME_LENGTH + 1] = {};
  UINTN Size = sizeof(Value);
  UINT32 Attributes = 0;
  EFI_STATUS Status = Rt->GetVariable(const_cast<CHAR16 *>(Variable), GuidArgument(CAPSULE_REPORT_GUID),
                                      &Attributes, &Size, Value);
  if (EFI_ERROR(Status) || Size < NAME_LENGTH * sizeof(CHAR16)) return false;
  return CapsuleVariableNumber(Value, NAME_LENGTH, Number);
}

EFI_STATUS WriteNameVariable(EFI_RUNTIME_SERVICES *Rt, const CHAR16 *Variable, UINT16 Number) {
  CHAR16 Value[NAME_LENGTH + 1];
  FormatName(Number, Value);
  return Rt->SetVariable(const_cast<CHAR16 *>(Variable), GuidArgument(CAPSULE_REPORT_GUID), RESULT_ATTRIBUTES,
                         NAME_LENGTH * sizeof(CHAR16), Value);
}

/// The number of the next Capsule####: one past CapsuleLast, back to 0 past CapsuleMax.
EFI_STATUS NextResultNumber(EFI_RUNTIME_SERVICES *Rt, UINT16 *Next) {
  UINT16 Max = 0;
  if (!ReadNameVariable(Rt, u"CapsuleMax"_w, &Max)) {
    Max = DEFAULT_CAPSULE_MAX;
    EFI_STATUS Status = WriteNameVariable(Rt, u"CapsuleMax"_w, Max);
    if (EFI_ERROR(Status)) return Status;
  }
  UINT16 Last = 0;
  *Next = ReadNameVariable(Rt, u"CapsuleLast"_w, &Last) && Last < Max ? static_cast<UINT16>(Last + 1) : 0;
  return EFI_SUCCESS;
}

UINTN TextLength(const CHAR16 *Text) {
  UINTN Length = 0;
  while (Text[Length] != 0) Length++;
  return Length;
}

}  // namespace

bool CapsuleVariableNumber(const CHAR16 *Text, UINTN Length, UINT16 *Number) {
  constexpr char16_t PREFIX[] = u"Capsule";
  if (Length != NAME_LENGTH) return false;
  for (UINTN Index = 0; Index < 7; Index++) {
    if (Text[Index] != PREFIX[Index]) return false;
  }
  UINT16 Value = 0;
  for (UINTN Index = 7; Index < NAME_LENGTH; Index++) {
    CHAR16 C = Text[Index];
    UINT16 Digit = C >= '0' && C <= '9' ? C - '0' : C >= 'A' && C <= 'F' ? C - 'A' + 10 : 0xFF;
    if (Digit == 0xFF) return false;
    Value = static_cast<UINT16>((Value << 4) | Digit);
  }
  *Number = Value;
  return true;
}

EFI_STATUS WriteCapsuleResult(EFI_RUNTIME_SERVICES *Rt, const FMP_CAPSULE &Capsule, UINT16 PayloadIndex,
                              const FMP_CAPSULE_ITEM &Item, const CHAR16 *FileName, EFI_STATUS ItemStatus) {
  UINT16 Number = 0;
  EFI_STATUS Status = NextResultNumber(Rt, &Number);
  if (EFI_ERROR(Status)) return Status;
  const UINTN NameBytes = (TextLength(FileName) + 1) * sizeof(CHAR16);
  const UINTN Size = sizeof(EFI_CAPSULE_RESULT_VARIABLE_HEADER) + sizeof(EFI_CAPSULE_RESULT_VARIABLE_FMP) +
                     NameBytes + sizeof(CHAR16);
  PoolGuard<UINT8> Value = PoolGuard<UINT8>::Allocate(Size);
  if (!Value) return EFI_OUT_OF_RESOURCES;
  ZeroMem(Value.Get(), Size);
  auto *Header = reinterpret_cast<EFI_CAPSULE_RESULT_VARIABLE_HEADER *>(Value.Get());
  Header->VariableTotalSize = static_cast<UINT32>(Size);
  Header->CapsuleGuid = Capsule.CapsuleGuid;
  if (EFI_ERROR(Rt->GetTime(&Header->CapsuleProcessed, nullptr))) ZeroMem(&Header->CapsuleProcessed, sizeof(EFI_TIME));
  Header->CapsuleStatus = ItemStatus;
  auto *Fmp = reinterpret_cast<EFI_CAPSULE_RESULT_VARIABLE_FMP *>(Header + 1);
  Fmp->Version = EFI_CAPSULE_RESULT_VARIABLE_FMP_VERSION;
  Fmp->PayloadIndex = static_cast<UINT8>(PayloadIndex);
  Fmp->UpdateImageIndex = Item.UpdateImageIndex;
  Fmp->UpdateImageTypeId = Item.UpdateImageTypeId;
  CopyMem(Fmp + 1, const_cast<CHAR16 *>(FileName), NameBytes);  // the empty target stays zero
  CHAR16 Name[NAME_LENGTH + 1];
  FormatName(Number, Name);
  Status = Rt->SetVariable(Name, GuidArgument(CAPSULE_REPORT_GUID), RESULT_ATTRIBUTES, Size, Value.Get());
  if (EFI_ERROR(Status)) return Status;
  return WriteNameVariable(Rt, u"CapsuleLast"_w, Number);
}
