/** @file
  Common include for the simulated component drivers: the project's base
  definitions (guards, status helpers, whole-file reading, bounded strings)
  and what the drivers add: fixed-size file writes, protocol installation,
  reports of refused files.
**/

#ifndef ORV_SIM_EFI_H_
#define ORV_SIM_EFI_H_

#include <OrvBase/Efi.h>
#include <OrvBase/FileRead.h>
#include <OrvBase/Guards.h>
#include <OrvBase/Status.h>
#include <OrvBase/StringLib.h>

/**
  Write a file so that it holds exactly Size bytes: created when missing,
  recreated when its length differs, flushed and closed.
**/
EFI_STATUS SimWriteFile(EFI_FILE_HANDLE Root, const CHAR16 *Path, const VOID *Data, UINTN Size);

/**
  Install a driver's protocol on Handle (a new handle when *Handle is null).
  A failure is reported as "<DriverName>: cannot install its protocol, <status>".
**/
EFI_STATUS SimInstallProtocol(const CHAR16 *DriverName, EFI_HANDLE *Handle, const EFI_GUID *Guid,
                              VOID *Interface);

/**
  Report a file the driver refused: "<Component>: <File> line <n>: <Reason>",
  or without the line when the reason is not tied to one (Line 0).
**/
void SimReportBadFile(const CHAR16 *Component, const CHAR16 *File, UINT32 Line, const char *Reason);

#endif
