// In-memory volume for host tests (see FakeVolume.h).
#include "FakeVolume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

using HandleAnchor = FakeVolume::HandleAnchor;
using VolumeAnchor = FakeVolume::VolumeAnchor;

std::string Lower(std::string Text) {
  for (char &C : Text) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Text;
}

std::string LastComponent(const std::string &Path) {
  size_t Slash = Path.rfind('\\');
  return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

FakeVolume::Handle *HandleOf(EFI_FILE_PROTOCOL *File) {
  if (File == nullptr) return nullptr;
  return reinterpret_cast<HandleAnchor *>(File)->Owner;
}

// A call on a handle that is not one of the volume's open handles is a fault
// in the code under test.
#define ORV_OPEN_HANDLE_OR_FAIL(Name, File)                          \
  FakeVolume::Handle *Name = HandleOf(File);                         \
  if (Name == nullptr || !Name->Open) {                              \
    ADD_FAILURE() << "file protocol call on a closed or null handle"; \
    return EFI_INVALID_PARAMETER;                                    \
  }

EFI_STATUS EFIAPI TOpenVolume(EFI_FILE_IO_INTERFACE *This, EFI_FILE_PROTOCOL **Root) {
  return reinterpret_cast<VolumeAnchor *>(This)->Volume->OpenVolume(Root);
}
EFI_STATUS EFIAPI TOpen(EFI_FILE_PROTOCOL *File, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName,
                        UINT64 OpenMode, UINT64 Attributes) {
  ORV_OPEN_HANDLE_OR_FAIL(From, File);
  return From->Volume->Open(*From, NewHandle, FileName, OpenMode, Attributes);
}
EFI_STATUS EFIAPI TClose(EFI_FILE_PROTOCOL *File) {
  ORV_OPEN_HANDLE_OR_FAIL(H, File);
  return H->Volume->Close(*H);
}
EFI_STATUS EFIAPI TRead(EFI_FILE_PROTOCOL *File, UINTN *BufferSize, VOID *Buffer) {
  ORV_OPEN_HANDLE_OR_FAIL(H, File);
  return H->Volume->Read(*H, BufferSize, Buffer);
}
EFI_STATUS EFIAPI TGetInfo(EFI_FILE_PROTOCOL *File, EFI_GUID *Type, UINTN *BufferSize,
                           VOID *Buffer) {
  ORV_OPEN_HANDLE_OR_FAIL(H, File);
  return H->Volume->GetInfo(*H, Type, BufferSize, Buffer);
}
EFI_STATUS EFIAPI TGetPosition(EFI_FILE_PROTOCOL *File, UINT64 *Position) {
  ORV_OPEN_HANDLE_OR_FAIL(H, File);
  return H->Volume->GetPosition(*H, Position);
}
EFI_STATUS EFIAPI TSetPosition(EFI_FILE_PROTOCOL *File, UINT64 Position) {
  ORV_OPEN_HANDLE_OR_FAIL(H, File);
  return H->Volume->SetPosition(*H, Position);
}

EFI_STATUS EFIAPI TDelete(EFI_FILE_PROTOCOL *File) {
  ORV_OPEN_HANDLE_OR_FAIL(H, File);
  return H->Volume->Delete(*H);
}

// The volume is synchronous and never written: the other members are not offered.
EFI_STATUS EFIAPI TWrite(EFI_FILE_PROTOCOL *, UINTN *, VOID *) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI TSetInfo(EFI_FILE_PROTOCOL *, EFI_GUID *, UINTN, VOID *) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI TFlush(EFI_FILE_PROTOCOL *) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI TOpenEx(EFI_FILE_PROTOCOL *, EFI_FILE_PROTOCOL **, CHAR16 *, UINT64, UINT64,
                          EFI_FILE_IO_TOKEN *) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI TIoEx(EFI_FILE_PROTOCOL *, EFI_FILE_IO_TOKEN *) { return EFI_UNSUPPORTED; }

constexpr const char *CALLS[] = {"OpenVolume", "Open", "GetInfo", "Read", "Close", "Delete"};

}  // namespace

static_assert(std::is_standard_layout_v<HandleAnchor>);
static_assert(std::is_standard_layout_v<VolumeAnchor>);

FakeVolume::FakeVolume(FakeFirmware &Firmware) : Fw_(Firmware) {
  FileSystem_.Protocol.Revision = EFI_FILE_IO_INTERFACE_REVISION;
  FileSystem_.Protocol.OpenVolume = TOpenVolume;
  FileSystem_.Volume = this;
  Fw_.InstallProtocol(Fw_.DeviceHandle(), gEfiSimpleFileSystemProtocolGuid, &FileSystem_.Protocol);
}

FakeVolume::~FakeVolume() {
  Fw_.UninstallProtocol(Fw_.DeviceHandle(), gEfiSimpleFileSystemProtocolGuid);
}

void FakeVolume::AddFile(const std::string &Path, const std::string &Content) {
  Files_[Lower(Path)] = File{Path, Content, false, 0};
}

void FakeVolume::RemoveFile(const std::string &Path) { Files_.erase(Lower(Path)); }

bool FakeVolume::HasFile(const std::string &Path) const { return Files_.count(Lower(Path)) != 0; }

void FakeVolume::ReportFileSize(const std::string &Path, UINT64 FileSize) {
  auto It = Files_.find(Lower(Path));
  ASSERT_NE(It, Files_.end()) << "ReportFileSize for a file that does not exist: " << Path;
  It->second.SizeOverridden = true;
  It->second.ReportedSize = FileSize;
}

void FakeVolume::Fail(const std::string &Call, EFI_STATUS Status, int Nth) {
  ASSERT_NE(std::find(std::begin(CALLS), std::end(CALLS), Call), std::end(CALLS))
      << "no such call: " << Call;
  Failures_[Call] = {Status, Nth == 0 ? 0 : CallCounts_[Call] + Nth};
}

int FakeVolume::Calls(const std::string &Call) const {
  auto It = CallCounts_.find(Call);
  return It == CallCounts_.end() ? 0 : It->second;
}

size_t FakeVolume::OpenHandles() const {
  return static_cast<size_t>(
      std::count_if(Handles_.begin(), Handles_.end(), [](const Handle &H) { return H.Open; }));
}

EFI_STATUS FakeVolume::Injected(const std::string &Call) {
  int Count = ++CallCounts_[Call];
  auto It = Failures_.find(Call);
  if (It == Failures_.end()) return EFI_SUCCESS;
  if (It->second.Nth == 0 || It->second.Nth == Count) return It->second.Status;
  return EFI_SUCCESS;
}

bool FakeVolume::IsDirectory(const std::string &LowerPath) const {
  if (LowerPath.empty()) return true;
  const std::string Prefix = LowerPath + "\\";
  auto It = Files_.lower_bound(Prefix);
  return It != Files_.end() && It->first.compare(0, Prefix.size(), Prefix) == 0;
}

FakeVolume::Handle &FakeVolume::NewHandle(const std::string &Path, bool Directory) {
  Handles_.emplace_back();
  Handle &H = Handles_.back();
  H.Anchor.Owner = &H;
  H.Volume = this;
  H.Path = Path;
  H.Directory = Directory;
  H.Open = true;
  H.Position = 0;
  EFI_FILE_PROTOCOL &P = H.Anchor.Protocol;
  P.Revision = EFI_FILE_PROTOCOL_REVISION;
  P.Open = TOpen;
  P.Close = TClose;
  P.Delete = TDelete;
  P.Read = TRead;
  P.Write = TWrite;
  P.GetPosition = TGetPosition;
  P.SetPosition = TSetPosition;
  P.GetInfo = TGetInfo;
  P.SetInfo = TSetInfo;
  P.Flush = TFlush;
  P.OpenEx = TOpenEx;
  P.ReadEx = TIoEx;
  P.WriteEx = TIoEx;
  P.FlushEx = TIoEx;
  return H;
}

EFI_STATUS FakeVolume::OpenVolume(EFI_FILE_PROTOCOL **Root) {
  EFI_STATUS Status = Injected("OpenVolume");
  if (EFI_ERROR(Status)) return Status;
  if (Root == nullptr) return EFI_INVALID_PARAMETER;
  *Root = &NewHandle("", true).Anchor.Protocol;
  return EFI_SUCCESS;
}

EFI_STATUS FakeVolume::Open(Handle &From, EFI_FILE_PROTOCOL **NewHandleOut, const CHAR16 *FileName,
                            UINT64 OpenMode, UINT64 Attributes) {
  const std::string Name = FileName == nullptr ? std::string() : Narrow(FileName);
  OpenRequests_.push_back({Name, OpenMode, Attributes});
  EFI_STATUS Status = Injected("Open");
  if (EFI_ERROR(Status)) return Status;
  if (NewHandleOut == nullptr || FileName == nullptr) return EFI_INVALID_PARAMETER;
  if (OpenMode != EFI_FILE_MODE_READ &&
      OpenMode != (EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE) &&
      OpenMode != (EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE)) {
    return EFI_INVALID_PARAMETER;
  }
  if (OpenMode == (EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE) || !AllowDelete_) {
    if (OpenMode != EFI_FILE_MODE_READ) return EFI_WRITE_PROTECTED;
  }

  // Resolve the path: from the root after a leading backslash, otherwise
  // from the directory the call was made on.
  std::vector<std::string> Parts;
  if (Name.empty() || Name[0] != '\\') {
    if (!From.Directory) return EFI_NOT_FOUND;
    size_t Start = 0;
    while (Start <= From.Path.size() && !From.Path.empty()) {
      size_t End = From.Path.find('\\', Start);
      if (End == std::string::npos) End = From.Path.size();
      Parts.push_back(From.Path.substr(Start, End - Start));
      Start = End + 1;
    }
  }
  size_t Start = 0;
  while (Start <= Name.size()) {
    size_t End = Name.find('\\', Start);
    if (End == std::string::npos) End = Name.size();
    std::string Part = Name.substr(Start, End - Start);
    Start = End + 1;
    if (Part.empty() || Part == ".") continue;
    if (Part == "..") {
      if (Parts.empty()) return EFI_NOT_FOUND;
      Parts.pop_back();
      continue;
    }
    Parts.push_back(Part);
  }
  std::string Path;
  for (const auto &Part : Parts) Path += (Path.empty() ? "" : "\\") + Part;

  const std::string Key = Lower(Path);
  auto It = Files_.find(Key);
  if (It != Files_.end()) {
    *NewHandleOut = &NewHandle(It->second.Path, false).Anchor.Protocol;
    return EFI_SUCCESS;
  }
  if (IsDirectory(Key)) {
    *NewHandleOut = &NewHandle(Path, true).Anchor.Protocol;
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS FakeVolume::Close(Handle &File) {
  Closes_.push_back(
      {File.Path, File.Directory, Fw_.OpenCount(Fw_.DeviceHandle(), gEfiSimpleFileSystemProtocolGuid)});
  File.Open = false;
  return Injected("Close");
}

EFI_STATUS FakeVolume::Read(Handle &H, UINTN *BufferSize, VOID *Buffer) {
  ReadSizes_.push_back(BufferSize == nullptr ? 0 : *BufferSize);
  EFI_STATUS Status = Injected("Read");
  if (EFI_ERROR(Status)) return Status;
  if (BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  if (H.Directory) return ReadEntry(H, BufferSize, Buffer);
  auto It = Files_.find(Lower(H.Path));
  if (It == Files_.end()) return EFI_DEVICE_ERROR;  // removed while open
  const std::string &Content = It->second.Content;
  if (H.Position > Content.size()) return EFI_DEVICE_ERROR;
  UINTN Bytes = std::min<UINTN>(*BufferSize, Content.size() - H.Position);
  if (ShortRead_) Bytes = std::min(Bytes, ShortReadBytes_);
  if (Bytes != 0 && Buffer == nullptr) return EFI_INVALID_PARAMETER;
  if (Bytes != 0) std::memcpy(Buffer, Content.data() + H.Position, Bytes);
  H.Position += Bytes;
  *BufferSize = Bytes;
  return EFI_SUCCESS;
}

EFI_STATUS FakeVolume::GetInfo(Handle &H, const EFI_GUID *Type, UINTN *BufferSize, VOID *Buffer) {
  GetInfoSizes_.push_back(BufferSize == nullptr ? 0 : *BufferSize);
  EFI_STATUS Status = Injected("GetInfo");
  if (EFI_ERROR(Status)) return Status;
  if (Type == nullptr || BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  if (!(*Type == gEfiFileInfoGuid)) return EFI_UNSUPPORTED;

  UINT64 FileSize = 0;
  UINT64 RealSize = 0;
  if (!H.Directory) {
    auto It = Files_.find(Lower(H.Path));
    if (It == Files_.end()) return EFI_DEVICE_ERROR;  // removed while open
    RealSize = It->second.Content.size();
    FileSize = It->second.SizeOverridden ? It->second.ReportedSize : RealSize;
  }
  const std::string Name = LastComponent(H.Path);
  const UINTN Needed = SIZE_OF_EFI_FILE_INFO + (Name.size() + 1) * sizeof(CHAR16);
  if (*BufferSize < Needed) {
    *BufferSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  std::memset(Buffer, 0, Needed);
  auto *Info = static_cast<EFI_FILE_INFO *>(Buffer);
  Info->Size = Needed;
  Info->FileSize = FileSize;
  Info->PhysicalSize = (RealSize + 511) / 512 * 512;
  Info->Attribute = H.Directory ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE;
  auto *NameOut = reinterpret_cast<CHAR16 *>(static_cast<UINT8 *>(Buffer) + SIZE_OF_EFI_FILE_INFO);
  for (size_t Index = 0; Index < Name.size(); Index++) {
    NameOut[Index] = static_cast<unsigned char>(Name[Index]);
  }
  NameOut[Name.size()] = 0;
  *BufferSize = Needed;
  return EFI_SUCCESS;
}

EFI_STATUS FakeVolume::GetPosition(Handle &H, UINT64 *Position) {
  if (Position == nullptr) return EFI_INVALID_PARAMETER;
  if (H.Directory) return EFI_UNSUPPORTED;
  *Position = H.Position;
  return EFI_SUCCESS;
}

EFI_STATUS FakeVolume::SetPosition(Handle &H, UINT64 Position) {
  if (H.Directory) {
    if (Position != 0) return EFI_UNSUPPORTED;
    H.Position = 0;
    return EFI_SUCCESS;
  }
  if (Position == ~static_cast<UINT64>(0)) {
    auto It = Files_.find(Lower(H.Path));
    if (It == Files_.end()) return EFI_DEVICE_ERROR;
    Position = It->second.Content.size();
  }
  H.Position = Position;
  return EFI_SUCCESS;
}

std::vector<std::pair<std::string, bool>> FakeVolume::Entries(const std::string &LowerPath) const {
  const std::string Prefix = LowerPath.empty() ? "" : LowerPath + "\\";
  std::vector<std::pair<std::string, bool>> Found;
  for (const auto &[Key, Stored] : Files_) {
    if (Key.compare(0, Prefix.size(), Prefix) != 0) continue;
    const std::string Rest = Stored.Path.substr(Prefix.size());
    const size_t Slash = Rest.find('\\');
    std::pair<std::string, bool> Entry{Rest.substr(0, Slash), Slash != std::string::npos};
    if (Found.empty() || Found.back() != Entry) Found.push_back(Entry);
  }
  return Found;
}

// One entry per call, as EFI_FILE_INFO with its name; Position counts the
// entries read; a size of 0 ends the listing.
EFI_STATUS FakeVolume::ReadEntry(Handle &Folder, UINTN *BufferSize, VOID *Buffer) {
  const auto Found = Entries(Lower(Folder.Path));
  if (Folder.Position >= Found.size()) {
    *BufferSize = 0;
    return EFI_SUCCESS;
  }
  const auto &[Name, Directory] = Found[Folder.Position];
  const UINTN Needed = SIZE_OF_EFI_FILE_INFO + (Name.size() + 1) * sizeof(CHAR16);
  if (*BufferSize < Needed) {
    *BufferSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memset(Buffer, 0, Needed);
  auto *Info = static_cast<EFI_FILE_INFO *>(Buffer);
  Info->Size = Needed;
  Info->Attribute = Directory ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE;
  if (!Directory) Info->FileSize = Files_.at(Lower(Folder.Path + "\\" + Name)).Content.size();
  for (size_t Index = 0; Index <= Name.size(); Index++) {
    Info->FileName[Index] = Index < Name.size() ? static_cast<unsigned char>(Name[Index]) : 0;
  }
  *BufferSize = Needed;
  Folder.Position++;
  return EFI_SUCCESS;
}

// Delete closes the handle whatever it returns.
EFI_STATUS FakeVolume::Delete(Handle &File) {
  Closes_.push_back(
      {File.Path, File.Directory, Fw_.OpenCount(Fw_.DeviceHandle(), gEfiSimpleFileSystemProtocolGuid)});
  File.Open = false;
  EFI_STATUS Status = Injected("Delete");
  if (EFI_ERROR(Status)) return Status;
  if (File.Directory || !AllowDelete_) return EFI_WARN_DELETE_FAILURE;
  Files_.erase(Lower(File.Path));
  return EFI_SUCCESS;
}
