/** @file
  Whole-file reading through the Simple File System protocol.
**/

#include <OrvBase/FileRead.h>

EFI_STATUS OpenImageVolume(EFI_BOOT_SERVICES *BootServices, EFI_HANDLE ImageHandle,
                           FileGuard *Root) {
  EFI_LOADED_IMAGE *Loaded = nullptr;
  EFI_STATUS Status = HandleProtocolOf(BootServices, ImageHandle, &Loaded);
  if (EFI_ERROR(Status)) return Status;
  if (Loaded == nullptr || Loaded->DeviceHandle == nullptr) return EFI_NOT_FOUND;
  EFI_FILE_IO_INTERFACE *Volume = nullptr;
  Status = HandleProtocolOf(BootServices, Loaded->DeviceHandle, &Volume);
  if (EFI_ERROR(Status)) return Status;
  // A failed OpenVolume may leave anything in its out-parameter.
  EFI_FILE_PROTOCOL *Opened = nullptr;
  Status = Volume->OpenVolume(Volume, &Opened);
  if (EFI_ERROR(Status)) return Status;
  *Root = FileGuard(Opened);
  return EFI_SUCCESS;
}

EFI_STATUS ReadOpenFile(EFI_FILE_PROTOCOL *File, UINTN MaxSize, PoolGuard<UINT8> *Data,
                        UINTN *Size) {
  UINT64 FileSize = 0;
  {
    PoolGuard<EFI_FILE_INFO> Info(LibFileInfo(File));
    if (!Info) return EFI_DEVICE_ERROR;
    if ((Info->Attribute & EFI_FILE_DIRECTORY) != 0) return EFI_NOT_FOUND;
    FileSize = Info->FileSize;
  }
  if (FileSize > MaxSize) return EFI_BAD_BUFFER_SIZE;
  PoolGuard<UINT8> Buffer = PoolGuard<UINT8>::Allocate(static_cast<UINTN>(FileSize) + 1);
  if (!Buffer) return EFI_OUT_OF_RESOURCES;
  EFI_STATUS Status = ReadFileBytes(File, Buffer.Get(), static_cast<UINTN>(FileSize));
  if (EFI_ERROR(Status)) return Status;
  Buffer[static_cast<UINTN>(FileSize)] = 0;
  *Data = static_cast<PoolGuard<UINT8> &&>(Buffer);
  *Size = static_cast<UINTN>(FileSize);
  return EFI_SUCCESS;
}

EFI_STATUS ReadFileBytes(EFI_FILE_PROTOCOL *File, VOID *Buffer, UINTN Size) {
  // Read may deliver less than asked for: read on until every byte is in. A
  // read that delivers nothing means the file is shorter than its size said;
  // a text cut short is refused rather than used as far as it goes.
  UINT8 *Bytes = static_cast<UINT8 *>(Buffer);
  UINTN Done = 0;
  while (Done < Size) {
    UINTN Chunk = Size - Done;
    EFI_STATUS Status = File->Read(File, &Chunk, Bytes + Done);
    if (EFI_ERROR(Status)) return Status;
    if (Chunk == 0) return EFI_END_OF_FILE;
    Done += Chunk;
  }
  return EFI_SUCCESS;
}

EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL *Root, const CHAR16 *Path, UINTN MaxSize,
                         PoolGuard<UINT8> *Data, UINTN *Size) {
  EFI_FILE_PROTOCOL *Opened = nullptr;
  EFI_STATUS Status =
      Root->Open(Root, &Opened, const_cast<CHAR16 *>(Path), EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR(Status)) return Status;
  FileGuard File(Opened);
  return ReadOpenFile(File.Get(), MaxSize, Data, Size);
}
