// The reference simulator's flash model (OrvSimPkg's FlashModel, the same
// code as OrvFlashSim.efi) behind a real ORV_FLASH_PROTOCOL table, for host
// programs: the GoogleTest whole runs, the power-cut sweep and benchmarks.
//
// The flash rules are the model's own: an open pass and an unlocked flash for
// erase and write, erase before write (a write only clears bits), the running
// OCM bank protected, bank sizes. Bank memory and the active sections persist
// across runs (Reboot() is a power cycle), so a later run sees exactly the
// flash an earlier one left.
//
// Every call is recorded as a typed FlashCall. A power cut can be armed at the
// n-th flash operation (erase, write or bank switch): that operation is left
// done to a prefix of its sectors or pages, and from then on every call fails
// with EFI_DEVICE_ERROR and changes nothing, until Reboot().
//
// Use:
//   ModelFlash Flash(ModelFlash::ConfigText(2, 16384, 4096));
//   Flash.Program(0, ZONE_OCM, 0, Image);   // seed a bank
//   Flash.SetActive(0, 0);
//   ... install &Flash.Protocol under gOrvFlashProtocolGuid, run ...
//   Flash.Bank(0, ZONE_OCM, 1), Flash.Active(0), Flash.Calls
//
// One instance is current at a time (the protocol has no This pointer); it
// does not depend on GoogleTest. Programs outside the tests link the CMake
// target orv_model_flash (it brings the simulator library and the include
// folders) and install &Protocol under gOrvFlashProtocolGuid themselves. Bank sizes of a few MiB cost one copy of the
// bank per call at most (a read); erase and write touch each byte once.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "OrvEfi.h"

#include "FaultRules.h"
#include "FlashModel.h"
#include "SimConfig.h"

/// Operations of the flash protocol, in table order.
enum class FlashOp : UINT8 {
  IcInit,
  GetActiveSection,
  SetActiveBank,
  GetIcVersion,
  FlashPreOperation,
  LockFlash,
  UnlockFlash,
  WriteBankData,
  ReadBankData,
  EraseBank,
  HardwareCheckBank,
  FlashPostOperation,
  ICPostOperation,
  GetIcAddress,
  SetReduceFlags,
};

/// The protocol name of an operation ("lockFlash", "EraseBank").
const char *FlashOpName(FlashOp Op);

/// An argument the operation does not have.
constexpr UINT8 FLASH_NO_ARG = 0xFF;

/// One recorded call. Fields the operation does not have are FLASH_NO_ARG
/// (Size 0). For GetIcVersion, Bank is the section; for SetActiveBank the
/// bank switched to; for SetReduceFlags, Size is the mask; for GetIcAddress,
/// Size is the address reported; for HardwareCheckBank, Size is the check
/// value the call entered with.
struct FlashCall {
  FlashOp    Op;
  UINT8      Ic = FLASH_NO_ARG;
  UINT8      Bank = FLASH_NO_ARG;
  UINT8      Zone = FLASH_NO_ARG;
  UINTN      Size = 0;
  EFI_STATUS Status = EFI_SUCCESS;
  /// The call came after the power was cut and did nothing.
  bool       PowerLost = false;

  bool operator==(const FlashCall &Other) const {
    return Op == Other.Op && Ic == Other.Ic && Bank == Other.Bank && Zone == Other.Zone &&
           Size == Other.Size && Status == Other.Status && PowerLost == Other.PowerLost;
  }
};

/// What of the operation at the cut point is done when the power goes.
enum class CutPart : UINT8 {
  None,        ///< nothing of it
  Half,        ///< the first half of its sectors (erase) or pages (write)
  AllButLast,  ///< all but its last sector or page
  Done,        ///< all of it; the power goes right after
};

const char *CutPartName(CutPart Part);

/// A valid zone image (header with magic, length, version and payload CRC)
/// whose PayloadLength payload bytes are a pattern drawn from Seed.
std::vector<UINT8> MakeZoneImage(UINT64 Version, size_t PayloadLength, UINT8 Seed);

class ModelFlash {
 public:
  /// FlashSim.ini text for IcCount ICs with these bank sizes, timing off.
  static std::string ConfigText(UINT8 IcCount, UINT32 OcmBankSize, UINT32 CustomerBankSize,
                                const std::string &Extra = "");

  /// Sets the model up from FlashSim.ini text (see OrvSimPkg/README.md);
  /// aborts with a message when the text is refused. Every bank starts erased,
  /// every IC on the configuration's ActiveSection. Becomes the current
  /// instance.
  explicit ModelFlash(const std::string &ConfigIni);
  ~ModelFlash();
  ModelFlash(const ModelFlash &) = delete;
  ModelFlash &operator=(const ModelFlash &) = delete;

  /// The protocol table; its slots call into the current instance.
  ORV_FLASH_PROTOCOL Protocol{};

  /// Every call since construction or the last Reboot()/ClearCalls().
  std::vector<FlashCall> Calls;
  void ClearCalls() { Calls.clear(); }
  /// Calls of Op; Ic, Bank, Zone FLASH_NO_ARG match anything.
  size_t Count(FlashOp Op, UINT8 Ic = FLASH_NO_ARG, UINT8 Bank = FLASH_NO_ARG,
               UINT8 Zone = FLASH_NO_ARG) const;

  // ---- Flash state ---------------------------------------------------------------
  UINT8 IcCount() const { return Sim_.IcCount; }
  UINT32 BankSize(UINT8 Ic, UINT8 Zone, UINT8 Bank) const;
  /// Bank contents (the model's memory: writes through it change the flash).
  UINT8 *BankData(UINT8 Ic, UINT8 Zone, UINT8 Bank);
  /// A copy of the bank contents.
  std::vector<UINT8> Bank(UINT8 Ic, UINT8 Zone, UINT8 Bank) const;
  /// The first Size bytes of the bank equal Data.
  bool BankStartsWith(UINT8 Ic, UINT8 Zone, UINT8 Bank, const std::vector<UINT8> &Data) const;
  /// The bank holds a valid image at its start (magic, length, payload CRC).
  bool BankHoldsValidImage(UINT8 Ic, UINT8 Zone, UINT8 Bank) const;
  /// Erases the bank and programs Data at its start, outside any pass.
  void Program(UINT8 Ic, UINT8 Zone, UINT8 Bank, const std::vector<UINT8> &Data);
  /// The active OCM bank: 0, 1 or SIM_SECTION_NONE.
  UINT8 Active(UINT8 Ic) const { return Sim_.Ic[Ic].Active; }
  void SetActive(UINT8 Ic, UINT8 Section) { Sim_.Ic[Ic].Active = Section; }
  bool PassOpen(UINT8 Ic) const { return Sim_.Ic[Ic].PassOpen; }
  bool Unlocked(UINT8 Ic) const { return Sim_.Ic[Ic].Unlocked; }
  /// The last mask received through SetReduceFlags.
  UINT32 ReduceMask() const { return Sim_.ReduceMask; }

  // ---- Signed images -------------------------------------------------------------
  /// Provisions Key in the IC (FlashSim.ini's PublicKey): from then on its
  /// hardware check passes only images Key signed, and it keeps a security
  /// floor, starting from none.
  void ProvisionKey(UINT8 Ic, const IMAGE_PUBLIC_KEY &Key);
  /// The IC's security floor.
  UINT32 Floor(UINT8 Ic) const { return SimFloor(Sim_.Ic[Ic]); }
  /// Writes of a floor (each is a flash operation for CutPowerAt) since the
  /// last Reboot().
  size_t FloorWrites() const { return FloorWrites_; }
  /// "floor write IC <i>" when the power went during one, else "".
  const std::string &CutAtFloorWrite() const { return CutAtFloor_; }

  // ---- Faults ----------------------------------------------------------------------
  /// Fault rules in Faults.ini syntax (OrvSimPkg/README.md); their call
  /// counters restart at every IcInit, as the driver reads the file again.
  /// @return false (rules unchanged) when the text is refused.
  bool SetFaults(const std::string &FaultsIni);

  // ---- Power ---------------------------------------------------------------------
  /// Erase, write and switch calls (and floor writes) made with the power
  /// on since the last Reboot(), whatever their status.
  size_t FlashOperations() const { return Operations_; }
  /// Cuts the power at the Nth flash operation from the last Reboot()
  /// (1-based), leaving Part of it done. 0 disarms.
  void CutPowerAt(size_t Nth, CutPart Part);
  bool PowerLost() const { return PowerLost_; }
  /// Power cycle: the power is back, every pass closed and the flash locked,
  /// call records and the operation count cleared, no cut armed. Contents and
  /// active sections stay.
  void Reboot();

  static ModelFlash &Current();

  // Operations (called by the protocol slots).
  EFI_STATUS IcInit(UINT8 *Count);
  EFI_STATUS GetActiveSection(UINT8 Ic, UINT8 *Section);
  EFI_STATUS SetActiveBank(UINT8 Ic, UINT8 Bank);
  EFI_STATUS GetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version);
  EFI_STATUS IcOperation(FlashOp Op, UINT8 Ic);
  EFI_STATUS WriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data);
  EFI_STATUS ReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer);
  EFI_STATUS EraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone);
  EFI_STATUS HardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check);
  UINT8 GetIcAddress(UINT8 Index);
  EFI_STATUS SetReduceFlags(UINT32 Mask);

 private:
  EFI_STATUS Record(FlashCall Call);
  /// Counts a flash operation; true when the power goes at this one.
  bool CutHere();
  /// Bytes of a change of Length bytes done at the cut, in Unit-sized steps.
  UINTN PartBytes(UINTN Length, UINT32 Unit) const;
  /// Raises the IC's floor to the image it runs when that is higher (after a
  /// switch, at IcInit); false when the power went during the write.
  bool RaiseFloor(UINT8 Ic);

  SIM_CONFIG Config_{};
  FAULT_RULES Faults_{};
  SIM_FLASH Sim_{};
  std::vector<UINT8> Memory_[SIM_MAX_ICS][SIM_BANKS_PER_IC];
  size_t Operations_ = 0;
  size_t CutAt_ = 0;
  CutPart CutPart_ = CutPart::None;
  bool PowerLost_ = false;
  SIGN_MEMO Memo_{};
  size_t FloorWrites_ = 0;
  std::string CutAtFloor_;
};
