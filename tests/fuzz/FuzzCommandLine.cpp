// ParseCommandLine and HexTextToValue with arbitrary argument lists.
//
// Input: UTF-16 code units (little-endian pairs); the unit 0 separates
// arguments. The first byte also gives the digit limit for HexTextToValue.
// Each argument sits in a block that ends with its terminator, so the
// sanitizer reports any read past it. HexTextToValue is checked against a
// model (test the character, then shift); ParseCommandLine against the rules
// the run relies on: override halves stay terminated, -d addresses are 1 to
// 0xFF, a mask bit only from a digit or -a, a first argument "12" refused.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CommandLine.h"
#include "FuzzFirmware.h"
#include "RunState.h"

namespace {

UINT64 ModelHexValue(const CHAR16 *Text, UINT8 MaxDigits) {
  UINT64 Value = 0;
  for (unsigned Index = 0; Index < MaxDigits; Index++) {
    CHAR16 C = Text[Index];
    unsigned Digit;
    if (C >= '0' && C <= '9') {
      Digit = C - '0';
    } else if (C >= 'a' && C <= 'f') {
      Digit = C - 'a' + 10;
    } else if (C >= 'A' && C <= 'F') {
      Digit = C - 'A' + 10;
    } else {
      break;
    }
    Value = Value * 16 + Digit;
  }
  return Value;
}

void Check(bool Condition) {
  if (!Condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  static bool Installed = false;
  if (!Installed) {
    InstallFuzzFirmware();
    Installed = true;
  }
  if (Size == 0) return 0;
  const UINT8 MaxDigits = Data[0];

  std::vector<std::vector<CHAR16>> Texts(1);
  for (size_t Offset = 1; Offset + 1 < Size; Offset += 2) {
    CHAR16 Unit = static_cast<CHAR16>(Data[Offset] | (Data[Offset + 1] << 8));
    if (Unit == 0) {
      Texts.emplace_back();
    } else {
      Texts.back().push_back(Unit);
    }
    if (Texts.size() > 64) break;
  }

  // Argv[0] is the command; each argument is an exact-size malloc block.
  std::vector<CHAR16 *> Argv;
  static CHAR16 Command[] = {'O', 'r', 'v', 0};
  Argv.push_back(Command);
  bool AnyAll = false;
  for (const auto &Text : Texts) {
    CHAR16 *Block = static_cast<CHAR16 *>(std::malloc((Text.size() + 1) * sizeof(CHAR16)));
    if (!Text.empty()) std::memcpy(Block, Text.data(), Text.size() * sizeof(CHAR16));
    Block[Text.size()] = 0;
    Argv.push_back(Block);
    if (Text.size() >= 2 && Text[0] == '-' && (Text[1] == 'a' || Text[1] == 'A')) AnyAll = true;

    // The mended HexTextToValue agrees with the model for every limit.
    Check(HexTextToValue(Block, MaxDigits) == ModelHexValue(Block, MaxDigits));
    UINT8 Limit = static_cast<UINT8>(Text.size() % 20);
    Check(HexTextToValue(Block, Limit) == ModelHexValue(Block, Limit));
  }

  RUN_FLAGS = 0;
  std::memset(OverridePaths, 0, sizeof OverridePaths);
  UINT64 ChipMask = 0;
  UINT64 DeviceAddress = 0;
  BOOLEAN Goes = ParseCommandLine(Argv.size(), Argv.data(), &ChipMask, &DeviceAddress);

  // Each half of the override texts still reads as a terminated text.
  Check(OverridePaths[OVERRIDE_HALF_LENGTH - 1] == 0);
  Check(OverridePaths[OVERRIDE_PATHS_LENGTH - 1] == 0);
  Check(DeviceAddress <= 0xFF);
  // Only digits 0-9 and -a select chips.
  Check((ChipMask & ~(AnyAll ? 0xFFFFFFFFull : 0x3FFull)) == 0);
  // The first argument is never an option's value: a longer chip index there
  // is always refused.
  const std::vector<CHAR16> &First = Texts.front();
  if (First.size() > 1 && First[0] >= '0' && First[0] <= '9') Check(!Goes);

  for (size_t Index = 1; Index < Argv.size(); Index++) std::free(Argv[Index]);
  return 0;
}
