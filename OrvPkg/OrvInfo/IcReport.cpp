/** @file
  One IC's line of OrvInfo.efi: address, active section, the version of each
  section, the OCM image version, the update plan and, with -v, how the
  flash compares with the images. Only reading operations of the flash
  component are called; reads for -v are bracketed by one
  FlashPreOperation / ICPostOperation pair per IC.

  Line form (one line, fields in this order, numbers hexadecimal without
  prefix, "?" where a component call failed):
    ic=<i> addr=<aa|-> section=<0|1|none> ver0=<v> ver1=<v> image=<v|none>
    ocm=<newer:bankN|forced:bankN|nosection:bankN|current|none>
    customer=<none|bank0|bank0+1>
  and with -v: vocm=<r> vcust0=<r> vcust1=<r>, r being match, diff@<offset>,
  "-" (not compared) or nosection (vocm only: no active bank).

  When the flash component has a policy, the line ends with what the IC
  enforces and its floor, enforces=<signature+zone+product+floor|nothing|?>
  floor=<decimal|?>, and the images the update would write are put to it
  first: when it refuses one, the update leaves the IC untouched, so ocm=
  and customer= show "refused" for every zone the update would have
  written, and one line per refused image follows, as the update prints it:
  "IC <i> OCM image refused: <reason>" (OrvBase/ImageVerdict.h).
**/

#include "OrvInfo.h"

#include <OrvBase/Guards.h>
#include <OrvBase/ImageVerdict.h>
#include "../OrvUpdate/App/RunState.h"
#include "../OrvUpdate/Components/ComponentGuards.h"
#include "../OrvUpdate/Update/CompareBytes.h"
#include "../OrvUpdate/Update/UpdatePlan.h"

namespace {

/// A value read from a component, or the fact that its call failed.
template <typename T>
struct READ {
  T Value;
  bool Known;
};

/// Failed component calls of one IC, printed after its line.
class FAILURES {
 public:
  void Add(const CHAR16 *Operation, EFI_STATUS Status) {
    if (Recorded < MAX) {
      Items[Recorded++] = {Operation, Status};
    }
    LastStatus = Status;
  }
  bool Any() const { return LastStatus != EFI_SUCCESS; }
  EFI_STATUS Last() const { return LastStatus; }
  void Print(UINT8 Index) const {
    for (UINTN I = 0; I < Recorded; I++) {
      ::Print(u"IC %x %s error %x\n"_w, static_cast<UINT32>(Index), Items[I].Operation,
              Hex32(Items[I].Status));
    }
  }

 private:
  static constexpr UINTN MAX = 12;
  struct ITEM {
    const CHAR16 *Operation;
    EFI_STATUS Status;
  };
  ITEM Items[MAX] = {};
  UINTN Recorded = 0;
  EFI_STATUS LastStatus = EFI_SUCCESS;
};

enum class VERIFY_RESULT : UINT8 { NOT_COMPARED, MATCH, DIFFERS, NO_SECTION, UNKNOWN };

struct VERIFY {
  VERIFY_RESULT Result;
  UINTN Offset;  ///< first differing offset, for DIFFERS
};

/// A bank to compare with an image.
struct COMPARE_JOB {
  VERIFY *Out;
  UINT8 Bank;
  UINT8 Zone;
  ORV_IMAGE_HANDLE Image;
};

/// Reads one bank and compares it with the image's bytes.
VERIFY CompareBank(UINT8 Index, const COMPARE_JOB &Job, FAILURES *Failures) {
  UINTN Size = 0;
  UINT8 *Data = nullptr;
  EFI_STATUS Status = pOrvImageProtocol->GetImageData(Job.Image, &Size, &Data);
  if (EFI_ERROR(Status)) {
    Failures->Add(u"GetImageData"_w, Status);
    return {VERIFY_RESULT::UNKNOWN, 0};
  }
  PoolGuard<UINT8> Buffer = PoolGuard<UINT8>::Allocate(Size);
  if (Size != 0 && !Buffer) {
    Failures->Add(u"AllocatePool"_w, EFI_OUT_OF_RESOURCES);
    return {VERIFY_RESULT::UNKNOWN, 0};
  }
  Status = pOrvFlashProtocol->ReadBankData(Index, Job.Bank, Job.Zone, Size, Buffer.Get());
  if (EFI_ERROR(Status)) {
    Failures->Add(u"ReadBankData"_w, Status);
    return {VERIFY_RESULT::UNKNOWN, 0};
  }
  UINTN Offset = FindFirstDifference(Buffer.Get(), Data, Size);
  return Offset == Size ? VERIFY{VERIFY_RESULT::MATCH, 0} : VERIFY{VERIFY_RESULT::DIFFERS, Offset};
}

/// Runs the comparisons of one IC inside one programming pass, opened only
/// when there is something to read.
void CompareBanks(UINT8 Index, const COMPARE_JOB *Jobs, UINTN Count, FAILURES *Failures) {
  if (Count == 0) {
    return;
  }
  FlashPassGuard Pass;
  EFI_STATUS Status = Pass.Open(pOrvFlashProtocol, Index);
  if (EFI_ERROR(Status)) {
    Failures->Add(u"FlashPreOperation"_w, Status);
    for (UINTN I = 0; I < Count; I++) {
      *Jobs[I].Out = {VERIFY_RESULT::UNKNOWN, 0};
    }
    return;
  }
  for (UINTN I = 0; I < Count; I++) {
    *Jobs[I].Out = CompareBank(Index, Jobs[I], Failures);
  }
  Status = Pass.Close();
  if (EFI_ERROR(Status)) {
    Failures->Add(u"ICPostOperation"_w, Status);
  }
}

void PrintVersion(const CHAR16 *Key, const READ<UINT32> &Version) {
  if (Version.Known) {
    Print(u" %s=%x"_w, Key, Version.Value);
  } else {
    Print(u" %s=?"_w, Key);
  }
}

void PrintVerify(const CHAR16 *Key, const VERIFY &Verify) {
  switch (Verify.Result) {
    case VERIFY_RESULT::MATCH:
      Print(u" %s=match"_w, Key);
      break;
    case VERIFY_RESULT::DIFFERS:
      Print(u" %s=diff@%lx"_w, Key, static_cast<UINT64>(Verify.Offset));
      break;
    case VERIFY_RESULT::NO_SECTION:
      Print(u" %s=nosection"_w, Key);
      break;
    case VERIFY_RESULT::UNKNOWN:
      Print(u" %s=?"_w, Key);
      break;
    case VERIFY_RESULT::NOT_COMPARED:
      Print(u" %s=-"_w, Key);
      break;
  }
}

const CHAR16 *DecisionText(OCM_DECISION Decision) {
  switch (Decision) {
    case OCM_DECISION::NEWER:
      return u"newer"_w;
    case OCM_DECISION::FORCED:
      return u"forced"_w;
    case OCM_DECISION::NO_SECTION:
      return u"nosection"_w;
    case OCM_DECISION::UP_TO_DATE:
      break;
  }
  return u"current"_w;
}

/// Everything one IC's line shows.
struct IC_REPORT {
  READ<UINT8> Section;
  READ<UINT32> Versions[2];
  READ<UINT32> ChipVersion;  ///< the version the decision compares
  READ<UINT64> ImageVersion;
  bool Planned;              ///< the OCM decision could be taken
  OCM_PLAN Plan;
  UINT8 CustomerBanks;
  VERIFY OcmVerify;
  VERIFY CustomerVerify[2];
  READ<ORV_IC_SECURITY> Security;  ///< with a policy
  bool Asked[2];                   ///< the OCM / customer image was put to the policy
  IMAGE_QUERY Answers[2];

  /// The policy refused an image the update would write: it writes none.
  bool Refused() const {
    return (Asked[0] && !Answers[0].Accepted()) || (Asked[1] && !Answers[1].Accepted());
  }
};

/// Reads the IC as UpdateChip does: the section preset to "none", the
/// version of each section and of the one the decision uses, and the OCM
/// image's version.
void ReadIcState(UINT8 Index, IC_REPORT *Report, FAILURES *Failures) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  Report->Section = {SECTION_INVALID, true};
  EFI_STATUS Status = Flash->GetActiveSection(Index, &Report->Section.Value);
  if (EFI_ERROR(Status)) {
    Failures->Add(u"GetActiveSection"_w, Status);
    Report->Section.Known = false;
  }
  for (UINT8 Bank = 0; Bank < 2; Bank++) {
    Report->Versions[Bank] = {0, true};
    Status = Flash->GetIcVersion(Index, Bank, &Report->Versions[Bank].Value);
    if (EFI_ERROR(Status)) {
      Failures->Add(u"GetIcVersion"_w, Status);
      Report->Versions[Bank].Known = false;
    }
  }
  const READ<UINT8> &Section = Report->Section;
  Report->ChipVersion = {0, false};
  if (Section.Known && Section.Value < 2) {
    Report->ChipVersion = Report->Versions[Section.Value];
  } else if (Section.Known) {
    Report->ChipVersion.Known = true;
    Status = Flash->GetIcVersion(Index, Section.Value, &Report->ChipVersion.Value);
    if (EFI_ERROR(Status)) {
      Failures->Add(u"GetIcVersion"_w, Status);
      Report->ChipVersion.Known = false;
    }
  }
  Report->ImageVersion = {0, OcmImage != 0};
  if (OcmImage != 0) {
    Status = pOrvImageProtocol->GetImageVersion(OcmImage, &Report->ImageVersion.Value);
    if (EFI_ERROR(Status)) {
      Failures->Add(u"GetImageVersion"_w, Status);
      Report->ImageVersion.Known = false;
    }
  }
}

/// The update's decision for this IC, from the same rule UpdateChip uses.
void PlanIc(IC_REPORT *Report) {
  Report->Planned = OcmImage != 0 && Report->ChipVersion.Known && Report->ImageVersion.Known;
  Report->Plan = Report->Planned ? PlanOcmZone(Report->Section.Value, Report->ChipVersion.Value,
                                               Report->ImageVersion.Value, RUN_FLAGS)
                                 : OCM_PLAN{OCM_DECISION::UP_TO_DATE, 0};
  Report->CustomerBanks = PlanCustomerBanks(CustomerImage != 0, RUN_FLAGS);
}

/// The policy's word on the IC and on each image the update would write.
void AskPolicy(UINT8 Index, IC_REPORT *Report, FAILURES *Failures) {
  ORV_FLASH_POLICY_PROTOCOL *Policy = pOrvFlashPolicyProtocol;
  Report->Security = {{}, Policy->GetIcSecurity != nullptr};
  EFI_STATUS Status = Report->Security.Known
                          ? Policy->GetIcSecurity(Index, &Report->Security.Value)
                          : EFI_UNSUPPORTED;
  if (EFI_ERROR(Status)) {
    Failures->Add(u"GetIcSecurity"_w, Status);
    Report->Security.Known = false;
  }
  const bool Writes[] = {Report->Planned && Report->Plan.Programs(), Report->CustomerBanks != 0};
  const ORV_IMAGE_HANDLE Images[] = {OcmImage, CustomerImage};
  const UINT8 Zones[] = {ZONE_OCM, ZONE_CUSTOMER};
  for (UINTN I = 0; I < 2; I++) {
    if (!Writes[I]) continue;
    UINTN Size = 0;
    UINT8 *Data = nullptr;
    Status = pOrvImageProtocol->GetImageData(Images[I], &Size, &Data);
    if (EFI_ERROR(Status)) {
      Failures->Add(u"GetImageData"_w, Status);
      continue;
    }
    Report->Asked[I] = true;
    Report->Answers[I] = QueryImageAcceptance(Policy, Index, Zones[I], Data, Size);
  }
}

/// The policy's fields at the end of the IC line.
void PrintSecurityFields(const IC_REPORT &Report) {
  if (!Report.Security.Known) {
    Print(u" enforces=? floor=?"_w);
    return;
  }
  Print(u" enforces="_w);
  PrintEnforced(Report.Security.Value.Enforced);
  Print(u" floor=%d"_w, Report.Security.Value.Floor);
}

/// One line per refused image, as the update prints it.
void PrintRefusals(UINT8 Index, const IC_REPORT &Report) {
  const CHAR16 *Names[] = {u"OCM"_w, u"customer"_w};
  for (UINTN I = 0; I < 2; I++) {
    if (!Report.Asked[I] || Report.Answers[I].Accepted()) continue;
    Print(u"IC %x %s image refused: "_w, static_cast<UINT32>(Index), Names[I]);
    PrintImageVerdict(Report.Answers[I]);
    Print(u"\n"_w);
  }
}

/// -v: the active OCM bank against the OCM image, and the customer banks an
/// update would write against the customer image.
void VerifyIc(UINT8 Index, IC_REPORT *Report, FAILURES *Failures) {
  COMPARE_JOB Jobs[3] = {};
  UINTN Count = 0;
  const READ<UINT8> &Section = Report->Section;
  if (OcmImage != 0 && !Section.Known) {
    Report->OcmVerify.Result = VERIFY_RESULT::UNKNOWN;
  } else if (OcmImage != 0 && Section.Value > 1) {
    Report->OcmVerify.Result = VERIFY_RESULT::NO_SECTION;
  } else if (OcmImage != 0) {
    Jobs[Count++] = {&Report->OcmVerify, Section.Value, ZONE_OCM, OcmImage};
  }
  for (UINT8 Bank = 0; Bank < Report->CustomerBanks; Bank++) {
    Jobs[Count++] = {&Report->CustomerVerify[Bank], Bank, ZONE_CUSTOMER, CustomerImage};
  }
  CompareBanks(Index, Jobs, Count, Failures);
}

/// The OCM fields: the image version and the decision.
void PrintOcmFields(const IC_REPORT &Report) {
  if (OcmImage == 0) {
    Print(u" image=none ocm=none"_w);
    return;
  }
  if (Report.ImageVersion.Known) {
    Print(u" image=%lx"_w, Report.ImageVersion.Value);
  } else {
    Print(u" image=?"_w);
  }
  if (!Report.Planned) {
    Print(u" ocm=?"_w);
  } else if (Report.Plan.Programs() && Report.Refused()) {
    Print(u" ocm=refused"_w);
  } else if (Report.Plan.Programs()) {
    Print(u" ocm=%s:bank%x"_w, DecisionText(Report.Plan.Decision),
          static_cast<UINT32>(Report.Plan.TargetBank));
  } else {
    Print(u" ocm=current"_w);
  }
}

void PrintIcLine(UINT8 Index, const IC_REPORT &Report, BOOLEAN Verify) {
  Print(u"ic=%x"_w, static_cast<UINT32>(Index));
  if (pOrvFlashProtocol->GetIcAddress != nullptr) {
    Print(u" addr=%02x"_w, static_cast<UINT32>(pOrvFlashProtocol->GetIcAddress(Index, 0)));
  } else {
    Print(u" addr=-"_w);
  }
  if (!Report.Section.Known) {
    Print(u" section=?"_w);
  } else if (Report.Section.Value == SECTION_INVALID) {
    Print(u" section=none"_w);
  } else {
    Print(u" section=%x"_w, static_cast<UINT32>(Report.Section.Value));
  }
  PrintVersion(u"ver0"_w, Report.Versions[0]);
  PrintVersion(u"ver1"_w, Report.Versions[1]);
  PrintOcmFields(Report);
  const CHAR16 *CustomerText[] = {u"none"_w, u"bank0"_w, u"bank0+1"_w};
  const bool CustomerRefused = Report.CustomerBanks != 0 && Report.Refused();
  Print(u" customer=%s"_w, CustomerRefused ? u"refused"_w : CustomerText[Report.CustomerBanks]);
  if (Verify) {
    PrintVerify(u"vocm"_w, Report.OcmVerify);
    PrintVerify(u"vcust0"_w, Report.CustomerVerify[0]);
    PrintVerify(u"vcust1"_w, Report.CustomerVerify[1]);
  }
  if (pOrvFlashPolicyProtocol != nullptr) PrintSecurityFields(Report);
  Print(u"\n"_w);
}

}  // namespace

EFI_STATUS ReportIc(UINT8 Index, BOOLEAN Verify) {
  FAILURES Failures;
  IC_REPORT Report = {};
  Report.OcmVerify = {VERIFY_RESULT::NOT_COMPARED, 0};
  Report.CustomerVerify[0] = Report.CustomerVerify[1] = {VERIFY_RESULT::NOT_COMPARED, 0};

  ReadIcState(Index, &Report, &Failures);
  PlanIc(&Report);
  if (pOrvFlashPolicyProtocol != nullptr) AskPolicy(Index, &Report, &Failures);
  if (Verify) VerifyIc(Index, &Report, &Failures);
  PrintIcLine(Index, Report, Verify);
  PrintRefusals(Index, Report);
  Failures.Print(Index);

  if (Failures.Any()) {
    return Failures.Last();
  }
  const VERIFY Results[] = {Report.OcmVerify, Report.CustomerVerify[0], Report.CustomerVerify[1]};
  for (const VERIFY &V : Results) {
    if (V.Result == VERIFY_RESULT::DIFFERS || V.Result == VERIFY_RESULT::NO_SECTION) {
      return EFI_CRC_ERROR;
    }
  }
  return EFI_SUCCESS;
}
