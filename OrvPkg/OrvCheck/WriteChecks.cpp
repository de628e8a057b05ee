/** @file
  The checks that write (-w), on the OCM bank an update would write (the
  inactive one; bank 0 when the IC has no active section), with the OCM zone
  image. The whole bank is read first and written back at the end (restore),
  whatever failed before. Each step runs in its own FlashPreOperation /
  ICPostOperation pair, lockFlash follows every UnlockFlash, a written bank
  is judged as the update judges it (FlashPostOperation, then
  HardwareCheckBank, in the pass of the write), and the running bank is only
  ever written with the very bytes it holds.
**/

#include "OrvCheck.h"

#include "../OrvUpdate/Update/CompareBytes.h"
#include "WriteTarget.h"

namespace {

bool Erase(CHECK &Check, const TARGET &Target) {
  EFI_STATUS Status = pOrvFlashProtocol->EraseBank(Target.Ic, Target.Bank, ZONE_OCM);
  if (!EFI_ERROR(Status)) return true;
  return Check.Fail(u"EraseBank of bank %x error %x"_w, static_cast<UINT32>(Target.Bank),
                    Hex32(Status));
}

bool Write(CHECK &Check, const TARGET &Target, const UINT8 *Data, UINTN Size) {
  EFI_STATUS Status =
      pOrvFlashProtocol->WriteBankData(Target.Ic, Target.Bank, ZONE_OCM, Size, Data);
  if (!EFI_ERROR(Status)) return true;
  return Check.Fail(u"WriteBankData of bank %x error %x"_w, static_cast<UINT32>(Target.Bank),
                    Hex32(Status));
}

}  // namespace

bool Program(CHECK &Check, const TARGET &Target, const UINT8 *Data, UINTN Size) {
  return WithUnlockedFlash(
      Check, Target.Ic, [&] { return Erase(Check, Target) && Write(Check, Target, Data, Size); });
}

VERDICT Judge(const TARGET &Target) {
  VERDICT Verdict{pOrvFlashProtocol->FlashPostOperation(Target.Ic), EFI_NOT_STARTED, 0};
  if (!EFI_ERROR(Verdict.PostStatus)) {
    Verdict.CheckStatus = HardwareCheck(Target.Ic, Target.Bank, &Verdict.Value);
  }
  return Verdict;
}

bool ExpectRejected(CHECK &Check, const TARGET &Target, const VERDICT &Verdict,
                    const CHAR16 *What) {
  if (!Verdict.Accepted()) return true;
  return Check.Fail(
      u"FlashPostOperation and HardwareCheckBank of bank %x holding %s succeeded with check %x"_w,
      static_cast<UINT32>(Target.Bank), What, static_cast<UINT32>(Verdict.Value));
}

namespace {

/// After lockFlash, EraseBank of the bank fails.
void CheckLock(const TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"lock"_w, Target.Ic);
  InPass(Check, Target.Ic, [&] {
    if (!WithUnlockedFlash(Check, Target.Ic, [] { return true; })) return;
    EFI_STATUS Status = pOrvFlashProtocol->EraseBank(Target.Ic, Target.Bank, ZONE_OCM);
    if (!EFI_ERROR(Status)) {
      Check.Fail(u"EraseBank of bank %x succeeded after lockFlash"_w,
                 static_cast<UINT32>(Target.Bank));
    }
  });
  (void)Check.Done();
}

/// Every byte of the bank has one erased value, FF or 00.
bool ExpectErased(CHECK &Check, const UINT8 *Bytes, UINTN Size) {
  const UINT8 Erased = Bytes[0];
  if (Erased != 0xFF && Erased != 0x00) {
    return Check.Fail(u"byte 0 is %02x after EraseBank"_w, static_cast<UINT32>(Erased));
  }
  for (UINTN Offset = 1; Offset < Size; Offset++) {
    if (Bytes[Offset] != Erased) {
      return Check.Fail(u"byte %lx is %02x after EraseBank, byte 0 is %02x"_w,
                        static_cast<UINT64>(Offset), static_cast<UINT32>(Bytes[Offset]),
                        static_cast<UINT32>(Erased));
    }
  }
  return true;
}

/// After EraseBank the whole bank reads erased. The image is written first,
/// so an erase that does nothing cannot pass on a bank that was blank. The
/// erased bank is then judged as a written one, for check-erased (with the
/// read-back reduced, an update judges a bank whose write did nothing).
void CheckErase(TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"erase"_w, Target.Ic);
  InPass(Check, Target.Ic, [&] {
    const IMAGE_BYTES &Image = Target.Image;
    PoolGuard<UINT8> Bank;
    if (WithUnlockedFlash(Check, Target.Ic,
                          [&] {
                            return Erase(Check, Target) &&
                                   Write(Check, Target, Image.Data, Image.Size) &&
                                   Erase(Check, Target);
                          }) &&
        ReadBank(Check, Target.Ic, Target.Bank, ZONE_OCM, Target.BankSize, &Bank) &&
        ExpectErased(Check, Bank.Get(), Target.BankSize)) {
      Target.ErasedVerdict = Judge(Target);
    }
  });
  Target.Erased = Check.Done();
}

/// The erased bank, judged as a written one, is not accepted:
/// FlashPostOperation or HardwareCheckBank fails, or the value is left 0.
void CheckErasedBank(const TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"check-erased"_w, Target.Ic);
  if (!Target.Erased) return Check.Skip(u"the bank was not erased"_w);
  (void)ExpectRejected(Check, Target, Target.ErasedVerdict, u"no image"_w);
  (void)Check.Done();
}

/// After erase and WriteBankData of the image, the bank reads back as the
/// image; the image is then judged as the update judges it, for check-good.
void CheckWrite(TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"write"_w, Target.Ic);
  InPass(Check, Target.Ic, [&] {
    const IMAGE_BYTES &Image = Target.Image;
    PoolGuard<UINT8> Bank;
    if (!Program(Check, Target, Image.Data, Image.Size) ||
        !ReadBank(Check, Target.Ic, Target.Bank, ZONE_OCM, Image.Size, &Bank) ||
        !ExpectBytes(Check, Target.Bank, Bank.Get(), Image.Data, Image.Size)) {
      return;
    }
    Target.WrittenVerdict = Judge(Target);
  });
  Target.Written = Check.Done();
}

/// The other OCM bank (the running one) reads as before, and the active
/// section is unchanged.
void CheckIsolation(TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"isolation"_w, Target.Ic);
  const UINTN Size = Target.Image.Size;
  InPass(Check, Target.Ic, [&] {
    PoolGuard<UINT8> Other;
    if (!ReadBank(Check, Target.Ic, Target.Other(), ZONE_OCM, Size, &Other)) return;
    const UINT8 *Was = Target.OtherSaved.Get();
    UINTN Offset = FindFirstDifference(Other.Get(), Was, Size);
    if (Offset != Size) {
      Check.Fail(u"bank %x changed at %lx: %02x, was %02x"_w, static_cast<UINT32>(Target.Other()),
                 static_cast<UINT64>(Offset), static_cast<UINT32>(Other[Offset]),
                 static_cast<UINT32>(Was[Offset]));
    }
  });
  UINT8 Section = SECTION_INVALID;
  EFI_STATUS Status = pOrvFlashProtocol->GetActiveSection(Target.Ic, &Section);
  if (EFI_ERROR(Status)) {
    Check.Fail(u"GetActiveSection error %x"_w, Hex32(Status));
  } else if (Section != Target.Section) {
    Check.Fail(u"active section %x, was %x"_w, static_cast<UINT32>(Section),
               static_cast<UINT32>(Target.Section));
  }
  Target.Isolated = Check.Done();
}

/// HardwareCheckBank of the written image succeeds with a nonzero value
/// (after FlashPostOperation, which must succeed too).
void CheckGoodImage(TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"check-good"_w, Target.Ic);
  if (!Target.Written) return Check.Skip(u"the image was not written"_w);
  const VERDICT &Verdict = Target.WrittenVerdict;
  if (EFI_ERROR(Verdict.PostStatus)) {
    Check.Fail(u"FlashPostOperation error %x"_w, Hex32(Verdict.PostStatus));
  } else {
    (void)ExpectGoodCheck(Check, Target.Bank, Verdict.CheckStatus, Verdict.Value);
  }
  Target.CheckedGood = Check.Done();
}

/// The image written with one byte changed in its middle (as an image
/// damaged before it reached the flash): FlashPostOperation or
/// HardwareCheckBank fails, or the check value is left 0.
void CheckCorruptImage(const TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"check-corrupt"_w, Target.Ic);
  const IMAGE_BYTES &Image = Target.Image;
  PoolGuard<UINT8> Corrupt = PoolGuard<UINT8>::Allocate(Image.Size);
  if (!Corrupt) {
    Check.Fail(u"no memory for %lx bytes"_w, static_cast<UINT64>(Image.Size));
    return;
  }
  gOrvBootServices->CopyMem(Corrupt.Get(), const_cast<UINT8 *>(Image.Data), Image.Size);
  Corrupt[Image.Size / 2] ^= 0x01;
  InPass(Check, Target.Ic, [&] {
    if (Program(Check, Target, Corrupt.Get(), Image.Size)) {
      (void)ExpectRejected(Check, Target, Judge(Target), u"a corrupted image"_w);
    }
  });
  (void)Check.Done();
}

/// WriteBankData of the running bank with the very bytes it holds fails.
/// (Programming a byte with the value it holds changes nothing on flash.)
void CheckRunningBankRefused(const TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"active-write-refused"_w, Target.Ic);
  if (Target.Section > 1) return Check.Skip(u"no active section"_w);
  const UINTN Size = Target.Image.Size;
  InPass(Check, Target.Ic, [&] {
    PoolGuard<UINT8> Held;
    if (!ReadBank(Check, Target.Ic, Target.Section, ZONE_OCM, Size, &Held)) return;
    (void)WithUnlockedFlash(Check, Target.Ic, [&] {
      EFI_STATUS Status =
          pOrvFlashProtocol->WriteBankData(Target.Ic, Target.Section, ZONE_OCM, Size, Held.Get());
      if (EFI_ERROR(Status)) return true;
      return Check.Fail(u"WriteBankData of the running bank %x succeeded"_w,
                        static_cast<UINT32>(Target.Section));
    });
  });
  (void)Check.Done();
}

/// The bank is written back as it was and reads back so.
void CheckRestore(const TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"restore"_w, Target.Ic);
  if (Target.Stranded) {
    Check.Fail(u"the IC runs bank %x, which is not put back"_w, static_cast<UINT32>(Target.Bank));
    return;
  }
  InPass(Check, Target.Ic, [&] {
    PoolGuard<UINT8> Bank;
    if (Program(Check, Target, Target.Saved.Get(), Target.BankSize) &&
        ReadBank(Check, Target.Ic, Target.Bank, ZONE_OCM, Target.BankSize, &Bank)) {
      (void)ExpectBytes(Check, Target.Bank, Bank.Get(), Target.Saved.Get(), Target.BankSize);
    }
  });
  (void)Check.Done();
}

/// SetActiveBank in a pass of its own, as the update switches.
bool SwitchTo(CHECK &Check, UINT8 Ic, UINT8 Bank) {
  InPass(Check, Ic, [&] {
    EFI_STATUS Status = pOrvFlashProtocol->SetActiveBank(Ic, Bank);
    if (EFI_ERROR(Status)) {
      Check.Fail(u"SetActiveBank(%x) error %x"_w, static_cast<UINT32>(Bank), Hex32(Status));
    }
  });
  return Check.Ok();
}

/// GetActiveSection gives Expected after SetActiveBank(Expected).
bool ExpectSection(CHECK &Check, UINT8 Ic, UINT8 Expected) {
  UINT8 Section = SECTION_INVALID;
  EFI_STATUS Status = pOrvFlashProtocol->GetActiveSection(Ic, &Section);
  if (EFI_ERROR(Status)) return Check.Fail(u"GetActiveSection error %x"_w, Hex32(Status));
  if (Section == Expected) return true;
  return Check.Fail(u"section %x after SetActiveBank(%x)"_w, static_cast<UINT32>(Section),
                    static_cast<UINT32>(Expected));
}

/// GetIcVersion of the bank gives Want.
bool ExpectVersion(CHECK &Check, UINT8 Ic, UINT8 Bank, UINT32 Want) {
  UINT32 Version = 0;
  EFI_STATUS Status = pOrvFlashProtocol->GetIcVersion(Ic, Bank, &Version);
  if (EFI_ERROR(Status)) return Check.Fail(u"GetIcVersion error %x"_w, Hex32(Status));
  if (Version == Want) return true;
  return Check.Fail(u"version %x after SetActiveBank(%x), running bank had %x"_w, Version,
                    static_cast<UINT32>(Bank), Want);
}

/// In one pass: the running bank's bytes into the bank the checks write,
/// judged as the update judges it. Copy receives them.
bool WriteRunningCopy(CHECK &Check, const TARGET &Target, PoolGuard<UINT8> *Copy) {
  InPass(Check, Target.Ic, [&] {
    if (!ReadBank(Check, Target.Ic, Target.Section, ZONE_OCM, Target.BankSize, Copy) ||
        !Program(Check, Target, Copy->Get(), Target.BankSize)) {
      return;
    }
    const VERDICT Verdict = Judge(Target);
    if (EFI_ERROR(Verdict.PostStatus)) {
      Check.Fail(u"FlashPostOperation error %x"_w, Hex32(Verdict.PostStatus));
    } else {
      (void)ExpectGoodCheck(Check, Target.Bank, Verdict.CheckStatus, Verdict.Value);
    }
  });
  return Check.Ok();
}

/// -s: the running bank is copied into the written bank, SetActiveBank to
/// it, which GetActiveSection and GetIcVersion then report; then back to the
/// old section, whatever was seen, which GetActiveSection reports again.
/// Only a copy of what the IC runs is ever switched to: a floor that rises
/// to the running image stays where it is, so a diagnostic run never
/// changes what the board may run. With a flash policy, a copy whose
/// counter is not the IC's floor is not switched to.
void CheckSwitch(TARGET &Target, CHECK_REPORT &Report) {
  CHECK Check(Report, u"switch"_w, Target.Ic);
  if (Target.Section > 1) return Check.Skip(u"no active section to switch back to"_w);
  if (!Target.CheckedGood) return Check.Skip(u"the written bank was not checked good"_w);
  if (!Target.Isolated) return Check.Skip(u"the running bank was changed: it is not copied"_w);
  UINT32 Running = 0;
  EFI_STATUS Status = pOrvFlashProtocol->GetIcVersion(Target.Ic, Target.Section, &Running);
  if (EFI_ERROR(Status)) return (void)Check.Fail(u"GetIcVersion error %x"_w, Hex32(Status));
  PoolGuard<UINT8> Copy;
  if (!WriteRunningCopy(Check, Target, &Copy)) return;
  if (!SwitchKeepsFloor(Check, Target, Copy.Get())) return;
  if (SwitchTo(Check, Target.Ic, Target.Bank)) {
    (void)(ExpectSection(Check, Target.Ic, Target.Bank) &&
           ExpectVersion(Check, Target.Ic, Target.Bank, Running));
  }
  // Back to the old section whatever was seen: the checks after this one
  // overwrite the bank just switched to.
  UINT8 Section = SECTION_INVALID;
  Status = pOrvFlashProtocol->GetActiveSection(Target.Ic, &Section);
  if (EFI_ERROR(Status) || Section != Target.Section) {
    (void)(SwitchTo(Check, Target.Ic, Target.Section) &&
           ExpectSection(Check, Target.Ic, Target.Section));
    Status = pOrvFlashProtocol->GetActiveSection(Target.Ic, &Section);
    Target.Stranded = EFI_ERROR(Status) || Section != Target.Section;
  }
  (void)Check.Done();
}

/// The write checks in order; restore, always last, is not among them.
struct WRITE_CHECK_ID {
  const char16_t *Id;
  bool OnlyWithSwitch;
};

constexpr WRITE_CHECK_ID WRITE_CHECK_IDS[] = {
    {u"lock", false},  {u"erase", false},         {u"check-erased", false},
    {u"write", false}, {u"isolation", false},     {u"check-good", false},
    {u"switch", true}, {u"check-corrupt", false}, {u"active-write-refused", false},
};

void SkipWriteChecks(CHECK_REPORT &Report, UINT8 Ic, const WRITE_OPTIONS &Options,
                     const CHAR16 *Why) {
  for (const WRITE_CHECK_ID &Entry : WRITE_CHECK_IDS) {
    if (Options.Switch || !Entry.OnlyWithSwitch) CHECK(Report, AsChar16(Entry.Id), Ic).Skip(Why);
  }
  for (const char16_t *Id : SECURITY_CHECK_IDS) {
    if (Options.Security) CHECK(Report, AsChar16(Id), Ic).Skip(Why);
  }
}

/// Nothing is written when the bank could not be read first: the other
/// checks are skipped and restore fails, so the run does not pass.
void ReportNotSaved(CHECK_REPORT &Report, UINT8 Ic, const WRITE_OPTIONS &Options,
                    const SAVE_FAILURE &Failure) {
  SkipWriteChecks(Report, Ic, Options, u"the bank could not be read first"_w);
  CHECK Check(Report, u"restore"_w, Ic);
  if (Failure.Status == EFI_SUCCESS) {
    Check.Fail(u"nothing was written: ReadBankData refuses no size up to %lx bytes"_w,
               static_cast<UINT64>(BANK_PROBE_LIMIT));
  } else {
    Check.Fail(u"nothing was written: %s error %x"_w, Failure.Operation, Hex32(Failure.Status));
  }
}

/// The checks on a saved bank, restore last.
void RunWriteChecks(TARGET &Target, const WRITE_OPTIONS &Options, CHECK_REPORT &Report) {
  CheckLock(Target, Report);
  CheckErase(Target, Report);
  CheckErasedBank(Target, Report);
  CheckWrite(Target, Report);
  CheckIsolation(Target, Report);
  CheckGoodImage(Target, Report);
  if (Options.Switch) CheckSwitch(Target, Report);
  if (Target.Stranded) {
    // Never write the bank the IC runs from.
    const UINTN Count = Options.Security ? 5 : 2;
    const char16_t *const Ids[] = {u"check-corrupt", u"active-write-refused",
                                   SECURITY_CHECK_IDS[0], SECURITY_CHECK_IDS[1],
                                   SECURITY_CHECK_IDS[2]};
    for (UINTN I = 0; I < Count; I++) {
      CHECK(Report, AsChar16(Ids[I]), Target.Ic)
          .Skip(u"the IC runs bank %x"_w, static_cast<UINT32>(Target.Bank));
    }
  } else {
    CheckCorruptImage(Target, Report);
    if (Options.Security) CheckWhatIcRuns(Target, Options.ImageHandle, Report);
    CheckRunningBankRefused(Target, Report);
  }
  CheckRestore(Target, Report);
}

}  // namespace

void CheckIcWriting(const IC_FACTS &Facts, const WRITE_OPTIONS &Options, CHECK_REPORT &Report) {
  TARGET Target{};
  Target.Ic = Facts.Ic;
  Target.Section = Facts.Section;
  // The bank an update would write: the inactive one, bank 0 without a section.
  Target.Bank = Facts.Section <= 1 ? static_cast<UINT8>(Facts.Section ^ 1) : 0;
  const CHAR16 *Why = !Facts.SectionKnown ? Facts.NoRunningBank()
                      : OcmImage == 0     ? u"no OCM image"_w
                                          : nullptr;
  SAVE_FAILURE Failure = {nullptr, EFI_SUCCESS};
  if (Why == nullptr) Failure = GetTargetImage(&Target);
  if (Why == nullptr && Failure.Operation == nullptr && Target.Image.Size == 0) {
    Why = u"the OCM image is empty"_w;
  }
  if (Why != nullptr) {
    SkipWriteChecks(Report, Facts.Ic, Options, Why);
    return CHECK(Report, u"restore"_w, Facts.Ic).Skip(u"nothing was written"_w);
  }
  if (Failure.Operation == nullptr) Failure = SaveTarget(&Target);
  if (Failure.Operation != nullptr) return ReportNotSaved(Report, Facts.Ic, Options, Failure);
  RunWriteChecks(Target, Options, Report);
}
