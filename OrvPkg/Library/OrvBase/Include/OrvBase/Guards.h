/** @file
  Small move-only guards for firmware resources: pool memory (and the handle
  buffers the firmware hands out in pool memory) and open file handles.
  Opened protocols are held by ProtocolPtr (ProtocolPtr.h), the components'
  paired operations by the update module's ComponentGuards.h. Each releases
  on scope exit; ownership leaves a guard only through an explicit Release()
  on success, or by moving it into another guard (a guard can be returned
  from a function). Nothing here allocates; every member is noexcept.

  Where the order of clean-up steps matters, declare the guards in the reverse
  order of their release: the last declared is released first.
**/

#ifndef ORV_BASE_GUARDS_H_
#define ORV_BASE_GUARDS_H_

#include "Efi.h"

/// Pool memory taken with AllocatePool (or handed out by the firmware in pool
/// memory), given back with FreePool.
template <typename T>
class PoolGuard {
 public:
  PoolGuard() noexcept = default;
  explicit PoolGuard(T *Pointer) noexcept : Held(Pointer) {}
  PoolGuard(PoolGuard &&Other) noexcept : Held(Other.Release()) {}
  PoolGuard &operator=(PoolGuard &&Other) noexcept {
    if (this != &Other) Reset(Other.Release());
    return *this;
  }
  PoolGuard(const PoolGuard &) = delete;
  PoolGuard &operator=(const PoolGuard &) = delete;
  ~PoolGuard() { Reset(); }

  /// Allocates Size bytes; leaves the guard empty when the pool has none.
  static PoolGuard Allocate(UINTN Size) noexcept {
    return PoolGuard(static_cast<T *>(AllocatePool(Size)));
  }

  T *Get() const noexcept { return Held; }
  T *operator->() const noexcept { return Held; }
  T &operator[](UINTN Index) const noexcept { return Held[Index]; }
  explicit operator bool() const noexcept { return Held != nullptr; }
  /// Address for out-parameters of functions that allocate (the guard must be empty).
  T **Out() noexcept { return &Held; }

  /// Hands the memory on; the guard no longer frees it.
  [[nodiscard]] T *Release() noexcept {
    T *Pointer = Held;
    Held = nullptr;
    return Pointer;
  }

  /// Frees what the guard holds now, then holds Pointer.
  void Reset(T *Pointer = nullptr) noexcept {
    if (Held != nullptr && Held != Pointer) FreePool(Held);
    Held = Pointer;
  }

 private:
  T *Held = nullptr;
};

/// A handle buffer from LocateHandleBuffer (pool memory).
using HandleBufferGuard = PoolGuard<EFI_HANDLE>;

/// An open file or directory handle, closed on scope exit.
class FileGuard {
 public:
  FileGuard() noexcept = default;
  explicit FileGuard(EFI_FILE_PROTOCOL *File) noexcept : Held(File) {}
  FileGuard(FileGuard &&Other) noexcept : Held(Other.Release()) {}
  FileGuard &operator=(FileGuard &&Other) noexcept {
    if (this != &Other) {
      Close();
      Held = Other.Release();
    }
    return *this;
  }
  FileGuard(const FileGuard &) = delete;
  FileGuard &operator=(const FileGuard &) = delete;
  ~FileGuard() { Close(); }

  EFI_FILE_PROTOCOL *Get() const noexcept { return Held; }
  EFI_FILE_PROTOCOL *operator->() const noexcept { return Held; }
  explicit operator bool() const noexcept { return Held != nullptr; }
  /// Address for the out-parameter of OpenVolume or Open (the guard must be empty).
  EFI_FILE_PROTOCOL **Out() noexcept { return &Held; }

  /// Hands the handle on; the guard no longer closes it.
  [[nodiscard]] EFI_FILE_PROTOCOL *Release() noexcept {
    EFI_FILE_PROTOCOL *File = Held;
    Held = nullptr;
    return File;
  }

  /// Closes the handle now and returns Close's status (EFI_SUCCESS when empty).
  EFI_STATUS Close() noexcept {
    EFI_FILE_PROTOCOL *File = Release();
    return File != nullptr ? File->Close(File) : EFI_SUCCESS;
  }

 private:
  EFI_FILE_PROTOCOL *Held = nullptr;
};

#endif
