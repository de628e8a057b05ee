// The image parser's table of loaded images: handles stay unique, freed and
// forged handles are refused, the table has a fixed size.

#include <gtest/gtest.h>

#include <set>

#include "ImageTable.h"

namespace {

TEST(ImageTable, HandlesFindTheirImage) {
  IMAGE_TABLE Table{};
  UINT8 A[4] = {};
  UINT8 B[8] = {};
  UINT64 First = ImageTableAdd(&Table, A, sizeof(A), 0x11);
  UINT64 Second = ImageTableAdd(&Table, B, sizeof(B), 0x22);
  ASSERT_NE(First, 0u);
  ASSERT_NE(Second, 0u);
  EXPECT_NE(First, Second);
  IMAGE_SLOT *Slot = ImageTableFind(&Table, Second);
  ASSERT_NE(Slot, nullptr);
  EXPECT_EQ(Slot->Data, B);
  EXPECT_EQ(Slot->Size, sizeof(B));
  EXPECT_EQ(Slot->Version, 0x22u);
  EXPECT_EQ(ImageTableFind(&Table, First)->Data, A);
}

TEST(ImageTable, FreedHandleIsRefusedEvenWhenItsSlotIsReused) {
  IMAGE_TABLE Table{};
  UINT8 A[1] = {};
  UINT64 Old = ImageTableAdd(&Table, A, 1, 1);
  *ImageTableFind(&Table, Old) = IMAGE_SLOT{};
  EXPECT_EQ(ImageTableFind(&Table, Old), nullptr);
  UINT64 New = ImageTableAdd(&Table, A, 1, 2);
  EXPECT_EQ(New & 0xFF, Old & 0xFF);  // same slot
  EXPECT_NE(New, Old);
  EXPECT_EQ(ImageTableFind(&Table, Old), nullptr);
  EXPECT_NE(ImageTableFind(&Table, New), nullptr);
}

TEST(ImageTable, ForgedHandlesAreRefused) {
  IMAGE_TABLE Table{};
  UINT8 A[1] = {};
  UINT64 Handle = ImageTableAdd(&Table, A, 1, 1);
  for (UINT64 Forged : {UINT64{0}, Handle + 1, Handle & 0xFF, Handle & ~UINT64{0xFF}, (Handle & ~UINT64{0xFF}) | 9,
                        ~UINT64{0}}) {
    EXPECT_EQ(ImageTableFind(&Table, Forged), nullptr) << Forged;
  }
}

TEST(ImageTable, FullTableGivesNoHandle) {
  IMAGE_TABLE Table{};
  UINT8 A[1] = {};
  std::set<UINT64> Handles;
  for (UINTN Index = 0; Index < IMAGE_TABLE_SLOTS; Index++) {
    EXPECT_TRUE(ImageTableHasRoom(&Table));
    Handles.insert(ImageTableAdd(&Table, A, 1, Index));
  }
  EXPECT_EQ(Handles.size(), IMAGE_TABLE_SLOTS);
  EXPECT_EQ(Handles.count(0), 0u);
  EXPECT_FALSE(ImageTableHasRoom(&Table));
  EXPECT_EQ(ImageTableAdd(&Table, A, 1, 99), 0u);
}

}  // namespace
