/** @file
  orvstick: the check against volumes broken in each way an update stick
  goes wrong, a clean folder and a clean FAT image; make's layout and its
  refusals; the PE header reader against objdump.
**/

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "Check.h"
#include "HexImage.h"
#include "ImageSignHost.h"
#include "Make.h"
#include "PeImage.h"
#include "Trust.h"
#include "TrustedKeyTable.h"

namespace fs = std::filesystem;

namespace {

/// A PE file with the given machine, optional header magic and subsystem.
std::string PeFile(uint16_t Machine, uint16_t Magic, uint16_t Subsystem) {
  std::string Data(0x200, '\0');
  auto Put16 = [&Data](size_t At, uint16_t Value) {
    Data[At] = static_cast<char>(Value & 0xFF);
    Data[At + 1] = static_cast<char>(Value >> 8);
  };
  Data[0] = 'M';
  Data[1] = 'Z';
  Put16(0x3C, 0x80);
  Data.replace(0x80, 4, std::string("PE\0\0", 4));
  Put16(0x84, Machine);
  Put16(0x84 + 16, 240);  // SizeOfOptionalHeader
  Put16(0x98, Magic);
  Put16(0x98 + 68, Subsystem);
  return Data;
}

const std::string DRIVER = PeFile(PE_MACHINE_X64, PE_MAGIC_PE32_PLUS, PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
const std::string APPLICATION = PeFile(PE_MACHINE_X64, PE_MAGIC_PE32_PLUS, PE_SUBSYSTEM_EFI_APPLICATION);

std::string HexOf(const std::vector<UINT8> &Image) {
  std::string Hex(HexEncodedSize(Image.size()), '\0');
  EncodeHex(Image.data(), Image.size(), Hex.data(), Hex.size());
  return Hex;
}

std::vector<UINT8> ZoneImage(UINT64 Version, size_t PayloadSize) {
  std::vector<UINT8> Image(IMAGE_HEADER_SIZE + PayloadSize);
  for (size_t Index = 0; Index < PayloadSize; Index++) Image[IMAGE_HEADER_SIZE + Index] = static_cast<UINT8>(Index * 7);
  BuildImageHeader(Image.data(), Version, Image.data() + IMAGE_HEADER_SIZE, static_cast<UINT32>(PayloadSize));
  return Image;
}

IMAGE_PRIVATE_KEY SeededKey(const char *Seed) {
  IMAGE_PRIVATE_KEY Key{};
  GenerateSigningKeyFromSeed(Seed, &Key);
  return Key;
}

/// The product the test board's ICs are provisioned with.
constexpr UINT32 PRODUCT = 0x4F525601;

std::vector<UINT8> Signed(std::vector<UINT8> Image, const char *Seed, UINT8 Zone, UINT32 Product) {
  const IMAGE_PRIVATE_KEY Key = SeededKey(Seed);
  EXPECT_TRUE(MakeImageFormat3(&Image, {3, Zone, Product}, &Key));
  return Image;
}

std::string ZoneImageHex(UINT64 Version, size_t PayloadSize, const char *Seed = "maker", UINT8 Zone = IMAGE_ZONE_OCM,
                         UINT32 Product = PRODUCT) {
  return HexOf(Signed(ZoneImage(Version, PayloadSize), Seed, Zone, Product));
}

std::string CustomerImageHex(UINT64 Version, size_t PayloadSize) {
  return ZoneImageHex(Version, PayloadSize, "maker", IMAGE_ZONE_CUSTOMER);
}

/// The image parser driver file: a PE file with the key table the build
/// emits (the keys of Seeds, then Flags), somewhere after its headers.
std::string ParserWithKeys(const std::vector<const char *> &Seeds, uint32_t Flags = 0) {
  ORV_TRUSTED_KEY_TABLE Table{};
  std::memcpy(Table.Magic, ORV_TRUSTED_KEYS_MAGIC, sizeof(Table.Magic));
  Table.Count = static_cast<UINT32>(Seeds.size());
  Table.Flags = Flags;
  for (size_t Index = 0; Index < Seeds.size(); Index++) {
    std::memcpy(Table.Points[Index], SeededKey(Seeds[Index]).Public.Point, ORV_TRUSTED_KEY_POINT_SIZE);
  }
  return DRIVER + std::string(64, '\x5A') + std::string(reinterpret_cast<const char *>(&Table), sizeof(Table));
}

/// An IC's provisioning: Key and the test product; nothing when Key is empty.
std::string IcKeyLines(const std::string &Key) {
  return Key.empty() ? "" : "PublicKey = " + Key + "\nProduct = 0x4F525601\n";
}

/// A board of two ICs whose key is Key (a volume path; none when empty).
std::string FlashSimIni(const std::string &Key, const std::string &Extra = "") {
  return "[FlashSim]\nIcCount = 2\nOcmBankSize = 16384\n" + Extra + "[Ic0]\n" +
         IcKeyLines(Key) + "[Ic1]\n" + IcKeyLines(Key);
}

const std::string SETTINGS =
    "[default]\n"
    "target = SimBoard\n"
    "\n"
    "[SimBoard]\n"
    "ImageParser = OrvHexImage.efi\n"
    "FlashInterface = OrvFlashSim.efi\n"
    "DevicePath = OrvPathSim.efi\n"
    "OCM = ocm.hex\n"
    "customer = cust.hex\n"
    "ReduceFlashProcessFlag = 1\n";

using FILES = std::map<std::string, std::string>;

FILES CleanVolume() {
  return {
      {"OrvUpdate.efi", APPLICATION},
      {"OrvInfo.efi", APPLICATION},
      {"OrvUpdateComponent/OrvUpdateSettings.ini", SETTINGS},
      {"OrvUpdateComponent/OrvHexImage.efi", ParserWithKeys({"maker"})},
      {"OrvUpdateComponent/OrvFlashSim.efi", DRIVER},
      {"OrvUpdateComponent/OrvPathSim.efi", DRIVER},
      {"OrvUpdateComponent/ocm.hex", ZoneImageHex(0x10203, 300)},
      {"OrvUpdateComponent/cust.hex", CustomerImageHex(1, 40)},
      {"OrvSim/FlashSim.ini", FlashSimIni("OrvSim\\maker.pub.pem")},
      {"OrvSim/maker.pub.pem", PublicKeyPem(SeededKey("maker").Public)},
  };
}

/// Report text with "{maker}", "{other}" and "{demo}" standing for those keys' ids.
std::string WithKeyIds(std::string Text) {
  const std::pair<const char *, std::string> IDS[] = {
      {"{maker}", ShortKeyId(SeededKey("maker").Public.KeyId)},
      {"{other}", ShortKeyId(SeededKey("other").Public.KeyId)},
  };
  for (const auto &[Name, Id] : IDS) {
    for (size_t At = Text.find(Name); At != std::string::npos; At = Text.find(Name)) Text.replace(At, std::strlen(Name), Id);
  }
  return Text;
}

const char *const CLEAN_REPORT_TEMPLATE =
    "OrvUpdate.efi: PE32+ x64 EFI application\n"
    "OrvInfo.efi: PE32+ x64 EFI application\n"
    "settings: OrvUpdateComponent\\OrvUpdateSettings.ini, 192 bytes\n"
    "Current target: SimBoard\n"
    "ForceUpdate: off\n"
    "IncludeCustomerDefineBkp: off\n"
    "ReduceFlashProcessFlag: mask 0x1 (the OCM zone is not read back)\n"
    "ImageParser: OrvUpdateComponent\\OrvHexImage.efi, PE32+ x64 EFI boot-service driver\n"
    "FlashInterface: OrvUpdateComponent\\OrvFlashSim.efi, PE32+ x64 EFI boot-service driver\n"
    "DevicePath: OrvUpdateComponent\\OrvPathSim.efi, PE32+ x64 EFI boot-service driver\n"
    "OrvUpdateComponent\\OrvHexImage.efi: keys built in: {maker}\n"
    "board: OrvSim\\FlashSim.ini, 2 ICs\n"
    "OCM: OrvUpdateComponent\\ocm.hex, format 2, version 0x0000000000010203, payload 300 bytes, payload CRC good, "
    "security counter 3, signed by key {maker}, signature verifies\n"
    "customer: OrvUpdateComponent\\cust.hex, format 2, version 0x0000000000000001, payload 40 bytes, payload CRC good, "
    "security counter 3, signed by key {maker}, signature verifies\n"
    "result: ok, 0 warnings\n";

class ORVSTICK : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("orvstick-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string WriteFolder(const FILES &Files) {
    const fs::path Root = Dir / "volume";
    for (const auto &[Path, Data] : Files) {
      fs::create_directories((Root / Path).parent_path());
      std::ofstream(Root / Path, std::ios::binary) << Data;
    }
    return Root.string();
  }

  /// The report of the check with these trusted keys, and its counts.
  std::string Check(const std::string &Location, CHECK_COUNTS *Counts,
                    const std::vector<IMAGE_PUBLIC_KEY> &Keys = {}) {
    std::ostringstream Out;
    CHECK_OPTIONS Options;
    for (const IMAGE_PUBLIC_KEY &Key : Keys) Options.ExpectedKeys.push_back(EXPECTED_KEY{"key.pem", Key});
    *Counts = CheckVolume(*VOLUME::Open(Location), Options, Out);
    return Out.str();
  }

  fs::path Dir;
};

/// The report without its first line (the volume's location).
std::string Body(const std::string &Report) { return Report.substr(Report.find('\n') + 1); }

TEST_F(ORVSTICK, CleanFolderGivesTheRunsSummaryAndNoProblem) {
  CHECK_COUNTS Counts{};
  const std::string Report = Check(WriteFolder(CleanVolume()), &Counts);
  EXPECT_EQ(Body(Report), WithKeyIds(CLEAN_REPORT_TEMPLATE));
  EXPECT_EQ(Counts.Errors + Counts.Warnings, 0);
}

TEST_F(ORVSTICK, FatImageIsReadThroughMtoolsWithoutRegardToCase) {
  const std::string Image = (Dir / "stick.img").string();
  {
    std::unique_ptr<VOLUME> Volume = VOLUME::OpenForWriting(Image, 8u << 20, true);
    for (const auto &[Path, Data] : CleanVolume()) {
      std::string Upper = Path;  // FAT finds "ORVUPDATECOMPONENT\OCM.HEX" for "OrvUpdateComponent\ocm.hex"
      if (Path.find("ocm.hex") != std::string::npos) Upper = "ORVUPDATECOMPONENT/OCM.HEX";
      if (Upper.find('/') != std::string::npos) Volume->MakeFolder(Upper.substr(0, Upper.find('/')));
      Volume->Write(Upper, Data);
    }
  }
  CHECK_COUNTS Counts{};
  EXPECT_EQ(Body(Check(Image, &Counts)), WithKeyIds(CLEAN_REPORT_TEMPLATE));
  EXPECT_EQ(Counts.Errors, 0);
}

/// One broken volume: what is changed, the problem line it must give, and
/// whether the run would stop (an error) or only a warning is due.
struct BROKEN {
  const char *Name;
  std::function<void(FILES &)> Break;
  const char *Line;
  bool Stops;
};

void Settings(FILES &Files, const std::string &From, const std::string &To) {
  std::string &Text = Files["OrvUpdateComponent/OrvUpdateSettings.ini"];
  Text.replace(Text.find(From), From.size(), To);
}

const BROKEN BROKEN_VOLUMES[] = {
    {"DriverMissing", [](FILES &F) { F.erase("OrvUpdateComponent/OrvFlashSim.efi"); },
     "error: FlashInterface: OrvUpdateComponent\\OrvFlashSim.efi is missing; the run stops after "
     "\"Component OrvUpdateComponent\\OrvFlashSim.efi not found!\"",
     true},
    {"DriverIsAnApplication", [](FILES &F) { F["OrvUpdateComponent/OrvPathSim.efi"] = APPLICATION; },
     "error: DevicePath: OrvUpdateComponent\\OrvPathSim.efi: PE32+ x64 EFI application, not a PE32+ x64 EFI "
     "boot-service driver; the run stops at \"LocateHandleBuffer gOrvPathProtocolGuid after load ERROR E\"",
     true},
    {"DriverTruncated", [](FILES &F) { F["OrvUpdateComponent/OrvHexImage.efi"].resize(0xA0); },
     "error: ImageParser: OrvUpdateComponent\\OrvHexImage.efi: truncated PE file (optional header), not a PE32+ "
     "x64 EFI boot-service driver; the run stops at \"LocateHandleBuffer gOrvImageProtocolGuid after load ERROR E\"",
     true},
    {"TargetMisspelt", [](FILES &F) { Settings(F, "target = SimBoard", "target = SimBord"); },
     "error: no section [SimBord]; the run stops at \"Target section not found\"", true},
    {"HeaderInOtherCase", [](FILES &F) { Settings(F, "[SimBoard]", "[simboard]"); },
     "warning: line 4: the header [simboard] is not [SimBoard] (section names are compared exactly, blanks and case "
     "included)",
     true},
    {"ValueWithBlank", [](FILES &F) { Settings(F, "OCM = ocm.hex", "OCM = old ocm.hex"); },
     "warning: line 8: OCM is written \"old ocm.hex\", but the application reads \"ocm.hex\" (a value is one "
     "word, the last one on its line)",
     false},
    {"KeyInsideAnotherValue", [](FILES &F) { Settings(F, "OCM = ocm.hex\ncustomer = cust.hex", "customer = cust.hex OCM = ocm.hex"); },
     "warning: line 8: \"OCM =\" inside the value of customer is not read as a key; one key per line", true},
    {"LongerKey", [](FILES &F) { Settings(F, "OCM = ", "OCMImage = "); },
     "warning: line 8: the key there is OCMImage, not OCM (keys are compared whole and exactly)", true},
    {"KeyGivenTwice", [](FILES &F) { Settings(F, "ReduceFlashProcessFlag = 1", "OCM = cust.hex"); },
     "warning: OCM is given 2 times in [SimBoard] (lines 8, 10); the application uses line 8", false},
    {"SectionEndsAtCommentBracket", [](FILES &F) { Settings(F, "OCM = ", "# see [notes]\nOCM = "); },
     "warning: line 8: section [SimBoard] ends at the \"[\" inside a comment; keys on lines 8 to 12 are not read "
     "as part of it",
     true},
    {"NameOverLimit",
     [](FILES &F) { Settings(F, "OCM = ocm.hex", "OCM = " + std::string(103, 'o') + ".hex"); },
     "error: line 8: OCM value of 107 characters, at most 106 fit; the run stops at \"Load OCM Image error, E\"",
     true},
    {"NameNearLimit",
     [](FILES &F) {
       const std::string Name = std::string(96, 'o') + ".hex";
       Settings(F, "OCM = ocm.hex", "OCM = " + Name);
       F["OrvUpdateComponent/" + Name] = F["OrvUpdateComponent/ocm.hex"];
     },
     "warning: line 8: OCM value of 100 characters is near the limit of 106", false},
    {"CrOnlyLineEnds",
     [](FILES &F) {
       for (char &C : F["OrvUpdateComponent/OrvUpdateSettings.ini"]) C = C == '\n' ? '\r' : C;
     },
     "warning: 10 lines end in a lone CR (first: line 1); the application reads CR as a line end, but most "
     "editors and tools do not",
     false},
    {"ImageCorrupted",
     [](FILES &F) {
       std::string &Hex = F["OrvUpdateComponent/ocm.hex"];
       Hex = ZoneImageHex(0x10203, 300);
       // One data byte of the second record changed, the record's checksum kept right.
       std::string Record = Hex.substr(Hex.find('\n', Hex.find('\n') + 1) + 1, 43);
       std::string Fixed = Record;
       Fixed[9] = Fixed[9] == '0' ? '1' : '0';
       unsigned Sum = 0;
       for (size_t At = 1; At + 2 < Fixed.size(); At += 2) Sum += std::stoul(Fixed.substr(At, 2), nullptr, 16);
       char Check[3];
       std::snprintf(Check, sizeof(Check), "%02X", (0x100 - (Sum & 0xFF)) & 0xFF);
       Fixed.replace(41, 2, Check);
       Hex.replace(Hex.find(Record), Record.size(), Fixed);
     },
     "error: OCM: HexImage: OrvUpdateComponent\\ocm.hex: image payload checksum mismatch; the run stops at "
     "\"Load OCM Image error, A\"",
     true},
    {"SettingsMissing", [](FILES &F) { F.erase("OrvUpdateComponent/OrvUpdateSettings.ini"); },
     "error: OrvUpdateComponent\\OrvUpdateSettings.ini: missing; the run stops at \"Open settings file error E\"",
     true},
};

void PrintTo(const BROKEN &Broken, std::ostream *Out) { *Out << Broken.Name; }

class BROKEN_VOLUME : public ORVSTICK, public ::testing::WithParamInterface<BROKEN> {};

TEST_P(BROKEN_VOLUME, GivesItsLineAndStopsOnlyOnAnError) {
  FILES Files = CleanVolume();
  GetParam().Break(Files);
  CHECK_COUNTS Counts{};
  const std::string Report = Check(WriteFolder(Files), &Counts);
  EXPECT_NE(Report.find(std::string("\n") + GetParam().Line + "\n"), std::string::npos) << Report;
  EXPECT_EQ(Counts.Errors > 0, GetParam().Stops) << Report;
  EXPECT_EQ(Report.find("result: ok") != std::string::npos, !GetParam().Stops) << Report;
}

INSTANTIATE_TEST_SUITE_P(Kinds, BROKEN_VOLUME, ::testing::ValuesIn(BROKEN_VOLUMES),
                         [](const auto &Info) { return std::string(Info.param.Name); });

/// What decides whether the stick's images run: the keys built into its
/// image parser, the board's ICs, the keys given; and the settings checks
/// that must name the right cause. Lines may name "{maker}", "{other}" (key
/// ids) and "{dir}" (the test's folder).
struct VERDICT {
  const char *Name;
  std::function<void(FILES &, CHECK_OPTIONS &, const fs::path &)> Break;
  const char *Line;
  bool Stops;
};

const std::string PARSER = "OrvUpdateComponent/OrvHexImage.efi";
const std::string IC_KEY = "OrvSim/maker.pub.pem";

void WriteHost(const fs::path &Path, const std::string &Data) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path, std::ios::binary) << Data;
}

const VERDICT VERDICTS[] = {
    {"ParserHoldsAnotherKey", [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F[PARSER] = ParserWithKeys({"other"}); },
     "error: OCM: HexImage: OrvUpdateComponent\\ocm.hex: signed by an unknown key; the run stops at \"Load OCM Image "
     "error, 1A\" (the image is signed by key {maker}, the image parser holds {other})",
     true},
    {"OlderParserHoldsAnotherKeyAsPemText",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) {
       F[PARSER] = DRIVER + std::string(1, '\0') + PublicKeyPem(SeededKey("other").Public) + std::string(1, '\0');
     },
     "error: OCM: HexImage: OrvUpdateComponent\\ocm.hex: signed by an unknown key; the run stops at \"Load OCM Image "
     "error, 1A\" (the image is signed by key {maker}, the image parser holds {other})",
     true},
    {"ParserBuiltWithTheDemoKey",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) {
       F[PARSER] = ParserWithKeys({"maker"}, ORV_TRUSTED_KEYS_FLAG_DEMO_KEY);
     },
     "warning: OrvUpdateComponent\\OrvHexImage.efi was built with the demo key: anyone can sign images it takes "
     "(build it with the maker's key, ORV_TRUSTED_KEYS)",
     false},
    {"ParserBuiltWithNoKey", [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F[PARSER] = ParserWithKeys({}); },
     "warning: OrvUpdateComponent\\OrvHexImage.efi was built with no key: it takes any zone image, signed or not",
     false},
    {"KeyTableClaimsTooManyKeys",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) {
       std::string &Parser = F[PARSER] = ParserWithKeys({"maker"});
       Parser[Parser.size() - sizeof(ORV_TRUSTED_KEY_TABLE) + offsetof(ORV_TRUSTED_KEY_TABLE, Count)] = 9;
     },
     "warning: OrvUpdateComponent\\OrvHexImage.efi: the key table claims 9 keys, at most 8 fit; the keys it checks "
     "signatures with cannot be read, so zone image signatures are not checked",
     false},
    // A private key is read as its public half; the parser's keys decide.
    {"PrivateKeyGivenThatTheParserLacks",
     [](FILES &, CHECK_OPTIONS &Options, const fs::path &Dir) {
       WriteHost(Dir / "other.pem", PrivateKeyPem(SeededKey("other")));
       Options.ExpectedKeys = ReadExpectedKeys({(Dir / "other.pem").string()});
     },
     "warning: {dir}/other.pem (key {other}) is not built into OrvUpdateComponent\\OrvHexImage.efi; the keys built "
     "into the parser decide, not the keys given",
     false},
    {"IcHoldsAnotherKey",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F[IC_KEY] = PublicKeyPem(SeededKey("other").Public); },
     "error: OrvSim\\FlashSim.ini: IC 1 holds key {other} (PublicKey OrvSim\\maker.pub.pem), but the customer image "
     "is signed by key {maker}; the IC refuses it before any erase (\"IC 1 customer image refused: signed by a key the IC does "
     "not hold\")",
     true},
    {"IcsEnforceNothing", [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F["OrvSim/FlashSim.ini"] = FlashSimIni(""); },
     "warning: OrvSim\\FlashSim.ini: ICs 0, 1 enforce nothing (no PublicKey): any image runs, and a forced downgrade "
     "succeeds",
     false},
    {"IcHoldsTheDemoKey",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) {
       std::ifstream In(ORV_DEMO_PUBLIC_KEY);
       F[IC_KEY] = std::string((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
     },
     "warning: OrvSim\\FlashSim.ini: ICs 0, 1 hold the demo key: anyone can sign images they run", true},
    {"IcKeyFileMissing", [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F.erase(IC_KEY); },
     "error: OrvSim\\FlashSim.ini: IC 0: PublicKey OrvSim\\maker.pub.pem is missing; IcInit stops at \"FlashSim: "
     "cannot open OrvSim\\maker.pub.pem, E\"",
     true},
    {"BoardDescriptionRefused",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F["OrvSim/FlashSim.ini"] = "[FlashSim]\nIcCount = 0\n"; },
     "error: OrvSim\\FlashSim.ini line 2: IcCount must be 1 to 16; IcInit stops", true},
    {"ImageLargerThanItsBank",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) {
       F["OrvSim/FlashSim.ini"] = FlashSimIni("OrvSim\\maker.pub.pem", "CustomerBankSize = 256\n");
       F["OrvUpdateComponent/cust.hex"] = CustomerImageHex(1, 300);
     },
     "error: OrvSim\\FlashSim.ini: IC 0: the customer image of 440 bytes does not fit its customer bank of 256 bytes; "
     "the bank would be erased and the write fail",
     true},
    // A description file: the files it names are found beside it by name.
    {"BoardDescriptionHoldsAnotherKey",
     [](FILES &F, CHECK_OPTIONS &Options, const fs::path &Dir) {
       F.erase("OrvSim/FlashSim.ini");
       WriteHost(Dir / "board" / "FlashSim.ini", FlashSimIni("keys\\other.pub.pem"));
       WriteHost(Dir / "board" / "other.pub.pem", PublicKeyPem(SeededKey("other").Public));
       Options.Board = OpenBoardSource((Dir / "board" / "FlashSim.ini").string());
     },
     "error: {dir}/board/FlashSim.ini: IC 0 holds key {other} (PublicKey keys\\other.pub.pem), but the OCM image "
     "is signed by key {maker}; the IC refuses it before any erase (\"IC 0 OCM image refused: signed by a key the IC "
     "does not hold\")",
     true},
    {"BoardDiskHoldsAnotherKey",
     [](FILES &F, CHECK_OPTIONS &Options, const fs::path &Dir) {
       F.erase("OrvSim/FlashSim.ini");
       WriteHost(Dir / "disk" / "OrvBoard" / "FlashSim.ini", FlashSimIni("OrvBoard\\other.pub.pem"));
       WriteHost(Dir / "disk" / "OrvBoard" / "other.pub.pem", PublicKeyPem(SeededKey("other").Public));
       Options.Board = OpenBoardSource((Dir / "disk").string());
     },
     "error: {dir}/disk: OrvBoard\\FlashSim.ini: IC 1 holds key {other} (PublicKey OrvBoard\\other.pub.pem), but "
     "the OCM image is signed by key {maker}; the IC refuses it before any erase (\"IC 1 OCM image refused: signed by "
     "a key the IC does not hold\")",
     true},
    {"StickBringsItsOwnBoardBesideABoardDisk",
     [](FILES &, CHECK_OPTIONS &Options, const fs::path &Dir) {
       WriteHost(Dir / "disk" / "OrvBoard" / "FlashSim.ini", FlashSimIni("OrvBoard\\maker.pub.pem"));
       WriteHost(Dir / "disk" / "OrvBoard" / "maker.pub.pem", PublicKeyPem(SeededKey("maker").Public));
       Options.Board = OpenBoardSource((Dir / "disk").string());
     },
     "error: OrvSim\\FlashSim.ini on the volume: with a board disk attached IcInit refuses it; remove it from the "
     "stick",
     true},
    // The bytes say where they go: an image signed for the other zone or
    // another product is refused by the IC it is meant for.
    {"OcmImageSignedForTheCustomerZone",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F["OrvUpdateComponent/ocm.hex"] = CustomerImageHex(0x10203, 300); },
     "error: OrvSim\\FlashSim.ini: IC 0: the OCM image is signed for zone customer, the IC takes only ocm images "
     "there; the IC refuses it before any erase (\"IC 0 OCM image refused: signed for the other zone\")",
     true},
    {"ImageSignedForAnotherProduct",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) {
       F["OrvUpdateComponent/ocm.hex"] = ZoneImageHex(0x10203, 300, "maker", IMAGE_ZONE_OCM, 0x4F525602);
     },
     "error: OrvSim\\FlashSim.ini: IC 1 is product 0x4f525601 (Product in OrvSim\\FlashSim.ini), but the OCM image is "
     "signed for product 0x4f525602; the IC refuses it before any erase (\"IC 1 OCM image refused: signed for "
     "product 4F525602, IC is product 4F525601\")",
     true},
    {"VersionAbove32Bits",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F["OrvUpdateComponent/ocm.hex"] = ZoneImageHex(0x100000007, 300); },
     "error: OCM: version 0x100000007 does not fit the 32 bits an IC keeps (it would report 0x7), so every run would "
     "update it again",
     true},
    {"SettingsKeyMisspelt", [](FILES &F, CHECK_OPTIONS &, const fs::path &) { Settings(F, "FlashInterface", "FlashInterfce"); },
     "error: FlashInterface: no key in [SimBoard], nearest: FlashInterfce on line 6; the run stops at \"Load "
     "FlashInterface error, E\"",
     true},
    {"ComponentInTheBoardsFirmware",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) { Settings(F, "DevicePath = OrvPathSim.efi", "DevicePath = none"); },
     "DevicePath: none (the board's firmware must have gOrvPathProtocolGuid; without it the run stops after "
     "\"Component OrvUpdateComponent\\none not found!\")",
     false},
    {"ApplicationMissing", [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F.erase("OrvUpdate.efi"); },
     "error: OrvUpdate.efi: missing at the root of the volume", true},
    // Only the four lower-case letters leave a zone alone; "None" is a file name.
    {"NoneWithCapitalIsAFileName", [](FILES &F, CHECK_OPTIONS &, const fs::path &) { Settings(F, "OCM = ocm.hex", "OCM = None"); },
     "error: OCM: OrvUpdateComponent\\None is missing; the run stops at \"Load OCM Image error, E\"", true},
    {"TargetTwoOverTheLimit",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) {
       Settings(F, "target = SimBoard", "target = " + std::string(217, 't'));
     },
     "error: line 2: target name of 217 characters, at most 215 fit; the run stops at \"OrvInitialSettings error 5\"",
     true},
    {"SettingsShorterThanTheMinimum",
     [](FILES &F, CHECK_OPTIONS &, const fs::path &) { F["OrvUpdateComponent/OrvUpdateSettings.ini"] = "[a]\nb"; },
     "error: OrvUpdateComponent\\OrvUpdateSettings.ini: 5 bytes, at least 6 are read; the run stops at \"Get settings "
     "file info error 0\"",
     true},
};

void PrintTo(const VERDICT &Verdict, std::ostream *Out) { *Out << Verdict.Name; }

class STICK_VERDICT : public ORVSTICK, public ::testing::WithParamInterface<VERDICT> {};

TEST_P(STICK_VERDICT, GivesItsLineAndStopsOnlyOnAnError) {
  FILES Files = CleanVolume();
  CHECK_OPTIONS Options;
  GetParam().Break(Files, Options, Dir);
  std::ostringstream Out;
  const CHECK_COUNTS Counts = CheckVolume(*VOLUME::Open(WriteFolder(Files)), Options, Out);
  std::string Line = WithKeyIds(GetParam().Line);
  if (const size_t At = Line.find("{dir}"); At != std::string::npos) Line.replace(At, 5, Dir.string());
  EXPECT_NE(Out.str().find("\n" + Line + "\n"), std::string::npos) << Out.str();
  EXPECT_EQ(Counts.Errors > 0, GetParam().Stops) << Out.str();
}

INSTANTIATE_TEST_SUITE_P(Trust, STICK_VERDICT, ::testing::ValuesIn(VERDICTS),
                         [](const auto &Info) { return std::string(Info.param.Name); });

/// Signed OCM images against the keys the image parser is built with: the
/// line the check gives and whether the run would stop there.
struct SIGNED_CASE {
  const char *Name;
  std::function<std::vector<UINT8>()> Image;
  bool KeyGiven;
  const char *Line;
  bool Stops;
};

std::vector<UINT8> SignedOcm(const char *Seed) { return Signed(ZoneImage(0x10203, 300), Seed); }

const std::string SIGNED_OCM_FIELDS =
    "OCM: OrvUpdateComponent\\ocm.hex, format 2, version 0x0000000000010203, payload 300 bytes, payload CRC "
    "good, security counter 3, ";

const SIGNED_CASE SIGNED_CASES[] = {
    {"SignedByTheTrustedKey", [] { return SignedOcm("maker"); }, true, "", false},
    {"NoKeyGiven", [] { return SignedOcm("maker"); }, false, "", false},
    {"SignedByAnotherKey", [] { return SignedOcm("someone else"); }, true,
     "error: OCM: HexImage: OrvUpdateComponent\\ocm.hex: ", true},
    {"Unsigned", [] { return ZoneImage(0x10203, 300); }, true,
     "error: OCM: HexImage: OrvUpdateComponent\\ocm.hex: ", true},
    // A payload byte changed and the payload CRC made right again: only the
    // signature can tell.
    {"PayloadChangedCrcRecomputed",
     [] {
       std::vector<UINT8> Image = SignedOcm("maker");
       Image[IMAGE_HEADER_SIZE + 10] ^= 0x40;
       BuildImageHeader(Image.data(), 0x10203, Image.data() + IMAGE_HEADER_SIZE, 300);
       Image[IMAGE_FORMAT_OFFSET] = IMAGE_FORMAT_2;  // the header stays format 2, signed
       Image[IMAGE_FLAGS_OFFSET] = IMAGE_FLAG_SIGNED;
       return Image;
     },
     true, "error: OCM: HexImage: OrvUpdateComponent\\ocm.hex: ", true},
};

void PrintTo(const SIGNED_CASE &Case, std::ostream *Out) { *Out << Case.Name; }

class SIGNED_IMAGE : public ORVSTICK, public ::testing::WithParamInterface<SIGNED_CASE> {};

TEST_P(SIGNED_IMAGE, IsTakenOnlyWhenSignedByATrustedKey) {
  const SIGNED_CASE &Case = GetParam();
  FILES Files = CleanVolume();
  Files["OrvUpdateComponent/ocm.hex"] = HexOf(Case.Image());
  // Without a key table the parser's keys cannot be read, and no key is given.
  if (!Case.KeyGiven) Files["OrvUpdateComponent/OrvHexImage.efi"] = DRIVER;
  CHECK_COUNTS Counts{};
  const std::string Report = Check(WriteFolder(Files), &Counts);
  EXPECT_EQ(Counts.Errors > 0, Case.Stops) << Report;
  if (Case.Stops) {
    EXPECT_NE(Report.find(std::string("\n") + Case.Line), std::string::npos) << Report;
    EXPECT_NE(Report.find("; the run stops at \"Load OCM Image error, 1A\" (the image is "), std::string::npos) << Report;
  } else {
    const std::string Verdict = Case.KeyGiven ? "signature verifies" : "signature not checked (no trusted key given)";
    EXPECT_NE(Report.find("\n" + SIGNED_OCM_FIELDS + "signed by key "), std::string::npos) << Report;
    EXPECT_NE(Report.find("..., " + Verdict + "\n"), std::string::npos) << Report;
  }
}

INSTANTIATE_TEST_SUITE_P(Signatures, SIGNED_IMAGE, ::testing::ValuesIn(SIGNED_CASES),
                         [](const auto &Info) { return std::string(Info.param.Name); });

/// A manifest naming host files written beside it.
std::string WriteManifest(const fs::path &Dir, const std::string &Extra) {
  for (const auto &[Name, Data] : std::map<std::string, std::string>{
           {"OrvUpdate.efi", APPLICATION}, {"OrvInfo.efi", APPLICATION}, {"OrvHexImage.efi", ParserWithKeys({"maker"})},
           {"OrvFlashSim.efi", DRIVER}, {"OrvPathSim.efi", DRIVER}, {"ocm.hex", ZoneImageHex(2, 100)}}) {
    std::ofstream(Dir / Name, std::ios::binary) << Data;
  }
  const fs::path Manifest = Dir / "stick.toml";
  std::ofstream(Manifest) << "target = \"Board\"\n"
                             "[applications]\nOrvUpdate = \"OrvUpdate.efi\"\nOrvInfo = \"OrvInfo.efi\"\n"
                             "[components]\nImageParser = \"OrvHexImage.efi\"\n"
                             "FlashInterface = \"OrvFlashSim.efi\"\nDevicePath = \"OrvPathSim.efi\"\n"
                             "[images]\nOCM = \"ocm.hex\"\ncustomer = \"none\"\n"
                          << Extra;
  return Manifest.string();
}

TEST_F(ORVSTICK, MakeLaysOutAVolumeTheCheckPassesAndKeepsAForeignScript) {
  const MANIFEST Manifest = ReadManifest(WriteManifest(Dir, "[flags]\nForceUpdate = true\n"
                                                            "[station]\narguments = [\"0\", \"-cb\"]\n"));
  std::ostringstream Report;
  const CHECK_COUNTS Counts = MakeVolume(Manifest, (Dir / "out").string(), false, REPORT_STYLE::Text, Report);
  EXPECT_EQ(Counts.Errors + Counts.Warnings, 0) << Report.str();
  EXPECT_NE(Report.str().find("\nForceUpdate: on (as -f)\n"), std::string::npos);
  EXPECT_NE(Report.str().find("\ncustomer: none (\"customer zone is set not to update\")\n"), std::string::npos);
  std::ifstream Script(Dir / "out" / "startup.nsh");
  const std::string Text((std::istreambuf_iterator<char>(Script)), std::istreambuf_iterator<char>());
  EXPECT_NE(Text.find("\r\nOrvUpdate.efi 0 -cb >a OrvLog\\step.txt\r\n"), std::string::npos);
  EXPECT_NE(Text.find("\r\nOrvInfo.efi -v 0 -cb >a OrvLog\\step.txt\r\n"), std::string::npos);

  // Made again over its own script: fine. Over an operator's script: refused.
  EXPECT_NO_THROW(MakeVolume(Manifest, (Dir / "out").string(), false, REPORT_STYLE::Text, Report));
  std::ofstream(Dir / "out" / "startup.nsh") << "echo mine\n";
  EXPECT_THROW(MakeVolume(Manifest, (Dir / "out").string(), false, REPORT_STYLE::Text, Report), TOOL_FAILURE);
  std::ifstream Kept(Dir / "out" / "startup.nsh");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(Kept)), std::istreambuf_iterator<char>()), "echo mine\n");
}

/// Every file under Root with its bytes (FAT images: the image file itself).
std::map<std::string, std::string> Snapshot(const fs::path &Root) {
  std::map<std::string, std::string> Files;
  for (const auto &Entry : fs::recursive_directory_iterator(Root)) {
    std::ifstream In(Entry.path(), std::ios::binary);
    Files[fs::relative(Entry.path(), Root).string()] =
        Entry.is_directory() ? "<folder>" : std::string((std::istreambuf_iterator<char>(In)), {});
  }
  return Files;
}

// A make that fails part-way (a [files] path through a file it wrote) leaves
// the output as it was: absent, or an earlier volume byte for byte.
TEST_F(ORVSTICK, FailedMakeLeavesNothingBehind) {
  const MANIFEST Good = ReadManifest(WriteManifest(Dir, ""));
  const MANIFEST Bad = ReadManifest(WriteManifest(Dir, "[files]\n'OrvUpdate.efi/inside' = \"ocm.hex\"\n"));
  for (const char *Name : {"new", "new.img", "old", "old.img"}) {
    SCOPED_TRACE(Name);
    const fs::path Out = Dir / "outs" / Name;
    fs::create_directories(Out.parent_path());
    std::ostringstream Report;
    std::ofstream(Dir / "ocm.hex") << ZoneImageHex(2, 100);
    if (std::string(Name).rfind("old", 0) == 0) MakeVolume(Good, Out.string(), false, REPORT_STYLE::Text, Report);
    // The failing make has a new image to write before it fails.
    std::ofstream(Dir / "ocm.hex") << ZoneImageHex(3, 100);
    const auto Before = Snapshot(Out.parent_path());
    EXPECT_THROW(MakeVolume(Bad, Out.string(), false, REPORT_STYLE::Text, Report), TOOL_FAILURE);
    EXPECT_EQ(Snapshot(Out.parent_path()), Before);
  }
}

// OrvCheck.efi may be laid out beside the others, and a component the
// board's firmware has is "none": no driver file, the settings say none.
TEST_F(ORVSTICK, MakeTakesOrvCheckAndAComponentOfTheFirmware) {
  std::ofstream(Dir / "OrvCheck.efi", std::ios::binary) << APPLICATION;
  std::string Manifest = ReadHostFile(WriteManifest(Dir, ""));
  Manifest.replace(Manifest.find("OrvInfo = "), 0, "OrvCheck = \"OrvCheck.efi\"\n");
  Manifest.replace(Manifest.find("\"OrvPathSim.efi\""), 16, "\"none\"");
  std::ofstream(Dir / "stick.toml") << Manifest;
  std::ostringstream Report;
  const CHECK_COUNTS Counts =
      MakeVolume(ReadManifest((Dir / "stick.toml").string()), (Dir / "out").string(), false, REPORT_STYLE::Text, Report);
  EXPECT_EQ(Counts.Errors + Counts.Warnings, 0) << Report.str();
  EXPECT_NE(Report.str().find("\nOrvCheck.efi: PE32+ x64 EFI application\n"), std::string::npos) << Report.str();
  EXPECT_NE(ReadHostFile((Dir / "out" / "OrvUpdateComponent" / "OrvUpdateSettings.ini").string())
                .find("\r\nDevicePath = none\r\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(Dir / "out" / "OrvUpdateComponent" / "OrvPathSim.efi"));
}

TEST_F(ORVSTICK, ManifestMistakesAreRefusedWithTheirLine) {
  const std::pair<const char *, const char *> CASES[] = {
      {"[station]\narguments = [\"-o\", \"x.hex\"]\n", "line 13: station argument \"-o\" is not one of"},
      {"[flags]\nForceUpdat = true\n", "line 13: unknown key ForceUpdat in [flags]"},
      {"[flags]\nReduceFlashProcessFlag = \"12\"\n", "line 13: ReduceFlashProcessFlag must be"},
      {"[files]\n'startup.nsh' = \"ocm.hex\"\n", "line 13: files: \"startup.nsh\" is not a path"},
  };
  for (const auto &[Extra, Expected] : CASES) {
    try {
      ReadManifest(WriteManifest(Dir, Extra));
      ADD_FAILURE() << "accepted: " << Extra;
    } catch (const TOOL_FAILURE &Failure) {
      EXPECT_NE(std::string(Failure.what()).find(Expected), std::string::npos) << Failure.what();
    }
  }
}

/// The built images against objdump's reading of the same headers.
TEST(PE_HEADERS_ORACLE, BuiltImagesReadAsObjdumpReadsThem) {
  for (const char *Name : {"OrvUpdate.efi", "OrvInfo.efi", "OrvSimPkg/OrvHexImage.efi", "OrvSimPkg/OrvFlashSim.efi"}) {
    const std::string Path = std::string(ORV_BUILD_DIR) + "/" + Name;
    std::ifstream In(Path, std::ios::binary);
    ASSERT_TRUE(In) << Path;
    const std::string Data((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    const PE_HEADERS Headers = ReadPeHeaders(Data);
    FILE *Pipe = ::popen(("objdump -p '" + Path + "'").c_str(), "r");
    ASSERT_NE(Pipe, nullptr);
    std::string Dump;
    char Buffer[4096];
    while (size_t Got = std::fread(Buffer, 1, sizeof(Buffer), Pipe)) Dump.append(Buffer, Got);
    ::pclose(Pipe);
    char Subsystem[32];
    std::snprintf(Subsystem, sizeof(Subsystem), "Subsystem\t\t%08x", Headers.Subsystem);
    EXPECT_NE(Dump.find("file format pei-x86-64"), std::string::npos) << Name;
    EXPECT_EQ(Headers.Machine, PE_MACHINE_X64) << Name;
    EXPECT_NE(Dump.find("(PE32+)"), std::string::npos) << Name;
    EXPECT_EQ(Headers.Magic, PE_MAGIC_PE32_PLUS) << Name;
    EXPECT_NE(Dump.find(Subsystem), std::string::npos) << Name << "\n" << Dump;
    // Every cut before the Subsystem field is refused.
    for (size_t Cut : {size_t{0}, size_t{0x3F}, size_t{0x80}, size_t{0x98 + 69}}) {
      EXPECT_FALSE(ReadPeHeaders(Data.substr(0, Cut)).Valid) << Name << " cut at " << Cut;
    }
  }
}

}  // namespace
