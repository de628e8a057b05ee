// Resetting the run state (see RunStateReset.h).
#include "RunStateReset.h"

#include "RunState.h"

void ResetRunState() {
  RUN_FLAGS = 0;
  for (CHAR16 &C : OverridePaths) C = 0;
  ReduceFlashMask = 0;
  OcmImage = 0;
  CustomerImage = 0;
  pOrvImageProtocol = nullptr;
  pOrvFlashProtocol = nullptr;
  pOrvPathProtocolInterface = nullptr;
  gOrvBootServices = nullptr;
}
