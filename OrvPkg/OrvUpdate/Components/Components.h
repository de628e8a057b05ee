/** @file
  Component interfaces and binding: loading a component driver from the
  component folder, binding the three component protocols, and obtaining the
  two zone images.
**/

#ifndef ORV_COMPONENTS_H_
#define ORV_COMPONENTS_H_

#include "../App/OrvEfi.h"
#include "../Settings/SettingsLookup.h"
#include "ComponentGuards.h"

/// Relative paths into the component folder: "OrvUpdateComponent\" and a
/// settings value of at most 106 characters, in a buffer of 128 characters.
constexpr UINTN COMPONENT_PATH_LENGTH = 128;
constexpr UINTN COMPONENT_FOLDER_LENGTH = 19;
constexpr UINTN COMPONENT_VALUE_CAPACITY = 107;

/**
  Clear Path, put "OrvUpdateComponent\" at its start and the value of KeyName
  (from Section) behind it.

  @param[out] ValueLength  Length of the value in characters.

  @retval EFI_SUCCESS    Path holds the relative path.
  @retval EFI_NOT_FOUND  The key is absent, or its value has 107 characters or more.
**/
[[nodiscard]] EFI_STATUS BuildComponentFolderPath(const SETTINGS_FILE *SettingsFileData,
                                                  const SETTINGS_SECTION *Section,
                                                  const CHAR8 *KeyName,
                                                  CHAR16 (&Path)[COMPONENT_PATH_LENGTH],
                                                  UINTN *ValueLength);

/**
  Load and start the component driver that KeyName names, from the component
  folder of the application's volume. Load and start failures are reported
  here and are not failures of this step: the caller finds the protocol still
  missing when it searches again.

  @param[in]  ImageHandle     The application's image handle (parent of the driver).
  @param[in]  DeviceHandle    The device the application was loaded from.
  @param[in]  SettingsFileData, Section  The loaded settings and the target section.
  @param[in]  KeyName         "ImageParser", "FlashInterface" or "DevicePath".
  @param[out] ComponentImage  Receives the loaded driver's image handle.

  @retval EFI_SUCCESS    Loaded and started, or a failure was reported.
  @retval EFI_NOT_FOUND  The key is absent or its value too long (nothing printed).
**/
[[nodiscard]] EFI_STATUS LoadComponentDriver(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                                             const SETTINGS_FILE *SettingsFileData,
                                             const SETTINGS_SECTION *Section,
                                             const CHAR8 *KeyName, EFI_HANDLE *ComponentImage);

/**
  Bind the image parser, flash and path components in that order (loading a
  driver when its protocol is not installed), open the flash component's
  policy when it installed one beside its flash protocol (optional:
  pOrvFlashPolicyProtocol stays null without it), initialise the path
  component and hand ReduceFlashMask to the flash component.

  @param[out] PathSession  Receives the path session opened by PathInit; the
                           caller decides when it is closed (at the end of
                           the run, or at once when a later step fails).

  @retval EFI_SUCCESS  All three bound, path initialised.
  @retval others       The failing call's status; its message is printed.
**/
[[nodiscard]] EFI_STATUS BindComponents(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                                        const SETTINGS_FILE *SettingsFileData,
                                        const SETTINGS_SECTION *Section,
                                        PathSessionGuard *PathSession);

/**
  Fill OcmImage and CustomerImage: a command-line override first, else the
  zone's settings key ("none" or an empty value leaves the zone alone). In
  read mode the override texts are the address and length, so no image is
  loaded.

  @retval EFI_SUCCESS  Both zones settled (loaded, or set not to update).
  @retval others       The failing zone's status; its handle is zero.
**/
[[nodiscard]] EFI_STATUS LoadZoneImages(EFI_HANDLE ImageHandle,
                                        const SETTINGS_FILE *SettingsFileData,
                                        const SETTINGS_SECTION *Section);

/**
  Load one zone's image from the file its settings key names in the
  component folder.

  @param[in]  KeyName  "OCM" or "customer".
  @param[out] Image    Receives the image handle; left alone for a zone set
                       not to update.

  @retval EFI_SUCCESS    Loaded, or the zone is set not to update.
  @retval EFI_NOT_FOUND  The key is absent or its value too long.
  @retval others         The image parser's status.
**/
[[nodiscard]] EFI_STATUS LoadZoneImageFromSettings(EFI_HANDLE ImageHandle,
                                                   const SETTINGS_FILE *SettingsFileData,
                                                   const SETTINGS_SECTION *Section,
                                                   const CHAR8 *KeyName, ORV_IMAGE_HANDLE *Image);

#endif
