/** @file
  Fault injection rules (OrvSim\Faults.ini), shared by the three simulated
  components: which operation fails, for which IC, zone, bank or n-th call,
  with which status; corrupted read-back bytes; a hardware check that leaves
  its verdict 0; a replaced bus address; a power cut at the n-th flash
  operation; and misbehaviours, flash operations that report success while
  breaking the flash component's contract (a lock that does not protect, an
  erase that does nothing, ...).

  Freestanding: rules live in a caller-provided table.
**/

#ifndef ORV_SIM_FAULT_RULES_H_
#define ORV_SIM_FAULT_RULES_H_

#include <efi.h>

#include "SimText.h"

/// Operations a rule can name.
enum class SIM_OP : UINT8 {
  IcInit,
  GetActiveSection,
  SetActiveBank,
  GetIcVersion,
  FlashPreOperation,
  lockFlash,
  UnlockFlash,
  WriteBankData,
  ReadBankData,
  EraseBank,
  HardwareCheckBank,
  FlashPostOperation,
  ICPostOperation,
  GetIcAddress,
  SetReduceFlags,
  CheckImageAcceptance,  ///< the flash policy protocol's query
  GetIcSecurity,         ///< the flash policy protocol's state report
  LoadImageFile,
  GetImageData,
  GetImageVersion,
  FreeImage,
  PathInit,
  PathDeinit,
  CorruptRead,
  CheckZero,
  PowerCut,
  // Misbehaviours: the operation succeeds but breaks the contract.
  LockIgnored,      ///< lockFlash leaves the flash unlocked
  EraseIgnored,     ///< EraseBank changes nothing
  WriteShort,       ///< WriteBankData drops the last page of its data
  WriteBothBanks,   ///< WriteBankData also programs the other bank of the zone
  RunningWritable,  ///< the running OCM bank can be erased and written
  SwitchIgnored,    ///< SetActiveBank leaves the IC on its bank
  CheckGood,        ///< HardwareCheckBank answers good whatever the bank holds
  CheckErasedGood,  ///< HardwareCheckBank answers good for an erased bank
  CheckHeaderOnly,  ///< HardwareCheckBank looks at the image header only
  ReadUnchecked,    ///< ReadBankData reads a bank, zone or IC that does not exist
  // Misbehaviours of an IC with a key: rules its check claims and skips.
  SignatureIgnored,  ///< any signature (none, another key, not verifying) passes
  ZoneIgnored,       ///< an image signed for the other zone (or none) passes
  ProductIgnored,    ///< an image signed for another product passes
  FloorIgnored,      ///< an image below the security floor passes
  Count
};

/// How much of the operation at a power cut is done.
enum class CUT_PART : UINT8 {
  None,        ///< nothing of it
  Half,        ///< the first half of its sectors (erase) or pages (write)
  All,         ///< all of it; the power goes right after
  AllButLast,  ///< all but its last sector or page (host sweeps; not in Faults.ini)
};

/// A filter value that matches everything.
constexpr INT32 FAULT_ANY = -1;

struct FAULT_RULE {
  SIM_OP     Op;
  INT32      Ic;      ///< FAULT_ANY or the IC index
  INT32      Zone;    ///< FAULT_ANY, 1 or 2
  INT32      Bank;    ///< FAULT_ANY, 0 or 1 (the section for GetIcVersion)
  UINT32     Call;    ///< 0: every matching call; n: only the n-th
  UINT32     Seen;    ///< matching calls so far
  EFI_STATUS Status;  ///< for failing rules
  UINT32     Offset;  ///< CorruptRead: byte offset in the buffer
  UINT8      Xor;     ///< CorruptRead: bits flipped
  UINT8      Value;   ///< GetIcAddress: address reported
  UINT32     After;   ///< PowerCut: the n-th erase, write or switch (from 1)
  CUT_PART   Part;    ///< PowerCut: what of that operation is done
};

constexpr UINTN FAULT_MAX_RULES = 64;

struct FAULT_RULES {
  UINTN      Count;
  FAULT_RULE Rule[FAULT_MAX_RULES];
};

/// The PowerCut rule of the table, or NULL.
const FAULT_RULE *FaultPowerCut(const FAULT_RULES *Rules);

/// The name of an operation as written in the rules.
const char *SimOpName(SIM_OP Op);

/**
  Parse the fault file text. Empty text gives no rules.

  @retval EFI_SUCCESS            Rules is filled; all call counters are 0.
  @retval EFI_INVALID_PARAMETER  Error names the line and the reason.
**/
EFI_STATUS ParseFaultRules(const char *Text, UINTN Length, FAULT_RULES *Rules, TEXT_ERROR *Error);

/**
  Count a call against every rule of Op whose filters match, and return the
  first of them that fires on this call (every call, or its n-th), or NULL.
  Pass FAULT_ANY for an argument the operation does not have.
**/
const FAULT_RULE *FaultHit(FAULT_RULES *Rules, SIM_OP Op, INT32 Ic, INT32 Zone, INT32 Bank);

#endif
