/** @file
  Zone image files: Intel HEX records carrying an image that starts with a
  24-byte header (magic "ORVI", payload length, 64-bit version, CRC-32 of the
  payload, reserved). Decoding, checking and encoding, shared by the image
  parser driver, the flash simulator (bank checks and seeds) and the host
  tool.

  Freestanding: the caller provides every buffer.
**/

#ifndef ORV_SIM_HEX_IMAGE_H_
#define ORV_SIM_HEX_IMAGE_H_

#include <efi.h>

/// Why a HEX file or an image was refused.
enum HEX_ERROR : UINT32 {
  HEX_OK = 0,
  HEX_ERROR_NO_COLON,
  HEX_ERROR_NON_HEX,
  HEX_ERROR_RECORD_LENGTH,
  HEX_ERROR_CHECKSUM,
  HEX_ERROR_RECORD_TYPE,
  HEX_ERROR_TYPE_LENGTH,
  HEX_ERROR_AFTER_EOF,
  HEX_ERROR_BACKWARDS,
  HEX_ERROR_WRAP,
  HEX_ERROR_TOO_LARGE,
  HEX_ERROR_NO_EOF,
  HEX_ERROR_NO_DATA,
  HEX_ERROR_NO_HEADER,
  HEX_ERROR_MAGIC,
  HEX_ERROR_HEADER_LENGTH,
  HEX_ERROR_PAYLOAD_CRC,
  HEX_ERROR_FILE_TOO_LARGE,
  HEX_ERROR_OUT_OF_MEMORY,
  HEX_ERROR_FORMAT,
};

/// The console text of an error ("bad checksum").
const char *HexErrorText(HEX_ERROR Error);

/// Largest image a HEX file may describe, and largest HEX file read.
constexpr UINTN HEX_MAX_IMAGE_SIZE = 16u * 1024 * 1024;
constexpr UINTN HEX_MAX_FILE_SIZE = 64u * 1024 * 1024;

/// Image header layout.
constexpr UINTN  IMAGE_HEADER_SIZE = 24;
constexpr UINT32 IMAGE_MAGIC = 0x4956524Fu;  ///< "ORVI" read little-endian
constexpr UINTN  IMAGE_LENGTH_OFFSET = 4;
constexpr UINTN  IMAGE_VERSION_OFFSET = 8;
constexpr UINTN  IMAGE_CRC_OFFSET = 16;

/// What an image header says (and, once the image is checked, its
/// protected area: see ImageSign.h for formats 2 and 3).
struct IMAGE_INFO {
  UINT64 Version;
  UINT32 PayloadLength;
  UINT8  Format;           ///< 1, 2 or 3
  bool   Signed;           ///< format 2 or 3 with a signature block
  UINT64 ImageSize;        ///< header, payload and, in formats 2 and 3, the trailer
  UINT32 SecurityCounter;  ///< formats 2 and 3, filled by the image checks; else 0
  UINT8  Zone;             ///< format 3 (1 OCM, 2 customer), filled by the checks; else 0
  UINT32 Product;          ///< format 3, filled by the image checks; else 0
};

/// Outcome of decoding a HEX text.
struct HEX_RESULT {
  HEX_ERROR Error;
  UINT32    Line;  ///< line of the error, 0 when not tied to a line
  UINTN     Size;  ///< image size in bytes (highest address + 1)
};

/// Longest line a valid record can have: ':', 2 * (5 + 255) digits, a CR.
constexpr UINTN HEX_LINE_MAX = 1 + 2 * (5 + 255) + 1;

/**
  Gives the buffer of a zone image being decoded (HexDecodeBeginImage):
  called at most once, with the image size from its header, as soon as the
  header is complete.

  @return A buffer of Size bytes, or NULL when there is no memory. It stays
          the caller's, whatever the outcome of the decode.
**/
typedef UINT8 *(*HEX_ALLOCATE)(void *Context, UINTN Size);

/**
  State of a streaming decode. The text is fed in pieces of any size (a line
  may be split anywhere); memory is the output plus this structure, which
  carries at most one partial line between pieces. Fields are private to
  the decoder.
**/
struct HEX_DECODER {
  UINT8        *Out;
  UINTN         OutCapacity;
  HEX_ALLOCATE  Allocate;   // set in image mode
  void         *Context;
  UINT64        Base;
  UINT64        NextAddress;  // end of the data given so far
  UINT64        TextSize;
  UINT32        LineNumber;
  HEX_ERROR     Error;
  UINT32        ErrorLine;
  bool          Segmented;    // the last extended address record was an 02
  bool          SeenData;
  bool          SeenEof;
  bool          Overlong;     // the carried line outgrew Carry: it is refused at its end
  bool          OverlongNonHex;
  bool          OverlongCr;
  UINTN         CarryLen;
  char          Carry[HEX_LINE_MAX];
  UINT8         Head[IMAGE_HEADER_SIZE];  // an image's header, until its buffer is given
};

/**
  Start decoding Intel HEX text into Out. Every record is checked; the data
  starts at address 0, records must ascend, and a gap between records is
  filled with 0xFF. Under linear addressing (an 04 record, or no extended
  address record) a record may run across a 64 KiB boundary; under segment
  addressing (02) a record that would wrap inside its segment is refused.

  @param[out] Decoder      The state to start.
  @param[in]  Out          Receives the data, or NULL to only check the text
                           and learn the size.
  @param[in]  OutCapacity  Size of Out; data beyond it is HEX_ERROR_TOO_LARGE.
**/
void HexDecodeBegin(HEX_DECODER *Decoder, UINT8 *Out, UINTN OutCapacity);

/**
  Start decoding a zone image: as HexDecodeBegin, but the buffer comes from
  Allocate once the 24-byte header is complete, sized by the header's
  length; data past that length is HEX_ERROR_HEADER_LENGTH; at the end the
  image's erased tail is filled with 0xFF and the image is checked
  (FinishImage). A NULL buffer from Allocate is HEX_ERROR_OUT_OF_MEMORY.
**/
void HexDecodeBeginImage(HEX_DECODER *Decoder, HEX_ALLOCATE Allocate, void *Context);

/**
  Decode the next piece of the text.

  @return HEX_OK, or the first error (it sticks: later calls return it).
**/
HEX_ERROR HexDecodeFeed(HEX_DECODER *Decoder, const char *Text, UINTN Length);

/**
  End the decode: the last line (which needs no line end), the end-of-file
  record, and in image mode the image check.

  @param[out] Info  In image mode, receives the header's version and length;
                    may be NULL otherwise.

  @return Error HEX_OK with Size (the image size, or the highest address + 1
          in the plain mode), or the first error and its line (0 when not
          tied to a line).
**/
HEX_RESULT HexDecodeEnd(HEX_DECODER *Decoder, IMAGE_INFO *Info);

/**
  Decode a whole Intel HEX text held in memory (HexDecodeBegin, one piece,
  HexDecodeEnd).

  @param[in]  Text         The file's bytes.
  @param[in]  Length       Their count.
  @param[out] Out          Receives the data, or NULL to only check the text
                           and learn the size.
  @param[in]  OutCapacity  Size of Out.

  @return Error HEX_OK with Size, or the first error and its line.
**/
HEX_RESULT DecodeHex(const char *Text, UINTN Length, UINT8 *Out, UINTN OutCapacity);

/**
  Check a whole image: header present, magic, a known format, Size equal to
  the size the header gives (header, payload and, in formats 2 and 3, the
  protected area and the signature block when the header says signed),
  payload CRC. The signature itself is ImageSign's business.
**/
HEX_ERROR CheckImage(const UINT8 *Data, UINTN Size, IMAGE_INFO *Info);

/**
  The size of the image whose first DataSize bytes a HEX file gave: the
  header plus its payload length. A file may end its data before that size,
  as tools leave out the erased (0xFF) bytes at the end of an image; such a
  tail is erased flash, like a gap between records.

  @retval HEX_OK                   *ImageSize set.
  @retval HEX_ERROR_NO_HEADER      Fewer than the header's 24 bytes.
  @retval HEX_ERROR_MAGIC          Not an image header.
  @retval HEX_ERROR_HEADER_LENGTH  The data goes on past the image, or the
                                   image would exceed HEX_MAX_IMAGE_SIZE.
**/
HEX_ERROR ImageSizeFromHeader(const UINT8 *Data, UINTN DataSize, UINTN *ImageSize);

/**
  Fill the erased tail Data[DataSize..ImageSize) with 0xFF and check the whole
  image (CheckImage). Data holds at least ImageSize bytes.
**/
HEX_ERROR FinishImage(UINT8 *Data, UINTN DataSize, UINTN ImageSize, IMAGE_INFO *Info);

/**
  Check the image at the start of a flash bank: magic, a known format, an
  image size that fits the bank and, when CheckCrc is set, the payload CRC.
  Bytes after the image are not looked at.
**/
HEX_ERROR CheckImageInBank(const UINT8 *Bank, UINTN BankSize, bool CheckCrc, IMAGE_INFO *Info);

/// Fill the 24 header bytes for a payload.
void BuildImageHeader(UINT8 *Header, UINT64 Version, const UINT8 *Payload, UINT32 PayloadLength);

/// CRC-32 (IEEE 802.3, reflected, init and final xor 0xFFFFFFFF).
UINT32 Crc32(const UINT8 *Data, UINTN Size);

/// Bytes EncodeHex writes for an image of Size bytes.
UINTN HexEncodedSize(UINTN Size);

/**
  Encode an image as Intel HEX: 16 data bytes per record, an extended linear
  address record at each 64 KiB boundary, LF line ends, end-of-file record.

  @return Bytes written, or 0 when Capacity is too small.
**/
UINTN EncodeHex(const UINT8 *Data, UINTN Size, char *Out, UINTN Capacity);

#endif
