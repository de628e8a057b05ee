/** @file
  The line-station script. Only constructs checked in the UEFI Shell 2.2 of
  the firmware are used: for over word lists, if/else with "exist" and "==",
  goto, volatile variables (set -v), ASCII redirection (>a, >>a) and type.
  A step's output goes to a file first and is then shown and appended to the
  log; %lasterror% is saved right after the step. Progress that a component
  shows on the standard error console stays on the screen only.
**/

#include "StationScript.h"

const char *const STATION_SCRIPT_MARK = "# OrvStation line-station script, written by orvstick make";
const char *const STATION_LOG_FOLDER = "OrvLog";

namespace {

constexpr const char *STEP_FILE = "OrvLog\\step.txt";
constexpr const char *LOG_FILE = "OrvLog\\run%OrvRun%.log";
constexpr const char *DIGITS = "0 1 2 3 4 5 6 7 8 9";

class SCRIPT {
 public:
  SCRIPT &operator<<(const std::string &Line) {
    Text += Line + "\r\n";
    return *this;
  }
  std::string Text;
};

/// Echoes a line on the console and appends it to the log.
void Both(SCRIPT &Out, const std::string &Line) {
  Out << "echo \"" + Line + "\"";
  Out << "echo \"" + Line + "\" >>a " + LOG_FILE;
}

void Step(SCRIPT &Out, const std::string &Name, const std::string &Command) {
  Out << "set -v OrvStep " + Name;
  Both(Out, "== " + Name + ": " + Command);
  Out << std::string("if exist ") + STEP_FILE + " then";
  Out << std::string("  rm -q ") + STEP_FILE;
  Out << "endif";
  Out << Command + " >a " + STEP_FILE;
  Out << "set -v OrvRc %lasterror%";
  Out << std::string("if exist ") + STEP_FILE + " then";
  Out << std::string("  type ") + STEP_FILE;
  Out << std::string("  type ") + STEP_FILE + " >>a " + LOG_FILE;
  Out << "endif";
  Out << "echo \"== " + Name + ": status %OrvRc%\" >>a " + LOG_FILE;
  Out << "if not %OrvRc% == 0x0 then";
  Out << "  goto OrvFail";
  Out << "endif";
}

/// The first free log name: run000 to run999, found hundred by hundred and
/// ten by ten (logs are made in order), so at most 30 names are tried.
void FindLogName(SCRIPT &Out) {
  Out << "set -v OrvRun none";
  Out << std::string("for %a in ") + DIGITS;
  Out << "  if %OrvRun% == none then";
  Out << "    if not exist OrvLog\\run%a99.log then";
  Out << std::string("      for %b in ") + DIGITS;
  Out << "        if %OrvRun% == none then";
  Out << "          if not exist OrvLog\\run%a%b9.log then";
  Out << std::string("            for %c in ") + DIGITS;
  Out << "              if %OrvRun% == none then";
  Out << "                if not exist OrvLog\\run%a%b%c.log then";
  Out << "                  set -v OrvRun %a%b%c";
  Out << "                endif";
  Out << "              endif";
  Out << "            endfor";
  Out << "          endif";
  Out << "        endif";
  Out << "      endfor";
  Out << "    endif";
  Out << "  endif";
  Out << "endfor";
}

}  // namespace

std::string StationScript(const STATION &Station) {
  std::string Arguments;
  for (const std::string &Argument : Station.Arguments) Arguments += " " + Argument;

  SCRIPT Out;
  Out << "@echo -off";
  Out << STATION_SCRIPT_MARK;
  Out << "# Lists the board, updates it, verifies it; each step's output is also";
  Out << "# appended to a new log file OrvLog\\runNNN.log on this volume. The last";
  Out << "# line says PASS, or FAIL with the step and the status that failed.";
  // The volume that holds the update, whatever its mapping on this board.
  Out << "set -v OrvStep volume";
  Out << "set -v OrvVol none";
  Out << "for %v in fs0 fs1 fs2 fs3 fs4 fs5 fs6 fs7 fs8 fs9";
  Out << "  if %OrvVol% == none then";
  Out << "    if exist %v:\\OrvUpdate.efi then";
  Out << "      if exist %v:\\OrvUpdateComponent\\OrvUpdateSettings.ini then";
  Out << "        set -v OrvVol %v";
  Out << "      endif";
  Out << "    endif";
  Out << "  endif";
  Out << "endfor";
  Out << "if %OrvVol% == none then";
  Out << "  goto OrvNoLog";
  Out << "endif";
  Out << "%OrvVol%:";
  Out << "set -v OrvStep log";
  Out << std::string("if not exist ") + STATION_LOG_FOLDER + " then";
  Out << std::string("  mkdir ") + STATION_LOG_FOLDER;
  Out << "endif";
  FindLogName(Out);
  Out << "if %OrvRun% == none then";
  Out << "  goto OrvNoLog";
  Out << "endif";
  Both(Out, "== OrvStation run %OrvRun%: log OrvLog\\run%OrvRun%.log");
  Step(Out, "list", "OrvInfo.efi" + Arguments);
  Step(Out, "update", "OrvUpdate.efi" + Arguments);
  Step(Out, "verify", "OrvInfo.efi -v" + Arguments);
  Both(Out, "*** PASS: list, update, verify (log OrvLog\\run%OrvRun%.log) ***");
  Out << "goto OrvEnd";
  Out << ":OrvFail";
  Both(Out, "*** FAIL: step %OrvStep%, status %OrvRc% (log OrvLog\\run%OrvRun%.log) ***");
  Out << "goto OrvEnd";
  Out << ":OrvNoLog";
  Out << "echo \"*** FAIL: step %OrvStep%, no update volume or no free log name in OrvLog ***\"";
  Out << ":OrvEnd";
  // The last step's output is in the log; its temporary file goes.
  Out << std::string("if exist ") + STEP_FILE + " then";
  Out << std::string("  rm -q ") + STEP_FILE;
  Out << "endif";
  if (Station.Shutdown) Out << "reset -s";
  return Out.Text;
}
