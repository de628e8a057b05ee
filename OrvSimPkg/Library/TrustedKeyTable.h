/** @file
  The table of trusted public keys built into the image parser driver.

  The build (ORV_TRUSTED_KEYS) generates one constant ORV_TRUSTED_KEY_TABLE
  in the driver's data: only decoded public keys, never a PEM text. Tools that
  check a stick (orvstick) find the table in the driver file by its magic and
  read the keys the parser on that stick will check signatures with.

  Layout (every number little-endian, no padding):
    offset  0  Magic    16 bytes "OrvTrustedKeys01" (no terminator)
    offset 16  Count    UINT32, number of keys (0: the parser checks nothing)
    offset 20  Flags    UINT32, ORV_TRUSTED_KEYS_FLAG_*
    offset 24  Points   ORV_TRUSTED_KEYS_MAX uncompressed P-256 points
                        (04 || X || Y, 65 bytes each); only the first Count
                        are keys, the rest are zeros
**/

#ifndef ORV_SIM_TRUSTED_KEY_TABLE_H_
#define ORV_SIM_TRUSTED_KEY_TABLE_H_

#include <efi.h>

constexpr UINTN ORV_TRUSTED_KEYS_MAX = 8;
constexpr UINTN ORV_TRUSTED_KEY_POINT_SIZE = 65;
constexpr char ORV_TRUSTED_KEYS_MAGIC[16] = {'O', 'r', 'v', 'T', 'r', 'u', 's', 't',
                                              'e', 'd', 'K', 'e', 'y', 's', '0', '1'};
constexpr UINT32 ORV_TRUSTED_KEYS_FLAG_DEMO_KEY = 0x1;  ///< the demo key is among the keys

struct ORV_TRUSTED_KEY_TABLE {
  char   Magic[16];
  UINT32 Count;
  UINT32 Flags;
  UINT8  Points[ORV_TRUSTED_KEYS_MAX][ORV_TRUSTED_KEY_POINT_SIZE];
};

static_assert(sizeof(ORV_TRUSTED_KEY_TABLE) == 24 + ORV_TRUSTED_KEYS_MAX * ORV_TRUSTED_KEY_POINT_SIZE,
              "the key table has no padding");

#endif
