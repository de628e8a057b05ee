/** @file
  Simulated path component: the bus path the flash simulator talks through.
  PathInit and PathDeinit only track whether the path is up, and fail on
  request of the fault rules (read again at every PathInit).
**/

#include "SimEfi.h"
#include "SimFaults.h"

#include <OrvSimPathState.h>

const EFI_GUID gOrvPathProtocolGuid = ORV_PATH_PROTOCOL_GUID;
static constexpr EFI_GUID gOrvSimPathStateGuid = ORV_SIM_PATH_STATE_GUID;

namespace {

constinit EFI_HANDLE gDriverImage = nullptr;
constinit FAULT_RULES gFaults = {};

EFI_STATUS EFIAPI PathInit(VOID);
EFI_STATUS EFIAPI PathDeinit(VOID);

constinit ORV_PATH_PROTOCOL gPath = {PathInit, PathDeinit};
constinit ORV_SIM_PATH_STATE gState = {&gPath, 0};

EFI_STATUS EFIAPI PathInit(VOID) {
  EFI_STATUS Status = SimLoadFaults(gDriverImage, u"PathSim"_w, &gFaults);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (const FAULT_RULE *Rule = FaultHit(&gFaults, SIM_OP::PathInit, FAULT_ANY, FAULT_ANY, FAULT_ANY)) {
    return Rule->Status;
  }
  gState.Initialized = 1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PathDeinit(VOID) {
  if (const FAULT_RULE *Rule = FaultHit(&gFaults, SIM_OP::PathDeinit, FAULT_ANY, FAULT_ANY, FAULT_ANY)) {
    return Rule->Status;
  }
  gState.Initialized = 0;
  return EFI_SUCCESS;
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  gDriverImage = ImageHandle;
  EFI_HANDLE Handle = nullptr;
  EFI_STATUS Status = SimInstallProtocol(u"PathSim"_w, &Handle, &gOrvPathProtocolGuid, &gPath);
  if (EFI_ERROR(Status)) return Status;
  Status = SimInstallProtocol(u"PathSim"_w, &Handle, &gOrvSimPathStateGuid, &gState);
  if (EFI_ERROR(Status)) {
    BS->UninstallProtocolInterface(Handle, GuidArgument(gOrvPathProtocolGuid), &gPath);
    return Status;
  }
  return EFI_SUCCESS;
}
