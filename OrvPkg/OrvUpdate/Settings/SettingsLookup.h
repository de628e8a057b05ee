/** @file
  Settings text lookup: sections, keys and values found by scanning the raw
  settings text anew for every question. Searches yield spans (positions into
  the loaded text); nothing is copied until a getter is called.

  The text as the lookup reads it:
  - 8-bit characters; lines end with LF, CR LF or a lone CR.
  - "#" starts a comment that runs to the end of its line, anywhere.
  - A section header is "[", the name, "]"; names are compared byte for byte.
    A section runs from its "[" to just before the next "[" anywhere in the
    text (also one inside a value or a comment).
  - A key stands at the start of its line (after optional spaces or tabs) and
    is followed by spaces, tabs or "=" characters and then the value. The
    value is the last word of the line: the text after the last space or "="
    before the line end or comment; trailing spaces are dropped.
**/

#ifndef ORV_SETTINGS_LOOKUP_H_
#define ORV_SETTINGS_LOOKUP_H_

#include "../App/OrvEfi.h"

/// The loaded settings text: one pool block holding Length, the text (not
/// terminated, never modified) and 8 spare bytes.
struct SETTINGS_FILE { UINT64 Length; CHAR8 Data[]; };

/// A located section. Start is the "[" of its header, End the section's last
/// byte (inclusive), NameStart the name's first character and NameLastOffset
/// the name's length minus one.
struct SETTINGS_SECTION { UINTN Start; UINTN End; UINTN NameStart; UINTN NameLastOffset; };

/// A located key. Start and NameStart are the key's first character,
/// NameLastOffset its length minus one, End one past the value's last byte
/// (exclusive), ValueStart the value's first byte and ValueLength
/// End - ValueStart (0 for an empty value).
struct SETTINGS_KEY { UINTN Start; UINTN End; UINTN NameStart; UINTN NameLastOffset; UINTN ValueStart; UINTN ValueLength; };

/// Names longer than this never match.
constexpr UINTN SETTINGS_MAX_NAME_LENGTH = 255;

/**
  Find the first section header "[SectionName]" in the text. Comments are
  skipped; the byte right after a "[" that does not open the wanted header is
  never examined as the start of a header or comment.

  @param[in]  SettingsFileData  The loaded settings text.
  @param[in]  SectionName       Zero-terminated name, compared byte for byte
                                (case and spaces count), at most 255 characters.
  @param[out] Section           Filled on success; untouched otherwise.

  @retval EFI_SUCCESS            Section found.
  @retval EFI_NOT_FOUND          No such header.
  @retval EFI_INVALID_PARAMETER  A null argument.
**/
[[nodiscard]] EFI_STATUS FindSettingsSection(const SETTINGS_FILE *SettingsFileData, const CHAR8 *SectionName, SETTINGS_SECTION *Section);

/**
  Find a key in a section and the span of its value. The key matches only as
  a whole key name: as the first word of its line (after optional spaces or
  tabs), followed by a space, a tab, "=", a "#" comment or the line end.
  Comments are skipped. The first matching line in the section wins.

  @param[in]  SettingsFileData  The loaded settings text.
  @param[in]  Section           A section found by FindSettingsSection in
                                this text.
  @param[in]  KeyName           Zero-terminated key name, 1 to 255 characters.
  @param[out] Key               Filled on success; untouched otherwise.

  @retval EFI_SUCCESS            Key found; its value span is in Key.
  @retval EFI_NOT_FOUND          No such key in the section (or a section
                                 record that does not lie in this text).
  @retval EFI_INVALID_PARAMETER  A null argument.
**/
[[nodiscard]] EFI_STATUS FindSettingsKey(const SETTINGS_FILE *SettingsFileData, const SETTINGS_SECTION *Section, const CHAR8 *KeyName, SETTINGS_KEY *Key);

/**
  Copy a key's value out as 8-bit text with a terminating zero byte.

  @param[in]     SettingsFileData  The loaded settings text.
  @param[in]     Key               A key found by FindSettingsKey in this text.
  @param[in,out] Size              In: capacity of Buffer in bytes. Out: the
                                   value's length plus one (terminator
                                   counted), on success and on failure.
  @param[out]    Buffer            Receives the value; untouched on failure.

  @retval EFI_SUCCESS            Value and terminator copied.
  @retval EFI_BUFFER_TOO_SMALL   Capacity below length + 1; Size tells the
                                 room needed.
  @retval EFI_INVALID_PARAMETER  A null argument, or a key record that does
                                 not lie in this text.
**/
[[nodiscard]] EFI_STATUS GetSettingsAsciiValue(const SETTINGS_FILE *SettingsFileData, const SETTINGS_KEY *Key, UINTN *Size, CHAR8 *Buffer);

/**
  Copy a key's value out widened to CHAR16 text with a terminating zero.
  Bytes 0x80 to 0xFF become the code units 0x0080 to 0x00FF.

  @param[in]     SettingsFileData  The loaded settings text.
  @param[in]     Key               A key found by FindSettingsKey in this text.
  @param[in,out] Size              In: capacity of Buffer in CHAR16 units.
                                   Out on success: the value's length in
                                   characters (terminator not counted). Out on
                                   EFI_BUFFER_TOO_SMALL: the room needed,
                                   terminator counted.
  @param[out]    Buffer            Receives the value; untouched on failure.

  @retval EFI_SUCCESS            Value and terminator copied.
  @retval EFI_BUFFER_TOO_SMALL   Capacity below length + 1.
  @retval EFI_INVALID_PARAMETER  A null argument, or a key record that does
                                 not lie in this text.
**/
[[nodiscard]] EFI_STATUS GetSettingsUnicodeValue(const SETTINGS_FILE *SettingsFileData, const SETTINGS_KEY *Key, UINTN *Size, CHAR16 *Buffer);

#endif
