// Base fixture for host tests: a fake firmware and the three fake components,
// the run state reset before each test, and a leak check after it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeComponents.h"
#include "FakeFirmware.h"
#include "FakeVolume.h"
#include "OrvEfi.h"
#include "RunState.h"


class OrvTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Points the run state's interface pointers at the fakes directly.
  void BindFakes();
  /// Installs the three fake protocols on handles of their own, as their
  /// drivers would.
  void InstallFakes();
  /// Runs the application with these arguments (after Argv[0]).
  EFI_STATUS Run(const std::vector<std::string> &Arguments);
  /// Runs OrvInfo.efi with these arguments (after Argv[0]).
  EFI_STATUS RunInfo(const std::vector<std::string> &Arguments);

  FakeFirmware Fw;
  /// The application's volume, on Fw.DeviceHandle().
  FakeVolume Volume{Fw};
  FakeFlash Flash;
  FakeImage Image;
  FakePath Path;
  EFI_HANDLE ImageParserHandle = nullptr;
  EFI_HANDLE FlashHandle = nullptr;
  EFI_HANDLE PathHandle = nullptr;
};

/// Lines of a console text.
std::vector<std::string> Lines(const std::string &Text);
