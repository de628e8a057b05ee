/** @file
  orvstick check: what a run of OrvUpdate.efi would do with an update
  volume before it touches the first IC, in the application's own terms,
  with a warning for what it accepts but is almost surely a mistake and an
  error for what would stop the run.
**/

#ifndef ORVSTICK_CHECK_H_
#define ORVSTICK_CHECK_H_

#include <ostream>
#include <vector>

#include "Volume.h"
#include "ZoneImage.h"

struct CHECK_COUNTS {
  int Errors;
  int Warnings;
};

/**
  Check a volume and write the report to Out: summary lines, one
  "warning: " or "error: " line per problem, and a closing "result: " line.
  TrustedKeys are the public keys the reference image parser is built with:
  given any, a zone image it would refuse (unsigned, another key, a
  signature that does not verify, a damaged signature block) is an error.
  Throws TOOL_FAILURE when the volume cannot be read.
**/
CHECK_COUNTS CheckVolume(const VOLUME &Volume, const std::vector<IMAGE_PUBLIC_KEY> &TrustedKeys,
                         std::ostream &Out);

#endif
