/** @file
  One capsule: checked whole first (a capsule with any fault is one line and
  nothing is done with it), then each payload item goes to every FMP image
  it addresses: CheckImage, then SetImage with its progress shown (a line
  per 10 percent), then the image's version and last attempt status read
  back into one outcome line per item and image, and the capsule result
  variable written.

  SetImage is called even when CheckImage refuses the image: the FMP
  instance repeats every check before it erases anything and refuses the
  image itself, and only SetImage records the attempt and its reason (the
  last attempt status that the ESRT and operating-system tools report).
**/

#include "OrvCapsule.h"

namespace {

/// The item and image SetImage is working on, and the progress shown so far
/// (SetImage's callback has no context of its own).
struct PROGRESS_LINE {
  const CHAR16 *Name;
  UINT32 Item;
  UINT32 Instance;
  UINTN Shown;
};
constinit PROGRESS_LINE gProgress = {nullptr, 0, 0, 0};

/// Shows the progress in steps of 10 percent, one line each: the driver
/// may print lines of its own while it works.
EFI_STATUS EFIAPI ShowProgress(UINTN Completion) {
  if (Completion > 100) Completion = 100;
  if (Completion / 10 > gProgress.Shown / 10 || (Completion == 100 && gProgress.Shown != 100)) {
    Print(u"%s item %d instance %d: %d%%\n"_w, gProgress.Name, gProgress.Item, gProgress.Instance,
          static_cast<UINT32>(Completion));
    gProgress.Shown = Completion;
  }
  return EFI_SUCCESS;
}

/// CheckImage, then SetImage, on one image; prints the outcome line.
EFI_STATUS ApplyToTarget(const CHAR16 *Name, UINT16 Index, FMP_TARGET Target, const FMP_CAPSULE_ITEM &Item) {
  EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp = Target.Fmp;
  UINT32 Updatable = 0;
  EFI_STATUS Checked = Fmp->CheckImage(Fmp, Target.ImageIndex, Item.Image, Item.ImageSize, &Updatable);
  gProgress = {Name, Index, static_cast<UINT32>(Target.HardwareInstance), 0};
  CHAR16 *AbortReason = nullptr;
  EFI_STATUS Status = Fmp->SetImage(Fmp, Target.ImageIndex, Item.Image, Item.ImageSize, Item.VendorCode,
                                    ShowProgress, &AbortReason);
  if (!RefreshFmpTarget(&Target)) Target.LastAttemptStatus = LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL;
  Print(u"%s item %d instance %d: "_w, Name, static_cast<UINT32>(Index), static_cast<UINT32>(Target.HardwareInstance));
  if (EFI_ERROR(Checked) || Updatable != IMAGE_UPDATABLE_VALID) {
    Print(u"CheckImage refuses (status %x, updatable %x), "_w, Hex32(Checked), Updatable);
  }
  Print(EFI_ERROR(Status) ? u"failed (status %x)"_w : u"updated"_w, Hex32(Status));
  Print(u", version %x, last attempt status %x"_w, Target.Version, Target.LastAttemptStatus);
  if (AbortReason != nullptr) {
    Print(u", %s"_w, AbortReason);
    FreePool(AbortReason);
  }
  Print(u"\n"_w);
  return Status;
}

/// Applies payload item Index to every image it addresses; records each outcome.
EFI_STATUS ApplyItem(EFI_RUNTIME_SERVICES *Rt, const CHAR16 *Name, const FMP_CAPSULE &Capsule, UINT16 Index,
                     const FMP_TARGET_LIST &Targets, bool *Missing) {
  FMP_CAPSULE_ITEM Item{};
  if (ReadFmpCapsuleItem(Capsule, Index, &Item) != CAPSULE_ERROR::Ok) return EFI_VOLUME_CORRUPTED;
  EFI_STATUS Result = EFI_SUCCESS;
  UINTN Applied = 0;
  for (UINTN At = 0; At < Targets.Count; At++) {
    if (!ItemAddresses(Item, Targets.Target[At])) continue;
    Applied++;
    EFI_STATUS Status = ApplyToTarget(Name, Index, Targets.Target[At], Item);
    if (EFI_ERROR(Status)) Result = Status;
    EFI_STATUS Recorded = WriteCapsuleResult(Rt, Capsule, Index, Item, Name, Status);
    if (EFI_ERROR(Recorded)) {
      Print(u"%s item %d: result variable not written (status %x)\n"_w, Name, static_cast<UINT32>(Index),
            Hex32(Recorded));
      Result = Recorded;
    }
  }
  if (Applied != 0) return Result;
  *Missing = true;
  Print(u"%s item %d: no FMP instance for image type %g index %d instance %d\n"_w, Name,
        static_cast<UINT32>(Index), &Item.UpdateImageTypeId, static_cast<UINT32>(Item.UpdateImageIndex),
        static_cast<UINT32>(Item.UpdateHardwareInstance));
  EFI_STATUS Recorded = WriteCapsuleResult(Rt, Capsule, Index, Item, Name, EFI_NOT_FOUND);
  return EFI_ERROR(Recorded) ? Recorded : EFI_NOT_FOUND;
}

}  // namespace

CAPSULE_OUTCOME ProcessCapsule(EFI_RUNTIME_SERVICES *Rt, const CHAR16 *Name, const UINT8 *Data, UINTN Size,
                               const FMP_TARGET_LIST &Targets) {
  CAPSULE_OUTCOME Outcome{EFI_SUCCESS, false};
  FMP_CAPSULE Capsule{};
  UINT16 BadItem = 0;
  CAPSULE_ERROR Error = ReadFmpCapsule(Data, Size, &Capsule, &BadItem);
  if (Error >= CAPSULE_ERROR::ItemOffset) {
    Print(u"%s: refused, item %d: %a\n"_w, Name, static_cast<UINT32>(BadItem), CapsuleErrorText(Error));
  } else if (Error != CAPSULE_ERROR::Ok) {
    Print(u"%s: refused, %a\n"_w, Name, CapsuleErrorText(Error));
  }
  if (Error != CAPSULE_ERROR::Ok) {
    Outcome.Status = EFI_VOLUME_CORRUPTED;
    return Outcome;
  }
  for (UINT16 Index = 0; Index < Capsule.PayloadItemCount; Index++) {
    EFI_STATUS Status = ApplyItem(Rt, Name, Capsule, Index, Targets, &Outcome.MissingTarget);
    if (EFI_ERROR(Status)) Outcome.Status = Status;
  }
  return Outcome;
}
