/** @file
  The orvhex commands for signed images: make (format 1; format 2 with only
  a security counter; format 3 with a zone, a product and, signed, a
  signature), sign, verify.
**/

#include <cstdio>
#include <map>

#include "ImageSignHost.h"
#include "OrvHexCommands.h"
#include "OrvHexFiles.h"
#include "PemKey.h"

namespace orvhex {

namespace {

/// Options given as "--name value" and the remaining arguments (files).
struct OPTIONS {
  std::map<std::string, std::string> Values;
  std::vector<std::string> Files;
};

/// Splits Args: each "--name" must be one of Names and take a value; a
/// repeated, unknown or valueless option is a usage error (false).
bool SplitOptions(const std::vector<std::string> &Args, const std::vector<std::string> &Names,
                  OPTIONS *Options) {
  for (size_t Index = 0; Index < Args.size(); Index++) {
    const std::string &Arg = Args[Index];
    if (Arg.rfind("--", 0) != 0) {
      Options->Files.push_back(Arg);
      continue;
    }
    bool Known = false;
    for (const std::string &Name : Names) Known = Known || Name == Arg;
    if (!Known || Index + 1 >= Args.size() || Options->Values.count(Arg) != 0) return false;
    Options->Values[Arg] = Args[++Index];
  }
  return true;
}

bool Has(const OPTIONS &Options, const char *Name) { return Options.Values.count(Name) != 0; }

/// The --security-counter value (32-bit), when given.
bool ReadCounter(const OPTIONS &Options, UINT32 *Counter, std::string *Error) {
  UINT64 Value = 0;
  const std::string &Text = Options.Values.at("--security-counter");
  if (!ParseNumber(Text, &Value) || Value > 0xFFFFFFFFu) {
    *Error = "bad security counter '" + Text + "' (decimal or 0x hex, 32-bit)";
    return false;
  }
  *Counter = static_cast<UINT32>(Value);
  return true;
}

/// What the trailer of the output image says: the format and its fields.
struct TRAILER {
  UINT8         Format;   ///< 2 or 3
  IMAGE_BINDING Binding;  ///< Zone and Product only in format 3
};

/// The --zone and --product values into Trailer (format 3) when given;
/// false with the reason for a bad value.
bool ReadBinding(const OPTIONS &Options, TRAILER *Trailer, std::string *Error) {
  if (Has(Options, "--zone")) {
    const std::string &Zone = Options.Values.at("--zone");
    if (Zone != "ocm" && Zone != "customer") {
      *Error = "bad zone '" + Zone + "' (ocm or customer)";
      return false;
    }
    Trailer->Binding.Zone = Zone == "ocm" ? IMAGE_ZONE_OCM : IMAGE_ZONE_CUSTOMER;
    Trailer->Format = IMAGE_FORMAT_3;
  }
  if (Has(Options, "--product")) {
    const std::string &Text = Options.Values.at("--product");
    UINT64 Value = 0;
    if (!ParseNumber(Text, &Value) || Value == 0 || Value > 0xFFFFFFFFu) {
      *Error = "bad product id '" + Text + "' (1 to 0xFFFFFFFF, decimal or 0x hex)";
      return false;
    }
    Trailer->Binding.Product = static_cast<UINT32>(Value);
    Trailer->Format = IMAGE_FORMAT_3;
  }
  return true;
}

/// A format 3 image names both; a signed image is always format 3, so that
/// no signature leaves where the image may run open.
bool BindingComplete(const TRAILER &Trailer, bool Signing, std::string *Error) {
  if (Trailer.Format != IMAGE_FORMAT_3 && !Signing) return true;
  if (Trailer.Binding.Zone == IMAGE_ZONE_NONE) {
    *Error = std::string(Signing ? "a signed image" : "--product") + " needs --zone ocm|customer";
    return false;
  }
  if (Trailer.Binding.Product == 0) {
    *Error = std::string(Signing ? "a signed image" : "--zone") + " needs --product ID";
    return false;
  }
  return true;
}

bool ReadSigningKey(const std::string &Path, IMAGE_PRIVATE_KEY *Key, std::string *Error) {
  std::string Text;
  if (!ReadFile(Path, &Text, Error)) return false;
  std::string Reason;
  if (!ReadPrivateKeyPem(Text, Key, &Reason)) {
    *Error = Path + ": " + Reason;
    return false;
  }
  return true;
}

/// A public key: a PEM public key, or the public half of a private key.
bool ReadVerifyingKey(const std::string &Path, IMAGE_PUBLIC_KEY *Key, std::string *Error) {
  std::string Text;
  std::string Reason;
  if (!ReadFile(Path, &Text, Error)) return false;
  if (ReadAnyPublicKeyPem(Text, Key, &Reason)) return true;
  *Error = Path + ": " + Reason;
  return false;
}

bool WriteHex(const std::string &Path, const std::vector<UINT8> &Image, std::string *Error) {
  std::string Hex(HexEncodedSize(Image.size()), '\0');
  if (EncodeHex(Image.data(), Image.size(), Hex.data(), Hex.size()) != Hex.size()) {
    *Error = "internal error while encoding";
    return false;
  }
  return WriteFile(Path, Hex.data(), Hex.size(), Error);
}

/// Turns Image into the Trailer's format, signed by the key in KeyPath
/// (unsigned when KeyPath is empty), and writes it as HEX to OutPath.
int WriteTrailer(std::vector<UINT8> *Image, const TRAILER &Trailer, const std::string &KeyPath,
                 const std::string &OutPath, std::ostream &Err) {
  std::string Error;
  IMAGE_PRIVATE_KEY Key{};
  if (!KeyPath.empty() && !ReadSigningKey(KeyPath, &Key, &Error)) return Failed(Err, Error);
  const IMAGE_PRIVATE_KEY *Signer = KeyPath.empty() ? nullptr : &Key;
  const bool Made = Trailer.Format == IMAGE_FORMAT_3 ? MakeImageFormat3(Image, Trailer.Binding, Signer)
                                                     : MakeImageFormat2(Image, Trailer.Binding.SecurityCounter, Signer);
  if (!Made) return Failed(Err, "cannot sign the image");
  if (Image->size() > HEX_MAX_IMAGE_SIZE) return Failed(Err, "signed image too large");
  if (!WriteHex(OutPath, *Image, &Error)) return Failed(Err, Error);
  return ORVHEX_OK;
}

/// "zone ocm, product 0x0000002a" of a format 3 image; "zone none, product none" else.
std::string BindingText(const IMAGE_INFO &Info) {
  if (Info.Format != IMAGE_FORMAT_3) return "zone none, product none";
  char Product[16];
  std::snprintf(Product, sizeof Product, "0x%08x", static_cast<unsigned>(Info.Product));
  return std::string("zone ") + (Info.Zone == IMAGE_ZONE_OCM ? "ocm" : "customer") + ", product " + Product;
}

}  // namespace

int Make(const std::vector<std::string> &Args, std::ostream &Err) {
  OPTIONS Options;
  if (!SplitOptions(Args, {"--version", "--security-counter", "--key", "--zone", "--product"}, &Options) ||
      !Has(Options, "--version") || Options.Files.size() != 2) {
    return Usage(Err);
  }
  // An IC keeps and reports 32 bits of the version: a larger one would read
  // back as its low half, and every run would update again.
  UINT64 Version = 0;
  if (!ParseNumber(Options.Values["--version"], &Version) || Version > 0xFFFFFFFFu) {
    return Failed(Err, "bad version '" + Options.Values["--version"] + "' (decimal or 0x hex, at most 0xFFFFFFFF)");
  }
  TRAILER Trailer{IMAGE_FORMAT_2, {}};
  std::string Error;
  if ((Has(Options, "--security-counter") && !ReadCounter(Options, &Trailer.Binding.SecurityCounter, &Error)) ||
      !ReadBinding(Options, &Trailer, &Error) || !BindingComplete(Trailer, Has(Options, "--key"), &Error)) {
    return Failed(Err, Error);
  }
  std::string Payload;
  if (!ReadFile(Options.Files[0], &Payload, &Error)) return Failed(Err, Error);
  if (Payload.size() > HEX_MAX_IMAGE_SIZE - IMAGE_HEADER_SIZE) {
    return Failed(Err, Options.Files[0] + ": payload too large");
  }
  std::vector<UINT8> Image = MakeImageFormat1(Version, std::vector<UINT8>(Payload.begin(), Payload.end()));
  // A counter, a binding or a key asks for a trailer; without any the image
  // stays format 1, as older parsers and chips read it.
  if (Has(Options, "--security-counter") || Has(Options, "--key") || Trailer.Format == IMAGE_FORMAT_3) {
    const std::string KeyPath = Has(Options, "--key") ? Options.Values["--key"] : std::string();
    return WriteTrailer(&Image, Trailer, KeyPath, Options.Files[1], Err);
  }
  if (!WriteHex(Options.Files[1], Image, &Error)) return Failed(Err, Error);
  return ORVHEX_OK;
}

int Sign(const std::vector<std::string> &Args, std::ostream &Err) {
  OPTIONS Options;
  if (!SplitOptions(Args, {"--key", "--security-counter", "--zone", "--product"}, &Options) ||
      !Has(Options, "--key") || Options.Files.size() != 2) {
    return Usage(Err);
  }
  std::string Error;
  std::vector<UINT8> Image;
  IMAGE_INFO Info{};
  if (!LoadAnyImage(Options.Files[0], &Image, &Info, &Error)) return Failed(Err, Error);
  // The image keeps its counter, zone and product unless others are given.
  TRAILER Trailer{IMAGE_FORMAT_3, {Info.SecurityCounter, Info.Zone, Info.Product}};
  if ((Has(Options, "--security-counter") && !ReadCounter(Options, &Trailer.Binding.SecurityCounter, &Error)) ||
      !ReadBinding(Options, &Trailer, &Error) || !BindingComplete(Trailer, true, &Error)) {
    return Failed(Err, Error);
  }
  return WriteTrailer(&Image, Trailer, Options.Values["--key"], Options.Files[1], Err);
}

int Verify(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  OPTIONS Options;
  if (!SplitOptions(Args, {"--key"}, &Options) || !Has(Options, "--key") || Options.Files.size() != 1) {
    return Usage(Err);
  }
  std::string Error;
  IMAGE_PUBLIC_KEY Key{};
  if (!ReadVerifyingKey(Options.Values["--key"], &Key, &Error)) return Failed(Err, Error);
  std::vector<UINT8> Image;
  IMAGE_INFO Info{};
  if (!LoadAnyImage(Options.Files[0], &Image, &Info, &Error)) return Failed(Err, Error);
  SIGN_STATUS Verdict = VerifyImageSignature(Image.data(), Info, &Key, 1, nullptr);
  if (Verdict != SIGN_STATUS::Ok) {
    return Failed(Err, Options.Files[0] + ": " + SignStatusText(Verdict));
  }
  Out << Options.Files[0] << ": signature verifies, security counter " << Info.SecurityCounter << ", "
      << BindingText(Info) << "\n";
  return ORVHEX_OK;
}

}  // namespace orvhex
