// OrvCheck.efi on the simulator's flash model: the reference flash passes
// every check and gets every bank back; each misbehaviour of the model makes
// exactly its check fail; read-only runs call no write-type operation; the
// checks never leave a pass open or the flash unlocked, and never write a
// bank they could not save or the bank the IC runs from.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "BoardTest.h"
#include "ModelFlash.h"
#include "OrvCheck.h"

namespace {

constexpr EFI_STATUS PROTOCOL_ERROR = EFI_PROTOCOL_ERROR;

const std::vector<std::string> READ_IDS = {"section", "version",      "pass",
                                           "read",    "check-active", "bad-args"};
const std::vector<std::string> WRITE_IDS = {
    "lock",   "erase",         "check-erased",         "write",  "isolation", "check-good",
    "switch", "check-corrupt", "active-write-refused", "restore"};

const SIM_OP WRITE_TYPE_OPERATIONS[] = {SIM_OP::UnlockFlash,        SIM_OP::EraseBank,
                                        SIM_OP::WriteBankData,      SIM_OP::lockFlash,
                                        SIM_OP::FlashPostOperation, SIM_OP::SetActiveBank};

class OrvCheckTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    // Bank 1 holds an older image and, past it, bytes an erase would lose.
    std::vector<UINT8> Older = MakeZoneImage(0x08, 7000, 4);
    Older.resize(12000, 0xFF);
    Older.insert(Older.end(), {0x12, 0x34, 0x56});
    for (UINT8 Ic = 0; Ic < 2; Ic++) {
      Flash.Program(Ic, ZONE_OCM, 1, Older);
      Flash.Program(Ic, ZONE_CUSTOMER, 0, Customer);
    }
    Before = Snapshot();
  }
  void TearDown() override {
    ExpectPairedCalls();
    // Calls the flash refuses are what the conformance checks provoke (a
    // locked flash, the running bank, bad arguments, the end of a bank).
    (void)Flash.TakeRefusals();
    BoardTest::TearDown();
  }

  std::vector<std::vector<UINT8>> Snapshot() const {
    std::vector<std::vector<UINT8>> Banks;
    for (UINT8 Ic = 0; Ic < 2; Ic++) {
      for (UINT8 Zone : {ZONE_OCM, ZONE_CUSTOMER}) {
        for (UINT8 Bank = 0; Bank < 2; Bank++) Banks.push_back(Flash.Bank(Ic, Zone, Bank));
      }
    }
    return Banks;
  }
  /// Each successful FlashPreOperation is closed by one ICPostOperation,
  /// each successful UnlockFlash followed by lockFlash within the pass.
  void ExpectPairedCalls() const {
    bool Open[2] = {};
    bool Unlocked[2] = {};
    for (const FlashCall &Call : Flash.Calls) {
      if (Call.Ic > 1) continue;
      bool Ok = !EFI_ERROR(Call.Status);
      if (Call.Op == SIM_OP::FlashPreOperation && Ok) Open[Call.Ic] = true;
      if (Call.Op == SIM_OP::UnlockFlash && Ok) Unlocked[Call.Ic] = true;
      if (Call.Op == SIM_OP::lockFlash) Unlocked[Call.Ic] = false;
      if (Call.Op == SIM_OP::ICPostOperation) {
        EXPECT_TRUE(Open[Call.Ic]) << "ICPostOperation without a pass";
        EXPECT_FALSE(Unlocked[Call.Ic]) << "a pass closed with the flash unlocked";
        Open[Call.Ic] = false;
      }
    }
    EXPECT_FALSE(Open[0] || Open[1]) << "a pass was left open";
  }
  /// The check lines of the console, without "PASS"/"FAIL"/"SKIP" texts after ':'.
  std::vector<std::string> CheckLines() const {
    std::vector<std::string> Out;
    for (const std::string &Line : Lines(Fw.Console())) {
      if (Line.rfind("PASS ", 0) == 0 || Line.rfind("FAIL ", 0) == 0 ||
          Line.rfind("SKIP ", 0) == 0) {
        Out.push_back(Line.substr(0, Line.find(':')));
      }
    }
    return Out;
  }
  std::set<std::string> Failed() const {
    std::set<std::string> Out;
    for (const std::string &Line : CheckLines()) {
      if (Line.rfind("FAIL ", 0) == 0) Out.insert(Line.substr(5));
    }
    return Out;
  }
  static std::vector<std::string> Expected(const std::vector<std::string> &Ids, int Ic) {
    std::vector<std::string> Out;
    for (const std::string &Id : Ids) Out.push_back("PASS " + Id + " ic=" + std::to_string(Ic));
    return Out;
  }

  std::vector<std::vector<UINT8>> Before;
};

TEST_F(OrvCheckTest, ReadOnlyChecksPassAndCallNoWriteTypeOperation) {
  EXPECT_EQ(RunCheck({}), EFI_SUCCESS) << Fw.Console();
  std::string Expect =
      "OrvCheck tool version 00.01.0002\nCurrent target: ChipA\n"
      "PASS count\nPASS address\n";
  for (int Ic = 0; Ic < 2; Ic++) {
    for (const std::string &Line : Expected(READ_IDS, Ic)) Expect += Line + "\n";
  }
  EXPECT_EQ(Fw.Console(), Expect + "14 passed, 0 failed, 0 skipped\n");
  for (SIM_OP Op : WRITE_TYPE_OPERATIONS) EXPECT_EQ(Flash.Count(Op), 0u) << SimOpName(Op);
  EXPECT_EQ(Flash.Count(SIM_OP::IcInit), 2u);
  EXPECT_EQ(Path.Calls,
            (std::vector<std::string>{"PathInit", "PathDeinit", "PathInit", "PathDeinit"}));
  EXPECT_EQ(Snapshot(), Before);
}

TEST_F(OrvCheckTest, WriteAndSwitchChecksPassAndPutEveryBankBack) {
  EXPECT_EQ(RunCheck({"-w", "-s"}), EFI_SUCCESS) << Fw.Console();
  std::vector<std::string> Expect = {"PASS count", "PASS address"};
  for (int Ic = 0; Ic < 2; Ic++) {
    for (const auto *Ids : {&READ_IDS, &WRITE_IDS}) {
      for (const std::string &Line : Expected(*Ids, Ic)) Expect.push_back(Line);
    }
  }
  EXPECT_EQ(CheckLines(), Expect);
  EXPECT_EQ(Lines(Fw.Console()).back(), "34 passed, 0 failed, 0 skipped");
  EXPECT_EQ(Snapshot(), Before) << "every bank byte for byte as before";
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    EXPECT_EQ(Flash.Active(Ic), 0);
    EXPECT_EQ(Flash.Count(SIM_OP::SetActiveBank, Ic, 1), 1u) << "switched to the written bank";
    EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, Ic, 0, ZONE_OCM), 0u) << "never the running bank";
  }
}

// One misbehaviour of the flash model per row, on IC 0 only: exactly the
// row's checks fail, and the bank the checks wrote is put back unless
// restoring it is what fails.
struct MisbehaviourRow {
  const char *Name;
  const char *Rule;
  std::set<std::string> Failing;
};

class OrvCheckMisbehaviourTest : public OrvCheckTest,
                                 public ::testing::WithParamInterface<MisbehaviourRow> {};

TEST_P(OrvCheckMisbehaviourTest, OnlyItsCheckFails) {
  const MisbehaviourRow &Row = GetParam();
  ASSERT_TRUE(Flash.SetFaults(Row.Rule));
  EXPECT_EQ(RunCheck({"-w", "-s"}), PROTOCOL_ERROR) << Fw.Console();
  EXPECT_EQ(Failed(), Row.Failing) << Fw.Console();
  EXPECT_EQ(Flash.Active(0), 0);
  if (Row.Failing.count("restore ic=0") == 0) {
    EXPECT_EQ(Flash.Bank(0, ZONE_OCM, 1), Before[1]) << "the written bank is put back";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Misbehaviours, OrvCheckMisbehaviourTest,
    ::testing::Values(
        MisbehaviourRow{"IcInitFails", "IcInit", {"count"}},
        MisbehaviourRow{"SameAddressTwice", "GetIcAddress Ic=1 Value=0x20", {"address"}},
        MisbehaviourRow{
            "SectionFailsOnSecondCall", "GetActiveSection Ic=0 Call=2", {"section ic=0"}},
        MisbehaviourRow{"VersionFailsOnSecondCall", "GetIcVersion Ic=0 Call=3", {"version ic=0"}},
        MisbehaviourRow{"SecondPassRefused", "FlashPreOperation Ic=0 Call=2", {"pass ic=0"}},
        MisbehaviourRow{
            "UnstableRead", "CorruptRead Ic=0 Zone=customer Bank=1 Call=2", {"read ic=0"}},
        MisbehaviourRow{
            "RunningBankCheckedBad", "CheckZero Ic=0 Zone=ocm Bank=0", {"check-active ic=0"}},
        MisbehaviourRow{"ReadUnchecked", "ReadUnchecked Ic=0", {"bad-args ic=0"}},
        MisbehaviourRow{"LockIgnored", "LockIgnored Ic=0", {"lock ic=0"}},
        MisbehaviourRow{"EraseIgnored", "EraseIgnored Ic=0 Call=2", {"erase ic=0"}},
        MisbehaviourRow{"CheckErasedGood", "CheckErasedGood Ic=0", {"check-erased ic=0"}},
        MisbehaviourRow{"WriteShort", "WriteShort Ic=0 Zone=ocm", {"write ic=0"}},
        MisbehaviourRow{"WriteBothBanks", "WriteBothBanks Ic=0", {"isolation ic=0"}},
        MisbehaviourRow{
            "WrittenBankCheckedBad", "CheckZero Ic=0 Zone=ocm Bank=1", {"check-good ic=0"}},
        MisbehaviourRow{"SwitchIgnored", "SwitchIgnored Ic=0", {"switch ic=0"}},
        MisbehaviourRow{"CheckHeaderOnly", "CheckHeaderOnly Ic=0", {"check-corrupt ic=0"}},
        MisbehaviourRow{"RunningWritable", "RunningWritable Ic=0", {"active-write-refused ic=0"}},
        MisbehaviourRow{
            "RestoreWriteFails", "WriteBankData Ic=0 Zone=ocm Bank=1 Call=4", {"restore ic=0"}},
        MisbehaviourRow{
            "CheckGood", "CheckGood Ic=0", {"check-erased ic=0", "check-corrupt ic=0"}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

UINT8 gCounts[2];
UINTN gIcInits;
EFI_STATUS EFIAPI ShiftingIcInit(struct _ORV_PATH_PROTOCOL *Path, UINT8 *Count) {
  EFI_STATUS Status = ModelFlash::Current().Protocol.IcInit(Path, Count);
  *Count = gCounts[gIcInits++ % 2];
  return Status;
}

TEST_F(OrvCheckTest, CountThatChangesFailsAndOnlyTheCommonIcsAreChecked) {
  ORV_FLASH_PROTOCOL Shifting = Flash.Protocol;
  Shifting.IcInit = ShiftingIcInit;
  Shifting.GetIcAddress = nullptr;
  Fw.UninstallProtocol(FlashHandle, gOrvFlashProtocolGuid);
  Fw.InstallProtocol(FlashHandle, gOrvFlashProtocolGuid, &Shifting);
  gCounts[0] = 2;
  gCounts[1] = 1;
  gIcInits = 0;
  EXPECT_EQ(RunCheck({}), PROTOCOL_ERROR);
  std::vector<std::string> Out = Lines(Fw.Console());
  EXPECT_EQ(Out[2], "FAIL count: IcInit gave 2 ICs, then 1");
  EXPECT_EQ(Out[3], "SKIP address: no GetIcAddress");
  EXPECT_EQ(Out.back(), "6 passed, 1 failed, 1 skipped") << "IC 0 only";
}

TEST_F(OrvCheckTest, NoActiveSectionWritesBankZeroAndSkipsWhatNeedsARunningBank) {
  Flash.SetActive(0, SIM_SECTION_NONE);
  EXPECT_EQ(RunCheck({"0", "-w", "-s"}), EFI_SUCCESS) << Fw.Console();
  for (const std::string &Line : Lines(Fw.Console())) {
    if (Line.rfind("SKIP ", 0) == 0) {
      EXPECT_NE(Line.find("no active section"), std::string::npos) << Line;
    }
  }
  EXPECT_EQ(Lines(Fw.Console()).back(), "15 passed, 0 failed, 3 skipped");
  EXPECT_GT(Flash.Count(SIM_OP::EraseBank, 0, 0, ZONE_OCM), 0u);
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, 0, 1, ZONE_OCM), 0u);
  EXPECT_EQ(Flash.Count(SIM_OP::SetActiveBank), 0u);
  EXPECT_EQ(Snapshot(), Before);
}

TEST_F(OrvCheckTest, BankThatCannotBeReadFirstIsNeverWritten) {
  ASSERT_TRUE(Flash.SetFaults("ReadBankData Ic=0 Zone=ocm Bank=1 Call=1 Status=TIMEOUT"));
  EXPECT_EQ(RunCheck({"0", "-w"}), PROTOCOL_ERROR);
  EXPECT_EQ(Lines(Fw.Console()).rbegin()[1],
            "FAIL restore ic=0: nothing was written: ReadBankData error 12");
  EXPECT_EQ(Failed(), std::set<std::string>{"restore ic=0"});
  EXPECT_EQ(Flash.Count(SIM_OP::UnlockFlash), 0u);
  EXPECT_EQ(Snapshot(), Before);
}

// A component that reads past the end of its bank without an error.
EFI_STATUS EFIAPI ReadAnySize(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  ModelFlash &Model = ModelFlash::Current();
  UINTN Held = Model.BankSize(Ic, Zone, Bank);
  std::memset(Buffer, 0xFF, Size);
  return Model.ReadBankData(Ic, Bank, Zone, Size < Held ? Size : Held, Buffer);
}

TEST_F(OrvCheckTest, BankWhoseEndIsUnknownIsNeverWritten) {
  ORV_FLASH_PROTOCOL Unbounded = Flash.Protocol;
  Unbounded.ReadBankData = ReadAnySize;
  Fw.UninstallProtocol(FlashHandle, gOrvFlashProtocolGuid);
  Fw.InstallProtocol(FlashHandle, gOrvFlashProtocolGuid, &Unbounded);
  EXPECT_EQ(RunCheck({"1", "-w"}), PROTOCOL_ERROR);
  EXPECT_EQ(Lines(Fw.Console()).rbegin()[1],
            "FAIL restore ic=1: nothing was written: ReadBankData refuses no size up to "
            "2000000 bytes");
  EXPECT_EQ(Flash.Count(SIM_OP::UnlockFlash), 0u);
}

TEST_F(OrvCheckTest, IcLeftOnTheWrittenBankIsNotWrittenAgain) {
  ASSERT_TRUE(Flash.SetFaults("SetActiveBank Ic=0 Bank=0"));
  EXPECT_EQ(RunCheck({"0", "-w", "-s"}), PROTOCOL_ERROR);
  std::string Console = Fw.Console();
  EXPECT_NE(Console.find("FAIL switch ic=0: SetActiveBank(0) error 7\n"), std::string::npos)
      << Console;
  EXPECT_NE(Console.find("SKIP check-corrupt ic=0: the IC runs bank 1\n"), std::string::npos);
  EXPECT_NE(Console.find("FAIL restore ic=0: the IC runs bank 1, which is not put back\n"),
            std::string::npos);
  EXPECT_EQ(Flash.Active(0), 1);
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_OCM, 1, NewOcm)) << "it runs the checked image";
}

TEST_F(OrvCheckTest, HelpPrintsTheUsageAndChecksNothing) {
  for (const char *Help : {"-h", "--help", "-?"}) {
    Fw.ClearConsole();
    EXPECT_EQ(RunCheck({"-w", Help}), EFI_SUCCESS);
    EXPECT_EQ(Lines(Fw.Console())[1], "Usage: OrvCheck.efi [0-9]... [-a] [-d addr] [-o file] [-c file] [-w [-s]]");
    EXPECT_EQ(Lines(Fw.Console()).back(), "Status: 0x0 every check passed, 0x18 a check failed.");
  }
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
}

TEST_F(OrvCheckTest, RefusalsAndSelection) {
  EXPECT_EQ(RunCheck({"-s"}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Lines(Fw.Console()).back(), "OrvCheck.efi -s needs -w");
  EXPECT_EQ(RunCheck({"1", "-r", "0", "10"}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Lines(Fw.Console()).back(), "OrvCheck.efi has no read mode (-r)");
  EXPECT_EQ(Volume.Calls("OpenVolume"), 0);
  Fw.ClearConsole();
  EXPECT_EQ(RunCheck({"-d", "21"}), EFI_SUCCESS);
  EXPECT_EQ(CheckLines()[2], "PASS section ic=1");
  EXPECT_EQ(CheckLines().size(), 8u);
  Fw.ClearConsole();
  EXPECT_EQ(RunCheck({"5", "0"}), EFI_NOT_FOUND);
  EXPECT_EQ(Lines(Fw.Console()).rbegin()[1], "IC 5 not found");
}

}  // namespace
