/** @file
  Signing keys and signed images on the host.
**/

#include "ImageSignHost.h"
#include "ByteOrder.h"

extern "C" {
#include <bearssl_ec.h>
#include <bearssl_hash.h>
#include <bearssl_pem.h>
#include <bearssl_rand.h>
#include <bearssl_x509.h>
}

#include <cstring>

namespace {

constexpr UINTN SCALAR_SIZE = 32;

// Completes Key from its scalar: the public point and key id.
void FillPublic(IMAGE_PRIVATE_KEY *Key) {
  br_ec_private_key Private{BR_EC_secp256r1, Key->Scalar, SCALAR_SIZE};
  UINT8 Point[BR_EC_KBUF_PUB_MAX_SIZE];
  br_ec_public_key Public{};
  br_ec_compute_pub(&br_ec_p256_m31, &Public, Point, &Private);
  MakePublicKey(Point, &Key->Public);
}

bool KeyFromRng(const br_prng_class **Rng, IMAGE_PRIVATE_KEY *Key) {
  UINT8 Buffer[BR_EC_KBUF_PRIV_MAX_SIZE];
  br_ec_private_key Private{};
  if (br_ec_keygen(Rng, &br_ec_p256_m31, &Private, Buffer, BR_EC_secp256r1) != SCALAR_SIZE) {
    return false;
  }
  std::memcpy(Key->Scalar, Private.x, SCALAR_SIZE);
  FillPublic(Key);
  return true;
}

std::string Pem(const void *Der, size_t Length, const char *Label) {
  std::string Text(br_pem_encode(nullptr, Der, Length, Label, BR_PEM_LINE64), '\0');
  br_pem_encode(Text.data(), Der, Length, Label, BR_PEM_LINE64);
  Text.resize(std::strlen(Text.c_str()));
  return Text;
}

}  // namespace

bool GenerateSigningKey(IMAGE_PRIVATE_KEY *Key) {
  br_prng_seeder Seeder = br_prng_seeder_system(nullptr);
  if (Seeder == nullptr) return false;
  br_hmac_drbg_context Drbg;
  br_hmac_drbg_init(&Drbg, &br_sha256_vtable, nullptr, 0);
  if (!Seeder(&Drbg.vtable)) return false;
  return KeyFromRng(&Drbg.vtable, Key);
}

void GenerateSigningKeyFromSeed(const std::string &Seed, IMAGE_PRIVATE_KEY *Key) {
  br_hmac_drbg_context Drbg;
  br_hmac_drbg_init(&Drbg, &br_sha256_vtable, Seed.data(), Seed.size());
  (void)KeyFromRng(&Drbg.vtable, Key);
}

std::string PrivateKeyPem(const IMAGE_PRIVATE_KEY &Key) {
  br_ec_private_key Private{BR_EC_secp256r1, const_cast<UINT8 *>(Key.Scalar), SCALAR_SIZE};
  br_ec_public_key Public{BR_EC_secp256r1, const_cast<UINT8 *>(Key.Public.Point), IMAGE_EC_POINT_SIZE};
  std::vector<UINT8> Der(br_encode_ec_raw_der(nullptr, &Private, &Public));
  br_encode_ec_raw_der(Der.data(), &Private, &Public);
  return Pem(Der.data(), Der.size(), "EC PRIVATE KEY");
}

std::string PublicKeyPem(const IMAGE_PUBLIC_KEY &Key) {
  UINT8 Der[IMAGE_SPKI_SIZE];
  EncodePublicKeyDer(Key.Point, Der);
  return Pem(Der, sizeof(Der), "PUBLIC KEY");
}

bool ReadPrivateKeyPem(const std::string &Text, IMAGE_PRIVATE_KEY *Key, std::string *Error) {
  UINT8 Der[512];
  UINTN Length = 0;
  PEM_ERROR Pem = PemDecode(Text.data(), Text.size(), "EC PRIVATE KEY", Der, sizeof(Der), &Length);
  if (Pem == PEM_ERROR::NoBlock) {
    Pem = PemDecode(Text.data(), Text.size(), "PRIVATE KEY", Der, sizeof(Der), &Length);
  }
  if (Pem == PEM_ERROR::NoBlock && Text.find("ENCRYPTED PRIVATE KEY") != std::string::npos) {
    *Error = "encrypted private keys are not supported";
    return false;
  }
  if (Pem == PEM_ERROR::NoBlock) {
    *Error = "no EC PRIVATE KEY or PRIVATE KEY block";
    return false;
  }
  if (Pem != PEM_ERROR::Ok) {
    *Error = PemErrorText(Pem);
    return false;
  }
  br_skey_decoder_context Decoder;
  br_skey_decoder_init(&Decoder);
  br_skey_decoder_push(&Decoder, Der, Length);
  const br_ec_private_key *Private = br_skey_decoder_get_ec(&Decoder);
  if (br_skey_decoder_last_error(&Decoder) != 0 || Private == nullptr ||
      Private->curve != BR_EC_secp256r1 || Private->xlen > SCALAR_SIZE) {
    *Error = "not a NIST P-256 private key";
    return false;
  }
  std::memset(Key->Scalar, 0, SCALAR_SIZE);
  std::memcpy(Key->Scalar + SCALAR_SIZE - Private->xlen, Private->x, Private->xlen);
  FillPublic(Key);
  return true;
}

std::vector<UINT8> MakeImageFormat1(UINT64 Version, const std::vector<UINT8> &Payload) {
  std::vector<UINT8> Image(IMAGE_HEADER_SIZE + Payload.size());
  BuildImageHeader(Image.data(), Version, Payload.data(), static_cast<UINT32>(Payload.size()));
  if (!Payload.empty()) std::memcpy(Image.data() + IMAGE_HEADER_SIZE, Payload.data(), Payload.size());
  return Image;
}

namespace {

// Rewrites a checked image as Format with the protected area Protected
// (ImageProtectedSize(Format) bytes) and, with Key, a signature block over
// header, payload and protected area. Any trailer the image had is replaced.
bool MakeTrailer(std::vector<UINT8> *Image, UINT8 Format, const UINT8 *Protected,
                 const IMAGE_PRIVATE_KEY *Key) {
  IMAGE_INFO Info{};
  if (CheckImage(Image->data(), Image->size(), &Info) != HEX_OK) return false;
  const UINTN ProtectedSize = ImageProtectedSize(Format);
  const UINTN SignedLength = IMAGE_HEADER_SIZE + Info.PayloadLength + ProtectedSize;
  Image->resize(SignedLength + (Key != nullptr ? IMAGE_SIGNATURE_BLOCK_SIZE : 0));
  UINT8 *Data = Image->data();
  Data[IMAGE_FORMAT_OFFSET] = Format;
  Data[IMAGE_FLAGS_OFFSET] = Key != nullptr ? IMAGE_FLAG_SIGNED : 0;
  Data[22] = 0;
  Data[23] = 0;
  std::memcpy(Data + SignedLength - ProtectedSize, Protected, ProtectedSize);
  if (Key == nullptr) return true;
  UINT8 *Block = Data + SignedLength;
  std::memset(Block, 0, IMAGE_SIGNATURE_BLOCK_SIZE);
  UINT8 Hash[32];
  Sha256(Data, SignedLength, Hash);
  br_ec_private_key Private{BR_EC_secp256r1, const_cast<UINT8 *>(Key->Scalar), SCALAR_SIZE};
  size_t Length = br_ecdsa_i31_sign_asn1(&br_ec_p256_m31, &br_sha256_vtable, Hash, &Private,
                                         Block + SIGNATURE_DER_OFFSET);
  if (Length == 0 || Length > SIGNATURE_DER_MAX) return false;
  Block[SIGNATURE_ALGORITHM_OFFSET] = SIGNATURE_ECDSA_P256_SHA256;
  WriteLe16(Block + SIGNATURE_LENGTH_OFFSET, static_cast<UINT32>(Length));
  std::memcpy(Block + SIGNATURE_KEY_ID_OFFSET, Key->Public.KeyId, IMAGE_KEY_ID_SIZE);
  return true;
}

}  // namespace

bool MakeImageFormat2(std::vector<UINT8> *Image, UINT32 SecurityCounter, const IMAGE_PRIVATE_KEY *Key) {
  UINT8 Protected[IMAGE_PROTECTED_SIZE] = {};
  WriteLe32(Protected + PROTECTED_COUNTER_OFFSET, SecurityCounter);
  return MakeTrailer(Image, IMAGE_FORMAT_2, Protected, Key);
}

bool MakeImageFormat3(std::vector<UINT8> *Image, const IMAGE_BINDING &Binding, const IMAGE_PRIVATE_KEY *Key) {
  if (Binding.Zone != IMAGE_ZONE_OCM && Binding.Zone != IMAGE_ZONE_CUSTOMER) return false;
  UINT8 Protected[IMAGE_PROTECTED_SIZE_3] = {};
  WriteLe32(Protected + PROTECTED_COUNTER_OFFSET, Binding.SecurityCounter);
  WriteLe32(Protected + PROTECTED_PRODUCT_OFFSET, Binding.Product);
  Protected[PROTECTED_ZONE_OFFSET] = Binding.Zone;
  return MakeTrailer(Image, IMAGE_FORMAT_3, Protected, Key);
}

std::string HexText(const UINT8 *Data, size_t Size) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string Text;
  Text.reserve(Size * 2);
  for (size_t Index = 0; Index < Size; Index++) {
    Text += DIGITS[Data[Index] >> 4];
    Text += DIGITS[Data[Index] & 0x0F];
  }
  return Text;
}

bool ReadAnyPublicKeyPem(const std::string &Text, IMAGE_PUBLIC_KEY *Key, std::string *Error) {
  const PEM_ERROR Public = ReadPublicKeyPem(Text.data(), Text.size(), Key);
  if (Public == PEM_ERROR::Ok) return true;
  IMAGE_PRIVATE_KEY Private{};
  std::string Ignored;
  if (Public == PEM_ERROR::NoBlock && ReadPrivateKeyPem(Text, &Private, &Ignored)) {
    *Key = Private.Public;
    return true;
  }
  *Error = PemErrorText(Public);
  return false;
}
