/** @file
  Image entry point of OrvFmp.efi, a boot-services driver. gnu-efi's start
  code calls efi_main with the System V convention, so it is declared
  without EFIAPI.
**/

#include "OrvFmp.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  return OrvFmpMain(ImageHandle, SystemTable);
}
