/** @file
  The initial settings sequence: load the settings file from the
  application's volume, follow [default] target to the target section, apply
  its switches, bind the components and load the zone images.
**/

#include "InitialSettings.h"

#include <OrvBase/ProtocolPtr.h>
#include <OrvBase/Status.h>
#include <OrvBase/StringLib.h>

#include "../App/RunState.h"
#include "../Components/ComponentGuards.h"
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
  if (ReadOptionalValue(Settings, Section, KeyName, Value, &Length) && SettingsSwitchOn(Value)) {
    RUN_FLAGS |= Flag;
  }
}

void ApplyReduceFlashProcessFlag(const SETTINGS_FILE *Settings, const SETTINGS_SECTION *Section) {
  CHAR8 Value[SETTINGS_BUFFER_LENGTH];
  UINTN Length = 0;
  if (ReadOptionalValue(Settings, Section, "ReduceFlashProcessFlag"_a, Value, &Length)) {
    ReduceFlashMask |= ReduceFlashBitsOf(Value, Length);
  }
}

}  // namespace

EFI_STATUS LoadTargetSettings(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                              SettingsFileGuard *Settings, SETTINGS_SECTION *TargetSection) {
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
  const SETTINGS_FILE *Text = Settings->Get();

  SETTINGS_SECTION Section;
  if (EFI_ERROR(FindSettingsSection(Text, "default"_a, &Section))) {
    return PrintAndReturn(EFI_NOT_FOUND, u"Default target section string not found\n"_w);
  }
  SETTINGS_KEY Key;
  if (EFI_ERROR(FindSettingsKey(Text, &Section, "target"_a, &Key))) {
    return PrintAndReturn(EFI_NOT_FOUND, u"Default target key string not found\n"_w);
  }
  CHAR8 Target[SETTINGS_BUFFER_LENGTH];
  UINTN Size = SETTINGS_BUFFER_LENGTH;
  Status = GetSettingsAsciiValue(Text, &Key, &Size, Target);
  if (EFI_ERROR(Status)) return Status;

  // The settings path is no longer needed: the buffer takes the wide target name.
  Status = AsciiStrToUnicodeStrS(Target, Path, SETTINGS_BUFFER_LENGTH);
  if (EFI_ERROR(Status)) return Status;
  Print(u"Current target: %s\n"_w, Path);

  if (EFI_ERROR(FindSettingsSection(Text, Target, &Section))) {
    return PrintAndReturn(EFI_NOT_FOUND, u"Target section not found\n"_w);
  }

  ApplySwitch(Text, &Section, "ForceUpdate"_a, RUN_FLAG_FORCE_UPDATE);
  ApplySwitch(Text, &Section, "IncludeCustomerDefineBkp"_a, RUN_FLAG_INCLUDE_CUSTOMER_BKP);
  ApplyReduceFlashProcessFlag(Text, &Section);
  *TargetSection = Section;
  return Status;
}

namespace {

/// Steps from the settings path to the zone images; returns the status of
/// the last step taken. Settings receives the loaded settings and
/// PathSession the path session, if the sequence got that far.
EFI_STATUS ApplySettings(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                         SettingsFileGuard *Settings, PathSessionGuard *PathSession) {
  SETTINGS_SECTION Section;
  EFI_STATUS Status = LoadTargetSettings(ImageHandle, DeviceHandle, Settings, &Section);
  if (EFI_ERROR(Status)) return Status;
  const SETTINGS_FILE *Text = Settings->Get();
  Status = BindComponents(ImageHandle, DeviceHandle, Text, &Section, PathSession);
  if (EFI_ERROR(Status)) return Status;
  return LoadZoneImages(ImageHandle, Text, &Section);
}

}  // namespace

EFI_STATUS OrvInitialSettings(EFI_HANDLE ImageHandle) {
  // What the sequence takes for the run. On failure it is all given back:
  // the zone images (OCM, then customer), then the path session, so that a
  // path component that powers a bus or switches a multiplexer is closed
  // again and the next run in the same boot opens a path that was closed.
  PathSessionGuard PathSession;
  ZoneImageGuard Customer(&CustomerImage);
  ZoneImageGuard Ocm(&OcmImage);

  EFI_STATUS Status;
  {
    // Released in reverse order of declaration: the settings text first
    // (every span found in it dies with it), then the Loaded Image protocol.
    ProtocolPtr<EFI_LOADED_IMAGE> LoadedImage;
    Status = LoadedImage.Open(gOrvBootServices, ImageHandle, ImageHandle);
    if (EFI_ERROR(Status)) return ReportStatus(Status, u"Error cannot find SelfImage %x\n"_w);

    SettingsFileGuard Settings;
    Status = ApplySettings(ImageHandle, LoadedImage->DeviceHandle, &Settings, &PathSession);
  }
  if (EFI_ERROR(Status)) {
    Ocm.Free();
    Customer.Free();
    PathSession.Close();
    return ReportStatus(Status, u"OrvInitialSettings error %x\n"_w);
  }

  // The run driver gives the images and the path session back at its end.
  Ocm.Release();
  Customer.Release();
  PathSession.Release();
  return Status;
}
