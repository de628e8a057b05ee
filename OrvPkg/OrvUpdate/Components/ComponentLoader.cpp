/** @file
  Loads and starts a component driver from the component folder of the
  volume the application was loaded from.
**/

#include "Components.h"

#include <OrvBase/Guards.h>
#include <OrvBase/ProtocolPtr.h>
#include "../App/RunState.h"

namespace {

/// Text form of a device path for a message, from the firmware's
/// device-path-to-text protocol, or gnu-efi's own conversion when the
/// firmware has none. Pool memory owned by the returned guard (may be empty).
PoolGuard<CHAR16> DevicePathText(EFI_DEVICE_PATH *DevicePath, BOOLEAN DisplayOnly,
                                 BOOLEAN AllowShortcuts) {
  if (DevicePath == nullptr) return PoolGuard<CHAR16>();
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *ToText = nullptr;
  EFI_STATUS Status = LocateProtocolOf(gOrvBootServices, &ToText);
  if (!EFI_ERROR(Status) && ToText != nullptr) {
    return PoolGuard<CHAR16>(ToText->ConvertDevicePathToText(DevicePath, DisplayOnly, AllowShortcuts));
  }
  return PoolGuard<CHAR16>(DevicePathToStr(DevicePath));
}

const CHAR16 *TextOrEmpty(const PoolGuard<CHAR16> &Text) {
  return Text ? Text.Get() : u""_w;
}

}  // namespace

EFI_STATUS LoadComponentDriver(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                               const SETTINGS_FILE *SettingsFileData,
                               const SETTINGS_SECTION *Section, const CHAR8 *KeyName,
                               EFI_HANDLE *ComponentImage) {
  CHAR16 Path[COMPONENT_PATH_LENGTH];
  UINTN ValueLength = 0;
  if (EFI_ERROR(
          BuildComponentFolderPath(SettingsFileData, Section, KeyName, Path, &ValueLength))) {
    return EFI_NOT_FOUND;
  }

  PoolGuard<EFI_DEVICE_PATH> DevicePath(FileDevicePath(DeviceHandle, Path));
  EFI_STATUS Status = gOrvBootServices->LoadImage(FALSE, ImageHandle, DevicePath.Get(), nullptr, 0,
                                                  ComponentImage);
  if (EFI_ERROR(Status)) {
    PoolGuard<CHAR16> Text = DevicePathText(DevicePath.Get(), TRUE, TRUE);
    Print(u"Component %s not found! Path %s \n"_w, Path, TextOrEmpty(Text));
    return EFI_SUCCESS;
  }

  Status = gOrvBootServices->StartImage(*ComponentImage, nullptr, nullptr);
  if (EFI_ERROR(Status)) {
    // A driver whose start failed stays loaded; nothing else uses it.
    PoolGuard<CHAR16> Text = DevicePathText(DevicePath.Get(), FALSE, FALSE);
    Print(u"Component %s Load fail! Path %s\n"_w, Path, TextOrEmpty(Text));
  }
  return EFI_SUCCESS;
}
