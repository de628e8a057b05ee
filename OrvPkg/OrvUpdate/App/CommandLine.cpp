/** @file
  The command line: chip indices 0 to 9 and the options -a, -c, -cb, -d, -f,
  -o and -r, letters in either case.
**/

#include "CommandLine.h"

#include "RunState.h"

#include <OrvBase/HexText.h>

namespace {

constexpr const char16_t *USAGE_LINES[] = {
    u"Usage:\n",
    u"  Edit \"OrvUpdateComponent\\OrvUpdateSettings.ini\" for images,\n",
    u"         See ini for detail about updating single image\n",
    u"         And the tap commands for select chip to do update\n",
    u"Command: \n",
    u"  OrvUpdate.efi <id (0:chip0, 1:chip1...)> <para1> <para2>...\n",
    u"Para and Example: \n",
    u"  \"OrvUpdate.efi 0 1\"        update chip0&chip1 using settings file defined image\n",
    u"  \"OrvUpdate.efi -a\"         update all chips\n",
    u"  \"OrvUpdate.efi 2 -f\"       update chip2 ignore verision\n",
    u"  \"OrvUpdate.efi 2 -o a.hex\" update with a.hex as OCM image\n",
    u"  \"OrvUpdate.efi 2 -c b.hex\" update with b.hex as customer zone image\n",
    u"  \"OrvUpdate.efi 2 -cb\"      update including customer define backup zone\n",
    u"  \"OrvUpdate.efi -d addr\"    specify the IC with addr to update (.nsh function)\n",
    u"\n",
};

/// ChipMask value of -a: ICs 0 to 31.
constexpr UINT64 ALL_CHIPS_MASK = 0xFFFFFFFFull;

void PrintUsage() {
  for (const char16_t *Line : USAGE_LINES) {
    Print(reinterpret_cast<const CHAR16 *>(Line));
  }
}

constexpr CHAR16 ToLower(CHAR16 C) {
  return (C >= u'A' && C <= u'Z') ? static_cast<CHAR16>(C + (u'a' - u'A')) : C;
}

/// What an option does.
enum class OPTION_ACTION : UINT8 {
  SELECT_ALL,
  CUSTOMER_BACKUP,
  CUSTOMER_FILE,
  DEVICE_ADDRESS,
  FORCE,
  OCM_FILE,
  READ,
  VERIFY,
  WRITE_CHECKS,
  SWITCH_CHECK,
};

/// One option: its letter, the letter that must follow it (0: any), what it
/// does and how many values it takes.
struct OPTION {
  CHAR16 Letter;
  CHAR16 Second;
  OPTION_ACTION Action;
  UINT8 Values;
};

/// Letters are matched in lower case; the first row that fits is taken, so
/// -cb comes before -c FILE.
constexpr OPTION OPTIONS[] = {
    {u'a', 0, OPTION_ACTION::SELECT_ALL, 0},
    {u'c', u'b', OPTION_ACTION::CUSTOMER_BACKUP, 0},
    {u'c', 0, OPTION_ACTION::CUSTOMER_FILE, 1},
    {u'd', 0, OPTION_ACTION::DEVICE_ADDRESS, 1},
    {u'f', 0, OPTION_ACTION::FORCE, 0},
    {u'o', 0, OPTION_ACTION::OCM_FILE, 1},
    {u'r', 0, OPTION_ACTION::READ, 2},
    {u's', 0, OPTION_ACTION::SWITCH_CHECK, 0},
    {u'v', 0, OPTION_ACTION::VERIFY, 0},
    {u'w', 0, OPTION_ACTION::WRITE_CHECKS, 0},
};

/// The option row for the letter after the minus sign and the one after it
/// (0 when the letter ends the argument), or null for no option.
constexpr const OPTION *FindOption(CHAR16 Letter, CHAR16 Next) {
  for (const OPTION &Option : OPTIONS) {
    if (Option.Letter == ToLower(Letter) &&
        (Option.Second == 0 || Option.Second == ToLower(Next))) {
      return &Option;
    }
  }
  return nullptr;
}

static_assert(FindOption(u'C', u'B')->Action == OPTION_ACTION::CUSTOMER_BACKUP);
static_assert(FindOption(u'c', u'x')->Action == OPTION_ACTION::CUSTOMER_FILE);
static_assert(FindOption(u'c', 0)->Action == OPTION_ACTION::CUSTOMER_FILE);
static_assert(FindOption(0, 0) == nullptr);
static_assert(FindOption(u'x', 0) == nullptr);

/// Records a refusal; the scan stops at it.
void Refuse(COMMAND_LINE *Line, COMMAND_LINE_ERROR Error, const CHAR16 *Argument) {
  Line->Error = Error;
  Line->ErrorArgument = Argument;
}

/// A value stored in a half of OverridePaths: at most 64 characters, so the
/// file named is always the file used.
bool CheckLength(COMMAND_LINE *Line, const CHAR16 *Value) {
  if (StrLen(Value) > OVERRIDE_MAX_CHARS) {
    Refuse(Line, COMMAND_LINE_ERROR::TOO_LONG, Value);
    return false;
  }
  return true;
}

/// -d takes one or two hexadecimal digits naming a nonzero bus address.
bool ParseDeviceAddress(const CHAR16 *Value, UINT64 *DeviceAddress) {
  UINTN Length = StrLen(Value);
  bool Valid = Length >= 1 && Length <= 2;
  for (UINTN Index = 0; Valid && Index < Length; Index++) {
    Valid = HexDigitValue(Value[Index]) >= 0;
  }
  UINT64 Address = Valid ? HexTextToValue(Value, 2) : 0;
  if (Address == 0) {
    return false;
  }
  *DeviceAddress = Address;
  return true;
}

/// -r at Argv[*Position], consuming its address and length. The address is
/// optional for the scan; a missing length ends it.
/// @return false when the option was refused.
bool ParseReadOption(UINTN Argc, CHAR16 *const *Argv, UINTN *Position, COMMAND_LINE *Line) {
  const CHAR16 *Argument = Argv[*Position];
  *Position += 1;
  if (*Position < Argc) {
    if (!CheckLength(Line, Argv[*Position])) {
      return false;
    }
    Line->OcmText = Argv[*Position];
  }
  *Position += 1;
  if (*Position >= Argc) {
    Refuse(Line, COMMAND_LINE_ERROR::READ_NEEDS_LENGTH, Argument);
    return false;
  }
  if (!CheckLength(Line, Argv[*Position])) {
    return false;
  }
  Line->CustomerText = Argv[*Position];
  Line->RunFlags |= RUN_FLAG_READ_MODE;
  return true;
}

/// Acts on one option at Argv[*Position], consuming its values.
/// @return false when the option was refused.
bool ParseOption(const OPTION &Option, UINTN Argc, CHAR16 *const *Argv, UINTN *Position,
                 COMMAND_LINE *Line) {
  if (Option.Action == OPTION_ACTION::READ) {
    return ParseReadOption(Argc, Argv, Position, Line);
  }
  const CHAR16 *Argument = Argv[*Position];
  const CHAR16 *Value = nullptr;
  if (Option.Values == 1) {
    if (*Position + 1 >= Argc) {
      Refuse(Line, COMMAND_LINE_ERROR::MISSING_VALUE, Argument);
      return false;
    }
    *Position += 1;
    Value = Argv[*Position];
  }

  switch (Option.Action) {
    case OPTION_ACTION::SELECT_ALL:
      Line->ChipMask = ALL_CHIPS_MASK;
      return true;
    case OPTION_ACTION::CUSTOMER_BACKUP:
      Line->RunFlags |= RUN_FLAG_INCLUDE_CUSTOMER_BKP;
      return true;
    case OPTION_ACTION::CUSTOMER_FILE:
      if (!CheckLength(Line, Value)) {
        return false;
      }
      Line->CustomerText = Value;
      return true;
    case OPTION_ACTION::DEVICE_ADDRESS:
      if (!ParseDeviceAddress(Value, &Line->DeviceAddress)) {
        Refuse(Line, COMMAND_LINE_ERROR::BAD_ADDRESS, Value);
        return false;
      }
      return true;
    case OPTION_ACTION::FORCE:
      Line->RunFlags |= RUN_FLAG_FORCE_UPDATE;
      return true;
    case OPTION_ACTION::OCM_FILE:
      if (!CheckLength(Line, Value)) {
        return false;
      }
      Line->OcmText = Value;
      return true;
    case OPTION_ACTION::VERIFY:
      Line->Verify = TRUE;
      return true;
    case OPTION_ACTION::WRITE_CHECKS:
      Line->Write = TRUE;
      return true;
    case OPTION_ACTION::SWITCH_CHECK:
      Line->Switch = TRUE;
      return true;
    case OPTION_ACTION::READ:
      break;
  }
  return true;
}

/// Stores Value as the whole content of one half of OverridePaths; a later
/// value replaces an earlier one completely.
void StoreOverride(CHAR16 *Half, const CHAR16 *Value) {
  gOrvBootServices->SetMem(Half, OVERRIDE_HALF_LENGTH * sizeof(CHAR16), 0);
  gOrvBootServices->CopyMem(Half, const_cast<CHAR16 *>(Value), StrLen(Value) * sizeof(CHAR16));
}

}  // namespace

UINT64 HexTextToValue(const CHAR16 *Text, UINT8 MaxDigits) {
  // Each character is tested before the shift, so no digit already read is
  // pushed out by the one that ends the number.
  UINT64 Value = 0;
  (void)HexDigitsToValue(Text, MaxDigits, &Value);
  return Value;
}

COMMAND_LINE ParseArguments(UINTN Argc, CHAR16 *const *Argv) {
  COMMAND_LINE Line{};
  for (UINTN Position = 1; Position < Argc; Position++) {
    const CHAR16 *Argument = Argv[Position];

    if (Argument[0] >= u'0' && Argument[0] <= u'9') {
      // Only a single digit names an IC: "12" must not quietly mean IC 1.
      if (Argument[1] != 0) {
        Refuse(&Line, COMMAND_LINE_ERROR::BAD_CHIP_INDEX, Argument);
        return Line;
      }
      Line.ChipMask |= 1ull << (Argument[0] - u'0');
      continue;
    }
    if (Argument[0] != u'-') {
      continue;
    }
    // Argument[2] exists only when Argument[1] is not the end of the text.
    const OPTION *Option = FindOption(Argument[1], Argument[1] != 0 ? Argument[2] : 0);
    if (Option != nullptr && !ParseOption(*Option, Argc, Argv, &Position, &Line)) {
      return Line;
    }
  }
  return Line;
}

BOOLEAN ApplyCommandLine(const COMMAND_LINE &Line, UINT64 *ChipMask, UINT64 *DeviceAddress) {
  *ChipMask |= Line.ChipMask;
  if (Line.DeviceAddress != 0) {
    *DeviceAddress = Line.DeviceAddress;
  }
  RUN_FLAGS |= Line.RunFlags;
  if (Line.OcmText != nullptr) {
    StoreOverride(OcmOverridePath(), Line.OcmText);
  }
  if (Line.CustomerText != nullptr) {
    StoreOverride(CustomerOverridePath(), Line.CustomerText);
  }

  const CHAR16 *Argument = Line.ErrorArgument;
  switch (Line.Error) {
    case COMMAND_LINE_ERROR::NONE:
      return TRUE;
    case COMMAND_LINE_ERROR::BAD_CHIP_INDEX:
      Print(u"Invalid chip index %s: expected one digit 0-9\n"_w, Argument);
      break;
    case COMMAND_LINE_ERROR::MISSING_VALUE:
      Print(u"Option %s needs a value\n"_w, Argument);
      break;
    case COMMAND_LINE_ERROR::BAD_ADDRESS:
      Print(u"Invalid -d address %s: expected 1 or 2 hex digits, not 0\n"_w, Argument);
      break;
    case COMMAND_LINE_ERROR::TOO_LONG:
      Print(u"Argument %s is too long: at most 64 characters\n"_w, Argument);
      break;
    case COMMAND_LINE_ERROR::READ_NEEDS_LENGTH:
      Print(u"-r read process need set addr and length!\n"_w);
      break;
  }
  return FALSE;
}

BOOLEAN ParseCommandLine(UINTN Argc, CHAR16 **Argv, UINT64 *ChipMask, UINT64 *DeviceAddress) {
  if (Argc < 2) {
    PrintUsage();
    return TRUE;
  }
  return ApplyCommandLine(ParseArguments(Argc, Argv), ChipMask, DeviceAddress);
}
