// The one place where the implementations of this build are wired together:
// the providers behind "ADODB.Connection", the file and database-engine
// classes, and the component's own classes. Hosts call
// registerStandardClasses once at start; nothing registers itself.
#include "kvdn/db_class.h"
#include "kvdn/files.h"
#include "kvdn/page.h"
#include "kvdn/provider.h"
#include "sqlite_provider.h"
// A build may leave out the server and spreadsheet providers (the Windows
// build has neither unixODBC nor FreeXL); their connections then fail with
// the provider registry's messages.
#ifndef KVDN_NO_ODBC
#include "odbc_provider.h"
#endif
#ifndef KVDN_NO_XLS
#include "kvdn/workbook_reader.h"
#include "xls_provider.h"
#endif
// The Windows build has no file identity of its own yet: its database
// paths are resolved at every open.
#ifndef _WIN32
#include "file_identity.h"
#include "posix_file_identity.h"
#endif

namespace kvdn {

void registerStandardProviders(ProviderRegistry& registry) {
#ifndef _WIN32
  setFileIdentity(makePosixFileIdentity());
#endif
  registerSqliteProvider(registry);
#ifndef KVDN_NO_ODBC
  registerOdbcProvider(registry);
#endif
#ifndef KVDN_NO_XLS
  // Last, so that it is asked first: the ODBC provider would take any
  // "Driver=" string, the spreadsheet driver's included.
  registerXlsProvider(registry, makeSystemWorkbookReader());
#endif
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
