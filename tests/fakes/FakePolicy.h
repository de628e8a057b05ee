// A fake flash policy (the optional companion of the flash protocol): it
// answers what the test's Judge says, records every question with the
// number of flash calls made before it, and can fail every question. One
// instance is current at a time (the protocol has no This pointer).
#pragma once

#include <functional>
#include <vector>

#include "OrvEfi.h"

class FakePolicy {
 public:
  FakePolicy();
  ~FakePolicy();
  FakePolicy(const FakePolicy &) = delete;
  FakePolicy &operator=(const FakePolicy &) = delete;

  ORV_FLASH_POLICY_PROTOCOL Protocol{};

  struct Query {
    UINT8 Ic;
    UINT8 Zone;
    std::vector<UINT8> Image;
    size_t FlashCallsBefore;  ///< ModelFlash::Current().Calls.size() at the question
  };
  std::vector<Query> Queries;

  /// The answer to a question; every image is accepted when unset.
  std::function<ORV_IMAGE_ACCEPTANCE(UINT8 Ic, UINT8 Zone, const std::vector<UINT8> &Image)> Judge;
  /// Every question fails with this status when it is an error.
  EFI_STATUS QueryStatus = EFI_SUCCESS;
  /// Every question succeeds without writing an answer.
  bool AnswerNothing = false;
  /// What GetIcSecurity reports for every IC, or the status it fails with.
  ORV_IC_SECURITY Security{};
  EFI_STATUS SecurityStatus = EFI_SUCCESS;

  static FakePolicy &Current();
  EFI_STATUS CheckImageAcceptance(UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                                  ORV_IMAGE_ACCEPTANCE *Acceptance);
  EFI_STATUS GetIcSecurity(UINT8 Ic, ORV_IC_SECURITY *Out);
};

/// An answer with only Verdict and the counter / floor figures set.
inline ORV_IMAGE_ACCEPTANCE Answer(ORV_IMAGE_VERDICT Verdict, UINT32 Counter = 0, UINT32 Floor = 0) {
  ORV_IMAGE_ACCEPTANCE Out{};
  Out.Verdict = Verdict;
  Out.ImageCounter = Counter;
  Out.Floor = Floor;
  return Out;
}
