// The Intel HEX image decoder through its public API.
//
// Every text is decoded twice (size only, then into a buffer of exactly that
// size) and both passes must agree; a text whose image is larger than 256 KiB
// goes into a 64 KiB buffer instead and must be refused as too large. An accepted image is checked, encoded
// again and decoded back to the same bytes. The custom mutator repairs each
// record's length byte and checksum after libFuzzer's mutation, so inputs get
// past the checksum test into the address and record-type rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HexImage.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t *Data, size_t Size, size_t MaxSize);

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

int Nibble(uint8_t C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

void PutByte(uint8_t *At, unsigned Value) {
  static const char DIGITS[] = "0123456789ABCDEF";
  At[0] = DIGITS[(Value >> 4) & 15];
  At[1] = DIGITS[Value & 15];
}

// Sets LL to the data bytes the line holds and CC to the matching checksum,
// for every line made of ':' and an even number (at least 10) of hex digits.
void RepairRecords(uint8_t *Data, size_t Size) {
  size_t Start = 0;
  while (Start < Size) {
    size_t End = Start;
    while (End < Size && Data[End] != '\n' && Data[End] != '\r') End++;
    size_t Digits = End - Start - 1;
    bool AllHex = End > Start && Data[Start] == ':' && Digits >= 10 && Digits % 2 == 0;
    for (size_t Index = Start + 1; AllHex && Index < End; Index++) AllHex = Nibble(Data[Index]) >= 0;
    if (AllHex && (Digits - 10) / 2 <= 255) {
      PutByte(Data + Start + 1, static_cast<unsigned>((Digits - 10) / 2));
      unsigned Sum = 0;
      for (size_t Index = Start + 1; Index + 2 < End; Index += 2) {
        Sum += Nibble(Data[Index]) * 16 + Nibble(Data[Index + 1]);
      }
      PutByte(Data + End - 2, (0x100 - (Sum & 0xFF)) & 0xFF);
    }
    Start = End + 1;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *Data, size_t Size, size_t MaxSize,
                                          unsigned int Seed) {
  size_t NewSize = LLVMFuzzerMutate(Data, Size, MaxSize);
  // Leave one input in eight as mutated, so broken checksums are tried too.
  if (Seed % 8 != 0) RepairRecords(Data, NewSize);
  return NewSize;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::vector<char> Text(Data, Data + Size);
  HEX_RESULT First = DecodeHex(Text.data(), Text.size(), nullptr, 0);
  Check(HexErrorText(First.Error) != nullptr);
  if (First.Error != HEX_OK) return 0;
  Check(First.Size <= HEX_MAX_IMAGE_SIZE);

  // A large image (an address record far up) is decoded into a buffer too
  // small for it: refused, and nothing written past the buffer.
  constexpr UINTN ROUND_TRIP_LIMIT = 256 * 1024;
  if (First.Size > ROUND_TRIP_LIMIT) {
    std::vector<UINT8> Small(64 * 1024);
    HEX_RESULT Short = DecodeHex(Text.data(), Text.size(), Small.data(), Small.size());
    Check(Short.Error == HEX_ERROR_TOO_LARGE);
    return 0;
  }

  std::vector<UINT8> Image(First.Size);
  HEX_RESULT Second = DecodeHex(Text.data(), Text.size(), Image.data(), Image.size());
  Check(Second.Error == HEX_OK && Second.Size == First.Size);

  IMAGE_INFO Info{};
  if (CheckImage(Image.data(), Image.size(), &Info) == HEX_OK) {
    // The whole image: header and payload, and in signed formats the trailer.
    Check(Info.ImageSize == Image.size() && Info.PayloadLength + IMAGE_HEADER_SIZE <= Image.size());
    Check(CheckImageInBank(Image.data(), Image.size(), true, &Info) == HEX_OK);
  }

  // Encode and decode again: the same image.
  std::vector<char> Again(HexEncodedSize(Image.size()));
  UINTN Written = EncodeHex(Image.data(), Image.size(), Again.data(), Again.size());
  Check(Written == Again.size());
  std::vector<UINT8> Back(Image.size());
  HEX_RESULT Third = DecodeHex(Again.data(), Written, Back.data(), Back.size());
  Check(Third.Error == HEX_OK && Third.Size == Image.size() && Back == Image);
  return 0;
}
