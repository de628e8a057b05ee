/** @file
  Hexadecimal text conversion shared by the application's command line, the
  simulator's configuration and fault readers and the HEX image decoder.
  Works on narrow and wide text alike; freestanding and allocation-free.
**/

#ifndef ORV_BASE_HEX_TEXT_H_
#define ORV_BASE_HEX_TEXT_H_

#include <efi.h>

namespace OrvHexText {

/// Digit values by character code; 0xFF for a character that is no digit.
struct DIGIT_TABLE {
  UINT8 Value[256];
};

constexpr DIGIT_TABLE MakeDigitTable() {
  DIGIT_TABLE Table{};
  for (UINT32 Code = 0; Code < 256; Code++) Table.Value[Code] = 0xFF;
  for (UINT32 Digit = 0; Digit < 10; Digit++) Table.Value['0' + Digit] = static_cast<UINT8>(Digit);
  for (UINT32 Digit = 0; Digit < 6; Digit++) {
    Table.Value['A' + Digit] = static_cast<UINT8>(10 + Digit);
    Table.Value['a' + Digit] = static_cast<UINT8>(10 + Digit);
  }
  return Table;
}

inline constexpr DIGIT_TABLE DIGITS = MakeDigitTable();

}  // namespace OrvHexText

/// Value of one hexadecimal digit (0-9, A-F, a-f), or -1 for any other code.
constexpr int HexDigitValue(UINT32 Code) {
  if (Code > 0xFF) return -1;
  const UINT8 Value = OrvHexText::DIGITS.Value[Code];
  return Value == 0xFF ? -1 : Value;
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
