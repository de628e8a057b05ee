/** @file
  The application's own settings lookup (FindSettingsSection,
  FindSettingsKey and the two getters), compiled for the host and wrapped for
  orvstick, with the limits the application applies to what it reads. Every
  value orvstick reports is the value a run on the board would use.
**/

#ifndef ORVSTICK_APP_SETTINGS_H_
#define ORVSTICK_APP_SETTINGS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// Limits of the application, taken from its headers.
struct APP_LIMITS {
  size_t TargetNameMax;      ///< longest target name (and flag value) that fits its buffer
  size_t ComponentValueMax;  ///< longest driver or zone image file name
  size_t SettingsFileMin;    ///< shortest settings file that is read
  size_t ReduceFlashBits;    ///< characters of ReduceFlashProcessFlag that count
  size_t NameMax;            ///< longest section or key name that can match
};
const APP_LIMITS &AppLimits();

/// Path of the settings file and of the component folder, as the
/// application builds them (backslashes, relative to the volume's root).
extern const char *const APP_SETTINGS_PATH;
extern const char *const APP_COMPONENT_FOLDER;

/// A section found by the lookup: Start is its "[", End its last byte (inclusive).
struct SECTION_SPAN {
  size_t Start;
  size_t End;
};

/// A key found by the lookup and the span of its value (End exclusive).
struct KEY_SPAN {
  size_t Start;
  size_t NameLength;
  size_t ValueStart;
  size_t ValueLength;
  size_t End;
};

/// A settings text loaded as the application loads it, and its lookups.
class APP_SETTINGS {
 public:
  explicit APP_SETTINGS(const std::string &Text);

  std::optional<SECTION_SPAN> FindSection(const std::string &Name) const;
  std::optional<KEY_SPAN> FindKey(const SECTION_SPAN &Section, const std::string &Key) const;

  /// The value as the narrow getter copies it into a buffer of Capacity
  /// bytes; nothing when it does not fit.
  std::optional<std::string> AsciiValue(const KEY_SPAN &Key, size_t Capacity) const;
  /// The value as the wide getter copies it into a buffer of Capacity
  /// characters (file names); nothing when it does not fit.
  std::optional<std::string> UnicodeValue(const KEY_SPAN &Key, size_t Capacity) const;

  const std::string &Text() const { return Text_; }

 private:
  std::string Text_;
  std::vector<uint64_t> Block_;  ///< the SETTINGS_FILE block: Length, text, spare bytes
};

/// The flag settings of a target section, as the settings sequence applies them.
struct APP_FLAGS {
  bool ForceUpdate;
  bool IncludeCustomerDefineBkp;
  uint32_t ReduceFlashMask;
};
APP_FLAGS ReadAppFlags(const APP_SETTINGS &Settings, const SECTION_SPAN &Target);

#endif
