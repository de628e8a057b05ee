// The simulator's flash model behind the flash protocol (see ModelFlash.h).
#include "ModelFlash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HexImage.h"

namespace {

ModelFlash *gModel = nullptr;

bool ValidBank(const SIM_FLASH &Sim, UINT8 Ic, UINT8 Zone, UINT8 Bank) {
  return Ic < Sim.IcCount && (Zone == ZONE_OCM || Zone == ZONE_CUSTOMER) && Bank <= 1;
}

EFI_STATUS EFIAPI MIcInit(struct _ORV_PATH_PROTOCOL *, UINT8 *Count) {
  return ModelFlash::Current().IcInit(Count);
}
EFI_STATUS EFIAPI MGetActiveSection(UINT8 Ic, UINT8 *Section) {
  return ModelFlash::Current().GetActiveSection(Ic, Section);
}
EFI_STATUS EFIAPI MSetActiveBank(UINT8 Ic, UINT8 Bank) {
  return ModelFlash::Current().SetActiveBank(Ic, Bank);
}
EFI_STATUS EFIAPI MGetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version) {
  return ModelFlash::Current().GetIcVersion(Ic, Section, Version);
}
EFI_STATUS EFIAPI MFlashPreOperation(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(FlashOp::FlashPreOperation, Ic);
}
EFI_STATUS EFIAPI MLockFlash(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(FlashOp::LockFlash, Ic);
}
EFI_STATUS EFIAPI MUnlockFlash(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(FlashOp::UnlockFlash, Ic);
}
EFI_STATUS EFIAPI MWriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, CONST UINT8 *Data) {
  return ModelFlash::Current().WriteBankData(Ic, Bank, Zone, Size, Data);
}
EFI_STATUS EFIAPI MReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  return ModelFlash::Current().ReadBankData(Ic, Bank, Zone, Size, Buffer);
}
EFI_STATUS EFIAPI MEraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  return ModelFlash::Current().EraseBank(Ic, Bank, Zone);
}
EFI_STATUS EFIAPI MHardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  return ModelFlash::Current().HardwareCheckBank(Ic, Bank, Zone, Check);
}
EFI_STATUS EFIAPI MFlashPostOperation(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(FlashOp::FlashPostOperation, Ic);
}
EFI_STATUS EFIAPI MICPostOperation(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(FlashOp::ICPostOperation, Ic);
}
UINT8 EFIAPI MGetIcAddress(UINT8 Index, UINTN) { return ModelFlash::Current().GetIcAddress(Index); }
EFI_STATUS EFIAPI MSetReduceFlags(UINT32 Mask) { return ModelFlash::Current().SetReduceFlags(Mask); }

}  // namespace

const char *FlashOpName(FlashOp Op) {
  static constexpr const char *NAMES[] = {
      "IcInit",         "GetActiveSection", "SetActiveBank",     "GetIcVersion",
      "FlashPreOperation", "lockFlash",     "UnlockFlash",       "WriteBankData",
      "ReadBankData",   "EraseBank",        "HardwareCheckBank", "FlashPostOperation",
      "ICPostOperation", "GetIcAddress",    "SetReduceFlags"};
  return NAMES[static_cast<size_t>(Op)];
}

const char *CutPartName(CutPart Part) {
  switch (Part) {
    case CutPart::None: return "none";
    case CutPart::Half: return "half";
    case CutPart::AllButLast: return "all-but-last";
    case CutPart::Done: return "done";
  }
  return "?";
}

std::vector<UINT8> MakeZoneImage(UINT64 Version, size_t PayloadLength, UINT8 Seed) {
  std::vector<UINT8> Image(IMAGE_HEADER_SIZE + PayloadLength);
  UINT32 State = 0x9E3779B9u ^ Seed;
  for (size_t Index = IMAGE_HEADER_SIZE; Index < Image.size(); Index++) {
    State = State * 1103515245u + 12345u;
    Image[Index] = static_cast<UINT8>(State >> 16);
  }
  BuildImageHeader(Image.data(), Version, Image.data() + IMAGE_HEADER_SIZE,
                   static_cast<UINT32>(PayloadLength));
  return Image;
}

std::string ModelFlash::ConfigText(UINT8 IcCount, UINT32 OcmBankSize, UINT32 CustomerBankSize,
                                   const std::string &Extra) {
  return "[FlashSim]\nIcCount = " + std::to_string(IcCount) +
         "\nOcmBankSize = " + std::to_string(OcmBankSize) +
         "\nCustomerBankSize = " + std::to_string(CustomerBankSize) + "\nTiming = off\n" + Extra;
}

ModelFlash::ModelFlash(const std::string &ConfigIni) {
  TEXT_ERROR Error{};
  if (EFI_ERROR(ParseSimConfig(ConfigIni.data(), ConfigIni.size(), &Config_, &Error))) {
    std::fprintf(stderr, "ModelFlash: FlashSim.ini line %u: %s\n", unsigned(Error.Line),
                 Error.Reason);
    std::abort();
  }
  // Zero latency: timing figures stay in the configuration but nothing waits.
  SimFlashSetup(&Sim_, &Config_, &Faults_, nullptr);
  Sim_.Memo = &Memo_;
  for (UINT8 Ic = 0; Ic < Sim_.IcCount; Ic++) {
    for (UINTN Index = 0; Index < SIM_BANKS_PER_IC; Index++) {
      Memory_[Ic][Index].assign(Sim_.Ic[Ic].Size[Index], 0xFF);
      Sim_.Ic[Ic].Bank[Index] = Memory_[Ic][Index].data();
    }
  }
  Protocol.IcInit = MIcInit;
  Protocol.GetActiveSection = MGetActiveSection;
  Protocol.SetActiveBank = MSetActiveBank;
  Protocol.GetIcVersion = MGetIcVersion;
  Protocol.FlashPreOperation = MFlashPreOperation;
  Protocol.lockFlash = MLockFlash;
  Protocol.UnlockFlash = MUnlockFlash;
  Protocol.WriteBankData = MWriteBankData;
  Protocol.ReadBankData = MReadBankData;
  Protocol.EraseBank = MEraseBank;
  Protocol.HardwareCheckBank = MHardwareCheckBank;
  Protocol.FlashPostOperation = MFlashPostOperation;
  Protocol.ICPostOperation = MICPostOperation;
  Protocol.GetIcAddress = MGetIcAddress;
  Protocol.SetReduceFlags = MSetReduceFlags;
  gModel = this;
}

ModelFlash::~ModelFlash() {
  if (gModel == this) gModel = nullptr;
}

ModelFlash &ModelFlash::Current() {
  if (gModel == nullptr) {
    std::fprintf(stderr, "ModelFlash: a flash call with no model\n");
    std::abort();
  }
  return *gModel;
}

size_t ModelFlash::Count(FlashOp Op, UINT8 Ic, UINT8 Bank, UINT8 Zone) const {
  size_t N = 0;
  for (const FlashCall &Call : Calls) {
    N += Call.Op == Op && (Ic == FLASH_NO_ARG || Call.Ic == Ic) &&
                 (Bank == FLASH_NO_ARG || Call.Bank == Bank) &&
                 (Zone == FLASH_NO_ARG || Call.Zone == Zone)
             ? 1
             : 0;
  }
  return N;
}

UINT32 ModelFlash::BankSize(UINT8 Ic, UINT8 Zone, UINT8 Bank) const {
  return ValidBank(Sim_, Ic, Zone, Bank) ? Sim_.Ic[Ic].Size[SimBankIndex(Zone, Bank)] : 0;
}

UINT8 *ModelFlash::BankData(UINT8 Ic, UINT8 Zone, UINT8 Bank) {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) std::abort();
  return Memory_[Ic][SimBankIndex(Zone, Bank)].data();
}

std::vector<UINT8> ModelFlash::Bank(UINT8 Ic, UINT8 Zone, UINT8 Bank) const {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) std::abort();
  return Memory_[Ic][SimBankIndex(Zone, Bank)];
}

bool ModelFlash::BankStartsWith(UINT8 Ic, UINT8 Zone, UINT8 Bank,
                                const std::vector<UINT8> &Data) const {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) return false;
  const std::vector<UINT8> &Content = Memory_[Ic][SimBankIndex(Zone, Bank)];
  return Data.size() <= Content.size() &&
         (Data.empty() || std::memcmp(Content.data(), Data.data(), Data.size()) == 0);
}

bool ModelFlash::BankHoldsValidImage(UINT8 Ic, UINT8 Zone, UINT8 Bank) const {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) return false;
  const std::vector<UINT8> &Content = Memory_[Ic][SimBankIndex(Zone, Bank)];
  IMAGE_INFO Info{};
  return CheckImageInBank(Content.data(), Content.size(), true, &Info) == HEX_OK;
}

void ModelFlash::Program(UINT8 Ic, UINT8 Zone, UINT8 Bank, const std::vector<UINT8> &Data) {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) std::abort();
  std::vector<UINT8> &Content = Memory_[Ic][SimBankIndex(Zone, Bank)];
  if (Data.size() > Content.size()) {
    std::fprintf(stderr, "ModelFlash: %zu bytes do not fit a bank of %zu\n", Data.size(),
                 Content.size());
    std::abort();
  }
  std::memset(Content.data(), 0xFF, Content.size());
  if (!Data.empty()) std::memcpy(Content.data(), Data.data(), Data.size());
}

bool ModelFlash::SetFaults(const std::string &FaultsIni) {
  FAULT_RULES Rules{};
  TEXT_ERROR Error{};
  if (EFI_ERROR(ParseFaultRules(FaultsIni.data(), FaultsIni.size(), &Rules, &Error))) {
    return false;
  }
  Faults_ = Rules;
  return true;
}

void ModelFlash::ProvisionKey(UINT8 Ic, const IMAGE_PUBLIC_KEY &Key) {
  if (Ic >= Sim_.IcCount) std::abort();
  Sim_.Ic[Ic].HasKey = true;
  Sim_.Ic[Ic].Key = Key;
  std::memset(Sim_.Ic[Ic].FloorStore, 0xFF, SIM_FLOOR_STORE_SIZE);
}

bool ModelFlash::RaiseFloor(UINT8 Ic) {
  UINT32 NewFloor = 0;
  if (!SimFloorToRaise(&Sim_, Ic, &NewFloor)) return true;
  FloorWrites_++;
  if (CutHere()) {
    // The driver writes the slot in 4-byte words.
    SimWriteFloorPart(&Sim_, Ic, NewFloor, PartBytes(SIM_FLOOR_SLOT_SIZE, 4));
    PowerLost_ = true;
    CutAtFloor_ = "floor write IC " + std::to_string(Ic);
    return false;
  }
  SimWriteFloorPart(&Sim_, Ic, NewFloor, SIM_FLOOR_SLOT_SIZE);
  return true;
}

void ModelFlash::CutPowerAt(size_t Nth, CutPart Part) {
  CutAt_ = Nth;
  CutPart_ = Part;
}

void ModelFlash::Reboot() {
  PowerLost_ = false;
  Operations_ = 0;
  FloorWrites_ = 0;
  CutAtFloor_.clear();
  CutAt_ = 0;
  Calls.clear();
  for (UINT8 Ic = 0; Ic < Sim_.IcCount; Ic++) {
    Sim_.Ic[Ic].PassOpen = false;
    Sim_.Ic[Ic].Unlocked = false;
  }
}

EFI_STATUS ModelFlash::Record(FlashCall Call) {
  Calls.push_back(Call);
  return Call.Status;
}

bool ModelFlash::CutHere() {
  Operations_++;
  return CutAt_ != 0 && Operations_ == CutAt_;
}

UINTN ModelFlash::PartBytes(UINTN Length, UINT32 Unit) const {
  if (Unit == 0) Unit = 1;
  UINTN Units = (Length + Unit - 1) / Unit;
  UINTN Keep = 0;
  switch (CutPart_) {
    case CutPart::None: Keep = 0; break;
    case CutPart::Half: Keep = Units / 2; break;
    case CutPart::AllButLast: Keep = Units == 0 ? 0 : Units - 1; break;
    case CutPart::Done: Keep = Units; break;
  }
  UINTN Bytes = Keep * Unit;
  return Bytes < Length ? Bytes : Length;
}

// ---- Operations ---------------------------------------------------------------------

EFI_STATUS ModelFlash::IcInit(UINT8 *Count) {
  if (PowerLost_) return Record({.Op = FlashOp::IcInit, .Status = EFI_DEVICE_ERROR, .PowerLost = true});
  // The driver reads its fault file again at every IcInit.
  for (UINTN Index = 0; Index < Faults_.Count; Index++) Faults_.Rule[Index].Seen = 0;
  if (const FAULT_RULE *Rule = FaultHit(&Faults_, SIM_OP::IcInit, FAULT_ANY, FAULT_ANY, FAULT_ANY)) {
    return Record({.Op = FlashOp::IcInit, .Status = Rule->Status});
  }
  if (Count == nullptr) return Record({.Op = FlashOp::IcInit, .Status = EFI_INVALID_PARAMETER});
  for (UINT8 Ic = 0; Ic < Sim_.IcCount; Ic++) {
    Sim_.Ic[Ic].PassOpen = false;
    Sim_.Ic[Ic].Unlocked = false;
  }
  // A floor rise a reset cut off is made up for, as the driver does.
  for (UINT8 Ic = 0; Ic < Sim_.IcCount; Ic++) {
    if (!RaiseFloor(Ic)) {
      return Record({.Op = FlashOp::IcInit, .Status = EFI_DEVICE_ERROR, .PowerLost = true});
    }
  }
  *Count = Sim_.IcCount;
  return Record({.Op = FlashOp::IcInit});
}

EFI_STATUS ModelFlash::GetActiveSection(UINT8 Ic, UINT8 *Section) {
  FlashCall Call{FlashOp::GetActiveSection, Ic};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimGetActiveSection(&Sim_, Ic, Section);
  return Record(Call);
}

EFI_STATUS ModelFlash::SetActiveBank(UINT8 Ic, UINT8 Bank) {
  FlashCall Call{FlashOp::SetActiveBank, Ic, Bank};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  if (CutHere()) {
    // A switch is a single step: it happened or it did not.
    if (CutPart_ == CutPart::Done) (void)SimSetActiveBank(&Sim_, Ic, Bank);
    PowerLost_ = true;
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimSetActiveBank(&Sim_, Ic, Bank);
  if (!EFI_ERROR(Call.Status) && !RaiseFloor(Ic)) {
    // The power went while the floor was written: the call never returned.
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
  }
  return Record(Call);
}

EFI_STATUS ModelFlash::GetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version) {
  FlashCall Call{FlashOp::GetIcVersion, Ic, Section};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimGetIcVersion(&Sim_, Ic, Section, Version);
  return Record(Call);
}

EFI_STATUS ModelFlash::IcOperation(FlashOp Op, UINT8 Ic) {
  FlashCall Call{Op, Ic};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  switch (Op) {
    case FlashOp::FlashPreOperation: Call.Status = SimFlashPreOperation(&Sim_, Ic); break;
    case FlashOp::LockFlash: Call.Status = SimLockFlash(&Sim_, Ic); break;
    case FlashOp::UnlockFlash: Call.Status = SimUnlockFlash(&Sim_, Ic); break;
    case FlashOp::FlashPostOperation: Call.Status = SimFlashPostOperation(&Sim_, Ic); break;
    case FlashOp::ICPostOperation: Call.Status = SimIcPostOperation(&Sim_, Ic); break;
    default: Call.Status = EFI_UNSUPPORTED; break;
  }
  return Record(Call);
}

EFI_STATUS ModelFlash::WriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                                     const UINT8 *Data) {
  FlashCall Call{FlashOp::WriteBankData, Ic, Bank, Zone, Size};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  if (CutHere()) {
    // The model's own write, with its rules, for the pages programmed before
    // the cut.
    (void)SimWriteBankDataPart(&Sim_, Ic, Bank, Zone, Size, Data,
                               PartBytes(Size, Config_.Timing.PageSize));
    PowerLost_ = true;
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimWriteBankData(&Sim_, Ic, Bank, Zone, Size, Data);
  return Record(Call);
}

EFI_STATUS ModelFlash::ReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  FlashCall Call{FlashOp::ReadBankData, Ic, Bank, Zone, Size};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimReadBankData(&Sim_, Ic, Bank, Zone, Size, Buffer);
  return Record(Call);
}

EFI_STATUS ModelFlash::EraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  FlashCall Call{FlashOp::EraseBank, Ic, Bank, Zone};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  if (CutHere()) {
    UINTN Length = ValidBank(Sim_, Ic, Zone, Bank) ? BankSize(Ic, Zone, Bank) : 0;
    (void)SimEraseBankPart(&Sim_, Ic, Bank, Zone, PartBytes(Length, Config_.Timing.SectorSize));
    PowerLost_ = true;
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimEraseBank(&Sim_, Ic, Bank, Zone);
  return Record(Call);
}

EFI_STATUS ModelFlash::HardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  FlashCall Call{FlashOp::HardwareCheckBank, Ic, Bank, Zone, Check != nullptr ? *Check : 0u};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimHardwareCheckBank(&Sim_, Ic, Bank, Zone, Check);
  return Record(Call);
}

UINT8 ModelFlash::GetIcAddress(UINT8 Index) {
  FlashCall Call{FlashOp::GetIcAddress, Index};
  if (PowerLost_) {
    Call.PowerLost = true;
    Record(Call);
    return 0;
  }
  UINT8 Address = SimGetIcAddress(&Sim_, Index);
  Call.Size = Address;
  Record(Call);
  return Address;
}

EFI_STATUS ModelFlash::SetReduceFlags(UINT32 Mask) {
  FlashCall Call{.Op = FlashOp::SetReduceFlags, .Size = Mask};
  if (PowerLost_) {
    Call.Status = EFI_DEVICE_ERROR;
    Call.PowerLost = true;
    return Record(Call);
  }
  Call.Status = SimSetReduceFlags(&Sim_, Mask);
  return Record(Call);
}
