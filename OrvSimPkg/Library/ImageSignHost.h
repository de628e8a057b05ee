/** @file
  The maker's side of signed zone images, for host programs only (orvhex,
  tests, benchmarks): P-256 signing keys (generated, read from and written
  to PEM), and turning an image into format 2 or 3 with its protected area and,
  when a key is given, its signature block. The drivers never sign.
**/

#ifndef ORV_SIM_IMAGE_SIGN_HOST_H_
#define ORV_SIM_IMAGE_SIGN_HOST_H_

#include <string>
#include <vector>

#include "ImageSign.h"
#include "PemKey.h"

/// A P-256 signing key: the private scalar and the public key.
struct IMAGE_PRIVATE_KEY {
  UINT8            Scalar[32];
  IMAGE_PUBLIC_KEY Public;
};

/// A new key from the system's random source; false when it has none.
bool GenerateSigningKey(IMAGE_PRIVATE_KEY *Key);

/// A key drawn deterministically from Seed (tests and benchmarks).
void GenerateSigningKeyFromSeed(const std::string &Seed, IMAGE_PRIVATE_KEY *Key);

/// PEM texts: the private key as SEC1 "EC PRIVATE KEY", the public key as
/// "PUBLIC KEY" (SubjectPublicKeyInfo), 64 characters a line, LF.
std::string PrivateKeyPem(const IMAGE_PRIVATE_KEY &Key);
std::string PublicKeyPem(const IMAGE_PUBLIC_KEY &Key);

/**
  Read a P-256 private key from PEM: SEC1 ("EC PRIVATE KEY") or PKCS#8
  ("PRIVATE KEY"), unencrypted.

  @return false with the reason in *Error.
**/
bool ReadPrivateKeyPem(const std::string &Text, IMAGE_PRIVATE_KEY *Key, std::string *Error);

/// A public key from PEM text: a public key, or the public half of a
/// private key. False with the reason in *Error.
bool ReadAnyPublicKeyPem(const std::string &Text, IMAGE_PUBLIC_KEY *Key, std::string *Error);

/**
  Rewrite a checked image (any format) as format 2 with the given security
  counter: the header says format 2, the protected area follows the
  payload, and with Key a signature block by that key follows it (the
  signature covers the header, the payload and the protected area). Any
  trailer the image had is replaced.

  @return false when Image is not a valid image.
**/
bool MakeImageFormat2(std::vector<UINT8> *Image, UINT32 SecurityCounter, const IMAGE_PRIVATE_KEY *Key);

/// What a format 3 image says about where it may run.
struct IMAGE_BINDING {
  UINT32 SecurityCounter;
  UINT8  Zone;     ///< IMAGE_ZONE_OCM or IMAGE_ZONE_CUSTOMER
  UINT32 Product;  ///< the maker's product id
};

/**
  As MakeImageFormat2, but format 3: the protected area also names the zone
  and the product (Binding), so the signature binds the image to them.

  @return false when Image is not a valid image or the zone is not 1 or 2.
**/
bool MakeImageFormat3(std::vector<UINT8> *Image, const IMAGE_BINDING &Binding, const IMAGE_PRIVATE_KEY *Key);

/// Bytes as lower-case hexadecimal text (a key id in a tool's report).
std::string HexText(const UINT8 *Data, size_t Size);

/// A format 1 image of Payload with Version (header and payload).
std::vector<UINT8> MakeImageFormat1(UINT64 Version, const std::vector<UINT8> &Payload);

#endif
