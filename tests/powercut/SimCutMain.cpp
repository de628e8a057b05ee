// orv_sim_cut: how much of an erase or write the flash simulator leaves done
// at a power cut, from its own rule parser and arithmetic, for the
// end-to-end suite's expectations of the bank files after a cut.
//
//   orv_sim_cut RULE LENGTH UNIT
//     RULE    a PowerCut rule as Faults.ini holds it ("PowerCut After=1 Part=half")
//     LENGTH  bytes the erase (the bank) or the write (the data) covers
//     UNIT    its step: the erase sector or the program page, in bytes
//
// Prints the bytes done, from the start. Exit status 1 for a rule the
// simulator refuses or one without PowerCut, 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FaultRules.h"
#include "FlashModel.h"

int main(int Argc, char **Argv) {
  char *End = nullptr;
  if (Argc != 4) {
    std::fprintf(stderr, "usage: orv_sim_cut RULE LENGTH UNIT\n");
    return 2;
  }
  const unsigned long long Length = std::strtoull(Argv[2], &End, 0);
  const bool LengthOk = *End == '\0';
  const unsigned long long Unit = std::strtoull(Argv[3], &End, 0);
  if (!LengthOk || *End != '\0' || Unit > 0xFFFFFFFFu) {
    std::fprintf(stderr, "usage: orv_sim_cut RULE LENGTH UNIT\n");
    return 2;
  }
  FAULT_RULES Rules{};
  TEXT_ERROR Error{};
  if (EFI_ERROR(ParseFaultRules(Argv[1], std::strlen(Argv[1]), &Rules, &Error))) {
    std::fprintf(stderr, "orv_sim_cut: %s\n", Error.Reason);
    return 1;
  }
  const FAULT_RULE *Cut = FaultPowerCut(&Rules);
  if (Cut == nullptr) {
    std::fprintf(stderr, "orv_sim_cut: no PowerCut rule\n");
    return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(
                            SimCutBytes(Length, static_cast<UINT32>(Unit), Cut->Part)));
  return 0;
}
