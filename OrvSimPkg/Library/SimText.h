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

/// Decimal digits only, the whole span, no overflow.
bool ParseDecimal(TEXT_SPAN Span, UINT64 *Value);

/**
  Walk the lines of a text that holds more than a comment: each is handed to
  Visit(Line, LineNumber) with its comment stripped and trimmed; line numbers
  start at 1 and count every line. The walk stops at the first error Visit
  returns.
**/
template <typename VISIT>
EFI_STATUS ForEachContentLine(const char *Text, UINTN Length, VISIT Visit) {
  UINTN Pos = 0;
  UINT32 LineNumber = 0;
  TEXT_SPAN Line;
  while (NextLine(Text, Length, &Pos, &Line)) {
    LineNumber++;
    Line = StripComment(Line);
    if (Line.Len == 0) {
      continue;
    }
    EFI_STATUS Status = Visit(Line, LineNumber);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  return EFI_SUCCESS;
}

/// The entry of a constant table whose Name matches (case-insensitively), or NULL.
template <typename ENTRY, UINTN COUNT>
const ENTRY *FindByName(const ENTRY (&Table)[COUNT], TEXT_SPAN Name) {
  for (const ENTRY &Entry : Table) {
    if (SpanEqualsNoCase(Name, Entry.Name)) {
      return &Entry;
    }
  }
  return nullptr;
}

/**
  How a key's value is taken: a number from Min to Max handed to SetNumber,
  or, when SetNumber is NULL, any text that SetText accepts.
**/
template <typename TARGET>
struct VALUE_RULE {
  UINT64 Min;
  UINT64 Max;
  void (*SetNumber)(TARGET *Target, UINT64 Number);
  bool (*SetText)(TARGET *Target, TEXT_SPAN Value);

  static constexpr VALUE_RULE Number(UINT64 Low, UINT64 High, void (*Set)(TARGET *, UINT64)) {
    return VALUE_RULE{Low, High, Set, nullptr};
  }
  static constexpr VALUE_RULE Text(bool (*Set)(TARGET *, TEXT_SPAN)) {
    return VALUE_RULE{0, 0, nullptr, Set};
  }
};

/// Take Value by its rule. FALSE, with Target unchanged, when the value is refused.
template <typename TARGET>
bool ApplyValue(const VALUE_RULE<TARGET> &Rule, TEXT_SPAN Value, TARGET *Target) {
  if (Rule.SetNumber == nullptr) {
    return Rule.SetText(Target, Value);
  }
  UINT64 Number = 0;
  if (!ParseUint64(Value, &Number) || Number < Rule.Min || Number > Rule.Max) {
    return false;
  }
  Rule.SetNumber(Target, Number);
  return true;
}

#endif
