/** @file
  What the reference zone image format says about a file: whether it
  decodes, and the fields of its image header.
**/

#ifndef ORVSTICK_ZONE_IMAGE_H_
#define ORVSTICK_ZONE_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "ImageSign.h"

struct ZONE_IMAGE_REPORT {
  bool Decodes;            ///< a valid image in the reference format
  std::string Problem;     ///< why not, as the image parser words it
  unsigned FormatVersion;  ///< header format of the image: 1, or 2 (signed images)
  uint64_t Version;
  uint32_t PayloadLength;
  uint64_t ImageSize;      ///< header to signature block: what lands in a bank
  bool PayloadCrcGood;     ///< false only when the CRC is what failed
  uint32_t SecurityCounter;  ///< format 2 and 3
  uint8_t Zone;              ///< format 3: the zone it is signed for (ZONE_OCM, ZONE_CUSTOMER); 0 before
  uint32_t Product;          ///< format 3: the product id it is signed for
  bool Signed;               ///< a signature block is present
  std::string KeyId;         ///< its key id in hexadecimal, when Signed
  SIGN_STATUS Signature;     ///< checked against the trusted keys given
};

/// Decodes a zone image file (Intel HEX with an image header), as the
/// reference image parser does, and checks its signature against
/// TrustedKeys (the keys the parser is built with; none: not checked).
/// Name is used in the problem text.
/// "ocm", "customer", or "none" (an image before format 3) for a signed zone.
std::string ZoneName(uint8_t Zone);

/// A product id as "0x" and 8 hexadecimal digits.
std::string ProductHex(uint32_t Product);

ZONE_IMAGE_REPORT DescribeZoneImage(const std::string &Name, const std::string &Text,
                                    const std::vector<IMAGE_PUBLIC_KEY> &TrustedKeys);

/// A key the user expects on a volume (--key, a manifest's trusted_keys).
struct EXPECTED_KEY {
  std::string File;
  IMAGE_PUBLIC_KEY Key;
};

/// The public keys in these PEM files (a P-256 public key, or the public
/// half of a private key). Throws TOOL_FAILURE naming the file that cannot
/// be read or holds no such key.
std::vector<EXPECTED_KEY> ReadExpectedKeys(const std::vector<std::string> &PemPaths);

/// One line of the report: "format 1, version 0x..., payload N bytes,
/// payload CRC good", and for format 2 the security counter and the
/// signature ("security counter 3, signed by key 1a2b..., signature verifies").
std::string FormatZoneImage(const ZONE_IMAGE_REPORT &Report);

/// The image as an element of check --json's "images" list.
std::string ZoneImageJson(const std::string &Zone, const std::string &Path, const ZONE_IMAGE_REPORT &Report);

#endif
