/** @file
  OrvInfo.efi: the read-only companion of OrvUpdate.efi. It takes the same
  command line and settings, and for each selected IC prints one line with
  its address, sections, versions and what an update with the same arguments
  would do; with -v it also compares the flash with the zone images. It
  never erases, writes, locks, checks or switches a bank.
**/

#ifndef ORV_INFO_H_
#define ORV_INFO_H_

#include "../OrvUpdate/App/OrvEfi.h"

/**
  One run of OrvInfo.efi, from the banner to the status handed back to the
  shell.

  @param[in] ImageHandle  The application's image handle.
  @param[in] SystemTable  The firmware's system table.

  @retval EFI_SUCCESS            Every selected IC was listed (and, with -v, matched).
  @retval EFI_CRC_ERROR          With -v: a bank differs from its image.
  @retval EFI_NOT_FOUND          A selected IC the board does not have, or no
                                 IC answers to the -d address.
  @retval EFI_INVALID_PARAMETER  The command line was refused (also -r).
  @retval EFI_UNSUPPORTED        No shell protocol, or -d without the flash
                                 component's address support.
  @retval others                 The failing status of the settings sequence,
                                 of IcInit, or of a component call for an IC.
**/
EFI_STATUS OrvInfoMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

/**
  Reads one IC and prints its line, then one line per failed component call:
  "IC %x <operation> error %x".

  @param[in] Index   IC index.
  @param[in] Verify  Also compare the active OCM bank and the customer banks
                     an update would write with their images.

  @retval EFI_SUCCESS    Listed (and, with Verify, every compared bank matched).
  @retval EFI_CRC_ERROR  With Verify: a bank differs, or the IC has no active
                         OCM bank to compare.
  @retval others         The status of the last component call that failed.
**/
[[nodiscard]] EFI_STATUS ReportIc(UINT8 Index, BOOLEAN Verify);

#endif
