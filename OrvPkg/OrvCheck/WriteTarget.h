/** @file
  The bank the checks of -w write (WriteChecks.cpp), what is kept to put it
  back, and its saving before the first write (SaveBank.cpp).
**/

#ifndef ORV_CHECK_WRITE_TARGET_H_
#define ORV_CHECK_WRITE_TARGET_H_

#include "CheckFlash.h"

/// Reads of a bank are tried up to this size to find where it ends.
constexpr UINTN BANK_PROBE_LIMIT = 32u * 1024 * 1024;

/**
  What the update's acceptance of a bank it has just written gave, in the
  pass of the write: FlashPostOperation, then HardwareCheckBank with the
  check value preset to 0. The update switches to the bank only when both
  succeed and the value is nonzero.
**/
struct VERDICT {
  EFI_STATUS PostStatus;
  EFI_STATUS CheckStatus;  ///< EFI_NOT_STARTED when FlashPostOperation failed
  UINT8 Value;

  bool Accepted() const { return !EFI_ERROR(PostStatus) && !EFI_ERROR(CheckStatus) && Value != 0; }
};

/// The bank the checks write, and what they need to put it back.
struct TARGET {
  UINT8 Ic;
  UINT8 Bank;     ///< the bank an update would write
  UINT8 Section;  ///< the active section before the checks
  IMAGE_BYTES Image;
  UINTN BankSize;               ///< bytes of the bank ReadBankData gives
  PoolGuard<UINT8> Saved;       ///< the whole bank before the checks
  PoolGuard<UINT8> OtherSaved;  ///< the other OCM bank's first Image.Size bytes
  bool Erased;                  ///< the erase check passed
  VERDICT ErasedVerdict;        ///< the acceptance of the erased bank
  bool Written;                 ///< the write check passed
  VERDICT WrittenVerdict;       ///< the acceptance of the written image
  bool CheckedGood;             ///< the check-good check passed
  bool Stranded;                ///< the IC could not be switched back: it runs Bank

  UINT8 Other() const { return static_cast<UINT8>(Bank ^ 1); }
};

/// Why the bank could not be read before the checks.
struct SAVE_FAILURE {
  const CHAR16 *Operation;  ///< the call that failed; null when the bank was saved
  EFI_STATUS Status;        ///< its status (EFI_SUCCESS: no read size was refused)
};

/// The OCM zone image's bytes into Target->Image.
[[nodiscard]] SAVE_FAILURE GetTargetImage(TARGET *Target);

/**
  In one pass, before anything is written: the whole bank into Saved (its
  size found by reads, see SaveBank.cpp) and the first Image.Size bytes of
  the other OCM bank into OtherSaved.

  @return Operation null when both were read; else the call that failed.
**/
[[nodiscard]] SAVE_FAILURE SaveTarget(TARGET *Target);

#endif
