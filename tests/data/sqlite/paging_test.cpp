// Paging reads one count and the page, never the whole result: the
// statements the engine receives are checked through the fake provider.
#include <gtest/gtest.h>

#include "kvdn/provider.h"
#include "support/fake_provider.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

class PagingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = dir.path() / "app.mdb";
    testing::runSql(file, {"CREATE TABLE rows (ID INTEGER PRIMARY KEY, k TEXT)",
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
                           "INSERT INTO rows SELECT i, printf('k%05d', i) FROM n"});
    providers = std::make_shared<ProviderRegistry>();
    registerStandardProviders(*providers);
    fake = installFakeProvider(*providers);
    conn = makeConnection(providers);
    conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + file.string());
  }

  std::shared_ptr<Recordset> keyset(const std::string& sql) {
    auto rs = makeRecordset(providers);
    rs->open(sql, conn, adOpenKeyset, adLockReadOnly, adCmdUnspecified);
    return rs;
  }

  std::vector<std::int64_t> read(Recordset& rs, int n) {
    std::vector<std::int64_t> ids;
    for (int i = 0; i < n && !rs.eof(); ++i) {
      ids.push_back(rs.fields().item(0).value().integer());
      rs.moveNext();
    }
    return ids;
  }

  static std::vector<std::int64_t> range(std::int64_t from, std::int64_t to, std::int64_t step = 1) {
    std::vector<std::int64_t> v;
    for (std::int64_t i = from; step > 0 ? i <= to : i >= to; i += step) v.push_back(i);
    return v;
  }

  testing::TempDir dir;
  std::filesystem::path file;
  std::shared_ptr<ProviderRegistry> providers;
  std::shared_ptr<FakeSwitches> fake;
  std::shared_ptr<Connection> conn;
};

TEST_F(PagingTest, OnePageCostsOneCountAndThatPage) {
  auto rs = keyset("SELECT ID, k FROM rows ORDER BY ID DESC");
  fake->log.clear();
  // The grid's order of questions: empty? size, page, count, rows.
  EXPECT_FALSE(rs->bof() && rs->eof());
  rs->setPageSize(20);
  EXPECT_EQ(rs->pageCount(), 250);
  rs->setAbsolutePage(125);
  EXPECT_EQ(rs->recordCount(), 5000);
  EXPECT_EQ(read(*rs, 20), range(2520, 2501, -1));
  ASSERT_EQ(fake->log.size(), 2u);
  EXPECT_EQ(fake->log[0], "count: SELECT ID, k FROM rows ORDER BY ID DESC");
  EXPECT_EQ(fake->log[1], "SELECT ID, k FROM rows ORDER BY ID DESC LIMIT 20 OFFSET 2480");
}

TEST_F(PagingTest, ReadingOnPastThePageContinuesWithTheRest) {
  auto rs = keyset("SELECT ID FROM rows ORDER BY ID");
  rs->setPageSize(10);
  rs->setAbsolutePage(499);
  EXPECT_EQ(read(*rs, 25), range(4981, 5000));
  EXPECT_TRUE(rs->eof());
  EXPECT_EQ(rs->absolutePage(), -3);  // adPosEOF
  EXPECT_EQ(fake->log.back(), "SELECT ID FROM rows ORDER BY ID LIMIT -1 OFFSET 4990");
}

TEST_F(PagingTest, IterationWithoutPagingReadsOneStatement) {
  auto rs = keyset("SELECT ID FROM rows WHERE ID <= 30");
  fake->log.clear();
  EXPECT_EQ(read(*rs, 100), range(1, 30));
  // EOF on the unread recordset is answered by the count.
  ASSERT_EQ(fake->log.size(), 1u);
  EXPECT_EQ(fake->log[0], "count: SELECT ID FROM rows WHERE ID <= 30");
}

TEST_F(PagingTest, StatementsThatAlreadyLimitRowsPageWithinTheirLimit) {
  auto rs = keyset("select top 25 ID from rows order by ID desc");
  EXPECT_EQ(rs->recordCount(), 25);
  EXPECT_EQ(rs->pageCount(), 3);
  rs->setAbsolutePage(3);
  EXPECT_EQ(read(*rs, 10), range(4980, 4976, -1));
  EXPECT_TRUE(rs->eof());
}

TEST_F(PagingTest, PagesOfGroupedAndJoinedQueries) {
  auto rs = keyset("SELECT substr(k, 1, 3) AS p, count(*) AS n FROM rows GROUP BY p ORDER BY p");
  EXPECT_EQ(rs->recordCount(), 6);  // k00 .. k05
  rs->setPageSize(4);
  rs->setAbsolutePage(2);
  EXPECT_EQ(rs->fields().item("p").value().str(), "k04");
  EXPECT_EQ(rs->fields().item("n").value().integer(), 1000);
  rs->moveNext();
  EXPECT_EQ(rs->fields().item("n").value().integer(), 1);  // k05000
  rs->moveNext();
  EXPECT_TRUE(rs->eof());
}

TEST_F(PagingTest, AFailingCountIsTheCallersFailure) {
  auto rs = keyset("SELECT ID FROM rows");
  fake->failStatement = true;
  fake->failStatementMatching = "count: ";
  EXPECT_THROW(rs->recordCount(), ComError);
  EXPECT_THROW(rs->setAbsolutePage(1), ComError);
  fake->failStatement = false;
  EXPECT_EQ(rs->recordCount(), 5000);
}

TEST_F(PagingTest, UpdatableRecordsetCountsOnlyWhenAsked) {
  // Opened to edit one row: EOF is answered by reading that row, which the
  // edit needs anyway; the count runs only when RecordCount is read.
  auto rs = makeRecordset(providers);
  rs->open("select top 1 * from rows where ID = 7", conn, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  fake->log.clear();
  EXPECT_FALSE(rs->bof() || rs->eof());
  EXPECT_EQ(rs->fields().item("k").value().str(), "k00007");
  EXPECT_TRUE(fake->log.empty());
  EXPECT_EQ(rs->recordCount(), 1);
  ASSERT_EQ(fake->log.size(), 1u);
  EXPECT_EQ(fake->log[0], "count: select * from rows where ID = 7 LIMIT 1");
  rs->moveNext();
  EXPECT_TRUE(rs->eof());
}

}  // namespace
}  // namespace kvdn
