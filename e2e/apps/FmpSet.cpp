/** @file
  FmpSet.efi, a test Shell application of the e2e suite: hands one image
  file to the Firmware Management Protocol instance of a hardware instance,
  as capsule processing would: CheckImage, then SetImage with a progress
  callback. Prints one line per step and returns SetImage's status.

    FmpSet.efi <hardware instance> <image file on this volume>
**/

#include <OrvBase/FileRead.h>
#include <OrvBase/Status.h>

#include <OrvRun/RunSteps.h>
#include <Uefi/FirmwareManagement.h>

#include "RunState.h"

namespace {

constexpr UINTN MAX_IMAGE = 16 * 1024 * 1024;
const EFI_GUID mFmpGuid = EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GUID;

EFI_STATUS EFIAPI ShowProgress(UINTN Completion) {
  Print(u" %d"_w, static_cast<UINT32>(Completion));
  return EFI_SUCCESS;
}

/// The instance whose descriptor names HardwareInstance.
EFI_FIRMWARE_MANAGEMENT_PROTOCOL *FindInstance(UINT64 HardwareInstance) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  if (EFI_ERROR(gOrvBootServices->LocateHandleBuffer(ByProtocol, const_cast<EFI_GUID *>(&mFmpGuid),
                                                     nullptr, &Count, &Handles))) {
    return nullptr;
  }
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Found = nullptr;
  for (UINTN Index = 0; Index < Count && Found == nullptr; Index++) {
    VOID *Interface = nullptr;
    if (EFI_ERROR(gOrvBootServices->HandleProtocol(Handles[Index],
                                                   const_cast<EFI_GUID *>(&mFmpGuid), &Interface))) {
      continue;
    }
    auto *Fmp = static_cast<EFI_FIRMWARE_MANAGEMENT_PROTOCOL *>(Interface);
    EFI_FIRMWARE_IMAGE_DESCRIPTOR Descriptor{};
    UINTN Size = sizeof(Descriptor), DescriptorSize = 0;
    UINT32 Version = 0, Package = 0;
    UINT8 Descriptors = 0;
    CHAR16 *Name = nullptr;
    if (!EFI_ERROR(Fmp->GetImageInfo(Fmp, &Size, &Descriptor, &Version, &Descriptors,
                                     &DescriptorSize, &Package, &Name))) {
      if (Name != nullptr) (void)gOrvBootServices->FreePool(Name);
      if (Descriptor.HardwareInstance == HardwareInstance) Found = Fmp;
    }
  }
  (void)gOrvBootServices->FreePool(Handles);
  return Found;
}

EFI_STATUS SetFromFile(EFI_HANDLE ImageHandle, UINT64 Instance, const CHAR16 *Path) {
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp = FindInstance(Instance);
  if (Fmp == nullptr) return PrintAndReturn(EFI_NOT_FOUND, u"FmpSet: no instance %d\n"_w,
                                            static_cast<UINT32>(Instance));
  FileGuard Root;
  PoolGuard<UINT8> Data;
  UINTN Size = 0;
  EFI_STATUS Status = OpenImageVolume(gOrvBootServices, ImageHandle, &Root);
  if (!EFI_ERROR(Status)) Status = ReadWholeFile(Root.Get(), Path, MAX_IMAGE, &Data, &Size);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"FmpSet: cannot read the image %x\n"_w);

  UINT32 Updatable = 0;
  Status = Fmp->CheckImage(Fmp, 1, Data.Get(), Size, &Updatable);
  Print(u"FmpSet: CheckImage %x, updatable %x\n"_w, Hex32(Status), Updatable);
  Print(u"FmpSet: progress"_w);
  Status = Fmp->SetImage(Fmp, 1, Data.Get(), Size, nullptr, ShowProgress, nullptr);
  Print(u"\nFmpSet: SetImage %x\n"_w, Hex32(Status));
  return Status;
}

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  UINTN Argc = 0;
  CHAR16 **Argv = nullptr;
  if (EFI_ERROR(BeginRun(ImageHandle, SystemTable, &Argc, &Argv))) return EFI_UNSUPPORTED;
  if (Argc != 3) return PrintAndReturn(EFI_INVALID_PARAMETER, u"FmpSet.efi <instance> <file>\n"_w);
  return SetFromFile(ImageHandle, Atoi(Argv[1]), Argv[2]);
}
