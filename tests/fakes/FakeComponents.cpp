// Scriptable fake components (see FakeComponents.h).
#include "FakeComponents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "FakeFirmware.h"

namespace {

FakeFlash *gFlash = nullptr;
FakeImage *gImage = nullptr;
FakePath *gPath = nullptr;

std::string Hex(UINT64 Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "0x%llx", static_cast<unsigned long long>(Value));
  return Text;
}

std::string Args(std::initializer_list<UINT64> Values) {
  std::string Out;
  for (UINT64 Value : Values) {
    if (!Out.empty()) Out += ",";
    Out += std::to_string(Value);
  }
  return Out;
}

// Flash trampolines.
EFI_STATUS EFIAPI FIcInit(ORV_PATH_PROTOCOL *Path, UINT8 *Count) {
  return FakeFlash::Current().IcInit(Path, Count);
}
EFI_STATUS EFIAPI FGetActiveSection(UINT8 Ic, UINT8 *Section) {
  return FakeFlash::Current().GetActiveSection(Ic, Section);
}
EFI_STATUS EFIAPI FSetActiveBank(UINT8 Ic, UINT8 Bank) {
  return FakeFlash::Current().SetActiveBank(Ic, Bank);
}
EFI_STATUS EFIAPI FGetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version) {
  return FakeFlash::Current().GetIcVersion(Ic, Section, Version);
}
EFI_STATUS EFIAPI FFlashPreOperation(UINT8 Ic) {
  return FakeFlash::Current().IcOperation("FlashPreOperation", Ic);
}
EFI_STATUS EFIAPI FLockFlash(UINT8 Ic) { return FakeFlash::Current().IcOperation("lockFlash", Ic); }
EFI_STATUS EFIAPI FUnlockFlash(UINT8 Ic) {
  return FakeFlash::Current().IcOperation("UnlockFlash", Ic);
}
EFI_STATUS EFIAPI FWriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, CONST UINT8 *Data) {
  return FakeFlash::Current().WriteBankData(Ic, Bank, Zone, Size, Data);
}
EFI_STATUS EFIAPI FReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  return FakeFlash::Current().ReadBankData(Ic, Bank, Zone, Size, Buffer);
}
EFI_STATUS EFIAPI FEraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  return FakeFlash::Current().EraseBank(Ic, Bank, Zone);
}
EFI_STATUS EFIAPI FHardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  return FakeFlash::Current().HardwareCheckBank(Ic, Bank, Zone, Check);
}
EFI_STATUS EFIAPI FFlashPostOperation(UINT8 Ic) {
  return FakeFlash::Current().IcOperation("FlashPostOperation", Ic);
}
EFI_STATUS EFIAPI FICPostOperation(UINT8 Ic) {
  return FakeFlash::Current().IcOperation("ICPostOperation", Ic);
}
UINT8 EFIAPI FGetIcAddress(UINT8 Index, UINTN Reserved) {
  return FakeFlash::Current().GetIcAddress(Index, Reserved);
}
EFI_STATUS EFIAPI FSetReduceFlags(UINT32 Mask) { return FakeFlash::Current().SetReduceFlags(Mask); }

// Image trampolines.
EFI_STATUS EFIAPI ILoadImageFile(EFI_HANDLE ImageHandle, CHAR16 *Path, ORV_IMAGE_HANDLE *Image) {
  return FakeImage::Current().LoadImageFile(ImageHandle, Path, Image);
}
EFI_STATUS EFIAPI IGetImageData(ORV_IMAGE_HANDLE Image, UINTN *Size, UINT8 **Data) {
  return FakeImage::Current().GetImageData(Image, Size, Data);
}
EFI_STATUS EFIAPI IGetImageVersion(ORV_IMAGE_HANDLE Image, UINT64 *Version) {
  return FakeImage::Current().GetImageVersion(Image, Version);
}
EFI_STATUS EFIAPI IFreeImage(ORV_IMAGE_HANDLE Image) {
  return FakeImage::Current().FreeImage(Image);
}

// Path trampolines.
EFI_STATUS EFIAPI PPathInit() {
  FakePath::Current().Calls.push_back("PathInit");
  return FakePath::Current().Script.Next("PathInit");
}
EFI_STATUS EFIAPI PPathDeinit() {
  FakePath::Current().Calls.push_back("PathDeinit");
  return FakePath::Current().Script.Next("PathDeinit");
}

int CountPrefix(const std::vector<std::string> &Calls, const std::string &Prefix) {
  int Count = 0;
  for (const auto &Call : Calls) Count += Call.rfind(Prefix, 0) == 0 ? 1 : 0;
  return Count;
}

}  // namespace

// ---- CallScript ---------------------------------------------------------------

void CallScript::Fail(const std::string &Op, EFI_STATUS Status, int Nth) {
  Failures_[Op].push_back({Status, Nth == 0 ? 0 : Counts_[Op] + Nth});
}

EFI_STATUS CallScript::Next(const std::string &Op) {
  int Call = ++Counts_[Op];
  for (const Failure &F : Failures_[Op]) {
    if (F.Nth == 0 || F.Nth == Call) return F.Status;
  }
  return EFI_SUCCESS;
}

int CallScript::Count(const std::string &Op) const {
  auto It = Counts_.find(Op);
  return It == Counts_.end() ? 0 : It->second;
}

// ---- FakeFlash ----------------------------------------------------------------

FakeFlash::FakeFlash() {
  gFlash = this;
  Protocol.IcInit = FIcInit;
  Protocol.GetActiveSection = FGetActiveSection;
  Protocol.SetActiveBank = FSetActiveBank;
  Protocol.GetIcVersion = FGetIcVersion;
  Protocol.FlashPreOperation = FFlashPreOperation;
  Protocol.lockFlash = FLockFlash;
  Protocol.UnlockFlash = FUnlockFlash;
  Protocol.WriteBankData = FWriteBankData;
  Protocol.ReadBankData = FReadBankData;
  Protocol.EraseBank = FEraseBank;
  Protocol.HardwareCheckBank = FHardwareCheckBank;
  Protocol.FlashPostOperation = FFlashPostOperation;
  Protocol.ICPostOperation = FICPostOperation;
  Protocol.GetIcAddress = FGetIcAddress;
  Protocol.SetReduceFlags = FSetReduceFlags;
}

FakeFlash::~FakeFlash() {
  if (gFlash == this) gFlash = nullptr;
}

FakeFlash &FakeFlash::Current() {
  if (gFlash == nullptr) std::abort();
  return *gFlash;
}

int FakeFlash::CallCount(const std::string &Prefix) const { return CountPrefix(Calls, Prefix); }

FakeFlash::Ic *FakeFlash::Find(UINT8 Index) {
  if (Index >= Ics.size()) {
    ADD_FAILURE() << "flash call for IC " << int(Index) << " of " << Ics.size();
    return nullptr;
  }
  return &Ics[Index];
}

EFI_STATUS FakeFlash::IcInit(ORV_PATH_PROTOCOL *Path, UINT8 *Count) {
  Record("IcInit");
  IcInitPathInterface = Path;
  EFI_STATUS Status = Script.Next("IcInit");
  if (EFI_ERROR(Status)) return Status;
  *Count = IcCountOverride ? *IcCountOverride : static_cast<UINT8>(Ics.size());
  return Status;
}

EFI_STATUS FakeFlash::GetActiveSection(UINT8 Index, UINT8 *Section) {
  Record("GetActiveSection(" + Args({Index}) + ",in=" + std::to_string(*Section) + ")");
  EFI_STATUS Status = Script.Next("GetActiveSection");
  Ic *Chip = Find(Index);
  if (EFI_ERROR(Status) || Chip == nullptr) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  if (Chip->ActiveSection) *Section = *Chip->ActiveSection;
  return Status;
}

EFI_STATUS FakeFlash::SetActiveBank(UINT8 Index, UINT8 Bank) {
  Record("SetActiveBank(" + Args({Index, Bank}) + ")");
  EFI_STATUS Status = Script.Next("SetActiveBank");
  Ic *Chip = Find(Index);
  if (!EFI_ERROR(Status) && Chip != nullptr) Chip->ActiveSection = Bank;
  return Status;
}

EFI_STATUS FakeFlash::GetIcVersion(UINT8 Index, UINT8 Section, UINT32 *Version) {
  Record("GetIcVersion(" + Args({Index, Section}) + ")");
  EFI_STATUS Status = Script.Next("GetIcVersion");
  Ic *Chip = Find(Index);
  if (EFI_ERROR(Status) || Chip == nullptr) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  *Version = Chip->Version[Section < 2 ? Section : 2];
  return Status;
}

EFI_STATUS FakeFlash::IcOperation(const char *Name, UINT8 Index) {
  Record(std::string(Name) + "(" + Args({Index}) + ")");
  return Script.Next(Name);
}

EFI_STATUS FakeFlash::WriteBankData(UINT8 Index, UINT8 Bank, UINT8 Zone, UINTN Size,
                                    const UINT8 *Data) {
  Record("WriteBankData(" + Args({Index, Bank, Zone, Size}) + ")");
  EFI_STATUS Status = Script.Next("WriteBankData");
  Ic *Chip = Find(Index);
  if (EFI_ERROR(Status) || Chip == nullptr || Zone < 1 || Zone > 2 || Bank > 1) {
    return EFI_ERROR(Status) ? Status : EFI_INVALID_PARAMETER;
  }
  Chip->Banks[Zone][Bank].assign(Data, Data + Size);
  if (Zone == ZONE_OCM) Chip->Version[Bank] = Chip->VersionOnWrite;
  return Status;
}

EFI_STATUS FakeFlash::ReadBankData(UINT8 Index, UINT8 Bank, UINT8 Zone, UINTN Size,
                                   UINT8 *Buffer) {
  Record("ReadBankData(" + Args({Index, Bank, Zone, Size}) + ")");
  EFI_STATUS Status = Script.Next("ReadBankData");
  Ic *Chip = Find(Index);
  if (EFI_ERROR(Status) || Chip == nullptr || Zone < 1 || Zone > 2 || Bank > 1) {
    return EFI_ERROR(Status) ? Status : EFI_INVALID_PARAMETER;
  }
  const auto &Content = Chip->Banks[Zone][Bank];
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    UINT8 Byte = Offset < Content.size() ? Content[Offset] : 0xFF;
    auto Corrupt = CorruptReadBack.find(Offset);
    Buffer[Offset] = Corrupt == CorruptReadBack.end() ? Byte : Byte ^ Corrupt->second;
  }
  return Status;
}

EFI_STATUS FakeFlash::EraseBank(UINT8 Index, UINT8 Bank, UINT8 Zone) {
  Record("EraseBank(" + Args({Index, Bank, Zone}) + ")");
  EFI_STATUS Status = Script.Next("EraseBank");
  Ic *Chip = Find(Index);
  if (!EFI_ERROR(Status) && Chip != nullptr && Zone >= 1 && Zone <= 2 && Bank <= 1) {
    Chip->Banks[Zone][Bank].clear();
  }
  return Status;
}

EFI_STATUS FakeFlash::HardwareCheckBank(UINT8 Index, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  Record("HardwareCheckBank(" + Args({Index, Bank, Zone}) + ",check=" + std::to_string(*Check) +
         ")");
  EFI_STATUS Status = Script.Next("HardwareCheckBank");
  if (CheckResult) *Check = *CheckResult;
  return Status;
}

UINT8 FakeFlash::GetIcAddress(UINT8 Index, UINTN Reserved) {
  Record("GetIcAddress(" + Args({Index, Reserved}) + ")");
  Ic *Chip = Find(Index);
  return Chip == nullptr ? 0 : Chip->Address;
}

EFI_STATUS FakeFlash::SetReduceFlags(UINT32 Mask) {
  Record("SetReduceFlags(" + Hex(Mask) + ")");
  ReduceFlags.push_back(Mask);
  return Script.Next("SetReduceFlags");
}

// ---- FakeImage ----------------------------------------------------------------

FakeImage::FakeImage() {
  gImage = this;
  Protocol.LoadImageFile = ILoadImageFile;
  Protocol.GetImageData = IGetImageData;
  Protocol.GetImageVersion = IGetImageVersion;
  Protocol.FreeImage = IFreeImage;
}

FakeImage::~FakeImage() {
  if (gImage == this) gImage = nullptr;
}

FakeImage &FakeImage::Current() {
  if (gImage == nullptr) std::abort();
  return *gImage;
}

int FakeImage::CallCount(const std::string &Prefix) const { return CountPrefix(Calls, Prefix); }

ORV_IMAGE_HANDLE FakeImage::HandleOf(const std::string &Path) const {
  for (const auto &[Handle, Name] : Loaded_) {
    if (Name == Path) return Handle;
  }
  return 0;
}

ORV_IMAGE_HANDLE FakeImage::Load(const std::string &Path) {
  EXPECT_TRUE(Files.count(Path)) << Path;
  ORV_IMAGE_HANDLE Handle = NextHandle_++;
  Loaded_[Handle] = Path;
  return Handle;
}

EFI_STATUS FakeImage::LoadImageFile(EFI_HANDLE, CHAR16 *Path, ORV_IMAGE_HANDLE *Image) {
  std::string Name = Narrow(Path);
  Calls.push_back("LoadImageFile(" + Name + ")");
  EFI_STATUS Status = Script.Next("LoadImageFile");
  if (EFI_ERROR(Status)) return Status;
  if (Files.count(Name) == 0) return EFI_NOT_FOUND;
  *Image = Load(Name);
  return EFI_SUCCESS;
}

EFI_STATUS FakeImage::GetImageData(ORV_IMAGE_HANDLE Image, UINTN *Size, UINT8 **Data) {
  Calls.push_back("GetImageData(" + Hex(Image) + ")");
  EFI_STATUS Status = Script.Next("GetImageData");
  if (EFI_ERROR(Status)) return Status;
  auto It = Loaded_.find(Image);
  if (It == Loaded_.end()) {
    ADD_FAILURE() << "GetImageData of an image that is not loaded: " << Hex(Image);
    return EFI_INVALID_PARAMETER;
  }
  File &F = Files[It->second];
  *Size = F.Data.size();
  *Data = F.Data.data();
  return Status;
}

EFI_STATUS FakeImage::GetImageVersion(ORV_IMAGE_HANDLE Image, UINT64 *Version) {
  Calls.push_back("GetImageVersion(" + Hex(Image) + ",in=" + Hex(*Version) + ")");
  EFI_STATUS Status = Script.Next("GetImageVersion");
  if (EFI_ERROR(Status)) return Status;
  auto It = Loaded_.find(Image);
  if (It == Loaded_.end()) {
    ADD_FAILURE() << "GetImageVersion of an image that is not loaded: " << Hex(Image);
    return EFI_INVALID_PARAMETER;
  }
  *Version = Files[It->second].Version;
  return Status;
}

EFI_STATUS FakeImage::FreeImage(ORV_IMAGE_HANDLE Image) {
  Calls.push_back("FreeImage(" + Hex(Image) + ")");
  if (Loaded_.erase(Image) == 0) {
    ADD_FAILURE() << "FreeImage of an image that is not loaded: " << Hex(Image);
  }
  return Script.Next("FreeImage");
}

// ---- FakePath -----------------------------------------------------------------

FakePath::FakePath() {
  gPath = this;
  Protocol.PathInit = PPathInit;
  Protocol.PathDeinit = PPathDeinit;
}

FakePath::~FakePath() {
  if (gPath == this) gPath = nullptr;
}

FakePath &FakePath::Current() {
  if (gPath == nullptr) std::abort();
  return *gPath;
}
