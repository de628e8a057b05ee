/** @file
  The headers of a PE file, read just far enough to tell whether the UEFI
  firmware of an x64 board can load it as an application or a boot-service
  driver.
**/

#ifndef ORVSTICK_PE_IMAGE_H_
#define ORVSTICK_PE_IMAGE_H_

#include <cstdint>
#include <string>

constexpr uint16_t PE_MACHINE_X64 = 0x8664;
constexpr uint16_t PE_MAGIC_PE32_PLUS = 0x20B;
constexpr uint16_t PE_SUBSYSTEM_EFI_APPLICATION = 10;
constexpr uint16_t PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;

struct PE_HEADERS {
  bool Valid;            ///< the headers are there and complete
  std::string Problem;   ///< why not, when not Valid
  uint16_t Machine;
  uint16_t Magic;        ///< optional header magic: PE32 or PE32+
  uint16_t Subsystem;
};

/// Reads the DOS stub's pointer, the PE signature, the file header and the
/// optional header up to its Subsystem field; a file that ends before them
/// is refused.
PE_HEADERS ReadPeHeaders(const std::string &Data);

/// "PE32+ x64 EFI boot-service driver", "PE32 i386 EFI application", ...
std::string DescribePe(const PE_HEADERS &Headers);

/// True when the file is a PE32+ image for x64 of the given subsystem.
bool IsX64Efi(const PE_HEADERS &Headers, uint16_t Subsystem);

#endif
