// Command line: options, consumed arguments, refusals, and HexTextToValue.
#include <gtest/gtest.h>

#include "CommandLine.h"
#include "OrvTest.h"
#include "RunState.h"
#include "UsageText.h"

namespace {

struct ParseResult {
  bool Goes;
  UINT64 ChipMask;
  UINT64 DeviceAddress;
};

class CommandLineTest : public OrvTest {
 protected:
  ParseResult Parse(const std::vector<std::string> &Arguments) {
    Texts.clear();
    Argv.clear();
    Texts.push_back(u"OrvUpdate.efi");
    for (const auto &A : Arguments) Texts.push_back(Wide(A));
    for (auto &T : Texts) Argv.push_back(reinterpret_cast<CHAR16 *>(T.data()));
    ParseResult R{};
    R.Goes = ParseCommandLine(Argv.size(), Argv.data(), &R.ChipMask, &R.DeviceAddress);
    return R;
  }
  std::string Half(int Index) {
    return Narrow(Index == 0 ? OcmOverridePath() : CustomerOverridePath());
  }
  std::vector<std::u16string> Texts;
  std::vector<CHAR16 *> Argv;
};

TEST_F(CommandLineTest, DigitsSelectTheirIc) {
  ParseResult R = Parse({"0", "9", "3"});
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(R.ChipMask, (1u << 0) | (1u << 9) | (1u << 3));
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(CommandLineTest, AllOptionSetsIcs0To31InAnyCase) {
  for (const char *Option : {"-a", "-A", "-all", "-ab"}) {
    EXPECT_EQ(Parse({Option}).ChipMask, 0xFFFFFFFFull) << Option;
  }
}

TEST_F(CommandLineTest, ForceAndBackupFlagsInAnyCase) {
  for (const char *Option : {"-f", "-F", "-force"}) {
    RUN_FLAGS = 0;
    EXPECT_TRUE(Parse({Option}).Goes);
    EXPECT_EQ(RUN_FLAGS, RUN_FLAG_FORCE_UPDATE) << Option;
  }
  for (const char *Option : {"-cb", "-cB", "-Cb", "-CB", "-cbx"}) {
    RUN_FLAGS = 0;
    ParseResult R = Parse({Option, "2"});
    EXPECT_TRUE(R.Goes);
    EXPECT_EQ(RUN_FLAGS, RUN_FLAG_INCLUDE_CUSTOMER_BKP) << Option;
    EXPECT_EQ(R.ChipMask, 1u << 2) << Option << " consumes nothing";
    EXPECT_EQ(Half(1), "");
  }
}

TEST_F(CommandLineTest, OverrideFilesGoToTheirHalvesAndAreConsumed) {
  ParseResult R = Parse({"-o", "1.hex", "2", "-C", "b.hex"});
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(Half(0), "1.hex");
  EXPECT_EQ(Half(1), "b.hex");
  EXPECT_EQ(R.ChipMask, 1u << 2) << "1.hex must not select IC 1";
  Parse({"-cx", "file.hex"});
  EXPECT_EQ(Half(1), "file.hex");
  Parse({"-O", "x.hex"});
  EXPECT_EQ(Half(0), "x.hex");
}

TEST_F(CommandLineTest, LaterValueReplacesTheWholeHalf) {
  Parse({"-o", "abcdef", "-o", "xy"});
  EXPECT_EQ(Half(0), "xy");
  ResetRunState(Fw.BootServices());
  Parse({"-r", "123456", "10", "-o", "ab", "1"});
  EXPECT_EQ(Half(0), "ab");
}

TEST_F(CommandLineTest, ValuesUpTo64CharactersAreStoredWhole) {
  for (size_t Length : {63u, 64u}) {
    std::string Name(Length, 'n');
    EXPECT_TRUE(Parse({"-o", Name}).Goes);
    EXPECT_EQ(Half(0), Name);
  }
}

TEST_F(CommandLineTest, DeviceAddressTakesOneOrTwoHexDigits) {
  EXPECT_EQ(Parse({"-d", "5a"}).DeviceAddress, 0x5Au);
  EXPECT_EQ(Parse({"-D", "5A"}).DeviceAddress, 0x5Au);
  EXPECT_EQ(Parse({"-d", "7"}).DeviceAddress, 0x7u);
  ParseResult R = Parse({"-d", "5a", "0", "1"});
  EXPECT_EQ(R.DeviceAddress, 0x5Au);
}

TEST_F(CommandLineTest, ReadOptionTakesAddressAndLength) {
  ParseResult R = Parse({"-r", "0", "10"});
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(Half(0), "0");
  EXPECT_EQ(Half(1), "10");
  EXPECT_EQ(RUN_FLAGS, RUN_FLAG_READ_MODE);
  RUN_FLAGS = 0;
  R = Parse({"-R", "10", "20", "3"});
  EXPECT_EQ(R.ChipMask, 1u << 3);
  EXPECT_EQ(RUN_FLAGS, RUN_FLAG_READ_MODE);
}

TEST_F(CommandLineTest, OtherArgumentsAreIgnoredSilently) {
  ParseResult R = Parse({"-", "-x", "hello", "", "\\path\\file", "4"});
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(R.ChipMask, 1u << 4);
  EXPECT_EQ(RUN_FLAGS, 0u);
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(CommandLineTest, VerifyOptionChangesNothingForTheUpdater) {
  ParseResult R = Parse({"-v", "1", "-verify"});
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(R.ChipMask, 1u << 1);
  EXPECT_EQ(RUN_FLAGS, 0u);
  EXPECT_EQ(Half(0) + Half(1), "");
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(CommandLineTest, CheckOptionsChangeNothingForTheUpdater) {
  ParseResult R = Parse({"-w", "2", "-s", "-switch"});
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(R.ChipMask, 1u << 2);
  EXPECT_EQ(RUN_FLAGS, 0u);
  EXPECT_EQ(Half(0) + Half(1), "");
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(CommandLineTest, NoArgumentsPrintsTheUsageAndGoesOn) {
  ParseResult R = Parse({});
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(R.ChipMask, 0u);
  EXPECT_EQ(Fw.Console(), USAGE_TEXT);
  EXPECT_EQ(Fw.RawConsole().find(u"\n"), Fw.RawConsole().find(u"\r\n") + 1)
      << "line ends reach the console as CR LF";
}

TEST_F(CommandLineTest, ScanDoesNotWrapPast255Arguments) {
  std::vector<std::string> Arguments(300, "x");
  Arguments[280] = "-f";
  Arguments[290] = "7";
  ParseResult R = Parse(Arguments);
  EXPECT_TRUE(R.Goes);
  EXPECT_EQ(R.ChipMask, 1u << 7);
  EXPECT_EQ(RUN_FLAGS, RUN_FLAG_FORCE_UPDATE);
}

struct RefusalCase {
  const char *Name;
  std::vector<std::string> Arguments;
  std::string Message;
};

class CommandLineRefusal : public CommandLineTest,
                           public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(CommandLineRefusal, PrintsOneLineAndStops) {
  const RefusalCase &Case = GetParam();
  ParseResult R = Parse(Case.Arguments);
  EXPECT_FALSE(R.Goes);
  EXPECT_EQ(Fw.Console(), Case.Message);
  EXPECT_EQ(R.DeviceAddress, 0u);
}

const std::string Long65(65, 'L');

INSTANTIATE_TEST_SUITE_P(
    Malformed, CommandLineRefusal,
    ::testing::Values(
        RefusalCase{"TwoDigitIndex", {"12"}, "Invalid chip index 12: expected one digit 0-9\n"},
        RefusalCase{"DigitLedWord", {"0", "3abc"}, "Invalid chip index 3abc: expected one digit 0-9\n"},
        RefusalCase{"AddressThreeDigits", {"-d", "1ff"},
                    "Invalid -d address 1ff: expected 1 or 2 hex digits, not 0\n"},
        RefusalCase{"AddressPrefixed", {"-d", "0x5a"},
                    "Invalid -d address 0x5a: expected 1 or 2 hex digits, not 0\n"},
        RefusalCase{"AddressNotHex", {"-d", "zz"},
                    "Invalid -d address zz: expected 1 or 2 hex digits, not 0\n"},
        RefusalCase{"AddressZero", {"-d", "00"},
                    "Invalid -d address 00: expected 1 or 2 hex digits, not 0\n"},
        RefusalCase{"AddressEmpty", {"-d", ""},
                    "Invalid -d address : expected 1 or 2 hex digits, not 0\n"},
        RefusalCase{"AddressLast", {"1", "-d"}, "Option -d needs a value\n"},
        RefusalCase{"OcmLast", {"1", "-o"}, "Option -o needs a value\n"},
        RefusalCase{"CustomerLast", {"1", "-C"}, "Option -C needs a value\n"},
        RefusalCase{"OcmTooLong", {"-o", Long65},
                    "Argument " + Long65 + " is too long: at most 64 characters\n"},
        RefusalCase{"CustomerTooLong", {"-c", Long65},
                    "Argument " + Long65 + " is too long: at most 64 characters\n"},
        RefusalCase{"ReadAddressTooLong", {"-r", Long65, "1"},
                    "Argument " + Long65 + " is too long: at most 64 characters\n"},
        RefusalCase{"ReadWithoutLength", {"1", "-r", "0"},
                    "-r read process need set addr and length!\n"},
        RefusalCase{"ReadAlone", {"-r"}, "-r read process need set addr and length!\n"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(CommandLineTest, ReadErrorKeepsTheAddressText) {
  EXPECT_FALSE(Parse({"-r", "40"}).Goes);
  EXPECT_EQ(Half(0), "40");
  EXPECT_EQ(RUN_FLAGS & RUN_FLAG_READ_MODE, 0u);
}

struct HexCase {
  const char *Text;
  UINT8 MaxDigits;
  UINT64 Value;
};

class HexTextToValueTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexTextToValueTest, ConvertsLeadingDigits) {
  std::u16string Text = Wide(GetParam().Text);
  EXPECT_EQ(HexTextToValue(reinterpret_cast<CHAR16 *>(Text.data()), GetParam().MaxDigits),
            GetParam().Value)
      << GetParam().Text;
}

INSTANTIATE_TEST_SUITE_P(
    Valid, HexTextToValueTest,
    ::testing::Values(HexCase{"5a", 2, 0x5A}, HexCase{"5A", 2, 0x5A}, HexCase{"0", 8, 0},
                      HexCase{"10", 8, 0x10}, HexCase{"deadBEEF", 8, 0xDEADBEEF},
                      HexCase{"123456789", 8, 0x12345678}, HexCase{"fF", 2, 0xFF}));
INSTANTIATE_TEST_SUITE_P(
    Limits, HexTextToValueTest,
    ::testing::Values(HexCase{"123", 2, 0x12}, HexCase{"1ff", 2, 0x1F}, HexCase{"12z", 8, 0x12},
                      HexCase{"0x1f", 8, 0}, HexCase{"", 8, 0}, HexCase{"g1", 2, 0},
                      HexCase{"9:", 2, 9}, HexCase{"@", 2, 0}, HexCase{"`", 2, 0},
                      HexCase{"G", 2, 0}));
// All 16 digits of a 64-bit value survive a limit above 16: the character
// that ends the number is tested before anything is shifted out.
INSTANTIATE_TEST_SUITE_P(
    Wide, HexTextToValueTest,
    ::testing::Values(HexCase{"FFFFFFFFFFFFFFFF", 17, 0xFFFFFFFFFFFFFFFFull},
                      HexCase{"FFFFFFFFFFFFFFFF", 16, 0xFFFFFFFFFFFFFFFFull},
                      HexCase{"123456789abcdef0", 255, 0x123456789ABCDEF0ull},
                      HexCase{"f000000000000001z", 20, 0xF000000000000001ull},
                      HexCase{"8", 255, 8}, HexCase{"", 255, 0}));

}  // namespace
