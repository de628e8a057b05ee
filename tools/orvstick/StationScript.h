/** @file
  The line-station script (startup.nsh) that orvstick make writes: it lists
  the board with OrvInfo.efi, updates it with OrvUpdate.efi, verifies it with
  OrvInfo.efi -v, appends each step's console output to a new log file in
  OrvLog\ on the volume, and ends with one PASS or FAIL line naming the step
  and status that failed. The steps stop at the first failure.
**/

#ifndef ORVSTICK_STATION_SCRIPT_H_
#define ORVSTICK_STATION_SCRIPT_H_

#include <string>
#include <vector>

/// First line after "@echo -off" of every script make writes; make replaces
/// only a startup.nsh that holds it.
extern const char *const STATION_SCRIPT_MARK;
/// The folder of the log files, one per run: OrvLog\run000.log, run001.log, ...
extern const char *const STATION_LOG_FOLDER;

struct STATION {
  std::vector<std::string> Arguments;  ///< of OrvUpdate.efi, also given to OrvInfo.efi
  bool Shutdown;                       ///< power off at the end instead of staying in the shell
};

/// The script's text, CR LF line ends.
std::string StationScript(const STATION &Station);

#endif
