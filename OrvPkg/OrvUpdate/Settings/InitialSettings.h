/** @file
  The initial settings sequence: settings file, target section, flags,
  component binding and zone images.
**/

#ifndef ORV_INITIAL_SETTINGS_H_
#define ORV_INITIAL_SETTINGS_H_

#include "../App/OrvEfi.h"
#include "SettingsFile.h"
#include "SettingsLookup.h"

/// Size of the sequence's path buffer (wide) and value buffer (narrow): the
/// target name and every flag value must fit with their terminator, so they
/// have at most 215 characters.
constexpr UINTN SETTINGS_BUFFER_LENGTH = 216;
/// ReduceFlashProcessFlag: character n sets bit n, for n up to 31.
constexpr UINTN REDUCE_FLASH_BITS = 32;

/// A switch of the target section (ForceUpdate, IncludeCustomerDefineBkp) is
/// on when its value's first character is "1", whatever follows.
constexpr bool SettingsSwitchOn(const CHAR8 *Value) { return Value[0] == '1'; }

/// The bits a ReduceFlashProcessFlag value of Length characters sets:
/// character n equal to "1" sets bit n; characters from position 32 on are
/// ignored.
constexpr UINT32 ReduceFlashBitsOf(const CHAR8 *Value, UINTN Length) {
  UINT32 Mask = 0;
  for (UINTN Position = 0; Position < Length && Position < REDUCE_FLASH_BITS; Position++) {
    if (Value[Position] == '1') Mask |= 1u << Position;
  }
  return Mask;
}

/**
  The sequence's first steps: load "OrvUpdateComponent\OrvUpdateSettings.ini"
  from the volume on DeviceHandle, follow [default] target to the target
  section ("Current target: %s") and apply ForceUpdate,
  IncludeCustomerDefineBkp and ReduceFlashProcessFlag. Every failure prints
  its line.

  @param[in]  ImageHandle    The image that opens the volume.
  @param[in]  DeviceHandle   The volume the settings are read from.
  @param[out] Settings       Receives the loaded settings text.
  @param[out] TargetSection  Receives the target section within it.

  @retval EFI_SUCCESS  The target section is found and applied.
  @retval others       The failing step's status.
**/
[[nodiscard]] EFI_STATUS LoadTargetSettings(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                                            SettingsFileGuard *Settings,
                                            SETTINGS_SECTION *TargetSection);

/**
  Turn the settings file into the run's configuration: load
  "OrvUpdateComponent\OrvUpdateSettings.ini" from the application's volume,
  follow [default] target to the target section, apply ForceUpdate,
  IncludeCustomerDefineBkp and ReduceFlashProcessFlag, bind the components and
  load the zone images.

  @param[in] ImageHandle  The application's image handle.

  @retval EFI_SUCCESS  Components bound, path initialised, zone images loaded
                       (a zone not to be updated has handle 0).
  @retval others       The failing step's status; its message is printed and
                       any zone image loaded is released again.
**/
[[nodiscard]] EFI_STATUS OrvInitialSettings(EFI_HANDLE ImageHandle);

#endif
