/** @file
  Parser keys and board descriptions.
**/

#include "Trust.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>

#include <Protocol/OrvFlashProtocol.h>

#include "ImageSignHost.h"
#include "PemKey.h"
#include "SimConfig.h"
#include "TrustedKeyTable.h"
#include "Volume.h"

namespace fs = std::filesystem;

namespace {

/// SHA-256 of the published demo key's SubjectPublicKeyInfo.
constexpr const char *DEMO_KEY_ID = "87b4ed45dc0acf7f2ed4845215882cd0b4fcbf7dec5ba7a6d57c41508266fbee";

constexpr const char *PEM_PUBLIC_BEGIN = "-----BEGIN PUBLIC KEY-----";
/// Where a board disk (made from a description) or a description folder
/// holds the description, in the order looked for.
constexpr const char *BOARD_DISK_INIS[] = {"OrvBoard\\FlashSim.ini", "FlashSim.ini"};
/// Largest board description or key file read.
constexpr uint64_t BOARD_FILE_MAX = 1u << 20;

uint32_t ReadLe32(const std::string &Data, size_t At) {
  uint32_t Value = 0;
  for (size_t Index = 0; Index < 4; Index++) Value |= uint32_t(uint8_t(Data[At + Index])) << (8 * Index);
  return Value;
}

/// The table at Offset: its keys, or a problem.
void ReadTable(const std::string &Driver, size_t Offset, PARSER_KEYS *Keys) {
  if (Driver.size() - Offset < sizeof(ORV_TRUSTED_KEY_TABLE)) {
    Keys->Problem = "the key table is cut short";
    return;
  }
  const uint32_t Count = ReadLe32(Driver, Offset + offsetof(ORV_TRUSTED_KEY_TABLE, Count));
  const uint32_t Flags = ReadLe32(Driver, Offset + offsetof(ORV_TRUSTED_KEY_TABLE, Flags));
  if (Count > ORV_TRUSTED_KEYS_MAX) {
    Keys->Problem = "the key table claims " + std::to_string(Count) + " keys, at most " +
                    std::to_string(ORV_TRUSTED_KEYS_MAX) + " fit";
    return;
  }
  const size_t Points = Offset + offsetof(ORV_TRUSTED_KEY_TABLE, Points);
  for (uint32_t Index = 0; Index < Count; Index++) {
    const auto *Point = reinterpret_cast<const UINT8 *>(Driver.data() + Points + Index * ORV_TRUSTED_KEY_POINT_SIZE);
    if (Point[0] != 0x04) {
      Keys->Problem = "key " + std::to_string(Index) + " of the key table is not an uncompressed point";
      Keys->Keys.clear();
      return;
    }
    IMAGE_PUBLIC_KEY Key{};
    MakePublicKey(Point, &Key);
    Keys->Keys.push_back(Key);
    Keys->Demo = Keys->Demo || IsDemoKey(Key.KeyId);
  }
  Keys->Demo = Keys->Demo || (Flags & ORV_TRUSTED_KEYS_FLAG_DEMO_KEY) != 0;
  Keys->Source = PARSER_KEYS::SOURCE::Table;
}

/// Public keys embedded as PEM text (each up to its terminating zero byte).
void ReadPemTexts(const std::string &Driver, PARSER_KEYS *Keys) {
  for (size_t At = Driver.find(PEM_PUBLIC_BEGIN); At != std::string::npos;
       At = Driver.find(PEM_PUBLIC_BEGIN, At + 1)) {
    const size_t End = std::min(Driver.find('\0', At), Driver.size());
    IMAGE_PUBLIC_KEY Key{};
    if (ReadPublicKeyPem(Driver.data() + At, End - At, &Key) != PEM_ERROR::Ok) continue;
    Keys->Keys.push_back(Key);
    Keys->Demo = Keys->Demo || IsDemoKey(Key.KeyId);
  }
  if (!Keys->Keys.empty()) Keys->Source = PARSER_KEYS::SOURCE::PemText;
}

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Text;
}

/// The IC's key: read and decoded, or a problem that stops IcInit.
void ReadIcKey(const BOARD_SOURCE &Source, BOARD_IC *Ic, std::vector<std::string> *Problems) {
  const std::string Where = Source.Label + ": IC " + std::to_string(Ic->Index) + ": PublicKey " + Ic->KeyPath;
  std::optional<std::string> Pem = Source.ReadPath(Ic->KeyPath);
  if (!Pem) {
    Problems->push_back(Where + " is missing; IcInit stops at \"FlashSim: cannot open " + Ic->KeyPath + ", E\"");
    return;
  }
  IMAGE_PUBLIC_KEY Key{};
  const PEM_ERROR Error = ReadPublicKeyPem(Pem->data(), Pem->size(), &Key);
  if (Error != PEM_ERROR::Ok) {
    Problems->push_back(Where + ": " + PemErrorText(Error) + "; IcInit stops");
    return;
  }
  Ic->Key = Key;
}

}  // namespace

PARSER_KEYS ReadParserKeys(const std::string &Driver) {
  PARSER_KEYS Keys;
  const size_t Table = Driver.find(std::string(ORV_TRUSTED_KEYS_MAGIC, sizeof(ORV_TRUSTED_KEYS_MAGIC)));
  if (Table != std::string::npos) {
    ReadTable(Driver, Table, &Keys);
    return Keys;
  }
  ReadPemTexts(Driver, &Keys);
  return Keys;
}

bool IsDemoKey(const UINT8 *KeyId) { return HexText(KeyId, IMAGE_KEY_ID_SIZE) == DEMO_KEY_ID; }

std::string ShortKeyId(const UINT8 *KeyId) { return HexText(KeyId, IMAGE_KEY_ID_SIZE).substr(0, 16) + "..."; }

BOARD ReadBoard(const BOARD_SOURCE &Source) {
  BOARD Board{Source.Label, {}, {}};
  SIM_CONFIG Config{};
  TEXT_ERROR Error{};
  if (EFI_ERROR(ParseSimConfig(Source.Text.data(), Source.Text.size(), &Config, &Error))) {
    Board.Problems.push_back(Source.Label + (Error.Line != 0 ? " line " + std::to_string(Error.Line) : "") + ": " +
                             Error.Reason + "; IcInit stops");
    return Board;
  }
  for (unsigned Index = 0; Index < Config.IcCount; Index++) {
    const SIM_IC_CONFIG &Sim = Config.Ic[Index];
    BOARD_IC Ic{Index,
                std::min(Sim.BankSize[SimBankIndex(ZONE_OCM, 0)], Sim.BankSize[SimBankIndex(ZONE_OCM, 1)]),
                std::min(Sim.BankSize[SimBankIndex(ZONE_CUSTOMER, 0)], Sim.BankSize[SimBankIndex(ZONE_CUSTOMER, 1)]),
                Sim.PublicKey,
                Sim.Product,
                std::nullopt};
    if (!Ic.KeyPath.empty()) ReadIcKey(Source, &Ic, &Board.Problems);
    Board.Ics.push_back(Ic);
  }
  return Board;
}

BOARD_SOURCE OpenBoardSource(const std::string &Location) {
  std::error_code Code;
  if (fs::is_regular_file(Location, Code) && Lower(fs::path(Location).extension().string()) == ".ini") {
    // A description of its own: the files it names are looked up beside it,
    // by the path written, else by their file name.
    const fs::path Folder = fs::absolute(Location, Code).parent_path();
    auto ReadPath = [Folder](const std::string &Path) -> std::optional<std::string> {
      std::string Slashed = NormalVolumePath(Path);
      std::replace(Slashed.begin(), Slashed.end(), '\\', '/');
      if (Slashed.empty()) return std::nullopt;
      for (const fs::path &Host : {Folder / Slashed, Folder / fs::path(Slashed).filename()}) {
        std::error_code Missing;
        if (fs::is_regular_file(Host, Missing)) return ReadHostFile(Host.string());
      }
      return std::nullopt;
    };
    return BOARD_SOURCE{Location, ReadHostFile(Location), ReadPath};
  }
  std::shared_ptr<const VOLUME> Volume = VOLUME::Open(Location);
  std::optional<BOARD_SOURCE> Source;
  for (const char *Ini : BOARD_DISK_INIS) {
    if (Volume->Find(Ini) != nullptr) {
      Source = VolumeBoardSource(*Volume, Location + ": " + Ini, Ini);
      break;
    }
  }
  if (!Source) throw TOOL_FAILURE(Location + ": no OrvBoard\\FlashSim.ini (a board disk) or FlashSim.ini (a description)");
  // The reader keeps the volume it reads from.
  Source->ReadPath = [Volume, Read = Source->ReadPath](const std::string &Path) { return Read(Path); };
  return *Source;
}

std::optional<BOARD_SOURCE> VolumeBoardSource(const VOLUME &Volume, const std::string &Label, const std::string &Ini) {
  auto ReadFile = [&Volume](const std::string &Path) -> std::optional<std::string> {
    const VOLUME_ENTRY *Entry = Volume.Find(Path);
    std::string Data;
    if (Entry == nullptr || Entry->Folder || !Volume.Read(*Entry, BOARD_FILE_MAX, &Data)) return std::nullopt;
    return Data;
  };
  std::optional<std::string> Text = ReadFile(Ini);
  if (!Text) return std::nullopt;
  // A path as written on the volume, else the file of that name beside the
  // description (as a board disk is made from one).
  const std::string Folder = Ini.find('\\') == std::string::npos ? "" : Ini.substr(0, Ini.rfind('\\') + 1);
  auto ReadPath = [ReadFile, Folder](const std::string &Path) -> std::optional<std::string> {
    if (std::optional<std::string> Data = ReadFile(Path)) return Data;
    const std::string Normal = NormalVolumePath(Path);
    return ReadFile(Folder + Normal.substr(Normal.rfind('\\') == std::string::npos ? 0 : Normal.rfind('\\') + 1));
  };
  return BOARD_SOURCE{Label, *Text, ReadPath};
}
