// The FMP capsule reader: any bytes either are refused or give a capsule
// whose every item (header, image, vendor code) lies inside the input, in
// order and without overlap, each byte of which is read here so the address
// sanitizer sees any slip. An accepted capsule written again from its items
// (when it has the writer's shape) gives the same bytes. The custom mutator
// sets CapsuleImageSize to the input's size most of the time, so inputs get
// past that check into the FMP header and the items.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <FmpCapsule/FmpCapsule.h>

extern "C" size_t LLVMFuzzerMutate(uint8_t *Data, size_t Size, size_t MaxSize);

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

/// True when every item has the shape the writer gives (version 3 header, no
/// vendor code, items packed from the end of the table, HeaderSize 28).
bool WriterShaped(const FMP_CAPSULE &Capsule, const std::vector<FMP_CAPSULE_ITEM> &Items) {
  UINT64 Expected = 8 + 8ULL * Capsule.PayloadItemCount;
  for (const FMP_CAPSULE_ITEM &Item : Items) {
    if (Item.HeaderVersion != 3 || Item.VendorCodeSize != 0 || Item.Offset != Expected) return false;
    Expected += Item.HeaderSize + Item.ImageSize;
  }
  return Capsule.HeaderSize == sizeof(EFI_CAPSULE_HEADER);
}

void CheckRewrite(const uint8_t *Data, size_t Size, const FMP_CAPSULE &Capsule,
                  const std::vector<FMP_CAPSULE_ITEM> &Items) {
  // Reserved bytes of item headers are not kept by the reader.
  std::vector<FMP_CAPSULE_PAYLOAD> Payloads;
  for (const FMP_CAPSULE_ITEM &Item : Items) {
    Payloads.push_back({Item.UpdateImageTypeId, Item.UpdateImageIndex, Item.UpdateHardwareInstance, Item.Image,
                        Item.ImageSize});
  }
  std::vector<uint8_t> Again(Size);
  Check(WriteFmpCapsule(Payloads.data(), static_cast<UINT16>(Payloads.size()), Capsule.Flags, Again.data(),
                        Again.size()) == Size);
  for (const FMP_CAPSULE_ITEM &Item : Items) {
    const size_t Reserved = 28 + Item.Offset + 21;
    std::memcpy(Again.data() + Reserved, Data + Reserved, 3);
  }
  Check(std::memcmp(Again.data(), Data, Size) == 0);
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *Data, size_t Size, size_t MaxSize, unsigned int Seed) {
  Size = LLVMFuzzerMutate(Data, Size, MaxSize);
  if (Size >= 28 && Seed % 8 != 0) {
    for (size_t Index = 0; Index < 4; Index++) Data[24 + Index] = static_cast<uint8_t>(Size >> (8 * Index));
  }
  return Size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FMP_CAPSULE Capsule{};
  if (ReadFmpCapsule(Data, Size, &Capsule, nullptr) != CAPSULE_ERROR::Ok) return 0;
  Check(Capsule.Body >= Data && Capsule.Body + Capsule.BodySize == Data + Size);
  std::vector<FMP_CAPSULE_ITEM> Items(Capsule.PayloadItemCount);
  const uint8_t *End = Capsule.Body + 8 + 8ULL * Capsule.PayloadItemCount;
  volatile unsigned Sum = 0;
  for (UINT16 Index = 0; Index < Capsule.PayloadItemCount; Index++) {
    FMP_CAPSULE_ITEM &Item = Items[Index];
    Check(ReadFmpCapsuleItem(Capsule, Index, &Item) == CAPSULE_ERROR::Ok);
    const uint8_t *Start = Capsule.Body + Item.Offset;
    Check(Start >= End && Item.Image == Start + Item.HeaderSize);
    End = Item.Image + Item.ImageSize + Item.VendorCodeSize;
    Check(End <= Data + Size && Item.ImageSize != 0);
    for (UINT32 At = 0; At < Item.ImageSize + Item.VendorCodeSize; At++) Sum = Sum + Item.Image[At];
  }
  Check(End == Data + Size);
  if (WriterShaped(Capsule, Items)) CheckRewrite(Data, Size, Capsule, Items);
  return 0;
}
