/** @file
  The command line: chip indices 0 to 9 and the options -a, -c, -cb, -d, -f,
  -o and -r, letters in either case.
**/

#include "CommandLine.h"

#include "RunState.h"

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

constexpr bool IsHexDigit(CHAR16 C) {
  return (C >= u'0' && C <= u'9') || (C >= u'a' && C <= u'f') || (C >= u'A' && C <= u'F');
}

/// Stores Value as the whole content of one half of OverridePaths. A value
/// over 64 characters is refused rather than cut, so the file named is always
/// the file used.
bool StoreOverride(CHAR16 *Half, const CHAR16 *Value) {
  UINTN Length = StrLen(Value);
  if (Length > OVERRIDE_MAX_CHARS) {
    Print(u"Argument %s is too long: at most 64 characters\n"_w, Value);
    return false;
  }
  // A later value replaces an earlier one completely.
  gOrvBootServices->SetMem(Half, OVERRIDE_HALF_LENGTH * sizeof(CHAR16), 0);
  gOrvBootServices->CopyMem(Half, const_cast<CHAR16 *>(Value), Length * sizeof(CHAR16));
  return true;
}

/// The value that follows an option, or null (with a message) when the
/// option stands last.
const CHAR16 *TakeValue(UINTN Argc, CHAR16 **Argv, UINTN *Position) {
  const CHAR16 *Option = Argv[*Position];
  if (*Position + 1 >= Argc) {
    Print(u"Option %s needs a value\n"_w, Option);
    return nullptr;
  }
  *Position += 1;
  return Argv[*Position];
}

/// -d takes one or two hexadecimal digits naming a nonzero bus address.
bool ParseDeviceAddress(const CHAR16 *Value, UINT64 *DeviceAddress) {
  UINTN Length = StrLen(Value);
  bool Valid = Length >= 1 && Length <= 2;
  for (UINTN Index = 0; Valid && Index < Length; Index++) {
    Valid = IsHexDigit(Value[Index]);
  }
  UINT64 Address = Valid ? HexTextToValue(Value, 2) : 0;
  if (Address == 0) {
    Print(u"Invalid -d address %s: expected 1 or 2 hex digits, not 0\n"_w, Value);
    return false;
  }
  *DeviceAddress = Address;
  return true;
}

}  // namespace

UINT64 HexTextToValue(const CHAR16 *Text, UINT8 MaxDigits) {
  UINT64 Value = 0;
  for (UINT16 Index = 0; Index < MaxDigits; Index++) {
    CHAR16 C = Text[Index];
    UINT64 Digit = 0;
    if (C >= 0x30 && C <= 0x39) {
      Digit = C - 0x30;
    } else if (C >= 0x41 && C <= 0x46) {
      Digit = C - 0x37;
    } else if (C >= 0x61 && C <= 0x66) {
      Digit = C - 0x57;
    } else {
      break;
    }
    // The character is tested before the shift, so no digit already read is
    // pushed out by the one that ends the number.
    Value = (Value << 4) | Digit;
  }
  return Value;
}

BOOLEAN ParseCommandLine(UINTN Argc, CHAR16 **Argv, UINT64 *ChipMask, UINT64 *DeviceAddress) {
  if (Argc < 2) {
    PrintUsage();
    return TRUE;
  }

  for (UINTN Position = 1; Position < Argc; Position++) {
    const CHAR16 *Argument = Argv[Position];

    if (Argument[0] >= u'0' && Argument[0] <= u'9') {
      // Only a single digit names an IC: "12" must not quietly mean IC 1.
      if (Argument[1] != 0) {
        Print(u"Invalid chip index %s: expected one digit 0-9\n"_w, Argument);
        return FALSE;
      }
      *ChipMask |= 1ull << (Argument[0] - u'0');
      continue;
    }
    if (Argument[0] != u'-') {
      continue;
    }

    const CHAR16 *Value = nullptr;
    switch (ToLower(Argument[1])) {
      case u'a':
        *ChipMask = ALL_CHIPS_MASK;
        break;
      case u'c':
        if (ToLower(Argument[2]) == u'b') {
          RUN_FLAGS |= RUN_FLAG_INCLUDE_CUSTOMER_BKP;
          break;
        }
        Value = TakeValue(Argc, Argv, &Position);
        if (Value == nullptr || !StoreOverride(CustomerOverridePath(), Value)) {
          return FALSE;
        }
        break;
      case u'd':
        Value = TakeValue(Argc, Argv, &Position);
        if (Value == nullptr || !ParseDeviceAddress(Value, DeviceAddress)) {
          return FALSE;
        }
        break;
      case u'f':
        RUN_FLAGS |= RUN_FLAG_FORCE_UPDATE;
        break;
      case u'o':
        Value = TakeValue(Argc, Argv, &Position);
        if (Value == nullptr || !StoreOverride(OcmOverridePath(), Value)) {
          return FALSE;
        }
        break;
      case u'r':
        Position++;
        if (Position < Argc && !StoreOverride(OcmOverridePath(), Argv[Position])) {
          return FALSE;
        }
        Position++;
        if (Position >= Argc) {
          Print(u"-r read process need set addr and length!\n"_w);
          return FALSE;
        }
        if (!StoreOverride(CustomerOverridePath(), Argv[Position])) {
          return FALSE;
        }
        RUN_FLAGS |= RUN_FLAG_READ_MODE;
        break;
      default:
        break;
    }
  }
  return TRUE;
}
