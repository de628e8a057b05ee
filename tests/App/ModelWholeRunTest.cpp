// Whole runs of the application on the simulator's flash model: the flash
// rules are enforced (pass, unlock, erase before write, running bank
// protected, bank sizes) and the checks look at the flash contents and the
// active bank afterwards, with typed call records.
#include <gtest/gtest.h>

#include <algorithm>

#include "BoardTest.h"
#include "HexImage.h"
#include "ModelFlash.h"
#include "RunState.h"

namespace {

constexpr UINT32 OCM_BANK = 16384;
constexpr UINT32 CUSTOMER_BANK = 4096;

class ModelWholeRunTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    Fw.UninstallProtocol(FlashHandle, gOrvFlashProtocolGuid);
    Fw.InstallProtocol(FlashHandle, gOrvFlashProtocolGuid, &Model.Protocol);
    Image.Files[OCM_PATH] = {NewOcm, 0x20};
    Image.Files[CUSTOMER_PATH] = {Customer, 0};
    for (UINT8 Ic = 0; Ic < 2; Ic++) {
      Model.Program(Ic, ZONE_OCM, 0, OldOcm);
      Model.SetActive(Ic, 0);
    }
  }

  /// The IC runs Image from a bank holding a valid image.
  void ExpectRuns(UINT8 Ic, UINT8 Section, const std::vector<UINT8> &Expected) {
    EXPECT_EQ(Model.Active(Ic), Section) << "IC " << int(Ic);
    EXPECT_TRUE(Model.BankHoldsValidImage(Ic, ZONE_OCM, Section)) << "IC " << int(Ic);
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_OCM, Section, Expected)) << "IC " << int(Ic);
  }
  bool Erased(UINT8 Ic, UINT8 Zone, UINT8 Bank) {
    std::vector<UINT8> Content = Model.Bank(Ic, Zone, Bank);
    for (UINT8 Byte : Content) {
      if (Byte != 0xFF) return false;
    }
    return true;
  }

  ModelFlash Model{ModelFlash::ConfigText(2, OCM_BANK, CUSTOMER_BANK)};
  std::vector<UINT8> OldOcm = MakeZoneImage(0x10, 3000, 1);
  std::vector<UINT8> NewOcm = MakeZoneImage(0x20, 5000, 2);
  std::vector<UINT8> Customer = MakeZoneImage(7, 1000, 3);
};

TEST_F(ModelWholeRunTest, UpdateProgramsTheInactiveBankAndSwitchesToIt) {
  EXPECT_EQ(Run({"0", "1", "-cb"}), EFI_SUCCESS) << Fw.Console();
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    ExpectRuns(Ic, 1, NewOcm);
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_OCM, 0, OldOcm)) << "the running bank is kept";
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_CUSTOMER, 0, Customer));
    EXPECT_TRUE(Model.BankStartsWith(Ic, ZONE_CUSTOMER, 1, Customer));
    EXPECT_FALSE(Model.PassOpen(Ic));
    EXPECT_FALSE(Model.Unlocked(Ic));
  }
  for (const FlashCall &Call : Model.Calls) {
    EXPECT_FALSE(EFI_ERROR(Call.Status)) << FlashOpName(Call.Op) << " IC " << int(Call.Ic);
  }
  // Each bank written is erased first, once, and read back in full.
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    EXPECT_EQ(Model.Count(FlashOp::EraseBank, Ic, 1, ZONE_OCM), 1u);
    EXPECT_EQ(Model.Count(FlashOp::EraseBank, Ic, 0, ZONE_OCM), 0u);
    EXPECT_EQ(Model.Count(FlashOp::EraseBank, Ic, FLASH_NO_ARG, ZONE_CUSTOMER), 2u);
    EXPECT_EQ(Model.Count(FlashOp::SetActiveBank, Ic, 1), 1u);
  }
  const FlashCall Write{FlashOp::WriteBankData, 0, 1, ZONE_OCM, NewOcm.size()};
  const FlashCall ReadBack{FlashOp::ReadBankData, 0, 1, ZONE_OCM, NewOcm.size()};
  EXPECT_EQ(std::count(Model.Calls.begin(), Model.Calls.end(), Write), 1);
  EXPECT_EQ(std::count(Model.Calls.begin(), Model.Calls.end(), ReadBack), 1);

  // A second run finds both ICs current and only rewrites the customer zone.
  Model.ClearCalls();
  Fw.ClearConsole();
  EXPECT_EQ(Run({"0", "1"}), EFI_SUCCESS) << Fw.Console();
  EXPECT_EQ(Model.Count(FlashOp::EraseBank, FLASH_NO_ARG, FLASH_NO_ARG, ZONE_OCM), 0u);
  EXPECT_EQ(Model.Count(FlashOp::SetActiveBank), 0u);
  for (UINT8 Ic = 0; Ic < 2; Ic++) ExpectRuns(Ic, 1, NewOcm);
}

TEST_F(ModelWholeRunTest, IcRunningSectionOneGetsBankZero) {
  Model.Program(1, ZONE_OCM, 1, OldOcm);
  Model.Program(1, ZONE_OCM, 0, MakeZoneImage(0x05, 100, 9));
  Model.SetActive(1, 1);
  EXPECT_EQ(Run({"1"}), EFI_SUCCESS) << Fw.Console();
  ExpectRuns(1, 0, NewOcm);
  EXPECT_TRUE(Model.BankStartsWith(1, ZONE_OCM, 1, OldOcm));
  ExpectRuns(0, 0, OldOcm);
  EXPECT_TRUE(Erased(0, ZONE_CUSTOMER, 0)) << "IC 0 was not selected";
}

// Faults of the flash are the simulator's own rules; the check is what the
// flash holds afterwards, not which calls were made.
struct ModelFault {
  const char *Name;
  const char *Rule;
  bool CustomerWritten;  ///< bank 0 of the customer zone of IC 0 holds the image
};

class ModelFaultTest : public ModelWholeRunTest,
                       public ::testing::WithParamInterface<ModelFault> {};

TEST_P(ModelFaultTest, FailedStepLeavesTheIcOnItsOldImage) {
  ASSERT_TRUE(Model.SetFaults(GetParam().Rule));
  EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR) << Fw.Console();
  ExpectRuns(0, 0, OldOcm);
  EXPECT_EQ(Model.BankStartsWith(0, ZONE_CUSTOMER, 0, Customer), GetParam().CustomerWritten);
  EXPECT_FALSE(Model.PassOpen(0)) << "the pass is closed after a failure";
  EXPECT_FALSE(Model.Unlocked(0));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ModelFaultTest,
    ::testing::Values(ModelFault{"EraseFails", "EraseBank Ic=0 Zone=ocm", false},
                      ModelFault{"WriteFails", "WriteBankData Ic=0 Zone=ocm", false},
                      ModelFault{"ReadBackCorrupt", "CorruptRead Ic=0 Zone=ocm Offset=100", false},
                      ModelFault{"CheckZero", "CheckZero Ic=0 Zone=ocm", false},
                      ModelFault{"SwitchFails", "SetActiveBank Ic=0", false},
                      ModelFault{"UnlockFails", "UnlockFlash Ic=0 Call=1", false}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(ModelWholeRunTest, ImageLargerThanTheBankIsRefusedAndNothingSwitches) {
  Image.Files[OCM_PATH] = {MakeZoneImage(0x20, OCM_BANK, 4), 0x20};
  EXPECT_EQ(Run({"0"}), EFI_DEVICE_ERROR) << Fw.Console();
  ExpectRuns(0, 0, OldOcm);
  const FlashCall Refused{FlashOp::WriteBankData, 0, 1, ZONE_OCM, OCM_BANK + IMAGE_HEADER_SIZE,
                          EFI_BAD_BUFFER_SIZE};
  EXPECT_EQ(std::count(Model.Calls.begin(), Model.Calls.end(), Refused), 1);
}

TEST_F(ModelWholeRunTest, ReducedReadBackSkipsOnlyTheOcmRead) {
  Volume.AddFile(SETTINGS_PATH, SettingsText("ReduceFlashProcessFlag = 1\n"));
  EXPECT_EQ(Run({"0"}), EFI_SUCCESS) << Fw.Console();
  EXPECT_EQ(Model.ReduceMask(), 1u);
  EXPECT_EQ(Model.Count(FlashOp::ReadBankData, 0, FLASH_NO_ARG, ZONE_OCM), 0u);
  EXPECT_EQ(Model.Count(FlashOp::ReadBankData, 0, 0, ZONE_CUSTOMER), 1u);
  ExpectRuns(0, 1, NewOcm);
}

// The fixture's own rules: what the application relies on them to refuse.
TEST(ModelFlashRules, EraseAndWriteNeedAPassUnlockAndAnInactiveBank) {
  ModelFlash Model(ModelFlash::ConfigText(1, 4096, 4096));
  std::vector<UINT8> Data(16, 0x00);
  EXPECT_EQ(Model.Protocol.EraseBank(0, 1, ZONE_OCM), EFI_NOT_READY);
  EXPECT_EQ(Model.Protocol.FlashPreOperation(0), EFI_SUCCESS);
  EXPECT_EQ(Model.Protocol.WriteBankData(0, 1, ZONE_OCM, Data.size(), Data.data()),
            EFI_WRITE_PROTECTED);
  EXPECT_EQ(Model.Protocol.UnlockFlash(0), EFI_SUCCESS);
  EXPECT_EQ(Model.Protocol.EraseBank(0, 0, ZONE_OCM), EFI_ACCESS_DENIED) << "running bank";
  std::vector<UINT8> Big(4097, 0);
  EXPECT_EQ(Model.Protocol.WriteBankData(0, 1, ZONE_OCM, Big.size(), Big.data()),
            EFI_BAD_BUFFER_SIZE);
  // Without an erase a write only clears bits.
  Model.BankData(0, ZONE_OCM, 1)[0] = 0x0F;
  std::vector<UINT8> Byte{0xF1};
  EXPECT_EQ(Model.Protocol.WriteBankData(0, 1, ZONE_OCM, 1, Byte.data()), EFI_SUCCESS);
  EXPECT_EQ(Model.Bank(0, ZONE_OCM, 1)[0], 0x01);
  EXPECT_EQ(Model.Protocol.ICPostOperation(0), EFI_SUCCESS);
  EXPECT_EQ(Model.Count(FlashOp::EraseBank), 2u);
  EXPECT_EQ(Model.Calls.front(), (FlashCall{FlashOp::EraseBank, 0, 1, ZONE_OCM, 0, EFI_NOT_READY}));
}

struct CutCase {
  const char *Name;
  CutPart Part;
  size_t ErasedSectors;  ///< of the 4 sectors of a 16 KiB bank
};

class ModelPowerCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(ModelPowerCutTest, EraseCutLeavesAPrefixAndNothingAfter) {
  ModelFlash Model(ModelFlash::ConfigText(1, 16384, 4096));
  Model.Program(0, ZONE_OCM, 1, std::vector<UINT8>(16384, 0x00));
  Model.CutPowerAt(1, GetParam().Part);
  ASSERT_EQ(Model.Protocol.FlashPreOperation(0), EFI_SUCCESS);
  ASSERT_EQ(Model.Protocol.UnlockFlash(0), EFI_SUCCESS);
  EXPECT_EQ(Model.Protocol.EraseBank(0, 1, ZONE_OCM), EFI_DEVICE_ERROR);
  EXPECT_TRUE(Model.PowerLost());
  std::vector<UINT8> Bank = Model.Bank(0, ZONE_OCM, 1);
  for (size_t Sector = 0; Sector < 4; Sector++) {
    UINT8 Expected = Sector < GetParam().ErasedSectors ? 0xFF : 0x00;
    EXPECT_EQ(Bank[Sector * 4096], Expected) << "sector " << Sector;
    EXPECT_EQ(Bank[Sector * 4096 + 4095], Expected) << "sector " << Sector;
  }
  EXPECT_EQ(Model.Protocol.SetActiveBank(0, 1), EFI_DEVICE_ERROR);
  EXPECT_EQ(Model.Active(0), 0) << "nothing happens after the cut";
  EXPECT_TRUE(Model.Calls.back().PowerLost);

  Model.Reboot();
  EXPECT_FALSE(Model.PowerLost());
  EXPECT_FALSE(Model.PassOpen(0));
  EXPECT_EQ(Model.FlashOperations(), 0u);
  EXPECT_EQ(Model.Bank(0, ZONE_OCM, 1), Bank) << "the flash keeps what was done";
}

INSTANTIATE_TEST_SUITE_P(Parts, ModelPowerCutTest,
                         ::testing::Values(CutCase{"None", CutPart::None, 0},
                                           CutCase{"Half", CutPart::Half, 2},
                                           CutCase{"AllButLast", CutPart::AllButLast, 3},
                                           CutCase{"Done", CutPart::Done, 4}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST(ModelPowerCut, WriteCutProgramsWholePagesOnly) {
  ModelFlash Model(ModelFlash::ConfigText(1, 4096, 4096));
  Model.CutPowerAt(2, CutPart::AllButLast);
  std::vector<UINT8> Data(1000, 0x00);  // 4 pages, the last one partial
  ASSERT_EQ(Model.Protocol.FlashPreOperation(0), EFI_SUCCESS);
  ASSERT_EQ(Model.Protocol.UnlockFlash(0), EFI_SUCCESS);
  ASSERT_EQ(Model.Protocol.EraseBank(0, 1, ZONE_CUSTOMER), EFI_SUCCESS);
  EXPECT_EQ(Model.Protocol.WriteBankData(0, 1, ZONE_CUSTOMER, Data.size(), Data.data()),
            EFI_DEVICE_ERROR);
  std::vector<UINT8> Bank = Model.Bank(0, ZONE_CUSTOMER, 1);
  EXPECT_EQ(Bank[767], 0x00);
  EXPECT_EQ(Bank[768], 0xFF) << "the last page was not programmed";
  EXPECT_EQ(Model.FlashOperations(), 2u);
}

}  // namespace
