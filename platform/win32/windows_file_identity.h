// The file identity of Windows: the volume's serial number and the file's
// index on it, from GetFileInformationByHandle. Registered by the Windows
// build (registerStandardProviders), so that the SQLite pool can tell
// whether a kept connection's file is still the file under its name
// (SQLite's Windows file layer cannot answer that itself).
#pragma once

#include <memory>

#include "file_identity.h"

namespace kvdn::platform::windows {

class WindowsFileIdentity final : public FileIdentity {
 public:
  // Opens `path` (UTF-8) for no access beyond its attributes, sharing read,
  // write and delete, so that the look never stands in the way of SQLite,
  // of a writer or of a rename; follows links. Thread-safe, never throws.
  std::optional<FileId> identify(const std::string& path) const noexcept override;
};

std::shared_ptr<const FileIdentity> makeWindowsFileIdentity();

}  // namespace kvdn::platform::windows
