/** @file
  Zone image description through the image format's decoder.
**/

#include "ZoneImage.h"

#include <cstdio>
#include <vector>

#include "HexImage.h"
#include "ImageSignHost.h"
#include "PemKey.h"
#include "Report.h"
#include "Trust.h"
#include "Volume.h"

namespace {

UINT8 *AllocateImage(void *Context, UINTN Size) {
  auto *Image = static_cast<std::vector<UINT8> *>(Context);
  Image->resize(Size);
  return Image->data();
}

/// The verdict as the report words it.
std::string SignatureText(const ZONE_IMAGE_REPORT &Report) {
  switch (Report.Signature) {
    case SIGN_STATUS::Ok:
      return "signature verifies";
    case SIGN_STATUS::NotChecked:
      return "signature not checked (no trusted key given)";
    default:
      return SignStatusText(Report.Signature);
  }
}

/// The verdict as the JSON document names it.
const char *SignatureName(const ZONE_IMAGE_REPORT &Report) {
  switch (Report.Signature) {
    case SIGN_STATUS::Ok:
      return "verifies";
    case SIGN_STATUS::Unsigned:
      return "unsigned";
    case SIGN_STATUS::UnknownKey:
      return "unknown-key";
    case SIGN_STATUS::BadSignature:
      return "bad-signature";
    case SIGN_STATUS::DamagedBlock:
      return "damaged-block";
    default:
      return "not-checked";
  }
}

}  // namespace

std::string ZoneImageJson(const std::string &Zone, const std::string &Path, const ZONE_IMAGE_REPORT &Report) {
  JSON_OBJECT Object;
  Object.Text("zone", Zone).Text("path", Path).Raw("decodes", Report.Decodes ? "true" : "false");
  if (!Report.Decodes) return Object.Text("problem", Report.Problem).Json();
  char Version[32];
  std::snprintf(Version, sizeof(Version), "0x%016llx", static_cast<unsigned long long>(Report.Version));
  return Object.Number("format", Report.FormatVersion)
      .Text("version", Version)
      .Number("payload_length", Report.PayloadLength)
      .Number("image_size", Report.ImageSize)
      .Number("security_counter", Report.SecurityCounter)
      .Text("signed_zone", ZoneName(Report.Zone))
      .Text("product", Report.FormatVersion >= 3 ? ProductHex(Report.Product) : "none")
      .Raw("key_id", Report.Signed ? JsonString(Report.KeyId) : "null")
      .Text("signature", SignatureName(Report))
      .Json();
}

std::string ZoneName(uint8_t Zone) {
  return Zone == IMAGE_ZONE_OCM ? "ocm" : Zone == IMAGE_ZONE_CUSTOMER ? "customer" : "none";
}

std::string ProductHex(uint32_t Product) {
  char Text[16];
  std::snprintf(Text, sizeof(Text), "0x%08x", static_cast<unsigned>(Product));
  return Text;
}

ZONE_IMAGE_REPORT DescribeZoneImage(const std::string &Name, const std::string &Text,
                                    const std::vector<IMAGE_PUBLIC_KEY> &TrustedKeys) {
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
  IMAGE_DESCRIPTION Description{};
  DescribeImage(Image.data(), Image.size(), TrustedKeys.data(), TrustedKeys.size(), &Description);
  if (Description.Error != HEX_OK) {
    Report.Problem = Name + ": " + HexErrorText(Description.Error);
    return Report;
  }
  Report.Decodes = true;
  Report.FormatVersion = Description.Format;
  Report.Version = Description.Version;
  Report.PayloadLength = Description.PayloadLength;
  Report.ImageSize = Description.ImageSize;
  Report.SecurityCounter = Description.SecurityCounter;
  Report.Zone = Description.Zone;
  Report.Product = Description.Product;
  Report.Signed = Description.Signed;
  if (Description.Signed) Report.KeyId = HexText(Description.KeyId, sizeof(Description.KeyId));
  Report.Signature = Description.Signature;
  return Report;
}

std::vector<EXPECTED_KEY> ReadExpectedKeys(const std::vector<std::string> &PemPaths) {
  std::vector<EXPECTED_KEY> Keys;
  for (const std::string &Path : PemPaths) {
    EXPECTED_KEY Key{Path, {}};
    std::string Error;
    if (!ReadAnyPublicKeyPem(ReadHostFile(Path), &Key.Key, &Error)) throw TOOL_FAILURE(Path + ": " + Error);
    Keys.push_back(Key);
  }
  return Keys;
}

std::string FormatZoneImage(const ZONE_IMAGE_REPORT &Report) {
  if (!Report.Decodes) return Report.Problem;
  char Version[32];
  std::snprintf(Version, sizeof(Version), "0x%016llx", static_cast<unsigned long long>(Report.Version));
  std::string Line = "format " + std::to_string(Report.FormatVersion) + ", version " + Version +
                     ", payload " + std::to_string(Report.PayloadLength) + " bytes, payload CRC good";
  if (Report.FormatVersion < 2) return Line;
  Line += ", security counter " + std::to_string(Report.SecurityCounter);
  if (Report.FormatVersion >= 3) Line += ", zone " + ZoneName(Report.Zone) + ", product " + ProductHex(Report.Product);
  if (!Report.Signed) return Line + ", unsigned";
  return Line + ", signed by key " + Report.KeyId.substr(0, 16) + "..., " + SignatureText(Report);
}
