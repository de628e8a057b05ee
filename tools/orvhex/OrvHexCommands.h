/** @file
  The orvhex commands, kept apart from main so they can be tested in-process:
    make --version V in.bin out.hex
    bin [--with-header] in.hex out.bin
    bank --size N in.hex out.bin
    info file
**/

#ifndef ORVHEX_COMMANDS_H_
#define ORVHEX_COMMANDS_H_

#include <ostream>
#include <string>
#include <vector>

/// Exit statuses.
constexpr int ORVHEX_OK = 0;
constexpr int ORVHEX_FAILED = 1;
constexpr int ORVHEX_USAGE = 2;

/**
  Run one command line (without the program name). Normal output goes to
  Out, errors and the usage text to Err.

  @return ORVHEX_OK, ORVHEX_FAILED for bad input, ORVHEX_USAGE for a bad
          command line.
**/
int RunOrvHex(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err);

#endif
