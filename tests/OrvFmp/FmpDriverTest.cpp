// OrvFmp.efi on the board's flash model: the instances it installs, the
// descriptor they report, the verdict of CheckImage and SetImage for every
// answer the IC can give, the progress, the last attempt kept across a
// reload, and the ESRT (own, and merged with the firmware's).
#include <OrvBase/FmpImageType.h>

#include <cstring>
#include <string>
#include <vector>

#include "BoardTest.h"
#include "FmpVersion.h"
#include "OrvFmp.h"

namespace {

/// A flash policy protocol whose answers the test sets: the image's zone,
/// its verdict when asked for that zone, its counter, and the IC's state.
struct POLICY_SCRIPT {
  ORV_IMAGE_VERDICT Verdict = ORV_IMAGE_ACCEPTED;
  UINT8 ImageZone = ZONE_OCM;
  UINT32 Counter = 2;
  EFI_STATUS Status = EFI_SUCCESS;
  ORV_IC_SECURITY Security{ORV_IC_ENFORCES_SIGNATURE | ORV_IC_ENFORCES_FLOOR, 2, 0x51, 0, {}};
  std::vector<UINT8> AskedZones;
};
POLICY_SCRIPT gPolicy;

EFI_STATUS EFIAPI ScriptedAcceptance(UINT8, UINT8 Zone, const UINT8 *, UINTN,
                                     ORV_IMAGE_ACCEPTANCE *Answer) {
  gPolicy.AskedZones.push_back(Zone);
  *Answer = {};
  Answer->ImageZone = gPolicy.ImageZone;
  Answer->ImageCounter = gPolicy.Counter;
  Answer->Floor = gPolicy.Security.Floor;
  Answer->Verdict = Zone == gPolicy.ImageZone ? gPolicy.Verdict : ORV_IMAGE_WRONG_ZONE;
  return gPolicy.Status;
}
EFI_STATUS EFIAPI ScriptedSecurity(UINT8, ORV_IC_SECURITY *Security) {
  *Security = gPolicy.Security;
  return EFI_SUCCESS;
}

constexpr EFI_GUID DEMO_MAKER = ORV_FMP_DEMO_MAKER_GUID;

std::vector<UINTN> gProgress;
EFI_STATUS EFIAPI RecordProgress(UINTN Completion) {
  gProgress.push_back(Completion);
  return EFI_SUCCESS;
}

class FmpDriverTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    gPolicy = {};
    gProgress.clear();
    Policy.Revision = ORV_FLASH_POLICY_PROTOCOL_REVISION;
    Policy.CheckImageAcceptance = ScriptedAcceptance;
    Policy.GetIcSecurity = ScriptedSecurity;
    Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Policy);
  }
  void TearDown() override {
    if (gOrvFmp.Count != 0) {
      EXPECT_EQ(OrvFmpUnload(Fw.ImageHandle()), EFI_SUCCESS);
    }
    BoardTest::TearDown();
  }

  EFI_STATUS Load() { return OrvFmpMain(Fw.ImageHandle(), Fw.SystemTable()); }
  void LoadOk() {
    ASSERT_EQ(Load(), EFI_SUCCESS) << Fw.Console();
    ASSERT_EQ(gOrvFmp.Count, 2);
    Flash.ClearCalls();
  }
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp(UINT8 Ic) {
    const std::vector<EFI_HANDLE> Handles = Fw.HandlesWith(gEfiFirmwareManagementProtocolGuid);
    VOID *Interface = nullptr;
    EXPECT_EQ(Fw.HandleProtocol(Handles.at(Ic), const_cast<EFI_GUID *>(
                                    &gEfiFirmwareManagementProtocolGuid), &Interface),
              EFI_SUCCESS);
    return static_cast<EFI_FIRMWARE_MANAGEMENT_PROTOCOL *>(Interface);
  }
  EFI_FIRMWARE_IMAGE_DESCRIPTOR Describe(UINT8 Ic) {
    EFI_FIRMWARE_IMAGE_DESCRIPTOR Descriptor{};
    UINTN Size = sizeof(Descriptor);
    UINT32 DescriptorVersion = 0, PackageVersion = 0;
    UINT8 Count = 0;
    UINTN DescriptorSize = 0;
    CHAR16 *PackageName = nullptr;
    EXPECT_EQ(Fmp(Ic)->GetImageInfo(Fmp(Ic), &Size, &Descriptor, &DescriptorVersion, &Count,
                                    &DescriptorSize, &PackageVersion, &PackageName),
              EFI_SUCCESS);
    EXPECT_EQ(DescriptorVersion, 4u);
    EXPECT_EQ(Count, 1);
    EXPECT_EQ(DescriptorSize, sizeof(Descriptor));
    EXPECT_EQ(PackageVersion, 0xFFFFFFFFu);
    if (PackageName != nullptr) Fw.FreePool(PackageName);
    return Descriptor;
  }
  EFI_STATUS SetImage(UINT8 Ic, const std::vector<UINT8> &Data, bool WithProgress = true) {
    return Fmp(Ic)->SetImage(Fmp(Ic), 1, Data.data(), Data.size(), nullptr,
                             WithProgress ? RecordProgress : nullptr, nullptr);
  }
  const EFI_SYSTEM_RESOURCE_ENTRY &EsrtEntry(UINT32 Index) {
    auto *Table = static_cast<EFI_SYSTEM_RESOURCE_TABLE *>(
        Fw.ConfigurationTable(gEfiSystemResourceTableGuid));
    EXPECT_NE(Table, nullptr);
    EXPECT_LT(Index, Table->FwResourceCount);
    return reinterpret_cast<const EFI_SYSTEM_RESOURCE_ENTRY *>(Table + 1)[Index];
  }
  size_t Erases() const {
    size_t Count = 0;
    for (const FlashCall &Call : Flash.Calls) Count += Call.Op == SIM_OP::EraseBank;
    return Count;
  }

  ORV_FLASH_POLICY_PROTOCOL Policy{};
};

TEST_F(FmpDriverTest, EachIcIsOneDeviceWithItsProductsImageTypeAndFloor) {
  LoadOk();
  for (UINT8 Ic = 0; Ic < 2; Ic++) {
    const EFI_FIRMWARE_IMAGE_DESCRIPTOR D = Describe(Ic);
    EXPECT_EQ(D.ImageIndex, 1);
    EXPECT_EQ(D.ImageTypeId, OrvFmpImageTypeId(DEMO_MAKER, 0x51));
    EXPECT_EQ(D.HardwareInstance, Ic + 1u);
    EXPECT_EQ(D.Version, FmpVersionOf(2, 0x10)) << "the old image runs, counter = floor 2";
    EXPECT_EQ(D.LowestSupportedImageVersion, 2u << 24);
    EXPECT_EQ(D.LastAttemptVersion, 0u);
    EXPECT_EQ(D.LastAttemptStatus, LAST_ATTEMPT_STATUS_SUCCESS);
    // The signature is inside the image, not an authentication header before it.
    EXPECT_EQ((D.AttributesSupported | D.AttributesSetting) & IMAGE_ATTRIBUTE_AUTHENTICATION_REQUIRED, 0u);
    EXPECT_EQ(Narrow(D.VersionName), "ver 0x10 counter 2");
  }
}

TEST_F(FmpDriverTest, ADriverThatCannotStartInstallsNothingAndClosesThePath) {
  Flash.Fail(SIM_OP::IcInit, EFI_DEVICE_ERROR);
  EXPECT_EQ(Load(), EFI_DEVICE_ERROR);
  EXPECT_TRUE(Fw.HandlesWith(gEfiFirmwareManagementProtocolGuid).empty());
  EXPECT_EQ(Fw.ConfigurationTable(gEfiSystemResourceTableGuid), nullptr);
  EXPECT_EQ(Path.Calls, (std::vector<std::string>{"PathInit", "PathDeinit"}));
}

TEST_F(FmpDriverTest, GetImageInfoAsksForRoomAndRefusesWhatItDoesNotOffer) {
  LoadOk();
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL *F = Fmp(0);
  UINTN Size = 0;
  EXPECT_EQ(F->GetImageInfo(F, &Size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR));
  UINTN ImageSize = 0;
  EXPECT_EQ(F->GetImage(F, 1, nullptr, &ImageSize), EFI_UNSUPPORTED);
  EXPECT_EQ(F->GetPackageInfo(F, nullptr, nullptr, nullptr, nullptr, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(F->SetPackageInfo(F, nullptr, 0, nullptr, 1, nullptr), EFI_UNSUPPORTED);
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL Foreign = *F;
  EXPECT_EQ(F->SetImage(&Foreign, 1, NewOcm.data(), NewOcm.size(), nullptr, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(F->SetImage(F, 2, NewOcm.data(), NewOcm.size(), nullptr, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Erases(), 0u);
}

// One row per answer of the IC: what CheckImage says, what SetImage returns
// and records, and whether anything was erased.
struct VERDICT_ROW {
  const char *Name;
  ORV_IMAGE_VERDICT Verdict;
  EFI_STATUS PolicyStatus;
  UINT32 Updatable;
  EFI_STATUS SetStatus;
  UINT32 LastAttemptStatus;
};

class FmpVerdictTest : public FmpDriverTest, public ::testing::WithParamInterface<VERDICT_ROW> {};

TEST_P(FmpVerdictTest, CheckAndSetImageFollowTheIcsAnswer) {
  const VERDICT_ROW &Row = GetParam();
  LoadOk();
  gPolicy.Verdict = Row.Verdict;
  gPolicy.Status = Row.PolicyStatus;
  gPolicy.Counter = 3;
  UINT32 Updatable = 0;
  EXPECT_EQ(Fmp(0)->CheckImage(Fmp(0), 1, NewOcm.data(), NewOcm.size(), &Updatable), EFI_SUCCESS);
  EXPECT_EQ(Updatable, Row.Updatable);
  EXPECT_TRUE(Flash.Calls.empty()) << "CheckImage touches no flash";

  EXPECT_EQ(SetImage(0, NewOcm), Row.SetStatus) << Fw.Console();
  const bool Accepted = Row.SetStatus == EFI_SUCCESS;
  EXPECT_EQ(Erases() != 0, Accepted) << "a refused image erases nothing";
  EXPECT_EQ(Flash.Active(0), Accepted ? 1 : 0);
  const EFI_FIRMWARE_IMAGE_DESCRIPTOR D = Describe(0);
  EXPECT_EQ(D.LastAttemptStatus, Row.LastAttemptStatus);
  EXPECT_EQ(D.LastAttemptVersion, Row.PolicyStatus == EFI_SUCCESS ? FmpVersionOf(3, 0x20)
                                                                  : FmpVersionOf(0, 0x20));
  EXPECT_EQ(D.Version, Accepted ? FmpVersionOf(3, 0x20) : FmpVersionOf(2, 0x10));
  EXPECT_EQ(EsrtEntry(0).LastAttemptStatus, Row.LastAttemptStatus);
  EXPECT_EQ(EsrtEntry(0).FwVersion, D.Version);
  EXPECT_EQ(EsrtEntry(1).LastAttemptVersion, 0u) << "the other IC's entry is untouched";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FmpVerdictTest,
    ::testing::Values(
        VERDICT_ROW{"Accepted", ORV_IMAGE_ACCEPTED, EFI_SUCCESS, IMAGE_UPDATABLE_VALID, EFI_SUCCESS,
                    LAST_ATTEMPT_STATUS_SUCCESS},
        VERDICT_ROW{"Tampered", ORV_IMAGE_BAD_SIGNATURE, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID,
                    EFI_SECURITY_VIOLATION, LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR},
        VERDICT_ROW{"Unsigned", ORV_IMAGE_UNSIGNED, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID,
                    EFI_SECURITY_VIOLATION, LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR},
        VERDICT_ROW{"ForeignKey", ORV_IMAGE_UNKNOWN_KEY, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID,
                    EFI_SECURITY_VIOLATION, LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR},
        VERDICT_ROW{"OtherZone", ORV_IMAGE_WRONG_ZONE, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID_TYPE,
                    EFI_SECURITY_VIOLATION, LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT},
        VERDICT_ROW{"Malformed", ORV_IMAGE_MALFORMED, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID,
                    EFI_ABORTED, LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT},
        VERDICT_ROW{"OtherProduct", ORV_IMAGE_WRONG_PRODUCT, EFI_SUCCESS,
                    IMAGE_UPDATABLE_INVALID_TYPE, EFI_SECURITY_VIOLATION,
                    LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT},
        VERDICT_ROW{"BelowFloor", ORV_IMAGE_BELOW_FLOOR, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID_OLD,
                    EFI_SECURITY_VIOLATION, LAST_ATTEMPT_STATUS_ERROR_INCORRECT_VERSION},
        VERDICT_ROW{"TooLarge", ORV_IMAGE_TOO_LARGE, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID,
                    EFI_ABORTED, LAST_ATTEMPT_STATUS_ERROR_INSUFFICIENT_RESOURCES},
        VERDICT_ROW{"UnknownVerdict", 99, EFI_SUCCESS, IMAGE_UPDATABLE_INVALID, EFI_ABORTED,
                    LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL},
        VERDICT_ROW{"Unanswered", ORV_IMAGE_ACCEPTED, EFI_DEVICE_ERROR, IMAGE_UPDATABLE_INVALID,
                    EFI_ABORTED, LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// No image at all: refused up front by both CheckImage and SetImage.
struct EMPTY_ROW {
  const char *Name;
  bool Null;
  UINTN Size;
};

class FmpEmptyImageTest : public FmpDriverTest, public ::testing::WithParamInterface<EMPTY_ROW> {};

TEST_P(FmpEmptyImageTest, IsAnInvalidParameterAndAnInvalidFormatAttempt) {
  LoadOk();
  const UINT8 *Image = GetParam().Null ? nullptr : NewOcm.data();
  UINT32 Updatable = IMAGE_UPDATABLE_VALID;
  EXPECT_EQ(Fmp(0)->CheckImage(Fmp(0), 1, Image, GetParam().Size, &Updatable), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Updatable, IMAGE_UPDATABLE_INVALID);
  EXPECT_EQ(Fmp(0)->SetImage(Fmp(0), 1, Image, GetParam().Size, nullptr, RecordProgress, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_TRUE(gPolicy.AskedZones.empty()) << "nothing to ask the IC about";
  EXPECT_EQ(Erases(), 0u);
  EXPECT_TRUE(gProgress.empty());
  EXPECT_EQ(Describe(0).LastAttemptStatus, LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT);
  EXPECT_EQ(EsrtEntry(0).LastAttemptStatus, LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT);
}

INSTANTIATE_TEST_SUITE_P(Empty, FmpEmptyImageTest,
                         ::testing::Values(EMPTY_ROW{"Null", true, 4096}, EMPTY_ROW{"ZeroSize", false, 0},
                                           EMPTY_ROW{"NullAndZeroSize", true, 0}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(FmpDriverTest, ASecondLoadDoesNotStartAndRepeatsNothing) {
  LoadOk();
  ORV_FMP_INSTANCE *First = gOrvFmp.Instances;
  Fw.ClearConsole();
  EXPECT_EQ(Load(), EFI_ALREADY_STARTED);
  EXPECT_EQ(Fw.Console(), "OrvFmp: already loaded\n");
  EXPECT_EQ(gOrvFmp.Instances, First) << "the loaded copy's state is untouched";
  EXPECT_EQ(Fw.HandlesWith(gEfiFirmwareManagementProtocolGuid).size(), 2u);
  auto *Table = static_cast<EFI_SYSTEM_RESOURCE_TABLE *>(Fw.ConfigurationTable(gEfiSystemResourceTableGuid));
  ASSERT_NE(Table, nullptr);
  EXPECT_EQ(Table->FwResourceCount, 2u);
  // Once unloaded, the driver loads again.
  ASSERT_EQ(OrvFmpUnload(Fw.ImageHandle()), EFI_SUCCESS);
  LoadOk();
}

TEST_F(FmpDriverTest, AFlashFaultIsAnUnsuccessfulAttemptAndTheIcKeepsRunning) {
  LoadOk();
  Flash.Fail(SIM_OP::WriteBankData, EFI_DEVICE_ERROR, {.Ic = 0});
  EXPECT_EQ(SetImage(0, NewOcm), EFI_ABORTED);
  EXPECT_EQ(Flash.Active(0), 0);
  EXPECT_EQ(Describe(0).LastAttemptStatus, LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL);
  EXPECT_EQ(EsrtEntry(0).LastAttemptStatus, LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL);
  ASSERT_FALSE(gProgress.empty());
  EXPECT_LT(gProgress.back(), 100u) << "a failed attempt never reports completion";
}

TEST_F(FmpDriverTest, ACustomerSignedImageGoesToTheCustomerBanksWhateverItIsOfferedAs) {
  Volume.AddFile(SETTINGS_PATH, BoardSettings("IncludeCustomerDefineBkp = 1\n"));
  LoadOk();
  gPolicy.ImageZone = ZONE_CUSTOMER;
  ASSERT_EQ(SetImage(1, Customer), EFI_SUCCESS) << Fw.Console();
  EXPECT_EQ(gPolicy.AskedZones, (std::vector<UINT8>{ZONE_OCM, ZONE_CUSTOMER}));
  EXPECT_TRUE(Flash.BankStartsWith(1, ZONE_CUSTOMER, 0, Customer));
  EXPECT_TRUE(Flash.BankStartsWith(1, ZONE_CUSTOMER, 1, Customer));
  EXPECT_TRUE(Flash.Erased(1, ZONE_OCM, 1)) << "the OCM zone is not touched";
  EXPECT_EQ(Flash.Active(1), 0);
}

TEST_F(FmpDriverTest, ProgressRunsFrom1To100AndNeverGoesBack) {
  for (const char *Backup : {"0", "1"}) {
    SCOPED_TRACE(Backup);
    Volume.AddFile(SETTINGS_PATH, BoardSettings(std::string("IncludeCustomerDefineBkp = ") +
                                                Backup + "\n"));
    LoadOk();
    for (UINT8 Zone : {ZONE_OCM, ZONE_CUSTOMER}) {
      gProgress.clear();
      gPolicy.ImageZone = Zone;
      ASSERT_EQ(SetImage(0, Zone == ZONE_OCM ? NewOcm : Customer), EFI_SUCCESS);
      ASSERT_GE(gProgress.size(), 5u);
      EXPECT_EQ(gProgress.front(), 1u);
      EXPECT_EQ(gProgress.back(), 100u);
      for (size_t Index = 1; Index < gProgress.size(); Index++) {
        EXPECT_GT(gProgress[Index], gProgress[Index - 1]);
      }
    }
    ASSERT_EQ(OrvFmpUnload(Fw.ImageHandle()), EFI_SUCCESS);
  }
}

TEST_F(FmpDriverTest, ForceUpdateInTheSettingsNeverForcesABadBank) {
  Volume.AddFile(SETTINGS_PATH, BoardSettings("ForceUpdate = 1\n"));
  LoadOk();
  std::vector<UINT8> Broken = NewOcm;
  Broken[30] ^= 0xFF;  // payload CRC no longer matches: the IC's check says bad
  EXPECT_EQ(SetImage(0, Broken), EFI_ABORTED);
  EXPECT_EQ(Flash.Active(0), 0) << "a bank the IC found bad is never switched to";
}

TEST_F(FmpDriverTest, WithoutThePolicyTheIcsOwnCheckDecidesAndNoFloorIsShown) {
  Fw.UninstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid);
  LoadOk();
  EXPECT_EQ(Describe(0).LowestSupportedImageVersion, 0u);
  std::vector<UINT8> Broken = NewOcm;
  Broken[30] ^= 0xFF;
  EXPECT_EQ(SetImage(0, Broken), EFI_ABORTED);
  EXPECT_EQ(Flash.Active(0), 0);
  EXPECT_EQ(SetImage(0, NewOcm), EFI_SUCCESS);
  EXPECT_EQ(Flash.Active(0), 1);
  EXPECT_EQ(Describe(0).Version, FmpVersionOf(0, 0x20));
}

TEST_F(FmpDriverTest, TheLastAttemptSurvivesAReload) {
  // A variable of another size is not taken for a last attempt.
  Fw.Variables[{u"OrvFmpLastAttempt00", gOrvFmpVariableGuid}] = {0, {5, 0, 0, 0}};
  LoadOk();
  EXPECT_EQ(Describe(0).LastAttemptStatus, 0u);
  gPolicy.Verdict = ORV_IMAGE_BELOW_FLOOR;
  gPolicy.Counter = 1;
  EXPECT_EQ(SetImage(1, NewOcm), EFI_SECURITY_VIOLATION);
  ASSERT_EQ(OrvFmpUnload(Fw.ImageHandle()), EFI_SUCCESS);
  EXPECT_EQ(Fw.ConfigurationTable(gEfiSystemResourceTableGuid), nullptr);

  LoadOk();
  EXPECT_EQ(Describe(1).LastAttemptVersion, FmpVersionOf(1, 0x20));
  EXPECT_EQ(Describe(1).LastAttemptStatus, LAST_ATTEMPT_STATUS_ERROR_INCORRECT_VERSION);
  EXPECT_EQ(EsrtEntry(1).LastAttemptStatus, LAST_ATTEMPT_STATUS_ERROR_INCORRECT_VERSION);
  EXPECT_EQ(Describe(0).LastAttemptVersion, 0u);
}

TEST_F(FmpDriverTest, TheOwnEsrtHasOneEntryPerIcInRuntimeMemory) {
  LoadOk();
  auto *Table = static_cast<EFI_SYSTEM_RESOURCE_TABLE *>(
      Fw.ConfigurationTable(gEfiSystemResourceTableGuid));
  ASSERT_NE(Table, nullptr);
  EXPECT_EQ(Fw.PoolType(Table), EfiRuntimeServicesData);
  EXPECT_EQ(Table->FwResourceCount, 2u);
  EXPECT_EQ(Table->FwResourceCountMax, 2u);
  EXPECT_EQ(Table->FwResourceVersion, 1u);
  for (UINT32 Ic = 0; Ic < 2; Ic++) {
    const EFI_SYSTEM_RESOURCE_ENTRY &E = EsrtEntry(Ic);
    EXPECT_EQ(E.FwClass, OrvFmpImageTypeId(DEMO_MAKER, 0x51));
    EXPECT_EQ(E.FwType, static_cast<UINT32>(ESRT_FW_TYPE_DEVICEFIRMWARE));
    EXPECT_EQ(E.FwVersion, FmpVersionOf(2, 0x10));
    EXPECT_EQ(E.LowestSupportedFwVersion, 2u << 24);
  }
  ASSERT_EQ(SetImage(1, NewOcm), EFI_SUCCESS);
  EXPECT_EQ(EsrtEntry(1).FwVersion, FmpVersionOf(2, 0x20));
  EXPECT_EQ(EsrtEntry(1).LastAttemptVersion, FmpVersionOf(2, 0x20));
  EXPECT_EQ(EsrtEntry(0).FwVersion, FmpVersionOf(2, 0x10));
}

TEST_F(FmpDriverTest, AFirmwareEsrtIsMergedIntoACopyAndNeverWritten) {
  struct {
    EFI_SYSTEM_RESOURCE_TABLE Header;
    EFI_SYSTEM_RESOURCE_ENTRY Entries[2];
  } Firmware{};
  Firmware.Header = {1, 2, 1};
  Firmware.Entries[0].FwClass = EFI_SYSTEM_RESOURCE_TABLE_GUID;
  Firmware.Entries[0].FwType = ESRT_FW_TYPE_SYSTEMFIRMWARE;
  Firmware.Entries[0].FwVersion = 77;
  std::memset(&Firmware.Entries[1], 0xEE, sizeof(Firmware.Entries[1]));  // room, not an entry
  decltype(Firmware) Before = Firmware;
  ASSERT_EQ(Fw.InstallConfigurationTable(const_cast<EFI_GUID *>(&gEfiSystemResourceTableGuid),
                                         &Firmware),
            EFI_SUCCESS);
  LoadOk();
  auto *Table = static_cast<EFI_SYSTEM_RESOURCE_TABLE *>(
      Fw.ConfigurationTable(gEfiSystemResourceTableGuid));
  ASSERT_NE(static_cast<void *>(Table), static_cast<void *>(&Firmware));
  EXPECT_EQ(Table->FwResourceCount, 3u);
  EXPECT_EQ(EsrtEntry(0).FwVersion, 77u);
  EXPECT_EQ(EsrtEntry(1).FwClass, OrvFmpImageTypeId(DEMO_MAKER, 0x51));
  ASSERT_EQ(SetImage(1, NewOcm), EFI_SUCCESS);
  EXPECT_EQ(EsrtEntry(2).FwVersion, FmpVersionOf(2, 0x20));
  EXPECT_EQ(std::memcmp(&Before, &Firmware, sizeof(Firmware)), 0);
  ASSERT_EQ(OrvFmpUnload(Fw.ImageHandle()), EFI_SUCCESS);
  EXPECT_EQ(Fw.ConfigurationTable(gEfiSystemResourceTableGuid), &Firmware);
}

TEST_F(FmpDriverTest, AFirmwareEsrtClaimingTooManyEntriesIsNotRead) {
  EFI_SYSTEM_RESOURCE_TABLE Claims{5000, 5000, 1};
  ASSERT_EQ(Fw.InstallConfigurationTable(const_cast<EFI_GUID *>(&gEfiSystemResourceTableGuid),
                                         &Claims),
            EFI_SUCCESS);
  LoadOk();
  EXPECT_EQ(Fw.ConfigurationTable(gEfiSystemResourceTableGuid), &Claims);
  EXPECT_EQ(SetImage(0, NewOcm), EFI_SUCCESS) << "the instances work without the table";
  ASSERT_EQ(OrvFmpUnload(Fw.ImageHandle()), EFI_SUCCESS);
  EXPECT_EQ(Fw.ConfigurationTable(gEfiSystemResourceTableGuid), &Claims);
}

// The FMP Version and lowest supported version state the IC's floor
// exactly: an image is at or above the lowest supported version if and only
// if its counter is at or above the floor.
TEST(FmpVersionTest, TheLowestSupportedVersionIsExactlyTheFloor) {
  const UINT64 Versions[] = {0, 1, 0x10203, 0xFFFFFF, 0x1000000, ~0ull};
  for (UINT32 Floor : {0u, 1u, 2u, 254u, 255u, 256u, 70000u}) {
    for (UINT32 Counter : {0u, 1u, 2u, 3u, 254u, 255u, 256u, 257u, 70000u}) {
      for (UINT64 Version : Versions) {
        const bool Supported = FmpVersionOf(Counter, Version) >= FmpLowestSupportedOf(Floor);
        if (Supported) {
          EXPECT_GE(Counter, Floor) << "an image the IC refuses is shown as supported: counter "
                                    << Counter << " floor " << Floor;
        } else if (Floor <= FMP_COUNTER_MAX) {
          EXPECT_LT(Counter, Floor) << "an image the IC accepts is shown as unsupported";
        }
      }
    }
  }
  EXPECT_EQ(FmpVersionOf(3, 0x10203), 0x03010203u);
  EXPECT_LT(FmpVersionOf(2, 0xFFFFFF), FmpVersionOf(3, 0));
}

}  // namespace
