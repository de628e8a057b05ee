// The test fixture's flash: the rules it holds the code under test to, its
// record of refusals apart from scripted faults, and its power cuts.
#include <gtest/gtest.h>

#include "ImageSignHost.h"
#include "ModelFlash.h"

namespace {

TEST(ModelFlashRules, RefusalsAreKeptApartFromScriptedFaults) {
  ModelFlash Model(ModelFlash::ConfigText(1, 4096, 4096));
  Model.Fail(SIM_OP::FlashPostOperation, EFI_TIMEOUT);
  std::vector<UINT8> Data(16, 0x00);
  EXPECT_EQ(Model.Protocol.EraseBank(0, 1, ZONE_OCM), EFI_NOT_READY) << "no pass";
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
  EXPECT_EQ(Model.Protocol.FlashPostOperation(0), EFI_TIMEOUT);
  EXPECT_EQ(Model.Protocol.ICPostOperation(0), EFI_SUCCESS);
  EXPECT_EQ(Model.Calls.size(), 9u);
  EXPECT_EQ(Model.TakeRefusals(),
            (std::vector<FlashCall>{
                {SIM_OP::EraseBank, 0, 1, ZONE_OCM, 0, EFI_NOT_READY},
                {SIM_OP::WriteBankData, 0, 1, ZONE_OCM, 16, EFI_WRITE_PROTECTED},
                {SIM_OP::EraseBank, 0, 0, ZONE_OCM, 0, EFI_ACCESS_DENIED},
                {SIM_OP::WriteBankData, 0, 1, ZONE_OCM, 4097, EFI_BAD_BUFFER_SIZE}}));
  EXPECT_TRUE(Model.Refusals().empty());
}

struct CutCase {
  const char *Name;
  CUT_PART Part;
  size_t ErasedSectors;  ///< of the 4 sectors of a 16 KiB bank
};

void PrintTo(const CutCase &Case, std::ostream *Out) { *Out << Case.Name; }

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
  EXPECT_TRUE(Model.Refusals().empty()) << "calls without power are not refusals";

  Model.Reboot();
  EXPECT_FALSE(Model.PowerLost());
  EXPECT_FALSE(Model.PassOpen(0));
  EXPECT_EQ(Model.FlashOperations(), 0u);
  EXPECT_EQ(Model.Bank(0, ZONE_OCM, 1), Bank) << "the flash keeps what was done";
}

INSTANTIATE_TEST_SUITE_P(Parts, ModelPowerCutTest,
                         ::testing::Values(CutCase{"None", CUT_PART::None, 0},
                                           CutCase{"Half", CUT_PART::Half, 2},
                                           CutCase{"AllButLast", CUT_PART::AllButLast, 3},
                                           CutCase{"All", CUT_PART::All, 4}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST(ModelPowerCut, WriteCutProgramsWholePagesAndASwitchIsOneStep) {
  ModelFlash Model(ModelFlash::ConfigText(1, 4096, 4096));
  Model.CutPowerAt(2, CUT_PART::AllButLast);
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

  for (CUT_PART Part : {CUT_PART::AllButLast, CUT_PART::All}) {
    Model.Reboot();
    Model.CutPowerAt(1, Part);
    EXPECT_EQ(Model.Protocol.SetActiveBank(0, 1), EFI_DEVICE_ERROR);
    EXPECT_EQ(Model.Active(0), Part == CUT_PART::All ? 1 : 0);
  }
}

// ---- Signed images: the policy protocol and the saved floor -------------------------

const IMAGE_PRIVATE_KEY &MakerKey() {
  static const IMAGE_PRIVATE_KEY Key = [] {
    IMAGE_PRIVATE_KEY K{};
    GenerateSigningKeyFromSeed("model maker", &K);
    return K;
  }();
  return Key;
}

std::vector<UINT8> Signed(UINT32 Counter, UINT8 Zone, UINT32 Product = ModelFlash::MODEL_PRODUCT) {
  std::vector<UINT8> Image = MakeZoneImage(0x30 + Counter, 500, static_cast<UINT8>(Counter));
  if (!MakeImageFormat3(&Image, {Counter, Zone, Product}, &MakerKey())) std::abort();
  return Image;
}

TEST(ModelFlashPolicy, QueryAnswersAsTheCheckOfTheWrittenBankAndChangesNothing) {
  ModelFlash Model(ModelFlash::ConfigText(1, 4096, 4096));
  Model.ProvisionKey(0, MakerKey().Public);
  Model.Program(0, ZONE_OCM, 1, Signed(3, IMAGE_ZONE_OCM));
  ASSERT_EQ(Model.Protocol.SetActiveBank(0, 1), EFI_SUCCESS);
  ASSERT_EQ(Model.Floor(0), 3u);
  const std::vector<UINT8> Images[] = {Signed(4, IMAGE_ZONE_OCM), Signed(2, IMAGE_ZONE_OCM),
                                       Signed(5, IMAGE_ZONE_CUSTOMER), Signed(5, IMAGE_ZONE_OCM, 9),
                                       MakeZoneImage(1, 100, 1)};
  for (const std::vector<UINT8> &Image : Images) {
    for (UINT8 Zone : {ZONE_OCM, ZONE_CUSTOMER}) {
      ORV_IMAGE_ACCEPTANCE Answer{};
      ASSERT_EQ(Model.Policy.CheckImageAcceptance(0, Zone, Image.data(), Image.size(), &Answer), EFI_SUCCESS);
      EXPECT_EQ(Model.Floor(0), 3u) << "a query never raises the floor";
      Model.Program(0, Zone, 0, Image);
      UINT8 Check = 1;
      ASSERT_EQ(Model.Protocol.HardwareCheckBank(0, 0, Zone, &Check), EFI_SUCCESS);
      EXPECT_EQ(Check, Answer.Verdict == ORV_IMAGE_ACCEPTED ? 1 : 0) << Answer.Verdict;
    }
  }
  EXPECT_EQ(Model.Count(SIM_OP::CheckImageAcceptance, 0), 10u);
  EXPECT_EQ(Model.FlashOperations(), 2u) << "only the switch and its floor write";
  ORV_IC_SECURITY Security{};
  ASSERT_EQ(Model.Policy.GetIcSecurity(0, &Security), EFI_SUCCESS);
  EXPECT_EQ(Security.Floor, 3u);
  EXPECT_EQ(Security.Product, ModelFlash::MODEL_PRODUCT);
  EXPECT_EQ(Model.Policy.Revision, static_cast<UINT32>(ORV_FLASH_POLICY_PROTOCOL_REVISION));
}

// The floor raised by a switch is saved and read back after a power cycle:
// a floor that is not saved is a rollback at the next power-on.
TEST(ModelFlashPolicy, RaisedFloorSurvivesThePowerCycle) {
  ModelFlash Model(ModelFlash::ConfigText(1, 4096, 4096));
  Model.ProvisionKey(0, MakerKey().Public);
  Model.Program(0, ZONE_OCM, 1, Signed(6, IMAGE_ZONE_OCM));
  ASSERT_EQ(Model.Protocol.SetActiveBank(0, 1), EFI_SUCCESS);
  Model.Reboot();
  EXPECT_EQ(Model.Floor(0), 6u);
  Model.Program(0, ZONE_OCM, 0, Signed(5, IMAGE_ZONE_OCM));
  EXPECT_EQ(Model.Protocol.SetActiveBank(0, 0), EFI_SECURITY_VIOLATION);
}

}  // namespace
