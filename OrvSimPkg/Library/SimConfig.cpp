/** @file
  Parsing of the flash simulator's configuration.
**/

#include "SimConfig.h"

namespace {

constexpr UINT32 DEFAULT_OCM_BANK_SIZE = 16384;
constexpr UINT32 DEFAULT_CUSTOMER_BANK_SIZE = 4096;
constexpr UINT8  DEFAULT_FIRST_ADDRESS = 0x50;

// Typical SPI NOR figures: 4 KiB sector erase about 45 ms, 256-byte page
// program about 0.7 ms.
constexpr SIM_TIMING DEFAULT_TIMING = {true, 4096, 45000, 256, 700};

constexpr const char *SEED_KEYS[SIM_BANKS_PER_IC] = {
  "Ocm0Seed", "Ocm1Seed", "Customer0Seed", "Customer1Seed"};

enum class SECTION_KIND { None, Global, Ic };

bool ParseBankSize(TEXT_SPAN Value, UINT32 *Size) {
  UINT64 Number = 0;
  if (!ParseUint64(Value, &Number) || Number < SIM_MIN_BANK_SIZE || Number > SIM_MAX_BANK_SIZE) {
    return false;
  }
  *Size = static_cast<UINT32>(Number);
  return true;
}

bool ParsePositive32(TEXT_SPAN Value, UINT32 *Out, bool AllowZero) {
  UINT64 Number = 0;
  if (!ParseUint64(Value, &Number) || Number > 0xFFFFFFFFu || (!AllowZero && Number == 0)) {
    return false;
  }
  *Out = static_cast<UINT32>(Number);
  return true;
}

// "[Ic12]" -> 12
bool ParseIcSectionName(TEXT_SPAN Name, UINTN *Index) {
  if (Name.Len < 3 || !SpanEqualsNoCase(TEXT_SPAN{Name.Ptr, 2}, "ic")) {
    return false;
  }
  UINT64 Number = 0;
  TEXT_SPAN Digits{Name.Ptr + 2, Name.Len - 2};
  for (UINTN I = 0; I < Digits.Len; I++) {
    if (Digits.Ptr[I] < '0' || Digits.Ptr[I] > '9') {
      return false;
    }
  }
  if (!ParseUint64(Digits, &Number) || Number >= SIM_MAX_ICS) {
    return false;
  }
  *Index = static_cast<UINTN>(Number);
  return true;
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
  // Per-IC values left 0 / unset here take the global values afterwards.
  *Config = SIM_CONFIG{};
  Config->Timing = DEFAULT_TIMING;
  UINT32 GlobalBankSize[2] = {DEFAULT_OCM_BANK_SIZE, DEFAULT_CUSTOMER_BANK_SIZE};
  bool AddressSet[SIM_MAX_ICS] = {};
  bool SectionSet[SIM_MAX_ICS] = {};
  bool IcSectionSeen[SIM_MAX_ICS] = {};
  UINT32 IcSectionLine[SIM_MAX_ICS] = {};
  bool CountSet = false;

  SECTION_KIND Kind = SECTION_KIND::None;
  UINTN Ic = 0;
  UINTN Pos = 0;
  UINT32 LineNumber = 0;
  TEXT_SPAN Line;
  while (NextLine(Text, Length, &Pos, &Line)) {
    LineNumber++;
    Line = StripComment(Line);
    if (Line.Len == 0) {
      continue;
    }
    if (Line.Ptr[0] == '[') {
      if (Line.Ptr[Line.Len - 1] != ']') {
        return Refuse(Error, LineNumber, "bad section line");
      }
      TEXT_SPAN Name = TrimSpan(TEXT_SPAN{Line.Ptr + 1, Line.Len - 2});
      if (SpanEqualsNoCase(Name, "FlashSim")) {
        Kind = SECTION_KIND::Global;
      } else if (ParseIcSectionName(Name, &Ic)) {
        Kind = SECTION_KIND::Ic;
        IcSectionSeen[Ic] = true;
        IcSectionLine[Ic] = LineNumber;
      } else {
        return Refuse(Error, LineNumber, "unknown section");
      }
      continue;
    }
    TEXT_SPAN Key;
    TEXT_SPAN Value;
    if (!SplitKeyValue(Line, &Key, &Value)) {
      return Refuse(Error, LineNumber, "expected Key = Value");
    }
    if (Kind == SECTION_KIND::None) {
      return Refuse(Error, LineNumber, "key outside a section");
    }
    if (Kind == SECTION_KIND::Global) {
      UINT64 Number = 0;
      if (SpanEqualsNoCase(Key, "IcCount")) {
        if (!ParseUint64(Value, &Number) || Number < 1 || Number > SIM_MAX_ICS) {
          return Refuse(Error, LineNumber, "IcCount must be 1 to 16");
        }
        Config->IcCount = static_cast<UINT8>(Number);
        CountSet = true;
      } else if (SpanEqualsNoCase(Key, "OcmBankSize")) {
        if (!ParseBankSize(Value, &GlobalBankSize[0])) {
          return Refuse(Error, LineNumber, "bank size must be 256 to 4194304");
        }
      } else if (SpanEqualsNoCase(Key, "CustomerBankSize")) {
        if (!ParseBankSize(Value, &GlobalBankSize[1])) {
          return Refuse(Error, LineNumber, "bank size must be 256 to 4194304");
        }
      } else if (SpanEqualsNoCase(Key, "Timing")) {
        if (SpanEqualsNoCase(Value, "on")) {
          Config->Timing.Enabled = true;
        } else if (SpanEqualsNoCase(Value, "off")) {
          Config->Timing.Enabled = false;
        } else {
          return Refuse(Error, LineNumber, "Timing must be on or off");
        }
      } else if (SpanEqualsNoCase(Key, "SectorSize")) {
        if (!ParsePositive32(Value, &Config->Timing.SectorSize, false)) {
          return Refuse(Error, LineNumber, "bad number");
        }
      } else if (SpanEqualsNoCase(Key, "SectorEraseUs")) {
        if (!ParsePositive32(Value, &Config->Timing.SectorEraseUs, true)) {
          return Refuse(Error, LineNumber, "bad number");
        }
      } else if (SpanEqualsNoCase(Key, "PageSize")) {
        if (!ParsePositive32(Value, &Config->Timing.PageSize, false)) {
          return Refuse(Error, LineNumber, "bad number");
        }
      } else if (SpanEqualsNoCase(Key, "PageProgramUs")) {
        if (!ParsePositive32(Value, &Config->Timing.PageProgramUs, true)) {
          return Refuse(Error, LineNumber, "bad number");
        }
      } else {
        return Refuse(Error, LineNumber, "unknown key");
      }
      continue;
    }

    SIM_IC_CONFIG &IcConfig = Config->Ic[Ic];
    UINT64 Number = 0;
    if (SpanEqualsNoCase(Key, "Address")) {
      if (!ParseUint64(Value, &Number) || Number > 0xFF) {
        return Refuse(Error, LineNumber, "Address must be 0 to 0xFF");
      }
      IcConfig.Address = static_cast<UINT8>(Number);
      AddressSet[Ic] = true;
    } else if (SpanEqualsNoCase(Key, "ActiveSection")) {
      if (SpanEqualsNoCase(Value, "none")) {
        IcConfig.ActiveSection = SIM_SECTION_NONE;
      } else if (ParseUint64(Value, &Number) && Number <= 1) {
        IcConfig.ActiveSection = static_cast<UINT8>(Number);
      } else {
        return Refuse(Error, LineNumber, "ActiveSection must be 0, 1 or none");
      }
      SectionSet[Ic] = true;
    } else if (SpanEqualsNoCase(Key, "OcmBankSize") || SpanEqualsNoCase(Key, "CustomerBankSize")) {
      UINT32 Size = 0;
      if (!ParseBankSize(Value, &Size)) {
        return Refuse(Error, LineNumber, "bank size must be 256 to 4194304");
      }
      UINTN First = SpanEqualsNoCase(Key, "OcmBankSize") ? 0 : 2;
      IcConfig.BankSize[First] = Size;
      IcConfig.BankSize[First + 1] = Size;
    } else if (SpanEqualsNoCase(Key, "PublicKey")) {
      // The key a chip keeps in one-time-programmable memory: the PEM file
      // the simulator reads it from.
      if (Value.Len == 0 || Value.Len >= SIM_PATH_MAX) {
        return Refuse(Error, LineNumber, "key path must be 1 to 127 characters");
      }
      for (UINTN I = 0; I < Value.Len; I++) {
        IcConfig.PublicKey[I] = Value.Ptr[I];
      }
      IcConfig.PublicKey[Value.Len] = '\0';
    } else {
      bool Known = false;
      for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
        if (SpanEqualsNoCase(Key, SEED_KEYS[Bank])) {
          if (Value.Len == 0 || Value.Len >= SIM_PATH_MAX) {
            return Refuse(Error, LineNumber, "seed path must be 1 to 127 characters");
          }
          for (UINTN I = 0; I < Value.Len; I++) {
            IcConfig.Seed[Bank][I] = Value.Ptr[I];
          }
          IcConfig.Seed[Bank][Value.Len] = '\0';
          Known = true;
        }
      }
      if (!Known) {
        return Refuse(Error, LineNumber, "unknown key");
      }
    }
  }

  if (!CountSet) {
    return Refuse(Error, 0, "IcCount missing");
  }
  for (UINTN Index = 0; Index < SIM_MAX_ICS; Index++) {
    if (IcSectionSeen[Index] && Index >= Config->IcCount) {
      return Refuse(Error, IcSectionLine[Index], "IC section beyond IcCount");
    }
    SIM_IC_CONFIG &IcConfig = Config->Ic[Index];
    if (!AddressSet[Index]) {
      IcConfig.Address = static_cast<UINT8>(DEFAULT_FIRST_ADDRESS + Index);
    }
    if (!SectionSet[Index]) {
      IcConfig.ActiveSection = 0;
    }
    for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
      if (IcConfig.BankSize[Bank] == 0) {
        IcConfig.BankSize[Bank] = GlobalBankSize[Bank / 2];
      }
    }
  }
  return EFI_SUCCESS;
}
