/** @file
  OrvCapsule.efi: processes UEFI FMP capsules from the Shell as platform
  firmware does. Each capsule is checked whole before anything is done with
  it; each payload item goes to the Firmware Management Protocol instances
  it addresses (image type, image index, hardware instance; 0 addresses
  every instance of the type), through CheckImage and SetImage; the outcome
  of each is written as a capsule result variable (Capsule####, CapsuleLast,
  CapsuleMax) and printed as one line.

  Command line: OrvCapsule.efi [capsule ...]. Names are paths on the volume
  the application was loaded from. Without names, the capsules in
  \EFI\UpdateCapsule\ of that volume are processed in name order and each is
  deleted once processed (kept when an item found no FMP instance, so it can
  run again once the driver is loaded).
**/

#ifndef ORV_CAPSULE_H_
#define ORV_CAPSULE_H_

#include <OrvBase/Efi.h>
#include <OrvBase/Guards.h>

#include <FmpCapsule/FmpCapsule.h>
#include <Uefi/FirmwareManagement.h>

/// The folder of capsules delivered on a volume.
#define CAPSULE_FOLDER u"\\EFI\\UpdateCapsule"

/// Capsule files larger than this are refused unread.
constexpr UINTN CAPSULE_MAX_FILE_SIZE = 64 * 1024 * 1024;

/// One image of one FMP instance, from GetImageInfo.
struct FMP_TARGET {
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp;
  EFI_GUID ImageTypeId;
  UINT8 ImageIndex;
  UINT64 HardwareInstance;
  UINT32 Version;
  UINT32 LastAttemptStatus;
};

constexpr UINTN FMP_TARGET_MAX = 64;

/// Every FMP image on the platform (at most FMP_TARGET_MAX).
struct FMP_TARGET_LIST {
  UINTN Count;
  FMP_TARGET Target[FMP_TARGET_MAX];
};

/**
  Find every FMP instance and each image it reports.

  @retval EFI_SUCCESS  List holds them (possibly none).
  @return A failing LocateHandleBuffer status other than EFI_NOT_FOUND.
**/
[[nodiscard]] EFI_STATUS FindFmpTargets(EFI_BOOT_SERVICES *BootServices, FMP_TARGET_LIST *List);

/**
  Read Target's version and last attempt status again (after SetImage).

  @return false when its instance no longer reports that image.
**/
bool RefreshFmpTarget(FMP_TARGET *Target);

/// Whether Item addresses Target.
bool ItemAddresses(const FMP_CAPSULE_ITEM &Item, const FMP_TARGET &Target);

/// What became of one capsule.
struct CAPSULE_OUTCOME {
  EFI_STATUS Status;     ///< EFI_SUCCESS, or the last failure
  bool MissingTarget;    ///< an item addressed no FMP instance
};

/**
  Check one capsule whole and apply each of its items; prints a line per
  item (one line when the capsule is refused) and writes the result
  variables.

  @param[in] Name  The capsule's name, for the lines and the result variables.
**/
CAPSULE_OUTCOME ProcessCapsule(EFI_RUNTIME_SERVICES *RuntimeServices, const CHAR16 *Name,
                               const UINT8 *Data, UINTN Size, const FMP_TARGET_LIST &Targets);

/**
  Record the outcome of one item for one target as the next Capsule####
  variable, and point CapsuleLast at it. CapsuleMax is created when the
  platform has none.
**/
[[nodiscard]] EFI_STATUS WriteCapsuleResult(EFI_RUNTIME_SERVICES *RuntimeServices,
                                            const FMP_CAPSULE &Capsule, UINT16 PayloadIndex,
                                            const FMP_CAPSULE_ITEM &Item, const CHAR16 *FileName,
                                            EFI_STATUS ItemStatus);

/// The number a "Capsule####" text names; false when it is not one.
bool CapsuleVariableNumber(const CHAR16 *Text, UINTN Length, UINT16 *Number);

/// Capsule file names in the delivery folder, sorted.
struct CAPSULE_FOLDER_LIST {
  static constexpr UINTN MAX = 64;
  static constexpr UINTN NAME_SIZE = 128;
  UINTN Count;
  CHAR16 Name[MAX][NAME_SIZE];
};

/**
  List the files of the delivery folder below Root (none when it is absent).
  Names too long, and files past the first MAX, are reported and skipped.
**/
[[nodiscard]] EFI_STATUS ListCapsuleFolder(EFI_FILE_PROTOCOL *Root, CAPSULE_FOLDER_LIST *List);

/// Delete Path below Root.
[[nodiscard]] EFI_STATUS DeleteCapsuleFile(EFI_FILE_PROTOCOL *Root, const CHAR16 *Path);

/// The run: banner, capsules, status (EFI_SUCCESS only when every item succeeded).
EFI_STATUS OrvCapsuleMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

#endif
