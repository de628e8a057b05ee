/** @file
  The run of OrvCapsule.efi: banner, the capsules named on the command line
  or found in the delivery folder, one after the other, and the status
  (EFI_SUCCESS only when every item of every capsule succeeded).
**/

#include "OrvCapsule.h"

#include <OrvBase/FileRead.h>
#include <OrvBase/Status.h>

#include <OrvRun/RunSteps.h>

#include "RunState.h"

namespace {

/// Reads and processes one capsule file; deletes it afterwards when asked,
/// unless an item found no FMP instance to go to.
EFI_STATUS ProcessFile(EFI_SYSTEM_TABLE *St, EFI_FILE_PROTOCOL *Root, const CHAR16 *Path, const CHAR16 *Name,
                       bool DeleteAfter) {
  PoolGuard<UINT8> Data;
  UINTN Size = 0;
  EFI_STATUS Status = ReadWholeFile(Root, Path, CAPSULE_MAX_FILE_SIZE, &Data, &Size);
  if (EFI_ERROR(Status)) return PrintAndReturn(Status, u"%s: cannot read (status %x)\n"_w, Name, Hex32(Status));
  FMP_TARGET_LIST Targets{};
  Status = FindFmpTargets(St->BootServices, &Targets);
  if (EFI_ERROR(Status)) return PrintAndReturn(Status, u"FMP instances not found (status %x)\n"_w, Hex32(Status));
  CAPSULE_OUTCOME Outcome = ProcessCapsule(St->RuntimeServices, Name, Data.Get(), Size, Targets);
  if (!DeleteAfter) return Outcome.Status;
  if (Outcome.MissingTarget) {
    Print(u"%s: kept, to be processed once its FMP instance is present\n"_w, Name);
    return Outcome.Status;
  }
  EFI_STATUS Deleted = DeleteCapsuleFile(Root, Path);
  if (EFI_ERROR(Deleted)) {
    return PrintAndReturn(Deleted, u"%s: not removed (status %x)\n"_w, Name, Hex32(Deleted));
  }
  Print(u"%s: removed\n"_w, Name);
  return Outcome.Status;
}

/// Every capsule of the delivery folder, in name order.
EFI_STATUS ProcessFolder(EFI_SYSTEM_TABLE *St, EFI_FILE_PROTOCOL *Root) {
  PoolGuard<CAPSULE_FOLDER_LIST> List = PoolGuard<CAPSULE_FOLDER_LIST>::Allocate(sizeof(CAPSULE_FOLDER_LIST));
  if (!List) return PrintAndReturn(EFI_OUT_OF_RESOURCES, u"Out of memory\n"_w);
  EFI_STATUS Status = ListCapsuleFolder(Root, List.Get());
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"%s: cannot list (status %x)\n"_w, CAPSULE_FOLDER ""_w, Hex32(Status));
  }
  if (List->Count == 0) return PrintAndReturn(EFI_SUCCESS, u"%s: no capsule\n"_w, CAPSULE_FOLDER ""_w);
  EFI_STATUS Result = EFI_SUCCESS;
  constexpr UINTN PATH_SIZE = sizeof(CAPSULE_FOLDER) / sizeof(char16_t) + CAPSULE_FOLDER_LIST::NAME_SIZE;
  for (UINTN Index = 0; Index < List->Count; Index++) {
    CHAR16 Path[PATH_SIZE];
    SPrint(Path, sizeof(Path), u"%s\\%s"_w, CAPSULE_FOLDER ""_w, List->Name[Index]);
    Status = ProcessFile(St, Root, Path, List->Name[Index], true);
    if (EFI_ERROR(Status)) Result = Status;
  }
  return Result;
}

}  // namespace

EFI_STATUS OrvCapsuleMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  PrintBanner(u"OrvCapsule tool version %02x.%02x.%04x\n"_w);
  // The shared shell step reaches the firmware through the run's boot
  // services; nothing else of the update module's run state is used here.
  gOrvBootServices = SystemTable->BootServices;
  UINTN Argc = 0;
  CHAR16 **Argv = nullptr;
  if (EFI_ERROR(GetShellArguments(ImageHandle, &Argc, &Argv))) {
    return PrintAndReturn(EFI_UNSUPPORTED, u"Shell not supported\n"_w);
  }
  for (UINTN Index = 1; Index < Argc; Index++) {
    if (Argv[Index][0] == '-') {
      return PrintAndReturn(EFI_INVALID_PARAMETER, u"usage: OrvCapsule.efi [capsule ...]\n"_w);
    }
  }
  FileGuard Root;
  EFI_STATUS Status = OpenImageVolume(SystemTable->BootServices, ImageHandle, &Root);
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"Cannot open the volume (status %x)\n"_w);
  if (Argc < 2) return ProcessFolder(SystemTable, Root.Get());
  EFI_STATUS Result = EFI_SUCCESS;
  for (UINTN Index = 1; Index < Argc; Index++) {
    Status = ProcessFile(SystemTable, Root.Get(), Argv[Index], Argv[Index], false);
    if (EFI_ERROR(Status)) Result = Status;
  }
  return Result;
}
