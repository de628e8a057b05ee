// The FMP capsule reader against capsules the writer made, then each made
// wrong in one size, count, offset or field: every fault refused with its
// reason (and the item it is in), nothing read past the bytes present (the
// sanitizer build catches any read beyond a vector), and the layouts fixed.
#include <FmpCapsule/FmpCapsule.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

static_assert(sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER) == 8);
static_assert(sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER) == 48);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateHardwareInstance) == 32);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, ImageCapsuleSupport) == 40);
static_assert(sizeof(EFI_CAPSULE_RESULT_VARIABLE_HEADER) == 48);
static_assert(offsetof(EFI_CAPSULE_RESULT_VARIABLE_HEADER, CapsuleStatus) == 40);
static_assert(sizeof(EFI_CAPSULE_RESULT_VARIABLE_FMP) == 20);

constexpr EFI_GUID TYPE_A = {0x82365A4B, 0x0B14, 0x4B60, {0xA6, 0x0F, 0xC2, 0xEF, 0, 0, 0, 1}};
constexpr EFI_GUID TYPE_B = {0x82365A4B, 0x0B14, 0x4B60, {0xA6, 0x0F, 0xC2, 0xEF, 0, 0, 0, 2}};

// Where the writer puts things in a capsule of two items (images of 16 and
// 8 bytes): capsule header 28 bytes, body = FMP header 8 + table 16, item 0
// at body offset 24 (48 + 16 bytes), item 1 at body offset 88 (48 + 8).
constexpr size_t BODY = 28;
constexpr size_t TABLE = BODY + 8;
constexpr size_t ITEM0 = BODY + 24;
constexpr size_t ITEM1 = BODY + 88;
// The item of a capsule of one item (table of one offset).
constexpr size_t ONLY = BODY + 16;

void Put(std::vector<UINT8> &Bytes, size_t At, UINT64 Value, size_t Width) {
  for (size_t Index = 0; Index < Width; Index++) Bytes.at(At + Index) = static_cast<UINT8>(Value >> (8 * Index));
}

std::vector<UINT8> Capsule(int Items) {
  static const UINT8 Image0[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  static const UINT8 Image1[8] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
  const FMP_CAPSULE_PAYLOAD Payloads[] = {{TYPE_A, 1, 0, Image0, sizeof(Image0)},
                                          {TYPE_B, 1, 2, Image1, sizeof(Image1)}};
  std::vector<UINT8> Bytes(FmpCapsuleSize(Payloads, static_cast<UINT16>(Items)));
  EXPECT_EQ(WriteFmpCapsule(Payloads, static_cast<UINT16>(Items), CAPSULE_FLAGS_PERSIST_ACROSS_RESET,
                            Bytes.data(), Bytes.size()),
            Bytes.size());
  return Bytes;
}

struct MALFORMED {
  const char *Name;
  int Items;
  std::function<void(std::vector<UINT8> &)> Change;
  CAPSULE_ERROR Expected;
  UINT16 BadItem;
};

void PrintTo(const MALFORMED &Row, std::ostream *Out) { *Out << Row.Name; }


class FmpCapsuleMalformed : public ::testing::TestWithParam<MALFORMED> {};

TEST_P(FmpCapsuleMalformed, IsRefusedWithItsReason) {
  std::vector<UINT8> Bytes = Capsule(GetParam().Items);
  GetParam().Change(Bytes);
  // An exact-size copy: any read past the end is a sanitizer error.
  std::vector<UINT8> Exact(Bytes.begin(), Bytes.end());
  FMP_CAPSULE Read{};
  UINT16 BadItem = 0xFFFF;
  EXPECT_EQ(ReadFmpCapsule(Exact.data(), Exact.size(), &Read, &BadItem), GetParam().Expected);
  if (GetParam().Expected >= CAPSULE_ERROR::ItemOffset) {
    EXPECT_EQ(BadItem, GetParam().BadItem);
  }
}

INSTANTIATE_TEST_SUITE_P(Malformed, FmpCapsuleMalformed, ::testing::Values(
  MALFORMED{"Empty", 2, [](auto &B) { B.clear(); }, CAPSULE_ERROR::TooSmall, 0},
  MALFORMED{"ShorterThanHeader", 2, [](auto &B) { B.resize(27); }, CAPSULE_ERROR::TooSmall, 0},
  MALFORMED{"OtherGuid", 2, [](auto &B) { B[15] ^= 1; }, CAPSULE_ERROR::NotFmp, 0},
  MALFORMED{"HeaderSizeBelowHeader", 2, [](auto &B) { Put(B, 16, 27, 4); }, CAPSULE_ERROR::HeaderSize, 0},
  MALFORMED{"HeaderSizePastCapsule", 2, [](auto &B) { Put(B, 16, B.size() + 1, 4); }, CAPSULE_ERROR::HeaderSize, 0},
  MALFORMED{"GuidSpecificFlag", 2, [](auto &B) { Put(B, 20, 0x10001, 4); }, CAPSULE_ERROR::Flags, 0},
  MALFORMED{"UndefinedFlag", 2, [](auto &B) { Put(B, 20, 0x90000, 4); }, CAPSULE_ERROR::Flags, 0},
  MALFORMED{"ResetWithoutPersist", 2, [](auto &B) { Put(B, 20, CAPSULE_FLAGS_INITIATE_RESET, 4); },
            CAPSULE_ERROR::Flags, 0},
  MALFORMED{"ImageSizeBeyondFile", 2, [](auto &B) { Put(B, 24, B.size() + 1, 4); }, CAPSULE_ERROR::ImageSize, 0},
  MALFORMED{"Truncated", 2, [](auto &B) { B.pop_back(); }, CAPSULE_ERROR::ImageSize, 0},
  MALFORMED{"TrailingByte", 2, [](auto &B) { B.push_back(0); }, CAPSULE_ERROR::ImageSize, 0},
  MALFORMED{"NoRoomForFmpHeader", 2, [](auto &B) { Put(B, 16, B.size() - 7, 4); }, CAPSULE_ERROR::FmpHeader, 0},
  MALFORMED{"FmpVersion2", 2, [](auto &B) { Put(B, BODY, 2, 4); }, CAPSULE_ERROR::FmpVersion, 0},
  MALFORMED{"EmbeddedDriver", 2, [](auto &B) { Put(B, BODY + 4, 1, 2); }, CAPSULE_ERROR::EmbeddedDrivers, 0},
  MALFORMED{"NoPayload", 2, [](auto &B) { Put(B, BODY + 6, 0, 2); }, CAPSULE_ERROR::NoItems, 0},
  MALFORMED{"CountPastCapsule", 2, [](auto &B) { Put(B, BODY + 6, 0xFFFF, 2); }, CAPSULE_ERROR::ItemTable, 0},
  MALFORMED{"FirstItemInTable", 2, [](auto &B) { Put(B, TABLE, 8, 8); }, CAPSULE_ERROR::ItemOffset, 0},
  MALFORMED{"ItemsOverlap", 2, [](auto &B) { Put(B, TABLE + 8, 24 + 60, 8); }, CAPSULE_ERROR::ItemSizes, 0},
  MALFORMED{"SameOffsetTwice", 2, [](auto &B) { Put(B, TABLE + 8, 24, 8); }, CAPSULE_ERROR::ItemOffset, 0},
  MALFORMED{"OffsetsDescending", 2, [](auto &B) { Put(B, TABLE, 88, 8); Put(B, TABLE + 8, 24, 8); },
            CAPSULE_ERROR::ItemOffset, 0},
  MALFORMED{"LastOffsetPastEnd", 2, [](auto &B) { Put(B, TABLE + 8, B.size(), 8); }, CAPSULE_ERROR::ItemOffset, 0},
  MALFORMED{"OffsetWrapsAround", 2, [](auto &B) { Put(B, TABLE + 8, ~0ULL - 7, 8); }, CAPSULE_ERROR::ItemOffset, 0},
  MALFORMED{"ItemVersion0", 2, [](auto &B) { Put(B, ITEM1, 0, 4); }, CAPSULE_ERROR::ItemVersion, 1},
  MALFORMED{"ItemVersion4", 2, [](auto &B) { Put(B, ITEM0, 4, 4); }, CAPSULE_ERROR::ItemVersion, 0},
  MALFORMED{"ItemShorterThanVersion", 1, [](auto &B) { B.resize(ONLY + 3); Put(B, 24, B.size(), 4); },
            CAPSULE_ERROR::ItemHeaderSize, 0},
  MALFORMED{"ItemShorterThanHeader", 1, [](auto &B) { B.resize(ONLY + 47); Put(B, 24, B.size(), 4); },
            CAPSULE_ERROR::ItemHeaderSize, 0},
  MALFORMED{"ImageSizeTooLarge", 2, [](auto &B) { Put(B, ITEM0 + 24, 17, 4); }, CAPSULE_ERROR::ItemSizes, 0},
  MALFORMED{"ImageSizeTooSmall", 2, [](auto &B) { Put(B, ITEM1 + 24, 7, 4); }, CAPSULE_ERROR::ItemSizes, 1},
  MALFORMED{"VendorCodePastItem", 2, [](auto &B) { Put(B, ITEM0 + 28, 1, 4); }, CAPSULE_ERROR::ItemSizes, 0},
  MALFORMED{"SizesWrap32Bits", 2,
            [](auto &B) { Put(B, ITEM0 + 24, 0xFFFFFFFF, 4); Put(B, ITEM0 + 28, 17, 4); },
            CAPSULE_ERROR::ItemSizes, 0},
  MALFORMED{"ImageIndex0", 2, [](auto &B) { B[ITEM1 + 20] = 0; }, CAPSULE_ERROR::ItemImageIndex, 1},
  MALFORMED{"NoImageBytes", 1, [](auto &B) { Put(B, ONLY + 24, 0, 4); Put(B, ONLY + 28, 16, 4); },
            CAPSULE_ERROR::ItemEmptyImage, 0},
  MALFORMED{"AuthenticationHeader", 2, [](auto &B) { Put(B, ITEM0 + 40, CAPSULE_SUPPORT_AUTHENTICATION, 8); },
            CAPSULE_ERROR::ItemCapsuleSupport, 0},
  MALFORMED{"DependencyHeader", 2, [](auto &B) { Put(B, ITEM1 + 40, CAPSULE_SUPPORT_DEPENDENCY, 8); },
            CAPSULE_ERROR::ItemCapsuleSupport, 1}),
  [](const auto &Info) { return std::string(Info.param.Name); });

TEST(FmpCapsuleValid, WrittenCapsuleReadsBackItemByItem) {
  std::vector<UINT8> Bytes = Capsule(2);
  FMP_CAPSULE Read{};
  ASSERT_EQ(ReadFmpCapsule(Bytes.data(), Bytes.size(), &Read, nullptr), CAPSULE_ERROR::Ok);
  EXPECT_EQ(Read.PayloadItemCount, 2);
  EXPECT_EQ(Read.Flags, CAPSULE_FLAGS_PERSIST_ACROSS_RESET);
  EXPECT_EQ(Read.CapsuleImageSize, Bytes.size());
  FMP_CAPSULE_ITEM Item{};
  ASSERT_EQ(ReadFmpCapsuleItem(Read, 1, &Item), CAPSULE_ERROR::Ok);
  EXPECT_EQ(Item.HeaderVersion, 3u);
  EXPECT_EQ(std::memcmp(&Item.UpdateImageTypeId, &TYPE_B, sizeof(EFI_GUID)), 0);
  EXPECT_EQ(Item.UpdateHardwareInstance, 2u);
  EXPECT_EQ(Item.Image, Bytes.data() + ITEM1 + 48);
  EXPECT_EQ(Item.ImageSize, 8u);
  EXPECT_EQ(Item.VendorCode, nullptr);
  EXPECT_EQ(ReadFmpCapsuleItem(Read, 2, &Item), CAPSULE_ERROR::ItemOffset) << "past the last item";
}

TEST(FmpCapsuleValid, OlderItemHeadersAndVendorCodeAreRead) {
  // A version 2 header: 40 bytes, no ImageCapsuleSupport.
  std::vector<UINT8> Bytes = Capsule(1);
  Bytes.erase(Bytes.begin() + ONLY + 40, Bytes.begin() + ONLY + 48);
  Put(Bytes, 24, Bytes.size(), 4);
  Put(Bytes, ONLY, 2, 4);
  Put(Bytes, ONLY + 32, 7, 8);
  // The last 4 bytes become vendor code.
  Put(Bytes, ONLY + 24, 12, 4);
  Put(Bytes, ONLY + 28, 4, 4);
  FMP_CAPSULE Read{};
  ASSERT_EQ(ReadFmpCapsule(Bytes.data(), Bytes.size(), &Read, nullptr), CAPSULE_ERROR::Ok);
  FMP_CAPSULE_ITEM Item{};
  ASSERT_EQ(ReadFmpCapsuleItem(Read, 0, &Item), CAPSULE_ERROR::Ok);
  EXPECT_EQ(Item.HeaderSize, 40u);
  EXPECT_EQ(Item.UpdateHardwareInstance, 7u);
  EXPECT_EQ(Item.ImageSize, 12u);
  EXPECT_EQ(Item.VendorCode, Bytes.data() + ONLY + 40 + 12);
  EXPECT_EQ(Item.VendorCode[0], 13);
}

TEST(FmpCapsuleWriter, RefusesWhatItCannotWrite) {
  const UINT8 Byte = 0;
  const FMP_CAPSULE_PAYLOAD Empty{TYPE_A, 1, 0, &Byte, 0};
  EXPECT_EQ(FmpCapsuleSize(&Empty, 1), 0u);
  EXPECT_EQ(FmpCapsuleSize(&Empty, 0), 0u);
  const FMP_CAPSULE_PAYLOAD Huge{TYPE_A, 1, 0, &Byte, 0xFFFFFFF0};
  EXPECT_EQ(FmpCapsuleSize(&Huge, 1), 0u) << "past 32 bits";
  const FMP_CAPSULE_PAYLOAD One{TYPE_A, 1, 0, &Byte, 1};
  std::vector<UINT8> Out(200);
  EXPECT_EQ(WriteFmpCapsule(&One, 1, 0, Out.data(), Out.size()), 0u) << "wrong output size";
}

}  // namespace
