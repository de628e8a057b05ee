/** @file
  The update decision of one IC (see UpdatePlan.h).
**/

#include "UpdatePlan.h"

#include "../App/RunState.h"

OCM_PLAN PlanOcmZone(UINT8 Section, UINT32 ChipVersion, UINT64 ImageVersion, UINT32 RunFlags) {
  // The inactive bank; an IC without a valid section gets bank 0.
  const UINT8 TargetBank = Section == 0 ? 1 : 0;
  // Both versions compared as unsigned 64-bit numbers: an image version above
  // 32 bits is newer than any chip version.
  if (ImageVersion > static_cast<UINT64>(ChipVersion)) {
    return {OCM_DECISION::NEWER, TargetBank};
  }
  if ((RunFlags & RUN_FLAG_FORCE_UPDATE) != 0) {
    return {OCM_DECISION::FORCED, TargetBank};
  }
  if (Section == SECTION_INVALID) {
    return {OCM_DECISION::NO_SECTION, TargetBank};
  }
  return {OCM_DECISION::UP_TO_DATE, TargetBank};
}

UINT8 PlanCustomerBanks(bool HasCustomerImage, UINT32 RunFlags) {
  if (!HasCustomerImage) {
    return 0;
  }
  return (RunFlags & RUN_FLAG_INCLUDE_CUSTOMER_BKP) != 0 ? 2 : 1;
}
