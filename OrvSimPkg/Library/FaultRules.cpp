/** @file
  Parsing and matching of fault injection rules.
**/

#include "FaultRules.h"

namespace {

constexpr UINT8 FILTER_IC = 1;
constexpr UINT8 FILTER_ZONE = 2;
constexpr UINT8 FILTER_BANK = 4;

struct OP_INFO {
  const char *Name;
  UINT8       Filters;  ///< filters that make sense for the operation
};

constexpr OP_INFO OPS[] = {
  {"IcInit", 0},
  {"GetActiveSection", FILTER_IC},
  {"SetActiveBank", FILTER_IC | FILTER_BANK},
  {"GetIcVersion", FILTER_IC | FILTER_BANK},
  {"FlashPreOperation", FILTER_IC},
  {"lockFlash", FILTER_IC},
  {"UnlockFlash", FILTER_IC},
  {"WriteBankData", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"ReadBankData", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"EraseBank", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"HardwareCheckBank", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"FlashPostOperation", FILTER_IC},
  {"ICPostOperation", FILTER_IC},
  {"GetIcAddress", FILTER_IC},
  {"SetReduceFlags", 0},
  {"LoadImageFile", 0},
  {"GetImageData", 0},
  {"GetImageVersion", 0},
  {"FreeImage", 0},
  {"PathInit", 0},
  {"PathDeinit", 0},
  {"CorruptRead", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"CheckZero", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"PowerCut", 0},
  {"LockIgnored", FILTER_IC},
  {"EraseIgnored", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"WriteShort", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"WriteBothBanks", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"RunningWritable", FILTER_IC},
  {"SwitchIgnored", FILTER_IC | FILTER_BANK},
  {"CheckGood", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"CheckErasedGood", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"CheckHeaderOnly", FILTER_IC | FILTER_ZONE | FILTER_BANK},
  {"ReadUnchecked", FILTER_IC | FILTER_ZONE | FILTER_BANK},
};
static_assert(sizeof(OPS) / sizeof(OPS[0]) == static_cast<UINTN>(SIM_OP::Count),
              "one entry per operation");

struct STATUS_NAME {
  const char *Name;
  EFI_STATUS  Status;
};

constexpr STATUS_NAME STATUS_NAMES[] = {
  {"DEVICE_ERROR", EFI_DEVICE_ERROR},
  {"NOT_FOUND", EFI_NOT_FOUND},
  {"UNSUPPORTED", EFI_UNSUPPORTED},
  {"TIMEOUT", EFI_TIMEOUT},
  {"ACCESS_DENIED", EFI_ACCESS_DENIED},
  {"WRITE_PROTECTED", EFI_WRITE_PROTECTED},
  {"NOT_READY", EFI_NOT_READY},
  {"INVALID_PARAMETER", EFI_INVALID_PARAMETER},
  {"BAD_BUFFER_SIZE", EFI_BAD_BUFFER_SIZE},
  {"OUT_OF_RESOURCES", EFI_OUT_OF_RESOURCES},
  {"VOLUME_CORRUPTED", EFI_VOLUME_CORRUPTED},
  {"CRC_ERROR", EFI_CRC_ERROR},
  {"ABORTED", EFI_ABORTED},
  {"LOAD_ERROR", EFI_LOAD_ERROR},
};

constexpr EFI_STATUS ERROR_BIT = 0x8000000000000000ULL;

bool ParseStatus(TEXT_SPAN Value, EFI_STATUS *Status) {
  for (const STATUS_NAME &Entry : STATUS_NAMES) {
    if (SpanEqualsNoCase(Value, Entry.Name)) {
      *Status = Entry.Status;
      return true;
    }
  }
  UINT64 Number = 0;
  if (!ParseUint64(Value, &Number) || (Number & ~ERROR_BIT) == 0) {
    return false;
  }
  // A fault must fail: a plain code gets the error bit.
  *Status = Number | ERROR_BIT;
  return true;
}

bool ParseZone(TEXT_SPAN Value, INT32 *Zone) {
  if (SpanEqualsNoCase(Value, "ocm") || SpanEqualsNoCase(Value, "1")) {
    *Zone = 1;
  } else if (SpanEqualsNoCase(Value, "customer") || SpanEqualsNoCase(Value, "2")) {
    *Zone = 2;
  } else {
    return false;
  }
  return true;
}

bool ParsePart(TEXT_SPAN Value, CUT_PART *Part) {
  if (SpanEqualsNoCase(Value, "none")) {
    *Part = CUT_PART::None;
  } else if (SpanEqualsNoCase(Value, "half")) {
    *Part = CUT_PART::Half;
  } else if (SpanEqualsNoCase(Value, "all")) {
    *Part = CUT_PART::All;
  } else {
    return false;
  }
  return true;
}

bool Matches(INT32 Filter, INT32 Value) { return Filter == FAULT_ANY || Filter == Value; }

}  // namespace

const char *SimOpName(SIM_OP Op) {
  UINTN Index = static_cast<UINTN>(Op);
  return Index < static_cast<UINTN>(SIM_OP::Count) ? OPS[Index].Name : "?";
}

EFI_STATUS ParseFaultRules(const char *Text, UINTN Length, FAULT_RULES *Rules, TEXT_ERROR *Error) {
  Rules->Count = 0;
  UINTN Pos = 0;
  UINT32 LineNumber = 0;
  TEXT_SPAN Line;
  while (NextLine(Text, Length, &Pos, &Line)) {
    LineNumber++;
    TEXT_SPAN Rest = StripComment(Line);
    TEXT_SPAN Token;
    if (!NextToken(&Rest, &Token)) {
      continue;
    }
    UINTN OpIndex = 0;
    while (OpIndex < static_cast<UINTN>(SIM_OP::Count) && !SpanEqualsNoCase(Token, OPS[OpIndex].Name)) {
      OpIndex++;
    }
    if (OpIndex == static_cast<UINTN>(SIM_OP::Count)) {
      return Refuse(Error, LineNumber, "unknown operation");
    }
    if (Rules->Count == FAULT_MAX_RULES) {
      return Refuse(Error, LineNumber, "too many rules");
    }
    SIM_OP Op = static_cast<SIM_OP>(OpIndex);
    FAULT_RULE Rule{Op, FAULT_ANY, FAULT_ANY, FAULT_ANY, 0, 0, EFI_DEVICE_ERROR, 0x20, 0x01, 0,
                  0,  CUT_PART::All};
    bool HasValue = false;

    while (NextToken(&Rest, &Token)) {
      TEXT_SPAN Key;
      TEXT_SPAN Value;
      if (!SplitKeyValue(Token, &Key, &Value) || Value.Len == 0) {
        return Refuse(Error, LineNumber, "expected Name=Value");
      }
      UINT64 Number = 0;
      UINT8 Filters = OPS[OpIndex].Filters;
      if (SpanEqualsNoCase(Key, "Ic")) {
        if (!(Filters & FILTER_IC)) {
          return Refuse(Error, LineNumber, "Ic= does not apply to this operation");
        }
        if (!ParseUint64(Value, &Number) || Number > 255) {
          return Refuse(Error, LineNumber, "bad Ic");
        }
        Rule.Ic = static_cast<INT32>(Number);
      } else if (SpanEqualsNoCase(Key, "Zone")) {
        if (!(Filters & FILTER_ZONE)) {
          return Refuse(Error, LineNumber, "Zone= does not apply to this operation");
        }
        if (!ParseZone(Value, &Rule.Zone)) {
          return Refuse(Error, LineNumber, "bad Zone");
        }
      } else if (SpanEqualsNoCase(Key, "Bank")) {
        if (!(Filters & FILTER_BANK)) {
          return Refuse(Error, LineNumber, "Bank= does not apply to this operation");
        }
        if (!ParseUint64(Value, &Number) || Number > 255) {
          return Refuse(Error, LineNumber, "bad Bank");
        }
        Rule.Bank = static_cast<INT32>(Number);
      } else if (SpanEqualsNoCase(Key, "Call")) {
        if (Op == SIM_OP::PowerCut) {
          return Refuse(Error, LineNumber, "Call= does not apply to this operation");
        }
        if (!ParseUint64(Value, &Number) || Number == 0 || Number > 0xFFFFFFFFu) {
          return Refuse(Error, LineNumber, "bad Call");
        }
        Rule.Call = static_cast<UINT32>(Number);
      } else if (SpanEqualsNoCase(Key, "Status")) {
        // Only the operations themselves fail; the rules after them change
        // what an operation does.
        if (Op == SIM_OP::GetIcAddress || Op > SIM_OP::PathDeinit) {
          return Refuse(Error, LineNumber, "Status= does not apply to this operation");
        }
        if (!ParseStatus(Value, &Rule.Status)) {
          return Refuse(Error, LineNumber, "bad Status");
        }
      } else if (SpanEqualsNoCase(Key, "Offset")) {
        if (Op != SIM_OP::CorruptRead || !ParseUint64(Value, &Number) || Number > 0xFFFFFFFFu) {
          return Refuse(Error, LineNumber, "bad Offset");
        }
        Rule.Offset = static_cast<UINT32>(Number);
      } else if (SpanEqualsNoCase(Key, "Xor")) {
        if (Op != SIM_OP::CorruptRead || !ParseUint64(Value, &Number) || Number == 0 || Number > 0xFF) {
          return Refuse(Error, LineNumber, "bad Xor");
        }
        Rule.Xor = static_cast<UINT8>(Number);
      } else if (SpanEqualsNoCase(Key, "Value")) {
        if (Op != SIM_OP::GetIcAddress || !ParseUint64(Value, &Number) || Number > 0xFF) {
          return Refuse(Error, LineNumber, "bad Value");
        }
        Rule.Value = static_cast<UINT8>(Number);
        HasValue = true;
      } else if (SpanEqualsNoCase(Key, "After")) {
        if (Op != SIM_OP::PowerCut || !ParseUint64(Value, &Number) || Number == 0 ||
            Number > 0xFFFFFFFFu) {
          return Refuse(Error, LineNumber, "bad After");
        }
        Rule.After = static_cast<UINT32>(Number);
      } else if (SpanEqualsNoCase(Key, "Part")) {
        if (Op != SIM_OP::PowerCut || !ParsePart(Value, &Rule.Part)) {
          return Refuse(Error, LineNumber, "bad Part");
        }
      } else {
        return Refuse(Error, LineNumber, "unknown Name=Value");
      }
    }
    if (Op == SIM_OP::GetIcAddress && !HasValue) {
      return Refuse(Error, LineNumber, "GetIcAddress needs Value=");
    }
    if (Op == SIM_OP::PowerCut && Rule.After == 0) {
      return Refuse(Error, LineNumber, "PowerCut needs After=");
    }
    if (Op == SIM_OP::PowerCut && FaultPowerCut(Rules) != nullptr) {
      return Refuse(Error, LineNumber, "only one PowerCut rule");
    }
    Rules->Rule[Rules->Count++] = Rule;
  }
  return EFI_SUCCESS;
}

const FAULT_RULE *FaultPowerCut(const FAULT_RULES *Rules) {
  for (UINTN Index = 0; Index < Rules->Count; Index++) {
    if (Rules->Rule[Index].Op == SIM_OP::PowerCut) {
      return &Rules->Rule[Index];
    }
  }
  return nullptr;
}

const FAULT_RULE *FaultHit(FAULT_RULES *Rules, SIM_OP Op, INT32 Ic, INT32 Zone, INT32 Bank) {
  const FAULT_RULE *Hit = nullptr;
  for (UINTN Index = 0; Index < Rules->Count; Index++) {
    FAULT_RULE &Rule = Rules->Rule[Index];
    if (Rule.Op != Op || !Matches(Rule.Ic, Ic) || !Matches(Rule.Zone, Zone) || !Matches(Rule.Bank, Bank)) {
      continue;
    }
    Rule.Seen++;
    if (Hit == nullptr && (Rule.Call == 0 || Rule.Call == Rule.Seen)) {
      Hit = &Rule;
    }
  }
  return Hit;
}
