// An in-memory FAT-like volume for host tests, installed on the
// fake firmware's device handle as its Simple File System protocol. Files are
// added by path; folders are implied by the paths. Names are compared without
// regard to ASCII case, path separators are backslashes, and paths given to
// Open are relative to the handle they are opened from (a leading backslash
// means the root). Read-only unless AllowDelete() lets files be opened for
// writing and deleted; a directory's Read lists its entries. Every call can be made to fail; Read can be made short;
// open handles are counted and the order of Close calls is recorded.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "FakeFirmware.h"
#include "OrvEfi.h"

class FakeVolume {
 public:
  /// One Close call: the path of the handle closed (empty for the root
  /// directory), whether it was a directory, and how many times the volume's
  /// Simple File System protocol was open on the device handle at that moment.
  struct CloseRecord {
    std::string Path;
    bool Directory = false;
    int ProtocolOpenCount = 0;
  };
  /// One Open call as the volume received it.
  struct OpenRequest {
    std::string Path;
    UINT64 Mode = 0;
    UINT64 Attributes = 0;
  };

  explicit FakeVolume(FakeFirmware &Firmware);
  ~FakeVolume();
  FakeVolume(const FakeVolume &) = delete;
  FakeVolume &operator=(const FakeVolume &) = delete;

  /// Adds or replaces a file, path relative to the root ("A\\B.ini").
  void AddFile(const std::string &Path, const std::string &Content);
  void RemoveFile(const std::string &Path);
  /// Files may be opened for reading and writing, and deleted.
  void AllowDelete() { AllowDelete_ = true; }
  bool HasFile(const std::string &Path) const;
  /// GetInfo reports this FileSize for the file instead of its real size
  /// (Read still delivers only the real bytes).
  void ReportFileSize(const std::string &Path, UINT64 FileSize);

  /// The call ("OpenVolume", "Open", "GetInfo", "Read", "Close" or "Delete") fails with
  /// Status: the Nth call from now (1-based), or every call when Nth is 0.
  /// A failed Close still closes its handle, as Close always does.
  void Fail(const std::string &Call, EFI_STATUS Status, int Nth = 0);
  /// From now on every Read delivers at most Bytes bytes.
  void ShortRead(UINTN Bytes) {
    ShortRead_ = true;
    ShortReadBytes_ = Bytes;
  }
  /// Calls of that name made so far.
  int Calls(const std::string &Call) const;

  /// Files and directories open right now.
  size_t OpenHandles() const;
  const std::vector<CloseRecord> &Closes() const { return Closes_; }
  const std::vector<OpenRequest> &OpenRequests() const { return OpenRequests_; }
  /// BufferSize of each GetInfo call on entry, and of each Read call on entry.
  const std::vector<UINTN> &GetInfoBufferSizes() const { return GetInfoSizes_; }
  const std::vector<UINTN> &ReadRequestSizes() const { return ReadSizes_; }

  EFI_FILE_IO_INTERFACE *Protocol() { return &FileSystem_.Protocol; }

  // Protocol members (called by the trampolines).
  struct Handle;
  EFI_STATUS OpenVolume(EFI_FILE_PROTOCOL **Root);
  EFI_STATUS Open(Handle &From, EFI_FILE_PROTOCOL **NewHandle, const CHAR16 *FileName,
                  UINT64 OpenMode, UINT64 Attributes);
  EFI_STATUS Close(Handle &File);
  EFI_STATUS Read(Handle &File, UINTN *BufferSize, VOID *Buffer);
  EFI_STATUS GetInfo(Handle &File, const EFI_GUID *Type, UINTN *BufferSize, VOID *Buffer);
  EFI_STATUS GetPosition(Handle &File, UINT64 *Position);
  EFI_STATUS SetPosition(Handle &File, UINT64 Position);
  EFI_STATUS Delete(Handle &File);

  /// The protocol table the code holds, followed by the way back to its
  /// owner. Plain data, so a pointer to the table is a pointer to the anchor.
  struct HandleAnchor {
    EFI_FILE_PROTOCOL Protocol{};
    Handle *Owner = nullptr;
  };
  struct VolumeAnchor {
    EFI_FILE_IO_INTERFACE Protocol{};
    FakeVolume *Volume = nullptr;
  };
  /// An open (or closed) file or directory handle.
  struct Handle {
    HandleAnchor Anchor;
    FakeVolume *Volume = nullptr;
    std::string Path;  // as stored: original case, "" for the root
    bool Directory = false;
    bool Open = true;
    UINT64 Position = 0;
  };

 private:
  struct File {
    std::string Path;  // original case
    std::string Content;
    bool SizeOverridden = false;
    UINT64 ReportedSize = 0;
  };
  struct Failure {
    EFI_STATUS Status = EFI_SUCCESS;
    int Nth = 0;  // absolute call number, 0 = every call
  };

  /// Counts the call and returns its injected failure, or EFI_SUCCESS.
  EFI_STATUS Injected(const std::string &Call);
  Handle &NewHandle(const std::string &Path, bool Directory);
  bool IsDirectory(const std::string &LowerPath) const;
  /// The names of the files and folders directly inside a folder, in order.
  std::vector<std::pair<std::string, bool>> Entries(const std::string &LowerPath) const;
  EFI_STATUS ReadEntry(Handle &Folder, UINTN *BufferSize, VOID *Buffer);

  FakeFirmware &Fw_;
  VolumeAnchor FileSystem_;
  std::map<std::string, File> Files_;  // by lower-case path
  std::deque<Handle> Handles_;         // every handle ever opened, open or closed
  std::map<std::string, Failure> Failures_;
  std::map<std::string, int> CallCounts_;
  bool ShortRead_ = false;
  UINTN ShortReadBytes_ = 0;
  bool AllowDelete_ = false;
  std::vector<CloseRecord> Closes_;
  std::vector<OpenRequest> OpenRequests_;
  std::vector<UINTN> GetInfoSizes_;
  std::vector<UINTN> ReadSizes_;
};
