// Whole runs of the application from the settings file on the volume through
// the component drivers and zone images to programmed banks, with exact
// transcripts; checks look at the bank contents and active sections
// afterwards.
#include <gtest/gtest.h>

#include "BoardTest.h"
#include "HexImage.h"
#include "RunState.h"

namespace {

const std::string HEAD = "OrvUpdate tool version 00.01.0002\nCurrent target: ChipA\n";

/// The lines of an IC on section 0 with the old image that gets the new one
/// into bank 1, then the customer image.
std::string Updated(int Ic) {
  const std::string N = std::to_string(Ic);
  return "IC " + N + ", current section 0, ver 10\nStart Update Chip " + N +
         " OCM section 1\nIC " + N + " update success,runing section 1, ver 20\n" +
         "Start Update Chip " + N + " Customer Zone!\n";
}

/// The lines of an IC that runs the new image from bank 1.
std::string Current(int Ic) {
  const std::string N = std::to_string(Ic);
  return "IC " + N + ", current section 1, ver 20\nNot Update! Image Ver 20\n" +
         "Start Update Chip " + N + " Customer Zone!\n";
}

const std::string BACKUP = "include customer backup is set, Updating\n";

class WholeRunTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    // The components are not installed yet: their drivers are files in the
    // component folder, loaded by the first run.
    Fw.UninstallProtocol(ImageParserHandle, gOrvImageProtocolGuid);
    Fw.UninstallProtocol(FlashHandle, gOrvFlashProtocolGuid);
    Fw.UninstallProtocol(PathHandle, gOrvPathProtocolGuid);
    AddDriver("OrvHexImage.efi", gOrvImageProtocolGuid, &Image.Protocol);
    AddDriver("OrvFlashSim.efi", gOrvFlashProtocolGuid, &Flash.Protocol);
    AddDriver("OrvPathSim.efi", gOrvPathProtocolGuid, &Path.Protocol);
  }
  void AddDriver(const std::string &Name, const EFI_GUID &Guid, void *Interface) {
    Fw.AddDriverFile("OrvUpdateComponent\\" + Name, [this, &Guid, Interface](EFI_HANDLE Driver) {
      Fw.InstallProtocol(Driver, Guid, Interface);
      return EFI_SUCCESS;
    });
  }
  /// The IC runs Expected from a bank holding a valid image.
  void ExpectRuns(UINT8 Ic, UINT8 Section, const std::vector<UINT8> &Expected) {
    EXPECT_EQ(Flash.Active(Ic), Section) << "IC " << int(Ic);
    EXPECT_TRUE(Flash.BankHoldsValidImage(Ic, ZONE_OCM, Section)) << "IC " << int(Ic);
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_OCM, Section, Expected)) << "IC " << int(Ic);
  }
};

TEST_F(WholeRunTest, TypicalRunUpdatesBothIcsThenASecondRunFindsThemCurrent) {
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), HEAD + Updated(0) + Updated(1));
  EXPECT_EQ(Fw.LoadImageRequests().size(), 3u);
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    ExpectRuns(Ic, 1, NewOcm);
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_OCM, 0, OldOcm)) << "the running bank is kept";
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_CUSTOMER, 0, Customer));
    EXPECT_TRUE(Flash.Erased(Ic, ZONE_CUSTOMER, 1)) << "no backup without -cb";
    EXPECT_FALSE(Flash.Unlocked(Ic));
    // Each bank written is erased first, once, and written and read back whole.
    EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, Ic), 2u);
    EXPECT_EQ(Flash.Count({SIM_OP::EraseBank, Ic, 1, ZONE_OCM}), 1u);
    EXPECT_EQ(Flash.Count({SIM_OP::WriteBankData, Ic, 1, ZONE_OCM, NewOcm.size()}), 1u);
    EXPECT_EQ(Flash.Count({SIM_OP::ReadBankData, Ic, 1, ZONE_OCM, NewOcm.size()}), 1u);
  }

  // Same boot: the drivers stay resident, so nothing is loaded again.
  Fw.ClearConsole();
  Flash.ClearCalls();
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), HEAD + Current(0) + Current(1));
  EXPECT_EQ(Fw.LoadImageRequests().size(), 3u);
  EXPECT_EQ(Fw.StartImageCalls(), 3);
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, FLASH_NO_ARG, FLASH_NO_ARG, ZONE_OCM), 0u);
}

TEST_F(WholeRunTest, OneIcUpdatedOneCurrentWithBackupAndReducedReadBack) {
  Volume.AddFile(SETTINGS_PATH, BoardSettings("IncludeCustomerDefineBkp = 1\n"
                                              "ReduceFlashProcessFlag = 1\n"));
  Flash.Program(1, ZONE_OCM, 0, {});
  Flash.Program(1, ZONE_OCM, 1, NewOcm);
  Flash.SetActive(1, 1);
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), HEAD + Updated(0) + BACKUP + Current(1) + BACKUP);
  EXPECT_EQ(Flash.Count(SIM_OP::SetReduceFlags), 1u);
  EXPECT_EQ(Flash.ReduceMask(), 1u);
  EXPECT_EQ(Flash.Count(SIM_OP::ReadBankData, 0, 1, ZONE_OCM), 0u) << "OCM read-back is off";
  EXPECT_EQ(Flash.Count({SIM_OP::ReadBankData, 0, 0, ZONE_CUSTOMER, Customer.size()}), 1u);
  EXPECT_EQ(Flash.Count({SIM_OP::ReadBankData, 0, 1, ZONE_CUSTOMER, Customer.size()}), 1u);
  ExpectRuns(0, 1, NewOcm);
  ExpectRuns(1, 1, NewOcm);
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, 1, FLASH_NO_ARG, ZONE_OCM), 0u);
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_CUSTOMER, 0, Customer));
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_CUSTOMER, 1, Customer));
  }
}

// Faults of the flash are the simulator's own rules; the check is the
// transcript and what the flash holds afterwards.
struct FaultRow {
  const char *Name;
  const char *Rule;
  const char *Line;  ///< the failing step's line
};

void PrintTo(const FaultRow &Row, std::ostream *Out) { *Out << Row.Name; }

class WholeRunFaultTest : public WholeRunTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(WholeRunFaultTest, FailedStepLeavesTheIcOnItsOldImage) {
  ASSERT_TRUE(Flash.SetFaults(GetParam().Rule));
  EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), HEAD +
                              "IC 0, current section 0, ver 10\n"
                              "Start Update Chip 0 OCM section 1\n" +
                              GetParam().Line +
                              "\nIC 0 update OCM error 7, current section 0\n"
                              "IC 0 update error 7\n");
  ExpectRuns(0, 0, OldOcm);
  EXPECT_TRUE(Flash.Erased(0, ZONE_CUSTOMER, 0)) << "a failed OCM zone leaves the customer zone";
  EXPECT_FALSE(Flash.Unlocked(0));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WholeRunFaultTest,
    ::testing::Values(
        FaultRow{"EraseFails", "EraseBank Ic=0 Zone=ocm", "EraseBank Ic 0 error 7"},
        FaultRow{"WriteFails", "WriteBankData Ic=0 Zone=ocm", "WriteBankData Ic 0 error 7"},
        FaultRow{"ReadBackCorrupt", "CorruptRead Ic=0 Zone=ocm Offset=100",
                 "image read back compare fail at 64"},
        FaultRow{"CheckZero", "CheckZero Ic=0 Zone=ocm", "HardwareCheckBank Ic 0, check 0, sta 0"},
        FaultRow{"SwitchFails", "SetActiveBank Ic=0", "SetActiveBank Ic 0 error 7"},
        FaultRow{"UnlockFails", "UnlockFlash Ic=0 Call=1", "UnlockFlash Ic 0 error 7"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(WholeRunTest, OverridesAndForceFromTheCommandLine) {
  const std::vector<UINT8> Same = MakeZoneImage(0x10, 300, 9);
  Image.Files["new.hex"] = {Same, 0x10};
  EXPECT_EQ(Run({"1", "-f", "-o", "new.hex"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), HEAD +
                              "Override OCM zone file, using new.hex\n"
                              "IC 1, current section 0, ver 10\n"
                              "Force Update Is set, Ignore veriosn!!\n"
                              "Start Update Chip 1 OCM section 1\n"
                              "IC 1 update success,runing section 1, ver 10\n"
                              "Start Update Chip 1 Customer Zone!\n");
  ExpectRuns(1, 1, Same);
  EXPECT_EQ(Flash.Count({SIM_OP::HardwareCheckBank, 1, 1, ZONE_OCM, 1}), 1u)
      << "a forced check enters as 1";
  EXPECT_EQ(Flash.Active(0), 0) << "IC 0 was not selected";
}

TEST_F(WholeRunTest, ImageLargerThanTheBankIsRefusedAndNothingSwitches) {
  Image.Files[OCM_PATH] = {MakeZoneImage(0x20, 16384, 4), 0x20};
  EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR);
  ExpectRuns(0, 0, OldOcm);
  const FlashCall Refused{SIM_OP::WriteBankData, 0, 1, ZONE_OCM, 16384 + IMAGE_HEADER_SIZE,
                          EFI_BAD_BUFFER_SIZE};
  EXPECT_EQ(Flash.TakeRefusals(), std::vector<FlashCall>{Refused});
}

}  // namespace
