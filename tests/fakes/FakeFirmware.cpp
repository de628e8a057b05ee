// Fake UEFI firmware for host tests (see FakeFirmware.h).
#include "FakeFirmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "RunState.h"

EFI_GUID gTestShellParametersProtocolGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
EFI_GUID gTestShellInterfaceProtocolGuid = SHELL_INTERFACE_PROTOCOL_GUID;

namespace {

FakeFirmware *gCurrent = nullptr;

// Every unimplemented boot service: the firmware does not offer it.
EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI TAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  return FakeFirmware::Current().AllocatePool(Type, Size, Buffer);
}
EFI_STATUS EFIAPI TFreePool(VOID *Buffer) { return FakeFirmware::Current().FreePool(Buffer); }
EFI_STATUS EFIAPI THandleProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, VOID **Interface) {
  return FakeFirmware::Current().HandleProtocol(Handle, Guid, Interface);
}
EFI_STATUS EFIAPI TOpenProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, VOID **Interface,
                                EFI_HANDLE Agent, EFI_HANDLE Controller, UINT32 Attributes) {
  return FakeFirmware::Current().OpenProtocol(Handle, Guid, Interface, Agent, Controller,
                                              Attributes);
}
EFI_STATUS EFIAPI TCloseProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, EFI_HANDLE Agent,
                                 EFI_HANDLE Controller) {
  return FakeFirmware::Current().CloseProtocol(Handle, Guid, Agent, Controller);
}
EFI_STATUS EFIAPI TLocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Guid,
                                      VOID *SearchKey, UINTN *Count, EFI_HANDLE **Buffer) {
  return FakeFirmware::Current().LocateHandleBuffer(SearchType, Guid, SearchKey, Count, Buffer);
}
EFI_STATUS EFIAPI TLocateProtocol(EFI_GUID *Guid, VOID *Registration, VOID **Interface) {
  return FakeFirmware::Current().LocateProtocol(Guid, Registration, Interface);
}
EFI_STATUS EFIAPI TLoadImage(BOOLEAN BootPolicy, EFI_HANDLE Parent, EFI_DEVICE_PATH *Path,
                             VOID *Source, UINTN SourceSize, EFI_HANDLE *Image) {
  return FakeFirmware::Current().LoadImage(BootPolicy, Parent, Path, Source, SourceSize, Image);
}
EFI_STATUS EFIAPI TStartImage(EFI_HANDLE Image, UINTN *ExitDataSize, CHAR16 **ExitData) {
  return FakeFirmware::Current().StartImage(Image, ExitDataSize, ExitData);
}
VOID EFIAPI TSetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  FakeFirmware::Current().SetMem(Buffer, Size, Value);
}
VOID EFIAPI TCopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  FakeFirmware::Current().CopyMem(Destination, Source, Length);
}
EFI_STATUS EFIAPI TOutputString(SIMPLE_TEXT_OUTPUT_INTERFACE *, CHAR16 *Text) {
  return FakeFirmware::Current().OutputString(Text);
}
EFI_STATUS EFIAPI TSetAttribute(SIMPLE_TEXT_OUTPUT_INTERFACE *, UINTN) { return EFI_SUCCESS; }
CHAR16 *EFIAPI TDevicePathToText(CONST EFI_DEVICE_PATH_PROTOCOL *Path, BOOLEAN DisplayOnly,
                                 BOOLEAN Shortcuts) {
  return FakeFirmware::Current().DevicePathToText(Path, DisplayOnly, Shortcuts);
}

EFI_STATUS EFIAPI TInstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Guid,
                                            EFI_INTERFACE_TYPE, VOID *Interface) {
  return FakeFirmware::Current().InstallProtocolInterface(Handle, Guid, Interface);
}
EFI_STATUS EFIAPI TUninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Guid, VOID *Interface) {
  return FakeFirmware::Current().UninstallProtocolInterface(Handle, Guid, Interface);
}
EFI_STATUS EFIAPI TInstallConfigurationTable(EFI_GUID *Guid, VOID *Table) {
  return FakeFirmware::Current().InstallConfigurationTable(Guid, Table);
}
EFI_STATUS EFIAPI TGetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size,
                               VOID *Data) {
  return FakeFirmware::Current().GetVariable(Name, Guid, Attributes, Size, Data);
}
EFI_STATUS EFIAPI TSetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN Size,
                               VOID *Data) {
  return FakeFirmware::Current().SetVariable(Name, Guid, Attributes, Size, Data);
}

template <typename Table>
void FillUnsupported(Table *T) {
  // Every slot after the table header is a function pointer.
  auto *Slots = reinterpret_cast<void **>(reinterpret_cast<char *>(T) + sizeof(EFI_TABLE_HEADER));
  size_t Count = (sizeof(Table) - sizeof(EFI_TABLE_HEADER)) / sizeof(void *);
  for (size_t Index = 0; Index < Count; Index++) {
    Slots[Index] = reinterpret_cast<void *>(&Unsupported);
  }
}

}  // namespace

std::string Narrow(const CHAR16 *Text) {
  std::string Out;
  for (; Text != nullptr && *Text != 0; Text++) {
    Out.push_back(*Text < 0x80 ? static_cast<char>(*Text) : '?');
  }
  return Out;
}

std::string Narrow(const std::u16string &Text) {
  return Narrow(reinterpret_cast<const CHAR16 *>(Text.c_str()));
}

std::u16string Wide(const std::string &Text) {
  std::u16string Out;
  for (unsigned char C : Text) Out.push_back(C);
  return Out;
}

bool operator<(const EFI_GUID &A, const EFI_GUID &B) { return std::memcmp(&A, &B, sizeof A) < 0; }
bool operator==(const EFI_GUID &A, const EFI_GUID &B) {
  return std::memcmp(&A, &B, sizeof A) == 0;
}

FakeFirmware &FakeFirmware::Current() {
  if (gCurrent == nullptr) std::abort();
  return *gCurrent;
}

FakeFirmware::FakeFirmware() {
  gCurrent = this;
  FillUnsupported(&Bs_);
  Bs_.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  Bs_.AllocatePool = TAllocatePool;
  Bs_.FreePool = TFreePool;
  Bs_.HandleProtocol = THandleProtocol;
  Bs_.OpenProtocol = TOpenProtocol;
  Bs_.CloseProtocol = TCloseProtocol;
  Bs_.LocateHandleBuffer = TLocateHandleBuffer;
  Bs_.LocateProtocol = TLocateProtocol;
  Bs_.LoadImage = TLoadImage;
  Bs_.StartImage = TStartImage;
  Bs_.SetMem = TSetMem;
  Bs_.CopyMem = TCopyMem;
  Bs_.InstallProtocolInterface = TInstallProtocolInterface;
  Bs_.UninstallProtocolInterface = TUninstallProtocolInterface;
  Bs_.InstallConfigurationTable = TInstallConfigurationTable;
  FillUnsupported(&Rs_);
  Rs_.GetVariable = TGetVariable;
  Rs_.SetVariable = TSetVariable;

  ConOut_.OutputString = TOutputString;
  ConOut_.SetAttribute = TSetAttribute;
  ConOut_.Mode = &ConOutMode_;
  ConOutMode_.Attribute = EFI_LIGHTGRAY;

  St_.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  St_.ConOut = &ConOut_;
  St_.StdErr = &ConOut_;
  St_.BootServices = &Bs_;
  St_.RuntimeServices = &Rs_;

  SavedSt_ = ST;
  SavedBs_ = BS;
  SavedRt_ = RT;
  ST = &St_;
  BS = &Bs_;
  RT = &Rs_;

  // The volume's device: a vendor hardware node and the end node.
  DeviceHandle_ = NewHandle();
  DeviceDevicePath_.assign(sizeof(VENDOR_DEVICE_PATH) + sizeof(EFI_DEVICE_PATH), 0);
  auto *Vendor = reinterpret_cast<VENDOR_DEVICE_PATH *>(DeviceDevicePath_.data());
  Vendor->Header.Type = HARDWARE_DEVICE_PATH;
  Vendor->Header.SubType = HW_VENDOR_DP;
  SetDevicePathNodeLength(&Vendor->Header, sizeof(VENDOR_DEVICE_PATH));
  auto *End = reinterpret_cast<EFI_DEVICE_PATH *>(DeviceDevicePath_.data() + sizeof(VENDOR_DEVICE_PATH));
  SetDevicePathEndNode(End);
  InstallProtocol(DeviceHandle_, gEfiDevicePathProtocolGuid, DeviceDevicePath_.data());

  ImageHandle_ = NewHandle();
  LoadedImage_.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  LoadedImage_.DeviceHandle = DeviceHandle_;
  LoadedImage_.SystemTable = &St_;
  InstallProtocol(ImageHandle_, gEfiLoadedImageProtocolGuid, &LoadedImage_);

  ToText_.ConvertDevicePathToText = TDevicePathToText;
  ToTextHandle_ = NewHandle();
  InstallProtocol(ToTextHandle_, gEfiDevicePathToTextProtocolGuid, &ToText_);
}

FakeFirmware::~FakeFirmware() {
  for (auto &Entry : Pool_) std::free(const_cast<void *>(Entry.first));
  ST = SavedSt_;
  BS = SavedBs_;
  RT = SavedRt_;
  if (gOrvBootServices == &Bs_) gOrvBootServices = nullptr;
  if (gCurrent == this) gCurrent = nullptr;
}

std::string FakeFirmware::Console() const {
  std::string Text = Narrow(Console_);
  std::string Out;
  for (size_t Index = 0; Index < Text.size(); Index++) {
    if (Text[Index] == '\r' && Index + 1 < Text.size() && Text[Index + 1] == '\n') continue;
    Out.push_back(Text[Index]);
  }
  return Out;
}

EFI_HANDLE FakeFirmware::NewHandle() {
  Handles_.emplace_back();
  EFI_HANDLE Handle = &Handles_.back();
  HandleOrder_.push_back(Handle);
  return Handle;
}

FakeFirmware::HandleRecord *FakeFirmware::Find(EFI_HANDLE Handle) {
  for (auto &Record : Handles_) {
    if (&Record == Handle) return &Record;
  }
  return nullptr;
}

const FakeFirmware::HandleRecord *FakeFirmware::Find(EFI_HANDLE Handle) const {
  for (auto &Record : Handles_) {
    if (&Record == Handle) return &Record;
  }
  return nullptr;
}

void FakeFirmware::InstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid, void *Interface) {
  HandleRecord *Record = Find(Handle);
  ASSERT_NE(Record, nullptr) << "InstallProtocol on an unknown handle";
  if (Record->Protocols.count(Guid) == 0) Record->Order.push_back(Guid);
  Record->Protocols[Guid] = Interface;
}

void FakeFirmware::UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid) {
  HandleRecord *Record = Find(Handle);
  if (Record == nullptr) return;
  Record->Protocols.erase(Guid);
  std::erase(Record->Order, Guid);
}

bool FakeFirmware::HasProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
  const HandleRecord *Record = Find(Handle);
  return Record != nullptr && Record->Protocols.count(Guid) != 0;
}

int FakeFirmware::OpenCount(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
  auto It = Opens_.find({Handle, Guid});
  return It == Opens_.end() ? 0 : It->second.Count;
}

UINT32 FakeFirmware::LastOpenAttributes(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
  auto It = Opens_.find({Handle, Guid});
  return It == Opens_.end() ? 0 : It->second.Attributes;
}

void FakeFirmware::BuildShell(const std::vector<std::string> &Arguments) {
  Shell_.Texts.clear();
  Shell_.Argv.clear();
  Shell_.Texts.push_back(u"OrvUpdate.efi");
  for (const auto &Argument : Arguments) Shell_.Texts.push_back(Wide(Argument));
  for (auto &Text : Shell_.Texts) Shell_.Argv.push_back(reinterpret_cast<CHAR16 *>(Text.data()));
  Shell_.Argv.push_back(nullptr);
  Shell_.Parameters.Argv = Shell_.Argv.data();
  Shell_.Parameters.Argc = Shell_.Texts.size();
  Shell_.Interface.Argv = Shell_.Argv.data();
  Shell_.Interface.Argc = Shell_.Texts.size();
}

void FakeFirmware::SetArguments(const std::vector<std::string> &Arguments) {
  BuildShell(Arguments);
  UninstallProtocol(ImageHandle_, gTestShellInterfaceProtocolGuid);
  InstallProtocol(ImageHandle_, gTestShellParametersProtocolGuid, &Shell_.Parameters);
}

void FakeFirmware::SetArgumentsOldShell(const std::vector<std::string> &Arguments) {
  BuildShell(Arguments);
  UninstallProtocol(ImageHandle_, gTestShellParametersProtocolGuid);
  InstallProtocol(ImageHandle_, gTestShellInterfaceProtocolGuid, &Shell_.Interface);
}

void FakeFirmware::RemoveShell() {
  UninstallProtocol(ImageHandle_, gTestShellParametersProtocolGuid);
  UninstallProtocol(ImageHandle_, gTestShellInterfaceProtocolGuid);
}

size_t FakeFirmware::PoolSize(const void *Pointer) const {
  auto It = Pool_.find(Pointer);
  return It == Pool_.end() ? 0 : It->second;
}

void FakeFirmware::FailLocateHandleBuffer(const EFI_GUID &Guid, EFI_STATUS Status, int Nth) {
  LocateFailures_[Guid] = {Status, Nth == 0 ? 0 : LocateCalls_[Guid] + Nth};
}

int FakeFirmware::LocateHandleBufferCalls(const EFI_GUID &Guid) const {
  auto It = LocateCalls_.find(Guid);
  return It == LocateCalls_.end() ? 0 : It->second;
}

void FakeFirmware::AddDriverFile(const std::string &Path, DriverEntry Entry) {
  DriverFiles_[Path] = {true, std::move(Entry)};
}

void FakeFirmware::AddUnloadableFile(const std::string &Path) { DriverFiles_[Path] = {false, {}}; }

void FakeFirmware::RemoveDevicePathToText() {
  UninstallProtocol(ToTextHandle_, gEfiDevicePathToTextProtocolGuid);
}

// ---- Boot services ---------------------------------------------------------

EFI_STATUS FakeFirmware::AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  AllocationCount_++;
  if (FailSizes_.count(Size) != 0 || static_cast<int>(AllocationCount_) == FailNth_) {
    *Buffer = nullptr;
    return EFI_OUT_OF_RESOURCES;
  }
  void *Block = std::malloc(Size == 0 ? 1 : Size);
  // Poisoned, so code that assumes zeroed pool memory shows up in tests.
  std::memset(Block, 0x5A, Size);
  Pool_[Block] = Size;
  PoolTypes_[Block] = Type;
  *Buffer = Block;
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::FreePool(VOID *Buffer) {
  auto It = Pool_.find(Buffer);
  if (It == Pool_.end()) {
    ADD_FAILURE() << "FreePool of a block that is not pool memory: " << Buffer;
    return EFI_INVALID_PARAMETER;
  }
  std::memset(Buffer, 0xA5, It->second);
  std::free(Buffer);
  Pool_.erase(It);
  PoolTypes_.erase(Buffer);
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, VOID **Interface) {
  HandleRecord *Record = Find(Handle);
  if (Record == nullptr) return EFI_INVALID_PARAMETER;
  auto It = Record->Protocols.find(*Guid);
  if (It == Record->Protocols.end()) return EFI_UNSUPPORTED;
  *Interface = It->second;
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::OpenProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, VOID **Interface,
                                      EFI_HANDLE, EFI_HANDLE, UINT32 Attributes) {
  auto Failure = OpenFailures_.find(*Guid);
  if (Failure != OpenFailures_.end()) return Failure->second;
  EFI_STATUS Status = HandleProtocol(Handle, Guid, Interface);
  if (EFI_ERROR(Status)) return Status;
  OpenRecord &Record = Opens_[{Handle, *Guid}];
  Record.Count++;
  Record.Attributes = Attributes;
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::CloseProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, EFI_HANDLE, EFI_HANDLE) {
  auto It = Opens_.find({Handle, *Guid});
  if (It == Opens_.end() || It->second.Count == 0) {
    ADD_FAILURE() << "CloseProtocol of a protocol that is not open";
    return EFI_NOT_FOUND;
  }
  It->second.Count--;
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Guid,
                                            VOID *, UINTN *Count, EFI_HANDLE **Buffer) {
  int Call = ++LocateCalls_[*Guid];
  auto Failure = LocateFailures_.find(*Guid);
  if (Failure != LocateFailures_.end() &&
      (Failure->second.Nth == 0 || Failure->second.Nth == Call)) {
    return Failure->second.Status;
  }
  if (SearchType != ByProtocol) return EFI_UNSUPPORTED;
  std::vector<EFI_HANDLE> Found;
  for (EFI_HANDLE Handle : HandleOrder_) {
    if (HasProtocol(Handle, *Guid)) Found.push_back(Handle);
  }
  if (Found.empty()) return EFI_NOT_FOUND;
  VOID *Block = nullptr;
  EFI_STATUS Status = AllocatePool(EfiBootServicesData, Found.size() * sizeof(EFI_HANDLE), &Block);
  if (EFI_ERROR(Status)) return Status;
  std::memcpy(Block, Found.data(), Found.size() * sizeof(EFI_HANDLE));
  *Buffer = static_cast<EFI_HANDLE *>(Block);
  *Count = Found.size();
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::LocateProtocol(EFI_GUID *Guid, VOID *, VOID **Interface) {
  for (EFI_HANDLE Handle : HandleOrder_) {
    if (HasProtocol(Handle, *Guid)) return HandleProtocol(Handle, Guid, Interface);
  }
  return EFI_NOT_FOUND;
}

std::string FakeFirmware::FilePathOf(const EFI_DEVICE_PATH *Path) const {
  // Expect this volume's device path followed by file path nodes.
  const auto *Node = reinterpret_cast<const UINT8 *>(Path);
  size_t DevicePrefix = DeviceDevicePath_.size() - sizeof(EFI_DEVICE_PATH);
  if (std::memcmp(Node, DeviceDevicePath_.data(), DevicePrefix) != 0) return {};
  Node += DevicePrefix;
  std::string File;
  while (true) {
    const auto *Header = reinterpret_cast<const EFI_DEVICE_PATH *>(Node);
    size_t Length = Header->Length[0] | (Header->Length[1] << 8);
    if (Header->Type == END_DEVICE_PATH_TYPE || Length < 4) break;
    if (Header->Type == MEDIA_DEVICE_PATH && Header->SubType == MEDIA_FILEPATH_DP) {
      std::u16string Part;
      for (size_t Offset = 4; Offset + 1 < Length; Offset += 2) {
        char16_t C = static_cast<char16_t>(Node[Offset] | (Node[Offset + 1] << 8));
        if (C == 0) break;
        Part.push_back(C);
      }
      File += Narrow(Part);
    }
    Node += Length;
  }
  return File;
}

EFI_STATUS FakeFirmware::LoadImage(BOOLEAN BootPolicy, EFI_HANDLE, EFI_DEVICE_PATH *Path,
                                   VOID *Source, UINTN SourceSize, EFI_HANDLE *Image) {
  EXPECT_FALSE(BootPolicy);
  EXPECT_EQ(Source, nullptr);
  EXPECT_EQ(SourceSize, 0u);
  std::string File = Path == nullptr ? std::string() : FilePathOf(Path);
  LoadImageRequests_.push_back(File);
  auto It = DriverFiles_.find(File);
  if (It == DriverFiles_.end()) return EFI_NOT_FOUND;
  if (!It->second.Loadable) return EFI_LOAD_ERROR;
  EFI_HANDLE Handle = NewHandle();
  LoadedDrivers_[Handle] = File;
  *Image = Handle;
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::StartImage(EFI_HANDLE Image, UINTN *ExitDataSize, CHAR16 **ExitData) {
  StartImageCalls_++;
  EXPECT_EQ(ExitDataSize, nullptr);
  EXPECT_EQ(ExitData, nullptr);
  auto It = LoadedDrivers_.find(Image);
  if (It == LoadedDrivers_.end()) return EFI_INVALID_PARAMETER;
  const DriverEntry &Entry = DriverFiles_[It->second].Entry;
  return Entry ? Entry(Image) : EFI_SUCCESS;
}

void FakeFirmware::SetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  std::memset(Buffer, Value, Size);
}

void FakeFirmware::CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  std::memmove(Destination, Source, Length);
}

EFI_STATUS FakeFirmware::OutputString(const CHAR16 *Text) {
  for (; *Text != 0; Text++) Console_.push_back(static_cast<char16_t>(*Text));
  return EFI_SUCCESS;
}

CHAR16 *FakeFirmware::DevicePathToText(const EFI_DEVICE_PATH *Path, BOOLEAN DisplayOnly,
                                       BOOLEAN Shortcuts) {
  ToTextFlags_.emplace_back(DisplayOnly != 0, Shortcuts != 0);
  // The short display form names the volume as a shell mapping would; the
  // full form spells out the device.
  std::string Text = (DisplayOnly ? std::string("FS0:") : std::string("VenHw(FAKE)/")) +
                     FilePathOf(Path);
  VOID *Block = nullptr;
  if (EFI_ERROR(AllocatePool(EfiBootServicesData, (Text.size() + 1) * sizeof(CHAR16), &Block))) {
    return nullptr;
  }
  auto *Out = static_cast<CHAR16 *>(Block);
  for (size_t Index = 0; Index < Text.size(); Index++) Out[Index] = static_cast<UINT8>(Text[Index]);
  Out[Text.size()] = 0;
  return Out;
}

EFI_STATUS FakeFirmware::InstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Guid,
                                                  VOID *Interface) {
  if (Handle == nullptr || Guid == nullptr) return EFI_INVALID_PARAMETER;
  if (*Handle == nullptr) *Handle = NewHandle();
  if (HasProtocol(*Handle, *Guid)) return EFI_INVALID_PARAMETER;
  InstallProtocol(*Handle, *Guid, Interface);
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::UninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Guid,
                                                    VOID *Interface) {
  HandleRecord *Record = Find(Handle);
  if (Record == nullptr || Record->Protocols.count(*Guid) == 0 ||
      Record->Protocols[*Guid] != Interface) {
    return EFI_NOT_FOUND;
  }
  UninstallProtocol(Handle, *Guid);
  return EFI_SUCCESS;
}

std::vector<EFI_HANDLE> FakeFirmware::HandlesWith(const EFI_GUID &Guid) const {
  std::vector<EFI_HANDLE> Out;
  for (EFI_HANDLE Handle : HandleOrder_) {
    if (HasProtocol(Handle, Guid)) Out.push_back(Handle);
  }
  return Out;
}

EFI_STATUS FakeFirmware::InstallConfigurationTable(EFI_GUID *Guid, VOID *Table) {
  if (Guid == nullptr) return EFI_INVALID_PARAMETER;
  auto Same = [&](const EFI_CONFIGURATION_TABLE &Entry) { return Entry.VendorGuid == *Guid; };
  auto Found = std::find_if(ConfigTables_.begin(), ConfigTables_.end(), Same);
  if (Table == nullptr) {
    if (Found == ConfigTables_.end()) return EFI_NOT_FOUND;
    ConfigTables_.erase(Found);
  } else if (Found != ConfigTables_.end()) {
    Found->VendorTable = Table;
  } else {
    ConfigTables_.push_back({*Guid, Table});
  }
  St_.ConfigurationTable = ConfigTables_.data();
  St_.NumberOfTableEntries = ConfigTables_.size();
  return EFI_SUCCESS;
}

void *FakeFirmware::ConfigurationTable(const EFI_GUID &Guid) const {
  for (const EFI_CONFIGURATION_TABLE &Entry : ConfigTables_) {
    if (Entry.VendorGuid == Guid) return Entry.VendorTable;
  }
  return nullptr;
}

EFI_STATUS FakeFirmware::GetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size,
                                     VOID *Data) {
  if (Name == nullptr || Guid == nullptr || Size == nullptr) return EFI_INVALID_PARAMETER;
  auto Found = Variables.find({std::u16string(reinterpret_cast<const char16_t *>(Name)), *Guid});
  if (Found == Variables.end()) return EFI_NOT_FOUND;
  const std::vector<UINT8> &Bytes = Found->second.Data;
  if (Attributes != nullptr) *Attributes = Found->second.Attributes;
  if (*Size < Bytes.size()) {
    *Size = Bytes.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  *Size = Bytes.size();
  std::memcpy(Data, Bytes.data(), Bytes.size());
  return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::SetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN Size,
                                     VOID *Data) {
  if (Name == nullptr || Guid == nullptr) return EFI_INVALID_PARAMETER;
  const std::pair<std::u16string, EFI_GUID> Key{
      std::u16string(reinterpret_cast<const char16_t *>(Name)), *Guid};
  if (Size == 0) return Variables.erase(Key) != 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
  const UINT8 *Bytes = static_cast<const UINT8 *>(Data);
  Variables[Key] = {Attributes, std::vector<UINT8>(Bytes, Bytes + Size)};
  return EFI_SUCCESS;
}
