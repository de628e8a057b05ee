/** @file
  Common include for the application: the project's base definitions (UEFI
  types, component protocols, literal adapters) and the shell interfaces.
**/

#ifndef ORV_EFI_H_
#define ORV_EFI_H_

#include <OrvBase/Efi.h>

extern "C" {
#include <efishellintf.h>
}

#endif
