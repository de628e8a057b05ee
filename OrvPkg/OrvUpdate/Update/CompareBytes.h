/** @file
  Fast search for the first byte at which two buffers differ, used to check
  a bank's read-back against its image. Images reach megabytes, so the
  buffers are compared 64 bytes at a time and the differing byte is
  located only inside the 64 bytes that differ.
**/

#ifndef ORV_COMPARE_BYTES_H_
#define ORV_COMPARE_BYTES_H_

#include "../App/OrvEfi.h"

/**
  Find the first offset at which two buffers differ.

  Either buffer may start at any address; the size need not be a multiple of
  the word size. Both buffers are only read.

  @param[in] Left   First buffer of Size bytes.
  @param[in] Right  Second buffer of Size bytes.
  @param[in] Size   Number of bytes to compare (0 is allowed).

  @return The offset of the first differing byte, or Size when the buffers
          are equal.
**/
[[nodiscard]] UINTN FindFirstDifference(const UINT8 *Left, const UINT8 *Right, UINTN Size);

#endif
