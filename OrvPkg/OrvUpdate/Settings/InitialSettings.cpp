/** @file
  The initial settings sequence: load the settings file from the
  application's volume, follow [default] target to the target section, apply
  its switches, bind the components and load the zone images.
**/

#include "InitialSettings.h"

#include <OrvBase/Guards.h>
#include <OrvBase/Status.h>

#include "../App/RunState.h"
#include "../App/StringLib.h"
#include "../Components/Components.h"
#include "SettingsFile.h"

namespace {


/// Reads a switch or mask value of the target section. A missing key or a
/// value that does not fit is passed over: the switches are optional.
bool ReadOptionalValue(const SETTINGS_FILE *Settings, const SETTINGS_SECTION *Section,
                       const CHAR8 *KeyName, CHAR8 (&Value)[SETTINGS_BUFFER_LENGTH],
                       UINTN *Length) {
  SETTINGS_KEY Key;
  if (EFI_ERROR(FindSettingsKey(Settings, Section, KeyName, &Key))) return false;
  UINTN Size = SETTINGS_BUFFER_LENGTH;
  if (EFI_ERROR(GetSettingsAsciiValue(Settings, &Key, &Size, Value))) return false;
  *Length = Size - 1;  // the narrow getter counts the terminator
  return true;
}

void ApplySwitch(const SETTINGS_FILE *Settings, const SETTINGS_SECTION *Section,
                 const CHAR8 *KeyName, UINT32 Flag) {
  CHAR8 Value[SETTINGS_BUFFER_LENGTH];
  UINTN Length = 0;
  if (ReadOptionalValue(Settings, Section, KeyName, Value, &Length) && Value[0] == '1') {
    RUN_FLAGS |= Flag;
  }
}

void ApplyReduceFlashProcessFlag(const SETTINGS_FILE *Settings, const SETTINGS_SECTION *Section) {
  CHAR8 Value[SETTINGS_BUFFER_LENGTH];
  UINTN Length = 0;
  if (!ReadOptionalValue(Settings, Section, "ReduceFlashProcessFlag"_a, Value, &Length)) return;
  for (UINTN Position = 0; Position < Length && Position < REDUCE_FLASH_BITS; Position++) {
    if (Value[Position] == '1') ReduceFlashMask |= 1u << Position;
  }
}

/// Steps from the settings path to the zone images; returns the status of
/// the last step taken. *Settings receives the loaded settings, if any.
EFI_STATUS ApplySettings(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                         SETTINGS_FILE **Settings) {
  CHAR16 Path[SETTINGS_BUFFER_LENGTH] = {};
  EFI_STATUS Status = StrnCatS(Path, SETTINGS_BUFFER_LENGTH, u"OrvUpdateComponent\\"_w,
                               SETTINGS_BUFFER_LENGTH);
  if (!EFI_ERROR(Status)) {
    Status = StrnCatS(Path, SETTINGS_BUFFER_LENGTH, u"OrvUpdateSettings.ini"_w,
                      SETTINGS_BUFFER_LENGTH);
  }
  if (EFI_ERROR(Status)) return Status;

  Status = LoadSettingsFile(ImageHandle, DeviceHandle, Path, Settings);
  if (EFI_ERROR(Status)) return Status;

  SETTINGS_SECTION Section;
  if (EFI_ERROR(FindSettingsSection(*Settings, "default"_a, &Section))) {
    Print(u"Default target section string not found\n"_w);
    return EFI_NOT_FOUND;
  }
  SETTINGS_KEY Key;
  if (EFI_ERROR(FindSettingsKey(*Settings, &Section, "target"_a, &Key))) {
    Print(u"Default target key string not found\n"_w);
    return EFI_NOT_FOUND;
  }
  CHAR8 Target[SETTINGS_BUFFER_LENGTH];
  UINTN Size = SETTINGS_BUFFER_LENGTH;
  Status = GetSettingsAsciiValue(*Settings, &Key, &Size, Target);
  if (EFI_ERROR(Status)) return Status;

  // The settings path is no longer needed: the buffer takes the wide target name.
  Status = AsciiStrToUnicodeStrS(Target, Path, SETTINGS_BUFFER_LENGTH);
  if (EFI_ERROR(Status)) return Status;
  Print(u"Current target: %s\n"_w, Path);

  if (EFI_ERROR(FindSettingsSection(*Settings, Target, &Section))) {
    Print(u"Target section not found\n"_w);
    return EFI_NOT_FOUND;
  }

  ApplySwitch(*Settings, &Section, "ForceUpdate"_a, RUN_FLAG_FORCE_UPDATE);
  ApplySwitch(*Settings, &Section, "IncludeCustomerDefineBkp"_a, RUN_FLAG_INCLUDE_CUSTOMER_BKP);
  ApplyReduceFlashProcessFlag(*Settings, &Section);

  Status = BindComponents(ImageHandle, DeviceHandle, *Settings, &Section);
  if (EFI_ERROR(Status)) return Status;
  return LoadZoneImages(ImageHandle, *Settings, &Section);
}

void ReleaseZoneImage(ORV_IMAGE_HANDLE *Image) {
  if (*Image != 0 && pOrvImageProtocol != nullptr) {
    pOrvImageProtocol->FreeImage(*Image);
    *Image = 0;
  }
}

}  // namespace

EFI_STATUS OrvInitialSettings(EFI_HANDLE ImageHandle) {
  EFI_STATUS Status;
  {
    // Released in reverse order of declaration: the settings text first
    // (every span found in it dies with it), then the Loaded Image protocol.
    EFI_LOADED_IMAGE *LoadedImage = nullptr;
    ProtocolGuard LoadedImageOpened;
    Status = LoadedImageOpened.Open(gOrvBootServices, ImageHandle, &gEfiLoadedImageProtocolGuid,
                                    ImageHandle, reinterpret_cast<VOID **>(&LoadedImage));
    if (EFI_ERROR(Status)) return ReportStatus(Status, u"Error cannot find SelfImage %x\n"_w);

    SETTINGS_FILE *Settings = nullptr;
    ScopeExit SettingsFreed([&Settings] { FreeSettingsFile(Settings); });
    Status = ApplySettings(ImageHandle, LoadedImage->DeviceHandle, &Settings);
  }
  if (EFI_ERROR(Status)) {
    ReleaseZoneImage(&OcmImage);
    ReleaseZoneImage(&CustomerImage);
    Print(u"OrvInitialSettings error %x\n"_w, Hex32(Status));
  }
  return Status;
}
