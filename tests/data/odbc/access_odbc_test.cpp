// Real Access files (tests/data/access) read through the ODBC provider with
// Debian's read-only Access driver (odbc-mdbtools): every cell of every table
// equals what mdb-export reads; a paged grid, a detail table and an option
// list over the driver give the markup the same methods give over a database
// file holding those values. The Windows DLL is held to the same pages under
// Wine (tests/windows/access_odbc.py).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/db_class.h"
#include "kvdn/provider.h"
#include "support/access_files.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

namespace fs = std::filesystem;

const fs::path& kData = testing::kAccessData;

// Debian's places of the driver (odbc-mdbtools).
fs::path mdbDriver() {
  for (const char* f : {"/usr/lib/x86_64-linux-gnu/odbc/libmdbodbc.so",
                        "/usr/lib/aarch64-linux-gnu/odbc/libmdbodbc.so", "/usr/lib/odbc/libmdbodbc.so"}) {
    if (fs::exists(f)) return f;
  }
  return {};
}

std::string notRunReason() {
  if (mdbDriver().empty())
    return "NOT RUN: Debian's odbc-mdbtools (the Access ODBC driver) is not installed; "
           "scripts/install-deps.sh "
           "installs it";
  if (std::system("command -v mdb-export >/dev/null 2>&1") != 0)
    return "NOT RUN: mdb-export (Debian mdbtools) is not installed; scripts/install-deps.sh installs it";
  return "";
}

std::string connectionString(const fs::path& file) {
  return "Driver=" + mdbDriver().string() + ";DBQ=" + file.string();
}

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

// mdb-export's CSV (no line breaks inside the test files' texts): cells
// separated by ",", texts in double quotes with quotes doubled.
std::vector<std::vector<std::string>> parseCsv(const std::string& s) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : lines(s)) {
    std::vector<std::string> row;
    std::string cell;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        row.push_back(std::move(cell));
        cell.clear();
      } else {
        cell += c;
      }
    }
    row.push_back(std::move(cell));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string g15(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return buf;
}

// One cell as both sides can be compared, by the type the driver gave. A
// Null and an empty text are alike in mdb-export's output.
std::string canonOurs(const Variant& v) {
  switch (v.type()) {
    case VarType::Null:
    case VarType::Empty:
      return "";
    case VarType::Date:
      return v.date().storageText();
    case VarType::Boolean:
      return v.boolean() ? "TRUE" : "FALSE";
    case VarType::Double:
      return g15(v.dbl());
    default:
      return v.joinText();
  }
}

// mdb-export writes amounts with four decimals ("3.5000", "0.0000"); the
// driver's whole amounts come as whole numbers.
std::string canonExport(const std::string& text, const Variant& ours) {
  if (text.empty()) return text;
  if (ours.type() == VarType::Double) return g15(std::strtod(text.c_str(), nullptr));
  const auto dot = text.find('.');
  if ((ours.type() == VarType::Long || ours.type() == VarType::LongLong) && dot != std::string::npos &&
      text.find_first_not_of('0', dot + 1) == std::string::npos)
    return text.substr(0, dot);
  return text;
}

struct Table {
  std::vector<std::string> names;
  std::vector<std::vector<Variant>> rows;
};

Table readAll(const std::shared_ptr<const ProviderRegistry>& providers,
              const std::shared_ptr<Connection>& conn, const std::string& table) {
  auto rs = makeRecordset(providers);
  rs->open("select * from [" + table + "]", conn);
  Table t;
  for (int i = 0; i < rs->fields().count(); ++i) t.names.push_back(rs->fields().item(i).name());
  for (; !rs->eof(); rs->moveNext()) {
    std::vector<Variant> row;
    for (int i = 0; i < rs->fields().count(); ++i) row.push_back(rs->fields().item(i).value());
    t.rows.push_back(std::move(row));
  }
  rs->close();
  return t;
}

// An SQL literal of a value as the database file stores it for the same
// reading: dates as their storage text in a DATETIME column, numbers as
// numbers, Booleans as the text the driver's Boolean shows.
std::string literal(const Variant& v) {
  switch (v.type()) {
    case VarType::Null:
    case VarType::Empty:
      return "NULL";
    case VarType::Date:
      return "'" + v.date().storageText() + "'";
    case VarType::Double: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.dbl());
      return buf;
    }
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      return std::to_string(v.integer());
    default: {
      std::string out = "'";
      for (char c : v.joinText()) out += c == '\'' ? std::string("''") : std::string(1, c);
      return out + "'";
    }
  }
}

std::string declaredOf(const Table& t, std::size_t column) {
  for (const auto& row : t.rows) {
    switch (row[column].type()) {
      case VarType::Date:
        return "DATETIME";
      case VarType::Double:
        return "DOUBLE";
      case VarType::Integer:
      case VarType::Long:
      case VarType::LongLong:
        return "INTEGER";
      case VarType::Null:
      case VarType::Empty:
        continue;
      default:
        return "TEXT";
    }
  }
  return "TEXT";
}

class AccessOverOdbc : public testing::SiteFixture, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    const std::string reason = notRunReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
    SiteFixture::SetUp();
    providers = std::make_shared<ProviderRegistry>();
    registerStandardProviders(*providers);
  }

  std::shared_ptr<Connection> openDriver() {
    auto conn = makeConnection(providers);
    conn->open(connectionString(kData / GetParam()));
    return conn;
  }

  std::shared_ptr<ProviderRegistry> providers;
};

TEST_P(AccessOverOdbc, EveryCellEqualsMdbExport) {
  const fs::path file = kData / GetParam();
  auto conn = openDriver();
  for (const std::string& table : lines(run("mdb-tables -1 " + shellQuoted(file.string())))) {
    SCOPED_TRACE(GetParam() + " " + table);
    const std::string exportCommand = "mdb-export -B -D '%Y-%m-%d %H:%M:%S' -T '%Y-%m-%d %H:%M:%S' " +
                                      shellQuoted(file.string()) + " " + shellQuoted(table);
    // A type mdbtools cannot read (Large Number): the driver's values would
    // be wrong, so reading them is refused.
    if (run("{ " + exportCommand + " 2>&1 >/dev/null; }").find("unsupported data type") !=
        std::string::npos) {
      EXPECT_THROW(readAll(providers, conn, table), ComError);
      continue;
    }
    const Table ours = readAll(providers, conn, table);
    auto csv = parseCsv(run(exportCommand));
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(ours.names, csv[0]);
    ASSERT_EQ(ours.rows.size(), csv.size() - 1);
    // Both read in the file's order.
    for (std::size_t r = 0; r < ours.rows.size(); ++r) {
      ASSERT_EQ(ours.rows[r].size(), csv[r + 1].size()) << "row " << r;
      for (std::size_t c = 0; c < ours.rows[r].size(); ++c) {
        EXPECT_EQ(canonOurs(ours.rows[r][c]), canonExport(csv[r + 1][c], ours.rows[r][c]))
            << "row " << r << ", column " << ours.names[c];
      }
    }
  }
  conn->close();
}

// The grid (every page of one row, and all rows on one page), the detail
// table and the option list of every table, over the driver and over a
// database file holding what the driver read, byte for byte: counting,
// page windows (the driver has no OFFSET) and forward reading over the
// driver are the file database's.
TEST_P(AccessOverOdbc, GridDetailAndOptionsAsOverTheFileDatabase) {
  const fs::path file = kData / GetParam();
  auto conn = openDriver();
  const auto tables = lines(run("mdb-tables -1 " + shellQuoted(file.string())));
  std::vector<std::string> setup;
  std::vector<Table> contents;
  for (const std::string& table : tables) {
    try {
      contents.push_back(readAll(providers, conn, table));
    } catch (const ComError&) {
      // A type the driver cannot read (EveryCellEqualsMdbExport holds it to
      // mdb-export's own warning): the table is left out.
      contents.emplace_back();
      continue;
    }
    const Table& t = contents.back();
    std::string create = "create table [" + table + "] (";
    for (std::size_t c = 0; c < t.names.size(); ++c)
      create += (c ? ", [" : "[") + t.names[c] + "] " + declaredOf(t, c);
    setup.push_back(create + ")");
    for (const auto& row : t.rows) {
      std::string insert = "insert into [" + table + "] values (";
      for (std::size_t c = 0; c < row.size(); ++c) insert += (c ? ", " : "") + literal(row[c]);
      setup.push_back(insert + ")");
    }
  }
  conn->close();
  setupDatabase(setup);

  for (std::size_t i = 0; i < tables.size(); ++i) {
    const std::string& table = tables[i];
    const Table& t = contents[i];
    SCOPED_TRACE(GetParam() + " " + table);
    if (t.names.empty()) continue;
    const std::string all = "select * from [" + table + "]";
    const std::string two =
        "select [" + t.names[0] + "], [" + t.names[t.names.size() > 1 ? 1 : 0] + "] from [" + table + "]";
    const Variant comp = t.rows.empty() ? Variant("") : t.rows.back()[0];
    std::vector<std::pair<int, std::string>> grids = {{0, ""}};
    for (std::size_t p = 1; p <= t.rows.size() + 1; ++p) grids.emplace_back(1, "page=" + std::to_string(p));
    auto render = [&](bool throughDriver) {
      std::vector<std::string> out;
      auto bind = [&](const PageRequest& request) {
        auto p = page(request, !throughDriver);
        if (throughDriver) {
          p.db->dbType = Variant("");
          p.db->conn = openDriver();
        }
        return p;
      };
      for (const auto& [psize, query] : grids) {
        PageRequest request;
        request.query = query;
        auto p = bind(request);
        out.push_back(p.db->dbSelect(Variant(all), Variant(psize), Variant(1), Variant("添加"), Variant(1),
                                     Variant("修改"), Variant(1), Variant("tableWg"))
                          .joinText() +
                      p.output());
      }
      auto p = bind({});
      out.push_back(p.db->xiangxi(Variant(all), Variant(100), Variant(300), Variant("详情")).joinText());
      out.push_back(p.db->rsDropDownList(Variant(two), comp, Variant(1)).joinText());
      out.push_back(p.output());
      return out;
    };
    const auto overFile = render(false);
    const auto overDriver = render(true);
    ASSERT_EQ(overDriver.size(), overFile.size());
    for (std::size_t k = 0; k < overFile.size(); ++k) EXPECT_EQ(overDriver[k], overFile[k]) << "output " << k;
    if (!t.rows.empty()) {
      EXPECT_NE(overFile[1].find("<tbody>"), std::string::npos) << overFile[1];
      EXPECT_EQ(overFile.back(), "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Each, AccessOverOdbc, ::testing::ValuesIn(testing::accessFiles()),
                         testing::AccessFileName());

// The driver refuses what its SQL lacks with the data layer's error, never
// with a wrong answer; a window past the end is empty.
TEST(AccessOverOdbcLimits, RefusalsAndWindows) {
  const std::string reason = notRunReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  auto conn = makeConnection(providers);
  conn->open(connectionString(kData / "V2003-test.mdb"));
  EXPECT_THROW(conn->execute("select A from Table1 order by A"), ComError);
  for (int cursor : {0, 1, 3}) {
    auto rs = makeRecordset(providers);
    rs->open("select A from [Table1] where C = 0", conn, cursor, 1, -1);
    if (cursor == 1 || cursor == 3) {
      EXPECT_EQ(rs->recordCount(), 1);
      rs->setPageSize(1);
      rs->setAbsolutePage(1);
    }
    ASSERT_FALSE(rs->eof());
    EXPECT_EQ(rs->fields().item(0).value().joinText(), "a");
    rs->close();
  }
  conn->close();
}

}  // namespace
}  // namespace kvdn
