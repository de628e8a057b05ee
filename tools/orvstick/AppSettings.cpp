/** @file
  The host build of the application's settings lookup behind orvstick's own
  types. This is the only orvstick file that sees the UEFI headers.
**/

#include "AppSettings.h"

#include <cstring>

#include "Components.h"
#include "InitialSettings.h"
#include "SettingsFile.h"
#include "SettingsLookup.h"

const char *const APP_SETTINGS_PATH = "OrvUpdateComponent\\OrvUpdateSettings.ini";
const char *const APP_COMPONENT_FOLDER = "OrvUpdateComponent\\";

const APP_LIMITS &AppLimits() {
  static const APP_LIMITS Limits = {
      SETTINGS_BUFFER_LENGTH - 1,
      COMPONENT_VALUE_CAPACITY - 1,
      static_cast<size_t>(SETTINGS_FILE_MIN_SIZE),
      REDUCE_FLASH_BITS,
      SETTINGS_MAX_NAME_LENGTH,
  };
  return Limits;
}

namespace {

const SETTINGS_FILE *File(const std::vector<uint64_t> &Block) {
  return reinterpret_cast<const SETTINGS_FILE *>(Block.data());
}

const CHAR8 *Narrow(const std::string &Text) { return reinterpret_cast<const CHAR8 *>(Text.c_str()); }

SETTINGS_SECTION ToSection(const SECTION_SPAN &Span) {
  return SETTINGS_SECTION{Span.Start, Span.End, Span.Start + 1, 0};
}

SETTINGS_KEY ToKey(const KEY_SPAN &Span) {
  return SETTINGS_KEY{Span.Start,      Span.End,        Span.Start, Span.NameLength - 1,
                      Span.ValueStart, Span.ValueLength};
}

}  // namespace

APP_SETTINGS::APP_SETTINGS(const std::string &Text) : Text_(Text) {
  // Length, the text and 8 spare bytes, as the application's loader lays
  // the block out.
  Block_.assign(1 + (Text.size() + 8 + 7) / 8, 0);
  reinterpret_cast<SETTINGS_FILE *>(Block_.data())->Length = Text.size();
  std::memcpy(reinterpret_cast<SETTINGS_FILE *>(Block_.data())->Data, Text.data(), Text.size());
}

std::optional<SECTION_SPAN> APP_SETTINGS::FindSection(const std::string &Name) const {
  SETTINGS_SECTION Section{};
  if (EFI_ERROR(FindSettingsSection(File(Block_), Narrow(Name), &Section))) return std::nullopt;
  return SECTION_SPAN{Section.Start, Section.End};
}

std::optional<KEY_SPAN> APP_SETTINGS::FindKey(const SECTION_SPAN &Section, const std::string &Key) const {
  const SETTINGS_SECTION Found = ToSection(Section);
  SETTINGS_KEY Span{};
  if (EFI_ERROR(FindSettingsKey(File(Block_), &Found, Narrow(Key), &Span))) return std::nullopt;
  return KEY_SPAN{Span.Start, Span.NameLastOffset + 1, Span.ValueStart, Span.ValueLength, Span.End};
}

std::optional<std::string> APP_SETTINGS::AsciiValue(const KEY_SPAN &Key, size_t Capacity) const {
  const SETTINGS_KEY Span = ToKey(Key);
  std::vector<CHAR8> Buffer(Capacity + 1);
  UINTN Size = Capacity;
  if (EFI_ERROR(GetSettingsAsciiValue(File(Block_), &Span, &Size, Buffer.data()))) return std::nullopt;
  return std::string(reinterpret_cast<const char *>(Buffer.data()), Size - 1);
}

std::optional<std::string> APP_SETTINGS::UnicodeValue(const KEY_SPAN &Key, size_t Capacity) const {
  const SETTINGS_KEY Span = ToKey(Key);
  std::vector<CHAR16> Buffer(Capacity + 1);
  UINTN Size = Capacity;
  if (EFI_ERROR(GetSettingsUnicodeValue(File(Block_), &Span, &Size, Buffer.data()))) return std::nullopt;
  // The settings text is 8-bit; each unit came from one byte.
  std::string Value;
  for (UINTN Index = 0; Index < Size; Index++) Value.push_back(static_cast<char>(Buffer[Index] & 0xFF));
  return Value;
}

APP_FLAGS ReadAppFlags(const APP_SETTINGS &Settings, const SECTION_SPAN &Target) {
  auto Value = [&](const char *Key) -> std::string {
    std::optional<KEY_SPAN> Span = Settings.FindKey(Target, Key);
    if (!Span) return {};
    return Settings.AsciiValue(*Span, SETTINGS_BUFFER_LENGTH).value_or(std::string());
  };
  APP_FLAGS Flags{};
  Flags.ForceUpdate = SettingsSwitchOn(Narrow(Value("ForceUpdate")));
  Flags.IncludeCustomerDefineBkp = SettingsSwitchOn(Narrow(Value("IncludeCustomerDefineBkp")));
  const std::string Mask = Value("ReduceFlashProcessFlag");
  Flags.ReduceFlashMask = ReduceFlashBitsOf(Narrow(Mask), Mask.size());
  return Flags;
}
