// A settings text held as the loader would hold it, for tests that hand
// settings straight to the lookup's callers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../../OrvPkg/OrvUpdate/Settings/SettingsLookup.h"

class SettingsText {
 public:
  explicit SettingsText(const std::string &Text)
      : Block_(offsetof(SETTINGS_FILE, Data) + Text.size()) {
    UINT64 Length = Text.size();
    std::memcpy(Block_.data(), &Length, sizeof Length);
    std::memcpy(Block_.data() + offsetof(SETTINGS_FILE, Data), Text.data(), Text.size());
  }
  const SETTINGS_FILE *File() const {
    return reinterpret_cast<const SETTINGS_FILE *>(Block_.data());
  }
  /// The named section; fails the test when it is absent.
  SETTINGS_SECTION Section(const char *Name) const {
    SETTINGS_SECTION Section{};
    EXPECT_EQ(FindSettingsSection(File(), reinterpret_cast<const CHAR8 *>(Name), &Section),
              EFI_SUCCESS)
        << Name;
    return Section;
  }

 private:
  std::vector<UINT8> Block_;
};
