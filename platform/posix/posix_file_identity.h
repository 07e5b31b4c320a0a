// The file identity of POSIX systems: device and inode, from stat.
#pragma once

#include <memory>

#include "file_identity.h"

namespace kvdn {

class PosixFileIdentity final : public FileIdentity {
 public:
  std::optional<FileId> identify(const std::string& path) const noexcept override;
};

std::shared_ptr<const FileIdentity> makePosixFileIdentity();

}  // namespace kvdn
