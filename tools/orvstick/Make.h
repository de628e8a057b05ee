/** @file
  orvstick make: lays out an update volume from a manifest (the two
  applications, the settings file it writes, the component drivers, the zone
  images, further files and the line-station startup.nsh) and checks it.
**/

#ifndef ORVSTICK_MAKE_H_
#define ORVSTICK_MAKE_H_

#include <ostream>
#include <string>

#include "Check.h"
#include "Manifest.h"

/// The settings file make writes for a manifest (CR LF line ends).
std::string SettingsText(const MANIFEST &Manifest);

/**
  Write the volume Out (a folder, or a FAT image: an existing image file or
  a new one for a name ending in ".img"), then check it and write the check's
  report to Report in Style. A startup.nsh that make did not write is
  replaced only with ReplaceScript. Throws TOOL_FAILURE when a file cannot
  be used or written; Out is then as it was before.
**/
CHECK_COUNTS MakeVolume(const MANIFEST &Manifest, const std::string &Out, bool ReplaceScript, REPORT_STYLE Style,
                        std::ostream &Report);

#endif
