/** @file
  The orvhex commands.
**/

#include "OrvHexCommands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "HexImage.h"
#include "ImageSign.h"
#include "ImageSignHost.h"
#include "JsonText.h"
#include "OrvHexFiles.h"
#include "SimText.h"

using namespace orvhex;

namespace {

constexpr const char *USAGE =
  "usage: orvhex [-q] make --version <V> [--security-counter <N>] [--zone ocm|customer --product <ID>]\n"
  "                        [--key KEY.pem] in.bin out.hex   (--key needs --zone and --product)\n"
  "       orvhex sign --key KEY.pem [--security-counter <N>] [--zone ocm|customer] [--product <ID>]\n"
  "                   in.hex out.hex\n"
  "       orvhex verify --key PUB.pem in.hex\n"
  "       orvhex keygen KEY.pem PUB.pem\n"
  "       orvhex bin [--with-header] in.hex out.bin\n"
  "       orvhex bank --size <N> in.hex out.bin\n"
  "       orvhex info [--json] <file>\n"
  "       orvhex capsule [--product <P>] [--maker GUID] [--ic N] [--index I] image... out.cap\n"
  "       orvhex capsule-info <file>\n"
  "       orvhex --help | --version\n"
  "An input may be - (standard input) or a pipe; the output of bin may be - (standard output).\n"
  "-q: nothing on standard output but what the command is for (info, capsule-info, bin to -).\n"
  "Exit status: 0 done, 1 bad input or a file error, 2 bad command line.\n";

/// The options a command cannot do without, named when missing.
struct REQUIRED_OPTION {
  const char *Command;
  const char *Option;
  const char *Value;
};
constexpr REQUIRED_OPTION REQUIRED_OPTIONS[] = {
    {"make", "--version", "<V>"},
    {"sign", "--key", "KEY.pem"},
    {"verify", "--key", "PUB.pem"},
    {"bank", "--size", "<N>"},
};

/// Raised only when a field of info --json changes meaning or goes away.
constexpr int INFO_JSON_FORMAT_VERSION = 1;

}  // namespace

namespace orvhex {

int Usage(std::ostream &Err) {
  Err << USAGE;
  return ORVHEX_USAGE;
}

int Failed(std::ostream &Err, const std::string &Reason) {
  Err << "orvhex: " << Reason << "\n";
  return ORVHEX_FAILED;
}

bool ParseNumber(const std::string &Text, UINT64 *Value) {
  return ParseUint64(TEXT_SPAN{Text.data(), Text.size()}, Value);
}

}  // namespace orvhex

namespace {

// The name a message gives an input: "-" is standard input.
std::string InputName(const std::string &Path) { return Path == "-" ? "standard input" : Path; }

constexpr size_t CHUNK = 64 * 1024;

/// An input read once from start to end: a regular file, a pipe, or
/// standard input for "-". Anything else (a directory, a device) is refused
/// when it is opened.
class INPUT_FILE {
 public:
  INPUT_FILE() = default;
  INPUT_FILE(const INPUT_FILE &) = delete;
  INPUT_FILE &operator=(const INPUT_FILE &) = delete;
  ~INPUT_FILE() {
    if (Fd >= 0 && Fd != STDIN_FILENO) {
      ::close(Fd);
    }
  }

  bool Open(const std::string &Path, std::string *Error) {
    Name = InputName(Path);
    Fd = Path == "-" ? STDIN_FILENO : ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) {
      *Error = "cannot open " + Name + ": " + std::strerror(errno);
      return false;
    }
    struct stat Info {};
    if (::fstat(Fd, &Info) != 0) {
      *Error = "cannot read " + Name + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISREG(Info.st_mode) && !S_ISFIFO(Info.st_mode)) {
      *Error = Name + ": not a regular file";
      return false;
    }
    if (S_ISREG(Info.st_mode) && static_cast<UINT64>(Info.st_size) > HEX_MAX_FILE_SIZE) {
      *Error = Name + ": file too large";
      return false;
    }
    return true;
  }

  /// Reads the next bytes into Buffer: their count, 0 at the end, or -1 after
  /// a read error or past the largest file (Error set).
  ssize_t Read(char *Buffer, size_t Size, std::string *Error) {
    for (;;) {
      ssize_t Got = ::read(Fd, Buffer, Size);
      if (Got < 0 && errno == EINTR) {
        continue;
      }
      if (Got < 0) {
        *Error = "cannot read " + Name + ": " + std::strerror(errno);
        return -1;
      }
      Total += static_cast<UINT64>(Got);
      if (Total > HEX_MAX_FILE_SIZE) {
        *Error = Name + ": file too large";
        return -1;
      }
      return Got;
    }
  }

  /// Appends the rest of the input to Data.
  bool ReadRest(std::string *Data, std::string *Error) {
    for (;;) {
      size_t Have = Data->size();
      Data->resize(Have + CHUNK);
      ssize_t Got = Read(Data->data() + Have, CHUNK, Error);
      Data->resize(Have + static_cast<size_t>(Got < 0 ? 0 : Got));
      if (Got <= 0) {
        return Got == 0;
      }
    }
  }

  const std::string &DisplayName() const { return Name; }

 private:
  int Fd = -1;
  UINT64 Total = 0;
  std::string Name;
};

}  // namespace

namespace orvhex {

// Reads a whole input (see INPUT_FILE).
bool ReadFile(const std::string &Path, std::string *Data, std::string *Error) {
  INPUT_FILE In;
  Data->clear();
  return In.Open(Path, Error) && In.ReadRest(Data, Error);
}

// Writes through a temporary file, so a failed write never leaves a
// half-written output under the real name.
bool WriteFile(const std::string &Path, const void *Data, size_t Size, std::string *Error) {
  std::string Temporary = Path + ".tmp";
  {
    std::ofstream Out(Temporary, std::ios::binary | std::ios::trunc);
    if (!Out) {
      *Error = "cannot create " + Path + ": " + std::strerror(errno);
      return false;
    }
    Out.write(static_cast<const char *>(Data), static_cast<std::streamsize>(Size));
    Out.flush();
    if (!Out) {
      const std::string Reason = std::strerror(errno);
      Out.close();
      std::remove(Temporary.c_str());
      *Error = "cannot write " + Path + ": " + Reason;
      return false;
    }
  }
  if (std::rename(Temporary.c_str(), Path.c_str()) != 0) {
    const std::string Reason = std::strerror(errno);
    std::remove(Temporary.c_str());
    *Error = "cannot write " + Path + ": " + Reason;
    return false;
  }
  return true;
}

}  // namespace orvhex

namespace {

std::string HexFileError(const std::string &Name, const HEX_RESULT &Result) {
  if (Result.Line != 0) {
    return Name + " line " + std::to_string(Result.Line) + ": " + HexErrorText(Result.Error);
  }
  return Name + ": " + HexErrorText(Result.Error);
}

UINT8 *AllocateImage(void *Context, UINTN Size) {
  std::vector<UINT8> *Image = static_cast<std::vector<UINT8> *>(Context);
  Image->resize(Size);
  return Image->data();
}

// Decodes a HEX input as it is read, in chunks: memory is the image and one
// chunk. Start holds text read from In already. On failure Error holds the
// message.
bool DecodeHexInput(INPUT_FILE &In, const std::string &Start, std::vector<UINT8> *Image, IMAGE_INFO *Info,
                    std::string *Error) {
  HEX_DECODER Decoder;
  HexDecodeBeginImage(&Decoder, AllocateImage, Image);
  HEX_ERROR Fed = HexDecodeFeed(&Decoder, Start.data(), Start.size());
  std::unique_ptr<char[]> Chunk(new char[CHUNK]);
  while (Fed == HEX_OK) {
    ssize_t Got = In.Read(Chunk.get(), CHUNK, Error);
    if (Got < 0) {
      return false;
    }
    if (Got == 0) {
      break;
    }
    Fed = HexDecodeFeed(&Decoder, Chunk.get(), static_cast<UINTN>(Got));
  }
  HEX_RESULT Result = HexDecodeEnd(&Decoder, Info);
  if (Result.Error != HEX_OK) {
    *Error = HexFileError(In.DisplayName(), Result);
    return false;
  }
  return true;
}

}  // namespace

namespace orvhex {

// Reads a HEX file and checks its image. On failure Error holds the message.
bool LoadHexImage(const std::string &Path, std::vector<UINT8> *Image, IMAGE_INFO *Info, std::string *Error) {
  INPUT_FILE In;
  return In.Open(Path, Error) && DecodeHexInput(In, std::string(), Image, Info, Error);
}

bool LoadAnyImage(const std::string &Path, std::vector<UINT8> *Image, IMAGE_INFO *Info,
                  std::string *Error) {
  INPUT_FILE In;
  if (!In.Open(Path, Error)) {
    return false;
  }
  // Read until the first character that is not blank tells a HEX file from
  // a raw image.
  std::string Text;
  size_t First = std::string::npos;
  for (;;) {
    size_t Have = Text.size();
    Text.resize(Have + CHUNK);
    ssize_t Got = In.Read(Text.data() + Have, CHUNK, Error);
    if (Got < 0) {
      return false;
    }
    Text.resize(Have + static_cast<size_t>(Got));
    First = Text.find_first_not_of(" \t\r\n");
    if (Got == 0 || First != std::string::npos) {
      break;
    }
  }
  if (First != std::string::npos && Text[First] == ':') {
    return DecodeHexInput(In, Text, Image, Info, Error);
  }
  if (!In.ReadRest(&Text, Error)) {
    return false;
  }
  // A raw image or a bank file: the image at the start, erased bytes after it.
  const UINT8 *Bytes = reinterpret_cast<const UINT8 *>(Text.data());
  HEX_ERROR Result = CheckImageInBank(Bytes, Text.size(), true, Info);
  if (Result != HEX_OK) {
    *Error = InputName(Path) + ": " + HexErrorText(Result);
    return false;
  }
  Image->assign(Bytes, Bytes + Info->ImageSize);
  return true;
}

}  // namespace orvhex

namespace {

/// How splitting a command's arguments went.
enum class ARGS_RESULT { Ok, Usage, BadNumber };

/// Splits Args into file names and the one required option "Name NUMBER".
/// A repeated or missing option, an option without its value or an unknown
/// "--" option asks for the usage text; a value that is no number, or lies
/// outside Min..Max, stops at once with BadNumber and the value in *BadText.
ARGS_RESULT SplitNumberOption(const std::vector<std::string> &Args, const char *Name, UINT64 Min,
                              UINT64 Max, UINT64 *Value, std::vector<std::string> *Files,
                              std::string *BadText) {
  bool Have = false;
  for (size_t Index = 0; Index < Args.size(); Index++) {
    if (Args[Index] == Name) {
      if (Index + 1 >= Args.size() || Have) {
        return ARGS_RESULT::Usage;
      }
      if (!ParseNumber(Args[++Index], Value) || *Value < Min || *Value > Max) {
        *BadText = Args[Index];
        return ARGS_RESULT::BadNumber;
      }
      Have = true;
    } else if (Args[Index].rfind("--", 0) == 0) {
      return ARGS_RESULT::Usage;
    } else {
      Files->push_back(Args[Index]);
    }
  }
  return Have ? ARGS_RESULT::Ok : ARGS_RESULT::Usage;
}

int Bin(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  std::vector<std::string> Files;
  bool WithHeader = false;
  for (const std::string &Arg : Args) {
    if (Arg == "--with-header") {
      WithHeader = true;
    } else if (Arg.rfind("--", 0) == 0) {
      return Usage(Err);
    } else {
      Files.push_back(Arg);
    }
  }
  if (Files.size() != 2) {
    return Usage(Err);
  }
  std::vector<UINT8> Image;
  IMAGE_INFO Info{};
  std::string Error;
  if (!LoadHexImage(Files[0], &Image, &Info, &Error)) {
    return Failed(Err, Error);
  }
  size_t Skip = WithHeader ? 0 : IMAGE_HEADER_SIZE;
  if (Files[1] == "-") {
    Out.write(reinterpret_cast<const char *>(Image.data() + Skip), static_cast<std::streamsize>(Image.size() - Skip));
    Out.flush();
    return Out ? ORVHEX_OK : Failed(Err, "cannot write standard output");
  }
  if (!WriteFile(Files[1], Image.data() + Skip, Image.size() - Skip, &Error)) {
    return Failed(Err, Error);
  }
  return ORVHEX_OK;
}

int Bank(const std::vector<std::string> &Args, std::ostream &Err) {
  std::vector<std::string> Files;
  UINT64 Size = 0;
  std::string BadText;
  ARGS_RESULT Split = SplitNumberOption(Args, "--size", 1, HEX_MAX_IMAGE_SIZE, &Size, &Files, &BadText);
  if (Split == ARGS_RESULT::BadNumber) {
    return Failed(Err, "bad bank size '" + BadText + "'");
  }
  if (Split != ARGS_RESULT::Ok || Files.size() != 2) {
    return Usage(Err);
  }
  std::vector<UINT8> Image;
  IMAGE_INFO Info{};
  std::string Error;
  if (!LoadHexImage(Files[0], &Image, &Info, &Error)) {
    return Failed(Err, Error);
  }
  if (Image.size() > Size) {
    return Failed(Err, Files[0] + ": image of " + std::to_string(Image.size()) +
                           " bytes does not fit a bank of " + std::to_string(Size));
  }
  Image.resize(static_cast<size_t>(Size), 0xFF);
  if (!WriteFile(Files[1], Image.data(), Image.size(), &Error)) {
    return Failed(Err, Error);
  }
  return ORVHEX_OK;
}

namespace {

const char *ZoneText(UINT8 Zone) {
  return Zone == IMAGE_ZONE_OCM ? "ocm" : Zone == IMAGE_ZONE_CUSTOMER ? "customer" : "none";
}

std::string ProductText(const IMAGE_DESCRIPTION &Description) {
  if (Description.Format != IMAGE_FORMAT_3) return "none";
  char Text[16];
  std::snprintf(Text, sizeof Text, "0x%08x", static_cast<unsigned>(Description.Product));
  return Text;
}

}  // namespace

/// info --json: one JSON document (fields in docs/json-output.md).
void InfoJson(const std::string &File, const std::vector<UINT8> &Image, const IMAGE_INFO &ImageInfo,
              const IMAGE_DESCRIPTION &Description, std::ostream &Out) {
  char Version[32];
  std::snprintf(Version, sizeof(Version), "0x%016llx", static_cast<unsigned long long>(ImageInfo.Version));
  Out << "{\n  \"format_version\": " << INFO_JSON_FORMAT_VERSION << ",\n  \"file\": " << JsonString(File)
      << ",\n  \"version\": \"" << Version << "\",\n  \"payload_length\": " << ImageInfo.PayloadLength
      << ",\n  \"image_size\": " << Image.size() << ",\n  \"image_format\": " << unsigned(Description.Format)
      << ",\n  \"security_counter\": " << Description.SecurityCounter
      << ",\n  \"zone\": \"" << ZoneText(Description.Zone) << "\",\n  \"product\": \""
      << ProductText(Description) << "\",\n  \"key_id\": "
      << (Description.Signed ? "\"" + HexText(Description.KeyId, IMAGE_KEY_ID_SIZE) + "\"" : std::string("null"))
      << ",\n  \"signed\": " << (Description.Signed ? "true" : "false") << "\n}\n";
}

int Info(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  std::vector<std::string> Files;
  bool Json = false;
  for (const std::string &Arg : Args) {
    if (Arg == "--json") {
      Json = true;
    } else if (Arg.rfind("--", 0) == 0) {
      return Usage(Err);
    } else {
      Files.push_back(Arg);
    }
  }
  if (Files.size() != 1) {
    return Usage(Err);
  }
  std::vector<UINT8> Image;
  IMAGE_INFO ImageInfo{};
  std::string Error;
  if (!LoadAnyImage(Files[0], &Image, &ImageInfo, &Error)) {
    return Failed(Err, Error);
  }
  IMAGE_DESCRIPTION Description{};
  DescribeImage(Image.data(), Image.size(), nullptr, 0, &Description);
  if (Json) {
    InfoJson(InputName(Files[0]), Image, ImageInfo, Description, Out);
    return ORVHEX_OK;
  }
  char Line[64];
  std::snprintf(Line, sizeof(Line), "version 0x%016llx\n", static_cast<unsigned long long>(ImageInfo.Version));
  Out << Line << "payload " << ImageInfo.PayloadLength << "\n"
      << "image " << Image.size() << "\n"
      << "format " << unsigned(Description.Format) << "\n"
      << "security-counter " << Description.SecurityCounter << "\n"
      << "zone " << ZoneText(Description.Zone) << "\n"
      << "product " << ProductText(Description) << "\n"
      << "key-id " << (Description.Signed ? HexText(Description.KeyId, IMAGE_KEY_ID_SIZE) : "none") << "\n"
      << "signature " << (Description.Signed ? "present" : "absent") << "\n";
  return ORVHEX_OK;
}

}  // namespace

namespace {

/// A stream that drops everything (what -q silences).
class NULL_STREAM : public std::ostream {
 public:
  NULL_STREAM() : std::ostream(nullptr) {}
};

bool IsHelp(const std::string &Arg) { return Arg == "--help" || Arg == "-h"; }

/// A command without an option it cannot do without: names it, then the usage.
int MissingOption(const std::string &Command, const std::vector<std::string> &Args, std::ostream &Err) {
  for (const REQUIRED_OPTION &Required : REQUIRED_OPTIONS) {
    if (Command != Required.Command) continue;
    for (const std::string &Arg : Args) {
      if (Arg == Required.Option) return ORVHEX_OK;
    }
    Err << "orvhex: " << Command << ": missing " << Required.Option << " " << Required.Value << "\n";
    return Usage(Err);
  }
  return ORVHEX_OK;
}

int RunCommand(const std::string &Command, const std::vector<std::string> &Rest, std::ostream &Out,
               std::ostream &Err) {
  if (Command == "make") {
    return Make(Rest, Err);
  }
  if (Command == "sign") {
    return Sign(Rest, Err);
  }
  if (Command == "verify") {
    return Verify(Rest, Out, Err);
  }
  if (Command == "keygen") {
    return Keygen(Rest, Err);
  }
  if (Command == "bin") {
    return Bin(Rest, Out, Err);
  }
  if (Command == "bank") {
    return Bank(Rest, Err);
  }
  if (Command == "info") {
    return Info(Rest, Out, Err);
  }
  if (Command == "capsule" || Command == "capsule-info") {
    return Command == "capsule" ? Capsule(Rest, Err) : CapsuleInfo(Rest, Out, Err);
  }
  Err << "orvhex: unknown command '" << Command << "'\n";
  return Usage(Err);
}

}  // namespace

int RunOrvHex(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  std::vector<std::string> Words;
  bool Quiet = false;
  for (const std::string &Arg : Args) {
    if (Arg == "-q" || Arg == "--quiet") {
      Quiet = true;
    } else {
      Words.push_back(Arg);
    }
  }
  if (Words.empty()) {
    return Usage(Err);
  }
  for (const std::string &Word : Words) {
    if (IsHelp(Word)) {
      Out << USAGE;
      return ORVHEX_OK;
    }
  }
  if (Words[0] == "--version") {
    Out << "orvhex " << ORV_TOOLS_VERSION << "\n";
    return ORVHEX_OK;
  }
  const std::string &Command = Words[0];
  std::vector<std::string> Rest(Words.begin() + 1, Words.end());
  if (const int Missing = MissingOption(Command, Rest, Err); Missing != ORVHEX_OK) {
    return Missing;
  }
  // Quiet: only what the command is for reaches standard output.
  NULL_STREAM Silent;
  const bool Wanted = Command == "info" || Command == "capsule-info" || Command == "bin";
  return RunCommand(Command, Rest, Quiet && !Wanted ? static_cast<std::ostream &>(Silent) : Out, Err);
}
