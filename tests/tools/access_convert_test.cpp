// kvdn-access-convert: every table of every real Access file in
// tests/data/access converts with every cell equal to what mdb-export reads
// from the source, read back through the component's own Connection; bad
// sources and destinations are refused with nothing left behind; values of
// every kind (Chinese text among them, which no test file holds and
// mdbtools cannot write) go through the writing path from memory; a page
// opens a converted file through connOpen.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "converter.h"
#include "kvdn/data.h"
#include "kvdn/db_class.h"
#include "kvdn/provider.h"
#include "support/access_files.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

namespace fs = std::filesystem;
using namespace access;

const fs::path kTool = fs::path(KVDN_BINARY_DIR) / "bin" / "kvdn-access-convert";
const fs::path& kData = testing::kAccessData;

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string shellQuoted(const fs::path& p) {
  std::string out = "'";
  for (char c : p.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

ProgramRun runCommand(const std::string& command, const fs::path& scratch) {
  const auto out = scratch / "run.stdout";
  const auto err = scratch / "run.stderr";
  const int raw =
      std::system((command + " </dev/null >" + shellQuoted(out) + " 2>" + shellQuoted(err)).c_str());
  ProgramRun r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(out);
  r.err = slurp(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

// Why the tests that need the program and mdbtools cannot run, or "".
std::string notRunReason() {
  if (!fs::exists(kTool)) {
    return "NOT RUN: kvdn-access-convert is not built (mdbtools' libmdb, Debian mdbtools-dev, was missing "
           "when the build was configured; scripts/install-deps.sh installs it)";
  }
  if (std::system("command -v mdb-export >/dev/null 2>&1") != 0) {
    return "NOT RUN: mdb-export (Debian mdbtools) is not installed; scripts/install-deps.sh installs it";
  }
  return "";
}

ProgramRun convert(const fs::path& src, const fs::path& dest, const fs::path& scratch,
                   const std::string& options = "") {
  return runCommand(shellQuoted(kTool) + " " + options + " " + shellQuoted(src) + " " + shellQuoted(dest),
                    scratch);
}

// ---------------------------------------------------------------------------
// Reading back as a page would.

struct Table {
  std::vector<std::string> names;
  std::vector<std::vector<Variant>> rows;
};

std::shared_ptr<Connection> openFile(const fs::path& file) {
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  auto conn = makeConnection(providers);
  conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" + file.string());
  return conn;
}

Table readBack(const fs::path& file, const std::string& table) {
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  auto conn = makeConnection(providers);
  conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" + file.string());
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
  conn->close();
  return t;
}

// The declared types of a converted table's columns, upper case.
std::vector<std::string> declaredTypes(const fs::path& file, const std::string& table) {
  std::string name;
  for (char c : table) name += c == '\'' ? std::string("''") : std::string(1, c);
  std::vector<std::string> types;
  for (const auto& row :
       testing::querySql(file, "select upper(type) from pragma_table_info('" + name + "')")) {
    types.push_back(row[0]);
  }
  return types;
}

// ---------------------------------------------------------------------------
// mdb-export's CSV: fields separated by ",", text in double quotes with
// quotes doubled, rows by a newline outside quotes.

struct CsvCell {
  std::string text;
  bool quoted = false;
};

std::vector<std::vector<CsvCell>> parseCsv(const std::string& s) {
  std::vector<std::vector<CsvCell>> rows;
  std::vector<CsvCell> row;
  CsvCell cell;
  bool inQuotes = false;
  bool any = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (inQuotes) {
      if (c == '"' && i + 1 < s.size() && s[i + 1] == '"') {
        cell.text += '"';
        ++i;
      } else if (c == '"') {
        inQuotes = false;
      } else {
        cell.text += c;
      }
    } else if (c == '"') {
      inQuotes = true;
      cell.quoted = true;
      any = true;
    } else if (c == ',') {
      row.push_back(std::move(cell));
      cell = CsvCell();
      any = true;
    } else if (c == '\n') {
      row.push_back(std::move(cell));
      rows.push_back(std::move(row));
      row.clear();
      cell = CsvCell();
      any = false;
    } else {
      cell.text += c;
      any = true;
    }
  }
  if (any) {
    row.push_back(std::move(cell));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string hexOf(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string g17(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

std::string g15(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return buf;
}

std::string shortestFloat(float f) {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
  return std::string(buf, r.ptr);
}

// One cell in a form both sides can be compared in, by the converted
// column's declared type. mdb-export writes Null and an empty text alike
// (nothing), so both become "" here; the in-memory tests below tell them
// apart.
std::string canonOurs(const Variant& v, const std::string& type) {
  if (v.isNull()) return "";
  if (type == "DATETIME")
    return v.type() == VarType::Date ? v.date().storageText() : "not a date: " + v.joinText();
  if (type == "BLOB") return hexOf(v.str());
  if (type == "REAL") return shortestFloat(static_cast<float>(v.dbl()));
  if (type == "DOUBLE") return g15(v.dbl());
  if (type == "CURRENCY" || type.rfind("DECIMAL", 0) == 0) {
    return v.type() == VarType::Double ? g17(v.dbl()) : std::to_string(v.integer());
  }
  if (type.find("INT") != std::string::npos) {
    return v.type() == VarType::Long || v.type() == VarType::LongLong ? std::to_string(v.integer())
                                                                      : "not a whole number: " + v.joinText();
  }
  return v.isString() ? v.str() : "not a text: " + v.joinText();
}

std::string canonExport(const CsvCell& c, const std::string& type) {
  const std::string& t = c.text;
  if (t.empty()) return "";
  if (type == "BLOB") return upper(t);
  if (type == "REAL") return shortestFloat(std::strtof(t.c_str(), nullptr));
  if (type == "DOUBLE") return g15(std::strtod(t.c_str(), nullptr));
  if (type == "CURRENCY" || type.rfind("DECIMAL", 0) == 0) {
    const auto dot = t.find('.');
    if (dot == std::string::npos || t.find_first_not_of('0', dot + 1) == std::string::npos) {
      std::string whole = t.substr(0, dot);
      return whole == "-0" ? "0" : whole;
    }
    return g17(std::strtod(t.c_str(), nullptr));
  }
  if (type.find("INT") != std::string::npos) {
    if (t == "TRUE") return "-1";  // the engine's True
    if (t == "FALSE") return "0";
  }
  return t;
}

// ---------------------------------------------------------------------------

class AccessFiles : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const std::string reason = notRunReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
  }
  testing::TempDir dir;
};

// Every table, every cell, against mdb-export of the source; the source
// is left exactly as it was.
TEST_P(AccessFiles, EveryCellEqualsMdbExport) {
  const fs::path src = kData / GetParam();
  const fs::path dest = dir.path() / "converted.mdb";
  const std::string before = slurp(src);
  const auto mtime = fs::last_write_time(src);

  const ProgramRun run = convert(src, dest, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");  // no progress bar when stderr is no terminal, and nothing from the reader
  EXPECT_NE(run.out.find("Not carried: "), std::string::npos) << run.out;
  EXPECT_EQ(slurp(src), before);
  EXPECT_EQ(fs::last_write_time(src), mtime);

  const ProgramRun list = runCommand("mdb-tables -1 " + shellQuoted(src), dir.path());
  ASSERT_EQ(list.status, 0) << list.err;
  std::vector<std::string> tables;
  std::istringstream lines(list.out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) tables.push_back(line);
  for (const std::string& table : tables) {
    EXPECT_NE(run.out.find("  " + table + ": "), std::string::npos) << table << " missing from the summary";
  }
  const auto stored = testing::querySql(dest,
                                        "select count(*) from sqlite_master where type = 'table' and "
                                        "name not like 'sqlite%'");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0][0], std::to_string(tables.size()));

  for (const std::string& table : tables) {
    SCOPED_TRACE(GetParam() + " " + table);
    const ProgramRun exported =
        runCommand("mdb-export -B -b hex -D '%Y-%m-%d %H:%M:%S' -T '%Y-%m-%d %H:%M:%S' " + shellQuoted(src) +
                       " " + shellQuoted(table),
                   dir.path());
    ASSERT_EQ(exported.status, 0) << exported.err;
    auto csv = parseCsv(exported.out);
    ASSERT_FALSE(csv.empty());
    const Table ours = readBack(dest, table);
    const auto types = declaredTypes(dest, table);

    std::vector<std::string> header;
    for (const auto& c : csv[0]) header.push_back(c.text);
    ASSERT_EQ(ours.names, header);
    ASSERT_EQ(types.size(), header.size());
    ASSERT_EQ(ours.rows.size(), csv.size() - 1);

    // mdb-export reads in the file's order, the converted table in row-key
    // order: rows are compared as sorted lists.
    std::vector<std::vector<std::string>> theirs, mine;
    for (std::size_t r = 1; r < csv.size(); ++r) {
      ASSERT_EQ(csv[r].size(), header.size()) << "row " << r;
      std::vector<std::string> row;
      for (std::size_t c = 0; c < header.size(); ++c) {
        // mdb-export cannot read Large Number (it says so on stderr and
        // writes nothing); the converter reads its 8 bytes itself.
        if (types[c] == "BIGINT" && csv[r][c].text.empty() &&
            exported.err.find("unsupported data type 19") != std::string::npos) {
          row.push_back("(unread)");
          continue;
        }
        row.push_back(canonExport(csv[r][c], types[c]));
      }
      theirs.push_back(std::move(row));
    }
    for (const auto& values : ours.rows) {
      std::vector<std::string> row;
      for (std::size_t c = 0; c < values.size(); ++c) row.push_back(canonOurs(values[c], types[c]));
      mine.push_back(std::move(row));
    }
    // A Large Number column mdb-export could not read: ours must hold
    // whole numbers there; the column is then left out of the comparison.
    for (std::size_t c = 0; c < header.size(); ++c) {
      const bool unread =
          std::any_of(theirs.begin(), theirs.end(), [&](const auto& row) { return row[c] == "(unread)"; });
      if (!unread) continue;
      for (auto& row : mine) {
        EXPECT_TRUE(!row[c].empty() && row[c].find_first_not_of("-0123456789") == std::string::npos)
            << row[c];
        row[c].clear();
      }
      for (auto& row : theirs) row[c].clear();
    }
    std::sort(theirs.begin(), theirs.end());
    std::sort(mine.begin(), mine.end());
    EXPECT_EQ(mine, theirs);
  }
}

INSTANTIATE_TEST_SUITE_P(Each, AccessFiles, ::testing::ValuesIn(testing::accessFiles()),
                         testing::AccessFileName());

// On a terminal: a progress bar per table, finished, before the summary.
TEST(AccessConvertProgress, OneBarPerTableOnATerminal) {
  const std::string reason = notRunReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  if (std::system("command -v script >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "NOT RUN: script (util-linux) missing";
  testing::TempDir dir;
  const std::string command = shellQuoted(kTool) + " " + shellQuoted(kData / "V2007-test.accdb") + " " +
                              shellQuoted(dir.path() / "app.mdb");
  const ProgramRun r = runCommand("script -qec " + shellQuoted(command) + " /dev/null", dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* table : {"Table1", "Table2", "Table3", "Table4"}) {
    const auto bar = r.out.find("\r  " + std::string(table));
    ASSERT_NE(bar, std::string::npos) << table << " in " << r.out;
    EXPECT_NE(r.out.find("[##############################] 100%", bar), std::string::npos) << r.out;
    EXPECT_LT(bar, r.out.find("Converted "));
  }
}

// ---------------------------------------------------------------------------
// Sources and destinations that must be refused, each with a message,
// status 1 and nothing left in the destination's folder.

class AccessConvertRefuses : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = notRunReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
    out = dir.path() / "out";
    fs::create_directories(out);
  }

  fs::path writeFile(const std::string& name, const std::string& bytes) {
    const fs::path p = dir.path() / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  std::vector<std::string> listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir dir;
  fs::path out;
};

TEST_F(AccessConvertRefuses, BadSources) {
  const std::string real = slurp(kData / "V2003-test.mdb");
  const std::string accdb = slurp(kData / "V2007-test.accdb");
  std::string catalogGone = accdb;
  // Page 2 holds the catalog's table definition.
  std::fill(catalogGone.begin() + 2 * 4096, catalogGone.begin() + 3 * 4096, '\xff');
  std::string headerOnly = real.substr(0, 4096);
  std::mt19937 rng(7);
  for (int i = 0; i < 4096 * 7; ++i) headerOnly.push_back(static_cast<char>(rng()));

  struct Case {
    const char* name;
    std::string bytes;
    const char* message;  // part of what stderr must say
  } cases[] = {
      {"empty", "", "not an Access database"},
      {"text", std::string(20000, 'x'), "not an Access database"},
      {"truncated inside a page", real.substr(0, 3 * 4096 + 100), "truncated"},
      {"truncated at a page", real.substr(0, 4 * 4096), "damaged"},
      {"catalog overwritten", catalogGone, "damaged"},
      {"header then noise", headerOnly, "damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path src = writeFile("source.mdb", c.bytes);
    const ProgramRun r = convert(src, out / "app.mdb", dir.path());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(listing(out).empty()) << listing(out).front();
  }
  // Not a file at all.
  for (const auto& [src, message] :
       {std::pair{dir.path() / "missing.mdb", "no such file"}, std::pair{out, "not a file"}}) {
    const ProgramRun r = convert(src, out / "app.mdb", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_TRUE(listing(out).empty());
  }
}

// A crafted file may crash or hang the Access reader: whatever it does, the
// program answers 0 with a database or 1 with nothing written, never a
// crash of its own or a half-written destination.
TEST_F(AccessConvertRefuses, DamagedFilesNeverLeaveAHalfWrittenDestination) {
  std::mt19937 rng(25);
  int converted = 0;
  int refused = 0;
  for (const std::string& name : testing::accessFiles()) {
    const std::string original = slurp(kData / name);
    // The pages the conversion reads: the catalog's definition (page 2),
    // the user tables' definitions (their Id in the catalog) and the data
    // pages of both (a data page names its table's definition at offset 4).
    const std::size_t pageSize = original[0x14] == 0 ? 2048 : 4096;
    std::set<std::uint32_t> owners = {2};
    const ProgramRun catalog =
        runCommand("mdb-export " + shellQuoted(kData / name) + " MSysObjects", dir.path());
    const auto rows = parseCsv(catalog.out);
    for (std::size_t r = 1; r < rows.size(); ++r) {
      if (rows[r].size() > 3 && rows[r][3].text == "1" && rows[r][2].text.rfind("MSys", 0) != 0) {
        owners.insert(static_cast<std::uint32_t>(std::stoll(rows[r][0].text)) & 0xffffffu);
      }
    }
    std::vector<std::size_t> pages;
    for (std::size_t p = 1; p < original.size() / pageSize; ++p) {
      const auto* page = reinterpret_cast<const unsigned char*>(original.data() + p * pageSize);
      const std::uint32_t owner =
          page[4] | page[5] << 8 | page[6] << 16 | static_cast<std::uint32_t>(page[7]) << 24;
      if (owners.count(static_cast<std::uint32_t>(p)) || (page[0] == 1 && owners.count(owner)))
        pages.push_back(p);
    }
    ASSERT_GT(pages.size(), 1u) << name;
    for (int variant = 0; variant < 6; ++variant) {
      std::string bytes = original;
      const std::size_t page = pages[rng() % pages.size()];
      for (int k = 0; k < 1 + variant * 4; ++k)
        bytes[page * pageSize + 1 + rng() % (pageSize - 1)] = static_cast<char>(rng());
      const fs::path src = writeFile("noisy.mdb", bytes);
      const fs::path dest = out / "app.mdb";
      const ProgramRun r = convert(src, dest, dir.path());
      SCOPED_TRACE(name + " variant " + std::to_string(variant) + ": " + r.err);
      ASSERT_TRUE(r.status == 0 || r.status == 1);
      // Under the sanitizers a fault in our own reading shows here, even
      // when the child's failure is reported as a damaged file.
      EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
      EXPECT_EQ(r.err.find("runtime error:"), std::string::npos);
      if (r.status == 0) {
        ++converted;
        EXPECT_EQ(testing::querySql(dest, "select count(*) from sqlite_master").size(), 1u);
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(dest.string() + suffix);
      } else {
        ++refused;
        EXPECT_NE(r.err.find("kvdn-access-convert: "), std::string::npos);
      }
      EXPECT_TRUE(listing(out).empty());
    }
  }
  std::cout << "damaged copies: " << converted << " converted, " << refused << " refused\n";
}

TEST_F(AccessConvertRefuses, Destinations) {
  const fs::path src = kData / "V1997-test.mdb";
  // An existing destination is kept without --force.
  const fs::path existing = writeFile("existing.mdb", "keep me");
  ProgramRun r = convert(src, existing, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(existing), "keep me");
  // The source as its own destination, even with --force.
  const fs::path copy = writeFile("copy.mdb", slurp(src));
  r = convert(copy, copy, dir.path(), "--force");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("source itself"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(copy), slurp(src));
  // A folder that does not exist.
  r = convert(src, dir.path() / "nowhere" / "app.mdb", dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no such folder"), std::string::npos) << r.err;
  // The log of a removed database under that name is not adopted.
  std::ofstream(out / "app.mdb-wal") << "old log";
  r = convert(src, out / "app.mdb", dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("app.mdb-wal exists"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out / "app.mdb"));
  // --force replaces the file and removes the old file's log beside it.
  const fs::path replaced = out / "app.mdb";
  std::ofstream(replaced) << "old";
  std::ofstream(out / "app.mdb-wal") << "old log";
  r = convert(src, replaced, dir.path(), "--force");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(out / "app.mdb-wal"));
  EXPECT_EQ(readBack(replaced, "Table1").rows.size(), 2u);
}

TEST_F(AccessConvertRefuses, ReadOnlyFolder) {
  const fs::path folder = dir.path() / "readonly";
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  // The superuser writes into any folder: run the program as nobody then
  // (it reads the source and itself through world-readable paths).
  std::string prefix;
  if (::geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "NOT RUN: root without setpriv";
    fs::permissions(dir.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  const fs::path src = kData / "V1997-test.mdb";
  const ProgramRun r =
      runCommand(prefix + shellQuoted(kTool) + " " + shellQuoted(src) + " " + shellQuoted(folder / "app.mdb"),
                 dir.path());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.err.find("cannot write in"), std::string::npos) << r.err;
  EXPECT_TRUE(listing(folder).empty());
}

// ---------------------------------------------------------------------------
// The writing path fed from memory: every column type, values generated at
// random (Chinese text and characters outside the basic plane among them),
// read back through the component's Connection and compared with what a
// page must see.

class MemoryRows final : public RowReader {
 public:
  explicit MemoryRows(const std::vector<std::vector<Cell>>& rows) : rows_(rows) {}
  bool next(std::vector<Cell>& row) override {
    if (at_ >= rows_.size()) return false;
    row = rows_[at_++];
    return true;
  }

 private:
  const std::vector<std::vector<Cell>>& rows_;
  std::size_t at_ = 0;
};

class MemorySource final : public TableSource {
 public:
  std::vector<std::pair<TableDef, std::vector<std::vector<Cell>>>> tables;
  std::vector<std::string> tableNames() override {
    std::vector<std::string> names;
    for (const auto& t : tables) names.push_back(t.first.name);
    return names;
  }
  TableDef describe(const std::string& name) override {
    for (const auto& t : tables)
      if (t.first.name == name) return t.first;
    throw SourceError("no table " + name);
  }
  std::unique_ptr<RowReader> rows(const TableDef& def) override {
    for (const auto& t : tables)
      if (t.first.name == def.name) return std::make_unique<MemoryRows>(t.second);
    throw SourceError("no table " + def.name);
  }
  LeftBehind leftBehind() override { return {}; }
};

ColumnDef column(const std::string& name, ColumnType type, const char* typeName) {
  ColumnDef c;
  c.name = name;
  c.type = type;
  c.typeName = typeName;
  c.size = 50;
  c.precision = 18;
  c.scale = 4;
  return c;
}

std::string randomText(std::mt19937& rng) {
  static const char* pieces[] = {"a",  "Z",  " ",    "'",  "\"", "\\", "%", "_", "{", "}", "<b>", "\n", "\t",
                                 "张", "三", "数据", "库", "。", "，", "é", "ß", "€", "😀", "𠀋",  "ｱ"};
  std::string s;
  const int n = static_cast<int>(rng() % 12);
  for (int i = 0; i < n; ++i) s += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
  return s;
}

// A decimal text with `scale` digits after the point from a count of units.
std::string decimalText(std::int64_t count, int scale) {
  const bool negative = count < 0;
  const std::uint64_t m =
      negative ? 0ULL - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
  std::uint64_t unit = 1;
  for (int i = 0; i < scale; ++i) unit *= 10;
  std::string frac = std::to_string(m % unit);
  frac.insert(0, static_cast<std::size_t>(scale) - frac.size(), '0');
  return (negative ? "-" : "") + std::to_string(m / unit) + (scale ? "." + frac : "");
}

TEST(AccessConvertWriting, EveryKindOfValueReadsBackAsAPageSeesIt) {
  std::mt19937 rng(2025);
  TableDef def;
  def.name = "记录 (all kinds)";
  def.columns = {
      column("ID", ColumnType::Long, "AutoNumber"),       column("是否", ColumnType::YesNo, "Yes/No"),
      column("字节", ColumnType::Byte, "Byte"),           column("整数", ColumnType::Integer, "Integer"),
      column("长整数", ColumnType::Long, "Long Integer"), column("大数", ColumnType::BigInt, "Large Number"),
      column("单精度", ColumnType::Single, "Single"),     column("双精度", ColumnType::Double, "Double"),
      column("金额", ColumnType::Currency, "Currency"),   column("小数", ColumnType::Decimal, "Decimal"),
      column("日期", ColumnType::DateTime, "Date/Time"),  column("姓名", ColumnType::Text, "Text"),
      column("备注", ColumnType::Memo, "Memo"),           column("编号", ColumnType::Guid, "Replication ID"),
      column("图片", ColumnType::OleObject, "OLE Object")};
  def.columns[0].autoNumber = true;

  // What each generated cell must read back as.
  std::vector<std::vector<Cell>> rows;
  std::vector<std::vector<Variant>> expected;
  const std::int64_t currencyEdges[] = {0,
                                        1,
                                        -1,
                                        10000,
                                        9223372036854775807LL,
                                        -9223372036854775807LL - 1,
                                        999999999999999LL,
                                        123456789012345LL};
  for (int r = 0; r < 400; ++r) {
    std::vector<Cell> row;
    std::vector<Variant> want;
    auto add = [&](Cell c, Variant v) {
      row.push_back(std::move(c));
      want.push_back(std::move(v));
    };
    const bool nulls = r % 7 == 3;  // every nullable column Null in some rows
    add(Cell::ofInteger(r * 3 + 1), Variant(static_cast<std::int32_t>(r * 3 + 1)));
    const bool yes = rng() % 2;
    add(Cell::ofInteger(yes ? 1 : 0), Variant(static_cast<std::int32_t>(yes ? -1 : 0)));
    const int byte = static_cast<int>(rng() % 256);
    add(nulls ? Cell::null() : Cell::ofInteger(byte), nulls ? Variant::null() : Variant(byte));
    const auto i16 = static_cast<std::int16_t>(rng());
    add(Cell::ofInteger(i16), Variant(static_cast<std::int32_t>(i16)));
    const auto i32 = static_cast<std::int32_t>(rng());
    add(Cell::ofInteger(i32), Variant(i32));
    const auto i64 = static_cast<std::int64_t>((static_cast<std::uint64_t>(rng()) << 32) | rng());
    add(Cell::ofInteger(i64),
        i64 >= INT32_MIN && i64 <= INT32_MAX ? Variant(static_cast<std::int32_t>(i64)) : Variant(i64));
    // A Single as typed: up to 6 significant digits (all of which a Single
    // keeps).
    char typed[32];
    std::snprintf(typed, sizeof typed, "%.*g", 1 + static_cast<int>(rng() % 6),
                  (static_cast<double>(rng()) - 2147483648.0) / std::pow(10.0, rng() % 12));
    add(nulls ? Cell::null() : Cell::ofReal(static_cast<double>(std::strtof(typed, nullptr))),
        nulls ? Variant::null() : Variant(std::strtod(typed, nullptr)));
    double d;
    const std::uint64_t bits = (static_cast<std::uint64_t>(rng()) << 32) | rng();
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) d = 1.5;
    add(Cell::ofReal(d), Variant(d));
    // Currency: edges, then any count of ten-thousandths.
    const std::int64_t units =
        r < 8 ? currencyEdges[r] : static_cast<std::int64_t>(rng()) * (r % 3 ? 1 : 100003) - 1000000;
    const std::string money = decimalText(units, 4);
    Variant moneyWant;
    if (units % 10000 == 0) {
      const std::int64_t whole = units / 10000;
      moneyWant = whole >= INT32_MIN && whole <= INT32_MAX ? Variant(static_cast<std::int32_t>(whole))
                                                           : Variant(whole);
    } else {
      moneyWant = Variant(std::strtod(money.c_str(), nullptr));
    }
    add(Cell::ofDecimal(money), moneyWant);
    const std::string dec = decimalText(static_cast<std::int64_t>(rng() % 2000000) - 1000000, 4);
    add(nulls ? Cell::null() : Cell::ofDecimal(dec),
        nulls ? Variant::null()
              : (dec.substr(dec.size() - 4) == "0000"
                     ? Variant(static_cast<std::int32_t>(std::stol(dec.substr(0, dec.size() - 5))))
                     : Variant(std::strtod(dec.c_str(), nullptr))));
    // A date and time (to the second) in the original's range, written as
    // the engine holds it, a hair off the exact second as stored times are.
    const Date date = Date::fromParts(100 + static_cast<int>(rng() % 9900), 1 + static_cast<int>(rng() % 12),
                                      1 + static_cast<int>(rng() % 28), static_cast<int>(rng() % 24),
                                      static_cast<int>(rng() % 60), static_cast<int>(rng() % 60));
    const double noise = static_cast<double>(rng() % 2) * 1e-9;  // away from zero: the same day
    add(nulls ? Cell::null() : Cell::ofDate(date.serial + (date.serial < 0 ? -noise : noise)),
        nulls ? Variant::null() : Variant(date));
    const std::string name = r % 11 == 5 ? std::string() : randomText(rng);
    add(nulls ? Cell::null() : Cell::ofText(name), nulls ? Variant::null() : Variant(name));
    std::string memo;
    for (int k = 0, n = static_cast<int>(rng() % 40); k < n; ++k) memo += randomText(rng);
    add(Cell::ofText(memo), Variant(memo));
    add(Cell::ofText("{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A91}"),
        Variant("{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A91}"));
    std::string blob;
    for (int k = 0, n = static_cast<int>(rng() % 64); k < n; ++k) blob.push_back(static_cast<char>(rng()));
    add(nulls ? Cell::null() : Cell::ofBytes(blob), nulls ? Variant::null() : Variant(blob));
    rows.push_back(std::move(row));
    expected.push_back(std::move(want));
  }

  MemorySource source;
  source.tables.push_back({def, rows});
  testing::TempDir dir;
  const fs::path file = dir.path() / "memory.mdb";
  std::ofstream(file).close();
  const ConvertReport report = convertToSqlite(source, file.string(), {});
  EXPECT_EQ(report.rows, rows.size());
  // Currency edges past 15 significant digits are named, never silent.
  EXPECT_GE(report.rounded, 2u);

  const Table back = readBack(file, def.name);
  ASSERT_EQ(back.rows.size(), expected.size());
  for (std::size_t r = 0; r < expected.size(); ++r) {
    for (std::size_t c = 0; c < def.columns.size(); ++c) {
      const Variant& got = back.rows[r][c];
      const Variant& want = expected[r][c];
      SCOPED_TRACE("row " + std::to_string(r) + ", " + def.columns[c].name);
      ASSERT_EQ(got.type(), want.type()) << got.joinText() << " / " << want.joinText();
      if (want.type() == VarType::Double) {
        EXPECT_EQ(g17(got.dbl()), g17(want.dbl()));
      } else if (want.type() == VarType::Date) {
        EXPECT_EQ(got.date().storageText(), want.date().storageText());
      } else if (!want.isNull()) {
        EXPECT_EQ(got.joinText(), want.joinText());
      }
    }
  }
  // The amount a page shows is the exact amount whenever a double can hold
  // it (15 significant digits).
  for (std::size_t r = 0; r < expected.size(); ++r) {
    const std::string& text = rows[r][8].text;
    const auto n = storedDecimal(text);
    ASSERT_TRUE(n);
    if (!n->exact) continue;
    std::string trimmed = text;
    if (trimmed.find('.') != std::string::npos) {
      while (trimmed.back() == '0') trimmed.pop_back();
      if (trimmed.back() == '.') trimmed.pop_back();
    }
    if (trimmed == "-0") trimmed = "0";
    EXPECT_EQ(back.rows[r][8].joinText(), trimmed) << text;
  }
}

// Keys, indexes, NOT NULL and defaults as the converted file declares them.
TEST(AccessConvertWriting, KeysIndexesAndDefaults) {
  TableDef orders;
  orders.name = "订单";
  orders.columns = {column("ID", ColumnType::Long, "AutoNumber"),
                    column("客户", ColumnType::Text, "Text"),
                    column("金额", ColumnType::Currency, "Currency"),
                    column("日期", ColumnType::DateTime, "Date/Time"),
                    column("付清", ColumnType::YesNo, "Yes/No"),
                    column("附件", ColumnType::Unsupported, "Attachment")};
  orders.columns[0].autoNumber = true;
  orders.columns[1].required = true;
  orders.columns[1].defaultValue = "\"无名\"\"氏\"";
  orders.columns[2].defaultValue = "0";
  orders.columns[3].defaultValue = "=Now()";
  orders.columns[4].defaultValue = "Format(Date(),\"yyyy\")";  // not understood: named in the report
  orders.indexes = {{"PrimaryKey", {{"ID", false}}, true, true},
                    {"客户", {{"客户", false}, {"日期", true}}, false, false}};

  TableDef lines;  // a composite primary key, no AutoNumber
  lines.name = "Lines";
  lines.columns = {column("Order", ColumnType::Long, "Long Integer"),
                   column("Line", ColumnType::Integer, "Integer"), column("Code", ColumnType::Text, "Text")};
  lines.indexes = {{"PrimaryKey", {{"Order", false}, {"Line", false}}, true, true},
                   {"Code", {{"Code", false}}, false, true}};

  TableDef pictures;  // nothing that can be carried
  pictures.name = "Pictures";
  pictures.columns = {column("Files", ColumnType::Unsupported, "Attachment")};

  MemorySource source;
  source.tables.push_back({orders, {}});
  source.tables.push_back({lines, {{Cell::ofInteger(1), Cell::ofInteger(1), Cell::ofText("x")}}});
  source.tables.push_back({pictures, {{Cell::null()}, {Cell::null()}}});
  testing::TempDir dir;
  const fs::path file = dir.path() / "keys.mdb";
  std::ofstream(file).close();
  EXPECT_THROW(convertToSqlite(source, file.string(), {}), ConvertError);  // the attachment column

  fs::remove(file);
  std::ofstream(file).close();
  ConvertOptions skip;
  skip.skipUnsupported = true;
  const ConvertReport report = convertToSqlite(source, file.string(), skip);
  ASSERT_EQ(report.tables.size(), 3u);
  EXPECT_EQ(report.tables[2].rows, 0u);
  EXPECT_NE(report.tables[2].notes.back().find("its 2 rows were left out"), std::string::npos);
  const auto& notes = report.tables[0].notes;
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_NE(notes[0].find("附件"), std::string::npos);
  EXPECT_NE(notes[1].find("Format(Date()"), std::string::npos);

  const auto columns = [&](const std::string& table) {
    return testing::querySql(file,
                             "select name, type, \"notnull\", coalesce(dflt_value, 'NULL'), pk from "
                             "pragma_table_info('" +
                                 table + "') order by cid");
  };
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(columns("订单"),
            (Rows{{"ID", "INTEGER", "0", "NULL", "1"},
                  {"客户", "VARCHAR(50)", "1", "'无名\"氏'", "0"},
                  {"金额", "CURRENCY", "0", "0", "0"},
                  {"日期", "DATETIME", "0", "strftime('%Y-%m-%d %H:%M:%S','now','localtime')", "0"},
                  {"付清", "SMALLINT", "1", "0", "0"}}));
  EXPECT_EQ(columns("Lines"), (Rows{{"Order", "INTEGER", "0", "NULL", "1"},
                                    {"Line", "SMALLINT", "0", "NULL", "2"},
                                    {"Code", "VARCHAR(50)", "0", "NULL", "0"}}));
  EXPECT_EQ(testing::querySql(file,
                              "select name, sql from sqlite_master where type = 'index' and sql is not null "
                              "order by name"),
            (Rows{{"Lines_Code", "CREATE UNIQUE INDEX \"Lines_Code\" ON \"Lines\" (\"Code\")"},
                  {"订单_客户", "CREATE INDEX \"订单_客户\" ON \"订单\" (\"客户\", \"日期\" DESC)"}}));

  // The AutoNumber goes on from the highest number and never hands one out
  // twice; a page's insert fills the defaults.
  auto conn = openFile(file);
  conn->execute("insert into 订单 (ID) values (41)");
  conn->execute("delete from 订单 where ID = 41");
  conn->execute("insert into 订单 (金额) values (1)");
  auto rs = conn->execute("select ID, 客户, 付清 from 订单");
  ASSERT_FALSE(rs->eof());
  EXPECT_EQ(rs->fields().item(0).value().joinText(), "42");
  EXPECT_EQ(rs->fields().item(1).value().joinText(), "无名\"氏");
  EXPECT_EQ(rs->fields().item(2).value().joinText(), "0");
}

TEST(AccessConvertWriting, DefaultsAndNumbersTable) {
  struct DefaultCase {
    const char* expression;
    ColumnType type;
    const char* sql;  // nullptr: not understood
  } defaults[] = {
      {"0", ColumnType::Long, "0"},
      {"-1.5", ColumnType::Double, "-1.5"},
      {"+3", ColumnType::Long, "3"},
      {"Yes", ColumnType::YesNo, "-1"},
      {"False", ColumnType::YesNo, "0"},
      {"1", ColumnType::YesNo, "-1"},
      {"0", ColumnType::YesNo, "0"},
      {"\"a'b\"", ColumnType::Text, "'a''b'"},
      {"'x'", ColumnType::Text, "'x'"},
      {"\"a\" & \"b\"", ColumnType::Text, nullptr},
      {" =Date() ", ColumnType::DateTime, "(strftime('%Y-%m-%d 00:00:00','now','localtime'))"},
      {"Time()", ColumnType::DateTime, "('1899-12-30 ' || strftime('%H:%M:%S','now','localtime'))"},
      {"DLookup(\"x\")", ColumnType::Long, nullptr},
      {"1e5", ColumnType::Long, nullptr},
  };
  for (const auto& c : defaults) {
    const auto got = sqlDefaultOf(c.expression, c.type);
    EXPECT_EQ(got.value_or("(none)"), c.sql ? c.sql : "(none)") << c.expression;
  }
  struct NumberCase {
    const char* text;
    bool isInteger;
    const char* value;  // the integer, or the double at 17 digits
    bool exact;
  } numbers[] = {
      {"42.0000", true, "42", true},
      {"-0.0000", true, "0", true},
      {"3.5000", false, "3.5", true},
      {".5", false, "0.5", true},
      {"-922337203685477.5808", false, "-922337203685477.62", false},
      {"922337203685477", true, "922337203685477", true},
      {"99999999999.9999", false, "99999999999.999893", true},
      {"12345678901234567890", false, "1.2345678901234567e+19", false},
      {"100000000000000000000", false, "1e+20", true},
  };
  for (const auto& c : numbers) {
    const auto n = storedDecimal(c.text);
    ASSERT_TRUE(n) << c.text;
    EXPECT_EQ(n->isInteger, c.isInteger) << c.text;
    EXPECT_EQ(n->isInteger ? std::to_string(n->integer) : g17(n->real), c.value) << c.text;
    EXPECT_EQ(n->exact, c.exact) << c.text;
  }
  for (const char* bad : {"", "-", ".", "1.2.3", "1e5", "abc", " 1"}) EXPECT_FALSE(storedDecimal(bad)) << bad;
}

// ---------------------------------------------------------------------------
// A page on a converted file: connOpen's Access kind opens it with the
// component's own engine; grid, detail table and option list render from it.

class ConvertedSite : public testing::SiteFixture {};

TEST_F(ConvertedSite, PagesRenderFromAConvertedFile) {
  const std::string reason = notRunReason();
  if (!reason.empty()) GTEST_SKIP() << reason;
  const ProgramRun r = convert(kData / "V2003-test.mdb", databaseFile(), dir->path());
  ASSERT_EQ(r.status, 0) << r.err;

  auto p = page();
  const std::string grid =
      p.db->dbSelect(Variant("select E, A, B, H, G from Table1 order by E"), Variant(10), Variant(0),
                     Variant(""), Variant(0), Variant(""), Variant(0), Variant(""))
          .joinText();
  for (const char* cell : {">a<", ">abcdefg<", ">hijklmnop<", ">3.5<", ">1974-09-21<", ">1981-12-12<"}) {
    EXPECT_NE(grid.find(cell), std::string::npos) << cell << " in " << grid;
  }
  p = page();
  const std::string detail =
      p.db->xiangxi(Variant("select * from Table1 where C = 2"), Variant(100), Variant(300), Variant("T"))
          .joinText();
  for (const char* cell : {"hijklmnop", ">222<", ">333333333<", ">444.555<", ">3.5<", ">-1<"}) {
    EXPECT_NE(detail.find(cell), std::string::npos) << cell << " in " << detail;
  }
  p = page();
  EXPECT_EQ(
      p.db->rsDropDownList(Variant("select E, A from Table1 order by E"), Variant("333333333"), Variant())
          .joinText(),
      "<option value=''>请选择</option><option value='0'>a</option>"
      "<option value='333333333' selected>abcdefg</option>");
}

// Chinese names and text through the same path: written from memory, read
// by a page after connOpen.
TEST_F(ConvertedSite, ChineseTextReachesThePage) {
  TableDef def;
  def.name = "类别";
  def.columns = {column("编号", ColumnType::Long, "AutoNumber"), column("名称", ColumnType::Text, "Text")};
  def.columns[0].autoNumber = true;
  MemorySource source;
  source.tables.push_back(
      {def, {{Cell::ofInteger(1), Cell::ofText("办公用品")}, {Cell::ofInteger(2), Cell::ofText("电脑😀")}}});
  std::ofstream(databaseFile()).close();
  convertToSqlite(source, databaseFile().string(), {});
  auto p = page();
  EXPECT_EQ(p.db->rsDropDownList(Variant("select 编号, 名称 from 类别 order by 编号"), Variant(2), Variant(1))
                .joinText(),
            "<option value=''>请选择</option><option value='1'>1.办公用品</option>"
            "<option value='2' selected>2.电脑😀</option>");
}

}  // namespace
}  // namespace kvdn
