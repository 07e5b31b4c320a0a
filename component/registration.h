// Explicit registration of each layer's creatable classes. Each platform
// folder defines its function; registerStandardClasses calls them all.
#pragma once

#include "kvdn/page.h"

namespace kvdn {

// sqlite/: "adodb.connection", "adodb.recordset" over the standard providers
// (SQLite files, ODBC, spreadsheets).
void registerDataClasses(ClassRegistry& registry);
// files/: "scripting.filesystemobject", "adox.catalog", "jro.jetengine".
void registerFileClasses(ClassRegistry& registry);

// Raises err::kNotImplemented naming a method whose behaviour is not built.
[[noreturn]] void notBuilt(const char* method);

}  // namespace kvdn
