// Fake image parser and path components for host tests (the flash is the
// simulator's model, ModelFlash.h). Each records every call and lets a test
// script results with the simulator's fault rules ("the 2nd GetImageData
// returns EFI_TIMEOUT"). One instance of each kind is current at a time; its
// protocol table's slots bounce into it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "ModelFlash.h"
#include "OrvEfi.h"

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
  /// When set, every call's operation is appended here too (see ModelFlash).
  std::vector<SIM_OP> *Journal = nullptr;
  /// Op (LoadImageFile, GetImageData, GetImageVersion, FreeImage) returns
  /// Status on its Call-th call from now (1-based), or on every call when 0.
  void Fail(SIM_OP Op, EFI_STATUS Status, UINT32 Call = 0);

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
  /// Records the call; its scripted status, EFI_SUCCESS when none.
  EFI_STATUS Enter(SIM_OP Op, const std::string &Call);
  /// The file of a loaded image; fails the test for any other handle.
  File *Find(ORV_IMAGE_HANDLE Image, const char *Op);

  FAULT_RULES Faults_{};
  std::map<ORV_IMAGE_HANDLE, std::string> Loaded_;
  ORV_IMAGE_HANDLE NextHandle_ = 0x101;
};

class FakePath {
 public:
  FakePath();
  ~FakePath();

  ORV_PATH_PROTOCOL Protocol{};
  /// "PathInit", "PathDeinit".
  std::vector<std::string> Calls;
  std::vector<SIM_OP> *Journal = nullptr;
  /// Op (PathInit, PathDeinit) returns Status, as FakeImage::Fail.
  void Fail(SIM_OP Op, EFI_STATUS Status, UINT32 Call = 0);

  static FakePath &Current();
  EFI_STATUS Enter(SIM_OP Op);

 private:
  FAULT_RULES Faults_{};
};
