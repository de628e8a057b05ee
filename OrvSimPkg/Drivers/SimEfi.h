/** @file
  Common include for the simulated component drivers: the project's base
  definitions and the thin file layer the drivers use to read and write their
  files on a volume.
**/

#ifndef ORV_SIM_EFI_H_
#define ORV_SIM_EFI_H_

#include <OrvBase/Efi.h>

/**
  Open the root directory of the volume an image was loaded from.

  @param[in]  ImageHandle  A loaded image.
  @param[out] Root         Receives the open root; close it with Root->Close.
**/
EFI_STATUS SimOpenImageVolume(EFI_HANDLE ImageHandle, EFI_FILE_HANDLE *Root);

/**
  Read a whole file into pool memory, followed by one zero byte.

  @param[in]  Root     Root directory of the volume.
  @param[in]  Path     Path relative to Root.
  @param[in]  MaxSize  Larger files are refused with EFI_BAD_BUFFER_SIZE.
  @param[out] Data     Receives the bytes; the caller frees them with FreePool.
  @param[out] Size     Receives their count (without the zero byte).

  @retval EFI_NOT_FOUND  The file does not exist.
**/
EFI_STATUS SimReadFile(EFI_FILE_HANDLE Root, const CHAR16 *Path, UINTN MaxSize, UINT8 **Data, UINTN *Size);

/// Read a whole file from an open file handle (see SimReadFile).
EFI_STATUS SimReadOpenFile(EFI_FILE_HANDLE File, UINTN MaxSize, UINT8 **Data, UINTN *Size);

/**
  Write a file so that it holds exactly Size bytes: created when missing,
  recreated when its length differs, flushed and closed.
**/
EFI_STATUS SimWriteFile(EFI_FILE_HANDLE Root, const CHAR16 *Path, const VOID *Data, UINTN Size);

/**
  Install a driver's protocol on Handle (a new handle when *Handle is null).
  A failure is reported as "<DriverName>: cannot install its protocol, <status>".
**/
EFI_STATUS SimInstallProtocol(const CHAR16 *DriverName, EFI_HANDLE *Handle, EFI_GUID *Guid,
                              VOID *Interface);

/// Widen a terminated narrow text into Out (Capacity units, always terminated).
void SimWiden(const char *Text, CHAR16 *Out, UINTN Capacity);

#endif
