// The command line parsed into a value, without any firmware: selection,
// flags, override texts, -v, and where and why a command line is refused.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "FakeFirmware.h"
#include "RunState.h"

namespace {

/// An argument list that lives as long as the parsed value's texts.
class Arguments {
 public:
  explicit Arguments(const std::vector<std::string> &List) {
    Texts_.push_back(u"OrvInfo.efi");
    for (const auto &A : List) Texts_.push_back(Wide(A));
    for (auto &T : Texts_) Argv_.push_back(reinterpret_cast<CHAR16 *>(T.data()));
  }
  COMMAND_LINE Parse() const { return ParseArguments(Argv_.size(), Argv_.data()); }

 private:
  std::vector<std::u16string> Texts_;
  std::vector<CHAR16 *> Argv_;
};

std::string Text(const CHAR16 *T) { return T == nullptr ? "(null)" : Narrow(T); }

struct ParseRow {
  const char *Name;
  std::vector<std::string> Arguments;
  UINT64 ChipMask;
  UINT64 DeviceAddress;
  UINT32 RunFlags;
  std::string Ocm;
  std::string Customer;
  bool Verify;
  COMMAND_LINE_ERROR Error;
  std::string ErrorArgument;
};

void PrintTo(const ParseRow &Row, std::ostream *Out) { *Out << Row.Name; }

class ParseArgumentsTest : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseArgumentsTest, GivesTheValue) {
  const ParseRow &Row = GetParam();
  Arguments Args(Row.Arguments);
  COMMAND_LINE Line = Args.Parse();
  EXPECT_EQ(Line.ChipMask, Row.ChipMask);
  EXPECT_EQ(Line.DeviceAddress, Row.DeviceAddress);
  EXPECT_EQ(Line.RunFlags, Row.RunFlags);
  EXPECT_EQ(Text(Line.OcmText), Row.Ocm);
  EXPECT_EQ(Text(Line.CustomerText), Row.Customer);
  EXPECT_EQ(Line.Verify != FALSE, Row.Verify);
  EXPECT_EQ(Line.Error, Row.Error);
  EXPECT_EQ(Text(Line.ErrorArgument), Row.ErrorArgument);
}

constexpr UINT32 F = RUN_FLAG_FORCE_UPDATE;
constexpr UINT32 B = RUN_FLAG_INCLUDE_CUSTOMER_BKP;
constexpr UINT32 R = RUN_FLAG_READ_MODE;
constexpr auto OK = COMMAND_LINE_ERROR::NONE;
const std::string N = "(null)";

INSTANTIATE_TEST_SUITE_P(
    Valid, ParseArgumentsTest,
    ::testing::Values(
        ParseRow{"Empty", {}, 0, 0, 0, N, N, false, OK, N},
        ParseRow{"Digits", {"0", "9", "3"}, 0x209, 0, 0, N, N, false, OK, N},
        ParseRow{"AllThenDigit", {"-all", "5"}, 0xFFFFFFFF, 0, 0, N, N, false, OK, N},
        ParseRow{"Flags", {"-Force", "-cB", "-cbx"}, 0, 0, F | B, N, N, false, OK, N},
        ParseRow{"FilesAreConsumed", {"-o", "1.hex", "2", "-Cx", "3"}, 1u << 2, 0, 0, "1.hex", "3",
                 false, OK, N},
        ParseRow{"LaterFileWins", {"-o", "abcdef", "-o", "xy"}, 0, 0, 0, "xy", N, false, OK, N},
        ParseRow{"Address", {"-D", "5A", "0"}, 1, 0x5A, 0, N, N, false, OK, N},
        ParseRow{"Read", {"-r", "10", "20", "3"}, 1u << 3, 0, R, "10", "20", false, OK, N},
        ParseRow{"Verify", {"-v", "1"}, 2, 0, 0, N, N, true, OK, N},
        ParseRow{"VerifyLongForm", {"-verify"}, 0, 0, 0, N, N, true, OK, N},
        ParseRow{"Ignored", {"-", "-x", "path", ""}, 0, 0, 0, N, N, false, OK, N}),
    [](const ::testing::TestParamInfo<ParseRow> &Info) { return Info.param.Name; });

const std::string Long65(65, 'L');

INSTANTIATE_TEST_SUITE_P(
    Malformed, ParseArgumentsTest,
    ::testing::Values(
        // What came before the refusal stays in the value; nothing after it is read.
        ParseRow{"TwoDigitIndex", {"1", "12", "3"}, 2, 0, 0, N, N, false,
                 COMMAND_LINE_ERROR::BAD_CHIP_INDEX, "12"},
        ParseRow{"OptionLast", {"-f", "-o"}, 0, 0, F, N, N, false,
                 COMMAND_LINE_ERROR::MISSING_VALUE, "-o"},
        ParseRow{"CustomerLast", {"-C"}, 0, 0, 0, N, N, false, COMMAND_LINE_ERROR::MISSING_VALUE,
                 "-C"},
        ParseRow{"BadAddress", {"-d", "0x5a", "-f"}, 0, 0, 0, N, N, false,
                 COMMAND_LINE_ERROR::BAD_ADDRESS, "0x5a"},
        ParseRow{"ZeroAddress", {"-d", "00"}, 0, 0, 0, N, N, false,
                 COMMAND_LINE_ERROR::BAD_ADDRESS, "00"},
        ParseRow{"TooLong", {"-c", Long65}, 0, 0, 0, N, N, false, COMMAND_LINE_ERROR::TOO_LONG,
                 Long65},
        ParseRow{"ReadLengthTooLong", {"-r", "0", Long65}, 0, 0, 0, "0", N, false,
                 COMMAND_LINE_ERROR::TOO_LONG, Long65},
        ParseRow{"ReadWithoutLength", {"-r", "40"}, 0, 0, 0, "40", N, false,
                 COMMAND_LINE_ERROR::READ_NEEDS_LENGTH, "-r"}),
    [](const ::testing::TestParamInfo<ParseRow> &Info) { return Info.param.Name; });

TEST(ParseArgumentsChecks, WriteAndSwitchAreOnlyFlags) {
  Arguments Args({"-W", "1", "-switch"});
  COMMAND_LINE Line = Args.Parse();
  EXPECT_TRUE(Line.Write);
  EXPECT_TRUE(Line.Switch);
  EXPECT_EQ(Line.ChipMask, 2u);
  EXPECT_EQ(Line.RunFlags, 0u);
  EXPECT_EQ(Line.Error, COMMAND_LINE_ERROR::NONE);
}

TEST(ParseArgumentsLimits, ValueOf64CharactersIsTaken) {
  Arguments Args({"-o", std::string(64, 'n')});
  COMMAND_LINE Line = Args.Parse();
  EXPECT_EQ(Line.Error, COMMAND_LINE_ERROR::NONE);
  EXPECT_EQ(Text(Line.OcmText), std::string(64, 'n'));
}

}  // namespace
