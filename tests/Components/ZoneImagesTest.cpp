// Zone images: command-line overrides, settings keys, "none" and empty
// values, failures and the handles they leave.
#include <gtest/gtest.h>

#include "Components.h"
#include "OrvTest.h"
#include "RunState.h"
#include "SettingsText.h"

namespace {

class ZoneImagesTest : public OrvTest {
 protected:
  void SetUp() override {
    OrvTest::SetUp();
    BindFakes();
    Image.Files["OrvUpdateComponent\\ocm.hex"] = {{1, 2, 3}, 0x20};
    Image.Files["OrvUpdateComponent\\cust.hex"] = {{4, 5}, 0};
    Image.Files["a.hex"] = {{6}, 0x30};
    Image.Files["b.hex"] = {{7}, 0};
  }
  void TearDown() override {
    ReleaseZoneImages();
    EXPECT_EQ(Image.LiveImages(), 0u);
    OrvTest::TearDown();
  }
  EFI_STATUS Load(const std::string &Section) {
    SettingsText Settings("[ChipA]\n" + Section);
    SETTINGS_SECTION S = Settings.Section("ChipA");
    return LoadZoneImages(Fw.ImageHandle(), Settings.File(), &S);
  }
  void Override(CHAR16 *Half, const std::string &Name) {
    for (size_t I = 0; I < Name.size(); I++) Half[I] = static_cast<UINT8>(Name[I]);
  }
};

TEST_F(ZoneImagesTest, SettingsNamesGetTheComponentFolderInFront) {
  EXPECT_EQ(Load("OCM = ocm.hex\ncustomer = cust.hex\n"), EFI_SUCCESS);
  EXPECT_EQ(Image.Calls, (std::vector<std::string>{"LoadImageFile(OrvUpdateComponent\\ocm.hex)",
                                                   "LoadImageFile(OrvUpdateComponent\\cust.hex)"}));
  EXPECT_EQ(OcmImage, Image.HandleOf("OrvUpdateComponent\\ocm.hex"));
  EXPECT_EQ(CustomerImage, Image.HandleOf("OrvUpdateComponent\\cust.hex"));
  EXPECT_NE(OcmImage, 0u);
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(ZoneImagesTest, NoneLeavesTheZoneAloneAndTheOtherZoneIsStillLoaded) {
  EXPECT_EQ(Load("OCM = none\ncustomer = cust.hex\n"), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "OCM zone is set not to update\n");
  EXPECT_EQ(OcmImage, 0u);
  EXPECT_NE(CustomerImage, 0u);
}

TEST_F(ZoneImagesTest, EmptyValueIsLikeNone) {
  EXPECT_EQ(Load("OCM = ocm.hex\ncustomer =\n"), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "customer zone is set not to update\n");
  EXPECT_NE(OcmImage, 0u);
  EXPECT_EQ(CustomerImage, 0u);
}

struct NotNoneCase {
  const char *Name;
  const char *Value;
};

class ZoneImagesNotNone : public ZoneImagesTest, public ::testing::WithParamInterface<NotNoneCase> {};

TEST_P(ZoneImagesNotNone, IsTakenAsAFileName) {
  EXPECT_EQ(Load(std::string("OCM = ") + GetParam().Value + "\ncustomer = none\n"), EFI_NOT_FOUND);
  EXPECT_EQ(Image.Calls,
            std::vector<std::string>{std::string("LoadImageFile(OrvUpdateComponent\\") +
                                     GetParam().Value + ")"});
  EXPECT_EQ(Fw.Console(), "Load OCM Image error, E\n");
  EXPECT_EQ(OcmImage, 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, ZoneImagesNotNone,
                         ::testing::Values(NotNoneCase{"Capitalised", "None"},
                                           NotNoneCase{"Longer", "nonex"},
                                           NotNoneCase{"Upper", "NONE"}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(ZoneImagesTest, MissingCustomerKeyFailsAfterTheOcmImage) {
  EXPECT_EQ(Load("OCM = ocm.hex\n"), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), "Load Customer zone error, E\n");
  EXPECT_NE(OcmImage, 0u) << "releasing it is the settings sequence's job";
  EXPECT_EQ(CustomerImage, 0u);
}

TEST_F(ZoneImagesTest, ParserFailureZeroesTheHandle) {
  Image.Fail(SIM_OP::LoadImageFile, EFI_VOLUME_CORRUPTED, 2);
  OcmImage = 0;
  CustomerImage = 0x999;  // whatever the parser may have left
  EXPECT_EQ(Load("OCM = ocm.hex\ncustomer = cust.hex\n"), EFI_VOLUME_CORRUPTED);
  EXPECT_EQ(Fw.Console(), "Load Customer zone error, A\n");
  EXPECT_EQ(CustomerImage, 0u);
}

TEST_F(ZoneImagesTest, OverrideBeatsNoneAndIsUsedAsTyped) {
  Override(OcmOverridePath(), "a.hex");
  Override(CustomerOverridePath(), "b.hex");
  EXPECT_EQ(Load("OCM = none\ncustomer = cust.hex\n"), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "Override OCM zone file, using a.hex\n"
            "Override customer zone file, using b.hex\n");
  EXPECT_EQ(Image.Calls,
            (std::vector<std::string>{"LoadImageFile(a.hex)", "LoadImageFile(b.hex)"}));
  EXPECT_EQ(OcmImage, Image.HandleOf("a.hex"));
}

TEST_F(ZoneImagesTest, OverrideNeedsNoSettingsKey) {
  Override(OcmOverridePath(), "a.hex");
  EXPECT_EQ(Load("customer = none\n"), EFI_SUCCESS);
  EXPECT_NE(OcmImage, 0u);
}

TEST_F(ZoneImagesTest, FailedOverrideIsReportedWithItsName) {
  Override(CustomerOverridePath(), "missing.hex");
  EXPECT_EQ(Load("OCM = ocm.hex\n"), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(),
            "Override customer zone file, using missing.hex\n"
            "Load missing.hex error, E\n");
  EXPECT_EQ(CustomerImage, 0u);
}

TEST_F(ZoneImagesTest, ValueOf106CharactersLoadsAnd107IsRefused) {
  std::string Name106(102, 'o');
  Name106 += ".hex";
  Image.Files["OrvUpdateComponent\\" + Name106] = {{1}, 1};
  EXPECT_EQ(Load("OCM = " + Name106 + "\ncustomer = none\n"), EFI_SUCCESS);
  EXPECT_NE(OcmImage, 0u);
  Image.FreeImage(OcmImage);
  OcmImage = 0;
  Fw.ClearConsole();
  EXPECT_EQ(Load("OCM = o" + Name106 + "\ncustomer = none\n"), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), "Load OCM Image error, E\n");
}

TEST_F(ZoneImagesTest, ReadModeLoadsNothingAndPrintsNothing) {
  RUN_FLAGS = RUN_FLAG_READ_MODE;
  Override(OcmOverridePath(), "0");
  Override(CustomerOverridePath(), "10");
  EXPECT_EQ(Load("OCM = ocm.hex\ncustomer = cust.hex\n"), EFI_SUCCESS);
  EXPECT_TRUE(Image.Calls.empty());
  EXPECT_EQ(Fw.Console(), "");
  EXPECT_EQ(OcmImage, 0u);
}

}  // namespace
