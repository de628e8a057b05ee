// OrvCapsule.efi with the real OrvFmp.efi on the board's flash model: a
// capsule for every IC of the product updates both, the same capsule run
// again (a file left by a power cut) is harmless, and an image the IC
// refuses erases nothing and reaches the ESRT as its reason.
#include <OrvBase/FmpImageType.h>

#include <string>
#include <vector>

#include "BoardTest.h"
#include "OrvCapsule.h"
#include "OrvFmp.h"

namespace {

constexpr UINT32 PRODUCT = 0x51;
constexpr EFI_GUID DEMO_MAKER = ORV_FMP_DEMO_MAKER_GUID;

ORV_IMAGE_VERDICT gVerdict = ORV_IMAGE_ACCEPTED;

EFI_STATUS EFIAPI Acceptance(UINT8, UINT8 Zone, const UINT8 *, UINTN, ORV_IMAGE_ACCEPTANCE *Answer) {
  *Answer = {};
  Answer->ImageZone = ZONE_OCM;
  Answer->Verdict = Zone == ZONE_OCM ? gVerdict : ORV_IMAGE_WRONG_ZONE;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI Security(UINT8, ORV_IC_SECURITY *Answer) {
  *Answer = {ORV_IC_ENFORCES_SIGNATURE | ORV_IC_ENFORCES_FLOOR, 0, PRODUCT, 0, {}};
  return EFI_SUCCESS;
}

class CapsuleWithDriverTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    gVerdict = ORV_IMAGE_ACCEPTED;
    Policy.Revision = ORV_FLASH_POLICY_PROTOCOL_REVISION;
    Policy.CheckImageAcceptance = Acceptance;
    Policy.GetIcSecurity = Security;
    Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Policy);
    Volume.AllowDelete();
    ASSERT_EQ(OrvFmpMain(Fw.ImageHandle(), Fw.SystemTable()), EFI_SUCCESS) << Fw.Console();
    Flash.ClearCalls();
  }
  void TearDown() override {
    EXPECT_EQ(OrvFmpUnload(Fw.ImageHandle()), EFI_SUCCESS);
    BoardTest::TearDown();
  }
  std::string Capsule(const std::vector<UINT8> &Image) {
    const FMP_CAPSULE_PAYLOAD Payload{OrvFmpImageTypeId(DEMO_MAKER, PRODUCT), 1, 0, Image.data(),
                                      static_cast<UINT32>(Image.size())};
    std::string Bytes(FmpCapsuleSize(&Payload, 1), '\0');
    WriteFmpCapsule(&Payload, 1, CAPSULE_FLAGS_PERSIST_ACROSS_RESET, reinterpret_cast<UINT8 *>(Bytes.data()),
                    Bytes.size());
    return Bytes;
  }
  EFI_STATUS RunCapsule(const std::vector<std::string> &Arguments) {
    Fw.SetArguments(Arguments);
    Fw.ClearConsole();
    return OrvCapsuleMain(Fw.ImageHandle(), Fw.SystemTable());
  }
  ORV_FLASH_POLICY_PROTOCOL Policy{};
};

TEST_F(CapsuleWithDriverTest, EveryIcIsUpdatedAndTheSameCapsuleAgainIsHarmless) {
  Volume.AddFile("EFI\\UpdateCapsule\\both.cap", Capsule(NewOcm));
  EXPECT_EQ(RunCapsule({}), EFI_SUCCESS) << Fw.Console();
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    EXPECT_EQ(Flash.Active(Ic), 1);
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_OCM, 1, NewOcm));
  }
  EXPECT_NE(Fw.Console().find("both.cap item 0 instance 2: 100%\n"), std::string::npos) << Fw.Console();
  EXPECT_NE(Fw.Console().find("both.cap item 0 instance 2: updated"), std::string::npos);
  EXPECT_FALSE(Volume.HasFile("EFI\\UpdateCapsule\\both.cap"));

  // The file left behind by a power cut before its deletion: the driver
  // writes the same image into the other bank and switches; each IC runs
  // it from either bank.
  Volume.AddFile("again.cap", Capsule(NewOcm));
  EXPECT_EQ(RunCapsule({"again.cap"}), EFI_SUCCESS) << Fw.Console();
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    EXPECT_EQ(Flash.Active(Ic), 0);
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_OCM, 0, NewOcm));
    EXPECT_TRUE(Flash.BankStartsWith(Ic, ZONE_OCM, 1, NewOcm));
  }
}

TEST_F(CapsuleWithDriverTest, RefusedImageErasesNothingAndTheEsrtSaysWhy) {
  gVerdict = ORV_IMAGE_BELOW_FLOOR;
  Volume.AddFile("old.cap", Capsule(NewOcm));
  EXPECT_EQ(RunCapsule({"old.cap"}), EFI_SECURITY_VIOLATION);
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank), 0u);
  EXPECT_NE(Fw.Console().find("old.cap item 0 instance 1: CheckImage refuses (status 0, updatable 8), failed "
                              "(status 1A)"),
            std::string::npos)
      << Fw.Console();
  auto *Table = static_cast<EFI_SYSTEM_RESOURCE_TABLE *>(Fw.ConfigurationTable(gEfiSystemResourceTableGuid));
  ASSERT_NE(Table, nullptr);
  const auto *Entry = reinterpret_cast<const EFI_SYSTEM_RESOURCE_ENTRY *>(Table + 1);
  for (UINT32 Index = 0; Index < Table->FwResourceCount; Index++) {
    EXPECT_EQ(Entry[Index].LastAttemptStatus, LAST_ATTEMPT_STATUS_ERROR_INCORRECT_VERSION);
  }
}

}  // namespace
