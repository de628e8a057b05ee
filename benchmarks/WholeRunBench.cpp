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
// Then the same OCM update of every IC (no customer zone) twice: through
// OrvUpdate.efi (`-a -f`) and through OrvFmp.efi (driver loaded, SetImage on
// each IC's instance, unloaded), each as tool time over modelled flash time.
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
#include "OrvFmp.h"
#include "OrvUpdate.h"
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

/// What the measured rounds of one way of updating gave (medians).
struct MEASURED {
  double Run = 0;       ///< whole run
  double Own = 0;       ///< outside the flash calls
  double Modelled = 0;  ///< modelled flash time of one round
  UINTN Written = 0;
};

/// Runs Update Rounds + 1 times (the first unmeasured, so every measured
/// round starts from the same state) and checks that each switched every
/// IC. Returns false (after printing the console) when one did not.
template <typename UPDATE>
bool Measure(FakeFirmware &Fw, ModelFlash &Flash, int Rounds, UPDATE Update, MEASURED *Out) {
  std::vector<double> RunSeconds;
  std::vector<double> OwnSeconds;
  for (int Round = 0; Round <= Rounds; Round++) {
    Flash.ClearCalls();
    Fw.ClearConsole();
    ResetRunState(Fw.BootServices());
    std::vector<UINT8> Before(ICS);
    for (UINT8 Ic = 0; Ic < ICS; Ic++) Before[Ic] = Flash.Active(Ic);

    gFlashSeconds = 0;
    auto Start = std::chrono::steady_clock::now();
    EFI_STATUS Status = Update();
    auto End = std::chrono::steady_clock::now();

    bool Good = !EFI_ERROR(Status);
    for (UINT8 Ic = 0; Ic < ICS; Ic++) Good = Good && Flash.Active(Ic) != Before[Ic];
    if (!Good) {
      std::printf("round %d did not update every IC (status %llx):\n%s", Round,
                  static_cast<unsigned long long>(Status), Fw.Console().c_str());
      return false;
    }
    if (Round == 0) continue;
    const double Seconds = std::chrono::duration<double>(End - Start).count();
    RunSeconds.push_back(Seconds);
    OwnSeconds.push_back(Seconds - gFlashSeconds);
    Out->Modelled = ModelledSeconds(Flash);
    Out->Written = BytesWritten(Flash);
  }
  Out->Run = bench::Median(RunSeconds);
  Out->Own = bench::Median(OwnSeconds);
  return true;
}

/// OrvFmp.efi loaded, the OCM image handed to every IC's SetImage, unloaded.
EFI_STATUS FmpUpdate(FakeFirmware &Fw, const std::vector<UINT8> &Ocm) {
  EFI_STATUS Status = OrvFmpMain(Fw.ImageHandle(), Fw.SystemTable());
  for (UINT8 Ic = 0; !EFI_ERROR(Status) && Ic < gOrvFmp.Count; Ic++) {
    EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp = &gOrvFmp.Instances[Ic].Fmp;
    Status = Fmp->SetImage(Fmp, 1, Ocm.data(), Ocm.size(), nullptr, nullptr, nullptr);
  }
  if (gOrvFmp.Count != 0) (void)OrvFmpUnload(Fw.ImageHandle());
  return Status;
}

void Report(const bench::Options &Options, const char *Tag, const char *Case,
            const MEASURED &M) {
  const double Mib = M.Written / double(1 << 20);
  if (Options.Tsv) {
    std::printf("%s\t%s\t%.9f\t%.9f\t%d\t%.3f\t%.9f\n", Tag, Case, M.Own, M.Modelled,
                Options.Rounds, Mib, M.Run);
    return;
  }
  std::printf("%s: %s, %.1f MiB written per run (medians of %d runs)\n", Tag, Case, Mib,
              Options.Rounds);
  std::printf("  whole run                 %10.3f ms  %8.3f ms/MiB\n", M.Run * 1e3,
              M.Run * 1e3 / Mib);
  std::printf("  outside the flash calls   %10.3f ms  %8.3f ms/MiB\n", M.Own * 1e3,
              M.Own * 1e3 / Mib);
  std::printf("  modelled flash time       %10.3f s\n", M.Modelled);
  std::printf("  overhead                  %10.4f %% (whole run %.4f %%)\n",
              100 * M.Own / M.Modelled, 100 * M.Run / M.Modelled);
}

std::string Settings(const char *Customer) {
  return std::string("[default]\n"
                     "target = Rack\n"
                     "[Rack]\n"
                     "ImageParser = OrvHexImage.efi\n"
                     "FlashInterface = OrvFlashSim.efi\n"
                     "DevicePath = OrvPathSim.efi\n"
                     "OCM = ocm.hex\n"
                     "customer = ") + Customer + "\n";
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

  const std::vector<UINT8> NewOcm = MakeZoneImage(0x20, OCM_BANK - 24, 2);
  Image.Files["OrvUpdateComponent\\ocm.hex"] = {NewOcm, 0x20};
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
  const char *SettingsPath = "OrvUpdateComponent\\OrvUpdateSettings.ini";
  auto Engine = [&] { return OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable()); };

  // Every IC, both zones (-a -f -cb).
  Volume.AddFile(SettingsPath, Settings("cust.hex"));
  Fw.SetArguments({"-a", "-f", "-cb"});
  MEASURED Whole;
  if (!Measure(Fw, Flash, Options.Rounds, Engine, &Whole)) return 1;
  char Case[96];
  std::snprintf(Case, sizeof Case, "%d ICs x %u MiB OCM + 2 x %u KiB customer", ICS,
                OCM_BANK >> 20, CUSTOMER_BANK >> 10);
  Report(Options, "wholerun", Case, Whole);

  // The same OCM update of every IC through OrvUpdate.efi and through the
  // FMP driver's SetImage (driver load included).
  Volume.AddFile(SettingsPath, Settings("none"));
  Fw.SetArguments({"-a", "-f"});
  MEASURED ByEngine;
  MEASURED ByFmp;
  if (!Measure(Fw, Flash, Options.Rounds, Engine, &ByEngine) ||
      !Measure(Fw, Flash, Options.Rounds, [&] { return FmpUpdate(Fw, NewOcm); }, &ByFmp)) {
    return 1;
  }
  std::snprintf(Case, sizeof Case, "%d ICs x %u MiB OCM, OrvUpdate.efi", ICS, OCM_BANK >> 20);
  Report(Options, "fmp", Case, ByEngine);
  std::snprintf(Case, sizeof Case, "%d ICs x %u MiB OCM, FMP SetImage", ICS, OCM_BANK >> 20);
  Report(Options, "fmp", Case, ByFmp);
  return 0;
}
