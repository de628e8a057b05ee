// The simulator's flash model behind the flash protocol (see ModelFlash.h).
#include "ModelFlash.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "HexImage.h"

namespace {

ModelFlash *gModel = nullptr;

bool ValidBank(const SIM_FLASH &Sim, UINT8 Ic, UINT8 Zone, UINT8 Bank) {
  return Ic < Sim.IcCount && (Zone == ZONE_OCM || Zone == ZONE_CUSTOMER) && Bank <= 1;
}

EFI_STATUS EFIAPI MIcInit(struct _ORV_PATH_PROTOCOL *Path, UINT8 *Count) {
  return ModelFlash::Current().IcInit(Path, Count);
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
  return ModelFlash::Current().IcOperation(SIM_OP::FlashPreOperation, Ic);
}
EFI_STATUS EFIAPI MLockFlash(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(SIM_OP::lockFlash, Ic);
}
EFI_STATUS EFIAPI MUnlockFlash(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(SIM_OP::UnlockFlash, Ic);
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
  return ModelFlash::Current().IcOperation(SIM_OP::FlashPostOperation, Ic);
}
EFI_STATUS EFIAPI MICPostOperation(UINT8 Ic) {
  return ModelFlash::Current().IcOperation(SIM_OP::ICPostOperation, Ic);
}
UINT8 EFIAPI MGetIcAddress(UINT8 Index, UINTN) { return ModelFlash::Current().GetIcAddress(Index); }
EFI_STATUS EFIAPI MSetReduceFlags(UINT32 Mask) { return ModelFlash::Current().SetReduceFlags(Mask); }
EFI_STATUS EFIAPI MCheckImageAcceptance(UINT8 Ic, UINT8 Zone, CONST UINT8 *Data, UINTN Size,
                                        ORV_IMAGE_ACCEPTANCE *Acceptance) {
  return ModelFlash::Current().CheckImageAcceptance(Ic, Zone, Data, Size, Acceptance);
}
EFI_STATUS EFIAPI MGetIcSecurity(UINT8 Ic, ORV_IC_SECURITY *Security) {
  return ModelFlash::Current().GetIcSecurity(Ic, Security);
}

}  // namespace

std::string Describe(const FlashCall &Call) {
  std::string Text = SimOpName(Call.Op);
  if (Call.Ic != FLASH_NO_ARG) Text += " IC " + std::to_string(Call.Ic);
  if (Call.Bank != FLASH_NO_ARG) Text += " bank " + std::to_string(Call.Bank);
  if (Call.Zone != FLASH_NO_ARG) Text += Call.Zone == ZONE_OCM ? " ocm" : " customer";
  if (Call.Size != 0) Text += " size " + std::to_string(Call.Size);
  if (EFI_ERROR(Call.Status)) {
    char Status[32];
    std::snprintf(Status, sizeof Status, " status %llX",
                  static_cast<unsigned long long>(Call.Status));
    Text += Status;
  }
  if (Call.Faulted) Text += " (scripted)";
  if (Call.PowerLost) Text += " (power lost)";
  return Text;
}

void PrintTo(const FlashCall &Call, std::ostream *Out) { *Out << Describe(Call); }

FAULT_RULE &AddFaultRule(FAULT_RULES &Rules, SIM_OP Op, FaultWhere Where, EFI_STATUS Status) {
  if (Rules.Count == FAULT_MAX_RULES) {
    std::fprintf(stderr, "fault rules: more than %zu\n", static_cast<size_t>(FAULT_MAX_RULES));
    std::abort();
  }
  FAULT_RULE &Rule = Rules.Rule[Rules.Count++];
  Rule = FAULT_RULE{Op, Where.Ic, Where.Zone, Where.Bank, Where.Call, 0, Status, 0x20, 0x01, 0,
                    0,  CUT_PART::All};
  return Rule;
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
  Policy.Revision = ORV_FLASH_POLICY_PROTOCOL_REVISION;
  Policy.CheckImageAcceptance = MCheckImageAcceptance;
  Policy.GetIcSecurity = MGetIcSecurity;
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

size_t ModelFlash::Count(SIM_OP Op, UINT8 Ic, UINT8 Bank, UINT8 Zone) const {
  return static_cast<size_t>(std::count_if(Calls.begin(), Calls.end(), [&](const FlashCall &C) {
    return C.Op == Op && (Ic == FLASH_NO_ARG || C.Ic == Ic) &&
           (Bank == FLASH_NO_ARG || C.Bank == Bank) && (Zone == FLASH_NO_ARG || C.Zone == Zone);
  }));
}

size_t ModelFlash::Count(const FlashCall &Exact) const {
  return static_cast<size_t>(std::count(Calls.begin(), Calls.end(), Exact));
}

std::vector<FlashCall> ModelFlash::TakeRefusals() {
  std::vector<FlashCall> Taken;
  Taken.swap(Refusals_);
  return Taken;
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
  return Data.size() <= Content.size() && std::equal(Data.begin(), Data.end(), Content.begin());
}

bool ModelFlash::BankHoldsValidImage(UINT8 Ic, UINT8 Zone, UINT8 Bank) const {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) return false;
  const std::vector<UINT8> &Content = Memory_[Ic][SimBankIndex(Zone, Bank)];
  IMAGE_INFO Info{};
  return CheckImageInBank(Content.data(), Content.size(), true, &Info) == HEX_OK;
}

bool ModelFlash::Erased(UINT8 Ic, UINT8 Zone, UINT8 Bank) const {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) return false;
  const std::vector<UINT8> &Content = Memory_[Ic][SimBankIndex(Zone, Bank)];
  return std::all_of(Content.begin(), Content.end(), [](UINT8 Byte) { return Byte == 0xFF; });
}

void ModelFlash::Program(UINT8 Ic, UINT8 Zone, UINT8 Bank, const std::vector<UINT8> &Data) {
  if (!ValidBank(Sim_, Ic, Zone, Bank)) std::abort();
  std::vector<UINT8> &Content = Memory_[Ic][SimBankIndex(Zone, Bank)];
  if (Data.size() > Content.size()) {
    std::fprintf(stderr, "ModelFlash: %zu bytes do not fit a bank of %zu\n", Data.size(),
                 Content.size());
    std::abort();
  }
  std::fill(Content.begin(), Content.end(), 0xFF);
  std::copy(Data.begin(), Data.end(), Content.begin());
}

void ModelFlash::Fail(SIM_OP Op, EFI_STATUS Status, FaultWhere Where) {
  AddFaultRule(Faults_, Op, Where, Status);
}

void ModelFlash::CorruptRead(UINT32 Offset, UINT8 Xor, FaultWhere Where) {
  FAULT_RULE &Rule = AddFaultRule(Faults_, SIM_OP::CorruptRead, Where);
  Rule.Offset = Offset;
  Rule.Xor = Xor;
}

void ModelFlash::CheckZero(FaultWhere Where) { AddFaultRule(Faults_, SIM_OP::CheckZero, Where); }

bool ModelFlash::SetFaults(const std::string &FaultsIni) {
  FAULT_RULES Rules{};
  TEXT_ERROR Error{};
  if (EFI_ERROR(ParseFaultRules(FaultsIni.data(), FaultsIni.size(), &Rules, &Error)) ||
      Faults_.Count + Rules.Count > FAULT_MAX_RULES) {
    return false;
  }
  for (UINTN Index = 0; Index < Rules.Count; Index++) {
    Faults_.Rule[Faults_.Count++] = Rules.Rule[Index];
  }
  return true;
}

void ModelFlash::ProvisionKey(UINT8 Ic, const IMAGE_PUBLIC_KEY &Key, UINT32 Product) {
  if (Ic >= Sim_.IcCount) std::abort();
  Sim_.Ic[Ic].HasKey = true;
  Sim_.Ic[Ic].Key = Key;
  Sim_.Ic[Ic].Product = Product;
  std::memset(Sim_.Ic[Ic].FloorStore, 0xFF, SIM_FLOOR_STORE_SIZE);
  std::memset(SavedFloor_[Ic], 0xFF, SIM_FLOOR_STORE_SIZE);
}

void ModelFlash::SaveFloor(UINT8 Ic) {
  SIM_IC_STATE &State = Sim_.Ic[Ic];
  if (!State.FloorDirty) return;
  std::memcpy(SavedFloor_[Ic], State.FloorStore, SIM_FLOOR_STORE_SIZE);
  State.FloorDirty = false;
}

bool ModelFlash::RaiseFloor(UINT8 Ic) {
  UINT32 NewFloor = 0;
  if (!SimFloorToRaise(&Sim_, Ic, &NewFloor)) return true;
  FloorWrites_++;
  if (++Operations_ == CutAt_) {
    // The driver writes the slot in 4-byte words.
    SimWriteFloorPart(&Sim_, Ic, NewFloor, SimCutBytes(SIM_FLOOR_SLOT_SIZE, 4, CutPart_));
    SaveFloor(Ic);
    PowerLost_ = true;
    CutAtFloor_ = "floor write IC " + std::to_string(Ic);
    return false;
  }
  SimWriteFloorPart(&Sim_, Ic, NewFloor, SIM_FLOOR_SLOT_SIZE);
  SaveFloor(Ic);
  return true;
}

void ModelFlash::CutPowerAt(size_t Nth, CUT_PART Part) {
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
    // The chip's memory of its floor is what was saved.
    if (Sim_.Ic[Ic].HasKey) std::memcpy(Sim_.Ic[Ic].FloorStore, SavedFloor_[Ic], SIM_FLOOR_STORE_SIZE);
  }
}

EFI_STATUS ModelFlash::Record(const FlashCall &Call) {
  Calls.push_back(Call);
  if (Journal != nullptr) Journal->push_back(Call.Op);
  if (Call.Refused()) Refusals_.push_back(Call);
  return Call.Status;
}

EFI_STATUS ModelFlash::Run(FlashCall Made, FaultWhere Args,
                           const std::function<EFI_STATUS()> &Model,
                           const std::function<void(CUT_PART)> &Cut) {
  if (PowerLost_) {
    Made.Status = EFI_DEVICE_ERROR;
    Made.PowerLost = true;
    return Record(Made);
  }
  if (Cut && ++Operations_ == CutAt_) {
    Cut(CutPart_);
    PowerLost_ = true;
    Made.Status = EFI_DEVICE_ERROR;
    Made.PowerLost = true;
    return Record(Made);
  }
  // Whether a fault rule fails this call, asked of a copy of the rules so
  // that the model, which matches them itself, counts the call only once.
  if (Faults_.Count != 0) {
    FAULT_RULES Copy = Faults_;
    Made.Faulted = FaultHit(&Copy, Made.Op, Args.Ic, Args.Zone, Args.Bank) != nullptr;
  }
  Made.Status = Model();
  // A floor write inside the call (a switch, IcInit) can take the power with it.
  Made.PowerLost = PowerLost_;
  return Record(Made);
}

// ---- Operations ---------------------------------------------------------------------

EFI_STATUS ModelFlash::IcInit(const void *Path, UINT8 *Count) {
  IcInitPath = Path;
  // The driver reads its fault file again at every IcInit.
  for (UINTN Index = 0; Index < Faults_.Count; Index++) Faults_.Rule[Index].Seen = 0;
  return Run({SIM_OP::IcInit}, {}, [&]() -> EFI_STATUS {
    const FAULT_RULE *Rule = FaultHit(&Faults_, SIM_OP::IcInit, FAULT_ANY, FAULT_ANY, FAULT_ANY);
    if (Rule != nullptr) return Rule->Status;
    if (Count == nullptr) return EFI_INVALID_PARAMETER;
    for (UINT8 Ic = 0; Ic < Sim_.IcCount; Ic++) {
      Sim_.Ic[Ic].PassOpen = false;
      Sim_.Ic[Ic].Unlocked = false;
    }
    // A floor rise a reset cut off is made up for, as the driver does.
    for (UINT8 Ic = 0; Ic < Sim_.IcCount; Ic++) {
      if (!RaiseFloor(Ic)) return EFI_DEVICE_ERROR;
    }
    *Count = ReportedIcCount.value_or(Sim_.IcCount);
    return EFI_SUCCESS;
  });
}

EFI_STATUS ModelFlash::GetActiveSection(UINT8 Ic, UINT8 *Section) {
  return Run({SIM_OP::GetActiveSection, Ic}, {.Ic = Ic},
             [&]() -> EFI_STATUS { return SimGetActiveSection(&Sim_, Ic, Section); });
}

EFI_STATUS ModelFlash::SetActiveBank(UINT8 Ic, UINT8 Bank) {
  return Run(
      {SIM_OP::SetActiveBank, Ic, Bank}, {.Ic = Ic, .Bank = Bank},
      [&]() -> EFI_STATUS {
        EFI_STATUS Status = SimSetActiveBank(&Sim_, Ic, Bank);
        // The power going while the floor is written: the call never returns.
        if (!EFI_ERROR(Status) && !RaiseFloor(Ic)) return EFI_DEVICE_ERROR;
        return Status;
      },
      [&](CUT_PART Part) {
        // A switch is a single step: it happened or it did not.
        if (SimCutBytes(1, 1, Part) == 1) (void)SimSetActiveBank(&Sim_, Ic, Bank);
      });
}

EFI_STATUS ModelFlash::GetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version) {
  return Run({SIM_OP::GetIcVersion, Ic, Section}, {.Ic = Ic, .Bank = Section},
             [&]() -> EFI_STATUS { return SimGetIcVersion(&Sim_, Ic, Section, Version); });
}

EFI_STATUS ModelFlash::IcOperation(SIM_OP Op, UINT8 Ic) {
  return Run({Op, Ic}, {.Ic = Ic}, [&]() -> EFI_STATUS {
    switch (Op) {
      case SIM_OP::FlashPreOperation: return SimFlashPreOperation(&Sim_, Ic);
      case SIM_OP::lockFlash: return SimLockFlash(&Sim_, Ic);
      case SIM_OP::UnlockFlash: return SimUnlockFlash(&Sim_, Ic);
      case SIM_OP::FlashPostOperation: return SimFlashPostOperation(&Sim_, Ic);
      case SIM_OP::ICPostOperation: return SimIcPostOperation(&Sim_, Ic);
      default: return EFI_UNSUPPORTED;
    }
  });
}

EFI_STATUS ModelFlash::WriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                                     const UINT8 *Data) {
  return Run(
      {SIM_OP::WriteBankData, Ic, Bank, Zone, Size}, {Ic, Zone, Bank},
      [&]() -> EFI_STATUS { return SimWriteBankData(&Sim_, Ic, Bank, Zone, Size, Data); },
      [&](CUT_PART Part) {
        // The model's own write, with its rules, for the pages programmed
        // before the cut.
        (void)SimWriteBankDataPart(&Sim_, Ic, Bank, Zone, Size, Data,
                                   SimCutBytes(Size, Config_.Timing.PageSize, Part));
      });
}

EFI_STATUS ModelFlash::ReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  return Run({SIM_OP::ReadBankData, Ic, Bank, Zone, Size}, {Ic, Zone, Bank},
             [&]() -> EFI_STATUS { return SimReadBankData(&Sim_, Ic, Bank, Zone, Size, Buffer); });
}

EFI_STATUS ModelFlash::EraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  return Run(
      {SIM_OP::EraseBank, Ic, Bank, Zone}, {Ic, Zone, Bank},
      [&]() -> EFI_STATUS { return SimEraseBank(&Sim_, Ic, Bank, Zone); },
      [&](CUT_PART Part) {
        const UINTN Length = BankSize(Ic, Zone, Bank);
        (void)SimEraseBankPart(&Sim_, Ic, Bank, Zone,
                               SimCutBytes(Length, Config_.Timing.SectorSize, Part));
      });
}

EFI_STATUS ModelFlash::HardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  const UINT8 Entered = Check != nullptr ? *Check : 0;
  return Run({SIM_OP::HardwareCheckBank, Ic, Bank, Zone, Entered}, {Ic, Zone, Bank},
             [&]() -> EFI_STATUS {
               EFI_STATUS Status = SimHardwareCheckBank(&Sim_, Ic, Bank, Zone, Check);
               if (CheckLeaves && Check != nullptr) {
                 *Check = *CheckLeaves == CHECK_AS_ENTERED ? Entered
                                                           : static_cast<UINT8>(*CheckLeaves);
               }
               return Status;
             });
}

UINT8 ModelFlash::GetIcAddress(UINT8 Index) {
  UINT8 Address = 0;
  (void)Run({SIM_OP::GetIcAddress, Index}, {.Ic = Index}, [&]() -> EFI_STATUS {
    Address = SimGetIcAddress(&Sim_, Index);
    return EFI_SUCCESS;
  });
  Calls.back().Size = Address;
  return Address;
}

EFI_STATUS ModelFlash::SetReduceFlags(UINT32 Mask) {
  return Run({.Op = SIM_OP::SetReduceFlags, .Size = Mask}, {},
             [&]() -> EFI_STATUS { return SimSetReduceFlags(&Sim_, Mask); });
}

EFI_STATUS ModelFlash::CheckImageAcceptance(UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                                            ORV_IMAGE_ACCEPTANCE *Acceptance) {
  return Run({SIM_OP::CheckImageAcceptance, Ic, FLASH_NO_ARG, Zone, Size}, {.Ic = Ic, .Zone = Zone},
             [&]() -> EFI_STATUS { return SimCheckImageAcceptance(&Sim_, Ic, Zone, Data, Size, Acceptance); });
}

EFI_STATUS ModelFlash::GetIcSecurity(UINT8 Ic, ORV_IC_SECURITY *Security) {
  return Run({SIM_OP::GetIcSecurity, Ic}, {.Ic = Ic},
             [&]() -> EFI_STATUS { return SimGetIcSecurity(&Sim_, Ic, Security); });
}
