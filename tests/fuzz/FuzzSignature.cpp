// Signed images (formats 2 and 3) from arbitrary bytes: the image check, the
// signature block and the verdict against a key, and the description tools
// print. The custom mutator repairs the header's payload CRC after
// libFuzzer's mutation, so inputs get past the CRC into the trailer and the
// signature check.
//
// Checked beside memory safety: the description agrees with the checks; a
// verdict of "verifies" needs a format 3 image with a signature block; and an
// image the fuzzer changed anywhere in its signed bytes or its signature,
// against the seed image the key signed, never verifies.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ImageSignHost.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t *Data, size_t Size, size_t MaxSize);

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

const IMAGE_PRIVATE_KEY &FuzzKey() {
  static const IMAGE_PRIVATE_KEY Key = [] {
    IMAGE_PRIVATE_KEY K{};
    GenerateSigningKeyFromSeed("fuzz", &K);
    return K;
  }();
  return Key;
}

// The image the key signed: seed corpus entries are this image (see
// corpus/signature), so mutations start from a valid signature.
// A seed of the older format 2 (the parser still reads it) is the same
// payload signed with counter 7 alone.
std::vector<UINT8> GenuineOf(bool Format3) {
  std::vector<UINT8> Payload(200);
  for (size_t Index = 0; Index < Payload.size(); Index++) Payload[Index] = static_cast<UINT8>(Index);
  std::vector<UINT8> I = MakeImageFormat1(0x10203, Payload);
  if (Format3) {
    MakeImageFormat3(&I, {7, IMAGE_ZONE_OCM, 0x4F525601}, &FuzzKey());
  } else {
    MakeImageFormat2(&I, 7, &FuzzKey());
  }
  return I;
}

const std::vector<UINT8> &Genuine(bool Format3) {
  static const std::vector<UINT8> Image3 = GenuineOf(true);
  static const std::vector<UINT8> Image2 = GenuineOf(false);
  return Format3 ? Image3 : Image2;
}

void RepairCrc(uint8_t *Data, size_t Size) {
  if (Size < IMAGE_HEADER_SIZE) return;
  UINT32 Length = static_cast<UINT32>(Data[4]) | (static_cast<UINT32>(Data[5]) << 8) |
                  (static_cast<UINT32>(Data[6]) << 16) | (static_cast<UINT32>(Data[7]) << 24);
  if (Length > Size - IMAGE_HEADER_SIZE) return;
  UINT32 Crc = Crc32(Data + IMAGE_HEADER_SIZE, Length);
  for (int Index = 0; Index < 4; Index++) Data[IMAGE_CRC_OFFSET + Index] = static_cast<uint8_t>(Crc >> (8 * Index));
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *Data, size_t Size, size_t MaxSize, unsigned int Seed) {
  size_t NewSize = LLVMFuzzerMutate(Data, Size, MaxSize);
  if (Seed % 8 != 0) RepairCrc(Data, NewSize);
  return NewSize;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::vector<UINT8> Image(Data, Data + Size);
  IMAGE_DESCRIPTION Description{};
  DescribeImage(Image.data(), Image.size(), &FuzzKey().Public, 1, &Description);
  IMAGE_INFO Info{};
  HEX_ERROR Error = CheckImage(Image.data(), Image.size(), &Info);
  Check(Error == Description.Error);
  if (Error != HEX_OK) return 0;
  Check(Info.ImageSize == Image.size() && Description.Signed == Info.Signed);
  SIGN_STATUS Verdict = VerifyImageSignature(Image.data(), Info, &FuzzKey().Public, 1, nullptr);
  Check(Verdict == Description.Signature);
  Check(VerifyImageSignature(Image.data(), Info, nullptr, 0, nullptr) != SIGN_STATUS::Ok);
  if (Verdict != SIGN_STATUS::Ok) return 0;
  Check((Info.Format == IMAGE_FORMAT_3 || Info.Format == IMAGE_FORMAT_2) && Info.Signed);
  // Only the genuine bytes verify (ECDSA signatures of the same message may
  // differ, but the fuzzer cannot forge one): everything the signature
  // covers and the block must be the seed's.
  const std::vector<UINT8> &Seed = Genuine(Info.Format == IMAGE_FORMAT_3);
  Check(Image.size() == Seed.size());
  Check(std::memcmp(Image.data(), Seed.data(), ImageSignedLength(Info)) == 0);
  return 0;
}
