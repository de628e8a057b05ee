/** @file
  Binds the three component protocols in a fixed order: image parser, flash
  interface, path component. A protocol that is not installed yet has its
  driver loaded from the component folder and is searched for again.
**/

#include "Components.h"

#include <OrvBase/Guards.h>
#include <OrvBase/Status.h>

#include "../App/RunState.h"

namespace {

struct COMPONENT_BINDING {
  const CHAR8 *KeyName;
  const CHAR16 *WideKeyName;
  EFI_GUID *Guid;
  VOID **Interface;
  const CHAR16 *SearchError;
  const CHAR16 *SearchAfterLoadError;
  const CHAR16 *OpenError;
};

/// Finds the handles carrying the component's protocol, loading its driver
/// when none does. On success the caller owns *Buffer.
EFI_STATUS LocateComponent(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                           const SETTINGS_FILE *SettingsFileData, const SETTINGS_SECTION *Section,
                           const COMPONENT_BINDING &Component, UINTN *Count, EFI_HANDLE **Buffer) {
  EFI_STATUS Status =
      gOrvBootServices->LocateHandleBuffer(ByProtocol, Component.Guid, nullptr, Count, Buffer);
  if (Status == EFI_NOT_FOUND) {
    EFI_HANDLE ComponentImage = nullptr;
    Status = LoadComponentDriver(ImageHandle, DeviceHandle, SettingsFileData, Section,
                                 Component.KeyName, &ComponentImage);
    if (EFI_ERROR(Status)) {
      return PrintAndReturn(Status, u"Load %s error, %x\n"_w, Component.WideKeyName, Hex32(Status));
    }
    Status =
        gOrvBootServices->LocateHandleBuffer(ByProtocol, Component.Guid, nullptr, Count, Buffer);
    if (EFI_ERROR(Status)) return ReportStatus(Status, Component.SearchAfterLoadError);
    return Status;
  }
  if (EFI_ERROR(Status)) return ReportStatus(Status, Component.SearchError);
  return Status;
}

}  // namespace

EFI_STATUS BindComponents(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                          const SETTINGS_FILE *SettingsFileData, const SETTINGS_SECTION *Section) {
  const COMPONENT_BINDING Components[] = {
      {"ImageParser"_a, u"ImageParser"_w, &gOrvImageProtocolGuid,
       reinterpret_cast<VOID **>(&pOrvImageProtocol),
       u"LocateHandleBuffer gOrvImageProtocolGuid ERROR %x\n"_w,
       u"LocateHandleBuffer gOrvImageProtocolGuid after load ERROR %x\n"_w,
       u"LocateProtocol gOrvImageProtocolGuid ERROR %x\n"_w},
      {"FlashInterface"_a, u"FlashInterface"_w, &gOrvFlashProtocolGuid,
       reinterpret_cast<VOID **>(&pOrvFlashProtocol),
       u"LocateHandleBuffer gOrvFlashProtocolGuid ERROR %x\n"_w,
       u"LocateHandleBuffer gOrvFlashProtocolGuid after load ERROR %x\n"_w,
       u"LocateProtocol pOrvFlashProtocol ERROR %x\n"_w},
      {"DevicePath"_a, u"DevicePath"_w, &gOrvPathProtocolGuid,
       reinterpret_cast<VOID **>(&pOrvPathProtocolInterface),
       u"LocateHandleBuffer gOrvPathProtocolGuid ERROR %x\n"_w,
       u"LocateHandleBuffer gOrvPathProtocolGuid after load ERROR %x\n"_w,
       u"LocateProtocol pOrvPathProtocolInterface ERROR %x\n"_w},
  };

  EFI_STATUS Status = EFI_SUCCESS;
  for (const COMPONENT_BINDING &Component : Components) {
    UINTN Count = 0;
    HandleBufferGuard Buffer;
    Status = LocateComponent(ImageHandle, DeviceHandle, SettingsFileData, Section, Component,
                             &Count, Buffer.Out());
    if (EFI_ERROR(Status)) return Status;

    // Any further handles carrying the protocol are ignored. The component
    // protocols stay open for the whole run. The buffer is given back before
    // the status is looked at, on success and failure alike.
    Status = gOrvBootServices->OpenProtocol(Buffer[0], Component.Guid, Component.Interface,
                                            ImageHandle, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    Buffer.Reset();
    Count = 0;
    if (EFI_ERROR(Status)) return ReportStatus(Status, Component.OpenError);
  }

  Status = pOrvPathProtocolInterface->PathInit();
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"pOrvPathProtocolInterface init ERROR %x\n"_w);
  if (pOrvFlashProtocol->SetReduceFlags != nullptr) {
    pOrvFlashProtocol->SetReduceFlags(ReduceFlashMask);
  }
  return Status;
}
