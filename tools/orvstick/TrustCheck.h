/** @file
  The trust part of orvstick check: the image parser's keys against the
  keys the user expects, the board descriptions' ICs, and each zone image
  against both.
**/

#ifndef ORVSTICK_TRUST_CHECK_H_
#define ORVSTICK_TRUST_CHECK_H_

#include <string>
#include <vector>

#include "Check.h"

/// The keys zone images are checked with, and whether any are known.
struct IMAGE_KEYS {
  std::vector<IMAGE_PUBLIC_KEY> Keys;
  bool Known;  ///< false: signatures cannot be checked against the parser
};

/// Reports the keys built into the image parser driver Name (its bytes
/// Driver) and compares them with the expected keys.
IMAGE_KEYS CheckParserKeys(const std::string &Name, const std::string &Driver,
                           const std::vector<EXPECTED_KEY> &Expected, REPORT &Report);

/// Without a readable parser: the expected keys stand in for its keys.
IMAGE_KEYS ExpectedImageKeys(const std::vector<EXPECTED_KEY> &Expected);

/// Reads and reports the board descriptions (the volume's, then --board).
std::vector<BOARD> CheckBoards(const std::vector<BOARD_SOURCE> &Sources, REPORT &Report);

/// A decoded zone image (Zone "OCM" or "customer") against the parser's
/// keys (Path and Stops for the refusal line) and every IC of the boards.
void CheckImageTrust(const std::string &Zone, const std::string &Path, const std::string &Stops,
                     const ZONE_IMAGE_REPORT &Image, const IMAGE_KEYS &Keys, const std::vector<BOARD> &Boards,
                     REPORT &Report);

#endif
