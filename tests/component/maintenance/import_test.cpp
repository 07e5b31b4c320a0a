// The spreadsheet import of accounts and the folder listing, on workbooks
// written by tests/data/xls/make_workbook.py into a temporary site.
#include <gtest/gtest.h>

#include <fstream>

#include "data/xls/test_workbook.h"
#include "kvdn/files.h"
#include "kvdn/provider.h"
#include "support/fake_workbook_reader.h"
#include "support/site_fixture.h"
#include "xls_provider.h"

namespace kvdn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Rows = std::vector<std::vector<std::string>>;

class ImportTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase({
        "create table 用户(ID integer primary key, 登录账号 text collate nocase unique, 密码 text, 姓名 "
        "text)",
        "insert into 用户(ID, 登录账号, 密码, 姓名) values(1, 'admin', 'x', '管理员'), (2, 'old1', 'y', "
        "'旧一'), "
        "(3, 'old2', 'z', '旧二')",
    });
  }

  void writeSheet(std::vector<std::vector<json>> rows, std::string sheet = "用户") {
    testing::writeWorkbook(root / "database" / "userinfo.xls", {{std::move(sheet), std::move(rows)}});
  }

  Rows accounts() {
    return testing::querySql(databaseFile(), "select 登录账号, 密码, 姓名 from 用户 order by ID");
  }

  const Rows kOriginal{{"admin", "x", "管理员"}, {"old1", "y", "旧一"}, {"old2", "z", "旧二"}};
};

TEST_F(ImportTest, ReplacesAccountsAboveIdOneSkippingEmptyLogins) {
  writeSheet({
      {"登录账号", "密码", "姓名"},
      {"zhang", "e10adc3949ba59abbe56e057f20f883e", "张三"},
      {nullptr, "nopass", "无账号"},
      {"li", "明文密码", "李四"},
  });
  auto p = page();
  Variant n = p.db->xlsToDb(Variant("登录账号,密码,姓名"));
  EXPECT_EQ(n.type(), VarType::Long);
  EXPECT_EQ(n.toInt32(), 2);
  EXPECT_EQ(p.output(), "");
  EXPECT_FALSE(p.ended());
  // The password is stored as the spreadsheet holds it: no digest applied.
  EXPECT_EQ(accounts(), (Rows{{"admin", "x", "管理员"},
                              {"zhang", "e10adc3949ba59abbe56e057f20f883e", "张三"},
                              {"li", "明文密码", "李四"}}));
  EXPECT_EQ(p.db->rsValue(), nullptr);
}

TEST_F(ImportTest, NamesMissingFromTheTableOrNotMatchingLeaveColumnsUnset) {
  writeSheet({
      {"登录账号", "密码", "备注"},
      {"zhang", 123456, "新人"},
      {"li", "pw", nullptr},
  });
  {  // 备注 is no column of the table: every row is still added.
    auto p = page();
    EXPECT_EQ(p.db->xlsToDb(Variant("登录账号,密码,备注")).toInt32(), 2);
    EXPECT_EQ(accounts(),
              (Rows{{"admin", "x", "管理员"}, {"zhang", "123456", "NULL"}, {"li", "pw", "NULL"}}));
  }
  {  // Names are not trimmed: " 密码" selects the column but names none when copying.
    auto p = page();
    EXPECT_EQ(p.db->xlsToDb(Variant("登录账号, 密码")).toInt32(), 2);
    EXPECT_EQ(accounts(),
              (Rows{{"admin", "x", "管理员"}, {"zhang", "NULL", "NULL"}, {"li", "NULL", "NULL"}}));
  }
}

TEST_F(ImportTest, FailuresReturnZeroAndLeaveTheAccountsAlone) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* fields;
  } cases[] = {
      {"no spreadsheet", [] {}, "登录账号,密码"},
      {"not a workbook", [this] { std::ofstream(root / "database" / "userinfo.xls") << "garbage"; },
       "登录账号,密码"},
      {"no worksheet 用户",
       [this] {
         writeSheet({{"登录账号"}, {"a"}}, "Sheet1");
       },
       "登录账号"},
      {"a named column missing in the spreadsheet",
       [this] {
         writeSheet({{"登录账号"}, {"a"}});
       },
       "登录账号,密码"},
      {"no 登录账号 heading",
       [this] {
         writeSheet({{"账号", "密码"}, {"a", "b"}});
       },
       "密码"},
      {"a row the table refuses (duplicate login)",
       [this] {
         writeSheet({{"登录账号", "密码"}, {"dup", "1"}, {"new", "2"}, {"DUP", "3"}});
       },
       "登录账号,密码"},
      {"table missing", [this] { setupDatabase({"alter table 用户 rename to 用户备份"}); }, "登录账号"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(root / "database" / "userinfo.xls");
    c.arrange();
    auto p = page();
    Variant n = p.db->xlsToDb(Variant(c.fields));
    EXPECT_EQ(n.toInt32(), 0);
    EXPECT_EQ(p.output(), "");
    EXPECT_FALSE(p.ended());
    p.db->OnEndPage();
    if (fs::exists(databaseFile()) && testing::querySql(databaseFile(),
                                                        "select count(*) from sqlite_master where "
                                                        "name='用户'")[0][0] == "1") {
      EXPECT_EQ(accounts(), kOriginal);
    }
  }
}

TEST_F(ImportTest, NoConnectionReturnsZero) {
  writeSheet({{"登录账号"}, {"a"}});
  auto p = page({}, false);
  EXPECT_EQ(p.db->xlsToDb(Variant("登录账号")).toInt32(), 0);
  EXPECT_EQ(accounts(), kOriginal);
}

TEST_F(ImportTest, NoQualifyingRowsAlsoGivesZero) {
  writeSheet({{"登录账号", "密码"}, {nullptr, "a"}});
  auto p = page();
  EXPECT_EQ(p.db->xlsToDb(Variant("登录账号,密码")).toInt32(), 0);
  EXPECT_EQ(accounts(), (Rows{{"admin", "x", "管理员"}}));  // the import itself succeeded
}

TEST_F(ImportTest, AReaderFailureGivesZeroAndWritesNothing) {
  // The spreadsheet connections of this site read through a reader that
  // fails as the isolated one does when the parser crashes or hangs.
  auto switches = std::make_shared<testing::WorkbookReaderSwitches>();
  auto providers = std::make_shared<ProviderRegistry>();
  registerSqliteProvider(*providers);
  registerXlsProvider(*providers, std::make_shared<testing::FakeWorkbookReader>(switches));
  registerDataClasses(host->classes(), providers);
  writeSheet({{"登录账号", "密码"}, {"zhang", "1"}});

  switches->fail = true;
  {
    auto p = page();
    EXPECT_EQ(p.db->xlsToDb(Variant("登录账号,密码")).toInt32(), 0);
    EXPECT_EQ(p.output(), "");
    EXPECT_FALSE(p.ended());
    EXPECT_EQ(accounts(), kOriginal);
  }
  EXPECT_EQ(switches->reads, 1);
  switches->fail = false;  // the same site imports once the reader works
  auto p = page();
  EXPECT_EQ(p.db->xlsToDb(Variant("登录账号,密码")).toInt32(), 1);
  EXPECT_EQ(accounts(), (Rows{{"admin", "x", "管理员"}, {"zhang", "1", "NULL"}}));
}

// ---------------------------------------------------------------------------
// folderFiles

TEST_F(ImportTest, FolderFilesMatchesTheLastFourCharactersExactly) {
  const fs::path folder = root / "database" / "list";
  fs::create_directories(folder / "sub.bak");  // a folder is not a file
  for (const char* name : {"c.bak", "a.bak", "b.mdb", "备份.bak", "d.BAK", "ak", "x.bak.tmp"}) {
    std::ofstream(folder / name) << "x";
  }
  struct Case {
    Variant folder;
    Variant kzm;
    const char* expected;
  } cases[] = {
      {Variant("database/list"), Variant(".bak"), "a.bak|c.bak|备份.bak"},
      {Variant("database\\list"), Variant(".BAK"), "d.BAK"},
      {Variant("/database/list/"), Variant("bak"), ""},  // three characters never match four
      {Variant("database/list"), Variant(".mdb"), "b.mdb"},
      {Variant("database/list"), Variant(".xls"), ""},
      {Variant("database/list"), Variant("ak"), "ak"},  // a shorter name is compared whole
      {Variant("database/list"), Variant::null(), ""},
  };
  for (const auto& c : cases) {
    auto p = page({}, false);
    EXPECT_EQ(p.db->folderFiles(c.folder, c.kzm).joinText(), c.expected)
        << c.folder.joinText() << " " << c.kzm.joinText();
  }
}

TEST_F(ImportTest, FolderFilesErrorsReachThePage) {
  auto p = page({}, false);
  try {
    p.db->folderFiles(Variant("database/missing"), Variant(".bak"));
    ADD_FAILURE() << "no error for a missing folder";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kPathNotFound);
  }
  try {
    p.db->folderFiles(Variant("../.."), Variant(".bak"));
    ADD_FAILURE() << "no error for a path outside the site";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kInvalidCall);
  }
}

}  // namespace
}  // namespace kvdn
