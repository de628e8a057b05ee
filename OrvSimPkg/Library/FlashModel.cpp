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

// The slot holding the current floor: of the valid slots, the one with the
// higher floor (floors only rise, so a sequence number that wrapped or
// repeats decides nothing; of equal floors the first); SIM_FLOOR_STORE_SIZE
// when neither is valid.
UINTN CurrentSlot(const UINT8 *Store) {
  const bool Valid0 = SlotValid(Store);
  const bool Valid1 = SlotValid(Store + SIM_FLOOR_SLOT_SIZE);
  if (Valid0 && Valid1) {
    return ReadLe32(Store + SIM_FLOOR_SLOT_SIZE + 8) > ReadLe32(Store + 8) ? SIM_FLOOR_SLOT_SIZE : 0;
  }
  if (Valid0) return 0;
  if (Valid1) return SIM_FLOOR_SLOT_SIZE;
  return SIM_FLOOR_STORE_SIZE;
}

// The signature's verdict with the IC's key.
ORV_IMAGE_VERDICT SignatureVerdict(const SIM_FLASH *Flash, const SIM_IC_STATE &State, const UINT8 *Data,
                                   const IMAGE_INFO &Info) {
  switch (VerifyImageSignature(Data, Info, &State.Key, 1, nullptr, Flash->Memo)) {
    case SIGN_STATUS::Ok: return ORV_IMAGE_ACCEPTED;
    case SIGN_STATUS::Unsigned: return ORV_IMAGE_UNSIGNED;
    case SIGN_STATUS::UnknownKey: return ORV_IMAGE_UNKNOWN_KEY;
    default: return ORV_IMAGE_BAD_SIGNATURE;
  }
}

// The rules a key brings, after the image's structure was found good: the
// signature, then what the signed bytes say (zone, product, counter). An
// image that names no zone (formats 1 and 2) gets past the zone rule only
// where that rule is skipped, or unsigned where signatures are not checked.
ORV_IMAGE_VERDICT KeyRules(const SIM_FLASH *Flash, const SIM_IC_STATE &State, const UINT8 *Data,
                           const IMAGE_INFO &Info, UINT8 Zone, UINT32 Skip) {
  if ((Skip & ORV_IC_ENFORCES_SIGNATURE) == 0) {
    const ORV_IMAGE_VERDICT Verdict = SignatureVerdict(Flash, State, Data, Info);
    if (Verdict != ORV_IMAGE_ACCEPTED) return Verdict;
  }
  const bool NamesBinding = Info.Format == IMAGE_FORMAT_3;
  if ((Skip & ORV_IC_ENFORCES_ZONE) == 0 && (NamesBinding || Info.Signed) && Info.Zone != Zone) {
    return ORV_IMAGE_WRONG_ZONE;
  }
  if ((Skip & ORV_IC_ENFORCES_PRODUCT) == 0 && NamesBinding && Info.Product != State.Product) {
    return ORV_IMAGE_WRONG_PRODUCT;
  }
  if ((Skip & ORV_IC_ENFORCES_FLOOR) == 0 && Zone == ZONE_OCM && Info.SecurityCounter < SimFloor(State)) {
    return ORV_IMAGE_BELOW_FLOOR;
  }
  return ORV_IMAGE_ACCEPTED;
}

// The rules a misbehaving component leaves unchecked for this call.
UINT32 SkippedRules(SIM_FLASH *Flash, UINT8 Ic, UINT8 Zone) {
  constexpr struct {
    SIM_OP Op;
    UINT32 Rule;
  } MISBEHAVIOURS[] = {
    {SIM_OP::SignatureIgnored, ORV_IC_ENFORCES_SIGNATURE},
    {SIM_OP::ZoneIgnored, ORV_IC_ENFORCES_ZONE},
    {SIM_OP::ProductIgnored, ORV_IC_ENFORCES_PRODUCT},
    {SIM_OP::FloorIgnored, ORV_IC_ENFORCES_FLOOR},
  };
  UINT32 Skip = 0;
  for (const auto &Entry : MISBEHAVIOURS) {
    if (Hit(Flash, Entry.Op, Ic, Zone) != nullptr) Skip |= Entry.Rule;
  }
  return Skip;
}

// The chip's check of a bank (see SimHardwareCheckBank).
ORV_IMAGE_VERDICT JudgeBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, ORV_IMAGE_ACCEPTANCE *Why) {
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  const UINTN Index = SimBankIndex(Zone, Bank);
  const UINT32 Skip = State.HasKey ? SkippedRules(Flash, Ic, Zone) : 0;
  return SimJudgeImage(Flash, State, State.Bank[Index], State.Size[Index], Zone, Skip, Why);
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
    State.Product = Config->Ic[Ic].Product;
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
  ORV_IMAGE_ACCEPTANCE Why{};
  if (Flash->Ic[Ic].HasKey && (Flash->Ic[Ic].Bank[SimBankIndex(ZONE_OCM, Bank)] == nullptr ||
                               JudgeBank(Flash, Ic, Bank, ZONE_OCM, &Why) != ORV_IMAGE_ACCEPTED)) {
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

EFI_STATUS SimHardwareCheckBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check,
                                ORV_IMAGE_ACCEPTANCE *Why) {
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
  ORV_IMAGE_ACCEPTANCE Acceptance{};
  if (Why == nullptr) Why = &Acceptance;
  *Why = ORV_IMAGE_ACCEPTANCE{};
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
  bool Good = JudgeBank(Flash, Ic, Bank, Zone, Why) == ORV_IMAGE_ACCEPTED;
  if (Hit(Flash, SIM_OP::CheckZero, Ic, Zone, Bank) != nullptr) {
    Good = false;
  }
  *Check = Good ? 1 : 0;
  return EFI_SUCCESS;
}

ORV_IMAGE_VERDICT SimJudgeImage(const SIM_FLASH *Flash, const SIM_IC_STATE &State, const UINT8 *Data,
                                UINTN Capacity, UINT8 Zone, UINT32 Skip, ORV_IMAGE_ACCEPTANCE *Acceptance) {
  *Acceptance = ORV_IMAGE_ACCEPTANCE{};
  IMAGE_INFO Info{};
  if (Data == nullptr || CheckImageInBank(Data, Capacity, true, &Info) != HEX_OK) {
    Acceptance->Verdict = ORV_IMAGE_MALFORMED;
    return Acceptance->Verdict;
  }
  Acceptance->ImageCounter = Info.SecurityCounter;
  Acceptance->ImageProduct = Info.Product;
  Acceptance->ImageZone = Info.Zone;
  if (State.HasKey) {
    Acceptance->IcProduct = State.Product;
    Acceptance->Floor = Zone == ZONE_OCM ? SimFloor(State) : 0;
    Acceptance->Verdict = KeyRules(Flash, State, Data, Info, Zone, Skip);
  }
  return Acceptance->Verdict;
}

EFI_STATUS SimCheckImageAcceptance(SIM_FLASH *Flash, UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                                   ORV_IMAGE_ACCEPTANCE *Acceptance) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::CheckImageAcceptance, Ic, Zone);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if ((Zone != ZONE_OCM && Zone != ZONE_CUSTOMER) || (Data == nullptr && Size != 0) || Acceptance == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  if (Size > State.Size[SimBankIndex(Zone, 0)]) {
    *Acceptance = ORV_IMAGE_ACCEPTANCE{};
    Acceptance->Verdict = ORV_IMAGE_TOO_LARGE;
    return EFI_SUCCESS;
  }
  const UINT32 Skip = State.HasKey ? SkippedRules(Flash, Ic, Zone) : 0;
  (void)SimJudgeImage(Flash, State, Data, Size, Zone, Skip, Acceptance);
  return EFI_SUCCESS;
}

EFI_STATUS SimGetIcSecurity(SIM_FLASH *Flash, UINT8 Ic, ORV_IC_SECURITY *Security) {
  EFI_STATUS Status = FaultOrUnknownIc(Flash, SIM_OP::GetIcSecurity, Ic);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Security == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const SIM_IC_STATE &State = Flash->Ic[Ic];
  *Security = ORV_IC_SECURITY{};
  if (State.HasKey) {
    Security->Enforced = SIM_ENFORCED_WITH_KEY;
    Security->Floor = SimFloor(State);
    Security->Product = State.Product;
    for (UINTN Index = 0; Index < ORV_KEY_ID_SIZE; Index++) Security->KeyId[Index] = State.Key.KeyId[Index];
  }
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
  // The chip's own rules, whatever a misbehaviour lets through: a floor is
  // only ever taken from an image the IC's key signed for its OCM zone.
  ORV_IMAGE_ACCEPTANCE Acceptance{};
  if (SimJudgeImage(Flash, State, State.Bank[Index], State.Size[Index], ZONE_OCM, 0, &Acceptance) !=
          ORV_IMAGE_ACCEPTED ||
      Acceptance.ImageCounter <= SimFloor(State)) {
    return false;
  }
  *NewFloor = Acceptance.ImageCounter;
  return true;
}

void SimWriteFloorPart(SIM_FLASH *Flash, UINT8 Ic, UINT32 NewFloor, UINTN Done) {
  if (!ValidIc(Flash, Ic)) return;
  SIM_IC_STATE &State = Flash->Ic[Ic];
  const UINTN Current = CurrentSlot(State.FloorStore);
  const UINTN Target = Current == 0 ? SIM_FLOOR_SLOT_SIZE : 0;
  // The sequence number only tells the writes apart for a reader of the file.
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
