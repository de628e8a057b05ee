/** @file
  The simulated flash: operations, rules, faults and timing.
**/

#include "FlashModel.h"

#include "ByteOrder.h"
#include "HexImage.h"

namespace {

const FAULT_RULE *Hit(const SIM_FLASH *Flash, SIM_OP Op, INT32 Ic = FAULT_ANY,
                      INT32 Zone = FAULT_ANY, INT32 Bank = FAULT_ANY) {
  return Flash->Faults != nullptr ? FaultHit(Flash->Faults, Op, Ic, Zone, Bank) : nullptr;
}

bool ValidIc(const SIM_FLASH *Flash, UINT8 Ic) { return Ic < Flash->IcCount; }

// The first step of an operation on an IC: the status of a fault injected
// into this call, else EFI_INVALID_PARAMETER for an IC the board does not have.
EFI_STATUS FaultOrUnknownIc(SIM_FLASH *Flash, SIM_OP Op, UINT8 Ic, INT32 Zone = FAULT_ANY,
                            INT32 Bank = FAULT_ANY) {
  if (const FAULT_RULE *Rule = Hit(Flash, Op, Ic, Zone, Bank)) {
    return Rule->Status;
  }
  return ValidIc(Flash, Ic) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

bool ValidBankZone(UINT8 Bank, UINT8 Zone) {
  return Bank <= 1 && (Zone == ZONE_OCM || Zone == ZONE_CUSTOMER);
}

void Wait(const SIM_FLASH *Flash, UINT64 Microseconds) {
  if (Flash->Stall != nullptr && Microseconds != 0) {
    Flash->Stall(Microseconds);
  }
}

constexpr UINT32 FLOOR_MAGIC = 0x4656524Fu;  // "ORVF" read little-endian

bool SlotValid(const UINT8 *Slot) {
  return ReadLe32(Slot) == FLOOR_MAGIC && Crc32(Slot, 12) == ReadLe32(Slot + 12);
}

// The slot holding the current floor: the valid one with the later
// sequence; SIM_FLOOR_STORE_SIZE when neither is valid.
UINTN CurrentSlot(const UINT8 *Store) {
  const bool Valid0 = SlotValid(Store);
  const bool Valid1 = SlotValid(Store + SIM_FLOOR_SLOT_SIZE);
  if (Valid0 && Valid1) {
    const UINT32 Sequence0 = ReadLe32(Store + 4);
    const UINT32 Sequence1 = ReadLe32(Store + SIM_FLOOR_SLOT_SIZE + 4);
    return static_cast<INT32>(Sequence1 - Sequence0) > 0 ? SIM_FLOOR_SLOT_SIZE : 0;
  }
  if (Valid0) return 0;
  if (Valid1) return SIM_FLOOR_SLOT_SIZE;
  return SIM_FLOOR_STORE_SIZE;
}

// With a key: the bank holds an image the key signed and, for the OCM zone,
// a security counter not below the floor.
bool BankTrusted(const SIM_FLASH *Flash, const SIM_IC_STATE &State, UINTN Index, UINT8 Zone,
                 const IMAGE_INFO &Info) {
  if (!State.HasKey) return true;
  if (Zone == ZONE_OCM && Info.SecurityCounter < SimFloor(State)) return false;
  return VerifyImageSignature(State.Bank[Index], Info, &State.Key, 1, nullptr, Flash->Memo) ==
         SIGN_STATUS::Ok;
}

// The chip's check of a bank (see SimHardwareCheckBank).
bool BankGood(const SIM_FLASH *Flash, const SIM_IC_STATE &State, UINT8 Bank, UINT8 Zone) {
  const UINTN Index = SimBankIndex(Zone, Bank);
  IMAGE_INFO Info{};
  return State.Bank[Index] != nullptr &&
         CheckImageInBank(State.Bank[Index], State.Size[Index], true, &Info) == HEX_OK &&
         BankTrusted(Flash, State, Index, Zone, Info);
}

// The active OCM bank of a running IC holds the code it executes.
bool IsRunningBank(const SIM_IC_STATE &State, UINT8 Bank, UINT8 Zone) {
  return Zone == ZONE_OCM && State.Active != SIM_SECTION_NONE && State.Active == Bank;
}

bool IsErased(const UINT8 *Bank, UINTN Size) {
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    if (Bank[Offset] != 0xFF) return false;
  }
  return true;
}

// Programming can only turn 1 bits into 0 bits.
void Program(UINT8 *Target, const UINT8 *Data, UINTN Size) {
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    Target[Offset] &= Data[Offset];
  }
}

// Bytes before the last page of Size bytes of data.
UINTN WithoutLastPage(UINTN Size, UINT32 PageSize) {
  UINTN Page = PageSize != 0 ? PageSize : 1;
  return Size == 0 ? 0 : ((Size - 1) / Page) * Page;
}

// A read of an IC, bank or zone that does not exist: refused, unless the
// component misbehaves without its bound checks and reads flash that is not
// there (erased bytes).
EFI_STATUS ReadOutOfRange(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                          UINT8 *Buffer) {
  if (Buffer == nullptr || Hit(Flash, SIM_OP::ReadUnchecked, Ic, Zone, Bank) == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    Buffer[Offset] = 0xFF;
  }
  return EFI_SUCCESS;
}

}  // namespace

void SimFlashSetup(SIM_FLASH *Flash, const SIM_CONFIG *Config, FAULT_RULES *Faults, SIM_STALL Stall) {
  Flash->Config = Config;
  Flash->Faults = Faults;
  Flash->Stall = Stall;
  Flash->IcCount = Config->IcCount;
  Flash->ReduceMask = 0;
  Flash->Memo = nullptr;
  for (UINTN Ic = 0; Ic < SIM_MAX_ICS; Ic++) {
    SIM_IC_STATE &State = Flash->Ic[Ic];
    State = SIM_IC_STATE{};
    State.Active = Config->Ic[Ic].ActiveSection;
    for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
      State.Size[Bank] = Ic < Config->IcCount ? Config->Ic[Ic].BankSize[Bank] : 0;
    }
  }
}

EFI_STATUS SimGetActiveSection(SIM_FLASH *Flash, UINT8 Ic, UINT8 *Section) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::GetActiveSection, Ic);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Section == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // An IC without a valid section reports nothing; the caller's preset stays.
  if (Flash->Ic[Ic].Active != SIM_SECTION_NONE) {
    *Section = Flash->Ic[Ic].Active;
  }
  return EFI_SUCCESS;
}

EFI_STATUS SimSetActiveBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::SetActiveBank, Ic, FAULT_ANY, Bank);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Bank > 1) {
    return EFI_INVALID_PARAMETER;
  }
  if (Flash->Ic[Ic].HasKey && !BankGood(Flash, Flash->Ic[Ic], Bank, ZONE_OCM)) {
    return EFI_SECURITY_VIOLATION;
  }
  if (Hit(Flash, SIM_OP::SwitchIgnored, Ic, FAULT_ANY, Bank) == nullptr) {
    Flash->Ic[Ic].Active = Bank;
  }
  return EFI_SUCCESS;
}

EFI_STATUS SimGetIcVersion(SIM_FLASH *Flash, UINT8 Ic, UINT8 Section, UINT32 *Version) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::GetIcVersion, Ic, FAULT_ANY, Section);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Version == nullptr || (Section > 1 && Section != SIM_SECTION_NONE)) {
    return EFI_INVALID_PARAMETER;
  }
  *Version = 0;
  if (Section == SIM_SECTION_NONE) {
    return EFI_SUCCESS;
  }
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  UINTN Index = SimBankIndex(ZONE_OCM, Section);
  IMAGE_INFO Info{};
  if (State.Bank[Index] != nullptr &&
      CheckImageInBank(State.Bank[Index], State.Size[Index], false, &Info) == HEX_OK) {
    *Version = static_cast<UINT32>(Info.Version);
  }
  return EFI_SUCCESS;
}

EFI_STATUS SimFlashPreOperation(SIM_FLASH *Flash, UINT8 Ic) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::FlashPreOperation, Ic);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  SIM_IC_STATE &State = Flash->Ic[Ic];
  if (State.PassOpen) {
    return EFI_ALREADY_STARTED;
  }
  State.PassOpen = true;
  State.Unlocked = false;
  return EFI_SUCCESS;
}

EFI_STATUS SimLockFlash(SIM_FLASH *Flash, UINT8 Ic) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::lockFlash, Ic);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Hit(Flash, SIM_OP::LockIgnored, Ic) == nullptr) {
    Flash->Ic[Ic].Unlocked = false;
  }
  return EFI_SUCCESS;
}

EFI_STATUS SimUnlockFlash(SIM_FLASH *Flash, UINT8 Ic) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::UnlockFlash, Ic);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (!Flash->Ic[Ic].PassOpen) {
    return EFI_NOT_READY;
  }
  Flash->Ic[Ic].Unlocked = true;
  return EFI_SUCCESS;
}

// Checks shared by erase and write: an open pass, unlocked flash, not the
// running bank.
static EFI_STATUS CheckModify(const SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  if (!ValidIc(Flash, Ic) || !ValidBankZone(Bank, Zone)) {
    return EFI_INVALID_PARAMETER;
  }
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  if (!State.PassOpen) {
    return EFI_NOT_READY;
  }
  if (!State.Unlocked) {
    return EFI_WRITE_PROTECTED;
  }
  if (IsRunningBank(State, Bank, Zone) && Hit(Flash, SIM_OP::RunningWritable, Ic) == nullptr) {
    return EFI_ACCESS_DENIED;
  }
  if (State.Bank[SimBankIndex(Zone, Bank)] == nullptr) {
    return EFI_NOT_READY;
  }
  return EFI_SUCCESS;
}

EFI_STATUS SimWriteBankData(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                            const UINT8 *Data) {
  return SimWriteBankDataPart(Flash, Ic, Bank, Zone, Size, Data, Size);
}

EFI_STATUS SimWriteBankDataPart(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                                const UINT8 *Data, UINTN Done) {
  if (const FAULT_RULE *Rule = Hit(Flash, SIM_OP::WriteBankData, Ic, Zone, Bank)) {
    return Rule->Status;
  }
  EFI_STATUS Status = CheckModify(Flash, Ic, Bank, Zone);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Size != 0 && Data == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  SIM_IC_STATE &State = Flash->Ic[Ic];
  UINTN Index = SimBankIndex(Zone, Bank);
  if (Size > State.Size[Index]) {
    return EFI_BAD_BUFFER_SIZE;
  }
  UINTN Programmed = Done < Size ? Done : Size;
  if (Hit(Flash, SIM_OP::WriteShort, Ic, Zone, Bank) != nullptr) {
    UINTN Short = WithoutLastPage(Size, Flash->Config->Timing.PageSize);
    Programmed = Programmed < Short ? Programmed : Short;
  }
  Program(State.Bank[Index], Data, Programmed);
  if (Size != 0) {
    State.Dirty[Index] = true;
  }
  UINTN Other = SimBankIndex(Zone, Bank ^ 1);
  if (Hit(Flash, SIM_OP::WriteBothBanks, Ic, Zone, Bank) != nullptr &&
      State.Bank[Other] != nullptr && Programmed <= State.Size[Other]) {
    Program(State.Bank[Other], Data, Programmed);
    State.Dirty[Other] = true;
  }
  Wait(Flash, SimProgramMicroseconds(Flash->Config->Timing, Programmed));
  return EFI_SUCCESS;
}

EFI_STATUS SimReadBankData(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::ReadBankData, Ic, Zone, Bank);
  if (Status == EFI_INVALID_PARAMETER || (!EFI_ERROR(Status) && !ValidBankZone(Bank, Zone))) {
    return ReadOutOfRange(Flash, Ic, Bank, Zone, Size, Buffer);
  }
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Size != 0 && Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  UINTN Index = SimBankIndex(Zone, Bank);
  if (State.Bank[Index] == nullptr) {
    return EFI_NOT_READY;
  }
  if (Size > State.Size[Index]) {
    return EFI_BAD_BUFFER_SIZE;
  }
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    Buffer[Offset] = State.Bank[Index][Offset];
  }
  if (const FAULT_RULE *Rule = Hit(Flash, SIM_OP::CorruptRead, Ic, Zone, Bank)) {
    if (Rule->Offset < Size) {
      Buffer[Rule->Offset] ^= Rule->Xor;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS SimEraseBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  return SimEraseBankPart(Flash, Ic, Bank, Zone, ~static_cast<UINTN>(0));
}

EFI_STATUS SimEraseBankPart(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Done) {
  if (const FAULT_RULE *Rule = Hit(Flash, SIM_OP::EraseBank, Ic, Zone, Bank)) {
    return Rule->Status;
  }
  EFI_STATUS Status = CheckModify(Flash, Ic, Bank, Zone);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Hit(Flash, SIM_OP::EraseIgnored, Ic, Zone, Bank) != nullptr) {
    return EFI_SUCCESS;
  }
  SIM_IC_STATE &State = Flash->Ic[Ic];
  UINTN Index = SimBankIndex(Zone, Bank);
  UINTN Erased = Done < State.Size[Index] ? Done : State.Size[Index];
  for (UINTN Offset = 0; Offset < Erased; Offset++) {
    State.Bank[Index][Offset] = 0xFF;
  }
  State.Dirty[Index] = true;
  Wait(Flash, SimEraseMicroseconds(Flash->Config->Timing, Erased));
  return EFI_SUCCESS;
}

UINTN SimCutBytes(UINTN Length, UINT32 Unit, CUT_PART Part) {
  if (Part == CUT_PART::None) {
    return 0;
  }
  if (Part == CUT_PART::All || Unit == 0) {
    return Length;
  }
  UINTN Steps = (Length + Unit - 1) / Unit;
  UINTN Kept = Part == CUT_PART::Half ? Steps / 2 : (Steps == 0 ? 0 : Steps - 1);
  UINTN Bytes = Kept * Unit;
  return Bytes < Length ? Bytes : Length;
}

EFI_STATUS SimHardwareCheckBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::HardwareCheckBank, Ic, Zone, Bank);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (!ValidBankZone(Bank, Zone) || Check == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  UINTN Index = SimBankIndex(Zone, Bank);
  if (State.Bank[Index] == nullptr) {
    return EFI_NOT_READY;
  }
  // The misbehaving checks answer before any real check of the bank.
  if (Hit(Flash, SIM_OP::CheckGood, Ic, Zone, Bank) != nullptr ||
      (Hit(Flash, SIM_OP::CheckErasedGood, Ic, Zone, Bank) != nullptr &&
       IsErased(State.Bank[Index], State.Size[Index]))) {
    *Check = 1;
    return EFI_SUCCESS;
  }
  IMAGE_INFO Info{};
  if (Hit(Flash, SIM_OP::CheckHeaderOnly, Ic, Zone, Bank) != nullptr) {
    *Check = CheckImageInBank(State.Bank[Index], State.Size[Index], false, &Info) == HEX_OK ? 1 : 0;
    return EFI_SUCCESS;
  }
  bool Good = BankGood(Flash, State, Bank, Zone);
  if (Hit(Flash, SIM_OP::CheckZero, Ic, Zone, Bank) != nullptr) {
    Good = false;
  }
  *Check = Good ? 1 : 0;
  return EFI_SUCCESS;
}

UINT32 SimFloor(const SIM_IC_STATE &State) {
  const UINTN Slot = CurrentSlot(State.FloorStore);
  return Slot == SIM_FLOOR_STORE_SIZE ? 0 : ReadLe32(State.FloorStore + Slot + 8);
}

bool SimFloorToRaise(const SIM_FLASH *Flash, UINT8 Ic, UINT32 *NewFloor) {
  if (!ValidIc(Flash, Ic)) return false;
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  if (!State.HasKey || State.Active > 1) return false;
  const UINTN Index = SimBankIndex(ZONE_OCM, State.Active);
  IMAGE_INFO Info{};
  if (State.Bank[Index] == nullptr ||
      CheckImageInBank(State.Bank[Index], State.Size[Index], true, &Info) != HEX_OK ||
      Info.SecurityCounter <= SimFloor(State) || !BankTrusted(Flash, State, Index, ZONE_OCM, Info)) {
    return false;
  }
  *NewFloor = Info.SecurityCounter;
  return true;
}

void SimWriteFloorPart(SIM_FLASH *Flash, UINT8 Ic, UINT32 NewFloor, UINTN Done) {
  if (!ValidIc(Flash, Ic)) return;
  SIM_IC_STATE &State = Flash->Ic[Ic];
  const UINTN Current = CurrentSlot(State.FloorStore);
  const UINTN Target = Current == 0 ? SIM_FLOOR_SLOT_SIZE : 0;
  const UINT32 Sequence = Current == SIM_FLOOR_STORE_SIZE ? 1 : ReadLe32(State.FloorStore + Current + 4) + 1;
  UINT8 Slot[SIM_FLOOR_SLOT_SIZE];
  WriteLe32(Slot, FLOOR_MAGIC);
  WriteLe32(Slot + 4, Sequence);
  WriteLe32(Slot + 8, NewFloor);
  WriteLe32(Slot + 12, Crc32(Slot, 12));
  for (UINTN Index = 0; Index < SIM_FLOOR_SLOT_SIZE && Index < Done; Index++) {
    State.FloorStore[Target + Index] = Slot[Index];
  }
  State.FloorDirty = true;
}

EFI_STATUS SimFlashPostOperation(SIM_FLASH *Flash, UINT8 Ic) {
  return FaultOrUnknownIc(Flash, SIM_OP::FlashPostOperation, Ic);
}

EFI_STATUS SimIcPostOperation(SIM_FLASH *Flash, UINT8 Ic) {
  if (const FAULT_RULE *Rule = Hit(Flash, SIM_OP::ICPostOperation, Ic)) {
    // The pass is over even when closing it reports a failure.
    if (ValidIc(Flash, Ic)) {
      Flash->Ic[Ic].PassOpen = false;
      Flash->Ic[Ic].Unlocked = false;
    }
    return Rule->Status;
  }
  if (!ValidIc(Flash, Ic)) {
    return EFI_INVALID_PARAMETER;
  }
  SIM_IC_STATE &State = Flash->Ic[Ic];
  if (!State.PassOpen) {
    return EFI_NOT_READY;
  }
  State.PassOpen = false;
  State.Unlocked = false;
  return EFI_SUCCESS;
}

UINT8 SimGetIcAddress(SIM_FLASH *Flash, UINT8 Index) {
  if (const FAULT_RULE *Rule = Hit(Flash, SIM_OP::GetIcAddress, Index)) {
    return Rule->Value;
  }
  if (!ValidIc(Flash, Index)) {
    return 0;
  }
  return Flash->Config->Ic[Index].Address;
}

EFI_STATUS SimSetReduceFlags(SIM_FLASH *Flash, UINT32 Mask) {
  if (const FAULT_RULE *Rule = Hit(Flash, SIM_OP::SetReduceFlags)) {
    return Rule->Status;
  }
  Flash->ReduceMask = Mask;
  return EFI_SUCCESS;
}
