// Which file a path leads to now, as the operating system names it: a
// platform piece the database file's paths are remembered by (the data
// layer asks no operating system itself). The platform registers its
// implementation at start; without one, every path is resolved afresh.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kvdn {

// A file's identity: its device (volume) and its number on it. Two paths
// lead to the same file exactly when their identities are equal.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const FileId&) const = default;
};

class FileIdentity {
 public:
  virtual ~FileIdentity() = default;
  // The identity of the file `path` (UTF-8) leads to, links followed, or
  // nullopt when nothing is there or it cannot be asked. Never throws.
  // Thread-safe.
  virtual std::optional<FileId> identify(const std::string& path) const noexcept = 0;
};

// Sets the implementation every later lookup uses (null: none). Thread-safe.
void setFileIdentity(std::shared_ptr<const FileIdentity> identity);
// The implementation set, or null.
std::shared_ptr<const FileIdentity> fileIdentity();

}  // namespace kvdn
