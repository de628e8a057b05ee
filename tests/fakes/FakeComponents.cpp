// Fake image parser and path components (see FakeComponents.h).
#include "FakeComponents.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "FakeFirmware.h"

namespace {

FakeImage *gImage = nullptr;
FakePath *gPath = nullptr;

std::string Hex(UINT64 Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "0x%llx", static_cast<unsigned long long>(Value));
  return Text;
}

EFI_STATUS Scripted(FAULT_RULES &Faults, SIM_OP Op) {
  const FAULT_RULE *Rule = FaultHit(&Faults, Op, FAULT_ANY, FAULT_ANY, FAULT_ANY);
  return Rule != nullptr ? Rule->Status : EFI_SUCCESS;
}

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
EFI_STATUS EFIAPI PPathInit() { return FakePath::Current().Enter(SIM_OP::PathInit); }
EFI_STATUS EFIAPI PPathDeinit() { return FakePath::Current().Enter(SIM_OP::PathDeinit); }

}  // namespace

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

void FakeImage::Fail(SIM_OP Op, EFI_STATUS Status, UINT32 Call) {
  AddFaultRule(Faults_, Op, {.Call = Call}, Status);
}

int FakeImage::CallCount(const std::string &Prefix) const {
  int Count = 0;
  for (const auto &Call : Calls) Count += Call.rfind(Prefix, 0) == 0 ? 1 : 0;
  return Count;
}

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

EFI_STATUS FakeImage::Enter(SIM_OP Op, const std::string &Call) {
  Calls.push_back(Call);
  if (Journal != nullptr) Journal->push_back(Op);
  return Scripted(Faults_, Op);
}

FakeImage::File *FakeImage::Find(ORV_IMAGE_HANDLE Image, const char *Op) {
  auto It = Loaded_.find(Image);
  if (It == Loaded_.end()) {
    ADD_FAILURE() << Op << " of an image that is not loaded: " << Hex(Image);
    return nullptr;
  }
  return &Files[It->second];
}

EFI_STATUS FakeImage::LoadImageFile(EFI_HANDLE, CHAR16 *Path, ORV_IMAGE_HANDLE *Image) {
  std::string Name = Narrow(Path);
  EFI_STATUS Status = Enter(SIM_OP::LoadImageFile, "LoadImageFile(" + Name + ")");
  if (EFI_ERROR(Status)) return Status;
  if (Files.count(Name) == 0) return EFI_NOT_FOUND;
  *Image = Load(Name);
  return EFI_SUCCESS;
}

EFI_STATUS FakeImage::GetImageData(ORV_IMAGE_HANDLE Image, UINTN *Size, UINT8 **Data) {
  EFI_STATUS Status = Enter(SIM_OP::GetImageData, "GetImageData(" + Hex(Image) + ")");
  if (EFI_ERROR(Status)) return Status;
  File *F = Find(Image, "GetImageData");
  if (F == nullptr) return EFI_INVALID_PARAMETER;
  *Size = F->Data.size();
  *Data = F->Data.data();
  return Status;
}

EFI_STATUS FakeImage::GetImageVersion(ORV_IMAGE_HANDLE Image, UINT64 *Version) {
  EFI_STATUS Status = Enter(SIM_OP::GetImageVersion,
                            "GetImageVersion(" + Hex(Image) + ",in=" + Hex(*Version) + ")");
  if (EFI_ERROR(Status)) return Status;
  File *F = Find(Image, "GetImageVersion");
  if (F == nullptr) return EFI_INVALID_PARAMETER;
  *Version = F->Version;
  return Status;
}

EFI_STATUS FakeImage::FreeImage(ORV_IMAGE_HANDLE Image) {
  EFI_STATUS Status = Enter(SIM_OP::FreeImage, "FreeImage(" + Hex(Image) + ")");
  if (Loaded_.erase(Image) == 0) {
    ADD_FAILURE() << "FreeImage of an image that is not loaded: " << Hex(Image);
  }
  return Status;
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

void FakePath::Fail(SIM_OP Op, EFI_STATUS Status, UINT32 Call) {
  AddFaultRule(Faults_, Op, {.Call = Call}, Status);
}

EFI_STATUS FakePath::Enter(SIM_OP Op) {
  Calls.push_back(SimOpName(Op));
  if (Journal != nullptr) Journal->push_back(Op);
  return Scripted(Faults_, Op);
}
