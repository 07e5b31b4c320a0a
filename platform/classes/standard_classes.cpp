// The one place where the implementations of this build are wired together:
// the providers behind "ADODB.Connection", the file and database-engine
// classes, and the component's own classes. Hosts call
// registerStandardClasses once at start; nothing registers itself.
#include "kvdn/db_class.h"
#include "kvdn/files.h"
#include "kvdn/page.h"
#include "kvdn/provider.h"
#include "sqlite_provider.h"
// A build may leave out the server and spreadsheet providers; their
// connections then fail with the provider registry's messages. (Both
// platforms' builds have both: the Windows build's spreadsheet reader is its
// own helper program over FreeXL, the server provider goes through odbc32.)
#ifndef KVDN_NO_ODBC
#include "odbc_provider.h"
#endif
#ifndef KVDN_NO_XLS
#include "kvdn/workbook_reader.h"
#include "xls_provider.h"
#endif
// Each platform's file identity (the SQLite pool and path memo need one).
#include "file_identity.h"
#ifdef _WIN32
#include "windows_file_identity.h"
#else
#include "posix_file_identity.h"
#endif

namespace kvdn {

void registerStandardProviders(ProviderRegistry& registry) {
#ifdef _WIN32
  setFileIdentity(platform::windows::makeWindowsFileIdentity());
#else
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
