// The one place where the implementations of this build are wired together:
// the providers behind "ADODB.Connection", the file and database-engine
// classes, and the component's own classes. Hosts call
// registerStandardClasses once at start; nothing registers itself.
#include "kvdn/db_class.h"
#include "kvdn/files.h"
#include "kvdn/page.h"
#include "kvdn/provider.h"
#include "kvdn/workbook_reader.h"
#include "odbc_provider.h"
#include "sqlite_provider.h"
#include "xls_provider.h"

namespace kvdn {

void registerStandardProviders(ProviderRegistry& registry) {
  registerSqliteProvider(registry);
  registerOdbcProvider(registry);
  // Last, so that it is asked first: the ODBC provider would take any
  // "Driver=" string, the spreadsheet driver's included.
  registerXlsProvider(registry, makeSystemWorkbookReader());
}

void registerDataClasses(ClassRegistry& registry) {
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  registerDataClasses(registry, std::move(providers));
}

void registerFileClasses(ClassRegistry& registry) {
  registry.add("Scripting.FileSystemObject", [] { return ObjectPtr(makeLocalFileSystem()); });
  registry.add("ADOX.Catalog", [] { return ObjectPtr(makeSqliteCatalog()); });
  registry.add("JRO.JetEngine", [] { return ObjectPtr(makeSqliteJetEngine()); });
}

void registerStandardClasses(ClassRegistry& registry) {
  registerDataClasses(registry);
  registerFileClasses(registry);
  registry.add("kvdnAspDll.dbClass", [] { return std::make_shared<DbClass>(); });
  registry.add("kvdnAspDll.md5Class", [] { return std::make_shared<Md5Class>(); });
}

}  // namespace kvdn
