// The provider for the Access kind of connection string: an SQLite 3 file.
#pragma once

#include <memory>

#include "kvdn/provider.h"

namespace kvdn {

// Accepts "Provider=Microsoft.Jet.OLEDB.4.0" (also 3.51 and the ACE 12.0
// name) with "Data Source=PATH". Opens an existing SQLite 3 database file at
// PATH whatever its name: a missing file, or one that is not a database,
// fails the open with err::kDbFail and SQLite's description; nothing is ever
// created. Every session waits up to 5 seconds for a locked database.
//
// Text columns of the tables our own code creates are declared COLLATE
// NOCASE, so comparisons ignore letter case as the original engine did; the
// provider itself changes nothing about collation.
std::shared_ptr<Provider> makeSqliteProvider();

// How long a session waits for a locked database before failing.
inline constexpr int kSqliteBusyTimeoutMs = 5000;

}  // namespace kvdn
