/** @file
  The UEFI Firmware Management Protocol: the interface through which platform
  firmware, capsule processing and operating-system update tools read and
  program the firmware of one device, and the image descriptor it reports.

  gnu-efi does not define it; the layout, values and GUID are those of the
  UEFI standard (descriptor version 4). The FMP capsule headers are kept
  apart from this file.

  Plain C, usable from C and C++ builds (gnu-efi or compatible headers
  providing the UEFI base types and EFIAPI).
**/

#ifndef ORV_UEFI_FIRMWARE_MANAGEMENT_H_
#define ORV_UEFI_FIRMWARE_MANAGEMENT_H_

#include <efi.h>

#ifdef __cplusplus
extern "C" {
#endif

/// {86C77A67-0B97-4633-A187-49104D0685C7}
#define EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GUID \
  { 0x86C77A67, 0x0B97, 0x4633, { 0xA1, 0x87, 0x49, 0x10, 0x4D, 0x06, 0x85, 0xC7 } }

typedef struct _EFI_FIRMWARE_MANAGEMENT_PROTOCOL EFI_FIRMWARE_MANAGEMENT_PROTOCOL;

///
/// EFI_FIRMWARE_IMAGE_DESCRIPTOR.AttributesSupported / AttributesSetting.
///
#define IMAGE_ATTRIBUTE_IMAGE_UPDATABLE          0x0000000000000001ULL
#define IMAGE_ATTRIBUTE_RESET_REQUIRED           0x0000000000000002ULL
#define IMAGE_ATTRIBUTE_AUTHENTICATION_REQUIRED  0x0000000000000004ULL
#define IMAGE_ATTRIBUTE_IN_USE                   0x0000000000000008ULL
#define IMAGE_ATTRIBUTE_UEFI_IMAGE               0x0000000000000010ULL
#define IMAGE_ATTRIBUTE_DEPENDENCY               0x0000000000000020ULL

///
/// EFI_FIRMWARE_IMAGE_DESCRIPTOR.Compatibilities.
///
#define IMAGE_COMPATIBILITY_CHECK_SUPPORTED  0x0000000000000001ULL

///
/// The descriptor version GetImageInfo reports for this layout.
///
#define EFI_FIRMWARE_IMAGE_DESCRIPTOR_VERSION  4

///
/// CheckImage's ImageUpdatable values.
///
#define IMAGE_UPDATABLE_VALID                   0x0000000000000001ULL
#define IMAGE_UPDATABLE_INVALID                 0x0000000000000002ULL
#define IMAGE_UPDATABLE_INVALID_TYPE            0x0000000000000004ULL
#define IMAGE_UPDATABLE_INVALID_OLD             0x0000000000000008ULL
#define IMAGE_UPDATABLE_VALID_WITH_VENDOR_CODE  0x0000000000000010ULL

///
/// GetPackageInfo's attribute bits.
///
#define PACKAGE_ATTRIBUTE_VERSION_UPDATABLE        0x0000000000000001ULL
#define PACKAGE_ATTRIBUTE_RESET_REQUIRED           0x0000000000000002ULL
#define PACKAGE_ATTRIBUTE_AUTHENTICATION_REQUIRED  0x0000000000000004ULL

///
/// EFI_FIRMWARE_IMAGE_DESCRIPTOR.LastAttemptStatus (and the ESRT's).
///
#define LAST_ATTEMPT_STATUS_SUCCESS                              0x00000000
#define LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL                   0x00000001
#define LAST_ATTEMPT_STATUS_ERROR_INSUFFICIENT_RESOURCES         0x00000002
#define LAST_ATTEMPT_STATUS_ERROR_INCORRECT_VERSION              0x00000003
#define LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT                 0x00000004
#define LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR                     0x00000005
#define LAST_ATTEMPT_STATUS_ERROR_PWR_EVT_AC                     0x00000006
#define LAST_ATTEMPT_STATUS_ERROR_PWR_EVT_BATT                   0x00000007
#define LAST_ATTEMPT_STATUS_ERROR_UNSATISFIED_DEPENDENCIES       0x00000008
/// A device may report its own reasons in this range (inclusive).
#define LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL_VENDOR_RANGE_MIN  0x00001000
#define LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL_VENDOR_RANGE_MAX  0x00004000

///
/// A dependency expression (descriptor version 4): a sequence of opcodes
/// ending with END. Its length is found by parsing it.
///
typedef struct {
  UINT8  Dependencies[1];
} EFI_FIRMWARE_IMAGE_DEP;

///
/// One firmware image of a device, as GetImageInfo reports it.
///
typedef struct {
  UINT8                   ImageIndex;         ///< 1-based index of the image in this FMP instance
  EFI_GUID                ImageTypeId;        ///< the image type (the ESRT's firmware class)
  UINT64                  ImageId;            ///< unique id of this image in the device
  CHAR16                  *ImageIdName;       ///< readable name of the image; may be NULL
  UINT32                  Version;            ///< current version; larger is newer
  CHAR16                  *VersionName;       ///< readable current version; may be NULL
  UINTN                   Size;               ///< size of the image in bytes; 0 when unknown
  UINT64                  AttributesSupported;
  UINT64                  AttributesSetting;
  UINT64                  Compatibilities;
  // Descriptor version 2.
  UINT32                  LowestSupportedImageVersion;  ///< images below are refused
  // Descriptor version 3.
  UINT32                  LastAttemptVersion;
  UINT32                  LastAttemptStatus;  ///< LAST_ATTEMPT_STATUS_*
  UINT64                  HardwareInstance;   ///< 0: the device has one instance
  // Descriptor version 4.
  EFI_FIRMWARE_IMAGE_DEP  *Dependencies;      ///< NULL unless IMAGE_ATTRIBUTE_DEPENDENCY
} EFI_FIRMWARE_IMAGE_DESCRIPTOR;

/**
  Report the device's firmware images.

  @param[in]      This                The protocol instance.
  @param[in, out] ImageInfoSize       In: bytes at ImageInfo. Out: bytes
                                      written, or needed.
  @param[out]     ImageInfo           Receives DescriptorCount descriptors of
                                      DescriptorSize bytes each; step through
                                      them by DescriptorSize.
  @param[out]     DescriptorVersion   Receives EFI_FIRMWARE_IMAGE_DESCRIPTOR_VERSION.
  @param[out]     DescriptorCount     Receives the number of descriptors.
  @param[out]     DescriptorSize      Receives the size of one descriptor.
  @param[out]     PackageVersion      Receives the package version
                                      (0xFFFFFFFF: not supported).
  @param[out]     PackageVersionName  Receives a pool string the caller frees,
                                      or NULL.

  @retval EFI_SUCCESS            The descriptors were written.
  @retval EFI_BUFFER_TOO_SMALL   ImageInfoSize was too small; it now holds
                                 the size needed.
  @retval EFI_INVALID_PARAMETER  ImageInfoSize is NULL, or an output is NULL
                                 with a large enough buffer.
  @retval EFI_DEVICE_ERROR       The device could not be read.
**/
typedef
EFI_STATUS
(EFIAPI *EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GET_IMAGE_INFO)(
  IN     EFI_FIRMWARE_MANAGEMENT_PROTOCOL  *This,
  IN OUT UINTN                             *ImageInfoSize,
  OUT    EFI_FIRMWARE_IMAGE_DESCRIPTOR     *ImageInfo,
  OUT    UINT32                            *DescriptorVersion,
  OUT    UINT8                             *DescriptorCount,
  OUT    UINTN                             *DescriptorSize,
  OUT    UINT32                            *PackageVersion,
  OUT    CHAR16                            **PackageVersionName
  );

/**
  Copy the current firmware image out of the device.

  @param[in]      This        The protocol instance.
  @param[in]      ImageIndex  1-based image index.
  @param[out]     Image       Receives the image.
  @param[in, out] ImageSize   In: bytes at Image. Out: bytes written, or needed.

  @retval EFI_SUCCESS            The image was copied.
  @retval EFI_BUFFER_TOO_SMALL   ImageSize was too small; it holds the size needed.
  @retval EFI_INVALID_PARAMETER  ImageIndex is not valid, or ImageSize is NULL.
  @retval EFI_UNSUPPORTED        The device does not support reading its image.
  @retval EFI_SECURITY_VIOLATION The image could not be read for a security reason.
**/
typedef
EFI_STATUS
(EFIAPI *EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GET_IMAGE)(
  IN     EFI_FIRMWARE_MANAGEMENT_PROTOCOL  *This,
  IN     UINT8                             ImageIndex,
  OUT    VOID                              *Image,
  IN OUT UINTN                             *ImageSize
  );

/**
  Report the progress of SetImage.

  @param[in] Completion  Percent done, 1 to 100.

  @retval EFI_SUCCESS  The progress was reported.
**/
typedef
EFI_STATUS
(EFIAPI *EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS)(
  IN UINTN  Completion
  );

/**
  Program a firmware image into the device.

  @param[in]  This         The protocol instance.
  @param[in]  ImageIndex   1-based image index.
  @param[in]  Image        The new image.
  @param[in]  ImageSize    Bytes at Image.
  @param[in]  VendorCode   Vendor-specific data, or NULL.
  @param[in]  Progress     Called with the percent done, or NULL.
  @param[out] AbortReason  Receives a pool string the caller frees, or NULL.

  @retval EFI_SUCCESS            The device was updated.
  @retval EFI_ABORTED            The update was aborted.
  @retval EFI_INVALID_PARAMETER  ImageIndex is not valid, or Image is NULL.
  @retval EFI_UNSUPPORTED        The device does not support updates.
  @retval EFI_SECURITY_VIOLATION The image failed authentication.
**/
typedef
EFI_STATUS
(EFIAPI *EFI_FIRMWARE_MANAGEMENT_PROTOCOL_SET_IMAGE)(
  IN  EFI_FIRMWARE_MANAGEMENT_PROTOCOL               *This,
  IN  UINT8                                          ImageIndex,
  IN  CONST VOID                                     *Image,
  IN  UINTN                                          ImageSize,
  IN  CONST VOID                                     *VendorCode,
  IN  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Progress,
  OUT CHAR16                                         **AbortReason
  );

/**
  Say whether an image could be programmed, without programming it.

  @param[in]  This            The protocol instance.
  @param[in]  ImageIndex      1-based image index.
  @param[in]  Image           The candidate image.
  @param[in]  ImageSize       Bytes at Image.
  @param[out] ImageUpdatable  Receives IMAGE_UPDATABLE_* bits.

  @retval EFI_SUCCESS            ImageUpdatable holds the answer.
  @retval EFI_INVALID_PARAMETER  Image or ImageUpdatable is NULL.
  @retval EFI_UNSUPPORTED        The device does not support the check.
  @retval EFI_SECURITY_VIOLATION The image failed authentication.
**/
typedef
EFI_STATUS
(EFIAPI *EFI_FIRMWARE_MANAGEMENT_PROTOCOL_CHECK_IMAGE)(
  IN  EFI_FIRMWARE_MANAGEMENT_PROTOCOL  *This,
  IN  UINT8                             ImageIndex,
  IN  CONST VOID                        *Image,
  IN  UINTN                             ImageSize,
  OUT UINT32                            *ImageUpdatable
  );

/**
  Report the package version of the device's images.

  @param[in]  This                      The protocol instance.
  @param[out] PackageVersion            Receives the version (0xFFFFFFFF: not supported).
  @param[out] PackageVersionName        Receives a pool string the caller frees.
  @param[out] PackageVersionNameMaxLen  Receives the longest name SetPackageInfo takes.
  @param[out] AttributesSupported       Receives PACKAGE_ATTRIBUTE_* bits.
  @param[out] AttributesSetting         Receives PACKAGE_ATTRIBUTE_* bits.

  @retval EFI_SUCCESS      The values were returned.
  @retval EFI_UNSUPPORTED  The device has no package version.
**/
typedef
EFI_STATUS
(EFIAPI *EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GET_PACKAGE_INFO)(
  IN  EFI_FIRMWARE_MANAGEMENT_PROTOCOL  *This,
  OUT UINT32                            *PackageVersion,
  OUT CHAR16                            **PackageVersionName,
  OUT UINT32                            *PackageVersionNameMaxLen,
  OUT UINT64                            *AttributesSupported,
  OUT UINT64                            *AttributesSetting
  );

/**
  Set the package version of the device's images.

  @param[in] This                The protocol instance.
  @param[in] Image               Authentication data, or NULL.
  @param[in] ImageSize           Bytes at Image.
  @param[in] VendorCode          Vendor-specific data, or NULL.
  @param[in] PackageVersion      The new version.
  @param[in] PackageVersionName  The new name.

  @retval EFI_SUCCESS            The package version was set.
  @retval EFI_INVALID_PARAMETER  The name is longer than allowed.
  @retval EFI_UNSUPPORTED        The package version cannot be set.
  @retval EFI_SECURITY_VIOLATION The authentication data was refused.
**/
typedef
EFI_STATUS
(EFIAPI *EFI_FIRMWARE_MANAGEMENT_PROTOCOL_SET_PACKAGE_INFO)(
  IN EFI_FIRMWARE_MANAGEMENT_PROTOCOL  *This,
  IN CONST VOID                        *Image,
  IN UINTN                             ImageSize,
  IN CONST VOID                        *VendorCode,
  IN UINT32                            PackageVersion,
  IN CONST CHAR16                      *PackageVersionName
  );

///
/// The Firmware Management Protocol function table. The slot order is fixed.
///
struct _EFI_FIRMWARE_MANAGEMENT_PROTOCOL {
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GET_IMAGE_INFO     GetImageInfo;
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GET_IMAGE          GetImage;
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL_SET_IMAGE          SetImage;
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL_CHECK_IMAGE        CheckImage;
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL_GET_PACKAGE_INFO   GetPackageInfo;
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL_SET_PACKAGE_INFO   SetPackageInfo;
};

#ifdef __cplusplus
}
#endif

#endif
