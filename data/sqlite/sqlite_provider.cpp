// The SQLite provider: opens a database file as a session (refusing what is
// not a database, write-ahead log, the htmlEncode function) and registers it.
#include "sqlite_provider.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kvdn/collation.h"
#include "kvdn/error.h"
#include "kvdn/text.h"
#include "sqlite_handle.h"
#include "sqlite_session.h"

namespace kvdn {

namespace {

using namespace sqlite_internal;

// The collations added by setSqliteCollation, by name; each connection
// holds its own reference to the orders it was opened with.
struct Collations {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const TextOrder>> orders;
  static Collations& instance() {
    static Collations c;
    return c;
  }
};

int collate(void* order, int lengthA, const void* a, int lengthB, const void* b) {
  const auto& f = **static_cast<std::shared_ptr<const TextOrder>*>(order);
  return f(std::string_view(static_cast<const char*>(a), static_cast<std::size_t>(lengthA)),
           std::string_view(static_cast<const char*>(b), static_cast<std::size_t>(lengthB)));
}

void dropOrder(void* order) {
  delete static_cast<std::shared_ptr<const TextOrder>*>(order);
}

int installCollations(sqlite3* db) {
  auto& c = Collations::instance();
  std::lock_guard lock(c.mutex);
  for (const auto& [name, order] : c.orders) {
    auto* held = new std::shared_ptr<const TextOrder>(order);
    // On failure SQLite calls dropOrder itself.
    const int rc = sqlite3_create_collation_v2(db, name.c_str(), SQLITE_UTF8, held, collate, dropOrder);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// The SQL function htmlEncode(x): texts (and blobs, read as text) as
// htmlCellText gives them, Null as Null, numbers unchanged (they hold no
// markup, and their type stays a number).
void htmlEncodeFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (argc != 1) return sqlite3_result_null(context);
  sqlite3_value* value = argv[0];
  switch (sqlite3_value_type(value)) {
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const unsigned char* p = sqlite3_value_text(value);
      const int n = sqlite3_value_bytes(value);
      if (!p) {
        // A zero-length blob may read as no text at all; otherwise out of memory.
        if (n == 0) return sqlite3_result_text(context, "", 0, SQLITE_STATIC);
        return sqlite3_result_error_nomem(context);
      }
      const std::string out =
          htmlCellText(std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)));
      return sqlite3_result_text64(context, out.data(), out.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    case SQLITE_NULL:
      return sqlite3_result_null(context);
    default:
      return sqlite3_result_value(context, value);
  }
}

// Readers never wait for a writer: the file is put in write-ahead-log mode
// (once; the mode is kept in the file). synchronous=NORMAL: a commit is
// written to the log before it is answered, so a crash of the process loses
// nothing answered as stored (the log is in the operating system's hands
// and the next open replays it); the log is synced at each checkpoint, so
// only a crash of the whole machine can lose the last commits, never the
// file's consistency. A file that cannot be switched (read-only, locked by
// a long writer) keeps its mode and is used as it is.
// True when the file is in that mode now.
bool useWriteAheadLog(sqlite3* db) {
  bool wal = false;
  sqlite3_exec(
      db, "PRAGMA journal_mode = WAL",
      [](void* out, int columns, char** values, char**) {
        *static_cast<bool*>(out) = columns == 1 && values[0] && asciiLower(values[0]) == "wal";
        return 0;
      },
      &wal, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
  return wal;
}

class SqliteProvider final : public Provider {
 public:
  std::string name() const override { return "SQLite file"; }

  bool accepts(const ConnectionString& cs) const override {
    const std::string provider = asciiLower(cs.value("provider"));
    return provider == "microsoft.jet.oledb.4.0" || provider == "microsoft.jet.oledb.3.51" ||
           provider == "microsoft.ace.oledb.12.0";
  }

  std::unique_ptr<DataSession> open(const ConnectionString& cs) override {
    std::string path = cs.value("data source");
    if (path.empty()) raise(err::kDbFail, "The connection string names no database file (Data Source).");
    // A path is a path: never let SQLite read it as a URI (which could ask for
    // the file to be created or opened in another mode).
    if (startsWithNoCase(path, "file:")) path = "./" + path;
    // Named once as the pool names it; a kept connection of the same file
    // and generation serves the open.
    std::string file = sqliteNormalPath(path);
    const std::uint64_t generation = sqliteFileGeneration(file);
    if (speedPathsOn()) {
      if (HandlePtr pooled = takePooled(file, generation))
        return std::make_unique<SqliteSession>(std::move(pooled));
    }
    auto handle = std::make_shared<Handle>();
    {
      SqliteConnection connection;
      std::string message;
      int rc = SqliteConnection::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, connection, message);
      if (rc != SQLITE_OK) raiseEngine(SQLITE_CANTOPEN, std::move(message));
      handle->db = connection.release();
    }
    // A file that does not start as a database is refused before anything
    // is read from it: in write-ahead-log mode a log left beside it by the
    // database that used to be there would otherwise be read in its place.
    if (!sqliteStartsAsDatabase(handle->db)) raiseEngine(SQLITE_CANTOPEN, sqlite3_errstr(SQLITE_NOTADB));
    int rc = SQLITE_OK;
    // Pure and harmless: usable in views, indexes and triggers too.
    rc = sqlite3_create_function_v2(handle->db, std::string(kHtmlEncodeFunction).c_str(), 1,
                                    SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                    htmlEncodeFunction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(handle->db));
    rc = installCollations(handle->db);
    if (rc != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(handle->db));
    // A file that is not a database opens without complaint; the first read
    // of the schema tells.
    {
      Statement st = prepare(handle, "SELECT count(*) FROM sqlite_master");
      rc = sqlite3_step(st.get());
      if (rc != SQLITE_ROW) {
        std::string message = sqlite3_errmsg(handle->db);
        raiseEngine((rc & 0xff) == SQLITE_BUSY ? rc : SQLITE_CANTOPEN, std::move(message));
      }
    }
    handle->walMode = useWriteAheadLog(handle->db);
    // From here on every statement passes the authorizer (see
    // ConnectionState): the connection's own setup above is not the page's.
    rc = installConnectionState(handle->db, handle->state);
    if (rc != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(handle->db));
    const std::optional<std::int64_t> schemaVersion = readSchemaVersion(handle->db);
    if (!schemaVersion) raiseEngine(SQLITE_CANTOPEN, sqlite3_errmsg(handle->db));
    handle->schemaVersion = *schemaVersion;
    std::optional<std::string> statistics = readStatistics(handle->db);
    if (!statistics) raiseEngine(SQLITE_CANTOPEN, sqlite3_errmsg(handle->db));
    handle->statistics = std::move(*statistics);
    handle->file = std::move(file);
    handle->generation = generation;
    handle->poolable = true;
    return std::make_unique<SqliteSession>(std::move(handle));
  }
};

}  // namespace

std::shared_ptr<Provider> makeSqliteProvider() {
  return std::make_shared<SqliteProvider>();
}

void registerSqliteProvider(ProviderRegistry& registry) {
  registry.add(makeSqliteProvider());
}

void setSqliteCollation(const std::string& name, TextOrder order) {
  bool valid = !name.empty() && name.size() <= 64;
  for (char c : name) {
    valid = valid && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
  }
  if (!valid) raise(err::kInvalidCall, "collation name: letters, digits and _ only");
  {
    auto& c = Collations::instance();
    std::lock_guard lock(c.mutex);
    if (order)
      c.orders[name] = std::make_shared<const TextOrder>(std::move(order));
    else
      c.orders.erase(name);
  }
  // Pooled connections were opened with the old set.
  clearSqlitePool();
}

}  // namespace kvdn
