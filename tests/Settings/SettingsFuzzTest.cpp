// Random settings texts and names (fixed seed) through the lookup. Each text
// sits in a block that ends with its last byte, so the sanitizer build
// reports any read outside the text. Found records are checked against the
// text, keys against a line-by-line model of the key rule, and copied values
// against the text; records that do not belong to the text must be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "SettingsLookup.h"
#include "SettingsText.h"

namespace {

constexpr unsigned SEED = 0x5E771165u;
constexpr int TEXTS = 20000;

const CHAR8 *N(const std::string &Name) { return reinterpret_cast<const CHAR8 *>(Name.c_str()); }

bool IsLineEnd(char C) { return C == '\r' || C == '\n'; }

class Generator {
 public:
  explicit Generator(unsigned Seed) : Rng_(Seed) {}

  size_t Below(size_t Limit) { return Limit == 0 ? 0 : Rng_() % Limit; }
  bool OneIn(size_t N) { return Below(N) == 0; }

  std::string Word() {
    static const char *const WORDS[] = {"A",   "AB",  "default", "target", "OCM", "OCMBackup",
                                         "ChipA", "k", "key",     "ChipA ", ""};
    return WORDS[Below(std::size(WORDS))];
  }

  std::string Text() {
    static const char STRUCTURE[] = "[[]]##== \t\r\n\n\n";
    std::string Text;
    const size_t Tokens = Below(60);
    for (size_t Index = 0; Index < Tokens; Index++) {
      switch (Below(10)) {
        case 0:
        case 1:
        case 2:
          Text.push_back(STRUCTURE[Below(sizeof(STRUCTURE) - 1)]);
          break;
        case 3:
        case 4:
          Text += Word();
          break;
        case 5:
          Text += OneIn(2) ? " = " : "=";
          break;
        case 6:
          Text.push_back(static_cast<char>(Below(256)));
          break;
        case 7:
          Text += "\n[" + Word() + "]\n";
          break;
        case 8:
          Text += "\n" + Word() + (OneIn(2) ? " = " : "\t") + Word();
          break;
        default:
          if (OneIn(10)) {
            Text += "[" + std::string(254 + Below(4), 'n') + (OneIn(2) ? "]" : "");
          } else {
            Text += "\n" + Word() + (OneIn(2) ? " = " : "\t") + Word();
          }
          break;
      }
    }
    return Text;
  }

  /// A name to look up: a usual word, a piece of the text, a long name or
  /// random bytes.
  std::string Name(const std::string &Text) {
    switch (Below(5)) {
      case 0:
      case 1:
        return Word();
      case 2: {
        if (Text.empty()) return "";
        size_t Start = Below(Text.size());
        std::string Piece = Text.substr(Start, Below(12));
        Piece.erase(std::find(Piece.begin(), Piece.end(), '\0'), Piece.end());
        return Piece;
      }
      case 3:
        return std::string(254 + Below(4), 'n');
      default: {
        std::string Random;
        for (size_t Index = Below(6); Index > 0; Index--) {
          Random.push_back(static_cast<char>(1 + Below(255)));
        }
        return Random;
      }
    }
  }

  /// A position near or past the ends of a text of this length.
  UINTN Position(UINTN Length) {
    switch (Below(6)) {
      case 0:
        return ~static_cast<UINTN>(0) - Below(3);
      case 1:
        return Length + Below(3);
      default:
        return Below(Length + 1);
    }
  }

 private:
  std::mt19937 Rng_;
};

void CheckSection(const std::string &T, const std::string &Name, const SETTINGS_SECTION &S) {
  ASSERT_LT(S.Start, T.size());
  ASSERT_LE(S.Start, S.End);
  ASSERT_LT(S.End, T.size());
  EXPECT_EQ(T[S.Start], '[');
  EXPECT_EQ(S.NameStart, S.Start + 1);
  EXPECT_EQ(S.NameLastOffset + 1, Name.size());
  ASSERT_LE(Name.size(), 255u);
  EXPECT_EQ(T.compare(S.NameStart, Name.size(), Name), 0);
  EXPECT_EQ(T[S.NameStart + Name.size()], ']');
  // The section ends just before the next "[" after the header's "[".
  const size_t Next = T.find('[', S.NameStart);
  EXPECT_EQ(S.End, Next == std::string::npos ? T.size() - 1 : Next - 1);
}

struct KeySpan {
  UINTN Start, End, ValueStart, ValueLength;
  bool operator==(const KeySpan &) const = default;
};

/// The key rule line by line: the first line of the section after its header
/// line whose first word (after spaces and tabs, not a comment) is the whole
/// key name; its value is the last word before the comment or line end.
std::optional<KeySpan> ModelKey(const std::string &T, const SETTINGS_SECTION &S,
                                const std::string &Name) {
  auto Ends = [&](size_t A) {
    if (A == T.size()) return true;
    const char C = T[A];
    return C == ' ' || C == '\t' || C == '=' || C == '#' || IsLineEnd(C);
  };
  size_t P = S.Start;
  while (P <= S.End && !IsLineEnd(T[P])) P++;  // the header line
  while (P <= S.End) {
    const size_t LineStart = P + 1;
    size_t LineEnd = LineStart;
    while (LineEnd <= S.End && !IsLineEnd(T[LineEnd])) LineEnd++;
    P = LineEnd;
    size_t K = LineStart;
    while (K < LineEnd && (T[K] == ' ' || T[K] == '\t')) K++;
    if (K >= LineEnd || T[K] == '#') continue;
    if (K + Name.size() > LineEnd || T.compare(K, Name.size(), Name) != 0) continue;
    const size_t A = K + Name.size();
    if (!Ends(A)) continue;
    size_t ValueEnd = A;
    while (ValueEnd < LineEnd && T[ValueEnd] != '#') ValueEnd++;
    while (ValueEnd > A && T[ValueEnd - 1] == ' ') ValueEnd--;
    size_t ValueStart = A;
    for (size_t J = A; J < ValueEnd; J++) {
      if (T[J] == ' ' || T[J] == '=') ValueStart = J + 1;
    }
    size_t SeparatorsEnd = A;
    while (SeparatorsEnd < ValueEnd &&
           (T[SeparatorsEnd] == ' ' || T[SeparatorsEnd] == '\t' || T[SeparatorsEnd] == '=')) {
      SeparatorsEnd++;
    }
    ValueStart = std::max(ValueStart, SeparatorsEnd);
    return KeySpan{K, ValueEnd, ValueStart, ValueEnd - ValueStart};
  }
  return std::nullopt;
}

void CheckGetters(Generator &G, const SettingsText &Settings, const std::string &T,
                  const SETTINGS_KEY &K) {
  constexpr size_t Guard = 4;
  const size_t Capacity = G.Below(K.ValueLength + 3);
  const std::string Value = T.substr(K.ValueStart, K.ValueLength);

  std::vector<CHAR8> Narrow(Capacity + Guard, 0xEE);
  UINTN Size = Capacity;
  EFI_STATUS Status = GetSettingsAsciiValue(Settings.File(), &K, &Size, Narrow.data());
  EXPECT_EQ(Size, K.ValueLength + 1);
  if (Capacity > K.ValueLength) {
    ASSERT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(Narrow.data()), K.ValueLength), Value);
    EXPECT_EQ(Narrow[K.ValueLength], 0);
    for (size_t I = K.ValueLength + 1; I < Narrow.size(); I++) ASSERT_EQ(Narrow[I], 0xEE);
  } else {
    ASSERT_EQ(Status, EFI_BUFFER_TOO_SMALL);
    for (CHAR8 B : Narrow) ASSERT_EQ(B, 0xEE);
  }

  std::vector<CHAR16> Wide(Capacity + Guard, 0xEEEE);
  Size = Capacity;
  Status = GetSettingsUnicodeValue(Settings.File(), &K, &Size, Wide.data());
  if (Capacity > K.ValueLength) {
    ASSERT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(Size, K.ValueLength);
    for (size_t I = 0; I < K.ValueLength; I++) {
      ASSERT_EQ(Wide[I], static_cast<unsigned char>(Value[I]));
    }
    EXPECT_EQ(Wide[K.ValueLength], 0);
    for (size_t I = K.ValueLength + 1; I < Wide.size(); I++) ASSERT_EQ(Wide[I], 0xEEEE);
  } else {
    ASSERT_EQ(Status, EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(Size, K.ValueLength + 1);
    for (CHAR16 U : Wide) ASSERT_EQ(U, 0xEEEE);
  }
}

TEST(SettingsLookupFuzz, RandomTextsAndNamesStayInsideTheText) {
  Generator G(SEED);
  size_t SectionsFound = 0;
  size_t KeysFound = 0;
  for (int Case = 0; Case < TEXTS; Case++) {
    const std::string T = G.Text();
    SettingsText Settings(T);
    SCOPED_TRACE(::testing::Message() << "case " << Case);

    for (int Lookup = 0; Lookup < 4; Lookup++) {
      // Either a name from the text's own headers, or any name.
      std::string SectionName = G.Name(T);
      const size_t Open = T.find('[', G.Below(T.size() + 1));
      if (G.OneIn(2) && Open != std::string::npos) {
        const size_t Close = T.find(']', Open);
        if (Close != std::string::npos) SectionName = T.substr(Open + 1, Close - Open - 1);
        SectionName.erase(std::find(SectionName.begin(), SectionName.end(), '\0'),
                          SectionName.end());
      }
      SETTINGS_SECTION S{7, 7, 7, 7};
      const EFI_STATUS Status = FindSettingsSection(Settings.File(), N(SectionName), &S);
      if (Status != EFI_SUCCESS) {
        ASSERT_EQ(Status, EFI_NOT_FOUND);
        EXPECT_EQ(S.Start, 7u);
        EXPECT_EQ(S.NameLastOffset, 7u);
        continue;
      }
      SectionsFound++;
      CheckSection(T, SectionName, S);

      for (int KeyLookup = 0; KeyLookup < 4; KeyLookup++) {
        const std::string KeyName = G.Name(T.substr(S.Start, S.End - S.Start + 1));
        SETTINGS_KEY K{9, 9, 9, 9, 9, 9};
        const EFI_STATUS KeyStatus = FindSettingsKey(Settings.File(), &S, N(KeyName), &K);
        ASSERT_TRUE(KeyStatus == EFI_SUCCESS || KeyStatus == EFI_NOT_FOUND);
        const bool Modelled = !KeyName.empty() && KeyName.size() <= 255 &&
                              KeyName.find_first_of("\r\n") == std::string::npos;
        if (Modelled) {
          const std::optional<KeySpan> Expected = ModelKey(T, S, KeyName);
          ASSERT_EQ(KeyStatus == EFI_SUCCESS, Expected.has_value()) << KeyName;
          if (Expected) {
            EXPECT_EQ((KeySpan{K.Start, K.End, K.ValueStart, K.ValueLength}), *Expected);
          }
        }
        if (KeyStatus != EFI_SUCCESS) {
          EXPECT_EQ(K.Start, 9u);
          continue;
        }
        KeysFound++;
        ASSERT_LE(K.ValueStart + K.ValueLength, T.size());
        EXPECT_EQ(K.NameStart, K.Start);
        EXPECT_EQ(K.NameLastOffset + 1, KeyName.size());
        EXPECT_EQ(K.ValueStart + K.ValueLength, K.End);
        CheckGetters(G, Settings, T, K);
      }
    }

    // Records that do not belong to this text: never a read outside it.
    for (int Stray = 0; Stray < 3; Stray++) {
      SETTINGS_SECTION S{G.Position(T.size()), G.Position(T.size()), 0, 0};
      SETTINGS_KEY K{};
      const EFI_STATUS Status = FindSettingsKey(Settings.File(), &S, N(G.Word()), &K);
      if (Status == EFI_SUCCESS) {
        EXPECT_LE(K.End, T.size());
        EXPECT_LE(K.ValueStart + K.ValueLength, T.size());
      }
      SETTINGS_KEY Loose{0, 0, 0, 0, G.Position(T.size()), G.Position(T.size())};
      const bool Inside =
          Loose.ValueLength <= T.size() && Loose.ValueStart <= T.size() - Loose.ValueLength;
      CHAR8 Narrow[8];
      UINTN Size = sizeof(Narrow);
      const EFI_STATUS Copy = GetSettingsAsciiValue(Settings.File(), &Loose, &Size, Narrow);
      if (!Inside) {
        EXPECT_EQ(Copy, EFI_INVALID_PARAMETER);
      } else {
        EXPECT_TRUE(Copy == EFI_SUCCESS || Copy == EFI_BUFFER_TOO_SMALL);
      }
    }
  }
  // The generator must reach the interesting paths, or the run proves little.
  EXPECT_GT(SectionsFound, static_cast<size_t>(TEXTS));
  EXPECT_GT(KeysFound, static_cast<size_t>(TEXTS) / 5);
}

}  // namespace
