// The file and database-engine classes, and the spreadsheet reader behind
// "adodb.connection".
#include "component/registration.h"
#include "kvdn/files.h"
#include "kvdn/provider.h"
#include "xls/xls_provider.h"

namespace kvdn {

void registerFileClasses(ClassRegistry& registry) {
  registry.add("Scripting.FileSystemObject", [] { return ObjectPtr(makeLocalFileSystem()); });
  registry.add("ADOX.Catalog", [] { return ObjectPtr(makeSqliteCatalog()); });
  registry.add("JRO.JetEngine", [] { return ObjectPtr(makeSqliteJetEngine()); });

  // The data classes once more, over the standard providers plus the
  // spreadsheet reader, so that a page's "ADODB.Connection" opens
  // "Driver={Microsoft Excel Driver (*.xls)};DBQ=..." too. Runs after
  // registerDataClasses (registerStandardClasses' order); a later add of the
  // same ProgID replaces the earlier one.
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  registerXlsProvider(*providers);
  registerDataClasses(registry, std::move(providers));
}

}  // namespace kvdn
