/** @file
  OrvFmp.efi's start: binding, one FMP instance per IC, the ESRT.

  Settings: the driver reads "OrvUpdateComponent\OrvUpdateSettings.ini" from
  the volume it was loaded from, exactly as OrvUpdate.efi does, and binds the
  components it names (loading their drivers from that folder when their
  protocols are not installed yet). From the Shell (`load fs0:\OrvFmp.efi`)
  that is the Shell's volume; loaded by platform firmware from a driver
  option, the volume of that file. The target section's
  IncludeCustomerDefineBkp and ReduceFlashProcessFlag apply; ForceUpdate
  never does: the driver never forces an image onto an IC.
**/

#include "OrvFmp.h"

#include <OrvBase/FmpImageType.h>
#include <OrvBase/ProtocolPtr.h>
#include <OrvBase/Status.h>

#include <OrvRun/RunSteps.h>

#include "../OrvUpdate/App/RunState.h"
#include "../OrvUpdate/Components/Components.h"
#include "../OrvUpdate/Settings/InitialSettings.h"

#ifndef ORV_FMP_MAKER_GUID
#define ORV_FMP_MAKER_GUID ORV_FMP_DEMO_MAKER_GUID
#endif

namespace {

constexpr EFI_GUID MAKER_GUID = ORV_FMP_MAKER_GUID;
/// Installed on the driver's image handle while it is loaded: a second copy
/// finds it and does not start (its instances and ESRT entries would repeat
/// the first copy's).
constexpr EFI_GUID LOADED_GUID = {0x9bd5fc17, 0xc631, 0x4fd6, {0xae, 0x76, 0xb5, 0xc4, 0x2f, 0xae, 0x80, 0x7e}};

bool AlreadyLoaded(EFI_BOOT_SERVICES *BootServices) {
  VOID *Loaded = nullptr;
  return !EFI_ERROR(BootServices->LocateProtocol(const_cast<EFI_GUID *>(&LOADED_GUID), nullptr, &Loaded));
}

/// Binds the components from the settings on the driver's own volume. The
/// path session stays open for as long as the driver is loaded.
EFI_STATUS BindFromOwnVolume(EFI_HANDLE ImageHandle) {
  ProtocolPtr<EFI_LOADED_IMAGE> LoadedImage;
  EFI_STATUS Status = LoadedImage.Open(gOrvBootServices, ImageHandle, ImageHandle);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"OrvFmp: no loaded image %x\n"_w);
  const EFI_HANDLE Device = LoadedImage->DeviceHandle;

  SettingsFileGuard Settings;
  SETTINGS_SECTION Section;
  Status = LoadTargetSettings(ImageHandle, Device, &Settings, &Section);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"OrvFmp: settings error %x\n"_w);
  RUN_FLAGS &= ~RUN_FLAG_FORCE_UPDATE;

  PathSessionGuard PathSession;
  Status = BindComponents(ImageHandle, Device, Settings.Get(), &Section, &PathSession);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"OrvFmp: binding error %x\n"_w);
  PathSession.Release();
  return EFI_SUCCESS;
}

/// The flash policy protocol installed beside the bound flash interface.
ORV_FLASH_POLICY_PROTOCOL *FindPolicy() {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  EFI_STATUS Status = gOrvBootServices->LocateHandleBuffer(
      ByProtocol, const_cast<EFI_GUID *>(&gOrvFlashProtocolGuid), nullptr, &Count, &Handles);
  if (EFI_ERROR(Status)) return nullptr;
  VOID *Policy = nullptr;
  if (Count == 0 ||
      EFI_ERROR(gOrvBootServices->HandleProtocol(
          Handles[0], const_cast<EFI_GUID *>(&gOrvFlashPolicyProtocolGuid), &Policy))) {
    Policy = nullptr;
  }
  (void)gOrvBootServices->FreePool(Handles);
  return static_cast<ORV_FLASH_POLICY_PROTOCOL *>(Policy);
}

/// Fills and installs the instance of IC Ic on a new handle.
EFI_STATUS InstallInstance(ORV_FMP_INSTANCE *Instance, UINT8 Ic) {
  *Instance = {};
  Instance->Fmp = gOrvFmpTemplate;
  Instance->Signature = ORV_FMP_SIGNATURE;
  Instance->Ic = Ic;
  Instance->ImageTypeId = OrvFmpImageTypeId(MAKER_GUID, FmpIcSecurity(Ic).Product);
  FmpLoadLastAttempt(Instance);
  return gOrvBootServices->InstallProtocolInterface(
      &Instance->Handle, const_cast<EFI_GUID *>(&gEfiFirmwareManagementProtocolGuid),
      EFI_NATIVE_INTERFACE, &Instance->Fmp);
}

/// One instance per IC; on failure, every one installed is removed again.
EFI_STATUS InstallInstances(UINT8 IcCount) {
  ORV_FMP_INSTANCE *Instances = nullptr;
  EFI_STATUS Status = gOrvBootServices->AllocatePool(
      EfiBootServicesData, IcCount * sizeof(ORV_FMP_INSTANCE), reinterpret_cast<VOID **>(&Instances));
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"OrvFmp: no memory %x\n"_w);
  for (UINT8 Ic = 0; Ic < IcCount; Ic++) {
    Status = InstallInstance(&Instances[Ic], Ic);
    if (EFI_ERROR(Status)) {
      Print(u"OrvFmp: IC %x not installed %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
      while (Ic-- > 0) {
        (void)gOrvBootServices->UninstallProtocolInterface(
            Instances[Ic].Handle, const_cast<EFI_GUID *>(&gEfiFirmwareManagementProtocolGuid),
            &Instances[Ic].Fmp);
      }
      (void)gOrvBootServices->FreePool(Instances);
      return Status;
    }
  }
  gOrvFmp.Instances = Instances;
  gOrvFmp.Count = IcCount;
  return EFI_SUCCESS;
}

/// Lets the Shell's unload (and platform firmware) remove the driver, and
/// marks it loaded for a second copy to find.
void OfferUnload(EFI_HANDLE ImageHandle) {
  ProtocolPtr<EFI_LOADED_IMAGE> LoadedImage;
  if (!EFI_ERROR(LoadedImage.Open(gOrvBootServices, ImageHandle, ImageHandle))) {
    LoadedImage->Unload = OrvFmpUnload;
  }
  gOrvFmp.ImageHandle = ImageHandle;
  (void)gOrvBootServices->InstallProtocolInterface(&gOrvFmp.ImageHandle, const_cast<EFI_GUID *>(&LOADED_GUID),
                                                   EFI_NATIVE_INTERFACE, &gOrvFmp);
}

}  // namespace

constinit ORV_FMP_DRIVER gOrvFmp = {};
const EFI_GUID gEfiFirmwareManagementProtocolGuid = EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GUID;

EFI_STATUS OrvFmpMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  if (AlreadyLoaded(SystemTable->BootServices)) {
    return PrintAndReturn(EFI_ALREADY_STARTED, u"OrvFmp: already loaded\n"_w);
  }
  ResetRunState(SystemTable->BootServices);
  gOrvFmp = {};
  EFI_STATUS Status = BindFromOwnVolume(ImageHandle);
  if (EFI_ERROR(Status)) return Status;
  // A driver that does not stay loaded closes the path it opened.
  PathSessionGuard Path = PathSessionGuard::AdoptOpen();

  UINT8 IcCount = 0;
  Status = CountIcs(0, &IcCount);
  if (EFI_ERROR(Status)) return Status;
  if (IcCount == 0) return PrintAndReturn(EFI_NOT_FOUND, u"OrvFmp: no IC\n"_w);

  gOrvFmp.Policy = FindPolicy();
  if (gOrvFmp.Policy == nullptr) {
    Print(u"OrvFmp: the flash component cannot say what its ICs accept; "
          u"the ICs' own checks decide after writing\n"_w);
  }
  Status = InstallInstances(IcCount);
  if (EFI_ERROR(Status)) return Status;
  // Without the table the instances still serve capsules; the line says why.
  (void)FmpPublishEsrt();
  OfferUnload(ImageHandle);
  Path.Release();
  Print(u"OrvFmp: %d IC(s) installed\n"_w, static_cast<UINT32>(IcCount));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OrvFmpUnload(EFI_HANDLE) {
  for (UINT8 Ic = 0; Ic < gOrvFmp.Count; Ic++) {
    ORV_FMP_INSTANCE &Instance = gOrvFmp.Instances[Ic];
    EFI_STATUS Status = gOrvBootServices->UninstallProtocolInterface(
        Instance.Handle, const_cast<EFI_GUID *>(&gEfiFirmwareManagementProtocolGuid),
        &Instance.Fmp);
    // An instance still open by someone keeps the driver loaded.
    if (EFI_ERROR(Status)) return Status;
    Instance.Signature = 0;
  }
  FmpWithdrawEsrt();
  (void)gOrvBootServices->UninstallProtocolInterface(gOrvFmp.ImageHandle, const_cast<EFI_GUID *>(&LOADED_GUID),
                                                     &gOrvFmp);
  if (gOrvFmp.Instances != nullptr) (void)gOrvBootServices->FreePool(gOrvFmp.Instances);
  gOrvFmp = {};
  PathSessionGuard Path = PathSessionGuard::AdoptOpen();
  Path.Close();
  return EFI_SUCCESS;
}
