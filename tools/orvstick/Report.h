/** @file
  The report of orvstick check: summary lines, warnings and errors, counted,
  written as text lines or kept for one JSON document.
**/

#ifndef ORVSTICK_REPORT_H_
#define ORVSTICK_REPORT_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "JsonText.h"

struct CHECK_COUNTS {
  int Errors;
  int Warnings;
};

/// How the report is written.
enum class REPORT_STYLE {
  Text,   ///< every line
  Quiet,  ///< warnings, errors and the closing line only
  Json,   ///< nothing until Finish, then one JSON document
};

enum class REPORT_LEVEL { Info, Warning, Error };

class REPORT {
 public:
  REPORT(std::ostream &Out, REPORT_STYLE Style) : Out_(Out), Style_(Style) {}

  void Say(const std::string &Line) { Add(REPORT_LEVEL::Info, Line); }
  void Warn(const std::string &Line) { Add(REPORT_LEVEL::Warning, Line); }
  void Fail(const std::string &Line) { Add(REPORT_LEVEL::Error, Line); }

  /// A field of the JSON document; Json is its value as JSON text. Text
  /// reports leave it out.
  /// A field given again takes the new value in its old place.
  void Field(const std::string &Name, const std::string &Json);
  /// A list field of the JSON document, empty until Element adds to it.
  void List(const std::string &Name);
  void Element(const std::string &List, const std::string &Json);

  /// Writes the closing "result: " line (or the JSON document); Volume and
  /// Kind name the volume in the JSON document.
  CHECK_COUNTS Finish(const std::string &Volume, const std::string &Kind);

  const CHECK_COUNTS &Counts() const { return Counts_; }

 private:
  struct ENTRY {
    REPORT_LEVEL Level;
    std::string Text;
  };
  void Add(REPORT_LEVEL Level, const std::string &Line);

  std::ostream &Out_;
  REPORT_STYLE Style_;
  CHECK_COUNTS Counts_{};
  std::vector<ENTRY> Entries_;
  std::vector<std::pair<std::string, std::string>> Fields_;
  std::vector<std::pair<std::string, std::vector<std::string>>> Lists_;
};

/// One JSON object, its members in the order added.
class JSON_OBJECT {
 public:
  JSON_OBJECT &Text(const std::string &Name, const std::string &Value);
  JSON_OBJECT &Number(const std::string &Name, uint64_t Value);
  JSON_OBJECT &Raw(const std::string &Name, const std::string &Json);
  std::string Json() const { return "{" + Members_ + "}"; }

 private:
  std::string Members_;
};

#endif
