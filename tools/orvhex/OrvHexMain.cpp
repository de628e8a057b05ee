/** @file
  orvhex: makes and inspects zone image files.
**/

#include <iostream>

#include "OrvHexCommands.h"

int main(int argc, char **argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  return RunOrvHex(Args, std::cout, std::cerr);
}
