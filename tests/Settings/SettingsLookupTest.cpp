// Settings text lookup: sections, keys, value spans and the two getters,
// over texts held in exactly-sized blocks.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "FakeFirmware.h"
#include "SettingsLookup.h"
#include "SettingsText.h"

namespace {

const CHAR8 *N(const std::string &Name) { return reinterpret_cast<const CHAR8 *>(Name.c_str()); }

bool IsLineEnd(char C) { return C == '\r' || C == '\n'; }

/// The value of Key in Section as the narrow getter copies it, or nothing
/// when the section or key is not found. Also checks that the key record is
/// one span inside the key's own line.
std::optional<std::string> Value(const std::string &Text, const std::string &Section,
                                 const std::string &Key) {
  SettingsText Settings(Text);
  SETTINGS_SECTION S{};
  if (FindSettingsSection(Settings.File(), N(Section), &S) != EFI_SUCCESS) return std::nullopt;
  SETTINGS_KEY K{};
  if (FindSettingsKey(Settings.File(), &S, N(Key), &K) != EFI_SUCCESS) return std::nullopt;
  EXPECT_EQ(K.NameStart, K.Start);
  EXPECT_EQ(K.NameLastOffset + 1, Key.size());
  EXPECT_EQ(Text.compare(K.Start, Key.size(), Key), 0) << "the key stands at Start";
  EXPECT_EQ(K.ValueStart + K.ValueLength, K.End);
  EXPECT_GE(K.ValueStart, K.Start + Key.size()) << "the value lies behind the key";
  EXPECT_LE(K.End, S.End + 1);
  for (UINTN P = K.Start; P < K.End; P++) {
    EXPECT_FALSE(IsLineEnd(Text[P])) << "the span stays on the key's line";
  }
  char Buffer[300];
  UINTN Size = sizeof(Buffer);
  EXPECT_EQ(GetSettingsAsciiValue(Settings.File(), &K, &Size, reinterpret_cast<CHAR8 *>(Buffer)),
            EFI_SUCCESS);
  EXPECT_EQ(Size, K.ValueLength + 1);
  return std::string(Buffer, K.ValueLength);
}

// ---- The worked example ------------------------------------------------------

TEST(SettingsLookupExample, DefaultSectionTargetKeyAndBothGetters) {
  SettingsText Settings("[default]\ntarget = ChipA\n[ChipA]\nOCM = ocm.hex\n");
  SETTINGS_SECTION S{};
  ASSERT_EQ(FindSettingsSection(Settings.File(), N("default"), &S), EFI_SUCCESS);
  EXPECT_EQ(S.Start, 0u);
  EXPECT_EQ(S.End, 24u);
  EXPECT_EQ(S.NameStart, 1u);
  EXPECT_EQ(S.NameLastOffset, 6u);

  SETTINGS_KEY K{};
  ASSERT_EQ(FindSettingsKey(Settings.File(), &S, N("target"), &K), EFI_SUCCESS);
  EXPECT_EQ(K.Start, 10u);
  EXPECT_EQ(K.End, 24u);
  EXPECT_EQ(K.NameStart, 10u);
  EXPECT_EQ(K.NameLastOffset, 5u);
  EXPECT_EQ(K.ValueStart, 19u);
  EXPECT_EQ(K.ValueLength, 5u);

  CHAR8 Narrow[216];
  UINTN Size = sizeof(Narrow);
  ASSERT_EQ(GetSettingsAsciiValue(Settings.File(), &K, &Size, Narrow), EFI_SUCCESS);
  EXPECT_EQ(Size, 6u);
  EXPECT_STREQ(reinterpret_cast<char *>(Narrow), "ChipA");

  CHAR16 Wide[107];
  Size = 107;
  ASSERT_EQ(GetSettingsUnicodeValue(Settings.File(), &K, &Size, Wide), EFI_SUCCESS);
  EXPECT_EQ(Size, 5u);
  EXPECT_EQ(::Narrow(Wide), "ChipA");
  EXPECT_EQ(Wide[5], 0);

  Size = 5;
  ASSERT_EQ(GetSettingsUnicodeValue(Settings.File(), &K, &Size, Wide), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 6u);

  // The found section is the one the target names.
  ASSERT_EQ(FindSettingsSection(Settings.File(), Narrow, &S), EFI_SUCCESS);
  EXPECT_EQ(S.Start, 25u);
  EXPECT_EQ(S.End, Settings.File()->Length - 1) << "the last section ends with the text";
}

// ---- Value forms ---------------------------------------------------------------

struct ValueCase {
  const char *Name;
  std::string Body;  // lines under a "[S]" header
  const char *Key;
  std::optional<std::string> Expected;
};

class ValueForms : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueForms, GiveTheLastWordOfTheLine) {
  const ValueCase &C = GetParam();
  EXPECT_EQ(Value("[S]\n" + C.Body, "S", C.Key), C.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Valid, ValueForms,
    ::testing::Values(
        ValueCase{"SpacesAroundAssign", "ForceUpdate = 1\n", "ForceUpdate", "1"},
        ValueCase{"AssignOnly", "ForceUpdate=1\n", "ForceUpdate", "1"},
        ValueCase{"SpaceOnly", "ForceUpdate 1\n", "ForceUpdate", "1"},
        ValueCase{"RunsOfSpacesAndTrailingBlanks", "ForceUpdate   =   1   \n", "ForceUpdate", "1"},
        ValueCase{"ValueWithSpaceGivesLastWord", "ImageParser = Image Parser.efi\n",
                  "ImageParser", "Parser.efi"},
        ValueCase{"AssignInsideValue", "DevicePath = a=b\n", "DevicePath", "b"},
        ValueCase{"CommentAfterValue", "OCM = ocm.bin # main\n", "OCM", "ocm.bin"},
        ValueCase{"HashInsideValueCutsIt", "OCM = a#b\n", "OCM", "a"},
        ValueCase{"CommentRightAfterValue", "OCM = ocm.bin#main\n", "OCM", "ocm.bin"},
        ValueCase{"CrLfLineEnds", "ForceUpdate = 1\r\nOCM = ocm.bin\r\n", "OCM", "ocm.bin"},
        ValueCase{"CrLfBeforeNextKey", "ForceUpdate = 1\r\nOCM = ocm.bin\r\n", "ForceUpdate",
                  "1"},
        ValueCase{"LoneCrLineEnds", "ForceUpdate = 1\rOCM = ocm.bin\r", "OCM", "ocm.bin"},
        ValueCase{"LoneCrBeforeNextKey", "ForceUpdate = 1\rOCM = ocm.bin\r", "ForceUpdate", "1"},
        ValueCase{"LastLineWithoutLineEnd", "OCM = ocm.bin", "OCM", "ocm.bin"},
        ValueCase{"LastLineWithoutLineEndTrailingSpaces", "OCM = ocm.bin   ", "OCM", "ocm.bin"},
        ValueCase{"TrailingSpacesBeforeNextHeader", "OCM = ocm.bin   \n[T]\nx = 1\n", "OCM",
                  "ocm.bin"},
        ValueCase{"IndentedKey", "   OCM = ocm.bin\n", "OCM", "ocm.bin"},
        ValueCase{"TabIndentedKey", "\t OCM = ocm.bin\n", "OCM", "ocm.bin"},
        ValueCase{"EightBitValue", "OCM = \xE9t\xE9.bin\n", "OCM", "\xE9t\xE9.bin"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// Tabs: the run of spaces, tabs and "=" right after the key separates it from
// the value; inside the value a tab is an ordinary character.
INSTANTIATE_TEST_SUITE_P(
    Tabs, ValueForms,
    ::testing::Values(ValueCase{"TabBetweenKeyAndValue", "OCM\tocm.bin\n", "OCM", "ocm.bin"},
                      ValueCase{"TabsAroundAssign", "OCM\t=\tocm.bin\n", "OCM", "ocm.bin"},
                      ValueCase{"SpaceThenTab", "OCM = \tocm.bin\n", "OCM", "ocm.bin"},
                      ValueCase{"TabInsideValueIsOrdinary", "OCM = a\tb\n", "OCM", "a\tb"},
                      ValueCase{"TabsOnly", "OCM\t\t\n", "OCM", ""}),
    [](const auto &Info) { return std::string(Info.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Empty, ValueForms,
    ::testing::Values(ValueCase{"AssignAtLineEnd", "customer =\n", "customer", ""},
                      ValueCase{"AssignAndSpaces", "customer =   \n", "customer", ""},
                      ValueCase{"KeyAlone", "ForceUpdate\n", "ForceUpdate", ""},
                      ValueCase{"KeyAloneAtEndOfText", "ForceUpdate", "ForceUpdate", ""},
                      ValueCase{"KeyThenComment", "ForceUpdate# off\n", "ForceUpdate", ""},
                      ValueCase{"KeyAssignComment", "ForceUpdate = # off\n", "ForceUpdate", ""},
                      ValueCase{"KeyAloneCrLf", "ForceUpdate\r\nOCM = x\r\n", "ForceUpdate", ""}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// An empty value is an empty span right after the key and its separators.
TEST(SettingsLookupEmptyValue, SpanStartsAfterTheSeparators) {
  struct Row {
    std::string Line;
    UINTN ValueStart;  // offset in the line
  };
  for (const Row &R : {Row{"ForceUpdate", 11}, Row{"ForceUpdate =", 13}, Row{"ForceUpdate =  ", 13},
                       Row{"ForceUpdate\t", 12}, Row{"ForceUpdate#x", 11}}) {
    SettingsText Settings("[S]\n" + R.Line + "\nx = 1\n");
    SETTINGS_SECTION S{};
    SETTINGS_KEY K{};
    ASSERT_EQ(FindSettingsSection(Settings.File(), N("S"), &S), EFI_SUCCESS);
    ASSERT_EQ(FindSettingsKey(Settings.File(), &S, N("ForceUpdate"), &K), EFI_SUCCESS) << R.Line;
    EXPECT_EQ(K.ValueLength, 0u) << R.Line;
    EXPECT_EQ(K.ValueStart, 4 + R.ValueStart) << R.Line;
    EXPECT_EQ(K.End, K.ValueStart) << R.Line;
  }
}

// ---- Whole key names -------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    KeyRule, ValueForms,
    ::testing::Values(
        ValueCase{"LongerKeyWithSamePrefixIsSkipped", "OCMBackup = x\nOCM = y\n", "OCM", "y"},
        ValueCase{"CustomerBackupIsSkipped", "customerBkp = old.hex\ncustomer = new.hex\n",
                  "customer", "new.hex"},
        ValueCase{"PrefixOnlyKeyIsNotFound", "OCMBackup = x\n", "OCM", std::nullopt},
        ValueCase{"KeyTextInsideAValueIsSkipped", "note = OCM\nOCM = y\n", "OCM", "y"},
        ValueCase{"KeyTextOnlyInsideAValue", "note = OCM = x\n", "OCM", std::nullopt},
        ValueCase{"KeyGluedToValueIsNotTheKey", "ForceUpdate1\n", "ForceUpdate", std::nullopt},
        ValueCase{"KeyInsideACommentIsNotFound", "# OCM = x\n", "OCM", std::nullopt},
        ValueCase{"CommentedLineIsSkipped", "#OCM = bad\nOCM = good\n", "OCM", "good"},
        ValueCase{"IndentedCommentIsSkipped", "  # OCM = bad\nOCM = good\n", "OCM", "good"},
        ValueCase{"KeyCaseMatters", "ocm = x\n", "OCM", std::nullopt},
        ValueCase{"FirstMatchingLineWins", "OCM = one\nOCM = two\n", "OCM", "one"},
        ValueCase{"EmptyKeyNameIsNeverFound", "= x\n", "", std::nullopt}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SettingsLookupKeys, HeaderLineNeverHoldsAKey) {
  EXPECT_EQ(Value("[OCM]\nx = 1\n", "OCM", "OCM"), std::nullopt);
  EXPECT_EQ(Value("[OCM]\nOCM = y\n", "OCM", "OCM"), "y");
  EXPECT_EQ(Value("[S] OCM = x\n", "S", "OCM"), std::nullopt);
  EXPECT_EQ(Value("[S]OCM = x\n", "S", "OCM"), std::nullopt);
}

TEST(SettingsLookupKeys, KeysOfOtherSectionsAreNotFound) {
  const std::string Text = "[A]\nx = 1\n[B]\nOCM = b\n";
  EXPECT_EQ(Value(Text, "A", "OCM"), std::nullopt);
  EXPECT_EQ(Value(Text, "B", "OCM"), "b");
  EXPECT_EQ(Value(Text, "B", "x"), std::nullopt);
}

// ---- Section rules ----------------------------------------------------------------

struct SectionCase {
  const char *Name;
  std::string Text;
  std::string Section;
  std::optional<UINTN> Start;  // nothing: not found
  UINTN End = 0;
};

class SectionRules : public ::testing::TestWithParam<SectionCase> {};

TEST_P(SectionRules, FindTheFirstMatchingHeader) {
  const SectionCase &C = GetParam();
  SettingsText Settings(C.Text);
  SETTINGS_SECTION S{111, 222, 333, 444};
  EFI_STATUS Status = FindSettingsSection(Settings.File(), N(C.Section), &S);
  if (!C.Start) {
    EXPECT_EQ(Status, EFI_NOT_FOUND);
    EXPECT_EQ(S.Start, 111u) << "a failed search leaves the record alone";
    EXPECT_EQ(S.End, 222u);
    EXPECT_EQ(S.NameStart, 333u);
    EXPECT_EQ(S.NameLastOffset, 444u);
    return;
  }
  ASSERT_EQ(Status, EFI_SUCCESS);
  EXPECT_EQ(S.Start, *C.Start);
  EXPECT_EQ(S.End, C.End);
  EXPECT_EQ(S.NameStart, *C.Start + 1);
  EXPECT_EQ(S.NameLastOffset, C.Section.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SectionRules,
    ::testing::Values(
        SectionCase{"PrefixHeaderIsSkipped", "[ChipA]\nx=1\n[Chip]\ny=2\n", "Chip", 12, 22},
        SectionCase{"LongerNameIsNotFound", "[Chip]\n", "ChipA", std::nullopt},
        SectionCase{"SpaceInsideBracketsCounts", "[ChipA ]\n", "ChipA", std::nullopt},
        SectionCase{"NameWithSpaceFound", "[ChipA ]\n", "ChipA ", 0, 8},
        SectionCase{"CaseMatters", "[chipa]\n", "ChipA", std::nullopt},
        SectionCase{"DoubleBracketDoesNotDefine", "[[ChipA]\n", "ChipA", std::nullopt},
        SectionCase{"DoubleBracketThenRealHeader", "[[ChipA]\n[ChipA]\n", "ChipA", 9, 16},
        SectionCase{"HashAfterBracketIsName", "[#A]\n", "#A", 0, 4},
        SectionCase{"HeaderNeedNotStartALine", "x [A] y\n", "A", 2, 7},
        SectionCase{"FirstOfTwoHeadersWins", "[A]\n1\n[A]\n2\n", "A", 0, 5},
        SectionCase{"EmptyNameFindsFirstEmptyHeader", "[A]\n[]\nk = v\n", "", 4, 12},
        SectionCase{"EmptyNameWithoutEmptyHeader", "[A]\nk = v\n", "", std::nullopt},
        SectionCase{"NoBracketAtAll", "target = ChipA\n", "ChipA", std::nullopt},
        SectionCase{"NoBracketEmptyName", "target = ChipA\n", "", std::nullopt},
        SectionCase{"EmptyText", "", "A", std::nullopt}),
    [](const auto &Info) { return std::string(Info.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Comments, SectionRules,
    ::testing::Values(
        SectionCase{"HeaderInCommentIsNoHeader", "# [ChipA]\n", "ChipA", std::nullopt},
        SectionCase{"HeaderInCommentEndsSectionAbove", "[A]\nx = 1\n# [B]\ny = 2\n", "A", 0, 11},
        SectionCase{"HeaderAfterCommentFound", "# note\n[A]\n", "A", 7, 10},
        SectionCase{"CommentToEndOfText", "[B]\n# [A]", "A", std::nullopt},
        SectionCase{"CommentAfterHeaderIgnored", "[A] # note\nk = v\n", "A", 0, 16},
        SectionCase{"BracketInValueEndsSection", "[A]\nnote = [X]\nk = v\n", "A", 0, 10},
        SectionCase{"HeaderInValueFoundFirst", "[A]\nnote = [ChipA]\nOCM = x\n[ChipA]\nOCM = y\n",
                    "ChipA", 11, 26}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// Texts that end inside a header: the name compare stops at the end.
INSTANTIATE_TEST_SUITE_P(
    Truncated, SectionRules,
    ::testing::Values(SectionCase{"OnlyBracket", "[", "ChipA", std::nullopt},
                      SectionCase{"OnlyBracketEmptyName", "[", "", std::nullopt},
                      SectionCase{"NameWithoutClose", "[ChipA", "ChipA", std::nullopt},
                      SectionCase{"PartOfName", "x\n[Chi", "ChipA", std::nullopt},
                      SectionCase{"HeaderLastInText", "[ChipA]", "ChipA", 0, 6},
                      SectionCase{"EmptyHeaderLastInText", "[]", "", 0, 1}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SettingsLookupSections, EmptyNameOffsetPointsBackAtTheBracket) {
  SettingsText Settings("x\n[]\n");
  SETTINGS_SECTION S{};
  ASSERT_EQ(FindSettingsSection(Settings.File(), N(""), &S), EFI_SUCCESS);
  EXPECT_EQ(S.NameStart, 3u);
  EXPECT_EQ(S.NameStart + S.NameLastOffset, S.Start);
}

TEST(SettingsLookupSections, CommentedHeaderHidesTheKeysBelowIt) {
  const std::string Text = "[A]\nx = 1\n# [B]\ny = 2\n";
  EXPECT_EQ(Value(Text, "A", "x"), "1");
  EXPECT_EQ(Value(Text, "A", "y"), std::nullopt);
}

TEST(SettingsLookupSections, HeaderInsideAValueCapturesTheName) {
  const std::string Text = "[A]\nnote = [ChipA]\nOCM = x\n[ChipA]\nOCM = y\n";
  // The "[" in the value ends [A]; the pseudo header is ChipA and holds the
  // line below it up to the real header.
  EXPECT_EQ(Value(Text, "A", "OCM"), std::nullopt);
  EXPECT_EQ(Value(Text, "ChipA", "OCM"), "x");
}

// ---- Name length limits --------------------------------------------------------------

TEST(SettingsLookupLimits, NamesOf255CharactersMatchAnd256Never) {
  const std::string Name255(255, 's');
  const std::string Name256(256, 's');
  const std::string Key255(254, 'k');
  const std::string Key255b = Key255 + "K";
  const std::string Key256 = Key255b + "K";

  EXPECT_EQ(Value("[" + Name255 + "]\n" + Key255b + " = v\n", Name255, Key255b), "v");
  EXPECT_EQ(Value("[" + Name256 + "]\nk = v\n", Name256, "k"), std::nullopt);
  EXPECT_EQ(Value("[S]\n" + Key256 + " = v\n", "S", Key256), std::nullopt);

  // The 255-character name does not match a 256-character header.
  EXPECT_EQ(Value("[" + Name256 + "]\nk = v\n", Name255, "k"), std::nullopt);
}

TEST(SettingsLookupLimits, LongNamesNearTheEndOfTheText) {
  const std::string Name255(255, 'n');
  const std::string Name256(256, 'n');
  // Every prefix of a header, cut at every length: nothing is found and
  // nothing behind the text is read.
  for (const std::string &Name : {Name255, Name256}) {
    const std::string Header = "[" + Name + "]";
    for (size_t Cut = 0; Cut < Header.size(); Cut++) {
      SettingsText Settings("x\n" + Header.substr(0, Cut));
      SETTINGS_SECTION S{};
      EXPECT_EQ(FindSettingsSection(Settings.File(), N(Name), &S), EFI_NOT_FOUND) << Cut;
    }
  }
  // A key name cut off by the end of the text.
  for (size_t Cut = 0; Cut < Name255.size(); Cut++) {
    SettingsText Settings("[S]\n" + Name255.substr(0, Cut));
    SETTINGS_SECTION S{};
    SETTINGS_KEY K{};
    ASSERT_EQ(FindSettingsSection(Settings.File(), N("S"), &S), EFI_SUCCESS);
    EXPECT_EQ(FindSettingsKey(Settings.File(), &S, N(Name255), &K), EFI_NOT_FOUND) << Cut;
  }
}

// ---- Key search outputs and stale records ------------------------------------------------

TEST(SettingsLookupKeys, FailedSearchLeavesTheRecordAlone) {
  SettingsText Settings("[S]\nOCM = x\n");
  SETTINGS_SECTION S{};
  ASSERT_EQ(FindSettingsSection(Settings.File(), N("S"), &S), EFI_SUCCESS);
  SETTINGS_KEY K{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(FindSettingsKey(Settings.File(), &S, N("customer"), &K), EFI_NOT_FOUND);
  EXPECT_EQ(K.Start, 1u);
  EXPECT_EQ(K.End, 2u);
  EXPECT_EQ(K.NameStart, 3u);
  EXPECT_EQ(K.NameLastOffset, 4u);
  EXPECT_EQ(K.ValueStart, 5u);
  EXPECT_EQ(K.ValueLength, 6u);
}

TEST(SettingsLookupKeys, RecordsFromAnotherTextAreRefused) {
  SettingsText Long("[S]\nOCM = a-long-file-name.hex\n");
  SettingsText Short("[S]\nOCM=x\n");
  SETTINGS_SECTION S{};
  SETTINGS_KEY K{};
  ASSERT_EQ(FindSettingsSection(Long.File(), N("S"), &S), EFI_SUCCESS);
  ASSERT_EQ(FindSettingsKey(Long.File(), &S, N("OCM"), &K), EFI_SUCCESS);
  // The long text's records reach past the short text's end.
  SETTINGS_KEY Found{};
  EXPECT_EQ(FindSettingsKey(Short.File(), &S, N("OCM"), &Found), EFI_NOT_FOUND);
  CHAR8 Buffer[64];
  UINTN Size = sizeof(Buffer);
  EXPECT_EQ(GetSettingsAsciiValue(Short.File(), &K, &Size, Buffer), EFI_INVALID_PARAMETER);
  CHAR16 Wide[64];
  Size = 64;
  EXPECT_EQ(GetSettingsUnicodeValue(Short.File(), &K, &Size, Wide), EFI_INVALID_PARAMETER);
}

// ---- Getter sizes -----------------------------------------------------------------------

struct GetterCase {
  const char *Name;
  bool Wide;
  UINTN Capacity;
  EFI_STATUS Status;
  UINTN SizeOut;
};

class GetterSizes : public ::testing::TestWithParam<GetterCase> {};

TEST_P(GetterSizes, ReportTheirOwnCounts) {
  const GetterCase &C = GetParam();
  SettingsText Settings("[S]\nOCM = ab\xE9\xFFz\n");  // a 5-byte value
  SETTINGS_SECTION S{};
  SETTINGS_KEY K{};
  ASSERT_EQ(FindSettingsSection(Settings.File(), N("S"), &S), EFI_SUCCESS);
  ASSERT_EQ(FindSettingsKey(Settings.File(), &S, N("OCM"), &K), EFI_SUCCESS);
  ASSERT_EQ(K.ValueLength, 5u);

  constexpr UINTN Room = 16;
  UINTN Size = C.Capacity;
  if (C.Wide) {
    CHAR16 Buffer[Room];
    for (CHAR16 &U : Buffer) U = 0x7E7E;
    EXPECT_EQ(GetSettingsUnicodeValue(Settings.File(), &K, &Size, Buffer), C.Status);
    EXPECT_EQ(Size, C.SizeOut);
    if (C.Status == EFI_SUCCESS) {
      const CHAR16 Expected[] = {'a', 'b', 0x00E9, 0x00FF, 'z', 0};
      for (UINTN I = 0; I < 6; I++) EXPECT_EQ(Buffer[I], Expected[I]) << I;
      for (UINTN I = 6; I < Room; I++) EXPECT_EQ(Buffer[I], 0x7E7E) << I;
    } else {
      for (UINTN I = 0; I < Room; I++) EXPECT_EQ(Buffer[I], 0x7E7E) << "untouched " << I;
    }
  } else {
    CHAR8 Buffer[Room];
    for (CHAR8 &B : Buffer) B = 0x7E;
    EXPECT_EQ(GetSettingsAsciiValue(Settings.File(), &K, &Size, Buffer), C.Status);
    EXPECT_EQ(Size, C.SizeOut);
    if (C.Status == EFI_SUCCESS) {
      EXPECT_EQ(std::string(reinterpret_cast<char *>(Buffer), 6), std::string("ab\xE9\xFFz\0", 6));
      for (UINTN I = 6; I < Room; I++) EXPECT_EQ(Buffer[I], 0x7E) << I;
    } else {
      for (UINTN I = 0; I < Room; I++) EXPECT_EQ(Buffer[I], 0x7E) << "untouched " << I;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, GetterSizes,
    ::testing::Values(GetterCase{"NarrowNeedsSixReportsSix", false, 6, EFI_SUCCESS, 6},
                      GetterCase{"NarrowLargeReportsSix", false, 216, EFI_SUCCESS, 6},
                      GetterCase{"NarrowFiveTooSmall", false, 5, EFI_BUFFER_TOO_SMALL, 6},
                      GetterCase{"NarrowZeroTooSmall", false, 0, EFI_BUFFER_TOO_SMALL, 6},
                      GetterCase{"WideNeedsSixReportsFive", true, 6, EFI_SUCCESS, 5},
                      GetterCase{"WideLargeReportsFive", true, 107, EFI_SUCCESS, 5},
                      GetterCase{"WideFiveTooSmallReportsSix", true, 5, EFI_BUFFER_TOO_SMALL, 6},
                      GetterCase{"WideZeroTooSmall", true, 0, EFI_BUFFER_TOO_SMALL, 6}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SettingsLookupGetters, EmptyValueNeedsRoomForTheTerminatorOnly) {
  SettingsText Settings("[S]\ncustomer =\n");
  SETTINGS_SECTION S{};
  SETTINGS_KEY K{};
  ASSERT_EQ(FindSettingsSection(Settings.File(), N("S"), &S), EFI_SUCCESS);
  ASSERT_EQ(FindSettingsKey(Settings.File(), &S, N("customer"), &K), EFI_SUCCESS);

  CHAR8 Narrow[1] = {0x7E};
  UINTN Size = 1;
  EXPECT_EQ(GetSettingsAsciiValue(Settings.File(), &K, &Size, Narrow), EFI_SUCCESS);
  EXPECT_EQ(Size, 1u);
  EXPECT_EQ(Narrow[0], 0);

  CHAR16 Wide[1] = {0x7E};
  Size = 1;
  EXPECT_EQ(GetSettingsUnicodeValue(Settings.File(), &K, &Size, Wide), EFI_SUCCESS);
  EXPECT_EQ(Size, 0u) << "a zero-length name";
  EXPECT_EQ(Wide[0], 0);

  Size = 0;
  EXPECT_EQ(GetSettingsUnicodeValue(Settings.File(), &K, &Size, Wide), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 1u);
}

TEST(SettingsLookupGetters, NullArgumentsAreRefused) {
  SettingsText Settings("[S]\nk = v\n");
  SETTINGS_SECTION S{};
  SETTINGS_KEY K{};
  ASSERT_EQ(FindSettingsSection(Settings.File(), N("S"), &S), EFI_SUCCESS);
  ASSERT_EQ(FindSettingsKey(Settings.File(), &S, N("k"), &K), EFI_SUCCESS);
  UINTN Size = 8;
  EXPECT_EQ(GetSettingsAsciiValue(Settings.File(), &K, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetSettingsAsciiValue(Settings.File(), &K, &Size, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetSettingsUnicodeValue(nullptr, &K, &Size, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(FindSettingsSection(Settings.File(), nullptr, &S), EFI_INVALID_PARAMETER);
  EXPECT_EQ(FindSettingsKey(Settings.File(), &S, nullptr, &K), EFI_INVALID_PARAMETER);
}

}  // namespace
