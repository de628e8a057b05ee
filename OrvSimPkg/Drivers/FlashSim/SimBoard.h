/** @file
  Where the simulated chips live. The chips belong to the board, not to the
  stick that updates them: their configuration, banks, state and provisioned
  keys are on a board disk, a volume holding OrvBoard\FlashSim.ini other
  than the one the driver was loaded from. A stick then cannot provision the
  key its own images are checked against, and one stick updates several
  boards in turn. Without a board disk, the driver's own volume may hold
  them in OrvSim\ (one volume for the demo and the tests).
**/

#ifndef ORV_SIM_BOARD_H_
#define ORV_SIM_BOARD_H_

#include "SimEfi.h"

/// The volume and folder that hold the chips' configuration and state.
struct SIM_BOARD {
  EFI_HANDLE Device;      ///< the volume's device handle
  const CHAR16 *Folder;   ///< L"OrvBoard" on a board disk, L"OrvSim" on the driver's volume
  bool OnBoardDisk;
};

/**
  Find where the chips live. Every refusal is printed with what to do.

  @param[in]  DriverImage  The flash simulator's image (its volume is the stick).
  @param[out] Board        Receives the volume and folder.

  @retval EFI_SUCCESS        Board is set.
  @retval EFI_NOT_FOUND      No board disk and no OrvSim\FlashSim.ini on the stick.
  @retval EFI_ACCESS_DENIED  A board disk is attached and the stick holds a
                             configuration too, or more than one board disk is.
  @return The status of the Loaded Image or file system handle look-ups.
**/
[[nodiscard]] EFI_STATUS SimFindBoard(EFI_HANDLE DriverImage, SIM_BOARD *Board);

/**
  Open the root directory of the board's volume.

  @retval EFI_NOT_FOUND  No board was found yet.
  @return The status of the Simple File System look-up or of OpenVolume.
**/
[[nodiscard]] EFI_STATUS SimOpenBoard(const SIM_BOARD *Board, FileGuard *Root);

/**
  Print what to do about a board configuration the simulator refused (after
  the line naming the file and its fault).
**/
void SimReportBadBoard(const SIM_BOARD *Board);

#endif
