/** @file
  Volume layout. Nothing is left half-written: a new volume is made under a
  temporary name beside it and renamed into place, an existing FAT image is
  written as a copy that replaces it, and an existing folder takes its files
  only once every one of them is written.
**/

#include "Make.h"

#include <unistd.h>

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

/// The volume make writes, staged as the file header says.
class STAGED_VOLUME {
 public:
  STAGED_VOLUME(const std::string &Out, uint64_t NewImageBytes) : Out_(Out) {
    std::error_code Error;
    const fs::path Path(Out);
    const bool Exists = fs::exists(Path, Error);
    if (Exists && fs::is_directory(Path, Error)) {
      Volume_ = VOLUME::Open(Out);
      Volume_->HoldWrites();
      return;
    }
    Stage_ = (Path.parent_path() / ("." + Path.filename().string() + ".orvstick-" + std::to_string(::getpid())))
                 .string();
    const bool Image = Exists || (Out.size() > 4 && Out.compare(Out.size() - 4, 4, ".img") == 0);
    fs::remove_all(Stage_, Error);
    if (Exists) {
      fs::copy_file(Path, Stage_, Error);
      if (Error) throw TOOL_FAILURE("cannot copy " + Out + " to " + Stage_ + ": " + Error.message());
    }
    try {
      Volume_ = Exists ? VOLUME::Open(Stage_) : VOLUME::OpenForWriting(Stage_, NewImageBytes, Image);
    } catch (...) {
      fs::remove_all(Stage_, Error);
      throw;
    }
  }
  STAGED_VOLUME(const STAGED_VOLUME &) = delete;
  STAGED_VOLUME &operator=(const STAGED_VOLUME &) = delete;
  ~STAGED_VOLUME() {
    if (Committed_) return;
    Volume_->Abort();
    std::error_code Ignored;
    if (!Stage_.empty()) fs::remove_all(Stage_, Ignored);
  }

  VOLUME &Volume() { return *Volume_; }

  void Commit() {
    Volume_->Commit();
    if (!Stage_.empty()) {
      std::error_code Error;
      fs::rename(Stage_, Out_, Error);
      if (Error) throw TOOL_FAILURE("cannot put " + Out_ + " in place: " + Error.message());
    }
    Committed_ = true;
  }

 private:
  std::string Out_;
  std::string Stage_;  ///< empty when an existing folder is written in place
  std::unique_ptr<VOLUME> Volume_;
  bool Committed_ = false;
};

/// An operator's own startup.nsh is never lost to make.
void KeepForeignScript(const std::string &Out, bool ReplaceScript) {
  std::error_code Error;
  if (ReplaceScript || !fs::exists(Out, Error)) return;
  std::unique_ptr<VOLUME> Existing = VOLUME::Open(Out);
  const VOLUME_ENTRY *Script = Existing->Find("startup.nsh");
  if (Script == nullptr) return;
  std::string Text;
  if (Script->Folder || !Existing->Read(*Script, 1u << 20, &Text) || Text.find(STATION_SCRIPT_MARK) == std::string::npos) {
    throw TOOL_FAILURE(Out + " has a startup.nsh that orvstick did not write; move it away or give --replace-script");
  }
}

/// Every file of the volume, read from the host first: a missing host file
/// or a key that does not read stops make before it writes anything.
std::vector<std::pair<std::string, std::string>> VolumeFiles(const MANIFEST &Manifest) {
  std::vector<std::pair<std::string, std::string>> Files = {
      {"OrvUpdate.efi", ReadHostFile(Manifest.OrvUpdate)},
      {"OrvInfo.efi", ReadHostFile(Manifest.OrvInfo)},
  };
  if (!Manifest.OrvCheck.empty()) Files.emplace_back("OrvCheck.efi", ReadHostFile(Manifest.OrvCheck));
  for (const auto &[Key, Host] : Manifest.Components) {
    if (Host) Files.emplace_back(APP_COMPONENT_FOLDER + FileName(*Host), ReadHostFile(*Host));
  }
  for (const auto &[Key, Host] : Manifest.Images) {
    if (Host) Files.emplace_back(APP_COMPONENT_FOLDER + FileName(*Host), ReadHostFile(*Host));
  }
  for (const auto &[Path, Host] : Manifest.Files) Files.emplace_back(Path, ReadHostFile(Host));
  Files.emplace_back(APP_SETTINGS_PATH, SettingsText(Manifest));
  Files.emplace_back("startup.nsh", StationScript(Manifest.Station));
  return Files;
}

}  // namespace

std::string SettingsText(const MANIFEST &Manifest) {
  std::string Text;
  auto Line = [&Text](const std::string &Content) { Text += Content + "\r\n"; };
  Line("# OrvUpdate settings, written by orvstick make");
  Line("[default]");
  Line("target = " + Manifest.Target);
  Line("");
  Line("[" + Manifest.Target + "]");
  for (const auto &[Key, Host] : Manifest.Components) Line(Key + " = " + (Host ? FileName(*Host) : "none"));
  for (const auto &[Key, Host] : Manifest.Images) Line(Key + " = " + (Host ? FileName(*Host) : "none"));
  Line(std::string("ForceUpdate = ") + (Manifest.ForceUpdate ? "1" : "0"));
  Line(std::string("IncludeCustomerDefineBkp = ") + (Manifest.IncludeCustomerDefineBkp ? "1" : "0"));
  if (!Manifest.ReduceFlashProcessFlag.empty()) Line("ReduceFlashProcessFlag = " + Manifest.ReduceFlashProcessFlag);
  return Text;
}

CHECK_COUNTS MakeVolume(const MANIFEST &Manifest, const std::string &Out, bool ReplaceScript, REPORT_STYLE Style,
                        std::ostream &Report) {
  CHECK_OPTIONS Options;
  Options.ExpectedKeys = ReadExpectedKeys(Manifest.TrustedKeys);
  Options.Style = Style;
  const std::vector<std::pair<std::string, std::string>> Files = VolumeFiles(Manifest);
  KeepForeignScript(Out, ReplaceScript);

  uint64_t Total = 0;
  for (const auto &File : Files) Total += File.second.size();
  {
    STAGED_VOLUME Staged(Out, std::max<uint64_t>(MIN_IMAGE_BYTES, 2 * Total + IMAGE_SPARE_BYTES));
    VOLUME &Volume = Staged.Volume();
    Volume.MakeFolder(APP_COMPONENT_FOLDER);
    Volume.MakeFolder(STATION_LOG_FOLDER);
    for (const auto &[Path, Data] : Files) {
      const std::string Normal = NormalVolumePath(Path);
      const size_t Slash = Normal.rfind('\\');
      if (Slash != std::string::npos) Volume.MakeFolder(Normal.substr(0, Slash));
      Volume.Write(Normal, Data);
    }
    Staged.Commit();
  }
  if (Style == REPORT_STYLE::Text) {
    Report << "orvstick make: " << Files.size() << " files written to " << Out << "\n";
    if (!Manifest.TrustedKeys.empty()) {
      Report << "trusted_keys: compared with the keys built into the image parser, which decide\n";
    }
  }
  // The check reads the volume back as it now is.
  return CheckVolume(*VOLUME::Open(Out), Options, Report);
}
