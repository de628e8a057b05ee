/** @file
  Settings file loading. The clean-up order (file, root directory, Simple File
  System protocol, then the block on failure) is expressed by the order in
  which the guards below are declared.
**/

#include "SettingsFile.h"

#include <OrvBase/FileRead.h>
#include <OrvBase/Guards.h>
#include <OrvBase/ProtocolPtr.h>
#include <OrvBase/Status.h>
#include "../App/RunState.h"

namespace {

/// Bytes of the block besides the text: Length in front, 8 spare bytes behind.
constexpr UINTN SETTINGS_FILE_OVERHEAD = sizeof(UINT64) + 8;

static_assert(offsetof(SETTINGS_FILE, Data) == sizeof(UINT64), "Length, then the text");
static_assert(SETTINGS_FILE_INFO_BUFFER_SIZE >= offsetof(EFI_FILE_INFO, FileName) + sizeof(CHAR16),
              "the info buffer holds the record and at least a terminated empty name");

/// Opens FileName from the volume's root, checks its size and reads it whole
/// into a new block held by Block. The file and the root directory are closed
/// when this returns, file first.
EFI_STATUS ReadSettingsBlock(EFI_FILE_IO_INTERFACE *FileSystem, const CHAR16 *FileName,
                             PoolGuard<SETTINGS_FILE> *Block) {
  FileGuard Root;
  EFI_STATUS Status = FileSystem->OpenVolume(FileSystem, Root.Out());
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Open FileSystem error %x\n"_w);

  FileGuard File;
  Status = Root->Open(Root.Get(), File.Out(), const_cast<CHAR16 *>(FileName), EFI_FILE_MODE_READ,
                      EFI_FILE_READ_ONLY);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Open settings file error %x\n"_w);

  alignas(EFI_FILE_INFO) UINT8 InfoBuffer[SETTINGS_FILE_INFO_BUFFER_SIZE];
  UINTN InfoSize = sizeof(InfoBuffer);
  Status = File->GetInfo(File.Get(), &gEfiFileInfoGuid, &InfoSize, InfoBuffer);
  // Also a record that does not fit the buffer (EFI_BUFFER_TOO_SMALL).
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Get settings file info error %x\n"_w);
  const UINT64 FileSize = reinterpret_cast<const EFI_FILE_INFO *>(InfoBuffer)->FileSize;
  if (FileSize < SETTINGS_FILE_MIN_SIZE) {
    // GetInfo itself succeeded; its status is what the line shows.
    return PrintAndReturn(EFI_BAD_BUFFER_SIZE, u"Get settings file info error %x\n"_w,
                          Hex32(Status));
  }

  // A size the block cannot be counted for is refused like a failed allocation.
  if (FileSize > ~static_cast<UINTN>(0) - SETTINGS_FILE_OVERHEAD) {
    return PrintAndReturn(EFI_OUT_OF_RESOURCES, u"Alloc SettingsFileData error \n"_w);
  }
  *Block->Out() = static_cast<SETTINGS_FILE *>(AllocatePool(FileSize + SETTINGS_FILE_OVERHEAD));
  if (!*Block) return PrintAndReturn(EFI_OUT_OF_RESOURCES, u"Alloc SettingsFileData error \n"_w);

  SETTINGS_FILE *Settings = Block->Get();
  Settings->Length = FileSize;
  // The same rule as every file the tools read: a file that ends before its
  // size is refused, so a settings text cut short never loses its last keys.
  Status = ReadFileBytes(File.Get(), Settings->Data, static_cast<UINTN>(FileSize));
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Read settings file error %x\n"_w);
  return Status;
}

}  // namespace

EFI_STATUS LoadSettingsFile(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                            const CHAR16 *FileName, SettingsFileGuard *SettingsFileData) {
  if (SettingsFileData == nullptr) return EFI_INVALID_PARAMETER;
  SettingsFileData->Reset();
  if (FileName == nullptr) return EFI_INVALID_PARAMETER;

  // Declared first so that, on failure, the block is given back only after
  // every handle and the protocol are closed.
  PoolGuard<SETTINGS_FILE> Block;

  EFI_STATUS Status;
  {
    ProtocolPtr<EFI_FILE_IO_INTERFACE> FileSystem;
    Status = FileSystem.Open(gOrvBootServices, DeviceHandle, ImageHandle);
    if (EFI_ERROR(Status)) return ReportStatus(Status, u"File system error %x\n"_w);
    Status = ReadSettingsBlock(FileSystem.Get(), FileName, &Block);
  }
  if (EFI_ERROR(Status)) return Status;

  SettingsFileData->Reset(Block.Release());
  return Status;
}

EFI_STATUS FreeSettingsFile(SETTINGS_FILE *SettingsFileData) {
  if (SettingsFileData != nullptr) FreePool(SettingsFileData);
  return EFI_SUCCESS;
}
