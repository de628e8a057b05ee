/** @file
  Settings text lookup. Every search is one bounded linear scan of the raw
  text: no allocation, no copy, and no byte read outside Data[0..Length-1]
  whatever the text, the names or the records handed in.

  The section search only has to stop at a "[" that is not inside a comment:
  it finds each "[" 64 bytes at a time with SSE2 compares (part of the x64
  baseline that UEFI firmware runs with) and then looks back along that
  line for a "#", instead of stepping through every comment.
**/

#include "SettingsLookup.h"

namespace {

constexpr CHAR8 SECTION_OPEN = '[';
constexpr CHAR8 SECTION_CLOSE = ']';
constexpr CHAR8 COMMENT = '#';
constexpr CHAR8 ASSIGN = '=';
constexpr CHAR8 SPACE = ' ';
constexpr CHAR8 TAB = '\t';

constexpr bool IsLineEnd(CHAR8 C) { return C == '\r' || C == '\n'; }
constexpr bool IsBlank(CHAR8 C) { return C == SPACE || C == TAB; }

/// Bytes that may follow a key name on its line: the separators before the
/// value, a comment, or the line end.
constexpr bool EndsKeyName(CHAR8 C) {
  return C == SPACE || C == TAB || C == ASSIGN || C == COMMENT || IsLineEnd(C);
}

/// Bytes that the last-word scan stops at. Tabs are ordinary characters
/// inside a value.
constexpr bool IsValueSeparator(CHAR8 C) { return C == SPACE || C == ASSIGN; }

/// Bytes of the run between a key and its value.
constexpr bool IsKeyValueSeparator(CHAR8 C) { return C == SPACE || C == TAB || C == ASSIGN; }

/// Position of the first line end at or after From, or Length when the line
/// runs to the end of the text.
UINTN FindLineEnd(const SETTINGS_FILE *File, UINTN From) {
  UINTN Position = From;
  while (Position < File->Length && !IsLineEnd(File->Data[Position])) Position++;
  return Position;
}

/// 16 bytes at any address, aliasing any object.
typedef CHAR8 UNALIGNED_VECTOR __attribute__((vector_size(16), aligned(1), may_alias));
/// The element type pmovmskb takes.
typedef char MASK_VECTOR __attribute__((vector_size(16)));

inline UNALIGNED_VECTOR Load16(const CHAR8 *At) {
  return *reinterpret_cast<const UNALIGNED_VECTOR *>(At);
}

/// One bit per byte of a compare result: set where the compare held.
inline UINT64 Bits16(UNALIGNED_VECTOR Hits) {
  return static_cast<UINT16>(__builtin_ia32_pmovmskb128(reinterpret_cast<MASK_VECTOR>(Hits)));
}

/// Position of the first Byte at or after From, or Length when there is
/// none. 64 bytes per step with SSE2 compares; never reads past the text.
UINTN FindByte(const SETTINGS_FILE *File, UINTN From, CHAR8 Byte) {
  const CHAR8 *Data = File->Data;
  const UINTN Length = File->Length;
  while (From < Length && Length - From >= 64) {
    const UNALIGNED_VECTOR Hits0 = Load16(&Data[From]) == Byte;
    const UNALIGNED_VECTOR Hits1 = Load16(&Data[From + 16]) == Byte;
    const UNALIGNED_VECTOR Hits2 = Load16(&Data[From + 32]) == Byte;
    const UNALIGNED_VECTOR Hits3 = Load16(&Data[From + 48]) == Byte;
    if (Bits16(Hits0 | Hits1 | Hits2 | Hits3) != 0) {
      const UINT64 Mask =
          Bits16(Hits0) | Bits16(Hits1) << 16 | Bits16(Hits2) << 32 | Bits16(Hits3) << 48;
      return From + static_cast<UINTN>(__builtin_ctzll(Mask));
    }
    From += 64;
  }
  while (From < Length && Data[From] != Byte) From++;
  return From < Length ? From : Length;
}

/// True when the byte at Position lies in a comment, given that the scan
/// stands at From (From <= Position) outside any comment: a "#" between the
/// start of Position's line and Position opens a comment that runs past it.
/// Comments that open on earlier lines end at those lines' ends.
bool InComment(const SETTINGS_FILE *File, UINTN From, UINTN Position) {
  while (Position > From) {
    const CHAR8 Byte = File->Data[--Position];
    if (IsLineEnd(Byte)) return false;
    if (Byte == COMMENT) return true;
  }
  return false;
}

/// Compares Name with the text from Position on, never reading beyond Limit
/// (inclusive, below Length). True when every character of the name matched;
/// NameLength then holds its length. A name longer than
/// SETTINGS_MAX_NAME_LENGTH never matches and its tail is never read.
bool MatchName(const SETTINGS_FILE *File, UINTN Position, UINTN Limit, const CHAR8 *Name,
               UINTN *NameLength) {
  UINTN Index = 0;
  while (Name[Index] != 0) {
    if (Index == SETTINGS_MAX_NAME_LENGTH) return false;
    const UINTN At = Position + Index;
    if (At > Limit || File->Data[At] != Name[Index]) return false;
    Index++;
  }
  *NameLength = Index;
  return true;
}

/// A key record may be handed back from a stale or foreign text: only copy
/// out of a span that lies inside this one.
bool ValueSpanInText(const SETTINGS_FILE *File, const SETTINGS_KEY *Key) {
  return Key->ValueLength <= File->Length && Key->ValueStart <= File->Length - Key->ValueLength;
}

}  // namespace

EFI_STATUS FindSettingsSection(const SETTINGS_FILE *SettingsFileData, const CHAR8 *SectionName,
                               SETTINGS_SECTION *Section) {
  if (SettingsFileData == nullptr || SectionName == nullptr || Section == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const SETTINGS_FILE *File = SettingsFileData;
  const UINTN Length = File->Length;

  // Only a "[" outside a comment can open a header: the scan jumps from one
  // "[" to the next and looks back along its line for a "#".
  UINTN Position = 0;
  while (Position < Length) {
    const UINTN Open = FindByte(File, Position, SECTION_OPEN);
    if (Open >= Length) return EFI_NOT_FOUND;
    if (InComment(File, Position, Open)) {
      // The comment runs to its line end; one that runs to the end of the
      // text ends the search.
      Position = FindLineEnd(File, Open);
      if (Position >= Length) return EFI_NOT_FOUND;
      Position++;
      continue;
    }
    Position = Open;
    // A header: the name from the byte after "[" on, then "]", all inside
    // the text.
    UINTN NameLength = 0;
    const bool Matched = MatchName(File, Position + 1, Length - 1, SectionName, &NameLength);
    const UINTN Close = Position + 1 + NameLength;
    if (Matched && Close < Length && File->Data[Close] == SECTION_CLOSE) {
      const UINTN NameStart = Position + 1;
      const UINTN Next = FindByte(File, NameStart, SECTION_OPEN);
      Section->Start = Position;
      Section->End = Next - 1;
      Section->NameStart = NameStart;
      // An empty name ("[]") gives all bits set: NameStart + NameLastOffset
      // then wraps to Start.
      Section->NameLastOffset = NameLength - 1;
      return EFI_SUCCESS;
    }
    // The byte right after a "[" is never looked at as a header or comment
    // start, so "[[ChipA]" does not define ChipA.
    Position += 2;
  }
  return EFI_NOT_FOUND;
}

namespace {

/// The span of the value of the key whose name stands at Position with
/// NameLength characters. The value end is the first line end or comment
/// after the key, or one past the section's last byte, then back over
/// trailing spaces (never into the key). The value is the last word: it
/// starts after the last space or "=" before the value end. Tabs are
/// ordinary characters inside a value, but the run of spaces, tabs and "="
/// right after the key always separates key and value, so 'Key<TAB>value'
/// gives 'value' and a key with nothing after it gives an empty value
/// starting after its separators.
void FillKeySpan(const SETTINGS_FILE *File, UINTN Position, UINTN NameLength, UINTN SectionEnd,
                 SETTINGS_KEY *Key) {
  const UINTN AfterName = Position + NameLength;
  UINTN ValueEnd = AfterName;
  while (ValueEnd <= SectionEnd && !IsLineEnd(File->Data[ValueEnd]) &&
         File->Data[ValueEnd] != COMMENT) {
    ValueEnd++;
  }
  while (ValueEnd > AfterName && File->Data[ValueEnd - 1] == SPACE) ValueEnd--;

  UINTN ValueStart = ValueEnd;
  while (ValueStart > AfterName && !IsValueSeparator(File->Data[ValueStart - 1])) ValueStart--;
  UINTN SeparatorsEnd = AfterName;
  while (SeparatorsEnd < ValueEnd && IsKeyValueSeparator(File->Data[SeparatorsEnd])) {
    SeparatorsEnd++;
  }
  if (ValueStart < SeparatorsEnd) ValueStart = SeparatorsEnd;

  Key->Start = Position;
  Key->End = ValueEnd;
  Key->NameStart = Position;
  Key->NameLastOffset = NameLength - 1;
  Key->ValueStart = ValueStart;
  Key->ValueLength = ValueEnd - ValueStart;
}

}  // namespace

EFI_STATUS FindSettingsKey(const SETTINGS_FILE *SettingsFileData, const SETTINGS_SECTION *Section,
                           const CHAR8 *KeyName, SETTINGS_KEY *Key) {
  if (SettingsFileData == nullptr || Section == nullptr || KeyName == nullptr || Key == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const SETTINGS_FILE *File = SettingsFileData;
  const UINTN Length = File->Length;
  const UINTN SectionEnd = Section->End;
  if (Section->Start > SectionEnd || SectionEnd >= Length) return EFI_NOT_FOUND;

  // Keys are matched only as the first word of a line. The scan starts at the
  // header's "[", so the header line never holds a key.
  bool AtLineStart = false;
  for (UINTN Position = Section->Start; Position <= SectionEnd; Position++) {
    const CHAR8 Byte = File->Data[Position];
    if (Byte == COMMENT) {
      // The comment may run past the section (a "[" inside it ends the
      // section); the skip is bounded by the text only.
      Position = FindLineEnd(File, Position);
      if (Position >= Length || Position > SectionEnd) return EFI_NOT_FOUND;
      AtLineStart = true;
      continue;
    }
    if (IsLineEnd(Byte)) {
      AtLineStart = true;
      continue;
    }
    if (IsBlank(Byte)) continue;
    if (!AtLineStart) continue;
    AtLineStart = false;

    // First word of a line: does the whole key name stand here, inside the
    // section, followed by a separator, a comment or the line end?
    UINTN NameLength = 0;
    if (!MatchName(File, Position, SectionEnd, KeyName, &NameLength) || NameLength == 0) continue;
    const UINTN AfterName = Position + NameLength;
    if (AfterName < Length && !EndsKeyName(File->Data[AfterName])) continue;

    FillKeySpan(File, Position, NameLength, SectionEnd, Key);
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

namespace {

/// Copies a key's value into Buffer, widening each byte to CHAR_T (CHAR8 is
/// unsigned, so bytes 0x80 to 0xFF widen to 0x0080 to 0x00FF), and
/// terminates it. On success *Size is set by the caller's convention; on a
/// buffer too small it tells the room needed, terminator included, and
/// Buffer is not touched.
template <typename CHAR_T>
EFI_STATUS CopyValue(const SETTINGS_FILE *SettingsFileData, const SETTINGS_KEY *Key, UINTN *Size,
                     CHAR_T *Buffer) {
  if (SettingsFileData == nullptr || Key == nullptr || Size == nullptr ||
      !ValueSpanInText(SettingsFileData, Key)) {
    return EFI_INVALID_PARAMETER;
  }
  const UINTN Needed = Key->ValueLength + 1;
  if (*Size < Needed) {
    *Size = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  const CHAR8 *Value = &SettingsFileData->Data[Key->ValueStart];
  for (UINTN Index = 0; Index < Key->ValueLength; Index++) {
    Buffer[Index] = static_cast<CHAR_T>(Value[Index]);
  }
  Buffer[Key->ValueLength] = 0;
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS GetSettingsAsciiValue(const SETTINGS_FILE *SettingsFileData, const SETTINGS_KEY *Key,
                                 UINTN *Size, CHAR8 *Buffer) {
  EFI_STATUS Status = CopyValue(SettingsFileData, Key, Size, Buffer);
  // The narrow copy counts the terminator.
  if (!EFI_ERROR(Status)) *Size = Key->ValueLength + 1;
  return Status;
}

EFI_STATUS GetSettingsUnicodeValue(const SETTINGS_FILE *SettingsFileData, const SETTINGS_KEY *Key,
                                   UINTN *Size, CHAR16 *Buffer) {
  EFI_STATUS Status = CopyValue(SettingsFileData, Key, Size, Buffer);
  // The wide copy reports the value's length in characters, terminator not
  // counted; callers read it as the name length.
  if (!EFI_ERROR(Status)) *Size = Key->ValueLength;
  return Status;
}
