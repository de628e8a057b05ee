/** @file
  Folder and FAT image volumes.
**/

#include "Volume.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Text;
}

std::string Parent(const std::string &Path) {
  const size_t Slash = Path.rfind('\\');
  return Slash == std::string::npos ? std::string() : Path.substr(0, Slash);
}

std::string Slashed(const std::string &Path) {
  std::string Out = Path;
  std::replace(Out.begin(), Out.end(), '\\', '/');
  return Out;
}

class FOLDER_VOLUME : public VOLUME {
 public:
  explicit FOLDER_VOLUME(const std::string &Location) : VOLUME(VOLUME_KIND::Folder, Location) {
    std::error_code Error;
    for (fs::recursive_directory_iterator It(Location, Error), End; !Error && It != End; It.increment(Error)) {
      std::string Relative = fs::relative(It->path(), Location, Error).generic_string();
      std::replace(Relative.begin(), Relative.end(), '/', '\\');
      Add(Relative, It->is_directory(Error));
    }
    if (Error) throw TOOL_FAILURE("cannot list " + Location + ": " + Error.message());
  }

  bool Read(const VOLUME_ENTRY &Entry, uint64_t MaxSize, std::string *Data) const override {
    const fs::path Host = fs::path(Location()) / Slashed(Entry.Path);
    std::error_code Error;
    const uint64_t Size = fs::file_size(Host, Error);
    if (Error) throw TOOL_FAILURE("cannot read " + Host.string() + ": " + Error.message());
    Data->clear();
    if (Size > MaxSize) return false;
    std::ifstream In(Host, std::ios::binary);
    Data->assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    if (!In.good() && !In.eof()) throw TOOL_FAILURE("cannot read " + Host.string());
    return true;
  }

 protected:
  void CreateFolder(const std::string &Path) override {
    std::error_code Error;
    const fs::path Host = fs::path(Location()) / Slashed(Path);
    fs::create_directory(Host, Error);
    if (Error) throw TOOL_FAILURE("cannot create " + Path + " in " + Location() + ": " + Error.message());
    if (Holding_) Made_.push_back(Host);
  }

  void WriteFile(const std::string &Path, const std::string &Data) override {
    // Through a temporary file: a failed write never leaves a half file
    // under the real name.
    const fs::path Host = fs::path(Location()) / Slashed(Path);
    const fs::path Temporary = Host.string() + ".orvstick-tmp";
    {
      std::ofstream Out(Temporary, std::ios::binary | std::ios::trunc);
      Out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
      Out.flush();
      if (!Out) {
        const std::string Reason = std::strerror(errno);
        std::remove(Temporary.c_str());
        throw TOOL_FAILURE("cannot write " + Host.string() + ": " + Reason);
      }
    }
    if (Holding_) {
      Held_.emplace_back(Temporary, Host);
      return;
    }
    Place(Temporary, Host);
  }

  void HoldWrites() override { Holding_ = true; }

  void Commit() override {
    for (const auto &[Temporary, Host] : Held_) Place(Temporary, Host);
    Held_.clear();
    Made_.clear();
    Holding_ = false;
  }

  void Abort() noexcept override {
    std::error_code Ignored;
    for (const auto &[Temporary, Host] : Held_) fs::remove(Temporary, Ignored);
    for (auto Folder = Made_.rbegin(); Folder != Made_.rend(); ++Folder) fs::remove(*Folder, Ignored);
    Held_.clear();
    Made_.clear();
    Holding_ = false;
  }

 private:
  static void Place(const fs::path &Temporary, const fs::path &Host) {
    std::error_code Error;
    fs::rename(Temporary, Host, Error);
    if (Error) {
      std::remove(Temporary.c_str());
      throw TOOL_FAILURE("cannot write " + Host.string() + ": " + Error.message());
    }
  }

  bool Holding_ = false;
  std::vector<std::pair<fs::path, fs::path>> Held_;  ///< temporary file, its place
  std::vector<fs::path> Made_;                       ///< folders made while holding
};

/// A FAT image through mtools: listed once with mdir, files read with
/// mcopy to standard output, written with mcopy and mmd.
class FAT_VOLUME : public VOLUME {
 public:
  explicit FAT_VOLUME(const std::string &Location) : VOLUME(VOLUME_KIND::FatImage, Location) {
    std::string Out;
    std::string Err;
    if (RunProgram({"mdir", "-/", "-b", "-i", Location, "::/"}, &Out, &Err) != 0) {
      // The short listing fails on an empty root; the long one tells an
      // empty volume from one mtools cannot read.
      std::string Long;
      if (RunProgram({"mdir", "-i", Location, "::/"}, &Long, &Err) != 0) {
        throw TOOL_FAILURE(Location + " is not a FAT image mtools can read: " + FirstLine(Err));
      }
      Out.clear();
    }
    size_t Start = 0;
    while (Start < Out.size()) {
      size_t End = Out.find('\n', Start);
      if (End == std::string::npos) End = Out.size();
      std::string Line = Out.substr(Start, End - Start);
      Start = End + 1;
      if (Line.rfind("::/", 0) != 0) continue;
      Line.erase(0, 3);
      const bool Folder = !Line.empty() && Line.back() == '/';
      if (Folder) Line.pop_back();
      if (Line.empty()) continue;
      std::replace(Line.begin(), Line.end(), '/', '\\');
      Add(Line, Folder);
    }
  }

  bool Read(const VOLUME_ENTRY &Entry, uint64_t MaxSize, std::string *Data) const override {
    std::string Err;
    if (RunProgram({"mcopy", "-n", "-i", Location(), "::/" + Slashed(Entry.Path), "-"}, Data, &Err) != 0) {
      throw TOOL_FAILURE("cannot read " + Entry.Path + " from " + Location() + ": " + FirstLine(Err));
    }
    if (Data->size() > MaxSize) {
      Data->clear();
      return false;
    }
    return true;
  }

  static std::string FirstLine(const std::string &Text) { return Text.substr(0, Text.find('\n')); }

 protected:
  void CreateFolder(const std::string &Path) override { Run({"mmd", "-i", Location(), "::/" + Slashed(Path)}); }

  void WriteFile(const std::string &Path, const std::string &Data) override {
    char Name[] = "/tmp/orvstick.XXXXXX";
    const int Fd = ::mkstemp(Name);
    if (Fd < 0) throw TOOL_FAILURE(std::string("cannot create a temporary file: ") + std::strerror(errno));
    const bool Written = ::write(Fd, Data.data(), Data.size()) == static_cast<ssize_t>(Data.size());
    ::close(Fd);
    try {
      if (!Written) throw TOOL_FAILURE(std::string("cannot write a temporary file: ") + Name);
      Run({"mcopy", "-o", "-i", Location(), Name, "::/" + Slashed(Path)});
    } catch (...) {
      ::unlink(Name);
      throw;
    }
    ::unlink(Name);
  }

 private:
  void Run(const std::vector<std::string> &Argv) {
    std::string Out;
    std::string Err;
    if (RunProgram(Argv, &Out, &Err) != 0) {
      throw TOOL_FAILURE(Argv[0] + " on " + Location() + " failed: " + FirstLine(Err));
    }
  }
};

}  // namespace

std::string NormalVolumePath(const std::string &Path) {
  std::vector<std::string> Parts;
  std::string Part;
  auto Flush = [&]() -> bool {
    if (Part == "..") {
      if (Parts.empty()) return false;
      Parts.pop_back();
    } else if (!Part.empty() && Part != ".") {
      Parts.push_back(Part);
    }
    Part.clear();
    return true;
  };
  for (char C : Path) {
    if (C == '\\' || C == '/') {
      if (!Flush()) return {};
    } else {
      Part.push_back(C);
    }
  }
  if (!Flush()) return {};
  std::string Out;
  for (const std::string &Name : Parts) Out += (Out.empty() ? "" : "\\") + Name;
  return Out;
}

const VOLUME_ENTRY *VOLUME::Find(const std::string &Path) const {
  const std::string Wanted = Lower(NormalVolumePath(Path));
  if (Wanted.empty()) return nullptr;
  for (const VOLUME_ENTRY &Entry : Entries_) {
    if (Lower(Entry.Path) == Wanted) return &Entry;
  }
  return nullptr;
}

void VOLUME::Add(const std::string &Path, bool Folder) { Entries_.push_back(VOLUME_ENTRY{Path, Folder}); }

void VOLUME::MakeFolder(const std::string &Path) {
  const std::string Normal = NormalVolumePath(Path);
  if (Normal.empty()) return;
  const VOLUME_ENTRY *Existing = Find(Normal);
  if (Existing != nullptr) {
    if (!Existing->Folder) throw TOOL_FAILURE(Normal + " on " + Location_ + " is a file, not a folder");
    return;
  }
  MakeFolder(Parent(Normal));
  CreateFolder(Normal);
  Add(Normal, true);
}

void VOLUME::Write(const std::string &Path, const std::string &Data) {
  std::string Normal = NormalVolumePath(Path);
  if (const VOLUME_ENTRY *Existing = Find(Normal)) {
    if (Existing->Folder) throw TOOL_FAILURE(Normal + " on " + Location_ + " is a folder");
    WriteFile(Existing->Path, Data);
    return;
  }
  // A folder of another case that already exists keeps its spelling.
  const std::string Folder = Parent(Normal);
  if (const VOLUME_ENTRY *Existing = Folder.empty() ? nullptr : Find(Folder)) {
    Normal = Existing->Path + Normal.substr(Folder.size());
  }
  WriteFile(Normal, Data);
  Add(Normal, false);
}

std::unique_ptr<VOLUME> VOLUME::Open(const std::string &Location) {
  std::error_code Error;
  const fs::file_status Status = fs::status(Location, Error);
  if (fs::is_directory(Status)) return std::make_unique<FOLDER_VOLUME>(Location);
  if (fs::is_regular_file(Status)) return std::make_unique<FAT_VOLUME>(Location);
  throw TOOL_FAILURE(Location + ": no such folder or FAT image");
}

std::unique_ptr<VOLUME> VOLUME::OpenForWriting(const std::string &Location, uint64_t NewImageBytes, bool Image) {
  std::error_code Error;
  if (!fs::exists(Location, Error)) {
    if (Image) {
      std::string Out;
      std::string Err;
      const std::string Kib = std::to_string((NewImageBytes + 1023) / 1024);
      if (RunProgram({"mkfs.vfat", "-C", Location, Kib}, &Out, &Err) != 0) {
        throw TOOL_FAILURE("mkfs.vfat cannot make " + Location + ": " + FAT_VOLUME::FirstLine(Err));
      }
    } else {
      fs::create_directories(Location, Error);
      if (Error) throw TOOL_FAILURE("cannot create " + Location + ": " + Error.message());
    }
  }
  return Open(Location);
}

namespace {

/// Reads both pipes until the child closes them, into Out and Err.
void CollectOutput(int OutFd, int ErrFd, std::string *Out, std::string *Err) {
  Out->clear();
  Err->clear();
  pollfd Fds[2] = {{OutFd, POLLIN, 0}, {ErrFd, POLLIN, 0}};
  std::string *Targets[2] = {Out, Err};
  int Open = 2;
  char Buffer[65536];
  while (Open > 0) {
    if (::poll(Fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int Index = 0; Index < 2; Index++) {
      if (Fds[Index].fd < 0 || Fds[Index].revents == 0) continue;
      const ssize_t Got = ::read(Fds[Index].fd, Buffer, sizeof(Buffer));
      if (Got > 0) {
        Targets[Index]->append(Buffer, static_cast<size_t>(Got));
      } else if (Got == 0 || errno != EINTR) {
        ::close(Fds[Index].fd);
        Fds[Index].fd = -1;
        Open--;
      }
    }
  }
  for (pollfd &Fd : Fds) {
    if (Fd.fd >= 0) ::close(Fd.fd);
  }
}

}  // namespace

std::string ReadHostFile(const std::string &Path) {
  std::error_code Error;
  if (fs::is_directory(Path, Error)) throw TOOL_FAILURE("cannot read " + Path + ": " + std::strerror(EISDIR));
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw TOOL_FAILURE("cannot read " + Path + ": " + std::strerror(errno));
  std::string Data((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  if (In.bad()) throw TOOL_FAILURE("cannot read " + Path + ": " + std::strerror(errno));
  return Data;
}

int RunProgram(const std::vector<std::string> &Argv, std::string *Out, std::string *Err) {
  int OutPipe[2];
  int ErrPipe[2];
  if (::pipe2(OutPipe, O_CLOEXEC) != 0) throw TOOL_FAILURE("cannot start " + Argv[0]);
  if (::pipe2(ErrPipe, O_CLOEXEC) != 0) {
    ::close(OutPipe[0]);
    ::close(OutPipe[1]);
    throw TOOL_FAILURE("cannot start " + Argv[0]);
  }
  std::vector<char *> Args;
  for (const std::string &Arg : Argv) Args.push_back(const_cast<char *>(Arg.c_str()));
  Args.push_back(nullptr);
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::dup2(OutPipe[1], STDOUT_FILENO);
    ::dup2(ErrPipe[1], STDERR_FILENO);
    const int Null = ::open("/dev/null", O_RDONLY);
    if (Null >= 0) ::dup2(Null, STDIN_FILENO);
    // The image has no partition table; mtools must not insist on a geometry.
    ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    ::execvp(Args[0], Args.data());
    ::_exit(127);
  }
  ::close(OutPipe[1]);
  ::close(ErrPipe[1]);
  if (Child < 0) {
    ::close(OutPipe[0]);
    ::close(ErrPipe[0]);
    throw TOOL_FAILURE("cannot start " + Argv[0]);
  }
  CollectOutput(OutPipe[0], ErrPipe[0], Out, Err);
  int Status = 0;
  while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(Status) && WEXITSTATUS(Status) == 127 && Out->empty()) {
    throw TOOL_FAILURE(Argv[0] + " is missing (run scripts/install-deps.sh)");
  }
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128;
}
