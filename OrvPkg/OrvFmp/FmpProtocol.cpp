/** @file
  The six members of the Firmware Management Protocol for one IC.
**/

#include "OrvFmp.h"

#include <OrvBase/Status.h>

#include "../OrvUpdate/App/RunState.h"
#include "FmpVersion.h"

namespace {

constexpr UINT8 IMAGE_INDEX = 1;  ///< every IC has one image
/// Reported for a device without a package version.
constexpr UINT32 PACKAGE_VERSION_NOT_SUPPORTED = 0xFFFFFFFF;

/// The package version name GetImageInfo hands out: pool memory the caller
/// frees, empty as this device has no package version.
CHAR16 *NewEmptyName() {
  CHAR16 *Name = nullptr;
  if (EFI_ERROR(gOrvBootServices->AllocatePool(EfiBootServicesData, sizeof(CHAR16),
                                               reinterpret_cast<VOID **>(&Name)))) {
    return nullptr;
  }
  Name[0] = 0;
  return Name;
}

EFI_STATUS EFIAPI GetImageInfo(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This, UINTN *ImageInfoSize,
                               EFI_FIRMWARE_IMAGE_DESCRIPTOR *ImageInfo,
                               UINT32 *DescriptorVersion, UINT8 *DescriptorCount,
                               UINTN *DescriptorSize, UINT32 *PackageVersion,
                               CHAR16 **PackageVersionName) {
  ORV_FMP_INSTANCE *Instance = FmpInstanceOf(This);
  if (Instance == nullptr || ImageInfoSize == nullptr) return EFI_INVALID_PARAMETER;
  if (*ImageInfoSize < sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR)) {
    *ImageInfoSize = sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR);
    return EFI_BUFFER_TOO_SMALL;
  }
  if (ImageInfo == nullptr || DescriptorVersion == nullptr || DescriptorCount == nullptr ||
      DescriptorSize == nullptr || PackageVersion == nullptr || PackageVersionName == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_STATUS Status = FmpDescribe(Instance, ImageInfo);
  if (EFI_ERROR(Status)) return Status;
  *ImageInfoSize = sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR);
  *DescriptorVersion = EFI_FIRMWARE_IMAGE_DESCRIPTOR_VERSION;
  *DescriptorCount = 1;
  *DescriptorSize = sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR);
  *PackageVersion = PACKAGE_VERSION_NOT_SUPPORTED;
  *PackageVersionName = NewEmptyName();
  return EFI_SUCCESS;
}

/// Reading an image back out of the IC is not offered: the banks may hold
/// a maker's signed firmware the driver has no business copying out.
EFI_STATUS EFIAPI GetImage(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *, UINT8, VOID *, UINTN *) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI CheckImage(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This, UINT8 ImageIndex,
                             const VOID *Image, UINTN ImageSize, UINT32 *ImageUpdatable) {
  ORV_FMP_INSTANCE *Instance = FmpInstanceOf(This);
  if (Instance == nullptr || ImageUpdatable == nullptr) return EFI_INVALID_PARAMETER;
  if (ImageIndex != IMAGE_INDEX) {
    *ImageUpdatable = IMAGE_UPDATABLE_INVALID_TYPE;
    return EFI_INVALID_PARAMETER;
  }
  if (Image == nullptr || ImageSize == 0) {
    *ImageUpdatable = IMAGE_UPDATABLE_INVALID;
    return EFI_INVALID_PARAMETER;
  }
  const FMP_VERDICT Verdict =
      FmpJudgeImage(Instance->Ic, static_cast<const UINT8 *>(Image), ImageSize);
  *ImageUpdatable = Verdict.Updatable;
  return EFI_SUCCESS;
}

/// Records the attempt, refreshes the ESRT entry and hands Status on.
EFI_STATUS Attempted(ORV_FMP_INSTANCE *Instance, const FMP_VERDICT &Verdict, UINT32 LastStatus,
                     EFI_STATUS Status) {
  FmpRecordLastAttempt(Instance, Verdict.Version, LastStatus);
  if (!EFI_ERROR(Status) && Verdict.Zone == ZONE_OCM) Instance->RunningCounter = Verdict.Counter;
  FmpRefreshEsrtEntry(Instance);
  return Status;
}

EFI_STATUS EFIAPI SetImage(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This, UINT8 ImageIndex,
                           const VOID *Image, UINTN ImageSize, const VOID *,
                           EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS Progress,
                           CHAR16 **AbortReason) {
  if (AbortReason != nullptr) *AbortReason = nullptr;
  ORV_FMP_INSTANCE *Instance = FmpInstanceOf(This);
  if (Instance == nullptr || ImageIndex != IMAGE_INDEX) return EFI_INVALID_PARAMETER;
  if (Image == nullptr || ImageSize == 0) {
    // Nothing to judge: refused up front, and recorded as the attempt it was.
    Print(u"OrvFmp: IC %x refused the image, last attempt status %x\n"_w,
          static_cast<UINT32>(Instance->Ic), LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT);
    return Attempted(Instance, FMP_VERDICT{}, LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT,
                     EFI_INVALID_PARAMETER);
  }
  const UINT8 *Data = static_cast<const UINT8 *>(Image);
  const FMP_VERDICT Verdict = FmpJudgeImage(Instance->Ic, Data, ImageSize);
  if (!Verdict.Accepted()) {
    Print(u"OrvFmp: IC %x refused the image, last attempt status %x\n"_w,
          static_cast<UINT32>(Instance->Ic), Verdict.LastAttemptStatus);
    return Attempted(Instance, Verdict, Verdict.LastAttemptStatus, Verdict.RefusalStatus);
  }
  EFI_STATUS Status = FmpProgram(Instance->Ic, Verdict.Zone, Data, ImageSize, Progress);
  if (EFI_ERROR(Status)) {
    // The engine has printed the failed step; the running bank is unchanged
    // unless the failure came after the switch.
    return Attempted(Instance, Verdict, LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL, EFI_ABORTED);
  }
  return Attempted(Instance, Verdict, LAST_ATTEMPT_STATUS_SUCCESS, EFI_SUCCESS);
}

EFI_STATUS EFIAPI GetPackageInfo(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *, UINT32 *, CHAR16 **,
                                 UINT32 *, UINT64 *, UINT64 *) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SetPackageInfo(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *, const VOID *, UINTN,
                                 const VOID *, UINT32, const CHAR16 *) {
  return EFI_UNSUPPORTED;
}

/// "ver 0x<version> counter <n>" into Name.
void NameVersion(CHAR16 (&Name)[FMP_VERSION_NAME_LENGTH], UINT32 ChipVersion, UINT32 Counter) {
  SPrint(Name, sizeof(Name), u"ver 0x%x counter %d"_w, ChipVersion, Counter);
}

}  // namespace

const EFI_FIRMWARE_MANAGEMENT_PROTOCOL gOrvFmpTemplate = {
    GetImageInfo, GetImage, SetImage, CheckImage, GetPackageInfo, SetPackageInfo,
};

ORV_FMP_INSTANCE *FmpInstanceOf(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This) {
  // Found by address among the driver's own instances: a foreign interface
  // is never read, not even for a signature.
  for (UINT8 Index = 0; This != nullptr && Index < gOrvFmp.Count; Index++) {
    ORV_FMP_INSTANCE *Instance = &gOrvFmp.Instances[Index];
    if (&Instance->Fmp == This && Instance->Signature == ORV_FMP_SIGNATURE) return Instance;
  }
  return nullptr;
}

ORV_IC_SECURITY FmpIcSecurity(UINT8 Ic) {
  ORV_IC_SECURITY Security{};
  if (gOrvFmp.Policy != nullptr && EFI_ERROR(gOrvFmp.Policy->GetIcSecurity(Ic, &Security))) {
    // An IC whose state cannot be read is shown as enforcing what it claims
    // nothing of, with its floor unknown: refusals still come from the IC.
    Security = {};
  }
  return Security;
}

EFI_STATUS FmpDescribe(ORV_FMP_INSTANCE *Instance, EFI_FIRMWARE_IMAGE_DESCRIPTOR *Descriptor) {
  const UINT8 Ic = Instance->Ic;
  UINT8 Section = SECTION_INVALID;
  UINT32 ChipVersion = 0;
  if (EFI_ERROR(pOrvFlashProtocol->GetActiveSection(Ic, &Section)) ||
      EFI_ERROR(pOrvFlashProtocol->GetIcVersion(Ic, Section, &ChipVersion))) {
    return EFI_DEVICE_ERROR;
  }
  const ORV_IC_SECURITY Security = FmpIcSecurity(Ic);
  // The running image's counter: the floor, which the IC raises to it,
  // unless this boot switched to an image of a higher one.
  const UINT32 Counter =
      Instance->RunningCounter > Security.Floor ? Instance->RunningCounter : Security.Floor;
  NameVersion(Instance->VersionName, ChipVersion, Counter);

  *Descriptor = {};
  Descriptor->ImageIndex = IMAGE_INDEX;
  Descriptor->ImageTypeId = Instance->ImageTypeId;
  Descriptor->ImageId = Instance->Ic + 1u;
  Descriptor->Version = FmpVersionOf(Counter, ChipVersion);
  Descriptor->VersionName = Instance->VersionName;
  // Never AUTHENTICATION_REQUIRED: that attribute says the image handed to
  // SetImage starts with an EFI_FIRMWARE_IMAGE_AUTHENTICATION header. Ours
  // carry their signature inside the image, and the IC enforces it.
  Descriptor->AttributesSupported = IMAGE_ATTRIBUTE_IMAGE_UPDATABLE | IMAGE_ATTRIBUTE_IN_USE;
  Descriptor->AttributesSetting = IMAGE_ATTRIBUTE_IMAGE_UPDATABLE | IMAGE_ATTRIBUTE_IN_USE;
  Descriptor->LowestSupportedImageVersion = FmpLowestSupportedOf(Security.Floor);
  Descriptor->LastAttemptVersion = Instance->LastAttemptVersion;
  Descriptor->LastAttemptStatus = Instance->LastAttemptStatus;
  Descriptor->HardwareInstance = Instance->Ic + 1u;
  return EFI_SUCCESS;
}
