// Fakes of the file and database-engine objects for tests: the real objects
// with switches that make named operations fail.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "kvdn/files.h"
#include "support/countdown.h"

namespace kvdn {

// The switches are shared, so a test can change them after the objects
// were handed out (through a host's class registry).

struct FileFailures {
  // Operation names as in the late-binding interface, any letter case:
  // "FileExists" (answers false), "CopyFile", "DeleteFile", "MoveFile",
  // "GetFolder", "Create", "CompactDatabase" (also for compactInPlace),
  // "BackupDatabase", "RestoreDatabase".
  std::set<std::string> operations;
  // Also fails by count, over every operation named above or not.
  testing::Countdown countdown;
  std::int32_t number = err::kPermissionDenied;
  std::string description = "Permission denied (injected failure)";
  bool fails(std::string_view operation) const;
};

class FakeFileSystem final : public FileSystemObject {
 public:
  explicit FakeFileSystem(std::shared_ptr<const FileFailures> failures);
  bool fileExists(std::string_view path) override;
  void copyFile(std::string_view source, std::string_view destination) override;
  void deleteFile(std::string_view path) override;
  void moveFile(std::string_view source, std::string_view destination) override;
  std::shared_ptr<Folder> getFolder(std::string_view path) override;

 private:
  void check(std::string_view operation) const;
  std::shared_ptr<const FileFailures> failures_;
  std::shared_ptr<FileSystemObject> real_;
};

class FakeCatalog final : public Catalog {
 public:
  explicit FakeCatalog(std::shared_ptr<const FileFailures> failures);
  void create(std::string_view connectionString) override;

 private:
  std::shared_ptr<const FileFailures> failures_;
  std::shared_ptr<Catalog> real_;
};

class FakeJetEngine final : public JetEngine {
 public:
  explicit FakeJetEngine(std::shared_ptr<const FileFailures> failures);
  void compactDatabase(std::string_view sourceConnection, std::string_view destinationConnection) override;
  void compactInPlace(std::string_view path) override;
  void backupDatabase(std::string_view source, std::string_view destination) override;
  void restoreDatabase(std::string_view source, std::string_view destination) override;

 private:
  void check(std::string_view operation) const;
  std::shared_ptr<const FileFailures> failures_;
  std::shared_ptr<JetEngine> real_;
};

}  // namespace kvdn
