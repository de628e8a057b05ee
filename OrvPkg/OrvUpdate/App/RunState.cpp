/** @file
  Definitions of the module-level run state (see RunState.h).
**/

#include "RunState.h"

#include <Protocol/OrvFlashPolicyProtocol.h>

constinit UINT32 RUN_FLAGS = 0;
constinit CHAR16 OverridePaths[OVERRIDE_PATHS_LENGTH] = {};
constinit UINT32 ReduceFlashMask = 0;
constinit ORV_IMAGE_HANDLE OcmImage = 0;
constinit ORV_IMAGE_HANDLE CustomerImage = 0;
constinit ORV_IMAGE_PROTOCOL *pOrvImageProtocol = nullptr;
constinit ORV_FLASH_PROTOCOL *pOrvFlashProtocol = nullptr;
constinit ORV_PATH_PROTOCOL *pOrvPathProtocolInterface = nullptr;
constinit ORV_FLASH_POLICY_PROTOCOL *pOrvFlashPolicyProtocol = nullptr;
constinit EFI_BOOT_SERVICES *gOrvBootServices = nullptr;

const EFI_GUID gOrvFlashProtocolGuid = ORV_FLASH_PROTOCOL_GUID;
const EFI_GUID gOrvImageProtocolGuid = ORV_IMAGE_PROTOCOL_GUID;
const EFI_GUID gOrvPathProtocolGuid = ORV_PATH_PROTOCOL_GUID;
const EFI_GUID gOrvFlashPolicyProtocolGuid = ORV_FLASH_POLICY_PROTOCOL_GUID;

void ResetRunState(EFI_BOOT_SERVICES *BootServices) {
  RUN_FLAGS = 0;
  gOrvBootServices = BootServices;
  OcmImage = 0;
  CustomerImage = 0;
  ReduceFlashMask = 0;
  pOrvImageProtocol = nullptr;
  pOrvFlashProtocol = nullptr;
  pOrvPathProtocolInterface = nullptr;
  pOrvFlashPolicyProtocol = nullptr;
  gOrvBootServices->SetMem(OcmOverridePath(), OVERRIDE_HALF_LENGTH * sizeof(CHAR16), 0);
  gOrvBootServices->SetMem(CustomerOverridePath(), OVERRIDE_HALF_LENGTH * sizeof(CHAR16), 0);
}
