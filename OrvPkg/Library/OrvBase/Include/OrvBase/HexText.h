/** @file
  Hexadecimal text conversion shared by the application's command line, the
  simulator's configuration and fault readers and the HEX image decoder.
  Works on narrow and wide text alike; freestanding and allocation-free.
**/

#ifndef ORV_BASE_HEX_TEXT_H_
#define ORV_BASE_HEX_TEXT_H_

#include <efi.h>

/// Value of one hexadecimal digit (0-9, A-F, a-f), or -1 for any other code.
/// Computed, not looked up: a shared table would need a symbol relocation,
/// which a firmware image does not get.
constexpr int HexDigitValue(UINT32 Code) {
  if (Code - '0' < 10) return static_cast<int>(Code - '0');
  const UINT32 Lower = Code | 0x20;  // 'A'-'F' to 'a'-'f'; no other code lands there
  if (Lower - 'a' < 6) return static_cast<int>(Lower - 'a' + 10);
  return -1;
}

/// Digit values by character code, for decoders that look digits up in bulk;
/// HEX_NOT_DIGIT marks every character that is no digit.
constexpr UINT8 HEX_NOT_DIGIT = 0x80;
struct HEX_DIGIT_TABLE {
  UINT8 Value[256];
};

/**
  The table, made at compile time. A user keeps its own copy in a constexpr
  variable of internal linkage (in an unnamed namespace): a table shared
  between translation units would be reached through a symbol relocation,
  which a firmware image does not get.
**/
constexpr HEX_DIGIT_TABLE MakeHexDigitTable() {
  HEX_DIGIT_TABLE Table{};
  for (UINT32 Code = 0; Code < 256; Code++) {
    const int Value = HexDigitValue(Code);
    Table.Value[Code] = Value < 0 ? HEX_NOT_DIGIT : static_cast<UINT8>(Value);
  }
  return Table;
}

/**
  Convert the leading hexadecimal digits of Text, at most MaxDigits of them.
  Each character is tested before the value is shifted, so the value holds
  exactly the digits read: with more than 16 digits only the last 16 count.

  @param[in]  Text       Narrow or wide text; the first non-digit (the
                         terminator included) ends the digits.
  @param[in]  MaxDigits  The most digits to read.
  @param[out] Value      The value of the digits read (0 when there are none).

  @return The number of digits read.
**/
template <typename CHAR>
constexpr UINTN HexDigitsToValue(const CHAR *Text, UINTN MaxDigits, UINT64 *Value) {
  UINT64 Result = 0;
  UINTN Count = 0;
  for (; Count < MaxDigits; Count++) {
    const int Digit = HexDigitValue(static_cast<UINT32>(Text[Count]));
    if (Digit < 0) break;
    Result = (Result << 4) | static_cast<UINT64>(Digit);
  }
  *Value = Result;
  return Count;
}

#endif
