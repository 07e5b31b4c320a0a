// The provider for the Access kind of connection string: an SQLite 3 file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kvdn/provider.h"
#include "sqlite_handle.h"

namespace kvdn {

// Accepts "Provider=Microsoft.Jet.OLEDB.4.0" (also 3.51 and the ACE 12.0
// name) with "Data Source=PATH". Opens an existing SQLite 3 database file at
// PATH whatever its name: a missing file, or one that is not a database,
// fails the open with err::kDbFail and SQLite's description; nothing is ever
// created. Every session waits up to kSqliteBusyTimeoutMs for a locked
// database. The file is switched to write-ahead-log mode on first use.
//
// Text columns of the tables our own code creates are declared COLLATE
// NOCASE, so comparisons ignore letter case as the original engine did; the
// provider itself changes nothing about collation.
std::shared_ptr<Provider> makeSqliteProvider();

// A closed session's connection is kept in a process-wide pool and handed
// to the next open of the same file (same normal path, still the same file
// on disk, not restored, compacted or replaced since: see
// bumpSqliteFileGeneration), with its prepared statements and kept counts.
// Not kept: a connection closed inside a transaction or with a database
// attached. Figures for tests and diagnostics:
struct SqlitePoolStats {
  std::size_t kept = 0;      // connections in the pool now
  std::uint64_t reused = 0;  // opens served from the pool since start
};
SqlitePoolStats sqlitePoolStats();

// Whether counts are kept at all (on by default). Off makes every count run
// again; for measurements of what keeping them saves. Thread-safe.
void keepSqliteCounts(bool on);

// Closes every pooled connection. Safe at any time; sessions open now are
// not affected and may still be pooled later.
void clearSqlitePool();

}  // namespace kvdn
