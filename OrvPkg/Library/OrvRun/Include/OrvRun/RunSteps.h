/** @file
  The steps every Shell tool of the package takes around its IC loop, on the
  update module's run state: the banner, the start of a run (run state
  cleared, argument list from the shell), counting the ICs, the chip
  selection, the search for the IC at a -d address (with the "Available"
  list when none answers) and the report of selected ICs the board does not
  have. What a bound run gives back at its end is held by BoundRunGuard
  (ComponentGuards.h).
**/

#ifndef ORV_RUN_STEPS_H_
#define ORV_RUN_STEPS_H_

#include <OrvBase/Efi.h>

#include "CommandLine.h"

/// The tools' version, shown in each tool's banner as 00.01.0002.
constexpr UINT8 TOOL_VERSION_MAJOR = 0x00;
constexpr UINT8 TOOL_VERSION_MINOR = 0x01;
constexpr UINT16 TOOL_VERSION_BUILD = 0x0002;

/// Prints a tool's banner: Format takes the three version numbers.
void PrintBanner(const CHAR16 *Format);

/**
  The start of a run after its banner: the whole run state cleared
  (ResetRunState, with both halves of OverridePaths cleared through SetMem),
  the boot services table kept, and the argument list taken from the shell.
  Prints "Shell not supported" when neither shell protocol can be opened.

  @param[in]  ImageHandle  The application's image handle.
  @param[in]  SystemTable  The system table the application was started with.
  @param[out] Argc         Number of arguments, the command itself included.
  @param[out] Argv         The arguments.

  @retval EFI_SUCCESS      The arguments were found.
  @retval EFI_UNSUPPORTED  Neither shell protocol could be opened.
**/
[[nodiscard]] EFI_STATUS BeginRun(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                                  UINTN *Argc, CHAR16 ***Argv);

/// The command line of a tool beside OrvUpdate.efi, applied to the run.
struct TOOL_ARGUMENTS {
  COMMAND_LINE Line;
  UINT64 ChipMask;       ///< bit n selects IC n; 0: none selected
  UINT64 DeviceAddress;  ///< the -d address; 0 without -d
  BOOLEAN Help;          ///< -h was given: the usage text was printed, the run is over
};

/**
  The start of a run of a tool that takes OrvUpdate.efi's command line but
  has no read mode (OrvInfo.efi, OrvCheck.efi), after its banner: BeginRun,
  the command line parsed and applied (no usage text: without arguments the
  tool takes every IC), and -r refused with "<Tool> has no read mode (-r)",
  as the -r texts would be taken for zone image files.

  @param[in]  ImageHandle  The application's image handle.
  @param[in]  SystemTable  The system table the application was started with.
  @param[in]  Tool         The tool's file name, for the -r refusal.
  @param[out] Arguments    The command line and what it selects.

  @retval EFI_SUCCESS            The run goes on.
  @retval EFI_UNSUPPORTED        Neither shell protocol could be opened.
  @retval EFI_INVALID_PARAMETER  The command line was refused; its line is printed.
**/
[[nodiscard]] EFI_STATUS BeginToolRun(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                                      const CHAR16 *Tool, const CHAR16 *Usage, TOOL_ARGUMENTS *Arguments);

/**
  The argument list from the shell: the parameters protocol, or the older
  shell interface. The protocol stays open for the rest of the run.

  @param[in]  ImageHandle  The application's image handle.
  @param[out] Argc         Number of arguments, the command itself included.
  @param[out] Argv         The arguments.

  @retval EFI_SUCCESS  The arguments were found.
  @retval others       Neither shell protocol could be opened.
**/
[[nodiscard]] EFI_STATUS GetShellArguments(EFI_HANDLE ImageHandle, UINTN *Argc, CHAR16 ***Argv);

/**
  After a successful settings sequence: refuses -d when the flash component
  cannot report addresses ("Target Flash protocol not support -d yet").

  @param[in] DeviceAddress  The -d address, 0 without -d.

  @retval EFI_SUCCESS      No -d, or the flash component reports addresses.
  @retval EFI_UNSUPPORTED  -d was given and GetIcAddress is missing.
**/
[[nodiscard]] EFI_STATUS CheckAddressSupport(UINT64 DeviceAddress);

/**
  After a successful settings sequence: CheckAddressSupport, then asks the
  flash component for the IC count ("IC init error %x" on failure).

  @param[in]  DeviceAddress  The -d address, 0 without -d.
  @param[out] IcCount        The board's IC count.

  @retval EFI_SUCCESS      The ICs are counted.
  @retval EFI_UNSUPPORTED  -d was given and GetIcAddress is missing.
  @return The status of a failed IcInit.
**/
[[nodiscard]] EFI_STATUS CountIcs(UINT64 DeviceAddress, UINT8 *IcCount);

/// Only IC indices 0 to 9 can be named by a digit.
constexpr UINT8 DIGIT_SELECTABLE_ICS = 10;

/// Whether bit Index of ChipMask is set; ICs from 64 on are never selected.
[[nodiscard]] bool IsChipSelected(UINT64 ChipMask, UINT8 Index);

/**
  The first IC whose GetIcAddress answers DeviceAddress. When none does,
  prints "Addr %x IC not found", then "Available : " and each IC's address
  followed by a blank, then a line end.

  @param[in]  DeviceAddress  The -d address (not 0).
  @param[in]  IcCount        The IC count of the board.
  @param[out] Index          The IC found.

  @retval EFI_SUCCESS    *Index answers to the address.
  @retval EFI_NOT_FOUND  No IC does; the answering addresses are listed.
**/
[[nodiscard]] EFI_STATUS FindIcByAddress(UINT64 DeviceAddress, UINT8 IcCount, UINT8 *Index);

/**
  After the IC loop of mask mode or in read mode: prints "IC %x not found"
  for each IC selected by a digit that is not below IcCount, in ascending
  order. Nothing is reported when -a selected the ICs (a bit above 9 is set).

  @param[in] ChipMask  The run's chip mask.
  @param[in] IcCount   The IC count of the board.
  @param[in] Status    The status of the loop.

  @retval EFI_NOT_FOUND  A selected IC is missing and Status was no error.
  @retval Status         Otherwise: an IC's failure stands.
**/
[[nodiscard]] EFI_STATUS ReportMissingIcs(UINT64 ChipMask, UINT8 IcCount, EFI_STATUS Status);

#endif
