// OrvCheck.efi on the simulator's flash model: the reference flash passes
// every check and gets every bank back; each misbehaviour of the model makes
// exactly its check fail; read-only runs call no write-type operation; the
// checks never leave a pass open or the flash unlocked, and never write a
// bank they could not save or the bank the IC runs from.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "BoardTest.h"
#include "FakePolicy.h"
#include "ImageSignHost.h"
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
  std::vector<std::string> Expect = {"PASS count", "PASS address", "SKIP security"};
  for (int Ic = 0; Ic < 2; Ic++) {
    for (const auto *Ids : {&READ_IDS, &WRITE_IDS}) {
      for (const std::string &Line : Expected(*Ids, Ic)) Expect.push_back(Line);
    }
  }
  EXPECT_EQ(CheckLines(), Expect);
  EXPECT_EQ(Lines(Fw.Console()).back(), "34 passed, 0 failed, 1 skipped");
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
  /// A misbehaviour no fault rule has: the flash protocol's slots changed.
  void (*Patch)(ORV_FLASH_PROTOCOL *) = nullptr;
};

// A component that leaves the check value as it entered: it never says good.
void CheckLeftAsEntered(ORV_FLASH_PROTOCOL *) {
  ModelFlash::Current().CheckLeaves = ModelFlash::CHECK_AS_ENTERED;
}

// An erase that leaves the last byte of IC 0's OCM bank 1 programmed.
EFI_STATUS EFIAPI EraseAllButLastByte(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  ModelFlash &Model = ModelFlash::Current();
  EFI_STATUS Status = Model.EraseBank(Ic, Bank, Zone);
  if (!EFI_ERROR(Status) && Ic == 0 && Zone == ZONE_OCM && Bank == 1) {
    Model.BankData(Ic, Zone, Bank)[Model.BankSize(Ic, Zone, Bank) - 1] = 0x00;
  }
  return Status;
}
void EraseLeavesLastByte(ORV_FLASH_PROTOCOL *Protocol) { Protocol->EraseBank = EraseAllButLastByte; }

// After IC 0's OCM bank 1 is written, GetActiveSection reports that bank.
EFI_STATUS EFIAPI SectionFollowsWrites(UINT8 Ic, UINT8 *Section) {
  ModelFlash &Model = ModelFlash::Current();
  EFI_STATUS Status = Model.GetActiveSection(Ic, Section);
  if (Ic == 0 && Model.Count(SIM_OP::WriteBankData, 0, 1, ZONE_OCM) != 0) *Section = 1;
  return Status;
}
void SectionMovesOnWrite(ORV_FLASH_PROTOCOL *Protocol) {
  Protocol->GetActiveSection = SectionFollowsWrites;
}

class OrvCheckMisbehaviourTest : public OrvCheckTest,
                                 public ::testing::WithParamInterface<MisbehaviourRow> {};

TEST_P(OrvCheckMisbehaviourTest, OnlyItsCheckFails) {
  const MisbehaviourRow &Row = GetParam();
  ASSERT_TRUE(Flash.SetFaults(Row.Rule));
  ORV_FLASH_PROTOCOL Patched = Flash.Protocol;
  if (Row.Patch != nullptr) {
    Row.Patch(&Patched);
    Fw.UninstallProtocol(FlashHandle, gOrvFlashProtocolGuid);
    Fw.InstallProtocol(FlashHandle, gOrvFlashProtocolGuid, &Patched);
  }
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
        MisbehaviourRow{"UnstableRunningBankRead", "CorruptRead Ic=0 Zone=ocm Bank=0 Call=2", {"read ic=0"}},
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
            "RestoreWriteFails", "WriteBankData Ic=0 Zone=ocm Bank=1 Call=5", {"restore ic=0"}},
        MisbehaviourRow{
            "CheckGood", "CheckGood Ic=0", {"check-erased ic=0", "check-corrupt ic=0"}},
        MisbehaviourRow{"CheckLeftAsEntered", "", {"check-active ic=0", "check-good ic=0",
                        "check-active ic=1", "check-good ic=1"}, CheckLeftAsEntered},
        MisbehaviourRow{
            "EraseLeavesLastByte", "", {"erase ic=0", "restore ic=0"}, EraseLeavesLastByte},
        MisbehaviourRow{"SectionMovesOnWrite", "", {"isolation ic=0"}, SectionMovesOnWrite}),
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
    if (Line.rfind("SKIP ", 0) == 0 && Line.rfind("SKIP security:", 0) != 0) {
      EXPECT_NE(Line.find("no active section"), std::string::npos) << Line;
    }
  }
  EXPECT_EQ(Lines(Fw.Console()).back(), "15 passed, 0 failed, 4 skipped");
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
  EXPECT_EQ(Flash.Bank(0, ZONE_OCM, 1), Flash.Bank(0, ZONE_OCM, 0))
      << "it runs a copy of the bank it ran";
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

// A component unlike the model in one slot, on IC 0: exactly one check fails,
// with the line that names what it saw.
UINTN gSlotCalls;
UINTN gDirtyOffset;
EFI_STATUS EFIAPI SectionTwoThenNone(UINT8 Ic, UINT8 *Section) {
  if (Ic == 0) *Section = gSlotCalls++ == 0 ? 2 : SIM_SECTION_NONE;
  return Ic == 0 ? EFI_SUCCESS : ModelFlash::Current().GetActiveSection(Ic, Section);
}
EFI_STATUS EFIAPI SectionDrifts(UINT8 Ic, UINT8 *Section) {
  EFI_STATUS Status = ModelFlash::Current().GetActiveSection(Ic, Section);
  if (Ic == 0 && gSlotCalls++ == 1) *Section ^= 1;
  return Status;
}
EFI_STATUS EFIAPI VersionDrifts(UINT8 Ic, UINT8 Section, UINT32 *Version) {
  EFI_STATUS Status = ModelFlash::Current().GetIcVersion(Ic, Section, Version);
  if (Ic == 0 && Section == 1 && gSlotCalls++ == 1) *Version += 1;
  return Status;
}
// The erase the erase check judges (the IC's second EraseBank that succeeds,
// after the image was written) leaves one byte.
EFI_STATUS EFIAPI EraseLeavesAByte(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  ModelFlash &Model = ModelFlash::Current();
  EFI_STATUS Status = Model.EraseBank(Ic, Bank, Zone);
  if (Ic == 0 && !EFI_ERROR(Status) && ++gSlotCalls == 2) {
    const UINTN Offset = gDirtyOffset == 0 ? Model.BankSize(Ic, Zone, Bank) - 1 : gDirtyOffset;
    Model.BankData(Ic, Zone, Bank)[Offset] = 0x5A;
  }
  return Status;
}

// An erase to 00 instead of FF, on the erase the erase check judges.
EFI_STATUS EFIAPI EraseToZero(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  ModelFlash &Model = ModelFlash::Current();
  EFI_STATUS Status = Model.EraseBank(Ic, Bank, Zone);
  if (Ic == 0 && !EFI_ERROR(Status) && ++gSlotCalls == 2) {
    std::memset(Model.BankData(Ic, Zone, Bank), 0x00, Model.BankSize(Ic, Zone, Bank));
  }
  return Status;
}

TEST_F(OrvCheckTest, BankErasedToZeroIsErased) {
  ORV_FLASH_PROTOCOL Unlike = Flash.Protocol;
  Unlike.EraseBank = EraseToZero;
  gSlotCalls = 0;
  Fw.UninstallProtocol(FlashHandle, gOrvFlashProtocolGuid);
  Fw.InstallProtocol(FlashHandle, gOrvFlashProtocolGuid, &Unlike);
  EXPECT_EQ(RunCheck({"0", "-w"}), EFI_SUCCESS) << Fw.Console();
  EXPECT_NE(Fw.Console().find("PASS erase ic=0\n"), std::string::npos);
}

struct SlotRow {
  const char *Name;
  void (*Replace)(ORV_FLASH_PROTOCOL *Protocol);
  UINTN DirtyOffset;  ///< EraseLeavesAByte: the byte left, 0 for the last
  const char *FailLine;
};

class OrvCheckSlotTest : public OrvCheckTest, public ::testing::WithParamInterface<SlotRow> {};

TEST_P(OrvCheckSlotTest, OnlyItsCheckFailsSayingWhy) {
  ORV_FLASH_PROTOCOL Unlike = Flash.Protocol;
  GetParam().Replace(&Unlike);
  gSlotCalls = 0;
  gDirtyOffset = GetParam().DirtyOffset;
  Fw.UninstallProtocol(FlashHandle, gOrvFlashProtocolGuid);
  Fw.InstallProtocol(FlashHandle, gOrvFlashProtocolGuid, &Unlike);
  EXPECT_EQ(RunCheck({"0", "-w"}), PROTOCOL_ERROR);
  const std::string Line = GetParam().FailLine;
  EXPECT_NE(Fw.Console().find(Line + "\n"), std::string::npos) << Fw.Console();
  EXPECT_EQ(Failed(), std::set<std::string>{Line.substr(5, Line.find(':') - 5)}) << Fw.Console();
}

INSTANTIATE_TEST_SUITE_P(
    Slots, OrvCheckSlotTest,
    ::testing::Values(
        SlotRow{"SectionOutOfRange", [](ORV_FLASH_PROTOCOL *P) { P->GetActiveSection = SectionTwoThenNone; },
                0, "FAIL section ic=0: section 2"},
        SlotRow{"SectionChanges", [](ORV_FLASH_PROTOCOL *P) { P->GetActiveSection = SectionDrifts; }, 0,
                "FAIL section ic=0: section 0, then 1"},
        SlotRow{"VersionChanges", [](ORV_FLASH_PROTOCOL *P) { P->GetIcVersion = VersionDrifts; }, 0,
                "FAIL version ic=0: section 1 version 8, then 9"},
        SlotRow{"EraseLeavesSecondByte", [](ORV_FLASH_PROTOCOL *P) { P->EraseBank = EraseLeavesAByte; }, 1,
                "FAIL erase ic=0: byte 1 is 5A after EraseBank, byte 0 is FF"},
        SlotRow{"EraseLeavesLastByte", [](ORV_FLASH_PROTOCOL *P) { P->EraseBank = EraseLeavesAByte; }, 0,
                "FAIL erase ic=0: byte 3FFF is 5A after EraseBank, byte 0 is FF"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(OrvCheckTest, IcRunningSectionOnePassesEveryCheck) {
  Flash.SetActive(0, 1);
  EXPECT_EQ(RunCheck({"0", "-w", "-s"}), EFI_SUCCESS) << Fw.Console();
  EXPECT_EQ(Lines(Fw.Console()).back(), "18 passed, 0 failed, 0 skipped");
  EXPECT_EQ(Flash.Active(0), 1);
  EXPECT_EQ(Snapshot(), Before);
}

TEST_F(OrvCheckTest, EmptyOcmImageSkipsTheWriteChecks) {
  Image.Files[OCM_PATH] = {{}, 0x20};
  EXPECT_EQ(RunCheck({"0", "-w"}), EFI_SUCCESS) << Fw.Console();
  EXPECT_NE(Fw.Console().find("SKIP erase ic=0: the OCM image is empty\n"), std::string::npos)
      << Fw.Console();
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank), 0u);
}

// A component whose HardwareCheckBank succeeds without setting the value:
// OrvCheck gives it 0, so no bank is ever taken as good.
TEST_F(OrvCheckTest, CheckValueLeftAsEnteredIsNeverGood) {
  Flash.CheckLeaves = ModelFlash::CHECK_AS_ENTERED;
  EXPECT_EQ(RunCheck({"0", "-w", "-s"}), PROTOCOL_ERROR);
  EXPECT_EQ(Failed(), (std::set<std::string>{"check-active ic=0", "check-good ic=0"})) << Fw.Console();
}

// ---- What an IC runs ----------------------------------------------------------------

const std::string UNSIGNED_FILE = "OrvUpdateComponent\\CheckUnsigned.hex";
const std::string FOREIGN_FILE = "OrvUpdateComponent\\CheckForeignKey.hex";
const std::string BELOW_FILE = "OrvUpdateComponent\\CheckBelowFloor.hex";

IMAGE_PRIVATE_KEY KeyOf(const std::string &Seed) {
  IMAGE_PRIVATE_KEY Key;
  GenerateSigningKeyFromSeed(Seed, &Key);
  return Key;
}

std::vector<UINT8> Signed(std::vector<UINT8> Image, UINT32 Counter, UINT8 Zone,
                          const IMAGE_PRIVATE_KEY &Key) {
  const IMAGE_BINDING Binding = {Counter, Zone, ModelFlash::MODEL_PRODUCT};
  if (!MakeImageFormat3(&Image, Binding, &Key)) ADD_FAILURE() << "not an image";
  return Image;
}

/// IC 0 holds the maker's key (and so enforces signature, zone, product and
/// floor, with the model's policy installed beside its flash protocol),
/// runs a maker-signed image of counter 3 (its floor after IcInit), and the
/// zone images and the component folder's test images are signed as their
/// names say.
class OrvCheckSecurityTest : public OrvCheckTest {
 protected:
  void SetUp() override {
    OrvCheckTest::SetUp();
    Flash.Program(0, ZONE_OCM, 0, Signed(OldOcm, 3, ZONE_OCM, Maker));
    Image.Files[OCM_PATH] = {Signed(NewOcm, 3, ZONE_OCM, Maker), 0x20};
    Image.Files[CUSTOMER_PATH] = {Signed(Customer, 3, ZONE_CUSTOMER, Maker), 7};
    Image.Files[UNSIGNED_FILE] = {MakeZoneImage(0x30, 900, 7), 0x30};
    Image.Files[FOREIGN_FILE] = {Signed(MakeZoneImage(0x30, 900, 8), 9, ZONE_OCM, Foreign), 0x30};
    Image.Files[BELOW_FILE] = {Signed(MakeZoneImage(0x30, 900, 9), 2, ZONE_OCM, Maker), 0x30};
    Flash.ProvisionKey(0, Maker.Public);
    Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Flash.Policy);
    Before = Snapshot();
  }
  /// The line of check Id on IC 0.
  std::string LineOf(const std::string &Id) const {
    for (const std::string &Line : Lines(Fw.Console())) {
      if (Line.find(" " + Id + " ic=0") == 4) return Line;
    }
    return "";
  }

  const IMAGE_PRIVATE_KEY Maker = KeyOf("maker");
  const IMAGE_PRIVATE_KEY Foreign = KeyOf("someone else");
};

struct SecurityRow {
  const char *Name;
  const char *Rule;   // Faults.ini text for the flash model
  std::vector<std::string> Files;  // test images taken out of the component folder
  std::map<std::string, std::string> Want;  // check id: its line on IC 0
};

void PrintTo(const SecurityRow &Row, std::ostream *Out) { *Out << Row.Name; }

class OrvCheckSecurityRowTest : public OrvCheckSecurityTest,
                                public ::testing::WithParamInterface<SecurityRow> {};

TEST_P(OrvCheckSecurityRowTest, EachCheckSeesWhatTheChipDoes) {
  const SecurityRow &Row = GetParam();
  ASSERT_TRUE(Flash.SetFaults(Row.Rule));
  for (const std::string &File : Row.Files) Image.Files.erase(File);
  (void)RunCheck({"0", "-w"});
  for (const auto &[Id, Line] : Row.Want) EXPECT_EQ(LineOf(Id), Line) << Fw.Console();
  EXPECT_EQ(Flash.Active(0), 0);
  EXPECT_EQ(Snapshot(), Before) << "every bank is put back";
  EXPECT_EQ(Image.LiveImages(), 0u) << "test images are given back";
}

const std::string ACCEPTS = ": the flash policy accepts ";

INSTANTIATE_TEST_SUITE_P(
    Claims, OrvCheckSecurityRowTest,
    ::testing::Values(
        SecurityRow{"Enforced", "", {},
                    {{"signed-only", "PASS signed-only ic=0"},
                     {"zone-bound", "PASS zone-bound ic=0"},
                     {"floor", "PASS floor ic=0"}}},
        // A component that claims what its check skips fails that check only.
        SecurityRow{"SignatureIgnored", "SignatureIgnored Ic=0", {},
                    {{"signed-only",
                      "FAIL signed-only ic=0" + ACCEPTS + "an image of a foreign key"},
                     {"zone-bound", "PASS zone-bound ic=0"},
                     {"floor", "PASS floor ic=0"}}},
        SecurityRow{"ZoneIgnored", "ZoneIgnored Ic=0", {},
                    {{"signed-only", "PASS signed-only ic=0"},
                     {"zone-bound", "FAIL zone-bound ic=0" + ACCEPTS + "the customer image"},
                     {"floor", "PASS floor ic=0"}}},
        SecurityRow{"FloorIgnored", "FloorIgnored Ic=0", {},
                    {{"signed-only", "PASS signed-only ic=0"},
                     {"zone-bound", "PASS zone-bound ic=0"},
                     {"floor", "FAIL floor ic=0" + ACCEPTS + "an image below the floor"}}},
        SecurityRow{"NoTestFiles", "", {UNSIGNED_FILE, BELOW_FILE},
                    {{"signed-only", "SKIP signed-only ic=0: " + UNSIGNED_FILE +
                                         ": LoadImageFile error E"},
                     {"floor", "SKIP floor ic=0: " + BELOW_FILE + ": LoadImageFile error E"}}},
        SecurityRow{"IcCannotSay", "GetIcSecurity Ic=0 Status=DEVICE_ERROR", {},
                    {{"signed-only", "FAIL signed-only ic=0: GetIcSecurity error 7"},
                     {"floor", "FAIL floor ic=0: GetIcSecurity error 7"}}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// The IC refuses, but the policy the update asks before erasing does not;
// and a policy that claims less skips what it does not claim.
TEST_F(OrvCheckSecurityTest, PolicyIsHeldToWhatTheIcDoes) {
  FakePolicy Lenient;
  Lenient.Security.Enforced = ORV_IC_ENFORCES_SIGNATURE;
  Fw.UninstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid);
  Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Lenient.Protocol);
  (void)RunCheck({"0", "-w"});
  EXPECT_EQ(LineOf("signed-only"), "FAIL signed-only ic=0" + ACCEPTS + "an unsigned image");
  EXPECT_EQ(LineOf("zone-bound"), "SKIP zone-bound ic=0: the IC does not claim to enforce zones");
  EXPECT_EQ(LineOf("floor"), "SKIP floor ic=0: the IC does not claim to enforce a floor");
}

TEST_F(OrvCheckTest, BoardThatEnforcesNothingGetsOneLine) {
  Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Flash.Policy);
  EXPECT_EQ(RunCheck({"-w"}), EFI_SUCCESS);
  EXPECT_EQ(Lines(Fw.Console())[4],
            "SKIP security: no IC of the board enforces signatures, zones or a floor: it runs "
            "any image");
  EXPECT_EQ(Fw.Console().find("signed-only"), std::string::npos);
}

// -w -s on an IC that keeps a floor: the OCM image has a higher counter, but
// only a copy of the running bank is switched to, so the floor stays; with
// a policy, that only when the running image's counter is the floor.
TEST_F(OrvCheckSecurityTest, WriteAndSwitchNeverRaiseTheFloor) {
  Image.Files[OCM_PATH] = {Signed(NewOcm, 4, ZONE_OCM, Maker), 0x20};
  for (bool WithPolicy : {false, true}) {
    if (!WithPolicy) Fw.UninstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid);
    if (WithPolicy) Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Flash.Policy);
    Flash.ClearCalls();
    Fw.ClearConsole();
    EXPECT_EQ(RunCheck({"0", "-w", "-s"}), EFI_SUCCESS) << Fw.Console();
    EXPECT_EQ(LineOf("switch"), "PASS switch ic=0");
    EXPECT_EQ(Flash.Count(SIM_OP::SetActiveBank, 0, 1), 1u);
    EXPECT_EQ(Flash.Floor(0), 3u);
  }
  FakePolicy Higher;
  Higher.Security = {ORV_IC_ENFORCES_FLOOR, 2, 0, 0, {}};
  Higher.Judge = [](UINT8, UINT8, const std::vector<UINT8> &) {
    return Answer(ORV_IMAGE_ACCEPTED, 3, 2);
  };
  Fw.UninstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid);
  Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Higher.Protocol);
  Flash.ClearCalls();
  Fw.ClearConsole();
  (void)RunCheck({"0", "-w", "-s"});
  EXPECT_EQ(LineOf("switch"),
            "SKIP switch ic=0: the running image's counter 3 is not the floor 2: switching could "
            "raise it");
  EXPECT_EQ(Flash.Count(SIM_OP::SetActiveBank), 0u);
}

}  // namespace
