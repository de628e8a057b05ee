/** @file
  Typed protocol access: the GUID of a protocol is tied to its interface
  type, so an interface can never be opened or looked up under another
  protocol's GUID, and no call site casts through VOID **.

  ProtocolPtr<T> holds an interface opened with OpenProtocol in get-protocol
  mode and closes it again with CloseProtocol on scope exit, unless it is
  released (protocols a run keeps open to its end). LocateProtocolOf and
  HandleProtocolOf are the typed forms of the two look-ups that need no
  closing.
**/

#ifndef ORV_BASE_PROTOCOL_PTR_H_
#define ORV_BASE_PROTOCOL_PTR_H_

#include "Efi.h"

/**
  The GUID of a protocol interface type: one specialisation per type, each
  with a static Get() returning the address of the GUID. The common ones are
  below; a module adds its private ones (shell protocols, its own) beside its
  code.
**/
template <typename PROTOCOL>
struct ProtocolGuidOf;

template <>
struct ProtocolGuidOf<EFI_LOADED_IMAGE> {
  static const EFI_GUID *Get() { return &gEfiLoadedImageProtocolGuid; }
};
template <>
struct ProtocolGuidOf<EFI_FILE_IO_INTERFACE> {
  static const EFI_GUID *Get() { return &gEfiSimpleFileSystemProtocolGuid; }
};
template <>
struct ProtocolGuidOf<EFI_DEVICE_PATH_TO_TEXT_PROTOCOL> {
  static const EFI_GUID *Get() { return &gEfiDevicePathToTextProtocolGuid; }
};
template <>
struct ProtocolGuidOf<ORV_IMAGE_PROTOCOL> {
  static const EFI_GUID *Get() { return &gOrvImageProtocolGuid; }
};
template <>
struct ProtocolGuidOf<ORV_FLASH_PROTOCOL> {
  static const EFI_GUID *Get() { return &gOrvFlashProtocolGuid; }
};
template <>
struct ProtocolGuidOf<ORV_FLASH_POLICY_PROTOCOL> {
  static const EFI_GUID *Get() { return &gOrvFlashPolicyProtocolGuid; }
};
template <>
struct ProtocolGuidOf<ORV_PATH_PROTOCOL> {
  static const EFI_GUID *Get() { return &gOrvPathProtocolGuid; }
};

/// The GUID of PROTOCOL as the boot services take it.
template <typename PROTOCOL>
EFI_GUID *ProtocolGuid() {
  return GuidArgument(*ProtocolGuidOf<PROTOCOL>::Get());
}

/// An interface opened with OpenProtocol (get-protocol mode) on a handle by
/// an agent; closed through the same boot services table on scope exit.
template <typename PROTOCOL>
class ProtocolPtr {
 public:
  ProtocolPtr() noexcept = default;
  ProtocolPtr(ProtocolPtr &&Other) noexcept { Take(Other); }
  ProtocolPtr &operator=(ProtocolPtr &&Other) noexcept {
    if (this != &Other) {
      Close();
      Take(Other);
    }
    return *this;
  }
  ProtocolPtr(const ProtocolPtr &) = delete;
  ProtocolPtr &operator=(const ProtocolPtr &) = delete;
  ~ProtocolPtr() { Close(); }

  /**
    Open the protocol on Handle with Agent as the agent, no controller.
    Whatever the pointer held before is closed first.

    @return The status of OpenProtocol; on success the pointer holds the
            interface.
  **/
  [[nodiscard]] EFI_STATUS Open(EFI_BOOT_SERVICES *BootServices, EFI_HANDLE Handle,
                                EFI_HANDLE Agent) noexcept {
    Close();
    PROTOCOL *Opened = nullptr;
    EFI_STATUS Status =
        BootServices->OpenProtocol(Handle, ProtocolGuid<PROTOCOL>(), reinterpret_cast<VOID **>(&Opened),
                                   Agent, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (!EFI_ERROR(Status)) {
      Interface = Opened;
      Services = BootServices;
      OnHandle = Handle;
      ByAgent = Agent;
    }
    return Status;
  }

  PROTOCOL *Get() const noexcept { return Interface; }
  PROTOCOL *operator->() const noexcept { return Interface; }
  explicit operator bool() const noexcept { return Interface != nullptr; }

  /// The protocol stays open for as long as the agent lives; the interface
  /// is handed on and the pointer no longer closes it.
  [[nodiscard]] PROTOCOL *Release() noexcept {
    PROTOCOL *Held = Interface;
    Interface = nullptr;
    Services = nullptr;
    return Held;
  }

  /// Closes the protocol now (nothing when the pointer holds none).
  void Close() noexcept {
    if (Services != nullptr) {
      EFI_BOOT_SERVICES *BootServices = Services;
      Services = nullptr;
      Interface = nullptr;
      BootServices->CloseProtocol(OnHandle, ProtocolGuid<PROTOCOL>(), ByAgent, nullptr);
    }
  }

 private:
  void Take(ProtocolPtr &Other) noexcept {
    Interface = Other.Interface;
    Services = Other.Services;
    OnHandle = Other.OnHandle;
    ByAgent = Other.ByAgent;
    Other.Interface = nullptr;
    Other.Services = nullptr;
  }

  PROTOCOL *Interface = nullptr;
  EFI_BOOT_SERVICES *Services = nullptr;
  EFI_HANDLE OnHandle = nullptr;
  EFI_HANDLE ByAgent = nullptr;
};

/// The first installed instance of PROTOCOL (LocateProtocol, no registration).
template <typename PROTOCOL>
[[nodiscard]] EFI_STATUS LocateProtocolOf(EFI_BOOT_SERVICES *BootServices, PROTOCOL **Interface) {
  return BootServices->LocateProtocol(ProtocolGuid<PROTOCOL>(), nullptr,
                                      reinterpret_cast<VOID **>(Interface));
}

/// PROTOCOL on Handle (HandleProtocol: nothing to close).
template <typename PROTOCOL>
[[nodiscard]] EFI_STATUS HandleProtocolOf(EFI_BOOT_SERVICES *BootServices, EFI_HANDLE Handle,
                                          PROTOCOL **Interface) {
  return BootServices->HandleProtocol(Handle, ProtocolGuid<PROTOCOL>(),
                                      reinterpret_cast<VOID **>(Interface));
}

#endif
