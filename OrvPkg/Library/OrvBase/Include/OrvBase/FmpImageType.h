/** @file
  The firmware image type GUID of an IC's product, as platform firmware and
  operating-system update tools see it (the FMP image type, the ESRT's
  firmware class, the capsule item's address).

  A maker owns one GUID (the build option ORV_FMP_MAKER_GUID; the demo maker's
  by default). The image type of product P is that GUID with its last four
  bytes replaced by P, most significant byte first, so every product of a
  maker has its own image type, and tools that make capsules (orvhex) and the
  driver that takes them (OrvFmp.efi) derive the same GUID from the product
  id signed into the image and provisioned in the IC. Every IC of one product
  shares the image type; the hardware instance (IC index + 1) tells them
  apart, and 0 in a capsule item addresses them all.

  Freestanding, constexpr.
**/

#ifndef ORV_BASE_FMP_IMAGE_TYPE_H_
#define ORV_BASE_FMP_IMAGE_TYPE_H_

#include <efi.h>

/// {82365A4B-0B14-4B60-A60F-C2EF09DB25A3}: the demo maker's GUID.
#define ORV_FMP_DEMO_MAKER_GUID \
  { 0x82365A4B, 0x0B14, 0x4B60, { 0xA6, 0x0F, 0xC2, 0xEF, 0x09, 0xDB, 0x25, 0xA3 } }

/// The image type GUID of Product under the maker's GUID.
constexpr EFI_GUID OrvFmpImageTypeId(const EFI_GUID &Maker, UINT32 Product) {
  EFI_GUID Id = Maker;
  Id.Data4[4] = static_cast<UINT8>(Product >> 24);
  Id.Data4[5] = static_cast<UINT8>(Product >> 16);
  Id.Data4[6] = static_cast<UINT8>(Product >> 8);
  Id.Data4[7] = static_cast<UINT8>(Product);
  return Id;
}

/// The FMP hardware instance of IC index Ic (0 is "every instance").
constexpr UINT64 OrvFmpHardwareInstance(UINT8 Ic) { return static_cast<UINT64>(Ic) + 1; }

#endif
