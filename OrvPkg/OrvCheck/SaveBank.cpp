/** @file
  Saving the bank the checks of -w write, before the first write (see
  WriteTarget.h).
**/

#include "WriteTarget.h"

namespace {

enum class PROBE : UINT8 { READ, REFUSED, NO_MEMORY };

/// Reads Size bytes of the bank; on success the bytes replace *Bytes.
PROBE ProbeRead(const TARGET &Target, UINTN Size, PoolGuard<UINT8> *Bytes, EFI_STATUS *Status) {
  PoolGuard<UINT8> Buffer = PoolGuard<UINT8>::Allocate(Size);
  if (!Buffer) return PROBE::NO_MEMORY;
  *Status = pOrvFlashProtocol->ReadBankData(Target.Ic, Target.Bank, ZONE_OCM, Size, Buffer.Get());
  if (EFI_ERROR(*Status)) return PROBE::REFUSED;
  *Bytes = static_cast<PoolGuard<UINT8> &&>(Buffer);
  return PROBE::READ;
}

/// Reads the whole bank into Saved. The protocol does not tell a bank's
/// size, and an erase clears all of it: reads of doubling sizes from the
/// image's size find one the component refuses, then the gap is halved down
/// to the largest size it reads.
SAVE_FAILURE SaveBank(TARGET *Target) {
  EFI_STATUS Status = EFI_SUCCESS;
  UINTN Good = Target->Image.Size;
  PROBE Probe = ProbeRead(*Target, Good, &Target->Saved, &Status);
  if (Probe == PROBE::REFUSED) return {u"ReadBankData"_w, Status};
  UINTN Refused = 0;
  while (Probe != PROBE::NO_MEMORY && Refused == 0 && Good < BANK_PROBE_LIMIT) {
    UINTN Try = Good > BANK_PROBE_LIMIT / 2 ? BANK_PROBE_LIMIT : Good * 2;
    Probe = ProbeRead(*Target, Try, &Target->Saved, &Status);
    if (Probe == PROBE::READ) Good = Try;
    if (Probe == PROBE::REFUSED) Refused = Try;
  }
  while (Probe != PROBE::NO_MEMORY && Refused != 0 && Refused - Good > 1) {
    UINTN Try = Good + (Refused - Good) / 2;
    Probe = ProbeRead(*Target, Try, &Target->Saved, &Status);
    if (Probe == PROBE::READ) Good = Try;
    if (Probe == PROBE::REFUSED) Refused = Try;
  }
  if (Probe == PROBE::NO_MEMORY) return {u"AllocatePool"_w, EFI_OUT_OF_RESOURCES};
  // A component that reads any size gives no end: its bank is not written.
  if (Refused == 0) return {u"ReadBankData"_w, EFI_SUCCESS};
  Target->BankSize = Good;
  return {nullptr, EFI_SUCCESS};
}

}  // namespace

SAVE_FAILURE GetTargetImage(TARGET *Target) {
  UINT8 *Data = nullptr;
  EFI_STATUS Status = pOrvImageProtocol->GetImageData(OcmImage, &Target->Image.Size, &Data);
  Target->Image.Data = Data;
  if (EFI_ERROR(Status)) return {u"GetImageData"_w, Status};
  return {nullptr, EFI_SUCCESS};
}

SAVE_FAILURE SaveTarget(TARGET *Target) {
  FlashPassGuard Pass;
  EFI_STATUS Status = Pass.Open(pOrvFlashProtocol, Target->Ic);
  if (EFI_ERROR(Status)) return {u"FlashPreOperation"_w, Status};
  SAVE_FAILURE Failure = SaveBank(Target);
  if (Failure.Operation != nullptr) return Failure;
  const UINTN Size = Target->Image.Size;
  Target->OtherSaved = PoolGuard<UINT8>::Allocate(Size);
  if (!Target->OtherSaved) return {u"AllocatePool"_w, EFI_OUT_OF_RESOURCES};
  Status = pOrvFlashProtocol->ReadBankData(Target->Ic, Target->Other(), ZONE_OCM, Size,
                                           Target->OtherSaved.Get());
  if (EFI_ERROR(Status)) return {u"ReadBankData of the other bank"_w, Status};
  Status = Pass.Close();
  if (EFI_ERROR(Status)) return {u"ICPostOperation"_w, Status};
  return {nullptr, EFI_SUCCESS};
}
