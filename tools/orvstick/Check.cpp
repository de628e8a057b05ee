/** @file
  The volume check. The settings are read only through the application's
  own lookup (AppSettings); the text is split into lines here only to tell
  where what the lookup found stands and how it was written.
**/

#include "Check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "PeImage.h"
#include "TrustCheck.h"
#include "ZoneImage.h"

namespace {

/// A name within this many characters of its limit is reported.
constexpr size_t NEAR_LIMIT_MARGIN = 10;
/// Largest file read from a volume (the image parser reads at most 64 MiB).
constexpr uint64_t MAX_FILE_SIZE = 64u << 20;

constexpr const char *REFERENCE_IMAGE_PARSER = "OrvHexImage.efi";
/// The flash simulator's configuration on the stick (the single-volume layout).
constexpr const char *STICK_BOARD_INI = "OrvSim\\FlashSim.ini";

struct COMPONENT {
  const char *Key;
  const char *Protocol;  ///< the protocol GUID name in the application's message
};
constexpr COMPONENT COMPONENTS[] = {
    {"ImageParser", "gOrvImageProtocolGuid"},
    {"FlashInterface", "gOrvFlashProtocolGuid"},
    {"DevicePath", "gOrvPathProtocolGuid"},
};

struct ZONE {
  const char *Key;
  const char *FailureMessage;  ///< the application's line when the zone fails
};
constexpr ZONE ZONES[] = {
    {"OCM", "Load OCM Image error"},
    {"customer", "Load Customer zone error"},
};

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Text;
}

/// A value as it appears in a message: quoted, tabs and other control bytes shown.
std::string Quoted(const std::string &Text) {
  std::string Out = "\"";
  for (unsigned char C : Text) {
    if (C == '\t') {
      Out += "\\t";
    } else if (C < 0x20 || C >= 0x7F) {
      static const char DIGITS[] = "0123456789ABCDEF";
      Out += std::string("\\x") + DIGITS[C >> 4] + DIGITS[C & 0xF];
    } else {
      Out += static_cast<char>(C);
    }
  }
  return Out + "\"";
}

bool IsBlank(char C) { return C == ' ' || C == '\t'; }
bool IsLineEnd(char C) { return C == '\r' || C == '\n'; }

/// One line of the settings text as written.
struct LINE {
  size_t Start;   ///< first byte
  size_t End;     ///< its line end (or the end of the text)
  size_t Number;  ///< from 1, counting LF, CR LF and a lone CR as the application does
  bool LoneCr;
};

/// What a line says as written: its first word and the rest up to a comment.
struct WRITTEN {
  size_t WordStart;
  std::string Word;
  std::string Value;       ///< after the separators, trailing blanks dropped
  bool CommentBeforeWord;  ///< the line is a comment (or blank) before any word
};

class SETTINGS_LINES {
 public:
  explicit SETTINGS_LINES(const std::string &Text) : Text_(Text) {
    size_t Start = 0;
    size_t Number = 1;
    while (Start <= Text.size()) {
      size_t End = Start;
      while (End < Text.size() && !IsLineEnd(Text[End])) End++;
      const bool LoneCr = End < Text.size() && Text[End] == '\r' && (End + 1 >= Text.size() || Text[End + 1] != '\n');
      Lines_.push_back(LINE{Start, End, Number++, LoneCr});
      if (End >= Text.size()) break;
      Start = End + (Text[End] == '\r' && End + 1 < Text.size() && Text[End + 1] == '\n' ? 2 : 1);
    }
  }

  const std::vector<LINE> &Lines() const { return Lines_; }
  std::string Raw(const LINE &Line) const { return Text_.substr(Line.Start, Line.End - Line.Start); }

  const LINE &At(size_t Position) const {
    for (const LINE &Line : Lines_) {
      if (Position <= Line.End) return Line;
    }
    return Lines_.back();
  }

  WRITTEN Written(const LINE &Line) const {
    WRITTEN Out{};
    size_t At = Line.Start;
    while (At < Line.End && IsBlank(Text_[At])) At++;
    Out.WordStart = At;
    Out.CommentBeforeWord = At >= Line.End || Text_[At] == '#';
    while (At < Line.End && !IsBlank(Text_[At]) && Text_[At] != '=' && Text_[At] != '#') Out.Word += Text_[At++];
    while (At < Line.End && (IsBlank(Text_[At]) || Text_[At] == '=')) At++;
    size_t End = At;
    while (End < Line.End && Text_[End] != '#') End++;
    while (End > At && IsBlank(Text_[End - 1])) End--;
    Out.Value = Text_.substr(At, End - At);
    return Out;
  }

  /// True when the "[" at Position opens a header as written: the first
  /// word of its line.
  bool IsHeaderAsWritten(size_t Position) const {
    const WRITTEN Line = Written(At(Position));
    return !Line.CommentBeforeWord && Line.WordStart == Position;
  }

  /// What holds the "[" at Position: a comment or a value.
  std::string Holder(size_t Position) const {
    const LINE &Line = At(Position);
    for (size_t At = Line.Start; At < Position; At++) {
      if (Text_[At] == '#') return "a comment";
    }
    return "a value";
  }

 private:
  const std::string &Text_;
  std::vector<LINE> Lines_;
};

std::string LineText(size_t Number) { return "line " + std::to_string(Number); }

/// A written key at most this many edits from a missing one is named.
constexpr size_t NEAREST_KEY_DISTANCE = 2;

/// The keys the application reads from its two sections.
bool IsKnownKey(const std::string &Word) {
  for (const char *Known : {"target", "ImageParser", "FlashInterface", "DevicePath", "OCM", "customer",
                            "ForceUpdate", "IncludeCustomerDefineBkp", "ReduceFlashProcessFlag"}) {
    if (Word == Known) return true;
  }
  return false;
}

/// Levenshtein distance: single-letter insertions, deletions and changes.
size_t EditDistance(const std::string &From, const std::string &To) {
  std::vector<size_t> Row(To.size() + 1);
  for (size_t Index = 0; Index <= To.size(); Index++) Row[Index] = Index;
  for (size_t I = 1; I <= From.size(); I++) {
    size_t Diagonal = Row[0];
    Row[0] = I;
    for (size_t J = 1; J <= To.size(); J++) {
      const size_t Above = Row[J];
      Row[J] = std::min({Row[J] + 1, Row[J - 1] + 1, Diagonal + (From[I - 1] == To[J - 1] ? 0 : 1)});
      Diagonal = Above;
    }
  }
  return Row[To.size()];
}

class CHECKER {
 public:
  CHECKER(const VOLUME &Volume, const CHECK_OPTIONS &Options, std::ostream &Out)
      : Volume_(Volume), Options_(Options), Report_(Out, Options.Style) {}

  CHECK_COUNTS Run() {
    const bool Folder = Volume_.Kind() == VOLUME_KIND::Folder;
    Report_.Say("volume: " + Volume_.Location() + (Folder ? " (folder)" : " (FAT image)"));
    // The document's fields, there even when the check stops before them.
    Report_.Field("target", "null");
    Report_.Field("parser_keys", "null");
    Report_.List("boards");
    Report_.List("images");
    CheckApplication("OrvUpdate.efi", NEED::Required);
    CheckApplication("OrvInfo.efi", NEED::Expected);
    CheckApplication("OrvCheck.efi", NEED::Optional);
    CheckSettings();
    return Report_.Finish(Volume_.Location(), Folder ? "folder" : "fat-image");
  }

 private:
  enum class NEED { Required, Expected, Optional };

  /// The file's bytes, or nothing when it is missing, a folder or too large
  /// (reported as an error with the Missing text).
  std::optional<std::string> ReadFile(const std::string &Path, const std::string &Missing) {
    const VOLUME_ENTRY *Entry = Volume_.Find(Path);
    if (Entry == nullptr || Entry->Folder) {
      Report_.Fail(Missing);
      return std::nullopt;
    }
    std::string Data;
    if (!Volume_.Read(*Entry, MAX_FILE_SIZE, &Data)) {
      Report_.Fail(Path + ": larger than 64 MiB");
      return std::nullopt;
    }
    return Data;
  }

  void CheckApplication(const char *Name, NEED Need) {
    const VOLUME_ENTRY *Entry = Volume_.Find(Name);
    if (Entry == nullptr) {
      if (Need == NEED::Required) {
        Report_.Fail(std::string(Name) + ": missing at the root of the volume");
      } else if (Need == NEED::Expected) {
        Report_.Warn(std::string(Name) + ": missing at the root of the volume (the line-station script lists "
                                         "and verifies the board with it)");
      }
      return;
    }
    std::optional<std::string> Data = ReadFile(Name, std::string(Name) + ": not a file");
    if (!Data) return;
    const PE_HEADERS Headers = ReadPeHeaders(*Data);
    if (IsX64Efi(Headers, PE_SUBSYSTEM_EFI_APPLICATION)) {
      Report_.Say(std::string(Name) + ": " + DescribePe(Headers));
    } else {
      Report_.Fail(std::string(Name) + ": " + DescribePe(Headers) + ", not a PE32+ x64 EFI application");
    }
  }

  void CheckSettings() {
    std::optional<std::string> Text =
        ReadFile(APP_SETTINGS_PATH, std::string(APP_SETTINGS_PATH) + ": missing; the run stops at \"Open settings file error E\"");
    if (!Text) return;
    Report_.Say(std::string("settings: ") + APP_SETTINGS_PATH + ", " + std::to_string(Text->size()) + " bytes");
    if (Text->size() < AppLimits().SettingsFileMin) {
      Report_.Fail(std::string(APP_SETTINGS_PATH) + ": " + std::to_string(Text->size()) + " bytes, at least " +
                   std::to_string(AppLimits().SettingsFileMin) +
                   " are read; the run stops at \"Get settings file info error 0\"");
      return;
    }
    if (Text->compare(0, 2, "\xFF\xFE") == 0 || Text->compare(0, 2, "\xFE\xFF") == 0) {
      Report_.Fail(std::string(APP_SETTINGS_PATH) + ": saved as UTF-16; the application reads 8-bit text "
                                                    "(save it as ASCII or UTF-8)");
      return;
    }
    APP_SETTINGS Settings(*Text);
    SETTINGS_LINES Lines(*Text);
    CheckLineEnds(Lines);

    std::optional<SECTION_SPAN> Default = Settings.FindSection("default");
    if (!Default) {
      Report_.Fail("no section [default]; the run stops at \"Default target section string not found\"");
      return;
    }
    CheckSectionBounds(Settings, Lines, "default", *Default);
    std::optional<KEY_SPAN> TargetKey = FindKey(Settings, Lines, "default", *Default, "target");
    if (!TargetKey) {
      Report_.Fail("no key target in [default]" + NearestKey(Lines, *Default, "target") +
                   "; the run stops at \"Default target key string not found\"");
      return;
    }
    const size_t TargetMax = AppLimits().TargetNameMax;
    std::optional<std::string> Target = Settings.AsciiValue(*TargetKey, TargetMax + 1);
    if (!Target) {
      Report_.Fail(LineText(Lines.At(TargetKey->Start).Number) + ": target name of " +
                   std::to_string(TargetKey->ValueLength) + " characters, at most " + std::to_string(TargetMax) +
                   " fit; the run stops at \"OrvInitialSettings error 5\"");
      return;
    }
    CheckValue(Lines, "target", *TargetKey, *Target, TargetMax);
    Report_.Say("Current target: " + *Target);
    Report_.Field("target", JsonString(*Target));

    std::optional<SECTION_SPAN> Section = Settings.FindSection(*Target);
    if (!Section) {
      Report_.Fail("no section [" + *Target + "]; the run stops at \"Target section not found\"");
      HintSimilarHeader(Lines, *Target);
      return;
    }
    CheckSectionBounds(Settings, Lines, *Target, *Section);
    CheckFlags(Settings, Lines, *Target, *Section);

    std::string ImageParser;
    for (const COMPONENT &Component : COMPONENTS) {
      std::optional<std::string> Value = CheckComponent(Settings, Lines, *Target, *Section, Component);
      if (Value && std::string(Component.Key) == "ImageParser") ImageParser = *Value;
    }
    const bool ReferenceParser = Lower(ImageParser) == Lower(REFERENCE_IMAGE_PARSER);
    if (ReferenceParser) ReadParserKeys(APP_COMPONENT_FOLDER + ImageParser);
    ReadBoards();
    for (const ZONE &Zone : ZONES) CheckZone(Settings, Lines, *Target, *Section, Zone, ReferenceParser);
  }

  /// The boards the images go to: the volume's own description and --board.
  void ReadBoards() {
    std::vector<BOARD_SOURCE> Sources;
    std::optional<BOARD_SOURCE> Own = VolumeBoardSource(Volume_, STICK_BOARD_INI, STICK_BOARD_INI);
    if (Own) Sources.push_back(*Own);
    if (Options_.Board) Sources.push_back(*Options_.Board);
    if (Own && Options_.Board) {
      // With a board disk attached the flash simulator takes the chips from
      // the board only, and refuses a stick that brings its own.
      Report_.Fail(std::string(STICK_BOARD_INI) + " on the volume: with a board disk attached IcInit refuses "
                   "it; remove it from the stick");
    }
    Boards_ = CheckBoards(Sources, Report_);
  }

  /// The keys built into the volume's reference image parser decide which
  /// images it takes; the keys given only stand in when they cannot be read.
  void ReadParserKeys(const std::string &Path) {
    ImageKeys_ = ExpectedImageKeys(Options_.ExpectedKeys);
    const VOLUME_ENTRY *Entry = Volume_.Find(Path);
    std::string Driver;
    if (Entry == nullptr || Entry->Folder || !Volume_.Read(*Entry, MAX_FILE_SIZE, &Driver)) return;
    ImageKeys_ = CheckParserKeys(Path, Driver, Options_.ExpectedKeys, Report_);
  }

  void CheckLineEnds(const SETTINGS_LINES &Lines) {
    size_t Count = 0;
    size_t First = 0;
    for (const LINE &Line : Lines.Lines()) {
      if (!Line.LoneCr) continue;
      if (Count++ == 0) First = Line.Number;
    }
    if (Count != 0) {
      Report_.Warn(std::to_string(Count) + " line" + (Count == 1 ? "" : "s") + " end in a lone CR (first: " +
                   LineText(First) + "); the application reads CR as a line end, but most editors and tools do not");
    }
  }

  /// A section the lookup found: warn when its header is not where a reader
  /// sees one, or when it ends at a "[" that is not a header.
  void CheckSectionBounds(const APP_SETTINGS &Settings, const SETTINGS_LINES &Lines, const std::string &Name,
                          const SECTION_SPAN &Section) {
    if (!Lines.IsHeaderAsWritten(Section.Start)) {
      Report_.Warn(LineText(Lines.At(Section.Start).Number) + ": the application takes the [" + Name +
                   "] inside " + Lines.Holder(Section.Start) + " as the section's header");
    }
    const size_t Next = Section.End + 1;
    if (Next >= Settings.Text().size() || Lines.IsHeaderAsWritten(Next)) return;
    size_t LastLine = Lines.Lines().back().Number;
    for (size_t At = Next + 1; At < Settings.Text().size(); At++) {
      if (Settings.Text()[At] == '[' && Lines.IsHeaderAsWritten(At)) {
        LastLine = Lines.At(At).Number - 1;
        break;
      }
    }
    const size_t Line = Lines.At(Next).Number;
    Report_.Warn(LineText(Line) + ": section [" + Name + "] ends at the \"[\" inside " + Lines.Holder(Next) +
                 "; keys on lines " + std::to_string(Line) + " to " + std::to_string(LastLine) +
                 " are not read as part of it");
  }

  /// The lookup's answer for a key, with warnings about the other places
  /// the key text stands in the section as written.
  std::optional<KEY_SPAN> FindKey(const APP_SETTINGS &Settings, const SETTINGS_LINES &Lines,
                                  const std::string &SectionName, const SECTION_SPAN &Section,
                                  const std::string &Key) {
    std::optional<KEY_SPAN> Found = Settings.FindKey(Section, Key);
    std::vector<size_t> Given;
    for (const LINE &Line : Lines.Lines()) {
      if (Line.End < Section.Start || Line.Start > Section.End) continue;
      const WRITTEN Written = Lines.Written(Line);
      if (Written.CommentBeforeWord || Written.WordStart <= Section.Start) continue;
      if (Written.Word == Key) {
        Given.push_back(Line.Number);
      } else if (!Found && Lower(Written.Word).rfind(Lower(Key), 0) == 0) {
        Report_.Warn(LineText(Line.Number) + ": the key there is " + Written.Word + ", not " + Key +
                     " (keys are compared whole and exactly)");
      }
      if (HoldsKeyAssignment(Written.Value, Key)) {
        Report_.Warn(LineText(Line.Number) + ": \"" + Key + " =\" inside the value of " + Written.Word +
                     " is not read as a key; one key per line");
      }
    }
    if (Given.size() > 1 && Found) {
      std::string List;
      for (size_t Number : Given) List += (List.empty() ? "" : ", ") + std::to_string(Number);
      Report_.Warn(Key + " is given " + std::to_string(Given.size()) + " times in [" + SectionName + "] (lines " +
                   List + "); the application uses line " + std::to_string(Lines.At(Found->Start).Number));
    }
    return Found;
  }

  /// For a key the lookup did not find: ", nearest: NAME on line N" for the
  /// key written in the section that is closest to it (at most two letters
  /// apart, case aside) and is not itself a key the application reads.
  static std::string NearestKey(const SETTINGS_LINES &Lines, const SECTION_SPAN &Section, const std::string &Key) {
    size_t Best = NEAREST_KEY_DISTANCE + 1;
    std::string Found;
    for (const LINE &Line : Lines.Lines()) {
      if (Line.End < Section.Start || Line.Start > Section.End) continue;
      const WRITTEN Written = Lines.Written(Line);
      if (Written.CommentBeforeWord || Written.WordStart <= Section.Start || IsKnownKey(Written.Word)) continue;
      const size_t Distance = EditDistance(Lower(Written.Word), Lower(Key));
      if (Distance < Best) {
        Best = Distance;
        Found = ", nearest: " + Written.Word + " on " + LineText(Line.Number);
      }
    }
    return Found;
  }

  /// True when Value holds Key as a word followed by "=" (two settings
  /// written on one line).
  static bool HoldsKeyAssignment(const std::string &Value, const std::string &Key) {
    for (size_t At = Value.find(Key); At != std::string::npos; At = Value.find(Key, At + 1)) {
      if (At != 0 && !IsBlank(Value[At - 1]) && Value[At - 1] != '=') continue;
      size_t After = At + Key.size();
      while (After < Value.size() && IsBlank(Value[After])) After++;
      if (After < Value.size() && Value[After] == '=') return true;
    }
    return false;
  }

  /// Compares the value the application reads with the value as written,
  /// and its length with its limit.
  void CheckValue(const SETTINGS_LINES &Lines, const std::string &Key, const KEY_SPAN &Span,
                  const std::string &Value, size_t Limit) {
    const LINE &Line = Lines.At(Span.Start);
    const WRITTEN Written = Lines.Written(Line);
    if (Written.Value != Value) {
      Report_.Warn(LineText(Line.Number) + ": " + Key + " is written " + Quoted(Written.Value) +
                   ", but the application reads " + Quoted(Value) +
                   " (a value is one word, the last one on its line)");
    }
    if (Value.size() + NEAR_LIMIT_MARGIN > Limit) {
      Report_.Warn(LineText(Line.Number) + ": " + Key + " value of " + std::to_string(Value.size()) +
                   " characters is near the limit of " + std::to_string(Limit));
    }
  }

  /// After a target section was not found: a header that differs from it
  /// only in case or blanks.
  void HintSimilarHeader(const SETTINGS_LINES &Lines, const std::string &Target) {
    for (const LINE &Line : Lines.Lines()) {
      const WRITTEN Written = Lines.Written(Line);
      if (Written.CommentBeforeWord) continue;
      const std::string Header = Lines.Raw(Line).substr(Written.WordStart - Line.Start);
      const size_t Close = Header.find(']');
      if (Header[0] != '[' || Close == std::string::npos) continue;
      const std::string Name = Header.substr(1, Close - 1);
      std::string Trimmed = Name;
      Trimmed.erase(std::remove_if(Trimmed.begin(), Trimmed.end(), IsBlank), Trimmed.end());
      if (Name != Target && Lower(Trimmed) == Lower(Target)) {
        Report_.Warn(LineText(Line.Number) + ": the header [" + Name + "] is not [" + Target +
                     "] (section names are compared exactly, blanks and case included)");
      }
    }
  }

  void CheckFlags(const APP_SETTINGS &Settings, const SETTINGS_LINES &Lines, const std::string &Target,
                  const SECTION_SPAN &Section) {
    for (const char *Key : {"ForceUpdate", "IncludeCustomerDefineBkp", "ReduceFlashProcessFlag"}) {
      std::optional<KEY_SPAN> Span = FindKey(Settings, Lines, Target, Section, Key);
      if (!Span) continue;
      std::optional<std::string> Value = Settings.AsciiValue(*Span, AppLimits().TargetNameMax + 1);
      if (!Value) {
        Report_.Warn(LineText(Lines.At(Span->Start).Number) + ": " + Key + " value of " +
                     std::to_string(Span->ValueLength) + " characters is passed over (at most " +
                     std::to_string(AppLimits().TargetNameMax) + " are read)");
        continue;
      }
      CheckValue(Lines, Key, *Span, *Value, AppLimits().TargetNameMax);
    }
    const APP_FLAGS Flags = ReadAppFlags(Settings, Section);
    char Mask[16];
    std::snprintf(Mask, sizeof(Mask), "0x%X", Flags.ReduceFlashMask);
    Report_.Say(std::string("ForceUpdate: ") + (Flags.ForceUpdate ? "on (as -f)" : "off"));
    Report_.Say(std::string("IncludeCustomerDefineBkp: ") + (Flags.IncludeCustomerDefineBkp ? "on (as -cb)" : "off"));
    Report_.Say(std::string("ReduceFlashProcessFlag: mask ") + Mask +
                ((Flags.ReduceFlashMask & 1) != 0 ? " (the OCM zone is not read back)" : ""));
  }

  /// A file name value of the target section (a driver or a zone image):
  /// the value as the application reads it, or nothing after an error.
  std::optional<std::string> FileValue(const APP_SETTINGS &Settings, const SETTINGS_LINES &Lines,
                                       const std::string &Target, const SECTION_SPAN &Section, const char *Key,
                                       const std::string &Stops) {
    std::optional<KEY_SPAN> Span = FindKey(Settings, Lines, Target, Section, Key);
    if (!Span) {
      Report_.Fail(std::string(Key) + ": no key in [" + Target + "]" + NearestKey(Lines, Section, Key) +
                   "; the run stops at \"" + Stops + "\"");
      return std::nullopt;
    }
    const size_t Limit = AppLimits().ComponentValueMax;
    std::optional<std::string> Value = Settings.UnicodeValue(*Span, Limit + 1);
    if (!Value) {
      Report_.Fail(LineText(Lines.At(Span->Start).Number) + ": " + Key + " value of " +
                   std::to_string(Span->ValueLength) + " characters, at most " + std::to_string(Limit) +
                   " fit; the run stops at \"" + Stops + "\"");
      return std::nullopt;
    }
    CheckValue(Lines, Key, *Span, *Value, Limit);
    return Value;
  }

  std::optional<std::string> CheckComponent(const APP_SETTINGS &Settings, const SETTINGS_LINES &Lines,
                                            const std::string &Target, const SECTION_SPAN &Section,
                                            const COMPONENT &Component) {
    const std::string Key = Component.Key;
    std::optional<std::string> Value =
        FileValue(Settings, Lines, Target, Section, Component.Key, "Load " + Key + " error, E");
    if (!Value) return std::nullopt;
    const std::string Path = APP_COMPONENT_FOLDER + *Value;
    const std::string Stops = "LocateHandleBuffer " + std::string(Component.Protocol) + " after load ERROR E";
    if (Value->empty()) {
      Report_.Fail(Key + ": empty value; the run stops at \"" + Stops + "\"");
      return Value;
    }
    if (*Value == "none") {
      // The driver is not loaded when the board's firmware has the protocol.
      Report_.Say(Key + ": none (the board's firmware must have " + Component.Protocol +
                  "; without it the run stops after \"Component " + Path + " not found!\")");
      return Value;
    }
    std::optional<std::string> Data =
        ReadFile(Path, Key + ": " + Path + " is missing; the run stops after \"Component " + Path + " not found!\"");
    if (!Data) return Value;
    const PE_HEADERS Headers = ReadPeHeaders(*Data);
    if (IsX64Efi(Headers, PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER)) {
      Report_.Say(Key + ": " + Path + ", " + DescribePe(Headers));
    } else {
      Report_.Fail(Key + ": " + Path + ": " + DescribePe(Headers) +
                   ", not a PE32+ x64 EFI boot-service driver; the run stops at \"" + Stops + "\"");
    }
    return Value;
  }

  void CheckZone(const APP_SETTINGS &Settings, const SETTINGS_LINES &Lines, const std::string &Target,
                 const SECTION_SPAN &Section, const ZONE &Zone, bool ReferenceParser) {
    const std::string Key = Zone.Key;
    std::optional<std::string> Value =
        FileValue(Settings, Lines, Target, Section, Zone.Key, std::string(Zone.FailureMessage) + ", E");
    if (!Value) return;
    if (Value->empty() || *Value == "none") {
      Report_.Say(Key + ": " + (Value->empty() ? "empty" : "none") + " (\"" + Key + " zone is set not to update\")");
      return;
    }
    if (Lower(*Value) == "none") {
      Report_.Warn(Key + ": " + Quoted(*Value) + " is taken as a file name; only \"none\" leaves the zone alone");
    }
    const std::string Path = APP_COMPONENT_FOLDER + *Value;
    std::optional<std::string> Data =
        ReadFile(Path, Key + ": " + Path + " is missing; the run stops at \"" + Zone.FailureMessage + ", E\"");
    if (!Data) return;
    const ZONE_IMAGE_REPORT Image = DescribeZoneImage(Path, *Data, ImageKeys_.Keys);
    Report_.Element("images", ZoneImageJson(Key, Path, Image));
    if (Image.Decodes) {
      Report_.Say(Key + ": " + Path + ", " + FormatZoneImage(Image));
      // Only the reference parser's keys are known; the boards' ICs judge
      // every image in the reference format.
      const IMAGE_KEYS NoKeys{{}, false};
      CheckImageTrust(Key, Path, std::string(Zone.FailureMessage) + ", 1A", Image,
                      ReferenceParser ? ImageKeys_ : NoKeys, Boards_, Report_);
    } else if (ReferenceParser) {
      Report_.Fail(Key + ": HexImage: " + Image.Problem + "; the run stops at \"" + Zone.FailureMessage + ", A\"");
    } else {
      Report_.Say(Key + ": " + Path + ", not in the reference image format (" + Image.Problem +
                  "); the image parser named by ImageParser reads it");
    }
  }

  const VOLUME &Volume_;
  const CHECK_OPTIONS &Options_;
  REPORT Report_;
  IMAGE_KEYS ImageKeys_{{}, false};
  std::vector<BOARD> Boards_;
};

}  // namespace

CHECK_COUNTS CheckVolume(const VOLUME &Volume, const CHECK_OPTIONS &Options, std::ostream &Out) {
  return CHECKER(Volume, Options, Out).Run();
}
