/** @file
  Signed zone images (image formats 2 and 3): the trailer after the payload
  (a protected area holding the security counter and, in format 3, the zone
  and product the image is meant for, then an optional signature block), the
  bytes a signature covers, verification against public keys, and a
  description of an image for tools.

  Layout (every number little-endian; OrvSimPkg/README.md has the table):
    header (24 bytes, byte 20 = 2 or 3, byte 21 bit 0 = signed)
    payload (length from the header)
    protected area, format 2 (8 bytes): security counter (4), reserved 0 (4)
    protected area, format 3 (16 bytes): security counter (4), product id
      (4), zone (1: OCM, 2: customer), reserved 0 (7)
    signature block (108 bytes, only when signed): algorithm 1 (1),
      reserved 0 (1), DER length (2), key id (32), the DER ECDSA-Sig-Value
      padded with zeros to 72 bytes
  The signature is ECDSA over NIST P-256 with SHA-256 of the header, the
  payload and the protected area; the key id is the SHA-256 of the signer's
  public key as DER SubjectPublicKeyInfo. The DER must be minimal (short
  length forms, INTEGERs without needless leading zeros, nothing after the
  SEQUENCE): one signature has one encoding.

  Freestanding: verification hashes the image in place and needs no heap,
  only a few KiB of stack (BearSSL's i31 code).
**/

#ifndef ORV_SIM_IMAGE_SIGN_H_
#define ORV_SIM_IMAGE_SIGN_H_

#include <efi.h>

#include "HexImage.h"

constexpr UINTN IMAGE_FORMAT_OFFSET = 20;  ///< 0 in format 1 images, 2 or 3 in signed formats
constexpr UINTN IMAGE_FLAGS_OFFSET = 21;   ///< formats 2 and 3: bit 0 set when signed
constexpr UINT8 IMAGE_FORMAT_2 = 2;
constexpr UINT8 IMAGE_FORMAT_3 = 3;        ///< format 2 plus the zone and product
constexpr UINT8 IMAGE_FLAG_SIGNED = 0x01;

constexpr UINTN IMAGE_PROTECTED_SIZE = 8;     ///< format 2
constexpr UINTN IMAGE_PROTECTED_SIZE_3 = 16;  ///< format 3
constexpr UINTN PROTECTED_COUNTER_OFFSET = 0;
constexpr UINTN PROTECTED_PRODUCT_OFFSET = 4;  ///< format 3
constexpr UINTN PROTECTED_ZONE_OFFSET = 8;     ///< format 3
/// IMAGE_INFO.Zone of an image that names no zone (formats 1 and 2); format
/// 3 names ZONE_OCM (1) or ZONE_CUSTOMER (2).
constexpr UINT8 IMAGE_ZONE_NONE = 0;
constexpr UINT8 IMAGE_ZONE_OCM = 1;
constexpr UINT8 IMAGE_ZONE_CUSTOMER = 2;

/// Bytes of the protected area of an image of Format (0 for format 1).
constexpr UINTN ImageProtectedSize(UINT8 Format) {
  return Format == IMAGE_FORMAT_3 ? IMAGE_PROTECTED_SIZE_3 : Format == IMAGE_FORMAT_2 ? IMAGE_PROTECTED_SIZE : 0;
}
constexpr UINTN IMAGE_SIGNATURE_BLOCK_SIZE = 108;
constexpr UINTN SIGNATURE_ALGORITHM_OFFSET = 0;
constexpr UINTN SIGNATURE_LENGTH_OFFSET = 2;
constexpr UINTN SIGNATURE_KEY_ID_OFFSET = 4;
constexpr UINTN SIGNATURE_DER_OFFSET = 36;
constexpr UINT8 SIGNATURE_ECDSA_P256_SHA256 = 1;
constexpr UINTN SIGNATURE_DER_MAX = 72;

constexpr UINTN IMAGE_KEY_ID_SIZE = 32;
constexpr UINTN IMAGE_EC_POINT_SIZE = 65;   ///< 04 || X || Y
constexpr UINTN IMAGE_SPKI_SIZE = 91;       ///< DER SubjectPublicKeyInfo of a P-256 key

/// A trusted public key: the uncompressed P-256 point and its key id.
struct IMAGE_PUBLIC_KEY {
  UINT8 Point[IMAGE_EC_POINT_SIZE];
  UINT8 KeyId[IMAGE_KEY_ID_SIZE];
};

/// The verdict on an image's signature.
enum class SIGN_STATUS : UINT8 {
  Ok,            ///< signed by one of the keys, and the signature verifies
  Unsigned,      ///< format 1, or format 2 without a signature block
  UnknownKey,    ///< the key id names none of the keys
  BadSignature,  ///< the signature does not verify over the image
  DamagedBlock,  ///< the signature block is not well-formed
  NotChecked,    ///< signed, but no key was given to check it with
};

/// The console text of a verdict ("signature does not verify").
const char *SignStatusText(SIGN_STATUS Status);

/// The DER SubjectPublicKeyInfo of a P-256 point (IMAGE_SPKI_SIZE bytes).
void EncodePublicKeyDer(const UINT8 *Point, UINT8 *Der);

/// Fills Key from an uncompressed P-256 point: the point and its key id.
void MakePublicKey(const UINT8 *Point, IMAGE_PUBLIC_KEY *Key);

/// SHA-256 of Size bytes.
void Sha256(const void *Data, UINTN Size, UINT8 *Hash);

/// Bytes a signature covers: header, payload and protected area. Only for a
/// format 2 or 3 image that CheckImage accepted.
UINTN ImageSignedLength(const IMAGE_INFO &Info);

/**
  Verdicts already reached, for a host model that checks the same bytes
  again and again (the power-cut sweep): a verdict depends only on the
  signed bytes' digest, the signature block and the key, so a hit gives
  exactly what verifying again would. The drivers pass none.
**/
struct SIGN_MEMO {
  struct ENTRY {
    UINT8       Digest[32];
    UINT8       Block[IMAGE_SIGNATURE_BLOCK_SIZE];
    UINT8       Point[IMAGE_EC_POINT_SIZE];
    SIGN_STATUS Verdict;
  };
  static constexpr UINTN SIZE = 16;
  UINTN Count;
  UINTN Next;
  ENTRY Entry[SIZE];
};

/**
  Whether Der (Length bytes) is the one minimal DER encoding of an
  ECDSA-Sig-Value with positive INTEGERs of at most 33 bytes, as openssl
  writes it: short length forms, no leading zero byte unless the next byte
  has its top bit set, nothing after the SEQUENCE.
**/
bool SignatureDerMinimal(const UINT8 *Der, UINTN Length);

/**
  Check the signature of an image that CheckImage accepted (Info is what it
  filled) against Keys.

  @param[out] KeyIndex  The key that signed it (SIGN_STATUS::Ok); may be NULL.

  @return SIGN_STATUS::Ok only when the signature block is well-formed, its
          key id is one of Keys, and the signature verifies with that key
          over the signed bytes. With KeyCount 0 a well-formed block gives
          SIGN_STATUS::NotChecked.
**/
SIGN_STATUS VerifyImageSignature(const UINT8 *Image, const IMAGE_INFO &Info,
                                 const IMAGE_PUBLIC_KEY *Keys, UINTN KeyCount, UINTN *KeyIndex,
                                 SIGN_MEMO *Memo = nullptr);

/**
  What an image is, for tools (orvhex info, orvstick check): format,
  versions, counter, key id and whether its signature verifies against the
  given keys (SIGN_STATUS::NotChecked when it is signed and none are given).
**/
struct IMAGE_DESCRIPTION {
  HEX_ERROR   Error;           ///< CheckImage's verdict; the rest only when HEX_OK
  UINT8       Format;          ///< 1, 2 or 3
  UINT64      Version;
  UINT32      PayloadLength;
  UINTN       ImageSize;
  UINT32      SecurityCounter; ///< 0 for format 1
  UINT8       Zone;            ///< format 3: ZONE_OCM or ZONE_CUSTOMER; else 0 (none)
  UINT32      Product;         ///< format 3: the product id; else 0
  bool        Signed;          ///< a signature block is present
  UINT8       KeyId[IMAGE_KEY_ID_SIZE];  ///< when Signed
  SIGN_STATUS Signature;
  UINTN       KeyIndex;        ///< the verifying key, when Signature is Ok
};

/// Describe the Size bytes of a whole image (header to signature block).
void DescribeImage(const UINT8 *Image, UINTN Size, const IMAGE_PUBLIC_KEY *Keys, UINTN KeyCount,
                   IMAGE_DESCRIPTION *Description);

#endif
