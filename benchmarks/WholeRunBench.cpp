// Whole-run overhead benchmark: OrvUpdateMain on the host against the fake
// firmware, with the reference simulator's flash model (no timing, so every
// flash operation costs only its memory work) behind the flash protocol:
// 8 ICs, 4 MiB OCM banks holding 4 MiB images, 64 KiB customer banks, every
// IC updated (`-a -f -cb`, so each run programs the OCM zone and both
// customer banks). The run's wall time is the tool's own cost (settings,
// binding, policy, read-back compare, console) plus the model's memory work.
//
// The modelled flash time of the same update is worked out from the flash
// calls the run made, with typical SPI NOR figures: 150 ms per 64 KiB sector
// erased, 0.5 ms per 256-byte page programmed, reads at 50 MB/s. The ratio is
// run time / modelled flash time. Asserts nothing about time; exits 1 if a
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

namespace {

constexpr UINT8 kIcs = 8;
constexpr UINT32 kOcmBank = 4u << 20;
constexpr UINT32 kCustomerBank = 64u << 10;

constexpr double kEraseSectorBytes = 64 * 1024;
constexpr double kEraseSectorSeconds = 0.150;
constexpr double kPageBytes = 256;
constexpr double kPageSeconds = 0.0005;
constexpr double kReadBytesPerSecond = 50e6;

void ResetRunState() {
  RUN_FLAGS = 0;
  for (CHAR16 &C : OverridePaths) C = 0;
  ReduceFlashMask = 0;
  OcmImage = 0;
  CustomerImage = 0;
  pOrvImageProtocol = nullptr;
  pOrvFlashProtocol = nullptr;
  pOrvPathProtocolInterface = nullptr;
  gOrvBootServices = nullptr;
}

/// Flash time of the recorded calls with the SPI NOR figures above.
double ModelledSeconds(const ModelFlash &Flash) {
  double Seconds = 0;
  for (const FlashCall &Call : Flash.Calls) {
    if (EFI_ERROR(Call.Status)) continue;
    if (Call.Op == FlashOp::EraseBank) {
      const double Bank = Flash.BankSize(Call.Ic, Call.Zone, Call.Bank);
      Seconds += static_cast<UINTN>((Bank + kEraseSectorBytes - 1) / kEraseSectorBytes) *
                 kEraseSectorSeconds;
    } else if (Call.Op == FlashOp::WriteBankData) {
      Seconds += static_cast<UINTN>((Call.Size + kPageBytes - 1) / kPageBytes) * kPageSeconds;
    } else if (Call.Op == FlashOp::ReadBankData) {
      Seconds += Call.Size / kReadBytesPerSecond;
    }
  }
  return Seconds;
}

UINTN BytesWritten(const ModelFlash &Flash) {
  UINTN Bytes = 0;
  for (const FlashCall &Call : Flash.Calls) {
    if (Call.Op == FlashOp::WriteBankData && !EFI_ERROR(Call.Status)) Bytes += Call.Size;
  }
  return Bytes;
}

}  // namespace

int main(int Argc, char **Argv) {
  bench::Options Options = bench::ParseOptions(Argc, Argv);
  ResetRunState();
  FakeFirmware Fw;
  FakeVolume Volume{Fw};
  FakeImage Image;
  FakePath Path;
  ModelFlash Flash(ModelFlash::ConfigText(kIcs, kOcmBank, kCustomerBank));
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
  Image.Files["OrvUpdateComponent\\ocm.hex"] = {MakeZoneImage(0x20, kOcmBank - 24, 2), 0x20};
  Image.Files["OrvUpdateComponent\\cust.hex"] = {MakeZoneImage(7, kCustomerBank - 24, 3), 7};
  Fw.InstallProtocol(Fw.NewHandle(), gOrvImageProtocolGuid, &Image.Protocol);
  Fw.InstallProtocol(Fw.NewHandle(), gOrvFlashProtocolGuid, &Flash.Protocol);
  Fw.InstallProtocol(Fw.NewHandle(), gOrvPathProtocolGuid, &Path.Protocol);
  const std::vector<UINT8> OldOcm = MakeZoneImage(0x10, 100000, 1);
  for (UINT8 Ic = 0; Ic < kIcs; Ic++) {
    Flash.Program(Ic, ZONE_OCM, 0, OldOcm);
    Flash.SetActive(Ic, 0);
  }
  Fw.SetArguments({"-a", "-f", "-cb"});

  std::vector<double> RunSeconds;
  double Modelled = 0;
  UINTN Written = 0;
  bool Good = true;
  // One unmeasured run first, so that every measured run starts from the
  // same state (banks written, pages touched).
  for (int Round = 0; Round <= Options.Rounds; Round++) {
    Flash.ClearCalls();
    Fw.ClearConsole();
    ResetRunState();
    gOrvBootServices = Fw.BootServices();
    std::vector<UINT8> Before(kIcs);
    for (UINT8 Ic = 0; Ic < kIcs; Ic++) Before[Ic] = Flash.Active(Ic);

    auto Start = std::chrono::steady_clock::now();
    EFI_STATUS Status = OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable());
    auto End = std::chrono::steady_clock::now();

    for (UINT8 Ic = 0; Ic < kIcs; Ic++) {
      if (Flash.Active(Ic) == Before[Ic]) Good = false;
    }
    if (EFI_ERROR(Status) || !Good) {
      std::printf("run %d did not update every IC (status %llx):\n%s", Round,
                  static_cast<unsigned long long>(Status), Fw.Console().c_str());
      return 1;
    }
    if (Round == 0) continue;
    RunSeconds.push_back(std::chrono::duration<double>(End - Start).count());
    Modelled = ModelledSeconds(Flash);
    Written = BytesWritten(Flash);
  }

  const double Run = bench::Median(RunSeconds);
  const double Mib = Written / double(1 << 20);
  if (Options.Tsv) {
    std::printf("wholerun\t%d ICs x %u MiB OCM + 2 x %u KiB customer\t%.9f\t%.9f\t%d\t%.3f\n",
                kIcs, kOcmBank >> 20, kCustomerBank >> 10, Run, Modelled, Options.Rounds, Mib);
  } else {
    std::printf("%d ICs x %u MiB OCM images, customer zone in both banks: %.1f MiB written "
                "per run\n",
                kIcs, kOcmBank >> 20, Mib);
    std::printf("  tool run (median of %d)  %10.3f ms  %8.3f ms/MiB\n", Options.Rounds,
                Run * 1e3, Run * 1e3 / Mib);
    std::printf("  modelled flash time      %10.3f s\n", Modelled);
    std::printf("  overhead                 %10.4f %%\n", 100 * Run / Modelled);
  }
  return 0;
}
