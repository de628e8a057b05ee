/** @file
  Simulated flash component: N ICs described by OrvBoard\FlashSim.ini on
  the board disk (or OrvSim\FlashSim.ini on the driver's own volume when no
  board disk is attached; see SimBoard.h), each with an OCM and a customer
  zone of two banks. Bank contents live in pool memory during a run and in
  one file per IC, zone and bank beside that configuration; the active
  section in a small state file. Files are loaded at
  IcInit, banks saved when a programming pass closes, the state file after a
  bank switch. With a public key provisioned for an IC (its PEM file named
  in the configuration), the IC keeps a security floor in a third state
  file and its hardware check passes only images that key signed. The
  flash rules, versions, checks, faults and timing are in FlashModel.
**/

#include "SimEfi.h"
#include "SimFaults.h"
#include "SimBoard.h"

#include <OrvSimPathState.h>

#include "FlashModel.h"
#include "HexImage.h"
#include "PemKey.h"

const EFI_GUID gOrvFlashProtocolGuid = ORV_FLASH_PROTOCOL_GUID;
static constexpr EFI_GUID gOrvSimPathStateGuid = ORV_SIM_PATH_STATE_GUID;

namespace {

constexpr UINTN CONFIG_MAX_SIZE = 64 * 1024;
constexpr UINTN NAME_SIZE = 64;  // CHAR16 units of a file name
constexpr UINTN STATE_FILE_MAX = 256;

constinit EFI_HANDLE gDriverImage = nullptr;
/// Where the chips' configuration and state files are, found at IcInit.
constinit SIM_BOARD gBoard = {};
constinit SIM_CONFIG gConfig = {};
constinit FAULT_RULES gFaults = {};
constinit SIM_FLASH gFlash = {};
/// Erases, writes and switches since the fault file was read (PowerCut After=).
constinit UINT32 gFlashOperations = 0;

/// Each IC's state file as it was loaded (size 0: there was none). A switch
/// rewrites only its first character, so a file written by a script ("0\n")
/// reads byte for byte as before once the IC is switched back.
struct STATE_FILE {
  CHAR8 Text[STATE_FILE_MAX];
  UINTN Size;
};
constinit STATE_FILE gStateFiles[SIM_MAX_ICS] = {};

constexpr const char16_t *BANK_NAMES[SIM_BANKS_PER_IC] = {u"Ocm0", u"Ocm1", u"Cust0", u"Cust1"};

/// An erase or write whose delay is at least this long shows its progress
/// on the standard error console, so output redirected with ">" keeps only
/// the application's lines. The line is redrawn in place at most every
/// PROGRESS_STEP_US and cleared at the end.
constexpr UINT64 PROGRESS_MIN_US = 1000000;
constexpr UINT64 PROGRESS_STEP_US = 100000;
constexpr UINTN PROGRESS_LINE_SIZE = 96;  // CHAR16 units

/// The erase or write under way, named in the progress line.
struct BUSY {
  const CHAR16 *Operation;
  UINT8 Ic;
  UINT8 Zone;
  UINT8 Bank;
};
constinit BUSY gBusy = {};

/// Names the operation for the progress line while it lasts.
class BUSY_SCOPE {
 public:
  BUSY_SCOPE(const CHAR16 *Operation, UINT8 Ic, UINT8 Zone, UINT8 Bank) { gBusy = {Operation, Ic, Zone, Bank}; }
  ~BUSY_SCOPE() { gBusy = {}; }
  BUSY_SCOPE(const BUSY_SCOPE &) = delete;
  BUSY_SCOPE &operator=(const BUSY_SCOPE &) = delete;
};

/// Draws the progress line over the previous one; returns its length.
UINTN DrawProgress(UINT64 Percent) {
  CHAR16 Line[PROGRESS_LINE_SIZE];
  SPrint(Line, sizeof(Line), u"\rFlashSim: %s IC %d %s bank %d: %3d%%"_w, gBusy.Operation,
         static_cast<UINT32>(gBusy.Ic), gBusy.Zone == ZONE_OCM ? u"OCM"_w : u"customer"_w,
         static_cast<UINT32>(gBusy.Bank), static_cast<UINT32>(Percent));
  ST->StdErr->OutputString(ST->StdErr, Line);
  return StrLen(Line);
}

void ClearProgress(UINTN Length) {
  CHAR16 Line[PROGRESS_LINE_SIZE + 2];
  UINTN At = 0;
  Line[At++] = u'\r';
  for (UINTN Index = 1; Index < Length && At < PROGRESS_LINE_SIZE; Index++) Line[At++] = u' ';
  Line[At++] = u'\r';
  Line[At] = 0;
  ST->StdErr->OutputString(ST->StdErr, Line);
}

void StallMicroseconds(UINT64 Microseconds) {
  const bool Progress = Microseconds >= PROGRESS_MIN_US && gBusy.Operation != nullptr && ST->StdErr != nullptr;
  UINTN Length = Progress ? DrawProgress(0) : 0;
  UINT64 Shown = 0;
  for (UINT64 Done = 0; Done < Microseconds;) {
    const UINT64 Step = Progress ? PROGRESS_STEP_US : 1000000;
    const UINT64 Chunk = Microseconds - Done > Step ? Step : Microseconds - Done;
    BS->Stall(static_cast<UINTN>(Chunk));
    Done += Chunk;
    // Done only grows, so the percentage never goes back.
    const UINT64 Percent = Done * 100 / Microseconds;
    if (Progress && Percent > Shown) {
      Shown = Percent;
      Length = DrawProgress(Percent);
    }
  }
  if (Progress) ClearProgress(Length);
}

void BankFileName(CHAR16 *Name, UINTN Ic, UINTN Bank) {
  SPrint(Name, NAME_SIZE * sizeof(CHAR16), u"%s\\Ic%d%s.bin"_w, gBoard.Folder, Ic,
         reinterpret_cast<const CHAR16 *>(BANK_NAMES[Bank]));
}

void StateFileName(CHAR16 *Name, UINTN Ic) {
  SPrint(Name, NAME_SIZE * sizeof(CHAR16), u"%s\\Ic%dActive.txt"_w, gBoard.Folder, Ic);
}

void FloorFileName(CHAR16 *Name, UINTN Ic) {
  SPrint(Name, NAME_SIZE * sizeof(CHAR16), u"%s\\Ic%dFloor.bin"_w, gBoard.Folder, Ic);
}

void FreeBanks() {
  for (UINTN Ic = 0; Ic < SIM_MAX_ICS; Ic++) {
    for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
      if (gFlash.Ic[Ic].Bank[Bank] != nullptr) {
        FreePool(gFlash.Ic[Ic].Bank[Bank]);
        gFlash.Ic[Ic].Bank[Bank] = nullptr;
      }
    }
  }
  gFlash.IcCount = 0;
}

// Writes an erased bank with the seed image named in the configuration.
EFI_STATUS SeedBank(EFI_FILE_HANDLE Root, const char *SeedPath, UINT8 *Bank, UINTN BankSize) {
  CHAR16 Path[SIM_PATH_MAX];
  // The configuration reader takes seed paths of at most SIM_PATH_MAX - 1 characters.
  EFI_STATUS Status =
      AsciiStrToUnicodeStrS(reinterpret_cast<const CHAR8 *>(SeedPath), Path, SIM_PATH_MAX);
  if (EFI_ERROR(Status)) return Status;
  HEX_RESULT Result{};
  {
    PoolGuard<UINT8> Text;
    UINTN TextSize = 0;
    Status = ReadWholeFile(Root, Path, HEX_MAX_FILE_SIZE, &Text, &TextSize);
    if (EFI_ERROR(Status)) {
      return PrintAndReturn(Status, u"FlashSim: cannot open %s, %x\n"_w, Path, Hex32(Status));
    }
    const char *Chars = reinterpret_cast<const char *>(Text.Get());
    Result = DecodeHex(Chars, TextSize, nullptr, 0);
    if (Result.Error == HEX_OK && Result.Size > BankSize) {
      return PrintAndReturn(EFI_BAD_BUFFER_SIZE, u"FlashSim: %s: image larger than the bank\n"_w,
                            Path);
    }
    if (Result.Error == HEX_OK) Result = DecodeHex(Chars, TextSize, Bank, BankSize);
  }
  UINTN ImageSize = 0;
  if (Result.Error == HEX_OK) Result.Error = ImageSizeFromHeader(Bank, Result.Size, &ImageSize);
  if (Result.Error == HEX_OK && ImageSize > BankSize) {
    SetMem(Bank, BankSize, 0xFF);
    return PrintAndReturn(EFI_BAD_BUFFER_SIZE, u"FlashSim: %s: image larger than the bank\n"_w,
                          Path);
  }
  IMAGE_INFO Info{};
  if (Result.Error == HEX_OK) Result.Error = FinishImage(Bank, Result.Size, ImageSize, &Info);
  if (Result.Error != HEX_OK) {
    SetMem(Bank, BankSize, 0xFF);
    SimReportBadFile(u"FlashSim"_w, Path, Result.Line, HexErrorText(Result.Error));
    return EFI_VOLUME_CORRUPTED;
  }
  return EFI_SUCCESS;
}

// Loads one bank from its file; a missing file becomes an erased (or seeded)
// bank, a file of another size is taken as far as it goes. Either is written
// back at the bank's size.
EFI_STATUS LoadBank(EFI_FILE_HANDLE Root, UINTN Ic, UINTN Bank) {
  SIM_IC_STATE &State = gFlash.Ic[Ic];
  UINTN BankSize = State.Size[Bank];
  // The bank belongs to the run's flash state (FreeBanks gives it back).
  UINT8 *Memory = static_cast<UINT8 *>(AllocatePool(BankSize));
  if (Memory == nullptr) {
    return PrintAndReturn(EFI_OUT_OF_RESOURCES, u"FlashSim: out of memory for IC %d banks\n"_w, Ic);
  }
  State.Bank[Bank] = Memory;
  SetMem(Memory, BankSize, 0xFF);

  CHAR16 Name[NAME_SIZE];
  BankFileName(Name, Ic, Bank);
  PoolGuard<UINT8> Data;
  UINTN Size = 0;
  EFI_STATUS Status = ReadWholeFile(Root, Name, HEX_MAX_FILE_SIZE, &Data, &Size);
  if (Status == EFI_NOT_FOUND) {
    const char *Seed = gConfig.Ic[Ic].Seed[Bank];
    if (Seed[0] != '\0') {
      Status = SeedBank(Root, Seed, Memory, BankSize);
      if (EFI_ERROR(Status)) return Status;
    }
    Size = 0;
  } else if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashSim: cannot read %s, %x\n"_w, Name, Hex32(Status));
  } else {
    CopyMem(Memory, Data.Get(), Size < BankSize ? Size : BankSize);
  }
  if (Size != BankSize) {
    Status = SimWriteFile(Root, Name, Memory, BankSize);
    if (EFI_ERROR(Status)) {
      return PrintAndReturn(EFI_DEVICE_ERROR, u"FlashSim: cannot write %s, %x\n"_w, Name,
                            Hex32(Status));
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS LoadActiveSection(EFI_FILE_HANDLE Root, UINTN Ic) {
  CHAR16 Name[NAME_SIZE];
  StateFileName(Name, Ic);
  PoolGuard<UINT8> Data;
  UINTN Size = 0;
  gStateFiles[Ic].Size = 0;
  EFI_STATUS Status = ReadWholeFile(Root, Name, STATE_FILE_MAX, &Data, &Size);
  if (Status == EFI_NOT_FOUND) return EFI_SUCCESS;  // the configuration's section stands
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashSim: cannot read %s, %x\n"_w, Name, Hex32(Status));
  }
  if (Size < 1 || (Data[0] != '0' && Data[0] != '1')) {
    return PrintAndReturn(EFI_VOLUME_CORRUPTED, u"FlashSim: %s must hold 0 or 1\n"_w, Name);
  }
  gFlash.Ic[Ic].Active = static_cast<UINT8>(Data[0] - '0');
  for (UINTN Index = 0; Index < Size; Index++) {
    gStateFiles[Ic].Text[Index] = static_cast<CHAR8>(Data[Index]);
  }
  gStateFiles[Ic].Size = Size;
  return EFI_SUCCESS;
}

// The key provisioned in the IC, from the PEM file the configuration names.
EFI_STATUS LoadKey(EFI_FILE_HANDLE Root, UINTN Ic) {
  const char *KeyPath = gConfig.Ic[Ic].PublicKey;
  if (KeyPath[0] == '\0') return EFI_SUCCESS;
  CHAR16 Path[SIM_PATH_MAX];
  // The configuration reader takes key paths of at most SIM_PATH_MAX - 1 characters.
  EFI_STATUS Status =
      AsciiStrToUnicodeStrS(reinterpret_cast<const CHAR8 *>(KeyPath), Path, SIM_PATH_MAX);
  if (EFI_ERROR(Status)) return Status;
  PoolGuard<UINT8> Text;
  UINTN Size = 0;
  Status = ReadWholeFile(Root, Path, 16 * 1024, &Text, &Size);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashSim: cannot open %s, %x\n"_w, Path, Hex32(Status));
  }
  PEM_ERROR Error = ReadPublicKeyPem(reinterpret_cast<const char *>(Text.Get()), Size, &gFlash.Ic[Ic].Key);
  if (Error != PEM_ERROR::Ok) {
    return PrintAndReturn(EFI_INVALID_PARAMETER, u"FlashSim: %s: %a\n"_w, Path, PemErrorText(Error));
  }
  gFlash.Ic[Ic].HasKey = true;
  return EFI_SUCCESS;
}

// The floor store; a missing file is a store that never held a floor.
EFI_STATUS LoadFloor(EFI_FILE_HANDLE Root, UINTN Ic) {
  SIM_IC_STATE &State = gFlash.Ic[Ic];
  SetMem(State.FloorStore, SIM_FLOOR_STORE_SIZE, 0xFF);
  CHAR16 Name[NAME_SIZE];
  FloorFileName(Name, Ic);
  PoolGuard<UINT8> Data;
  UINTN Size = 0;
  EFI_STATUS Status = ReadWholeFile(Root, Name, 4096, &Data, &Size);
  if (Status == EFI_NOT_FOUND) return EFI_SUCCESS;
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashSim: cannot read %s, %x\n"_w, Name, Hex32(Status));
  }
  for (UINTN Index = 0; Index < Size && Index < SIM_FLOOR_STORE_SIZE; Index++) {
    State.FloorStore[Index] = Data[Index];
  }
  return EFI_SUCCESS;
}

// Writes the floor store back when it changed.
EFI_STATUS SaveFloor(UINT8 Ic) {
  SIM_IC_STATE &State = gFlash.Ic[Ic];
  if (!State.FloorDirty) return EFI_SUCCESS;
  CHAR16 Name[NAME_SIZE];
  FloorFileName(Name, Ic);
  FileGuard Root;
  EFI_STATUS Status = SimOpenBoard(&gBoard, &Root);
  if (!EFI_ERROR(Status)) Status = SimWriteFile(Root.Get(), Name, State.FloorStore, SIM_FLOOR_STORE_SIZE);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"FlashSim: cannot write %s, %x\n"_w, Name, Hex32(Status));
  }
  State.FloorDirty = false;
  return EFI_SUCCESS;
}

// Saves the banks of an IC changed since they were last saved.
EFI_STATUS SaveDirtyBanks(UINT8 Ic) {
  SIM_IC_STATE &State = gFlash.Ic[Ic];
  bool Any = false;
  for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
    Any = Any || State.Dirty[Bank];
  }
  if (!Any) {
    return EFI_SUCCESS;
  }
  FileGuard Root;
  EFI_STATUS Status = SimOpenBoard(&gBoard, &Root);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(EFI_DEVICE_ERROR, u"FlashSim: cannot open the board's volume, %x\n"_w,
                          Hex32(Status));
  }
  EFI_STATUS Result = EFI_SUCCESS;
  for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC; Bank++) {
    if (!State.Dirty[Bank]) {
      continue;
    }
    CHAR16 Name[NAME_SIZE];
    BankFileName(Name, Ic, Bank);
    Status = SimWriteFile(Root.Get(), Name, State.Bank[Bank], State.Size[Bank]);
    if (EFI_ERROR(Status)) {
      Print(u"FlashSim: cannot write %s, %x\n"_w, Name, Hex32(Status));
      Result = EFI_DEVICE_ERROR;
    } else {
      State.Dirty[Bank] = false;
    }
  }
  return Result;
}

// Counts an erase, write or switch; the PowerCut rule when the power goes at
// this one.
const FAULT_RULE *PowerCutHere() {
  gFlashOperations++;
  const FAULT_RULE *Cut = FaultPowerCut(&gFaults);
  return Cut != nullptr && Cut->After == gFlashOperations ? Cut : nullptr;
}

// The power goes: real flash keeps what was done, so every bank is written
// as it stands, then the machine stops at once.
[[noreturn]] void CutPower(const FAULT_RULE *Cut, const CHAR16 *Operation, UINT8 Ic) {
  for (UINT8 Index = 0; Index < gFlash.IcCount; Index++) {
    (void)SaveDirtyBanks(Index);
    (void)SaveFloor(Index);
  }
  static constexpr const char *PART_NAMES[] = {"none", "half", "all"};
  Print(u"FlashSim: power cut at flash operation %d, %s IC %d, part %a\n"_w, Cut->After, Operation,
        static_cast<UINT32>(Ic), PART_NAMES[static_cast<UINTN>(Cut->Part)]);
  RT->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  for (;;) {
  }
}

// Raises the IC's floor to the security counter of the image it runs, when
// that is higher: after a switch, and at IcInit for a rise a reset cut off.
// The switch is written before the floor, so the floor is never above the
// image the IC runs; a write of the floor that fails or is cut short leaves
// the old floor, and the next IcInit tries again.
void RaiseFloor(UINT8 Ic) {
  UINT32 NewFloor = 0;
  if (!SimFloorToRaise(&gFlash, Ic, &NewFloor)) return;
  if (const FAULT_RULE *Cut = PowerCutHere()) {
    SimWriteFloorPart(&gFlash, Ic, NewFloor, SimCutBytes(SIM_FLOOR_SLOT_SIZE, 4, Cut->Part));
    CutPower(Cut, u"WriteFloor"_w, Ic);
  }
  SimWriteFloorPart(&gFlash, Ic, NewFloor, SIM_FLOOR_SLOT_SIZE);
  (void)SaveFloor(Ic);
}

// The flash sits behind the path: a simulated path that is not up cannot
// reach any IC.
bool PathIsDown(struct _ORV_PATH_PROTOCOL *PathInterface) {
  ORV_SIM_PATH_STATE *State = nullptr;
  if (PathInterface == nullptr ||
      EFI_ERROR(BS->LocateProtocol(GuidArgument(gOrvSimPathStateGuid), nullptr,
                                    reinterpret_cast<VOID **>(&State))) ||
      State == nullptr) {
    return false;
  }
  return State->Interface == reinterpret_cast<ORV_PATH_PROTOCOL *>(PathInterface) && State->Initialized == 0;
}

// Reads the board's FlashSim.ini into gConfig.
EFI_STATUS LoadConfig(EFI_FILE_HANDLE Root) {
  CHAR16 Name[NAME_SIZE];
  SPrint(Name, sizeof(Name), u"%s\\FlashSim.ini"_w, gBoard.Folder);
  PoolGuard<UINT8> Text;
  UINTN Size = 0;
  EFI_STATUS Status = ReadWholeFile(Root, Name, CONFIG_MAX_SIZE, &Text, &Size);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashSim: cannot open %s, %x\n"_w, Name, Hex32(Status));
  }
  TEXT_ERROR Error{};
  Status = ParseSimConfig(reinterpret_cast<const char *>(Text.Get()), Size, &gConfig, &Error);
  if (EFI_ERROR(Status)) {
    SimReportBadFile(u"FlashSim"_w, Name, Error.Line, Error.Reason);
    SimReportBadBoard(&gBoard);
  }
  return Status;
}

EFI_STATUS EFIAPI IcInit(struct _ORV_PATH_PROTOCOL *PathInterface, UINT8 *IcCount) {
  if (IcCount == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  FreeBanks();
  EFI_STATUS Status = SimLoadFaults(gDriverImage, u"FlashSim"_w, &gFaults);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  gFlashOperations = 0;
  if (const FAULT_RULE *Rule = FaultHit(&gFaults, SIM_OP::IcInit, FAULT_ANY, FAULT_ANY, FAULT_ANY)) {
    return Rule->Status;
  }
  if (PathIsDown(PathInterface)) {
    Print(u"FlashSim: path is not initialised\n"_w);
    return EFI_NOT_READY;
  }

  gBoard = {};
  Status = SimFindBoard(gDriverImage, &gBoard);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  FileGuard Root;
  Status = SimOpenBoard(&gBoard, &Root);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashSim: cannot open the board's volume, %x\n"_w,
                          Hex32(Status));
  }
  Status = LoadConfig(Root.Get());
  if (EFI_ERROR(Status)) {
    return Status;
  }

  SimFlashSetup(&gFlash, &gConfig, &gFaults, StallMicroseconds);
  for (UINTN Ic = 0; Ic < gConfig.IcCount && !EFI_ERROR(Status); Ic++) {
    for (UINTN Bank = 0; Bank < SIM_BANKS_PER_IC && !EFI_ERROR(Status); Bank++) {
      Status = LoadBank(Root.Get(), Ic, Bank);
    }
    if (!EFI_ERROR(Status)) Status = LoadActiveSection(Root.Get(), Ic);
    if (!EFI_ERROR(Status)) Status = LoadKey(Root.Get(), Ic);
    if (!EFI_ERROR(Status)) Status = LoadFloor(Root.Get(), Ic);
  }
  if (EFI_ERROR(Status)) {
    FreeBanks();
    return Status;
  }
  for (UINT8 Ic = 0; Ic < gFlash.IcCount; Ic++) {
    RaiseFloor(Ic);
  }
  *IcCount = gFlash.IcCount;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetActiveSection(UINT8 Ic, UINT8 *Section) {
  return SimGetActiveSection(&gFlash, Ic, Section);
}

// The switch, kept in the IC's state file.
EFI_STATUS SwitchBank(UINT8 Ic, UINT8 Bank) {
  UINT8 Previous = Ic < gFlash.IcCount ? gFlash.Ic[Ic].Active : SIM_SECTION_NONE;
  EFI_STATUS Status = SimSetActiveBank(&gFlash, Ic, Bank);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The banks go to their files before the state file names the new section:
  // a reset between the two (the pass is closed only later) would otherwise
  // leave the IC on a bank file that does not hold what was verified.
  if (EFI_ERROR(SaveDirtyBanks(Ic))) {
    gFlash.Ic[Ic].Active = Previous;
    return EFI_DEVICE_ERROR;
  }
  // The switch counts only once it is kept; otherwise the IC stays where it was.
  CHAR16 Name[NAME_SIZE];
  StateFileName(Name, Ic);
  STATE_FILE &State = gStateFiles[Ic];
  if (State.Size == 0) {
    State = {{'0', '\r', '\n'}, 3};
  }
  State.Text[0] = static_cast<CHAR8>('0' + gFlash.Ic[Ic].Active);
  {
    FileGuard Root;
    Status = SimOpenBoard(&gBoard, &Root);
    if (!EFI_ERROR(Status)) Status = SimWriteFile(Root.Get(), Name, State.Text, State.Size);
  }
  if (EFI_ERROR(Status)) {
    Print(u"FlashSim: cannot write %s, %x\n"_w, Name, Hex32(Status));
    gFlash.Ic[Ic].Active = Previous;
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetActiveBank(UINT8 Ic, UINT8 Bank) {
  if (const FAULT_RULE *Cut = PowerCutHere()) {
    // A switch is one step: done (state file written) or not done.
    if (Cut->Part == CUT_PART::All) {
      (void)SwitchBank(Ic, Bank);
    }
    CutPower(Cut, u"SetActiveBank"_w, Ic);
  }
  EFI_STATUS Status = SwitchBank(Ic, Bank);
  if (!EFI_ERROR(Status)) RaiseFloor(Ic);
  return Status;
}

EFI_STATUS EFIAPI GetIcVersion(UINT8 Ic, UINT8 Section, UINT32 *Version) {
  return SimGetIcVersion(&gFlash, Ic, Section, Version);
}

EFI_STATUS EFIAPI FlashPreOperation(UINT8 Ic) { return SimFlashPreOperation(&gFlash, Ic); }

EFI_STATUS EFIAPI LockFlash(UINT8 Ic) { return SimLockFlash(&gFlash, Ic); }

EFI_STATUS EFIAPI UnlockFlash(UINT8 Ic) { return SimUnlockFlash(&gFlash, Ic); }

EFI_STATUS EFIAPI WriteBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, CONST UINT8 *Data) {
  BUSY_SCOPE Busy(u"write"_w, Ic, Zone, Bank);
  if (const FAULT_RULE *Cut = PowerCutHere()) {
    UINTN Done = SimCutBytes(Size, gConfig.Timing.PageSize, Cut->Part);
    (void)SimWriteBankDataPart(&gFlash, Ic, Bank, Zone, Size, Data, Done);
    CutPower(Cut, u"WriteBankData"_w, Ic);
  }
  return SimWriteBankData(&gFlash, Ic, Bank, Zone, Size, Data);
}

EFI_STATUS EFIAPI ReadBankData(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINTN Size, UINT8 *Buffer) {
  return SimReadBankData(&gFlash, Ic, Bank, Zone, Size, Buffer);
}

EFI_STATUS EFIAPI EraseBank(UINT8 Ic, UINT8 Bank, UINT8 Zone) {
  BUSY_SCOPE Busy(u"erase"_w, Ic, Zone, Bank);
  if (const FAULT_RULE *Cut = PowerCutHere()) {
    UINTN BankSize = Ic < gFlash.IcCount && Bank <= 1 && (Zone == ZONE_OCM || Zone == ZONE_CUSTOMER)
                         ? gFlash.Ic[Ic].Size[SimBankIndex(Zone, Bank)]
                         : 0;
    UINTN Done = SimCutBytes(BankSize, gConfig.Timing.SectorSize, Cut->Part);
    (void)SimEraseBankPart(&gFlash, Ic, Bank, Zone, Done);
    CutPower(Cut, u"EraseBank"_w, Ic);
  }
  return SimEraseBank(&gFlash, Ic, Bank, Zone);
}

EFI_STATUS EFIAPI HardwareCheckBank(UINT8 Ic, UINT8 Bank, UINT8 Zone, UINT8 *Check) {
  return SimHardwareCheckBank(&gFlash, Ic, Bank, Zone, Check);
}

EFI_STATUS EFIAPI FlashPostOperation(UINT8 Ic) { return SimFlashPostOperation(&gFlash, Ic); }

EFI_STATUS EFIAPI ICPostOperation(UINT8 Ic) {
  EFI_STATUS Status = SimIcPostOperation(&gFlash, Ic);
  // Flash keeps whatever was done to it, also when the pass failed.
  if (Ic < gFlash.IcCount) {
    EFI_STATUS SaveStatus = SaveDirtyBanks(Ic);
    if (!EFI_ERROR(Status) && EFI_ERROR(SaveStatus)) {
      Status = SaveStatus;
    }
  }
  return Status;
}

UINT8 EFIAPI GetIcAddress(UINT8 Index, UINTN) { return SimGetIcAddress(&gFlash, Index); }

EFI_STATUS EFIAPI SetReduceFlags(UINT32 Mask) { return SimSetReduceFlags(&gFlash, Mask); }

constinit ORV_FLASH_PROTOCOL gFlashProtocol = {
  IcInit,        GetActiveSection, SetActiveBank,     GetIcVersion,       FlashPreOperation,
  LockFlash,     UnlockFlash,      WriteBankData,     ReadBankData,       EraseBank,
  HardwareCheckBank, FlashPostOperation, ICPostOperation, GetIcAddress, SetReduceFlags,
};

}  // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  gDriverImage = ImageHandle;
  EFI_HANDLE Handle = nullptr;
  return SimInstallProtocol(u"FlashSim"_w, &Handle, &gOrvFlashProtocolGuid, &gFlashProtocol);
}
