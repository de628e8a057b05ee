/** @file
  orvhex keygen: a new P-256 key pair in two new files. Each file is created
  exclusively (O_EXCL: nothing that exists is replaced, not even a symbolic
  link, which is never followed), the private key with mode 0600 whatever the
  umask. Nothing is left half-done: when the public key cannot be written,
  the private key just created is removed again.
**/

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ImageSignHost.h"
#include "OrvHexCommands.h"
#include "OrvHexFiles.h"

namespace orvhex {

namespace {

std::string Reason(const std::string &Path, const char *What, int Error) {
  return "cannot " + std::string(What) + " " + Path + ": " + std::strerror(Error);
}

/// The file Path names, for comparing two names: its directory resolved
/// (symbolic links, "..") and its last component. Empty when the directory
/// does not resolve.
std::string CanonicalName(const std::string &Path) {
  const size_t Slash = Path.rfind('/');
  const std::string Dir = Slash == std::string::npos ? "." : Path.substr(0, Slash == 0 ? 1 : Slash);
  const std::string Base = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
  char Resolved[PATH_MAX];
  if (::realpath(Dir.c_str(), Resolved) == nullptr) return std::string();
  return std::string(Resolved) + "/" + Base;
}

/// Writes Text into a new file Path with Mode, set exactly (not narrowed by
/// the umask); false with the reason when the file exists or anything fails.
/// A file it created and could not fill is removed.
bool CreateExclusive(const std::string &Path, const std::string &Text, mode_t Mode, std::string *Error) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, Mode & 0600);
  if (Fd < 0) {
    *Error = errno == EEXIST ? Path + " exists; a key file is never overwritten" : Reason(Path, "create", errno);
    return false;
  }
  const char *What = nullptr;
  int Code = 0;
  auto Fail = [&](const char *Step) {
    What = Step;
    Code = errno;
  };
  size_t Done = 0;
  while (What == nullptr && Done < Text.size()) {
    const ssize_t Written = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (Written < 0 && errno == EINTR) continue;
    if (Written < 0) Fail("write");
    if (Written == 0) errno = EIO, Fail("write");
    Done += Written > 0 ? static_cast<size_t>(Written) : 0;
  }
  if (What == nullptr && ::fchmod(Fd, Mode) != 0) Fail("set the mode of");
  if (What == nullptr && ::fsync(Fd) != 0) Fail("write");
  if (::close(Fd) != 0 && What == nullptr) Fail("write");
  if (What == nullptr) return true;
  *Error = Reason(Path, What, Code);
  ::unlink(Path.c_str());
  return false;
}

}  // namespace

int Keygen(const std::vector<std::string> &Args, std::ostream &Err) {
  if (Args.size() != 2 || Args[0].rfind("--", 0) == 0 || Args[1].rfind("--", 0) == 0) {
    return Usage(Err);
  }
  const std::string &PrivatePath = Args[0];
  const std::string &PublicPath = Args[1];
  const std::string PrivateName = CanonicalName(PrivatePath);
  if (PrivatePath == PublicPath || (!PrivateName.empty() && PrivateName == CanonicalName(PublicPath))) {
    return Failed(Err, PrivatePath + " and " + PublicPath + " name one file; the key pair needs two");
  }
  // Both names are checked before anything is made, so a refusal leaves
  // nothing behind; the exclusive creation below is what guarantees it.
  struct stat Existing {};
  for (const std::string *Path : {&PrivatePath, &PublicPath}) {
    if (::lstat(Path->c_str(), &Existing) == 0) {
      return Failed(Err, *Path + " exists; a key file is never overwritten");
    }
  }
  IMAGE_PRIVATE_KEY Key{};
  if (!GenerateSigningKey(&Key)) return Failed(Err, "no random source for a new key");
  std::string Error;
  if (!CreateExclusive(PrivatePath, PrivateKeyPem(Key), 0600, &Error)) return Failed(Err, Error);
  const mode_t Umask = ::umask(0);
  ::umask(Umask);
  if (!CreateExclusive(PublicPath, PublicKeyPem(Key.Public), 0644 & ~Umask, &Error)) {
    ::unlink(PrivatePath.c_str());
    return Failed(Err, Error + " (no key pair made)");
  }
  return ORVHEX_OK;
}

}  // namespace orvhex
