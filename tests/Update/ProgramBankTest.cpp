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

using Calls = std::vector<FlashCall>;

/// A component status that is neither the engine's own EFI_DEVICE_ERROR nor
/// success, so a message shows it as 12 and a result shows whether it was
/// passed on or replaced.
constexpr EFI_STATUS COMPONENT_ERROR = EFI_TIMEOUT;

/// 45 bytes: not a multiple of a word.
constexpr UINTN IMAGE_SIZE = 45;

// The calls of one pass for IC 0, bank 1, OCM zone, 45 bytes.
const FlashCall PRE{SIM_OP::FlashPreOperation, 0};
const FlashCall UNLOCK{SIM_OP::UnlockFlash, 0};
const FlashCall ERASE{SIM_OP::EraseBank, 0, 1, ZONE_OCM};
const FlashCall WRITE{SIM_OP::WriteBankData, 0, 1, ZONE_OCM, IMAGE_SIZE};
const FlashCall LOCK{SIM_OP::lockFlash, 0};
const FlashCall READ{SIM_OP::ReadBankData, 0, 1, ZONE_OCM, IMAGE_SIZE};
const FlashCall POST{SIM_OP::FlashPostOperation, 0};
const FlashCall CHECK{SIM_OP::HardwareCheckBank, 0, 1, ZONE_OCM, 0};
const FlashCall SWITCH{SIM_OP::SetActiveBank, 0, 1};
const FlashCall VERSION{SIM_OP::GetIcVersion, 0, 1};
const FlashCall IC_POST{SIM_OP::ICPostOperation, 0};

const std::string SUCCESS_LINE = "IC 0 update success,runing section 1, ver 205\n";

class ProgramBankTest : public OrvTest {
 protected:
  // Customer banks of 1 MiB for the large image.
  ProgramBankTest() : OrvTest(BoardFlash(1u << 20)) {}
  void SetUp() override {
    OrvTest::SetUp();
    BindFakes();
  }

  EFI_STATUS Program(UINT8 Zone, UINT8 Bank = 1) {
    return ProgramBank(0, Bank, Zone, Bytes.size(), Bytes.data());
  }

  std::vector<UINT8> Bytes = MakeZoneImage(0x205, IMAGE_SIZE - 24, 7);
};

// ---- Fault matrix -------------------------------------------------------------

struct FaultRow {
  const char *Name;
  /// The flash operation that fails with COMPONENT_ERROR; SIM_OP::Count for none.
  SIM_OP FailingOp;
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
  Calls Expected = Row.Expected;
  if (Row.FailingOp != SIM_OP::Count) {
    Flash.Fail(Row.FailingOp, COMPONENT_ERROR);
    for (FlashCall &Call : Expected) {
      if (Call.Op == Row.FailingOp) {
        Call.Status = COMPONENT_ERROR;
        Call.Faulted = true;
      }
    }
  }
  if (Row.NoBuffer) Fw.FailAllocationsOfSize(IMAGE_SIZE);

  EXPECT_EQ(Program(ZONE_OCM), Row.Result);
  EXPECT_EQ(Flash.Calls, Expected);
  EXPECT_EQ(Fw.Console(), Row.Console);
  EXPECT_EQ(Flash.Active(0), Row.Switched ? 1 : 0);
  if (Row.Switched) {
    EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_OCM, 1, Bytes));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ProgramBankFaultTest,
    ::testing::Values(
        FaultRow{"FlashPreOperation", SIM_OP::FlashPreOperation, false, {PRE},
                 "FlashPreOperation Ic 0 error 12\n", COMPONENT_ERROR, false},
        FaultRow{"UnlockFlash", SIM_OP::UnlockFlash, false, {PRE, UNLOCK, IC_POST},
                 "UnlockFlash Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"EraseBank", SIM_OP::EraseBank, false, {PRE, UNLOCK, ERASE, LOCK, IC_POST},
                 "EraseBank Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"WriteBankData", SIM_OP::WriteBankData, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, IC_POST}, "WriteBankData Ic 0 error 12\n",
                 EFI_DEVICE_ERROR, false},
        FaultRow{"lockFlash", SIM_OP::lockFlash, false, {PRE, UNLOCK, ERASE, WRITE, LOCK, IC_POST},
                 "lockFlash Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"NoReadBackBuffer", SIM_OP::Count, true,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, IC_POST},
                 "Allocate readBack error cannot check falsh\n", EFI_DEVICE_ERROR, false},
        FaultRow{"ReadBankDataGoesOn", SIM_OP::ReadBankData, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, VERSION, IC_POST},
                 "ReadBankData Ic 0 error 12\n" + SUCCESS_LINE, EFI_SUCCESS, true},
        FaultRow{"FlashPostOperation", SIM_OP::FlashPostOperation, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, IC_POST},
                 "FlashPostOperation Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"HardwareCheckBank", SIM_OP::HardwareCheckBank, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, IC_POST},
                 "HardwareCheckBank Ic 0, check 0, sta 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"SetActiveBank", SIM_OP::SetActiveBank, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, IC_POST},
                 "SetActiveBank Ic 0 error 12\n", EFI_DEVICE_ERROR, false},
        FaultRow{"ICPostOperation", SIM_OP::ICPostOperation, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, VERSION, IC_POST},
                 SUCCESS_LINE + "ICPostOperation IC 0 error 12\n", COMPONENT_ERROR, true},
        FaultRow{"None", SIM_OP::Count, false,
                 {PRE, UNLOCK, ERASE, WRITE, LOCK, READ, POST, CHECK, SWITCH, VERSION, IC_POST},
                 SUCCESS_LINE, EFI_SUCCESS, true}),
    [](const ::testing::TestParamInfo<FaultRow> &Info) { return Info.param.Name; });

TEST_F(ProgramBankTest, ICPostOperationStatusReplacesAnEarlierFailure) {
  Flash.Fail(SIM_OP::EraseBank, EFI_DEVICE_ERROR);
  Flash.Fail(SIM_OP::ICPostOperation, EFI_ABORTED);
  EXPECT_EQ(Program(ZONE_OCM), EFI_ABORTED);
  EXPECT_EQ(Fw.Console(), "EraseBank Ic 0 error 7\nICPostOperation IC 0 error 15\n");
}

TEST_F(ProgramBankTest, HardwareCheckFailurePrintsTheCheckValueAsTheCallLeftIt) {
  Flash.CheckLeaves = 0x9C;
  Flash.Fail(SIM_OP::HardwareCheckBank, COMPONENT_ERROR);
  EXPECT_EQ(Program(ZONE_OCM), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), "HardwareCheckBank Ic 0, check 9C, sta 12\n");
}

// ---- Read-back comparison -------------------------------------------------------

struct CompareRow {
  const char *Name;
  /// 0: the fixture's image into OCM bank 1; else this many bytes into customer bank 0.
  UINTN LargeImage;
  UINT32 Offset;     ///< the byte read back wrong
  std::string Console;
};

void PrintTo(const CompareRow &Row, std::ostream *Out) { *Out << Row.Name; }

class ProgramBankCompareTest : public ProgramBankTest,
                               public ::testing::WithParamInterface<CompareRow> {};

TEST_P(ProgramBankCompareTest, DifferenceIsReportedAndNothingFollows) {
  const CompareRow &Row = GetParam();
  if (Row.LargeImage != 0) Bytes.assign(Row.LargeImage, 0x3C);
  Flash.CorruptRead(Row.Offset, 0x10);
  EXPECT_EQ(Row.LargeImage != 0 ? Program(ZONE_CUSTOMER, 0) : Program(ZONE_OCM), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), Row.Console);
  EXPECT_EQ(Flash.Calls.back().Op, SIM_OP::ICPostOperation);
  EXPECT_EQ(Flash.Count(SIM_OP::FlashPostOperation) + Flash.Count(SIM_OP::HardwareCheckBank) +
                Flash.Count(SIM_OP::SetActiveBank),
            0u);
  EXPECT_EQ(Flash.Active(0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ProgramBankCompareTest,
    ::testing::Values(
        CompareRow{"EarlyByte", 0, 5, "image read back compare fail at 5\n"},
        CompareRow{"LastByte", 0, IMAGE_SIZE - 1, "image read back compare fail at 2C\n"},
        CompareRow{"DeepInALargeImage", (1u << 20) - 5, 0xABCDE,
                   "image read back compare fail at ABCDE\n"}),
    [](const ::testing::TestParamInfo<CompareRow> &Info) { return Info.param.Name; });

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
  Flash.CorruptRead(3, 0x04);
  size_t Before = Fw.AllocationCount();

  EFI_STATUS Status = Program(Row.Zone);

  EXPECT_EQ(Flash.Count(SIM_OP::ReadBankData), Row.ReadBack ? 1u : 0u);
  EXPECT_EQ(Fw.AllocationCount() - Before, Row.ReadBack ? 1u : 0u);
  EXPECT_EQ(Status, Row.ReadBack ? EFI_DEVICE_ERROR : EFI_SUCCESS);
  EXPECT_EQ(Flash.Count(SIM_OP::HardwareCheckBank), Row.ReadBack ? 0u : 1u)
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
  /// What the component leaves (ModelFlash::CheckLeaves; 0 is the model's
  /// CheckZero rule); nullopt: the model's verdict on the bank.
  std::optional<UINT16> Leaves;
  UINT8 Zone;
  bool Good;
};

void PrintTo(const CheckRow &Row, std::ostream *Out) { *Out << Row.Name; }

class ProgramBankCheckTest : public ProgramBankTest,
                             public ::testing::WithParamInterface<CheckRow> {};

TEST_P(ProgramBankCheckTest, CheckValueEntersAsForceFlagAndDecides) {
  const CheckRow &Row = GetParam();
  if (Row.Forced) RUN_FLAGS |= RUN_FLAG_FORCE_UPDATE;
  if (Row.Leaves == 0) {
    Flash.CheckZero();
  } else {
    Flash.CheckLeaves = Row.Leaves;
  }

  EFI_STATUS Status = Program(Row.Zone);

  EXPECT_EQ(Flash.Count(FlashCall{SIM_OP::HardwareCheckBank, 0, 1, Row.Zone, Row.Forced ? 1u : 0u}),
            1u);
  EXPECT_EQ(Flash.Calls.back(), IC_POST);
  if (Row.Good) {
    EXPECT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(Fw.Console(), Row.Zone == ZONE_OCM ? SUCCESS_LINE : "");
  } else {
    EXPECT_EQ(Status, EFI_DEVICE_ERROR);
    EXPECT_EQ(Fw.Console(), "HardwareCheckBank Ic 0, check 0, sta 0\n");
    EXPECT_EQ(Flash.Count(SIM_OP::SetActiveBank), 0u) << "a bank found bad is never activated";
    EXPECT_EQ(Flash.Count(SIM_OP::GetIcVersion), 0u);
    EXPECT_EQ(Flash.Active(0), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Valid, ProgramBankCheckTest,
    ::testing::Values(
        CheckRow{"NotForcedComponentSetsGood", false, std::nullopt, ZONE_OCM, true},
        CheckRow{"ForcedComponentLeavesItAlone", true, ModelFlash::CHECK_AS_ENTERED, ZONE_OCM,
                 true},
        CheckRow{"NotForcedComponentLeavesItAlone", false, ModelFlash::CHECK_AS_ENTERED,
                 ZONE_OCM, false},
        CheckRow{"ForcedComponentSaysBad", true, 0, ZONE_OCM, false},
        CheckRow{"CustomerZoneSaysBad", false, 0, ZONE_CUSTOMER, false},
        CheckRow{"CustomerZoneAnyNonzeroIsGood", false, 0xFF, ZONE_CUSTOMER, true}),
    [](const ::testing::TestParamInfo<CheckRow> &Info) { return Info.param.Name; });

// ---- Zones ---------------------------------------------------------------------------

TEST_F(ProgramBankTest, CustomerZoneIsNeverSwitchedAndPrintsNothing) {
  EXPECT_EQ(Program(ZONE_CUSTOMER, 0), EFI_SUCCESS);
  EXPECT_EQ(Flash.Calls,
            (Calls{PRE, UNLOCK, {SIM_OP::EraseBank, 0, 0, ZONE_CUSTOMER},
                   {SIM_OP::WriteBankData, 0, 0, ZONE_CUSTOMER, IMAGE_SIZE}, LOCK,
                   {SIM_OP::ReadBankData, 0, 0, ZONE_CUSTOMER, IMAGE_SIZE}, POST,
                   {SIM_OP::HardwareCheckBank, 0, 0, ZONE_CUSTOMER, 0}, IC_POST}));
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_CUSTOMER, 0, Bytes));
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(ProgramBankTest, FailedVersionReadAfterTheSwitchShowsVersion0) {
  Flash.Fail(SIM_OP::GetIcVersion, COMPONENT_ERROR);
  EXPECT_EQ(Program(ZONE_OCM), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), "IC 0 update success,runing section 1, ver 0\n");
  EXPECT_EQ(Flash.Active(0), 1);
}

}  // namespace
