// A minimal firmware for fuzz targets (see FuzzFirmware.h).
#include "FuzzFirmware.h"

#include <cstdlib>
#include <cstring>

#include "RunState.h"

namespace {

EFI_STATUS EFIAPI OutputString(SIMPLE_TEXT_OUTPUT_INTERFACE *, CHAR16 *Text) {
  // Touch every character up to the terminator, so a text without one is seen.
  volatile CHAR16 Sink = 0;
  for (const CHAR16 *C = Text; *C != 0; C++) Sink = *C;
  (void)Sink;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  *Buffer = std::malloc(Size == 0 ? 1 : Size);
  return *Buffer == nullptr ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
  std::free(Buffer);
  return EFI_SUCCESS;
}

VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) { std::memset(Buffer, Value, Size); }

VOID EFIAPI CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  std::memmove(Destination, Source, Length);
}

SIMPLE_TEXT_OUTPUT_MODE gMode{};
SIMPLE_TEXT_OUTPUT_INTERFACE gConOut{};
EFI_BOOT_SERVICES gBs{};
EFI_SYSTEM_TABLE gSt{};

}  // namespace

void InstallFuzzFirmware() {
  gConOut.OutputString = OutputString;
  gConOut.Mode = &gMode;
  gBs.AllocatePool = AllocatePool;
  gBs.FreePool = FreePool;
  gBs.SetMem = SetMem;
  gBs.CopyMem = CopyMem;
  gSt.ConOut = &gConOut;
  gSt.BootServices = &gBs;
  ST = &gSt;
  BS = &gBs;
  gOrvBootServices = &gBs;
}
