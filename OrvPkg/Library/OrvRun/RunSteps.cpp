/** @file
  The steps every Shell tool of the package takes around its IC loop (see
  RunSteps.h).
**/

#include <OrvRun/RunSteps.h>

#include <OrvBase/ProtocolPtr.h>
#include <OrvBase/Status.h>

extern "C" {
#include <efishellintf.h>
}

#include "RunState.h"

namespace {

/// ChipMask has 64 bits; higher IC indices are never selected by it.
constexpr UINT8 CHIP_MASK_BITS = 64;
/// Bits a digit can set; any other bit means -a selected the ICs.
constexpr UINT64 DIGIT_SELECTABLE_MASK = (1ull << DIGIT_SELECTABLE_ICS) - 1;

const EFI_GUID mShellParametersProtocolGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
const EFI_GUID mShellInterfaceProtocolGuid = SHELL_INTERFACE_PROTOCOL_GUID;

/// Opens PROTOCOL on the application's image and takes its argument list.
/// The protocol stays open until the application ends.
template <typename PROTOCOL>
EFI_STATUS TakeArguments(EFI_HANDLE ImageHandle, UINTN *Argc, CHAR16 ***Argv) {
  ProtocolPtr<PROTOCOL> Shell;
  EFI_STATUS Status = Shell.Open(gOrvBootServices, ImageHandle, ImageHandle);
  if (EFI_ERROR(Status)) return Status;
  PROTOCOL *Parameters = Shell.Release();
  *Argv = Parameters->Argv;
  *Argc = Parameters->Argc;
  return Status;
}

/// -h, -H, -? or --help.
bool IsHelpArgument(const CHAR16 *Argument) {
  if (Argument == nullptr || Argument[0] != u'-') return false;
  if ((Argument[1] == u'h' || Argument[1] == u'H' || Argument[1] == u'?') && Argument[2] == 0) return true;
  const char16_t *Long = u"--help";
  for (UINTN Index = 0;; Index++) {
    if (Argument[Index] != Long[Index]) return false;
    if (Long[Index] == 0) return true;
  }
}

}  // namespace

template <>
struct ProtocolGuidOf<EFI_SHELL_PARAMETERS_PROTOCOL> {
  static const EFI_GUID *Get() { return &mShellParametersProtocolGuid; }
};
template <>
struct ProtocolGuidOf<EFI_SHELL_INTERFACE> {
  static const EFI_GUID *Get() { return &mShellInterfaceProtocolGuid; }
};

EFI_STATUS GetShellArguments(EFI_HANDLE ImageHandle, UINTN *Argc, CHAR16 ***Argv) {
  EFI_STATUS Status = TakeArguments<EFI_SHELL_PARAMETERS_PROTOCOL>(ImageHandle, Argc, Argv);
  if (!EFI_ERROR(Status)) return Status;
  return TakeArguments<EFI_SHELL_INTERFACE>(ImageHandle, Argc, Argv);
}

void PrintBanner(const CHAR16 *Format) {
  Print(Format, static_cast<UINT32>(TOOL_VERSION_MAJOR), static_cast<UINT32>(TOOL_VERSION_MINOR),
        static_cast<UINT32>(TOOL_VERSION_BUILD));
}

EFI_STATUS BeginRun(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINTN *Argc,
                    CHAR16 ***Argv) {
  *Argv = nullptr;
  *Argc = 0;
  ResetRunState(SystemTable->BootServices);
  if (EFI_ERROR(GetShellArguments(ImageHandle, Argc, Argv))) {
    return PrintAndReturn(EFI_UNSUPPORTED, u"Shell not supported"_w);
  }
  return EFI_SUCCESS;
}

EFI_STATUS BeginToolRun(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const CHAR16 *Tool,
                        const CHAR16 *Usage, TOOL_ARGUMENTS *Arguments) {
  CHAR16 **Argv = nullptr;
  UINTN Argc = 0;
  *Arguments = {};
  if (EFI_ERROR(BeginRun(ImageHandle, SystemTable, &Argc, &Argv))) return EFI_UNSUPPORTED;
  for (UINTN Index = 1; Index < Argc; Index++) {
    if (IsHelpArgument(Argv[Index])) {
      Print(u"%s"_w, Usage);
      Arguments->Help = TRUE;
      return EFI_SUCCESS;
    }
  }
  Arguments->Line = ParseArguments(Argc, Argv);
  if (!ApplyCommandLine(Arguments->Line, &Arguments->ChipMask, &Arguments->DeviceAddress)) {
    return EFI_INVALID_PARAMETER;
  }
  if (IsReadMode()) {
    return PrintAndReturn(EFI_INVALID_PARAMETER, u"%s has no read mode (-r)\n"_w, Tool);
  }
  return EFI_SUCCESS;
}

EFI_STATUS CheckAddressSupport(UINT64 DeviceAddress) {
  if (DeviceAddress != 0 && pOrvFlashProtocol->GetIcAddress == nullptr) {
    return PrintAndReturn(EFI_UNSUPPORTED, u"Target Flash protocol not support -d yet\n"_w);
  }
  return EFI_SUCCESS;
}

EFI_STATUS CountIcs(UINT64 DeviceAddress, UINT8 *IcCount) {
  EFI_STATUS Status = CheckAddressSupport(DeviceAddress);
  if (EFI_ERROR(Status)) return Status;
  *IcCount = 0;
  Status = pOrvFlashProtocol->IcInit(pOrvPathProtocolInterface, IcCount);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"IC init error %x\n"_w);
  return Status;
}

bool IsChipSelected(UINT64 ChipMask, UINT8 Index) {
  return Index < CHIP_MASK_BITS && ((1ull << Index) & ChipMask) != 0;
}

EFI_STATUS FindIcByAddress(UINT64 DeviceAddress, UINT8 IcCount, UINT8 *Index) {
  for (UINT8 Candidate = 0; Candidate < IcCount; Candidate++) {
    if (pOrvFlashProtocol->GetIcAddress(Candidate, 0) == DeviceAddress) {
      *Index = Candidate;
      return EFI_SUCCESS;
    }
  }
  Print(u"Addr %x IC not found\nAvailable : "_w, Hex32(DeviceAddress));
  for (UINT8 Candidate = 0; Candidate < IcCount; Candidate++) {
    Print(u"%02x "_w, static_cast<UINT32>(pOrvFlashProtocol->GetIcAddress(Candidate, 0)));
  }
  Print(u"\n"_w);
  return EFI_NOT_FOUND;
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
