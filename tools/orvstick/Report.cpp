/** @file
  The check's report and its JSON form (the fields are documented in
  docs/json-output.md and only ever gain new ones).
**/

#include "Report.h"

#include <cstdio>

namespace {

/// Raised only when a field changes meaning or goes away.
constexpr int JSON_FORMAT_VERSION = 1;

const char *LevelName(REPORT_LEVEL Level) {
  switch (Level) {
    case REPORT_LEVEL::Warning:
      return "warning";
    case REPORT_LEVEL::Error:
      return "error";
    default:
      return "info";
  }
}

std::string Plural(int Count, const char *Word) {
  return std::to_string(Count) + " " + Word + (Count == 1 ? "" : "s");
}

}  // namespace

std::string JsonString(const std::string &Text) {
  std::string Out = "\"";
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += static_cast<char>(C);
    } else if (C < 0x20 || C >= 0x7F) {
      // Control bytes and bytes outside ASCII (the settings are 8-bit text,
      // not necessarily UTF-8) as escapes, so the document is always valid.
      char Escape[8];
      std::snprintf(Escape, sizeof(Escape), "\\u%04x", C);
      Out += Escape;
    } else {
      Out += static_cast<char>(C);
    }
  }
  return Out + "\"";
}

void REPORT::Add(REPORT_LEVEL Level, const std::string &Line) {
  if (Level == REPORT_LEVEL::Warning) Counts_.Warnings++;
  if (Level == REPORT_LEVEL::Error) Counts_.Errors++;
  if (Style_ == REPORT_STYLE::Json) {
    Entries_.push_back(ENTRY{Level, Line});
    return;
  }
  if (Level == REPORT_LEVEL::Info && Style_ == REPORT_STYLE::Quiet) return;
  Out_ << (Level == REPORT_LEVEL::Info ? "" : std::string(LevelName(Level)) + ": ") << Line << "\n";
}

CHECK_COUNTS REPORT::Finish(const std::string &Volume, const std::string &Kind) {
  const bool Ok = Counts_.Errors == 0;
  if (Style_ != REPORT_STYLE::Json) {
    Out_ << "result: "
         << (Ok ? "ok, " + Plural(Counts_.Warnings, "warning")
                : Plural(Counts_.Errors, "error") + ", " + Plural(Counts_.Warnings, "warning") +
                      ": the run would stop before the first IC")
         << "\n";
    return Counts_;
  }
  Out_ << "{\n  \"format_version\": " << JSON_FORMAT_VERSION << ",\n  \"volume\": " << JsonString(Volume)
       << ",\n  \"volume_kind\": " << JsonString(Kind) << ",\n  \"result\": " << (Ok ? "\"ok\"" : "\"stops\"")
       << ",\n  \"errors\": " << Counts_.Errors << ",\n  \"warnings\": " << Counts_.Warnings
       << ",\n  \"messages\": [";
  for (size_t Index = 0; Index < Entries_.size(); Index++) {
    Out_ << (Index == 0 ? "\n" : ",\n") << "    {\"level\": " << JsonString(LevelName(Entries_[Index].Level))
         << ", \"text\": " << JsonString(Entries_[Index].Text) << "}";
  }
  Out_ << (Entries_.empty() ? "]\n}\n" : "\n  ]\n}\n");
  return Counts_;
}
