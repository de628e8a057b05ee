/** @file
  Steps of a run that both applications take (see RunSteps.h).
**/

#include "RunSteps.h"

#include <OrvBase/Status.h>

#include "RunState.h"

namespace {

/// ChipMask has 64 bits; higher IC indices are never selected by it.
constexpr UINT8 CHIP_MASK_BITS = 64;
/// Bits a digit can set; any other bit means -a selected the ICs.
constexpr UINT64 DIGIT_SELECTABLE_MASK = (1ull << DIGIT_SELECTABLE_ICS) - 1;

EFI_GUID mShellParametersProtocolGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
EFI_GUID mShellInterfaceProtocolGuid = SHELL_INTERFACE_PROTOCOL_GUID;

}  // namespace

EFI_STATUS GetShellArguments(EFI_HANDLE ImageHandle, UINTN *Argc, CHAR16 ***Argv) {
  EFI_SHELL_PARAMETERS_PROTOCOL *Parameters = nullptr;
  EFI_STATUS Status = gOrvBootServices->OpenProtocol(
      ImageHandle, &mShellParametersProtocolGuid, reinterpret_cast<VOID **>(&Parameters),
      ImageHandle, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (!EFI_ERROR(Status)) {
    *Argv = Parameters->Argv;
    *Argc = Parameters->Argc;
    return Status;
  }
  EFI_SHELL_INTERFACE *Interface = nullptr;
  Status = gOrvBootServices->OpenProtocol(ImageHandle, &mShellInterfaceProtocolGuid,
                                          reinterpret_cast<VOID **>(&Interface), ImageHandle,
                                          nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (!EFI_ERROR(Status)) {
    *Argv = Interface->Argv;
    *Argc = Interface->Argc;
  }
  return Status;
}

void PrintBanner(const CHAR16 *Format) {
  Print(Format, static_cast<UINT32>(TOOL_VERSION_MAJOR), static_cast<UINT32>(TOOL_VERSION_MINOR),
        static_cast<UINT32>(TOOL_VERSION_BUILD));
}

EFI_STATUS BeginRun(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINTN *Argc,
                    CHAR16 ***Argv) {
  *Argv = nullptr;
  *Argc = 0;
  RUN_FLAGS = 0;
  gOrvBootServices = SystemTable->BootServices;
  OcmImage = 0;
  CustomerImage = 0;
  gOrvBootServices->SetMem(OcmOverridePath(), OVERRIDE_HALF_LENGTH * sizeof(CHAR16), 0);
  gOrvBootServices->SetMem(CustomerOverridePath(), OVERRIDE_HALF_LENGTH * sizeof(CHAR16), 0);
  if (EFI_ERROR(GetShellArguments(ImageHandle, Argc, Argv))) {
    return PrintAndReturn(EFI_UNSUPPORTED, u"Shell not supported"_w);
  }
  return EFI_SUCCESS;
}

EFI_STATUS CountIcs(UINT64 DeviceAddress, UINT8 *IcCount) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (DeviceAddress != 0 && pOrvFlashProtocol->GetIcAddress == nullptr) {
    Status = PrintAndReturn(EFI_UNSUPPORTED, u"Target Flash protocol not support -d yet\n"_w);
  } else {
    *IcCount = 0;
    Status = pOrvFlashProtocol->IcInit(pOrvPathProtocolInterface, IcCount);
    if (EFI_ERROR(Status)) (void)ReportStatus(Status, u"IC init error %x\n"_w);
  }
  if (EFI_ERROR(Status)) ReleaseRun();
  return Status;
}

bool IsChipSelected(UINT64 ChipMask, UINT8 Index) {
  return Index < CHIP_MASK_BITS && ((1ull << Index) & ChipMask) != 0;
}

EFI_STATUS ReportMissingIcs(UINT64 ChipMask, UINT8 IcCount, EFI_STATUS Status) {
  if ((ChipMask & ~DIGIT_SELECTABLE_MASK) != 0) {
    return Status;
  }
  bool Missing = false;
  for (UINT8 Index = IcCount; Index < DIGIT_SELECTABLE_ICS; Index++) {
    if (IsChipSelected(ChipMask, Index)) {
      Print(u"IC %x not found\n"_w, static_cast<UINT32>(Index));
      Missing = true;
    }
  }
  // A script must not take an IC the board does not have for a handled one.
  return Missing && !EFI_ERROR(Status) ? EFI_NOT_FOUND : Status;
}

void ReleaseRun() {
  if (OcmImage != 0) {
    pOrvImageProtocol->FreeImage(OcmImage);
    OcmImage = 0;
  }
  if (CustomerImage != 0) {
    pOrvImageProtocol->FreeImage(CustomerImage);
    CustomerImage = 0;
  }
  if (pOrvPathProtocolInterface != nullptr) {
    pOrvPathProtocolInterface->PathDeinit();
  }
}
