/** @file
  Intel HEX decoding and encoding and the zone image header.
**/

#include "HexImage.h"
#include "ByteOrder.h"

#include "ImageSign.h"

#include <OrvBase/HexText.h>

namespace {

constexpr const char *ERROR_TEXTS[] = {
  "ok",
  "line does not start with ':'",
  "non-hex character",
  "record length does not match line",
  "bad checksum",
  "bad record type",
  "bad length for record type",
  "record after end-of-file",
  "address goes backwards or overlaps",
  "record wraps its 64 KiB segment",
  "image too large",
  "missing end-of-file record",
  "no data",
  "missing image header",
  "bad image header magic",
  "image header length mismatch",
  "image payload checksum mismatch",
  "file too large",
  "out of memory",
  "unsupported image format",
};

constexpr UINT8 RECORD_DATA = 0x00;
constexpr UINT8 RECORD_EOF = 0x01;
constexpr UINT8 RECORD_SEGMENT = 0x02;
constexpr UINT8 RECORD_START_SEGMENT = 0x03;
constexpr UINT8 RECORD_LINEAR = 0x04;
constexpr UINT8 RECORD_START_LINEAR = 0x05;

struct CRC_TABLE {
  UINT32 Entry[256];
};

constexpr CRC_TABLE MakeCrcTable() {
  CRC_TABLE Table{};
  for (UINT32 Index = 0; Index < 256; Index++) {
    UINT32 Value = Index;
    for (int Bit = 0; Bit < 8; Bit++) {
      Value = (Value & 1) ? (0xEDB88320u ^ (Value >> 1)) : (Value >> 1);
    }
    Table.Entry[Index] = Value;
  }
  return Table;
}

constexpr CRC_TABLE CRC32_TABLE = MakeCrcTable();

HEX_RESULT Fail(HEX_ERROR Error, UINT32 Line) { return HEX_RESULT{Error, Line, 0}; }

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

char *PutByte(char *P, UINT8 Value) {
  *P++ = HEX_DIGITS[Value >> 4];
  *P++ = HEX_DIGITS[Value & 0xF];
  return P;
}

// Writes one record with its checksum and line end.
char *PutRecord(char *P, UINT8 Type, UINT16 Address, const UINT8 *Data, UINT8 Count) {
  UINT8 Sum = static_cast<UINT8>(Count + (Address >> 8) + (Address & 0xFF) + Type);
  *P++ = ':';
  P = PutByte(P, Count);
  P = PutByte(P, static_cast<UINT8>(Address >> 8));
  P = PutByte(P, static_cast<UINT8>(Address));
  P = PutByte(P, Type);
  for (UINT8 Index = 0; Index < Count; Index++) {
    P = PutByte(P, Data[Index]);
    Sum = static_cast<UINT8>(Sum + Data[Index]);
  }
  P = PutByte(P, static_cast<UINT8>(0x100 - Sum));
  *P++ = '\n';
  return P;
}

}  // namespace

const char *HexErrorText(HEX_ERROR Error) {
  if (static_cast<UINTN>(Error) < sizeof(ERROR_TEXTS) / sizeof(ERROR_TEXTS[0])) {
    return ERROR_TEXTS[Error];
  }
  return "unknown error";
}

namespace {

// Digit values of the 256 characters (HEX_NOT_DIGIT for the others).
constexpr HEX_DIGIT_TABLE DIGITS = MakeHexDigitTable();

inline UINT8 Digit(char C) { return DIGITS.Value[static_cast<UINT8>(C)]; }

HEX_ERROR Stop(HEX_DECODER *D, HEX_ERROR Error, UINT32 Line) {
  D->Error = Error;
  D->ErrorLine = Line;
  return Error;
}

void FillErased(UINT8 *Out, UINT64 From, UINT64 To) {
  for (UINT64 Index = From; Index < To; Index++) {
    Out[Index] = 0xFF;
  }
}

void CopyBytes(UINT8 *To, const UINT8 *From, UINTN Count) {
  for (UINTN Index = 0; Index < Count; Index++) {
    To[Index] = From[Index];
  }
}

bool ImageMode(const HEX_DECODER *D) { return D->Allocate != nullptr; }

bool HoldsHeadOnly(const HEX_DECODER *D) { return ImageMode(D) && D->Out == D->Head; }

// Image mode: the header is complete in Head; take the image's buffer.
HEX_ERROR TakeImageBuffer(HEX_DECODER *D, UINT64 DataEnd) {
  UINTN ImageSize = 0;
  UINTN Known = DataEnd < IMAGE_HEADER_SIZE ? static_cast<UINTN>(DataEnd) : IMAGE_HEADER_SIZE;
  HEX_ERROR Error = ImageSizeFromHeader(D->Head, Known, &ImageSize);
  if (Error == HEX_OK && DataEnd > ImageSize) {
    Error = HEX_ERROR_HEADER_LENGTH;
  }
  if (Error != HEX_OK) {
    return Stop(D, Error, 0);
  }
  UINT8 *Buffer = D->Allocate(D->Context, ImageSize);
  if (Buffer == nullptr) {
    return Stop(D, HEX_ERROR_OUT_OF_MEMORY, 0);
  }
  CopyBytes(Buffer, D->Head, IMAGE_HEADER_SIZE);
  D->Out = Buffer;
  D->OutCapacity = ImageSize;
  return HEX_OK;
}

// Places the bytes of a data record that were decoded aside (the record
// could not be decoded in place), after every check of the record passed.
HEX_ERROR PlaceData(HEX_DECODER *D, UINT64 Address, const UINT8 *Data, UINTN Count) {
  UINT64 End = Address + Count;
  if (HoldsHeadOnly(D) && End > IMAGE_HEADER_SIZE) {
    // Complete the header from this record, then take the image's buffer.
    UINT64 HeadEnd = Address < IMAGE_HEADER_SIZE ? Address : IMAGE_HEADER_SIZE;
    FillErased(D->Head, D->NextAddress < HeadEnd ? D->NextAddress : HeadEnd, HeadEnd);
    for (UINT64 At = Address; At < IMAGE_HEADER_SIZE; At++) {
      D->Head[At] = Data[At - Address];
    }
    if (TakeImageBuffer(D, End) != HEX_OK) {
      return D->Error;
    }
  }
  if (D->Out == nullptr) {
    return HEX_OK;
  }
  if (End > D->OutCapacity) {
    return ImageMode(D) ? Stop(D, HEX_ERROR_HEADER_LENGTH, 0) : Stop(D, HEX_ERROR_TOO_LARGE, D->LineNumber);
  }
  FillErased(D->Out, D->NextAddress, Address);
  CopyBytes(D->Out + Address, Data, Count);
  return HEX_OK;
}

// The length each record type but data must have, by type; types above
// RECORD_START_LINEAR are unknown.
struct RECORD_LENGTHS {
  UINT8 Of[RECORD_START_LINEAR + 1];
};

constexpr RECORD_LENGTHS MakeRecordLengths() {
  RECORD_LENGTHS Lengths{};
  Lengths.Of[RECORD_EOF] = 0;
  Lengths.Of[RECORD_SEGMENT] = 2;
  Lengths.Of[RECORD_START_SEGMENT] = 4;
  Lengths.Of[RECORD_LINEAR] = 2;
  Lengths.Of[RECORD_START_LINEAR] = 4;
  return Lengths;
}

constexpr RECORD_LENGTHS RECORD_LENGTH = MakeRecordLengths();

// A data record whose checksum is good: refused when it wraps its segment,
// goes backwards or overlaps, or ends past the largest image. Otherwise its
// bytes are placed: Data was decoded aside (Aside) or in place already.
void TakeDataRecord(HEX_DECODER *D, UINT16 Offset, const UINT8 *Data, UINTN Count, bool Aside,
                    UINT32 LineNumber) {
  if (Count == 0) {
    return;
  }
  // Under segment addressing the offset wraps inside its 64 KiB segment,
  // which would put the record's last bytes below its first: such a record
  // is refused. Under linear addressing (an 04 record or none) the address
  // simply goes on past the 64 KiB boundary.
  if (D->Segmented && static_cast<UINT32>(Offset) + Count > 0x10000u) {
    Stop(D, HEX_ERROR_WRAP, LineNumber);
    return;
  }
  const UINT64 Address = D->Base + Offset;
  if (Address < D->NextAddress) {
    Stop(D, HEX_ERROR_BACKWARDS, LineNumber);
    return;
  }
  const UINT64 End = Address + Count;
  if (End > HEX_MAX_IMAGE_SIZE) {
    Stop(D, HEX_ERROR_TOO_LARGE, LineNumber);
    return;
  }
  if (Aside) {
    if (PlaceData(D, Address, Data, Count) != HEX_OK) {
      return;
    }
  } else {
    FillErased(D->Out, D->NextAddress, Address);
  }
  D->NextAddress = End;
  D->SeenData = true;
}

// Any other record whose checksum is good: end of file, an extended address,
// a start address (ignored), or an unknown type.
void TakeOtherRecord(HEX_DECODER *D, UINT8 Type, const UINT8 *Data, UINTN Count, UINT32 LineNumber) {
  if (Type > RECORD_START_LINEAR) {
    Stop(D, HEX_ERROR_RECORD_TYPE, LineNumber);
    return;
  }
  if (Count != RECORD_LENGTH.Of[Type]) {
    Stop(D, HEX_ERROR_TYPE_LENGTH, LineNumber);
    return;
  }
  if (Type == RECORD_EOF) {
    D->SeenEof = true;
  } else if (Type == RECORD_SEGMENT || Type == RECORD_LINEAR) {
    D->Segmented = Type == RECORD_SEGMENT;
    D->Base = static_cast<UINT64>((Data[0] << 8) | Data[1]) << (D->Segmented ? 4 : 16);
  }
}

// Decodes Count pairs of digits into Out and returns the sum of the bytes;
// the digit values are ORed into *Bad, so that HEX_NOT_DIGIT shows there
// when any character was no digit.
inline UINT8 DecodeDigitPairs(const char *Digits, UINTN Count, UINT8 *Out, UINT8 *Bad) {
  UINT8 Sum = 0;
  for (UINTN Index = 0; Index < Count; Index++) {
    UINT8 High = Digit(Digits[2 * Index]);
    UINT8 Low = Digit(Digits[2 * Index + 1]);
    *Bad |= High | Low;
    UINT8 Byte = static_cast<UINT8>((High << 4) | Low);
    Out[Index] = Byte;
    Sum = static_cast<UINT8>(Sum + Byte);
  }
  return Sum;
}

// The byte count of a record line from its first two digits; FALSE when they
// are no digits.
inline bool RecordCount(const char *Line, UINTN *Count) {
  UINT8 High = Digit(Line[1]);
  UINT8 Low = Digit(Line[2]);
  *Count = static_cast<UINTN>((High << 4) | Low);
  return ((High | Low) & HEX_NOT_DIGIT) == 0;
}

constexpr int RECORD_NOT_CLEAN = -1;

// Decodes one record line of exactly 11 + 2 * Count characters starting
// with ':'. A data record that fits where it belongs is decoded in place.
// Returns RECORD_NOT_CLEAN, without any effect on the state, when a
// character is no hex digit (the caller then looks at the line as a whole);
// otherwise counts the line and returns 0 with D->Error set or not.
int DecodeRecord(HEX_DECODER *D, const char *Line, UINTN Count) {
  UINT8 Bad = 0;
  UINT8 Fields[3];
  (void)DecodeDigitPairs(Line + 3, 3, Fields, &Bad);
  const UINT16 Offset = static_cast<UINT16>((Fields[0] << 8) | Fields[1]);
  const UINT8 Type = Fields[2];
  UINT8 Sum = static_cast<UINT8>(Count + Fields[0] + Fields[1] + Type);

  UINT8 Aside[255];
  UINT8 *Data = Aside;
  const UINT64 Address = D->Base + Offset;
  if (Type == RECORD_DATA && D->Out != nullptr && !HoldsHeadOnly(D) && Address >= D->NextAddress &&
      Address + Count <= D->OutCapacity && !(D->Segmented && Offset + Count > 0x10000u)) {
    Data = D->Out + Address;
  }
  Sum = static_cast<UINT8>(Sum + DecodeDigitPairs(Line + 9, Count, Data, &Bad));
  UINT8 Checksum[1];
  Sum = static_cast<UINT8>(Sum + DecodeDigitPairs(Line + 9 + 2 * Count, 1, Checksum, &Bad));
  if ((Bad & HEX_NOT_DIGIT) != 0) {
    return RECORD_NOT_CLEAN;
  }

  const UINT32 LineNumber = ++D->LineNumber;
  if (Sum != 0) {
    Stop(D, HEX_ERROR_CHECKSUM, LineNumber);
  } else if (Type == RECORD_DATA) {
    TakeDataRecord(D, Offset, Data, Count, Data == Aside, LineNumber);
  } else {
    TakeOtherRecord(D, Type, Data, Count, LineNumber);
  }
  return 0;
}

// One whole line, its line end (LF, or CR LF) removed.
HEX_ERROR DecodeLine(HEX_DECODER *D, const char *Line, UINTN Length) {
  if (Length == 0) {
    D->LineNumber++;
    return HEX_OK;
  }
  if (D->SeenEof) {
    return Stop(D, HEX_ERROR_AFTER_EOF, D->LineNumber + 1);
  }
  if (Line[0] != ':') {
    return Stop(D, HEX_ERROR_NO_COLON, D->LineNumber + 1);
  }
  UINTN Count = 0;
  if (Length >= 11 && (Length & 1) != 0 && RecordCount(Line, &Count) && Length == 11 + 2 * Count &&
      DecodeRecord(D, Line, Count) != RECORD_NOT_CLEAN) {
    return D->Error;
  }
  for (UINTN Index = 1; Index < Length; Index++) {
    if ((Digit(Line[Index]) & HEX_NOT_DIGIT) != 0) {
      return Stop(D, HEX_ERROR_NON_HEX, D->LineNumber + 1);
    }
  }
  return Stop(D, HEX_ERROR_RECORD_LENGTH, D->LineNumber + 1);
}

// Notes one character of a line too long for any record. A CR counts as a
// bad character unless it turns out to end the line.
void NoteOverlong(HEX_DECODER *D, char C) {
  if (D->OverlongCr || (C != '\r' && (Digit(C) & HEX_NOT_DIGIT) != 0)) {
    D->OverlongNonHex = true;
  }
  D->OverlongCr = C == '\r';
}

// Keeps the start of a line whose end is in a later piece. A line longer
// than any record is only followed to its end, noting what is wrong with it.
void CarryOn(HEX_DECODER *D, const char *Text, UINTN Length) {
  UINTN Index = 0;
  if (!D->Overlong) {
    while (Index < Length && D->CarryLen < HEX_LINE_MAX) {
      D->Carry[D->CarryLen++] = Text[Index++];
    }
    if (Index == Length) {
      return;
    }
    D->Overlong = true;
    D->OverlongNonHex = false;
    D->OverlongCr = false;
    for (UINTN At = 1; At < D->CarryLen; At++) {
      NoteOverlong(D, D->Carry[At]);
    }
  }
  for (; Index < Length; Index++) {
    NoteOverlong(D, Text[Index]);
  }
}

// The carried line is complete.
HEX_ERROR EndCarriedLine(HEX_DECODER *D) {
  UINTN Length = D->CarryLen;
  D->CarryLen = 0;
  if (D->Overlong) {
    D->Overlong = false;
    UINT32 Line = D->LineNumber + 1;
    if (D->SeenEof) {
      return Stop(D, HEX_ERROR_AFTER_EOF, Line);
    }
    if (D->Carry[0] != ':') {
      return Stop(D, HEX_ERROR_NO_COLON, Line);
    }
    return Stop(D, D->OverlongNonHex ? HEX_ERROR_NON_HEX : HEX_ERROR_RECORD_LENGTH, Line);
  }
  if (Length > 0 && D->Carry[Length - 1] == '\r') {
    Length--;
  }
  return DecodeLine(D, D->Carry, Length);
}

UINTN FindLineEnd(const char *Text, UINTN From, UINTN Length) {
  while (From < Length && Text[From] != '\n') {
    From++;
  }
  return From;
}

// The usual line: a record whose count says where it ends, then LF or CR LF,
// all of it in the Left characters at Line. Returns the characters it took,
// line end included, with D->Error set or not; 0 when the line is to be
// looked at as a whole.
UINTN DecodeUsualLine(HEX_DECODER *D, const char *Line, UINTN Left) {
  UINTN Count = 0;
  if (Left <= 11 || Line[0] != ':' || D->SeenEof || !RecordCount(Line, &Count)) {
    return 0;
  }
  const UINTN RecordLength = 11 + 2 * Count;
  if (RecordLength >= Left) {
    return 0;
  }
  UINTN Ending = 0;
  if (Line[RecordLength] == '\n') {
    Ending = 1;
  } else if (Line[RecordLength] == '\r' && RecordLength + 1 < Left && Line[RecordLength + 1] == '\n') {
    Ending = 2;
  }
  if (Ending == 0 || DecodeRecord(D, Line, Count) == RECORD_NOT_CLEAN) {
    return 0;
  }
  return RecordLength + Ending;
}

// Goes on with the line carried from the previous piece. Returns where the
// next line starts in Text, or Length when the line goes on past this piece
// or was refused (D->Error).
UINTN ContinueCarriedLine(HEX_DECODER *D, const char *Text, UINTN Length) {
  UINTN End = FindLineEnd(Text, 0, Length);
  CarryOn(D, Text, End);
  if (End == Length || EndCarriedLine(D) != HEX_OK) {
    return Length;
  }
  return End + 1;
}

}  // namespace

void HexDecodeBegin(HEX_DECODER *Decoder, UINT8 *Out, UINTN OutCapacity) {
  *Decoder = HEX_DECODER{};
  Decoder->Out = Out;
  Decoder->OutCapacity = Out != nullptr ? OutCapacity : 0;
}

void HexDecodeBeginImage(HEX_DECODER *Decoder, HEX_ALLOCATE Allocate, void *Context) {
  *Decoder = HEX_DECODER{};
  Decoder->Allocate = Allocate;
  Decoder->Context = Context;
  Decoder->Out = Decoder->Head;
  Decoder->OutCapacity = IMAGE_HEADER_SIZE;
}

HEX_ERROR HexDecodeFeed(HEX_DECODER *D, const char *Text, UINTN Length) {
  if (D->Error != HEX_OK) {
    return D->Error;
  }
  D->TextSize += Length;
  if (D->TextSize > HEX_MAX_FILE_SIZE) {
    return Stop(D, HEX_ERROR_FILE_TOO_LARGE, 0);
  }
  UINTN Pos = 0;
  if (D->CarryLen > 0 || D->Overlong) {
    Pos = ContinueCarriedLine(D, Text, Length);
    if (Pos == Length) {
      return D->Error;
    }
  }
  while (Pos < Length) {
    const char *Line = Text + Pos;
    const UINTN Taken = DecodeUsualLine(D, Line, Length - Pos);
    if (Taken != 0) {
      if (D->Error != HEX_OK) {
        return D->Error;
      }
      Pos += Taken;
      continue;
    }
    UINTN End = FindLineEnd(Text, Pos, Length);
    if (End == Length) {
      break;
    }
    UINTN LineLength = End - Pos;
    if (LineLength > 0 && Text[End - 1] == '\r') {
      LineLength--;
    }
    if (DecodeLine(D, Line, LineLength) != HEX_OK) {
      return D->Error;
    }
    Pos = End + 1;
  }
  CarryOn(D, Text + Pos, Length - Pos);
  return HEX_OK;
}

HEX_RESULT HexDecodeEnd(HEX_DECODER *D, IMAGE_INFO *Info) {
  if (D->Error == HEX_OK && (D->CarryLen > 0 || D->Overlong)) {
    EndCarriedLine(D);
  }
  if (D->Error == HEX_OK && !D->SeenEof) {
    Stop(D, HEX_ERROR_NO_EOF, 0);
  }
  if (D->Error == HEX_OK && !D->SeenData) {
    Stop(D, HEX_ERROR_NO_DATA, 0);
  }
  if (D->Error != HEX_OK) {
    return HEX_RESULT{D->Error, D->ErrorLine, 0};
  }
  if (!ImageMode(D)) {
    return HEX_RESULT{HEX_OK, 0, static_cast<UINTN>(D->NextAddress)};
  }
  if (HoldsHeadOnly(D) && TakeImageBuffer(D, D->NextAddress) != HEX_OK) {
    return HEX_RESULT{D->Error, 0, 0};
  }
  IMAGE_INFO Found{};
  HEX_ERROR Error = FinishImage(D->Out, static_cast<UINTN>(D->NextAddress), D->OutCapacity, &Found);
  if (Error != HEX_OK) {
    Stop(D, Error, 0);
    return HEX_RESULT{Error, 0, 0};
  }
  if (Info != nullptr) {
    *Info = Found;
  }
  return HEX_RESULT{HEX_OK, 0, D->OutCapacity};
}

HEX_RESULT DecodeHex(const char *Text, UINTN Length, UINT8 *Out, UINTN OutCapacity) {
  if (Length > HEX_MAX_FILE_SIZE) {
    return Fail(HEX_ERROR_FILE_TOO_LARGE, 0);
  }
  HEX_DECODER Decoder;
  HexDecodeBegin(&Decoder, Out, OutCapacity);
  HexDecodeFeed(&Decoder, Text, Length);
  return HexDecodeEnd(&Decoder, nullptr);
}

UINT32 Crc32(const UINT8 *Data, UINTN Size) {
  UINT32 Crc = 0xFFFFFFFFu;
  for (UINTN Index = 0; Index < Size; Index++) {
    Crc = CRC32_TABLE.Entry[(Crc ^ Data[Index]) & 0xFF] ^ (Crc >> 8);
  }
  return Crc ^ 0xFFFFFFFFu;
}

static HEX_ERROR ReadHeader(const UINT8 *Data, UINTN Size, IMAGE_INFO *Info) {
  if (Size < IMAGE_HEADER_SIZE) {
    return HEX_ERROR_NO_HEADER;
  }
  if (ReadLe32(Data) != IMAGE_MAGIC) {
    return HEX_ERROR_MAGIC;
  }
  *Info = IMAGE_INFO{};
  Info->PayloadLength = ReadLe32(Data + IMAGE_LENGTH_OFFSET);
  Info->Version = static_cast<UINT64>(ReadLe32(Data + IMAGE_VERSION_OFFSET)) |
                  (static_cast<UINT64>(ReadLe32(Data + IMAGE_VERSION_OFFSET + 4)) << 32);
  Info->ImageSize = static_cast<UINT64>(Info->PayloadLength) + IMAGE_HEADER_SIZE;
  // Byte 20 was reserved (0) in format 1; formats 2 and 3 say so there and
  // keep their trailer behind the payload.
  const UINT8 Format = Data[IMAGE_FORMAT_OFFSET];
  if (Format <= 1) {
    Info->Format = 1;
    return HEX_OK;
  }
  const UINT8 Flags = Data[IMAGE_FLAGS_OFFSET];
  if ((Format != IMAGE_FORMAT_2 && Format != IMAGE_FORMAT_3) || (Flags & ~IMAGE_FLAG_SIGNED) != 0 ||
      Data[22] != 0 || Data[23] != 0) {
    return HEX_ERROR_FORMAT;
  }
  Info->Format = Format;
  Info->Signed = (Flags & IMAGE_FLAG_SIGNED) != 0;
  Info->ImageSize += ImageProtectedSize(Format) + (Info->Signed ? IMAGE_SIGNATURE_BLOCK_SIZE : 0);
  return HEX_OK;
}

// The protected area after the payload: the counter and, in format 3, a zone
// of 1 or 2 and the product; every reserved byte 0.
static HEX_ERROR ReadProtected(const UINT8 *Protected, IMAGE_INFO *Info) {
  const UINTN Size = ImageProtectedSize(Info->Format);
  const UINTN ReservedFrom = Info->Format == IMAGE_FORMAT_3 ? PROTECTED_ZONE_OFFSET + 1 : 4;
  for (UINTN Index = ReservedFrom; Index < Size; Index++) {
    if (Protected[Index] != 0) {
      return HEX_ERROR_FORMAT;
    }
  }
  Info->SecurityCounter = ReadLe32(Protected + PROTECTED_COUNTER_OFFSET);
  if (Info->Format == IMAGE_FORMAT_3) {
    Info->Zone = Protected[PROTECTED_ZONE_OFFSET];
    Info->Product = ReadLe32(Protected + PROTECTED_PRODUCT_OFFSET);
    if (Info->Zone != IMAGE_ZONE_OCM && Info->Zone != IMAGE_ZONE_CUSTOMER) {
      return HEX_ERROR_FORMAT;
    }
  }
  return HEX_OK;
}

// The payload CRC and, in formats 2 and 3, the protected area after the payload.
static HEX_ERROR CheckBody(const UINT8 *Data, IMAGE_INFO *Info) {
  if (Crc32(Data + IMAGE_HEADER_SIZE, Info->PayloadLength) != ReadLe32(Data + IMAGE_CRC_OFFSET)) {
    return HEX_ERROR_PAYLOAD_CRC;
  }
  if (Info->Format == 1) {
    return HEX_OK;
  }
  return ReadProtected(Data + IMAGE_HEADER_SIZE + Info->PayloadLength, Info);
}

// The image at the start of Data: its header, its size against Size (equal
// to it, or within it) and, when CheckCrc is set, its payload CRC and, in
// formats 2 and 3, its protected area.
static HEX_ERROR CheckImageAt(const UINT8 *Data, UINTN Size, bool ExactSize, bool CheckCrc,
                              IMAGE_INFO *Info) {
  IMAGE_INFO Found{};
  HEX_ERROR Error = ReadHeader(Data, Size, &Found);
  if (Error != HEX_OK) {
    return Error;
  }
  if (ExactSize ? Found.ImageSize != Size : Found.ImageSize > Size) {
    return HEX_ERROR_HEADER_LENGTH;
  }
  if (CheckCrc) {
    Error = CheckBody(Data, &Found);
    if (Error != HEX_OK) {
      return Error;
    }
  }
  *Info = Found;
  return HEX_OK;
}

HEX_ERROR CheckImage(const UINT8 *Data, UINTN Size, IMAGE_INFO *Info) {
  return CheckImageAt(Data, Size, true, true, Info);
}

HEX_ERROR ImageSizeFromHeader(const UINT8 *Data, UINTN DataSize, UINTN *ImageSize) {
  IMAGE_INFO Found{};
  HEX_ERROR Error = ReadHeader(Data, DataSize, &Found);
  // The format is judged when the image is complete (CheckImage): a record
  // that comes out of order may still be hiding the header's last bytes, and
  // that record is the fault to report. Until then the format 1 size stands.
  if (Error == HEX_ERROR_FORMAT) {
    Error = HEX_OK;
  }
  if (Error != HEX_OK) {
    return Error;
  }
  if (Found.ImageSize < DataSize || Found.ImageSize > HEX_MAX_IMAGE_SIZE) {
    return HEX_ERROR_HEADER_LENGTH;
  }
  *ImageSize = static_cast<UINTN>(Found.ImageSize);
  return HEX_OK;
}

HEX_ERROR FinishImage(UINT8 *Data, UINTN DataSize, UINTN ImageSize, IMAGE_INFO *Info) {
  FillErased(Data, DataSize, ImageSize);
  return CheckImage(Data, ImageSize, Info);
}

HEX_ERROR CheckImageInBank(const UINT8 *Bank, UINTN BankSize, bool CheckCrc, IMAGE_INFO *Info) {
  return CheckImageAt(Bank, BankSize, false, CheckCrc, Info);
}

void BuildImageHeader(UINT8 *Header, UINT64 Version, const UINT8 *Payload, UINT32 PayloadLength) {
  WriteLe32(Header, IMAGE_MAGIC);
  WriteLe32(Header + IMAGE_LENGTH_OFFSET, PayloadLength);
  WriteLe32(Header + IMAGE_VERSION_OFFSET, static_cast<UINT32>(Version));
  WriteLe32(Header + IMAGE_VERSION_OFFSET + 4, static_cast<UINT32>(Version >> 32));
  WriteLe32(Header + IMAGE_CRC_OFFSET, Crc32(Payload, PayloadLength));
  WriteLe32(Header + 20, 0);
}

UINTN HexEncodedSize(UINTN Size) {
  UINTN FullLines = Size / 16;
  UINTN Rest = Size % 16;
  UINTN Total = FullLines * (11 + 32 + 1);
  if (Rest != 0) {
    Total += 11 + 2 * Rest + 1;
  }
  // One extended linear address record for every 64 KiB segment after the first.
  UINTN Segments = (Size + 0xFFFF) / 0x10000;
  if (Segments > 1) {
    Total += (Segments - 1) * (11 + 4 + 1);
  }
  return Total + 12;
}

UINTN EncodeHex(const UINT8 *Data, UINTN Size, char *Out, UINTN Capacity) {
  UINTN Needed = HexEncodedSize(Size);
  if (Capacity < Needed) {
    return 0;
  }
  char *P = Out;
  for (UINTN Offset = 0; Offset < Size; Offset += 16) {
    if (Offset != 0 && (Offset & 0xFFFF) == 0) {
      UINT8 Upper[2] = {static_cast<UINT8>(Offset >> 24), static_cast<UINT8>(Offset >> 16)};
      P = PutRecord(P, RECORD_LINEAR, 0, Upper, 2);
    }
    UINTN Count = (Size - Offset < 16) ? Size - Offset : 16;
    P = PutRecord(P, RECORD_DATA, static_cast<UINT16>(Offset & 0xFFFF), Data + Offset,
                  static_cast<UINT8>(Count));
  }
  P = PutRecord(P, RECORD_EOF, 0, nullptr, 0);
  return static_cast<UINTN>(P - Out);
}
