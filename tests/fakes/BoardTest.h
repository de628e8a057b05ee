// A whole board for runs of the application: the settings file on the
// application's volume, the three fake components installed, two zone image
// files and two ICs running section 0 with an older version.
#pragma once

#include "OrvTest.h"
#include "RunState.h"

class BoardTest : public OrvTest {
 protected:
  static constexpr const char *SETTINGS_PATH = "OrvUpdateComponent\\OrvUpdateSettings.ini";
  static constexpr const char *OCM_PATH = "OrvUpdateComponent\\ocm.hex";
  static constexpr const char *CUSTOMER_PATH = "OrvUpdateComponent\\cust.hex";

  void SetUp() override {
    OrvTest::SetUp();
    InstallFakes();
    Volume.AddFile(SETTINGS_PATH, SettingsText());
    Image.Files[OCM_PATH] = {OcmBytes(), 0x20};
    Image.Files[CUSTOMER_PATH] = {{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7}, 0};
    Flash.Ics.resize(2);
    for (size_t Index = 0; Index < Flash.Ics.size(); Index++) {
      Flash.Ics[Index].Address = static_cast<UINT8>(0x20 + Index);
      Flash.Ics[Index].ActiveSection = 0;
      Flash.Ics[Index].Version = {0x10, 0, 0};
      Flash.Ics[Index].VersionOnWrite = 0x20;
    }
  }
  void TearDown() override {
    EXPECT_EQ(Image.LiveImages(), 0u) << "zone images are released by every run that loaded them";
    OrvTest::TearDown();
  }

  static std::vector<UINT8> OcmBytes() {
    std::vector<UINT8> Bytes(16);
    for (size_t Index = 0; Index < Bytes.size(); Index++) Bytes[Index] = static_cast<UINT8>(Index);
    return Bytes;
  }
  static std::string SettingsText(const std::string &Extra = "") {
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
  /// Releases images a run left loaded on purpose (runs that end before the
  /// clean-up), so the leak check sees only real leaks.
  void ReleaseLeftImages() {
    for (ORV_IMAGE_HANDLE *H : {&OcmImage, &CustomerImage}) {
      if (*H != 0) Image.FreeImage(*H);
      *H = 0;
    }
  }
  /// ICs whose update began (GetActiveSection was asked).
  std::vector<int> UpdatedIcs() const {
    std::vector<int> Out;
    for (const auto &Call : Flash.Calls) {
      if (Call.rfind("GetActiveSection(", 0) == 0) Out.push_back(std::stoi(Call.substr(17)));
    }
    return Out;
  }

  static constexpr const char *BANNER = "OrvUpdate tool version 00.01.0002\n";
};
