/** @file
  Zone image description through the image format's decoder.
**/

#include "ZoneImage.h"

#include <cstdio>
#include <vector>

#include "HexImage.h"

namespace {

/// Image header format of today's images: magic, length, version, CRC.
constexpr unsigned IMAGE_FORMAT_VERSION = 1;

UINT8 *AllocateImage(void *Context, UINTN Size) {
  auto *Image = static_cast<std::vector<UINT8> *>(Context);
  Image->resize(Size);
  return Image->data();
}

}  // namespace

ZONE_IMAGE_REPORT DescribeZoneImage(const std::string &Name, const std::string &Text) {
  ZONE_IMAGE_REPORT Report{};
  if (Text.size() > HEX_MAX_FILE_SIZE) {
    Report.Problem = Name + ": " + HexErrorText(HEX_ERROR_FILE_TOO_LARGE);
    return Report;
  }
  std::vector<UINT8> Image;
  HEX_DECODER Decoder;
  HexDecodeBeginImage(&Decoder, AllocateImage, &Image);
  (void)HexDecodeFeed(&Decoder, Text.data(), Text.size());
  IMAGE_INFO Info{};
  const HEX_RESULT Result = HexDecodeEnd(&Decoder, &Info);
  Report.PayloadCrcGood = Result.Error != HEX_ERROR_PAYLOAD_CRC;
  if (Result.Error != HEX_OK) {
    Report.Problem = Name + (Result.Line != 0 ? " line " + std::to_string(Result.Line) : std::string()) + ": " +
                     HexErrorText(Result.Error);
    return Report;
  }
  Report.Decodes = true;
  Report.FormatVersion = IMAGE_FORMAT_VERSION;
  Report.Version = Info.Version;
  Report.PayloadLength = Info.PayloadLength;
  // Header formats with more fields (a security counter, a signature) add
  // them here from the format's description of the image.
  return Report;
}

std::string FormatZoneImage(const ZONE_IMAGE_REPORT &Report) {
  if (!Report.Decodes) return Report.Problem;
  char Version[32];
  std::snprintf(Version, sizeof(Version), "0x%016llx", static_cast<unsigned long long>(Report.Version));
  return "format " + std::to_string(Report.FormatVersion) + ", version " + Version + ", payload " +
         std::to_string(Report.PayloadLength) + " bytes, payload CRC good";
}
