// The file and database-engine classes.
#include "component/registration.h"
#include "kvdn/files.h"

namespace kvdn {

void registerFileClasses(ClassRegistry& registry) {
  registry.add("Scripting.FileSystemObject", [] { return ObjectPtr(makeLocalFileSystem()); });
  registry.add("ADOX.Catalog", [] { return ObjectPtr(makeSqliteCatalog()); });
  registry.add("JRO.JetEngine", [] { return ObjectPtr(makeSqliteJetEngine()); });
}

}  // namespace kvdn
