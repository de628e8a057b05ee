// OrvInfo.efi: the line of each IC, the plan, verify, the pass around the
// reads, component failures, the same refusals and settings failures as
// OrvUpdate.efi, and that nothing is ever written.
#include <gtest/gtest.h>

#include <ostream>

#include "BoardTest.h"
#include "FakePolicy.h"
#include "OrvInfo.h"
#include "RunState.h"

namespace {

const std::string INFO_BANNER = "OrvInfo tool version 00.01.0002\n";
const std::string HEAD = INFO_BANNER + "Current target: ChipA\nics=2\n";
const std::string IC0 = "ic=0 addr=20 section=0 ver0=10 ver1=0 image=20 ocm=newer:bank1 customer=bank0";
const std::string IC1 = "ic=1 addr=21 section=0 ver0=10 ver1=0 image=20 ocm=newer:bank1 customer=bank0";
/// IC 0 once it holds the images (HoldImages).
const std::string IC0_HELD =
    "ic=0 addr=20 section=0 ver0=20 ver1=0 image=20 ocm=current customer=bank0";

/// Flash operations that change flash contents or state.
constexpr SIM_OP WRITING_OPERATIONS[] = {SIM_OP::UnlockFlash,        SIM_OP::EraseBank,
                                         SIM_OP::WriteBankData,      SIM_OP::lockFlash,
                                         SIM_OP::FlashPostOperation, SIM_OP::HardwareCheckBank,
                                         SIM_OP::SetActiveBank};

// The model refuses a pass closed that was not opened or opened twice, and
// the fixture fails a test that leaves one open.
class OrvInfoTest : public BoardTest {
 protected:
  void TearDown() override {
    for (SIM_OP Operation : WRITING_OPERATIONS) {
      EXPECT_EQ(Flash.Count(Operation), 0u) << SimOpName(Operation) << " must never be called";
    }
    BoardTest::TearDown();
  }
  /// The active OCM bank holds the OCM image, both customer banks the customer image.
  void HoldImages(UINT8 Ic) {
    Flash.Program(Ic, ZONE_OCM, 0, NewOcm);
    Flash.Program(Ic, ZONE_CUSTOMER, 0, Customer);
    Flash.Program(Ic, ZONE_CUSTOMER, 1, Customer);
  }
};

TEST_F(OrvInfoTest, NoArgumentsListsEveryIcAndReleasesTheRun) {
  EXPECT_EQ(RunInfo({}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), HEAD + IC0 + "\n" + IC1 + "\n");
  EXPECT_EQ(Flash.Count(SIM_OP::FlashPreOperation), 0u) << "no pass without -v";
  EXPECT_EQ(Flash.Count(SIM_OP::ReadBankData), 0u);
  EXPECT_EQ(Image.CallCount("FreeImage"), 2);
  EXPECT_EQ(Path.Calls, (std::vector<std::string>{"PathInit", "PathDeinit"}));
}

// Help comes before every other argument, even a refused one, and ends the
// run with success before the settings are read.
TEST_F(OrvInfoTest, HelpPrintsTheUsageAndReadsNothing) {
  const std::vector<std::vector<std::string>> LINES = {{"-h"}, {"0", "--help"}, {"-?"}, {"-H", "-r"}, {"12", "-h"}};
  for (const std::vector<std::string> &Arguments : LINES) {
    Fw.ClearConsole();
    EXPECT_EQ(RunInfo(Arguments), EFI_SUCCESS) << Arguments[0];
    EXPECT_EQ(Fw.Console().rfind(INFO_BANNER + "Usage: OrvInfo.efi [0-9]...", 0), 0u) << Fw.Console();
    EXPECT_EQ(Lines(Fw.Console()).back(), "Status: 0x0 listed (and matched), 0x1B a bank differs, 0xE an IC not found.");
  }
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
}

TEST_F(OrvInfoTest, LineShowsEachSectionsVersionAndAnUpToDateIc) {
  Flash.Program(1, ZONE_OCM, 1, NewOcm);
  Flash.SetActive(1, 1);
  Flash.Protocol.GetIcAddress = nullptr;
  EXPECT_EQ(RunInfo({"1"}), EFI_SUCCESS);
  EXPECT_EQ(Lines(Fw.Console()).back(),
            "ic=1 addr=- section=1 ver0=10 ver1=20 image=20 ocm=current customer=bank0");
}

TEST_F(OrvInfoTest, ImageVersionIsShownWithAll64Bits) {
  Image.Files[OCM_PATH].Version = 0x100000000ull;
  Flash.Program(0, ZONE_OCM, 0, MakeZoneImage(0xFFFFFFFF, 10, 5));
  EXPECT_EQ(RunInfo({"0"}), EFI_SUCCESS);
  EXPECT_EQ(Lines(Fw.Console()).back(),
            "ic=0 addr=20 section=0 ver0=FFFFFFFF ver1=0 image=100000000 ocm=newer:bank1 "
            "customer=bank0");
}

TEST_F(OrvInfoTest, ForceOverrideAndBackupChangeThePlan) {
  Image.Files["new.hex"] = {{9, 9, 9}, 0x10};
  EXPECT_EQ(RunInfo({"1", "-f", "-o", "new.hex", "-cb"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), INFO_BANNER +
                              "Current target: ChipA\n"
                              "Override OCM zone file, using new.hex\n"
                              "ics=2\n"
                              "ic=1 addr=21 section=0 ver0=10 ver1=0 image=10 ocm=forced:bank1 "
                              "customer=bank0+1\n");
}

TEST_F(OrvInfoTest, NoSectionAsksTheVersionAsTheUpdateDoes) {
  Flash.SetActive(0, SIM_SECTION_NONE);
  Image.Files[OCM_PATH].Version = 0;
  EXPECT_EQ(RunInfo({"0"}), EFI_SUCCESS);
  EXPECT_EQ(Lines(Fw.Console()).back(),
            "ic=0 addr=20 section=none ver0=10 ver1=0 image=0 ocm=nosection:bank0 customer=bank0");
  EXPECT_EQ(Flash.Count({SIM_OP::GetIcVersion, 0, SIM_SECTION_NONE}), 1u);
}

TEST_F(OrvInfoTest, ZonesWithoutImages) {
  Volume.AddFile(SETTINGS_PATH, "[default]\ntarget = B\n[B]\nOCM = none\ncustomer = none\n");
  EXPECT_EQ(RunInfo({"0", "-v", "-cb"}), EFI_SUCCESS);
  EXPECT_EQ(Lines(Fw.Console()).back(),
            "ic=0 addr=20 section=0 ver0=10 ver1=0 image=none ocm=none customer=none "
            "vocm=- vcust0=- vcust1=-");
  EXPECT_EQ(Flash.Count(SIM_OP::FlashPreOperation), 0u) << "nothing to read, no pass";
}

// ---- Verify -----------------------------------------------------------------------

TEST_F(OrvInfoTest, VerifyMatchesTheActiveBankAndTheCustomerBankAnUpdateWrites) {
  HoldImages(0);
  EXPECT_EQ(RunInfo({"0", "-v"}), EFI_SUCCESS);
  EXPECT_EQ(Lines(Fw.Console()).back(), IC0_HELD + " vocm=match vcust0=match vcust1=-");
  EXPECT_EQ(Flash.Calls, (std::vector<FlashCall>{
                             {.Op = SIM_OP::SetReduceFlags},
                             {SIM_OP::IcInit},
                             {SIM_OP::GetActiveSection, 0},
                             {SIM_OP::GetIcVersion, 0, 0},
                             {SIM_OP::GetIcVersion, 0, 1},
                             {SIM_OP::FlashPreOperation, 0},
                             {SIM_OP::ReadBankData, 0, 0, ZONE_OCM, NewOcm.size()},
                             {SIM_OP::ReadBankData, 0, 0, ZONE_CUSTOMER, Customer.size()},
                             {SIM_OP::ICPostOperation, 0},
                             {SIM_OP::GetIcAddress, 0, FLASH_NO_ARG, FLASH_NO_ARG, 0x20}}));
}

TEST_F(OrvInfoTest, VerifyReportsTheFirstDifferenceOfEachBank) {
  HoldImages(0);
  Flash.BankData(0, ZONE_CUSTOMER, 1)[3] ^= 0x10;
  Flash.BankData(0, ZONE_CUSTOMER, 1)[6] ^= 0x10;
  Flash.Program(0, ZONE_OCM, 0, {});  // erased: reads back FF
  EXPECT_EQ(RunInfo({"0", "-V", "-cb"}), EFI_CRC_ERROR);
  EXPECT_EQ(Lines(Fw.Console()).back(),
            "ic=0 addr=20 section=0 ver0=0 ver1=0 image=20 ocm=newer:bank1 customer=bank0+1 "
            "vocm=diff@0 vcust0=match vcust1=diff@3");
}

TEST_F(OrvInfoTest, VerifyDifferenceOnOneIcStillListsTheOthers) {
  HoldImages(1);
  EXPECT_EQ(RunInfo({"-v"}), EFI_CRC_ERROR);
  std::vector<std::string> Out = Lines(Fw.Console());
  ASSERT_EQ(Out.size(), 5u);
  // The old image differs from the new one first in its header's length.
  EXPECT_EQ(Out[3], IC0 + " vocm=diff@4 vcust0=diff@0 vcust1=-");
  EXPECT_EQ(Out[4], "ic=1 addr=21 section=0 ver0=20 ver1=0 image=20 ocm=current customer=bank0"
                    " vocm=match vcust0=match vcust1=-");
  EXPECT_EQ(Flash.Count(SIM_OP::FlashPreOperation), 2u);
  EXPECT_EQ(Flash.Count(SIM_OP::ICPostOperation), 2u);
}

TEST_F(OrvInfoTest, VerifyWithoutAnActiveSectionIsADifference) {
  HoldImages(0);
  Flash.SetActive(0, SIM_SECTION_NONE);
  EXPECT_EQ(RunInfo({"0", "-v"}), EFI_CRC_ERROR);
  EXPECT_EQ(Lines(Fw.Console()).back(),
            "ic=0 addr=20 section=none ver0=20 ver1=0 image=20 ocm=newer:bank0 customer=bank0 "
            "vocm=nosection vcust0=match vcust1=-");
  EXPECT_EQ(Flash.Count(SIM_OP::ReadBankData, 0), 1u) << "only the customer bank is read";
}

// ---- Component failures --------------------------------------------------------------

struct FailureRow {
  const char *Name;
  std::vector<std::string> Arguments;
  /// Its first call fails with EFI_TIMEOUT.
  SIM_OP Op;
  std::vector<std::string> Ic0Lines;
  EFI_STATUS Status;
};

void PrintTo(const FailureRow &Row, std::ostream *Out) { *Out << Row.Name; }

class OrvInfoFailureTest : public OrvInfoTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(OrvInfoFailureTest, FailedCallFollowsItsLineAndTheOtherIcIsStillListed) {
  const FailureRow &Row = GetParam();
  HoldImages(0);
  HoldImages(1);
  Fail(Row.Op, EFI_TIMEOUT, {.Call = 1});
  std::vector<std::string> Arguments = Row.Arguments;
  Arguments.insert(Arguments.begin(), {"0", "1"});
  EXPECT_EQ(RunInfo(Arguments), Row.Status);
  std::vector<std::string> Out = Lines(Fw.Console());
  ASSERT_EQ(Out.size(), 4 + Row.Ic0Lines.size()) << Fw.Console();
  EXPECT_EQ(std::vector<std::string>(Out.begin() + 3, Out.end() - 1), Row.Ic0Lines);
  EXPECT_EQ(Out.back().rfind("ic=1 addr=21 section=0 ver0=20 ver1=0 image=20", 0), 0u);
  EXPECT_EQ(Image.CallCount("FreeImage"), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OrvInfoFailureTest,
    ::testing::Values(
        FailureRow{"GetActiveSection", {}, SIM_OP::GetActiveSection,
                   {"ic=0 addr=20 section=? ver0=20 ver1=0 image=20 ocm=? customer=bank0",
                    "IC 0 GetActiveSection error 12"},
                   EFI_TIMEOUT},
        FailureRow{"GetIcVersionOfTheActiveSection", {}, SIM_OP::GetIcVersion,
                   {"ic=0 addr=20 section=0 ver0=? ver1=0 image=20 ocm=? customer=bank0",
                    "IC 0 GetIcVersion error 12"},
                   EFI_TIMEOUT},
        FailureRow{"GetImageVersion", {}, SIM_OP::GetImageVersion,
                   {"ic=0 addr=20 section=0 ver0=20 ver1=0 image=? ocm=? customer=bank0",
                    "IC 0 GetImageVersion error 12"},
                   EFI_TIMEOUT},
        FailureRow{"FlashPreOperation", {"-v"}, SIM_OP::FlashPreOperation,
                   {IC0_HELD + " vocm=? vcust0=? vcust1=-", "IC 0 FlashPreOperation error 12"},
                   EFI_TIMEOUT},
        FailureRow{"ReadBankData", {"-v"}, SIM_OP::ReadBankData,
                   {IC0_HELD + " vocm=? vcust0=match vcust1=-", "IC 0 ReadBankData error 12"},
                   EFI_TIMEOUT},
        FailureRow{"GetImageData", {"-v"}, SIM_OP::GetImageData,
                   {IC0_HELD + " vocm=? vcust0=match vcust1=-", "IC 0 GetImageData error 12"},
                   EFI_TIMEOUT},
        FailureRow{"ICPostOperation", {"-v"}, SIM_OP::ICPostOperation,
                   {IC0_HELD + " vocm=match vcust0=match vcust1=-", "IC 0 ICPostOperation error 12"},
                   EFI_TIMEOUT}),
    [](const ::testing::TestParamInfo<FailureRow> &Info) { return Info.param.Name; });

TEST_F(OrvInfoTest, FailedPreOperationOpensNoPassToClose) {
  HoldImages(0);
  Flash.Fail(SIM_OP::FlashPreOperation, EFI_DEVICE_ERROR, {.Call = 1});
  EXPECT_EQ(RunInfo({"0", "-v"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Flash.Count(SIM_OP::ICPostOperation), 0u);
  EXPECT_EQ(Flash.Count(SIM_OP::ReadBankData), 0u);
}

TEST_F(OrvInfoTest, FailureStandsOverAVerifyDifference) {
  HoldImages(1);
  Flash.Fail(SIM_OP::GetIcVersion, EFI_DEVICE_ERROR, {.Ic = 1, .Bank = 0});
  EXPECT_EQ(RunInfo({"-v"}), EFI_DEVICE_ERROR);
}

// ---- Selection, refusals, early ends -----------------------------------------------

TEST_F(OrvInfoTest, MissingIcIsReportedAfterTheListedOnes) {
  EXPECT_EQ(RunInfo({"5", "0"}), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), HEAD + IC0 + "\nIC 5 not found\n");
  Fw.ClearConsole();
  EXPECT_EQ(RunInfo({"-a"}), EFI_SUCCESS) << "-a lists the ICs there are";
}

TEST_F(OrvInfoTest, AddressModeListsTheAnsweringIcOrTheAddresses) {
  EXPECT_EQ(RunInfo({"-d", "21", "0"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), HEAD + IC1 + "\n");
  Fw.ClearConsole();
  EXPECT_EQ(RunInfo({"-d", "5a"}), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), HEAD + "Addr 5A IC not found\nAvailable : 20 21 \n");
}

TEST_F(OrvInfoTest, AddressModeNeedsTheAddressSlot) {
  Flash.Protocol.GetIcAddress = nullptr;
  EXPECT_EQ(RunInfo({"-d", "21"}), EFI_UNSUPPORTED);
  EXPECT_EQ(Lines(Fw.Console()).back(), "Target Flash protocol not support -d yet");
  EXPECT_EQ(Path.Calls.back(), "PathDeinit");
}

TEST_F(OrvInfoTest, RefusalsEndBeforeTheSettings) {
  EXPECT_EQ(RunInfo({"12"}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw.Console(), INFO_BANNER + "Invalid chip index 12: expected one digit 0-9\n");
  Fw.ClearConsole();
  EXPECT_EQ(RunInfo({"1", "-r", "0", "10"}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw.Console(), INFO_BANNER + "OrvInfo.efi has no read mode (-r)\n");
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
}

TEST_F(OrvInfoTest, SettingsAndIcInitFailuresReturnTheirStatus) {
  Flash.Fail(SIM_OP::IcInit, EFI_DEVICE_ERROR);
  EXPECT_EQ(RunInfo({}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), INFO_BANNER + "Current target: ChipA\nIC init error 7\n");
  EXPECT_EQ(Path.Calls.back(), "PathDeinit");
  Fw.ClearConsole();
  Volume.RemoveFile(SETTINGS_PATH);
  EXPECT_EQ(RunInfo({"0"}), EFI_NOT_FOUND);
  EXPECT_EQ(Lines(Fw.Console()).back(), "Load settings error, E");
}

// ---- With a flash policy --------------------------------------------------------

struct VerdictRow {
  const char *Name;
  std::vector<std::string> Arguments;
  ORV_IMAGE_ACCEPTANCE Ocm;
  ORV_IMAGE_ACCEPTANCE Customer;
  EFI_STATUS SecurityStatus;
  std::string Lines;  // IC 0's lines
};

void PrintTo(const VerdictRow &Row, std::ostream *Out) { *Out << Row.Name; }

class OrvInfoVerdictTest : public OrvInfoTest, public ::testing::WithParamInterface<VerdictRow> {};

// The plan says what the update would do with the policy's word: a refused
// IC is left untouched, and each refused image is named as the update names it.
TEST_P(OrvInfoVerdictTest, PlanShowsThePolicysVerdict) {
  const VerdictRow &Row = GetParam();
  FakePolicy Policy;
  Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Policy.Protocol);
  Policy.Security.Enforced = ORV_IC_ENFORCES_SIGNATURE | ORV_IC_ENFORCES_ZONE | ORV_IC_ENFORCES_FLOOR;
  Policy.Security.Floor = 3;
  Policy.SecurityStatus = Row.SecurityStatus;
  Policy.Judge = [&](UINT8, UINT8 Zone, const std::vector<UINT8> &) {
    return Zone == ZONE_OCM ? Row.Ocm : Row.Customer;
  };
  (void)RunInfo(Row.Arguments);
  EXPECT_EQ(Fw.Console(), HEAD + Row.Lines);
}

const ORV_IMAGE_ACCEPTANCE ACCEPTED = Answer(ORV_IMAGE_ACCEPTED);
const std::string IC0_PLAN = "ic=0 addr=20 section=0 ver0=10 ver1=0 image=20 ";
const std::string ENFORCES = " enforces=signature+zone+floor floor=3\n";

INSTANTIATE_TEST_SUITE_P(
    Verdicts, OrvInfoVerdictTest,
    ::testing::Values(
        VerdictRow{"Accepted", {"0"}, ACCEPTED, ACCEPTED, EFI_SUCCESS, IC0 + ENFORCES},
        VerdictRow{"Downgrade", {"0", "-f"}, Answer(ORV_IMAGE_BELOW_FLOOR, 2, 3), ACCEPTED,
                   EFI_SUCCESS,
                   IC0_PLAN + "ocm=refused customer=refused" + ENFORCES +
                       "IC 0 OCM image refused: counter 2 below floor 3\n"},
        VerdictRow{"CustomerOnly", {"0"}, ACCEPTED, Answer(ORV_IMAGE_WRONG_ZONE), EFI_SUCCESS,
                   IC0_PLAN + "ocm=refused customer=refused" + ENFORCES +
                       "IC 0 customer image refused: signed for the other zone\n"},
        VerdictRow{"SecurityUnknown", {"0"}, ACCEPTED, ACCEPTED, EFI_DEVICE_ERROR,
                   IC0 + " enforces=? floor=?\nIC 0 GetIcSecurity error 7\n"}));

}  // namespace
