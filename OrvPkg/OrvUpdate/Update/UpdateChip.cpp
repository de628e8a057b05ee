/** @file
  Placeholder for the chip update policy until it is built.
**/

#include "Update.h"

EFI_STATUS UpdateChip(UINT8 Index) {
  (void)Index;
  Print(u"UpdateChip is not built yet\n"_w);
  return EFI_UNSUPPORTED;
}
