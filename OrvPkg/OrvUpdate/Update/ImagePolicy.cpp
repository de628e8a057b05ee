/** @file
  The flash policy's word on the images of one IC, asked before its first
  pass: an image the IC's own check would refuse is never written, so no
  bank (least of all the fallback one) is erased for it.
**/

#include "Update.h"

#include <OrvBase/ImageVerdict.h>

#include "../App/RunState.h"

namespace {

/// One zone image the update is going to write.
struct ZONE_IMAGE {
  UINT8 Zone;
  ORV_IMAGE_HANDLE Image;
  const CHAR16 *Name;  ///< in the refusal line
};

/// Asks the policy about one image; prints the refusal line when refused.
/// An image whose bytes cannot be had is not asked about: the update's own
/// GetImageData then fails in its usual place, with its usual line, before
/// anything is erased (and the IC's own check still judges whatever is
/// written).
///
/// @retval EFI_SUCCESS             Accepted, or not asked about.
/// @retval EFI_SECURITY_VIOLATION  Refused, or the question failed.
EFI_STATUS CheckImageAccepted(UINT8 Index, const ZONE_IMAGE &Zone) {
  UINTN Size = 0;
  UINT8 *Data = nullptr;
  if (EFI_ERROR(pOrvImageProtocol->GetImageData(Zone.Image, &Size, &Data))) return EFI_SUCCESS;

  const IMAGE_QUERY Query =
      QueryImageAcceptance(pOrvFlashPolicyProtocol, Index, Zone.Zone, Data, Size);
  if (Query.Accepted()) return EFI_SUCCESS;
  Print(u"IC %x %s image refused: "_w, static_cast<UINT32>(Index), Zone.Name);
  PrintImageVerdict(Query);
  Print(u"\n"_w);
  return EFI_SECURITY_VIOLATION;
}

}  // namespace

EFI_STATUS CheckImagesAccepted(UINT8 Index, bool Ocm, bool Customer) {
  if (pOrvFlashPolicyProtocol == nullptr) return EFI_SUCCESS;
  const ZONE_IMAGE Zones[] = {
      {ZONE_OCM, OcmImage, u"OCM"_w},
      {ZONE_CUSTOMER, CustomerImage, u"customer"_w},
  };
  const bool Writes[] = {Ocm, Customer};
  EFI_STATUS Result = EFI_SUCCESS;
  // Both images are asked about, so one run names every refusal.
  for (UINTN I = 0; I < 2; I++) {
    if (!Writes[I]) continue;
    EFI_STATUS Status = CheckImageAccepted(Index, Zones[I]);
    if (EFI_ERROR(Status)) Result = Status;
  }
  return Result;
}
