/** @file
  Binds the three component protocols in a fixed order: image parser, flash
  interface, path component. A protocol that is not installed yet has its
  driver loaded from the component folder and is searched for again. The
  interface type carries its GUID, so each run-state pointer is filled from
  its own protocol only.
**/

#include "Components.h"

#include <OrvBase/Guards.h>
#include <OrvBase/ProtocolPtr.h>
#include <OrvBase/Status.h>

#include "../App/RunState.h"

namespace {

/// A component's settings key and its messages.
struct COMPONENT_BINDING {
  const char *KeyName;
  const char16_t *SearchError;
  const char16_t *SearchAfterLoadError;
  const char16_t *OpenError;
};

constexpr COMPONENT_BINDING IMAGE_PARSER = {
    "ImageParser", u"LocateHandleBuffer gOrvImageProtocolGuid ERROR %x\n",
    u"LocateHandleBuffer gOrvImageProtocolGuid after load ERROR %x\n",
    u"LocateProtocol gOrvImageProtocolGuid ERROR %x\n"};
constexpr COMPONENT_BINDING FLASH_INTERFACE = {
    "FlashInterface", u"LocateHandleBuffer gOrvFlashProtocolGuid ERROR %x\n",
    u"LocateHandleBuffer gOrvFlashProtocolGuid after load ERROR %x\n",
    u"LocateProtocol pOrvFlashProtocol ERROR %x\n"};
constexpr COMPONENT_BINDING PATH_COMPONENT = {
    "DevicePath", u"LocateHandleBuffer gOrvPathProtocolGuid ERROR %x\n",
    u"LocateHandleBuffer gOrvPathProtocolGuid after load ERROR %x\n",
    u"LocateProtocol pOrvPathProtocolInterface ERROR %x\n"};

/// Where the components come from: the application, its device and the
/// target section of its settings.
struct BINDING_SOURCE {
  EFI_HANDLE ImageHandle;
  EFI_HANDLE DeviceHandle;
  const SETTINGS_FILE *SettingsFileData;
  const SETTINGS_SECTION *Section;
};

/// Finds the handles carrying Guid, loading the component's driver when none
/// does. On success Buffer holds them.
EFI_STATUS LocateComponent(const BINDING_SOURCE &Source, const COMPONENT_BINDING &Component,
                           EFI_GUID *Guid, UINTN *Count, HandleBufferGuard *Buffer) {
  EFI_STATUS Status =
      gOrvBootServices->LocateHandleBuffer(ByProtocol, Guid, nullptr, Count, Buffer->Out());
  if (Status == EFI_NOT_FOUND) {
    EFI_HANDLE ComponentImage = nullptr;
    Status = LoadComponentDriver(Source.ImageHandle, Source.DeviceHandle, Source.SettingsFileData,
                                 Source.Section,
                                 AsChar8(Component.KeyName),
                                 &ComponentImage);
    if (EFI_ERROR(Status)) {
      return PrintAndReturn(Status, u"Load %a error, %x\n"_w, Component.KeyName, Hex32(Status));
    }
    Status = gOrvBootServices->LocateHandleBuffer(ByProtocol, Guid, nullptr, Count, Buffer->Out());
    if (EFI_ERROR(Status)) return ReportStatus(Status, AsChar16(Component.SearchAfterLoadError));
    return Status;
  }
  if (EFI_ERROR(Status)) return ReportStatus(Status, AsChar16(Component.SearchError));
  return Status;
}

/// Finds (or loads) one component and opens its protocol on the first handle
/// that carries it, into *Interface. The protocol stays open for the whole
/// run; any further handles are ignored. *Handle (when given) receives the
/// handle it was opened on.
template <typename PROTOCOL>
EFI_STATUS BindComponent(const BINDING_SOURCE &Source, const COMPONENT_BINDING &Component,
                         PROTOCOL **Interface, EFI_HANDLE *Handle = nullptr) {
  UINTN Count = 0;
  HandleBufferGuard Buffer;
  EFI_STATUS Status = LocateComponent(Source, Component, ProtocolGuid<PROTOCOL>(), &Count, &Buffer);
  if (EFI_ERROR(Status)) return Status;

  ProtocolPtr<PROTOCOL> Opened;
  if (Handle != nullptr) *Handle = Buffer[0];
  Status = Opened.Open(gOrvBootServices, Buffer[0], Source.ImageHandle);
  // The buffer is given back before the status is looked at, on success and
  // failure alike.
  Buffer.Reset();
  if (EFI_ERROR(Status)) return ReportStatus(Status, AsChar16(Component.OpenError));
  *Interface = Opened.Release();
  return Status;
}

/// The flash component's optional policy, opened on the handle of its flash
/// protocol and kept for the run. Its absence is no failure: the run then
/// goes as it always did.
void BindFlashPolicy(EFI_HANDLE FlashHandle, EFI_HANDLE ImageHandle) {
  ProtocolPtr<ORV_FLASH_POLICY_PROTOCOL> Policy;
  if (!EFI_ERROR(Policy.Open(gOrvBootServices, FlashHandle, ImageHandle))) {
    pOrvFlashPolicyProtocol = Policy.Release();
  }
}

}  // namespace

EFI_STATUS BindComponents(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                          const SETTINGS_FILE *SettingsFileData, const SETTINGS_SECTION *Section,
                          PathSessionGuard *PathSession) {
  const BINDING_SOURCE Source = {ImageHandle, DeviceHandle, SettingsFileData, Section};
  EFI_HANDLE FlashHandle = nullptr;
  EFI_STATUS Status = BindComponent(Source, IMAGE_PARSER, &pOrvImageProtocol);
  if (!EFI_ERROR(Status)) {
    Status = BindComponent(Source, FLASH_INTERFACE, &pOrvFlashProtocol, &FlashHandle);
  }
  if (!EFI_ERROR(Status)) BindFlashPolicy(FlashHandle, ImageHandle);
  if (!EFI_ERROR(Status)) Status = BindComponent(Source, PATH_COMPONENT, &pOrvPathProtocolInterface);
  if (EFI_ERROR(Status)) return Status;

  Status = PathSession->Open();
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"pOrvPathProtocolInterface init ERROR %x\n"_w);
  if (pOrvFlashProtocol->SetReduceFlags != nullptr) {
    pOrvFlashProtocol->SetReduceFlags(ReduceFlashMask);
  }
  return Status;
}
