/** @file
  Guards for the paired operations of the bound components, so that every
  way out of a function gives back what it opened:

  - a programming pass of one IC (FlashPreOperation ... ICPostOperation) and
    an unlocked flash (UnlockFlash ... lockFlash), on pOrvFlashProtocol;
  - a zone image held in one of the run's handles (OcmImage, CustomerImage),
    given back with the image parser's FreeImage;
  - the path session (PathInit ... PathDeinit) on pOrvPathProtocolInterface;
  - everything a bound run holds: both zone images, then the path session.

  The closing call of a pair can fail and its status matters to the caller
  (ICPostOperation, lockFlash): Close() makes the call and returns its
  status; the destructor only closes what is still open, for early returns.
  Release() hands a resource on without closing it (to the run, which gives
  it back at its end).
**/

#ifndef ORV_COMPONENT_GUARDS_H_
#define ORV_COMPONENT_GUARDS_H_

#include "../App/OrvEfi.h"
#include "../App/RunState.h"

/// A pair of flash operations on one IC: Begin opens, End closes.
template <auto BEGIN, auto END>
class IcPairGuard {
 public:
  IcPairGuard() noexcept = default;
  IcPairGuard(const IcPairGuard &) = delete;
  IcPairGuard &operator=(const IcPairGuard &) = delete;
  ~IcPairGuard() { (void)Close(); }

  /// The opening operation; on success the guard holds the pair open.
  [[nodiscard]] EFI_STATUS Open(ORV_FLASH_PROTOCOL *Flash, UINT8 Ic) noexcept {
    (void)Close();
    EFI_STATUS Status = (Flash->*BEGIN)(Ic);
    if (!EFI_ERROR(Status)) {
      Opened = Flash;
      OpenIc = Ic;
    }
    return Status;
  }

  /// The closing operation, once for a pair this guard opened; EFI_SUCCESS
  /// when it holds none.
  [[nodiscard]] EFI_STATUS Close() noexcept {
    ORV_FLASH_PROTOCOL *Flash = Opened;
    Opened = nullptr;
    return Flash != nullptr ? (Flash->*END)(OpenIc) : EFI_SUCCESS;
  }

 private:
  ORV_FLASH_PROTOCOL *Opened = nullptr;
  UINT8 OpenIc = 0;
};

/// A programming pass: FlashPreOperation, then exactly one ICPostOperation.
using FlashPassGuard =
    IcPairGuard<&ORV_FLASH_PROTOCOL::FlashPreOperation, &ORV_FLASH_PROTOCOL::ICPostOperation>;
/// An unlocked flash: UnlockFlash, then lockFlash.
using FlashUnlockGuard = IcPairGuard<&ORV_FLASH_PROTOCOL::UnlockFlash, &ORV_FLASH_PROTOCOL::lockFlash>;

/// A zone image in one of the run's handles, given back through the image
/// parser's FreeImage (its result is not used) and the handle set to 0.
class ZoneImageGuard {
 public:
  explicit ZoneImageGuard(ORV_IMAGE_HANDLE *Handle) noexcept : Handle(Handle) {}
  ZoneImageGuard(const ZoneImageGuard &) = delete;
  ZoneImageGuard &operator=(const ZoneImageGuard &) = delete;
  ~ZoneImageGuard() { Free(); }

  /// Gives the image back now, if the handle holds one.
  void Free() noexcept;
  /// The image stays loaded: the handle no longer belongs to this guard.
  void Release() noexcept { Handle = nullptr; }

 private:
  ORV_IMAGE_HANDLE *Handle;
};

/// The path session: PathInit, then PathDeinit (its result is not used).
class PathSessionGuard {
 public:
  PathSessionGuard() noexcept = default;
  PathSessionGuard(PathSessionGuard &&Other) noexcept : Opened(Other.Opened) {
    Other.Opened = nullptr;
  }
  PathSessionGuard &operator=(PathSessionGuard &&Other) noexcept {
    if (this != &Other) {
      Close();
      Opened = Other.Opened;
      Other.Opened = nullptr;
    }
    return *this;
  }
  PathSessionGuard(const PathSessionGuard &) = delete;
  PathSessionGuard &operator=(const PathSessionGuard &) = delete;
  ~PathSessionGuard() { Close(); }

  /// PathInit of the bound path component (pOrvPathProtocolInterface); on
  /// success the session is held.
  [[nodiscard]] EFI_STATUS Open() noexcept;
  /// PathDeinit, once, for a session this guard holds.
  void Close() noexcept;
  /// The session stays open and is handed on.
  void Release() noexcept { Opened = nullptr; }

  /// Takes over the session of a settings sequence that succeeded: it leaves
  /// the bound path component initialised for the run.
  static PathSessionGuard AdoptOpen() noexcept {
    PathSessionGuard Session;
    Session.Opened = pOrvPathProtocolInterface;
    return Session;
  }

 private:
  ORV_PATH_PROTOCOL *Opened = nullptr;
};

/**
  What a run gives back once its settings sequence succeeded: both zone
  images (OCM, then customer) and then the path session, on every way out of
  the run driver, so repeated runs in one boot neither exhaust the image
  parser nor leave a path open.
**/
class BoundRunGuard {
 public:
  /// Takes over the images and the path session of a settings sequence that
  /// succeeded.
  BoundRunGuard() noexcept : Path(PathSessionGuard::AdoptOpen()) {}
  BoundRunGuard(const BoundRunGuard &) = delete;
  BoundRunGuard &operator=(const BoundRunGuard &) = delete;
  ~BoundRunGuard() { ReleaseNow(); }

  /// Brings the path down and up again (PathDeinit, then PathInit); the
  /// session is held again only when PathInit succeeded.
  [[nodiscard]] EFI_STATUS RestartPath() noexcept {
    Path.Close();
    return Path.Open();
  }

  /// Gives everything back now: the images first, then the path.
  void ReleaseNow() noexcept {
    Ocm.Free();
    Customer.Free();
    Path.Close();
  }

 private:
  PathSessionGuard Path;
  ZoneImageGuard Customer{&CustomerImage};
  ZoneImageGuard Ocm{&OcmImage};
};

#endif
