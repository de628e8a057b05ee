// The simulated flash: flash rules, versions and checks from bank contents,
// faults and timing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FlashModel.h"
#include "HexImage.h"

namespace {

UINT64 gStalled = 0;
void CountStall(UINT64 Microseconds) { gStalled += Microseconds; }

std::vector<UINT8> MakeImage(UINT64 Version, size_t PayloadSize) {
  std::vector<UINT8> Payload(PayloadSize);
  for (size_t Index = 0; Index < PayloadSize; Index++) {
    Payload[Index] = static_cast<UINT8>(Index * 5 + 1);
  }
  std::vector<UINT8> Image(IMAGE_HEADER_SIZE);
  BuildImageHeader(Image.data(), Version, Payload.data(), static_cast<UINT32>(Payload.size()));
  Image.insert(Image.end(), Payload.begin(), Payload.end());
  return Image;
}

class FlashModelTest : public ::testing::Test {
 protected:
  void SetUp() override { Load("", ""); }

  // Configures two ICs with 256-byte banks; IC 1 runs from section 1.
  void Load(const std::string &Extra, const std::string &FaultText) {
    const std::string Text =
        "[FlashSim]\nIcCount = 2\nOcmBankSize = 256\nCustomerBankSize = 512\n"
        "SectorSize = 128\nSectorEraseUs = 10\nPageSize = 16\nPageProgramUs = 3\n" +
        Extra + "[Ic1]\nActiveSection = 1\nAddress = 0x52\n";
    TEXT_ERROR Error{};
    ASSERT_EQ(ParseSimConfig(Text.data(), Text.size(), &Config, &Error), EFI_SUCCESS) << Error.Reason;
    ASSERT_EQ(ParseFaultRules(FaultText.data(), FaultText.size(), &Faults, &Error), EFI_SUCCESS) << Error.Reason;
    SimFlashSetup(&Flash, &Config, &Faults, CountStall);
    for (UINTN Ic = 0; Ic < Config.IcCount; Ic++) {
      for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
        Memory[Ic][Bank].assign(Flash.Ic[Ic].Size[Bank], 0xFF);
        Flash.Ic[Ic].Bank[Bank] = Memory[Ic][Bank].data();
      }
    }
    gStalled = 0;
  }

  std::vector<UINT8> &BankOf(UINT8 Ic, UINT8 Zone, UINT8 Bank) { return Memory[Ic][SimBankIndex(Zone, Bank)]; }

  void PutImage(UINT8 Ic, UINT8 Zone, UINT8 Bank, const std::vector<UINT8> &Image) {
    std::copy(Image.begin(), Image.end(), BankOf(Ic, Zone, Bank).begin());
  }

  void OpenUnlocked(UINT8 Ic) {
    ASSERT_EQ(SimFlashPreOperation(&Flash, Ic), EFI_SUCCESS);
    ASSERT_EQ(SimUnlockFlash(&Flash, Ic), EFI_SUCCESS);
  }

  // The application's programming sequence; returns the first failing status.
  EFI_STATUS Program(UINT8 Ic, UINT8 Bank, UINT8 Zone, const std::vector<UINT8> &Image, UINT8 *Check) {
    EFI_STATUS Status = SimFlashPreOperation(&Flash, Ic);
    if (EFI_ERROR(Status)) return Status;
    Status = SimUnlockFlash(&Flash, Ic);
    if (!EFI_ERROR(Status)) Status = SimEraseBank(&Flash, Ic, Bank, Zone);
    if (!EFI_ERROR(Status)) Status = SimWriteBankData(&Flash, Ic, Bank, Zone, Image.size(), Image.data());
    EFI_STATUS LockStatus = SimLockFlash(&Flash, Ic);
    if (!EFI_ERROR(Status)) Status = LockStatus;
    std::vector<UINT8> Back(Image.size());
    if (!EFI_ERROR(Status)) Status = SimReadBankData(&Flash, Ic, Bank, Zone, Back.size(), Back.data());
    if (!EFI_ERROR(Status) && Back != Image) Status = EFI_CRC_ERROR;
    if (!EFI_ERROR(Status)) Status = SimFlashPostOperation(&Flash, Ic);
    if (!EFI_ERROR(Status)) Status = SimHardwareCheckBank(&Flash, Ic, Bank, Zone, Check);
    if (!EFI_ERROR(Status) && Zone == ZONE_OCM) Status = SimSetActiveBank(&Flash, Ic, Bank);
    EFI_STATUS PostStatus = SimIcPostOperation(&Flash, Ic);
    return EFI_ERROR(Status) ? Status : PostStatus;
  }

  SIM_CONFIG Config{};
  FAULT_RULES Faults{};
  SIM_FLASH Flash{};
  std::vector<UINT8> Memory[SIM_MAX_ICS][SIM_BANKS_PER_IC];
};

TEST_F(FlashModelTest, UpdateSwitchesTheIcToTheNewVersion) {
  PutImage(0, ZONE_OCM, 0, MakeImage(0x0001, 40));
  UINT32 Version = 0;
  ASSERT_EQ(SimGetIcVersion(&Flash, 0, 0, &Version), EFI_SUCCESS);
  EXPECT_EQ(Version, 1u);

  std::vector<UINT8> Image = MakeImage(0x500010002ULL, 100);
  UINT8 Check = 0;
  ASSERT_EQ(Program(0, 1, ZONE_OCM, Image, &Check), EFI_SUCCESS);
  EXPECT_EQ(Check, 1);
  UINT8 Section = SECTION_INVALID;
  ASSERT_EQ(SimGetActiveSection(&Flash, 0, &Section), EFI_SUCCESS);
  EXPECT_EQ(Section, 1);
  ASSERT_EQ(SimGetIcVersion(&Flash, 0, 1, &Version), EFI_SUCCESS);
  EXPECT_EQ(Version, 0x00010002u);  // low 32 bits of the image version
  // Bank: the image, then erased bytes; the old section is untouched.
  std::vector<UINT8> Expected = Image;
  Expected.resize(256, 0xFF);
  EXPECT_EQ(BankOf(0, ZONE_OCM, 1), Expected);
  EXPECT_TRUE(Flash.Ic[0].Dirty[SimBankIndex(ZONE_OCM, 1)]);
  EXPECT_FALSE(Flash.Ic[0].Dirty[SimBankIndex(ZONE_OCM, 0)]);
  ASSERT_EQ(SimGetIcVersion(&Flash, 0, 0, &Version), EFI_SUCCESS);
  EXPECT_EQ(Version, 1u);
}

TEST_F(FlashModelTest, WriteOnlyClearsBitsSoWritingWithoutEraseCorrupts) {
  OpenUnlocked(0);
  const UINT8 First[2] = {0xF0, 0x0F};
  const UINT8 Second[2] = {0x3C, 0xFF};
  ASSERT_EQ(SimWriteBankData(&Flash, 0, 1, ZONE_CUSTOMER, 2, First), EFI_SUCCESS);
  ASSERT_EQ(SimWriteBankData(&Flash, 0, 1, ZONE_CUSTOMER, 2, Second), EFI_SUCCESS);
  EXPECT_EQ(BankOf(0, ZONE_CUSTOMER, 1)[0], 0x30);
  EXPECT_EQ(BankOf(0, ZONE_CUSTOMER, 1)[1], 0x0F);
  ASSERT_EQ(SimEraseBank(&Flash, 0, 1, ZONE_CUSTOMER), EFI_SUCCESS);
  EXPECT_EQ(BankOf(0, ZONE_CUSTOMER, 1), std::vector<UINT8>(512, 0xFF));
}

struct ACCESS_CASE {
  const char *Name;
  bool        Pass;
  bool        Unlock;
  UINT8       Ic;
  UINT8       Bank;
  UINT8       Zone;
  UINTN       Size;
  EFI_STATUS  Erase;
  EFI_STATUS  Write;
};

class FlashModelAccess : public FlashModelTest, public ::testing::WithParamInterface<ACCESS_CASE> {};

TEST_P(FlashModelAccess, EraseAndWriteFollowTheFlashRules) {
  const ACCESS_CASE &Case = GetParam();
  PutImage(0, ZONE_OCM, 0, MakeImage(3, 8));
  PutImage(1, ZONE_OCM, 1, MakeImage(3, 8));
  const std::vector<UINT8> Before0 = BankOf(0, ZONE_OCM, 0);
  const std::vector<UINT8> Before1 = BankOf(1, ZONE_OCM, 1);
  UINT8 Ic = Case.Ic < 2 ? Case.Ic : 0;
  if (Case.Pass) {
    ASSERT_EQ(SimFlashPreOperation(&Flash, Ic), EFI_SUCCESS);
  }
  if (Case.Unlock) {
    EXPECT_EQ(SimUnlockFlash(&Flash, Ic), Case.Pass ? EFI_SUCCESS : EFI_NOT_READY);
  }
  std::vector<UINT8> Data(Case.Size, 0x00);
  EXPECT_EQ(SimEraseBank(&Flash, Case.Ic, Case.Bank, Case.Zone), Case.Erase);
  EXPECT_EQ(SimWriteBankData(&Flash, Case.Ic, Case.Bank, Case.Zone, Data.size(), Data.data()), Case.Write);
  if (EFI_ERROR(Case.Write)) {
    // A refused write changes nothing, the running sections least of all.
    EXPECT_EQ(BankOf(0, ZONE_OCM, 0), Before0);
    EXPECT_EQ(BankOf(1, ZONE_OCM, 1), Before1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FlashModelAccess,
    ::testing::Values(
        ACCESS_CASE{"InactiveOcmBank", true, true, 0, 1, ZONE_OCM, 256, EFI_SUCCESS, EFI_SUCCESS},
        ACCESS_CASE{"CustomerBankZero", true, true, 0, 0, ZONE_CUSTOMER, 512, EFI_SUCCESS, EFI_SUCCESS},
        ACCESS_CASE{"RunningBankOfIc0", true, true, 0, 0, ZONE_OCM, 8, EFI_ACCESS_DENIED, EFI_ACCESS_DENIED},
        ACCESS_CASE{"RunningBankOfIc1", true, true, 1, 1, ZONE_OCM, 8, EFI_ACCESS_DENIED, EFI_ACCESS_DENIED},
        ACCESS_CASE{"Locked", true, false, 0, 1, ZONE_OCM, 8, EFI_WRITE_PROTECTED, EFI_WRITE_PROTECTED},
        ACCESS_CASE{"NoPass", false, true, 0, 1, ZONE_OCM, 8, EFI_NOT_READY, EFI_NOT_READY},
        ACCESS_CASE{"LargerThanBank", true, true, 0, 1, ZONE_OCM, 257, EFI_SUCCESS, EFI_BAD_BUFFER_SIZE},
        ACCESS_CASE{"BadZone", true, true, 0, 1, 3, 8, EFI_INVALID_PARAMETER, EFI_INVALID_PARAMETER},
        ACCESS_CASE{"BadBank", true, true, 0, 2, ZONE_OCM, 8, EFI_INVALID_PARAMETER, EFI_INVALID_PARAMETER},
        ACCESS_CASE{"BadIc", true, true, 2, 1, ZONE_OCM, 8, EFI_INVALID_PARAMETER, EFI_INVALID_PARAMETER}),
    [](const auto &Info) { return Info.param.Name; });

TEST_F(FlashModelTest, IcWithoutSectionCanHaveEitherBankProgrammed) {
  Load("[Ic0]\nActiveSection = none\n", "");
  UINT8 Section = SECTION_INVALID;
  ASSERT_EQ(SimGetActiveSection(&Flash, 0, &Section), EFI_SUCCESS);
  EXPECT_EQ(Section, SECTION_INVALID);
  UINT32 Version = 99;
  ASSERT_EQ(SimGetIcVersion(&Flash, 0, SECTION_INVALID, &Version), EFI_SUCCESS);
  EXPECT_EQ(Version, 0u);
  UINT8 Check = 0;
  EXPECT_EQ(Program(0, 0, ZONE_OCM, MakeImage(4, 10), &Check), EFI_SUCCESS);
  ASSERT_EQ(SimGetActiveSection(&Flash, 0, &Section), EFI_SUCCESS);
  EXPECT_EQ(Section, 0);
}

TEST_F(FlashModelTest, ErasedOrForeignBankReportsVersionZero) {
  UINT32 Version = 5;
  ASSERT_EQ(SimGetIcVersion(&Flash, 0, 1, &Version), EFI_SUCCESS);
  EXPECT_EQ(Version, 0u);
  std::vector<UINT8> Image = MakeImage(0x77, 8);
  Image[5] = 0x10;  // length beyond the bank
  PutImage(0, ZONE_OCM, 1, Image);
  ASSERT_EQ(SimGetIcVersion(&Flash, 0, 1, &Version), EFI_SUCCESS);
  EXPECT_EQ(Version, 0u);
  EXPECT_EQ(SimGetIcVersion(&Flash, 0, 2, &Version), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SimGetIcVersion(&Flash, 2, 0, &Version), EFI_INVALID_PARAMETER);
}

TEST_F(FlashModelTest, HardwareCheckJudgesTheBankContent) {
  UINT8 Check = 1;
  ASSERT_EQ(SimHardwareCheckBank(&Flash, 0, 1, ZONE_OCM, &Check), EFI_SUCCESS);
  EXPECT_EQ(Check, 0);  // erased, even when the update is forced
  std::vector<UINT8> Image = MakeImage(2, 30);
  PutImage(0, ZONE_CUSTOMER, 1, Image);
  ASSERT_EQ(SimHardwareCheckBank(&Flash, 0, 1, ZONE_CUSTOMER, &Check), EFI_SUCCESS);
  EXPECT_EQ(Check, 1);
  BankOf(0, ZONE_CUSTOMER, 1)[IMAGE_HEADER_SIZE + 3] ^= 0x40;
  ASSERT_EQ(SimHardwareCheckBank(&Flash, 0, 1, ZONE_CUSTOMER, &Check), EFI_SUCCESS);
  EXPECT_EQ(Check, 0);
}

TEST_F(FlashModelTest, ClosingThePassLocksAndEndsIt) {
  OpenUnlocked(0);
  EXPECT_EQ(SimFlashPreOperation(&Flash, 0), EFI_ALREADY_STARTED);
  ASSERT_EQ(SimIcPostOperation(&Flash, 0), EFI_SUCCESS);
  EXPECT_EQ(SimEraseBank(&Flash, 0, 1, ZONE_OCM), EFI_NOT_READY);
  EXPECT_EQ(SimIcPostOperation(&Flash, 0), EFI_NOT_READY);
  ASSERT_EQ(SimFlashPreOperation(&Flash, 0), EFI_SUCCESS);
  EXPECT_EQ(SimEraseBank(&Flash, 0, 1, ZONE_OCM), EFI_WRITE_PROTECTED);
}

TEST_F(FlashModelTest, TimingStallsPerSectorAndPage) {
  OpenUnlocked(0);
  ASSERT_EQ(SimEraseBank(&Flash, 0, 1, ZONE_OCM), EFI_SUCCESS);
  EXPECT_EQ(gStalled, 2u * 10);  // 256 bytes in 128-byte sectors
  std::vector<UINT8> Data(33, 0);
  ASSERT_EQ(SimWriteBankData(&Flash, 0, 1, ZONE_OCM, Data.size(), Data.data()), EFI_SUCCESS);
  EXPECT_EQ(gStalled, 20u + 3 * 3);  // 33 bytes in 16-byte pages
  Load("Timing = off\n", "");
  OpenUnlocked(0);
  ASSERT_EQ(SimEraseBank(&Flash, 0, 1, ZONE_OCM), EFI_SUCCESS);
  EXPECT_EQ(gStalled, 0u);
}

TEST_F(FlashModelTest, AddressesAndReduceFlags) {
  EXPECT_EQ(SimGetIcAddress(&Flash, 0), 0x50);
  EXPECT_EQ(SimGetIcAddress(&Flash, 1), 0x52);
  EXPECT_EQ(SimGetIcAddress(&Flash, 2), 0);
  EXPECT_EQ(SimSetReduceFlags(&Flash, 0x5), EFI_SUCCESS);
  EXPECT_EQ(Flash.ReduceMask, 0x5u);
}

// One failing operation at a time, for the IC it names only.
struct FAULT_CASE {
  const char *Name;
  const char *Rule;
  EFI_STATUS  Status;
};

class FlashModelFault : public FlashModelTest, public ::testing::WithParamInterface<FAULT_CASE> {};

TEST_P(FlashModelFault, NamedOperationFailsAndNothingIsSwitched) {
  Load("", GetParam().Rule);
  PutImage(1, ZONE_OCM, 1, MakeImage(1, 8));
  UINT8 Check = 0;
  EXPECT_EQ(Program(1, 0, ZONE_OCM, MakeImage(2, 50), &Check), GetParam().Status);
  UINT8 Section = SECTION_INVALID;
  ASSERT_EQ(SimGetActiveSection(&Flash, 1, &Section), EFI_SUCCESS);
  EXPECT_EQ(Section, 1);  // still running its old section
  UINT32 Version = 0;
  ASSERT_EQ(SimGetIcVersion(&Flash, 1, 1, &Version), EFI_SUCCESS);
  EXPECT_EQ(Version, 1u);
  EXPECT_FALSE(Flash.Ic[1].PassOpen);
  // The other IC is not affected.
  EXPECT_EQ(Program(0, 1, ZONE_OCM, MakeImage(2, 50), &Check), EFI_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FlashModelFault,
    ::testing::Values(
        FAULT_CASE{"PreOperation", "FlashPreOperation Ic=1 Status=TIMEOUT", EFI_TIMEOUT},
        FAULT_CASE{"Unlock", "UnlockFlash Ic=1", EFI_DEVICE_ERROR},
        FAULT_CASE{"Erase", "EraseBank Ic=1 Zone=ocm Bank=0 Status=7", EFI_DEVICE_ERROR},
        FAULT_CASE{"Write", "WriteBankData Ic=1 Status=WRITE_PROTECTED", EFI_WRITE_PROTECTED},
        FAULT_CASE{"Lock", "lockFlash Ic=1", EFI_DEVICE_ERROR},
        FAULT_CASE{"Read", "ReadBankData Ic=1 Status=CRC_ERROR", EFI_CRC_ERROR},
        FAULT_CASE{"CorruptRead", "CorruptRead Ic=1 Offset=0x30 Xor=0x04", EFI_CRC_ERROR},
        FAULT_CASE{"PostOperation", "FlashPostOperation Ic=1", EFI_DEVICE_ERROR},
        FAULT_CASE{"Check", "HardwareCheckBank Ic=1 Status=NOT_READY", EFI_NOT_READY},
        FAULT_CASE{"Switch", "SetActiveBank Ic=1 Bank=0", EFI_DEVICE_ERROR}),
    [](const auto &Info) { return Info.param.Name; });

TEST_F(FlashModelTest, CorruptReadChangesOnlyTheReadBack) {
  Load("", "CorruptRead Ic=0 Zone=customer Bank=0 Offset=2 Xor=0xFF\n");
  PutImage(0, ZONE_CUSTOMER, 0, MakeImage(1, 4));
  std::vector<UINT8> Stored = BankOf(0, ZONE_CUSTOMER, 0);
  std::vector<UINT8> Back(8);
  ASSERT_EQ(SimReadBankData(&Flash, 0, 0, ZONE_CUSTOMER, Back.size(), Back.data()), EFI_SUCCESS);
  EXPECT_EQ(Back[2], static_cast<UINT8>(Stored[2] ^ 0xFF));
  EXPECT_EQ(Back[1], Stored[1]);
  EXPECT_EQ(BankOf(0, ZONE_CUSTOMER, 0), Stored);
  // An offset beyond the read is left alone.
  Back.assign(2, 0);
  ASSERT_EQ(SimReadBankData(&Flash, 0, 0, ZONE_CUSTOMER, Back.size(), Back.data()), EFI_SUCCESS);
  EXPECT_EQ(Back, std::vector<UINT8>(Stored.begin(), Stored.begin() + 2));
}

// The misbehaving checks (fault rules) against the bank's content: each
// answers only where its rule says, the value entering is never left.
enum class CONTENT { Good, BadPayload, Erased };
struct CheckRow {
  const char *Name;
  const char *Rule;
  CONTENT Content;
  UINT8 Expected;
};

class FlashModelCheck : public FlashModelTest, public ::testing::WithParamInterface<CheckRow> {};

TEST_P(FlashModelCheck, VerdictFollowsTheRuleAndTheContent) {
  Load("", GetParam().Rule);
  std::vector<UINT8> Image = MakeImage(9, 40);
  if (GetParam().Content == CONTENT::BadPayload) Image[IMAGE_HEADER_SIZE + 5] ^= 0x10;
  if (GetParam().Content != CONTENT::Erased) PutImage(0, ZONE_OCM, 1, Image);
  UINT8 Check = 0x5A;
  ASSERT_EQ(SimHardwareCheckBank(&Flash, 0, 1, ZONE_OCM, &Check), EFI_SUCCESS);
  EXPECT_EQ(Check, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Misbehaviours, FlashModelCheck,
    ::testing::Values(CheckRow{"Good", "", CONTENT::Good, 1},
                      CheckRow{"BadPayload", "", CONTENT::BadPayload, 0},
                      CheckRow{"Erased", "", CONTENT::Erased, 0},
                      CheckRow{"ZeroOnGood", "CheckZero Ic=0 Zone=ocm\n", CONTENT::Good, 0},
                      CheckRow{"GoodOnErased", "CheckGood Ic=0\n", CONTENT::Erased, 1},
                      CheckRow{"ErasedGoodOnErased", "CheckErasedGood Ic=0\n", CONTENT::Erased, 1},
                      CheckRow{"ErasedGoodOnBadPayload", "CheckErasedGood Ic=0\n", CONTENT::BadPayload, 0},
                      CheckRow{"HeaderOnlyOnGood", "CheckHeaderOnly Ic=0\n", CONTENT::Good, 1},
                      CheckRow{"HeaderOnlyOnBadPayload", "CheckHeaderOnly Ic=0\n", CONTENT::BadPayload, 1},
                      CheckRow{"HeaderOnlyOnErased", "CheckHeaderOnly Ic=0\n", CONTENT::Erased, 0}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(FlashModelTest, NthCallFaultHitsOnlyThatCall) {
  Load("", "EraseBank Call=2 Status=ABORTED\n");
  UINT8 Check = 0;
  EXPECT_EQ(Program(0, 1, ZONE_OCM, MakeImage(2, 8), &Check), EFI_SUCCESS);
  EXPECT_EQ(Program(0, 0, ZONE_CUSTOMER, MakeImage(2, 8), &Check), EFI_ABORTED);
  EXPECT_EQ(Program(0, 0, ZONE_CUSTOMER, MakeImage(2, 8), &Check), EFI_SUCCESS);
}

TEST_F(FlashModelTest, FaultsOfTheOtherOperations) {
  Load("", "GetActiveSection Ic=0 Status=NOT_FOUND\nGetIcVersion Bank=1\nSetReduceFlags\n"
           "GetIcAddress Ic=1 Value=0x77\nICPostOperation Ic=1 Status=TIMEOUT\n");
  UINT8 Section = SECTION_INVALID;
  EXPECT_EQ(SimGetActiveSection(&Flash, 0, &Section), EFI_NOT_FOUND);
  EXPECT_EQ(Section, SECTION_INVALID);
  EXPECT_EQ(SimGetActiveSection(&Flash, 1, &Section), EFI_SUCCESS);
  UINT32 Version = 0;
  EXPECT_EQ(SimGetIcVersion(&Flash, 0, 1, &Version), EFI_DEVICE_ERROR);
  EXPECT_EQ(SimGetIcVersion(&Flash, 0, 0, &Version), EFI_SUCCESS);
  EXPECT_EQ(SimSetReduceFlags(&Flash, 1), EFI_DEVICE_ERROR);
  EXPECT_EQ(Flash.ReduceMask, 0u);
  EXPECT_EQ(SimGetIcAddress(&Flash, 1), 0x77);
  EXPECT_EQ(SimGetIcAddress(&Flash, 0), 0x50);
  // A failing close still ends the pass.
  OpenUnlocked(1);
  EXPECT_EQ(SimIcPostOperation(&Flash, 1), EFI_TIMEOUT);
  EXPECT_FALSE(Flash.Ic[1].PassOpen);
  EXPECT_EQ(SimEraseBank(&Flash, 1, 0, ZONE_OCM), EFI_NOT_READY);
}

TEST_F(FlashModelTest, ReadRefusesBadArguments) {
  std::vector<UINT8> Back(600);
  EXPECT_EQ(SimReadBankData(&Flash, 0, 0, ZONE_CUSTOMER, 513, Back.data()), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(SimReadBankData(&Flash, 0, 0, ZONE_CUSTOMER, 512, Back.data()), EFI_SUCCESS);
  EXPECT_EQ(SimReadBankData(&Flash, 0, 0, ZONE_CUSTOMER, 4, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SimReadBankData(&Flash, 5, 0, ZONE_CUSTOMER, 4, Back.data()), EFI_INVALID_PARAMETER);
}

// Operations cut short by a power cut: the same rules, a prefix of the change.
TEST_F(FlashModelTest, CutEraseAndWriteChangeOnlyTheirPrefix) {
  std::fill(BankOf(0, ZONE_OCM, 1).begin(), BankOf(0, ZONE_OCM, 1).end(), 0x00);
  EXPECT_EQ(SimEraseBankPart(&Flash, 0, 1, ZONE_OCM, 128), EFI_NOT_READY) << "rules still hold";
  OpenUnlocked(0);
  EXPECT_EQ(SimEraseBankPart(&Flash, 0, 0, ZONE_OCM, 128), EFI_ACCESS_DENIED);
  ASSERT_EQ(SimEraseBankPart(&Flash, 0, 1, ZONE_OCM, SimCutBytes(256, 128, CUT_PART::Half)),
            EFI_SUCCESS);
  EXPECT_EQ(BankOf(0, ZONE_OCM, 1)[127], 0xFF);
  EXPECT_EQ(BankOf(0, ZONE_OCM, 1)[128], 0x00) << "the second sector was not erased";
  EXPECT_EQ(gStalled, 10u) << "one sector's erase time";

  std::vector<UINT8> Data(40, 0x00);
  ASSERT_EQ(SimEraseBank(&Flash, 0, 1, ZONE_CUSTOMER), EFI_SUCCESS);
  ASSERT_EQ(SimWriteBankDataPart(&Flash, 0, 1, ZONE_CUSTOMER, Data.size(), Data.data(),
                                 SimCutBytes(Data.size(), 16, CUT_PART::Half)),
            EFI_SUCCESS);
  EXPECT_EQ(BankOf(0, ZONE_CUSTOMER, 1)[15], 0x00);
  EXPECT_EQ(BankOf(0, ZONE_CUSTOMER, 1)[16], 0xFF) << "one of three pages programmed";
  std::vector<UINT8> Big(513, 0);
  EXPECT_EQ(SimWriteBankDataPart(&Flash, 0, 1, ZONE_CUSTOMER, Big.size(), Big.data(), 0),
            EFI_BAD_BUFFER_SIZE);
}

TEST(SimCutBytes, NoneHalfOfTheStepsAllButTheLastOrAll) {
  EXPECT_EQ(SimCutBytes(1000, 256, CUT_PART::None), 0u);
  EXPECT_EQ(SimCutBytes(1000, 256, CUT_PART::Half), 512u);  // 2 of 4 pages
  EXPECT_EQ(SimCutBytes(1000, 256, CUT_PART::AllButLast), 768u);
  EXPECT_EQ(SimCutBytes(100, 256, CUT_PART::AllButLast), 0u);
  EXPECT_EQ(SimCutBytes(1000, 256, CUT_PART::All), 1000u);
  EXPECT_EQ(SimCutBytes(100, 256, CUT_PART::Half), 0u) << "a single step is all or nothing";
  EXPECT_EQ(SimCutBytes(16384, 4096, CUT_PART::Half), 8192u);
  EXPECT_EQ(SimCutBytes(0, 256, CUT_PART::Half), 0u);
}

}  // namespace
