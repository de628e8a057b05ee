// The flash simulator's configuration reader with arbitrary text. The text
// sits in a block that ends with its last byte. An accepted configuration
// must hold what the simulator relies on (IC count, bank sizes, addresses,
// terminated seed paths); a refused one names a reason.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SimConfig.h"

namespace {
void Check(bool Condition) {
  if (!Condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::vector<char> Text(Data, Data + Size);
  SIM_CONFIG Config{};
  TEXT_ERROR Error{};
  EFI_STATUS Status = ParseSimConfig(Text.data(), Text.size(), &Config, &Error);
  if (EFI_ERROR(Status)) {
    Check(Status == EFI_INVALID_PARAMETER);
    Check(Error.Reason != nullptr && std::strlen(Error.Reason) > 0);
    return 0;
  }
  Check(Config.IcCount >= 1 && Config.IcCount <= SIM_MAX_ICS);
  Check(Config.Timing.SectorSize != 0 && Config.Timing.PageSize != 0);
  for (UINTN Ic = 0; Ic < Config.IcCount; Ic++) {
    const SIM_IC_CONFIG &Chip = Config.Ic[Ic];
    Check(Chip.ActiveSection <= 1 || Chip.ActiveSection == SIM_SECTION_NONE);
    for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
      Check(Chip.BankSize[Bank] >= SIM_MIN_BANK_SIZE && Chip.BankSize[Bank] <= SIM_MAX_BANK_SIZE);
      Check(std::memchr(Chip.Seed[Bank], 0, SIM_PATH_MAX) != nullptr);
    }
  }
  // The timing figures stay finite for the largest bank.
  (void)SimEraseMicroseconds(Config.Timing, SIM_MAX_BANK_SIZE);
  (void)SimProgramMicroseconds(Config.Timing, SIM_MAX_BANK_SIZE);
  return 0;
}
