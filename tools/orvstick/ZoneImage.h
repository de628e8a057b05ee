/** @file
  What the reference zone image format says about a file: whether it
  decodes, and the fields of its image header.
**/

#ifndef ORVSTICK_ZONE_IMAGE_H_
#define ORVSTICK_ZONE_IMAGE_H_

#include <cstdint>
#include <string>

struct ZONE_IMAGE_REPORT {
  bool Decodes;            ///< a valid image in the reference format
  std::string Problem;     ///< why not, as the image parser words it
  unsigned FormatVersion;  ///< header format of the image
  uint64_t Version;
  uint32_t PayloadLength;
  bool PayloadCrcGood;     ///< false only when the CRC is what failed
};

/// Decodes a zone image file (Intel HEX with an image header), as the
/// reference image parser does. Name is used in the problem text.
ZONE_IMAGE_REPORT DescribeZoneImage(const std::string &Name, const std::string &Text);

/// One line of the report: "format 1, version 0x..., payload N bytes, payload CRC good".
std::string FormatZoneImage(const ZONE_IMAGE_REPORT &Report);

#endif
