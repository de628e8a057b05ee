// Whole runs of the application from the settings file on the volume through
// the components and zone images to programmed banks, with exact transcripts.
// The flash is the simulator's flash model (its rules enforced); checks look
// at the bank contents and active sections afterwards.
#include <gtest/gtest.h>

#include <algorithm>

#include "BoardTest.h"
#include "ModelFlash.h"
#include "RunState.h"

namespace {

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
    AddDriver("OrvFlashSim.efi", gOrvFlashProtocolGuid, &Model.Protocol);
    AddDriver("OrvPathSim.efi", gOrvPathProtocolGuid, &Path.Protocol);
    Image.Files[OCM_PATH] = {NewOcm, 0x20};
    Image.Files[CUSTOMER_PATH] = {Customer, 0};
    // Both ICs run section 0 with version 0x10; bank 1 is erased.
    for (UINT8 Ic = 0; Ic < 2; Ic++) {
      Model.Program(Ic, ZONE_OCM, 0, OldOcm);
      Model.SetActive(Ic, 0);
    }
  }
  void AddDriver(const std::string &Name, const EFI_GUID &Guid, void *Interface) {
    Fw.AddDriverFile("OrvUpdateComponent\\" + Name, [this, &Guid, Interface](EFI_HANDLE Driver) {
      Fw.InstallProtocol(Driver, Guid, Interface);
      return EFI_SUCCESS;
    });
  }
  bool Erased(UINT8 Ic, UINT8 Zone, UINT8 Bank) const {
    std::vector<UINT8> Content = Model.Bank(Ic, Zone, Bank);
    return std::all_of(Content.begin(), Content.end(), [](UINT8 B) { return B == 0xFF; });
  }
  size_t CountOf(const FlashCall &Call) const {
    return static_cast<size_t>(std::count(Model.Calls.begin(), Model.Calls.end(), Call));
  }

  ModelFlash Model{ModelFlash::ConfigText(2, 16384, 4096)};
  std::vector<UINT8> OldOcm = MakeZoneImage(0x10, 4000, 1);
  std::vector<UINT8> NewOcm = MakeZoneImage(0x20, 6000, 2);
  std::vector<UINT8> Customer = MakeZoneImage(7, 800, 3);
};

TEST_F(WholeRunTest, TypicalRunUpdatesBothIcsThenASecondRunFindsThemCurrent) {
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "OrvUpdate tool version 00.01.0002\n"
            "Current target: ChipA\n"
            "IC 0, current section 0, ver 10\n"
            "Start Update Chip 0 OCM section 1\n"
            "IC 0 update success,runing section 1, ver 20\n"
            "Start Update Chip 0 Customer Zone!\n"
            "IC 1, current section 0, ver 10\n"
            "Start Update Chip 1 OCM section 1\n"
            "IC 1 update success,runing section 1, ver 20\n"
            "Start Update Chip 1 Customer Zone!\n");
  EXPECT_EQ(Fw.LoadImageRequests().size(), 3u);
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    EXPECT_EQ(Model.Active(Ic), 1);
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_OCM, 1, NewOcm));
    EXPECT_TRUE(Model.BankHoldsValidImage(Ic, ZONE_OCM, 1));
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_OCM, 0, OldOcm)) << "the running bank is never touched";
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_CUSTOMER, 0, Customer));
    EXPECT_TRUE(Erased(Ic, ZONE_CUSTOMER, 1)) << "no backup without -cb";
    EXPECT_FALSE(Model.PassOpen(Ic));
  }

  // Same boot: the drivers stay resident, so nothing is loaded again.
  Fw.ClearConsole();
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "OrvUpdate tool version 00.01.0002\n"
            "Current target: ChipA\n"
            "IC 0, current section 1, ver 20\n"
            "Not Update! Image Ver 20\n"
            "Start Update Chip 0 Customer Zone!\n"
            "IC 1, current section 1, ver 20\n"
            "Not Update! Image Ver 20\n"
            "Start Update Chip 1 Customer Zone!\n");
  EXPECT_EQ(Fw.LoadImageRequests().size(), 3u);
  EXPECT_EQ(Fw.StartImageCalls(), 3);
}

TEST_F(WholeRunTest, OneIcUpdatedOneCurrentWithBackupAndReducedReadBack) {
  Volume.AddFile(SETTINGS_PATH, SettingsText("IncludeCustomerDefineBkp = 1\n"
                                             "ReduceFlashProcessFlag = 1\n"));
  Model.Program(1, ZONE_OCM, 0, {});
  Model.Program(1, ZONE_OCM, 1, NewOcm);
  Model.SetActive(1, 1);
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "OrvUpdate tool version 00.01.0002\n"
            "Current target: ChipA\n"
            "IC 0, current section 0, ver 10\n"
            "Start Update Chip 0 OCM section 1\n"
            "IC 0 update success,runing section 1, ver 20\n"
            "Start Update Chip 0 Customer Zone!\n"
            "include customer backup is set, Updating\n"
            "IC 1, current section 1, ver 20\n"
            "Not Update! Image Ver 20\n"
            "Start Update Chip 1 Customer Zone!\n"
            "include customer backup is set, Updating\n");
  EXPECT_EQ(Model.Count(FlashOp::SetReduceFlags), 1u);
  EXPECT_EQ(Model.ReduceMask(), 1u);
  EXPECT_EQ(Model.Count(FlashOp::ReadBankData, 0, 1, ZONE_OCM), 0u) << "OCM read-back is off";
  EXPECT_EQ(CountOf({FlashOp::ReadBankData, 0, 0, ZONE_CUSTOMER, Customer.size()}), 1u);
  EXPECT_EQ(CountOf({FlashOp::ReadBankData, 0, 1, ZONE_CUSTOMER, Customer.size()}), 1u);
  EXPECT_EQ(Model.Active(0), 1);
  EXPECT_TRUE(Model.BankStartsWith(0, ZONE_OCM, 1, NewOcm));
  EXPECT_EQ(Model.Active(1), 1);
  EXPECT_EQ(Model.Count(FlashOp::EraseBank, 1, FLASH_NO_ARG, ZONE_OCM), 0u);
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_CUSTOMER, 0, Customer));
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_CUSTOMER, 1, Customer));
  }
}

TEST_F(WholeRunTest, CorruptedReadBackLeavesTheIcOnItsOldSection) {
  ASSERT_TRUE(Model.SetFaults("CorruptRead Ic=0 Zone=ocm Offset=5 Xor=0x01\n"));
  EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(),
            "OrvUpdate tool version 00.01.0002\n"
            "Current target: ChipA\n"
            "IC 0, current section 0, ver 10\n"
            "Start Update Chip 0 OCM section 1\n"
            "image read back compare fail at 5\n"
            "IC 0 update OCM error 7, current section 0\n"
            "IC 0 update error 7\n");
  EXPECT_EQ(Model.Active(0), 0);
  EXPECT_TRUE(Model.BankStartsWith(0, ZONE_OCM, 0, OldOcm));
  EXPECT_TRUE(Model.BankStartsWith(0, ZONE_OCM, 1, NewOcm)) << "written, read back wrong";
  EXPECT_EQ(Model.Count(FlashOp::SetActiveBank), 0u);
  EXPECT_EQ(CountOf({FlashOp::ICPostOperation, 0}), 1u);
  EXPECT_FALSE(Model.PassOpen(0));
  EXPECT_TRUE(Erased(0, ZONE_CUSTOMER, 0)) << "a failed OCM zone leaves the customer zone";
}

TEST_F(WholeRunTest, OverridesAndForceFromTheCommandLine) {
  const std::vector<UINT8> Same = MakeZoneImage(0x10, 300, 9);
  Image.Files["new.hex"] = {Same, 0x10};
  EXPECT_EQ(Run({"1", "-f", "-o", "new.hex"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "OrvUpdate tool version 00.01.0002\n"
            "Current target: ChipA\n"
            "Override OCM zone file, using new.hex\n"
            "IC 1, current section 0, ver 10\n"
            "Force Update Is set, Ignore veriosn!!\n"
            "Start Update Chip 1 OCM section 1\n"
            "IC 1 update success,runing section 1, ver 10\n"
            "Start Update Chip 1 Customer Zone!\n");
  EXPECT_EQ(Model.Active(1), 1);
  EXPECT_TRUE(Model.BankStartsWith(1, ZONE_OCM, 1, Same));
  EXPECT_EQ(CountOf({FlashOp::HardwareCheckBank, 1, 1, ZONE_OCM, 1}), 1u)
      << "a forced check enters as 1";
  EXPECT_EQ(Model.Active(0), 0) << "IC 0 was not selected";
}

}  // namespace
