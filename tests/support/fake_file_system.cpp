// The file-system object with failure switches, for tests.
#include "support/fake_files.h"

namespace kvdn {

bool FileFailures::fails(std::string_view operation) const {
  if (countdown.tick()) return true;
  for (const auto& name : operations) {
    if (iequals(name, operation)) return true;
  }
  return false;
}

FakeFileSystem::FakeFileSystem(std::shared_ptr<const FileFailures> failures)
    : failures_(std::move(failures)), real_(makeLocalFileSystem()) {}

void FakeFileSystem::check(std::string_view operation) const {
  if (failures_ && failures_->fails(operation)) raise(failures_->number, failures_->description);
}

bool FakeFileSystem::fileExists(std::string_view path) {
  // FileExists never raises; a failing one answers "no such file".
  if (failures_ && failures_->fails("FileExists")) return false;
  return real_->fileExists(path);
}

void FakeFileSystem::copyFile(std::string_view source, std::string_view destination) {
  check("CopyFile");
  real_->copyFile(source, destination);
}

void FakeFileSystem::deleteFile(std::string_view path) {
  check("DeleteFile");
  real_->deleteFile(path);
}

void FakeFileSystem::moveFile(std::string_view source, std::string_view destination) {
  check("MoveFile");
  real_->moveFile(source, destination);
}

std::shared_ptr<Folder> FakeFileSystem::getFolder(std::string_view path) {
  check("GetFolder");
  return real_->getFolder(path);
}

}  // namespace kvdn
