/** @file
  Image entry point of OrvCapsule.efi. gnu-efi's start code calls efi_main
  with the System V convention, so it is declared without EFIAPI.
**/

#include "OrvCapsule.h"

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  return OrvCapsuleMain(ImageHandle, SystemTable);
}
