/** @file
  Parsing of the flash simulator's configuration.
**/

#include "SimConfig.h"

#include <Protocol/OrvFlashProtocol.h>

namespace {

constexpr UINT32 DEFAULT_OCM_BANK_SIZE = 16384;
constexpr UINT32 DEFAULT_CUSTOMER_BANK_SIZE = 4096;
constexpr UINT8  DEFAULT_FIRST_ADDRESS = 0x50;

// Typical SPI NOR figures: 4 KiB sector erase about 45 ms, 256-byte page
// program about 0.7 ms.
constexpr SIM_TIMING DEFAULT_TIMING = {true, 4096, 45000, 256, 700};

enum class SECTION_KIND { None, Global, Ic };

/// What the file has set so far. Per-IC values it leaves unset take the
/// global ones once the whole file is read (FinishConfig).
struct CONFIG_READER {
  SIM_CONFIG  *Config;
  UINT32       GlobalBankSize[2];           ///< OCM, customer
  bool         CountSet;
  bool         AddressSet[SIM_MAX_ICS];
  UINT32       IcSectionLine[SIM_MAX_ICS];  ///< line of its [IcN] header, 0 when none
  SECTION_KIND Kind;                        ///< the section being read
  UINTN        Ic;                          ///< its IC, in an [IcN] section
};

using KEY_VALUE = VALUE_RULE<CONFIG_READER>;

/// A key of a section: its name, the reason a bad value is refused with, and
/// how its value is taken.
struct CONFIG_KEY {
  const char *Name;
  const char *Reason;
  KEY_VALUE   Value;
};

void SetIcCount(CONFIG_READER *Reader, UINT64 Number) {
  Reader->Config->IcCount = static_cast<UINT8>(Number);
  Reader->CountSet = true;
}

template <UINT8 ZONE>
void SetGlobalBankSize(CONFIG_READER *Reader, UINT64 Number) {
  Reader->GlobalBankSize[ZONE - 1] = static_cast<UINT32>(Number);
}

template <UINT32 SIM_TIMING::*FIELD>
void SetTimingFigure(CONFIG_READER *Reader, UINT64 Number) {
  Reader->Config->Timing.*FIELD = static_cast<UINT32>(Number);
}

bool SetTimingSwitch(CONFIG_READER *Reader, TEXT_SPAN Value) {
  if (SpanEqualsNoCase(Value, "on")) {
    Reader->Config->Timing.Enabled = true;
  } else if (SpanEqualsNoCase(Value, "off")) {
    Reader->Config->Timing.Enabled = false;
  } else {
    return false;
  }
  return true;
}

SIM_IC_CONFIG &CurrentIc(CONFIG_READER *Reader) { return Reader->Config->Ic[Reader->Ic]; }

void SetAddress(CONFIG_READER *Reader, UINT64 Number) {
  CurrentIc(Reader).Address = static_cast<UINT8>(Number);
  Reader->AddressSet[Reader->Ic] = true;
}

// 0, 1, or none (an IC without a valid section).
bool SetActiveSection(CONFIG_READER *Reader, TEXT_SPAN Value) {
  UINT64 Number = 0;
  if (SpanEqualsNoCase(Value, "none")) {
    CurrentIc(Reader).ActiveSection = SIM_SECTION_NONE;
  } else if (ParseUint64(Value, &Number) && Number <= 1) {
    CurrentIc(Reader).ActiveSection = static_cast<UINT8>(Number);
  } else {
    return false;
  }
  return true;
}

// Both banks of the zone.
template <UINT8 ZONE>
void SetIcBankSize(CONFIG_READER *Reader, UINT64 Number) {
  CurrentIc(Reader).BankSize[SimBankIndex(ZONE, 0)] = static_cast<UINT32>(Number);
  CurrentIc(Reader).BankSize[SimBankIndex(ZONE, 1)] = static_cast<UINT32>(Number);
}

// A path of 1 to SIM_PATH_MAX - 1 characters into Target, terminated.
bool CopyPath(char *Target, TEXT_SPAN Value) {
  if (Value.Len == 0 || Value.Len >= SIM_PATH_MAX) {
    return false;
  }
  for (UINTN Index = 0; Index < Value.Len; Index++) {
    Target[Index] = Value.Ptr[Index];
  }
  Target[Value.Len] = '\0';
  return true;
}

template <UINTN BANK>
bool SetSeed(CONFIG_READER *Reader, TEXT_SPAN Value) {
  return CopyPath(CurrentIc(Reader).Seed[BANK], Value);
}

// The key a chip keeps in one-time-programmable memory: the PEM file the
// simulator reads it from.
bool SetPublicKey(CONFIG_READER *Reader, TEXT_SPAN Value) {
  return CopyPath(CurrentIc(Reader).PublicKey, Value);
}

// The product id provisioned with the key: images signed for another
// product are refused. 0 stands for none, so it is not an id.
void SetProduct(CONFIG_READER *Reader, UINT64 Number) { CurrentIc(Reader).Product = static_cast<UINT32>(Number); }

constexpr KEY_VALUE BankSize(void (*Set)(CONFIG_READER *, UINT64)) {
  return KEY_VALUE::Number(SIM_MIN_BANK_SIZE, SIM_MAX_BANK_SIZE, Set);
}

constexpr UINT64 MAX_UINT32 = 0xFFFFFFFFu;
constexpr const char *BANK_SIZE_REASON = "bank size must be 256 to 4194304";
constexpr const char *SEED_REASON = "seed path must be 1 to 127 characters";

constexpr CONFIG_KEY GLOBAL_KEYS[] = {
  {"IcCount", "IcCount must be 1 to 16", KEY_VALUE::Number(1, SIM_MAX_ICS, SetIcCount)},
  {"OcmBankSize", BANK_SIZE_REASON, BankSize(SetGlobalBankSize<ZONE_OCM>)},
  {"CustomerBankSize", BANK_SIZE_REASON, BankSize(SetGlobalBankSize<ZONE_CUSTOMER>)},
  {"Timing", "Timing must be on or off", KEY_VALUE::Text(SetTimingSwitch)},
  {"SectorSize", "bad number", KEY_VALUE::Number(1, MAX_UINT32, SetTimingFigure<&SIM_TIMING::SectorSize>)},
  {"SectorEraseUs", "bad number",
   KEY_VALUE::Number(0, MAX_UINT32, SetTimingFigure<&SIM_TIMING::SectorEraseUs>)},
  {"PageSize", "bad number", KEY_VALUE::Number(1, MAX_UINT32, SetTimingFigure<&SIM_TIMING::PageSize>)},
  {"PageProgramUs", "bad number",
   KEY_VALUE::Number(0, MAX_UINT32, SetTimingFigure<&SIM_TIMING::PageProgramUs>)},
};

constexpr CONFIG_KEY IC_KEYS[] = {
  {"Address", "Address must be 0 to 0xFF", KEY_VALUE::Number(0, 0xFF, SetAddress)},
  {"ActiveSection", "ActiveSection must be 0, 1 or none", KEY_VALUE::Text(SetActiveSection)},
  {"OcmBankSize", BANK_SIZE_REASON, BankSize(SetIcBankSize<ZONE_OCM>)},
  {"CustomerBankSize", BANK_SIZE_REASON, BankSize(SetIcBankSize<ZONE_CUSTOMER>)},
  {"Ocm0Seed", SEED_REASON, KEY_VALUE::Text(SetSeed<SimBankIndex(ZONE_OCM, 0)>)},
  {"Ocm1Seed", SEED_REASON, KEY_VALUE::Text(SetSeed<SimBankIndex(ZONE_OCM, 1)>)},
  {"Customer0Seed", SEED_REASON, KEY_VALUE::Text(SetSeed<SimBankIndex(ZONE_CUSTOMER, 0)>)},
  {"Customer1Seed", SEED_REASON, KEY_VALUE::Text(SetSeed<SimBankIndex(ZONE_CUSTOMER, 1)>)},
  {"PublicKey", "key path must be 1 to 127 characters", KEY_VALUE::Text(SetPublicKey)},
  {"Product", "Product must be 1 to 0xFFFFFFFF", KEY_VALUE::Number(1, MAX_UINT32, SetProduct)},
};

// "Ic12" -> 12
bool ParseIcSectionName(TEXT_SPAN Name, UINTN *Index) {
  UINT64 Number = 0;
  if (Name.Len < 3 || !SpanEqualsNoCase(TEXT_SPAN{Name.Ptr, 2}, "ic") ||
      !ParseDecimal(TEXT_SPAN{Name.Ptr + 2, Name.Len - 2}, &Number) || Number >= SIM_MAX_ICS) {
    return false;
  }
  *Index = static_cast<UINTN>(Number);
  return true;
}

// "[FlashSim]" or "[IcN]" starts a section.
EFI_STATUS ReadSectionLine(CONFIG_READER *Reader, TEXT_SPAN Line, UINT32 LineNumber, TEXT_ERROR *Error) {
  if (Line.Ptr[Line.Len - 1] != ']') {
    return Refuse(Error, LineNumber, "bad section line");
  }
  TEXT_SPAN Name = TrimSpan(TEXT_SPAN{Line.Ptr + 1, Line.Len - 2});
  if (SpanEqualsNoCase(Name, "FlashSim")) {
    Reader->Kind = SECTION_KIND::Global;
  } else if (ParseIcSectionName(Name, &Reader->Ic)) {
    Reader->Kind = SECTION_KIND::Ic;
    Reader->IcSectionLine[Reader->Ic] = LineNumber;
  } else {
    return Refuse(Error, LineNumber, "unknown section");
  }
  return EFI_SUCCESS;
}

// "Key = Value" inside a section.
EFI_STATUS ReadKeyLine(CONFIG_READER *Reader, TEXT_SPAN Line, UINT32 LineNumber, TEXT_ERROR *Error) {
  TEXT_SPAN Key;
  TEXT_SPAN Value;
  if (!SplitKeyValue(Line, &Key, &Value)) {
    return Refuse(Error, LineNumber, "expected Key = Value");
  }
  if (Reader->Kind == SECTION_KIND::None) {
    return Refuse(Error, LineNumber, "key outside a section");
  }
  const CONFIG_KEY *Found =
      Reader->Kind == SECTION_KIND::Global ? FindByName(GLOBAL_KEYS, Key) : FindByName(IC_KEYS, Key);
  if (Found == nullptr) {
    return Refuse(Error, LineNumber, "unknown key");
  }
  if (!ApplyValue(Found->Value, Value, Reader)) {
    return Refuse(Error, LineNumber, Found->Reason);
  }
  return EFI_SUCCESS;
}

// The whole file is read: check the IC sections against the count and give
// every IC the defaults and global values it did not set itself.
EFI_STATUS FinishConfig(CONFIG_READER *Reader, TEXT_ERROR *Error) {
  SIM_CONFIG *Config = Reader->Config;
  if (!Reader->CountSet) {
    return Refuse(Error, 0, "IcCount missing");
  }
  for (UINTN Index = 0; Index < SIM_MAX_ICS; Index++) {
    if (Reader->IcSectionLine[Index] != 0 && Index >= Config->IcCount) {
      return Refuse(Error, Reader->IcSectionLine[Index], "IC section beyond IcCount");
    }
    SIM_IC_CONFIG &IcConfig = Config->Ic[Index];
    // A key and a product are provisioned together: a key alone would let
    // the maker's images for every product run, a product alone means nothing.
    if ((IcConfig.PublicKey[0] != '\0') != (IcConfig.Product != 0)) {
      return Refuse(Error, Reader->IcSectionLine[Index],
                    IcConfig.Product != 0 ? "Product needs PublicKey" : "PublicKey needs Product");
    }
    if (!Reader->AddressSet[Index]) {
      IcConfig.Address = static_cast<UINT8>(DEFAULT_FIRST_ADDRESS + Index);
    }
    for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
      if (IcConfig.BankSize[Bank] == 0) {
        IcConfig.BankSize[Bank] = Reader->GlobalBankSize[Bank / 2];
      }
    }
  }
  return EFI_SUCCESS;
}

}  // namespace

UINT64 SimEraseMicroseconds(const SIM_TIMING &Timing, UINTN BankSize) {
  if (!Timing.Enabled || Timing.SectorSize == 0) {
    return 0;
  }
  UINT64 Sectors = (BankSize + Timing.SectorSize - 1) / Timing.SectorSize;
  return Sectors * Timing.SectorEraseUs;
}

UINT64 SimProgramMicroseconds(const SIM_TIMING &Timing, UINTN Size) {
  if (!Timing.Enabled || Timing.PageSize == 0) {
    return 0;
  }
  UINT64 Pages = (Size + Timing.PageSize - 1) / Timing.PageSize;
  return Pages * Timing.PageProgramUs;
}

EFI_STATUS ParseSimConfig(const char *Text, UINTN Length, SIM_CONFIG *Config, TEXT_ERROR *Error) {
  // The active section of an IC that sets none stays 0.
  *Config = SIM_CONFIG{};
  Config->Timing = DEFAULT_TIMING;
  CONFIG_READER Reader{};
  Reader.Config = Config;
  Reader.GlobalBankSize[0] = DEFAULT_OCM_BANK_SIZE;
  Reader.GlobalBankSize[1] = DEFAULT_CUSTOMER_BANK_SIZE;
  EFI_STATUS Status = ForEachContentLine(Text, Length, [&](TEXT_SPAN Line, UINT32 LineNumber) {
    return Line.Ptr[0] == '[' ? ReadSectionLine(&Reader, Line, LineNumber, Error)
                              : ReadKeyLine(&Reader, Line, LineNumber, Error);
  });
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return FinishConfig(&Reader, Error);
}
