/** @file
  The checks of the whole board: count and address.
**/

#include "OrvCheck.h"

#include "../OrvUpdate/App/RunState.h"

namespace {

/// IcInit succeeds with 1 to 255 ICs; after PathDeinit / PathInit a second
/// IcInit gives the same count.
IC_COUNTS CheckCount(BoundRunGuard *Bound, CHECK_REPORT &Report) {
  CHECK Check(Report, u"count"_w, WHOLE_BOARD);
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  UINT8 First = 0;
  EFI_STATUS Status = Flash->IcInit(pOrvPathProtocolInterface, &First);
  if (EFI_ERROR(Status)) {
    Check.Fail(u"IcInit error %x"_w, Hex32(Status));
    return {0, 0};
  }
  if (First == 0) {
    Check.Fail(u"IcInit gave 0 ICs"_w);
    return {0, 0};
  }
  Status = Bound->RestartPath();
  if (EFI_ERROR(Status)) {
    Check.Fail(u"PathInit after PathDeinit error %x"_w, Hex32(Status));
    return {0, 0};
  }
  UINT8 Again = 0;
  Status = Flash->IcInit(pOrvPathProtocolInterface, &Again);
  if (EFI_ERROR(Status)) {
    Check.Fail(u"second IcInit error %x"_w, Hex32(Status));
    return {0, 0};
  }
  if (Again != First) {
    Check.Fail(u"IcInit gave %x ICs, then %x"_w, static_cast<UINT32>(First),
               static_cast<UINT32>(Again));
  }
  (void)Check.Done();
  return Again < First ? IC_COUNTS{Again, First} : IC_COUNTS{First, Again};
}

/// Every address GetIcAddress gives is nonzero, distinct from the others and
/// the same on a second call.
void CheckAddresses(UINT8 IcCount, CHECK_REPORT &Report) {
  CHECK Check(Report, u"address"_w, WHOLE_BOARD);
  ORV_FLASH_GET_IC_ADDRESS GetIcAddress = pOrvFlashProtocol->GetIcAddress;
  if (GetIcAddress == nullptr) return Check.Skip(u"no GetIcAddress"_w);
  UINT8 First[256];
  for (UINT8 Ic = 0; Ic < IcCount; Ic++) {
    First[Ic] = GetIcAddress(Ic, 0);
  }
  for (UINT8 Ic = 0; Ic < IcCount && Check.Ok(); Ic++) {
    UINT8 Again = GetIcAddress(Ic, 0);
    if (First[Ic] == 0) {
      Check.Fail(u"IC %x answers 00"_w, static_cast<UINT32>(Ic));
    } else if (Again != First[Ic]) {
      Check.Fail(u"IC %x answered %02x, then %02x"_w, static_cast<UINT32>(Ic),
                 static_cast<UINT32>(First[Ic]), static_cast<UINT32>(Again));
    }
    for (UINT8 Other = 0; Other < Ic && Check.Ok(); Other++) {
      if (First[Other] == First[Ic]) {
        Check.Fail(u"IC %x and IC %x both answer %02x"_w, static_cast<UINT32>(Other),
                   static_cast<UINT32>(Ic), static_cast<UINT32>(First[Ic]));
      }
    }
  }
  (void)Check.Done();
}

}  // namespace

IC_COUNTS CheckBoard(BoundRunGuard *Bound, CHECK_REPORT &Report) {
  IC_COUNTS Counts = CheckCount(Bound, Report);
  if (Counts.Checked != 0) CheckAddresses(Counts.Checked, Report);
  return Counts;
}
