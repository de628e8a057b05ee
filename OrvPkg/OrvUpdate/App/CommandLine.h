/** @file
  The command line: chip indices and options into the run's selection.
**/

#ifndef ORV_COMMAND_LINE_H_
#define ORV_COMMAND_LINE_H_

#include "OrvEfi.h"

/**
  Turn the shell's argument list into the chip mask, the -d address, the run
  flags and the override texts. With no arguments, print the usage text.

  Arguments that would select a chip or a file other than the one the operator
  named (a multi-character chip index, a bad -d address, an option without its
  value, a value over 64 characters) are refused with one line naming them.

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
