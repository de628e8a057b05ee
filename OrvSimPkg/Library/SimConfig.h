/** @file
  The flash simulator's configuration (OrvSim\FlashSim.ini): IC count, bank
  sizes, timing figures and per-IC settings.

  Freestanding: parses into a caller-provided structure.
**/

#ifndef ORV_SIM_CONFIG_H_
#define ORV_SIM_CONFIG_H_

#include <efi.h>

#include "SimText.h"

constexpr UINTN  SIM_MAX_ICS = 16;
constexpr UINTN  SIM_BANKS_PER_IC = 4;  ///< OCM 0, OCM 1, customer 0, customer 1
constexpr UINTN  SIM_PATH_MAX = 128;
constexpr UINT32 SIM_MIN_BANK_SIZE = 256;
constexpr UINT32 SIM_MAX_BANK_SIZE = 4u * 1024 * 1024;
constexpr UINT8  SIM_SECTION_NONE = 255;

/// Index of a bank in the per-IC arrays: zone 1 or 2, bank 0 or 1.
constexpr UINTN SimBankIndex(UINT8 Zone, UINT8 Bank) {
  return static_cast<UINTN>(Zone - 1) * 2 + Bank;
}

/// Erase and program delays.
struct SIM_TIMING {
  bool   Enabled;
  UINT32 SectorSize;
  UINT32 SectorEraseUs;
  UINT32 PageSize;
  UINT32 PageProgramUs;
};

struct SIM_IC_CONFIG {
  UINT8  Address;
  UINT8  ActiveSection;                        ///< 0, 1 or SIM_SECTION_NONE
  UINT32 BankSize[SIM_BANKS_PER_IC];           ///< by SimBankIndex
  char   Seed[SIM_BANKS_PER_IC][SIM_PATH_MAX];  ///< terminated; empty when none
  char   PublicKey[SIM_PATH_MAX];  ///< PEM file of the key provisioned in the IC; empty when none
  UINT32 Product;  ///< product id provisioned with the key (required with it); 0 when none
};

struct SIM_CONFIG {
  UINT8         IcCount;
  SIM_TIMING    Timing;
  SIM_IC_CONFIG Ic[SIM_MAX_ICS];
};

/// The delays for an erase of a bank and for programming Size bytes.
UINT64 SimEraseMicroseconds(const SIM_TIMING &Timing, UINTN BankSize);
UINT64 SimProgramMicroseconds(const SIM_TIMING &Timing, UINTN Size);

/**
  Parse the configuration text.

  @retval EFI_SUCCESS            Config is filled, defaults applied.
  @retval EFI_INVALID_PARAMETER  Error names the line and the reason.
**/
EFI_STATUS ParseSimConfig(const char *Text, UINTN Length, SIM_CONFIG *Config, TEXT_ERROR *Error);

#endif
