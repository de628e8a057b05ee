/** @file
  Component calls of the checks, reported on the check's line (see
  CheckFlash.h).
**/

#include "CheckFlash.h"

#include "../OrvUpdate/Update/CompareBytes.h"

EFI_STATUS HardwareCheck(UINT8 Ic, UINT8 Bank, UINT8 *Value) {
  *Value = 0;
  return pOrvFlashProtocol->HardwareCheckBank(Ic, Bank, ZONE_OCM, Value);
}

bool GetImageBytes(CHECK &Check, ORV_IMAGE_HANDLE Image, IMAGE_BYTES *Bytes) {
  UINT8 *Data = nullptr;
  UINTN Size = 0;
  EFI_STATUS Status = pOrvImageProtocol->GetImageData(Image, &Size, &Data);
  if (EFI_ERROR(Status)) return Check.Fail(u"GetImageData error %x"_w, Hex32(Status));
  *Bytes = {Data, Size};
  return true;
}

bool ReadBank(CHECK &Check, UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, PoolGuard<UINT8> *Bytes) {
  *Bytes = PoolGuard<UINT8>::Allocate(Size != 0 ? Size : 1);
  if (!*Bytes) return Check.Fail(u"no memory for %lx bytes"_w, static_cast<UINT64>(Size));
  EFI_STATUS Status = pOrvFlashProtocol->ReadBankData(Ic, Bank, Zone, Size, Bytes->Get());
  if (EFI_ERROR(Status)) {
    return Check.Fail(u"ReadBankData of bank %x zone %x error %x"_w, static_cast<UINT32>(Bank),
                      static_cast<UINT32>(Zone), Hex32(Status));
  }
  return true;
}

bool ExpectBytes(CHECK &Check, UINT8 Bank, const UINT8 *Got, const UINT8 *Want, UINTN Size) {
  UINTN Offset = FindFirstDifference(Got, Want, Size);
  if (Offset == Size) return true;
  return Check.Fail(u"bank %x differs at %lx: %02x, expected %02x"_w, static_cast<UINT32>(Bank),
                    static_cast<UINT64>(Offset), static_cast<UINT32>(Got[Offset]),
                    static_cast<UINT32>(Want[Offset]));
}

bool ExpectCheckedGood(CHECK &Check, UINT8 Ic, UINT8 Bank) {
  UINT8 Value = 0;
  EFI_STATUS Status = HardwareCheck(Ic, Bank, &Value);
  return ExpectGoodCheck(Check, Bank, Status, Value);
}

bool ExpectGoodCheck(CHECK &Check, UINT8 Bank, EFI_STATUS Status, UINT8 Value) {
  if (EFI_ERROR(Status)) {
    return Check.Fail(u"HardwareCheckBank of bank %x error %x, check %x"_w,
                      static_cast<UINT32>(Bank), Hex32(Status), static_cast<UINT32>(Value));
  }
  if (Value == 0) {
    return Check.Fail(u"HardwareCheckBank of bank %x left check 0"_w, static_cast<UINT32>(Bank));
  }
  return true;
}

bool OpenPass(FlashPassGuard &Pass, UINT8 Ic, CHECK &Check) {
  EFI_STATUS Status = Pass.Open(pOrvFlashProtocol, Ic);
  if (EFI_ERROR(Status)) return Check.Fail(u"FlashPreOperation error %x"_w, Hex32(Status));
  return true;
}

bool ClosePass(FlashPassGuard &Pass, CHECK &Check) {
  EFI_STATUS Status = Pass.Close();
  if (EFI_ERROR(Status)) return Check.Fail(u"ICPostOperation error %x"_w, Hex32(Status));
  return true;
}
