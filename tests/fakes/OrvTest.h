// Base fixture for host tests: a fake firmware, the simulator's flash model
// and the fake image parser and path components, the run state reset before
// each test, and checks after it: no pool memory or file left, no flash call
// refused by a flash rule (locked flash, no open pass, the running bank, bank
// size) that the test did not take as expected, no pass left open.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeComponents.h"
#include "FakeFirmware.h"
#include "FakeVolume.h"
#include "ModelFlash.h"
#include "OrvEfi.h"
#include "RunState.h"

class OrvTest : public ::testing::Test {
 protected:
  /// Two ICs at bus addresses 0x20 and 0x21, 16 KiB OCM banks, 4 KiB
  /// customer banks, both running section 0, every bank erased.
  static std::string BoardFlash(UINT32 CustomerBankSize = 4096) {
    return ModelFlash::ConfigText(2, 16384, CustomerBankSize,
                                  "[Ic0]\nAddress = 0x20\n[Ic1]\nAddress = 0x21\n");
  }
  explicit OrvTest(const std::string &FlashConfig = BoardFlash());
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
  /// Runs OrvCheck.efi with these arguments (after Argv[0]).
  EFI_STATUS RunCheck(const std::vector<std::string> &Arguments);
  /// The component that has Op fails it with Status for the calls Where names.
  void Fail(SIM_OP Op, EFI_STATUS Status, FaultWhere Where = {});
  /// Gives back the zone images a step under test left loaded, as the run's
  /// clean-up would.
  void ReleaseZoneImages();
  /// The flash calls of a binding: the reduce-flash mask handed over.
  static std::vector<FlashCall> MaskHandedOver(UINT32 Mask) {
    return {{.Op = SIM_OP::SetReduceFlags, .Size = Mask}};
  }

  FakeFirmware Fw;
  /// The application's volume, on Fw.DeviceHandle().
  FakeVolume Volume{Fw};
  ModelFlash Flash;
  FakeImage Image;
  FakePath Path;
  /// The operations of all three components in call order.
  std::vector<SIM_OP> Journal;
  EFI_HANDLE ImageParserHandle = nullptr;
  EFI_HANDLE FlashHandle = nullptr;
  EFI_HANDLE PathHandle = nullptr;
};

/// Lines of a console text.
std::vector<std::string> Lines(const std::string &Text);
