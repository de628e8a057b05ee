/** @file
  The check lines and the closing line of OrvCheck.efi (see CheckReport.h).
**/

#include "CheckReport.h"

void CHECK_REPORT::Begin(CHECK_OUTCOME Outcome, const CHAR16 *Id, UINT16 Ic) {
  const CHAR16 *Word = u"PASS"_w;
  if (Outcome == CHECK_OUTCOME::FAILED) {
    Word = u"FAIL"_w;
    Failed++;
  } else if (Outcome == CHECK_OUTCOME::SKIPPED) {
    Word = u"SKIP"_w;
    Skipped++;
  } else {
    Passed++;
  }
  Print(u"%s %s"_w, Word, Id);
  if (Ic != WHOLE_BOARD) Print(u" ic=%x"_w, static_cast<UINT32>(Ic));
}

void CHECK_REPORT::PrintTotals() const {
  Print(u"%d passed, %d failed, %d skipped\n"_w, Passed, Failed, Skipped);
}

bool CHECK::Done() noexcept {
  if (Outcome == CHECK_OUTCOME::OPEN) {
    Outcome = CHECK_OUTCOME::PASSED;
    Report.Begin(Outcome, Id, Ic);
    Print(u"\n"_w);
  }
  return Outcome == CHECK_OUTCOME::PASSED;
}
