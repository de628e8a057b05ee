// The initial settings sequence: settings file, target section, switches,
// binding, zone images, and the exit steps on every path.
#include <gtest/gtest.h>

#include "InitialSettings.h"
#include "OrvTest.h"
#include "RunState.h"

namespace {

const char *const SETTINGS_PATH = "OrvUpdateComponent\\OrvUpdateSettings.ini";

std::string Settings(const std::string &TargetLines, const std::string &Target = "ChipA") {
  return "[default]\ntarget = " + Target + "\n[" + Target + "]\n" + TargetLines;
}

const std::string ZONES = "OCM = ocm.hex\ncustomer = cust.hex\n";

class InitialSettingsTest : public OrvTest {
 protected:
  void SetUp() override {
    OrvTest::SetUp();
    InstallFakes();
    Image.Files["OrvUpdateComponent\\ocm.hex"] = {{1, 2, 3}, 0x20};
    Image.Files["OrvUpdateComponent\\cust.hex"] = {{4, 5}, 0};
  }
  void TearDown() override {
    EXPECT_EQ(Fw.OpenCount(Fw.ImageHandle(), gEfiLoadedImageProtocolGuid), 0)
        << "the Loaded Image protocol is closed on every path";
    ReleaseZoneImages();
    OrvTest::TearDown();
  }
  EFI_STATUS RunWith(const std::string &Text) {
    Volume.AddFile(SETTINGS_PATH, Text);
    return OrvInitialSettings(Fw.ImageHandle());
  }
};

TEST_F(InitialSettingsTest, SuccessBindsLoadsAndReleasesTheSettings) {
  EXPECT_EQ(RunWith(Settings(ZONES)), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "Current target: ChipA\n");
  EXPECT_EQ(pOrvFlashProtocol, &Flash.Protocol);
  EXPECT_EQ(Path.Calls, std::vector<std::string>{"PathInit"});
  EXPECT_NE(OcmImage, 0u);
  EXPECT_NE(CustomerImage, 0u);
  EXPECT_EQ(Fw.LastOpenAttributes(Fw.ImageHandle(), gEfiLoadedImageProtocolGuid),
            EFI_OPEN_PROTOCOL_GET_PROTOCOL);
}

TEST_F(InitialSettingsTest, LoadedImageFailureIsReportedAlone) {
  Fw.FailOpenProtocol(gEfiLoadedImageProtocolGuid, EFI_UNSUPPORTED);
  EXPECT_EQ(RunWith(Settings(ZONES)), EFI_UNSUPPORTED);
  EXPECT_EQ(Fw.Console(), "Error cannot find SelfImage 3\n");
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
}

struct FailureRow {
  const char *Name;
  std::string Text;  // empty: no settings file at all
  EFI_STATUS Status;
  std::string Console;
  /// A path initialised before the failure is de-initialised once before
  /// the sequence returns.
  std::vector<std::string> PathCalls = {};
};

void PrintTo(const FailureRow &Row, std::ostream *Out) { *Out << Row.Name; }

class InitialSettingsFailures : public InitialSettingsTest,
                                public ::testing::WithParamInterface<FailureRow> {};

TEST_P(InitialSettingsFailures, PrintTheirLinesAndReturnTheirStatus) {
  const FailureRow &Row = GetParam();
  EFI_STATUS Status = Row.Text.empty() ? OrvInitialSettings(Fw.ImageHandle()) : RunWith(Row.Text);
  EXPECT_EQ(Status, Row.Status);
  EXPECT_EQ(Fw.Console(), Row.Console);
  EXPECT_EQ(OcmImage, 0u);
  EXPECT_EQ(CustomerImage, 0u);
  EXPECT_EQ(Image.LiveImages(), 0u) << "images loaded before the failure are released";
  EXPECT_EQ(Path.Calls, Row.PathCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, InitialSettingsFailures,
    ::testing::Values(
        FailureRow{"NoSettingsFile", "", EFI_NOT_FOUND,
                   "Open settings file error E\nOrvInitialSettings error E\n"},
        FailureRow{"NoDefaultSection", "[ChipA]\n" + ZONES, EFI_NOT_FOUND,
                   "Default target section string not found\nOrvInitialSettings error E\n"},
        FailureRow{"NoTargetKey", "[default]\ntargets\n[ChipA]\n" + ZONES, EFI_NOT_FOUND,
                   "Default target key string not found\nOrvInitialSettings error E\n"},
        FailureRow{"TargetOf216Characters", Settings(ZONES, std::string(216, 't')),
                   EFI_BUFFER_TOO_SMALL, "OrvInitialSettings error 5\n"},
        FailureRow{"NoTargetSection", "[default]\ntarget = ChipB\n[ChipA]\n" + ZONES, EFI_NOT_FOUND,
                   "Current target: ChipB\nTarget section not found\nOrvInitialSettings error E\n"},
        FailureRow{"CustomerZoneFails", Settings("OCM = ocm.hex\n"), EFI_NOT_FOUND,
                   "Current target: ChipA\nLoad Customer zone error, E\nOrvInitialSettings error E\n",
                   {"PathInit", "PathDeinit"}},
        FailureRow{"CustomerFileMissingAfterTheOcmImage",
                   Settings("OCM = ocm.hex\ncustomer = missing.hex\n"), EFI_NOT_FOUND,
                   "Current target: ChipA\nLoad Customer zone error, E\nOrvInitialSettings error E\n",
                   {"PathInit", "PathDeinit"}},
        FailureRow{"OcmZoneFails", Settings("OCM = missing.hex\ncustomer = cust.hex\n"),
                   EFI_NOT_FOUND,
                   "Current target: ChipA\nLoad OCM Image error, E\nOrvInitialSettings error E\n",
                   {"PathInit", "PathDeinit"}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(InitialSettingsTest, BindingFailureIsReportedTwice) {
  Path.Fail(SIM_OP::PathInit, EFI_DEVICE_ERROR);
  EXPECT_EQ(RunWith(Settings(ZONES)), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(),
            "Current target: ChipA\npOrvPathProtocolInterface init ERROR 7\n"
            "OrvInitialSettings error 7\n");
  EXPECT_EQ(Image.CallCount("LoadImageFile"), 0);
  EXPECT_EQ(Path.Calls, std::vector<std::string>{"PathInit"}) << "a path never opened is not closed";
}

TEST_F(InitialSettingsTest, TargetOf215CharactersIsAccepted) {
  std::string Target(215, 't');
  EXPECT_EQ(RunWith(Settings(ZONES, Target)), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "Current target: " + Target + "\n");
}

struct SwitchCase {
  const char *Name;
  std::string Lines;
  UINT32 FlagsBefore;
  UINT32 FlagsAfter;
};

class InitialSettingsSwitches : public InitialSettingsTest,
                                public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(InitialSettingsSwitches, OnlyAddToTheCommandLineFlags) {
  RUN_FLAGS = GetParam().FlagsBefore;
  EXPECT_EQ(RunWith(Settings(GetParam().Lines + ZONES)), EFI_SUCCESS);
  EXPECT_EQ(RUN_FLAGS, GetParam().FlagsAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Valid, InitialSettingsSwitches,
    ::testing::Values(
        SwitchCase{"ForceOn", "ForceUpdate = 1\n", 0, RUN_FLAG_FORCE_UPDATE},
        SwitchCase{"ForceFirstCharacterCounts", "ForceUpdate = 1x\n", 0, RUN_FLAG_FORCE_UPDATE},
        SwitchCase{"ForceZeroKeepsCommandLine", "ForceUpdate = 0\n", RUN_FLAG_FORCE_UPDATE,
                   RUN_FLAG_FORCE_UPDATE},
        SwitchCase{"ForceOther", "ForceUpdate = yes\n", 0, 0},
        SwitchCase{"ForceEmpty", "ForceUpdate =\n", 0, 0},
        SwitchCase{"BackupOn", "IncludeCustomerDefineBkp = 1\n", 0, RUN_FLAG_INCLUDE_CUSTOMER_BKP},
        SwitchCase{"BackupOffKeepsCommandLine", "IncludeCustomerDefineBkp = 0\n",
                   RUN_FLAG_INCLUDE_CUSTOMER_BKP, RUN_FLAG_INCLUDE_CUSTOMER_BKP},
        SwitchCase{"BothOn", "ForceUpdate=1\nIncludeCustomerDefineBkp 1\n", 0,
                   RUN_FLAG_FORCE_UPDATE | RUN_FLAG_INCLUDE_CUSTOMER_BKP},
        SwitchCase{"ValueTooLongIsIgnored", "ForceUpdate = 1" + std::string(215, 'x') + "\n", 0, 0}),
    [](const auto &Info) { return std::string(Info.param.Name); });

struct MaskCase {
  const char *Name;
  std::string Value;
  UINT32 Mask;
};

class InitialSettingsReduceFlash : public InitialSettingsTest,
                                   public ::testing::WithParamInterface<MaskCase> {};

TEST_P(InitialSettingsReduceFlash, CharacterNSetsBitN) {
  EXPECT_EQ(RunWith(Settings("ReduceFlashProcessFlag = " + GetParam().Value + "\n" + ZONES)),
            EFI_SUCCESS);
  EXPECT_EQ(ReduceFlashMask, GetParam().Mask);
  EXPECT_EQ(Flash.Calls, MaskHandedOver(GetParam().Mask));
}

INSTANTIATE_TEST_SUITE_P(
    Valid, InitialSettingsReduceFlash,
    ::testing::Values(MaskCase{"FourCharacters", "1011", 0xD}, MaskCase{"One", "1", 0x1},
                      MaskCase{"OtherCharactersLeaveBits", "x1y1", 0xA},
                      MaskCase{"ThirtyTwo", std::string(32, '1'), 0xFFFFFFFF},
                      MaskCase{"FortyContributeThirtyTwo", std::string(31, '0') + std::string(9, '1'),
                               0x80000000}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(InitialSettingsTest, MissingReduceFlashKeyStillHandsOverZero) {
  EXPECT_EQ(RunWith(Settings(ZONES)), EFI_SUCCESS);
  EXPECT_EQ(ReduceFlashMask, 0u);
  EXPECT_EQ(Flash.Calls, MaskHandedOver(0));
}

TEST_F(InitialSettingsTest, SettingsAreReadFromTheVolumeRootFolder) {
  EXPECT_EQ(RunWith(Settings(ZONES)), EFI_SUCCESS);
  ASSERT_EQ(Volume.OpenRequests().size(), 1u);
  EXPECT_EQ(Volume.OpenRequests()[0].Path, SETTINGS_PATH);
}

}  // namespace
