/** @file
  Little-endian fields of the reference formats (image header, protected
  area, signature block, the flash simulator's floor store), read and written
  byte by byte so that any alignment works.
**/

#ifndef ORV_SIM_BYTE_ORDER_H_
#define ORV_SIM_BYTE_ORDER_H_

#include <efi.h>

inline UINT32 ReadLe16(const UINT8 *P) {
  return static_cast<UINT32>(P[0]) | (static_cast<UINT32>(P[1]) << 8);
}

inline UINT32 ReadLe32(const UINT8 *P) {
  return ReadLe16(P) | (ReadLe16(P + 2) << 16);
}

inline void WriteLe16(UINT8 *P, UINT32 Value) {
  P[0] = static_cast<UINT8>(Value);
  P[1] = static_cast<UINT8>(Value >> 8);
}

inline void WriteLe32(UINT8 *P, UINT32 Value) {
  WriteLe16(P, Value);
  WriteLe16(P + 2, Value >> 16);
}

#endif
