/** @file
  Small text helpers shared by the simulator's configuration and fault file
  parsers and the image parser: spans over narrow text, line splitting,
  trimming, case-insensitive comparison and number parsing.

  Freestanding: no allocation, no library calls.
**/

#ifndef ORV_SIM_TEXT_H_
#define ORV_SIM_TEXT_H_

#include <efi.h>

#include <OrvBase/HexText.h>

/// A piece of narrow text; not terminated.
struct TEXT_SPAN {
  const char *Ptr;
  UINTN       Len;
};

/// Where a text file was refused and why.
struct TEXT_ERROR {
  UINT32      Line;    ///< 1-based line number, 0 when not tied to a line
  const char *Reason;  ///< static text
};

/// Record where and why a text file was refused; returns EFI_INVALID_PARAMETER
/// so that a parser refuses a line in one statement.
EFI_STATUS Refuse(TEXT_ERROR *Error, UINT32 Line, const char *Reason);

/**
  Take the next line of Text starting at *Pos. The line end (LF or CRLF) is
  not part of the line; a last line without an end is returned as well.

  @return FALSE when *Pos is at the end of the text.
**/
bool NextLine(const char *Text, UINTN Length, UINTN *Pos, TEXT_SPAN *Line);

/// The span without leading and trailing blanks and tabs.
TEXT_SPAN TrimSpan(TEXT_SPAN Span);

/// The span up to the first ';' or '#', trimmed.
TEXT_SPAN StripComment(TEXT_SPAN Span);

/// Split off the next blank-separated token. FALSE when none is left.
bool NextToken(TEXT_SPAN *Rest, TEXT_SPAN *Token);

/// Split "Key = Value" at the first '='; both sides trimmed.
bool SplitKeyValue(TEXT_SPAN Span, TEXT_SPAN *Key, TEXT_SPAN *Value);

/// ASCII case-insensitive comparison with a terminated text.
bool SpanEqualsNoCase(TEXT_SPAN Span, const char *Text);

/// Decimal or 0x-prefixed hexadecimal, the whole span, no overflow.
bool ParseUint64(TEXT_SPAN Span, UINT64 *Value);

#endif
