/** @file
  Private protocol of the simulated path component: lets the flash simulator
  see whether the path interface it is given in IcInit has been initialised.
  Installed by OrvPathSim.efi on the same handle as its ORV_PATH_PROTOCOL.
**/

#ifndef ORV_SIM_PATH_STATE_H_
#define ORV_SIM_PATH_STATE_H_

#include <efi.h>

#include <Protocol/OrvPathProtocol.h>

/// {D9E0BA80-4EFA-4508-8EF9-D5986988072A}
#define ORV_SIM_PATH_STATE_GUID \
  { 0xD9E0BA80, 0x4EFA, 0x4508, { 0x8E, 0xF9, 0xD5, 0x98, 0x69, 0x88, 0x07, 0x2A } }

typedef struct {
  ORV_PATH_PROTOCOL  *Interface;    ///< the public interface this state belongs to
  UINT32             Initialized;  ///< nonzero between PathInit and PathDeinit
} ORV_SIM_PATH_STATE;

#endif
