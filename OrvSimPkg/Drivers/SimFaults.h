/** @file
  Loading of the fault rules file OrvSim\Faults.ini from a driver's own volume.
**/

#ifndef ORV_SIM_FAULTS_H_
#define ORV_SIM_FAULTS_H_

#include "SimEfi.h"
#include "FaultRules.h"

/**
  Read and parse OrvSim\Faults.ini on the volume of the driver image given.
  A missing file gives no rules. A refused line is reported on the console
  with the component's name.

  @retval EFI_SUCCESS            Rules holds the rules (possibly none).
  @retval EFI_INVALID_PARAMETER  The file has a bad line; Rules is empty.
**/
EFI_STATUS SimLoadFaults(EFI_HANDLE DriverImage, const CHAR16 *Component, FAULT_RULES *Rules);

#endif
