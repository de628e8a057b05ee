/** @file
  Status helpers: report a failure with one console line and hand its status
  on in the same expression, so an error path stays one line long.
**/

#ifndef ORV_BASE_STATUS_H_
#define ORV_BASE_STATUS_H_

#include "Efi.h"

/**
  Print Format with Args and return Status.

  @param[in] Status  The status to hand on.
  @param[in] Format  A Print format; its arguments are Args.

  @return Status.
**/
template <typename... ARGS>
[[nodiscard]] EFI_STATUS PrintAndReturn(EFI_STATUS Status, const CHAR16 *Format, ARGS... Args) {
  Print(Format, Args...);
  return Status;
}

/**
  Print Format, whose only argument is the status shown as %x (its low 32
  bits), and return Status.
**/
[[nodiscard]] inline EFI_STATUS ReportStatus(EFI_STATUS Status, const CHAR16 *Format) {
  return PrintAndReturn(Status, Format, Hex32(Status));
}

#endif
