// Durable file operations the database engine needs and that only the
// operating system can do: flushing a file or a folder entry to the disk,
// creating a file that must not exist yet, and a process number for scratch
// names. One implementation per platform (platform/posix, platform/windows);
// the build links exactly one.
//
// Paths are UTF-8 (what Server.MapPath returns); on Windows they are opened
// by their UTF-16 form, so names outside the ANSI code page work.
#pragma once

#include <cstdint>
#include <string>

namespace kvdn::platform {

// Flushes the file's contents to the disk. Raises ComError(err::kDbFail)
// with the system's description and the path when it cannot.
void syncFile(const std::string& path);
// Makes a rename or a new name in the file's folder durable. Best effort:
// never raises (not every file system can flush a folder).
void syncFolderOf(const std::string& path);
// Creates an empty file that must not exist yet, atomically: of two callers
// racing for one name only one succeeds. Returns false when the name exists;
// raises ComError(err::kDbFail) for any other failure.
bool createNewFile(const std::string& path);
// This process's number, for names no other process uses at the same time.
std::uint32_t currentProcessId() noexcept;

}  // namespace kvdn::platform
