// Whole runs of the application from the settings file on the volume through
// the components and zone images to programmed banks, with exact transcripts.
#include <gtest/gtest.h>

#include "BoardTest.h"
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
    AddDriver("OrvFlashSim.efi", gOrvFlashProtocolGuid, &Flash.Protocol);
    AddDriver("OrvPathSim.efi", gOrvPathProtocolGuid, &Path.Protocol);
  }
  void AddDriver(const std::string &Name, const EFI_GUID &Guid, void *Interface) {
    Fw.AddDriverFile("OrvUpdateComponent\\" + Name, [this, &Guid, Interface](EFI_HANDLE Driver) {
      Fw.InstallProtocol(Driver, Guid, Interface);
      return EFI_SUCCESS;
    });
  }
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
  for (const auto &Chip : Flash.Ics) {
    EXPECT_EQ(Chip.ActiveSection, 1);
    EXPECT_EQ(Chip.Banks[ZONE_OCM][1], OcmBytes());
    EXPECT_TRUE(Chip.Banks[ZONE_OCM][0].empty()) << "the running bank is never touched";
    EXPECT_EQ(Chip.Banks[ZONE_CUSTOMER][0], Image.Files[kCustomerPath].Data);
    EXPECT_TRUE(Chip.Banks[ZONE_CUSTOMER][1].empty()) << "no backup without -cb";
  }

  // Same boot: the drivers stay resident, so nothing is loaded again.
  Fw.ClearConsole();
  ResetRunState();
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
  Volume.AddFile(kSettingsPath, SettingsText("IncludeCustomerDefineBkp = 1\n"
                                             "ReduceFlashProcessFlag = 1\n"));
  Flash.Ics[1].ActiveSection = 1;
  Flash.Ics[1].Version = {0, 0x20, 0};
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
  EXPECT_EQ(Flash.ReduceFlags, std::vector<UINT32>{1});
  EXPECT_EQ(Flash.CallCount("ReadBankData(0,1,1,"), 0) << "OCM read-back is switched off";
  EXPECT_EQ(Flash.CallCount("ReadBankData(0,0,2,"), 1);
  EXPECT_EQ(Flash.CallCount("ReadBankData(0,1,2,"), 1);
  EXPECT_EQ(Flash.Ics[1].Banks[ZONE_CUSTOMER][1], Image.Files[kCustomerPath].Data);
}

TEST_F(WholeRunTest, CorruptedReadBackLeavesTheIcOnItsOldSection) {
  Flash.CorruptReadBack[5] = 0x01;
  Flash.CorruptReadBack[9] = 0x80;
  EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(),
            "OrvUpdate tool version 00.01.0002\n"
            "Current target: ChipA\n"
            "IC 0, current section 0, ver 10\n"
            "Start Update Chip 0 OCM section 1\n"
            "image read back compare fail at 5\n"
            "IC 0 update OCM error 7, current section 0\n"
            "IC 0 update error 7\n");
  EXPECT_EQ(Flash.Ics[0].ActiveSection, 0);
  EXPECT_EQ(Flash.CallCount("SetActiveBank"), 0);
  EXPECT_EQ(Flash.CallCount("ICPostOperation(0)"), 1);
}

TEST_F(WholeRunTest, OverridesAndForceFromTheCommandLine) {
  Image.Files["new.hex"] = {{9, 9, 9}, 0x10};
  EXPECT_EQ(Run({"1", "-f", "-o", "new.hex"}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "OrvUpdate tool version 00.01.0002\n"
            "Current target: ChipA\n"
            "Override OCM zone file, using new.hex\n"
            "IC 1, current section 0, ver 10\n"
            "Force Update Is set, Ignore veriosn!!\n"
            "Start Update Chip 1 OCM section 1\n"
            "IC 1 update success,runing section 1, ver 20\n"
            "Start Update Chip 1 Customer Zone!\n");
  EXPECT_EQ(Flash.Ics[1].Banks[ZONE_OCM][1], (std::vector<UINT8>{9, 9, 9}));
  EXPECT_EQ(Flash.CallCount("HardwareCheckBank(1,1,1,check=1)"), 1) << "forced check enters as 1";
}

}  // namespace
