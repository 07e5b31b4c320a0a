// What a session leaves on its connection, seen through the authorizer and
// the change counters, and the checks that a kept connection is still what
// a new one would be: the switch for every speed path, the log index
// header, the schema version.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kvdn/text.h"
#include "sqlite_internal.h"

namespace kvdn {
namespace sqlite_internal {

namespace {

// Off when the environment says KVDN_SPEED_PATHS=off (or 0, no, false) when
// the library is first used; setSqliteSpeedPaths changes it at any time.
bool speedPathsFromEnvironment() {
  const char* value = std::getenv("KVDN_SPEED_PATHS");
  if (!value) return true;
  const std::string v = asciiLower(value);
  return !(v == "off" || v == "0" || v == "no" || v == "false");
}

std::atomic<bool>& speedPaths() {
  static std::atomic<bool> on{speedPathsFromEnvironment()};
  return on;
}

// Pragmas that only report (whatever their argument): reading the schema,
// the lists of things compiled in, the checks. Any other pragma may set
// something the next session would see.
bool isReportingPragma(const char* name, const char* argument) {
  if (!name) return false;
  const std::string n = asciiLower(name);
  for (const char* reporting :
       {"table_info", "table_xinfo", "table_list", "index_list", "index_info", "index_xinfo",
        "foreign_key_list", "foreign_key_check", "database_list", "collation_list", "function_list",
        "module_list", "pragma_list", "compile_options", "integrity_check", "quick_check"}) {
    if (n == reporting) return true;
  }
  // Read without an argument these only report; with one they set.
  if (argument) return false;
  for (const char* value : {"data_version", "schema_version", "user_version", "application_id",
                            "freelist_count", "page_count", "page_size", "encoding"}) {
    if (n == value) return true;
  }
  return false;
}

// Called by SQLite while it prepares a statement (also when it prepares one
// again by itself after a schema change). Never refuses anything: it only
// notes, for the pool and the kept results, what the statement will leave.
int authorize(void* data, int action, const char* a1, const char* a2, const char* database, const char*) {
  auto* state = static_cast<ConnectionState*>(data);
  bool leavesState = false;
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:  // a transaction: found by sqliteIsQuiet
      break;
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
      // Rows of the database file are the database, not the connection's;
      // rows of any other (temporary, attached) belong to the connection.
      leavesState = database && std::strcmp(database, "main") != 0;
      break;
    case SQLITE_PRAGMA:
      leavesState = !isReportingPragma(a1, a2);
      break;
    default:
      // Every CREATE and DROP (temporary or not), ALTER, ANALYZE, REINDEX,
      // ATTACH, DETACH, virtual tables, and any action a later SQLite adds.
      leavesState = true;
      break;
  }
  if (leavesState) {
    state->tainted = true;
    state->changed = true;
  }
  return SQLITE_OK;
}

// changes() and total_changes() as a new connection would answer them:
// counted from the start of the session. The last statement's count is the
// session's own once the session has changed anything; before that, 0.
void sessionChanges(sqlite3_context* context, int, sqlite3_value**) {
  auto* state = static_cast<ConnectionState*>(sqlite3_user_data(context));
  sqlite3* db = sqlite3_context_db_handle(context);
  const sqlite3_int64 n = sqlite3_total_changes64(db) == state->baseline ? 0 : sqlite3_changes64(db);
  sqlite3_result_int64(context, n);
}

void sessionTotalChanges(sqlite3_context* context, int, sqlite3_value**) {
  auto* state = static_cast<ConnectionState*>(sqlite3_user_data(context));
  sqlite3_result_int64(context,
                       sqlite3_total_changes64(sqlite3_context_db_handle(context)) - state->baseline);
}

}  // namespace

bool speedPathsOn() noexcept {
  return speedPaths().load(std::memory_order_relaxed);
}

int installConnectionState(sqlite3* db, ConnectionState*& out) {
  auto* state = new ConnectionState;
  // total_changes() owns the state: SQLite frees it when the connection
  // closes (or right away when registering fails).
  int rc =
      sqlite3_create_function_v2(db, "total_changes", 0, SQLITE_UTF8, state, sessionTotalChanges, nullptr,
                                 nullptr, [](void* p) { delete static_cast<ConnectionState*>(p); });
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_create_function_v2(db, "changes", 0, SQLITE_UTF8, state, sessionChanges, nullptr, nullptr,
                                  nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_set_authorizer(db, authorize, state);
  if (rc != SQLITE_OK) {
    // Unregistering frees the state.
    sqlite3_set_authorizer(db, nullptr, nullptr);
    sqlite3_create_function_v2(db, "changes", 0, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "total_changes", 0, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr,
                               nullptr);
    return rc;
  }
  out = state;
  return SQLITE_OK;
}

void beginSessionState(sqlite3* db, ConnectionState& state) noexcept {
  sqlite3_set_last_insert_rowid(db, 0);
  state.baseline = sqlite3_total_changes64(db);
}

// The header is kept twice in the shared memory: a committing writer writes
// the second copy, then the first; a reader that finds both the same has
// read a whole one (SQLite's own readers do the same). The layout is SQLite's
// documented file format for the log index.
std::optional<WalIndexHeader> readWalIndexHeader(sqlite3* db) noexcept {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
      !file->pMethods || file->pMethods->iVersion < 2 || !file->pMethods->xShmMap)
    return std::nullopt;
  // Region 0 (32 KiB, the log index's page size) holds the header. Not
  // extended: a connection in this mode has it mapped since its first read.
  void volatile* region = nullptr;
  if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) != SQLITE_OK || !region) return std::nullopt;
  // Read a word at a time (the region is page aligned): it is read before
  // every statement that may be answered from what a connection keeps.
  static_assert(sizeof(WalIndexHeader) % sizeof(std::uint64_t) == 0);
  constexpr std::size_t kWords = sizeof(WalIndexHeader) / sizeof(std::uint64_t);
  const auto* words = static_cast<const volatile std::uint64_t*>(region);
  std::uint64_t a[kWords];
  std::uint64_t b[kWords];
  for (std::size_t i = 0; i < kWords; ++i) a[i] = words[i];
  std::atomic_thread_fence(std::memory_order_acquire);
  for (std::size_t i = 0; i < kWords; ++i) b[i] = words[kWords + i];
  WalIndexHeader first;
  WalIndexHeader second;
  std::memcpy(first.data(), a, sizeof a);
  std::memcpy(second.data(), b, sizeof b);
  constexpr std::size_t kIsInit = 12;  // after iVersion, unused, iChange
  if (first != second || first[kIsInit] == 0) return std::nullopt;
  return first;
}

std::optional<std::int64_t> readSchemaVersion(sqlite3* db) noexcept {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA schema_version", -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return std::nullopt;
  }
  std::optional<std::int64_t> version;
  if (sqlite3_step(st) == SQLITE_ROW) version = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return version;
}

std::optional<std::string> readStatistics(sqlite3* db) noexcept {
  try {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT tbl, idx, stat FROM sqlite_stat1", -1, &st, nullptr) != SQLITE_OK) {
      sqlite3_finalize(st);
      // No statistics table (never analyzed): the empty text, as any other
      // connection would find.
      const char* message = sqlite3_errmsg(db);
      if (message && std::strstr(message, "no such table")) return std::string();
      return std::nullopt;
    }
    std::string out;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      for (int i = 0; i < 3; ++i) {
        const unsigned char* text = sqlite3_column_text(st, i);
        out += text ? reinterpret_cast<const char*>(text) : "\\N";
        out += '\0';
      }
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return std::nullopt;
    return out;
  } catch (...) {  // out of memory
    return std::nullopt;
  }
}

}  // namespace sqlite_internal

void setSqliteSpeedPaths(bool on) {
  sqlite_internal::speedPaths().store(on, std::memory_order_relaxed);
}

bool sqliteSpeedPaths() {
  return sqlite_internal::speedPathsOn();
}

}  // namespace kvdn
