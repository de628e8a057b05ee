// Whole-run overhead benchmark: OrvUpdateMain on the host against the fake
// firmware, with the reference simulator's flash model (no timing, so every
// flash operation costs only its memory work) behind the flash protocol:
// 8 ICs, 4 MiB OCM banks holding 4 MiB images, 64 KiB customer banks, every
// IC updated (`-a -f -cb`, so each run programs the OCM zone and both
// customer banks). The tool's time is the run's wall time outside the flash
// calls (settings, binding, policy, read-back compare, console): the flash
// protocol table the run sees times every call into the model, whose memory
// work (erase fill, bit-clearing write, read copy, image CRC) stands for the
// flash itself. The whole run's time is reported too.
//
// The modelled flash time of the same update is worked out from the flash
// calls the run made, with typical SPI NOR figures: 150 ms per 64 KiB sector
// erased, 0.5 ms per 256-byte page programmed, reads at 50 MB/s. The ratio is
// tool time / modelled flash time. Asserts nothing about time; exits 1 if a
// run does not update every IC.
//
// Usage: orv_wholerun_bench [--tsv] [--rounds N]
#include <cstdio>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "FakeComponents.h"
#include "FakeFirmware.h"
#include "FakeVolume.h"
#include "ModelFlash.h"
#include "OrvUpdate.h"
#include "RunState.h"
#include "RunState.h"

namespace {

constexpr UINT8 ICS = 8;
constexpr UINT32 OCM_BANK = 4u << 20;
constexpr UINT32 CUSTOMER_BANK = 64u << 10;

constexpr double ERASE_SECTOR_BYTES = 64 * 1024;
constexpr double ERASE_SECTOR_SECONDS = 0.150;
constexpr double PAGE_BYTES = 256;
constexpr double PAGE_SECONDS = 0.0005;
constexpr double READ_BYTES_PER_SECOND = 50e6;

// ---- Time spent inside the flash component ----------------------------------
// The run sees a protocol table whose slots time the model's own slots, so
// the model's memory work can be told apart from the application's.

constinit const ORV_FLASH_PROTOCOL *gInner = nullptr;
constinit double gFlashSeconds = 0;

template <typename RESULT, typename... ARGS>
struct TIMED_SLOT {
  template <RESULT(EFIAPI *ORV_FLASH_PROTOCOL::*Slot)(ARGS...)>
  static RESULT EFIAPI Call(ARGS... Args) {
    auto Start = std::chrono::steady_clock::now();
    RESULT Result = (gInner->*Slot)(Args...);
    gFlashSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    return Result;
  }
};

/// Slot Member of the table, timed.
#define TIMED(Member, Result, ...) \
  TIMED_SLOT<Result, __VA_ARGS__>::Call<&ORV_FLASH_PROTOCOL::Member>

ORV_FLASH_PROTOCOL TimedProtocol(const ORV_FLASH_PROTOCOL *Inner) {
  gInner = Inner;
  ORV_FLASH_PROTOCOL Timed{};
  Timed.IcInit = TIMED(IcInit, EFI_STATUS, struct _ORV_PATH_PROTOCOL *, UINT8 *);
  Timed.GetActiveSection = TIMED(GetActiveSection, EFI_STATUS, UINT8, UINT8 *);
  Timed.SetActiveBank = TIMED(SetActiveBank, EFI_STATUS, UINT8, UINT8);
  Timed.GetIcVersion = TIMED(GetIcVersion, EFI_STATUS, UINT8, UINT8, UINT32 *);
  Timed.FlashPreOperation = TIMED(FlashPreOperation, EFI_STATUS, UINT8);
  Timed.lockFlash = TIMED(lockFlash, EFI_STATUS, UINT8);
  Timed.UnlockFlash = TIMED(UnlockFlash, EFI_STATUS, UINT8);
  Timed.WriteBankData =
      TIMED(WriteBankData, EFI_STATUS, UINT8, UINT8, UINT8, UINTN, CONST UINT8 *);
  Timed.ReadBankData = TIMED(ReadBankData, EFI_STATUS, UINT8, UINT8, UINT8, UINTN, UINT8 *);
  Timed.EraseBank = TIMED(EraseBank, EFI_STATUS, UINT8, UINT8, UINT8);
  Timed.HardwareCheckBank = TIMED(HardwareCheckBank, EFI_STATUS, UINT8, UINT8, UINT8, UINT8 *);
  Timed.FlashPostOperation = TIMED(FlashPostOperation, EFI_STATUS, UINT8);
  Timed.ICPostOperation = TIMED(ICPostOperation, EFI_STATUS, UINT8);
  Timed.GetIcAddress = TIMED(GetIcAddress, UINT8, UINT8, UINTN);
  Timed.SetReduceFlags = TIMED(SetReduceFlags, EFI_STATUS, UINT32);
  return Timed;
}

/// Flash time of the recorded calls with the SPI NOR figures above.
double ModelledSeconds(const ModelFlash &Flash) {
  double Seconds = 0;
  for (const FlashCall &Call : Flash.Calls) {
    if (EFI_ERROR(Call.Status)) continue;
    if (Call.Op == SIM_OP::EraseBank) {
      const double Bank = Flash.BankSize(Call.Ic, Call.Zone, Call.Bank);
      Seconds += static_cast<UINTN>((Bank + ERASE_SECTOR_BYTES - 1) / ERASE_SECTOR_BYTES) *
                 ERASE_SECTOR_SECONDS;
    } else if (Call.Op == SIM_OP::WriteBankData) {
      Seconds += static_cast<UINTN>((Call.Size + PAGE_BYTES - 1) / PAGE_BYTES) * PAGE_SECONDS;
    } else if (Call.Op == SIM_OP::ReadBankData) {
      Seconds += Call.Size / READ_BYTES_PER_SECOND;
    }
  }
  return Seconds;
}

UINTN BytesWritten(const ModelFlash &Flash) {
  UINTN Bytes = 0;
  for (const FlashCall &Call : Flash.Calls) {
    if (Call.Op == SIM_OP::WriteBankData && !EFI_ERROR(Call.Status)) Bytes += Call.Size;
  }
  return Bytes;
}

}  // namespace

int main(int Argc, char **Argv) {
  bench::Options Options = bench::ParseOptions(Argc, Argv);
  FakeFirmware Fw;
  FakeVolume Volume{Fw};
  FakeImage Image;
  FakePath Path;
  ModelFlash Flash(ModelFlash::ConfigText(ICS, OCM_BANK, CUSTOMER_BANK));
  gOrvBootServices = Fw.BootServices();

  Volume.AddFile("OrvUpdateComponent\\OrvUpdateSettings.ini",
                 "[default]\n"
                 "target = Rack\n"
                 "[Rack]\n"
                 "ImageParser = OrvHexImage.efi\n"
                 "FlashInterface = OrvFlashSim.efi\n"
                 "DevicePath = OrvPathSim.efi\n"
                 "OCM = ocm.hex\n"
                 "customer = cust.hex\n");
  Image.Files["OrvUpdateComponent\\ocm.hex"] = {MakeZoneImage(0x20, OCM_BANK - 24, 2), 0x20};
  Image.Files["OrvUpdateComponent\\cust.hex"] = {MakeZoneImage(7, CUSTOMER_BANK - 24, 3), 7};
  Fw.InstallProtocol(Fw.NewHandle(), gOrvImageProtocolGuid, &Image.Protocol);
  ORV_FLASH_PROTOCOL Timed = TimedProtocol(&Flash.Protocol);
  Fw.InstallProtocol(Fw.NewHandle(), gOrvFlashProtocolGuid, &Timed);
  Fw.InstallProtocol(Fw.NewHandle(), gOrvPathProtocolGuid, &Path.Protocol);
  const std::vector<UINT8> OldOcm = MakeZoneImage(0x10, 100000, 1);
  for (UINT8 Ic = 0; Ic < ICS; Ic++) {
    Flash.Program(Ic, ZONE_OCM, 0, OldOcm);
    Flash.SetActive(Ic, 0);
  }
  Fw.SetArguments({"-a", "-f", "-cb"});

  std::vector<double> RunSeconds;
  std::vector<double> OwnSeconds;
  double Modelled = 0;
  UINTN Written = 0;
  bool Good = true;
  // One unmeasured run first, so that every measured run starts from the
  // same state (banks written, pages touched).
  for (int Round = 0; Round <= Options.Rounds; Round++) {
    Flash.ClearCalls();
    Fw.ClearConsole();
    ResetRunState(Fw.BootServices());
    std::vector<UINT8> Before(ICS);
    for (UINT8 Ic = 0; Ic < ICS; Ic++) Before[Ic] = Flash.Active(Ic);

    gFlashSeconds = 0;
    auto Start = std::chrono::steady_clock::now();
    EFI_STATUS Status = OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable());
    auto End = std::chrono::steady_clock::now();

    for (UINT8 Ic = 0; Ic < ICS; Ic++) {
      if (Flash.Active(Ic) == Before[Ic]) Good = false;
    }
    if (EFI_ERROR(Status) || !Good) {
      std::printf("run %d did not update every IC (status %llx):\n%s", Round,
                  static_cast<unsigned long long>(Status), Fw.Console().c_str());
      return 1;
    }
    if (Round == 0) continue;
    const double Seconds = std::chrono::duration<double>(End - Start).count();
    RunSeconds.push_back(Seconds);
    OwnSeconds.push_back(Seconds - gFlashSeconds);
    Modelled = ModelledSeconds(Flash);
    Written = BytesWritten(Flash);
  }

  const double Run = bench::Median(RunSeconds);
  const double Own = bench::Median(OwnSeconds);
  const double Mib = Written / double(1 << 20);
  if (Options.Tsv) {
    std::printf("wholerun\t%d ICs x %u MiB OCM + 2 x %u KiB customer\t%.9f\t%.9f\t%d\t%.3f\t%.9f\n",
                ICS, OCM_BANK >> 20, CUSTOMER_BANK >> 10, Own, Modelled, Options.Rounds, Mib,
                Run);
  } else {
    std::printf("%d ICs x %u MiB OCM images, customer zone in both banks: %.1f MiB written "
                "per run (medians of %d runs)\n",
                ICS, OCM_BANK >> 20, Mib, Options.Rounds);
    std::printf("  whole run                 %10.3f ms  %8.3f ms/MiB\n", Run * 1e3,
                Run * 1e3 / Mib);
    std::printf("  outside the flash calls   %10.3f ms  %8.3f ms/MiB\n", Own * 1e3,
                Own * 1e3 / Mib);
    std::printf("  modelled flash time       %10.3f s\n", Modelled);
    std::printf("  overhead                  %10.4f %% (whole run %.4f %%)\n", 100 * Own / Modelled,
                100 * Run / Modelled);
  }
  return 0;
}
