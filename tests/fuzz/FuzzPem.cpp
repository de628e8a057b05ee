// The PEM readers with arbitrary text: the public key reader (the flash
// simulator reads FlashSim.ini's PublicKey file with it) and the private key
// reader of the host tools. Checked beside memory safety: a public key read
// is a P-256 point whose key id is the SHA-256 of its DER encoding, and a
// key written back to PEM reads back to the same key.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ImageSignHost.h"

namespace {
void Check(bool Condition) {
  if (!Condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char *>(Data), Size);
  IMAGE_PUBLIC_KEY Public{};
  if (ReadPublicKeyPem(Text.data(), Text.size(), &Public) == PEM_ERROR::Ok) {
    Check(Public.Point[0] == 0x04);
    UINT8 Der[IMAGE_SPKI_SIZE];
    UINT8 Id[IMAGE_KEY_ID_SIZE];
    EncodePublicKeyDer(Public.Point, Der);
    Sha256(Der, sizeof Der, Id);
    Check(std::memcmp(Id, Public.KeyId, sizeof Id) == 0);
    IMAGE_PUBLIC_KEY Again{};
    const std::string Written = PublicKeyPem(Public);
    Check(ReadPublicKeyPem(Written.data(), Written.size(), &Again) == PEM_ERROR::Ok);
    Check(std::memcmp(&Again, &Public, sizeof Again) == 0);
  }
  UINT8 Der[256];
  UINTN Length = 0;
  if (PemDecode(Text.data(), Text.size(), "PUBLIC KEY", Der, sizeof Der, &Length) == PEM_ERROR::Ok) {
    Check(Length > 0 && Length <= sizeof Der);
  }
  IMAGE_PRIVATE_KEY Private{};
  std::string Error;
  if (ReadPrivateKeyPem(Text, &Private, &Error)) {
    IMAGE_PRIVATE_KEY Again{};
    Check(ReadPrivateKeyPem(PrivateKeyPem(Private), &Again, &Error));
    Check(std::memcmp(&Again, &Private, sizeof Again) == 0);
  } else {
    Check(!Error.empty());
  }
  return 0;
}
