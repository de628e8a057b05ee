/** @file
  The manifest orvstick make lays a volume out from (TOML):

    target = "DemoBoard"                  # the target section's name
    trusted_keys = ["maker.pub.pem"]      # optional: keys (PEM) the image parser
                                          # should hold; the keys built into it
                                          # decide, a key it lacks is a warning
    [applications]                        # host files of the applications
    OrvUpdate = "build/OrvUpdate.efi"
    OrvInfo   = "build/OrvInfo.efi"
    OrvCheck  = "build/OrvCheck.efi"      # optional
    [components]                          # component drivers, into OrvUpdateComponent\
    ImageParser    = "build/OrvSimPkg/OrvHexImage.efi"
    FlashInterface = "build/OrvSimPkg/OrvFlashSim.efi"
    DevicePath     = "build/OrvSimPkg/OrvPathSim.efi"   # or "none": the board's
                                          # firmware has the protocol
    [images]                              # zone images, into OrvUpdateComponent\, or "none"
    OCM      = "ocm.hex"
    customer = "customer.hex"
    [flags]                               # optional
    ForceUpdate = false
    IncludeCustomerDefineBkp = false
    ReduceFlashProcessFlag = "1"          # character n = "1" sets bit n
    [station]                             # optional
    arguments = ["-a"]                    # of OrvUpdate.efi and OrvInfo.efi
    finish = "shell"                      # or "shutdown"
    [files]                               # optional: further files, volume path = host file
    'OrvSim\FlashSim.ini' = "sim/FlashSim.ini"

  Host paths are relative to the manifest's folder. The file names on the
  volume are those of the host files.
**/

#ifndef ORVSTICK_MANIFEST_H_
#define ORVSTICK_MANIFEST_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "StationScript.h"

struct MANIFEST {
  std::string Target;
  std::string OrvUpdate;  ///< host paths
  std::string OrvInfo;
  std::string OrvCheck;  ///< empty when not listed
  std::vector<std::pair<std::string, std::optional<std::string>>> Components;  ///< key, host path or none; in binding order
  std::vector<std::pair<std::string, std::optional<std::string>>> Images;  ///< key, host path or none
  bool ForceUpdate = false;
  bool IncludeCustomerDefineBkp = false;
  std::string ReduceFlashProcessFlag;
  STATION Station{{"-a"}, false};
  std::vector<std::pair<std::string, std::string>> Files;  ///< volume path, host path
  std::vector<std::string> TrustedKeys;  ///< host paths of PEM keys (public, or private: the public half)
};

/// Reads and checks a manifest. Throws TOOL_FAILURE with "<file> line <n>: <reason>".
MANIFEST ReadManifest(const std::string &Path);

#endif
