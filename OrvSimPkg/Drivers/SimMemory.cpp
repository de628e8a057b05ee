/** @file
  memmove for the drivers, which link no C library: the signature code
  calls it (gnu-efi's library brings memcpy and memset).
**/

#include <efi.h>

extern "C" void *memmove(void *Destination, const void *Source, UINTN Size) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  if (To < From) {
    for (UINTN Index = 0; Index < Size; Index++) To[Index] = From[Index];
  } else {
    for (UINTN Index = Size; Index > 0; Index--) To[Index - 1] = From[Index - 1];
  }
  return Destination;
}
