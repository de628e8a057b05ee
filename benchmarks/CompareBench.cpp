// Read-back comparison benchmark: the plain byte loop against
// FindFirstDifference on multi-megabyte buffers, equal and differing only in
// the last byte, with the second buffer word-aligned and not. Prints the best
// time of several rounds and the throughput of each; asserts nothing.
//
// Usage: orv_compare_bench [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "CompareBytes.h"

namespace {

/// The comparison a straightforward read-back check would do.
__attribute__((noinline)) UINTN ByteLoopFirstDifference(const UINT8 *Left, const UINT8 *Right,
                                                         UINTN Size) {
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    if (Left[Offset] != Right[Offset]) return Offset;
  }
  return Size;
}

using CompareFunction = UINTN (*)(const UINT8 *, const UINT8 *, UINTN);

/// Best wall time of Rounds runs, in seconds; Result receives the offset found.
double BestSeconds(CompareFunction Compare, const UINT8 *Left, const UINT8 *Right, UINTN Size,
                   int Rounds, UINTN *Result) {
  double Best = 1e30;
  for (int Round = 0; Round < Rounds; Round++) {
    auto Start = std::chrono::steady_clock::now();
    // volatile: the call must not be dropped or hoisted out of the loop.
    volatile UINTN Offset = Compare(Left, Right, Size);
    auto End = std::chrono::steady_clock::now();
    *Result = Offset;
    double Seconds = std::chrono::duration<double>(End - Start).count();
    if (Seconds < Best) Best = Seconds;
  }
  return Best;
}

}  // namespace

int main(int Argc, char **Argv) {
  int Rounds = Argc > 1 ? std::atoi(Argv[1]) : 15;
  if (Rounds < 1) Rounds = 1;

  std::printf("%-9s %-18s %-9s %12s %12s %10s %10s %8s\n", "size", "case", "right", "byte ms",
              "wide ms", "byte MB/s", "wide MB/s", "speedup");
  bool Agreed = true;
  for (UINTN Megabytes : {1, 4, 16}) {
    const UINTN Size = Megabytes << 20;
    std::vector<UINT8> Left(Size);
    std::vector<UINT8> RightStore(Size + 8);
    for (UINTN Offset = 0; Offset < Size; Offset++) {
      Left[Offset] = static_cast<UINT8>((Offset * 2654435761u) >> 13);
    }
    for (UINTN Shift : {0, 3}) {
      UINT8 *Right = RightStore.data() + Shift;
      for (bool Differs : {false, true}) {
        for (UINTN Offset = 0; Offset < Size; Offset++) Right[Offset] = Left[Offset];
        if (Differs) Right[Size - 1] ^= 0x01;

        UINTN ByteResult = 0;
        UINTN WideResult = 0;
        double ByteSeconds =
            BestSeconds(ByteLoopFirstDifference, Left.data(), Right, Size, Rounds, &ByteResult);
        double WideSeconds =
            BestSeconds(FindFirstDifference, Left.data(), Right, Size, Rounds, &WideResult);
        if (ByteResult != WideResult) Agreed = false;

        double Mb = static_cast<double>(Size) / (1 << 20);
        char SizeText[16];
        std::snprintf(SizeText, sizeof SizeText, "%zu MiB", static_cast<size_t>(Megabytes));
        std::printf("%-9s %-18s %-9s %12.3f %12.3f %10.0f %10.0f %7.1fx\n", SizeText,
                    Differs ? "last byte differs" : "equal", Shift == 0 ? "aligned" : "unaligned",
                    ByteSeconds * 1e3, WideSeconds * 1e3, Mb / ByteSeconds, Mb / WideSeconds,
                    ByteSeconds / WideSeconds);
      }
    }
  }
  if (!Agreed) {
    std::printf("the two comparisons disagree\n");
    return 1;
  }
  return 0;
}
