/** @file
  orvstick check: what a run of OrvUpdate.efi would do with an update
  volume before it touches the first IC, in the application's own terms,
  with a warning for what it accepts but is almost surely a mistake and an
  error for what would stop the run.
**/

#ifndef ORVSTICK_CHECK_H_
#define ORVSTICK_CHECK_H_

#include <ostream>

#include "Volume.h"

struct CHECK_COUNTS {
  int Errors;
  int Warnings;
};

/**
  Check a volume and write the report to Out: summary lines, one
  "warning: " or "error: " line per problem, and a closing "result: " line.
  Throws TOOL_FAILURE when the volume cannot be read.
**/
CHECK_COUNTS CheckVolume(const VOLUME &Volume, std::ostream &Out);

#endif
