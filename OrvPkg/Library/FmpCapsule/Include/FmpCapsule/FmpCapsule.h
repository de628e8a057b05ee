/** @file
  Reading and writing FMP capsules (layout in Uefi/FmpCapsule.h).

  The reader treats every size, count and offset of a capsule as hostile: it
  checks each against the bytes actually present before it reads through
  it, and a capsule it accepts has every payload item inside the capsule,
  items in order without overlap, and each item exactly its header, image
  and vendor code. Embedded drivers are refused: nothing in a capsule is
  ever started as code.

  Freestanding (no allocation, no library calls): used by the firmware
  application OrvCapsule.efi, by orvhex on the host and by a fuzz target.
**/

#ifndef ORV_FMP_CAPSULE_H_
#define ORV_FMP_CAPSULE_H_

#include <efi.h>

#include <Uefi/FmpCapsule.h>

/// Why a capsule was refused. The errors about one payload item are the
/// last, from ItemOffset on: callers name the item for those.
enum class CAPSULE_ERROR : UINT8 {
  Ok,
  TooSmall,          ///< fewer bytes than an EFI_CAPSULE_HEADER
  NotFmp,            ///< CapsuleGuid is not the FMP capsule GUID
  HeaderSize,        ///< HeaderSize below the header, or beyond the capsule
  Flags,             ///< flag bits that are not defined, or not allowed together
  ImageSize,         ///< CapsuleImageSize is not the number of bytes present
  FmpHeader,         ///< no room for the FMP capsule header
  FmpVersion,        ///< FMP capsule header version is not 1
  EmbeddedDrivers,   ///< the capsule carries drivers (never taken)
  NoItems,           ///< no payload item
  ItemTable,         ///< the item offset table runs past the capsule
  ItemOffset,        ///< an item starts inside the table, out of order, or past the end
  ItemVersion,       ///< an item header version other than 1, 2 or 3
  ItemHeaderSize,    ///< an item too short for its header
  ItemSizes,         ///< image and vendor code sizes do not fill the item exactly
  ItemImageIndex,    ///< UpdateImageIndex 0 (the index is 1-based)
  ItemEmptyImage,    ///< an item without image bytes
  ItemCapsuleSupport ///< authentication or dependency headers (not taken)
};

/// One line of text for an error ("item offset out of order or out of bounds").
const char *CapsuleErrorText(CAPSULE_ERROR Error);

/// The header fields of a capsule the reader accepted.
struct FMP_CAPSULE {
  EFI_GUID     CapsuleGuid;
  UINT32       HeaderSize;
  UINT32       Flags;
  UINT32       CapsuleImageSize;
  UINT32       FmpVersion;
  UINT16       EmbeddedDriverCount;
  UINT16       PayloadItemCount;
  const UINT8 *Body;      ///< the FMP capsule header (item offsets count from here)
  UINT32       BodySize;  ///< bytes from Body to the end of the capsule
};

/// One payload item; Image and VendorCode point into the capsule's bytes.
struct FMP_CAPSULE_ITEM {
  UINT64       Offset;                  ///< from FMP_CAPSULE::Body
  UINT32       HeaderVersion;
  UINT32       HeaderSize;              ///< 32, 40 or 48 bytes by version
  EFI_GUID     UpdateImageTypeId;
  UINT8        UpdateImageIndex;
  UINT64       UpdateHardwareInstance;  ///< 0 for a version 1 header
  UINT64       ImageCapsuleSupport;     ///< 0 below version 3
  const UINT8 *Image;
  UINT32       ImageSize;
  const UINT8 *VendorCode;              ///< NULL when VendorCodeSize is 0
  UINT32       VendorCodeSize;
};

/**
  Check a whole capsule: its header, the FMP header, the item table and
  every payload item.

  @param[in]  Data     The capsule's bytes.
  @param[in]  Size     How many bytes are present at Data.
  @param[out] Capsule  Filled when the capsule is accepted.
  @param[out] BadItem  The payload item an Item* error is about; may be NULL.

  @return CAPSULE_ERROR::Ok, or the first fault found.
**/
CAPSULE_ERROR ReadFmpCapsule(const UINT8 *Data, UINTN Size, FMP_CAPSULE *Capsule, UINT16 *BadItem);

/**
  Read payload item Index (0-based) of a capsule ReadFmpCapsule accepted,
  checking it again.
**/
CAPSULE_ERROR ReadFmpCapsuleItem(const FMP_CAPSULE &Capsule, UINT16 Index, FMP_CAPSULE_ITEM *Item);

/// What the writer puts into one payload item (header version 3).
struct FMP_CAPSULE_PAYLOAD {
  EFI_GUID     UpdateImageTypeId;
  UINT8        UpdateImageIndex;
  UINT64       UpdateHardwareInstance;
  const UINT8 *Image;
  UINT32       ImageSize;
};

/**
  The size of the capsule WriteFmpCapsule makes of Count payloads; 0 when
  there are none, an image is empty, or it would not fit 32 bits.
**/
UINT64 FmpCapsuleSize(const FMP_CAPSULE_PAYLOAD *Payloads, UINT16 Count);

/**
  Write a capsule of Count payloads (no drivers, no vendor code) into Out,
  which holds FmpCapsuleSize bytes.

  @param[in] Flags  CAPSULE_FLAGS_* bits for the capsule header.

  @return The bytes written; 0 when OutSize is not FmpCapsuleSize.
**/
UINT64 WriteFmpCapsule(const FMP_CAPSULE_PAYLOAD *Payloads, UINT16 Count, UINT32 Flags, UINT8 *Out,
                       UINT64 OutSize);

#endif
