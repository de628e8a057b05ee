/** @file
  orvhex capsule: a UEFI FMP capsule of signed zone images, one payload item
  per image, addressed by image type (the maker's GUID with the product id
  in its last four bytes) and hardware instance (IC index + 1, or 0 for every
  IC of the product). The product is the one the images are signed for;
  --product, when given, must name the same. orvhex capsule-info: every field of a capsule, checked
  by the same reader OrvCapsule.efi uses, and each item's image described
  like orvhex info.
**/

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

#include <FmpCapsule/FmpCapsule.h>
#include <OrvBase/FmpImageType.h>

#include "ImageSign.h"
#include "ImageSignHost.h"
#include "OrvHexCommands.h"
#include "OrvHexFiles.h"
#include "SimText.h"

namespace orvhex {

namespace {

constexpr EFI_GUID DEMO_MAKER = ORV_FMP_DEMO_MAKER_GUID;

/// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case.
std::string GuidText(const EFI_GUID &Guid) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1, Guid.Data2,
                Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4],
                Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

/// The text form GuidText writes, in either case; nothing else.
bool ParseGuid(const std::string &Text, EFI_GUID *Guid) {
  if (Text.size() != 36) return false;
  for (size_t At = 0; At < Text.size(); At++) {
    const bool Dash = At == 8 || At == 13 || At == 18 || At == 23;
    if (Dash ? Text[At] != '-' : !std::isxdigit(static_cast<unsigned char>(Text[At]))) return false;
  }
  unsigned Field[11];
  std::sscanf(Text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &Field[0], &Field[1], &Field[2], &Field[3],
              &Field[4], &Field[5], &Field[6], &Field[7], &Field[8], &Field[9], &Field[10]);
  *Guid = EFI_GUID{Field[0], static_cast<UINT16>(Field[1]), static_cast<UINT16>(Field[2]), {}};
  for (int Index = 0; Index < 8; Index++) Guid->Data4[Index] = static_cast<UINT8>(Field[3 + Index]);
  return true;
}

struct CAPSULE_OPTIONS {
  EFI_GUID Maker = DEMO_MAKER;
  UINT64 Instance = 0;      ///< 0: every IC
  UINT64 Product = 0;
  bool HaveProduct = false;
  UINT64 Index = 1;
  std::vector<std::string> Files;  ///< images, then the capsule
};

/// Reads one "--name value" option at Args[Index]; false for a usage error,
/// Error set for a bad value.
bool ReadOption(const std::vector<std::string> &Args, size_t *Index, CAPSULE_OPTIONS *Options,
                std::map<std::string, bool> *Seen, std::string *Error) {
  const std::string &Name = Args[*Index];
  if (*Index + 1 >= Args.size() || (*Seen)[Name]) return false;
  (*Seen)[Name] = true;
  const std::string &Value = Args[++*Index];
  UINT64 Number = 0;
  if (Name == "--maker") {
    if (!ParseGuid(Value, &Options->Maker)) *Error = "bad maker GUID '" + Value + "'";
  } else if (Name == "--ic" || Name == "--product" || Name == "--index") {
    const UINT64 Max = Name == "--ic" ? 254 : Name == "--index" ? 255 : 0xFFFFFFFFu;
    if (!ParseNumber(Value, &Number) || Number > Max || (Name == "--index" && Number == 0)) {
      *Error = "bad " + Name.substr(2) + " '" + Value + "'";
    } else if (Name == "--ic") {
      Options->Instance = Number + 1;
    } else if (Name == "--index") {
      Options->Index = Number;
    } else {
      Options->Product = Number;
      Options->HaveProduct = true;
    }
  } else {
    return false;
  }
  return true;
}

/// One signed image read for a payload item; *Product is the product it is
/// signed for (0 when its format names none).
bool LoadSigned(const std::string &Path, std::vector<UINT8> *Bytes, UINT32 *Product, std::string *Error) {
  IMAGE_INFO Info{};
  if (!LoadAnyImage(Path, Bytes, &Info, Error)) return false;
  IMAGE_DESCRIPTION Description{};
  DescribeImage(Bytes->data(), Bytes->size(), nullptr, 0, &Description);
  if (!Description.Signed) {
    *Error = Path + ": not signed (a capsule carries signed images only)";
    return false;
  }
  *Product = Description.Format == IMAGE_FORMAT_3 ? Description.Product : 0;
  return true;
}

std::string ProductText(UINT64 Product) {
  char Text[16];
  std::snprintf(Text, sizeof(Text), "0x%08X", static_cast<unsigned>(Product));
  return Text;
}

/// The product the capsule addresses: the one its images are signed for,
/// which every image and --product (when given) must name alike, so that a
/// typo cannot address an image to another product's ICs. An image whose
/// format names no product needs --product.
bool ResolveProduct(CAPSULE_OPTIONS *Options, const std::vector<UINT32> &Products, std::string *Error) {
  std::string From = "--product";
  for (size_t Index = 0; Index < Products.size(); Index++) {
    if (Products[Index] == 0) continue;
    if (!Options->HaveProduct) {
      Options->Product = Products[Index];
      Options->HaveProduct = true;
      From = Options->Files[Index];
    } else if (Products[Index] != Options->Product) {
      *Error = Options->Files[Index] + ": signed for product " + ProductText(Products[Index]) + ", not " +
               ProductText(Options->Product) + " (" + From + ")";
      return false;
    }
  }
  if (!Options->HaveProduct) *Error = "the images name no product: give --product";
  return Options->HaveProduct;
}

}  // namespace

int Capsule(const std::vector<std::string> &Args, std::ostream &Err) {
  CAPSULE_OPTIONS Options;
  std::map<std::string, bool> Seen;
  std::string Error;
  for (size_t Index = 0; Index < Args.size() && Error.empty(); Index++) {
    if (Args[Index].rfind("--", 0) != 0) {
      Options.Files.push_back(Args[Index]);
    } else if (!ReadOption(Args, &Index, &Options, &Seen, &Error)) {
      return Usage(Err);
    }
  }
  if (!Error.empty()) return Failed(Err, Error);
  if (Options.Files.size() < 2 || Options.Files.size() > 1 + 0xFFFF) return Usage(Err);
  const size_t Count = Options.Files.size() - 1;
  std::vector<std::vector<UINT8>> Images(Count);
  std::vector<UINT32> Products(Count);
  for (size_t Index = 0; Index < Count; Index++) {
    if (!LoadSigned(Options.Files[Index], &Images[Index], &Products[Index], &Error)) return Failed(Err, Error);
  }
  if (!ResolveProduct(&Options, Products, &Error)) return Failed(Err, Error);
  const EFI_GUID ImageType = OrvFmpImageTypeId(Options.Maker, static_cast<UINT32>(Options.Product));
  std::vector<FMP_CAPSULE_PAYLOAD> Payloads(Count);
  for (size_t Index = 0; Index < Count; Index++) {
    Payloads[Index] = FMP_CAPSULE_PAYLOAD{ImageType, static_cast<UINT8>(Options.Index), Options.Instance,
                                          Images[Index].data(), static_cast<UINT32>(Images[Index].size())};
  }
  std::vector<UINT8> Out(FmpCapsuleSize(Payloads.data(), static_cast<UINT16>(Count)));
  if (Out.empty()) return Failed(Err, "capsule larger than 4 GiB");
  WriteFmpCapsule(Payloads.data(), static_cast<UINT16>(Count), CAPSULE_FLAGS_PERSIST_ACROSS_RESET, Out.data(),
                  Out.size());
  if (!WriteFile(Options.Files.back(), Out.data(), Out.size(), &Error)) return Failed(Err, Error);
  return ORVHEX_OK;
}

namespace {

void PrintItem(std::ostream &Out, UINT16 Index, const FMP_CAPSULE_ITEM &Item) {
  const std::string At = "item " + std::to_string(Index) + " ";
  char Line[80];
  std::snprintf(Line, sizeof(Line), "product 0x%02X%02X%02X%02X", Item.UpdateImageTypeId.Data4[4],
                Item.UpdateImageTypeId.Data4[5], Item.UpdateImageTypeId.Data4[6], Item.UpdateImageTypeId.Data4[7]);
  Out << At << "offset " << Item.Offset << "\n" << At << "header-version " << Item.HeaderVersion << "\n"
      << At << "image-type " << GuidText(Item.UpdateImageTypeId) << "\n" << At << Line << "\n"
      << At << "image-index " << unsigned(Item.UpdateImageIndex) << "\n"
      << At << "hardware-instance " << Item.UpdateHardwareInstance << "\n"
      << At << "image-size " << Item.ImageSize << "\n" << At << "vendor-code-size " << Item.VendorCodeSize << "\n";
  IMAGE_DESCRIPTION Description{};
  DescribeImage(Item.Image, Item.ImageSize, nullptr, 0, &Description);
  if (Description.Error != HEX_OK) {
    Out << At << "image-error " << HexErrorText(Description.Error) << "\n";
    return;
  }
  std::snprintf(Line, sizeof(Line), "version 0x%016llx", static_cast<unsigned long long>(Description.Version));
  Out << At << Line << "\n" << At << "payload " << Description.PayloadLength << "\n"
      << At << "format " << unsigned(Description.Format) << "\n"
      << At << "security-counter " << Description.SecurityCounter << "\n"
      << At << "key-id " << (Description.Signed ? HexText(Description.KeyId, IMAGE_KEY_ID_SIZE) : "none") << "\n"
      << At << "signature " << (Description.Signed ? "present" : "absent") << "\n";
}

}  // namespace

int CapsuleInfo(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  if (Args.size() != 1 || Args[0].rfind("--", 0) == 0) return Usage(Err);
  std::string Data;
  std::string Error;
  if (!ReadFile(Args[0], &Data, &Error)) return Failed(Err, Error);
  FMP_CAPSULE Capsule{};
  UINT16 BadItem = 0;
  CAPSULE_ERROR Read = ReadFmpCapsule(reinterpret_cast<const UINT8 *>(Data.data()), Data.size(), &Capsule, &BadItem);
  if (Read != CAPSULE_ERROR::Ok) {
    std::string Item = Read >= CAPSULE_ERROR::ItemOffset ? "item " + std::to_string(BadItem) + ": " : "";
    return Failed(Err, Args[0] + ": " + Item + CapsuleErrorText(Read));
  }
  char Flags[16];
  std::snprintf(Flags, sizeof(Flags), "0x%08X", Capsule.Flags);
  Out << "capsule-guid " << GuidText(Capsule.CapsuleGuid) << "\n" << "header-size " << Capsule.HeaderSize << "\n"
      << "flags " << Flags << "\n" << "capsule-image-size " << Capsule.CapsuleImageSize << "\n"
      << "fmp-version " << Capsule.FmpVersion << "\n" << "embedded-drivers " << Capsule.EmbeddedDriverCount << "\n"
      << "payload-items " << Capsule.PayloadItemCount << "\n";
  for (UINT16 Index = 0; Index < Capsule.PayloadItemCount; Index++) {
    FMP_CAPSULE_ITEM Item{};
    if (ReadFmpCapsuleItem(Capsule, Index, &Item) == CAPSULE_ERROR::Ok) PrintItem(Out, Index, Item);
  }
  return ORVHEX_OK;
}

}  // namespace orvhex
