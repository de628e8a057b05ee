// Runtime services for host tests (see FakeRuntime.h).
#include "FakeRuntime.h"

#include <algorithm>
#include <cstring>

namespace {

FakeRuntime *gRuntime = nullptr;

std::u16string WideOf(const CHAR16 *Text) {
  std::u16string Out;
  for (; Text != nullptr && *Text != 0; Text++) Out.push_back(static_cast<char16_t>(*Text));
  return Out;
}

EFI_STATUS EFIAPI TGetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size, VOID *Data) {
  return gRuntime->GetVariable(Name, Guid, Attributes, Size, Data);
}
EFI_STATUS EFIAPI TSetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN Size, VOID *Data) {
  return gRuntime->SetVariable(Name, Guid, Attributes, Size, Data);
}
EFI_STATUS EFIAPI TGetTime(EFI_TIME *Time, EFI_TIME_CAPABILITIES *) {
  if (Time == nullptr) return EFI_INVALID_PARAMETER;
  *Time = gRuntime->Clock;
  return EFI_SUCCESS;
}

}  // namespace

FakeRuntime::FakeRuntime(FakeFirmware &Firmware) : Rt_(Firmware.SystemTable()->RuntimeServices), Saved_(*Rt_) {
  gRuntime = this;
  Rt_->GetVariable = TGetVariable;
  Rt_->SetVariable = TSetVariable;
  Rt_->GetTime = TGetTime;
}

FakeRuntime::~FakeRuntime() {
  *Rt_ = Saved_;
  gRuntime = nullptr;
}

const FakeRuntime::Variable *FakeRuntime::Find(const std::string &Name, const EFI_GUID &Guid) const {
  auto It = Variables_.find({Wide(Name), Guid});
  return It == Variables_.end() ? nullptr : &It->second;
}

void FakeRuntime::Set(const std::string &Name, const EFI_GUID &Guid, UINT32 Attributes,
                      const std::vector<UINT8> &Data) {
  Variables_[{Wide(Name), Guid}] = {Attributes, Data};
}

std::vector<std::string> FakeRuntime::Names(const EFI_GUID &Guid) const {
  std::vector<std::string> Found;
  for (const auto &[Key, Value] : Variables_) {
    if (Key.second == Guid) Found.push_back(Narrow(Key.first));
  }
  return Found;
}

EFI_STATUS FakeRuntime::GetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size,
                                    VOID *Data) {
  if (Name == nullptr || Guid == nullptr || Size == nullptr) return EFI_INVALID_PARAMETER;
  auto It = Variables_.find({WideOf(Name), *Guid});
  if (It == Variables_.end()) return EFI_NOT_FOUND;
  const std::vector<UINT8> &Bytes = It->second.Data;
  if (*Size < Bytes.size()) {
    *Size = Bytes.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Data == nullptr) return EFI_INVALID_PARAMETER;
  std::memcpy(Data, Bytes.data(), Bytes.size());
  *Size = Bytes.size();
  if (Attributes != nullptr) *Attributes = It->second.Attributes;
  return EFI_SUCCESS;
}

EFI_STATUS FakeRuntime::SetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN Size,
                                    const VOID *Data) {
  SetCalls_++;
  if (SetFailure_.second != 0 && SetCalls_ >= SetFailure_.second) return SetFailure_.first;
  if (Name == nullptr || Guid == nullptr || (Size != 0 && Data == nullptr)) return EFI_INVALID_PARAMETER;
  Key Where{WideOf(Name), *Guid};
  if (Size == 0) {
    Variables_.erase(Where);
    return EFI_SUCCESS;
  }
  const UINT8 *Bytes = static_cast<const UINT8 *>(Data);
  Variables_[Where] = {Attributes, std::vector<UINT8>(Bytes, Bytes + Size)};
  return EFI_SUCCESS;
}
