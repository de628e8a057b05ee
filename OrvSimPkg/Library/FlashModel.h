/** @file
  The simulated flash of N ICs: two banks per zone, flash rules (erase sets
  0xFF, a write only clears bits, erase and write need an open pass and an
  unlocked flash, the active OCM bank of a running IC cannot be erased or
  written), versions and checks taken from the image header at the start of a
  bank, fault rules (failures and misbehaviours) and timing. One function per
  protocol operation.

  Freestanding: bank memory is provided by the caller; delays go through a
  callback. Loading and saving bank files is the driver's business.
**/

#ifndef ORV_SIM_FLASH_MODEL_H_
#define ORV_SIM_FLASH_MODEL_H_

#include <efi.h>

#include <Protocol/OrvFlashPolicyProtocol.h>
#include <Protocol/OrvFlashProtocol.h>

#include "FaultRules.h"
#include "ImageSign.h"
#include "SimConfig.h"

/// The security floor's store: two slots of 16 bytes ("ORVF", sequence,
/// floor, CRC-32 of the first 12 bytes, little-endian). The floor is the
/// higher floor of the valid slots (floors only rise, so a slot's sequence
/// number decides nothing). A new floor goes into the slot that does not
/// hold the current one, so a write cut short leaves that slot invalid and
/// the current floor standing.
constexpr UINTN SIM_FLOOR_SLOT_SIZE = 16;
constexpr UINTN SIM_FLOOR_STORE_SIZE = 2 * SIM_FLOOR_SLOT_SIZE;

struct SIM_IC_STATE {
  UINT8  *Bank[SIM_BANKS_PER_IC];  ///< by SimBankIndex, each Size[] bytes
  UINT32 Size[SIM_BANKS_PER_IC];
  bool   Dirty[SIM_BANKS_PER_IC];  ///< changed since the bank was last saved
  UINT8  Active;                   ///< 0, 1 or SIM_SECTION_NONE
  bool   PassOpen;
  bool   Unlocked;
  /// The public key provisioned in the IC (one-time-programmable memory on a
  /// real chip): with it, only images it signed pass the hardware check.
  bool             HasKey;
  IMAGE_PUBLIC_KEY Key;
  /// The product id provisioned with the key: only images signed for it pass.
  UINT32           Product;
  /// The security floor (lowest OCM security counter the IC accepts).
  UINT8  FloorStore[SIM_FLOOR_STORE_SIZE];
  bool   FloorDirty;  ///< changed since the store was last saved
};

/// Waits the given number of microseconds.
typedef void (*SIM_STALL)(UINT64 Microseconds);

struct SIM_FLASH {
  const SIM_CONFIG *Config;
  FAULT_RULES      *Faults;
  SIM_STALL         Stall;  ///< may be NULL
  UINT8             IcCount;
  UINT32            ReduceMask;
  SIGN_MEMO        *Memo;   ///< host models only (see SIGN_MEMO); NULL in the driver
  SIM_IC_STATE      Ic[SIM_MAX_ICS];
};

/**
  Set up the IC states from the configuration. The caller then points every
  Bank[] at Size[] bytes of memory and fills them (erased, loaded or seeded).
**/
void SimFlashSetup(SIM_FLASH *Flash, const SIM_CONFIG *Config, FAULT_RULES *Faults, SIM_STALL Stall);

EFI_STATUS SimGetActiveSection(SIM_FLASH *Flash, UINT8 Ic, UINT8 *Section);
/// Switches the IC to Bank. With a key provisioned the chip never runs an
/// OCM bank that fails its check: EFI_SECURITY_VIOLATION, nothing switched.
EFI_STATUS SimSetActiveBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank);
EFI_STATUS SimGetIcVersion(SIM_FLASH *Flash, UINT8 Ic, UINT8 Section, UINT32 *Version);
EFI_STATUS SimFlashPreOperation(SIM_FLASH *Flash, UINT8 Ic);
EFI_STATUS SimLockFlash(SIM_FLASH *Flash, UINT8 Ic);
EFI_STATUS SimUnlockFlash(SIM_FLASH *Flash, UINT8 Ic);
EFI_STATUS SimWriteBankData(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data);
EFI_STATUS SimReadBankData(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer);
EFI_STATUS SimEraseBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone);
/**
  An erase or a write cut short by a power cut: the same checks and faults as
  SimEraseBank / SimWriteBankData, but only the first Done bytes of the bank
  (erase) or of the data (write) change. Done beyond the end means all.
**/
EFI_STATUS SimEraseBankPart(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Done);
EFI_STATUS SimWriteBankDataPart(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size,
                                const UINT8 *Data, UINTN Done);

/// Bytes of an erase or write over Length bytes done at a power cut: none,
/// the first half of its Unit-sized steps (sectors, pages), all but the last
/// step, or all.
UINTN SimCutBytes(UINTN Length, UINT32 Unit, CUT_PART Part);

/// Every check an IC with a key enforces (ORV_IC_ENFORCES_* bits).
constexpr UINT32 SIM_ENFORCED_WITH_KEY = ORV_IC_ENFORCES_SIGNATURE | ORV_IC_ENFORCES_ZONE |
                                         ORV_IC_ENFORCES_PRODUCT | ORV_IC_ENFORCES_FLOOR;

/**
  The chip's rules on an image at the start of Data (Capacity bytes: a bank,
  or an image as it would be written into one) meant for Zone: the one
  judgement behind the hardware check, the switch, the floor and the policy
  query. A valid image (header, size within Capacity, CRC) and, with a key
  provisioned: signed by that key, format 3 naming Zone and the IC's
  product, and for the OCM zone a security counter not below the floor.

  @param[in]  Skip        ORV_IC_ENFORCES_* bits of rules left unchecked (a
                          misbehaving component); 0 for the chip's rules.
  @param[out] Acceptance  The verdict and the figures behind it.
**/
ORV_IMAGE_VERDICT SimJudgeImage(const SIM_FLASH *Flash, const SIM_IC_STATE &State, const UINT8 *Data,
                                UINTN Capacity, UINT8 Zone, UINT32 Skip, ORV_IMAGE_ACCEPTANCE *Acceptance);

/**
  The chip's verdict on a bank (SimJudgeImage over the bank). The check
  value is always written: 1 for a good bank, 0 otherwise (also when it
  entered as 1, a forced update).

  @param[out] Why  When not NULL, the verdict and its figures.
**/
EFI_STATUS SimHardwareCheckBank(SIM_FLASH *Flash, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check,
                                ORV_IMAGE_ACCEPTANCE *Why = nullptr);

/**
  Whether the IC would accept Data (Size bytes) written into Zone: the
  hardware check's own judgement, with nothing written and no floor raised.
  An image larger than the zone's bank is ORV_IMAGE_TOO_LARGE.
**/
EFI_STATUS SimCheckImageAcceptance(SIM_FLASH *Flash, UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                                   ORV_IMAGE_ACCEPTANCE *Acceptance);

/// What the IC enforces, its floor, product and key id.
EFI_STATUS SimGetIcSecurity(SIM_FLASH *Flash, UINT8 Ic, ORV_IC_SECURITY *Security);


/// The IC's security floor (0 while the store holds no valid slot).
UINT32 SimFloor(const SIM_IC_STATE &State);

/**
  Whether the floor has to rise: with a key provisioned, the IC runs a bank
  whose image passes the chip's own rules (signed by that key, for the OCM
  zone and the IC's product) with a security counter above the floor.

  @param[out] NewFloor  That counter.
**/
bool SimFloorToRaise(const SIM_FLASH *Flash, UINT8 Ic, UINT32 *NewFloor);

/**
  Write NewFloor into the slot that does not hold the current floor; only
  its first Done bytes when a power cut stops the write (Done beyond the
  slot means all). Marks the store changed.
**/
void SimWriteFloorPart(SIM_FLASH *Flash, UINT8 Ic, UINT32 NewFloor, UINTN Done);
EFI_STATUS SimFlashPostOperation(SIM_FLASH *Flash, UINT8 Ic);

/// Closes the pass and locks the flash. The caller then saves dirty banks.
EFI_STATUS SimIcPostOperation(SIM_FLASH *Flash, UINT8 Ic);

/// The IC's bus address; 0 for an index out of range.
UINT8 SimGetIcAddress(SIM_FLASH *Flash, UINT8 Index);

EFI_STATUS SimSetReduceFlags(SIM_FLASH *Flash, UINT32 Mask);

#endif
