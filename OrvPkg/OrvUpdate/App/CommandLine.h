/** @file
  The command line: chip indices and options into the run's selection.
**/

#ifndef ORV_COMMAND_LINE_H_
#define ORV_COMMAND_LINE_H_

#include "OrvEfi.h"

/// Why a command line was refused; NONE when it was accepted.
enum class COMMAND_LINE_ERROR : UINT8 {
  NONE,
  BAD_CHIP_INDEX,     ///< a digit-led argument of more than one character
  MISSING_VALUE,      ///< -o, -c or -d stands last
  BAD_ADDRESS,        ///< a -d value that is not 1 or 2 hex digits, or 0
  TOO_LONG,           ///< a value of more than 64 characters
  READ_NEEDS_LENGTH,  ///< -r without its length value
};

/**
  A parsed command line, before anything is applied to the run. Texts point
  into the argument list and live as long as it does.
**/
struct COMMAND_LINE {
  UINT64 ChipMask;              ///< bit n selects IC n
  UINT64 DeviceAddress;         ///< -d bus address; 0 when none
  UINT32 RunFlags;              ///< RUN_FLAG_* bits set by -f, -cb and -r
  const CHAR16 *OcmText;        ///< -o file name or -r address; null when none
  const CHAR16 *CustomerText;   ///< -c file name or -r length; null when none
  BOOLEAN Verify;               ///< -v (used by OrvInfo.efi only)
  BOOLEAN Write;                ///< -w (used by OrvCheck.efi only)
  BOOLEAN Switch;               ///< -s (used by OrvCheck.efi only)
  COMMAND_LINE_ERROR Error;     ///< the first refusal; the scan stopped there
  const CHAR16 *ErrorArgument;  ///< the argument the refusal names
};

/**
  Parse the argument list into a value. Touches no run state, calls no
  firmware service and prints nothing, so it runs anywhere.

  Arguments: a single digit selects that IC; an option is a minus sign and a
  letter of the option table (either case; only the letter counts, and for
  -cb the letter after it); anything else is ignored. Values an option takes
  are consumed and never examined as digits or options. The scan stops at the
  first refusal; what was parsed before it stays in the value.

  @param[in] Argc  Number of arguments, the command itself included.
  @param[in] Argv  The arguments; Argv[0] is never examined.

  @return The parsed command line; Error says whether it was refused.
**/
[[nodiscard]] COMMAND_LINE ParseArguments(UINTN Argc, CHAR16 *const *Argv);

/**
  Apply a parsed command line to the run: the chip mask, the -d address, the
  run flags and the override texts in OverridePaths (a value replaces the
  whole half). A refused command line is applied as far as it was parsed,
  then its one-line message is printed.

  @param[in]     Line           The parsed command line.
  @param[in,out] ChipMask       Receives the selected ICs (ORed in).
  @param[in,out] DeviceAddress  Receives the -d address when one was given.

  @retval TRUE   The run goes on.
  @retval FALSE  The command line was refused; its message is printed.
**/
[[nodiscard]] BOOLEAN ApplyCommandLine(const COMMAND_LINE &Line, UINT64 *ChipMask,
                                       UINT64 *DeviceAddress);

/**
  Turn the shell's argument list into the chip mask, the -d address, the run
  flags and the override texts. With no arguments, print the usage text.

  Arguments that would select a chip or a file other than the one the operator
  named (a multi-character chip index, a bad -d address, an option without its
  value, a value over 64 characters) are refused with one line naming them.
  This is ParseArguments followed by ApplyCommandLine, with the usage text
  for an empty command line.

  @param[in]  Argc           Number of arguments, the command itself included.
  @param[in]  Argv           The arguments; Argv[0] is never examined.
  @param[out] ChipMask       Bit n selects IC n.
  @param[out] DeviceAddress  Bus address given with -d; 0 when none.

  @retval TRUE   The run goes on (also after the usage text).
  @retval FALSE  The command line was refused and its message printed; the
                 run ends before anything is loaded.
**/
[[nodiscard]] BOOLEAN ParseCommandLine(UINTN Argc, CHAR16 **Argv, UINT64 *ChipMask,
                                       UINT64 *DeviceAddress);

/**
  Value of the leading hexadecimal characters of Text, at most MaxDigits of
  them. No prefix, sign or blank handling: the first other character (the
  terminator included) ends the number.
**/
[[nodiscard]] UINT64 HexTextToValue(const CHAR16 *Text, UINT8 MaxDigits);

#endif
