/** @file
  Settings file loading. The clean-up order (file, root directory, Simple File
  System protocol, then the block on failure) is expressed by the order in
  which the guards below are declared.
**/

#include "SettingsFile.h"

#include "../App/Guards.h"
#include "../App/RunState.h"

namespace {

/// Bytes of the block besides the text: Length in front, 8 spare bytes behind.
constexpr UINTN SETTINGS_FILE_OVERHEAD = sizeof(UINT64) + 8;

static_assert(offsetof(SETTINGS_FILE, Data) == sizeof(UINT64), "Length, then the text");
static_assert(SETTINGS_FILE_INFO_BUFFER_SIZE >= offsetof(EFI_FILE_INFO, FileName) + sizeof(CHAR16),
              "the info buffer holds the record and at least a terminated empty name");

/// An open file or directory handle, closed on scope exit.
class FileHandleGuard {
 public:
  FileHandleGuard() noexcept = default;
  FileHandleGuard(const FileHandleGuard &) = delete;
  FileHandleGuard &operator=(const FileHandleGuard &) = delete;
  ~FileHandleGuard() {
    if (File_ != nullptr) File_->Close(File_);
  }

  EFI_FILE_PROTOCOL *Get() const noexcept { return File_; }
  EFI_FILE_PROTOCOL *operator->() const noexcept { return File_; }
  /// Address for the out-parameter of OpenVolume or Open (the guard is empty).
  EFI_FILE_PROTOCOL **Out() noexcept { return &File_; }

 private:
  EFI_FILE_PROTOCOL *File_ = nullptr;
};

/// A protocol opened on Handle with Agent in get-protocol mode; closed again
/// on scope exit.
class OpenedProtocolGuard {
 public:
  OpenedProtocolGuard(EFI_HANDLE Handle, EFI_GUID *Guid, EFI_HANDLE Agent) noexcept
      : Handle_(Handle), Guid_(Guid), Agent_(Agent) {}
  OpenedProtocolGuard(const OpenedProtocolGuard &) = delete;
  OpenedProtocolGuard &operator=(const OpenedProtocolGuard &) = delete;
  ~OpenedProtocolGuard() { gOrvBootServices->CloseProtocol(Handle_, Guid_, Agent_, nullptr); }

 private:
  EFI_HANDLE Handle_;
  EFI_GUID *Guid_;
  EFI_HANDLE Agent_;
};

/// Opens FileName from the volume's root, checks its size and reads it whole
/// into a new block held by Block. The file and the root directory are closed
/// when this returns, file first.
EFI_STATUS ReadWholeFile(EFI_FILE_IO_INTERFACE *FileSystem, const CHAR16 *FileName,
                         PoolGuard<SETTINGS_FILE> *Block) {
  FileHandleGuard Root;
  EFI_STATUS Status = FileSystem->OpenVolume(FileSystem, Root.Out());
  if (EFI_ERROR(Status)) {
    Print(u"Open FileSystem error %x\n"_w, Hex32(Status));
    return Status;
  }

  FileHandleGuard File;
  Status = Root->Open(Root.Get(), File.Out(), const_cast<CHAR16 *>(FileName), EFI_FILE_MODE_READ,
                      EFI_FILE_READ_ONLY);
  if (EFI_ERROR(Status)) {
    Print(u"Open settings file error %x\n"_w, Hex32(Status));
    return Status;
  }

  alignas(EFI_FILE_INFO) UINT8 InfoBuffer[SETTINGS_FILE_INFO_BUFFER_SIZE];
  UINTN InfoSize = sizeof(InfoBuffer);
  Status = File->GetInfo(File.Get(), &gEfiFileInfoGuid, &InfoSize, InfoBuffer);
  if (EFI_ERROR(Status)) {
    // Also a record that does not fit the buffer (EFI_BUFFER_TOO_SMALL).
    Print(u"Get settings file info error %x\n"_w, Hex32(Status));
    return Status;
  }
  const UINT64 FileSize = reinterpret_cast<const EFI_FILE_INFO *>(InfoBuffer)->FileSize;
  if (FileSize < SETTINGS_FILE_MIN_SIZE) {
    // GetInfo itself succeeded; its status is what the line shows.
    Print(u"Get settings file info error %x\n"_w, Hex32(Status));
    return EFI_BAD_BUFFER_SIZE;
  }

  // A size the block cannot be counted for is refused like a failed allocation.
  if (FileSize > ~static_cast<UINTN>(0) - SETTINGS_FILE_OVERHEAD) {
    Print(u"Alloc SettingsFileData error \n"_w);
    return EFI_OUT_OF_RESOURCES;
  }
  *Block->Out() = static_cast<SETTINGS_FILE *>(AllocatePool(FileSize + SETTINGS_FILE_OVERHEAD));
  if (!*Block) {
    Print(u"Alloc SettingsFileData error \n"_w);
    return EFI_OUT_OF_RESOURCES;
  }

  SETTINGS_FILE *Settings = Block->Get();
  Settings->Length = FileSize;
  UINTN ReadSize = FileSize;
  Status = File->Read(File.Get(), &ReadSize, Settings->Data);
  if (EFI_ERROR(Status)) {
    Print(u"Read settings file error %x\n"_w, Hex32(Status));
    return Status;
  }
  // A short read leaves bytes behind the delivered ones unwritten: the text
  // is only what was read, so no lookup ever scans the rest.
  if (ReadSize < FileSize) Settings->Length = ReadSize;
  return Status;
}

}  // namespace

EFI_STATUS LoadSettingsFile(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                            const CHAR16 *FileName, SETTINGS_FILE **SettingsFileData) {
  if (SettingsFileData == nullptr) return EFI_INVALID_PARAMETER;
  *SettingsFileData = nullptr;
  if (FileName == nullptr) return EFI_INVALID_PARAMETER;

  // Declared first so that, on failure, the block is given back only after
  // every handle and the protocol are closed.
  PoolGuard<SETTINGS_FILE> Block;

  EFI_FILE_IO_INTERFACE *FileSystem = nullptr;
  EFI_STATUS Status = gOrvBootServices->OpenProtocol(
      DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, reinterpret_cast<VOID **>(&FileSystem),
      ImageHandle, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    Print(u"File system error %x\n"_w, Hex32(Status));
    return Status;
  }
  {
    OpenedProtocolGuard FileSystemOpened(DeviceHandle, &gEfiSimpleFileSystemProtocolGuid,
                                         ImageHandle);
    Status = ReadWholeFile(FileSystem, FileName, &Block);
  }
  if (EFI_ERROR(Status)) return Status;

  *SettingsFileData = Block.Release();
  return Status;
}

EFI_STATUS FreeSettingsFile(SETTINGS_FILE *SettingsFileData) {
  if (SettingsFileData != nullptr) FreePool(SettingsFileData);
  return EFI_SUCCESS;
}
