/** @file
  An update volume as orvstick sees it: a folder, or a FAT image file read
  and written through mtools. Names are looked up without regard to case, as
  on FAT; volume paths use "\" (or "/") between folders and are relative to
  the volume's root.
**/

#ifndef ORVSTICK_VOLUME_H_
#define ORVSTICK_VOLUME_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

/// A failure of orvstick's own work (a host file, mtools); the message is
/// printed as "orvstick: <message>".
struct TOOL_FAILURE : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class VOLUME_KIND { Folder, FatImage };

/// A whole file of the host. Throws TOOL_FAILURE when it cannot be read.
std::string ReadHostFile(const std::string &Path);

/// A file or folder of the volume; Path as the volume spells it, with "\".
struct VOLUME_ENTRY {
  std::string Path;
  bool Folder;
};

class VOLUME {
 public:
  virtual ~VOLUME() = default;

  /// An existing folder or FAT image file. Throws TOOL_FAILURE.
  static std::unique_ptr<VOLUME> Open(const std::string &Location);
  /// The volume make writes: an existing folder or image, or a new one (an
  /// image of NewImageBytes with Image, else a folder). Throws TOOL_FAILURE.
  static std::unique_ptr<VOLUME> OpenForWriting(const std::string &Location, uint64_t NewImageBytes, bool Image);

  VOLUME_KIND Kind() const { return Kind_; }
  const std::string &Location() const { return Location_; }

  /// The entry a volume path names, or null.
  const VOLUME_ENTRY *Find(const std::string &Path) const;
  const std::vector<VOLUME_ENTRY> &Entries() const { return Entries_; }

  /// The file's bytes; false (and Data empty) when it is larger than MaxSize.
  virtual bool Read(const VOLUME_ENTRY &Entry, uint64_t MaxSize, std::string *Data) const = 0;

  /// Creates the folder (and its parents) unless it exists.
  void MakeFolder(const std::string &Path);
  /// Writes a file, replacing one of the same name in any case; its folder exists.
  void Write(const std::string &Path, const std::string &Data);

  /// From here on, writes are held back until Commit: files go to temporary
  /// names beside their own, and Abort removes them and every folder made
  /// since, so a failure leaves the volume as it was. Only folder volumes
  /// hold writes back (a FAT image is written as a copy instead).
  virtual void HoldWrites() {}
  /// Puts every held file in place.
  virtual void Commit() {}
  /// Drops every held file and the folders made since HoldWrites.
  virtual void Abort() noexcept {}

 protected:
  VOLUME(VOLUME_KIND Kind, std::string Location) : Kind_(Kind), Location_(std::move(Location)) {}
  virtual void CreateFolder(const std::string &Path) = 0;
  virtual void WriteFile(const std::string &Path, const std::string &Data) = 0;
  void Add(const std::string &Path, bool Folder);

 private:
  VOLUME_KIND Kind_;
  std::string Location_;
  std::vector<VOLUME_ENTRY> Entries_;
};

/// A volume path in one spelling: "\" between folders, no leading "\", "."
/// and ".." resolved. Empty when it leaves the volume.
std::string NormalVolumePath(const std::string &Path);

/// Runs a program with its arguments (no shell) and returns its exit status;
/// Out and Err receive what it printed. Throws TOOL_FAILURE when it cannot start.
int RunProgram(const std::vector<std::string> &Argv, std::string *Out, std::string *Err);

#endif
