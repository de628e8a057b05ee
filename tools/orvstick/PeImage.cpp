/** @file
  PE header reading.
**/

#include "PeImage.h"

namespace {

constexpr size_t DOS_HEADER_SIZE = 0x40;
constexpr size_t DOS_PE_OFFSET = 0x3C;
constexpr size_t FILE_HEADER_SIZE = 20;
constexpr size_t FILE_HEADER_OPTIONAL_SIZE = 16;  // SizeOfOptionalHeader, in the file header
constexpr size_t OPTIONAL_SUBSYSTEM = 68;         // same offset in PE32 and PE32+
constexpr uint16_t PE_MAGIC_PE32 = 0x10B;

uint16_t U16(const std::string &Data, size_t At) {
  return static_cast<uint16_t>(static_cast<uint8_t>(Data[At]) | static_cast<uint8_t>(Data[At + 1]) << 8);
}

uint32_t U32(const std::string &Data, size_t At) {
  return static_cast<uint32_t>(U16(Data, At)) | static_cast<uint32_t>(U16(Data, At + 2)) << 16;
}

PE_HEADERS Refused(const char *Problem) { return PE_HEADERS{false, Problem, 0, 0, 0}; }

std::string Hex(unsigned Value) {
  static const char DIGITS[] = "0123456789ABCDEF";
  std::string Out;
  do {
    Out.insert(Out.begin(), DIGITS[Value & 0xF]);
    Value >>= 4;
  } while (Value != 0);
  return "0x" + Out;
}

}  // namespace

PE_HEADERS ReadPeHeaders(const std::string &Data) {
  if (Data.size() < DOS_HEADER_SIZE || Data[0] != 'M' || Data[1] != 'Z') return Refused("not a PE file (no MZ header)");
  const uint64_t Pe = U32(Data, DOS_PE_OFFSET);
  if (Pe + 4 + FILE_HEADER_SIZE > Data.size()) return Refused("truncated PE file (no PE header)");
  if (Data.compare(Pe, 4, std::string("PE\0\0", 4)) != 0) return Refused("not a PE file (no PE signature)");
  const uint64_t FileHeader = Pe + 4;
  const uint16_t OptionalSize = U16(Data, FileHeader + FILE_HEADER_OPTIONAL_SIZE);
  const uint64_t Optional = FileHeader + FILE_HEADER_SIZE;
  if (OptionalSize < OPTIONAL_SUBSYSTEM + 2) return Refused("PE file without an optional header");
  if (Optional + OPTIONAL_SUBSYSTEM + 2 > Data.size()) return Refused("truncated PE file (optional header)");
  return PE_HEADERS{true, {}, U16(Data, FileHeader), U16(Data, Optional), U16(Data, Optional + OPTIONAL_SUBSYSTEM)};
}

std::string DescribePe(const PE_HEADERS &Headers) {
  if (!Headers.Valid) return Headers.Problem;
  std::string Magic = Headers.Magic == PE_MAGIC_PE32_PLUS ? "PE32+"
                      : Headers.Magic == PE_MAGIC_PE32    ? "PE32"
                                                          : "PE (optional header magic " + Hex(Headers.Magic) + ")";
  std::string Machine;
  switch (Headers.Machine) {
    case PE_MACHINE_X64: Machine = "x64"; break;
    case 0x14C: Machine = "i386"; break;
    case 0xAA64: Machine = "AArch64"; break;
    case 0x1C2: Machine = "ARM"; break;
    case 0x5064: Machine = "RISC-V 64"; break;
    default: Machine = "machine " + Hex(Headers.Machine); break;
  }
  std::string Subsystem;
  switch (Headers.Subsystem) {
    case PE_SUBSYSTEM_EFI_APPLICATION: Subsystem = "EFI application"; break;
    case PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER: Subsystem = "EFI boot-service driver"; break;
    case 12: Subsystem = "EFI runtime driver"; break;
    case 13: Subsystem = "EFI ROM image"; break;
    default: Subsystem = "subsystem " + std::to_string(Headers.Subsystem) + " (not UEFI)"; break;
  }
  return Magic + " " + Machine + " " + Subsystem;
}

bool IsX64Efi(const PE_HEADERS &Headers, uint16_t Subsystem) {
  return Headers.Valid && Headers.Machine == PE_MACHINE_X64 && Headers.Magic == PE_MAGIC_PE32_PLUS &&
         Headers.Subsystem == Subsystem;
}
