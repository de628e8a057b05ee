/** @file
  The application's entry function and the read-mode step.
**/

#ifndef ORV_UPDATE_H_
#define ORV_UPDATE_H_

#include "OrvEfi.h"

/**
  One run of the tool, from the version banner to the status handed back to
  the shell.

  @param[in] ImageHandle  The application's image handle.
  @param[in] SystemTable  The firmware's system table.

  @retval EFI_SUCCESS            Every selected IC was handled without failure
                                 (also: nothing selected, read mode).
  @retval EFI_UNSUPPORTED        No shell protocol, or -d without the flash
                                 component's address support.
  @retval EFI_INVALID_PARAMETER  The command line was refused.
  @retval EFI_NOT_FOUND          No IC answers to the -d address.
  @retval others                 The failing status of the settings sequence,
                                 of IcInit, or of a selected IC.
**/
EFI_STATUS OrvUpdateMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

/**
  Read-mode step for one IC: echoes the -r address and length held in the
  two halves of OverridePaths. Touches no IC.

  @param[in] Index  IC index.

  @retval EFI_SUCCESS  Always.
**/
[[nodiscard]] EFI_STATUS ReadIc(UINT8 Index);

#endif
