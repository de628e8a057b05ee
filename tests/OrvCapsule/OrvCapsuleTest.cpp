// OrvCapsule.efi against the fake firmware and fake FMP instances: a capsule
// reaches exactly the images it addresses and nothing else, a faulty capsule
// reaches none, progress and outcome are one line per item and image, the
// result variables follow CapsuleLast and CapsuleMax, and a delivered file
// is removed only once it is processed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeFirmware.h"
#include "FakeVolume.h"
#include "OrvCapsule.h"

namespace {

constexpr EFI_GUID TYPE_A = {0x82365A4B, 0x0B14, 0x4B60, {0xA6, 0x0F, 0xC2, 0xEF, 0, 0, 0, 1}};
constexpr EFI_GUID TYPE_B = {0x82365A4B, 0x0B14, 0x4B60, {0xA6, 0x0F, 0xC2, 0xEF, 0, 0, 0, 2}};
constexpr EFI_GUID TYPE_C = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
EFI_GUID gFmpGuid = EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GUID;
EFI_GUID gReportGuid = EFI_CAPSULE_REPORT_GUID;
constexpr EFI_GUID FMP_CAPSULE = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
const std::string BANNER = "OrvCapsule tool version 00.01.0002\n";

constexpr EFI_TIME CLOCK = {2026, 12, 8, 13, 30, 15, 0, 0, 0, 0, 0};
EFI_STATUS EFIAPI FixedTime(EFI_TIME *Time, EFI_TIME_CAPABILITIES *) {
  *Time = CLOCK;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI NoVariableStore(CHAR16 *, EFI_GUID *, UINT32, UINTN, VOID *) { return EFI_OUT_OF_RESOURCES; }

/// One FMP instance with one image; the image's first byte is its version.
struct FakeFmp {
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL Protocol;  // first: the interface pointer is the fake's
  EFI_GUID Type;
  UINT64 Instance;
  UINT32 Version = 1;
  UINT32 LastAttemptStatus = 0;
  UINT32 CheckAnswer = IMAGE_UPDATABLE_VALID;
  EFI_STATUS SetStatus = EFI_SUCCESS;
  UINT32 RefusedReason = LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL;
  int CheckCalls = 0;
  std::vector<std::vector<UINT8>> Written;

  FakeFmp(const EFI_GUID &ImageType, UINT64 HardwareInstance)
      : Protocol{GetImageInfo, nullptr, SetImage, CheckImage, nullptr, nullptr}, Type(ImageType),
        Instance(HardwareInstance) {}

  static FakeFmp &Of(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This) { return *reinterpret_cast<FakeFmp *>(This); }

  static EFI_STATUS EFIAPI GetImageInfo(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This, UINTN *Size,
                                        EFI_FIRMWARE_IMAGE_DESCRIPTOR *Info, UINT32 *DescriptorVersion,
                                        UINT8 *Count, UINTN *DescriptorSize, UINT32 *PackageVersion,
                                        CHAR16 **PackageName) {
    if (*Size < sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR)) {
      *Size = sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR);
      return EFI_BUFFER_TOO_SMALL;
    }
    FakeFmp &Fmp = Of(This);
    *Info = {};
    Info->ImageIndex = 1;
    Info->ImageTypeId = Fmp.Type;
    Info->Version = Fmp.Version;
    // The instance's own string (never freed by the caller); the package
    // name is pool memory the caller frees: the fixture counts pool blocks.
    static CHAR16 Name[] = {'v', '5', 0};
    Info->VersionName = Name;
    Info->LastAttemptStatus = Fmp.LastAttemptStatus;
    Info->HardwareInstance = Fmp.Instance;
    *DescriptorVersion = EFI_FIRMWARE_IMAGE_DESCRIPTOR_VERSION;
    *Count = 1;
    *DescriptorSize = sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR);
    *PackageVersion = 0xFFFFFFFF;
    *PackageName = static_cast<CHAR16 *>(AllocateZeroPool(2));
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI CheckImage(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This, UINT8, const VOID *, UINTN,
                                      UINT32 *Updatable) {
    Of(This).CheckCalls++;
    *Updatable = Of(This).CheckAnswer;
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI SetImage(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This, UINT8, const VOID *Image, UINTN Size,
                                    const VOID *, EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS Progress,
                                    CHAR16 **) {
    FakeFmp &Fmp = Of(This);
    if (EFI_ERROR(Fmp.SetStatus)) {
      Fmp.LastAttemptStatus = Fmp.RefusedReason;
      return Fmp.SetStatus;
    }
    for (UINTN Step : {1, 10, 20, 15, 100}) Progress(Step);
    const UINT8 *Bytes = static_cast<const UINT8 *>(Image);
    Fmp.Written.emplace_back(Bytes, Bytes + Size);
    Fmp.Version = Bytes[0];
    Fmp.LastAttemptStatus = 0;
    return EFI_SUCCESS;
  }
};

struct ITEM {
  EFI_GUID Type;
  UINT8 Index;
  UINT64 Instance;
  std::vector<UINT8> Image;
};

std::string CapsuleOf(const std::vector<ITEM> &Items) {
  std::vector<FMP_CAPSULE_PAYLOAD> Payloads;
  for (const ITEM &Item : Items) {
    Payloads.push_back({Item.Type, Item.Index, Item.Instance, Item.Image.data(), static_cast<UINT32>(Item.Image.size())});
  }
  std::string Bytes(FmpCapsuleSize(Payloads.data(), static_cast<UINT16>(Payloads.size())), '\0');
  WriteFmpCapsule(Payloads.data(), static_cast<UINT16>(Payloads.size()), CAPSULE_FLAGS_PERSIST_ACROSS_RESET,
                  reinterpret_cast<UINT8 *>(Bytes.data()), Bytes.size());
  return Bytes;
}

const std::vector<UINT8> IMAGE_V5 = {5, 0xAA, 0xBB, 0xCC};

/// The progress lines of one image: the fake reports 1, 10, 20, 15, 100.
std::string Progress(const std::string &Name, int Instance) {
  std::string Lines;
  for (const char *Step : {"10", "20", "100"}) {
    Lines += Name + " item 0 instance " + std::to_string(Instance) + ": " + Step + "%\n";
  }
  return Lines;
}

class OrvCapsuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Volume.AllowDelete();
    Fw.SystemTable()->RuntimeServices->GetTime = FixedTime;
    for (FakeFmp *Fmp : {&Ic0, &Ic1, &Other}) Fw.InstallProtocol(Fw.NewHandle(), gFmpGuid, &Fmp->Protocol);
  }
  void TearDown() override {
    EXPECT_EQ(Fw.LivePoolBlocks(), 0u) << "pool memory left";
    EXPECT_EQ(Volume.OpenHandles(), 0u) << "file left open";
  }
  EFI_STATUS Run(const std::vector<std::string> &Arguments) {
    Fw.SetArguments(Arguments);
    Fw.ClearConsole();
    return OrvCapsuleMain(Fw.ImageHandle(), Fw.SystemTable());
  }
  const FakeFirmware::Variable *Find(const std::string &Name) {
    auto Found = Fw.Variables.find({Wide(Name), gReportGuid});
    return Found == Fw.Variables.end() ? nullptr : &Found->second;
  }
  void Store(const std::string &Name, const char16_t *Value) {
    const UINT8 *Bytes = reinterpret_cast<const UINT8 *>(Value);
    Fw.Variables[{Wide(Name), gReportGuid}] = {7, std::vector<UINT8>(Bytes, Bytes + 22)};
  }
  std::string Text(const std::string &Name) {
    const FakeFirmware::Variable *Found = Find(Name);
    if (Found == nullptr) return "(none)";
    std::string Out;
    for (size_t At = 0; At + 1 < Found->Data.size(); At += 2) Out += static_cast<char>(Found->Data[At]);
    return Out;
  }
  std::vector<std::string> Results() {
    std::vector<std::string> Names;
    for (const auto &[Key, Value] : Fw.Variables) {
      if (Key.second == gReportGuid && Key.first.size() == 11) Names.push_back(Narrow(Key.first));
    }
    return Names;
  }

  FakeFirmware Fw;
  FakeVolume Volume{Fw};
  FakeFmp Ic0{TYPE_A, 1};
  FakeFmp Ic1{TYPE_A, 2};
  FakeFmp Other{TYPE_B, 1};
};

TEST_F(OrvCapsuleTest, DeliveredCapsuleUpdatesEveryInstanceRecordsEachAndIsRemoved) {
  Volume.AddFile("EFI\\UpdateCapsule\\both.cap", CapsuleOf({{TYPE_A, 1, 0, IMAGE_V5}}));
  EXPECT_EQ(Run({}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), BANNER + Progress("both.cap", 1) +
                              "both.cap item 0 instance 1: updated, version 5, last attempt status 0\n" +
                              Progress("both.cap", 2) +
                              "both.cap item 0 instance 2: updated, version 5, last attempt status 0\n"
                              "both.cap: removed\n");
  EXPECT_EQ(Ic0.Written, std::vector<std::vector<UINT8>>{IMAGE_V5});
  EXPECT_EQ(Ic1.Written, std::vector<std::vector<UINT8>>{IMAGE_V5});
  EXPECT_TRUE(Other.Written.empty());
  EXPECT_FALSE(Volume.HasFile("EFI\\UpdateCapsule\\both.cap"));
  EXPECT_EQ(Results(), (std::vector<std::string>{"Capsule0000", "Capsule0001", "CapsuleLast"}));
  EXPECT_EQ(Text("CapsuleLast"), "Capsule0001");
  EXPECT_EQ(Text("CapsuleMax"), "Capsule000F");

  // The record of the second image: header, FMP part, file name, empty target.
  const std::vector<UINT8> &Value = Find("Capsule0001")->Data;
  ASSERT_EQ(Value.size(), 48u + 20u + sizeof(u"both.cap") + 2u);
  EFI_CAPSULE_RESULT_VARIABLE_HEADER Header;
  EFI_CAPSULE_RESULT_VARIABLE_FMP Fmp;
  std::memcpy(&Header, Value.data(), sizeof(Header));
  std::memcpy(&Fmp, Value.data() + sizeof(Header), sizeof(Fmp));
  EXPECT_EQ(Header.VariableTotalSize, Value.size());
  EXPECT_EQ(Header.CapsuleGuid, FMP_CAPSULE);
  EXPECT_EQ(Header.CapsuleStatus, EFI_SUCCESS);
  EXPECT_EQ(Header.CapsuleProcessed.Minute, CLOCK.Minute);
  EXPECT_EQ(Fmp.Version, 1);
  EXPECT_EQ(Fmp.UpdateImageIndex, 1);
  EXPECT_EQ(Fmp.UpdateImageTypeId, TYPE_A);
  EXPECT_EQ(Value[68], 'b');
  EXPECT_EQ(Find("Capsule0001")->Attributes,
            EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS);
}

TEST_F(OrvCapsuleTest, NoDeliveredCapsuleIsNothingToDo) {
  EXPECT_EQ(Run({}), EFI_SUCCESS);
  EXPECT_EQ(Fw.Console(), BANNER + "\\EFI\\UpdateCapsule: no capsule\n");
}

// A capsule with any fault reaches no FMP instance and records nothing.
struct FAULTY {
  const char *Name;
  size_t Cut;          ///< bytes cut off the end
  size_t At;           ///< a byte changed, when not 0
  const char *Line;
};

class OrvCapsuleFaulty : public OrvCapsuleTest, public ::testing::WithParamInterface<FAULTY> {};

TEST_P(OrvCapsuleFaulty, IsOneLineAndReachesNoInstance) {
  std::string Bytes = CapsuleOf({{TYPE_A, 1, 1, IMAGE_V5}, {TYPE_A, 1, 2, IMAGE_V5}});
  Bytes.resize(Bytes.size() - GetParam().Cut);
  if (GetParam().At != 0) Bytes[GetParam().At] = 9;
  Volume.AddFile("EFI\\UpdateCapsule\\bad.cap", Bytes);
  EXPECT_EQ(Run({}), EFI_VOLUME_CORRUPTED);
  EXPECT_EQ(Fw.Console(), BANNER + GetParam().Line + "\nbad.cap: removed\n");
  for (FakeFmp *Fmp : {&Ic0, &Ic1, &Other}) {
    EXPECT_EQ(Fmp->CheckCalls, 0);
    EXPECT_TRUE(Fmp->Written.empty());
  }
  EXPECT_TRUE(Results().empty());
}

INSTANTIATE_TEST_SUITE_P(Malformed, OrvCapsuleFaulty, ::testing::Values(
  FAULTY{"Truncated", 1, 0, "bad.cap: refused, capsule image size does not match the file"},
  FAULTY{"EmbeddedDriver", 0, 28 + 4, "bad.cap: refused, embedded drivers are not taken"},
  // The second item's header version: the first item is sound, yet nothing is applied.
  FAULTY{"SecondItemVersion", 0, 28 + 24 + 52, "bad.cap: refused, item 1: unknown item header version"}),
  [](const auto &Info) { return std::string(Info.param.Name); });

// Each item reaches exactly the images whose type, index and hardware
// instance it names; one that names none leaves the file for a later run.
struct ADDRESS {
  const char *Name;
  ITEM Item;
  int Ic0, Ic1, Other;
};

class OrvCapsuleAddress : public OrvCapsuleTest, public ::testing::WithParamInterface<ADDRESS> {};

TEST_P(OrvCapsuleAddress, ReachesOnlyTheImagesItNames) {
  const ADDRESS &Row = GetParam();
  Volume.AddFile("EFI\\UpdateCapsule\\one.cap", CapsuleOf({Row.Item}));
  const bool None = Row.Ic0 + Row.Ic1 + Row.Other == 0;
  EXPECT_EQ(Run({}), None ? EFI_NOT_FOUND : EFI_SUCCESS);
  EXPECT_EQ(static_cast<int>(Ic0.Written.size()), Row.Ic0);
  EXPECT_EQ(static_cast<int>(Ic1.Written.size()), Row.Ic1);
  EXPECT_EQ(static_cast<int>(Other.Written.size()), Row.Other);
  EXPECT_EQ(Volume.HasFile("EFI\\UpdateCapsule\\one.cap"), None);
  if (None) {
    EXPECT_NE(Fw.Console().find("one.cap item 0: no FMP instance"), std::string::npos) << Fw.Console();
    EXPECT_EQ(Find("Capsule0000")->Data[40], static_cast<UINT8>(EFI_NOT_FOUND));
  }
}

INSTANTIATE_TEST_SUITE_P(Addressing, OrvCapsuleAddress, ::testing::Values(
  ADDRESS{"EveryInstanceOfType", {TYPE_A, 1, 0, IMAGE_V5}, 1, 1, 0},
  ADDRESS{"SecondInstance", {TYPE_A, 1, 2, IMAGE_V5}, 0, 1, 0},
  ADDRESS{"OtherType", {TYPE_B, 1, 0, IMAGE_V5}, 0, 0, 1},
  ADDRESS{"InstanceNoneHas", {TYPE_A, 1, 3, IMAGE_V5}, 0, 0, 0},
  ADDRESS{"ImageIndexNoneHas", {TYPE_A, 2, 0, IMAGE_V5}, 0, 0, 0},
  ADDRESS{"UnknownType", {TYPE_C, 1, 0, IMAGE_V5}, 0, 0, 0}),
  [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(OrvCapsuleTest, RefusedImageFailsWithTheDevicesReasonAndNamedFileStays) {
  Ic1.CheckAnswer = IMAGE_UPDATABLE_INVALID;
  Ic1.SetStatus = EFI_SECURITY_VIOLATION;
  Ic1.RefusedReason = LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR;
  Volume.AddFile("bad.cap", CapsuleOf({{TYPE_A, 1, 0, IMAGE_V5}}));
  EXPECT_EQ(Run({"bad.cap"}), EFI_SECURITY_VIOLATION);
  EXPECT_EQ(Fw.Console(),
            BANNER + Progress("bad.cap", 1) +
                "bad.cap item 0 instance 1: updated, version 5, last attempt status 0\n"
                "bad.cap item 0 instance 2: CheckImage refuses (status 0, updatable 2), failed (status 1A), "
                "version 1, last attempt status 5\n");
  EXPECT_TRUE(Ic1.Written.empty());
  EFI_STATUS Recorded;
  std::memcpy(&Recorded, Find("Capsule0001")->Data.data() + 40, sizeof(Recorded));
  EXPECT_EQ(Recorded, EFI_SECURITY_VIOLATION);
  EXPECT_TRUE(Volume.HasFile("bad.cap")) << "only delivered capsules are removed";
}

TEST_F(OrvCapsuleTest, UnrecordedResultFailsTheRun) {
  Fw.SystemTable()->RuntimeServices->SetVariable = NoVariableStore;
  Volume.AddFile("one.cap", CapsuleOf({{TYPE_B, 1, 0, IMAGE_V5}}));
  EXPECT_EQ(Run({"one.cap"}), EFI_OUT_OF_RESOURCES);
  EXPECT_NE(Fw.Console().find("one.cap item 0: result variable not written (status 9)"), std::string::npos);
}

// Capsule#### numbers: one past CapsuleLast, back to 0 past CapsuleMax; the
// platform's CapsuleMax is kept.
struct NUMBERING {
  const char *Name;
  const char16_t *Last;  ///< nullptr: absent
  const char16_t *Max;   ///< nullptr: absent
  const char *Written;
  const char *MaxAfter;
};

class OrvCapsuleNumbering : public OrvCapsuleTest, public ::testing::WithParamInterface<NUMBERING> {};

TEST_P(OrvCapsuleNumbering, NextNumberFollowsLastAndMax) {
  if (GetParam().Last != nullptr) Store("CapsuleLast", GetParam().Last);
  if (GetParam().Max != nullptr) Store("CapsuleMax", GetParam().Max);
  Volume.AddFile("one.cap", CapsuleOf({{TYPE_B, 1, 0, IMAGE_V5}}));
  EXPECT_EQ(Run({"one.cap"}), EFI_SUCCESS);
  EXPECT_NE(Find(GetParam().Written), nullptr);
  EXPECT_EQ(Text("CapsuleLast"), GetParam().Written);
  EXPECT_EQ(Text("CapsuleMax"), GetParam().MaxAfter);
}

INSTANTIATE_TEST_SUITE_P(Numbering, OrvCapsuleNumbering, ::testing::Values(
  NUMBERING{"First", nullptr, nullptr, "Capsule0000", "Capsule000F"},
  NUMBERING{"AfterLast", u"Capsule000A", nullptr, "Capsule000B", "Capsule000F"},
  NUMBERING{"WrapsAtPlatformMax", u"Capsule0002", u"Capsule0002", "Capsule0000", "Capsule0002"},
  NUMBERING{"LastAbovePlatformMax", u"Capsule0009", u"Capsule0002", "Capsule0000", "Capsule0002"},
  NUMBERING{"LastNotAName", u"Capsule00G1", nullptr, "Capsule0000", "Capsule000F"}),
  [](const auto &Info) { return std::string(Info.param.Name); });

}  // namespace
