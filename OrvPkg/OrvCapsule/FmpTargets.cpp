/** @file
  The FMP images of the platform: every handle with the Firmware Management
  Protocol, and each image its GetImageInfo reports (type, index, hardware
  instance, version).
**/

#include "OrvCapsule.h"

#include <stddef.h>

namespace {

constexpr EFI_GUID FMP_PROTOCOL_GUID = EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GUID;

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  const UINT8 *P = reinterpret_cast<const UINT8 *>(&A);
  const UINT8 *Q = reinterpret_cast<const UINT8 *>(&B);
  for (UINTN Index = 0; Index < sizeof(EFI_GUID); Index++) {
    if (P[Index] != Q[Index]) return false;
  }
  return true;
}

/// Adds the images one instance reports; an instance that cannot report is
/// skipped. Only the package version name is the caller's to free: the
/// descriptors' name strings belong to the instance, as platform firmware
/// and operating-system tools treat them.
void AddInstanceImages(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp, FMP_TARGET_LIST *List) {
  UINTN Size = 0;
  UINT32 DescriptorVersion = 0;
  UINT8 Count = 0;
  UINTN Stride = 0;
  UINT32 PackageVersion = 0;
  CHAR16 *PackageName = nullptr;
  EFI_STATUS Status = Fmp->GetImageInfo(Fmp, &Size, nullptr, &DescriptorVersion, &Count, &Stride,
                                        &PackageVersion, &PackageName);
  if (Status != EFI_BUFFER_TOO_SMALL || Size == 0) return;
  PoolGuard<UINT8> Info = PoolGuard<UINT8>::Allocate(Size);
  if (!Info) return;
  Status = Fmp->GetImageInfo(Fmp, &Size, reinterpret_cast<EFI_FIRMWARE_IMAGE_DESCRIPTOR *>(Info.Get()),
                             &DescriptorVersion, &Count, &Stride, &PackageVersion, &PackageName);
  if (PackageName != nullptr) FreePool(PackageName);
  if (EFI_ERROR(Status)) return;
  // The descriptors must lie inside what was returned, each at least a
  // version 3 descriptor (up to HardwareInstance).
  constexpr UINTN NEEDED = offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, HardwareInstance) + sizeof(UINT64);
  if (DescriptorVersion < 3 || Stride < NEEDED || (Count != 0 && Stride > Size / Count)) return;
  for (UINT8 Index = 0; Index < Count && List->Count < FMP_TARGET_MAX; Index++) {
    const auto *Descriptor = reinterpret_cast<const EFI_FIRMWARE_IMAGE_DESCRIPTOR *>(Info.Get() + Index * Stride);
    List->Target[List->Count++] = FMP_TARGET{Fmp, Descriptor->ImageTypeId, Descriptor->ImageIndex,
                                             Descriptor->HardwareInstance, Descriptor->Version,
                                             Descriptor->LastAttemptStatus};
  }
}

}  // namespace

EFI_STATUS FindFmpTargets(EFI_BOOT_SERVICES *BootServices, FMP_TARGET_LIST *List) {
  List->Count = 0;
  UINTN HandleCount = 0;
  HandleBufferGuard Handles;
  EFI_STATUS Status = BootServices->LocateHandleBuffer(ByProtocol, GuidArgument(FMP_PROTOCOL_GUID), nullptr,
                                                       &HandleCount, Handles.Out());
  if (Status == EFI_NOT_FOUND) return EFI_SUCCESS;
  if (EFI_ERROR(Status)) return Status;
  for (UINTN Index = 0; Index < HandleCount; Index++) {
    EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp = nullptr;
    Status = BootServices->HandleProtocol(Handles[Index], GuidArgument(FMP_PROTOCOL_GUID),
                                          reinterpret_cast<VOID **>(&Fmp));
    if (!EFI_ERROR(Status) && Fmp != nullptr) AddInstanceImages(Fmp, List);
  }
  return EFI_SUCCESS;
}

bool RefreshFmpTarget(FMP_TARGET *Target) {
  FMP_TARGET_LIST Now{};
  AddInstanceImages(Target->Fmp, &Now);
  for (UINTN Index = 0; Index < Now.Count; Index++) {
    const FMP_TARGET &Image = Now.Target[Index];
    if (Image.ImageIndex == Target->ImageIndex && Image.HardwareInstance == Target->HardwareInstance) {
      *Target = Image;
      return true;
    }
  }
  return false;
}

bool ItemAddresses(const FMP_CAPSULE_ITEM &Item, const FMP_TARGET &Target) {
  return SameGuid(Item.UpdateImageTypeId, Target.ImageTypeId) && Item.UpdateImageIndex == Target.ImageIndex &&
         (Item.UpdateHardwareInstance == 0 || Item.UpdateHardwareInstance == Target.HardwareInstance);
}
