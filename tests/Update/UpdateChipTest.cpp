// Chip update policy: target bank, version decision, force and no-section
// rules, the customer zone and its backup bank, failures and what they leave
// untouched, and the console lines of each case.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Update.h"
#include "OrvTest.h"
#include "RunState.h"

namespace {

constexpr EFI_STATUS COMPONENT_ERROR = EFI_TIMEOUT;  // shows as 12

class UpdateChipTest : public OrvTest {
 protected:
  // Eleven ICs, so that IC 10 exists.
  UpdateChipTest() : OrvTest(ModelFlash::ConfigText(11, 16384, 4096)) {}
  void SetUp() override {
    OrvTest::SetUp();
    BindFakes();
    for (UINT8 Ic : {0, 1, 10}) ChipRuns(Ic, 0x100);
    Image.Files["cust"] = {MakeZoneImage(0, 24, 5), 0};
  }

  /// Both OCM banks of the IC hold an image of Version.
  void ChipRuns(UINT8 Ic, UINT32 Version) {
    for (UINT8 Bank : {0, 1}) Flash.Program(Ic, ZONE_OCM, Bank, MakeZoneImage(Version, 40, 1));
  }
  void LoadOcm(UINT64 Version) {
    Image.Files["ocm"] = {MakeZoneImage(Version, 40, 4), Version};
    OcmImage = Image.Load("ocm");
  }
  void LoadCustomer() { CustomerImage = Image.Load("cust"); }

  /// Erase and write calls for IC 0 in one zone.
  size_t ZoneCalls(UINT8 Zone) const {
    return Flash.Count(SIM_OP::EraseBank, 0, FLASH_NO_ARG, Zone) +
           Flash.Count(SIM_OP::WriteBankData, 0, FLASH_NO_ARG, Zone);
  }
};

// ---- Target bank ------------------------------------------------------------------

struct SectionRow {
  const char *Name;
  UINT8 Active;  // SIM_SECTION_NONE: the component writes nothing
  UINT64 ImageVersion;
  std::string Console;
  UINT8 TargetBank;
};

void PrintTo(const SectionRow &Row, std::ostream *Out) { *Out << Row.Name; }

class UpdateChipSectionTest : public UpdateChipTest,
                              public ::testing::WithParamInterface<SectionRow> {};

TEST_P(UpdateChipSectionTest, OcmGoesIntoTheInactiveBank) {
  const SectionRow &Row = GetParam();
  Flash.SetActive(0, Row.Active);
  LoadOcm(Row.ImageVersion);

  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);

  ASSERT_GE(Flash.Calls.size(), 2u);
  EXPECT_EQ(Flash.Calls[0], (FlashCall{SIM_OP::GetActiveSection, 0}));
  // A component that reports no section leaves the preset 255.
  EXPECT_EQ(Flash.Calls[1], (FlashCall{SIM_OP::GetIcVersion, 0, Row.Active}));
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank), 1u);
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, 0, Row.TargetBank, ZONE_OCM), 1u);
  EXPECT_EQ(Flash.Active(0), Row.TargetBank);
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_OCM, Row.TargetBank, Image.Files["ocm"].Data));
  EXPECT_EQ(Fw.Console(), Row.Console);
}

INSTANTIATE_TEST_SUITE_P(
    Valid, UpdateChipSectionTest,
    ::testing::Values(
        SectionRow{"Section0GivesBank1", 0, 0x200,
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "IC 0 update success,runing section 1, ver 200\n",
                   1},
        SectionRow{"Section1GivesBank0", 1, 0x200,
                   "IC 0, current section 1, ver 100\n"
                   "Start Update Chip 0 OCM section 0\n"
                   "IC 0 update success,runing section 0, ver 200\n",
                   0},
        // No section reported: programmed although the image is not newer.
        SectionRow{"NoSectionGivesBank0WhateverTheVersions", SIM_SECTION_NONE, 0,
                   "IC 0, current section FF, ver 0\n"
                   "Start Update Chip 0 OCM section 0\n"
                   "IC 0 update success,runing section 0, ver 0\n",
                   0}),
    [](const ::testing::TestParamInfo<SectionRow> &Info) { return Info.param.Name; });

// ---- Version decision -------------------------------------------------------------

struct DecisionRow {
  const char *Name;
  UINT64 ImageVersion;
  UINT32 ChipVersion;
  bool Forced;
  bool Programmed;
  std::string NotUpdateLine;  // empty when programmed
};

void PrintTo(const DecisionRow &Row, std::ostream *Out) { *Out << Row.Name; }

class UpdateChipDecisionTest : public UpdateChipTest,
                               public ::testing::WithParamInterface<DecisionRow> {};

TEST_P(UpdateChipDecisionTest, NewerForcedOrNot) {
  const DecisionRow &Row = GetParam();
  ChipRuns(0, Row.ChipVersion);
  if (Row.Forced) RUN_FLAGS |= RUN_FLAG_FORCE_UPDATE;
  LoadOcm(Row.ImageVersion);

  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);

  EXPECT_EQ(ZoneCalls(ZONE_OCM), Row.Programmed ? 2u : 0u);
  std::vector<std::string> Console = Lines(Fw.Console());
  ASSERT_FALSE(Console.empty());
  if (Row.Programmed) {
    EXPECT_EQ(Console[Row.Forced ? 2 : 1], "Start Update Chip 0 OCM section 1");
  } else {
    char First[64];
    std::snprintf(First, sizeof First, "IC 0, current section 0, ver %X", Row.ChipVersion);
    EXPECT_EQ(Console, (std::vector<std::string>{First, Row.NotUpdateLine}));
    EXPECT_EQ(Image.CallCount("GetImageData"), 0) << "no data asked for a skipped zone";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Valid, UpdateChipDecisionTest,
    ::testing::Values(
        DecisionRow{"NewerImage", 0x101, 0x100, false, true, ""},
        DecisionRow{"EqualVersions", 0x12345, 0x12345, false, false, "Not Update! Image Ver 2345"},
        DecisionRow{"OlderImage", 0xFF, 0x100, false, false, "Not Update! Image Ver FF"},
        DecisionRow{"ForcedOlderImage", 0xFF, 0x100, true, true, ""},
        DecisionRow{"ForcedEqualImage", 0x100, 0x100, true, true, ""}),
    [](const ::testing::TestParamInfo<DecisionRow> &Info) { return Info.param.Name; });

INSTANTIATE_TEST_SUITE_P(
    Limits, UpdateChipDecisionTest,
    ::testing::Values(
        // Compared as 64-bit numbers: truncating the image version would make it 0.
        DecisionRow{"ImageAbove32Bits", 0x100000000ull, 0xFFFFFFFF, false, true, ""},
        DecisionRow{"ChipAtMaximum", 0xFFFFFFFF, 0xFFFFFFFF, false, false,
                    "Not Update! Image Ver FFFF"},
        DecisionRow{"BothZero", 0, 0, false, false, "Not Update! Image Ver 0"},
        // Unsigned: a chip version with the top bit set is not negative.
        DecisionRow{"ChipTopBitSet", 0x7FFFFFFF, 0x80000000, false, false,
                    "Not Update! Image Ver FFFF"}),
    [](const ::testing::TestParamInfo<DecisionRow> &Info) { return Info.param.Name; });

TEST_F(UpdateChipTest, ForceLineIsPrintedAlsoForANewerImage) {
  RUN_FLAGS |= RUN_FLAG_FORCE_UPDATE;
  LoadOcm(0x300);
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "IC 0, current section 0, ver 100\n"
            "Force Update Is set, Ignore veriosn!!\n"
            "Start Update Chip 0 OCM section 1\n"
            "IC 0 update success,runing section 1, ver 300\n");
}

TEST_F(UpdateChipTest, UpToDateOcmStillProgramsTheCustomerImage) {
  ChipRuns(0, 0x12345);
  LoadOcm(0x12345);
  LoadCustomer();
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "IC 0, current section 0, ver 12345\n"
            "Not Update! Image Ver 2345\n"
            "Start Update Chip 0 Customer Zone!\n");
  EXPECT_EQ(ZoneCalls(ZONE_OCM), 0u);
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_CUSTOMER, 0, Image.Files["cust"].Data));
  EXPECT_TRUE(Flash.Erased(0, ZONE_CUSTOMER, 1)) << "no backup bank without the flag";
}

TEST_F(UpdateChipTest, OcmThenCustomerWithBackupInOrder) {
  RUN_FLAGS |= RUN_FLAG_INCLUDE_CUSTOMER_BKP;
  LoadOcm(0x200);
  LoadCustomer();
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "IC 0, current section 0, ver 100\n"
            "Start Update Chip 0 OCM section 1\n"
            "IC 0 update success,runing section 1, ver 200\n"
            "Start Update Chip 0 Customer Zone!\n"
            "include customer backup is set, Updating\n");
  std::vector<FlashCall> Writes;
  for (const FlashCall &Call : Flash.Calls) {
    if (Call.Op == SIM_OP::WriteBankData) Writes.push_back(Call);
  }
  EXPECT_EQ(Writes, (std::vector<FlashCall>{{SIM_OP::WriteBankData, 0, 1, ZONE_OCM, 64},
                                            {SIM_OP::WriteBankData, 0, 0, ZONE_CUSTOMER, 48},
                                            {SIM_OP::WriteBankData, 0, 1, ZONE_CUSTOMER, 48}}));
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_CUSTOMER, 1, Image.Files["cust"].Data));
  EXPECT_EQ(Image.CallCount("GetImageData(0x102)"), 1) << "backup bank reuses the data";
  EXPECT_EQ(Flash.Active(0), 1) << "customer banks are never activated";
}

TEST_F(UpdateChipTest, OnlyCustomerImageHasNoVersionLine) {
  RUN_FLAGS |= RUN_FLAG_INCLUDE_CUSTOMER_BKP;
  LoadCustomer();
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "Start Update Chip 0 Customer Zone!\n"
            "include customer backup is set, Updating\n");
  EXPECT_EQ(Image.CallCount("GetImageVersion"), 0);
  EXPECT_EQ(ZoneCalls(ZONE_CUSTOMER), 4u);
  EXPECT_EQ(Flash.Calls[1], (FlashCall{SIM_OP::GetIcVersion, 0, 0}));
}

TEST_F(UpdateChipTest, NeitherImageReadsTheChipAndPrintsNothing) {
  RUN_FLAGS |= RUN_FLAG_INCLUDE_CUSTOMER_BKP | RUN_FLAG_FORCE_UPDATE;
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "");
  EXPECT_EQ(Flash.Calls, (std::vector<FlashCall>{{SIM_OP::GetActiveSection, 0},
                                                 {SIM_OP::GetIcVersion, 0, 0}}));
  EXPECT_TRUE(Image.Calls.empty());
}

TEST_F(UpdateChipTest, IcIndex10IsDecimalInStartLinesOnly) {
  LoadOcm(0x200);
  LoadCustomer();
  EXPECT_EQ(UpdateChip(10), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "IC A, current section 0, ver 100\n"
            "Start Update Chip 10 OCM section 1\n"
            "IC A update success,runing section 1, ver 200\n"
            "Start Update Chip 10 Customer Zone!\n");
}

TEST_F(UpdateChipTest, OcmDataIsAskedAfreshForEveryIc) {
  LoadOcm(0x200);
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(UpdateChip(1), EFI_SUCCESS);
  EXPECT_EQ(Image.CallCount("GetImageData(0x101)"), 2);
  EXPECT_EQ(Flash.Active(1), 1);
}

// ---- Failures ---------------------------------------------------------------------

struct FailureRow {
  const char *Name;
  /// The operation that fails with COMPONENT_ERROR, and where.
  SIM_OP Op;
  FaultWhere Where;
  std::string Console;
  /// Whether each zone saw an erase or a write.
  bool OcmWritten;
  bool CustomerWritten;
};

void PrintTo(const FailureRow &Row, std::ostream *Out) { *Out << Row.Name; }

class UpdateChipFailureTest : public UpdateChipTest,
                              public ::testing::WithParamInterface<FailureRow> {};

TEST_P(UpdateChipFailureTest, ReportsAndReturnsDeviceError) {
  const FailureRow &Row = GetParam();
  RUN_FLAGS |= RUN_FLAG_INCLUDE_CUSTOMER_BKP;
  LoadOcm(0x200);
  LoadCustomer();
  Fail(Row.Op, COMPONENT_ERROR, Row.Where);

  EXPECT_EQ(UpdateChip(0), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), Row.Console);
  EXPECT_EQ(ZoneCalls(ZONE_OCM) > 0, Row.OcmWritten);
  EXPECT_EQ(ZoneCalls(ZONE_CUSTOMER) > 0, Row.CustomerWritten);
}

const std::string OCM_DONE =
    "IC 0, current section 0, ver 100\n"
    "Start Update Chip 0 OCM section 1\n"
    "IC 0 update success,runing section 1, ver 200\n";

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateChipFailureTest,
    ::testing::Values(
        FailureRow{"GetActiveSection", SIM_OP::GetActiveSection, {.Call = 1},
                   "Get IC 0 active section error 12\n", false, false},
        FailureRow{"GetIcVersion", SIM_OP::GetIcVersion, {.Call = 1}, "Get IC 0 ver error 12\n",
                   false, false},
        FailureRow{"GetImageVersion", SIM_OP::GetImageVersion, {.Call = 1},
                   "Get OCMFile ver error 12\n", false, false},
        FailureRow{"OcmImageData", SIM_OP::GetImageData, {.Call = 1},
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "Get OCMFile data error 12\n",
                   false, false},
        // ProgramBank passes FlashPreOperation's status on; it shows in the
        // message and the section shown is the one read, not the target bank.
        FailureRow{"OcmProgramming", SIM_OP::FlashPreOperation, {.Call = 1},
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "FlashPreOperation Ic 0 error 12\n"
                   "IC 0 update OCM error 12, current section 0\n",
                   false, false},
        FailureRow{"OcmVerify", SIM_OP::FlashPostOperation, {.Call = 1},
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "FlashPostOperation Ic 0 error 12\n"
                   "IC 0 update OCM error 7, current section 0\n",
                   true, false},
        FailureRow{"CustomerImageData", SIM_OP::GetImageData, {.Call = 2},
                   OCM_DONE + "Start Update Chip 0 Customer Zone!\nGet CSTMFile data error 12\n",
                   true, false},
        // Bank 1 is not attempted after a failed bank 0.
        FailureRow{"CustomerBank0", SIM_OP::EraseBank, {.Zone = ZONE_CUSTOMER},
                   OCM_DONE + "Start Update Chip 0 Customer Zone!\nEraseBank Ic 0 error 12\n",
                   true, true},
        FailureRow{"CustomerBank1", SIM_OP::EraseBank, {.Zone = ZONE_CUSTOMER, .Bank = 1},
                   OCM_DONE +
                       "Start Update Chip 0 Customer Zone!\n"
                       "include customer backup is set, Updating\n"
                       "EraseBank Ic 0 error 12\n",
                   true, true}),
    [](const ::testing::TestParamInfo<FailureRow> &Info) { return Info.param.Name; });

TEST_F(UpdateChipTest, FailedChipReadsFailEvenWithoutImages) {
  Flash.Fail(SIM_OP::GetIcVersion, EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdateChip(0), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), "Get IC 0 ver error 7\n");
}

}  // namespace
