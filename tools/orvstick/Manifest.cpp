/** @file
  Manifest reading (toml++) and its checks: everything make writes into the
  settings must survive the application's lookup as written.
**/

#include "Manifest.h"

#include <toml++/toml.h>

#include <cctype>
#include <filesystem>
#include <set>

#include "AppSettings.h"
#include "Volume.h"

namespace fs = std::filesystem;

namespace {

class READER {
 public:
  READER(std::string Path, const toml::table &Root) : Path_(std::move(Path)), Root_(Root) {}

  [[noreturn]] void Refuse(const toml::node *Node, const std::string &Reason) const {
    std::string Where = Path_;
    if (Node != nullptr && Node->source().begin.line != 0) Where += " line " + std::to_string(Node->source().begin.line);
    throw TOOL_FAILURE(Where + ": " + Reason);
  }

  /// A table's keys must all be known: a misspelt key is refused, not ignored.
  void OnlyKeys(const toml::table &Table, const std::string &Name, std::initializer_list<const char *> Known) const {
    for (const auto &[Key, Node] : Table) {
      bool Found = false;
      for (const char *Wanted : Known) Found = Found || Key.str() == Wanted;
      if (!Found) Refuse(&Node, "unknown key " + std::string(Key.str()) + (Name.empty() ? "" : " in [" + Name + "]"));
    }
  }

  const toml::table *Table(const char *Name, bool Required) const {
    const toml::node *Node = Root_.get(Name);
    if (Node == nullptr) {
      if (Required) Refuse(nullptr, std::string("no [") + Name + "] table");
      return nullptr;
    }
    if (!Node->is_table()) Refuse(Node, std::string(Name) + " must be a table");
    return Node->as_table();
  }

  std::string String(const toml::table &Table, const std::string &Where, const char *Key, bool Required) const {
    const toml::node *Node = Table.get(Key);
    if (Node == nullptr) {
      if (Required) Refuse(&Table, "no " + Where + Key);
      return {};
    }
    if (!Node->is_string()) Refuse(Node, Where + Key + " must be a string");
    return std::string(Node->as_string()->get());
  }

  /// A list of strings, Where naming it in the refusal; empty when absent.
  std::vector<std::string> StringList(const toml::node *Node, const std::string &Where) const {
    std::vector<std::string> Out;
    if (Node == nullptr) return Out;
    const toml::array *Array = Node->as_array();
    if (Array == nullptr || Array->empty()) Refuse(Node, Where + " must be a list of strings");
    for (const toml::node &Element : *Array) {
      if (!Element.is_string()) Refuse(Node, Where + " must be a list of strings");
      Out.emplace_back(Element.as_string()->get());
    }
    return Out;
  }

  bool Bool(const toml::table &Table, const char *Key) const {
    const toml::node *Node = Table.get(Key);
    if (Node == nullptr) return false;
    if (!Node->is_boolean()) Refuse(Node, std::string(Key) + " must be true or false");
    return Node->as_boolean()->get();
  }

  /// A host file named relative to the manifest's folder; it must exist.
  std::string HostFile(const toml::table &Table, const std::string &Where, const char *Key) const {
    const std::string Name = String(Table, Where, Key, true);
    const fs::path Host = fs::path(Path_).parent_path() / Name;
    if (!fs::is_regular_file(Host)) Refuse(Table.get(Key), Where + Key + ": no file " + Host.string());
    return Host.string();
  }

  /// A file name written into the settings: one word the lookup reads back
  /// whole, within the application's limit.
  void SettingsName(const toml::table &Table, const char *Key, const std::string &Name, size_t Limit) const {
    for (unsigned char C : Name) {
      if (C <= ' ' || C >= 0x7F || C == '=' || C == '#' || C == '[' || C == ']') {
        Refuse(Table.get(Key), std::string(Key) + ": \"" + Name +
                                   "\" cannot stand in the settings (blanks, =, #, [ and ] are read apart)");
      }
    }
    if (Name.empty() || Name.size() > Limit) {
      Refuse(Table.get(Key), std::string(Key) + ": \"" + Name + "\" must have 1 to " + std::to_string(Limit) +
                                 " characters");
    }
  }

 private:
  std::string Path_;
  const toml::table &Root_;
};

bool IsDeviceAddress(const std::string &Text) {
  if (Text.empty() || Text.size() > 2) return false;
  for (char C : Text) {
    if (!std::isxdigit(static_cast<unsigned char>(C))) return false;
  }
  return std::stoul(Text, nullptr, 16) != 0;
}

/// The station's arguments: what both applications take and that selects
/// ICs or options; file overrides and read mode belong to the settings and
/// to an operator at the prompt.
void CheckArguments(const READER &Reader, const toml::node *Node, const std::vector<std::string> &Arguments) {
  for (size_t Index = 0; Index < Arguments.size(); Index++) {
    const std::string &Argument = Arguments[Index];
    if (Argument.size() == 1 && std::isdigit(static_cast<unsigned char>(Argument[0]))) continue;
    if (Argument == "-a" || Argument == "-f" || Argument == "-cb") continue;
    if (Argument == "-d" && Index + 1 < Arguments.size() && IsDeviceAddress(Arguments[Index + 1])) {
      Index++;
      continue;
    }
    Reader.Refuse(Node, "station argument \"" + Argument +
                            "\" is not one of 0 to 9, -a, -f, -cb, -d <address> (zone images come from [images])");
  }
}

void ReadApplications(const READER &Reader, MANIFEST *Manifest) {
  const toml::table &Applications = *Reader.Table("applications", true);
  Reader.OnlyKeys(Applications, "applications", {"OrvUpdate", "OrvInfo", "OrvCheck"});
  Manifest->OrvUpdate = Reader.HostFile(Applications, "applications.", "OrvUpdate");
  Manifest->OrvInfo = Reader.HostFile(Applications, "applications.", "OrvInfo");
  if (Applications.get("OrvCheck") != nullptr) {
    Manifest->OrvCheck = Reader.HostFile(Applications, "applications.", "OrvCheck");
  }
}

void ReadComponents(const READER &Reader, MANIFEST *Manifest) {
  const toml::table &Components = *Reader.Table("components", true);
  Reader.OnlyKeys(Components, "components", {"ImageParser", "FlashInterface", "DevicePath"});
  for (const char *Key : {"ImageParser", "FlashInterface", "DevicePath"}) {
    // "none": the board's firmware has the protocol, no driver file is laid out.
    if (Reader.String(Components, "components.", Key, true) == "none") {
      Manifest->Components.emplace_back(Key, std::nullopt);
      continue;
    }
    std::string Host = Reader.HostFile(Components, "components.", Key);
    Reader.SettingsName(Components, Key, fs::path(Host).filename().string(), AppLimits().ComponentValueMax);
    Manifest->Components.emplace_back(Key, Host);
  }
}

void ReadImages(const READER &Reader, MANIFEST *Manifest) {
  const toml::table &Images = *Reader.Table("images", true);
  Reader.OnlyKeys(Images, "images", {"OCM", "customer"});
  for (const char *Key : {"OCM", "customer"}) {
    if (Reader.String(Images, "images.", Key, true) == "none") {
      Manifest->Images.emplace_back(Key, std::nullopt);
      continue;
    }
    std::string Host = Reader.HostFile(Images, "images.", Key);
    Reader.SettingsName(Images, Key, fs::path(Host).filename().string(), AppLimits().ComponentValueMax);
    Manifest->Images.emplace_back(Key, Host);
  }
}

void ReadFlags(const READER &Reader, MANIFEST *Manifest) {
  const toml::table *Flags = Reader.Table("flags", false);
  if (Flags == nullptr) return;
  Reader.OnlyKeys(*Flags, "flags", {"ForceUpdate", "IncludeCustomerDefineBkp", "ReduceFlashProcessFlag"});
  Manifest->ForceUpdate = Reader.Bool(*Flags, "ForceUpdate");
  Manifest->IncludeCustomerDefineBkp = Reader.Bool(*Flags, "IncludeCustomerDefineBkp");
  Manifest->ReduceFlashProcessFlag = Reader.String(*Flags, "flags.", "ReduceFlashProcessFlag", false);
  const std::string &Mask = Manifest->ReduceFlashProcessFlag;
  if (Mask.size() > AppLimits().ReduceFlashBits || Mask.find_first_not_of("01") != std::string::npos) {
    Reader.Refuse(Flags->get("ReduceFlashProcessFlag"),
                  "ReduceFlashProcessFlag must be at most " + std::to_string(AppLimits().ReduceFlashBits) +
                      " characters 0 or 1");
  }
}

void ReadStation(const READER &Reader, MANIFEST *Manifest) {
  const toml::table *Station = Reader.Table("station", false);
  if (Station == nullptr) return;
  Reader.OnlyKeys(*Station, "station", {"arguments", "finish"});
  if (const toml::node *Node = Station->get("arguments")) {
    Manifest->Station.Arguments = Reader.StringList(Node, "station arguments");
    CheckArguments(Reader, Node, Manifest->Station.Arguments);
  }
  const std::string Finish = Reader.String(*Station, "station.", "finish", false);
  if (!Finish.empty() && Finish != "shell" && Finish != "shutdown") {
    Reader.Refuse(Station->get("finish"), "station finish must be \"shell\" or \"shutdown\"");
  }
  Manifest->Station.Shutdown = Finish == "shutdown";
}

void ReadFiles(const READER &Reader, MANIFEST *Manifest) {
  const toml::table *Files = Reader.Table("files", false);
  if (Files == nullptr) return;
  const std::set<std::string> Reserved = {"startup.nsh", "orvupdate.efi", "orvinfo.efi", "orvcheck.efi",
                                          "orvupdatecomponent\\orvupdatesettings.ini"};
  for (const auto &[Key, Node] : *Files) {
    const std::string Volume = NormalVolumePath(std::string(Key.str()));
    std::string Lowered = Volume;
    for (char &C : Lowered) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    if (Volume.empty() || Reserved.count(Lowered) != 0) {
      Reader.Refuse(&Node, "files: \"" + std::string(Key.str()) + "\" is not a path make leaves to the manifest");
    }
    Manifest->Files.emplace_back(Volume, Reader.HostFile(*Files, "files.", std::string(Key.str()).c_str()));
  }
}

/// The keys the image parser should hold (host PEM files): make's check
/// compares them with the keys built into the parser, which decide.
void ReadTrustedKeys(const READER &Reader, const toml::table &Root, const std::string &Path,
                     MANIFEST *Manifest) {
  const toml::node *Node = Root.get("trusted_keys");
  for (const std::string &Name : Reader.StringList(Node, "trusted_keys")) {
    const fs::path Host = fs::path(Path).parent_path() / Name;
    if (!fs::is_regular_file(Host)) Reader.Refuse(Node, "trusted_keys: no file " + Host.string());
    Manifest->TrustedKeys.push_back(Host.string());
  }
}

}  // namespace

MANIFEST ReadManifest(const std::string &Path) {
  toml::table Root;
  // Read here, so a file that cannot be read is named with the system's reason.
  const std::string Text = ReadHostFile(Path);
  try {
    Root = toml::parse(Text, Path);
  } catch (const toml::parse_error &Error) {
    const auto Line = Error.source().begin.line;
    throw TOOL_FAILURE(Path + (Line != 0 ? " line " + std::to_string(Line) : std::string()) + ": " +
                       std::string(Error.description()));
  }
  READER Reader(Path, Root);
  Reader.OnlyKeys(Root, "", {"target", "trusted_keys", "applications", "components", "images", "flags",
                             "station", "files"});

  MANIFEST Manifest;
  Manifest.Target = Reader.String(Root, "", "target", true);
  Reader.SettingsName(Root, "target", Manifest.Target, AppLimits().TargetNameMax);
  ReadTrustedKeys(Reader, Root, Path, &Manifest);
  ReadApplications(Reader, &Manifest);
  ReadComponents(Reader, &Manifest);
  ReadImages(Reader, &Manifest);
  ReadFlags(Reader, &Manifest);
  ReadStation(Reader, &Manifest);
  ReadFiles(Reader, &Manifest);
  return Manifest;
}
