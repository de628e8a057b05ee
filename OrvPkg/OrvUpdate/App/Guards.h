/** @file
  Small move-only guards for firmware resources. Each releases on scope exit;
  ownership leaves a guard only through an explicit Release() on success.
**/

#ifndef ORV_GUARDS_H_
#define ORV_GUARDS_H_

#include "OrvEfi.h"

/// Pool memory taken with AllocatePool, given back with FreePool.
template <typename T>
class PoolGuard {
 public:
  PoolGuard() noexcept = default;
  explicit PoolGuard(T *Pointer) noexcept : Pointer_(Pointer) {}
  PoolGuard(const PoolGuard &) = delete;
  PoolGuard &operator=(const PoolGuard &) = delete;
  ~PoolGuard() { Reset(); }

  /// Allocates Size bytes; leaves the guard empty when the pool has none.
  static PoolGuard Allocate(UINTN Size) noexcept {
    return PoolGuard(static_cast<T *>(AllocatePool(Size)));
  }

  T *Get() const noexcept { return Pointer_; }
  T *operator->() const noexcept { return Pointer_; }
  explicit operator bool() const noexcept { return Pointer_ != nullptr; }
  /// Address for out-parameters of functions that allocate (the guard must be empty).
  T **Out() noexcept { return &Pointer_; }

  /// Hands the memory on; the guard no longer frees it.
  T *Release() noexcept {
    T *Pointer = Pointer_;
    Pointer_ = nullptr;
    return Pointer;
  }

  void Reset() noexcept {
    if (Pointer_ != nullptr) {
      FreePool(Pointer_);
      Pointer_ = nullptr;
    }
  }

 private:
  T *Pointer_ = nullptr;
};

/// Runs a callable on scope exit unless cancelled.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F Action) noexcept : Action_(Action) {}
  ScopeExit(const ScopeExit &) = delete;
  ScopeExit &operator=(const ScopeExit &) = delete;
  ~ScopeExit() {
    if (Armed_) Action_();
  }
  void Cancel() noexcept { Armed_ = false; }

 private:
  F Action_;
  bool Armed_ = true;
};

#endif
