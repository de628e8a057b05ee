/** @file
  Bounded string routines (see StringLib.h).
**/

#include <OrvBase/StringLib.h>

UINTN AsciiLength(const CHAR8 *Text) {
  UINTN Length = 0;
  while (Text[Length] != 0) Length++;
  return Length;
}

EFI_STATUS StrnCatS(CHAR16 *Destination, UINTN DestMax, const CHAR16 *Source, UINTN Length) {
  if (Destination == nullptr || Source == nullptr || DestMax == 0) return EFI_INVALID_PARAMETER;
  UINTN Used = 0;
  while (Used < DestMax && Destination[Used] != 0) Used++;
  if (Used == DestMax) return EFI_INVALID_PARAMETER;
  UINTN Append = 0;
  while (Append < Length && Source[Append] != 0) Append++;
  if (Used + Append + 1 > DestMax) return EFI_BUFFER_TOO_SMALL;
  for (UINTN Index = 0; Index < Append; Index++) Destination[Used + Index] = Source[Index];
  Destination[Used + Append] = 0;
  return EFI_SUCCESS;
}

EFI_STATUS AsciiStrToUnicodeStrS(const CHAR8 *Source, CHAR16 *Destination, UINTN DestMax) {
  if (Source == nullptr || Destination == nullptr || DestMax == 0) return EFI_INVALID_PARAMETER;
  UINTN Length = AsciiLength(Source);
  if (Length + 1 > DestMax) return EFI_BUFFER_TOO_SMALL;
  for (UINTN Index = 0; Index <= Length; Index++) {
    Destination[Index] = static_cast<UINT8>(Source[Index]);
  }
  return EFI_SUCCESS;
}
