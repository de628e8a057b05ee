/** @file
  Image parser component: loads zone images from Intel HEX files on the
  volume of the calling application (or, for a name with a volume prefix,
  through the UEFI Shell's file names), checks every record and the image
  header, and hands out the image bytes and version until FreeImage. When
  the build names trusted public keys (ORV_TRUSTED_KEYS), every image must
  carry a valid signature by one of them (image format 2), or it is refused
  before any IC is touched.
**/

#include "SimEfi.h"
#include "SimFaults.h"

extern "C" {
#include <efishell.h>
}

#include "HexImage.h"
#include "ImageSign.h"
#include "ImageTable.h"
#include "TrustedKeyTable.h"
#include "TrustedKeys.h"

const EFI_GUID gOrvImageProtocolGuid = ORV_IMAGE_PROTOCOL_GUID;
static constexpr EFI_GUID gShellProtocolGuid = EFI_SHELL_PROTOCOL_GUID;

namespace {

constinit EFI_HANDLE gDriverImage = nullptr;
constinit FAULT_RULES gFaults = {};
constinit IMAGE_TABLE gImages = {};

constinit IMAGE_PUBLIC_KEY gTrustedKeys[ORV_TRUSTED_KEYS_MAX] = {};
constinit UINTN gTrustedKeyCount = 0;

// The built-in keys, taken from the key table once when the driver starts: a
// table that does not read stops the driver, so it never runs trusting fewer
// keys than built. A parser built with the demo key or with no key says so
// on the console, once.
EFI_STATUS LoadTrustedKeys(const ORV_TRUSTED_KEY_TABLE &Table) {
  if (Table.Count > ORV_TRUSTED_KEYS_MAX) {
    return PrintAndReturn(EFI_LOAD_ERROR, u"HexImage: built-in key table holds %d keys\n"_w, Table.Count);
  }
  for (UINTN Index = 0; Index < Table.Count; Index++) {
    if (Table.Points[Index][0] != 0x04) {
      return PrintAndReturn(EFI_LOAD_ERROR, u"HexImage: built-in key %d: not an uncompressed point\n"_w,
                            Index);
    }
    MakePublicKey(Table.Points[Index], &gTrustedKeys[Index]);
  }
  gTrustedKeyCount = Table.Count;
  if (Table.Count == 0) {
    Print(u"HexImage: warning: built without trusted keys, images are not checked\n"_w);
  } else if ((Table.Flags & ORV_TRUSTED_KEYS_FLAG_DEMO_KEY) != 0) {
    Print(u"HexImage: warning: built with the demo signing key, for the demo and tests only\n"_w);
  }
  return EFI_SUCCESS;
}

// With trusted keys built in, only an image signed by one of them is taken.
EFI_STATUS CheckTrust(const CHAR16 *Path, const UINT8 *Image, UINTN Size) {
  if (gTrustedKeyCount == 0) return EFI_SUCCESS;
  IMAGE_INFO Info{};
  if (CheckImage(Image, Size, &Info) != HEX_OK) return EFI_VOLUME_CORRUPTED;
  SIGN_STATUS Verdict = VerifyImageSignature(Image, Info, gTrustedKeys, gTrustedKeyCount, nullptr);
  if (Verdict != SIGN_STATUS::Ok) {
    return PrintAndReturn(EFI_SECURITY_VIOLATION, u"HexImage: %s: %a\n"_w, Path,
                          SignStatusText(Verdict));
  }
  return EFI_SUCCESS;
}

const FAULT_RULE *Hit(SIM_OP Op) { return FaultHit(&gFaults, Op, FAULT_ANY, FAULT_ANY, FAULT_ANY); }

bool HasVolumePrefix(const CHAR16 *Path) {
  for (UINTN Index = 0; Path[Index] != 0; Index++) {
    if (Path[Index] == ':') {
      return true;
    }
  }
  return false;
}

/// Bytes of text read and decoded at a time.
constexpr UINTN HEX_CHUNK_SIZE = 64 * 1024;

/// A file opened through the UEFI Shell, closed on scope exit.
class SHELL_FILE_GUARD {
 public:
  SHELL_FILE_GUARD() noexcept = default;
  SHELL_FILE_GUARD(const SHELL_FILE_GUARD &) = delete;
  SHELL_FILE_GUARD &operator=(const SHELL_FILE_GUARD &) = delete;
  ~SHELL_FILE_GUARD() {
    if (File != nullptr) Shell->CloseFile(File);
  }

  EFI_SHELL_PROTOCOL *Shell = nullptr;
  SHELL_FILE_HANDLE File = nullptr;
};

/// An open image file: through the volume's file protocol, or through the
/// UEFI Shell for a name with a volume prefix. Everything it opened is closed
/// when it goes out of scope: the file, then the volume's root directory.
struct HEX_SOURCE {
  FileGuard Root;
  FileGuard File;
  SHELL_FILE_GUARD ShellFile;
};

// Opens the file and checks its size: EFI_BAD_BUFFER_SIZE when it is larger
// than any HEX file read. A name such as "fs1:\new.hex" is resolved by the
// shell, like any file name typed at its prompt.
EFI_STATUS OpenSource(EFI_HANDLE AppImage, const CHAR16 *Path, HEX_SOURCE *Source) {
  UINT64 FileSize = 0;
  if (HasVolumePrefix(Path)) {
    SHELL_FILE_GUARD &Shell = Source->ShellFile;
    EFI_STATUS Status = BS->LocateProtocol(GuidArgument(gShellProtocolGuid), nullptr,
                                           reinterpret_cast<VOID **>(&Shell.Shell));
    if (EFI_ERROR(Status)) return EFI_NOT_FOUND;
    SHELL_FILE_HANDLE File = nullptr;
    Status = Shell.Shell->OpenFileByName(const_cast<CHAR16 *>(Path), &File, EFI_FILE_MODE_READ);
    if (EFI_ERROR(Status)) return Status;
    Shell.File = File;
    Status = Shell.Shell->GetFileSize(Shell.File, &FileSize);
    if (EFI_ERROR(Status)) return Status;
  } else {
    EFI_STATUS Status = OpenImageVolume(BS, AppImage, &Source->Root);
    if (EFI_ERROR(Status)) return Status;
    // A failed open may leave anything in its out-parameter: nothing to close.
    EFI_FILE_HANDLE File = nullptr;
    Status = Source->Root->Open(Source->Root.Get(), &File, const_cast<CHAR16 *>(Path),
                                EFI_FILE_MODE_READ, 0);
    if (EFI_ERROR(Status)) return Status;
    Source->File = FileGuard(File);
    PoolGuard<EFI_FILE_INFO> Info(LibFileInfo(Source->File.Get()));
    if (!Info) return EFI_DEVICE_ERROR;
    if ((Info->Attribute & EFI_FILE_DIRECTORY) != 0) return EFI_NOT_FOUND;
    FileSize = Info->FileSize;
  }
  if (FileSize > HEX_MAX_FILE_SIZE) return EFI_BAD_BUFFER_SIZE;
  return EFI_SUCCESS;
}

// Reads the next bytes; *Size 0 at the end of the file.
EFI_STATUS ReadSource(HEX_SOURCE *Source, UINT8 *Buffer, UINTN *Size) {
  if (Source->ShellFile.File != nullptr) {
    return Source->ShellFile.Shell->ReadFile(Source->ShellFile.File, Size, Buffer);
  }
  return Source->File->Read(Source->File.Get(), Size, Buffer);
}

/// The decoder's allocation callback: the image buffer, held by the guard
/// until it goes into the image table.
UINT8 *AllocateImage(void *Context, UINTN Size) {
  PoolGuard<UINT8> *Image = static_cast<PoolGuard<UINT8> *>(Context);
  *Image = PoolGuard<UINT8>::Allocate(Size);
  return Image->Get();
}

EFI_STATUS ReportBadFile(const CHAR16 *Path, HEX_RESULT Result) {
  SimReportBadFile(u"HexImage"_w, Path, Result.Line, HexErrorText(Result.Error));
  return EFI_VOLUME_CORRUPTED;
}

// Reads and decodes the file chunk by chunk: memory is the image and one
// chunk of text.
EFI_STATUS DecodeSource(HEX_SOURCE *Source, const CHAR16 *Path, PoolGuard<UINT8> *Image,
                        HEX_RESULT *Result, IMAGE_INFO *Info) {
  PoolGuard<UINT8> Chunk = PoolGuard<UINT8>::Allocate(HEX_CHUNK_SIZE);
  if (!Chunk) {
    return PrintAndReturn(EFI_OUT_OF_RESOURCES, u"HexImage: out of memory for %s\n"_w, Path);
  }
  HEX_DECODER Decoder;
  HexDecodeBeginImage(&Decoder, AllocateImage, Image);
  EFI_STATUS Status = EFI_SUCCESS;
  HEX_ERROR Fed = HEX_OK;
  while (Fed == HEX_OK) {
    UINTN Size = HEX_CHUNK_SIZE;
    Status = ReadSource(Source, Chunk.Get(), &Size);
    if (EFI_ERROR(Status) || Size == 0) break;
    Fed = HexDecodeFeed(&Decoder, reinterpret_cast<const char *>(Chunk.Get()), Size);
  }
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"HexImage: cannot open %s, %x\n"_w, Path, Hex32(Status));
  }
  *Result = HexDecodeEnd(&Decoder, Info);
  if (Result->Error == HEX_ERROR_OUT_OF_MEMORY) {
    return PrintAndReturn(EFI_OUT_OF_RESOURCES, u"HexImage: out of memory for %s\n"_w, Path);
  }
  if (Result->Error != HEX_OK) return ReportBadFile(Path, *Result);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LoadImageFile(EFI_HANDLE ImageHandle, CHAR16 *Path, ORV_IMAGE_HANDLE *Image) {
  if (Path == nullptr || Image == nullptr) return EFI_INVALID_PARAMETER;
  EFI_STATUS Status = SimLoadFaults(gDriverImage, u"HexImage"_w, &gFaults);
  if (EFI_ERROR(Status)) return Status;
  if (const FAULT_RULE *Rule = Hit(SIM_OP::LoadImageFile)) return Rule->Status;
  if (!ImageTableHasRoom(&gImages)) {
    return PrintAndReturn(EFI_OUT_OF_RESOURCES, u"HexImage: too many images loaded\n"_w);
  }

  // Declared first: on failure the image is given back after the file is closed.
  PoolGuard<UINT8> Data;
  HEX_RESULT Result{};
  IMAGE_INFO Info{};
  {
    HEX_SOURCE Source;
    Status = OpenSource(ImageHandle, Path, &Source);
    if (Status == EFI_BAD_BUFFER_SIZE) {
      return ReportBadFile(Path, HEX_RESULT{HEX_ERROR_FILE_TOO_LARGE, 0, 0});
    }
    if (EFI_ERROR(Status)) {
      return PrintAndReturn(Status, u"HexImage: cannot open %s, %x\n"_w, Path, Hex32(Status));
    }
    Status = DecodeSource(&Source, Path, &Data, &Result, &Info);
  }
  if (EFI_ERROR(Status)) return Status;
  Status = CheckTrust(Path, Data.Get(), Result.Size);
  if (EFI_ERROR(Status)) return Status;
  *Image = ImageTableAdd(&gImages, Data.Release(), Result.Size, Info.Version);
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
  EFI_STATUS Status = LoadTrustedKeys(gTrustedKeyTable);
  if (EFI_ERROR(Status)) return Status;
  EFI_HANDLE Handle = nullptr;
  return SimInstallProtocol(u"HexImage"_w, &Handle, &gOrvImageProtocolGuid, &gImageProtocol);
}
