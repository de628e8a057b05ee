/** @file
  Relative paths into the component folder, built from settings values.
**/

#include "Components.h"

namespace {
constexpr char16_t COMPONENT_FOLDER[] = u"OrvUpdateComponent\\";
static_assert(sizeof(COMPONENT_FOLDER) / sizeof(char16_t) - 1 == COMPONENT_FOLDER_LENGTH);
static_assert(COMPONENT_FOLDER_LENGTH + COMPONENT_VALUE_CAPACITY <= COMPONENT_PATH_LENGTH);
}  // namespace

EFI_STATUS BuildComponentFolderPath(const SETTINGS_FILE *SettingsFileData,
                              const SETTINGS_SECTION *Section, const CHAR8 *KeyName,
                              CHAR16 (&Path)[COMPONENT_PATH_LENGTH], UINTN *ValueLength) {
  for (UINTN Index = 0; Index < COMPONENT_PATH_LENGTH; Index++) {
    Path[Index] = Index < COMPONENT_FOLDER_LENGTH ? COMPONENT_FOLDER[Index] : 0;
  }
  SETTINGS_KEY Key;
  if (EFI_ERROR(FindSettingsKey(SettingsFileData, Section, KeyName, &Key))) {
    return EFI_NOT_FOUND;
  }
  UINTN Size = COMPONENT_VALUE_CAPACITY;
  if (EFI_ERROR(GetSettingsUnicodeValue(SettingsFileData, &Key, &Size,
                                        &Path[COMPONENT_FOLDER_LENGTH]))) {
    return EFI_NOT_FOUND;
  }
  *ValueLength = Size;
  return EFI_SUCCESS;
}
