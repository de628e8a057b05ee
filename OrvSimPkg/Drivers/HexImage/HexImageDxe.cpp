/** @file
  Image parser component: loads zone images from Intel HEX files on the
  volume of the calling application (or, for a name with a volume prefix,
  through the UEFI Shell's file names), checks every record and the image
  header, and hands out the image bytes and version until FreeImage.
**/

#include "SimEfi.h"
#include "SimFaults.h"

extern "C" {
#include <efishell.h>
}

#include "HexImage.h"
#include "ImageTable.h"

EFI_GUID gOrvImageProtocolGuid = ORV_IMAGE_PROTOCOL_GUID;
static EFI_GUID gShellProtocolGuid = EFI_SHELL_PROTOCOL_GUID;

namespace {

constinit EFI_HANDLE gDriverImage = nullptr;
constinit FAULT_RULES gFaults = {};
constinit IMAGE_TABLE gImages = {};

const FAULT_RULE *Hit(SIM_OP Op) { return FaultHit(&gFaults, Op, FAULT_ANY, FAULT_ANY, FAULT_ANY); }

bool HasVolumePrefix(const CHAR16 *Path) {
  for (UINTN Index = 0; Path[Index] != 0; Index++) {
    if (Path[Index] == ':') {
      return true;
    }
  }
  return false;
}

// A name such as "fs1:\new.hex" is resolved by the shell, like any file name
// typed at its prompt.
EFI_STATUS ReadThroughShell(const CHAR16 *Path, UINT8 **Text, UINTN *Size) {
  EFI_SHELL_PROTOCOL *Shell = nullptr;
  EFI_STATUS Status = BS->LocateProtocol(&gShellProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Shell));
  if (EFI_ERROR(Status)) {
    return EFI_NOT_FOUND;
  }
  SHELL_FILE_HANDLE File = nullptr;
  Status = Shell->OpenFileByName(const_cast<CHAR16 *>(Path), &File, EFI_FILE_MODE_READ);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT64 FileSize = 0;
  Status = Shell->GetFileSize(File, &FileSize);
  if (!EFI_ERROR(Status) && FileSize > HEX_MAX_FILE_SIZE) {
    Status = EFI_BAD_BUFFER_SIZE;
  }
  UINT8 *Buffer = nullptr;
  if (!EFI_ERROR(Status)) {
    Buffer = static_cast<UINT8 *>(AllocatePool(static_cast<UINTN>(FileSize) + 1));
    Status = Buffer != nullptr ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
  }
  UINTN Done = 0;
  while (!EFI_ERROR(Status) && Done < FileSize) {
    UINTN Chunk = static_cast<UINTN>(FileSize) - Done;
    Status = Shell->ReadFile(File, &Chunk, Buffer + Done);
    if (!EFI_ERROR(Status) && Chunk == 0) {
      Status = EFI_END_OF_FILE;
    }
    Done += Chunk;
  }
  Shell->CloseFile(File);
  if (EFI_ERROR(Status)) {
    if (Buffer != nullptr) {
      FreePool(Buffer);
    }
    return Status;
  }
  Buffer[Done] = 0;
  *Text = Buffer;
  *Size = Done;
  return EFI_SUCCESS;
}

EFI_STATUS ReadImageFile(EFI_HANDLE AppImage, const CHAR16 *Path, UINT8 **Text, UINTN *Size) {
  if (HasVolumePrefix(Path)) {
    return ReadThroughShell(Path, Text, Size);
  }
  EFI_FILE_HANDLE Root = nullptr;
  EFI_STATUS Status = SimOpenImageVolume(AppImage, &Root);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = SimReadFile(Root, Path, HEX_MAX_FILE_SIZE, Text, Size);
  Root->Close(Root);
  return Status;
}

EFI_STATUS ReportBadFile(const CHAR16 *Path, HEX_RESULT Result) {
  if (Result.Line != 0) {
    Print(u"HexImage: %s line %d: %a\n"_w, Path, Result.Line, HexErrorText(Result.Error));
  } else {
    Print(u"HexImage: %s: %a\n"_w, Path, HexErrorText(Result.Error));
  }
  return EFI_VOLUME_CORRUPTED;
}

EFI_STATUS EFIAPI LoadImageFile(EFI_HANDLE ImageHandle, CHAR16 *Path, ORV_IMAGE_HANDLE *Image) {
  if (Path == nullptr || Image == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_STATUS Status = SimLoadFaults(gDriverImage, u"HexImage"_w, &gFaults);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (const FAULT_RULE *Rule = Hit(SIM_OP::LoadImageFile)) {
    return Rule->Status;
  }
  if (!ImageTableHasRoom(&gImages)) {
    Print(u"HexImage: too many images loaded\n"_w);
    return EFI_OUT_OF_RESOURCES;
  }

  UINT8 *Text = nullptr;
  UINTN TextSize = 0;
  Status = ReadImageFile(ImageHandle, Path, &Text, &TextSize);
  if (Status == EFI_BAD_BUFFER_SIZE) {
    return ReportBadFile(Path, HEX_RESULT{HEX_ERROR_FILE_TOO_LARGE, 0, 0});
  }
  if (EFI_ERROR(Status)) {
    Print(u"HexImage: cannot open %s, %x\n"_w, Path, Hex32(Status));
    return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  }
  const char *Chars = reinterpret_cast<const char *>(Text);
  HEX_RESULT Result = DecodeHex(Chars, TextSize, nullptr, 0);
  if (Result.Error != HEX_OK) {
    FreePool(Text);
    return ReportBadFile(Path, Result);
  }
  UINT8 *Data = static_cast<UINT8 *>(AllocatePool(Result.Size));
  if (Data == nullptr) {
    FreePool(Text);
    Print(u"HexImage: out of memory for %s\n"_w, Path);
    return EFI_OUT_OF_RESOURCES;
  }
  Result = DecodeHex(Chars, TextSize, Data, Result.Size);
  FreePool(Text);
  UINTN ImageSize = 0;
  if (Result.Error == HEX_OK) {
    Result.Error = ImageSizeFromHeader(Data, Result.Size, &ImageSize);
  }
  if (Result.Error == HEX_OK && ImageSize > Result.Size) {
    // The file left out the erased tail of the image.
    UINT8 *Whole = static_cast<UINT8 *>(AllocatePool(ImageSize));
    if (Whole == nullptr) {
      FreePool(Data);
      Print(u"HexImage: out of memory for %s\n"_w, Path);
      return EFI_OUT_OF_RESOURCES;
    }
    for (UINTN Index = 0; Index < Result.Size; Index++) {
      Whole[Index] = Data[Index];
    }
    FreePool(Data);
    Data = Whole;
  }
  IMAGE_INFO Info{};
  if (Result.Error == HEX_OK) {
    Result.Error = FinishImage(Data, Result.Size, ImageSize, &Info);
  }
  if (Result.Error != HEX_OK) {
    FreePool(Data);
    return ReportBadFile(Path, Result);
  }

  *Image = ImageTableAdd(&gImages, Data, ImageSize, Info.Version);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetImageData(ORV_IMAGE_HANDLE Image, UINTN *Size, UINT8 **Data) {
  if (const FAULT_RULE *Rule = Hit(SIM_OP::GetImageData)) {
    return Rule->Status;
  }
  IMAGE_SLOT *Slot = ImageTableFind(&gImages, Image);
  if (Slot == nullptr || Size == nullptr || Data == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Size = Slot->Size;
  *Data = Slot->Data;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetImageVersion(ORV_IMAGE_HANDLE Image, UINT64 *Version) {
  if (const FAULT_RULE *Rule = Hit(SIM_OP::GetImageVersion)) {
    return Rule->Status;
  }
  IMAGE_SLOT *Slot = ImageTableFind(&gImages, Image);
  if (Slot == nullptr || Version == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Version = Slot->Version;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreeImage(ORV_IMAGE_HANDLE Image) {
  if (const FAULT_RULE *Rule = Hit(SIM_OP::FreeImage)) {
    return Rule->Status;
  }
  IMAGE_SLOT *Slot = ImageTableFind(&gImages, Image);
  if (Slot == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  FreePool(Slot->Data);
  *Slot = IMAGE_SLOT{};
  return EFI_SUCCESS;
}

constinit ORV_IMAGE_PROTOCOL gImageProtocol = {LoadImageFile, GetImageData, GetImageVersion, FreeImage};

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  gDriverImage = ImageHandle;
  EFI_HANDLE Handle = nullptr;
  return SimInstallProtocol(u"HexImage"_w, &Handle, &gOrvImageProtocolGuid, &gImageProtocol);
}
