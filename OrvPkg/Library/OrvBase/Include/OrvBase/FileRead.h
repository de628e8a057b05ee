/** @file
  Whole-file reading through the Simple File System protocol, for the
  component drivers: the volume an image was loaded from, and a file read
  whole into pool memory held by a guard.
**/

#ifndef ORV_BASE_FILE_READ_H_
#define ORV_BASE_FILE_READ_H_

#include "Guards.h"

/**
  Open the root directory of the volume an image was loaded from.

  @param[in]  BootServices  The boot services table.
  @param[in]  ImageHandle   A loaded image.
  @param[out] Root          Receives the open root directory.

  @retval EFI_NOT_FOUND  The image has no device.
  @return The status of the Loaded Image or Simple File System lookup, or of OpenVolume.
**/
[[nodiscard]] EFI_STATUS OpenImageVolume(EFI_BOOT_SERVICES *BootServices, EFI_HANDLE ImageHandle,
                                         FileGuard *Root);

/**
  Read a whole open file into pool memory, followed by one zero byte (so a
  text can be scanned as terminated).

  @param[in]  File     An open file.
  @param[in]  MaxSize  Larger files are refused.
  @param[out] Data     Receives the bytes on success.
  @param[out] Size     Receives their count (without the zero byte).

  @retval EFI_NOT_FOUND         File is a directory.
  @retval EFI_BAD_BUFFER_SIZE   The file is larger than MaxSize.
  @retval EFI_END_OF_FILE       The file ended before its reported size.
  @retval EFI_DEVICE_ERROR      Its size could not be learnt.
  @retval EFI_OUT_OF_RESOURCES  No pool memory for it.
**/
[[nodiscard]] EFI_STATUS ReadOpenFile(EFI_FILE_PROTOCOL *File, UINTN MaxSize,
                                      PoolGuard<UINT8> *Data, UINTN *Size);

/**
  Open Path below Root for reading and read it whole (see ReadOpenFile). The
  file is closed again before this returns.

  @retval EFI_NOT_FOUND  There is no such file.
**/
[[nodiscard]] EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL *Root, const CHAR16 *Path, UINTN MaxSize,
                                       PoolGuard<UINT8> *Data, UINTN *Size);

#endif
