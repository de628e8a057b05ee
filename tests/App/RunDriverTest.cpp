// The run driver: banner, shell protocols, read-mode rule, the IC loop in
// mask, address and read mode, clean-up, and the status handed to the shell.
#include <gtest/gtest.h>

#include <algorithm>

#include "BoardTest.h"
#include "OrvUpdate.h"
#include "RunState.h"
#include "UsageText.h"

namespace {

class RunDriverTest : public BoardTest {};

const std::string READ_RULE =
    "Read 1 IC at a time!\n"
    "  \"OrvUpdate.efi 1 -r 0 10> out.txt\" read chip1 addr 0 len 10 data to out.txt\n";

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
  EXPECT_TRUE(Journal.empty());
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
  EXPECT_TRUE(Journal.empty());
}

TEST_F(RunDriverTest, RepeatedEarlyExitsLeaveNoImageLoaded) {
  Flash.Fail(SIM_OP::IcInit, EFI_DEVICE_ERROR);
  for (int RunIndex = 0; RunIndex < 5; RunIndex++) {
    EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR);
    EXPECT_EQ(Image.LiveImages(), 0u) << "run " << RunIndex;
  }
  EXPECT_EQ(Image.CallCount("LoadImageFile"), 10);
  EXPECT_EQ(Image.CallCount("FreeImage"), 10);
}

TEST_F(RunDriverTest, MaskModeAttemptsEveryIcAndReportsAnEarlierFailure) {
  Flash.Fail(SIM_OP::GetActiveSection, EFI_DEVICE_ERROR, {.Call = 1});
  EXPECT_EQ(Run({"0", "1"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdatedIcs(), (std::vector<int>{0, 1}));
  std::string Console = Fw.Console();
  EXPECT_NE(Console.find("Get IC 0 active section error 7\nIC 0 update error 7\n"),
            std::string::npos)
      << Console;
  EXPECT_NE(Console.find("IC 1 update success,runing section 1, ver 20\n"), std::string::npos)
      << Console;
}

// ---- How a run that got past the settings ends ------------------------------------

struct EndRow {
  const char *Name;
  std::vector<std::string> Arguments;
  /// The flash component of the board, when it differs from the model's two ICs.
  void (*Board)(ModelFlash &);
  std::vector<int> Updated;
  std::vector<std::string> LastLines;
  EFI_STATUS Status;
};

void PrintTo(const EndRow &Row, std::ostream *Out) { *Out << Row.Name; }

class RunEndTest : public RunDriverTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(RunEndTest, ReportsReleasesTheImagesThenThePathAndReturns) {
  const EndRow &Row = GetParam();
  if (Row.Board != nullptr) Row.Board(Flash);
  EXPECT_EQ(Run(Row.Arguments), Row.Status);
  EXPECT_EQ(UpdatedIcs(), Row.Updated);
  std::vector<std::string> Console = Lines(Fw.Console());
  ASSERT_GE(Console.size(), Row.LastLines.size());
  std::vector<std::string> Tail(Console.end() - Row.LastLines.size(), Console.end());
  EXPECT_EQ(Tail, Row.LastLines) << Fw.Console();
  auto NotFound = [](const std::vector<std::string> &Of) {
    return std::count_if(Of.begin(), Of.end(), [](const std::string &L) {
      return L.find("not found") != std::string::npos;
    });
  };
  EXPECT_EQ(NotFound(Console), NotFound(Row.LastLines)) << "each missing IC once";

  // Both zone images go back to the image parser (TearDown: none left)
  // before the path component is shut down, the last call of the run.
  ASSERT_FALSE(Journal.empty());
  EXPECT_EQ(Journal.back(), SIM_OP::PathDeinit);
  EXPECT_EQ(Path.Calls, (std::vector<std::string>{"PathInit", "PathDeinit"}));
  EXPECT_EQ(OcmImage, 0u);
  EXPECT_EQ(CustomerImage, 0u);
  EXPECT_EQ(Flash.IcInitPath, Flash.Count(SIM_OP::IcInit) != 0 ? &Path.Protocol : nullptr);
}

void NoIcs(ModelFlash &Flash) { Flash.ReportedIcCount = 0; }

INSTANTIATE_TEST_SUITE_P(
    Limits, RunEndTest,
    ::testing::Values(
        EndRow{"NoArguments", {}, nullptr, {}, Lines(USAGE_TEXT + "Current target: ChipA\n"),
               EFI_SUCCESS},
        EndRow{"AllSelectedIcsUpdated", {"0", "1"}, nullptr, {0, 1},
               {"IC 1 update success,runing section 1, ver 20",
                "Start Update Chip 1 Customer Zone!"},
               EFI_SUCCESS},
        EndRow{"AllIcsWithAMissingDigit", {"-a", "5"}, nullptr, {0, 1},
               {"Start Update Chip 1 Customer Zone!"}, EFI_SUCCESS},
        EndRow{"IcInitFails", {"0"},
               [](ModelFlash &Flash) { Flash.Fail(SIM_OP::IcInit, EFI_DEVICE_ERROR); }, {},
               {"Current target: ChipA", "IC init error 7"}, EFI_DEVICE_ERROR},
        EndRow{"AddressWithoutTheAddressSlot", {"-d", "21"},
               [](ModelFlash &Flash) { Flash.Protocol.GetIcAddress = nullptr; }, {},
               {"Current target: ChipA", "Target Flash protocol not support -d yet"},
               EFI_UNSUPPORTED},
        EndRow{"UnansweredAddress", {"-d", "5a"}, nullptr, {},
               {"Current target: ChipA", "Addr 5A IC not found", "Available : 20 21 "},
               EFI_NOT_FOUND},
        EndRow{"UnansweredAddressWithNoIcs", {"-d", "5a"}, NoIcs, {},
               {"Addr 5A IC not found", "Available : "}, EFI_NOT_FOUND},
        EndRow{"OnlyAMissingIc", {"5"}, nullptr, {}, {"IC 5 not found"}, EFI_NOT_FOUND},
        EndRow{"OneHandledOneMissing", {"0", "1"},
               [](ModelFlash &Flash) { Flash.ReportedIcCount = 1; }, {0}, {"IC 1 not found"},
               EFI_NOT_FOUND},
        EndRow{"MissingInAscendingOrderWhateverTheOrder", {"9", "0", "5"}, nullptr, {0},
               {"IC 5 not found", "IC 9 not found"}, EFI_NOT_FOUND},
        EndRow{"NoIcsAtAll", {"0"}, NoIcs, {}, {"IC 0 not found"}, EFI_NOT_FOUND},
        EndRow{"ReadModeOfAMissingIc", {"3", "-r", "0", "10"}, nullptr, {},
               {"Current target: ChipA", "IC 3 not found"}, EFI_NOT_FOUND},
        // A failed IC's status stands over a missing IC.
        EndRow{"FailedIcAndAMissingIc", {"0", "5"},
               [](ModelFlash &Flash) {
                 Flash.Fail(SIM_OP::GetActiveSection, EFI_DEVICE_ERROR, {.Call = 1});
               },
               {0}, {"IC 5 not found"}, EFI_DEVICE_ERROR}),
    [](const ::testing::TestParamInfo<EndRow> &Info) { return Info.param.Name; });

TEST_F(RunDriverTest, AddressModeIgnoresMissingDigits) {
  EXPECT_EQ(Run({"-d", "21", "7"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{1});
  EXPECT_EQ(Fw.Console().find("IC 7 not found"), std::string::npos);
}

TEST_F(RunDriverTest, MaskNeverSelectsIcsFrom64On) {
  // A flash component that counts 70 ICs; the model holds two and refuses
  // calls for the others.
  Flash.ReportedIcCount = 70;
  EXPECT_EQ(Run({"0"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{0}) << "IC 64 must not alias IC 0";
  Flash.ClearCalls();
  EXPECT_EQ(Run({"-a", "-f"}), EFI_DEVICE_ERROR);
  std::vector<int> Expected(32);
  for (int Index = 0; Index < 32; Index++) Expected[Index] = Index;
  EXPECT_EQ(UpdatedIcs(), Expected);
  EXPECT_EQ(Flash.TakeRefusals().size(), 30u) << "ICs 2 to 31";
}

TEST_F(RunDriverTest, AddressModeUpdatesOnlyTheFirstMatchingIc) {
  ASSERT_TRUE(Flash.SetFaults("GetIcAddress Ic=0 Value=0x5A\nGetIcAddress Ic=1 Value=0x5A\n"));
  EXPECT_EQ(Run({"-d", "5a", "1"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{0});
  EXPECT_EQ(Flash.Count(SIM_OP::GetIcAddress, 0), 1u);
  EXPECT_EQ(Flash.Count(SIM_OP::GetIcAddress, 1), 0u);
}

TEST_F(RunDriverTest, AddressModeIgnoresTheChipDigits) {
  EXPECT_EQ(Run({"-d", "21", "0"}), EFI_SUCCESS);
  EXPECT_EQ(UpdatedIcs(), std::vector<int>{1});
}

TEST_F(RunDriverTest, AddressModeFailureNamesTheAddress) {
  Flash.Fail(SIM_OP::EraseBank, EFI_DEVICE_ERROR);
  EXPECT_EQ(Run({"-D", "21"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Lines(Fw.Console()).back(), "Addr 21 IC update error 7");
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
