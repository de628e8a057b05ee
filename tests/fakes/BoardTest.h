// A whole board for runs of the application: the settings file on the
// application's volume, the three fake components installed, two zone image
// files and two ICs running section 0 with an older image.
#pragma once

#include <string>
#include <vector>

#include "OrvTest.h"
#include "RunState.h"

constexpr const char *SETTINGS_PATH = "OrvUpdateComponent\\OrvUpdateSettings.ini";
constexpr const char *OCM_PATH = "OrvUpdateComponent\\ocm.hex";
constexpr const char *CUSTOMER_PATH = "OrvUpdateComponent\\cust.hex";

/// The board's settings file; Extra is added to its target section.
inline std::string BoardSettings(const std::string &Extra = "") {
  return "# board settings\n"
         "[default]\n"
         "target = ChipA\n"
         "[ChipA]\n"
         "ImageParser = OrvHexImage.efi\n"
         "FlashInterface = OrvFlashSim.efi\n"
         "DevicePath = OrvPathSim.efi\n"
         "OCM = ocm.hex\n"
         "customer = cust.hex\n" +
         Extra;
}

class BoardTest : public OrvTest {
 protected:
  void SetUp() override {
    OrvTest::SetUp();
    InstallFakes();
    Volume.AddFile(SETTINGS_PATH, BoardSettings());
    Image.Files[OCM_PATH] = {NewOcm, 0x20};
    Image.Files[CUSTOMER_PATH] = {Customer, 7};
    for (UINT8 Ic = 0; Ic < 2; Ic++) Flash.Program(Ic, ZONE_OCM, 0, OldOcm);
  }
  void TearDown() override {
    EXPECT_EQ(Image.LiveImages(), 0u) << "zone images are released by every run that loaded them";
    OrvTest::TearDown();
  }

  /// ICs whose update began (GetActiveSection was asked).
  std::vector<int> UpdatedIcs() const {
    std::vector<int> Out;
    for (const FlashCall &Call : Flash.Calls) {
      if (Call.Op == SIM_OP::GetActiveSection) Out.push_back(Call.Ic);
    }
    return Out;
  }

  static constexpr const char *BANNER = "OrvUpdate tool version 00.01.0002\n";
  const std::vector<UINT8> OldOcm = MakeZoneImage(0x10, 4000, 1);
  const std::vector<UINT8> NewOcm = MakeZoneImage(0x20, 6000, 2);
  const std::vector<UINT8> Customer = MakeZoneImage(7, 800, 3);
};
