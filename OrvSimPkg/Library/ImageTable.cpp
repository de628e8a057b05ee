/** @file
  The image parser's table of loaded images.
**/

#include "ImageTable.h"

bool ImageTableHasRoom(const IMAGE_TABLE *Table) {
  for (const IMAGE_SLOT &Slot : Table->Slot) {
    if (Slot.Handle == 0) {
      return true;
    }
  }
  return false;
}

UINT64 ImageTableAdd(IMAGE_TABLE *Table, UINT8 *Data, UINTN Size, UINT64 Version) {
  for (UINTN Index = 0; Index < IMAGE_TABLE_SLOTS; Index++) {
    IMAGE_SLOT &Slot = Table->Slot[Index];
    if (Slot.Handle != 0) {
      continue;
    }
    Table->Loads++;
    Slot.Handle = (Table->Loads << 8) | (Index + 1);
    Slot.Data = Data;
    Slot.Size = Size;
    Slot.Version = Version;
    return Slot.Handle;
  }
  return 0;
}

IMAGE_SLOT *ImageTableFind(IMAGE_TABLE *Table, UINT64 Handle) {
  UINTN Index = static_cast<UINTN>(Handle & 0xFF);
  if (Handle == 0 || Index == 0 || Index > IMAGE_TABLE_SLOTS || Table->Slot[Index - 1].Handle != Handle) {
    return nullptr;
  }
  return &Table->Slot[Index - 1];
}
