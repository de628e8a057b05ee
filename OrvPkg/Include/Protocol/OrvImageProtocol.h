/** @file
  Image parser component protocol.

  The image parser is a separately built boot-service driver. It installs
  ORV_IMAGE_PROTOCOL under gOrvImageProtocolGuid, loads zone image files and
  hands out their bytes and version. The file format is the component's own.
  The interface itself is never passed as an argument.

  Plain C, usable from C and C++ component builds.
**/

#ifndef ORV_IMAGE_PROTOCOL_H_
#define ORV_IMAGE_PROTOCOL_H_

#include <efi.h>

#ifdef __cplusplus
extern "C" {
#endif

/// {58E4E45C-D322-4D71-B02D-6917D78F7453}
#define ORV_IMAGE_PROTOCOL_GUID \
  { 0x58E4E45C, 0xD322, 0x4D71, { 0xB0, 0x2D, 0x69, 0x17, 0xD7, 0x8F, 0x74, 0x53 } }

/// An opaque image handle issued by LoadImageFile. Zero means no image.
typedef UINT64 ORV_IMAGE_HANDLE;

typedef struct _ORV_IMAGE_PROTOCOL ORV_IMAGE_PROTOCOL;

/**
  Load a zone image file.

  @param[in]  ImageHandle  The calling application's image handle; the file is
                           read from the volume that application came from.
  @param[in]  Path         Path of the file relative to that volume's root
                           (for example "OrvUpdateComponent\ocm.hex"), or a
                           name typed on the command line.
  @param[out] Image        Receives a nonzero image handle on success.

  @retval EFI_SUCCESS  The image is loaded; release it with FreeImage.
  @retval others       Nothing is loaded; the caller sets its handle to 0.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_IMAGE_LOAD_IMAGE_FILE)(
  IN  EFI_HANDLE        ImageHandle,
  IN  CHAR16            *Path,
  OUT ORV_IMAGE_HANDLE  *Image
  );

/**
  Hand out the bytes of a loaded image. May be called any number of times.

  @param[in]  Image  A handle from LoadImageFile.
  @param[out] Size   Receives the number of bytes.
  @param[out] Data   Receives a pointer to the bytes. They stay owned by the
                     component until FreeImage and are only read by the caller.

  @retval EFI_SUCCESS  Size and Data describe the image.
  @retval others       No data.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_IMAGE_GET_IMAGE_DATA)(
  IN  ORV_IMAGE_HANDLE  Image,
  OUT UINTN             *Size,
  OUT UINT8             **Data
  );

/**
  Report the version of a loaded image.

  @param[in]  Image    A handle from LoadImageFile.
  @param[out] Version  Preset to 0 by the caller; receives the version,
                       compared as an unsigned 64-bit number with the IC's.

  @retval EFI_SUCCESS  Version holds the image's version.
  @retval others       No version.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_IMAGE_GET_IMAGE_VERSION)(
  IN  ORV_IMAGE_HANDLE  Image,
  OUT UINT64            *Version
  );

/**
  Release a loaded image. The handle is invalid afterwards.

  @param[in] Image  A handle from LoadImageFile.

  @return Any status; the caller does not use it.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_IMAGE_FREE_IMAGE)(
  IN ORV_IMAGE_HANDLE  Image
  );

///
/// The image parser's function table. The slot order is fixed.
///
struct _ORV_IMAGE_PROTOCOL {
  ORV_IMAGE_LOAD_IMAGE_FILE    LoadImageFile;    ///< 0
  ORV_IMAGE_GET_IMAGE_DATA     GetImageData;     ///< 1
  ORV_IMAGE_GET_IMAGE_VERSION  GetImageVersion;  ///< 2
  ORV_IMAGE_FREE_IMAGE         FreeImage;        ///< 3
};

extern CONST EFI_GUID  gOrvImageProtocolGuid;

#ifdef __cplusplus
}
#endif

#endif
