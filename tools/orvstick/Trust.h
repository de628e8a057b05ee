/** @file
  What decides whether the images on a volume run on a board: the keys built
  into the volume's image parser (OrvHexImage.efi), and each simulated IC's
  provisioned key and bank sizes from a board description (the flash
  simulator's FlashSim.ini, on the volume or given apart).
**/

#ifndef ORVSTICK_TRUST_H_
#define ORVSTICK_TRUST_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ImageSign.h"

/// The keys an image parser driver file holds.
struct PARSER_KEYS {
  enum class SOURCE {
    Table,    ///< the key table the build emits (a count of 0: no key)
    PemText,  ///< PEM texts of public keys, as older builds embed them
    Unknown,  ///< neither: the keys cannot be told from the file
  };
  SOURCE Source = SOURCE::Unknown;
  std::vector<IMAGE_PUBLIC_KEY> Keys;
  bool Demo = false;    ///< the demo key is among them
  std::string Problem;  ///< a table found but damaged (Source Unknown)
};

/// Reads the keys built into an image parser driver file.
PARSER_KEYS ReadParserKeys(const std::string &Driver);

/// True for the repository's published demo key.
bool IsDemoKey(const UINT8 *KeyId);

/// A key id as reports show it: its first 16 hexadecimal digits and "...".
std::string ShortKeyId(const UINT8 *KeyId);

/// One simulated IC of a board description.
struct BOARD_IC {
  unsigned Index;
  uint32_t OcmBankSize;       ///< the smaller of its two OCM banks
  uint32_t CustomerBankSize;  ///< the smaller of its two customer banks
  std::string KeyPath;        ///< PublicKey as written; empty when none
  uint32_t Product;           ///< Product as written; 0 when none
  std::optional<IMAGE_PUBLIC_KEY> Key;
};

/// Where a board description comes from: its label in messages, its text,
/// and how a path it names (PublicKey) is read (nothing when missing).
struct BOARD_SOURCE {
  std::string Label;
  std::string Text;
  std::function<std::optional<std::string>(const std::string &)> ReadPath;
};

/// A board description read: its ICs, or the problems that stop IcInit.
struct BOARD {
  std::string Label;
  std::vector<BOARD_IC> Ics;
  std::vector<std::string> Problems;
};
BOARD ReadBoard(const BOARD_SOURCE &Source);

class VOLUME;

/// The board description Ini (a volume path) on a volume, the files it
/// names read on that volume (as written, else beside it); nothing when the
/// volume has no Ini. The volume must outlive the source.
std::optional<BOARD_SOURCE> VolumeBoardSource(const VOLUME &Volume, const std::string &Label, const std::string &Ini);

/// A board description given on the command line: a FlashSim.ini file (the
/// files it names looked up beside it, by the path written, else by their
/// file name), a board disk (a folder or FAT image holding
/// OrvBoard\FlashSim.ini) or a folder holding a FlashSim.ini. Throws
/// TOOL_FAILURE when it cannot be read.
BOARD_SOURCE OpenBoardSource(const std::string &Location);

#endif
