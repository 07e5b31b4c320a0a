// Device and inode of the file a path leads to (links followed).
#include "posix_file_identity.h"

#include <sys/stat.h>

namespace kvdn {

std::optional<FileId> PosixFileIdentity::identify(const std::string& path) const noexcept {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::shared_ptr<const FileIdentity> makePosixFileIdentity() {
  return std::make_shared<PosixFileIdentity>();
}

}  // namespace kvdn
