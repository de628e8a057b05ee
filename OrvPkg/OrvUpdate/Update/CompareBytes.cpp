/** @file
  Word-wide buffer comparison (see CompareBytes.h).

  The application is freestanding and the firmware's CompareMem is a byte
  loop, so the comparison is written out here: the left buffer is first
  brought to 16-byte alignment byte by byte, then 64 bytes are compared per
  step with 16-byte SSE2 vectors (part of the x64 baseline, which UEFI
  firmware runs with enabled), and only the step that differs is searched
  word by word for its first differing byte. Loads may be unaligned; they go
  through one-byte-aligned word and vector types, which the compiler turns
  into plain unaligned loads on x64 and which the sanitizers accept.
**/

#include "CompareBytes.h"

namespace {

/// A 64-bit word that may sit at any address and may alias any object.
typedef UINT64 __attribute__((aligned(1), may_alias)) UNALIGNED_WORD;
/// A 64-bit word at a word-aligned address, aliasing any object.
typedef UINT64 __attribute__((may_alias)) ALIGNED_WORD;

/// 16 bytes at any address, aliasing any object.
typedef UINT8 UNALIGNED_VECTOR __attribute__((vector_size(16), aligned(1), may_alias));
/// 16 bytes at a 16-byte-aligned address, aliasing any object.
typedef UINT8 ALIGNED_VECTOR __attribute__((vector_size(16), may_alias));
/// The element type pmovmskb takes.
typedef char MASK_VECTOR __attribute__((vector_size(16)));

constexpr UINTN WORD_SIZE = sizeof(UINT64);
constexpr UINTN VECTOR_SIZE = 16;
constexpr UINTN VECTORS_PER_STEP = 4;
constexpr UINTN STEP_SIZE = VECTOR_SIZE * VECTORS_PER_STEP;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the lowest set bit of a word difference must be its first byte");

inline UINT64 LoadAligned(const UINT8 *Address) {
  return *reinterpret_cast<const ALIGNED_WORD *>(Address);
}

inline UINT64 LoadUnaligned(const UINT8 *Address) {
  return *reinterpret_cast<const UNALIGNED_WORD *>(Address);
}

/// The 16 bytes at Left (16-byte aligned) and Right compared: all bits of a
/// lane set where they are equal.
inline auto EqualLanes(const UINT8 *Left, const UINT8 *Right) {
  return *reinterpret_cast<const ALIGNED_VECTOR *>(Left) ==
         *reinterpret_cast<const UNALIGNED_VECTOR *>(Right);
}

/// Index of the first differing byte in a nonzero XOR of two words: on a
/// little-endian machine the lowest set bit belongs to the lowest address.
inline UINTN FirstByteOfDifference(UINT64 Difference) {
  return static_cast<UINTN>(__builtin_ctzll(Difference)) / 8;
}

}  // namespace

UINTN FindFirstDifference(const UINT8 *Left, const UINT8 *Right, UINTN Size) {
  UINTN Offset = 0;

  // Bytes until the left buffer is vector-aligned (and so word-aligned).
  while (Offset < Size && (reinterpret_cast<UINTN>(Left + Offset) % VECTOR_SIZE) != 0) {
    if (Left[Offset] != Right[Offset]) return Offset;
    Offset++;
  }

  // 64 bytes per step; a step that differs is left to the word loop below.
  while (Size - Offset >= STEP_SIZE) {
    const UINT8 *L = Left + Offset;
    const UINT8 *R = Right + Offset;
    const auto Equal = EqualLanes(L, R) & EqualLanes(L + VECTOR_SIZE, R + VECTOR_SIZE) &
                       EqualLanes(L + 2 * VECTOR_SIZE, R + 2 * VECTOR_SIZE) &
                       EqualLanes(L + 3 * VECTOR_SIZE, R + 3 * VECTOR_SIZE);
    if (__builtin_ia32_pmovmskb128(reinterpret_cast<MASK_VECTOR>(Equal)) != 0xFFFF) break;
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
