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
  {"CheckImageAcceptance", FILTER_IC | FILTER_ZONE},
  {"GetIcSecurity", FILTER_IC},
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
  {"SignatureIgnored", FILTER_IC | FILTER_ZONE},
  {"ZoneIgnored", FILTER_IC | FILTER_ZONE},
  {"ProductIgnored", FILTER_IC | FILTER_ZONE},
  {"FloorIgnored", FILTER_IC},
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

/// A rule being read, and whether its line gave Value=.
struct RULE_READER {
  FAULT_RULE Rule;
  bool       HasValue;
};

using RULE_VALUE = VALUE_RULE<RULE_READER>;

/// A Name=Value of a rule line: the operations it applies to, what a line
/// of another operation is refused with (Reason when NULL), the reason a bad
/// value is refused with, and how the value is taken.
struct RULE_KEY {
  const char *Name;
  UINT64      Ops;
  const char *NotApplicable;
  const char *Reason;
  RULE_VALUE  Value;
};

constexpr UINT64 OpBit(SIM_OP Op) { return 1ull << static_cast<UINT32>(Op); }

constexpr UINT64 ALL_OPS = OpBit(SIM_OP::Count) - 1;
static_assert(static_cast<UINT32>(SIM_OP::Count) < 64, "an operation set fits 64 bits");

/// The operations whose calls have the argument a filter matches.
constexpr UINT64 OpsWithFilter(UINT8 Filter) {
  UINT64 Ops = 0;
  for (UINT32 Index = 0; Index < static_cast<UINT32>(SIM_OP::Count); Index++) {
    if ((OPS[Index].Filters & Filter) != 0) {
      Ops |= 1ull << Index;
    }
  }
  return Ops;
}

template <typename T, T FAULT_RULE::*FIELD>
void SetField(RULE_READER *Reader, UINT64 Number) {
  Reader->Rule.*FIELD = static_cast<T>(Number);
}

void SetAddressValue(RULE_READER *Reader, UINT64 Number) {
  Reader->Rule.Value = static_cast<UINT8>(Number);
  Reader->HasValue = true;
}

bool SetStatus(RULE_READER *Reader, TEXT_SPAN Value) {
  if (const STATUS_NAME *Entry = FindByName(STATUS_NAMES, Value)) {
    Reader->Rule.Status = Entry->Status;
    return true;
  }
  UINT64 Number = 0;
  if (!ParseUint64(Value, &Number) || (Number & ~ERROR_BIT) == 0) {
    return false;
  }
  // A fault must fail: a plain code gets the error bit.
  Reader->Rule.Status = Number | ERROR_BIT;
  return true;
}

bool SetZone(RULE_READER *Reader, TEXT_SPAN Value) {
  if (SpanEqualsNoCase(Value, "ocm") || SpanEqualsNoCase(Value, "1")) {
    Reader->Rule.Zone = 1;
  } else if (SpanEqualsNoCase(Value, "customer") || SpanEqualsNoCase(Value, "2")) {
    Reader->Rule.Zone = 2;
  } else {
    return false;
  }
  return true;
}

bool SetPart(RULE_READER *Reader, TEXT_SPAN Value) {
  if (SpanEqualsNoCase(Value, "none")) {
    Reader->Rule.Part = CUT_PART::None;
  } else if (SpanEqualsNoCase(Value, "half")) {
    Reader->Rule.Part = CUT_PART::Half;
  } else if (SpanEqualsNoCase(Value, "all")) {
    Reader->Rule.Part = CUT_PART::All;
  } else {
    return false;
  }
  return true;
}

constexpr UINT64 MAX_UINT32 = 0xFFFFFFFFu;
/// The misbehaviours: every operation from LockIgnored on.
constexpr UINT64 MISBEHAVIOUR_OPS = ALL_OPS & ~(OpBit(SIM_OP::LockIgnored) - 1);
/// Rules that change what an operation does instead of failing it.
constexpr UINT64 NO_STATUS_OPS = OpBit(SIM_OP::CorruptRead) | OpBit(SIM_OP::CheckZero) |
                                 OpBit(SIM_OP::GetIcAddress) | OpBit(SIM_OP::PowerCut) |
                                 MISBEHAVIOUR_OPS;

constexpr RULE_KEY RULE_KEYS[] = {
  {"Ic", OpsWithFilter(FILTER_IC), "Ic= does not apply to this operation", "bad Ic",
   RULE_VALUE::Number(0, 255, SetField<INT32, &FAULT_RULE::Ic>)},
  {"Zone", OpsWithFilter(FILTER_ZONE), "Zone= does not apply to this operation", "bad Zone",
   RULE_VALUE::Text(SetZone)},
  {"Bank", OpsWithFilter(FILTER_BANK), "Bank= does not apply to this operation", "bad Bank",
   RULE_VALUE::Number(0, 255, SetField<INT32, &FAULT_RULE::Bank>)},
  {"Call", ALL_OPS & ~OpBit(SIM_OP::PowerCut), "Call= does not apply to this operation", "bad Call",
   RULE_VALUE::Number(1, MAX_UINT32, SetField<UINT32, &FAULT_RULE::Call>)},
  {"Status", ALL_OPS & ~NO_STATUS_OPS, "Status= does not apply to this operation", "bad Status",
   RULE_VALUE::Text(SetStatus)},
  {"Offset", OpBit(SIM_OP::CorruptRead), nullptr, "bad Offset",
   RULE_VALUE::Number(0, MAX_UINT32, SetField<UINT32, &FAULT_RULE::Offset>)},
  {"Xor", OpBit(SIM_OP::CorruptRead), nullptr, "bad Xor",
   RULE_VALUE::Number(1, 0xFF, SetField<UINT8, &FAULT_RULE::Xor>)},
  {"Value", OpBit(SIM_OP::GetIcAddress), nullptr, "bad Value", RULE_VALUE::Number(0, 0xFF, SetAddressValue)},
  {"After", OpBit(SIM_OP::PowerCut), nullptr, "bad After",
   RULE_VALUE::Number(1, MAX_UINT32, SetField<UINT32, &FAULT_RULE::After>)},
  {"Part", OpBit(SIM_OP::PowerCut), nullptr, "bad Part", RULE_VALUE::Text(SetPart)},
};

// One Name=Value of a rule line.
EFI_STATUS ReadRuleValue(TEXT_SPAN Token, RULE_READER *Reader, UINT32 LineNumber, TEXT_ERROR *Error) {
  TEXT_SPAN Name;
  TEXT_SPAN Value;
  if (!SplitKeyValue(Token, &Name, &Value) || Value.Len == 0) {
    return Refuse(Error, LineNumber, "expected Name=Value");
  }
  const RULE_KEY *Key = FindByName(RULE_KEYS, Name);
  if (Key == nullptr) {
    return Refuse(Error, LineNumber, "unknown Name=Value");
  }
  if ((Key->Ops & OpBit(Reader->Rule.Op)) == 0) {
    return Refuse(Error, LineNumber, Key->NotApplicable != nullptr ? Key->NotApplicable : Key->Reason);
  }
  if (!ApplyValue(Key->Value, Value, Reader)) {
    return Refuse(Error, LineNumber, Key->Reason);
  }
  return EFI_SUCCESS;
}

// What a rule needs beyond its own values: Value= for GetIcAddress, After=
// and no other power cut for PowerCut.
EFI_STATUS CheckRuleComplete(const RULE_READER &Reader, const FAULT_RULES *Rules, UINT32 LineNumber,
                             TEXT_ERROR *Error) {
  const SIM_OP Op = Reader.Rule.Op;
  if (Op == SIM_OP::GetIcAddress && !Reader.HasValue) {
    return Refuse(Error, LineNumber, "GetIcAddress needs Value=");
  }
  if (Op == SIM_OP::PowerCut && Reader.Rule.After == 0) {
    return Refuse(Error, LineNumber, "PowerCut needs After=");
  }
  if (Op == SIM_OP::PowerCut && FaultPowerCut(Rules) != nullptr) {
    return Refuse(Error, LineNumber, "only one PowerCut rule");
  }
  return EFI_SUCCESS;
}

// "Operation Name=Value ...": one rule.
EFI_STATUS ReadRuleLine(TEXT_SPAN Rest, UINT32 LineNumber, FAULT_RULES *Rules, TEXT_ERROR *Error) {
  TEXT_SPAN Token{};
  (void)NextToken(&Rest, &Token);  // the line is not empty
  const OP_INFO *Op = FindByName(OPS, Token);
  if (Op == nullptr) {
    return Refuse(Error, LineNumber, "unknown operation");
  }
  if (Rules->Count == FAULT_MAX_RULES) {
    return Refuse(Error, LineNumber, "too many rules");
  }
  RULE_READER Reader{{static_cast<SIM_OP>(Op - OPS), FAULT_ANY, FAULT_ANY, FAULT_ANY, 0, 0, EFI_DEVICE_ERROR,
                      0x20, 0x01, 0, 0, CUT_PART::All},
                     false};
  while (NextToken(&Rest, &Token)) {
    EFI_STATUS Status = ReadRuleValue(Token, &Reader, LineNumber, Error);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  EFI_STATUS Status = CheckRuleComplete(Reader, Rules, LineNumber, Error);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Rules->Rule[Rules->Count++] = Reader.Rule;
  return EFI_SUCCESS;
}

bool Matches(INT32 Filter, INT32 Value) { return Filter == FAULT_ANY || Filter == Value; }

}  // namespace

const char *SimOpName(SIM_OP Op) {
  UINTN Index = static_cast<UINTN>(Op);
  return Index < static_cast<UINTN>(SIM_OP::Count) ? OPS[Index].Name : "?";
}

EFI_STATUS ParseFaultRules(const char *Text, UINTN Length, FAULT_RULES *Rules, TEXT_ERROR *Error) {
  Rules->Count = 0;
  return ForEachContentLine(Text, Length, [&](TEXT_SPAN Line, UINT32 LineNumber) {
    return ReadRuleLine(Line, LineNumber, Rules, Error);
  });
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
