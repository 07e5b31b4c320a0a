// Values written through an updatable recordset are checked against the
// column's declared type before anything is stored, and stored in one form.
#include <gtest/gtest.h>

#include "kvdn/provider.h"
#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

struct WriteCase {
  const char* column;
  Variant value;
  // What SQLite then holds: "typeof|value", or nullptr for a failure.
  const char* stored;
  // The failure when `stored` is nullptr.
  std::int32_t error = err::kDbTypeMismatch;
};

std::ostream& operator<<(std::ostream& os, const WriteCase& c) {
  return os << c.column << " <- " << (c.value.isString() ? "'" + c.value.str() + "'" : c.value.joinText());
}

// Built when the suite is registered, not during static initialisation.
std::vector<WriteCase> cases() {
  const Date kDate = Date::fromParts(2024, 3, 5, 10, 11, 12);
  return {
      {"i", Variant(static_cast<std::int32_t>(5)), "integer|5"},
      {"i", Variant("12"), "integer|12"},
      {"i", Variant(" 7 "), "integer|7"},
      {"i", Variant("2.5"), "real|2.5"},
      {"i", Variant(true), "integer|-1"},
      {"i", Variant(false), "integer|0"},
      {"i", Variant::null(), "null|NULL"},
      {"i", Variant(), "null|NULL"},
      {"i", Variant("abc"), nullptr},
      {"i", Variant(""), nullptr},
      {"i", Variant(kDate), nullptr},
      {"r", Variant("1.25"), "real|1.25"},
      {"r", Variant(0.5), "real|0.5"},
      {"r", Variant("1e3"), "real|1000.0"},  // REAL affinity turns the whole number into a real
      {"r", Variant("x1"), nullptr},
      {"m", Variant("19.99"), "real|19.99"},
      {"m", Variant("free"), nullptr},
      {"d", Variant(kDate), "text|2024-03-05 10:11:12"},
      {"d", Variant("2024-03-05"), "text|2024-03-05 00:00:00"},
      {"d", Variant("2024/3/5 9:08:07"), "text|2024-03-05 09:08:07"},
      {"d", Variant("2024-02-30"), nullptr},
      {"d", Variant("soon"), nullptr},
      {"d", Variant(static_cast<std::int32_t>(45000)), nullptr},
      {"d", Variant::null(), "null|NULL"},
      {"t", Variant("abc"), "text|abc"},
      {"t", Variant(1.5), "text|1.5"},
      {"t", Variant(1e15), "text|1E+15"},
      {"t", Variant(static_cast<std::int64_t>(3000000000LL)), "text|3000000000"},
      {"t", Variant(true), "text|-1"},
      {"t", Variant(kDate), "text|2024-03-05 10:11:12"},
      {"x", Variant(static_cast<std::int32_t>(3)), "integer|3"},
      {"x", Variant("3"), "text|3"},
      // Numbers and dates in the other forms the script engine reads.
      {"i", Variant("1,000"), "integer|1000"},
      {"i", Variant("&H10"), "integer|16"},
      {"i", Variant("&o17"), "integer|15"},
      {"r", Variant("-1,234.5"), "real|-1234.5"},
      {"i", Variant("1e400"), nullptr, err::kOverflow},
      {"r", Variant("-1e400"), nullptr, err::kOverflow},
      {"i", Variant("1,,0"), nullptr},
      {"d", Variant("2024-03-05 14:05"), "text|2024-03-05 14:05:00"},
      {"d", Variant("2024-03-05T14:05"), "text|2024-03-05 14:05:00"},
      {"d", Variant("14:05"), "text|1899-12-30 14:05:00"},
      {"d", Variant("2024/3/5"), "text|2024-03-05 00:00:00"},
      {"d", Variant(" 2024-3-5 9:5 "), "text|2024-03-05 09:05:00"},
      {"d", Variant("2024-03-05 14"), nullptr},
  };
}

class WriteTypesTest : public ::testing::TestWithParam<WriteCase> {
 protected:
  void SetUp() override {
    file = dir.path() / "app.mdb";
    testing::runSql(file,
                    {"CREATE TABLE v (ID INTEGER PRIMARY KEY, i INTEGER, r DOUBLE, m MONEY, d DATETIME, "
                     "t VARCHAR(20), x BLOB)",
                     "INSERT INTO v (ID, i) VALUES (1, 100)"});
    auto providers = std::make_shared<ProviderRegistry>();
    registerStandardProviders(*providers);
    conn = makeConnection(providers);
    conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + file.string());
    rs = makeRecordset(providers);
  }

  std::vector<std::vector<std::string>> stored(const std::string& column, int id) {
    return testing::querySql(file, "SELECT typeof(" + column + ") || '|' || coalesce(" + column +
                                       ", 'NULL') FROM v WHERE ID = " + std::to_string(id));
  }

  testing::TempDir dir;
  std::filesystem::path file;
  std::shared_ptr<Connection> conn;
  std::shared_ptr<Recordset> rs;
};

TEST_P(WriteTypesTest, OnInsert) {
  const WriteCase& c = GetParam();
  rs->open("select top 1 * from v where ID = 0", conn, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  rs->addNew();
  rs->fields().item("ID").setValue(Variant(static_cast<std::int32_t>(2)));
  rs->fields().item(c.column).setValue(c.value);
  if (!c.stored) {
    KVDN_EXPECT_DB_ERROR(rs->update(), c.error);
    EXPECT_TRUE(testing::querySql(file, "SELECT * FROM v WHERE ID = 2").empty());
    return;
  }
  rs->update();
  auto rows = stored(c.column, 2);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], c.stored);
}

TEST_P(WriteTypesTest, OnEditTogetherWithAGoodValue) {
  const WriteCase& c = GetParam();
  rs->open("select top 1 * from v where ID = 1", conn, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  rs->fields().item("t").setValue(Variant("edited"));
  if (std::string_view(c.column) != "t") rs->fields().item(c.column).setValue(c.value);
  if (!c.stored) {
    KVDN_EXPECT_DB_ERROR(rs->update(), c.error);
    EXPECT_EQ(stored("t", 1)[0][0], "null|NULL");  // the good value was not stored either
    EXPECT_EQ(stored("i", 1)[0][0], "integer|100");
    return;
  }
  rs->update();
  if (std::string_view(c.column) != "t") {
    EXPECT_EQ(stored(c.column, 1)[0][0], c.stored);
  }
  EXPECT_EQ(stored("t", 1)[0][0], "text|edited");
}

INSTANTIATE_TEST_SUITE_P(Columns, WriteTypesTest, ::testing::ValuesIn(cases()));

}  // namespace
}  // namespace kvdn
