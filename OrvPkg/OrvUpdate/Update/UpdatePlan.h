/** @file
  The update decision of one IC as a value: whether and where the OCM zone
  is programmed, and which customer banks are written. UpdateChip acts on it
  and OrvInfo.efi reports it, so the plan shown can never disagree with the
  update done.
**/

#ifndef ORV_UPDATE_PLAN_H_
#define ORV_UPDATE_PLAN_H_

#include "../App/OrvEfi.h"

/// Why the OCM zone is or is not programmed; the first reason that holds,
/// tested in this order: newer, forced, no section.
enum class OCM_DECISION : UINT8 {
  UP_TO_DATE,  ///< not programmed: the image is not newer, nothing forces it
  NEWER,       ///< the image version is greater than the chip version
  FORCED,      ///< RUN_FLAG_FORCE_UPDATE is set
  NO_SECTION,  ///< the IC reports no active section
};

struct OCM_PLAN {
  OCM_DECISION Decision;
  /// The inactive bank the image goes into (meaningful when programmed).
  UINT8 TargetBank;

  constexpr bool Programs() const { return Decision != OCM_DECISION::UP_TO_DATE; }
};

/**
  The OCM zone rule: programmed when the image version is greater than the
  chip version (unsigned 64-bit, the chip version zero-extended), when the
  update is forced, or when the IC reports no section (SECTION_INVALID). The
  target is bank 1 for section 0, else bank 0.

  @param[in] Section       The IC's active section, or SECTION_INVALID.
  @param[in] ChipVersion   GetIcVersion of that section.
  @param[in] ImageVersion  GetImageVersion of the OCM image.
  @param[in] RunFlags      RUN_FLAGS of the run.
**/
[[nodiscard]] OCM_PLAN PlanOcmZone(UINT8 Section, UINT32 ChipVersion, UINT64 ImageVersion,
                                   UINT32 RunFlags);

/**
  The customer zone rule: with a customer image, bank 0, and also bank 1
  with RUN_FLAG_INCLUDE_CUSTOMER_BKP; without one, no bank.

  @return The number of customer banks written, 0, 1 or 2 (banks 0 to n - 1).
**/
[[nodiscard]] UINT8 PlanCustomerBanks(bool HasCustomerImage, UINT32 RunFlags);

#endif
