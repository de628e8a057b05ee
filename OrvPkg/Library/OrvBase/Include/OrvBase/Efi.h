/** @file
  Common include of every firmware image and host tool of the project: the
  UEFI types and library of gnu-efi, the component protocols, and the small
  adapters that make them pleasant to use from C++ (wide and narrow literals,
  32-bit print arguments).
**/

#ifndef ORV_BASE_EFI_H_
#define ORV_BASE_EFI_H_

extern "C" {
#include <efi.h>
#include <efilib.h>
}

#include <Protocol/OrvFlashPolicyProtocol.h>
#include <Protocol/OrvFlashProtocol.h>
#include <Protocol/OrvImageProtocol.h>
#include <Protocol/OrvPathProtocol.h>

#include <stddef.h>

/// Wide literal adapter: u"..." is char16_t, the firmware's CHAR16 is UINT16.
/// Both are 16-bit code units with the same representation.
inline CHAR16 *operator""_w(const char16_t *Text, size_t) {
  return reinterpret_cast<CHAR16 *>(const_cast<char16_t *>(Text));
}

/// Narrow literal adapter for CHAR8 texts (settings names).
inline const CHAR8 *operator""_a(const char *Text, size_t) {
  return reinterpret_cast<const CHAR8 *>(Text);
}

/// A wide text kept as char16_t (in a constexpr table) as the firmware's CHAR16.
inline const CHAR16 *AsChar16(const char16_t *Text) {
  return reinterpret_cast<const CHAR16 *>(Text);
}

/// A narrow text kept as char (in a constexpr table) as CHAR8.
inline const CHAR8 *AsChar8(const char *Text) { return reinterpret_cast<const CHAR8 *>(Text); }

/// Print takes %x values as 32 bits; a status shows as its low 32 bits.
constexpr UINT32 Hex32(UINT64 Value) { return static_cast<UINT32>(Value); }

/// Firmware services take a GUID as EFI_GUID * and never write through it: a
/// constant GUID goes to them through this adapter, not a cast at every call.
inline EFI_GUID *GuidArgument(const EFI_GUID &Guid) { return const_cast<EFI_GUID *>(&Guid); }

static_assert(sizeof(CHAR16) == 2, "CHAR16 is a 16-bit code unit");
static_assert(sizeof(UINTN) == 8, "x64 only");

#endif
