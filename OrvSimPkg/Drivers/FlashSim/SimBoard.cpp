/** @file
  Finding the board disk of the simulated chips (see SimBoard.h).
**/

#include "SimBoard.h"

namespace {

constexpr const char16_t *BOARD_CONFIG = u"OrvBoard\\FlashSim.ini";
constexpr const char16_t *STICK_CONFIG = u"OrvSim\\FlashSim.ini";

const CHAR16 *Wide(const char16_t *Text) { return reinterpret_cast<const CHAR16 *>(Text); }

EFI_STATUS OpenVolumeOf(EFI_HANDLE Device, FileGuard *Root) {
  EFI_FILE_IO_INTERFACE *Volume = nullptr;
  EFI_STATUS Status = HandleProtocolOf(BS, Device, &Volume);
  if (EFI_ERROR(Status)) return Status;
  // A failed OpenVolume may leave anything in its out-parameter.
  EFI_FILE_PROTOCOL *Opened = nullptr;
  Status = Volume->OpenVolume(Volume, &Opened);
  if (EFI_ERROR(Status)) return Status;
  *Root = FileGuard(Opened);
  return EFI_SUCCESS;
}

bool HasFile(EFI_HANDLE Device, const char16_t *Path) {
  FileGuard Root;
  if (EFI_ERROR(OpenVolumeOf(Device, &Root))) return false;
  EFI_FILE_PROTOCOL *Opened = nullptr;
  EFI_STATUS Status = Root.Get()->Open(Root.Get(), &Opened, const_cast<CHAR16 *>(Wide(Path)),
                                       EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR(Status)) return false;
  FileGuard File(Opened);
  return true;
}

// The volumes other than the stick that hold a board configuration: their
// count, and the first in *Found.
EFI_STATUS CountBoardDisks(EFI_HANDLE Stick, UINTN *Boards, EFI_HANDLE *Found) {
  HandleBufferGuard Handles;
  UINTN Count = 0;
  EFI_STATUS Status = BS->LocateHandleBuffer(ByProtocol, ProtocolGuid<EFI_FILE_IO_INTERFACE>(),
                                             nullptr, &Count, Handles.Out());
  if (Status == EFI_NOT_FOUND) Count = 0;
  else if (EFI_ERROR(Status)) return Status;
  *Boards = 0;
  for (UINTN Index = 0; Index < Count; Index++) {
    if (Handles[Index] == Stick || !HasFile(Handles[Index], BOARD_CONFIG)) continue;
    if (*Boards == 0) *Found = Handles[Index];
    ++*Boards;
  }
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS SimFindBoard(EFI_HANDLE DriverImage, SIM_BOARD *Board) {
  EFI_LOADED_IMAGE *Loaded = nullptr;
  EFI_STATUS Status = HandleProtocolOf(BS, DriverImage, &Loaded);
  if (EFI_ERROR(Status) || Loaded == nullptr || Loaded->DeviceHandle == nullptr) {
    return PrintAndReturn(EFI_ERROR(Status) ? Status : EFI_NOT_FOUND,
                          u"FlashSim: cannot find its own volume, %x\n"_w,
                          Hex32(EFI_ERROR(Status) ? Status : EFI_NOT_FOUND));
  }
  const EFI_HANDLE Stick = Loaded->DeviceHandle;
  UINTN Boards = 0;
  EFI_HANDLE Found = nullptr;
  Status = CountBoardDisks(Stick, &Boards, &Found);
  if (EFI_ERROR(Status)) {
    return PrintAndReturn(Status, u"FlashSim: cannot list the volumes, %x\n"_w, Hex32(Status));
  }
  if (Boards > 1) {
    return PrintAndReturn(EFI_ACCESS_DENIED,
                          u"FlashSim: %d board disks are attached (each holds %s): attach one "
                          u"board at a time\n"_w, Boards, Wide(BOARD_CONFIG));
  }
  const bool StickConfig = HasFile(Stick, STICK_CONFIG);
  if (Boards == 1 && StickConfig) {
    return PrintAndReturn(EFI_ACCESS_DENIED,
                          u"FlashSim: refused %s on the stick: the chips belong to the board, "
                          u"configured by %s on its disk. Remove %s from the stick\n"_w,
                          Wide(STICK_CONFIG), Wide(BOARD_CONFIG), Wide(STICK_CONFIG));
  }
  if (Boards == 1) {
    *Board = {Found, u"OrvBoard"_w, true};
    return EFI_SUCCESS;
  }
  if (StickConfig) {
    *Board = {Stick, u"OrvSim"_w, false};
    return EFI_SUCCESS;
  }
  if (HasFile(Stick, BOARD_CONFIG)) {
    Print(u"FlashSim: %s is on the stick; a board's folder belongs on a disk of its own\n"_w,
          Wide(BOARD_CONFIG));
  }
  return PrintAndReturn(EFI_NOT_FOUND,
                        u"FlashSim: no board found: attach a board disk holding %s "
                        u"(scripts/make-board.sh makes one, scripts/boot.sh --board attaches "
                        u"it)\n"_w, Wide(BOARD_CONFIG));
}

EFI_STATUS SimOpenBoard(const SIM_BOARD *Board, FileGuard *Root) {
  if (Board->Device == nullptr) return EFI_NOT_FOUND;
  return OpenVolumeOf(Board->Device, Root);
}

void SimReportBadBoard(const SIM_BOARD *Board) {
  if (Board->OnBoardDisk) {
    Print(u"FlashSim: fix the board description and make the board disk again "
          u"(scripts/make-board.sh)\n"_w);
  } else {
    Print(u"FlashSim: fix OrvSim\\FlashSim.ini on this volume\n"_w);
  }
}
