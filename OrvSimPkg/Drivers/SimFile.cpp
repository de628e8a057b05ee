/** @file
  The drivers' file layer: volume of a loaded image, whole-file read and
  fixed-size write.
**/

#include "SimEfi.h"

EFI_STATUS SimOpenImageVolume(EFI_HANDLE ImageHandle, EFI_FILE_HANDLE *Root) {
  EFI_LOADED_IMAGE *Loaded = nullptr;
  EFI_STATUS Status = BS->HandleProtocol(ImageHandle, &LoadedImageProtocol,
                                         reinterpret_cast<VOID **>(&Loaded));
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Loaded == nullptr || Loaded->DeviceHandle == nullptr) {
    return EFI_NOT_FOUND;
  }
  EFI_FILE_IO_INTERFACE *Volume = nullptr;
  Status = BS->HandleProtocol(Loaded->DeviceHandle, &FileSystemProtocol,
                              reinterpret_cast<VOID **>(&Volume));
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return Volume->OpenVolume(Volume, Root);
}

EFI_STATUS SimReadOpenFile(EFI_FILE_HANDLE File, UINTN MaxSize, UINT8 **Data, UINTN *Size) {
  EFI_FILE_INFO *Info = LibFileInfo(File);
  if (Info == nullptr) {
    return EFI_DEVICE_ERROR;
  }
  UINT64 FileSize = Info->FileSize;
  bool IsDirectory = (Info->Attribute & EFI_FILE_DIRECTORY) != 0;
  FreePool(Info);
  if (IsDirectory) {
    return EFI_NOT_FOUND;
  }
  if (FileSize > MaxSize) {
    return EFI_BAD_BUFFER_SIZE;
  }
  UINT8 *Buffer = static_cast<UINT8 *>(AllocatePool(static_cast<UINTN>(FileSize) + 1));
  if (Buffer == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  UINTN Done = 0;
  while (Done < FileSize) {
    UINTN Chunk = static_cast<UINTN>(FileSize) - Done;
    EFI_STATUS Status = File->Read(File, &Chunk, Buffer + Done);
    if (EFI_ERROR(Status) || Chunk == 0) {
      FreePool(Buffer);
      return EFI_ERROR(Status) ? Status : EFI_END_OF_FILE;
    }
    Done += Chunk;
  }
  Buffer[Done] = 0;
  *Data = Buffer;
  *Size = Done;
  return EFI_SUCCESS;
}

EFI_STATUS SimReadFile(EFI_FILE_HANDLE Root, const CHAR16 *Path, UINTN MaxSize, UINT8 **Data, UINTN *Size) {
  EFI_FILE_HANDLE File = nullptr;
  EFI_STATUS Status = Root->Open(Root, &File, const_cast<CHAR16 *>(Path), EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = SimReadOpenFile(File, MaxSize, Data, Size);
  File->Close(File);
  return Status;
}

EFI_STATUS SimWriteFile(EFI_FILE_HANDLE Root, const CHAR16 *Path, const VOID *Data, UINTN Size) {
  constexpr UINT64 Mode = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
  EFI_FILE_HANDLE File = nullptr;
  EFI_STATUS Status = Root->Open(Root, &File, const_cast<CHAR16 *>(Path), Mode, 0);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_FILE_INFO *Info = LibFileInfo(File);
  if (Info == nullptr) {
    File->Close(File);
    return EFI_DEVICE_ERROR;
  }
  UINT64 OldSize = Info->FileSize;
  FreePool(Info);
  if (OldSize != Size) {
    // A file of another length is replaced, so it never keeps a stale tail.
    Status = File->Delete(File);
    if (Status != EFI_SUCCESS) {
      return EFI_ERROR(Status) ? Status : EFI_ACCESS_DENIED;
    }
    Status = Root->Open(Root, &File, const_cast<CHAR16 *>(Path), Mode, 0);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  Status = File->SetPosition(File, 0);
  UINTN Written = Size;
  if (!EFI_ERROR(Status)) {
    Status = File->Write(File, &Written, const_cast<VOID *>(Data));
  }
  if (!EFI_ERROR(Status) && Written != Size) {
    Status = EFI_VOLUME_FULL;
  }
  if (!EFI_ERROR(Status)) {
    Status = File->Flush(File);
  }
  EFI_STATUS CloseStatus = File->Close(File);
  if (!EFI_ERROR(Status) && EFI_ERROR(CloseStatus)) {
    Status = CloseStatus;
  }
  return Status;
}

void SimWiden(const char *Text, CHAR16 *Out, UINTN Capacity) {
  UINTN Index = 0;
  for (; Index + 1 < Capacity && Text[Index] != '\0'; Index++) {
    Out[Index] = static_cast<UINT8>(Text[Index]);
  }
  if (Capacity > 0) {
    Out[Index] = 0;
  }
}

EFI_STATUS SimInstallProtocol(const CHAR16 *DriverName, EFI_HANDLE *Handle, EFI_GUID *Guid,
                              VOID *Interface) {
  EFI_STATUS Status = BS->InstallProtocolInterface(Handle, Guid, EFI_NATIVE_INTERFACE, Interface);
  if (EFI_ERROR(Status)) {
    Print(u"%s: cannot install its protocol, %x\n"_w, DriverName, Hex32(Status));
  }
  return Status;
}
