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
**/

#include "OrvInfo.h"

#include <OrvBase/Guards.h>
#include "../OrvUpdate/App/RunState.h"
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
  EFI_STATUS Status = pOrvFlashProtocol->FlashPreOperation(Index);
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
  Status = pOrvFlashProtocol->ICPostOperation(Index);
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

}  // namespace

EFI_STATUS ReportIc(UINT8 Index, BOOLEAN Verify) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  FAILURES Failures;

  // Read as UpdateChip does: the section preset to "none", then the version
  // of the section the decision uses.
  READ<UINT8> Section = {SECTION_INVALID, true};
  EFI_STATUS Status = Flash->GetActiveSection(Index, &Section.Value);
  if (EFI_ERROR(Status)) {
    Failures.Add(u"GetActiveSection"_w, Status);
    Section.Known = false;
  }
  READ<UINT32> Versions[2] = {};
  for (UINT8 Bank = 0; Bank < 2; Bank++) {
    Versions[Bank] = {0, true};
    Status = Flash->GetIcVersion(Index, Bank, &Versions[Bank].Value);
    if (EFI_ERROR(Status)) {
      Failures.Add(u"GetIcVersion"_w, Status);
      Versions[Bank].Known = false;
    }
  }
  READ<UINT32> ChipVersion = {0, false};
  if (Section.Known && Section.Value < 2) {
    ChipVersion = Versions[Section.Value];
  } else if (Section.Known) {
    ChipVersion.Known = true;
    Status = Flash->GetIcVersion(Index, Section.Value, &ChipVersion.Value);
    if (EFI_ERROR(Status)) {
      Failures.Add(u"GetIcVersion"_w, Status);
      ChipVersion.Known = false;
    }
  }

  READ<UINT64> ImageVersion = {0, OcmImage != 0};
  if (OcmImage != 0) {
    Status = pOrvImageProtocol->GetImageVersion(OcmImage, &ImageVersion.Value);
    if (EFI_ERROR(Status)) {
      Failures.Add(u"GetImageVersion"_w, Status);
      ImageVersion.Known = false;
    }
  }
  const bool Planned = OcmImage != 0 && ChipVersion.Known && ImageVersion.Known;
  const OCM_PLAN Plan =
      Planned ? PlanOcmZone(Section.Value, ChipVersion.Value, ImageVersion.Value, RUN_FLAGS)
              : OCM_PLAN{OCM_DECISION::UP_TO_DATE, 0};
  const UINT8 CustomerBanks = PlanCustomerBanks(CustomerImage != 0, RUN_FLAGS);

  // -v: the active OCM bank against the OCM image, and the customer banks an
  // update would write against the customer image.
  VERIFY OcmVerify = {VERIFY_RESULT::NOT_COMPARED, 0};
  VERIFY CustomerVerify[2] = {{VERIFY_RESULT::NOT_COMPARED, 0}, {VERIFY_RESULT::NOT_COMPARED, 0}};
  if (Verify) {
    COMPARE_JOB Jobs[3] = {};
    UINTN Count = 0;
    if (OcmImage != 0 && !Section.Known) {
      OcmVerify.Result = VERIFY_RESULT::UNKNOWN;
    } else if (OcmImage != 0 && Section.Value > 1) {
      OcmVerify.Result = VERIFY_RESULT::NO_SECTION;
    } else if (OcmImage != 0) {
      Jobs[Count++] = {&OcmVerify, Section.Value, ZONE_OCM, OcmImage};
    }
    for (UINT8 Bank = 0; Bank < CustomerBanks; Bank++) {
      Jobs[Count++] = {&CustomerVerify[Bank], Bank, ZONE_CUSTOMER, CustomerImage};
    }
    CompareBanks(Index, Jobs, Count, &Failures);
  }

  Print(u"ic=%x"_w, static_cast<UINT32>(Index));
  if (Flash->GetIcAddress != nullptr) {
    Print(u" addr=%02x"_w, static_cast<UINT32>(Flash->GetIcAddress(Index, 0)));
  } else {
    Print(u" addr=-"_w);
  }
  if (!Section.Known) {
    Print(u" section=?"_w);
  } else if (Section.Value == SECTION_INVALID) {
    Print(u" section=none"_w);
  } else {
    Print(u" section=%x"_w, static_cast<UINT32>(Section.Value));
  }
  PrintVersion(u"ver0"_w, Versions[0]);
  PrintVersion(u"ver1"_w, Versions[1]);
  if (OcmImage == 0) {
    Print(u" image=none ocm=none"_w);
  } else {
    if (ImageVersion.Known) {
      Print(u" image=%lx"_w, ImageVersion.Value);
    } else {
      Print(u" image=?"_w);
    }
    if (!Planned) {
      Print(u" ocm=?"_w);
    } else if (Plan.Programs()) {
      Print(u" ocm=%s:bank%x"_w, DecisionText(Plan.Decision), static_cast<UINT32>(Plan.TargetBank));
    } else {
      Print(u" ocm=current"_w);
    }
  }
  const CHAR16 *CustomerText[] = {u"none"_w, u"bank0"_w, u"bank0+1"_w};
  Print(u" customer=%s"_w, CustomerText[CustomerBanks]);
  if (Verify) {
    PrintVerify(u"vocm"_w, OcmVerify);
    PrintVerify(u"vcust0"_w, CustomerVerify[0]);
    PrintVerify(u"vcust1"_w, CustomerVerify[1]);
  }
  Print(u"\n"_w);
  Failures.Print(Index);

  if (Failures.Any()) {
    return Failures.Last();
  }
  const VERIFY Results[] = {OcmVerify, CustomerVerify[0], CustomerVerify[1]};
  for (const VERIFY &V : Results) {
    if (V.Result == VERIFY_RESULT::DIFFERS || V.Result == VERIFY_RESULT::NO_SECTION) {
      return EFI_CRC_ERROR;
    }
  }
  return EFI_SUCCESS;
}
