// A fake UEFI firmware for host tests: one object owning real system table
// and boot services tables whose slots bounce into C++ methods. It keeps a
// handle/protocol database, poisoned and counted pool memory, a console that
// captures the exact text, the shell's parameters protocol, and driver
// "files" that LoadImage/StartImage can load and start. Unimplemented boot
// services return EFI_UNSUPPORTED.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "OrvEfi.h"

std::string Narrow(const CHAR16 *Text);
std::string Narrow(const std::u16string &Text);
std::u16string Wide(const std::string &Text);

bool operator<(const EFI_GUID &A, const EFI_GUID &B);
bool operator==(const EFI_GUID &A, const EFI_GUID &B);

extern EFI_GUID gTestShellParametersProtocolGuid;
extern EFI_GUID gTestShellInterfaceProtocolGuid;

class FakeFirmware {
 public:
  FakeFirmware();
  ~FakeFirmware();
  FakeFirmware(const FakeFirmware &) = delete;
  FakeFirmware &operator=(const FakeFirmware &) = delete;

  /// The instance the boot service trampolines call into.
  static FakeFirmware &Current();

  EFI_SYSTEM_TABLE *SystemTable() { return &St_; }
  EFI_BOOT_SERVICES *BootServices() { return &Bs_; }
  /// The application's image handle; carries EFI_LOADED_IMAGE_PROTOCOL whose
  /// DeviceHandle is DeviceHandle().
  EFI_HANDLE ImageHandle() const { return ImageHandle_; }
  /// The device the application was loaded from; carries a device path.
  EFI_HANDLE DeviceHandle() const { return DeviceHandle_; }
  EFI_LOADED_IMAGE &LoadedImage() { return LoadedImage_; }

  // ---- Console -------------------------------------------------------------
  /// Exactly what was written, line ends as "\r\n".
  const std::u16string &RawConsole() const { return Console_; }
  /// The console narrowed, "\r\n" shown as "\n".
  std::string Console() const;
  void ClearConsole() { Console_.clear(); }

  // ---- Handles and protocols -------------------------------------------------
  EFI_HANDLE NewHandle();
  void InstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid, void *Interface);
  void UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid);
  bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const;
  /// Number of OpenProtocol calls on (Handle, Guid) not yet matched by CloseProtocol.
  int OpenCount(EFI_HANDLE Handle, const EFI_GUID &Guid) const;
  /// Attributes of the last OpenProtocol on (Handle, Guid).
  UINT32 LastOpenAttributes(EFI_HANDLE Handle, const EFI_GUID &Guid) const;

  // ---- Shell -----------------------------------------------------------------
  /// Installs the shell parameters protocol with Argv[0] = "OrvUpdate.efi"
  /// followed by Arguments.
  void SetArguments(const std::vector<std::string> &Arguments);
  /// The same arguments through the older shell interface only.
  void SetArgumentsOldShell(const std::vector<std::string> &Arguments);
  /// Removes both shell protocols.
  void RemoveShell();

  // ---- Pool memory -------------------------------------------------------------
  size_t LivePoolBlocks() const { return Pool_.size(); }
  size_t AllocationCount() const { return AllocationCount_; }
  bool IsLivePool(const void *Pointer) const { return Pool_.count(Pointer) != 0; }
  size_t PoolSize(const void *Pointer) const;
  /// Allocations of exactly this size fail with EFI_OUT_OF_RESOURCES.
  void FailAllocationsOfSize(UINTN Size) { FailSizes_.insert(Size); }
  /// The Nth allocation from now (1-based) fails.
  void FailNthAllocation(int Nth) { FailNth_ = static_cast<int>(AllocationCount_) + Nth; }

  // ---- Fault injection for boot services ----------------------------------------
  /// OpenProtocol for Guid fails with Status (on any handle).
  void FailOpenProtocol(const EFI_GUID &Guid, EFI_STATUS Status) { OpenFailures_[Guid] = Status; }
  /// LocateHandleBuffer for Guid: the Nth call from now (1-based; 0 = every call) fails.
  void FailLocateHandleBuffer(const EFI_GUID &Guid, EFI_STATUS Status, int Nth = 0);
  int LocateHandleBufferCalls(const EFI_GUID &Guid) const;

  // ---- Driver files -------------------------------------------------------------
  using DriverEntry = std::function<EFI_STATUS(EFI_HANDLE DriverImage)>;
  /// A driver file on the application's volume, path relative to its root
  /// (for example "OrvUpdateComponent\\Flash.efi"). StartImage runs Entry.
  void AddDriverFile(const std::string &Path, DriverEntry Entry);
  /// A file that exists but cannot be loaded as an image.
  void AddUnloadableFile(const std::string &Path);
  /// Paths LoadImage was asked for (relative to the volume root), in order.
  const std::vector<std::string> &LoadImageRequests() const { return LoadImageRequests_; }
  int StartImageCalls() const { return StartImageCalls_; }
  /// Removes the firmware's device-path-to-text protocol.
  void RemoveDevicePathToText();
  /// Display-only/shortcut flags of each ConvertDevicePathToText call.
  const std::vector<std::pair<bool, bool>> &DevicePathToTextFlags() const { return ToTextFlags_; }

  // Boot services (called by the trampolines).
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer);
  EFI_STATUS FreePool(VOID *Buffer);
  EFI_STATUS HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, VOID **Interface);
  EFI_STATUS OpenProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, VOID **Interface, EFI_HANDLE Agent,
                          EFI_HANDLE Controller, UINT32 Attributes);
  EFI_STATUS CloseProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, EFI_HANDLE Agent,
                           EFI_HANDLE Controller);
  EFI_STATUS LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Guid, VOID *SearchKey,
                                UINTN *Count, EFI_HANDLE **Buffer);
  EFI_STATUS LocateProtocol(EFI_GUID *Guid, VOID *Registration, VOID **Interface);
  EFI_STATUS LoadImage(BOOLEAN BootPolicy, EFI_HANDLE Parent, EFI_DEVICE_PATH *Path, VOID *Source,
                       UINTN SourceSize, EFI_HANDLE *Image);
  EFI_STATUS StartImage(EFI_HANDLE Image, UINTN *ExitDataSize, CHAR16 **ExitData);
  void SetMem(VOID *Buffer, UINTN Size, UINT8 Value);
  void CopyMem(VOID *Destination, VOID *Source, UINTN Length);
  EFI_STATUS OutputString(const CHAR16 *Text);
  CHAR16 *DevicePathToText(const EFI_DEVICE_PATH *Path, BOOLEAN DisplayOnly, BOOLEAN Shortcuts);

  // ---- Drivers that publish: protocol interfaces, configuration tables, variables
  EFI_STATUS InstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Guid, VOID *Interface);
  EFI_STATUS UninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Guid, VOID *Interface);
  /// Handles carrying Guid, in installation order.
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID &Guid) const;
  EFI_STATUS InstallConfigurationTable(EFI_GUID *Guid, VOID *Table);
  /// The configuration table under Guid, or nullptr.
  void *ConfigurationTable(const EFI_GUID &Guid) const;
  EFI_MEMORY_TYPE PoolType(const void *Pointer) const { return PoolTypes_.at(Pointer); }
  struct Variable {
    UINT32 Attributes = 0;
    std::vector<UINT8> Data;
  };
  /// The non-volatile store: survives a "reset" as long as the object lives.
  std::map<std::pair<std::u16string, EFI_GUID>, Variable> Variables;
  EFI_STATUS GetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size, VOID *Data);
  EFI_STATUS SetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN Size, VOID *Data);

 private:
  std::vector<EFI_CONFIGURATION_TABLE> ConfigTables_;
  std::map<const void *, EFI_MEMORY_TYPE> PoolTypes_;
  struct HandleRecord {
    std::map<EFI_GUID, void *> Protocols;
    std::vector<EFI_GUID> Order;
  };
  struct OpenRecord {
    int Count = 0;
    UINT32 Attributes = 0;
  };
  struct Shell {
    std::vector<std::u16string> Texts;
    std::vector<CHAR16 *> Argv;
    EFI_SHELL_PARAMETERS_PROTOCOL Parameters{};
    EFI_SHELL_INTERFACE Interface{};
  };
  struct LocateFailure {
    EFI_STATUS Status;
    int Nth;
  };

  HandleRecord *Find(EFI_HANDLE Handle);
  const HandleRecord *Find(EFI_HANDLE Handle) const;
  std::string FilePathOf(const EFI_DEVICE_PATH *Path) const;
  void BuildShell(const std::vector<std::string> &Arguments);

  EFI_SYSTEM_TABLE St_{};
  EFI_BOOT_SERVICES Bs_{};
  EFI_RUNTIME_SERVICES Rs_{};
  SIMPLE_TEXT_OUTPUT_INTERFACE ConOut_{};
  SIMPLE_TEXT_OUTPUT_MODE ConOutMode_{};
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL ToText_{};
  EFI_LOADED_IMAGE LoadedImage_{};
  std::vector<UINT8> DeviceDevicePath_;

  std::deque<HandleRecord> Handles_;
  std::vector<EFI_HANDLE> HandleOrder_;
  EFI_HANDLE ImageHandle_ = nullptr;
  EFI_HANDLE DeviceHandle_ = nullptr;
  EFI_HANDLE ToTextHandle_ = nullptr;
  std::map<std::pair<EFI_HANDLE, EFI_GUID>, OpenRecord> Opens_;
  std::map<EFI_GUID, EFI_STATUS> OpenFailures_;
  std::map<EFI_GUID, LocateFailure> LocateFailures_;
  std::map<EFI_GUID, int> LocateCalls_;

  std::map<const void *, size_t> Pool_;
  size_t AllocationCount_ = 0;
  std::set<UINTN> FailSizes_;
  int FailNth_ = -1;

  std::u16string Console_;
  Shell Shell_;

  struct DriverFile {
    bool Loadable = true;
    DriverEntry Entry;
  };
  std::map<std::string, DriverFile> DriverFiles_;
  std::map<EFI_HANDLE, std::string> LoadedDrivers_;
  std::vector<std::string> LoadImageRequests_;
  int StartImageCalls_ = 0;
  std::vector<std::pair<bool, bool>> ToTextFlags_;


  EFI_SYSTEM_TABLE *SavedSt_ = nullptr;
  EFI_BOOT_SERVICES *SavedBs_ = nullptr;
  EFI_RUNTIME_SERVICES *SavedRt_ = nullptr;
};
