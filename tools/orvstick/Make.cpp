/** @file
  Volume layout.
**/

#include "Make.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "AppSettings.h"

namespace fs = std::filesystem;

namespace {

/// A new FAT image has room for the files twice over, the logs of many runs
/// and a simulator's bank files, and at least the size the shell tests use.
constexpr uint64_t MIN_IMAGE_BYTES = 64u << 20;
constexpr uint64_t IMAGE_SPARE_BYTES = 16u << 20;

std::string FileName(const std::string &Host) { return fs::path(Host).filename().string(); }

}  // namespace

std::string SettingsText(const MANIFEST &Manifest) {
  std::string Text;
  auto Line = [&Text](const std::string &Content) { Text += Content + "\r\n"; };
  Line("# OrvUpdate settings, written by orvstick make");
  Line("[default]");
  Line("target = " + Manifest.Target);
  Line("");
  Line("[" + Manifest.Target + "]");
  for (const auto &[Key, Host] : Manifest.Components) Line(Key + " = " + FileName(Host));
  for (const auto &[Key, Host] : Manifest.Images) Line(Key + " = " + (Host ? FileName(*Host) : "none"));
  Line(std::string("ForceUpdate = ") + (Manifest.ForceUpdate ? "1" : "0"));
  Line(std::string("IncludeCustomerDefineBkp = ") + (Manifest.IncludeCustomerDefineBkp ? "1" : "0"));
  if (!Manifest.ReduceFlashProcessFlag.empty()) Line("ReduceFlashProcessFlag = " + Manifest.ReduceFlashProcessFlag);
  return Text;
}

CHECK_COUNTS MakeVolume(const MANIFEST &Manifest, const std::string &Out, bool ReplaceScript, std::ostream &Report) {
  // Everything is read first: a missing host file or a key that does not
  // read stops make before it writes anything.
  const std::vector<IMAGE_PUBLIC_KEY> TrustedKeys = ReadTrustedKeys(Manifest.TrustedKeys);
  std::vector<std::pair<std::string, std::string>> Files = {
      {"OrvUpdate.efi", ReadHostFile(Manifest.OrvUpdate)},
      {"OrvInfo.efi", ReadHostFile(Manifest.OrvInfo)},
  };
  for (const auto &[Key, Host] : Manifest.Components) {
    Files.emplace_back(APP_COMPONENT_FOLDER + FileName(Host), ReadHostFile(Host));
  }
  for (const auto &[Key, Host] : Manifest.Images) {
    if (Host) Files.emplace_back(APP_COMPONENT_FOLDER + FileName(*Host), ReadHostFile(*Host));
  }
  for (const auto &[Path, Host] : Manifest.Files) Files.emplace_back(Path, ReadHostFile(Host));
  Files.emplace_back(APP_SETTINGS_PATH, SettingsText(Manifest));
  Files.emplace_back("startup.nsh", StationScript(Manifest.Station));

  uint64_t Total = 0;
  for (const auto &File : Files) Total += File.second.size();
  std::unique_ptr<VOLUME> Volume =
      VOLUME::OpenForWriting(Out, std::max<uint64_t>(MIN_IMAGE_BYTES, 2 * Total + IMAGE_SPARE_BYTES));

  // An operator's own startup.nsh is never lost to make.
  if (const VOLUME_ENTRY *Script = Volume->Find("startup.nsh"); Script != nullptr && !ReplaceScript) {
    std::string Text;
    if (Script->Folder || !Volume->Read(*Script, 1u << 20, &Text) || Text.find(STATION_SCRIPT_MARK) == std::string::npos) {
      throw TOOL_FAILURE(Out + " has a startup.nsh that orvstick did not write; move it away or give --replace-script");
    }
  }

  Volume->MakeFolder(APP_COMPONENT_FOLDER);
  Volume->MakeFolder(STATION_LOG_FOLDER);
  for (const auto &[Path, Data] : Files) {
    const std::string Normal = NormalVolumePath(Path);
    const size_t Slash = Normal.rfind('\\');
    if (Slash != std::string::npos) Volume->MakeFolder(Normal.substr(0, Slash));
    Volume->Write(Normal, Data);
  }
  Report << "orvstick make: " << Files.size() << " files written to " << Out << "\n";
  // The check reads the volume back as it now is.
  return CheckVolume(*VOLUME::Open(Out), TrustedKeys, Report);
}
