/** @file
  Word-wide buffer comparison (see CompareBytes.h).

  The application is freestanding and the firmware's CompareMem is a byte
  loop, so the comparison is written out here: the left buffer is first
  brought to word alignment byte by byte, then four words are compared per
  step, and only the word that differs is searched for its first differing
  byte. Loads from the right buffer may be unaligned; they go through a
  one-byte-aligned word type, which the compiler turns into plain loads on
  x64 and which the sanitizers accept.
**/

#include "CompareBytes.h"

namespace {

/// A 64-bit word that may sit at any address and may alias any object.
typedef UINT64 __attribute__((aligned(1), may_alias)) UNALIGNED_WORD;
/// A 64-bit word at a word-aligned address, aliasing any object.
typedef UINT64 __attribute__((may_alias)) ALIGNED_WORD;

constexpr UINTN WORD_SIZE = sizeof(UINT64);
constexpr UINTN WORDS_PER_STEP = 4;
constexpr UINTN STEP_SIZE = WORD_SIZE * WORDS_PER_STEP;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the lowest set bit of a word difference must be its first byte");

inline UINT64 LoadAligned(const UINT8 *Address) {
  return *reinterpret_cast<const ALIGNED_WORD *>(Address);
}

inline UINT64 LoadUnaligned(const UINT8 *Address) {
  return *reinterpret_cast<const UNALIGNED_WORD *>(Address);
}

/// Index of the first differing byte in a nonzero XOR of two words: on a
/// little-endian machine the lowest set bit belongs to the lowest address.
inline UINTN FirstByteOfDifference(UINT64 Difference) {
  return static_cast<UINTN>(__builtin_ctzll(Difference)) / 8;
}

}  // namespace

UINTN FindFirstDifference(const UINT8 *Left, const UINT8 *Right, UINTN Size) {
  UINTN Offset = 0;

  // Bytes until the left buffer is word-aligned.
  while (Offset < Size && (reinterpret_cast<UINTN>(Left + Offset) % WORD_SIZE) != 0) {
    if (Left[Offset] != Right[Offset]) return Offset;
    Offset++;
  }

  // Four words per step; a step that differs is left to the word loop below.
  while (Size - Offset >= STEP_SIZE) {
    const UINT8 *L = Left + Offset;
    const UINT8 *R = Right + Offset;
    UINT64 Difference = (LoadAligned(L) ^ LoadUnaligned(R)) |
                        (LoadAligned(L + WORD_SIZE) ^ LoadUnaligned(R + WORD_SIZE)) |
                        (LoadAligned(L + 2 * WORD_SIZE) ^ LoadUnaligned(R + 2 * WORD_SIZE)) |
                        (LoadAligned(L + 3 * WORD_SIZE) ^ LoadUnaligned(R + 3 * WORD_SIZE));
    if (Difference != 0) break;
    Offset += STEP_SIZE;
  }

  // Single words: the rest of the buffer, or the step that differed.
  while (Size - Offset >= WORD_SIZE) {
    UINT64 Difference = LoadAligned(Left + Offset) ^ LoadUnaligned(Right + Offset);
    if (Difference != 0) return Offset + FirstByteOfDifference(Difference);
    Offset += WORD_SIZE;
  }

  // The tail shorter than a word.
  while (Offset < Size) {
    if (Left[Offset] != Right[Offset]) return Offset;
    Offset++;
  }
  return Size;
}
