/** @file
  OrvFmp.efi: one Firmware Management Protocol instance per IC over the
  bound components, and the ESRT built from them. The device work (bank
  programming, its guards and checks) is the update engine's; this module
  adds the FMP view: descriptors, the image verdict, progress, the last
  attempt kept in a variable, and the resource table.
**/

#ifndef ORV_FMP_H_
#define ORV_FMP_H_

#include <OrvBase/Efi.h>
#include <Protocol/OrvFlashPolicyProtocol.h>
#include <Uefi/FirmwareManagement.h>
#include <Uefi/SystemResourceTable.h>

/// {A7F2C3B1-5D84-4E0F-9B26-1C3D8E4F6A71}: vendor GUID of the driver's variables.
#define ORV_FMP_VARIABLE_GUID \
  { 0xA7F2C3B1, 0x5D84, 0x4E0F, { 0x9B, 0x26, 0x1C, 0x3D, 0x8E, 0x4F, 0x6A, 0x71 } }

constexpr UINT32 ORV_FMP_SIGNATURE = 0x504D464F;  // "OFMP"
constexpr UINTN FMP_VERSION_NAME_LENGTH = 48;

/// One IC as an FMP device. The protocol comes first, so the interface
/// pointer firmware hands back is the instance's.
struct ORV_FMP_INSTANCE {
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL Fmp;
  UINT32 Signature;
  UINT8 Ic;
  EFI_HANDLE Handle;
  EFI_GUID ImageTypeId;
  UINT32 LastAttemptVersion;
  UINT32 LastAttemptStatus;
  /// Counter of the image the last successful OCM SetImage of this boot
  /// switched to; 0 before. The IC may raise its floor to it only later.
  UINT32 RunningCounter;
  CHAR16 VersionName[FMP_VERSION_NAME_LENGTH];
};

/// The driver's state for as long as it stays loaded.
struct ORV_FMP_DRIVER {
  ORV_FMP_INSTANCE *Instances;  ///< pool array of Count instances
  UINT8 Count;
  ORV_FLASH_POLICY_PROTOCOL *Policy;  ///< NULL: the flash component offers none
  EFI_SYSTEM_RESOURCE_TABLE *Esrt;    ///< the table this driver published
  /// The firmware's own table the published one was merged from; put back
  /// when the driver unloads.
  const EFI_SYSTEM_RESOURCE_TABLE *ForeignEsrt;
  UINT32 EsrtFirst;                   ///< index of IC 0's entry in it
  EFI_HANDLE ImageHandle;             ///< carries the driver's loaded mark
};

extern ORV_FMP_DRIVER gOrvFmp;
extern const EFI_GUID gOrvFmpVariableGuid;
extern const EFI_GUID gEfiFirmwareManagementProtocolGuid;
extern const EFI_GUID gEfiSystemResourceTableGuid;
/// The members every instance starts with.
extern const EFI_FIRMWARE_MANAGEMENT_PROTOCOL gOrvFmpTemplate;

/// The driver's instance behind an FMP interface, or NULL for any other.
ORV_FMP_INSTANCE *FmpInstanceOf(EFI_FIRMWARE_MANAGEMENT_PROTOCOL *This);

/**
  Driver start: bind the components from the settings of the volume the
  driver was loaded from, count the ICs, install one FMP instance per IC on a
  handle of its own, and publish the ESRT.

  @retval EFI_SUCCESS  Every IC has its instance; the driver stays resident.
  @retval others       Nothing is installed; the failure's line is printed.
**/
[[nodiscard]] EFI_STATUS OrvFmpMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

/**
  Driver unload: the FMP instances uninstalled, the firmware's own ESRT (or
  none) put back, the driver's memory given back and the path closed.
**/
EFI_STATUS EFIAPI OrvFmpUnload(EFI_HANDLE ImageHandle);

// ---- The image verdict -------------------------------------------------------

/// What the driver concludes about a candidate image for one IC.
struct FMP_VERDICT {
  UINT8 Zone;                 ///< ZONE_OCM or ZONE_CUSTOMER: where it goes
  UINT32 Counter;             ///< its security counter (0 when unknown)
  UINT32 Version;             ///< its FMP Version
  UINT32 Updatable;           ///< IMAGE_UPDATABLE_*
  UINT32 LastAttemptStatus;   ///< LAST_ATTEMPT_STATUS_* a refusal records
  EFI_STATUS RefusalStatus;   ///< SetImage's status for a refusal
  bool Accepted() const { return Updatable == IMAGE_UPDATABLE_VALID; }
};

/**
  Judge an image for IC Ic as the IC itself would: through the flash policy
  protocol when the component offers it (signature, zone, product, floor;
  the image's own zone decides where it goes), else as an OCM image the IC's
  hardware check alone will judge once written.
**/
[[nodiscard]] FMP_VERDICT FmpJudgeImage(UINT8 Ic, const UINT8 *Data, UINTN Size);

/// The 64-bit version in a bank image's header; 0 when Data holds none.
[[nodiscard]] UINT64 FmpImageVersionOf(const UINT8 *Data, UINTN Size);

// ---- Device state --------------------------------------------------------------

/// Fill Descriptor from the IC's state now.
[[nodiscard]] EFI_STATUS FmpDescribe(ORV_FMP_INSTANCE *Instance,
                                     EFI_FIRMWARE_IMAGE_DESCRIPTOR *Descriptor);

/// The IC's security state; zeros (nothing enforced) without the policy protocol.
[[nodiscard]] ORV_IC_SECURITY FmpIcSecurity(UINT8 Ic);

/**
  Program an accepted image into IC Ic with the update engine: an OCM image
  into the inactive bank, verified and switched to; a customer image into
  bank 0 and, with the customer backup setting, bank 1. Progress is called
  from 1 to 100 and never goes back.
**/
[[nodiscard]] EFI_STATUS FmpProgram(UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                                    EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS Progress);

// ---- Persistence and the resource table -------------------------------------------

/// Read the instance's last attempt from its variable (0, 0 when none).
void FmpLoadLastAttempt(ORV_FMP_INSTANCE *Instance);
/// Record a last attempt in the instance and its variable.
void FmpRecordLastAttempt(ORV_FMP_INSTANCE *Instance, UINT32 Version, UINT32 Status);

/// Publish the ESRT with one entry per instance (merged with the firmware's).
[[nodiscard]] EFI_STATUS FmpPublishEsrt();
/// Withdraw the published ESRT, putting back the firmware's own if any.
void FmpWithdrawEsrt();
/// Rewrite the instance's ESRT entry from its state now.
void FmpRefreshEsrtEntry(ORV_FMP_INSTANCE *Instance);

#endif
