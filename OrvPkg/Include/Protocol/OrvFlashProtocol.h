/** @file
  Flash interface component protocol.

  The flash component is a separately built boot-service driver. It installs
  ORV_FLASH_PROTOCOL under gOrvFlashProtocolGuid and does every read, write,
  erase and bank switch on the flash of the board's controller ICs. The update
  application binds it by GUID and calls the functions of this table; the
  interface itself is never passed as an argument.

  Terms used below:
  - IC index: 0 .. IcCount - 1, as counted by IcInit.
  - Zone: ZONE_OCM (the IC's program) or ZONE_CUSTOMER (the customer zone).
  - Bank: 0 or 1. Every zone has two banks. The section an IC runs from is the
    number of its active OCM bank.

  A status with the top bit set is a failure. The application reports a
  failing status on the console and never retries.

  Plain C, usable from C and C++ component builds (gnu-efi or compatible
  headers providing the UEFI base types and EFIAPI).
**/

#ifndef ORV_FLASH_PROTOCOL_H_
#define ORV_FLASH_PROTOCOL_H_

#include <efi.h>

#ifdef __cplusplus
extern "C" {
#endif

/// {2607134A-F0AF-4C23-A802-C2A351CC9435}
#define ORV_FLASH_PROTOCOL_GUID \
  { 0x2607134A, 0xF0AF, 0x4C23, { 0xA8, 0x02, 0xC2, 0xA3, 0x51, 0xCC, 0x94, 0x35 } }

/// Zone numbers.
#define ZONE_OCM       1
#define ZONE_CUSTOMER  2

/// Value of a section that the component did not report.
#define SECTION_INVALID  255

typedef struct _ORV_FLASH_PROTOCOL ORV_FLASH_PROTOCOL;
struct _ORV_PATH_PROTOCOL;

/**
  Find the ICs on the board and prepare the component for them.

  @param[in]  PathInterface  The bound path component (may be NULL).
  @param[out] IcCount        Preset to 0 by the caller; receives the IC count.

  @retval EFI_SUCCESS        IcCount holds the number of ICs.
  @retval others             The ICs could not be set up; no IC is touched.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_IC_INIT)(
  IN  struct _ORV_PATH_PROTOCOL  *PathInterface,
  OUT UINT8                      *IcCount
  );

/**
  Report the section (active OCM bank) an IC runs from.

  @param[in]  Ic       IC index.
  @param[out] Section  Preset to SECTION_INVALID by the caller; receives 0 or 1.
                       Left at SECTION_INVALID when the IC has no valid section.

  @retval EFI_SUCCESS  Section was reported (or left untouched).
  @retval others       The IC could not be asked.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_GET_ACTIVE_SECTION)(
  IN  UINT8  Ic,
  OUT UINT8  *Section
  );

/**
  Make an IC run from the OCM bank given.

  @param[in] Ic    IC index.
  @param[in] Bank  0 or 1.

  @retval EFI_SUCCESS  The IC runs from Bank afterwards.
  @retval others       The active bank is unchanged.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_SET_ACTIVE_BANK)(
  IN UINT8  Ic,
  IN UINT8  Bank
  );

/**
  Report the firmware version held in one OCM section of an IC.

  @param[in]  Ic       IC index.
  @param[in]  Section  0, 1, or SECTION_INVALID when the IC reported none.
  @param[out] Version  Receives the version; compared as an unsigned number.

  @retval EFI_SUCCESS  Version holds the section's version.
  @retval others       The version could not be read.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_GET_IC_VERSION)(
  IN  UINT8   Ic,
  IN  UINT8   Section,
  OUT UINT32  *Version
  );

/**
  An operation that takes only the IC index: FlashPreOperation (opens a
  programming pass), lockFlash (protects the flash again), UnlockFlash
  (allows erase and write), FlashPostOperation (follows a verified write) and
  ICPostOperation (closes the pass).

  After a successful FlashPreOperation the application calls ICPostOperation
  exactly once; after a successful UnlockFlash it calls lockFlash.

  @param[in] Ic  IC index.

  @retval EFI_SUCCESS  The step was done.
  @retval others       The step failed.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_IC_OPERATION)(
  IN UINT8  Ic
  );

/**
  Write bytes into one bank of one zone, from the bank's start.

  @param[in] Ic    IC index.
  @param[in] Bank  0 or 1.
  @param[in] Zone  ZONE_OCM or ZONE_CUSTOMER.
  @param[in] Size  Number of bytes.
  @param[in] Data  The bytes; owned by the caller and only read.

  @retval EFI_SUCCESS  The bytes were written.
  @retval others       The write failed.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_WRITE_BANK_DATA)(
  IN UINT8        Ic,
  IN UINT8        Bank,
  IN UINT8        Zone,
  IN UINTN        Size,
  IN CONST UINT8  *Data
  );

/**
  Read bytes back from one bank of one zone, from the bank's start.

  @param[in]  Ic      IC index.
  @param[in]  Bank    0 or 1.
  @param[in]  Zone    ZONE_OCM or ZONE_CUSTOMER.
  @param[in]  Size    Number of bytes.
  @param[out] Buffer  Caller's buffer of Size bytes; receives the bytes.

  @retval EFI_SUCCESS  Buffer holds the bytes read.
  @retval others       The read failed.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_READ_BANK_DATA)(
  IN  UINT8  Ic,
  IN  UINT8  Bank,
  IN  UINT8  Zone,
  IN  UINTN  Size,
  OUT UINT8  *Buffer
  );

/**
  Erase one bank of one zone.

  @param[in] Ic    IC index.
  @param[in] Bank  0 or 1.
  @param[in] Zone  ZONE_OCM or ZONE_CUSTOMER.

  @retval EFI_SUCCESS  The bank is erased.
  @retval others       The erase failed.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_ERASE_BANK)(
  IN UINT8  Ic,
  IN UINT8  Bank,
  IN UINT8  Zone
  );

/**
  Let the hardware check a bank just written.

  @param[in]      Ic     IC index.
  @param[in]      Bank   0 or 1.
  @param[in]      Zone   ZONE_OCM or ZONE_CUSTOMER.
  @param[in,out]  Check  Enters as 1 when the update is forced, else 0.
                         Leave it nonzero for a good bank, 0 for a bad one.

  @retval EFI_SUCCESS  The check ran; Check holds its verdict.
  @retval others       The check could not run.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_HARDWARE_CHECK_BANK)(
  IN     UINT8  Ic,
  IN     UINT8  Bank,
  IN     UINT8  Zone,
  IN OUT UINT8  *Check
  );

/**
  Report an IC's bus address.

  @param[in] Index     IC index.
  @param[in] Reserved  Always 0 from the application.

  @return The IC's 8-bit bus address (not a status).
**/
typedef
UINT8
(EFIAPI *ORV_FLASH_GET_IC_ADDRESS)(
  IN UINT8  Index,
  IN UINTN  Reserved
  );

/**
  Receive the reduce-flash mask from the settings. Bit 0 set means the
  application does not read back the OCM zone after writing it.

  @param[in] Mask  The 32-bit mask (also handed over when 0).

  @return Any status; the application does not use it.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_FLASH_SET_REDUCE_FLAGS)(
  IN UINT32  Mask
  );

///
/// The flash component's function table. The slot order is fixed.
/// GetIcAddress and SetReduceFlags may be NULL: without GetIcAddress the
/// application refuses -d; without SetReduceFlags the mask is not handed over.
///
struct _ORV_FLASH_PROTOCOL {
  ORV_FLASH_IC_INIT              IcInit;              ///< 0
  ORV_FLASH_GET_ACTIVE_SECTION   GetActiveSection;    ///< 1
  ORV_FLASH_SET_ACTIVE_BANK      SetActiveBank;       ///< 2
  ORV_FLASH_GET_IC_VERSION       GetIcVersion;        ///< 3
  ORV_FLASH_IC_OPERATION         FlashPreOperation;   ///< 4
  ORV_FLASH_IC_OPERATION         lockFlash;           ///< 5
  ORV_FLASH_IC_OPERATION         UnlockFlash;         ///< 6
  ORV_FLASH_WRITE_BANK_DATA      WriteBankData;       ///< 7
  ORV_FLASH_READ_BANK_DATA       ReadBankData;        ///< 8
  ORV_FLASH_ERASE_BANK           EraseBank;           ///< 9
  ORV_FLASH_HARDWARE_CHECK_BANK  HardwareCheckBank;   ///< 10
  ORV_FLASH_IC_OPERATION         FlashPostOperation;  ///< 11
  ORV_FLASH_IC_OPERATION         ICPostOperation;     ///< 12
  ORV_FLASH_GET_IC_ADDRESS       GetIcAddress;        ///< 13, may be NULL
  ORV_FLASH_SET_REDUCE_FLAGS     SetReduceFlags;      ///< 14, may be NULL
};

extern CONST EFI_GUID  gOrvFlashProtocolGuid;

#ifdef __cplusplus
}
#endif

#endif
