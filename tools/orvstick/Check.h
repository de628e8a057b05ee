/** @file
  orvstick check: what a run of OrvUpdate.efi would do with an update
  volume before it touches the first IC, in the application's own terms,
  with a warning for what it accepts but is almost surely a mistake and an
  error for what would stop the run or what the board's ICs would refuse.
**/

#ifndef ORVSTICK_CHECK_H_
#define ORVSTICK_CHECK_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Report.h"
#include "Trust.h"
#include "Volume.h"
#include "ZoneImage.h"

struct CHECK_OPTIONS {
  /// Checked against the keys built into the volume's image parser, which
  /// decide; taken as the parser's keys only when those cannot be read.
  std::vector<EXPECTED_KEY> ExpectedKeys;
  /// A board description beside the volume's own OrvSim\FlashSim.ini.
  std::optional<BOARD_SOURCE> Board;
  REPORT_STYLE Style = REPORT_STYLE::Text;
};

/**
  Check a volume and write the report to Out: summary lines, one
  "warning: " or "error: " line per problem, and a closing "result: " line
  (or one JSON document). A zone image the volume's image parser would
  refuse (unsigned, another key, a signature that does not verify) or an IC
  of a board description would refuse (its provisioned key, its bank size)
  is an error naming both sides. Throws TOOL_FAILURE when the volume cannot
  be read.
**/
CHECK_COUNTS CheckVolume(const VOLUME &Volume, const CHECK_OPTIONS &Options, std::ostream &Out);

#endif
