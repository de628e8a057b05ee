/** @file
  Bank programming: writes one zone image into one bank of one IC and makes
  sure of it. Pre-operation, unlock, erase, write, lock, read back and
  compare, post-operation, hardware check and, for the OCM zone, the switch
  to the bank just written. This is the only place where flash contents
  change.
**/

#include "Update.h"

#include <OrvBase/Guards.h>
#include "../App/RunState.h"
#include "CompareBytes.h"

namespace {

/// Bit of ReduceFlashMask that switches off the OCM zone's read-back.
constexpr UINT32 REDUCE_FLASH_SKIP_OCM_READ_BACK = 1u << 0;

/// Unlocks, erases, writes and locks again. The flash is locked after every
/// successful unlock, also when erasing or writing failed.
///
/// @return true when every step succeeded.
bool WriteBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  EFI_STATUS Status = Flash->UnlockFlash(Ic);
  if (EFI_ERROR(Status)) {
    Print(u"UnlockFlash Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    return false;
  }

  bool Written = false;
  Status = Flash->EraseBank(Ic, Bank, Zone);
  if (EFI_ERROR(Status)) {
    Print(u"EraseBank Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
  } else {
    Status = Flash->WriteBankData(Ic, Bank, Zone, Size, Data);
    if (EFI_ERROR(Status)) {
      Print(u"WriteBankData Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    } else {
      Written = true;
    }
  }

  Status = Flash->lockFlash(Ic);
  if (EFI_ERROR(Status)) {
    Print(u"lockFlash Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    return false;
  }
  return Written;
}

/// Reads the bank back and compares it with the image. With bit 0 of
/// ReduceFlashMask the OCM zone is not read back. A failed read is reported
/// and counts as a skipped read-back.
///
/// @return false when no buffer could be had or a byte differs.
bool VerifyBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data) {
  if ((ReduceFlashMask & REDUCE_FLASH_SKIP_OCM_READ_BACK) != 0 && Zone == ZONE_OCM) {
    return true;
  }

  PoolGuard<UINT8> ReadBack = PoolGuard<UINT8>::Allocate(Size);
  if (!ReadBack) {
    Print(u"Allocate readBack error cannot check falsh\n"_w);
    return false;
  }

  EFI_STATUS Status = pOrvFlashProtocol->ReadBankData(Ic, Bank, Zone, Size, ReadBack.Get());
  if (EFI_ERROR(Status)) {
    Print(u"ReadBankData Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    return true;
  }

  UINTN Offset = FindFirstDifference(ReadBack.Get(), Data, Size);
  if (Offset != Size) {
    Print(u"image read back compare fail at %x\n"_w, Hex32(Offset));
    return false;
  }
  return true;
}

/// Post-operation and hardware check of a verified bank, then for the OCM
/// zone the switch to that bank and the success line.
///
/// @return true when the bank was found good (and, for OCM, made active).
bool CheckAndActivateBank(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  EFI_STATUS Status = Flash->FlashPostOperation(Ic);
  if (EFI_ERROR(Status)) {
    Print(u"FlashPostOperation Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    return false;
  }

  // A forced update enters as "good"; the component leaves its verdict.
  UINT8 Check = (RUN_FLAGS & RUN_FLAG_FORCE_UPDATE) != 0 ? 1 : 0;
  Status = Flash->HardwareCheckBank(Ic, Bank, Zone, &Check);
  // A bank the hardware found bad is never made active, even when the call
  // itself succeeded: switching to it could leave the IC on a broken image.
  if (EFI_ERROR(Status) || Check == 0) {
    Print(u"HardwareCheckBank Ic %x, check %x, sta %x\n"_w, static_cast<UINT32>(Ic),
          static_cast<UINT32>(Check), Hex32(Status));
    return false;
  }

  if (Zone != ZONE_OCM) {
    return true;
  }

  Status = Flash->SetActiveBank(Ic, Bank);
  if (EFI_ERROR(Status)) {
    Print(u"SetActiveBank Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    return false;
  }

  // The switch is done; the version only decorates the line, so a failed
  // read shows 0 and does not change the result.
  UINT32 Version = 0;
  (void)Flash->GetIcVersion(Ic, Bank, &Version);
  Print(u"IC %x update success,runing section %x, ver %x\n"_w, static_cast<UINT32>(Ic),
        static_cast<UINT32>(Bank), Version);
  return true;
}

}  // namespace

EFI_STATUS ProgramBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  EFI_STATUS Status = Flash->FlashPreOperation(Ic);
  if (EFI_ERROR(Status)) {
    Print(u"FlashPreOperation Ic %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    return Status;
  }

  // From here on the pass is open and ICPostOperation closes it exactly once.
  bool Good = WriteBank(Ic, Bank, Zone, Size, Data) && VerifyBank(Ic, Bank, Zone, Size, Data) &&
              CheckAndActivateBank(Ic, Bank, Zone);

  Status = Flash->ICPostOperation(Ic);
  if (EFI_ERROR(Status)) {
    Print(u"ICPostOperation IC %x error %x\n"_w, static_cast<UINT32>(Ic), Hex32(Status));
    return Status;
  }
  return Good ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}
