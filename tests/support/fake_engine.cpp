// The catalog and the engine with failure switches, for tests.
#include "support/fake_files.h"

namespace kvdn {

FakeCatalog::FakeCatalog(std::shared_ptr<const FileFailures> failures)
    : failures_(std::move(failures)), real_(makeSqliteCatalog()) {}

void FakeCatalog::create(std::string_view connectionString) {
  if (failures_ && failures_->fails("Create")) raise(failures_->number, failures_->description);
  real_->create(connectionString);
}

FakeJetEngine::FakeJetEngine(std::shared_ptr<const FileFailures> failures)
    : failures_(std::move(failures)), real_(makeSqliteJetEngine()) {}

void FakeJetEngine::check(std::string_view operation) const {
  if (failures_ && failures_->fails(operation)) raise(failures_->number, failures_->description);
}

void FakeJetEngine::compactDatabase(std::string_view sourceConnection,
                                    std::string_view destinationConnection) {
  check("CompactDatabase");
  real_->compactDatabase(sourceConnection, destinationConnection);
}

void FakeJetEngine::compactInPlace(std::string_view path) {
  check("CompactDatabase");
  real_->compactInPlace(path);
}

void FakeJetEngine::backupDatabase(std::string_view source, std::string_view destination) {
  check("BackupDatabase");
  real_->backupDatabase(source, destination);
}

void FakeJetEngine::restoreDatabase(std::string_view source, std::string_view destination) {
  check("RestoreDatabase");
  real_->restoreDatabase(source, destination);
}

}  // namespace kvdn
