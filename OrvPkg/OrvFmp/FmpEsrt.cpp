/** @file
  The EFI System Resource Table: one entry per IC, published as a
  configuration table in runtime-services data (where platform firmware keeps
  it, so the operating system finds it in its memory map).

  On firmware without an ESRT the driver installs its own. On firmware with
  one, it installs a merged copy: the firmware's entries first, copied, then
  one per IC; the firmware's table is only read. The driver's entries are
  rewritten in place after every SetImage.
**/

#include "OrvFmp.h"

#include <OrvBase/Status.h>

#include "../OrvUpdate/App/RunState.h"

namespace {

/// More entries than any platform has: a larger count is not trusted.
constexpr UINT32 ESRT_MAX_FOREIGN_ENTRIES = 1024;

/// The ESRT the system table names now, or NULL.
const EFI_SYSTEM_RESOURCE_TABLE *InstalledEsrt() {
  for (UINTN Index = 0; Index < ST->NumberOfTableEntries; Index++) {
    const EFI_CONFIGURATION_TABLE &Entry = ST->ConfigurationTable[Index];
    if (CompareGuid(const_cast<EFI_GUID *>(&Entry.VendorGuid),
                    const_cast<EFI_GUID *>(&gEfiSystemResourceTableGuid)) == 0) {
      return static_cast<const EFI_SYSTEM_RESOURCE_TABLE *>(Entry.VendorTable);
    }
  }
  return nullptr;
}

EFI_SYSTEM_RESOURCE_ENTRY *EntriesOf(EFI_SYSTEM_RESOURCE_TABLE *Table) {
  return reinterpret_cast<EFI_SYSTEM_RESOURCE_ENTRY *>(Table + 1);
}

/// Copies the entries of a table the driver does not own (its count only,
/// never beyond; a table of another entry version is left out).
UINT32 CopyForeignEntries(const EFI_SYSTEM_RESOURCE_TABLE *Old, EFI_SYSTEM_RESOURCE_TABLE *New) {
  if (Old == nullptr ||
      Old->FwResourceVersion != EFI_SYSTEM_RESOURCE_TABLE_FIRMWARE_RESOURCE_VERSION) {
    return 0;
  }
  const auto *From = reinterpret_cast<const EFI_SYSTEM_RESOURCE_ENTRY *>(Old + 1);
  for (UINT32 Index = 0; Index < Old->FwResourceCount; Index++) {
    EntriesOf(New)[Index] = From[Index];
  }
  return Old->FwResourceCount;
}

}  // namespace

const EFI_GUID gEfiSystemResourceTableGuid = EFI_SYSTEM_RESOURCE_TABLE_GUID;

void FmpRefreshEsrtEntry(ORV_FMP_INSTANCE *Instance) {
  EFI_SYSTEM_RESOURCE_TABLE *Table = gOrvFmp.Esrt;
  if (Table == nullptr) return;
  EFI_FIRMWARE_IMAGE_DESCRIPTOR Descriptor;
  if (EFI_ERROR(FmpDescribe(Instance, &Descriptor))) return;
  EFI_SYSTEM_RESOURCE_ENTRY &Entry = EntriesOf(Table)[gOrvFmp.EsrtFirst + Instance->Ic];
  Entry.FwClass = Descriptor.ImageTypeId;
  Entry.FwType = ESRT_FW_TYPE_DEVICEFIRMWARE;
  Entry.FwVersion = Descriptor.Version;
  Entry.LowestSupportedFwVersion = Descriptor.LowestSupportedImageVersion;
  Entry.CapsuleFlags = 0;
  Entry.LastAttemptVersion = Descriptor.LastAttemptVersion;
  Entry.LastAttemptStatus = Descriptor.LastAttemptStatus;
}

EFI_STATUS FmpPublishEsrt() {
  const EFI_SYSTEM_RESOURCE_TABLE *Old = InstalledEsrt();
  const UINT32 OldCount = Old == nullptr ? 0 : Old->FwResourceCount;
  if (OldCount > ESRT_MAX_FOREIGN_ENTRIES) {
    return PrintAndReturn(EFI_UNSUPPORTED, u"OrvFmp: the firmware's ESRT claims %d entries\n"_w,
                          OldCount);
  }
  const UINT32 Count = OldCount + gOrvFmp.Count;
  const UINTN Size = sizeof(EFI_SYSTEM_RESOURCE_TABLE) + Count * sizeof(EFI_SYSTEM_RESOURCE_ENTRY);
  EFI_SYSTEM_RESOURCE_TABLE *Table = nullptr;
  EFI_STATUS Status = gOrvBootServices->AllocatePool(EfiRuntimeServicesData, Size,
                                        reinterpret_cast<VOID **>(&Table));
  if (EFI_ERROR(Status)) return ReportStatus(Status, u"OrvFmp: no memory for the ESRT %x\n"_w);
  gOrvBootServices->SetMem(Table, Size, 0);
  gOrvFmp.EsrtFirst = CopyForeignEntries(Old, Table);
  Table->FwResourceCount = gOrvFmp.EsrtFirst + gOrvFmp.Count;
  Table->FwResourceCountMax = Table->FwResourceCount;
  Table->FwResourceVersion = EFI_SYSTEM_RESOURCE_TABLE_FIRMWARE_RESOURCE_VERSION;
  gOrvFmp.Esrt = Table;
  gOrvFmp.ForeignEsrt = Old;
  for (UINT8 Ic = 0; Ic < gOrvFmp.Count; Ic++) FmpRefreshEsrtEntry(&gOrvFmp.Instances[Ic]);

  Status = gOrvBootServices->InstallConfigurationTable(const_cast<EFI_GUID *>(&gEfiSystemResourceTableGuid),
                                          Table);
  if (EFI_ERROR(Status)) {
    gOrvFmp.Esrt = nullptr;
    gOrvFmp.ForeignEsrt = nullptr;
    (void)gOrvBootServices->FreePool(Table);
    return ReportStatus(Status, u"OrvFmp: ESRT not installed %x\n"_w);
  }
  return EFI_SUCCESS;
}

void FmpWithdrawEsrt() {
  if (gOrvFmp.Esrt == nullptr) return;
  (void)gOrvBootServices->InstallConfigurationTable(
      const_cast<EFI_GUID *>(&gEfiSystemResourceTableGuid),
      const_cast<EFI_SYSTEM_RESOURCE_TABLE *>(gOrvFmp.ForeignEsrt));
  (void)gOrvBootServices->FreePool(gOrvFmp.Esrt);
  gOrvFmp.Esrt = nullptr;
  gOrvFmp.ForeignEsrt = nullptr;
}
