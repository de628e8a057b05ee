/** @file
  Calls of the bound components as the checks of OrvCheck.efi make them: each
  helper reports a failing call on the check's line (CheckReport.h) and says
  whether the check can go on. Passes and unlocked flash are held by the
  update module's guards, so every pass opened is closed and lockFlash
  follows every UnlockFlash, on every way out.
**/

#ifndef ORV_CHECK_FLASH_H_
#define ORV_CHECK_FLASH_H_

#include <OrvBase/Guards.h>

#include "../OrvUpdate/App/RunState.h"
#include "../OrvUpdate/Components/ComponentGuards.h"
#include "CheckReport.h"

/// A zone image's bytes, owned by the image parser.
struct IMAGE_BYTES {
  const UINT8 *Data;
  UINTN Size;
};

/// The image's bytes (GetImageData); a failure fails Check.
[[nodiscard]] bool GetImageBytes(CHECK &Check, ORV_IMAGE_HANDLE Image, IMAGE_BYTES *Bytes);

/// Reads Size bytes of a bank into a new buffer; a failure (no memory, or
/// ReadBankData's error) fails Check.
[[nodiscard]] bool ReadBank(CHECK &Check, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                            PoolGuard<UINT8> *Bytes);

/// Got equals Want; the first difference fails Check ("bank <b> differs at
/// <offset>: <got>, expected <want>").
[[nodiscard]] bool ExpectBytes(CHECK &Check, UINT8 Bank, const UINT8 *Got, const UINT8 *Want,
                               UINTN Size);

/// HardwareCheckBank of an OCM bank with the check value entering as 0, as
/// an update that is not forced calls it.
[[nodiscard]] EFI_STATUS HardwareCheck(UINT8 Ic, UINT8 Bank, UINT8 *Value);

/// The result of HardwareCheckBank of an OCM bank says good: a failure or a
/// value of 0 fails Check.
[[nodiscard]] bool ExpectGoodCheck(CHECK &Check, UINT8 Bank, EFI_STATUS Status, UINT8 Value);

/// HardwareCheckBank (preset 0) finds the OCM bank good.
[[nodiscard]] bool ExpectCheckedGood(CHECK &Check, UINT8 Ic, UINT8 Bank);

/// Opens a programming pass; a failure fails Check.
[[nodiscard]] bool OpenPass(FlashPassGuard &Pass, UINT8 Ic, CHECK &Check);

/// Closes the pass; a failure fails Check.
bool ClosePass(FlashPassGuard &Pass, CHECK &Check);

/// Runs Body inside one FlashPreOperation / ICPostOperation pair.
template <typename BODY>
void InPass(CHECK &Check, UINT8 Ic, BODY Body) {
  FlashPassGuard Pass;
  if (!OpenPass(Pass, Ic, Check)) return;
  Body();
  (void)ClosePass(Pass, Check);
}

/// Runs Body (which returns whether it succeeded) with the flash unlocked,
/// and locks it again whatever Body did.
template <typename BODY>
bool WithUnlockedFlash(CHECK &Check, UINT8 Ic, BODY Body) {
  FlashUnlockGuard Unlock;
  EFI_STATUS Status = Unlock.Open(pOrvFlashProtocol, Ic);
  if (EFI_ERROR(Status)) return Check.Fail(u"UnlockFlash error %x"_w, Hex32(Status));
  bool Done = Body();
  Status = Unlock.Close();
  if (EFI_ERROR(Status)) return Check.Fail(u"lockFlash error %x"_w, Hex32(Status));
  return Done;
}

#endif
