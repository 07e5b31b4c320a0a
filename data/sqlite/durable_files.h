// What the database file's upkeep (create, back up, restore, compact) needs
// of the operating system and only it can do: flushing a file or a folder
// entry to the disk, creating a file that must not exist yet, a process
// number for scratch names. A platform piece: the platform hands its
// implementation to the engine objects it makes (the data layer asks no
// operating system itself). Paths are UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kvdn {

class DurableFiles {
 public:
  virtual ~DurableFiles() = default;
  // Flushes the file's contents to the disk. Raises ComError(err::kDbFail)
  // with the system's description and the path when it cannot.
  virtual void syncFile(const std::string& path) const = 0;
  // Makes a rename or a new name in the file's folder durable. Best effort:
  // never raises (not every file system can flush a folder).
  virtual void syncFolderOf(const std::string& path) const noexcept = 0;
  // Creates an empty file that must not exist yet, atomically: of two
  // callers racing for one name only one succeeds. False when the name
  // exists; raises ComError(err::kDbFail) for any other failure.
  virtual bool createNewFile(const std::string& path) const = 0;
  // This process's number, for names no other process uses at once.
  virtual std::uint32_t processId() const noexcept = 0;
};

}  // namespace kvdn
