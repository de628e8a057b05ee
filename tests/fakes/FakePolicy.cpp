// A fake flash policy (see FakePolicy.h).
#include "FakePolicy.h"

#include <cstdlib>

#include "ModelFlash.h"

namespace {

FakePolicy *gCurrentPolicy = nullptr;

EFI_STATUS EFIAPI PCheckImageAcceptance(UINT8 Ic, UINT8 Zone, CONST UINT8 *Data, UINTN Size,
                                        ORV_IMAGE_ACCEPTANCE *Acceptance) {
  return FakePolicy::Current().CheckImageAcceptance(Ic, Zone, Data, Size, Acceptance);
}
EFI_STATUS EFIAPI PGetIcSecurity(UINT8 Ic, ORV_IC_SECURITY *Security) {
  return FakePolicy::Current().GetIcSecurity(Ic, Security);
}

}  // namespace

FakePolicy::FakePolicy() {
  Protocol.Revision = ORV_FLASH_POLICY_PROTOCOL_REVISION;
  Protocol.CheckImageAcceptance = PCheckImageAcceptance;
  Protocol.GetIcSecurity = PGetIcSecurity;
  gCurrentPolicy = this;
}

FakePolicy::~FakePolicy() {
  if (gCurrentPolicy == this) gCurrentPolicy = nullptr;
}

FakePolicy &FakePolicy::Current() {
  if (gCurrentPolicy == nullptr) std::abort();
  return *gCurrentPolicy;
}

EFI_STATUS FakePolicy::CheckImageAcceptance(UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                                            ORV_IMAGE_ACCEPTANCE *Acceptance) {
  std::vector<UINT8> Image(Data, Data + Size);
  Queries.push_back({Ic, Zone, Image, ModelFlash::Current().Calls.size()});
  if (EFI_ERROR(QueryStatus) || AnswerNothing) return QueryStatus;
  *Acceptance = Judge ? Judge(Ic, Zone, Image) : Answer(ORV_IMAGE_ACCEPTED);
  return EFI_SUCCESS;
}

EFI_STATUS FakePolicy::GetIcSecurity(UINT8, ORV_IC_SECURITY *Out) {
  if (EFI_ERROR(SecurityStatus)) return SecurityStatus;
  *Out = Security;
  return EFI_SUCCESS;
}
