// Settings lookup benchmark: a 1 MiB settings text of board sections with
// comments, the wanted section last and the wanted key on its last line.
// Ours: FindSettingsSection + FindSettingsKey + GetSettingsAsciiValue, the
// lookup every key of a run does. Reference: a memchr scan of the same text
// that visits every "[" from the start to the end (the least any section
// search has to look at), hit by hit. The ratio is our time / memchr time.
// Asserts nothing about time; exits 1 if the lookup finds a wrong value.
//
// Usage: orv_settings_bench [--tsv] [--rounds N]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "SettingsLookup.h"

namespace {

constexpr size_t TEXT_SIZE = 1 << 20;

/// Board sections as operators write them, until the text reaches 1 MiB,
/// then the target section with the key last.
std::string MakeText() {
  std::string Text = "# settings for a large rack of boards\n[default]\ntarget = Target\n\n";
  char Line[512];
  for (int Board = 0; Text.size() < TEXT_SIZE - 512; Board++) {
    std::snprintf(Line, sizeof Line,
                  "# board %05d: rack %d, slot %d\r\n"
                  "[Board%05d]\r\n"
                  "ImageParser    = OrvHexImage.efi   # parser of the zone images\r\n"
                  "FlashInterface = OrvFlashSim.efi\r\n"
                  "DevicePath     = OrvPathSim.efi\r\n"
                  "OCM      = ocm%05d.hex\r\n"
                  "customer = cust%05d.hex\r\n"
                  "ForceUpdate = 0\r\n"
                  "IncludeCustomerDefineBkp = 0\r\n"
                  "ReduceFlashProcessFlag = 1   # no OCM read-back\r\n\r\n",
                  Board, Board / 16, Board % 16, Board, Board, Board);
    Text += Line;
  }
  const std::string Target =
      "[Target]\r\n"
      "ImageParser    = OrvHexImage.efi\r\n"
      "FlashInterface = OrvFlashSim.efi\r\n"
      "DevicePath     = OrvPathSim.efi\r\n"
      "OCM      = ocm.hex\r\n"
      "customer = cust.hex\r\n";
  // A comment line fills the text up to exactly 1 MiB.
  const size_t Fill = TEXT_SIZE - Text.size() - Target.size();
  Text += "#" + std::string(Fill - 2, '-') + "\n";
  Text += Target;
  return Text;
}

volatile size_t gSink;

/// The reference scan: every "[" of the text, found with memchr.
size_t CountOpenBrackets(const char *Text, size_t Length) {
  size_t Count = 0;
  const char *End = Text + Length;
  for (const char *At = Text; At < End; At++) {
    At = static_cast<const char *>(std::memchr(At, '[', static_cast<size_t>(End - At)));
    if (At == nullptr) break;
    Count++;
  }
  return Count;
}

}  // namespace

int main(int Argc, char **Argv) {
  bench::Options Options = bench::ParseOptions(Argc, Argv);
  const std::string Text = MakeText();
  std::vector<UINT8> Block(offsetof(SETTINGS_FILE, Data) + Text.size());
  const UINT64 Length = Text.size();
  std::memcpy(Block.data(), &Length, sizeof Length);
  std::memcpy(Block.data() + offsetof(SETTINGS_FILE, Data), Text.data(), Text.size());
  const auto *File = reinterpret_cast<const SETTINGS_FILE *>(Block.data());
  const char *Chars = reinterpret_cast<const char *>(File->Data);

  auto Lookup = [File](CHAR8 *Value, UINTN *Size) {
    SETTINGS_SECTION Section{};
    SETTINGS_KEY Key{};
    if (EFI_ERROR(FindSettingsSection(File, "Target"_a, &Section)) ||
        EFI_ERROR(FindSettingsKey(File, &Section, "customer"_a, &Key))) {
      return false;
    }
    return !EFI_ERROR(GetSettingsAsciiValue(File, &Key, Size, Value));
  };
  CHAR8 Value[64];
  UINTN Size = sizeof Value;
  if (!Lookup(Value, &Size) || std::strcmp(reinterpret_cast<char *>(Value), "cust.hex") != 0) {
    std::printf("the lookup did not find customer = cust.hex in the last section\n");
    return 1;
  }

  bench::PairResult Result = bench::MeasurePair(
      [&] {
        CHAR8 Out[64];
        UINTN OutSize = sizeof Out;
        gSink = Lookup(Out, &OutSize) ? OutSize : 0;
      },
      [&] { gSink = CountOpenBrackets(Chars, Text.size()); }, Options.Rounds);
  if (Options.Tsv) {
    std::printf("settings\t1 MiB text, key in the last section\t%.9f\t%.9f\t%d\n", Result.Ours,
                Result.Reference, Result.Rounds);
  } else {
    std::printf("1 MiB settings text, %zu sections, key in the last one "
                "(medians of %d interleaved rounds)\n",
                CountOpenBrackets(Chars, Text.size()), Result.Rounds);
    std::printf("  lookup        %9.1f us  %6.2f GB/s\n", Result.Ours * 1e6,
                Text.size() / Result.Ours / 1e9);
    std::printf("  memchr '['    %9.1f us  %6.2f GB/s\n", Result.Reference * 1e6,
                Text.size() / Result.Reference / 1e9);
    std::printf("  ratio (lookup / memchr) %.2f\n", Result.Ours / Result.Reference);
  }
  return 0;
}
