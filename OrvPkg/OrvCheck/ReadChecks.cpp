/** @file
  The read-only checks of one IC: section, version, pass, read, check-active
  and bad-args. None of them calls UnlockFlash, EraseBank, WriteBankData,
  lockFlash, FlashPostOperation or SetActiveBank.
**/

#include "OrvCheck.h"

#include "../OrvUpdate/Update/CompareBytes.h"
#include "CheckFlash.h"

namespace {

/// GetActiveSection succeeds, gives 0, 1 or leaves the preset 255, and gives
/// the same on a second call. Returns whether the section is known.
bool CheckSection(UINT8 Ic, CHECK_REPORT &Report, UINT8 *Section) {
  CHECK Check(Report, u"section"_w, Ic);
  UINT8 Seen[2] = {SECTION_INVALID, SECTION_INVALID};
  for (UINT8 &Value : Seen) {
    EFI_STATUS Status = pOrvFlashProtocol->GetActiveSection(Ic, &Value);
    if (EFI_ERROR(Status)) return Check.Fail(u"GetActiveSection error %x"_w, Hex32(Status));
  }
  if (Seen[0] > 1 && Seen[0] != SECTION_INVALID) {
    return Check.Fail(u"section %x"_w, static_cast<UINT32>(Seen[0]));
  }
  if (Seen[1] != Seen[0]) {
    return Check.Fail(u"section %x, then %x"_w, static_cast<UINT32>(Seen[0]),
                      static_cast<UINT32>(Seen[1]));
  }
  *Section = Seen[0];
  return Check.Done();
}

/// GetIcVersion succeeds for sections 0 and 1 and gives the same on a second
/// call.
void CheckVersions(UINT8 Ic, CHECK_REPORT &Report) {
  CHECK Check(Report, u"version"_w, Ic);
  UINT32 Seen[2][2] = {};
  for (UINT32 *Round : Seen) {
    for (UINT8 Section = 0; Section < 2; Section++) {
      EFI_STATUS Status = pOrvFlashProtocol->GetIcVersion(Ic, Section, &Round[Section]);
      if (EFI_ERROR(Status)) {
        Check.Fail(u"GetIcVersion of section %x error %x"_w, static_cast<UINT32>(Section),
                   Hex32(Status));
        return;
      }
    }
  }
  for (UINT8 Section = 0; Section < 2 && Check.Ok(); Section++) {
    if (Seen[1][Section] != Seen[0][Section]) {
      Check.Fail(u"section %x version %x, then %x"_w, static_cast<UINT32>(Section),
                 Seen[0][Section], Seen[1][Section]);
    }
  }
  (void)Check.Done();
}

/// FlashPreOperation then ICPostOperation succeed, twice in a row.
void CheckPass(UINT8 Ic, CHECK_REPORT &Report) {
  CHECK Check(Report, u"pass"_w, Ic);
  for (UINT8 Round = 0; Round < 2 && Check.Ok(); Round++) {
    InPass(Check, Ic, [] {});
  }
  (void)Check.Done();
}

/// A bank the read check reads twice, as many bytes as its zone image has.
struct READ_JOB {
  UINT8 Bank;
  UINT8 Zone;
  ORV_IMAGE_HANDLE Image;
};

void ReadTwice(CHECK &Check, UINT8 Ic, const READ_JOB &Job) {
  IMAGE_BYTES Image{};
  PoolGuard<UINT8> First;
  PoolGuard<UINT8> Second;
  if (!GetImageBytes(Check, Job.Image, &Image) ||
      !ReadBank(Check, Ic, Job.Bank, Job.Zone, Image.Size, &First) ||
      !ReadBank(Check, Ic, Job.Bank, Job.Zone, Image.Size, &Second)) {
    return;
  }
  UINTN Offset = FindFirstDifference(First.Get(), Second.Get(), Image.Size);
  if (Offset != Image.Size) {
    Check.Fail(u"bank %x zone %x reads %02x, then %02x at %lx"_w, static_cast<UINT32>(Job.Bank),
               static_cast<UINT32>(Job.Zone), static_cast<UINT32>(First[Offset]),
               static_cast<UINT32>(Second[Offset]), static_cast<UINT64>(Offset));
  }
}

/// In a pass, the active OCM bank and both customer banks read the same
/// bytes twice.
void CheckReads(const IC_FACTS &Facts, CHECK_REPORT &Report) {
  CHECK Check(Report, u"read"_w, Facts.Ic);
  READ_JOB Jobs[3] = {};
  UINTN Count = 0;
  if (OcmImage != 0 && Facts.HasRunningBank()) {
    Jobs[Count++] = {Facts.Section, ZONE_OCM, OcmImage};
  }
  for (UINT8 Bank = 0; CustomerImage != 0 && Bank < 2; Bank++) {
    Jobs[Count++] = {Bank, ZONE_CUSTOMER, CustomerImage};
  }
  if (Count == 0) {
    return Check.Skip(OcmImage == 0 ? u"no zone image"_w : Facts.NoRunningBank());
  }
  InPass(Check, Facts.Ic, [&] {
    for (UINTN Index = 0; Index < Count && Check.Ok(); Index++) {
      ReadTwice(Check, Facts.Ic, Jobs[Index]);
    }
  });
  (void)Check.Done();
}

/// In a pass, HardwareCheckBank finds the running OCM bank good.
void CheckRunningBank(const IC_FACTS &Facts, CHECK_REPORT &Report) {
  CHECK Check(Report, u"check-active"_w, Facts.Ic);
  if (!Facts.HasRunningBank()) return Check.Skip(Facts.NoRunningBank());
  InPass(Check, Facts.Ic, [&] { (void)ExpectCheckedGood(Check, Facts.Ic, Facts.Section); });
  (void)Check.Done();
}

enum class READ_OPERATION : UINT8 { SECTION, VERSION, READ, CHECK };

/// A read-type call with an argument out of range: the IC index one past
/// the last, bank (section) 2, zone 0 or zone 3.
struct BAD_CALL {
  READ_OPERATION Operation;
  bool PastLastIc;
  UINT8 Bank;
  UINT8 Zone;
  const char16_t *Seen;  ///< the FAIL text; takes the IC, bank and zone
};

constexpr BAD_CALL BAD_CALLS[] = {
    {READ_OPERATION::SECTION, true, 0, ZONE_OCM, u"GetActiveSection of IC %x succeeded"},
    {READ_OPERATION::VERSION, true, 0, ZONE_OCM, u"GetIcVersion of IC %x succeeded"},
    {READ_OPERATION::VERSION, false, 2, ZONE_OCM, u"GetIcVersion of IC %x section %x succeeded"},
    {READ_OPERATION::READ, true, 0, ZONE_OCM, u"ReadBankData of IC %x succeeded"},
    {READ_OPERATION::READ, false, 2, ZONE_OCM, u"ReadBankData of IC %x bank %x succeeded"},
    {READ_OPERATION::READ, false, 0, 0, u"ReadBankData of IC %x bank %x zone %x succeeded"},
    {READ_OPERATION::READ, false, 0, 3, u"ReadBankData of IC %x bank %x zone %x succeeded"},
    {READ_OPERATION::CHECK, true, 0, ZONE_OCM, u"HardwareCheckBank of IC %x succeeded"},
    {READ_OPERATION::CHECK, false, 2, ZONE_OCM, u"HardwareCheckBank of IC %x bank %x succeeded"},
    {READ_OPERATION::CHECK, false, 0, 0, u"HardwareCheckBank of IC %x bank %x zone %x succeeded"},
    {READ_OPERATION::CHECK, false, 0, 3, u"HardwareCheckBank of IC %x bank %x zone %x succeeded"},
};

EFI_STATUS CallWithBadArgument(const BAD_CALL &Call, UINT8 Ic) {
  ORV_FLASH_PROTOCOL *Flash = pOrvFlashProtocol;
  UINT8 Section = SECTION_INVALID;
  UINT32 Version = 0;
  UINT8 Buffer[16] = {};
  UINT8 Value = 0;
  switch (Call.Operation) {
    case READ_OPERATION::SECTION:
      return Flash->GetActiveSection(Ic, &Section);
    case READ_OPERATION::VERSION:
      return Flash->GetIcVersion(Ic, Call.Bank, &Version);
    case READ_OPERATION::READ:
      return Flash->ReadBankData(Ic, Call.Bank, Call.Zone, sizeof(Buffer), Buffer);
    case READ_OPERATION::CHECK:
      break;
  }
  return Flash->HardwareCheckBank(Ic, Call.Bank, Call.Zone, &Value);
}

/// In a pass, every read-type operation refuses an IC, bank or zone that
/// does not exist.
void CheckBadArguments(const IC_FACTS &Facts, CHECK_REPORT &Report) {
  CHECK Check(Report, u"bad-args"_w, Facts.Ic);
  InPass(Check, Facts.Ic, [&] {
    for (const BAD_CALL &Call : BAD_CALLS) {
      UINT8 Ic = Call.PastLastIc ? Facts.PastLastIc : Facts.Ic;
      if (!EFI_ERROR(CallWithBadArgument(Call, Ic))) {
        Check.Fail(AsChar16(Call.Seen), static_cast<UINT32>(Ic), static_cast<UINT32>(Call.Bank),
                   static_cast<UINT32>(Call.Zone));
        return;
      }
    }
  });
  (void)Check.Done();
}

}  // namespace

IC_FACTS CheckIcReading(UINT8 Ic, const IC_COUNTS &Counts, CHECK_REPORT &Report) {
  IC_FACTS Facts{Ic, Counts.PastLastIc, false, SECTION_INVALID};
  Facts.SectionKnown = CheckSection(Ic, Report, &Facts.Section);
  CheckVersions(Ic, Report);
  CheckPass(Ic, Report);
  CheckReads(Facts, Report);
  CheckRunningBank(Facts, Report);
  CheckBadArguments(Facts, Report);
  return Facts;
}
