/** @file
  SetImage's device work: the update engine's bank programming, with the
  FMP progress callback fed from the flash steps it takes.

  ProgramBank calls the flash component through the run's interface pointer.
  For the time of one SetImage that pointer names a copy of the component's
  table whose erase, write, read, check and switch slots call the real ones
  and then report how far the bank has come. Nothing of the engine changes:
  the steps, their order, guards and messages are its own.
**/

#include "OrvFmp.h"

#include "../OrvUpdate/App/RunState.h"
#include "../OrvUpdate/Update/Update.h"
#include "../OrvUpdate/Update/UpdatePlan.h"

namespace {

/// Percent of one bank's span reached after each step.
constexpr UINTN AFTER_ERASE = 30;
constexpr UINTN AFTER_WRITE = 70;
constexpr UINTN AFTER_READ = 85;
constexpr UINTN AFTER_CHECK = 95;
constexpr UINTN AFTER_SWITCH = 100;
/// The banks share the range FIRST..LAST; 1 is reported before the first
/// step and 100 once all is done.
constexpr UINTN FIRST = 2;
constexpr UINTN LAST = 99;

/// The progress of one SetImage: never reports a value twice or going back.
struct PROGRESS {
  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS Callback;
  UINTN Reported;  ///< last value reported, 0 before the first
  UINTN Bank;      ///< the bank being programmed, 0-based
  UINTN Banks;     ///< how many banks this SetImage programs

  void Report(UINTN Completion) {
    if (Completion > 100) Completion = 100;
    if (Completion <= Reported) return;
    Reported = Completion;
    if (Callback != nullptr) (void)Callback(Completion);
  }
  /// Percent Step of the current bank's share of FIRST..LAST.
  void Step(UINTN Percent) {
    const UINTN Span = (LAST - FIRST) / Banks;
    Report(FIRST + Span * Bank + Span * Percent / 100);
  }
};

constinit PROGRESS *mProgress = nullptr;
constinit ORV_FLASH_PROTOCOL *mReal = nullptr;
constinit ORV_FLASH_PROTOCOL mTracked = {};

EFI_STATUS Stepped(EFI_STATUS Status, UINTN Percent) {
  if (!EFI_ERROR(Status) && mProgress != nullptr) mProgress->Step(Percent);
  return Status;
}

EFI_STATUS EFIAPI TrackedErase(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  return Stepped(mReal->EraseBank(Ic, Bank, Zone), AFTER_ERASE);
}
EFI_STATUS EFIAPI TrackedWrite(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data) {
  return Stepped(mReal->WriteBankData(Ic, Bank, Zone, Size, Data), AFTER_WRITE);
}
EFI_STATUS EFIAPI TrackedRead(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  return Stepped(mReal->ReadBankData(Ic, Bank, Zone, Size, Buffer), AFTER_READ);
}
EFI_STATUS EFIAPI TrackedCheck(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  return Stepped(mReal->HardwareCheckBank(Ic, Bank, Zone, Check), AFTER_CHECK);
}
EFI_STATUS EFIAPI TrackedSwitch(UINT8 Ic, UINT8 Bank) {
  return Stepped(mReal->SetActiveBank(Ic, Bank), AFTER_SWITCH);
}

/// Holds the tracked table in place of the component's for one SetImage.
class TRACKED_FLASH {
 public:
  explicit TRACKED_FLASH(PROGRESS *Progress) {
    mReal = pOrvFlashProtocol;
    mTracked = *mReal;
    mTracked.EraseBank = TrackedErase;
    mTracked.WriteBankData = TrackedWrite;
    mTracked.ReadBankData = TrackedRead;
    mTracked.HardwareCheckBank = TrackedCheck;
    mTracked.SetActiveBank = TrackedSwitch;
    mProgress = Progress;
    pOrvFlashProtocol = &mTracked;
  }
  ~TRACKED_FLASH() {
    pOrvFlashProtocol = mReal;
    mProgress = nullptr;
  }
  TRACKED_FLASH(const TRACKED_FLASH &) = delete;
  TRACKED_FLASH &operator=(const TRACKED_FLASH &) = delete;
};

/// The OCM image into the inactive bank (bank 0 when the IC reports no
/// section), verified and switched to.
EFI_STATUS ProgramOcm(UINT8 Ic, const UINT8 *Data, UINTN Size, PROGRESS *Progress) {
  UINT8 Section = SECTION_INVALID;
  EFI_STATUS Status = pOrvFlashProtocol->GetActiveSection(Ic, &Section);
  if (EFI_ERROR(Status)) return Status;
  Progress->Banks = 1;
  TRACKED_FLASH Tracked(Progress);
  // The engine's target bank; every accepted image is written, whatever
  // its version: the IC's floor, not the version, rules out a rollback.
  const OCM_PLAN Plan = PlanOcmZone(Section, 0, 0, RUN_FLAG_FORCE_UPDATE);
  return ProgramBank(Ic, Plan.TargetBank, ZONE_OCM, Size, Data);
}

/// The customer image into bank 0, and bank 1 with the backup setting.
EFI_STATUS ProgramCustomer(UINT8 Ic, const UINT8 *Data, UINTN Size, PROGRESS *Progress) {
  const UINT8 Banks = PlanCustomerBanks(true, RUN_FLAGS);
  Progress->Banks = Banks;
  TRACKED_FLASH Tracked(Progress);
  for (UINT8 Bank = 0; Bank < Banks; Bank++) {
    Progress->Bank = Bank;
    EFI_STATUS Status = ProgramBank(Ic, Bank, ZONE_CUSTOMER, Size, Data);
    if (EFI_ERROR(Status)) return Status;
    Progress->Step(AFTER_SWITCH);
  }
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS FmpProgram(UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                      EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS Progress) {
  PROGRESS Tracker{Progress, 0, 0, 1};
  Tracker.Report(1);
  EFI_STATUS Status = Zone == ZONE_CUSTOMER ? ProgramCustomer(Ic, Data, Size, &Tracker)
                                            : ProgramOcm(Ic, Data, Size, &Tracker);
  if (!EFI_ERROR(Status)) Tracker.Report(100);
  return Status;
}
