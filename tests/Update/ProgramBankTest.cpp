// Bank programming: the call sequence after each failing step, its message
// and result, the check value, the read-back switch of ReduceFlashMask, and
// the read-back buffer given back on every path (leak check in TearDown).
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Update.h"
#include "OrvTest.h"
#include "RunState.h"

namespace {

using Calls = std::vector<std::string>;

/// A component status that is neither the engine's own EFI_DEVICE_ERROR nor
/// success, so a message shows it as 12 and a result shows whether it was
/// passed on or replaced.
constexpr EFI_STATUS COMPONENT_ERROR = EFI_TIMEOUT;

/// 45 bytes: not a multiple of a word.
constexpr UINTN IMAGE_SIZE = 45;

// The calls of one pass for IC 0, bank 1, OCM zone, 45 bytes.
const std::string PRE = "FlashPreOperation(0)";
const std::string UNLOCK = "UnlockFlash(0)";
const std::string ERASE = "EraseBank(0,1,1)";
const std::string WRITE = "WriteBankData(0,1,1,45)";
const std::string LOCK = "lockFlash(0)";
const std::string READ = "ReadBankData(0,1,1,45)";
const std::string POST = "FlashPostOperation(0)";
const std::string CHECK = "HardwareCheckBank(0,1,1,check=0)";
const std::string SWITCH = "SetActiveBank(0,1)";
const std::string VERSION = "GetIcVersion(0,1)";
const std::string IC_POST = "ICPostOperation(0)";

const std::string SUCCESS_LINE = "IC 0 update success,runing section 1, ver 205\n";

class ProgramBankTest : public OrvTest {
 protected:
  void SetUp() override {
    OrvTest::SetUp();
    BindFakes();
    Flash.Ics.resize(1);
    Flash.Ics[0].ActiveSection = 0;
    Flash.Ics[0].VersionOnWrite = 0x205;
    Bytes.resize(IMAGE_SIZE);
    for (UINTN Offset = 0; Offset < IMAGE_SIZE; Offset++) {
      Bytes[Offset] = static_cast<UINT8>(Offset * 13 + 7);
    }
  }

  EFI_STATUS Program(UINT8 Zone, UINT8 Bank = 1) {
    return ProgramBank(0, Bank, Zone, Bytes.size(), Bytes.data());
  }

  std::vector<UINT8> Bytes;
};

// ---- Fault matrix -------------------------------------------------------------

struct FaultRow {
  const char *Name;
  /// The flash operation that fails with COMPONENT_ERROR; nullptr for none.
  const char *FailingOp;
  /// The read-back buffer cannot be had.
  bool NoBuffer;
  Calls Expected;
  std::string Console;
  EFI_STATUS Result;
  bool Switched;
};

void PrintTo(const FaultRow &Row, std::ostream *Out) { *Out << Row.Name; }

class ProgramBankFaultTest : public ProgramBankTest,
                             public ::testing::WithParamInterface<FaultRow> {};

TEST_P(ProgramBankFaultTest, StopsWhereItMustReportsAndReturns) {
  const FaultRow &Row = GetParam();
  if (Row.FailingOp != nullptr) Flash.Script.Fail(Row.FailingOp, COMPONENT_ERROR);
  if (Row.NoBuffer) Fw.FailAllocationsOfSize(IMAGE_SIZE);

  EXPECT_EQ(Program(ZONE_OCM), Row.Result);
  EXPECT_EQ(Flash.Calls, Row.Expected);
  EXPECT_EQ(Fw.Console(), Row.Console);
  EXPECT_EQ(Flash.Ics[0].ActiveSection, Row.Switched ? 1 : 0);
  if (Row.Switched) {
    EXPECT_EQ(Flash.Ics[0].Banks[ZONE_OCM][1], Bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ProgramBankFaultTest,
    ::testing::Values(
        FaultRow{"FlashPreOperation", "FlashPreOperation", false, {PRE},
                 "FlashPreOperation Ic 0 error 12\n", COMPONENT_ERROR, false},
        FaultRow{"UnlockFlash", "UnlockFlash", false, {PRE, UNLOCK, IC_POST},
                 "UnlockFlash Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"EraseBank", "EraseBank", false, {PRE, UNLOCK, ERASE, LOCK, IC_POST},
                 "EraseBank Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"WriteBankData", "WriteBankData", false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, IC_POST}, "WriteBankData Ic 0 error 12\n",
                 EFI_DEVICE_ERROR, false},
        FaultRow{"lockFlash", "lockFlash", false, {PRE, UNLOCK, ERASE, WRITE, LOCK, IC_POST},
                 "lockFlash Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"NoReadBackBuffer", nullptr, true, {PRE, UNLOCK, ERASE, WRITE, LOCK, IC_POST},
                 "Allocate readBack error cannot check falsh\n", EFI_DEVICE_ERROR, false},
        FaultRow{"ReadBankDataGoesOn", "ReadBankData", false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, VERSION, IC_POST},
                 "ReadBankData Ic 0 error 12\n" + SUCCESS_LINE, EFI_SUCCESS, true},
        FaultRow{"FlashPostOperation", "FlashPostOperation", false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, IC_POST},
                 "FlashPostOperation Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"HardwareCheckBank", "HardwareCheckBank", false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, IC_POST},
                 "HardwareCheckBank Ic 0, check 1, sta 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"SetActiveBank", "SetActiveBank", false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, IC_POST},
                 "SetActiveBank Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"ICPostOperation", "ICPostOperation", false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, VERSION, IC_POST},
                 SUCCESS_LINE + "ICPostOperation IC 0 error 12\n", COMPONENT_ERROR, true},
        FaultRow{"None", nullptr, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, VERSION, IC_POST},
                 SUCCESS_LINE, EFI_SUCCESS, true}),
    [](const ::testing::TestParamInfo<FaultRow> &Info) { return Info.param.Name; });

TEST_F(ProgramBankTest, ICPostOperationStatusReplacesAnEarlierFailure) {
  Flash.Script.Fail("EraseBank", EFI_DEVICE_ERROR);
  Flash.Script.Fail("ICPostOperation", EFI_ABORTED);
  EXPECT_EQ(Program(ZONE_OCM), EFI_ABORTED);
  EXPECT_EQ(Fw.Console(), "EraseBank Ic 0 error 7\nICPostOperation IC 0 error 15\n");
}

TEST_F(ProgramBankTest, HardwareCheckFailurePrintsTheCheckValueAsTheCallLeftIt) {
  Flash.CheckResult = 0x9C;
  Flash.Script.Fail("HardwareCheckBank", COMPONENT_ERROR);
  EXPECT_EQ(Program(ZONE_OCM), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), "HardwareCheckBank Ic 0, check 9C, sta 12\n");
}

// ---- Read-back comparison -------------------------------------------------------

TEST_F(ProgramBankTest, FirstDifferingByteIsReportedOnceAndNothingIsSwitched) {
  Flash.CorruptReadBack[5] = 0x01;
  Flash.CorruptReadBack[9] = 0x80;
  EXPECT_EQ(Program(ZONE_OCM), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), "image read back compare fail at 5\n");
  EXPECT_EQ(Flash.Calls, (Calls{PRE, UNLOCK, ERASE, WRITE, LOCK, READ, IC_POST}));
  EXPECT_EQ(Flash.Ics[0].ActiveSection, 0);
}

TEST_F(ProgramBankTest, DifferenceDeepInALargeImageShowsItsOffset) {
  Bytes.assign((1u << 20) + 3, 0x3C);
  Flash.CorruptReadBack[0xABCDE] = 0x10;
  Flash.CorruptReadBack[0xFFFF0] = 0x10;
  EXPECT_EQ(Program(ZONE_CUSTOMER, 0), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), "image read back compare fail at ABCDE\n");
}

TEST_F(ProgramBankTest, ReadBackBufferHasTheImageSizeAndIsTheOnlyAllocation) {
  size_t Before = Fw.AllocationCount();
  Fw.FailAllocationsOfSize(IMAGE_SIZE - 1);
  Fw.FailAllocationsOfSize(IMAGE_SIZE + 1);
  EXPECT_EQ(Program(ZONE_OCM), EFI_SUCCESS);
  EXPECT_EQ(Fw.AllocationCount() - Before, 1u);
}

struct ReduceRow {
  const char *Name;
  UINT32 Mask;
  UINT8 Zone;
  bool ReadBack;
};

void PrintTo(const ReduceRow &Row, std::ostream *Out) { *Out << Row.Name; }

class ProgramBankReduceTest : public ProgramBankTest,
                              public ::testing::WithParamInterface<ReduceRow> {};

TEST_P(ProgramBankReduceTest, ReadBackFollowsBit0ForTheOcmZoneOnly) {
  const ReduceRow &Row = GetParam();
  ReduceFlashMask = Row.Mask;
  // A corrupted read-back shows whether the comparison ran.
  Flash.CorruptReadBack[3] = 0x04;
  size_t Before = Fw.AllocationCount();

  EFI_STATUS Status = Program(Row.Zone);

  EXPECT_EQ(Flash.CallCount("ReadBankData"), Row.ReadBack ? 1 : 0);
  EXPECT_EQ(Fw.AllocationCount() - Before, Row.ReadBack ? 1u : 0u);
  EXPECT_EQ(Status, Row.ReadBack ? EFI_DEVICE_ERROR : EFI_SUCCESS);
  EXPECT_EQ(Flash.CallCount("HardwareCheckBank"), Row.ReadBack ? 0 : 1)
      << "the hardware check still runs without a read-back";
}

INSTANTIATE_TEST_SUITE_P(
    Valid, ProgramBankReduceTest,
    ::testing::Values(ReduceRow{"OcmBitSet", 0x1, ZONE_OCM, false},
                      ReduceRow{"OcmAllBitsSet", 0xFFFFFFFF, ZONE_OCM, false},
                      ReduceRow{"OcmOtherBitsOnly", 0xFFFFFFFE, ZONE_OCM, true},
                      ReduceRow{"OcmBitClear", 0x0, ZONE_OCM, true},
                      ReduceRow{"CustomerBitSet", 0x1, ZONE_CUSTOMER, true},
                      ReduceRow{"CustomerBitClear", 0x0, ZONE_CUSTOMER, true}),
    [](const ::testing::TestParamInfo<ReduceRow> &Info) { return Info.param.Name; });

// ---- Check value ------------------------------------------------------------------

struct CheckRow {
  const char *Name;
  bool Forced;
  std::optional<UINT8> Left;  // what the component leaves; nullopt: untouched
  UINT8 Zone;
  UINT8 Entered;
  bool Good;
};

void PrintTo(const CheckRow &Row, std::ostream *Out) { *Out << Row.Name; }

class ProgramBankCheckTest : public ProgramBankTest,
                             public ::testing::WithParamInterface<CheckRow> {};

TEST_P(ProgramBankCheckTest, CheckValueEntersAsForceFlagAndDecides) {
  const CheckRow &Row = GetParam();
  if (Row.Forced) RUN_FLAGS |= RUN_FLAG_FORCE_UPDATE;
  Flash.CheckResult = Row.Left;

  EFI_STATUS Status = Program(Row.Zone);

  std::string Zone = std::to_string(Row.Zone);
  EXPECT_EQ(Flash.CallCount("HardwareCheckBank(0,1," + Zone + ",check=" +
                            std::to_string(Row.Entered) + ")"),
            1);
  EXPECT_EQ(Flash.CallCount("ICPostOperation(0)"), 1);
  if (Row.Good) {
    EXPECT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(Fw.Console(), Row.Zone == ZONE_OCM ? SUCCESS_LINE : "");
  } else {
    EXPECT_EQ(Status, EFI_DEVICE_ERROR);
    EXPECT_EQ(Fw.Console(), "HardwareCheckBank Ic 0, check 0, sta 0\n");
    EXPECT_EQ(Flash.CallCount("SetActiveBank"), 0) << "a bank found bad is never activated";
    EXPECT_EQ(Flash.CallCount("GetIcVersion"), 0);
    EXPECT_EQ(Flash.Ics[0].ActiveSection, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Valid, ProgramBankCheckTest,
    ::testing::Values(CheckRow{"NotForcedComponentSetsGood", false, 1, ZONE_OCM, 0, true},
                      CheckRow{"ForcedComponentLeavesItAlone", true, std::nullopt, ZONE_OCM, 1,
                               true},
                      CheckRow{"NotForcedComponentLeavesItAlone", false, std::nullopt, ZONE_OCM,
                               0, false},
                      CheckRow{"ForcedComponentSaysBad", true, 0, ZONE_OCM, 1, false},
                      CheckRow{"CustomerZoneSaysBad", false, 0, ZONE_CUSTOMER, 0, false},
                      CheckRow{"CustomerZoneGood", false, 0xFF, ZONE_CUSTOMER, 0, true}),
    [](const ::testing::TestParamInfo<CheckRow> &Info) { return Info.param.Name; });

// ---- Zones ---------------------------------------------------------------------------

TEST_F(ProgramBankTest, CustomerZoneIsNeverSwitchedAndPrintsNothing) {
  EXPECT_EQ(Program(ZONE_CUSTOMER, 0), EFI_SUCCESS);
  EXPECT_EQ(Flash.Calls,
            (Calls{PRE, UNLOCK, "EraseBank(0,0,2)", "WriteBankData(0,0,2,45)", LOCK,
                   "ReadBankData(0,0,2,45)", POST, "HardwareCheckBank(0,0,2,check=0)", IC_POST}));
  EXPECT_EQ(Flash.Ics[0].Banks[ZONE_CUSTOMER][0], Bytes);
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(ProgramBankTest, FailedVersionReadAfterTheSwitchShowsVersion0) {
  Flash.Script.Fail("GetIcVersion", COMPONENT_ERROR);
  EXPECT_EQ(Program(ZONE_OCM), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "IC 0 update success,runing section 1, ver 0\n");
  EXPECT_EQ(Flash.Ics[0].ActiveSection, 1);
}

}  // namespace
