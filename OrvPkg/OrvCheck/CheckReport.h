/** @file
  The output of OrvCheck.efi, which operators' scripts parse: one line per
  check and IC, then one closing line.

    PASS <id> ic=<n>
    FAIL <id> ic=<n>: <what was seen>
    SKIP <id> ic=<n>: <why>
    <passed> passed, <failed> failed, <skipped> skipped

  "ic=<n>" (hexadecimal, as every IC index the tools print) is left out for
  the checks of the whole board; the closing counts are decimal. Statuses in
  the FAIL lines are shown with %x (their low 32 bits).
**/

#ifndef ORV_CHECK_REPORT_H_
#define ORV_CHECK_REPORT_H_

#include "../OrvUpdate/App/OrvEfi.h"

/// The IC of a check of the whole board: no "ic=" field.
constexpr UINT16 WHOLE_BOARD = 0x100;

enum class CHECK_OUTCOME : UINT8 { OPEN, PASSED, FAILED, SKIPPED };

/// Counts the lines of a run and prints their common start.
class CHECK_REPORT {
 public:
  /// Prints "<PASS|FAIL|SKIP> <id>" and " ic=<n>" for an IC, and counts it.
  void Begin(CHECK_OUTCOME Outcome, const CHAR16 *Id, UINT16 Ic);
  /// The closing line.
  void PrintTotals() const;
  bool AnyFailed() const { return Failed != 0; }

 private:
  UINT32 Passed = 0;
  UINT32 Failed = 0;
  UINT32 Skipped = 0;
};

/**
  One check of one IC (or of the board), which prints exactly one line: the
  first Fail or Skip prints its line and decides the outcome, later ones are
  ignored; Done prints the PASS line when neither came.
**/
class CHECK {
 public:
  CHECK(CHECK_REPORT &Report, const CHAR16 *Id, UINT16 Ic) noexcept
      : Report(Report), Id(Id), Ic(Ic) {}
  CHECK(const CHECK &) = delete;
  CHECK &operator=(const CHECK &) = delete;

  /// The FAIL line with what was seen (a Print format and its values).
  /// @return false, so a failing step ends in one expression.
  template <typename... ARGS>
  bool Fail(const CHAR16 *Format, ARGS... Args) noexcept {
    return FailWith([&] { Print(Format, Args...); });
  }
  /// The FAIL line with what Text prints (a callable).
  template <typename TEXT>
  bool FailWith(TEXT Text) noexcept {
    Decide(CHECK_OUTCOME::FAILED, Text);
    return false;
  }
  /// The SKIP line with the reason the check does not apply.
  template <typename... ARGS>
  void Skip(const CHAR16 *Format, ARGS... Args) noexcept {
    SkipWith([&] { Print(Format, Args...); });
  }
  /// The SKIP line with what Text prints (a callable).
  template <typename TEXT>
  void SkipWith(TEXT Text) noexcept {
    Decide(CHECK_OUTCOME::SKIPPED, Text);
  }
  /// Nothing failed or was skipped so far.
  bool Ok() const noexcept { return Outcome == CHECK_OUTCOME::OPEN; }
  /// Prints the PASS line unless the line was printed already.
  /// @return true when the check passed.
  bool Done() noexcept;

 private:
  template <typename TEXT>
  void Decide(CHECK_OUTCOME Decided, TEXT Text) noexcept {
    if (Outcome != CHECK_OUTCOME::OPEN) return;
    Outcome = Decided;
    Report.Begin(Decided, Id, Ic);
    Print(u": "_w);
    Text();
    Print(u"\n"_w);
  }

  CHECK_REPORT &Report;
  const CHAR16 *Id;
  UINT16 Ic;
  CHECK_OUTCOME Outcome = CHECK_OUTCOME::OPEN;
};

#endif
