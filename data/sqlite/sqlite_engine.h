// The catalog ("ADOX.Catalog") and the engine ("JRO.JetEngine") over SQLite,
// made over the platform's durable file operations (which they keep).
#pragma once

#include <memory>

#include "durable_files.h"
#include "kvdn/files.h"

namespace kvdn {

std::shared_ptr<Catalog> makeSqliteCatalogOver(std::shared_ptr<const DurableFiles> files);
std::shared_ptr<JetEngine> makeSqliteJetEngineOver(std::shared_ptr<const DurableFiles> files);

}  // namespace kvdn
