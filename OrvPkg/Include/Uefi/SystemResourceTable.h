/** @file
  The EFI System Resource Table (ESRT): the configuration table through
  which the operating system learns which firmware resources capsules can
  update, their versions and the outcome of the last attempt.

  gnu-efi does not define it; the layout, values and GUID are those of the
  UEFI standard (resource entry version 1).

  Plain C, usable from C and C++ builds.
**/

#ifndef ORV_UEFI_SYSTEM_RESOURCE_TABLE_H_
#define ORV_UEFI_SYSTEM_RESOURCE_TABLE_H_

#include <efi.h>

#ifdef __cplusplus
extern "C" {
#endif

/// {B122A263-3661-4F68-9929-78F8B0D62180}: the configuration table's GUID.
#define EFI_SYSTEM_RESOURCE_TABLE_GUID \
  { 0xB122A263, 0x3661, 0x4F68, { 0x99, 0x29, 0x78, 0xF8, 0xB0, 0xD6, 0x21, 0x80 } }

/// EFI_SYSTEM_RESOURCE_TABLE.FwResourceVersion of this entry layout.
#define EFI_SYSTEM_RESOURCE_TABLE_FIRMWARE_RESOURCE_VERSION  1

///
/// EFI_SYSTEM_RESOURCE_ENTRY.FwType.
///
#define ESRT_FW_TYPE_UNKNOWN         0x00000000
#define ESRT_FW_TYPE_SYSTEMFIRMWARE  0x00000001
#define ESRT_FW_TYPE_DEVICEFIRMWARE  0x00000002
#define ESRT_FW_TYPE_UEFIDRIVER      0x00000003

///
/// One firmware resource. Versions and statuses are those of the resource's
/// FMP descriptor (LastAttemptStatus: LAST_ATTEMPT_STATUS_*).
///
typedef struct {
  EFI_GUID  FwClass;                   ///< the FMP image type; a capsule's address
  UINT32    FwType;                    ///< ESRT_FW_TYPE_*
  UINT32    FwVersion;
  UINT32    LowestSupportedFwVersion;
  UINT32    CapsuleFlags;              ///< capsule header flags (bits 0-15) the update needs
  UINT32    LastAttemptVersion;
  UINT32    LastAttemptStatus;
} EFI_SYSTEM_RESOURCE_ENTRY;

///
/// The table header; FwResourceCount entries follow it directly.
///
typedef struct {
  UINT32  FwResourceCount;     ///< entries present
  UINT32  FwResourceCountMax;  ///< entries the table has room for (>= FwResourceCount)
  UINT64  FwResourceVersion;   ///< EFI_SYSTEM_RESOURCE_TABLE_FIRMWARE_RESOURCE_VERSION
  // EFI_SYSTEM_RESOURCE_ENTRY Entries[FwResourceCount];
} EFI_SYSTEM_RESOURCE_TABLE;

#ifdef __cplusplus
}
#endif

#endif
