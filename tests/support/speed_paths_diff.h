// The differential check of the database file's speed paths: one generated
// history of pages (grids, detail tables, option lists, counts, writes,
// schema changes, temporary objects, settings) and of writes by another
// connection, run against two copies of one database, once with every speed
// path on and once with all of them off. Each page's answer (every call's
// result or error, what it wrote, whether it ended) must be the same byte
// for byte. Header-only and without googletest: the fuzz target drives the
// same history from its bytes.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/error.h"
#include "kvdn/memory_host.h"
#include "kvdn/provider.h"

namespace kvdn::speed_diff {

// Where the history's choices come from: a seeded generator (the test) or
// the fuzzer's bytes (0 once they run out).
class Choices {
 public:
  virtual ~Choices() = default;
  // A number in [0, n); n > 0.
  virtual int pick(int n) = 0;
  bool chance(int percent) { return pick(100) < percent; }
  template <class T>
  const T& oneOf(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(pick(static_cast<int>(items.size())))];
  }
};

class SeededChoices final : public Choices {
 public:
  explicit SeededChoices(std::uint64_t seed) : random_(seed) {}
  int pick(int n) override { return static_cast<int>(random_() % static_cast<std::uint64_t>(n)); }

 private:
  std::mt19937_64 random_;
};

class ByteChoices final : public Choices {
 public:
  ByteChoices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  int pick(int n) override {
    if (at_ >= size_) return 0;
    unsigned v = data_[at_++];
    if (n > 256 && at_ < size_) v = v * 256 + data_[at_++];
    return static_cast<int>(v % static_cast<unsigned>(n));
  }
  bool exhausted() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// One call of a page: a dbClass method by name with its arguments, or a
// statement run on the page's connection.
struct Call {
  std::string method;  // "" for a statement
  std::vector<Variant> args;
  std::string sql;
};

// One step of the history: a page (a query string and its calls) or a
// statement of another connection.
struct Step {
  std::string query;
  std::vector<Call> calls;
  std::string external;  // set: run by another connection instead of a page
  std::string describe() const {
    if (!external.empty()) return "other connection: " + external;
    std::string out = "page ?" + query + ":";
    for (const Call& c : calls) {
      out += "\n  " + (c.method.empty() ? "exec " + c.sql : c.method);
      if (!c.method.empty() && !c.args.empty()) out += "(" + c.args.front().joinText() + ", ...)";
    }
    return out;
  }
};

// The generated schema and statements: a table t of rows with Nulls, ties,
// duplicates, mixed types and collations, indexes of one and two columns.
class History {
 public:
  explicit History(Choices& c) : c_(c) {}

  std::vector<std::string> setup() {
    static const std::vector<std::string> types = {
        "INTEGER", "TEXT COLLATE NOCASE", "TEXT", "TEXT COLLATE RTRIM", "REAL", "", "NUMERIC", "DATETIME"};
    std::vector<std::string> out;
    out.push_back("CREATE TABLE t (ID INTEGER PRIMARY KEY, a " + c_.oneOf(types) + ", b " + c_.oneOf(types) +
                  ", n INTEGER)");
    const int rows = c_.chance(50) ? c_.pick(40) : 200 + c_.pick(700);
    std::string insert;
    for (int i = 0; i < rows; ++i) {
      insert += (insert.empty() ? "INSERT INTO t (a, b, n) VALUES " : ", ");
      insert += "(" + value() + ", " + value() + ", " + std::to_string(c_.pick(10)) + ")";
    }
    if (!insert.empty()) out.push_back(insert);
    for (const char* index : {"CREATE INDEX ia ON t(a)", "CREATE INDEX ib ON t(b)",
                              "CREATE INDEX iab ON t(a, b)", "CREATE INDEX ibd ON t(b DESC)"}) {
      if (c_.chance(40)) out.push_back(index);
    }
    return out;
  }

  Step next(int rows) {
    Step s;
    const int kind = c_.pick(100);
    if (kind < 12) {
      s.external = write();
    } else if (kind < 16) {
      s.external = schemaChange();
    } else {
      s.query = "ac=call&page=" + std::to_string(pageNumber(rows));
      const int calls = 1 + c_.pick(3);
      for (int i = 0; i < calls; ++i) s.calls.push_back(call());
    }
    return s;
  }

 private:
  std::string value() {
    static const std::vector<std::string> texts = {"'a'",  "'A'",    "'a '", "'b'",  "'B'",    "'ab'", "''",
                                                   "'中'", "'中文'", "'10'", "' 7'", "'x''y'", "'Z'"};
    const int k = c_.pick(10);
    if (k < 2) return "NULL";
    if (k < 5) return std::to_string(c_.pick(9) - 3);
    if (k < 6) return std::to_string(c_.pick(7) - 2) + ".5";
    if (k < 7) return "'2024-0" + std::to_string(1 + c_.pick(9)) + "-1" + std::to_string(c_.pick(10)) + "'";
    return c_.oneOf(texts);
  }

  std::string condition() {
    static const std::vector<std::string> conditions = {
        "a IS NOT NULL", "b > 2", "ID % 3 <> 1",        "a LIKE 'a%'",
        "a = 'a'",       "n < 5", "b IS NULL OR n > 6", "a IN (1, 2, 'a')"};
    return c_.oneOf(conditions);
  }

  std::string select() {
    static const std::vector<std::string> keys = {"ID", "a", "b", "n", "rowid"};
    static const std::vector<std::string> columns = {"ID, a, b", "*", "ID, b, a, n", "ID, a"};
    const int shape = c_.pick(10);
    if (shape == 0) return "select ID, a from t";
    if (shape == 1) return "select a, count(*) from t group by a order by a";
    if (shape == 2) return "select top 15 ID, a from t order by a desc";
    std::string s = "select " + c_.oneOf(columns) + " from t";
    if (c_.chance(35)) s += " where " + condition();
    s += " order by " + c_.oneOf(keys);
    if (c_.chance(50)) s += c_.chance(50) ? " desc" : " asc";
    return s;
  }

  int pageNumber(int rows) {
    const int k = c_.pick(10);
    if (k < 3) return 1 + c_.pick(3);
    if (k < 5) return 1 + c_.pick(1000);  // past the end: the last page
    return 1 + c_.pick(rows / 5 + 2);
  }

  std::string write() {
    switch (c_.pick(4)) {
      case 0:
        return "INSERT INTO t (a, b, n) VALUES (" + value() + ", " + value() + ", " +
               std::to_string(c_.pick(10)) + ")";
      case 1:
        return "UPDATE t SET a = " + value() + " WHERE ID % 7 = " + std::to_string(c_.pick(7));
      case 2:
        return "DELETE FROM t WHERE ID % 11 = " + std::to_string(c_.pick(11));
      default:
        return "UPDATE t SET b = " + value() + " WHERE ID = " + std::to_string(1 + c_.pick(50));
    }
  }

  std::string schemaChange() {
    static const std::vector<std::string> changes = {"ALTER TABLE t ADD COLUMN z" /* numbered below */,
                                                     "CREATE INDEX IF NOT EXISTS ia ON t(a)",
                                                     "DROP INDEX IF EXISTS ia",
                                                     "CREATE INDEX IF NOT EXISTS ib ON t(b)",
                                                     "DROP INDEX IF EXISTS ib",
                                                     "DROP INDEX IF EXISTS iab",
                                                     "CREATE INDEX IF NOT EXISTS ian ON t(a, n)",
                                                     "ANALYZE"};
    std::string s = c_.oneOf(changes);
    if (s == "ALTER TABLE t ADD COLUMN z") s += std::to_string(++columns_) + " TEXT DEFAULT 'new'";
    return s;
  }

  // What a page may leave on its connection.
  std::string connectionState() {
    static const std::vector<std::string> states = {
        "create temp table t as select * from main.t where ID % 2 = 0",
        "create temp view v as select 1",
        "create temp trigger tr after insert on main.t begin update main.t set b = 'trig' where ID = new.ID; "
        "end",
        "pragma case_sensitive_like = 1",
        "pragma reverse_unordered_selects = 1",
        "pragma query_only = 1",
        "pragma recursive_triggers = 1",
        "create temp table scratch (x)",
        "begin",
        "savepoint s1",
        "create index temp.nope on t(a)"};
    return c_.oneOf(states);
  }

  Call call() {
    Call c;
    const int kind = c_.pick(100);
    if (kind < 45) {
      c.method = "dbSelect";
      c.args = {Variant(select()),   Variant(1 + c_.pick(40)),
                Variant(c_.pick(2)), Variant(""),
                Variant(0),          Variant(""),
                Variant(1),          Variant("g")};
    } else if (kind < 52) {
      c.method = "xiangxi";
      c.args = {Variant("select * from t where ID = " + std::to_string(1 + c_.pick(60))), Variant(80),
                Variant(200), Variant("t")};
    } else if (kind < 60) {
      c.method = "rsDropDownList";
      c.args = {
          Variant(c_.chance(30) ? std::string("select last_insert_rowid(), changes(), total_changes()")
                                : "select ID, a from t order by " + std::string(c_.chance(50) ? "a" : "ID")),
          Variant(c_.pick(5)), Variant(c_.pick(2))};
    } else if (kind < 66) {
      c.method = "dbShsl";
      c.args = {Variant("select count(*) from t where " + condition())};
    } else if (kind < 78) {
      c.sql = write();
    } else if (kind < 85) {
      c.sql = schemaChange();
    } else {
      c.sql = connectionState();
    }
    return c;
  }

  Choices& c_;
  int columns_ = 0;
};

// One copy of the database with the host over it.
class Side {
 public:
  explicit Side(std::filesystem::path root) : root_(std::move(root)) {
    std::filesystem::create_directories(root_ / "database");
    host_ = std::make_unique<MemoryHost>(root_);
  }
  std::filesystem::path file() const { return root_ / "database/app.mdb"; }

  // Statements on the file by a connection of its own (what another process
  // does: another connection, never pooled). "" when all ran, else the
  // first failure's message.
  std::string direct(const std::vector<std::string>& statements) const {
    sqlite3* db = nullptr;
    std::string failure;
    if (sqlite3_open(file().c_str(), &db) != SQLITE_OK) failure = "cannot open";
    sqlite3_busy_timeout(db, 5000);
    for (const std::string& sql : statements) {
      if (!failure.empty()) break;
      char* message = nullptr;
      if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        failure = message ? message : "failed";
      }
      sqlite3_free(message);
    }
    sqlite3_close(db);
    return failure;
  }

  // The page's answer as one text: each call's result or error, the
  // response written and whether it ended.
  std::string page(const Step& step) {
    PageRequest request;
    request.url = "/list.asp";
    request.query = step.query;
    auto context = host_->newPage(request);
    auto db = std::make_shared<DbClass>();
    std::string out;
    try {
      db->OnStartPage(context);
      db->dbType = Variant("access");
      db->database = Variant("/database/app.mdb");
      db->connOpen();
      for (const Call& call : step.calls) {
        if (context->ended()) break;
        try {
          if (call.method.empty()) {
            db->conn->execute(call.sql);
            out += "exec ok\n";
          } else {
            std::vector<Variant> args = call.args;
            out += "= " + db->invoke(call.method, args).joinText() + "\n";
          }
        } catch (const ComError& e) {
          out += "error " + std::to_string(e.number()) + " " + e.description() + "\n";
        }
      }
      db->OnEndPage();
    } catch (const ComError& e) {
      out += "page error " + std::to_string(e.number()) + " " + e.description() + "\n";
    }
    return out + "written: " + context->output() + "\nended: " + (context->ended() ? "yes" : "no");
  }

 private:
  std::filesystem::path root_;
  std::unique_ptr<MemoryHost> host_;
};

// The first difference found, described with the history that led to it.
struct Difference {
  std::size_t step = 0;
  std::string history;
  std::string withSpeedPaths;
  std::string without;
};

// Runs `steps` steps of the history drawn from `choices` in `root` (two
// copies of one database below it). Leaves the speed paths on. nullopt
// when every answer matched.
inline std::optional<Difference> run(
    Choices& choices, const std::filesystem::path& root, int steps,
    const std::function<bool()>& more = [] { return true; }) {
  History history(choices);
  Side fast(root / "on");
  Side plain(root / "off");
  const std::vector<std::string> setup = history.setup();
  if (std::string f = fast.direct(setup); !f.empty()) return Difference{0, "setup failed: " + f, "", ""};
  if (std::string f = plain.direct(setup); !f.empty()) return Difference{0, "setup failed: " + f, "", ""};
  int rows = 0;
  for (const std::string& s : setup) rows += static_cast<int>(std::count(s.begin(), s.end(), '('));
  std::string told;
  for (int i = 0; i < steps && more(); ++i) {
    const Step step = history.next(rows);
    told += "\n[" + std::to_string(i) + "] " + step.describe();
    std::string a;
    std::string b;
    if (!step.external.empty()) {
      a = fast.direct({step.external});
      b = plain.direct({step.external});
    } else {
      setSqliteSpeedPaths(true);
      a = fast.page(step);
      setSqliteSpeedPaths(false);
      b = plain.page(step);
      setSqliteSpeedPaths(true);
    }
    if (a != b) return Difference{static_cast<std::size_t>(i), told, a, b};
  }
  return std::nullopt;
}

}  // namespace kvdn::speed_diff
