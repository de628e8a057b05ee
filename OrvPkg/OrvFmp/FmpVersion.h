/** @file
  How an IC's version and security counter appear in the FMP's 32-bit
  Version and LowestSupportedImageVersion (and so in the ESRT).

  Version = counter in bits 31..24, the low 24 bits of the image version in
  bits 23..0. LowestSupportedImageVersion = floor << 24. An image whose
  counter is at or above the floor thus has a Version at or above the lowest
  supported version, and one below the floor has a Version below it: the
  table never names an image the IC would refuse for its floor as supported,
  nor the other way round. Within one counter, Versions order as the image
  versions' low 24 bits do.

  Counters above 255 do not fit: such a Version shows 255 in its top byte,
  no Version is ever 0xFFFFFFFF (0xFFFFFFFE stands for it), and a floor above 255 is shown as the
  lowest supported version 0xFFFFFFFF, which no Version reaches: the table
  then calls every image unsupported rather than promise one the IC would
  refuse.

  Freestanding, constexpr.
**/

#ifndef ORV_FMP_VERSION_H_
#define ORV_FMP_VERSION_H_

#include <efi.h>

constexpr UINT32 FMP_COUNTER_SHIFT = 24;
constexpr UINT32 FMP_COUNTER_MAX = 0xFF;
constexpr UINT32 FMP_IMAGE_VERSION_MASK = (1u << FMP_COUNTER_SHIFT) - 1;
constexpr UINT32 FMP_NO_VERSION_SUPPORTED = 0xFFFFFFFFu;

/// The FMP Version of an image with this security counter and version.
constexpr UINT32 FmpVersionOf(UINT32 Counter, UINT64 ImageVersion) {
  const UINT32 Shown = Counter > FMP_COUNTER_MAX ? FMP_COUNTER_MAX : Counter;
  const UINT32 Version =
      (Shown << FMP_COUNTER_SHIFT) | static_cast<UINT32>(ImageVersion & FMP_IMAGE_VERSION_MASK);
  // 0xFFFFFFFF is the lowest supported version of a floor above 255: no
  // image may reach it.
  return Version == FMP_NO_VERSION_SUPPORTED ? Version - 1 : Version;
}

/// The FMP LowestSupportedImageVersion of an IC with this security floor.
constexpr UINT32 FmpLowestSupportedOf(UINT32 Floor) {
  return Floor > FMP_COUNTER_MAX ? FMP_NO_VERSION_SUPPORTED : Floor << FMP_COUNTER_SHIFT;
}

#endif
