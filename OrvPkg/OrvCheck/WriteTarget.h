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
  bool Isolated;                ///< the isolation check passed: the running bank is as it was
  bool Stranded;                ///< the IC could not be switched back: it runs Bank

  UINT8 Other() const { return static_cast<UINT8>(Bank ^ 1); }
};

/// Why the bank could not be read before the checks.
struct SAVE_FAILURE {
  const CHAR16 *Operation;  ///< the call that failed; null when the bank was saved
  EFI_STATUS Status;        ///< its status (EFI_SUCCESS: no read size was refused)
};

/// Erases the bank and writes Size bytes of Data into it, with the flash
/// unlocked: the programming steps of an update. A failure fails Check.
[[nodiscard]] bool Program(CHECK &Check, const TARGET &Target, const UINT8 *Data, UINTN Size);

/// The update's acceptance of the bank just written, in the same pass.
[[nodiscard]] VERDICT Judge(const TARGET &Target);

/// The update would not switch to a bank holding What; else Check fails.
bool ExpectRejected(CHECK &Check, const TARGET &Target, const VERDICT &Verdict,
                    const CHAR16 *What);

/**
  The checks of what the IC runs (-w on a board whose ICs enforce
  something): signed-only, zone-bound and floor, each on an IC whose flash
  policy claims it (GetIcSecurity), with images the IC must refuse written
  into the bank the checks write. See SecurityChecks.cpp.
**/
void CheckWhatIcRuns(const TARGET &Target, EFI_HANDLE ImageHandle, CHECK_REPORT &Report);

/// The ids of those checks, in order.
constexpr const char16_t *SECURITY_CHECK_IDS[] = {u"signed-only", u"zone-bound", u"floor"};

/**
  Whether the switch check may switch to Copy (a copy of the running bank,
  Target.BankSize bytes): without a flash policy, or on an IC that keeps no
  floor, yes; otherwise only when the policy accepts it with a counter equal
  to the floor, so that the switch cannot raise it. Else Check is skipped
  (or fails, when the question fails).
**/
[[nodiscard]] bool SwitchKeepsFloor(CHECK &Check, const TARGET &Target, const UINT8 *Copy);

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
