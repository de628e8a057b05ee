// Runtime services for host tests: UEFI variables kept in a map (name and
// vendor GUID, attributes, bytes) and a fixed clock, hooked into the fake
// firmware's runtime services table for the fake's lifetime.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FakeFirmware.h"

class FakeRuntime {
 public:
  struct Variable {
    UINT32 Attributes = 0;
    std::vector<UINT8> Data;
  };
  using Key = std::pair<std::u16string, EFI_GUID>;

  explicit FakeRuntime(FakeFirmware &Firmware);
  ~FakeRuntime();
  FakeRuntime(const FakeRuntime &) = delete;
  FakeRuntime &operator=(const FakeRuntime &) = delete;

  /// The variable, or nullptr.
  const Variable *Find(const std::string &Name, const EFI_GUID &Guid) const;
  void Set(const std::string &Name, const EFI_GUID &Guid, UINT32 Attributes, const std::vector<UINT8> &Data);
  /// Names of every variable under Guid, sorted.
  std::vector<std::string> Names(const EFI_GUID &Guid) const;
  /// SetVariable fails with Status from the Nth call on (1-based; 0: none).
  void FailSetVariable(EFI_STATUS Status, int Nth = 1) { SetFailure_ = {Status, SetCalls_ + Nth}; }

  EFI_TIME Clock{2026, 12, 8, 13, 30, 15, 0, 0, 0, 0, 0};

  EFI_STATUS GetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size, VOID *Data);
  EFI_STATUS SetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN Size,
                         const VOID *Data);

 private:
  EFI_RUNTIME_SERVICES *Rt_;
  EFI_RUNTIME_SERVICES Saved_;
  std::map<Key, Variable> Variables_;
  int SetCalls_ = 0;
  std::pair<EFI_STATUS, int> SetFailure_{EFI_SUCCESS, 0};
};
