/** @file
  Obtains the OCM and customer zone images through the image parser: a
  command-line override first, else the file named by the zone's settings key.
**/

#include "Components.h"

#include <OrvBase/StringLib.h>

#include "../App/RunState.h"

namespace {

struct ZONE {
  const CHAR8 *KeyName;
  CHAR16 *OverridePath;
  ORV_IMAGE_HANDLE *Image;
  const CHAR16 *OverrideMessage;
  const CHAR16 *FailureMessage;
};

constexpr UINTN NONE_COMPARE_LENGTH = 5;

}  // namespace

EFI_STATUS LoadZoneImageFromSettings(EFI_HANDLE ImageHandle,
                                     const SETTINGS_FILE *SettingsFileData,
                                     const SETTINGS_SECTION *Section, const CHAR8 *KeyName,
                                     ORV_IMAGE_HANDLE *Image) {
  CHAR16 Path[COMPONENT_PATH_LENGTH];
  UINTN ValueLength = 0;
  if (EFI_ERROR(
          BuildComponentFolderPath(SettingsFileData, Section, KeyName, Path, &ValueLength))) {
    return EFI_NOT_FOUND;
  }

  // "none" exactly (the terminator is compared too), or an empty value.
  if (ValueLength == 0 ||
      StrnCmp(&Path[COMPONENT_FOLDER_LENGTH], u"none"_w, NONE_COMPARE_LENGTH) == 0) {
    if (EFI_ERROR(AsciiStrToUnicodeStrS(KeyName, Path, COMPONENT_PATH_LENGTH))) {
      return EFI_INVALID_PARAMETER;
    }
    Print(u"%s zone is set not to update\n"_w, Path);
    return EFI_SUCCESS;
  }

  return pOrvImageProtocol->LoadImageFile(ImageHandle, Path, Image);
}

EFI_STATUS LoadZoneImages(EFI_HANDLE ImageHandle, const SETTINGS_FILE *SettingsFileData,
                          const SETTINGS_SECTION *Section) {
  // In read mode the override halves hold the -r address and length, not file
  // names, and the read step uses no image.
  if (IsReadMode()) return EFI_SUCCESS;

  const ZONE Zones[] = {
      {"OCM"_a, OcmOverridePath(), &OcmImage, u"Override OCM zone file, using %s\n"_w,
       u"Load OCM Image error, %x\n"_w},
      {"customer"_a, CustomerOverridePath(), &CustomerImage,
       u"Override customer zone file, using %s\n"_w, u"Load Customer zone error, %x\n"_w},
  };

  EFI_STATUS Status = EFI_SUCCESS;
  for (const ZONE &Zone : Zones) {
    if (StrLen(Zone.OverridePath) != 0) {
      Print(Zone.OverrideMessage, Zone.OverridePath);
      Status = pOrvImageProtocol->LoadImageFile(ImageHandle, Zone.OverridePath, Zone.Image);
      if (EFI_ERROR(Status)) {
        Print(u"Load %s error, %x\n"_w, Zone.OverridePath, Hex32(Status));
        *Zone.Image = 0;
        return Status;
      }
      continue;
    }
    Status = LoadZoneImageFromSettings(ImageHandle, SettingsFileData, Section, Zone.KeyName,
                                       Zone.Image);
    if (EFI_ERROR(Status)) {
      Print(Zone.FailureMessage, Hex32(Status));
      *Zone.Image = 0;
      return Status;
    }
  }
  return Status;
}
