/** @file
  The capsule delivery folder: listing its files in name order, and deleting
  a capsule file once it is processed.
**/

#include "OrvCapsule.h"

#include <OrvBase/Status.h>

#include <stddef.h>

namespace {

constexpr UINTN FILE_INFO_SIZE = offsetof(EFI_FILE_INFO, FileName);
constexpr UINTN ENTRY_BUFFER_SIZE = FILE_INFO_SIZE + 512 * sizeof(CHAR16);

UINTN TextLength(const CHAR16 *Text) {
  UINTN Length = 0;
  while (Text[Length] != 0) Length++;
  return Length;
}

/// Inserts Name into the sorted list (Name fits NAME_SIZE with its terminator).
void InsertSorted(CAPSULE_FOLDER_LIST *List, const CHAR16 *Name, UINTN Length) {
  UINTN At = List->Count;
  while (At > 0 && StrCmp(List->Name[At - 1], Name) > 0) {
    CopyMem(List->Name[At], List->Name[At - 1], sizeof(List->Name[0]));
    At--;
  }
  CopyMem(List->Name[At], Name, (Length + 1) * sizeof(CHAR16));
  List->Count++;
}

/// Adds one directory entry: files only; names too long or past the limit are reported.
void AddEntry(CAPSULE_FOLDER_LIST *List, const EFI_FILE_INFO *Info) {
  if ((Info->Attribute & EFI_FILE_DIRECTORY) != 0) return;
  UINTN Length = TextLength(Info->FileName);
  if (Length + 1 > CAPSULE_FOLDER_LIST::NAME_SIZE) {
    Print(u"%s\\%s: name too long, skipped\n"_w, CAPSULE_FOLDER ""_w, Info->FileName);
  } else if (List->Count == CAPSULE_FOLDER_LIST::MAX) {
    Print(u"%s\\%s: more than %d capsules, skipped\n"_w, CAPSULE_FOLDER ""_w, Info->FileName,
          static_cast<UINT32>(CAPSULE_FOLDER_LIST::MAX));
  } else {
    InsertSorted(List, Info->FileName, Length);
  }
}

}  // namespace

EFI_STATUS ListCapsuleFolder(EFI_FILE_PROTOCOL *Root, CAPSULE_FOLDER_LIST *List) {
  List->Count = 0;
  EFI_FILE_PROTOCOL *Opened = nullptr;
  EFI_STATUS Status = Root->Open(Root, &Opened, CAPSULE_FOLDER ""_w, EFI_FILE_MODE_READ, 0);
  if (Status == EFI_NOT_FOUND) return EFI_SUCCESS;
  if (EFI_ERROR(Status)) return Status;
  FileGuard Folder(Opened);
  PoolGuard<UINT8> Buffer = PoolGuard<UINT8>::Allocate(ENTRY_BUFFER_SIZE);
  if (!Buffer) return EFI_OUT_OF_RESOURCES;
  for (;;) {
    // An entry whose name does not fit makes Read fail with
    // EFI_BUFFER_TOO_SMALL: the listing stops with that status.
    UINTN Size = ENTRY_BUFFER_SIZE - sizeof(CHAR16);
    ZeroMem(Buffer.Get(), ENTRY_BUFFER_SIZE);
    Status = Folder->Read(Folder.Get(), &Size, Buffer.Get());
    if (EFI_ERROR(Status)) return Status;
    if (Size == 0) return EFI_SUCCESS;
    if (Size < FILE_INFO_SIZE) return EFI_VOLUME_CORRUPTED;
    AddEntry(List, reinterpret_cast<const EFI_FILE_INFO *>(Buffer.Get()));
  }
}

EFI_STATUS DeleteCapsuleFile(EFI_FILE_PROTOCOL *Root, const CHAR16 *Path) {
  EFI_FILE_PROTOCOL *File = nullptr;
  EFI_STATUS Status = Root->Open(Root, &File, const_cast<CHAR16 *>(Path), EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0);
  if (EFI_ERROR(Status)) return Status;
  // Delete closes the handle whatever it returns; a file it could not
  // delete is reported with a warning status.
  Status = File->Delete(File);
  return Status == EFI_SUCCESS ? EFI_SUCCESS : EFI_ERROR(Status) ? Status : EFI_ACCESS_DENIED;
}
