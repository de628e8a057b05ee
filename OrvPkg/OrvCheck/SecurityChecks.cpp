/** @file
  The checks of what an IC runs (-w), on an IC whose flash policy says what
  it enforces (GetIcSecurity): an image the IC must refuse is written into
  the bank the checks write, and both the policy (CheckImageAcceptance) and
  the update's acceptance of the written bank (FlashPostOperation, then
  HardwareCheckBank) must refuse it. The IC's own check is the authority; a
  policy that accepts what it should refuse fails the check too, as the
  update relies on it to refuse before erasing.

    signed-only  an unsigned image and an image signed by a foreign key
    zone-bound   the run's customer image, written into the OCM zone
    floor        an image whose counter is below the IC's floor

  Signed test images cannot be made here (the tool holds no key), so they
  are files of the image parser's format in the component folder, loaded
  through the image parser like the zone images; a file that is missing or
  that the parser refuses skips the check with the reason. The customer
  image is the one the settings (or -c) name.

  A board whose ICs enforce nothing gets one SKIP line of its own instead.
**/

#include "OrvCheck.h"

#include <OrvBase/ImageVerdict.h>

#include "WriteTarget.h"

namespace {

/// An image a check writes: a file of the component folder, or (File null)
/// the run's customer image.
struct TEST_IMAGE {
  const char16_t *What;  ///< in the FAIL line
  const char16_t *File;
};

struct SECURITY_CHECK {
  const char16_t *Id;
  UINT32 Bit;            ///< the ORV_IC_ENFORCES_* bit the IC must claim
  const char16_t *Claim;
  TEST_IMAGE Images[2];  ///< What null: no further image
  bool BelowFloor;       ///< only images whose counter is below the floor apply
};

constexpr SECURITY_CHECK SECURITY_CHECKS[] = {
    {u"signed-only", ORV_IC_ENFORCES_SIGNATURE, u"signatures",
     {{u"an unsigned image", u"OrvUpdateComponent\\CheckUnsigned.hex"},
      {u"an image of a foreign key", u"OrvUpdateComponent\\CheckForeignKey.hex"}},
     false},
    {u"zone-bound", ORV_IC_ENFORCES_ZONE, u"zones", {{u"the customer image", nullptr}, {}}, false},
    {u"floor", ORV_IC_ENFORCES_FLOOR, u"a floor",
     {{u"an image below the floor", u"OrvUpdateComponent\\CheckBelowFloor.hex"}, {}}, true},
};
static_assert(sizeof(SECURITY_CHECKS) / sizeof(SECURITY_CHECKS[0]) ==
              sizeof(SECURITY_CHECK_IDS) / sizeof(SECURITY_CHECK_IDS[0]));

/// Loads a test image; a missing or refused file skips Check.
bool LoadTestImage(CHECK &Check, EFI_HANDLE ImageHandle, const TEST_IMAGE &Image,
                   ORV_IMAGE_HANDLE *Handle) {
  if (Image.File == nullptr) {
    if (CustomerImage == 0) Check.Skip(u"no customer image"_w);
    *Handle = CustomerImage;
    return CustomerImage != 0;
  }
  EFI_STATUS Status = pOrvImageProtocol->LoadImageFile(
      ImageHandle, const_cast<CHAR16 *>(AsChar16(Image.File)), Handle);
  if (EFI_ERROR(Status)) {
    *Handle = 0;
    Check.Skip(u"%s: LoadImageFile error %x"_w, AsChar16(Image.File), Hex32(Status));
    return false;
  }
  return true;
}

/// One image the IC must refuse: the policy refuses it, and the update
/// would not switch to a bank holding it.
void ExpectImageRefused(CHECK &Check, const TARGET &Target, const SECURITY_CHECK &Entry,
                        const TEST_IMAGE &Image, ORV_IMAGE_HANDLE Handle, UINT32 Floor) {
  IMAGE_BYTES Bytes{};
  if (!GetImageBytes(Check, Handle, &Bytes)) return;
  const IMAGE_QUERY Query = QueryImageAcceptance(pOrvFlashPolicyProtocol, Target.Ic, ZONE_OCM,
                                                 Bytes.Data, Bytes.Size);
  const UINT32 Counter = Query.Acceptance.ImageCounter;
  if (Entry.BelowFloor && !EFI_ERROR(Query.Status) && Counter >= Floor) {
    return Check.Skip(u"%s has counter %d, not below the floor %d"_w, AsChar16(Image.File),
                      Counter, Floor);
  }
  if (Query.Accepted()) {
    (void)Check.Fail(u"the flash policy accepts %s"_w, AsChar16(Image.What));
    return;
  }
  InPass(Check, Target.Ic, [&] {
    if (Program(Check, Target, Bytes.Data, Bytes.Size)) {
      (void)ExpectRejected(Check, Target, Judge(Target), AsChar16(Image.What));
    }
  });
}

void RunSecurityCheck(const TARGET &Target, EFI_HANDLE ImageHandle, const SECURITY_CHECK &Entry,
                      const ORV_IC_SECURITY &Security, CHECK_REPORT &Report) {
  CHECK Check(Report, AsChar16(Entry.Id), Target.Ic);
  if ((Security.Enforced & Entry.Bit) == 0) {
    return Check.Skip(u"the IC does not claim to enforce %s"_w, AsChar16(Entry.Claim));
  }
  for (const TEST_IMAGE &Image : Entry.Images) {
    if (Image.What == nullptr || !Check.Ok()) break;
    ORV_IMAGE_HANDLE Handle = 0;
    if (!LoadTestImage(Check, ImageHandle, Image, &Handle)) break;
    // The run's customer image stays the run's.
    ORV_IMAGE_HANDLE Owned = Image.File != nullptr ? Handle : 0;
    ZoneImageGuard Loaded(&Owned);
    ExpectImageRefused(Check, Target, Entry, Image, Handle, Security.Floor);
  }
  (void)Check.Done();
}

/// What the IC says it enforces; EFI_UNSUPPORTED without the slot.
EFI_STATUS GetSecurity(UINT8 Ic, ORV_IC_SECURITY *Security) {
  *Security = {};
  ORV_FLASH_POLICY_PROTOCOL *Policy = pOrvFlashPolicyProtocol;
  if (Policy == nullptr || Policy->GetIcSecurity == nullptr) return EFI_UNSUPPORTED;
  return Policy->GetIcSecurity(Ic, Security);
}

}  // namespace

bool BoardEnforcesSomething(UINT8 IcCount) {
  if (pOrvFlashPolicyProtocol == nullptr) return false;
  for (UINT8 Ic = 0; Ic < IcCount; Ic++) {
    ORV_IC_SECURITY Security;
    // An IC that cannot say is checked, and its checks fail.
    if (EFI_ERROR(GetSecurity(Ic, &Security)) || Security.Enforced != 0) return true;
  }
  return false;
}

void CheckWhatIcRuns(const TARGET &Target, EFI_HANDLE ImageHandle, CHECK_REPORT &Report) {
  ORV_IC_SECURITY Security;
  EFI_STATUS Status = GetSecurity(Target.Ic, &Security);
  for (const SECURITY_CHECK &Entry : SECURITY_CHECKS) {
    if (EFI_ERROR(Status)) {
      CHECK(Report, AsChar16(Entry.Id), Target.Ic).Fail(u"GetIcSecurity error %x"_w, Hex32(Status));
    } else {
      RunSecurityCheck(Target, ImageHandle, Entry, Security, Report);
    }
  }
}

bool SwitchKeepsFloor(CHECK &Check, const TARGET &Target, const UINT8 *Copy) {
  if (pOrvFlashPolicyProtocol == nullptr) return true;
  ORV_IC_SECURITY Security;
  EFI_STATUS Status = GetSecurity(Target.Ic, &Security);
  if (EFI_ERROR(Status)) return Check.Fail(u"GetIcSecurity error %x"_w, Hex32(Status));
  if ((Security.Enforced & ORV_IC_ENFORCES_FLOOR) == 0) return true;
  const IMAGE_QUERY Query = QueryImageAcceptance(pOrvFlashPolicyProtocol, Target.Ic, ZONE_OCM,
                                                 Copy, Target.BankSize);
  if (!Query.Accepted()) {
    return Check.FailWith([&] {
      Print(u"the flash policy refuses a copy of the running bank: "_w);
      PrintImageVerdict(Query);
    });
  }
  if (Query.Acceptance.ImageCounter == Security.Floor) return true;
  Check.Skip(u"the running image's counter %d is not the floor %d: switching could raise it"_w,
             Query.Acceptance.ImageCounter, Security.Floor);
  return false;
}
