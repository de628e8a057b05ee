/** @file
  What the orvhex commands share: messages and exit statuses, numbers,
  reading and writing files, loading images, and the commands that live in
  their own source files (making and signing images, keys).
**/

#ifndef ORVHEX_FILES_H_
#define ORVHEX_FILES_H_

#include <ostream>
#include <string>
#include <vector>

#include "HexImage.h"

namespace orvhex {

/// Prints the usage text; returns ORVHEX_USAGE.
int Usage(std::ostream &Err);

/// Prints "orvhex: <Reason>"; returns ORVHEX_FAILED.
int Failed(std::ostream &Err, const std::string &Reason);

/// Decimal or 0x hexadecimal, 64-bit.
bool ParseNumber(const std::string &Text, UINT64 *Value);

/// A whole input: a regular file, a pipe, or "-" for standard input.
bool ReadFile(const std::string &Path, std::string *Data, std::string *Error);

/// Writes through a temporary file renamed into place, so a failed write
/// never leaves a half-written output under the real name.
bool WriteFile(const std::string &Path, const void *Data, size_t Size, std::string *Error);

/// A HEX file's image, checked (header, size, CRC).
bool LoadHexImage(const std::string &Path, std::vector<UINT8> *Image, IMAGE_INFO *Info, std::string *Error);

/// A HEX file, or a raw image or bank file (the image at its start): the
/// image's bytes, checked.
bool LoadAnyImage(const std::string &Path, std::vector<UINT8> *Image, IMAGE_INFO *Info,
                  std::string *Error);

// Commands of OrvHexSign.cpp (arguments without the command name).
int Make(const std::vector<std::string> &Args, std::ostream &Err);
int Sign(const std::vector<std::string> &Args, std::ostream &Err);
int Verify(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err);
// Of OrvHexKeygen.cpp.
int Keygen(const std::vector<std::string> &Args, std::ostream &Err);

// Commands of OrvHexCapsule.cpp.
int Capsule(const std::vector<std::string> &Args, std::ostream &Err);
int CapsuleInfo(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err);

}  // namespace orvhex

#endif
