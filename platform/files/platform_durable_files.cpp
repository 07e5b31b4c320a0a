// The database engine objects of this build: the SQLite catalog and engine
// over this platform's durable file operations (durable_file.h, one
// implementation per platform).
#include "durable_file.h"
#include "kvdn/files.h"
#include "sqlite_engine.h"

namespace kvdn {

namespace {

class PlatformDurableFiles final : public DurableFiles {
 public:
  void syncFile(const std::string& path) const override { platform::syncFile(path); }
  void syncFolderOf(const std::string& path) const noexcept override { platform::syncFolderOf(path); }
  bool createNewFile(const std::string& path) const override { return platform::createNewFile(path); }
  std::uint32_t processId() const noexcept override { return platform::currentProcessId(); }
};

std::shared_ptr<const DurableFiles> platformDurableFiles() {
  static const std::shared_ptr<const DurableFiles> files = std::make_shared<PlatformDurableFiles>();
  return files;
}

}  // namespace

std::shared_ptr<Catalog> makeSqliteCatalog() {
  return makeSqliteCatalogOver(platformDurableFiles());
}

std::shared_ptr<JetEngine> makeSqliteJetEngine() {
  return makeSqliteJetEngineOver(platformDurableFiles());
}

}  // namespace kvdn
