// Power-cut sweep: a whole update of two ICs (both zones, OCM image newer) on
// the simulator's flash model, with the power cut at every flash operation
// (erase, write, bank switch) in turn and that operation left done to none,
// half, all but the last of its sectors or pages, or all of it. After each
// cut the board "reboots" (a fresh run state and firmware, the same flash)
// and is checked twice:
//   - right after the cut, every IC runs a valid image (header and CRC) from
//     its active OCM bank, equal to the image it ran before or the new one;
//   - after a recovery run of the same command, the run returned EFI_SUCCESS,
//     every IC runs the new image from a verified bank and every customer
//     bank the command writes holds the customer image.
// Variants: with the customer backup (-cb), without it, and with
// ReduceFlashProcessFlag bit 0 (no OCM read-back).
//
// Prints one line per failing case and a closing line
//   power cut: <N> cut points, <B> bricked, <U> not recovered
// and exits 1 when B or U is not 0 (or a fake reported a misuse).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FakeComponents.h"
#include "FakeFirmware.h"
#include "FakeVolume.h"
#include "HexImage.h"
#include "ModelFlash.h"
#include "OrvTest.h"
#include "OrvUpdate.h"
#include "RunState.h"

namespace {

constexpr const char *SETTINGS_PATH = "OrvUpdateComponent\\OrvUpdateSettings.ini";
constexpr const char *OCM_PATH = "OrvUpdateComponent\\ocm.hex";
constexpr const char *CUSTOMER_PATH = "OrvUpdateComponent\\cust.hex";
constexpr UINT32 OCM_BANK = 16384;
constexpr UINT32 CUSTOMER_BANK = 4096;
constexpr UINT8 ICS = 2;

struct Variant {
  const char *Name;
  std::vector<std::string> Arguments;
  const char *SettingsExtra;
  bool Backup;  ///< customer bank 1 is written too
};

const Variant VARIANTS[] = {
    {"backup", {"0", "1", "-cb"}, "", true},
    {"no-backup", {"0", "1"}, "", false},
    {"reduced-read-back", {"0", "1", "-cb"}, "ReduceFlashProcessFlag = 1\n", true},
};

const CutPart PARTS[] = {CutPart::None, CutPart::Half, CutPart::AllButLast, CutPart::Done};

struct Images {
  std::vector<UINT8> Older = MakeZoneImage(0x08, 7000, 11);
  std::vector<UINT8> Old = MakeZoneImage(0x10, 6000, 12);
  std::vector<UINT8> New = MakeZoneImage(0x20, 10000, 13);
  std::vector<UINT8> OldCustomer = MakeZoneImage(1, 2000, 14);
  std::vector<UINT8> Customer = MakeZoneImage(2, 3000, 15);
};

std::string SettingsText(const Variant &V) {
  return std::string("[default]\n"
                     "target = ChipA\n"
                     "[ChipA]\n"
                     "ImageParser = OrvHexImage.efi\n"
                     "FlashInterface = OrvFlashSim.efi\n"
                     "DevicePath = OrvPathSim.efi\n"
                     "OCM = ocm.hex\n"
                     "customer = cust.hex\n") +
         V.SettingsExtra;
}

// The board before the update: IC 0 runs section 0 with an older image left
// in bank 1, IC 1 runs section 1 with bank 0 erased; old customer images.
void SetUpBoard(ModelFlash &Flash, const Images &I) {
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
  Volume.AddFile(SETTINGS_PATH, SettingsText(V));
  Image.Files[OCM_PATH] = {I.New, 0x20};
  Image.Files[CUSTOMER_PATH] = {I.Customer, 0};
  Fw.SetArguments(V.Arguments);
  return OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable());
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
std::string CheckUpdated(const ModelFlash &Flash, const Variant &V, const Images &I) {
  for (UINT8 Ic = 0; Ic < ICS; Ic++) {
    std::string Ic_ = "IC " + std::to_string(Ic) + ": ";
    UINT8 Active = Flash.Active(Ic);
    if (Active > 1 || !Flash.BankHoldsValidImage(Ic, ZONE_OCM, Active) ||
        !Flash.BankStartsWith(Ic, ZONE_OCM, Active, I.New)) {
      return Ic_ + "does not run the new image";
    }
    if (!Flash.BankStartsWith(Ic, ZONE_CUSTOMER, 0, I.Customer)) {
      return Ic_ + "customer bank 0 lacks the customer image";
    }
    if (V.Backup && !Flash.BankStartsWith(Ic, ZONE_CUSTOMER, 1, I.Customer)) {
      return Ic_ + "customer bank 1 lacks the customer image";
    }
  }
  return "";
}

std::string Describe(const FlashCall &Call) {
  std::string Text = FlashOpName(Call.Op);
  Text += " IC " + std::to_string(Call.Ic) + " bank " + std::to_string(Call.Bank);
  if (Call.Zone != FLASH_NO_ARG) Text += Call.Zone == ZONE_OCM ? " ocm" : " customer";
  return Text;
}

}  // namespace

int main() {
  const Images I;
  size_t CutPoints = 0;
  size_t Bricked = 0;
  size_t NotRecovered = 0;
  size_t Broken = 0;  // the sweep itself could not run a case as meant

  for (const Variant &V : VARIANTS) {
    // An uncut run gives the flash operations to cut at.
    ModelFlash Clean(ModelFlash::ConfigText(ICS, OCM_BANK, CUSTOMER_BANK));
    SetUpBoard(Clean, I);
    EFI_STATUS Status = Boot(Clean, V, I);
    const size_t Operations = Clean.FlashOperations();
    std::string Problem = CheckUpdated(Clean, V, I);
    if (Status != EFI_SUCCESS || !Problem.empty()) {
      std::printf("power cut %s: the uncut run fails (status %llx) %s\n", V.Name,
                  static_cast<unsigned long long>(Status), Problem.c_str());
      Broken++;
      continue;
    }
    std::printf("power cut %s: %zu flash operations, %zu cut points\n", V.Name, Operations,
                Operations * std::size(PARTS));

    for (size_t At = 1; At <= Operations; At++) {
      for (CutPart Part : PARTS) {
        CutPoints++;
        ModelFlash Flash(ModelFlash::ConfigText(ICS, OCM_BANK, CUSTOMER_BANK));
        SetUpBoard(Flash, I);
        Flash.CutPowerAt(At, Part);
        (void)Boot(Flash, V, I);
        std::string Where = "?";
        for (const FlashCall &Call : Flash.Calls) {
          if (Call.PowerLost) {
            Where = Describe(Call);
            break;
          }
        }
        char Case[160];
        std::snprintf(Case, sizeof Case, "power cut %s at %zu (%s), %s", V.Name, At,
                      Where.c_str(), CutPartName(Part));
        if (!Flash.PowerLost()) {
          std::printf("%s: the cut point was not reached\n", Case);
          Broken++;
          continue;
        }

        Flash.Reboot();
        bool CaseBricked = false;
        for (UINT8 Ic = 0; Ic < ICS; Ic++) {
          std::string Why = CheckRunsKnownImage(Flash, Ic, I);
          if (!Why.empty()) {
            std::printf("%s: bricked: IC %u %s\n", Case, unsigned(Ic), Why.c_str());
            CaseBricked = true;
          }
        }
        Bricked += CaseBricked ? 1 : 0;

        Status = Boot(Flash, V, I);
        Problem = CheckUpdated(Flash, V, I);
        if (Status != EFI_SUCCESS || !Problem.empty()) {
          std::printf("%s: not recovered: status %llx %s\n", Case,
                      static_cast<unsigned long long>(Status), Problem.c_str());
          NotRecovered++;
        }
      }
    }
  }

  // The fakes report misuse (a double free, an unknown image) as failures.
  if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed()) {
    std::printf("power cut: a fake component reported a misuse\n");
    Broken++;
  }
  std::printf("power cut: %zu cut points, %zu bricked, %zu not recovered\n", CutPoints, Bricked,
              NotRecovered);
  return Bricked != 0 || NotRecovered != 0 || Broken != 0 ? 1 : 0;
}
