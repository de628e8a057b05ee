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

JSON_OBJECT &JSON_OBJECT::Text(const std::string &Name, const std::string &Value) {
  return Raw(Name, JsonString(Value));
}

JSON_OBJECT &JSON_OBJECT::Number(const std::string &Name, uint64_t Value) { return Raw(Name, std::to_string(Value)); }

JSON_OBJECT &JSON_OBJECT::Raw(const std::string &Name, const std::string &Json) {
  Members_ += (Members_.empty() ? "" : ", ") + JsonString(Name) + ": " + Json;
  return *this;
}

void REPORT::Field(const std::string &Name, const std::string &Json) {
  for (auto &Field : Fields_) {
    if (Field.first == Name) {
      Field.second = Json;
      return;
    }
  }
  Fields_.emplace_back(Name, Json);
}

void REPORT::List(const std::string &Name) {
  for (const auto &List : Lists_) {
    if (List.first == Name) return;
  }
  Lists_.emplace_back(Name, std::vector<std::string>{});
}

void REPORT::Element(const std::string &Name, const std::string &Json) {
  List(Name);
  for (auto &List : Lists_) {
    if (List.first == Name) List.second.push_back(Json);
  }
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
       << ",\n  \"errors\": " << Counts_.Errors << ",\n  \"warnings\": " << Counts_.Warnings;
  for (const auto &[Name, Json] : Fields_) Out_ << ",\n  " << JsonString(Name) << ": " << Json;
  for (const auto &[Name, Elements] : Lists_) {
    Out_ << ",\n  " << JsonString(Name) << ": [";
    for (size_t Index = 0; Index < Elements.size(); Index++) Out_ << (Index == 0 ? "\n    " : ",\n    ") << Elements[Index];
    Out_ << (Elements.empty() ? "]" : "\n  ]");
  }
  Out_ << ",\n  \"messages\": [";
  for (size_t Index = 0; Index < Entries_.size(); Index++) {
    Out_ << (Index == 0 ? "\n" : ",\n") << "    {\"level\": " << JsonString(LevelName(Entries_[Index].Level))
         << ", \"text\": " << JsonString(Entries_[Index].Text) << "}";
  }
  Out_ << (Entries_.empty() ? "]\n}\n" : "\n  ]\n}\n");
  return Counts_;
}
