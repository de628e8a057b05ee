/** @file
  The few bounded string routines the applications and the component drivers
  need beyond gnu-efi's library: the destination size counts characters
  including the terminator, and a destination is never overrun. Every
  narrow-to-wide conversion of the project goes through
  AsciiStrToUnicodeStrS.
**/

#ifndef ORV_BASE_STRING_LIB_H_
#define ORV_BASE_STRING_LIB_H_

#include "Efi.h"

/**
  Append at most Length characters of Source to the text in Destination.

  @param[in,out] Destination  A terminated text in a buffer of DestMax characters.
  @param[in]     DestMax      Size of Destination in characters.
  @param[in]     Source       Text to append.
  @param[in]     Length       Most characters of Source to append.

  @retval EFI_SUCCESS            Appended and terminated.
  @retval EFI_INVALID_PARAMETER  A pointer is null, DestMax is 0, or Destination is not terminated.
  @retval EFI_BUFFER_TOO_SMALL   The result would not fit; Destination is left unchanged.
**/
[[nodiscard]] EFI_STATUS StrnCatS(CHAR16 *Destination, UINTN DestMax, const CHAR16 *Source,
                                  UINTN Length);

/**
  Widen a narrow text into Destination, byte by byte (bytes as unsigned values).

  @param[in]  Source       A terminated narrow text.
  @param[out] Destination  Buffer of DestMax characters.
  @param[in]  DestMax      Size of Destination in characters.

  @retval EFI_SUCCESS            Widened and terminated.
  @retval EFI_INVALID_PARAMETER  A pointer is null or DestMax is 0.
  @retval EFI_BUFFER_TOO_SMALL   The text and terminator do not fit; Destination is left unchanged.
**/
[[nodiscard]] EFI_STATUS AsciiStrToUnicodeStrS(const CHAR8 *Source, CHAR16 *Destination,
                                               UINTN DestMax);

/// Length of a narrow text.
[[nodiscard]] UINTN AsciiLength(const CHAR8 *Text);

#endif
