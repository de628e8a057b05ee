// Word-wide comparison: every size, every position of a difference, every
// pair of start alignments, checked against a plain byte loop.
#include <gtest/gtest.h>

#include <vector>

#include "CompareBytes.h"

namespace {

UINTN ReferenceFirstDifference(const UINT8 *Left, const UINT8 *Right, UINTN Size) {
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    if (Left[Offset] != Right[Offset]) return Offset;
  }
  return Size;
}

/// Two buffers with room for any start offset 0..7; the bytes at the starts
/// are equal and vary along the buffer.
struct BufferPair {
  BufferPair(UINTN Size, UINTN LeftStart, UINTN RightStart)
      : LeftStore(Size + 16, 0xEE), RightStore(Size + 16, 0x11), Left(&LeftStore[LeftStart]),
        Right(&RightStore[RightStart]) {
    for (UINTN Offset = 0; Offset < Size; Offset++) {
      Left[Offset] = Right[Offset] = static_cast<UINT8>(Offset * 37 + 11);
    }
  }
  std::vector<UINT8> LeftStore;
  std::vector<UINT8> RightStore;
  UINT8 *Left;
  UINT8 *Right;
};

constexpr UINT8 FLIPS[] = {0x01, 0x80, 0xFF};

/// Every pair of start offsets 0..7 of the left and right buffer.
template <typename F>
void ForEachAlignment(F Check) {
  for (UINTN LeftStart = 0; LeftStart < 8; LeftStart++) {
    for (UINTN RightStart = 0; RightStart < 8; RightStart++) {
      SCOPED_TRACE(::testing::Message() << "starts " << LeftStart << "/" << RightStart);
      Check(LeftStart, RightStart);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(CompareBytesAlignments, EqualBuffersOfEverySizeReturnTheSize) {
  ForEachAlignment([](UINTN LeftStart, UINTN RightStart) {
    for (UINTN Size = 0; Size <= 200; Size++) {
      BufferPair Pair(Size, LeftStart, RightStart);
      ASSERT_EQ(FindFirstDifference(Pair.Left, Pair.Right, Size), Size) << "size " << Size;
    }
  });
}

TEST(CompareBytesAlignments, SingleDifferenceIsFoundAtEveryPosition) {
  ForEachAlignment([](UINTN LeftStart, UINTN RightStart) {
    for (UINTN Size = 1; Size <= 72; Size++) {
      for (UINTN Position = 0; Position < Size; Position++) {
        for (UINT8 Flip : FLIPS) {
          BufferPair Pair(Size, LeftStart, RightStart);
          Pair.Right[Position] ^= Flip;
          ASSERT_EQ(FindFirstDifference(Pair.Left, Pair.Right, Size), Position)
              << "size " << Size << " flip " << int(Flip);
        }
      }
    }
  });
}

TEST(CompareBytesAlignments, FirstOfSeveralDifferencesIsReported) {
  UINT32 Seed = 12345;
  auto Next = [&Seed] { return Seed = Seed * 1103515245u + 12345u; };
  ForEachAlignment([&Next](UINTN LeftStart, UINTN RightStart) {
    for (int Round = 0; Round < 300; Round++) {
      UINTN Size = Next() % 600 + 1;
      BufferPair Pair(Size, LeftStart, RightStart);
      int Differences = static_cast<int>(Next() % 4) + 1;
      for (int D = 0; D < Differences; D++) {
        Pair.Left[Next() % Size] ^= static_cast<UINT8>(Next() % 255 + 1);
      }
      ASSERT_EQ(FindFirstDifference(Pair.Left, Pair.Right, Size),
                ReferenceFirstDifference(Pair.Left, Pair.Right, Size))
          << "round " << Round << " size " << Size;
    }
  });
}

TEST(CompareBytesAlignments, BytesBeyondTheSizeAreNotCompared) {
  ForEachAlignment([](UINTN LeftStart, UINTN RightStart) {
    for (UINTN Size = 0; Size <= 40; Size++) {
      BufferPair Pair(Size, LeftStart, RightStart);
      Pair.Left[Size] = 0x00;
      Pair.Right[Size] = 0xFF;
      ASSERT_EQ(FindFirstDifference(Pair.Left, Pair.Right, Size), Size) << "size " << Size;
    }
  });
}

TEST(CompareBytesLimits, MegabyteImagesDifferingOnlyAtTheEnd) {
  constexpr UINTN Size = 4u << 20;
  BufferPair Pair(Size, 0, 3);
  EXPECT_EQ(FindFirstDifference(Pair.Left, Pair.Right, Size), Size);
  Pair.Right[Size - 1] ^= 0x40;
  EXPECT_EQ(FindFirstDifference(Pair.Left, Pair.Right, Size), Size - 1);
  Pair.Right[Size / 2 + 5] ^= 0x02;
  EXPECT_EQ(FindFirstDifference(Pair.Left, Pair.Right, Size), Size / 2 + 5);
}

}  // namespace
