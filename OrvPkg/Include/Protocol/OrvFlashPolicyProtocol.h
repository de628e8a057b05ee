/** @file
  Flash policy protocol: an optional companion of the flash interface.

  A flash component whose ICs decide for themselves what they run (a key
  provisioned in the IC, images bound to a zone and a product, a security
  floor that only rises) installs ORV_FLASH_POLICY_PROTOCOL under
  gOrvFlashPolicyProtocolGuid beside ORV_FLASH_PROTOCOL, so that a caller can
  ask, before anything is erased, whether an image would be accepted by the
  IC's own check (HardwareCheckBank) once it is written. A component without
  such ICs installs nothing; callers then behave as before.

  The answer must be the IC's own: an image this protocol accepts must pass
  HardwareCheckBank once written whole and intact, and an image it refuses
  must fail it. The protocol only saves the erase of a bank for an image the
  IC would refuse anyway; it never replaces the IC's check, and it changes
  nothing on the IC (no floor is raised by a query).

  Like ORV_FLASH_PROTOCOL, the interface itself is never passed as an
  argument, and IC and zone numbers are those of that protocol.

  Plain C, usable from C and C++ component builds (gnu-efi or compatible
  headers providing the UEFI base types and EFIAPI).
**/

#ifndef ORV_FLASH_POLICY_PROTOCOL_H_
#define ORV_FLASH_POLICY_PROTOCOL_H_

#include <efi.h>

#ifdef __cplusplus
extern "C" {
#endif

/// {3C6ED0E6-8CDB-4D9A-8D45-F1BD0ED44364}
#define ORV_FLASH_POLICY_PROTOCOL_GUID \
  { 0x3C6ED0E6, 0x8CDB, 0x4D9A, { 0x8D, 0x45, 0xF1, 0xBD, 0x0E, 0xD4, 0x43, 0x64 } }

/// Revision of this table; a later revision only appends slots.
#define ORV_FLASH_POLICY_PROTOCOL_REVISION  0x00010000

typedef struct _ORV_FLASH_POLICY_PROTOCOL ORV_FLASH_POLICY_PROTOCOL;

///
/// What the IC would say of an image (ORV_IMAGE_ACCEPTANCE.Verdict).
///
typedef UINT32 ORV_IMAGE_VERDICT;
#define ORV_IMAGE_ACCEPTED       0  ///< the IC would run / keep the image
#define ORV_IMAGE_UNSIGNED       1  ///< the IC holds a key; the image carries no signature
#define ORV_IMAGE_UNKNOWN_KEY    2  ///< signed by a key the IC does not hold
#define ORV_IMAGE_BAD_SIGNATURE  3  ///< the signature does not verify over the image (tampered)
#define ORV_IMAGE_WRONG_ZONE     4  ///< signed for the other zone
#define ORV_IMAGE_WRONG_PRODUCT  5  ///< signed for another product
#define ORV_IMAGE_BELOW_FLOOR    6  ///< its security counter is below the IC's floor
#define ORV_IMAGE_MALFORMED      7  ///< not an image of the IC's format, or an unsupported format
#define ORV_IMAGE_TOO_LARGE      8  ///< larger than the bank it is meant for

///
/// The answer of CheckImageAcceptance. Fields that do not apply are 0.
///
typedef struct {
  ORV_IMAGE_VERDICT  Verdict;
  UINT32             ImageCounter;  ///< the security counter the image carries
  UINT32             Floor;         ///< the IC's floor for that zone
  UINT32             ImageProduct;  ///< the product id the image is signed for
  UINT32             IcProduct;     ///< the product id provisioned in the IC
  UINT8              ImageZone;     ///< the zone the image is signed for (ZONE_OCM, ZONE_CUSTOMER), 0 when none
  UINT8              Reserved[3];
} ORV_IMAGE_ACCEPTANCE;

///
/// ORV_IC_SECURITY.Enforced: what the IC's own check enforces.
///
#define ORV_IC_ENFORCES_SIGNATURE  0x00000001  ///< only images signed by the provisioned key
#define ORV_IC_ENFORCES_ZONE       0x00000002  ///< only images signed for the zone they are written to
#define ORV_IC_ENFORCES_PRODUCT    0x00000004  ///< only images signed for the IC's product
#define ORV_IC_ENFORCES_FLOOR      0x00000008  ///< never an image below the security floor

#define ORV_KEY_ID_SIZE  32

///
/// What an IC enforces, and its state, from GetIcSecurity.
///
typedef struct {
  UINT32  Enforced;                 ///< ORV_IC_ENFORCES_* bits; 0: the IC runs anything
  UINT32  Floor;                    ///< the security floor (0 when none)
  UINT32  Product;                  ///< the provisioned product id (0 when none)
  UINT32  Reserved;
  UINT8   KeyId[ORV_KEY_ID_SIZE];   ///< SHA-256 of the provisioned key's DER SubjectPublicKeyInfo; zeros when none
} ORV_IC_SECURITY;

/**
  Ask whether the IC would accept an image written into a zone.

  Reads Data only; changes nothing on the IC or in the component.

  @param[in]  Ic          IC index.
  @param[in]  Zone        ZONE_OCM or ZONE_CUSTOMER: where the image would go.
  @param[in]  Data        The whole image, as it would be written with WriteBankData.
  @param[in]  Size        Number of bytes at Data.
  @param[out] Acceptance  Receives the verdict and the figures behind it.

  @retval EFI_SUCCESS            Acceptance holds the verdict (accepted or not).
  @retval EFI_INVALID_PARAMETER  Ic, Zone, Data or Acceptance is not valid.
  @retval others                 The question could not be answered; callers
                                 treat the image as refused.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_CHECK_IMAGE_ACCEPTANCE)(
  IN  UINT8                 Ic,
  IN  UINT8                 Zone,
  IN  CONST UINT8           *Data,
  IN  UINTN                 Size,
  OUT ORV_IMAGE_ACCEPTANCE  *Acceptance
  );

/**
  Report what an IC enforces and its security state.

  @param[in]  Ic        IC index.
  @param[out] Security  Receives the state.

  @retval EFI_SUCCESS            Security is filled.
  @retval EFI_INVALID_PARAMETER  Ic or Security is not valid.
  @retval others                 The state could not be read.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_GET_IC_SECURITY)(
  IN  UINT8            Ic,
  OUT ORV_IC_SECURITY  *Security
  );

///
/// The flash policy function table. The slot order is fixed.
///
struct _ORV_FLASH_POLICY_PROTOCOL {
  UINT32                            Revision;              ///< ORV_FLASH_POLICY_PROTOCOL_REVISION
  UINT32                            Reserved;
  ORV_FLASH_CHECK_IMAGE_ACCEPTANCE  CheckImageAcceptance;  ///< 0
  ORV_FLASH_GET_IC_SECURITY         GetIcSecurity;         ///< 1
};

extern CONST EFI_GUID  gOrvFlashPolicyProtocolGuid;

#ifdef __cplusplus
}
#endif

#endif
