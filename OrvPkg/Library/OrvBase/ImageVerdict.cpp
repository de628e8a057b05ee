/** @file
  The words of flash policy verdicts (see ImageVerdict.h).
**/

#include <OrvBase/ImageVerdict.h>

const IMAGE_VERDICT_TEXT &ImageVerdictText(ORV_IMAGE_VERDICT Verdict) {
  for (const IMAGE_VERDICT_TEXT &Entry : IMAGE_VERDICT_TEXTS) {
    if (Entry.Verdict == Verdict) return Entry;
  }
  return UNKNOWN_VERDICT_TEXT;
}

IMAGE_QUERY QueryImageAcceptance(ORV_FLASH_POLICY_PROTOCOL *Policy, UINT8 Ic, UINT8 Zone,
                                 const UINT8 *Data, UINTN Size) {
  IMAGE_QUERY Query = {EFI_UNSUPPORTED, {}};
  Query.Acceptance.Verdict = UNANSWERED_VERDICT;
  if (Policy->CheckImageAcceptance != nullptr) {
    Query.Status = Policy->CheckImageAcceptance(Ic, Zone, Data, Size, &Query.Acceptance);
  }
  return Query;
}

void PrintImageVerdict(const IMAGE_QUERY &Query) {
  if (EFI_ERROR(Query.Status)) {
    Print(AsChar16(QUERY_ERROR_FORMAT), Hex32(Query.Status));
    return;
  }
  const ORV_IMAGE_ACCEPTANCE &Answer = Query.Acceptance;
  const IMAGE_VERDICT_TEXT &Text = ImageVerdictText(Answer.Verdict);
  switch (Text.Figures) {
    case VERDICT_FIGURES::COUNTER_FLOOR:
      Print(AsChar16(Text.Format), Answer.ImageCounter, Answer.Floor);
      break;
    case VERDICT_FIGURES::PRODUCTS:
      Print(AsChar16(Text.Format), Answer.ImageProduct, Answer.IcProduct);
      break;
    case VERDICT_FIGURES::VERDICT:
      Print(AsChar16(Text.Format), Answer.Verdict);
      break;
    case VERDICT_FIGURES::NONE:
      Print(AsChar16(Text.Format));
      break;
  }
}

void PrintEnforced(UINT32 Enforced) {
  if (Enforced == 0) {
    Print(u"nothing"_w);
    return;
  }
  const CHAR16 *Separator = u""_w;
  UINT32 Unnamed = Enforced;
  for (const ENFORCED_TEXT &Entry : ENFORCED_TEXTS) {
    if ((Enforced & Entry.Bit) == 0) continue;
    Print(u"%s%s"_w, Separator, AsChar16(Entry.Word));
    Separator = u"+"_w;
    Unnamed &= ~Entry.Bit;
  }
  // Bits of a later revision are shown, not dropped.
  if (Unnamed != 0) Print(u"%sbits%x"_w, Separator, Unnamed);
}
