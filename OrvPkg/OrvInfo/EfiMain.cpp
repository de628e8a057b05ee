/** @file
  Image entry point of OrvInfo.efi. gnu-efi's start code calls efi_main
  with the System V convention, so it is declared without EFIAPI.
**/

#include "OrvInfo.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  return OrvInfoMain(ImageHandle, SystemTable);
}
