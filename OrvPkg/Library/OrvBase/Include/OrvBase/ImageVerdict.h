/** @file
  The words for what a flash policy says of an image (ORV_IMAGE_VERDICT) and
  of an IC (ORV_IC_ENFORCES_* bits): one table, so every tool that shows a
  refusal shows it the same way.

  A refusal reads "refused: <reason>", the reason taken from the table:
    not signed | signed by a key the IC does not hold |
    signature does not verify | signed for the other zone |
    signed for product <p>, IC is product <q> | counter <c> below floor <f> |
    not an image of the IC's format | larger than the bank |
    verdict <v> unknown | query error <status>
  Counters and floors are decimal, product ids, verdicts and statuses
  hexadecimal. Any verdict other than ORV_IMAGE_ACCEPTED is a refusal, also
  one the table does not know, and so is a query that failed.
**/

#ifndef ORV_BASE_IMAGE_VERDICT_H_
#define ORV_BASE_IMAGE_VERDICT_H_

#include "Efi.h"

/// Which figures of ORV_IMAGE_ACCEPTANCE a reason's format takes.
enum class VERDICT_FIGURES : UINT8 { NONE, COUNTER_FLOOR, PRODUCTS, VERDICT };

struct IMAGE_VERDICT_TEXT {
  ORV_IMAGE_VERDICT Verdict;
  const char16_t *Format;  ///< a Print format of the reason
  VERDICT_FIGURES Figures;
};

constexpr IMAGE_VERDICT_TEXT IMAGE_VERDICT_TEXTS[] = {
    {ORV_IMAGE_ACCEPTED, u"accepted", VERDICT_FIGURES::NONE},
    {ORV_IMAGE_UNSIGNED, u"not signed", VERDICT_FIGURES::NONE},
    {ORV_IMAGE_UNKNOWN_KEY, u"signed by a key the IC does not hold", VERDICT_FIGURES::NONE},
    {ORV_IMAGE_BAD_SIGNATURE, u"signature does not verify", VERDICT_FIGURES::NONE},
    {ORV_IMAGE_WRONG_ZONE, u"signed for the other zone", VERDICT_FIGURES::NONE},
    {ORV_IMAGE_WRONG_PRODUCT, u"signed for product %x, IC is product %x",
     VERDICT_FIGURES::PRODUCTS},
    {ORV_IMAGE_BELOW_FLOOR, u"counter %d below floor %d", VERDICT_FIGURES::COUNTER_FLOOR},
    {ORV_IMAGE_MALFORMED, u"not an image of the IC's format", VERDICT_FIGURES::NONE},
    {ORV_IMAGE_TOO_LARGE, u"larger than the bank", VERDICT_FIGURES::NONE},
};

/// A verdict value the table does not hold: refused all the same.
constexpr IMAGE_VERDICT_TEXT UNKNOWN_VERDICT_TEXT = {0xFFFFFFFFu, u"verdict %x unknown",
                                                     VERDICT_FIGURES::VERDICT};

/// The verdict a question starts with: no component gives it.
constexpr ORV_IMAGE_VERDICT UNANSWERED_VERDICT = 0xFFFFFFFFu;

/// The reason of a query that could not be answered; its argument is the status.
constexpr const char16_t *QUERY_ERROR_FORMAT = u"query error %x";

/// The words of an IC's ORV_IC_ENFORCES_* bits, in the order they are shown.
struct ENFORCED_TEXT {
  UINT32 Bit;
  const char16_t *Word;
};
constexpr ENFORCED_TEXT ENFORCED_TEXTS[] = {
    {ORV_IC_ENFORCES_SIGNATURE, u"signature"},
    {ORV_IC_ENFORCES_ZONE, u"zone"},
    {ORV_IC_ENFORCES_PRODUCT, u"product"},
    {ORV_IC_ENFORCES_FLOOR, u"floor"},
};

/// The answer of one CheckImageAcceptance call.
struct IMAGE_QUERY {
  EFI_STATUS Status;  ///< the call's status; an error is a refusal
  ORV_IMAGE_ACCEPTANCE Acceptance;

  bool Accepted() const {
    return !EFI_ERROR(Status) && Acceptance.Verdict == ORV_IMAGE_ACCEPTED;
  }
};

/// The table entry of Verdict (UNKNOWN_VERDICT_TEXT for a value it lacks).
const IMAGE_VERDICT_TEXT &ImageVerdictText(ORV_IMAGE_VERDICT Verdict);

/**
  Ask Policy whether the IC would accept Size bytes at Data written into
  Zone. A missing slot answers EFI_UNSUPPORTED. The verdict is preset to
  UNANSWERED_VERDICT, so a call that succeeds without writing an answer is
  a refusal, never an acceptance.
**/
[[nodiscard]] IMAGE_QUERY QueryImageAcceptance(ORV_FLASH_POLICY_PROTOCOL *Policy, UINT8 Ic,
                                               UINT8 Zone, const UINT8 *Data, UINTN Size);

/// Prints "accepted", or the reason of the refusal (no line end).
void PrintImageVerdict(const IMAGE_QUERY &Query);

/// Prints the words of Enforced joined by "+", or "nothing" (no line end).
void PrintEnforced(UINT32 Enforced);

#endif
