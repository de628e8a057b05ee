/** @file
  The orvhex commands.
**/

#include "OrvHexCommands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "HexImage.h"
#include "SimText.h"

namespace {

constexpr const char *kUsage =
  "usage: orvhex make --version <V> in.bin out.hex\n"
  "       orvhex bin [--with-header] in.hex out.bin\n"
  "       orvhex bank --size <N> in.hex out.bin\n"
  "       orvhex info <file>\n"
  "An input may be - (standard input) or a pipe; the output of bin may be - (standard output).\n";

int Usage(std::ostream &Err) {
  Err << kUsage;
  return ORVHEX_USAGE;
}

int Failed(std::ostream &Err, const std::string &Reason) {
  Err << "orvhex: " << Reason << "\n";
  return ORVHEX_FAILED;
}

bool ParseNumber(const std::string &Text, UINT64 *Value) {
  return ParseUint64(TEXT_SPAN{Text.data(), Text.size()}, Value);
}

// The name a message gives an input: "-" is standard input.
std::string InputName(const std::string &Path) { return Path == "-" ? "standard input" : Path; }

// Reads a whole input: a regular file, a pipe, or standard input for "-".
// Anything else (a directory, a device) is refused before it is read.
bool ReadFile(const std::string &Path, std::string *Data, std::string *Error) {
  const std::string Name = InputName(Path);
  int Fd = Path == "-" ? STDIN_FILENO : ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    *Error = "cannot open " + Name;
    return false;
  }
  struct InputGuard {
    int Fd;
    ~InputGuard() {
      if (Fd != STDIN_FILENO) {
        ::close(Fd);
      }
    }
  } Guard{Fd};
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0) {
    *Error = "cannot read " + Name;
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
  Data->clear();
  constexpr size_t kChunk = 64 * 1024;
  for (;;) {
    size_t Have = Data->size();
    if (Have > HEX_MAX_FILE_SIZE) {
      *Error = Name + ": file too large";
      return false;
    }
    Data->resize(Have + kChunk);
    ssize_t Got = ::read(Fd, Data->data() + Have, kChunk);
    if (Got < 0 && errno == EINTR) {
      Data->resize(Have);
      continue;
    }
    if (Got < 0) {
      *Error = "cannot read " + Name;
      return false;
    }
    Data->resize(Have + static_cast<size_t>(Got));
    if (Got == 0) {
      return true;
    }
  }
}

// Writes through a temporary file, so a failed write never leaves a
// half-written output under the real name.
bool WriteFile(const std::string &Path, const void *Data, size_t Size, std::string *Error) {
  std::string Temporary = Path + ".tmp";
  {
    std::ofstream Out(Temporary, std::ios::binary | std::ios::trunc);
    if (!Out) {
      *Error = "cannot create " + Path;
      return false;
    }
    Out.write(static_cast<const char *>(Data), static_cast<std::streamsize>(Size));
    Out.flush();
    if (!Out) {
      Out.close();
      std::remove(Temporary.c_str());
      *Error = "cannot write " + Path;
      return false;
    }
  }
  if (std::rename(Temporary.c_str(), Path.c_str()) != 0) {
    std::remove(Temporary.c_str());
    *Error = "cannot write " + Path;
    return false;
  }
  return true;
}

std::string HexFileError(const std::string &Path, const HEX_RESULT &Result) {
  if (Result.Line != 0) {
    return Path + " line " + std::to_string(Result.Line) + ": " + HexErrorText(Result.Error);
  }
  return Path + ": " + HexErrorText(Result.Error);
}

// Reads a HEX file and checks its image. On failure Error holds the message.
bool DecodeHexImage(const std::string &Path, const std::string &Text, std::vector<UINT8> *Image, IMAGE_INFO *Info,
                    std::string *Error) {
  HEX_RESULT Result = DecodeHex(Text.data(), Text.size(), nullptr, 0);
  if (Result.Error == HEX_OK) {
    Image->assign(Result.Size, 0);
    Result = DecodeHex(Text.data(), Text.size(), Image->data(), Image->size());
  }
  UINTN ImageSize = 0;
  if (Result.Error == HEX_OK) {
    Result.Error = ImageSizeFromHeader(Image->data(), Result.Size, &ImageSize);
  }
  if (Result.Error == HEX_OK) {
    Image->resize(ImageSize);
    Result.Error = FinishImage(Image->data(), Result.Size, ImageSize, Info);
  }
  if (Result.Error != HEX_OK) {
    *Error = HexFileError(InputName(Path), Result);
    return false;
  }
  return true;
}

bool LoadHexImage(const std::string &Path, std::vector<UINT8> *Image, IMAGE_INFO *Info, std::string *Error) {
  std::string Text;
  return ReadFile(Path, &Text, Error) && DecodeHexImage(Path, Text, Image, Info, Error);
}

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

int Make(const std::vector<std::string> &Args, std::ostream &Err) {
  std::vector<std::string> Files;
  UINT64 Version = 0;
  std::string BadText;
  ARGS_RESULT Split = SplitNumberOption(Args, "--version", 0, ~0ull, &Version, &Files, &BadText);
  if (Split == ARGS_RESULT::BadNumber) {
    return Failed(Err, "bad version '" + BadText + "' (decimal or 0x hex, 64-bit)");
  }
  if (Split != ARGS_RESULT::Ok || Files.size() != 2) {
    return Usage(Err);
  }
  std::string Payload;
  std::string Error;
  if (!ReadFile(Files[0], &Payload, &Error)) {
    return Failed(Err, Error);
  }
  if (Payload.size() > HEX_MAX_IMAGE_SIZE - IMAGE_HEADER_SIZE) {
    return Failed(Err, Files[0] + ": payload too large");
  }
  std::vector<UINT8> Image(IMAGE_HEADER_SIZE + Payload.size());
  const UINT8 *PayloadBytes = reinterpret_cast<const UINT8 *>(Payload.data());
  BuildImageHeader(Image.data(), Version, PayloadBytes, static_cast<UINT32>(Payload.size()));
  std::copy(Payload.begin(), Payload.end(), Image.begin() + IMAGE_HEADER_SIZE);
  std::string Hex(HexEncodedSize(Image.size()), '\0');
  size_t Written = EncodeHex(Image.data(), Image.size(), Hex.data(), Hex.size());
  if (Written != Hex.size()) {
    return Failed(Err, "internal error while encoding");
  }
  if (!WriteFile(Files[1], Hex.data(), Hex.size(), &Error)) {
    return Failed(Err, Error);
  }
  return ORVHEX_OK;
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

int Info(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  if (Args.size() != 1 || Args[0].rfind("--", 0) == 0) {
    return Usage(Err);
  }
  const std::string &Path = Args[0];
  std::string Text;
  std::string Error;
  if (!ReadFile(Path, &Text, &Error)) {
    return Failed(Err, Error);
  }
  IMAGE_INFO ImageInfo{};
  size_t First = Text.find_first_not_of(" \t\r\n");
  if (First != std::string::npos && Text[First] == ':') {
    std::vector<UINT8> Image;
    if (!DecodeHexImage(Path, Text, &Image, &ImageInfo, &Error)) {
      return Failed(Err, Error);
    }
  } else {
    // A raw image or a bank file: the image at the start, erased bytes after it.
    HEX_ERROR Result = CheckImageInBank(reinterpret_cast<const UINT8 *>(Text.data()), Text.size(), true,
                                        &ImageInfo);
    if (Result != HEX_OK) {
      return Failed(Err, InputName(Path) + ": " + HexErrorText(Result));
    }
  }
  char Line[64];
  std::snprintf(Line, sizeof(Line), "version 0x%016llx\n", static_cast<unsigned long long>(ImageInfo.Version));
  Out << Line << "payload " << ImageInfo.PayloadLength << "\n"
      << "image " << (ImageInfo.PayloadLength + IMAGE_HEADER_SIZE) << "\n";
  return ORVHEX_OK;
}

}  // namespace

int RunOrvHex(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  if (Args.empty()) {
    return Usage(Err);
  }
  std::vector<std::string> Rest(Args.begin() + 1, Args.end());
  const std::string &Command = Args[0];
  if (Command == "make") {
    return Make(Rest, Err);
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
  return Usage(Err);
}
