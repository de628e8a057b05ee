/** @file
  Guards for the paired operations of the bound components (see
  ComponentGuards.h).
**/

#include "ComponentGuards.h"

void ZoneImageGuard::Free() noexcept {
  if (Handle != nullptr && *Handle != 0 && pOrvImageProtocol != nullptr) {
    pOrvImageProtocol->FreeImage(*Handle);
    *Handle = 0;
  }
}

EFI_STATUS PathSessionGuard::Open() noexcept {
  Close();
  ORV_PATH_PROTOCOL *Path = pOrvPathProtocolInterface;
  EFI_STATUS Status = Path->PathInit();
  if (!EFI_ERROR(Status)) Opened = Path;
  return Status;
}

void PathSessionGuard::Close() noexcept {
  ORV_PATH_PROTOCOL *Path = Opened;
  Opened = nullptr;
  if (Path != nullptr) Path->PathDeinit();
}
