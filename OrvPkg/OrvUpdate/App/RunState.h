/** @file
  The module-level state of one run, written in the run's order: the command
  line and the settings write the flags and override texts, the binding writes
  the interface pointers, the zone image step writes the image handles, and
  the update engine only reads.
**/

#ifndef ORV_RUN_STATE_H_
#define ORV_RUN_STATE_H_

#include "OrvEfi.h"

/// RUN_FLAGS bits.
constexpr UINT32 RUN_FLAG_FORCE_UPDATE = 1u << 0;          ///< program OCM whatever the versions
constexpr UINT32 RUN_FLAG_INCLUDE_CUSTOMER_BKP = 1u << 1;  ///< also write customer bank 1
constexpr UINT32 RUN_FLAG_READ_MODE = 1u << 16;            ///< -r given
/// Read mode is tested as any bit of the upper half being set.
constexpr UINT32 RUN_FLAGS_READ_MODE_MASK = 0xFFFF0000u;

/// OverridePaths: two halves of 128 CHAR16 each.
constexpr UINTN OVERRIDE_PATHS_LENGTH = 256;
constexpr UINTN OVERRIDE_HALF_LENGTH = 128;
/// At most this many characters are written into a half, so each half
/// always reads as a terminated text.
constexpr UINTN OVERRIDE_MAX_CHARS = 64;

extern UINT32 RUN_FLAGS;
extern CHAR16 OverridePaths[OVERRIDE_PATHS_LENGTH];
extern UINT32 ReduceFlashMask;
extern ORV_IMAGE_HANDLE OcmImage;
extern ORV_IMAGE_HANDLE CustomerImage;
extern ORV_IMAGE_PROTOCOL *pOrvImageProtocol;
extern ORV_FLASH_PROTOCOL *pOrvFlashProtocol;
extern ORV_PATH_PROTOCOL *pOrvPathProtocolInterface;
/// The flash component's policy, installed beside its flash protocol by a
/// component whose ICs decide what they run; null when it installs none.
extern ORV_FLASH_POLICY_PROTOCOL *pOrvFlashPolicyProtocol;
/// The boot services table of this run (SystemTable->BootServices); every
/// boot service call of the application goes through it.
extern EFI_BOOT_SERVICES *gOrvBootServices;

/// Half 0 of OverridePaths: OCM override file name, or the -r address text.
inline CHAR16 *OcmOverridePath() { return &OverridePaths[0]; }
/// Half 1 of OverridePaths: customer override file name, or the -r length text.
inline CHAR16 *CustomerOverridePath() { return &OverridePaths[OVERRIDE_HALF_LENGTH]; }

/**
  Set the whole run state to its start values, as a fresh load of the image
  has it: no flags, no reduce-flash bits, no images, no bound interfaces,
  both halves of OverridePaths cleared (through BootServices->SetMem, one
  half at a time), and BootServices kept as the run's boot services table.
  Every run starts with it; host programs that run the tools several times
  in one process rely on it too.
**/
void ResetRunState(EFI_BOOT_SERVICES *BootServices);

inline bool IsReadMode() { return (RUN_FLAGS & RUN_FLAGS_READ_MODE_MASK) != 0; }

#endif
