// Tests of the orvhex commands: round trips through files, the info output,
// bank files, and the refusals with their messages and exit statuses.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HexImage.h"
#include "OrvHexCommands.h"
#include "OrvHexTestDir.h"

namespace {

namespace fs = std::filesystem;

class OrvHexTest : public OrvHexTestDir {
 protected:
  OrvHexTest() : OrvHexTestDir("orvhex_test_") {}
};

std::string Payload(size_t Size) {
  std::string Bytes(Size, '\0');
  for (size_t Index = 0; Index < Size; Index++) {
    Bytes[Index] = static_cast<char>((Index * 7 + 3) & 0xFF);
  }
  return Bytes;
}

TEST_F(OrvHexTest, MakeThenBinGivesThePayloadBack) {
  // Sizes around record and 64 KiB segment boundaries.
  for (size_t Size : {size_t{0}, size_t{1}, size_t{16}, size_t{100}, size_t{65536 - 24},
                      size_t{65536 - 23}, size_t{200000}}) {
    SCOPED_TRACE(Size);
    std::string Bytes = Payload(Size);
    Put("in.bin", Bytes);
    ASSERT_EQ(Run({"make", "--version", "0x102", PathOf("in.bin"), PathOf("out.hex")}), ORVHEX_OK)
        << Err.str();
    ASSERT_EQ(Run({"bin", PathOf("out.hex"), PathOf("back.bin")}), ORVHEX_OK) << Err.str();
    EXPECT_EQ(Get("back.bin"), Bytes);
  }
}

TEST_F(OrvHexTest, MadeFileIsPlainIntelHexWithHeaderAtAddressZero) {
  Put("in.bin", "ABC");
  ASSERT_EQ(Run({"make", "--version", "5", PathOf("in.bin"), PathOf("out.hex")}), ORVHEX_OK);
  std::string Hex = Get("out.hex");
  // First record: 16 header bytes at address 0 starting with the magic "ORVI".
  EXPECT_EQ(Hex.substr(0, 17), ":100000004F525649");
  // 27 bytes: one full record, one of 11 bytes, then end of file.
  EXPECT_NE(Hex.find("\n:0B001000"), std::string::npos);
  EXPECT_EQ(Hex.substr(Hex.size() - 12), ":00000001FF\n");
}

TEST_F(OrvHexTest, BinWithHeaderKeepsTheWholeImage) {
  Put("in.bin", "payload");
  ASSERT_EQ(Run({"make", "--version", "1", PathOf("in.bin"), PathOf("out.hex")}), ORVHEX_OK);
  ASSERT_EQ(Run({"bin", "--with-header", PathOf("out.hex"), PathOf("img.bin")}), ORVHEX_OK);
  std::string Image = Get("img.bin");
  ASSERT_EQ(Image.size(), IMAGE_HEADER_SIZE + 7);
  EXPECT_EQ(Image.substr(0, 4), "ORVI");
  EXPECT_EQ(Image.substr(IMAGE_HEADER_SIZE), "payload");
}

TEST_F(OrvHexTest, InfoShowsVersionAndSizesOfHexAndBankFiles) {
  Put("in.bin", Payload(1000));
  ASSERT_EQ(Run({"make", "--version", "0x10020003", PathOf("in.bin"), PathOf("out.hex")}), ORVHEX_OK);
  ASSERT_EQ(Run({"info", PathOf("out.hex")}), ORVHEX_OK) << Err.str();
  const std::string Expected = "version 0x0000000010020003\npayload 1000\nimage 1024\nformat 1\nsecurity-counter 0\nzone none\nproduct none\nkey-id none\nsignature absent\n";
  EXPECT_EQ(Out.str(), Expected);

  ASSERT_EQ(Run({"bank", "--size", "4096", PathOf("out.hex"), PathOf("bank.bin")}), ORVHEX_OK);
  std::string Bank = Get("bank.bin");
  ASSERT_EQ(Bank.size(), 4096u);
  EXPECT_EQ(Bank.find_first_not_of('\xFF', 1024), std::string::npos);
  ASSERT_EQ(Run({"info", PathOf("bank.bin")}), ORVHEX_OK) << Err.str();
  EXPECT_EQ(Out.str(), Expected);
}

// An IC keeps 32 bits of the version: make takes no more than it can hold.
TEST_F(OrvHexTest, VersionTakesDecimalAndHexUpToWhatAnIcHolds) {
  Put("in.bin", "x");
  ASSERT_EQ(Run({"make", "--version", "4294967295", PathOf("in.bin"), PathOf("a.hex")}), ORVHEX_OK);
  ASSERT_EQ(Run({"info", PathOf("a.hex")}), ORVHEX_OK);
  EXPECT_EQ(Out.str().substr(0, 27), "version 0x00000000ffffffff\n");
  for (const char *Bad : {"0x100000000", "18446744073709551615", "0x10000000000000000", "1.2"}) {
    EXPECT_EQ(Run({"make", "--version", Bad, PathOf("in.bin"), PathOf("b.hex")}), ORVHEX_FAILED) << Bad;
    EXPECT_EQ(Err.str(), "orvhex: bad version '" + std::string(Bad) + "' (decimal or 0x hex, at most 0xFFFFFFFF)\n");
  }
  EXPECT_FALSE(fs::exists(PathOf("b.hex")));
}

struct BAD_CASE {
  const char *Name;
  std::string Text;
  std::string Message;      // after "orvhex: <file>"
  std::string InfoMessage;  // info takes a file not starting with ':' as a raw image
};

class OrvHexBadFile : public OrvHexTest, public ::testing::WithParamInterface<BAD_CASE> {};

TEST_P(OrvHexBadFile, IsRefusedWithItsLineAndNoOutput) {
  Put("bad.hex", GetParam().Text);
  for (const char *Command : {"bin", "info", "bank"}) {
    SCOPED_TRACE(Command);
    std::vector<std::string> Args = {Command, PathOf("bad.hex")};
    if (std::string(Command) == "bank") {
      Args = {"bank", "--size", "4096", PathOf("bad.hex"), PathOf("out.bin")};
    } else if (std::string(Command) == "bin") {
      Args.push_back(PathOf("out.bin"));
    }
    EXPECT_EQ(Run(Args), ORVHEX_FAILED);
    const std::string &Message = (std::string(Command) == "info" && !GetParam().InfoMessage.empty())
                                     ? GetParam().InfoMessage
                                     : GetParam().Message;
    EXPECT_EQ(Err.str(), "orvhex: " + PathOf("bad.hex") + Message + "\n");
    EXPECT_EQ(Out.str(), "");
    EXPECT_FALSE(fs::exists(PathOf("out.bin")));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, OrvHexBadFile,
    ::testing::Values(
        BAD_CASE{"BadChecksum", ":0100000041BF\n:00000001FF\n", " line 1: bad checksum", ""},
        BAD_CASE{"NoEof", ":0100000041BE\n", ": missing end-of-file record", ""},
        BAD_CASE{"NoHeader", ":0100000041BE\n:00000001FF\n", ": missing image header", ""},
        BAD_CASE{"Text", "hello\n", " line 1: line does not start with ':'", ": missing image header"},
        BAD_CASE{"Empty", "", ": missing end-of-file record", ": missing image header"}),
    [](const auto &Info) { return Info.param.Name; });

// Writes Bytes into a pipe from another thread; the read end is returned.
int PipeFeeding(const std::string &Bytes, std::thread *Writer) {
  int Ends[2];
  if (::pipe(Ends) != 0) {
    return -1;
  }
  *Writer = std::thread([Ends, Bytes] {
    size_t Done = 0;
    while (Done < Bytes.size()) {
      ssize_t Put = ::write(Ends[1], Bytes.data() + Done, Bytes.size() - Done);
      if (Put <= 0) {
        break;
      }
      Done += static_cast<size_t>(Put);
    }
    ::close(Ends[1]);
  });
  return Ends[0];
}

TEST_F(OrvHexTest, ReadsPipesAndStandardInput) {
  std::string Bytes = Payload(200000);
  Put("in.bin", Bytes);
  ASSERT_EQ(Run({"make", "--version", "7", PathOf("in.bin"), PathOf("a.hex")}), ORVHEX_OK);
  const std::string Hex = Get("a.hex");

  // A pipe named by its /dev/fd path, as a shell's <(...) gives it.
  std::thread Writer;
  int Fd = PipeFeeding(Hex, &Writer);
  ASSERT_GE(Fd, 0);
  EXPECT_EQ(Run({"info", "/dev/fd/" + std::to_string(Fd)}), ORVHEX_OK) << Err.str();
  EXPECT_EQ(Out.str(), "version 0x0000000000000007\npayload 200000\nimage 200024\nformat 1\nsecurity-counter 0\nzone none\nproduct none\nkey-id none\nsignature absent\n");
  Writer.join();
  ::close(Fd);

  // "-" reads standard input; "-" as the output of bin is standard output.
  Fd = PipeFeeding(Hex, &Writer);
  int SavedStdin = ::dup(STDIN_FILENO);
  ::dup2(Fd, STDIN_FILENO);
  ::close(Fd);
  int Status = Run({"bin", "-", "-"});
  ::dup2(SavedStdin, STDIN_FILENO);
  ::close(SavedStdin);
  Writer.join();
  ASSERT_EQ(Status, ORVHEX_OK) << Err.str();
  EXPECT_TRUE(Out.str() == Bytes);
}

TEST_F(OrvHexTest, RefusesWhatIsNeitherAFileNorAPipe) {
  fs::create_directories(PathOf("d.hex"));
  for (const std::string &Path : {PathOf("d.hex"), std::string("/dev/null")}) {
    SCOPED_TRACE(Path);
    EXPECT_EQ(Run({"info", Path}), ORVHEX_FAILED);
    EXPECT_EQ(Err.str(), "orvhex: " + Path + ": not a regular file\n");
    EXPECT_EQ(Run({"bin", Path, PathOf("out.bin")}), ORVHEX_FAILED);
    EXPECT_EQ(Err.str(), "orvhex: " + Path + ": not a regular file\n");
    EXPECT_EQ(Run({"make", "--version", "1", Path, PathOf("out.hex")}), ORVHEX_FAILED);
    EXPECT_EQ(Err.str(), "orvhex: " + Path + ": not a regular file\n");
  }
  EXPECT_FALSE(fs::exists(PathOf("out.bin")));
  EXPECT_FALSE(fs::exists(PathOf("out.hex")));
}

TEST_F(OrvHexTest, OmittedErasedTailIsFilledUpToTheHeaderLength) {
  // 100 payload bytes of which the last 60 are erased; the file stops after
  // the data that is not.
  std::string Bytes = Payload(40) + std::string(60, '\xFF');
  Put("in.bin", Bytes);
  ASSERT_EQ(Run({"make", "--version", "1", PathOf("in.bin"), PathOf("a.hex")}), ORVHEX_OK);
  std::string Hex = Get("a.hex");
  // Records of 16 bytes: image bytes 0..63 hold header and the 40 data bytes.
  size_t Cut = 0;
  for (int Line = 0; Line < 4; Line++) {
    Cut = Hex.find('\n', Cut) + 1;
  }
  Put("short.hex", Hex.substr(0, Cut) + ":00000001FF\n");
  ASSERT_EQ(Run({"bin", PathOf("short.hex"), PathOf("back.bin")}), ORVHEX_OK) << Err.str();
  EXPECT_EQ(Get("back.bin"), Bytes);
  ASSERT_EQ(Run({"bank", "--size", "256", PathOf("short.hex"), PathOf("bank.bin")}), ORVHEX_OK) << Err.str();
  std::string Bank = Get("bank.bin");
  ASSERT_EQ(Bank.size(), 256u);
  EXPECT_EQ(Bank.substr(IMAGE_HEADER_SIZE, Bytes.size()), Bytes);
  EXPECT_EQ(Bank.find_first_not_of('\xFF', IMAGE_HEADER_SIZE + 40), std::string::npos);
  // A payload whose end is not erased cannot be cut short.
  Put("in.bin", Payload(100));
  ASSERT_EQ(Run({"make", "--version", "1", PathOf("in.bin"), PathOf("b.hex")}), ORVHEX_OK);
  Hex = Get("b.hex");
  Put("short.hex", Hex.substr(0, Cut) + ":00000001FF\n");
  EXPECT_EQ(Run({"bin", PathOf("short.hex"), PathOf("back2.bin")}), ORVHEX_FAILED);
  EXPECT_EQ(Err.str(), "orvhex: " + PathOf("short.hex") + ": image payload checksum mismatch\n");
}

TEST_F(OrvHexTest, BankRefusesAnImageLargerThanTheBank) {
  Put("in.bin", Payload(300));
  ASSERT_EQ(Run({"make", "--version", "1", PathOf("in.bin"), PathOf("a.hex")}), ORVHEX_OK);
  EXPECT_EQ(Run({"bank", "--size", "256", PathOf("a.hex"), PathOf("bank.bin")}), ORVHEX_FAILED);
  EXPECT_EQ(Err.str(), "orvhex: " + PathOf("a.hex") + ": image of 324 bytes does not fit a bank of 256\n");
  EXPECT_FALSE(fs::exists(PathOf("bank.bin")));
}

TEST_F(OrvHexTest, InfoRefusesAnErasedBankFile) {
  Put("bank.bin", std::string(4096, '\xFF'));
  EXPECT_EQ(Run({"info", PathOf("bank.bin")}), ORVHEX_FAILED);
  EXPECT_EQ(Err.str(), "orvhex: " + PathOf("bank.bin") + ": bad image header magic\n");
}

TEST_F(OrvHexTest, MissingInputIsNamed) {
  EXPECT_EQ(Run({"info", PathOf("nothere.hex")}), ORVHEX_FAILED);
  EXPECT_EQ(Err.str(), "orvhex: cannot open " + PathOf("nothere.hex") + ": No such file or directory\n");
  EXPECT_EQ(Run({"make", "--version", "1", PathOf("nothere.bin"), PathOf("o.hex")}), ORVHEX_FAILED);
  EXPECT_EQ(Err.str(), "orvhex: cannot open " + PathOf("nothere.bin") + ": No such file or directory\n");
}

TEST_F(OrvHexTest, UnwritableOutputFailsWithoutLeavingAFile) {
  Put("in.bin", "x");
  std::string Target = PathOf("no/such/dir/out.hex");
  EXPECT_EQ(Run({"make", "--version", "1", PathOf("in.bin"), Target}), ORVHEX_FAILED);
  EXPECT_EQ(Err.str(), "orvhex: cannot create " + Target + ": No such file or directory\n");
}

// Each bad command line gives its status and first line on standard error;
// help and version go to standard output with status 0.
TEST_F(OrvHexTest, CommandLineConventions) {
  struct LINE_CASE {
    std::vector<std::string> Args;
    int Status;
    bool ToOut;
    std::string First;  ///< the first line printed
  };
  const LINE_CASE CASES[] = {
      {{}, ORVHEX_USAGE, false, "usage: orvhex [-q] make --version <V>"},
      {{"frobnicate"}, ORVHEX_USAGE, false, "orvhex: unknown command 'frobnicate'"},
      {{"make", "in.bin", "out.hex"}, ORVHEX_USAGE, false, "orvhex: make: missing --version <V>"},
      {{"sign", "in.hex", "out.hex"}, ORVHEX_USAGE, false, "orvhex: sign: missing --key KEY.pem"},
      {{"verify", "in.hex"}, ORVHEX_USAGE, false, "orvhex: verify: missing --key PUB.pem"},
      {{"bank", "a.hex", "b.bin"}, ORVHEX_USAGE, false, "orvhex: bank: missing --size <N>"},
      {{"make", "--version"}, ORVHEX_USAGE, false, "usage: orvhex [-q] make --version <V>"},
      {{"make", "--version", "1", "in.bin"}, ORVHEX_USAGE, false, "usage: orvhex [-q] make --version <V>"},
      {{"bin", "--bogus", "a.hex", "b.bin"}, ORVHEX_USAGE, false, "usage: orvhex [-q] make --version <V>"},
      {{"info"}, ORVHEX_USAGE, false, "usage: orvhex [-q] make --version <V>"},
      {{"info", "a", "b"}, ORVHEX_USAGE, false, "usage: orvhex [-q] make --version <V>"},
      {{"--help"}, ORVHEX_OK, true, "usage: orvhex [-q] make --version <V>"},
      {{"make", "-h"}, ORVHEX_OK, true, "usage: orvhex [-q] make --version <V>"},
      {{"--version"}, ORVHEX_OK, true, std::string("orvhex ") + ORV_TOOLS_VERSION},
  };
  for (const LINE_CASE &Case : CASES) {
    SCOPED_TRACE(Case.Args.empty() ? std::string("(none)") : Case.Args[0] + " ...");
    EXPECT_EQ(Run(Case.Args), Case.Status);
    const std::string Printed = Case.ToOut ? Out.str() : Err.str();
    EXPECT_EQ(Printed.substr(0, Printed.find('\n')).substr(0, Case.First.size()), Case.First);
    EXPECT_EQ(Case.ToOut ? Err.str() : Out.str(), "");
  }
}

TEST_F(OrvHexTest, QuietKeepsOnlyWhatTheCommandIsFor) {
  Put("in.bin", "payload");
  ASSERT_EQ(Run({"keygen", PathOf("k.pem"), PathOf("k.pub.pem")}), ORVHEX_OK) << Err.str();
  ASSERT_EQ(Run({"make", "--version", "2", "--zone", "ocm", "--product", "1", "--key", PathOf("k.pem"), PathOf("in.bin"),
                 PathOf("s.hex")}),
            ORVHEX_OK)
      << Err.str();
  ASSERT_EQ(Run({"verify", "--key", PathOf("k.pub.pem"), PathOf("s.hex")}), ORVHEX_OK);
  EXPECT_NE(Out.str(), "");
  ASSERT_EQ(Run({"-q", "verify", "--key", PathOf("k.pub.pem"), PathOf("s.hex")}), ORVHEX_OK);
  EXPECT_EQ(Out.str(), "");
  ASSERT_EQ(Run({"-q", "info", PathOf("s.hex")}), ORVHEX_OK);
  EXPECT_EQ(Out.str().substr(0, 27), "version 0x0000000000000002\n");
}

}  // namespace
