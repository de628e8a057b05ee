// The settings lookup with arbitrary text, section and key names of up to 300
// characters and arbitrary getter capacities.
//
// Input: a 6-byte head, then the names, then the text:
//   byte 0-1  section name length (mod 301); byte 2-3 key name length (mod 301)
//   byte 4    ASCII getter capacity; byte 5 CHAR16 getter capacity
// A name length of 0 takes the name from the text instead (the first
// bracketed name, the first word of the line after it), so lookups hit.
// The text sits in a block that ends with its last byte, with no slack, so
// the sanitizer sees any read past it. Found records must lie in the text and
// name what was asked; values copied must equal the text's span; a record
// that does not belong to the text must be refused.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SettingsLookup.h"

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

const CHAR8 *A(const std::string &Text) { return reinterpret_cast<const CHAR8 *>(Text.c_str()); }

std::string FirstSectionName(const std::string &Text) {
  size_t Open = Text.find('[');
  if (Open == std::string::npos) return "";
  size_t Close = Text.find(']', Open + 1);
  if (Close == std::string::npos) return "";
  return Text.substr(Open + 1, std::min<size_t>(Close - Open - 1, 300));
}

std::string FirstWordAfter(const std::string &Text, size_t From) {
  size_t Line = Text.find('\n', From);
  if (Line == std::string::npos) return "";
  size_t Start = Text.find_first_not_of(" \t", Line + 1);
  if (Start == std::string::npos) return "";
  size_t End = Text.find_first_of(" \t=#\r\n", Start);
  return Text.substr(Start, std::min<size_t>((End == std::string::npos ? Text.size() : End) - Start, 300));
}

std::string NameFrom(const uint8_t *&Data, size_t &Size, size_t Length) {
  Length = std::min(Length, Size);
  std::string Name(reinterpret_cast<const char *>(Data), Length);
  Data += Length;
  Size -= Length;
  // Names are zero-terminated: an inner zero only shortens them.
  return Name.substr(0, Name.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size < 6) return 0;
  const size_t SectionLength = (Data[0] | (Data[1] << 8)) % 301;
  const size_t KeyLength = (Data[2] | (Data[3] << 8)) % 301;
  const UINTN AsciiCapacity = Data[4];
  const UINTN UnicodeCapacity = Data[5];
  Data += 6;
  Size -= 6;
  std::string SectionName = NameFrom(Data, Size, SectionLength);
  std::string KeyName = NameFrom(Data, Size, KeyLength);
  const std::string Text(reinterpret_cast<const char *>(Data), Size);
  if (SectionLength == 0) SectionName = FirstSectionName(Text);
  if (KeyLength == 0) KeyName = FirstWordAfter(Text, Text.find('['));
  SectionName = SectionName.substr(0, SectionName.find('\0'));
  KeyName = KeyName.substr(0, KeyName.find('\0'));

  // The loaded text exactly as the loader lays it out, minus the spare bytes.
  const size_t BlockSize = offsetof(SETTINGS_FILE, Data) + Text.size();
  auto *File = static_cast<SETTINGS_FILE *>(std::malloc(BlockSize));
  File->Length = Text.size();
  if (!Text.empty()) std::memcpy(File->Data, Text.data(), Text.size());

  SETTINGS_SECTION Section{};
  EFI_STATUS Status = FindSettingsSection(File, A(SectionName), &Section);
  Check(Status == EFI_SUCCESS || Status == EFI_NOT_FOUND);
  if (Status == EFI_SUCCESS) {
    Check(SectionName.size() <= SETTINGS_MAX_NAME_LENGTH);
    Check(Section.Start < Text.size() && Text[Section.Start] == '[');
    Check(Section.NameStart == Section.Start + 1);
    Check(Section.NameLastOffset + 1 == SectionName.size() || SectionName.empty());
    Check(Section.End < Text.size() && Section.End >= Section.Start);
    Check(Text.compare(Section.NameStart, SectionName.size(), SectionName) == 0);

    SETTINGS_KEY Key{};
    Status = FindSettingsKey(File, &Section, A(KeyName), &Key);
    Check(Status == EFI_SUCCESS || Status == EFI_NOT_FOUND || Status == EFI_INVALID_PARAMETER);
    if (Status == EFI_SUCCESS) {
      Check(!KeyName.empty() && KeyName.size() <= SETTINGS_MAX_NAME_LENGTH);
      Check(Key.NameStart >= Section.Start && Key.NameStart <= Section.End);
      Check(Key.NameLastOffset + 1 == KeyName.size());
      Check(Text.compare(Key.NameStart, KeyName.size(), KeyName) == 0);
      Check(Key.End <= Text.size() && Key.ValueStart + Key.ValueLength == Key.End);
      const std::string Value = Text.substr(Key.ValueStart, Key.ValueLength);

      std::vector<CHAR8> Ascii(std::max<UINTN>(AsciiCapacity, 1), 0x5A);
      UINTN AsciiSize = AsciiCapacity;
      Status = GetSettingsAsciiValue(File, &Key, &AsciiSize, Ascii.data());
      Check(AsciiSize == Value.size() + 1);
      if (AsciiCapacity >= Value.size() + 1) {
        Check(Status == EFI_SUCCESS);
        Check(std::memcmp(Ascii.data(), Value.data(), Value.size()) == 0);
        Check(Ascii[Value.size()] == 0);
      } else {
        Check(Status == EFI_BUFFER_TOO_SMALL);
        Check(Ascii[0] == 0x5A);
      }

      std::vector<CHAR16> Wide(std::max<UINTN>(UnicodeCapacity, 1), 0x5A5A);
      UINTN WideSize = UnicodeCapacity;
      Status = GetSettingsUnicodeValue(File, &Key, &WideSize, Wide.data());
      if (UnicodeCapacity >= Value.size() + 1) {
        Check(Status == EFI_SUCCESS);
        Check(WideSize == Value.size());
        for (size_t Index = 0; Index < Value.size(); Index++) {
          Check(Wide[Index] == static_cast<UINT8>(Value[Index]));
        }
        Check(Wide[Value.size()] == 0);
      } else {
        Check(Status == EFI_BUFFER_TOO_SMALL);
        Check(WideSize == Value.size() + 1);
      }

      // A record that reaches past this text is refused, not followed.
      SETTINGS_KEY Outside = Key;
      Outside.End = Text.size() + 1 + AsciiCapacity;
      Outside.ValueLength = Outside.End - Outside.ValueStart;
      UINTN OutsideSize = Outside.ValueLength + 1;
      std::vector<CHAR8> Sink(OutsideSize);
      Check(GetSettingsAsciiValue(File, &Outside, &OutsideSize, Sink.data()) ==
            EFI_INVALID_PARAMETER);
    }
  }
  std::free(File);
  return 0;
}
