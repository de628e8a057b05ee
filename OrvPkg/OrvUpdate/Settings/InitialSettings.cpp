/** @file
  Placeholder for the initial settings sequence until it is built.
**/

#include "InitialSettings.h"

EFI_STATUS OrvInitialSettings(EFI_HANDLE ImageHandle) {
  (void)ImageHandle;
  Print(u"OrvInitialSettings is not built yet\n"_w);
  return EFI_UNSUPPORTED;
}
