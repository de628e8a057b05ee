// Scriptable fake components for host tests: a flash interface with a small
// model of ICs and their banks, an image parser with in-memory image files,
// and a path component. Each records every call with its arguments and lets
// a test script results ("the 3rd WriteBankData returns EFI_DEVICE_ERROR").
// One instance of each kind is current at a time; its protocol table's slots
// bounce into it.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "OrvEfi.h"

/// Scripted statuses per operation name.
class CallScript {
 public:
  /// Operation Op returns Status on its Nth call from now (1-based), or on
  /// every call when Nth is 0.
  void Fail(const std::string &Op, EFI_STATUS Status, int Nth = 0);
  /// Counts a call of Op and returns its scripted status (EFI_SUCCESS if none).
  EFI_STATUS Next(const std::string &Op);
  int Count(const std::string &Op) const;

 private:
  struct Failure {
    EFI_STATUS Status;
    int Nth;
  };
  std::map<std::string, std::vector<Failure>> Failures_;
  std::map<std::string, int> Counts_;
};

class FakeFlash {
 public:
  struct Ic {
    UINT8 Address = 0;
    /// The section GetActiveSection reports; nullopt leaves the caller's value.
    std::optional<UINT8> ActiveSection = 0;
    /// Version of each OCM section; index 2 answers for SECTION_INVALID.
    std::array<UINT32, 3> Version = {0, 0, 0};
    /// Version a section takes when an OCM image is written into it.
    UINT32 VersionOnWrite = 0;
    /// Bank contents, [zone][bank] (zones 1 and 2).
    std::array<std::array<std::vector<UINT8>, 2>, 3> Banks;
  };

  FakeFlash();
  ~FakeFlash();

  ORV_FLASH_PROTOCOL Protocol{};
  std::vector<Ic> Ics;
  /// Every call, e.g. "EraseBank(0,1,1)", "HardwareCheckBank(0,1,1,check=0)".
  std::vector<std::string> Calls;
  CallScript Script;
  /// What HardwareCheckBank leaves in the check value; nullopt leaves it alone.
  std::optional<UINT8> CheckResult = 1;
  /// Read-back bytes flipped (offset -> XOR mask) when ReadBankData runs.
  std::map<UINTN, UINT8> CorruptReadBack;
  /// Masks received through SetReduceFlags.
  std::vector<UINT32> ReduceFlags;
  /// The IcInit count; defaults to Ics.size().
  std::optional<UINT8> IcCountOverride;
  void *IcInitPathInterface = nullptr;

  void RemoveGetIcAddress() { Protocol.GetIcAddress = nullptr; }
  void RemoveSetReduceFlags() { Protocol.SetReduceFlags = nullptr; }
  /// Calls whose text starts with Prefix.
  int CallCount(const std::string &Prefix) const;

  static FakeFlash &Current();

  // Operations (called by the trampolines).
  EFI_STATUS IcInit(ORV_PATH_PROTOCOL *Path, UINT8 *Count);
  EFI_STATUS GetActiveSection(UINT8 Ic, UINT8 *Section);
  EFI_STATUS SetActiveBank(UINT8 Ic, UINT8 Bank);
  EFI_STATUS GetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version);
  EFI_STATUS IcOperation(const char *Name, UINT8 Ic);
  EFI_STATUS WriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data);
  EFI_STATUS ReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer);
  EFI_STATUS EraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone);
  EFI_STATUS HardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check);
  UINT8 GetIcAddress(UINT8 Index, UINTN Reserved);
  EFI_STATUS SetReduceFlags(UINT32 Mask);

 private:
  void Record(const std::string &Call) { Calls.push_back(Call); }
  Ic *Find(UINT8 Index);
};

class FakeImage {
 public:
  struct File {
    std::vector<UINT8> Data;
    UINT64 Version = 0;
  };

  FakeImage();
  ~FakeImage();

  ORV_IMAGE_PROTOCOL Protocol{};
  /// Image files by the exact path LoadImageFile receives.
  std::map<std::string, File> Files;
  /// Every call, e.g. "LoadImageFile(OrvUpdateComponent\\ocm.hex)", "FreeImage(0x101)".
  std::vector<std::string> Calls;
  CallScript Script;

  /// Images loaded and not yet freed.
  size_t LiveImages() const { return Loaded_.size(); }
  /// Handle of the image loaded from Path, or 0.
  ORV_IMAGE_HANDLE HandleOf(const std::string &Path) const;
  /// Loads Path directly (for tests that set OcmImage/CustomerImage themselves).
  ORV_IMAGE_HANDLE Load(const std::string &Path);
  int CallCount(const std::string &Prefix) const;

  static FakeImage &Current();

  EFI_STATUS LoadImageFile(EFI_HANDLE ImageHandle, CHAR16 *Path, ORV_IMAGE_HANDLE *Image);
  EFI_STATUS GetImageData(ORV_IMAGE_HANDLE Image, UINTN *Size, UINT8 **Data);
  EFI_STATUS GetImageVersion(ORV_IMAGE_HANDLE Image, UINT64 *Version);
  EFI_STATUS FreeImage(ORV_IMAGE_HANDLE Image);

 private:
  std::map<ORV_IMAGE_HANDLE, std::string> Loaded_;
  ORV_IMAGE_HANDLE NextHandle_ = 0x101;
};

class FakePath {
 public:
  FakePath();
  ~FakePath();

  ORV_PATH_PROTOCOL Protocol{};
  std::vector<std::string> Calls;
  CallScript Script;

  static FakePath &Current();
};
