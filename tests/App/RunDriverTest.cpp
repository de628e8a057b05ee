// The run driver: banner, shell protocols, read-mode rule, the IC loop in
// mask, address and read mode, clean-up, and the status handed to the shell.
#include <gtest/gtest.h>

#include "BoardTest.h"
#include "OrvUpdate.h"
#include "RunState.h"
#include "UsageText.h"

namespace {

class RunDriverTest : public BoardTest {};

const std::string READ_RULE =
    "Read 1 IC at a time!\n"
    "  \"OrvUpdate.efi 1 -r 0 10> out.txt\" read chip1 addr 0 len 10 data to out.txt\n";

TEST_F(RunDriverTest, NoArgumentsPrintsUsageAndStillRunsToTheCleanUp) {
  EXPECT_EQ(Run({}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), BANNER + USAGE_TEXT + "Current target: ChipA\n");
  EXPECT_EQ(Flash.CallCount("IcInit"), 1);
  EXPECT_TRUE(UpdatedIcs().empty());
  EXPECT_EQ(Image.CallCount("FreeImage"), 2);
  EXPECT_EQ(Path.Calls, (std::vector<std::string>{"PathInit", "PathDeinit"}));
  EXPECT_EQ(Flash.IcInitPathInterface, &Path.Protocol);
}

TEST_F(RunDriverTest, WithoutAnyShellProtocolTheRunEndsAfterTheBanner) {
  Fw.RemoveShell();
  EXPECT_EQ(OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable()), EFI_UNSUPPORTED);
  EXPECT_EQ(Fw.Console(), std::string(BANNER) + "Shell not supported");
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
}

TEST_F(RunDriverTest, OlderShellInterfaceSuppliesTheArguments) {
  Fw.SetArgumentsOldShell({"1", "-r", "0", "10"});
  EXPECT_EQ(OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), BANNER + std::string("Current target: ChipA\n") +
                              "Read ic 1, addr 00000000, length 00000010\n");
}

TEST_F(RunDriverTest, ReadModeReadsTheOneSelectedIcAndLoadsNoImage) {
  EXPECT_EQ(Run({"1", "-r", "0", "10"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), BANNER + std::string("Current target: ChipA\n") +
                              "Read ic 1, addr 00000000, length 00000010\n");
  EXPECT_TRUE(UpdatedIcs().empty());
  EXPECT_EQ(Image.CallCount("LoadImageFile"), 0);
  EXPECT_EQ(Path.Calls, (std::vector<std::string>{"PathInit", "PathDeinit"}));
}

TEST_F(RunDriverTest, ReadModeIgnoresTheDeviceAddress) {
  EXPECT_EQ(Run({"-d", "21", "0", "-r", "1f", "ABCDEF012"}), EFI_SUCCESS);
  EXPECT_EQ(Lines(Fw.Console()).back(), "Read ic 0, addr 0000001F, length ABCDEF01");
}

class ReadModeRule : public RunDriverTest,
                     public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(ReadModeRule, RefusesAnythingButOneIcAndLoadsNothing) {
  EXPECT_EQ(Run(GetParam()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw.Console(), BANNER + READ_RULE);
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0) << "the settings are not read";
  EXPECT_EQ(Flash.CallCount("IcInit"), 0);
}

INSTANTIATE_TEST_SUITE_P(Malformed, ReadModeRule,
                         ::testing::Values(std::vector<std::string>{"-r", "0", "10"},
                                           std::vector<std::string>{"-r", "0", "10", "-a"},
                                           std::vector<std::string>{"1", "2", "-r", "0", "10"}));

TEST_F(RunDriverTest, RefusedCommandLineEndsBeforeTheSettings) {
  EXPECT_EQ(Run({"1", "-r", "0"}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw.Console(), BANNER + std::string("-r read process need set addr and length!\n"));
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
  EXPECT_EQ(Run({"12"}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
}

TEST_F(RunDriverTest, FailedSettingsReturnTheirStatus) {
  Volume.RemoveFile(SETTINGS_PATH);
  EXPECT_EQ(Run({"0"}), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), BANNER + std::string("Open settings file error E\n"
                                                "OrvInitialSettings error E\n"
                                                "Load settings error, E\n"));
  EXPECT_EQ(Flash.CallCount("IcInit"), 0);
}

// Both early exits after a successful settings sequence release the images
// and the path component, as the end of the IC loop does; without it repeated
// runs in one boot fill the image parser's table.
TEST_F(RunDriverTest, IcInitFailureReturnsItsStatusAfterTheCleanUp) {
  Flash.Script.Fail("IcInit", EFI_DEVICE_ERROR);
  EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), BANNER + std::string("Current target: ChipA\nIC init error 7\n"));
  EXPECT_EQ(Image.CallCount("FreeImage"), 2);
  EXPECT_EQ(Path.Calls, (std::vector<std::string>{"PathInit", "PathDeinit"}));
  EXPECT_EQ(OcmImage, 0u);
  EXPECT_EQ(CustomerImage, 0u);
}

TEST_F(RunDriverTest, AddressOptionNeedsTheFlashAddressSlot) {
  Flash.RemoveGetIcAddress();
  EXPECT_EQ(Run({"-d", "21"}), EFI_UNSUPPORTED);
  EXPECT_EQ(Fw.Console(),
            BANNER + std::string("Current target: ChipA\nTarget Flash protocol not support -d yet\n"));
  EXPECT_EQ(Flash.CallCount("IcInit"), 0);
  EXPECT_EQ(Image.CallCount("FreeImage"), 2);
  EXPECT_EQ(Path.Calls, (std::vector<std::string>{"PathInit", "PathDeinit"}));
}

TEST_F(RunDriverTest, RepeatedEarlyExitsLeaveNoImageLoaded) {
  Flash.Script.Fail("IcInit", EFI_DEVICE_ERROR);
  for (int RunIndex = 0; RunIndex < 5; RunIndex++) {
      EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR);
    EXPECT_EQ(Image.LiveImages(), 0u) << "run " << RunIndex;
  }
  EXPECT_EQ(Image.CallCount("LoadImageFile"), 10);
  EXPECT_EQ(Image.CallCount("FreeImage"), 10);
}

TEST_F(RunDriverTest, MaskModeAttemptsEveryIcAndReportsAnEarlierFailure) {
  Flash.Script.Fail("GetActiveSection", EFI_DEVICE_ERROR, 1);
  EXPECT_EQ(Run({"0", "1"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdatedIcs(), (std::vector<int>{0, 1}));
  std::string Console = Fw.Console();
  EXPECT_NE(Console.find("Get IC 0 active section error 7\nIC 0 update error 7\n"),
            std::string::npos)
      << Console;
  EXPECT_NE(Console.find("IC 1 update success,runing section 1, ver 20\n"), std::string::npos)
      << Console;
}

// ---- Selected ICs the board does not have ---------------------------------------

struct MissingRow {
  const char *Name;
  std::vector<std::string> Arguments;
  size_t IcCount;
  std::vector<int> Updated;
  std::vector<std::string> MissingLines;  // the lines after the last IC's own lines
  EFI_STATUS Status;
};

void PrintTo(const MissingRow &Row, std::ostream *Out) { *Out << Row.Name; }

class MissingIcTest : public RunDriverTest, public ::testing::WithParamInterface<MissingRow> {};

TEST_P(MissingIcTest, IsReportedOnceInAscendingOrder) {
  const MissingRow &Row = GetParam();
  Flash.Ics.resize(Row.IcCount);
  if (Row.Status == EFI_DEVICE_ERROR) Flash.Script.Fail("GetActiveSection", EFI_DEVICE_ERROR, 1);
  EXPECT_EQ(Run(Row.Arguments), Row.Status);
  EXPECT_EQ(UpdatedIcs(), Row.Updated);
  std::vector<std::string> Console = Lines(Fw.Console());
  ASSERT_GE(Console.size(), Row.MissingLines.size());
  std::vector<std::string> Tail(Console.end() - Row.MissingLines.size(), Console.end());
  EXPECT_EQ(Tail, Row.MissingLines) << Fw.Console();
  size_t Expected = 0, Printed = 0;
  for (const auto &L : Row.MissingLines) Expected += L.find("not found") != std::string::npos;
  for (const auto &L : Console) Printed += L.find("not found") != std::string::npos;
  EXPECT_EQ(Printed, Expected) << "each missing IC once";
  EXPECT_EQ(Path.Calls.back(), "PathDeinit") << "the clean-up still runs";
}

INSTANTIATE_TEST_SUITE_P(
    Limits, MissingIcTest,
    ::testing::Values(
        MissingRow{"OnlyAMissingIc", {"5"}, 2, {}, {"IC 5 not found"}, EFI_NOT_FOUND},
        MissingRow{"OneHandledOneMissing", {"0", "1"}, 1, {0}, {"IC 1 not found"}, EFI_NOT_FOUND},
        MissingRow{"AscendingWhateverTheOrder",
                   {"9", "0", "5"},
                   2,
                   {0},
                   {"IC 5 not found", "IC 9 not found"},
                   EFI_NOT_FOUND},
        MissingRow{"NoIcsAtAll", {"0"}, 0, {}, {"IC 0 not found"}, EFI_NOT_FOUND},
        MissingRow{"ReadModeOfAMissingIc",
                   {"3", "-r", "0", "10"},
                   2,
                   {},
                   {"Current target: ChipA", "IC 3 not found"},
                   EFI_NOT_FOUND}),
    [](const ::testing::TestParamInfo<MissingRow> &Info) { return Info.param.Name; });

TEST_F(RunDriverTest, FailedIcStatusStandsOverAMissingIc) {
  Flash.Script.Fail("GetActiveSection", EFI_DEVICE_ERROR, 1);
  EXPECT_EQ(Run({"0", "5"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Lines(Fw.Console()).back(), "IC 5 not found");
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{0});
}

TEST_F(RunDriverTest, AllIcsAndExistingIcsReportNothingMissing) {
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console().find("not found"), std::string::npos);
  Fw.ClearConsole();
  // -a selects ICs 0 to 31 whatever the count; digits beside it change nothing.
  EXPECT_EQ(Run({"-a", "5"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console().find("not found"), std::string::npos);
}

TEST_F(RunDriverTest, AddressModeIgnoresMissingDigits) {
  EXPECT_EQ(Run({"-d", "21", "7"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{1});
  EXPECT_EQ(Fw.Console().find("IC 7 not found"), std::string::npos);
}

TEST_F(RunDriverTest, MaskNeverSelectsIcsFrom64On) {
  Flash.Ics.resize(70);
  EXPECT_EQ(Run({"0"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{0}) << "IC 64 must not alias IC 0";
  Flash.Calls.clear();
  EXPECT_EQ(Run({"-a", "-f"}), EFI_SUCCESS);
  std::vector<int> Expected(32);
  for (int Index = 0; Index < 32; Index++) Expected[Index] = Index;
  EXPECT_EQ(UpdatedIcs(), Expected);
}

TEST_F(RunDriverTest, AddressModeUpdatesOnlyTheFirstMatchingIc) {
  Flash.Ics[0].Address = 0x5A;
  Flash.Ics[1].Address = 0x5A;
  EXPECT_EQ(Run({"-d", "5a", "1"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{0});
  EXPECT_EQ(Flash.CallCount("GetIcAddress(0,0)"), 1);
  EXPECT_EQ(Flash.CallCount("GetIcAddress(1,"), 0);
}

TEST_F(RunDriverTest, AddressModeIgnoresTheChipDigits) {
  EXPECT_EQ(Run({"-d", "21", "0"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{1});
}

TEST_F(RunDriverTest, AddressModeFailureNamesTheAddress) {
  Flash.Script.Fail("EraseBank", EFI_DEVICE_ERROR);
  EXPECT_EQ(Run({"-D", "21"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Lines(Fw.Console()).back(), "Addr 21 IC update error 7");
}

TEST_F(RunDriverTest, UnansweredAddressListsTheAddressesAndFails) {
  EXPECT_EQ(Run({"-d", "5a"}), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), BANNER + std::string("Current target: ChipA\n"
                                                "Addr 5A IC not found\nAvailable : 20 21 \n"));
  EXPECT_TRUE(UpdatedIcs().empty());
  EXPECT_EQ(Image.CallCount("FreeImage"), 2);
}

TEST_F(RunDriverTest, UnansweredAddressWithNoIcsListsNothing) {
  Flash.Ics.clear();
  EXPECT_EQ(Run({"-d", "5a"}), EFI_NOT_FOUND);
  EXPECT_EQ(Lines(Fw.Console()).back(), "Available : ");
}

TEST_F(RunDriverTest, CleanUpReleasesOnlyLoadedImages) {
  Volume.AddFile(SETTINGS_PATH, "[default]\ntarget = B\n[B]\nOCM = none\ncustomer = cust.hex\n");
  EXPECT_EQ(Run({}), EFI_SUCCESS);
  EXPECT_EQ(Image.CallCount("FreeImage"), 1);
  EXPECT_EQ(Image.Calls.back(), "FreeImage(0x101)");
  EXPECT_EQ(OcmImage, 0u);
  EXPECT_EQ(CustomerImage, 0u);
}

}  // namespace
