/** @file
  Signed zone images: the signature block, verification and description.
**/

#include "ImageSign.h"
#include "ByteOrder.h"

extern "C" {
#include <bearssl_ec.h>
#include <bearssl_hash.h>
}

namespace {

// DER SubjectPublicKeyInfo of an uncompressed NIST P-256 key up to the
// point: SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING }.
constexpr UINT8 SPKI_P256_PREFIX[IMAGE_SPKI_SIZE - IMAGE_EC_POINT_SIZE] = {
  0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
  0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

constexpr const char *SIGN_TEXTS[] = {
  "signature verifies",
  "image is not signed",
  "signed by an unknown key",
  "signature does not verify",
  "damaged signature block",
  "signature not checked (no key)",
};

bool SameBytes(const UINT8 *A, const UINT8 *B, UINTN Size) {
  UINT8 Difference = 0;
  for (UINTN Index = 0; Index < Size; Index++) {
    Difference |= static_cast<UINT8>(A[Index] ^ B[Index]);
  }
  return Difference == 0;
}

// One DER INTEGER at Der[*At] of at most 33 value bytes, positive and
// minimal; *At moves past it.
bool MinimalInteger(const UINT8 *Der, UINTN End, UINTN *At) {
  if (End - *At < 3 || Der[*At] != 0x02) return false;
  const UINTN Length = Der[*At + 1];
  const UINT8 *Value = Der + *At + 2;
  if (Length == 0 || Length > 33 || Length > End - *At - 2) return false;
  if ((Value[0] & 0x80) != 0) return false;                             // negative
  if (Length > 1 && Value[0] == 0 && (Value[1] & 0x80) == 0) return false;  // needless 00
  *At += 2 + Length;
  return true;
}

// The block's own rules: the one algorithm, reserved 0, a DER length the
// padded field holds, a minimal DER and zero padding, so that no byte of
// the block is left unchecked and a signature has one encoding.
bool BlockWellFormed(const UINT8 *Block) {
  UINTN Length = ReadLe16(Block + SIGNATURE_LENGTH_OFFSET);
  if (Block[SIGNATURE_ALGORITHM_OFFSET] != SIGNATURE_ECDSA_P256_SHA256 || Block[1] != 0 ||
      Length < 8 || Length > SIGNATURE_DER_MAX ||
      !SignatureDerMinimal(Block + SIGNATURE_DER_OFFSET, Length)) {
    return false;
  }
  for (UINTN Index = SIGNATURE_DER_OFFSET + Length; Index < IMAGE_SIGNATURE_BLOCK_SIZE; Index++) {
    if (Block[Index] != 0) {
      return false;
    }
  }
  return true;
}

bool VerifyDigest(const UINT8 *Hash, const UINT8 *Block, const IMAGE_PUBLIC_KEY &Public) {
  br_ec_public_key Key;
  Key.curve = BR_EC_secp256r1;
  Key.q = const_cast<unsigned char *>(Public.Point);
  Key.qlen = IMAGE_EC_POINT_SIZE;
  return br_ecdsa_i31_vrfy_asn1(&br_ec_p256_m31, Hash, 32, &Key, Block + SIGNATURE_DER_OFFSET,
                                ReadLe16(Block + SIGNATURE_LENGTH_OFFSET)) == 1;
}

void CopyBytes(UINT8 *To, const UINT8 *From, UINTN Size) {
  for (UINTN Index = 0; Index < Size; Index++) To[Index] = From[Index];
}

// The verdict on (digest, block, key): remembered, or verified and noted.
bool VerifyMemo(SIGN_MEMO *Memo, const UINT8 *Hash, const UINT8 *Block, const IMAGE_PUBLIC_KEY &Key) {
  if (Memo == nullptr) return VerifyDigest(Hash, Block, Key);
  for (UINTN Index = 0; Index < Memo->Count; Index++) {
    const SIGN_MEMO::ENTRY &Entry = Memo->Entry[Index];
    if (SameBytes(Entry.Digest, Hash, 32) && SameBytes(Entry.Block, Block, IMAGE_SIGNATURE_BLOCK_SIZE) &&
        SameBytes(Entry.Point, Key.Point, IMAGE_EC_POINT_SIZE)) {
      return Entry.Verdict == SIGN_STATUS::Ok;
    }
  }
  const bool Good = VerifyDigest(Hash, Block, Key);
  SIGN_MEMO::ENTRY &Entry = Memo->Entry[Memo->Next];
  CopyBytes(Entry.Digest, Hash, 32);
  CopyBytes(Entry.Block, Block, IMAGE_SIGNATURE_BLOCK_SIZE);
  CopyBytes(Entry.Point, Key.Point, IMAGE_EC_POINT_SIZE);
  Entry.Verdict = Good ? SIGN_STATUS::Ok : SIGN_STATUS::BadSignature;
  Memo->Next = (Memo->Next + 1) % SIGN_MEMO::SIZE;
  if (Memo->Count < SIGN_MEMO::SIZE) Memo->Count++;
  return Good;
}

}  // namespace

bool SignatureDerMinimal(const UINT8 *Der, UINTN Length) {
  // SEQUENCE with a short-form length covering exactly the rest: the two
  // INTEGERs of a P-256 signature take at most 70 bytes.
  if (Length < 2 || Der[0] != 0x30 || Der[1] >= 0x80 || Der[1] != Length - 2) return false;
  UINTN At = 2;
  return MinimalInteger(Der, Length, &At) && MinimalInteger(Der, Length, &At) && At == Length;
}

const char *SignStatusText(SIGN_STATUS Status) {
  UINTN Index = static_cast<UINTN>(Status);
  return Index < sizeof(SIGN_TEXTS) / sizeof(SIGN_TEXTS[0]) ? SIGN_TEXTS[Index] : "?";
}

void EncodePublicKeyDer(const UINT8 *Point, UINT8 *Der) {
  for (UINTN Index = 0; Index < sizeof(SPKI_P256_PREFIX); Index++) {
    Der[Index] = SPKI_P256_PREFIX[Index];
  }
  for (UINTN Index = 0; Index < IMAGE_EC_POINT_SIZE; Index++) {
    Der[sizeof(SPKI_P256_PREFIX) + Index] = Point[Index];
  }
}

void MakePublicKey(const UINT8 *Point, IMAGE_PUBLIC_KEY *Key) {
  UINT8 Der[IMAGE_SPKI_SIZE];
  EncodePublicKeyDer(Point, Der);
  for (UINTN Index = 0; Index < IMAGE_EC_POINT_SIZE; Index++) {
    Key->Point[Index] = Point[Index];
  }
  Sha256(Der, sizeof(Der), Key->KeyId);
}

void Sha256(const void *Data, UINTN Size, UINT8 *Hash) {
  br_sha256_context Context;
  br_sha256_init(&Context);
  br_sha256_update(&Context, Data, Size);
  br_sha256_out(&Context, Hash);
}

UINTN ImageSignedLength(const IMAGE_INFO &Info) {
  return IMAGE_HEADER_SIZE + static_cast<UINTN>(Info.PayloadLength) + ImageProtectedSize(Info.Format);
}

SIGN_STATUS VerifyImageSignature(const UINT8 *Image, const IMAGE_INFO &Info,
                                 const IMAGE_PUBLIC_KEY *Keys, UINTN KeyCount, UINTN *KeyIndex,
                                 SIGN_MEMO *Memo) {
  if ((Info.Format != IMAGE_FORMAT_2 && Info.Format != IMAGE_FORMAT_3) || !Info.Signed) {
    return SIGN_STATUS::Unsigned;
  }
  const UINTN Signed = ImageSignedLength(Info);
  const UINT8 *Block = Image + Signed;
  if (!BlockWellFormed(Block)) {
    return SIGN_STATUS::DamagedBlock;
  }
  if (KeyCount == 0) {
    return SIGN_STATUS::NotChecked;
  }
  UINTN Found = KeyCount;
  for (UINTN Index = 0; Index < KeyCount && Found == KeyCount; Index++) {
    if (SameBytes(Keys[Index].KeyId, Block + SIGNATURE_KEY_ID_OFFSET, IMAGE_KEY_ID_SIZE)) {
      Found = Index;
    }
  }
  if (Found == KeyCount) {
    return SIGN_STATUS::UnknownKey;
  }
  UINT8 Hash[32];
  Sha256(Image, Signed, Hash);
  if (!VerifyMemo(Memo, Hash, Block, Keys[Found])) {
    return SIGN_STATUS::BadSignature;
  }
  if (KeyIndex != nullptr) {
    *KeyIndex = Found;
  }
  return SIGN_STATUS::Ok;
}

void DescribeImage(const UINT8 *Image, UINTN Size, const IMAGE_PUBLIC_KEY *Keys, UINTN KeyCount,
                   IMAGE_DESCRIPTION *Description) {
  *Description = IMAGE_DESCRIPTION{};
  IMAGE_INFO Info{};
  Description->Error = CheckImage(Image, Size, &Info);
  if (Description->Error != HEX_OK) {
    return;
  }
  Description->Format = Info.Format;
  Description->Version = Info.Version;
  Description->PayloadLength = Info.PayloadLength;
  Description->ImageSize = static_cast<UINTN>(Info.ImageSize);
  Description->SecurityCounter = Info.SecurityCounter;
  Description->Zone = Info.Zone;
  Description->Product = Info.Product;
  Description->Signed = Info.Signed;
  if (Info.Signed) {
    const UINT8 *Block = Image + ImageSignedLength(Info);
    for (UINTN Index = 0; Index < IMAGE_KEY_ID_SIZE; Index++) {
      Description->KeyId[Index] = Block[SIGNATURE_KEY_ID_OFFSET + Index];
    }
  }
  Description->Signature = VerifyImageSignature(Image, Info, Keys, KeyCount, &Description->KeyIndex);
}
