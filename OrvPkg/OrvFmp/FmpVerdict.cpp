/** @file
  The image verdict: what the IC would say of a candidate image, in the
  FMP's terms (IMAGE_UPDATABLE_* for CheckImage, LAST_ATTEMPT_STATUS_* and a
  status for a refused SetImage).
**/

#include "OrvFmp.h"

#include "FmpVersion.h"

namespace {

/// One row per verdict of the flash policy protocol.
struct VERDICT_MAPPING {
  ORV_IMAGE_VERDICT Verdict;
  UINT32 Updatable;
  UINT32 LastAttemptStatus;
  EFI_STATUS RefusalStatus;
};

constexpr VERDICT_MAPPING VERDICTS[] = {
    {ORV_IMAGE_ACCEPTED, IMAGE_UPDATABLE_VALID, LAST_ATTEMPT_STATUS_SUCCESS, EFI_SUCCESS},
    {ORV_IMAGE_UNSIGNED, IMAGE_UPDATABLE_INVALID, LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR,
     EFI_SECURITY_VIOLATION},
    {ORV_IMAGE_UNKNOWN_KEY, IMAGE_UPDATABLE_INVALID, LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR,
     EFI_SECURITY_VIOLATION},
    {ORV_IMAGE_BAD_SIGNATURE, IMAGE_UPDATABLE_INVALID, LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR,
     EFI_SECURITY_VIOLATION},
    {ORV_IMAGE_WRONG_ZONE, IMAGE_UPDATABLE_INVALID_TYPE, LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT,
     EFI_SECURITY_VIOLATION},
    {ORV_IMAGE_WRONG_PRODUCT, IMAGE_UPDATABLE_INVALID_TYPE,
     LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT, EFI_SECURITY_VIOLATION},
    {ORV_IMAGE_BELOW_FLOOR, IMAGE_UPDATABLE_INVALID_OLD, LAST_ATTEMPT_STATUS_ERROR_INCORRECT_VERSION,
     EFI_SECURITY_VIOLATION},
    {ORV_IMAGE_MALFORMED, IMAGE_UPDATABLE_INVALID, LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT,
     EFI_ABORTED},
    {ORV_IMAGE_TOO_LARGE, IMAGE_UPDATABLE_INVALID, LAST_ATTEMPT_STATUS_ERROR_INSUFFICIENT_RESOURCES,
     EFI_ABORTED},
};

/// A verdict the driver does not know, or a question the component could
/// not answer: refused, as the protocol's contract asks.
constexpr VERDICT_MAPPING UNANSWERED = {ORV_IMAGE_MALFORMED, IMAGE_UPDATABLE_INVALID,
                                        LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL, EFI_ABORTED};

const VERDICT_MAPPING &MappingOf(ORV_IMAGE_VERDICT Verdict) {
  for (const VERDICT_MAPPING &Row : VERDICTS) {
    if (Row.Verdict == Verdict) return Row;
  }
  return UNANSWERED;
}

FMP_VERDICT VerdictOf(const VERDICT_MAPPING &Row, UINT8 Zone, UINT32 Counter, UINT64 Version) {
  FMP_VERDICT Out{};
  Out.Zone = Zone;
  Out.Counter = Counter;
  Out.Version = FmpVersionOf(Counter, Version);
  Out.Updatable = Row.Updatable;
  Out.LastAttemptStatus = Row.LastAttemptStatus;
  Out.RefusalStatus = Row.RefusalStatus;
  return Out;
}

/// The bank image header: "ORVI", payload length, 64-bit version (little-endian).
constexpr UINTN IMAGE_HEADER_SIZE = 24;
constexpr UINTN IMAGE_VERSION_OFFSET = 8;
constexpr UINT8 IMAGE_MAGIC[4] = {'O', 'R', 'V', 'I'};

}  // namespace

UINT64 FmpImageVersionOf(const UINT8 *Data, UINTN Size) {
  if (Data == nullptr || Size < IMAGE_HEADER_SIZE) return 0;
  for (UINTN Index = 0; Index < sizeof(IMAGE_MAGIC); Index++) {
    if (Data[Index] != IMAGE_MAGIC[Index]) return 0;
  }
  UINT64 Version = 0;
  for (UINTN Index = 8; Index-- > 0;) {
    Version = (Version << 8) | Data[IMAGE_VERSION_OFFSET + Index];
  }
  return Version;
}

FMP_VERDICT FmpJudgeImage(UINT8 Ic, const UINT8 *Data, UINTN Size) {
  const UINT64 Version = FmpImageVersionOf(Data, Size);
  ORV_FLASH_POLICY_PROTOCOL *Policy = gOrvFmp.Policy;
  if (Policy == nullptr) {
    // Nothing can be asked before writing: the image goes into the inactive
    // OCM bank, and the IC's hardware check decides before any switch.
    return VerdictOf(VERDICTS[0], ZONE_OCM, 0, Version);
  }

  ORV_IMAGE_ACCEPTANCE Answer{};
  EFI_STATUS Status = Policy->CheckImageAcceptance(Ic, ZONE_OCM, Data, Size, &Answer);
  UINT8 Zone = ZONE_OCM;
  // An image signed for the customer zone goes there: its own zone decides.
  if (!EFI_ERROR(Status) && Answer.ImageZone == ZONE_CUSTOMER) {
    Zone = ZONE_CUSTOMER;
    Answer = {};
    Status = Policy->CheckImageAcceptance(Ic, ZONE_CUSTOMER, Data, Size, &Answer);
  }
  if (EFI_ERROR(Status)) return VerdictOf(UNANSWERED, Zone, 0, Version);
  return VerdictOf(MappingOf(Answer.Verdict), Zone, Answer.ImageCounter, Version);
}
