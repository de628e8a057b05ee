// The reference simulator's flash model (OrvSimPkg's FlashModel, the same
// code as OrvFlashSim.efi) behind a real ORV_FLASH_PROTOCOL table: the flash
// of every host test, the power-cut sweep and the benchmarks.
//
// The flash rules are the model's own: an open pass and an unlocked flash for
// erase and write, erase before write (a write only clears bits), the running
// OCM bank protected, bank sizes. A call the model refuses is kept in
// Refusals() apart from the calls a scripted fault failed, so a test fixture
// can fail every test in which the code under test broke a rule. Versions and
// the hardware check come from the image headers in the banks, as on the
// board. Bank memory and the active sections persist across runs (Reboot()
// is a power cycle), so a later run sees exactly the flash an earlier one
// left.
//
// Faults are the simulator's own fault rules (FaultRules.h), armed typed
// (Fail, CorruptRead, CheckZero) or as Faults.ini text (SetFaults). Every
// call is recorded as a typed FlashCall. A power cut can be armed at the n-th
// flash operation (erase, write or bank switch): that operation is left done
// to a part of its sectors or pages, as the simulator's SimCutBytes says, and
// from then on every call fails with EFI_DEVICE_ERROR and changes nothing,
// until Reboot().
//
// Use:
//   ModelFlash Flash(ModelFlash::ConfigText(2, 16384, 4096));
//   Flash.Program(0, ZONE_OCM, 0, MakeZoneImage(0x10, 4000, 1));  // seed a bank
//   Flash.Fail(SIM_OP::EraseBank, EFI_TIMEOUT, {.Ic = 1});
//   ... install &Flash.Protocol under gOrvFlashProtocolGuid, run ...
//   Flash.Bank(0, ZONE_OCM, 1), Flash.Active(0), Flash.Calls, Flash.TakeRefusals()
//
// One instance is current at a time (the protocol has no This pointer); it
// does not depend on GoogleTest. Programs outside the tests link the CMake
// target orv_model_flash. Bank sizes of a few MiB cost one copy of the bank
// per call at most (a read); erase and write touch each byte once.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "OrvEfi.h"

#include "FaultRules.h"
#include "FlashModel.h"
#include "SimConfig.h"

/// An argument the operation does not have.
constexpr UINT8 FLASH_NO_ARG = 0xFF;

/// One recorded call. Fields the operation does not have are FLASH_NO_ARG
/// (Size 0). For GetIcVersion, Bank is the section; for SetActiveBank the
/// bank switched to; for SetReduceFlags, Size is the mask; for GetIcAddress,
/// Size is the address reported; for HardwareCheckBank, Size is the check
/// value the call entered with; for CheckImageAcceptance, Size is the
/// image's size.
struct FlashCall {
  SIM_OP     Op;
  UINT8      Ic = FLASH_NO_ARG;
  UINT8      Bank = FLASH_NO_ARG;
  UINT8      Zone = FLASH_NO_ARG;
  UINTN      Size = 0;
  EFI_STATUS Status = EFI_SUCCESS;
  /// A scripted fault rule failed the call.
  bool       Faulted = false;
  /// The call came after the power was cut and did nothing.
  bool       PowerLost = false;

  /// The flash itself refused the call: a flash rule or a bad argument.
  bool Refused() const { return EFI_ERROR(Status) && !Faulted && !PowerLost; }
  bool operator==(const FlashCall &Other) const = default;
};

/// "EraseBank IC 0 bank 1 ocm" and, when set, size, status and marks.
std::string Describe(const FlashCall &Call);
/// GoogleTest shows calls as Describe does.
void PrintTo(const FlashCall &Call, std::ostream *Out);

/// The calls a scripted fault applies to: FAULT_ANY matches every value;
/// Call 0 fails every matching call, n only the n-th (counted from the
/// rule's arming, and again from every IcInit, as the simulator reads its
/// fault file again there).
struct FaultWhere {
  INT32  Ic = FAULT_ANY;
  INT32  Zone = FAULT_ANY;
  INT32  Bank = FAULT_ANY;
  UINT32 Call = 0;
};

/// Appends a rule of Op for the calls Where names, failing with Status, and
/// returns it (for the fields of CorruptRead). Aborts when Rules is full.
FAULT_RULE &AddFaultRule(FAULT_RULES &Rules, SIM_OP Op, FaultWhere Where,
                         EFI_STATUS Status = EFI_DEVICE_ERROR);

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
  /// The flash policy protocol table (install it beside Protocol under
  /// gOrvFlashPolicyProtocolGuid); its slots call into the current instance
  /// and answer from the model's own hardware check.
  ORV_FLASH_POLICY_PROTOCOL Policy{};

  /// Every call since construction or the last Reboot()/ClearCalls().
  std::vector<FlashCall> Calls;
  void ClearCalls() { Calls.clear(); }
  /// Calls of Op; Ic, Bank, Zone FLASH_NO_ARG match anything.
  size_t Count(SIM_OP Op, UINT8 Ic = FLASH_NO_ARG, UINT8 Bank = FLASH_NO_ARG,
               UINT8 Zone = FLASH_NO_ARG) const;
  /// Calls equal to Exact.
  size_t Count(const FlashCall &Exact) const;
  /// The calls the flash refused (FlashCall::Refused) since construction or
  /// the last TakeRefusals(), which forgets them.
  const std::vector<FlashCall> &Refusals() const { return Refusals_; }
  std::vector<FlashCall> TakeRefusals();
  /// When set, every call's operation is appended here too: one record in
  /// call order with the other fake components that share it.
  std::vector<SIM_OP> *Journal = nullptr;
  /// The path interface the last IcInit was given.
  const void *IcInitPath = nullptr;

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
  /// Every byte of the bank is erased (FF).
  bool Erased(UINT8 Ic, UINT8 Zone, UINT8 Bank) const;
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
  /// Provisions Key and Product in the IC (FlashSim.ini's PublicKey and
  /// Product): from then on its hardware check passes only format 3 images
  /// Key signed for the zone and Product, and it keeps a security floor,
  /// starting from none.
  void ProvisionKey(UINT8 Ic, const IMAGE_PUBLIC_KEY &Key, UINT32 Product = MODEL_PRODUCT);
  /// The product ProvisionKey provisions unless told otherwise.
  static constexpr UINT32 MODEL_PRODUCT = 0x4F525601;
  /// As the driver, the model saves a floor store that changed (its floor
  /// file) right after writing it, and Reboot() reads the saved store back:
  /// a floor never marked for saving is lost at the next power cycle.
  /// The IC's security floor.
  UINT32 Floor(UINT8 Ic) const { return SimFloor(Sim_.Ic[Ic]); }
  /// Writes of a floor (each is a flash operation for CutPowerAt) since the
  /// last Reboot().
  size_t FloorWrites() const { return FloorWrites_; }
  /// "floor write IC <i>" when the power went during one, else "".
  const std::string &CutAtFloorWrite() const { return CutAtFloor_; }

  // ---- Faults ----------------------------------------------------------------------
  /// Op fails with Status for the calls Where names.
  void Fail(SIM_OP Op, EFI_STATUS Status, FaultWhere Where = {});
  /// ReadBankData succeeds, but the byte at Offset of the buffer has the bits
  /// Xor flipped.
  void CorruptRead(UINT32 Offset, UINT8 Xor, FaultWhere Where = {});
  /// HardwareCheckBank succeeds but leaves the check value 0.
  void CheckZero(FaultWhere Where = {});
  /// Adds the rules of Faults.ini text (OrvSimPkg/README.md).
  /// @return false (rules unchanged) when the text is refused.
  bool SetFaults(const std::string &FaultsIni);

  // ---- A flash component unlike the model ---------------------------------------------
  /// HardwareCheckBank leaves this check value, also when it fails, instead
  /// of the model's verdict; CHECK_AS_ENTERED leaves the value it entered with.
  static constexpr UINT16 CHECK_AS_ENTERED = 0x100;
  std::optional<UINT16> CheckLeaves;
  /// IcInit reports this count instead of the configuration's; the model
  /// refuses the ICs it does not hold.
  std::optional<UINT8> ReportedIcCount;

  // ---- Power ---------------------------------------------------------------------
  /// Erase, write and switch calls (and floor writes) made with the power
  /// on since the last Reboot(), whatever their status.
  size_t FlashOperations() const { return Operations_; }
  /// Cuts the power at the Nth flash operation from the last Reboot()
  /// (1-based), leaving Part of it done (a switch is one step). 0 disarms.
  void CutPowerAt(size_t Nth, CUT_PART Part);
  bool PowerLost() const { return PowerLost_; }
  /// Power cycle: the power is back, every pass closed and the flash locked,
  /// call records and the operation count cleared, no cut armed. Contents and
  /// active sections stay.
  void Reboot();

  static ModelFlash &Current();

  // Operations (called by the protocol slots).
  EFI_STATUS IcInit(const void *Path, UINT8 *Count);
  EFI_STATUS GetActiveSection(UINT8 Ic, UINT8 *Section);
  EFI_STATUS SetActiveBank(UINT8 Ic, UINT8 Bank);
  EFI_STATUS GetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version);
  EFI_STATUS IcOperation(SIM_OP Op, UINT8 Ic);
  EFI_STATUS WriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, const UINT8 *Data);
  EFI_STATUS ReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer);
  EFI_STATUS EraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone);
  EFI_STATUS HardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check);
  UINT8 GetIcAddress(UINT8 Index);
  EFI_STATUS SetReduceFlags(UINT32 Mask);
  EFI_STATUS CheckImageAcceptance(UINT8 Ic, UINT8 Zone, const UINT8 *Data, UINTN Size,
                                  ORV_IMAGE_ACCEPTANCE *Acceptance);
  EFI_STATUS GetIcSecurity(UINT8 Ic, ORV_IC_SECURITY *Security);

 private:
  /// One call: nothing but a record once the power is lost; a flash
  /// operation (Cut set) is counted and, at the armed cut, left done to the
  /// armed part by Cut before the power goes; otherwise the model runs it.
  /// Args are the call's arguments as the model matches fault rules.
  EFI_STATUS Run(FlashCall Made, FaultWhere Args, const std::function<EFI_STATUS()> &Model,
                 const std::function<void(CUT_PART)> &Cut = nullptr);
  EFI_STATUS Record(const FlashCall &Call);
  /// Raises the IC's floor to the image it runs when that is higher (after a
  /// switch, at IcInit), as the driver does; a floor write is a flash
  /// operation. False when the power went during the write.
  bool RaiseFloor(UINT8 Ic);

  SIM_CONFIG Config_{};
  FAULT_RULES Faults_{};
  SIM_FLASH Sim_{};
  std::vector<UINT8> Memory_[SIM_MAX_ICS][SIM_BANKS_PER_IC];
  std::vector<FlashCall> Refusals_;
  size_t Operations_ = 0;
  size_t CutAt_ = 0;
  CUT_PART CutPart_ = CUT_PART::None;
  bool PowerLost_ = false;
  SIGN_MEMO Memo_{};
  /// The floor stores as last saved (the driver's floor files).
  UINT8 SavedFloor_[SIM_MAX_ICS][SIM_FLOOR_STORE_SIZE] = {};
  void SaveFloor(UINT8 Ic);
  size_t FloorWrites_ = 0;
  std::string CutAtFloor_;
};
