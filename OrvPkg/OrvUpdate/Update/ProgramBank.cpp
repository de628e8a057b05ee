/** @file
  Bank programming: writes one zone image into one bank of one IC and makes
  sure of it. Pre-operation, unlock, erase, write, lock, read back and
  compare, post-operation, hardware check and, for the OCM zone, the switch
  to the bank just written. This is the only place where flash contents
  change.

  The pass and the unlocked flash are held by guards: every way out of a step
  closes what it opened (lockFlash after every successful UnlockFlash,
  ICPostOperation once after a successful FlashPreOperation). Every failure
  is reported with its one line and handed on in the same expression.
**/

#include "Update.h"

#include <OrvBase/Guards.h>
#include <OrvBase/Status.h>

#include "../App/RunState.h"
#include "../Components/ComponentGuards.h"
#include "CompareBytes.h"

namespace {

/// Bit of ReduceFlashMask that switches off the OCM zone's read-back.
constexpr UINT32 REDUCE_FLASH_SKIP_OCM_READ_BACK = 1u << 0;

/// Prints a failed step of IC Ic, "<step> Ic %x error %x", and returns
/// EFI_DEVICE_ERROR: the engine reports a component's status and fails with
/// its own.
EFI_STATUS StepFailed(const CHAR16 *Format, UINT8 Ic, EFI_STATUS Status) {
  return PrintAndReturn(EFI_DEVICE_ERROR, Format, static_cast<UINT32>(Ic), Hex32(Status));
}

/// Unlocks, erases, writes and locks again. The flash is locked after every
/// successful unlock, also when erasing or writing failed.
EFI_STATUS WriteBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  FlashUnlockGuard Unlocked;
  EFI_STATUS Status = Unlocked.Open(Flash, Ic);
  if (EFI_ERROR(Status)) return StepFailed(u"UnlockFlash Ic %x error %x\n"_w, Ic, Status);

  EFI_STATUS Written = Flash->EraseBank(Ic, Bank, Zone);
  if (EFI_ERROR(Written)) {
    Written = StepFailed(u"EraseBank Ic %x error %x\n"_w, Ic, Written);
  } else {
    Written = Flash->WriteBankData(Ic, Bank, Zone, Size, Data);
    if (EFI_ERROR(Written)) Written = StepFailed(u"WriteBankData Ic %x error %x\n"_w, Ic, Written);
  }

  Status = Unlocked.Close();
  if (EFI_ERROR(Status)) return StepFailed(u"lockFlash Ic %x error %x\n"_w, Ic, Status);
  return Written;
}

/// Reads the bank back and compares it with the image. With bit 0 of
/// ReduceFlashMask the OCM zone is not read back. A failed read is reported
/// and counts as a skipped read-back.
EFI_STATUS VerifyBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data) {
  if ((ReduceFlashMask & REDUCE_FLASH_SKIP_OCM_READ_BACK) != 0 && Zone == ZONE_OCM) {
    return EFI_SUCCESS;
  }

  PoolGuard<UINT8> ReadBack = PoolGuard<UINT8>::Allocate(Size);
  if (!ReadBack) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"Allocate readBack error cannot check falsh\n"_w);
  }

  EFI_STATUS Status = pOrvFlashProtocol->ReadBankData(Ic, Bank, Zone, Size, ReadBack.Get());
  if (EFI_ERROR(Status)) {
    (void)StepFailed(u"ReadBankData Ic %x error %x\n"_w, Ic, Status);
    return EFI_SUCCESS;
  }

  UINTN Offset = FindFirstDifference(ReadBack.Get(), Data, Size);
  if (Offset != Size) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"image read back compare fail at %x\n"_w,
                          Hex32(Offset));
  }
  return EFI_SUCCESS;
}

/// Post-operation and hardware check of a verified bank, then for the OCM
/// zone the switch to that bank and the success line.
EFI_STATUS CheckAndActivateBank(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  EFI_STATUS Status = Flash->FlashPostOperation(Ic);
  if (EFI_ERROR(Status)) return StepFailed(u"FlashPostOperation Ic %x error %x\n"_w, Ic, Status);

  // A forced update enters as "good"; the component leaves its verdict.
  UINT8 Check = (RUN_FLAGS & RUN_FLAG_FORCE_UPDATE) != 0 ? 1 : 0;
  Status = Flash->HardwareCheckBank(Ic, Bank, Zone, &Check);
  // A bank the hardware found bad is never made active, even when the call
  // itself succeeded: switching to it could leave the IC on a broken image.
  if (EFI_ERROR(Status) || Check == 0) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"HardwareCheckBank Ic %x, check %x, sta %x\n"_w,
                          static_cast<UINT32>(Ic), static_cast<UINT32>(Check), Hex32(Status));
  }

  if (Zone != ZONE_OCM) {
    return EFI_SUCCESS;
  }

  Status = Flash->SetActiveBank(Ic, Bank);
  if (EFI_ERROR(Status)) return StepFailed(u"SetActiveBank Ic %x error %x\n"_w, Ic, Status);

  // The switch is done; the version only decorates the line, so a failed
  // read shows 0 and does not change the result.
  UINT32 Version = 0;
  (void)Flash->GetIcVersion(Ic, Bank, &Version);
  Print(u"IC %x update success,runing section %x, ver %x\n"_w, static_cast<UINT32>(Ic),
        static_cast<UINT32>(Bank), Version);
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS ProgramBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data) {
  FlashPassGuard Pass;
  EFI_STATUS Status = Pass.Open(pOrvFlashProtocol, Ic);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashPreOperation Ic %x error %x\n"_w, static_cast<UINT32>(Ic),
                          Hex32(Status));
  }

  // Each step runs only when the ones before it succeeded.
  EFI_STATUS Result = WriteBank(Ic, Bank, Zone, Size, Data);
  if (!EFI_ERROR(Result)) Result = VerifyBank(Ic, Bank, Zone, Size, Data);
  if (!EFI_ERROR(Result)) Result = CheckAndActivateBank(Ic, Bank, Zone);

  // The pass closes on every path; its failure replaces any earlier result.
  Status = Pass.Close();
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"ICPostOperation IC %x error %x\n"_w, static_cast<UINT32>(Ic),
                          Hex32(Status));
  }
  return Result;
}
