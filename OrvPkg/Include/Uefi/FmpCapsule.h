/** @file
  UEFI capsules that carry Firmware Management Protocol images, and the
  capsule result variables platform firmware writes after processing one.

  gnu-efi defines EFI_CAPSULE_HEADER and the CAPSULE_FLAGS_* bits; the FMP
  capsule headers, the result variable layouts and their GUIDs here are the
  ones UEFI defines.

  An FMP capsule, as it lies in a file or in memory:
    EFI_CAPSULE_HEADER (CapsuleGuid = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID,
                        HeaderSize bytes, CapsuleImageSize covers everything)
    EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER and its ItemOffsetList (one UINT64
      per embedded driver, then one per payload; offsets from the start of
      this header)
    embedded drivers, then payload items: each an
      EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER followed by
      UpdateImageSize bytes of image and UpdateVendorCodeSize bytes of vendor
      code.

  Every structure here is packed: a capsule gives no alignment guarantee.

  Plain C, usable from C and C++ builds (gnu-efi or compatible headers
  providing the UEFI base types).
**/

#ifndef ORV_UEFI_FMP_CAPSULE_H_
#define ORV_UEFI_FMP_CAPSULE_H_

#include <efi.h>

#ifdef __cplusplus
extern "C" {
#endif

/// {6DCBD5ED-E82D-4C44-BDA1-7194199AD92A}: EFI_CAPSULE_HEADER.CapsuleGuid of an FMP capsule.
#define EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID \
  { 0x6DCBD5ED, 0xE82D, 0x4C44, { 0xBD, 0xA1, 0x71, 0x94, 0x19, 0x9A, 0xD9, 0x2A } }

/// {39B68C46-F7FB-441B-B6EC-16B0F69821F3}: vendor GUID of the capsule result variables.
#define EFI_CAPSULE_REPORT_GUID \
  { 0x39B68C46, 0xF7FB, 0x441B, { 0xB6, 0xEC, 0x16, 0xB0, 0xF6, 0x98, 0x21, 0xF3 } }

#define EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION        0x00000001
#define EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER_INIT_VERSION  0x00000003

/// EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER.ImageCapsuleSupport bits.
#define CAPSULE_SUPPORT_AUTHENTICATION  0x0000000000000001ULL
#define CAPSULE_SUPPORT_DEPENDENCY      0x0000000000000002ULL

#pragma pack(push, 1)

///
/// Follows the EFI_CAPSULE_HEADER (at its HeaderSize) of an FMP capsule.
///
typedef struct {
  UINT32  Version;              ///< EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION
  UINT16  EmbeddedDriverCount;  ///< drivers come first in ItemOffsetList
  UINT16  PayloadItemCount;
  // UINT64 ItemOffsetList[EmbeddedDriverCount + PayloadItemCount] follows.
} EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER;

///
/// Starts every payload item. Version 1 ends before UpdateHardwareInstance,
/// version 2 before ImageCapsuleSupport.
///
typedef struct {
  UINT32    Version;                 ///< EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER_INIT_VERSION
  EFI_GUID  UpdateImageTypeId;       ///< the FMP image type the item is for
  UINT8     UpdateImageIndex;        ///< the 1-based image index within that FMP instance
  UINT8     reserved_bytes[3];
  UINT32    UpdateImageSize;         ///< bytes of image after this header
  UINT32    UpdateVendorCodeSize;    ///< bytes of vendor code after the image
  UINT64    UpdateHardwareInstance;  ///< version 2: the device instance; 0 addresses every instance
  UINT64    ImageCapsuleSupport;     ///< version 3: CAPSULE_SUPPORT_* bits
} EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER;

///
/// Starts the value of every Capsule#### variable.
///
typedef struct {
  UINT32      VariableTotalSize;  ///< bytes of the whole variable
  UINT32      Reserved;           ///< 0
  EFI_GUID    CapsuleGuid;        ///< the processed capsule's CapsuleGuid
  EFI_TIME    CapsuleProcessed;   ///< when processing ended
  EFI_STATUS  CapsuleStatus;      ///< the outcome
} EFI_CAPSULE_RESULT_VARIABLE_HEADER;

///
/// Follows the header in a Capsule#### variable of an FMP capsule: one per
/// payload item processed.
///
typedef struct {
  UINT16    Version;            ///< EFI_CAPSULE_RESULT_VARIABLE_FMP_VERSION
  UINT8     PayloadIndex;       ///< index of the item among the payload items
  UINT8     UpdateImageIndex;   ///< copied from the item's header
  EFI_GUID  UpdateImageTypeId;  ///< copied from the item's header
  // CHAR16 CapsuleFileName[]: terminated; the capsule's file name, or empty.
  // CHAR16 CapsuleTarget[]: terminated; the text of the FMP instance's device path, or empty.
} EFI_CAPSULE_RESULT_VARIABLE_FMP;

#pragma pack(pop)

#define EFI_CAPSULE_RESULT_VARIABLE_FMP_VERSION  0x0001

#ifdef __cplusplus
}
#endif

#endif
