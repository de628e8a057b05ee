// Read-back comparison benchmark: FindFirstDifference against the C
// library's memcmp on 1, 4 and 16 MiB buffers that differ only in their last
// byte (so both read everything), with the second buffer word-aligned and
// not. Both are sampled interleaved; the medians and the throughput ratio
// (memcmp time / our time, 1.0 = as fast as memcmp) are printed. Asserts
// nothing about time; exits 1 only if FindFirstDifference finds the wrong
// offset.
//
// Usage: orv_compare_bench [--tsv] [--rounds N]
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "CompareBytes.h"

namespace {

using CompareFunction = UINTN (*)(const UINT8 *, const UINT8 *, UINTN);
using MemcmpFunction = int (*)(const void *, const void *, size_t);

// Called through volatile pointers so that neither call is inlined into
// the loop, hoisted out of it or dropped.
CompareFunction volatile gOurs = FindFirstDifference;
MemcmpFunction volatile gMemcmp = std::memcmp;
volatile UINTN gSink;

}  // namespace

int main(int Argc, char **Argv) {
  bench::Options Options = bench::ParseOptions(Argc, Argv);
  if (!Options.Tsv) {
    std::printf("%-7s %-10s %11s %11s %10s %10s %7s  (medians of %d interleaved rounds)\n",
                "size", "right", "ours ms", "memcmp ms", "ours GB/s", "memcmp GB/s", "ratio",
                Options.Rounds);
  }
  bool Correct = true;
  for (UINTN Megabytes : {1, 4, 16}) {
    const UINTN Size = Megabytes << 20;
    std::vector<UINT8> Left(Size);
    std::vector<UINT8> RightStore(Size + 8);
    for (UINTN Offset = 0; Offset < Size; Offset++) {
      Left[Offset] = static_cast<UINT8>((Offset * 2654435761u) >> 13);
    }
    for (UINTN Shift : {0, 3}) {
      UINT8 *Right = RightStore.data() + Shift;
      std::memcpy(Right, Left.data(), Size);
      Right[Size - 1] ^= 0x01;
      if (gOurs(Left.data(), Right, Size) != Size - 1) Correct = false;

      const UINT8 *L = Left.data();
      bench::PairResult Result = bench::MeasurePair(
          [&] { gSink = gOurs(L, Right, Size); },
          [&] { gSink = static_cast<UINTN>(gMemcmp(L, Right, Size)); }, Options.Rounds);
      const char *Alignment = Shift == 0 ? "aligned" : "unaligned";
      const double Ratio = Result.Reference / Result.Ours;
      if (Options.Tsv) {
        std::printf("compare\t%zu MiB, %s\t%.9f\t%.9f\t%d\n", static_cast<size_t>(Megabytes),
                    Alignment, Result.Ours, Result.Reference, Result.Rounds);
      } else {
        std::printf("%-7s %-10s %11.3f %11.3f %10.2f %10.2f %7.2f\n",
                    (std::to_string(Megabytes) + " MiB").c_str(), Alignment, Result.Ours * 1e3,
                    Result.Reference * 1e3, Size / Result.Ours / 1e9,
                    Size / Result.Reference / 1e9, Ratio);
      }
    }
  }
  if (!Correct) {
    std::printf("FindFirstDifference missed the difference in the last byte\n");
    return 1;
  }
  return 0;
}
