/** @file
  The drivers' file layer beside the base library's reading: fixed-size
  writes, protocol installation, reports of refused files.
**/

#include "SimEfi.h"

EFI_STATUS SimWriteFile(EFI_FILE_HANDLE Root, const CHAR16 *Path, const VOID *Data, UINTN Size) {
  constexpr UINT64 Mode = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
  FileGuard File;
  EFI_STATUS Status = Root->Open(Root, File.Out(), const_cast<CHAR16 *>(Path), Mode, 0);
  if (EFI_ERROR(Status)) return Status;
  UINT64 OldSize = 0;
  {
    PoolGuard<EFI_FILE_INFO> Info(LibFileInfo(File.Get()));
    if (!Info) return EFI_DEVICE_ERROR;
    OldSize = Info->FileSize;
  }
  if (OldSize != Size) {
    // A file of another length is replaced, so it never keeps a stale tail.
    // Delete closes the handle, also when it fails.
    EFI_FILE_PROTOCOL *Replaced = File.Release();
    Status = Replaced->Delete(Replaced);
    if (Status != EFI_SUCCESS) return EFI_ERROR(Status) ? Status : EFI_ACCESS_DENIED;
    Status = Root->Open(Root, File.Out(), const_cast<CHAR16 *>(Path), Mode, 0);
    if (EFI_ERROR(Status)) return Status;
  }
  Status = File->SetPosition(File.Get(), 0);
  UINTN Written = Size;
  if (!EFI_ERROR(Status)) Status = File->Write(File.Get(), &Written, const_cast<VOID *>(Data));
  if (!EFI_ERROR(Status) && Written != Size) Status = EFI_VOLUME_FULL;
  if (!EFI_ERROR(Status)) Status = File->Flush(File.Get());
  // The data is on the volume only once the handle is closed.
  EFI_STATUS CloseStatus = File.Close();
  if (!EFI_ERROR(Status) && EFI_ERROR(CloseStatus)) Status = CloseStatus;
  return Status;
}

EFI_STATUS SimInstallProtocol(const CHAR16 *DriverName, EFI_HANDLE *Handle, const EFI_GUID *Guid,
                              VOID *Interface) {
  EFI_STATUS Status =
      BS->InstallProtocolInterface(Handle, GuidArgument(*Guid), EFI_NATIVE_INTERFACE, Interface);
  if (EFI_ERROR(Status)) {
    Print(u"%s: cannot install its protocol, %x\n"_w, DriverName, Hex32(Status));
  }
  return Status;
}

void SimReportBadFile(const CHAR16 *Component, const CHAR16 *File, UINT32 Line, const char *Reason) {
  if (Line != 0) {
    Print(u"%s: %s line %d: %a\n"_w, Component, File, Line, Reason);
  } else {
    Print(u"%s: %s: %a\n"_w, Component, File, Reason);
  }
}
