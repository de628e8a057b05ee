/** @file
  The orvhex commands for signed images: make (format 1, or format 2 with a
  security counter and a signature), sign, verify, keygen.
**/

#include <sys/stat.h>

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

/// Turns Image into format 2 with Counter, signed by the key in KeyPath
/// (unsigned when KeyPath is empty), and writes it as HEX to OutPath.
int WriteFormat2(std::vector<UINT8> *Image, UINT32 Counter, const std::string &KeyPath,
                 const std::string &OutPath, std::ostream &Err) {
  std::string Error;
  IMAGE_PRIVATE_KEY Key{};
  if (!KeyPath.empty() && !ReadSigningKey(KeyPath, &Key, &Error)) return Failed(Err, Error);
  if (!MakeImageFormat2(Image, Counter, KeyPath.empty() ? nullptr : &Key)) {
    return Failed(Err, "cannot sign the image");
  }
  if (Image->size() > HEX_MAX_IMAGE_SIZE) return Failed(Err, "signed image too large");
  if (!WriteHex(OutPath, *Image, &Error)) return Failed(Err, Error);
  return ORVHEX_OK;
}

}  // namespace

int Make(const std::vector<std::string> &Args, std::ostream &Err) {
  OPTIONS Options;
  if (!SplitOptions(Args, {"--version", "--security-counter", "--key"}, &Options) ||
      !Has(Options, "--version") || Options.Files.size() != 2) {
    return Usage(Err);
  }
  // An IC keeps and reports 32 bits of the version: a larger one would read
  // back as its low half, and every run would update again.
  UINT64 Version = 0;
  if (!ParseNumber(Options.Values["--version"], &Version) || Version > 0xFFFFFFFFu) {
    return Failed(Err, "bad version '" + Options.Values["--version"] + "' (decimal or 0x hex, at most 0xFFFFFFFF)");
  }
  UINT32 Counter = 0;
  std::string Error;
  if (Has(Options, "--security-counter") && !ReadCounter(Options, &Counter, &Error)) {
    return Failed(Err, Error);
  }
  std::string Payload;
  if (!ReadFile(Options.Files[0], &Payload, &Error)) return Failed(Err, Error);
  if (Payload.size() > HEX_MAX_IMAGE_SIZE - IMAGE_HEADER_SIZE) {
    return Failed(Err, Options.Files[0] + ": payload too large");
  }
  std::vector<UINT8> Image = MakeImageFormat1(Version, std::vector<UINT8>(Payload.begin(), Payload.end()));
  // A counter or a key asks for format 2; without either the image stays
  // format 1, as older parsers and chips read it.
  if (Has(Options, "--security-counter") || Has(Options, "--key")) {
    const std::string KeyPath = Has(Options, "--key") ? Options.Values["--key"] : std::string();
    return WriteFormat2(&Image, Counter, KeyPath, Options.Files[1], Err);
  }
  if (!WriteHex(Options.Files[1], Image, &Error)) return Failed(Err, Error);
  return ORVHEX_OK;
}

int Sign(const std::vector<std::string> &Args, std::ostream &Err) {
  OPTIONS Options;
  if (!SplitOptions(Args, {"--key", "--security-counter"}, &Options) || !Has(Options, "--key") ||
      Options.Files.size() != 2) {
    return Usage(Err);
  }
  std::string Error;
  std::vector<UINT8> Image;
  IMAGE_INFO Info{};
  if (!LoadAnyImage(Options.Files[0], &Image, &Info, &Error)) return Failed(Err, Error);
  // The image keeps its counter unless one is given.
  UINT32 Counter = Info.SecurityCounter;
  if (Has(Options, "--security-counter") && !ReadCounter(Options, &Counter, &Error)) {
    return Failed(Err, Error);
  }
  return WriteFormat2(&Image, Counter, Options.Values["--key"], Options.Files[1], Err);
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
  Out << Options.Files[0] << ": signature verifies, security counter " << Info.SecurityCounter << "\n";
  return ORVHEX_OK;
}

int Keygen(const std::vector<std::string> &Args, std::ostream &Err) {
  if (Args.size() != 2 || Args[0].rfind("--", 0) == 0 || Args[1].rfind("--", 0) == 0) {
    return Usage(Err);
  }
  // A private key is never overwritten: it would be lost for good.
  struct stat Existing {};
  if (::stat(Args[0].c_str(), &Existing) == 0) {
    return Failed(Err, Args[0] + " exists; a key is never overwritten");
  }
  IMAGE_PRIVATE_KEY Key{};
  if (!GenerateSigningKey(&Key)) return Failed(Err, "no random source for a new key");
  std::string Error;
  const std::string Private = PrivateKeyPem(Key);
  const std::string Public = PublicKeyPem(Key.Public);
  const mode_t Old = ::umask(077);
  const bool Written = WriteFile(Args[0], Private.data(), Private.size(), &Error);
  ::umask(Old);
  if (!Written || !WriteFile(Args[1], Public.data(), Public.size(), &Error)) return Failed(Err, Error);
  return ORVHEX_OK;
}

}  // namespace orvhex
