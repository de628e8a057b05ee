/** @file
  Small text helpers for the simulator's parsers.
**/

#include "SimText.h"

bool NextLine(const char *Text, UINTN Length, UINTN *Pos, TEXT_SPAN *Line) {
  if (*Pos >= Length) {
    return false;
  }
  UINTN Start = *Pos;
  UINTN End = Start;
  while (End < Length && Text[End] != '\n') {
    End++;
  }
  *Pos = (End < Length) ? End + 1 : End;
  UINTN LineLen = End - Start;
  if (LineLen > 0 && Text[Start + LineLen - 1] == '\r') {
    LineLen--;
  }
  *Line = TEXT_SPAN{Text + Start, LineLen};
  return true;
}

static bool IsBlank(char C) { return C == ' ' || C == '\t'; }

TEXT_SPAN TrimSpan(TEXT_SPAN Span) {
  while (Span.Len > 0 && IsBlank(Span.Ptr[0])) {
    Span.Ptr++;
    Span.Len--;
  }
  while (Span.Len > 0 && IsBlank(Span.Ptr[Span.Len - 1])) {
    Span.Len--;
  }
  return Span;
}

TEXT_SPAN StripComment(TEXT_SPAN Span) {
  for (UINTN Index = 0; Index < Span.Len; Index++) {
    if (Span.Ptr[Index] == ';' || Span.Ptr[Index] == '#') {
      Span.Len = Index;
      break;
    }
  }
  return TrimSpan(Span);
}

bool NextToken(TEXT_SPAN *Rest, TEXT_SPAN *Token) {
  TEXT_SPAN Span = TrimSpan(*Rest);
  if (Span.Len == 0) {
    *Rest = Span;
    return false;
  }
  UINTN End = 0;
  while (End < Span.Len && !IsBlank(Span.Ptr[End])) {
    End++;
  }
  *Token = TEXT_SPAN{Span.Ptr, End};
  *Rest = TEXT_SPAN{Span.Ptr + End, Span.Len - End};
  return true;
}

bool SplitKeyValue(TEXT_SPAN Span, TEXT_SPAN *Key, TEXT_SPAN *Value) {
  for (UINTN Index = 0; Index < Span.Len; Index++) {
    if (Span.Ptr[Index] == '=') {
      *Key = TrimSpan(TEXT_SPAN{Span.Ptr, Index});
      *Value = TrimSpan(TEXT_SPAN{Span.Ptr + Index + 1, Span.Len - Index - 1});
      return true;
    }
  }
  return false;
}

static char LowerAscii(char C) {
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

bool SpanEqualsNoCase(TEXT_SPAN Span, const char *Text) {
  UINTN Index = 0;
  for (; Index < Span.Len; Index++) {
    if (Text[Index] == '\0' || LowerAscii(Span.Ptr[Index]) != LowerAscii(Text[Index])) {
      return false;
    }
  }
  return Text[Index] == '\0';
}

bool ParseDecimal(TEXT_SPAN Span, UINT64 *Value) {
  if (Span.Len == 0) {
    return false;
  }
  UINT64 Result = 0;
  for (UINTN Index = 0; Index < Span.Len; Index++) {
    char C = Span.Ptr[Index];
    if (C < '0' || C > '9') {
      return false;
    }
    UINT64 Digit = static_cast<UINT64>(C - '0');
    if (Result > (~0ULL - Digit) / 10) {
      return false;
    }
    Result = Result * 10 + Digit;
  }
  *Value = Result;
  return true;
}

bool ParseUint64(TEXT_SPAN Span, UINT64 *Value) {
  if (Span.Len > 2 && Span.Ptr[0] == '0' && (Span.Ptr[1] == 'x' || Span.Ptr[1] == 'X')) {
    const UINTN Digits = Span.Len - 2;
    UINT64 Result = 0;
    if (Digits > 16 || HexDigitsToValue(Span.Ptr + 2, Digits, &Result) != Digits) {
      return false;
    }
    *Value = Result;
    return true;
  }
  return ParseDecimal(Span, Value);
}

EFI_STATUS Refuse(TEXT_ERROR *Error, UINT32 Line, const char *Reason) {
  Error->Line = Line;
  Error->Reason = Reason;
  return EFI_INVALID_PARAMETER;
}
