// Workbooks that crashed the server (FreeXL faults found by fuzzing, kept in
// tests/data/xls/crash/): reading one is an ordinary failure of the connection,
// and an import from one returns 0 and changes nothing. Any file dropped
// into that folder becomes a case.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "data/xls/test_workbook.h"
#include "kvdn/data.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

std::vector<fs::path> crashingWorkbooks() {
  std::vector<fs::path> files;
  for (const auto& entry :
       fs::directory_iterator(fs::path(KVDN_SOURCE_DIR) / "tests" / "data" / "xls" / "crash")) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class CrashingWorkbookTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase({
        "create table 用户(ID integer primary key, 登录账号 text collate nocase unique, 密码 text)",
        "insert into 用户(ID, 登录账号, 密码) values(1, 'admin', 'x'), (2, 'old', 'y')",
    });
  }
  Rows accounts() {
    return testing::querySql(databaseFile(), "select ID, 登录账号, 密码 from 用户 order by ID");
  }
};

TEST_F(CrashingWorkbookTest, ReadingOneIsAnOrdinaryFailure) {
  const auto files = crashingWorkbooks();
  ASSERT_GE(files.size(), 2u);
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    auto conn = std::dynamic_pointer_cast<Connection>(host->classes().create("ADODB.Connection"));
    ASSERT_NE(conn, nullptr);
    try {
      conn->open("Driver={Microsoft excel Driver (*.xls)};DBQ=" + file.string());
      ADD_FAILURE() << "a crashing workbook opened";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kDbFail);
      EXPECT_NE(e.description().find(file.string()), std::string::npos) << e.description();
    }
    EXPECT_FALSE(conn->isOpen());
  }
}

TEST_F(CrashingWorkbookTest, ImportingOneGivesZeroAndWritesNothing) {
  const Rows before = accounts();
  for (const auto& file : crashingWorkbooks()) {
    SCOPED_TRACE(file.filename().string());
    fs::copy_file(file, root / "database" / "userinfo.xls", fs::copy_options::overwrite_existing);
    auto p = page();
    EXPECT_EQ(p.db->xlsToDb(Variant("登录账号,密码")).toInt32(), 0);
    EXPECT_EQ(p.output(), "");
    EXPECT_FALSE(p.ended());
    p.db->OnEndPage();
    EXPECT_EQ(accounts(), before);
  }
  // And this process goes on reading sound workbooks.
  testing::writeWorkbook(root / "database" / "userinfo.xls",
                         {{"用户", {{"登录账号", "密码"}, {"zhang", "1"}}}});
  auto p = page();
  EXPECT_EQ(p.db->xlsToDb(Variant("登录账号,密码")).toInt32(), 1);
  EXPECT_EQ(accounts(), (Rows{{"1", "admin", "x"}, {"2", "zhang", "1"}}));
}

}  // namespace
}  // namespace kvdn
