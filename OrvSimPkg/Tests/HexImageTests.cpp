// Intel HEX decoding and encoding, and the image header checks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "HexImage.h"

namespace {

// One record with its checksum, for building test files.
std::string Record(UINT8 Type, UINT16 Address, const std::vector<UINT8> &Data) {
  static const char *Digits = "0123456789ABCDEF";
  std::vector<UINT8> Bytes = {static_cast<UINT8>(Data.size()), static_cast<UINT8>(Address >> 8),
                              static_cast<UINT8>(Address), Type};
  Bytes.insert(Bytes.end(), Data.begin(), Data.end());
  UINT8 Sum = 0;
  for (UINT8 B : Bytes) {
    Sum = static_cast<UINT8>(Sum + B);
  }
  Bytes.push_back(static_cast<UINT8>(0x100 - Sum));
  std::string Line = ":";
  for (UINT8 B : Bytes) {
    Line += Digits[B >> 4];
    Line += Digits[B & 0xF];
  }
  return Line;
}

const std::string EOF_RECORD = ":00000001FF";

std::vector<UINT8> Decode(const std::string &Text, HEX_RESULT *Result) {
  *Result = DecodeHex(Text.data(), Text.size(), nullptr, 0);
  if (Result->Error != HEX_OK) {
    return {};
  }
  std::vector<UINT8> Out(Result->Size, 0x5A);
  HEX_RESULT Second = DecodeHex(Text.data(), Text.size(), Out.data(), Out.size());
  EXPECT_EQ(Second.Error, HEX_OK);
  EXPECT_EQ(Second.Size, Result->Size);
  return Out;
}

struct VALID_CASE {
  const char          *Name;
  std::string          Text;
  std::vector<UINT8>   Expected;
};

class HexDecodeValid : public ::testing::TestWithParam<VALID_CASE> {};

TEST_P(HexDecodeValid, GivesTheBytes) {
  HEX_RESULT Result{};
  std::vector<UINT8> Bytes = Decode(GetParam().Text, &Result);
  ASSERT_EQ(Result.Error, HEX_OK) << HexErrorText(Result.Error) << " line " << Result.Line;
  EXPECT_EQ(Bytes, GetParam().Expected);
}

const std::vector<VALID_CASE> VALID_CASES = {
        VALID_CASE{"LineFeeds", Record(0, 0, {1, 2, 3}) + "\n" + EOF_RECORD + "\n", {1, 2, 3}},
        VALID_CASE{"CrLf", Record(0, 0, {1, 2}) + "\r\n" + Record(0, 2, {3}) + "\r\n" + EOF_RECORD + "\r\n", {1, 2, 3}},
        VALID_CASE{"NoFinalLineEnd", Record(0, 0, {9}) + "\n" + EOF_RECORD, {9}},
        VALID_CASE{"LowerCaseDigits", ":02000000abcd86\n" + EOF_RECORD + "\n", {0xAB, 0xCD}},
        VALID_CASE{"EmptyLinesSkipped", "\n" + Record(0, 0, {7}) + "\n\n" + EOF_RECORD + "\n\n", {7}},
        VALID_CASE{"GapFilledWithErased", Record(0, 0, {1}) + "\n" + Record(0, 3, {4}) + "\n" + EOF_RECORD + "\n",
                   {1, 0xFF, 0xFF, 4}},
        VALID_CASE{"DataNotAtZeroStartsErased", Record(0, 2, {5}) + "\n" + EOF_RECORD + "\n", {0xFF, 0xFF, 5}},
        VALID_CASE{"StartAddressRecordsIgnored",
                   Record(0, 0, {1}) + "\n" + Record(5, 0, {0, 0, 0, 0}) + "\n" + Record(3, 0, {0, 0, 0, 0}) + "\n" +
                       EOF_RECORD + "\n",
                   {1}},
        VALID_CASE{"ZeroLengthDataRecordIgnored", Record(0, 0, {1}) + "\n" + Record(0, 0, {}) + "\n" + EOF_RECORD, {1}}};

INSTANTIATE_TEST_SUITE_P(Valid, HexDecodeValid, ::testing::ValuesIn(VALID_CASES),
                         [](const auto &Info) { return Info.param.Name; });

// Images placed by extended address records: their size and some bytes.
struct ADDRESSED_CASE {
  const char                             *Name;
  std::string                             Text;
  size_t                                  Size;
  std::vector<std::pair<size_t, UINT8>>   Bytes;
};

class HexDecodeAddressed : public ::testing::TestWithParam<ADDRESSED_CASE> {};

TEST_P(HexDecodeAddressed, PlacesTheBytes) {
  HEX_RESULT Result{};
  std::vector<UINT8> Bytes = Decode(GetParam().Text, &Result);
  ASSERT_EQ(Result.Error, HEX_OK) << HexErrorText(Result.Error) << " line " << Result.Line;
  ASSERT_EQ(Bytes.size(), GetParam().Size);
  for (const auto &[Offset, Value] : GetParam().Bytes) {
    EXPECT_EQ(Bytes[Offset], Value) << "at " << Offset;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Valid, HexDecodeAddressed,
    ::testing::Values(
        ADDRESSED_CASE{"LinearAbove64KiB",
                       Record(0, 0xFFFE, {1, 2}) + "\n" + Record(4, 0, {0x00, 0x01}) + "\n" + Record(0, 0x0000, {3}) +
                           "\n" + EOF_RECORD + "\n",
                       0x10001, {{0, 0xFF}, {0xFFFE, 1}, {0xFFFF, 2}, {0x10000, 3}}},
        ADDRESSED_CASE{"SegmentRecordEndsAtItsSegmentEnd",
                       Record(2, 0, {0x00, 0x01}) + "\n" + Record(0, 0xFFFE, {1, 2}) + "\n" + EOF_RECORD, 0x10010,
                       {{0x1000E, 1}, {0x1000F, 2}}},
        ADDRESSED_CASE{"SegmentShiftsByFour",
                       Record(2, 0, {0x00, 0x01}) + "\n" + Record(0, 0, {8}) + "\n" + EOF_RECORD + "\n", 17, {{16, 8}}}),
    [](const auto &Info) { return Info.param.Name; });

TEST(HexDecode, LinearRecordRunsOnPastA64KiBBoundary) {
  // As written by tools whose record size does not divide 65536: the record
  // at FFFC carries on at 10000, with or without an 04 record before it, and
  // also after an 02 record was replaced by an 04 one.
  for (const std::string &Prefix :
       {std::string(), Record(4, 0, {0, 0}) + "\n", Record(2, 0, {0x10, 0}) + "\n" + Record(4, 0, {0, 0}) + "\n"}) {
    SCOPED_TRACE(Prefix);
    std::string Text = Prefix + Record(0, 0xFFFC, {1, 2, 3, 4, 5}) + "\n" + Record(0, 0x0001, {6}) + "\n" + EOF_RECORD;
    // The second record lies in the same segment: at 0x0001 it goes backwards.
    HEX_RESULT Result{};
    Decode(Text, &Result);
    EXPECT_EQ(Result.Error, HEX_ERROR_BACKWARDS);
    Text = Prefix + Record(0, 0xFFFC, {1, 2, 3, 4, 5}) + "\n" + Record(4, 0, {0, 1}) + "\n" +
           Record(0, 0x0001, {6}) + "\n" + EOF_RECORD;
    std::vector<UINT8> Bytes = Decode(Text, &Result);
    ASSERT_EQ(Result.Error, HEX_OK) << HexErrorText(Result.Error) << " line " << Result.Line;
    ASSERT_EQ(Bytes.size(), 0x10002u);
    const std::vector<UINT8> Tail(Bytes.begin() + 0xFFFC, Bytes.end());
    EXPECT_EQ(Tail, (std::vector<UINT8>{1, 2, 3, 4, 5, 6}));
  }
}

struct BAD_CASE {
  const char  *Name;
  std::string  Text;
  HEX_ERROR    Error;
  UINT32       Line;
};

class HexDecodeMalformed : public ::testing::TestWithParam<BAD_CASE> {};

TEST_P(HexDecodeMalformed, IsRefusedAtItsLine) {
  const BAD_CASE &Case = GetParam();
  HEX_RESULT Result = DecodeHex(Case.Text.data(), Case.Text.size(), nullptr, 0);
  EXPECT_EQ(Result.Error, Case.Error) << HexErrorText(Result.Error);
  EXPECT_EQ(Result.Line, Case.Line);
  // Decoding into a buffer refuses it the same way and does not write past it.
  std::vector<UINT8> Out(64, 0x5A);
  HEX_RESULT Filled = DecodeHex(Case.Text.data(), Case.Text.size(), Out.data(), 32);
  EXPECT_EQ(Filled.Error, Case.Error);
  for (size_t Index = 32; Index < Out.size(); Index++) {
    ASSERT_EQ(Out[Index], 0x5A);
  }
}

const std::string DATA = Record(0, 0, {1, 2, 3}) + "\n";

const std::vector<BAD_CASE> BAD_CASES = {
        BAD_CASE{"BadChecksum", ":0300000001020300\n" + EOF_RECORD + "\n", HEX_ERROR_CHECKSUM, 1},
        BAD_CASE{"BadRecordType", DATA + Record(6, 0, {}) + "\n" + EOF_RECORD + "\n", HEX_ERROR_RECORD_TYPE, 2},
        BAD_CASE{"CountLongerThanLine", ":0400000001020300\n" + EOF_RECORD, HEX_ERROR_RECORD_LENGTH, 1},
        BAD_CASE{"CountShorterThanLine", ":020000000102030000\n" + EOF_RECORD, HEX_ERROR_RECORD_LENGTH, 1},
        BAD_CASE{"OddDigitCount", ":03000000010203F\n" + EOF_RECORD, HEX_ERROR_RECORD_LENGTH, 1},
        BAD_CASE{"TooShortForARecord", ":0000\n", HEX_ERROR_RECORD_LENGTH, 1},
        BAD_CASE{"NonHexCharacter", ":03000000010G03F7\n" + EOF_RECORD, HEX_ERROR_NON_HEX, 1},
        BAD_CASE{"TrailingBlank", DATA.substr(0, DATA.size() - 1) + " \n" + EOF_RECORD, HEX_ERROR_NON_HEX, 1},
        BAD_CASE{"NoColon", DATA + "0300000001020303F4\n" + EOF_RECORD, HEX_ERROR_NO_COLON, 2},
        BAD_CASE{"EofWithData", DATA + Record(1, 0, {0}) + "\n", HEX_ERROR_TYPE_LENGTH, 2},
        BAD_CASE{"LinearAddressOneByte", Record(4, 0, {1}) + "\n" + EOF_RECORD, HEX_ERROR_TYPE_LENGTH, 1},
        BAD_CASE{"SegmentAddressThreeBytes", Record(2, 0, {1, 2, 3}) + "\n" + EOF_RECORD, HEX_ERROR_TYPE_LENGTH, 1},
        BAD_CASE{"StartAddressShort", Record(5, 0, {1}) + "\n" + EOF_RECORD, HEX_ERROR_TYPE_LENGTH, 1},
        BAD_CASE{"MissingEof", DATA, HEX_ERROR_NO_EOF, 0},
        BAD_CASE{"RecordAfterEof", DATA + EOF_RECORD + "\n" + DATA, HEX_ERROR_AFTER_EOF, 3},
        BAD_CASE{"Backwards", Record(0, 4, {1}) + "\n" + Record(0, 0, {2}) + "\n" + EOF_RECORD, HEX_ERROR_BACKWARDS, 2},
        BAD_CASE{"Overlap", Record(0, 0, {1, 2}) + "\n" + Record(0, 1, {3}) + "\n" + EOF_RECORD, HEX_ERROR_BACKWARDS, 2},
        BAD_CASE{"OverlapsTheEnd", Record(0, 0, {1, 2}) + "\n" + Record(0, 1, {3, 4}) + "\n" + EOF_RECORD,
                 HEX_ERROR_BACKWARDS, 2},
        BAD_CASE{"WrapsSegment", Record(2, 0, {0x10, 0x00}) + "\n" + Record(0, 0xFFFF, {1, 2}) + "\n" + EOF_RECORD,
                 HEX_ERROR_WRAP, 2},
        BAD_CASE{"WrapsSegmentAfterLinear",
                 Record(4, 0, {0, 1}) + "\n" + Record(2, 0, {0x20, 0x00}) + "\n" + Record(0, 0xFFFE, {1, 2, 3}) +
                     "\n" + EOF_RECORD,
                 HEX_ERROR_WRAP, 3},
        BAD_CASE{"BeyondLargestImage", Record(4, 0, {0x01, 0x00}) + "\n" + Record(0, 0, {1}) + "\n" + EOF_RECORD,
                 HEX_ERROR_TOO_LARGE, 2},
        BAD_CASE{"OnlyEof", EOF_RECORD + "\n", HEX_ERROR_NO_DATA, 0},
        BAD_CASE{"EmptyFile", "", HEX_ERROR_NO_EOF, 0},
        BAD_CASE{"OnlyEmptyLines", "\r\n\n", HEX_ERROR_NO_EOF, 0}};

INSTANTIATE_TEST_SUITE_P(Malformed, HexDecodeMalformed, ::testing::ValuesIn(BAD_CASES),
                         [](const auto &Info) { return Info.param.Name; });

TEST(HexDecode, BufferSmallerThanTheImageIsRefused) {
  std::string Text = Record(0, 0, {1, 2, 3, 4}) + "\n" + EOF_RECORD;
  UINT8 Out[8] = {};
  HEX_RESULT Result = DecodeHex(Text.data(), Text.size(), Out, 3);
  EXPECT_EQ(Result.Error, HEX_ERROR_TOO_LARGE);
  EXPECT_EQ(Out[3], 0);
}

TEST(HexDecode, EveryErrorHasItsOwnText) {
  std::vector<std::string> Seen;
  for (UINT32 Error = HEX_ERROR_NO_COLON; Error <= HEX_ERROR_FILE_TOO_LARGE; Error++) {
    std::string Text = HexErrorText(static_cast<HEX_ERROR>(Error));
    EXPECT_NE(Text, "unknown error");
    for (const std::string &Other : Seen) {
      EXPECT_NE(Text, Other);
    }
    Seen.push_back(Text);
  }
  EXPECT_STREQ(HexErrorText(static_cast<HEX_ERROR>(200)), "unknown error");
}

// Feeds Text in pieces: Sizes are used in turn, repeating.
HEX_RESULT DecodeInPieces(const std::string &Text, const std::vector<size_t> &Sizes, UINT8 *Out, UINTN Capacity) {
  HEX_DECODER Decoder;
  HexDecodeBegin(&Decoder, Out, Capacity);
  size_t Pos = 0;
  for (size_t Turn = 0; Pos < Text.size(); Turn++) {
    size_t Piece = std::min(Sizes[Turn % Sizes.size()], Text.size() - Pos);
    HexDecodeFeed(&Decoder, Text.data() + Pos, Piece);
    Pos += Piece;
  }
  return HexDecodeEnd(&Decoder, nullptr);
}

// Every text of the tables above, and lines too long for any record.
std::vector<std::string> SplitTexts() {
  std::vector<std::string> Texts;
  for (const std::string &Text :
       {Record(0, 0, {1, 2, 3}) + "\r\n" + Record(0, 0xFFFE, {4, 5, 6}) + "\r\n" + EOF_RECORD + "\r\n",
        "\n\r\n" + Record(0, 0, {7}) + "\n\n" + EOF_RECORD,
        Record(0, 0, std::vector<UINT8>(255, 0xAB)) + "\n" + Record(0, 255, std::vector<UINT8>(255, 0xCD)) + "\r\n" +
            EOF_RECORD + "\r",
        Record(0, 0, {1}) + "\r" + Record(0, 1, {2}) + "\n" + EOF_RECORD,
        ":" + std::string(600, '0') + "\n" + EOF_RECORD,
        ":" + std::string(600, '0') + "\r\n" + EOF_RECORD,
        ":" + std::string(600, '0') + "\r0\n" + EOF_RECORD,
        ":" + std::string(400, '0') + "G" + std::string(400, '0') + "\n" + EOF_RECORD,
        std::string(700, 'x') + "\n",
        ":" + std::string(700, '0'),
        DATA + EOF_RECORD + "\n" + std::string(700, '0') + "\n",
        ":0300000001020303F4\r\r\n" + EOF_RECORD,
        ":10000000" + std::string(34, '0') + "\n" + EOF_RECORD}) {
    Texts.push_back(Text);
  }
  return Texts;
}

TEST(HexStreamDecode, AnySplitOfTheTextGivesTheSameResult) {
  std::vector<std::string> Texts = SplitTexts();
  for (const VALID_CASE &Case : VALID_CASES) {
    Texts.push_back(Case.Text);
  }
  for (const BAD_CASE &Case : BAD_CASES) {
    Texts.push_back(Case.Text);
  }
  const std::vector<std::vector<size_t>> Splits = {{1}, {2}, {3}, {7}, {11, 1}, {44}, {45, 43}, {522}, {523, 1, 64}};
  for (const std::string &Text : Texts) {
    SCOPED_TRACE(Text.substr(0, 60));
    std::vector<UINT8> Whole(2048, 0x5A);
    HEX_RESULT Expected = DecodeHex(Text.data(), Text.size(), Whole.data(), Whole.size());
    for (const auto &Sizes : Splits) {
      SCOPED_TRACE(Sizes[0]);
      std::vector<UINT8> Out(2048, 0x5A);
      HEX_RESULT Got = DecodeInPieces(Text, Sizes, Out.data(), Out.size());
      EXPECT_EQ(Got.Error, Expected.Error) << HexErrorText(Got.Error);
      EXPECT_EQ(Got.Line, Expected.Line);
      EXPECT_EQ(Got.Size, Expected.Size);
      if (Expected.Error == HEX_OK) {
        EXPECT_TRUE(std::equal(Out.begin(), Out.begin() + Expected.Size, Whole.begin()));
      }
    }
  }
}

class HexLongLine : public ::testing::TestWithParam<BAD_CASE> {};

TEST_P(HexLongLine, IsRefusedAsAShortLineWouldBe) {
  const BAD_CASE &Case = GetParam();
  for (size_t Piece : {size_t{1}, size_t{100}, size_t{521}, Case.Text.size()}) {
    SCOPED_TRACE(Piece);
    HEX_RESULT Result = DecodeInPieces(Case.Text, {Piece}, nullptr, 0);
    EXPECT_EQ(Result.Error, Case.Error) << HexErrorText(Result.Error);
    EXPECT_EQ(Result.Line, Case.Line);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, HexLongLine,
    ::testing::Values(
        BAD_CASE{"AllDigits", DATA + ":" + std::string(600, '0') + "\n" + EOF_RECORD, HEX_ERROR_RECORD_LENGTH, 2},
        BAD_CASE{"AllDigitsCrLf", DATA + ":" + std::string(600, '0') + "\r\n" + EOF_RECORD, HEX_ERROR_RECORD_LENGTH, 2},
        BAD_CASE{"AllDigitsNoLineEnd", DATA + ":" + std::string(600, '0'), HEX_ERROR_RECORD_LENGTH, 2},
        BAD_CASE{"CrInside", DATA + ":" + std::string(600, '0') + "\r0\n" + EOF_RECORD, HEX_ERROR_NON_HEX, 2},
        BAD_CASE{"TwoCrs", DATA + ":" + std::string(600, '0') + "\r\r\n" + EOF_RECORD, HEX_ERROR_NON_HEX, 2},
        BAD_CASE{"BadCharLate", DATA + ":" + std::string(590, '0') + "G0\n" + EOF_RECORD, HEX_ERROR_NON_HEX, 2},
        BAD_CASE{"NoColon", DATA + std::string(600, '0') + "\n" + EOF_RECORD, HEX_ERROR_NO_COLON, 2},
        BAD_CASE{"AfterEof", DATA + EOF_RECORD + "\n" + std::string(600, '0') + "\n", HEX_ERROR_AFTER_EOF, 3}),
    [](const auto &Info) { return Info.param.Name; });

TEST(HexStreamDecode, ErrorSticksAndTextBeyond64MiBIsRefused) {
  HEX_DECODER Decoder;
  HexDecodeBegin(&Decoder, nullptr, 0);
  const std::string Bad = ":0300000001020300\n";
  EXPECT_EQ(HexDecodeFeed(&Decoder, Bad.data(), Bad.size()), HEX_ERROR_CHECKSUM);
  EXPECT_EQ(HexDecodeFeed(&Decoder, EOF_RECORD.data(), EOF_RECORD.size()), HEX_ERROR_CHECKSUM);
  HEX_RESULT Result = HexDecodeEnd(&Decoder, nullptr);
  EXPECT_EQ(Result.Error, HEX_ERROR_CHECKSUM);
  EXPECT_EQ(Result.Line, 1u);

  // Pieces of empty lines adding up to more than the largest file.
  std::string Empty(1024 * 1024, '\n');
  HexDecodeBegin(&Decoder, nullptr, 0);
  HEX_ERROR Error = HEX_OK;
  for (UINTN Fed = 0; Fed <= HEX_MAX_FILE_SIZE && Error == HEX_OK; Fed += Empty.size()) {
    Error = HexDecodeFeed(&Decoder, Empty.data(), Empty.size());
  }
  EXPECT_EQ(Error, HEX_ERROR_FILE_TOO_LARGE);
  EXPECT_EQ(HexDecodeEnd(&Decoder, nullptr).Line, 0u);
}

// Image mode: counts the buffers asked for and can refuse them.
struct ALLOCATIONS {
  std::vector<std::vector<UINT8>> Buffers;
  std::vector<UINTN> Sizes;
  bool Refuse = false;
};

UINT8 *Allocate(void *Context, UINTN Size) {
  ALLOCATIONS *A = static_cast<ALLOCATIONS *>(Context);
  A->Sizes.push_back(Size);
  if (A->Refuse) {
    return nullptr;
  }
  A->Buffers.emplace_back(Size, 0x5A);
  return A->Buffers.back().data();
}

HEX_RESULT DecodeImage(const std::string &Text, size_t Piece, ALLOCATIONS *A, IMAGE_INFO *Info) {
  HEX_DECODER Decoder;
  HexDecodeBeginImage(&Decoder, Allocate, A);
  for (size_t Pos = 0; Pos < Text.size(); Pos += Piece) {
    HexDecodeFeed(&Decoder, Text.data() + Pos, std::min(Piece, Text.size() - Pos));
  }
  return HexDecodeEnd(&Decoder, Info);
}

std::vector<UINT8> MakeImage(UINT64 Version, const std::vector<UINT8> &Payload);

// Records of PerRecord bytes of Data from address 0, 04 records at 64 KiB.
std::string Records(const std::vector<UINT8> &Data, size_t PerRecord, size_t Count = SIZE_MAX) {
  std::string Text;
  size_t End = std::min(Count, Data.size());
  for (size_t At = 0; At < End; At += PerRecord) {
    if (At % 0x10000 == 0 && At != 0) {
      Text += Record(4, 0, {0, static_cast<UINT8>(At >> 16)}) + "\n";
    }
    std::vector<UINT8> Part(Data.begin() + At, Data.begin() + std::min(End, At + PerRecord));
    Text += Record(0, static_cast<UINT16>(At), Part) + "\n";
  }
  return Text;
}

TEST(HexImageDecode, TakesOneBufferSizedByTheHeader) {
  std::vector<UINT8> Payload(1000);
  for (size_t Index = 0; Index < Payload.size(); Index++) {
    Payload[Index] = static_cast<UINT8>(Index * 7);
  }
  std::vector<UINT8> Image = MakeImage(0x42, Payload);
  for (size_t PerRecord : {size_t{16}, size_t{20}, size_t{32}, size_t{255}}) {
    for (size_t Piece : {size_t{1}, size_t{64}, size_t{65536}}) {
      SCOPED_TRACE(PerRecord * 100000 + Piece);
      ALLOCATIONS A;
      IMAGE_INFO Info{};
      HEX_RESULT Result = DecodeImage(Records(Image, PerRecord) + EOF_RECORD, Piece, &A, &Info);
      ASSERT_EQ(Result.Error, HEX_OK) << HexErrorText(Result.Error);
      EXPECT_EQ(Result.Size, Image.size());
      ASSERT_EQ(A.Sizes, std::vector<UINTN>{Image.size()});
      EXPECT_EQ(A.Buffers[0], Image);
      EXPECT_EQ(Info.Version, 0x42u);
    }
  }
}

TEST(HexImageDecode, FillsTheErasedTailAndTakesAHeaderOnlyFile) {
  std::vector<UINT8> Image = MakeImage(1, {1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  for (size_t Given : {IMAGE_HEADER_SIZE + 3, IMAGE_HEADER_SIZE + 4}) {
    ALLOCATIONS A;
    HEX_RESULT Result = DecodeImage(Records(Image, 16, Given) + EOF_RECORD, 5, &A, nullptr);
    ASSERT_EQ(Result.Error, HEX_OK) << HexErrorText(Result.Error);
    EXPECT_EQ(A.Buffers.at(0), Image);
  }
  std::vector<UINT8> Erased = MakeImage(2, std::vector<UINT8>(100, 0xFF));
  ALLOCATIONS A;
  HEX_RESULT Result = DecodeImage(Records(Erased, 16, IMAGE_HEADER_SIZE) + EOF_RECORD, 1000, &A, nullptr);
  ASSERT_EQ(Result.Error, HEX_OK) << HexErrorText(Result.Error);
  EXPECT_EQ(A.Buffers.at(0), Erased);
}

TEST(HexImageDecode, RefusesWhatTheHeaderDoesNotAllow) {
  std::vector<UINT8> Image = MakeImage(1, {1, 2, 3, 4});
  const std::vector<UINT8> Extra = {9, 9};

  ALLOCATIONS Beyond;
  std::string Text = Records(Image, 16) + Record(0, static_cast<UINT16>(Image.size()), Extra) + "\n" + EOF_RECORD;
  HEX_RESULT Result = DecodeImage(Text, 4096, &Beyond, nullptr);
  EXPECT_EQ(Result.Error, HEX_ERROR_HEADER_LENGTH);
  EXPECT_EQ(Result.Line, 0u);

  std::vector<UINT8> Huge = Image;
  Huge[IMAGE_LENGTH_OFFSET + 3] = 0x01;  // 16 MiB of payload plus the header
  ALLOCATIONS NotAsked;
  EXPECT_EQ(DecodeImage(Records(Huge, 16) + EOF_RECORD, 4096, &NotAsked, nullptr).Error, HEX_ERROR_HEADER_LENGTH);
  EXPECT_TRUE(NotAsked.Sizes.empty());

  std::vector<UINT8> Magic = Image;
  Magic[0] = 'X';
  ALLOCATIONS Unused;
  EXPECT_EQ(DecodeImage(Records(Magic, 16) + EOF_RECORD, 4096, &Unused, nullptr).Error, HEX_ERROR_MAGIC);
  // Data starting after the header's place: the header is erased bytes.
  EXPECT_EQ(DecodeImage(Record(0, 30, {1}) + "\n" + EOF_RECORD, 4096, &Unused, nullptr).Error, HEX_ERROR_MAGIC);
  EXPECT_EQ(DecodeImage(Record(0, 0, {'O', 'R'}) + "\n" + EOF_RECORD, 4096, &Unused, nullptr).Error,
            HEX_ERROR_NO_HEADER);
  EXPECT_TRUE(Unused.Sizes.empty());

  ALLOCATIONS Refused;
  Refused.Refuse = true;
  EXPECT_EQ(DecodeImage(Records(Image, 16) + EOF_RECORD, 4096, &Refused, nullptr).Error, HEX_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(Refused.Sizes, std::vector<UINTN>{Image.size()});

  std::vector<UINT8> Flipped = Image;
  Flipped.back() ^= 1;
  ALLOCATIONS Crc;
  EXPECT_EQ(DecodeImage(Records(Flipped, 16) + EOF_RECORD, 4096, &Crc, nullptr).Error, HEX_ERROR_PAYLOAD_CRC);
}

TEST(Crc32, MatchesTheStandardCheckValue) {
  const char *Text = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const UINT8 *>(Text), 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

std::vector<UINT8> MakeImage(UINT64 Version, const std::vector<UINT8> &Payload) {
  std::vector<UINT8> Image(IMAGE_HEADER_SIZE);
  BuildImageHeader(Image.data(), Version, Payload.data(), static_cast<UINT32>(Payload.size()));
  Image.insert(Image.end(), Payload.begin(), Payload.end());
  return Image;
}

TEST(ImageHeader, BuiltHeaderHasTheDocumentedLayout) {
  std::vector<UINT8> Image = MakeImage(0x1122334455667788ULL, {0xAA, 0xBB});
  const std::vector<UINT8> Header(Image.begin(), Image.begin() + 16);
  const std::vector<UINT8> Expected = {'O', 'R', 'V', 'I', 2, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(Header, Expected);
  UINT32 Crc = Crc32(Image.data() + IMAGE_HEADER_SIZE, 2);
  EXPECT_EQ(Image[16] | (Image[17] << 8) | (Image[18] << 16) | (static_cast<UINT32>(Image[19]) << 24), Crc);
  EXPECT_EQ(Image[20] | Image[21] | Image[22] | Image[23], 0);
}

TEST(ImageHeader, GoodImageGivesItsVersion) {
  std::vector<UINT8> Image = MakeImage(0x100000001ULL, {1, 2, 3});
  IMAGE_INFO Info{};
  ASSERT_EQ(CheckImage(Image.data(), Image.size(), &Info), HEX_OK);
  EXPECT_EQ(Info.Version, 0x100000001ULL);
  EXPECT_EQ(Info.PayloadLength, 3u);
  std::vector<UINT8> Empty = MakeImage(9, {});
  ASSERT_EQ(CheckImage(Empty.data(), Empty.size(), &Info), HEX_OK);
  EXPECT_EQ(Info.PayloadLength, 0u);
}

TEST(ImageHeader, DamagedImagesAreRefused) {
  std::vector<UINT8> Good = MakeImage(1, {1, 2, 3, 4});
  IMAGE_INFO Info{};
  EXPECT_EQ(CheckImage(Good.data(), IMAGE_HEADER_SIZE - 1, &Info), HEX_ERROR_NO_HEADER);
  std::vector<UINT8> Magic = Good;
  Magic[3] = 'X';
  EXPECT_EQ(CheckImage(Magic.data(), Magic.size(), &Info), HEX_ERROR_MAGIC);
  std::vector<UINT8> Longer = Good;
  Longer.push_back(0xFF);
  EXPECT_EQ(CheckImage(Longer.data(), Longer.size(), &Info), HEX_ERROR_HEADER_LENGTH);
  EXPECT_EQ(CheckImage(Good.data(), Good.size() - 1, &Info), HEX_ERROR_HEADER_LENGTH);
  std::vector<UINT8> Flipped = Good;
  Flipped.back() ^= 0x01;
  EXPECT_EQ(CheckImage(Flipped.data(), Flipped.size(), &Info), HEX_ERROR_PAYLOAD_CRC);
  std::vector<UINT8> HugeLength = Good;
  HugeLength[7] = 0xFF;
  EXPECT_EQ(CheckImage(HugeLength.data(), HugeLength.size(), &Info), HEX_ERROR_HEADER_LENGTH);
}

TEST(ImageHeader, DataEndingBeforeTheHeaderLengthGetsAnErasedTail) {
  std::vector<UINT8> Image = MakeImage(3, {1, 2, 0xFF, 0xFF, 0xFF});
  std::vector<UINT8> Data(Image.begin(), Image.begin() + IMAGE_HEADER_SIZE + 2);
  UINTN ImageSize = 0;
  ASSERT_EQ(ImageSizeFromHeader(Data.data(), Data.size(), &ImageSize), HEX_OK);
  EXPECT_EQ(ImageSize, Image.size());
  Data.resize(ImageSize, 0x5A);
  IMAGE_INFO Info{};
  ASSERT_EQ(FinishImage(Data.data(), IMAGE_HEADER_SIZE + 2, ImageSize, &Info), HEX_OK);
  EXPECT_EQ(Data, Image);
  EXPECT_EQ(Info.Version, 3u);
  // Only the header given, the whole payload erased.
  std::vector<UINT8> Erased = MakeImage(4, std::vector<UINT8>(300, 0xFF));
  ASSERT_EQ(ImageSizeFromHeader(Erased.data(), IMAGE_HEADER_SIZE, &ImageSize), HEX_OK);
  std::vector<UINT8> Whole(Erased.begin(), Erased.begin() + IMAGE_HEADER_SIZE);
  Whole.resize(ImageSize, 0);
  EXPECT_EQ(FinishImage(Whole.data(), IMAGE_HEADER_SIZE, ImageSize, &Info), HEX_OK);
  // A tail that is not erased in the original image fails the payload CRC.
  std::vector<UINT8> NotErased = MakeImage(5, {1, 2, 3});
  std::vector<UINT8> Cut(NotErased.begin(), NotErased.end() - 1);
  ASSERT_EQ(ImageSizeFromHeader(Cut.data(), Cut.size(), &ImageSize), HEX_OK);
  Cut.resize(ImageSize);
  EXPECT_EQ(FinishImage(Cut.data(), NotErased.size() - 1, ImageSize, &Info), HEX_ERROR_PAYLOAD_CRC);
}

TEST(ImageHeader, SizeFromHeaderRefusesImpossibleLengths) {
  std::vector<UINT8> Image = MakeImage(1, {1, 2, 3, 4});
  UINTN ImageSize = 0;
  EXPECT_EQ(ImageSizeFromHeader(Image.data(), IMAGE_HEADER_SIZE - 1, &ImageSize), HEX_ERROR_NO_HEADER);
  // Data going on past the header's length.
  EXPECT_EQ(ImageSizeFromHeader(Image.data(), Image.size() + 1, &ImageSize), HEX_ERROR_HEADER_LENGTH);
  // Largest image accepted, one byte more refused, and a length near 4 GiB.
  auto SetLength = [&](UINT32 Length) {
    for (int Index = 0; Index < 4; Index++) {
      Image[IMAGE_LENGTH_OFFSET + Index] = static_cast<UINT8>(Length >> (8 * Index));
    }
  };
  SetLength(static_cast<UINT32>(HEX_MAX_IMAGE_SIZE - IMAGE_HEADER_SIZE));
  ASSERT_EQ(ImageSizeFromHeader(Image.data(), Image.size(), &ImageSize), HEX_OK);
  EXPECT_EQ(ImageSize, HEX_MAX_IMAGE_SIZE);
  SetLength(static_cast<UINT32>(HEX_MAX_IMAGE_SIZE - IMAGE_HEADER_SIZE + 1));
  EXPECT_EQ(ImageSizeFromHeader(Image.data(), Image.size(), &ImageSize), HEX_ERROR_HEADER_LENGTH);
  SetLength(0xFFFFFFFFu);
  EXPECT_EQ(ImageSizeFromHeader(Image.data(), Image.size(), &ImageSize), HEX_ERROR_HEADER_LENGTH);
  Image[0] = 0;
  EXPECT_EQ(ImageSizeFromHeader(Image.data(), Image.size(), &ImageSize), HEX_ERROR_MAGIC);
}

TEST(ImageHeader, BankMayHoldErasedBytesAfterTheImage) {
  std::vector<UINT8> Bank = MakeImage(7, {1, 2, 3});
  Bank.resize(256, 0xFF);
  IMAGE_INFO Info{};
  ASSERT_EQ(CheckImageInBank(Bank.data(), Bank.size(), true, &Info), HEX_OK);
  EXPECT_EQ(Info.Version, 7u);
  // A length running past the bank's end is refused with or without CRC check.
  Bank[5] = 0x01;
  EXPECT_EQ(CheckImageInBank(Bank.data(), Bank.size(), false, &Info), HEX_ERROR_HEADER_LENGTH);
  std::vector<UINT8> Erased(256, 0xFF);
  EXPECT_EQ(CheckImageInBank(Erased.data(), Erased.size(), false, &Info), HEX_ERROR_MAGIC);
  // Only the CRC check notices a damaged payload.
  std::vector<UINT8> Damaged = MakeImage(7, {1, 2, 3});
  Damaged.back() = 0;
  EXPECT_EQ(CheckImageInBank(Damaged.data(), Damaged.size(), false, &Info), HEX_OK);
  EXPECT_EQ(CheckImageInBank(Damaged.data(), Damaged.size(), true, &Info), HEX_ERROR_PAYLOAD_CRC);
}

TEST(HexEncode, RoundTripsAcrossRecordAndSegmentBoundaries) {
  for (size_t Size : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{0x10000}, size_t{0x10001},
                      size_t{0x30010}}) {
    SCOPED_TRACE(Size);
    std::vector<UINT8> Data(Size);
    for (size_t Index = 0; Index < Size; Index++) {
      Data[Index] = static_cast<UINT8>(Index * 13 + (Index >> 16));
    }
    std::string Text(HexEncodedSize(Size), '\0');
    ASSERT_EQ(EncodeHex(Data.data(), Size, Text.data(), Text.size()), Text.size());
    HEX_RESULT Result{};
    EXPECT_EQ(Decode(Text, &Result), Data);
    EXPECT_EQ(Result.Line, 0u);
  }
}

TEST(HexEncode, WritesLinearAddressRecordsAtEach64KiB) {
  std::vector<UINT8> Data(0x20001, 0x00);
  std::string Text(HexEncodedSize(Data.size()), '\0');
  ASSERT_NE(EncodeHex(Data.data(), Data.size(), Text.data(), Text.size()), 0u);
  EXPECT_NE(Text.find("\n:020000040001F9\n:10000000"), std::string::npos);
  EXPECT_NE(Text.find("\n:020000040002F8\n:0100000000FF\n"), std::string::npos);
  EXPECT_EQ(Text.find(":020000040000"), std::string::npos);
}

TEST(HexEncode, RefusesASmallBuffer) {
  UINT8 Data[20] = {};
  std::string Text(HexEncodedSize(sizeof(Data)) - 1, '\0');
  EXPECT_EQ(EncodeHex(Data, sizeof(Data), Text.data(), Text.size()), 0u);
}

}  // namespace
