/** @file
  Reading and writing FMP capsules: every field is read byte by byte from
  the bytes present (a capsule has no alignment), and every offset and size
  is compared with what is left before it is used.
**/

#include <FmpCapsule/FmpCapsule.h>

#include <stddef.h>

namespace {

constexpr EFI_GUID FMP_CAPSULE_GUID = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
constexpr UINT32 CAPSULE_HEADER_SIZE = sizeof(EFI_CAPSULE_HEADER);
constexpr UINT32 FMP_HEADER_SIZE = sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER);
constexpr UINT32 ITEM_HEADER_SIZE = sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER);
constexpr UINT32 DEFINED_FLAGS =
  CAPSULE_FLAGS_PERSIST_ACROSS_RESET | CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE | CAPSULE_FLAGS_INITIATE_RESET;

static_assert(CAPSULE_HEADER_SIZE == 28);
static_assert(FMP_HEADER_SIZE == 8);
static_assert(ITEM_HEADER_SIZE == 48);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageTypeId) == 4);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageIndex) == 20);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageSize) == 24);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateVendorCodeSize) == 28);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateHardwareInstance) == 32);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, ImageCapsuleSupport) == 40);

/// Header size of each item header version (index = version).
constexpr UINT32 ITEM_HEADER_SIZE_OF_VERSION[] = {0, 32, 40, 48};

UINT64 ReadLe(const UINT8 *P, UINTN Bytes) {
  UINT64 Value = 0;
  for (UINTN Index = Bytes; Index > 0; Index--) Value = (Value << 8) | P[Index - 1];
  return Value;
}

void WriteLe(UINT8 *P, UINT64 Value, UINTN Bytes) {
  for (UINTN Index = 0; Index < Bytes; Index++, Value >>= 8) P[Index] = static_cast<UINT8>(Value);
}

EFI_GUID ReadGuid(const UINT8 *P) {
  EFI_GUID Guid{static_cast<UINT32>(ReadLe(P, 4)), static_cast<UINT16>(ReadLe(P + 4, 2)),
                static_cast<UINT16>(ReadLe(P + 6, 2)), {}};
  for (UINTN Index = 0; Index < 8; Index++) Guid.Data4[Index] = P[8 + Index];
  return Guid;
}

void WriteGuid(UINT8 *P, const EFI_GUID &Guid) {
  WriteLe(P, Guid.Data1, 4);
  WriteLe(P + 4, Guid.Data2, 2);
  WriteLe(P + 6, Guid.Data3, 2);
  for (UINTN Index = 0; Index < 8; Index++) P[8 + Index] = Guid.Data4[Index];
}

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) return false;
  for (UINTN Index = 0; Index < 8; Index++) {
    if (A.Data4[Index] != B.Data4[Index]) return false;
  }
  return true;
}

/// Undefined bits, and reset or table requests without persistence, are refused.
bool FlagsAllowed(UINT32 Flags) {
  if ((Flags & ~DEFINED_FLAGS) != 0) return false;
  UINT32 NeedPersist = CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE | CAPSULE_FLAGS_INITIATE_RESET;
  return (Flags & NeedPersist) == 0 || (Flags & CAPSULE_FLAGS_PERSIST_ACROSS_RESET) != 0;
}

CAPSULE_ERROR ReadCapsuleHeader(const UINT8 *Data, UINTN Size, FMP_CAPSULE *Capsule) {
  if (Data == nullptr || Size < CAPSULE_HEADER_SIZE) return CAPSULE_ERROR::TooSmall;
  Capsule->CapsuleGuid = ReadGuid(Data);
  Capsule->HeaderSize = static_cast<UINT32>(ReadLe(Data + 16, 4));
  Capsule->Flags = static_cast<UINT32>(ReadLe(Data + 20, 4));
  Capsule->CapsuleImageSize = static_cast<UINT32>(ReadLe(Data + 24, 4));
  if (!SameGuid(Capsule->CapsuleGuid, FMP_CAPSULE_GUID)) return CAPSULE_ERROR::NotFmp;
  if (Capsule->HeaderSize < CAPSULE_HEADER_SIZE || Capsule->HeaderSize > Capsule->CapsuleImageSize) {
    return CAPSULE_ERROR::HeaderSize;
  }
  if (!FlagsAllowed(Capsule->Flags)) return CAPSULE_ERROR::Flags;
  if (Capsule->CapsuleImageSize != Size) return CAPSULE_ERROR::ImageSize;
  Capsule->Body = Data + Capsule->HeaderSize;
  Capsule->BodySize = Capsule->CapsuleImageSize - Capsule->HeaderSize;
  return CAPSULE_ERROR::Ok;
}

CAPSULE_ERROR ReadFmpHeader(FMP_CAPSULE *Capsule) {
  if (Capsule->BodySize < FMP_HEADER_SIZE) return CAPSULE_ERROR::FmpHeader;
  Capsule->FmpVersion = static_cast<UINT32>(ReadLe(Capsule->Body, 4));
  Capsule->EmbeddedDriverCount = static_cast<UINT16>(ReadLe(Capsule->Body + 4, 2));
  Capsule->PayloadItemCount = static_cast<UINT16>(ReadLe(Capsule->Body + 6, 2));
  if (Capsule->FmpVersion != EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION) {
    return CAPSULE_ERROR::FmpVersion;
  }
  if (Capsule->EmbeddedDriverCount != 0) return CAPSULE_ERROR::EmbeddedDrivers;
  if (Capsule->PayloadItemCount == 0) return CAPSULE_ERROR::NoItems;
  UINT64 TableEnd = FMP_HEADER_SIZE + 8ULL * Capsule->PayloadItemCount;
  if (TableEnd > Capsule->BodySize) return CAPSULE_ERROR::ItemTable;
  return CAPSULE_ERROR::Ok;
}

/// Where item Index starts and ends: it ends where the next begins, the
/// last at the end of the capsule. Offsets rise strictly, the first after
/// the table.
CAPSULE_ERROR ItemBounds(const FMP_CAPSULE &Capsule, UINT16 Index, UINT64 *Start, UINT64 *End) {
  const UINT8 *Table = Capsule.Body + FMP_HEADER_SIZE;
  UINT64 TableEnd = FMP_HEADER_SIZE + 8ULL * Capsule.PayloadItemCount;
  *Start = ReadLe(Table + 8ULL * Index, 8);
  *End = Index + 1U < Capsule.PayloadItemCount ? ReadLe(Table + 8ULL * (Index + 1U), 8) : Capsule.BodySize;
  if (*Start < TableEnd || *Start >= *End || *End > Capsule.BodySize) return CAPSULE_ERROR::ItemOffset;
  return CAPSULE_ERROR::Ok;
}

CAPSULE_ERROR ReadItemHeader(const UINT8 *P, UINT64 Length, FMP_CAPSULE_ITEM *Item) {
  if (Length < 4) return CAPSULE_ERROR::ItemHeaderSize;
  Item->HeaderVersion = static_cast<UINT32>(ReadLe(P, 4));
  if (Item->HeaderVersion == 0 || Item->HeaderVersion > EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER_INIT_VERSION) {
    return CAPSULE_ERROR::ItemVersion;
  }
  Item->HeaderSize = ITEM_HEADER_SIZE_OF_VERSION[Item->HeaderVersion];
  if (Length < Item->HeaderSize) return CAPSULE_ERROR::ItemHeaderSize;
  Item->UpdateImageTypeId = ReadGuid(P + 4);
  Item->UpdateImageIndex = P[20];
  Item->ImageSize = static_cast<UINT32>(ReadLe(P + 24, 4));
  Item->VendorCodeSize = static_cast<UINT32>(ReadLe(P + 28, 4));
  Item->UpdateHardwareInstance = Item->HeaderVersion >= 2 ? ReadLe(P + 32, 8) : 0;
  Item->ImageCapsuleSupport = Item->HeaderVersion >= 3 ? ReadLe(P + 40, 8) : 0;
  return CAPSULE_ERROR::Ok;
}

}  // namespace

const char *CapsuleErrorText(CAPSULE_ERROR Error) {
  switch (Error) {
    case CAPSULE_ERROR::Ok: return "valid";
    case CAPSULE_ERROR::TooSmall: return "too small for a capsule header";
    case CAPSULE_ERROR::NotFmp: return "not an FMP capsule";
    case CAPSULE_ERROR::HeaderSize: return "bad capsule header size";
    case CAPSULE_ERROR::Flags: return "bad capsule flags";
    case CAPSULE_ERROR::ImageSize: return "capsule image size does not match the file";
    case CAPSULE_ERROR::FmpHeader: return "no room for the FMP header";
    case CAPSULE_ERROR::FmpVersion: return "unknown FMP header version";
    case CAPSULE_ERROR::EmbeddedDrivers: return "embedded drivers are not taken";
    case CAPSULE_ERROR::NoItems: return "no payload item";
    case CAPSULE_ERROR::ItemTable: return "item offset table runs past the capsule";
    case CAPSULE_ERROR::ItemOffset: return "item offset out of order or out of bounds";
    case CAPSULE_ERROR::ItemVersion: return "unknown item header version";
    case CAPSULE_ERROR::ItemHeaderSize: return "item too short for its header";
    case CAPSULE_ERROR::ItemSizes: return "item sizes do not match the item";
    case CAPSULE_ERROR::ItemImageIndex: return "item image index 0";
    case CAPSULE_ERROR::ItemEmptyImage: return "item without image";
    case CAPSULE_ERROR::ItemCapsuleSupport: return "item authentication or dependency header not taken";
  }
  return "unknown error";
}

CAPSULE_ERROR ReadFmpCapsuleItem(const FMP_CAPSULE &Capsule, UINT16 Index, FMP_CAPSULE_ITEM *Item) {
  if (Index >= Capsule.PayloadItemCount) return CAPSULE_ERROR::ItemOffset;
  UINT64 Start = 0;
  UINT64 End = 0;
  CAPSULE_ERROR Error = ItemBounds(Capsule, Index, &Start, &End);
  if (Error == CAPSULE_ERROR::Ok) Error = ReadItemHeader(Capsule.Body + Start, End - Start, Item);
  if (Error != CAPSULE_ERROR::Ok) return Error;
  // 64-bit sums: two 32-bit sizes cannot wrap.
  if (static_cast<UINT64>(Item->HeaderSize) + Item->ImageSize + Item->VendorCodeSize != End - Start) {
    return CAPSULE_ERROR::ItemSizes;
  }
  if (Item->UpdateImageIndex == 0) return CAPSULE_ERROR::ItemImageIndex;
  if (Item->ImageSize == 0) return CAPSULE_ERROR::ItemEmptyImage;
  if (Item->ImageCapsuleSupport != 0) return CAPSULE_ERROR::ItemCapsuleSupport;
  Item->Offset = Start;
  Item->Image = Capsule.Body + Start + Item->HeaderSize;
  Item->VendorCode = Item->VendorCodeSize != 0 ? Item->Image + Item->ImageSize : nullptr;
  return CAPSULE_ERROR::Ok;
}

CAPSULE_ERROR ReadFmpCapsule(const UINT8 *Data, UINTN Size, FMP_CAPSULE *Capsule, UINT16 *BadItem) {
  FMP_CAPSULE Read{};
  CAPSULE_ERROR Error = ReadCapsuleHeader(Data, Size, &Read);
  if (Error == CAPSULE_ERROR::Ok) Error = ReadFmpHeader(&Read);
  for (UINT16 Index = 0; Error == CAPSULE_ERROR::Ok && Index < Read.PayloadItemCount; Index++) {
    FMP_CAPSULE_ITEM Item{};
    Error = ReadFmpCapsuleItem(Read, Index, &Item);
    if (Error != CAPSULE_ERROR::Ok && BadItem != nullptr) *BadItem = Index;
  }
  if (Error == CAPSULE_ERROR::Ok) *Capsule = Read;
  return Error;
}

UINT64 FmpCapsuleSize(const FMP_CAPSULE_PAYLOAD *Payloads, UINT16 Count) {
  if (Count == 0) return 0;
  UINT64 Size = CAPSULE_HEADER_SIZE + FMP_HEADER_SIZE + 8ULL * Count;
  for (UINT16 Index = 0; Index < Count; Index++) {
    if (Payloads[Index].ImageSize == 0) return 0;
    Size += ITEM_HEADER_SIZE + static_cast<UINT64>(Payloads[Index].ImageSize);
  }
  return Size > 0xFFFFFFFFULL ? 0 : Size;
}

UINT64 WriteFmpCapsule(const FMP_CAPSULE_PAYLOAD *Payloads, UINT16 Count, UINT32 Flags, UINT8 *Out,
                       UINT64 OutSize) {
  UINT64 Size = FmpCapsuleSize(Payloads, Count);
  if (Size == 0 || Size != OutSize) return 0;
  WriteGuid(Out, FMP_CAPSULE_GUID);
  WriteLe(Out + 16, CAPSULE_HEADER_SIZE, 4);
  WriteLe(Out + 20, Flags, 4);
  WriteLe(Out + 24, Size, 4);
  UINT8 *Body = Out + CAPSULE_HEADER_SIZE;
  WriteLe(Body, EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION, 4);
  WriteLe(Body + 4, 0, 2);
  WriteLe(Body + 6, Count, 2);
  UINT64 Offset = FMP_HEADER_SIZE + 8ULL * Count;
  for (UINT16 Index = 0; Index < Count; Index++) {
    const FMP_CAPSULE_PAYLOAD &Payload = Payloads[Index];
    WriteLe(Body + FMP_HEADER_SIZE + 8ULL * Index, Offset, 8);
    UINT8 *Item = Body + Offset;
    for (UINT32 Byte = 0; Byte < ITEM_HEADER_SIZE; Byte++) Item[Byte] = 0;
    WriteLe(Item, EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER_INIT_VERSION, 4);
    WriteGuid(Item + 4, Payload.UpdateImageTypeId);
    Item[20] = Payload.UpdateImageIndex;
    WriteLe(Item + 24, Payload.ImageSize, 4);
    WriteLe(Item + 32, Payload.UpdateHardwareInstance, 8);
    for (UINT32 Byte = 0; Byte < Payload.ImageSize; Byte++) Item[ITEM_HEADER_SIZE + Byte] = Payload.Image[Byte];
    Offset += ITEM_HEADER_SIZE + static_cast<UINT64>(Payload.ImageSize);
  }
  return Size;
}
