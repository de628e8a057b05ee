/** @file
  Reading files through the Simple File System protocol: the volume an image
  was loaded from, a file read whole into pool memory held by a guard, and
  the one rule for reading an open file's bytes that both the settings file
  and the component drivers use.
**/

#ifndef ORV_BASE_FILE_READ_H_
#define ORV_BASE_FILE_READ_H_

#include "Guards.h"
#include "ProtocolPtr.h"

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
  Read exactly Size bytes from the current position of an open file. Read
  may deliver fewer bytes than asked for; it is called again until all are in.

  @param[in]  File    An open file.
  @param[out] Buffer  Receives Size bytes.
  @param[in]  Size    The number of bytes to read.

  @retval EFI_SUCCESS      All Size bytes were read.
  @retval EFI_END_OF_FILE  The file ended first.
  @return The status of a failed Read.
**/
[[nodiscard]] EFI_STATUS ReadFileBytes(EFI_FILE_PROTOCOL *File, VOID *Buffer, UINTN Size);

/**
  Open Path below Root for reading and read it whole (see ReadOpenFile). The
  file is closed again before this returns.

  @retval EFI_NOT_FOUND  There is no such file.
**/
[[nodiscard]] EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL *Root, const CHAR16 *Path, UINTN MaxSize,
                                       PoolGuard<UINT8> *Data, UINTN *Size);

#endif
