/** @file
  The update engine: the per-IC update decision and bank programming.
**/

#ifndef ORV_UPDATE_ENGINE_H_
#define ORV_UPDATE_ENGINE_H_

#include "../App/OrvEfi.h"

/**
  Bring one IC up to date: program the OCM image into the inactive bank when
  it is newer (or forced, or the IC reports no section), then the customer
  image into bank 0 and, with the backup flag, bank 1.

  @param[in] Index  IC index.

  @retval EFI_SUCCESS             Every step that applied succeeded (also: nothing to do).
  @retval EFI_DEVICE_ERROR        A step failed; its message is printed.
  @retval EFI_SECURITY_VIOLATION  The flash policy refused an image the IC was
                                  going to get; nothing was erased.
**/
[[nodiscard]] EFI_STATUS UpdateChip(UINT8 Index);

/**
  Before the first pass of an IC: when the flash component has a policy,
  asks it about the OCM image (Ocm) and the customer image (Customer) as
  the IC would get them, and prints one line per refused image:
  "IC <i> OCM image refused: <reason>" or "IC <i> customer image refused:
  <reason>" (reasons: OrvBase/ImageVerdict.h). A failed question is a
  refusal. An image whose bytes cannot be had is not asked about (the
  update's own GetImageData fails in its usual place).

  @retval EFI_SUCCESS             No policy, or every image asked about is accepted.
  @retval EFI_SECURITY_VIOLATION  An image is refused.
**/
[[nodiscard]] EFI_STATUS CheckImagesAccepted(UINT8 Index, bool Ocm, bool Customer);

/**
  Write one zone image into one bank of one IC and verify it: pre-operation,
  unlock, erase, write, lock, read back and compare, post-operation, hardware
  check and, for ZONE_OCM, the bank switch.

  @param[in] Ic    IC index.
  @param[in] Bank  0 or 1.
  @param[in] Zone  ZONE_OCM or ZONE_CUSTOMER.
  @param[in] Size  Image size in bytes.
  @param[in] Data  Image bytes, owned by the image component; only read.

  @retval EFI_SUCCESS       Written, verified and (OCM) switched.
  @retval EFI_DEVICE_ERROR  A step failed or the hardware check found the bank bad.
  @retval others            The failing status of FlashPreOperation or ICPostOperation.
**/
[[nodiscard]] EFI_STATUS ProgramBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                                     const UINT8 *Data);

#endif
