/** @file
  OrvCheck.efi: checks a board's component drivers against the contract the
  update relies on, bound exactly as OrvUpdate.efi binds them (same settings,
  loading, zone images and -o / -c overrides). Read-only by default; with -w
  also the checks that write, on the bank an update would write, which is
  read first and put back at the end; -s adds the bank switch and back.
**/

#ifndef ORV_CHECK_H_
#define ORV_CHECK_H_

#include "../OrvUpdate/App/OrvEfi.h"
#include "../OrvUpdate/Components/ComponentGuards.h"
#include "CheckReport.h"

/**
  One run of OrvCheck.efi, from the banner to the status handed back to the
  shell.

  @param[in] ImageHandle  The application's image handle.
  @param[in] SystemTable  The firmware's system table.

  @retval EFI_SUCCESS            No check failed.
  @retval EFI_PROTOCOL_ERROR     A check failed.
  @retval EFI_NOT_FOUND          No check failed, and a selected IC is not on
                                 the board or no IC answers to the -d address.
  @retval EFI_INVALID_PARAMETER  The command line was refused (also -r, and
                                 -s without -w).
  @retval EFI_UNSUPPORTED        No shell protocol, or -d without the flash
                                 component's address support.
  @retval others                 The failing status of the settings sequence.
**/
EFI_STATUS OrvCheckMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

/// The ICs the two IcInit calls of the count check gave.
struct IC_COUNTS {
  UINT8 Checked;     ///< ICs both calls gave (the lower count): these are checked
  UINT8 PastLastIc;  ///< an IC index neither call gave (the higher count)
};

/// What the read-only checks of one IC learnt, for the checks that write.
struct IC_FACTS {
  UINT8 Ic;
  UINT8 PastLastIc;   ///< an IC index the board does not have
  bool SectionKnown;  ///< the section check passed
  UINT8 Section;      ///< 0, 1 or SECTION_INVALID, when known

  /// The IC runs from an OCM bank that is known.
  bool HasRunningBank() const { return SectionKnown && Section <= 1; }
  /// Why there is no running bank to check.
  const CHAR16 *NoRunningBank() const {
    return SectionKnown ? u"no active section"_w : u"active section unknown"_w;
  }
};

/**
  The checks of the whole board: count (IcInit twice, the path brought down
  and up between them) and address.

  @param[in,out] Bound   The run's bound components; its path is restarted.
  @param[in,out] Report  The run's lines.

  @return The IC counts; none is checked after a failed IcInit or PathInit.
**/
IC_COUNTS CheckBoard(BoundRunGuard *Bound, CHECK_REPORT &Report);

/**
  The read-only checks of one IC: section, version, pass, read, check-active,
  bad-args. Calls no operation that changes the flash.

  @param[in]     Ic      IC index.
  @param[in]     Counts  The board's IC counts.
  @param[in,out] Report  The run's lines.

  @return What the checks learnt of the IC.
**/
IC_FACTS CheckIcReading(UINT8 Ic, const IC_COUNTS &Counts, CHECK_REPORT &Report);

/// How the checks that write run.
struct WRITE_OPTIONS {
  BOOLEAN Switch;          ///< also switch to a written bank and back (-s)
  bool Security;           ///< the board enforces something: signed-only, zone-bound, floor
  EFI_HANDLE ImageHandle;  ///< the application, for loading test images
};

/**
  The checks that write (-w), on the bank an update would write, with the
  OCM zone image: lock, erase, check-erased, write, isolation, check-good,
  switch (with Switch: to a copy of the running bank), check-corrupt, with
  Security signed-only, zone-bound and floor, active-write-refused and
  restore. The bank is read first and written back at the end, whatever
  failed before.

  @param[in]     Facts    What the read-only checks learnt of the IC.
  @param[in]     Options  How they run.
  @param[in,out] Report   The run's lines.
**/
void CheckIcWriting(const IC_FACTS &Facts, const WRITE_OPTIONS &Options, CHECK_REPORT &Report);

/**
  Whether any of the first IcCount ICs says, through the flash policy,
  that it enforces something (or cannot say). False without a policy.
**/
[[nodiscard]] bool BoardEnforcesSomething(UINT8 IcCount);

#endif
