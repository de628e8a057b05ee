/** @file
  Intel HEX decoding and encoding and the zone image header.
**/

#include "HexImage.h"

#include "SimText.h"

namespace {

constexpr const char *kErrorTexts[] = {
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

constexpr CRC_TABLE kCrcTable = MakeCrcTable();

UINT32 ReadLe32(const UINT8 *P) {
  return static_cast<UINT32>(P[0]) | (static_cast<UINT32>(P[1]) << 8) |
         (static_cast<UINT32>(P[2]) << 16) | (static_cast<UINT32>(P[3]) << 24);
}

void WriteLe32(UINT8 *P, UINT32 Value) {
  for (int Index = 0; Index < 4; Index++) {
    P[Index] = static_cast<UINT8>(Value >> (8 * Index));
  }
}

HEX_RESULT Fail(HEX_ERROR Error, UINT32 Line) { return HEX_RESULT{Error, Line, 0}; }

constexpr char kHexDigits[] = "0123456789ABCDEF";

char *PutByte(char *P, UINT8 Value) {
  *P++ = kHexDigits[Value >> 4];
  *P++ = kHexDigits[Value & 0xF];
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
  if (static_cast<UINTN>(Error) < sizeof(kErrorTexts) / sizeof(kErrorTexts[0])) {
    return kErrorTexts[Error];
  }
  return "unknown error";
}

HEX_RESULT DecodeHex(const char *Text, UINTN Length, UINT8 *Out, UINTN OutCapacity) {
  if (Length > HEX_MAX_FILE_SIZE) {
    return Fail(HEX_ERROR_FILE_TOO_LARGE, 0);
  }
  UINTN Pos = 0;
  UINT32 LineNumber = 0;
  UINT64 Base = 0;
  UINT64 NextAddress = 0;  // end of the data given so far
  bool Segmented = false;  // the last extended address record was an 02
  bool SeenData = false;
  bool SeenEof = false;
  TEXT_SPAN Line;

  while (NextLine(Text, Length, &Pos, &Line)) {
    LineNumber++;
    if (Line.Len == 0) {
      continue;
    }
    if (SeenEof) {
      return Fail(HEX_ERROR_AFTER_EOF, LineNumber);
    }
    if (Line.Ptr[0] != ':') {
      return Fail(HEX_ERROR_NO_COLON, LineNumber);
    }
    // Decode all digit pairs after the colon; the record is at most 5 + 255 bytes.
    UINT8 Record[5 + 255];
    UINTN Digits = Line.Len - 1;
    for (UINTN Index = 0; Index < Digits; Index++) {
      if (HexDigitValue(Line.Ptr[1 + Index]) < 0) {
        return Fail(HEX_ERROR_NON_HEX, LineNumber);
      }
    }
    if (Digits < 10 || (Digits & 1) != 0) {
      return Fail(HEX_ERROR_RECORD_LENGTH, LineNumber);
    }
    UINTN Bytes = Digits / 2;
    UINT8 Count = static_cast<UINT8>(HexDigitValue(Line.Ptr[1]) * 16 + HexDigitValue(Line.Ptr[2]));
    if (Bytes != static_cast<UINTN>(Count) + 5) {
      return Fail(HEX_ERROR_RECORD_LENGTH, LineNumber);
    }
    UINT8 Sum = 0;
    for (UINTN Index = 0; Index < Bytes; Index++) {
      Record[Index] = static_cast<UINT8>(HexDigitValue(Line.Ptr[1 + 2 * Index]) * 16 +
                                         HexDigitValue(Line.Ptr[2 + 2 * Index]));
      Sum = static_cast<UINT8>(Sum + Record[Index]);
    }
    if (Sum != 0) {
      return Fail(HEX_ERROR_CHECKSUM, LineNumber);
    }
    UINT16 Offset = static_cast<UINT16>((Record[1] << 8) | Record[2]);
    UINT8 Type = Record[3];
    const UINT8 *Data = Record + 4;

    switch (Type) {
      case RECORD_DATA: {
        if (Count == 0) {
          break;
        }
        // Under segment addressing the offset wraps inside its 64 KiB
        // segment, which would put the record's last bytes below its first:
        // such a record is refused. Under linear addressing (an 04 record or
        // none) the address simply goes on past the 64 KiB boundary.
        if (Segmented && static_cast<UINT32>(Offset) + Count > 0x10000u) {
          return Fail(HEX_ERROR_WRAP, LineNumber);
        }
        UINT64 Address = Base + Offset;
        if (Address < NextAddress) {
          return Fail(HEX_ERROR_BACKWARDS, LineNumber);
        }
        UINT64 End = Address + Count;
        if (End > HEX_MAX_IMAGE_SIZE) {
          return Fail(HEX_ERROR_TOO_LARGE, LineNumber);
        }
        if (Out != nullptr) {
          if (End > OutCapacity) {
            return Fail(HEX_ERROR_TOO_LARGE, LineNumber);
          }
          for (UINT64 Fill = NextAddress; Fill < Address; Fill++) {
            Out[Fill] = 0xFF;
          }
          for (UINT8 Index = 0; Index < Count; Index++) {
            Out[Address + Index] = Data[Index];
          }
        }
        NextAddress = End;
        SeenData = true;
        break;
      }
      case RECORD_EOF:
        if (Count != 0) {
          return Fail(HEX_ERROR_TYPE_LENGTH, LineNumber);
        }
        SeenEof = true;
        break;
      case RECORD_SEGMENT:
        if (Count != 2) {
          return Fail(HEX_ERROR_TYPE_LENGTH, LineNumber);
        }
        Base = static_cast<UINT64>((Data[0] << 8) | Data[1]) << 4;
        Segmented = true;
        break;
      case RECORD_LINEAR:
        if (Count != 2) {
          return Fail(HEX_ERROR_TYPE_LENGTH, LineNumber);
        }
        Base = static_cast<UINT64>((Data[0] << 8) | Data[1]) << 16;
        Segmented = false;
        break;
      case RECORD_START_SEGMENT:
      case RECORD_START_LINEAR:
        if (Count != 4) {
          return Fail(HEX_ERROR_TYPE_LENGTH, LineNumber);
        }
        break;
      default:
        return Fail(HEX_ERROR_RECORD_TYPE, LineNumber);
    }
  }
  if (!SeenEof) {
    return Fail(HEX_ERROR_NO_EOF, 0);
  }
  if (!SeenData) {
    return Fail(HEX_ERROR_NO_DATA, 0);
  }
  return HEX_RESULT{HEX_OK, 0, static_cast<UINTN>(NextAddress)};
}

UINT32 Crc32(const UINT8 *Data, UINTN Size) {
  UINT32 Crc = 0xFFFFFFFFu;
  for (UINTN Index = 0; Index < Size; Index++) {
    Crc = kCrcTable.Entry[(Crc ^ Data[Index]) & 0xFF] ^ (Crc >> 8);
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
  Info->PayloadLength = ReadLe32(Data + IMAGE_LENGTH_OFFSET);
  Info->Version = static_cast<UINT64>(ReadLe32(Data + IMAGE_VERSION_OFFSET)) |
                  (static_cast<UINT64>(ReadLe32(Data + IMAGE_VERSION_OFFSET + 4)) << 32);
  return HEX_OK;
}

HEX_ERROR CheckImage(const UINT8 *Data, UINTN Size, IMAGE_INFO *Info) {
  IMAGE_INFO Found{};
  HEX_ERROR Error = ReadHeader(Data, Size, &Found);
  if (Error != HEX_OK) {
    return Error;
  }
  if (static_cast<UINT64>(Found.PayloadLength) + IMAGE_HEADER_SIZE != Size) {
    return HEX_ERROR_HEADER_LENGTH;
  }
  if (Crc32(Data + IMAGE_HEADER_SIZE, Found.PayloadLength) != ReadLe32(Data + IMAGE_CRC_OFFSET)) {
    return HEX_ERROR_PAYLOAD_CRC;
  }
  *Info = Found;
  return HEX_OK;
}

HEX_ERROR ImageSizeFromHeader(const UINT8 *Data, UINTN DataSize, UINTN *ImageSize) {
  IMAGE_INFO Found{};
  HEX_ERROR Error = ReadHeader(Data, DataSize, &Found);
  if (Error != HEX_OK) {
    return Error;
  }
  UINT64 Size = static_cast<UINT64>(Found.PayloadLength) + IMAGE_HEADER_SIZE;
  if (Size < DataSize || Size > HEX_MAX_IMAGE_SIZE) {
    return HEX_ERROR_HEADER_LENGTH;
  }
  *ImageSize = static_cast<UINTN>(Size);
  return HEX_OK;
}

HEX_ERROR FinishImage(UINT8 *Data, UINTN DataSize, UINTN ImageSize, IMAGE_INFO *Info) {
  for (UINTN Index = DataSize; Index < ImageSize; Index++) {
    Data[Index] = 0xFF;
  }
  return CheckImage(Data, ImageSize, Info);
}

HEX_ERROR CheckImageInBank(const UINT8 *Bank, UINTN BankSize, bool CheckCrc, IMAGE_INFO *Info) {
  IMAGE_INFO Found{};
  HEX_ERROR Error = ReadHeader(Bank, BankSize, &Found);
  if (Error != HEX_OK) {
    return Error;
  }
  if (static_cast<UINT64>(Found.PayloadLength) + IMAGE_HEADER_SIZE > BankSize) {
    return HEX_ERROR_HEADER_LENGTH;
  }
  if (CheckCrc &&
      Crc32(Bank + IMAGE_HEADER_SIZE, Found.PayloadLength) != ReadLe32(Bank + IMAGE_CRC_OFFSET)) {
    return HEX_ERROR_PAYLOAD_CRC;
  }
  *Info = Found;
  return HEX_OK;
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
