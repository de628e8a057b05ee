/** @file
  Settings file loading: the whole settings file read from the root of the
  application's volume into one pool block, and its release.
**/

#ifndef ORV_SETTINGS_FILE_H_
#define ORV_SETTINGS_FILE_H_

#include "SettingsLookup.h"

/// Size of the buffer that receives the settings file's EFI_FILE_INFO.
constexpr UINTN SETTINGS_FILE_INFO_BUFFER_SIZE = 216;
/// Shorter settings files are refused.
constexpr UINT64 SETTINGS_FILE_MIN_SIZE = 6;

class SettingsFileGuard;

/**
  Read a settings file whole into one pool block: Length, the text, and 8
  spare bytes. The file is opened from the root directory of the volume on
  DeviceHandle, whatever folder the application was started from. The file,
  the root directory and the Simple File System protocol are closed again, in
  this order, before the function returns. Every failure prints one line.

  @param[in]  ImageHandle       The application's image handle (the agent that
                                opens the Simple File System protocol).
  @param[in]  DeviceHandle      The device the application was loaded from.
  @param[in]  FileName          Path relative to the volume's root.
  @param[out] SettingsFileData  Receives the block on success, nothing on
                                every failure. The guard gives the block back
                                with FreeSettingsFile when it goes out of scope.

  @retval EFI_SUCCESS           The file was read whole; Length is its size.
  @retval EFI_BAD_BUFFER_SIZE   The file is shorter than 6 bytes.
  @retval EFI_OUT_OF_RESOURCES  The block cannot be allocated.
  @retval EFI_END_OF_FILE       The file ended before its reported size.
  @retval others                The status of the failing OpenProtocol,
                                OpenVolume, Open, GetInfo or Read.
**/
[[nodiscard]] EFI_STATUS LoadSettingsFile(EFI_HANDLE ImageHandle, EFI_HANDLE DeviceHandle,
                                          const CHAR16 *FileName,
                                          SettingsFileGuard *SettingsFileData);

/**
  Give back a block returned by LoadSettingsFile. Every span found in it is
  dead afterwards.

  @param[in] SettingsFileData  The block, or null (nothing is released).

  @retval EFI_SUCCESS  Always.
**/
EFI_STATUS FreeSettingsFile(SETTINGS_FILE *SettingsFileData);

/// A settings block from LoadSettingsFile, given back with FreeSettingsFile
/// on scope exit.
class SettingsFileGuard {
 public:
  SettingsFileGuard() noexcept = default;
  SettingsFileGuard(const SettingsFileGuard &) = delete;
  SettingsFileGuard &operator=(const SettingsFileGuard &) = delete;
  ~SettingsFileGuard() { Reset(); }

  const SETTINGS_FILE *Get() const noexcept { return Held; }
  explicit operator bool() const noexcept { return Held != nullptr; }

  /// Gives back the block held now (if any) and holds Block instead.
  void Reset(SETTINGS_FILE *Block = nullptr) noexcept {
    if (Held != nullptr && Held != Block) (void)FreeSettingsFile(Held);
    Held = Block;
  }

 private:
  SETTINGS_FILE *Held = nullptr;
};

#endif
