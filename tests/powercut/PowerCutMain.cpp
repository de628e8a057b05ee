// Power-cut sweep: a whole update of two ICs (both zones, OCM image newer) on
// the simulator's flash model, with the power cut at every flash operation
// (erase, write, bank switch) in turn and that operation left done to none,
// half, all but the last of its sectors or pages, or all of it (the flash
// simulator's own power-cut arithmetic, SimCutBytes). After each
// cut the board "reboots" (a fresh run state and firmware, the same flash)
// and is checked twice:
//   - right after the cut, every IC runs a valid image (header and CRC) from
//     its active OCM bank, equal to the image it ran before or the new one;
//   - after a recovery run of the same command, the run returned EFI_SUCCESS,
//     every IC runs the new image from a verified bank and every customer
//     bank the command writes holds the customer image;
//   - in no run did the flash refuse a call (a flash rule broken).
// Variants: with the customer backup (-cb), without it, with
// ReduceFlashProcessFlag bit 0 (no OCM read-back), and signed: images of
// format 2 signed by a key provisioned in both ICs, so the hardware check
// verifies signatures and the ICs keep a security floor; its flash
// operations include the writes of the floor, and every check also asks
// that no floor was lowered and none is above the image its IC runs (after
// recovery: the floor is the new image's counter).
//
// The variant "fmp" makes the same update of the signed board through the
// FMP driver instead: OrvFmp.efi loaded, then SetImage of the new OCM image
// on each IC's instance (the customer zone is not part of it).
//
// Then random sequences on the signed board (ORV_POWERCUT_SEEDS, default
// 10000, or the first argument), through OrvUpdate.efi and through the FMP
// driver: each seed cuts the power at a random flash operation and part, up
// to five times in a row over the update and the recovery runs that follow,
// checking the ICs after each cut, then runs a clean recovery.
//
// Prints one line per failing case and a closing line
//   power cut: <N> cut points (<F> at floor writes), <S> random sequences
//   (<C> cuts), <B> bricked, <U> not recovered, <L> floors lowered, <A> floors
//   above the running image
// and exits 1 when B, U, L or A is not 0 (or a fake reported a misuse, or
// the flash refused a call).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "BoardTest.h"
#include "ImageSignHost.h"
#include "OrvFmp.h"
#include "OrvUpdate.h"

namespace {

constexpr UINT32 OCM_BANK = 16384;
constexpr UINT32 CUSTOMER_BANK = 4096;
constexpr UINT8 ICS = 2;

struct Variant {
  const char *Name;
  std::vector<std::string> Arguments;
  const char *SettingsExtra;
  bool Backup;  ///< customer bank 1 is written too
  bool Signed = false;  ///< signed images, a key provisioned in both ICs
  bool Fmp = false;     ///< through OrvFmp.efi's SetImage, OCM zone only
};

const Variant VARIANTS[] = {
    {"backup", {"0", "1", "-cb"}, "", true},
    {"no-backup", {"0", "1"}, "", false},
    {"reduced-read-back", {"0", "1", "-cb"}, "ReduceFlashProcessFlag = 1\n", true},
    {"signed", {"0", "1", "-cb"}, "", true, true},
    {"fmp", {}, "", false, true, true},
};
const Variant &SIGNED = VARIANTS[3];
const Variant &FMP = VARIANTS[4];

// Security counters of the signed images.
constexpr UINT32 OLDER_COUNTER = 1;
constexpr UINT32 OLD_COUNTER = 2;
constexpr UINT32 NEW_COUNTER = 3;

struct CutCase {
  CUT_PART Part;
  const char *Name;
};
const CutCase PARTS[] = {{CUT_PART::None, "none"},
                      {CUT_PART::Half, "half"},
                      {CUT_PART::AllButLast, "all-but-last"},
                      {CUT_PART::All, "all"}};

struct Images {
  std::vector<UINT8> Older = MakeZoneImage(0x08, 7000, 11);
  std::vector<UINT8> Old = MakeZoneImage(0x10, 6000, 12);
  std::vector<UINT8> New = MakeZoneImage(0x20, 10000, 13);
  std::vector<UINT8> OldCustomer = MakeZoneImage(1, 2000, 14);
  std::vector<UINT8> Customer = MakeZoneImage(2, 3000, 15);

  /// The same images signed (format 2) with counters.
  Images Sign(const IMAGE_PRIVATE_KEY &Key) const {
    Images Signed = *this;
    for (auto [Image, Counter] : {std::pair{&Signed.Older, OLDER_COUNTER}, {&Signed.Old, OLD_COUNTER},
                                  {&Signed.New, NEW_COUNTER}, {&Signed.OldCustomer, 0u},
                                  {&Signed.Customer, 0u}}) {
      if (!MakeImageFormat2(Image, Counter, &Key)) std::abort();
    }
    return Signed;
  }
};

// The board before the update: IC 0 runs section 0 with an older image left
// in bank 1, IC 1 runs section 1 with bank 0 erased; old customer images.
// Signed: the key provisioned in both ICs, no floor yet (the first IcInit
// raises it to the running image's counter).
void SetUpBoard(ModelFlash &Flash, const Images &I, const IMAGE_PUBLIC_KEY *Key) {
  for (UINT8 Ic = 0; Key != nullptr && Ic < ICS; Ic++) Flash.ProvisionKey(Ic, *Key);
  Flash.Program(0, ZONE_OCM, 0, I.Old);
  Flash.Program(0, ZONE_OCM, 1, I.Older);
  Flash.SetActive(0, 0);
  Flash.Program(1, ZONE_OCM, 0, {});
  Flash.Program(1, ZONE_OCM, 1, I.Old);
  Flash.SetActive(1, 1);
  for (UINT8 Ic = 0; Ic < ICS; Ic++) {
    Flash.Program(Ic, ZONE_CUSTOMER, 0, I.OldCustomer);
    Flash.Program(Ic, ZONE_CUSTOMER, 1, I.OldCustomer);
  }
}

/// OrvFmp.efi loaded, the new OCM image handed to every IC's SetImage, the
/// driver unloaded; the first failure's status.
EFI_STATUS FmpUpdate(FakeFirmware &Fw, const Images &I) {
  EFI_STATUS Status = OrvFmpMain(Fw.ImageHandle(), Fw.SystemTable());
  if (EFI_ERROR(Status)) return Status;
  for (UINT8 Ic = 0; Ic < gOrvFmp.Count; Ic++) {
    EFI_FIRMWARE_MANAGEMENT_PROTOCOL *Fmp = &gOrvFmp.Instances[Ic].Fmp;
    EFI_STATUS Set = Fmp->SetImage(Fmp, 1, I.New.data(), I.New.size(), nullptr, nullptr, nullptr);
    if (!EFI_ERROR(Status)) Status = Set;
  }
  (void)OrvFmpUnload(Fw.ImageHandle());
  return Status;
}

/// One boot of the board running the command: a fresh firmware, volume,
/// image parser, path component and run state around the same flash.
EFI_STATUS Boot(ModelFlash &Flash, const Variant &V, const Images &I) {
  FakeFirmware Fw;
  FakeVolume Volume{Fw};
  FakeImage Image;
  FakePath Path;
  ResetRunState(Fw.BootServices());
  Fw.InstallProtocol(Fw.NewHandle(), gOrvImageProtocolGuid, &Image.Protocol);
  Fw.InstallProtocol(Fw.NewHandle(), gOrvFlashProtocolGuid, &Flash.Protocol);
  Fw.InstallProtocol(Fw.NewHandle(), gOrvPathProtocolGuid, &Path.Protocol);
  Volume.AddFile(SETTINGS_PATH, BoardSettings(V.SettingsExtra));
  Image.Files[OCM_PATH] = {I.New, 0x20};
  Image.Files[CUSTOMER_PATH] = {I.Customer, 0};
  if (V.Fmp) return FmpUpdate(Fw, I);
  Fw.SetArguments(V.Arguments);
  return OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable());
}

/// The security counter of the image in IC Ic's active OCM bank (0 when none).
UINT32 RunningCounter(const ModelFlash &Flash, UINT8 Ic) {
  UINT8 Active = Flash.Active(Ic);
  if (Active > 1) return 0;
  std::vector<UINT8> Bank = Flash.Bank(Ic, ZONE_OCM, Active);
  IMAGE_INFO Info{};
  return CheckImageInBank(Bank.data(), Bank.size(), true, &Info) == HEX_OK ? Info.SecurityCounter : 0;
}

/// Why a floor broke its rules since Before (the floors before the boot):
/// lowered, or above the image its IC runs; "" when none did.
std::string CheckFloors(const ModelFlash &Flash, const std::vector<UINT32> &Before, bool *Lowered,
                        bool *Above) {
  std::string Why;
  for (UINT8 Ic = 0; Ic < ICS; Ic++) {
    UINT32 Floor = Flash.Floor(Ic);
    if (Floor < Before[Ic]) {
      *Lowered = true;
      Why += " IC " + std::to_string(Ic) + " floor lowered from " + std::to_string(Before[Ic]) +
             " to " + std::to_string(Floor) + ";";
    }
    if (Floor > RunningCounter(Flash, Ic)) {
      *Above = true;
      Why += " IC " + std::to_string(Ic) + " floor " + std::to_string(Floor) +
             " above the running image's counter " + std::to_string(RunningCounter(Flash, Ic)) + ";";
    }
  }
  return Why;
}

std::vector<UINT32> Floors(const ModelFlash &Flash) {
  std::vector<UINT32> Result;
  for (UINT8 Ic = 0; Ic < ICS; Ic++) Result.push_back(Flash.Floor(Ic));
  return Result;
}

/// Why IC Ic does not run a valid known image, or "" when it does.
std::string CheckRunsKnownImage(const ModelFlash &Flash, UINT8 Ic, const Images &I) {
  UINT8 Active = Flash.Active(Ic);
  if (Active > 1) return "no active section";
  if (!Flash.BankHoldsValidImage(Ic, ZONE_OCM, Active)) {
    return "active bank " + std::to_string(Active) + " holds no valid image";
  }
  if (!Flash.BankStartsWith(Ic, ZONE_OCM, Active, I.Old) &&
      !Flash.BankStartsWith(Ic, ZONE_OCM, Active, I.New)) {
    return "active bank " + std::to_string(Active) + " holds neither the old nor the new image";
  }
  return "";
}

/// Why the board is not fully updated, or "" when it is.
/// Prints the calls the flash refused in the run just made; their count.
size_t Refused(ModelFlash &Flash, const std::string &Case) {
  std::vector<FlashCall> Calls = Flash.TakeRefusals();
  for (const FlashCall &Call : Calls) {
    std::printf("%s: the flash refused %s\n", Case.c_str(), Describe(Call).c_str());
  }
  return Calls.size();
}

std::string CheckUpdated(const ModelFlash &Flash, const Variant &V, const Images &I) {
  for (UINT8 Ic = 0; Ic < ICS; Ic++) {
    std::string Ic_ = "IC " + std::to_string(Ic) + ": ";
    UINT8 Active = Flash.Active(Ic);
    if (Active > 1 || !Flash.BankHoldsValidImage(Ic, ZONE_OCM, Active) ||
        !Flash.BankStartsWith(Ic, ZONE_OCM, Active, I.New)) {
      return Ic_ + "does not run the new image";
    }
    if (!V.Fmp && !Flash.BankStartsWith(Ic, ZONE_CUSTOMER, 0, I.Customer)) {
      return Ic_ + "customer bank 0 lacks the customer image";
    }
    if (V.Backup && !Flash.BankStartsWith(Ic, ZONE_CUSTOMER, 1, I.Customer)) {
      return Ic_ + "customer bank 1 lacks the customer image";
    }
    if (V.Signed && Flash.Floor(Ic) != NEW_COUNTER) {
      return Ic_ + "floor " + std::to_string(Flash.Floor(Ic)) + ", not the new image's counter";
    }
  }
  return "";
}

/// Where the power went in the last boot.
std::string CutPlace(const ModelFlash &Flash) {
  if (!Flash.CutAtFloorWrite().empty()) return Flash.CutAtFloorWrite();
  for (const FlashCall &Call : Flash.Calls) {
    if (Call.PowerLost) return Describe({Call.Op, Call.Ic, Call.Bank, Call.Zone});
  }
  return "?";
}

/// What the sweep found.
struct Tally {
  size_t CutPoints = 0;
  size_t FloorCutPoints = 0;
  size_t Sequences = 0;
  size_t SequenceCuts = 0;
  size_t Bricked = 0;
  size_t NotRecovered = 0;
  size_t Lowered = 0;
  size_t Above = 0;
  size_t Broken = 0;  // the sweep itself could not run a case as meant
};

/// The checks right after a cut (the board rebooted): every IC runs a valid
/// known image and, signed, no floor was lowered or is above the running
/// image. Floors holds the floors before the boot that was cut.
void CheckAfterCut(const ModelFlash &Flash, const Images &I, const std::vector<UINT32> &Floors,
                   const char *Case, Tally *T) {
  bool CaseBricked = false;
  for (UINT8 Ic = 0; Ic < ICS; Ic++) {
    std::string Why = CheckRunsKnownImage(Flash, Ic, I);
    if (!Why.empty()) {
      std::printf("%s: bricked: IC %u %s\n", Case, unsigned(Ic), Why.c_str());
      CaseBricked = true;
    }
  }
  T->Bricked += CaseBricked ? 1 : 0;
  bool Lowered = false;
  bool Above = false;
  std::string Why = CheckFloors(Flash, Floors, &Lowered, &Above);
  if (!Why.empty()) std::printf("%s: floor:%s\n", Case, Why.c_str());
  T->Lowered += Lowered ? 1 : 0;
  T->Above += Above ? 1 : 0;
}

/// The recovery run: the command again, no cut; the board must be updated.
void CheckRecovery(ModelFlash &Flash, const Variant &V, const Images &I, const char *Case, Tally *T) {
  std::vector<UINT32> Before = Floors(Flash);
  EFI_STATUS Status = Boot(Flash, V, I);
  T->Broken += Refused(Flash, Case);
  std::string Problem = CheckUpdated(Flash, V, I);
  bool Lowered = false;
  bool Above = false;
  Problem += CheckFloors(Flash, Before, &Lowered, &Above);
  T->Lowered += Lowered ? 1 : 0;
  T->Above += Above ? 1 : 0;
  if (Status != EFI_SUCCESS || !Problem.empty()) {
    std::printf("%s: not recovered: status %llx %s\n", Case, static_cast<unsigned long long>(Status),
                Problem.c_str());
    T->NotRecovered++;
  }
}

/// The power cut at every flash operation of an uncut run of V, each part.
void SweepVariant(const Variant &V, const Images &I, const IMAGE_PUBLIC_KEY *Key, Tally *T) {
  const std::string Config = ModelFlash::ConfigText(ICS, OCM_BANK, CUSTOMER_BANK);
  ModelFlash Clean(Config);
  SetUpBoard(Clean, I, Key);
  EFI_STATUS Status = Boot(Clean, V, I);
  T->Broken += Refused(Clean, std::string("power cut ") + V.Name + ", uncut");
  const size_t Operations = Clean.FlashOperations();
  std::string Problem = CheckUpdated(Clean, V, I);
  if (Status != EFI_SUCCESS || !Problem.empty()) {
    std::printf("power cut %s: the uncut run fails (status %llx) %s\n", V.Name,
                static_cast<unsigned long long>(Status), Problem.c_str());
    T->Broken++;
    return;
  }
  std::printf("power cut %s: %zu flash operations (%zu floor writes), %zu cut points\n", V.Name,
              Operations, Clean.FloorWrites(), Operations * std::size(PARTS));

  for (size_t At = 1; At <= Operations; At++) {
    for (const CutCase &Cut : PARTS) {
      T->CutPoints++;
      ModelFlash Flash(Config);
      SetUpBoard(Flash, I, Key);
      std::vector<UINT32> Before = Floors(Flash);
      Flash.CutPowerAt(At, Cut.Part);
      (void)Boot(Flash, V, I);
      char Case[160];
      std::snprintf(Case, sizeof Case, "power cut %s at %zu (%s), %s", V.Name, At,
                    CutPlace(Flash).c_str(), Cut.Name);
      T->Broken += Refused(Flash, Case);
      if (!Flash.PowerLost()) {
        std::printf("%s: the cut point was not reached\n", Case);
        T->Broken++;
        continue;
      }
      T->FloorCutPoints += Flash.CutAtFloorWrite().empty() ? 0 : 1;
      Flash.Reboot();
      CheckAfterCut(Flash, I, Before, Case, T);
      CheckRecovery(Flash, V, I, Case, T);
    }
  }
}

/// Up to five cuts at random operations and parts over the update of the
/// signed board and the recovery runs after it, then a clean recovery.
void RandomSequence(const Variant &V, unsigned Seed, const Images &I, const IMAGE_PUBLIC_KEY &Key,
                    size_t MaxOperation, Tally *T) {
  std::mt19937 Random(Seed);
  ModelFlash Flash(ModelFlash::ConfigText(ICS, OCM_BANK, CUSTOMER_BANK));
  SetUpBoard(Flash, I, &Key);
  const unsigned Cuts = 1 + Random() % 5;
  std::string Trail;
  for (unsigned Cut = 0; Cut < Cuts; Cut++) {
    const size_t At = 1 + Random() % MaxOperation;
    const CutCase &Part = PARTS[Random() % std::size(PARTS)];
    std::vector<UINT32> Before = Floors(Flash);
    Flash.CutPowerAt(At, Part.Part);
    (void)Boot(Flash, V, I);
    if (!Flash.PowerLost()) {
      // The run ended before the cut point: a whole run, no cut.
      Trail += " [run]";
      T->Broken += Refused(Flash, "power cut seed " + std::to_string(Seed));
      Flash.Reboot();
      continue;
    }
    T->SequenceCuts++;
    Trail += " [" + std::to_string(At) + " " + CutPlace(Flash) + " " + Part.Name + "]";
    char Case[512];
    std::snprintf(Case, sizeof Case, "power cut %s seed %u:%s", V.Name, Seed, Trail.c_str());
    T->Broken += Refused(Flash, Case);
    Flash.Reboot();
    CheckAfterCut(Flash, I, Before, Case, T);
  }
  char Case[512];
  std::snprintf(Case, sizeof Case, "power cut %s seed %u:%s", V.Name, Seed, Trail.c_str());
  CheckRecovery(Flash, V, I, Case, T);
  T->Sequences++;
}

}  // namespace

int main(int Argc, char **Argv) {
  const char *SeedText = Argc > 1 ? Argv[1] : std::getenv("ORV_POWERCUT_SEEDS");
  const unsigned Seeds =
      SeedText != nullptr ? static_cast<unsigned>(std::strtoul(SeedText, nullptr, 10)) : 10000;
  IMAGE_PRIVATE_KEY Key{};
  GenerateSigningKeyFromSeed("power-cut sweep", &Key);
  const Images Plain;
  const Images SignedImages = Plain.Sign(Key);
  Tally T;

  for (const Variant &V : VARIANTS) {
    SweepVariant(V, V.Signed ? SignedImages : Plain, V.Signed ? &Key.Public : nullptr, &T);
  }

  // A cut can fall anywhere in a run of the signed board: its uncut run's
  // operations, and two floor writes at IcInit when a rise was cut off.
  for (const Variant *V : {&SIGNED, &FMP}) {
    ModelFlash Clean(ModelFlash::ConfigText(ICS, OCM_BANK, CUSTOMER_BANK));
    SetUpBoard(Clean, SignedImages, &Key.Public);
    (void)Boot(Clean, *V, SignedImages);
    const size_t MaxOperation = Clean.FlashOperations() + ICS;
    for (unsigned Seed = 1; Seed <= Seeds; Seed++) {
      RandomSequence(*V, Seed, SignedImages, Key.Public, MaxOperation, &T);
    }
  }

  // The fakes report misuse (a double free, an unknown image) as failures.
  if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed()) {
    std::printf("power cut: a fake component reported a misuse\n");
    T.Broken++;
  }
  std::printf("power cut: %zu cut points (%zu at floor writes), %zu random sequences (%zu cuts), "
              "%zu bricked, %zu not recovered, %zu floors lowered, %zu floors above the running image\n",
              T.CutPoints, T.FloorCutPoints, T.Sequences, T.SequenceCuts, T.Bricked, T.NotRecovered,
              T.Lowered, T.Above);
  return T.Bricked != 0 || T.NotRecovered != 0 || T.Lowered != 0 || T.Above != 0 || T.Broken != 0 ? 1
                                                                                                       : 0;
}
