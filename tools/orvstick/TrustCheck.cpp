/** @file
  The trust checks of a volume: which keys its image parser holds, what the
  board's ICs hold and can take, and whether each zone image passes both.
**/

#include "TrustCheck.h"

#include <cstdio>

#include "ImageSignHost.h"

namespace {

constexpr uint64_t CHIP_VERSION_MAX = 0xFFFFFFFFu;  ///< an IC reports a 32-bit version

std::string KeyList(const std::vector<IMAGE_PUBLIC_KEY> &Keys) {
  std::string List;
  for (const IMAGE_PUBLIC_KEY &Key : Keys) {
    List += (List.empty() ? "" : ", ") + ShortKeyId(Key.KeyId) + (IsDemoKey(Key.KeyId) ? " (the demo key)" : "");
  }
  return List;
}

bool Holds(const std::vector<IMAGE_PUBLIC_KEY> &Keys, const UINT8 *KeyId) {
  for (const IMAGE_PUBLIC_KEY &Key : Keys) {
    if (HexText(Key.KeyId, IMAGE_KEY_ID_SIZE) == HexText(KeyId, IMAGE_KEY_ID_SIZE)) return true;
  }
  return false;
}

/// The image's signer as messages name it.
std::string Signer(const ZONE_IMAGE_REPORT &Image) {
  return Image.Signed ? "signed by key " + Image.KeyId.substr(0, 16) + "..." : "unsigned";
}

std::string IcList(const std::vector<unsigned> &Ics) {
  std::string List;
  for (unsigned Ic : Ics) List += (List.empty() ? "" : ", ") + std::to_string(Ic);
  return (Ics.size() == 1 ? "IC " : "ICs ") + List;
}

/// The image against one IC: its key, and the bank it goes into.
/// The update's words for a product refusal (its Print of "%x" is upper-case
/// hexadecimal without leading zeros).
std::string PrintedProducts(uint32_t Image, uint32_t Ic) {
  char Text[64];
  std::snprintf(Text, sizeof(Text), "signed for product %X, IC is product %X", static_cast<unsigned>(Image),
                static_cast<unsigned>(Ic));
  return Text;
}

void CheckImageOnIc(const std::string &Zone, const ZONE_IMAGE_REPORT &Image, const BOARD &Board, const BOARD_IC &Ic,
                    REPORT &Report) {
  const std::string Where = Board.Label + ": IC " + std::to_string(Ic.Index);
  const bool Ocm = Zone == "OCM";
  const uint32_t Bank = Ocm ? Ic.OcmBankSize : Ic.CustomerBankSize;
  if (Image.ImageSize > Bank) {
    Report.Fail(Where + ": the " + Zone + " image of " + std::to_string(Image.ImageSize) + " bytes does not fit its " +
                Zone + " bank of " + std::to_string(Bank) + " bytes; the bank would be erased and the write fail");
  }
  if (!Ic.Key) return;
  const std::string IcKey = ShortKeyId(Ic.Key->KeyId);
  const std::string Refused = "; the IC refuses it before any erase (\"IC " + std::to_string(Ic.Index) + " " + Zone +
                              " image refused: ";
  if (!Image.Signed || Image.KeyId != HexText(Ic.Key->KeyId, IMAGE_KEY_ID_SIZE)) {
    Report.Fail(Where + " holds key " + IcKey + " (PublicKey " + Ic.KeyPath + "), but the " + Zone + " image is " +
                Signer(Image) + Refused + (Image.Signed ? "signed by a key the IC does not hold" : "not signed") +
                "\")");
    return;
  }
  const uint8_t WantZone = Ocm ? IMAGE_ZONE_OCM : IMAGE_ZONE_CUSTOMER;
  if (Image.Zone != WantZone) {
    Report.Fail(Where + ": the " + Zone + " image is signed for zone " + ZoneName(Image.Zone) + ", the IC takes only " +
                ZoneName(WantZone) + " images there" + Refused + "signed for the other zone\")");
  }
  if (Image.Zone != IMAGE_ZONE_NONE && Image.Product != Ic.Product) {
    Report.Fail(Where + " is product " + ProductHex(Ic.Product) + " (Product in " + Board.Label + "), but the " + Zone +
                " image is signed for product " + ProductHex(Image.Product) + Refused + PrintedProducts(Image.Product, Ic.Product) + "\")");
  }
}

std::string KeyIdJson(const std::optional<IMAGE_PUBLIC_KEY> &Key) {
  return Key ? JsonString(HexText(Key->KeyId, IMAGE_KEY_ID_SIZE)) : "null";
}

std::string ParserKeysJson(const std::string &Name, const PARSER_KEYS &Parser) {
  const char *Source = Parser.Source == PARSER_KEYS::SOURCE::Table     ? "table"
                       : Parser.Source == PARSER_KEYS::SOURCE::PemText ? "pem-text"
                                                                       : "unknown";
  std::string Ids;
  for (const IMAGE_PUBLIC_KEY &Key : Parser.Keys) Ids += (Ids.empty() ? "" : ", ") + KeyIdJson(Key);
  return JSON_OBJECT().Text("file", Name).Text("source", Source).Raw("key_ids", "[" + Ids + "]")
      .Raw("demo", Parser.Demo ? "true" : "false").Json();
}

std::string BoardJson(const BOARD &Board) {
  std::string Ics;
  for (const BOARD_IC &Ic : Board.Ics) {
    Ics += (Ics.empty() ? "" : ", ") + JSON_OBJECT()
                                           .Number("index", Ic.Index)
                                           .Number("ocm_bank_size", Ic.OcmBankSize)
                                           .Number("customer_bank_size", Ic.CustomerBankSize)
                                           .Raw("key_file", Ic.KeyPath.empty() ? "null" : JsonString(Ic.KeyPath))
                                           .Raw("key_id", KeyIdJson(Ic.Key))
                                           .Json();
  }
  return JSON_OBJECT().Text("description", Board.Label).Raw("ics", "[" + Ics + "]").Json();
}

}  // namespace

IMAGE_KEYS CheckParserKeys(const std::string &Name, const std::string &Driver,
                           const std::vector<EXPECTED_KEY> &Expected, REPORT &Report) {
  const PARSER_KEYS Parser = ReadParserKeys(Driver);
  Report.Field("parser_keys", ParserKeysJson(Name, Parser));
  if (Parser.Source == PARSER_KEYS::SOURCE::Unknown) {
    Report.Warn(Name + ": " + (Parser.Problem.empty() ? "no key table found" : Parser.Problem) +
                "; the keys it checks signatures with cannot be read" +
                (Expected.empty() ? ", so zone image signatures are not checked"
                                  : ", so the keys given (--key, trusted_keys) stand in for them"));
    return ExpectedImageKeys(Expected);
  }
  if (Parser.Keys.empty()) {
    Report.Warn(Name + " was built with no key: it takes any zone image, signed or not");
  } else {
    Report.Say(Name + ": keys built in: " + KeyList(Parser.Keys));
  }
  if (Parser.Demo) {
    Report.Warn(Name + " was built with the demo key: anyone can sign images it takes (build it with the maker's "
                       "key, ORV_TRUSTED_KEYS)");
  }
  for (const EXPECTED_KEY &Key : Expected) {
    if (!Holds(Parser.Keys, Key.Key.KeyId)) {
      Report.Warn(Key.File + " (key " + ShortKeyId(Key.Key.KeyId) + ") is not built into " + Name +
                  "; the keys built into the parser decide, not the keys given");
    }
  }
  return IMAGE_KEYS{Parser.Keys, true};
}

IMAGE_KEYS ExpectedImageKeys(const std::vector<EXPECTED_KEY> &Expected) {
  IMAGE_KEYS Keys{{}, !Expected.empty()};
  for (const EXPECTED_KEY &Key : Expected) Keys.Keys.push_back(Key.Key);
  return Keys;
}

std::vector<BOARD> CheckBoards(const std::vector<BOARD_SOURCE> &Sources, REPORT &Report) {
  std::vector<BOARD> Boards;
  if (Sources.empty()) {
    Report.Say("board: no description (OrvSim\\FlashSim.ini or --board): the ICs' keys and bank sizes are not "
               "checked");
  }
  for (const BOARD_SOURCE &Source : Sources) {
    BOARD Board = ReadBoard(Source);
    for (const std::string &Problem : Board.Problems) Report.Fail(Problem);
    std::vector<unsigned> Open;
    std::vector<unsigned> Demo;
    for (const BOARD_IC &Ic : Board.Ics) {
      if (Ic.KeyPath.empty()) Open.push_back(Ic.Index);
      if (Ic.Key && IsDemoKey(Ic.Key->KeyId)) Demo.push_back(Ic.Index);
    }
    Report.Say("board: " + Board.Label + ", " + std::to_string(Board.Ics.size()) + " ICs");
    Report.Element("boards", BoardJson(Board));
    if (!Open.empty()) {
      Report.Warn(Board.Label + ": " + IcList(Open) + (Open.size() == 1 ? " enforces" : " enforce") +
                  " nothing (no PublicKey): any image runs, and a forced downgrade succeeds");
    }
    if (!Demo.empty()) {
      Report.Warn(Board.Label + ": " + IcList(Demo) + (Demo.size() == 1 ? " holds" : " hold") +
                  " the demo key: anyone can sign images " + (Demo.size() == 1 ? "it runs" : "they run"));
    }
    Boards.push_back(std::move(Board));
  }
  return Boards;
}

void CheckImageTrust(const std::string &Zone, const std::string &Path, const std::string &Stops,
                     const ZONE_IMAGE_REPORT &Image, const IMAGE_KEYS &Keys, const std::vector<BOARD> &Boards,
                     REPORT &Report) {
  if (Image.Version > CHIP_VERSION_MAX) {
    char Version[128];
    std::snprintf(Version, sizeof(Version), "version 0x%llX does not fit the 32 bits an IC keeps (it would report 0x%X)",
                  static_cast<unsigned long long>(Image.Version), static_cast<unsigned>(Image.Version & CHIP_VERSION_MAX));
    Report.Fail(Zone + ": " + Version + ", so every run would update it again");
  }
  if (!Keys.Keys.empty() && Image.Signature != SIGN_STATUS::Ok) {
    Report.Fail(Zone + ": HexImage: " + Path + ": " + SignStatusText(Image.Signature) + "; the run stops at \"" +
                Stops + "\" (the image is " + Signer(Image) + ", the image parser holds " + KeyList(Keys.Keys) +
                ")");
  }
  for (const BOARD &Board : Boards) {
    for (const BOARD_IC &Ic : Board.Ics) CheckImageOnIc(Zone, Image, Board, Ic, Report);
  }
}
