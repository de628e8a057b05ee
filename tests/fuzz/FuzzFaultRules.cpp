// The simulators' fault-rule reader with arbitrary text, then every rule
// exercised through FaultHit. The text sits in a block that ends with its
// last byte. Accepted rules must be well formed (operation in range, filters
// in range, failing statuses with the top bit set); a refused text names a
// line and a reason.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FaultRules.h"

namespace {
void Check(bool Condition) {
  if (!Condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::vector<char> Text(Data, Data + Size);
  FAULT_RULES Rules{};
  TEXT_ERROR Error{};
  EFI_STATUS Status = ParseFaultRules(Text.data(), Text.size(), &Rules, &Error);
  if (EFI_ERROR(Status)) {
    Check(Status == EFI_INVALID_PARAMETER);
    Check(Error.Reason != nullptr && std::strlen(Error.Reason) > 0 && Error.Line >= 1);
    return 0;
  }
  Check(Rules.Count <= FAULT_MAX_RULES);
  for (UINTN Index = 0; Index < Rules.Count; Index++) {
    const FAULT_RULE &Rule = Rules.Rule[Index];
    Check(Rule.Op < SIM_OP::Count);
    Check(SimOpName(Rule.Op) != nullptr);
    Check(Rule.Zone == FAULT_ANY || Rule.Zone == 1 || Rule.Zone == 2);
    Check(Rule.Seen == 0);
    if (Rule.Op != SIM_OP::CorruptRead && Rule.Op != SIM_OP::CheckZero &&
        Rule.Op != SIM_OP::GetIcAddress) {
      Check(EFI_ERROR(Rule.Status));
    }
    if (Rule.Op == SIM_OP::CorruptRead) Check(Rule.Xor != 0);
  }
  // Each rule once through the matcher, with its own filters as the call.
  for (UINTN Index = 0; Index < Rules.Count; Index++) {
    FAULT_RULE &Rule = Rules.Rule[Index];
    (void)FaultHit(&Rules, Rule.Op, Rule.Ic, Rule.Zone, Rule.Bank);
  }
  return 0;
}
