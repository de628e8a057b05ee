// The section search against a byte-by-byte model of the section rule, on
// random texts long enough for the search's 64-byte steps (fixed seed): the
// same status and the same record for every text and name, so a header
// skipped, found inside a comment or found after the first match shows up.
// Each text ends with its block, so the sanitizer build reports any read
// past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>

#include "SettingsLookup.h"
#include "SettingsText.h"

namespace {

bool IsLineEnd(char C) { return C == '\r' || C == '\n'; }

/// The rule, one byte at a time: "#" skips to its line end (a comment that
/// runs to the end of the text ends the search), a "[" followed by the name
/// and "]" is the header, any other "[" passes over the byte after it.
EFI_STATUS ModelFindSection(const std::string &T, const std::string &Name, SETTINGS_SECTION *S) {
  size_t P = 0;
  while (P < T.size()) {
    if (T[P] == '#') {
      while (P < T.size() && !IsLineEnd(T[P])) P++;
      if (P >= T.size()) return EFI_NOT_FOUND;
      P++;
      continue;
    }
    if (T[P] != '[') {
      P++;
      continue;
    }
    const size_t Close = P + 1 + Name.size();
    if (Name.size() <= 255 && Close < T.size() && T.compare(P + 1, Name.size(), Name) == 0 &&
        T[Close] == ']') {
      const size_t Next = T.find('[', P + 1);
      S->Start = P;
      S->End = (Next == std::string::npos ? T.size() : Next) - 1;
      S->NameStart = P + 1;
      S->NameLastOffset = Name.size() - 1;
      return EFI_SUCCESS;
    }
    P += 2;
  }
  return EFI_NOT_FOUND;
}

class Texts {
 public:
  explicit Texts(unsigned Seed) : Rng_(Seed) {}
  size_t Below(size_t Limit) { return Rng_() % Limit; }

  std::string Text() {
    static const char *const PIECES[] = {
        "[", "]", "#", "\r", "\n", "\r\n", " ", "=", "[[", "[]", "ChipA", "[ChipA]",
        "[Chip]", "# [ChipA]\n", "note = [ChipA]", "#[ChipA]", "[#", "key = value # c\n"};
    std::string Text;
    const size_t Pieces = Below(120);
    for (size_t Index = 0; Index < Pieces; Index++) {
      if (Below(8) == 0) {
        // A long run without structure, so whole 64-byte steps are skipped.
        Text += std::string(Below(150), static_cast<char>("ax \t"[Below(4)]));
      } else {
        Text += PIECES[Below(std::size(PIECES))];
      }
    }
    return Text;
  }

  std::string Name(const std::string &Text) {
    static const char *const NAMES[] = {"ChipA", "Chip", "A", "", "ChipA ", "#", "["};
    if (Below(4) == 0 && !Text.empty()) {
      std::string Piece = Text.substr(Below(Text.size()), Below(8));
      Piece.erase(std::find(Piece.begin(), Piece.end(), '\0'), Piece.end());
      return Piece;
    }
    return NAMES[Below(std::size(NAMES))];
  }

 private:
  std::mt19937 Rng_;
};

TEST(SettingsSectionModel, RandomLongTextsGiveTheModelsResult) {
  Texts Gen(0x5EC7104u);
  int Found = 0;
  for (int Round = 0; Round < 20000; Round++) {
    const std::string T = Gen.Text();
    const std::string Name = Gen.Name(T);
    SettingsText Text(T);
    SETTINGS_SECTION Expected{1, 2, 3, 4};
    SETTINGS_SECTION Actual{1, 2, 3, 4};
    const EFI_STATUS ExpectedStatus = ModelFindSection(T, Name, &Expected);
    const EFI_STATUS Status =
        FindSettingsSection(Text.File(), reinterpret_cast<const CHAR8 *>(Name.c_str()), &Actual);
    ASSERT_EQ(Status, ExpectedStatus) << "round " << Round << " name '" << Name << "' in\n" << T;
    ASSERT_EQ(Actual.Start, Expected.Start) << "round " << Round;
    ASSERT_EQ(Actual.End, Expected.End) << "round " << Round;
    ASSERT_EQ(Actual.NameStart, Expected.NameStart) << "round " << Round;
    ASSERT_EQ(Actual.NameLastOffset, Expected.NameLastOffset) << "round " << Round;
    if (Status == EFI_SUCCESS) Found++;
  }
  // The texts must exercise both outcomes, or the comparison proves little.
  EXPECT_GT(Found, 2000);
  EXPECT_LT(Found, 18000);
}

TEST(SettingsSectionModel, HeaderAfterLongCommentsAndBracketsInComments) {
  const std::string Filler(200, 'x');
  const struct {
    const char *Label;
    std::string Text;
    EFI_STATUS Status;
    UINTN Start;
  } CASES[] = {
      {"header inside a long comment", "#" + Filler + "[ChipA]\n", EFI_NOT_FOUND, 0},
      {"header after a long comment", "#" + Filler + "\n[ChipA]\n", EFI_SUCCESS, 202},
      {"comment after a long line", Filler + "#[ChipA]\r[ChipA]", EFI_SUCCESS, 209},
      {"comment to the end of the text", Filler + "# [ChipA]", EFI_NOT_FOUND, 0},
      {"hash after a bracket is not a comment", Filler + "[#[ChipA]", EFI_SUCCESS, 202},
      {"header in a value", Filler + "\nnote = [ChipA] # x\n[ChipA]\n", EFI_SUCCESS, 208},
  };
  for (const auto &Case : CASES) {
    SettingsText Text(Case.Text);
    SETTINGS_SECTION Section{};
    EXPECT_EQ(FindSettingsSection(Text.File(), reinterpret_cast<const CHAR8 *>("ChipA"), &Section),
              Case.Status)
        << Case.Label;
    if (Case.Status == EFI_SUCCESS) {
      EXPECT_EQ(Section.Start, Case.Start) << Case.Label;
    }
  }
}

}  // namespace
