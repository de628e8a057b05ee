/** @file
  The image parser's table of loaded images. A handle carries the slot number
  in its low 8 bits and a load counter above them, so a freed or forged
  handle is recognised and never used to reach memory.

  Freestanding: the table only stores the caller's pointers.
**/

#ifndef ORV_SIM_IMAGE_TABLE_H_
#define ORV_SIM_IMAGE_TABLE_H_

#include <efi.h>

constexpr UINTN IMAGE_TABLE_SLOTS = 8;

struct IMAGE_SLOT {
  UINT64  Handle;  ///< 0 when the slot is free
  UINT8  *Data;
  UINTN   Size;
  UINT64  Version;
};

struct IMAGE_TABLE {
  UINT64     Loads;  ///< images added so far
  IMAGE_SLOT Slot[IMAGE_TABLE_SLOTS];
};

/// Take a free slot for an image; returns its handle, or 0 when all are used.
UINT64 ImageTableAdd(IMAGE_TABLE *Table, UINT8 *Data, UINTN Size, UINT64 Version);

/// The slot of a handle in use, or NULL.
IMAGE_SLOT *ImageTableFind(IMAGE_TABLE *Table, UINT64 Handle);

/// Whether the table has a free slot.
bool ImageTableHasRoom(const IMAGE_TABLE *Table);

#endif
