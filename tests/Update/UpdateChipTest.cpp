// Chip update policy: target bank, version decision, force and no-section
// rules, the customer zone and its backup bank, failures and what they leave
// untouched, and the console lines of each case.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
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
  void SetUp() override {
    OrvTest::SetUp();
    BindFakes();
    Flash.Ics.resize(2);
    for (auto &Ic : Flash.Ics) {
      Ic.ActiveSection = 0;
      Ic.Version = {0x100, 0x100, 0x100};
      Ic.VersionOnWrite = 0x200;
    }
    Image.Files["ocm"] = {std::vector<UINT8>(64, 0xC3), 0x200};
    Image.Files["cust"] = {std::vector<UINT8>(24, 0x5E), 0};
  }

  void LoadOcm(UINT64 Version) {
    Image.Files["ocm"].Version = Version;
    OcmImage = Image.Load("ocm");
  }
  void LoadCustomer() { CustomerImage = Image.Load("cust"); }

  /// Flash calls of one zone (erase, write, read-back, check) by their text.
  int ZoneCalls(UINT8 Zone) const {
    int Count = 0;
    for (const auto &Call : Flash.Calls) {
      for (UINT8 Bank : {0, 1}) {
        std::string Suffix = "(0," + std::to_string(Bank) + "," + std::to_string(Zone);
        Count += Call.rfind("EraseBank" + Suffix, 0) == 0 ? 1 : 0;
        Count += Call.rfind("WriteBankData" + Suffix, 0) == 0 ? 1 : 0;
      }
    }
    return Count;
  }
};

// ---- Target bank ------------------------------------------------------------------

struct SectionRow {
  const char *Name;
  std::optional<UINT8> Reported;  // nullopt: the component writes nothing
  UINT64 ImageVersion;
  std::string VersionCall;
  std::string Console;
  UINT8 TargetBank;
};

void PrintTo(const SectionRow &Row, std::ostream *Out) { *Out << Row.Name; }

class UpdateChipSectionTest : public UpdateChipTest,
                              public ::testing::WithParamInterface<SectionRow> {};

TEST_P(UpdateChipSectionTest, OcmGoesIntoTheInactiveBank) {
  const SectionRow &Row = GetParam();
  Flash.Ics[0].ActiveSection = Row.Reported;
  LoadOcm(Row.ImageVersion);

  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);

  ASSERT_GE(Flash.Calls.size(), 2u);
  EXPECT_EQ(Flash.Calls[0], "GetActiveSection(0,in=255)");
  EXPECT_EQ(Flash.Calls[1], Row.VersionCall);
  std::string Bank = std::to_string(Row.TargetBank);
  EXPECT_EQ(Flash.CallCount("EraseBank(0," + Bank + ",1)"), 1);
  EXPECT_EQ(Flash.CallCount("SetActiveBank(0," + Bank + ")"), 1);
  EXPECT_EQ(Flash.CallCount("EraseBank"), 1);
  EXPECT_EQ(Fw.Console(), Row.Console);
}

INSTANTIATE_TEST_SUITE_P(
    Valid, UpdateChipSectionTest,
    ::testing::Values(
        SectionRow{"Section0GivesBank1", 0, 0x200, "GetIcVersion(0,0)",
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "IC 0 update success,runing section 1, ver 200\n",
                   1},
        SectionRow{"Section1GivesBank0", 1, 0x200, "GetIcVersion(0,1)",
                   "IC 0, current section 1, ver 100\n"
                   "Start Update Chip 0 OCM section 0\n"
                   "IC 0 update success,runing section 0, ver 200\n",
                   0},
        // No section reported: programmed although the image is older.
        SectionRow{"NoSectionGivesBank0WhateverTheVersions", std::nullopt, 0x50,
                   "GetIcVersion(0,255)",
                   "IC 0, current section FF, ver 100\n"
                   "Start Update Chip 0 OCM section 0\n"
                   "IC 0 update success,runing section 0, ver 200\n",
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
  Flash.Ics[0].Version = {Row.ChipVersion, Row.ChipVersion, Row.ChipVersion};
  if (Row.Forced) RUN_FLAGS |= RUN_FLAG_FORCE_UPDATE;
  LoadOcm(Row.ImageVersion);

  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);

  EXPECT_EQ(ZoneCalls(ZONE_OCM), Row.Programmed ? 2 : 0);
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
            "IC 0 update success,runing section 1, ver 200\n");
}

TEST_F(UpdateChipTest, UpToDateOcmStillProgramsTheCustomerImage) {
  LoadOcm(0x12345);
  Flash.Ics[0].Version = {0x12345, 0x12345, 0x12345};
  LoadCustomer();
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "IC 0, current section 0, ver 12345\n"
            "Not Update! Image Ver 2345\n"
            "Start Update Chip 0 Customer Zone!\n");
  EXPECT_EQ(ZoneCalls(ZONE_OCM), 0);
  EXPECT_EQ(Flash.CallCount("WriteBankData(0,0,2,24)"), 1);
  EXPECT_EQ(Flash.Ics[0].Banks[ZONE_CUSTOMER][0], Image.Files["cust"].Data);
  EXPECT_EQ(Flash.CallCount("WriteBankData(0,1,2"), 0) << "no backup bank without the flag";
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
  std::vector<std::string> Writes;
  for (const auto &Call : Flash.Calls) {
    if (Call.rfind("WriteBankData", 0) == 0) Writes.push_back(Call);
  }
  EXPECT_EQ(Writes, (std::vector<std::string>{"WriteBankData(0,1,1,64)", "WriteBankData(0,0,2,24)",
                                              "WriteBankData(0,1,2,24)"}));
  EXPECT_EQ(Flash.Ics[0].Banks[ZONE_CUSTOMER][1], Image.Files["cust"].Data);
  EXPECT_EQ(Image.CallCount("GetImageData(0x102)"), 1) << "backup bank reuses the data";
  EXPECT_EQ(Flash.Ics[0].ActiveSection, 1) << "customer banks are never activated";
}

TEST_F(UpdateChipTest, OnlyCustomerImageHasNoVersionLine) {
  RUN_FLAGS |= RUN_FLAG_INCLUDE_CUSTOMER_BKP;
  LoadCustomer();
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(),
            "Start Update Chip 0 Customer Zone!\n"
            "include customer backup is set, Updating\n");
  EXPECT_EQ(Image.CallCount("GetImageVersion"), 0);
  EXPECT_EQ(ZoneCalls(ZONE_CUSTOMER), 4);
  EXPECT_EQ(Flash.Calls[0], "GetActiveSection(0,in=255)");
  EXPECT_EQ(Flash.Calls[1], "GetIcVersion(0,0)");
}

TEST_F(UpdateChipTest, NeitherImageReadsTheChipAndPrintsNothing) {
  RUN_FLAGS |= RUN_FLAG_INCLUDE_CUSTOMER_BKP | RUN_FLAG_FORCE_UPDATE;
  EXPECT_EQ(UpdateChip(0), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "");
  EXPECT_EQ(Flash.Calls, (std::vector<std::string>{"GetActiveSection(0,in=255)",
                                                   "GetIcVersion(0,0)"}));
  EXPECT_TRUE(Image.Calls.empty());
}

TEST_F(UpdateChipTest, IcIndex10IsDecimalInStartLinesOnly) {
  Flash.Ics.resize(11);
  Flash.Ics[10].Version = {0x100, 0x100, 0x100};
  Flash.Ics[10].VersionOnWrite = 0x200;
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
  EXPECT_EQ(Flash.Ics[1].ActiveSection, 1);
}

// ---- Failures ---------------------------------------------------------------------

struct FailureRow {
  const char *Name;
  std::function<void(FakeFlash &, FakeImage &)> Inject;
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
  Row.Inject(Flash, Image);

  EXPECT_EQ(UpdateChip(0), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), Row.Console);
  EXPECT_EQ(ZoneCalls(ZONE_OCM) > 0, Row.OcmWritten);
  EXPECT_EQ(ZoneCalls(ZONE_CUSTOMER) > 0, Row.CustomerWritten);
}

std::function<void(FakeFlash &, FakeImage &)> FlashFails(const char *Op, int Nth) {
  return [=](FakeFlash &F, FakeImage &) { F.Script.Fail(Op, COMPONENT_ERROR, Nth); };
}
std::function<void(FakeFlash &, FakeImage &)> ImageFails(const char *Op, int Nth) {
  return [=](FakeFlash &, FakeImage &I) { I.Script.Fail(Op, COMPONENT_ERROR, Nth); };
}

const std::string OCM_DONE =
    "IC 0, current section 0, ver 100\n"
    "Start Update Chip 0 OCM section 1\n"
    "IC 0 update success,runing section 1, ver 200\n";

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateChipFailureTest,
    ::testing::Values(
        FailureRow{"GetActiveSection", FlashFails("GetActiveSection", 1),
                   "Get IC 0 active section error 12\n", false, false},
        FailureRow{"GetIcVersion", FlashFails("GetIcVersion", 1), "Get IC 0 ver error 12\n",
                   false, false},
        FailureRow{"GetImageVersion", ImageFails("GetImageVersion", 1),
                   "Get OCMFile ver error 12\n", false, false},
        FailureRow{"OcmImageData", ImageFails("GetImageData", 1),
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "Get OCMFile data error 12\n",
                   false, false},
        // ProgramBank passes FlashPreOperation's status on; it shows in the
        // message and the section shown is the one read, not the target bank.
        FailureRow{"OcmProgramming", FlashFails("FlashPreOperation", 1),
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "FlashPreOperation Ic 0 error 12\n"
                   "IC 0 update OCM error 12, current section 0\n",
                   false, false},
        FailureRow{"OcmVerify", FlashFails("FlashPostOperation", 1),
                   "IC 0, current section 0, ver 100\n"
                   "Start Update Chip 0 OCM section 1\n"
                   "FlashPostOperation Ic 0 error 12\n"
                   "IC 0 update OCM error 7, current section 0\n",
                   true, false},
        FailureRow{"CustomerImageData", ImageFails("GetImageData", 2),
                   OCM_DONE + "Start Update Chip 0 Customer Zone!\nGet CSTMFile data error 12\n",
                   true, false},
        // The second erase is customer bank 0: bank 1 is not attempted.
        FailureRow{"CustomerBank0",
                   [](FakeFlash &F, FakeImage &) {
                     F.Script.Fail("EraseBank", COMPONENT_ERROR, 2);
                     F.Script.Fail("EraseBank", COMPONENT_ERROR, 3);
                   },
                   OCM_DONE + "Start Update Chip 0 Customer Zone!\nEraseBank Ic 0 error 12\n",
                   true, true},
        FailureRow{"CustomerBank1", FlashFails("EraseBank", 3),
                   OCM_DONE +
                       "Start Update Chip 0 Customer Zone!\n"
                       "include customer backup is set, Updating\n"
                       "EraseBank Ic 0 error 12\n",
                   true, true}),
    [](const ::testing::TestParamInfo<FailureRow> &Info) { return Info.param.Name; });

TEST_F(UpdateChipTest, FailedChipReadsFailEvenWithoutImages) {
  Flash.Script.Fail("GetIcVersion", EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdateChip(0), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), "Get IC 0 ver error 7\n");
}

}  // namespace
