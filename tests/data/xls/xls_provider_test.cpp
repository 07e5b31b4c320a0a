// The spreadsheet reader behind "ADODB.Connection", on workbooks written by
// make_workbook.py.
#include "xls_provider.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "data/xls/test_workbook.h"
#include "kvdn/data.h"
#include "kvdn/provider.h"
#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

using nlohmann::json;

class XlsProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::make_unique<testing::TempDir>();
    book = dir->path() / "userinfo.xls";
    host = std::make_unique<MemoryHost>(dir->path());
  }

  std::shared_ptr<Connection> openBook(const std::string& driver = "{Microsoft excel Driver (*.xls)}") {
    auto conn = std::dynamic_pointer_cast<Connection>(host->classes().create("ADODB.Connection"));
    EXPECT_NE(conn, nullptr);
    conn->open("Driver=" + driver + ";DBQ=" + book.string());
    return conn;
  }

  static std::vector<std::vector<std::string>> readAll(Recordset& rs) {
    std::vector<std::vector<std::string>> rows;
    for (; !rs.eof(); rs.moveNext()) {
      std::vector<std::string> row;
      for (int i = 0; i < rs.fields().count(); ++i) {
        Variant v = rs.fields().item(i).value();
        row.push_back(v.isNull() ? "<null>" : v.joinText());
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  std::unique_ptr<testing::TempDir> dir;
  std::filesystem::path book;
  std::unique_ptr<MemoryHost> host;
};

const std::vector<testing::TestSheet> kUsers = {
    {"说明", {{"这一页不是用户"}}},
    {"用户",
     {
         {"登录账号", "密码", "姓名", "入职日期", nullptr},
         {"zhang", "e10adc3949ba59abbe56e057f20f883e", "张三", json{{"date", "2024-03-05"}}, 1},
         {nullptr, "nopass", "无账号", nullptr, 2},
         {1001, 123456, "李四", json{{"datetime", "2023-12-31 08:30:00"}}, 3.5},
         {"  ", "", "空白账号", nullptr, nullptr},
     }},
};

TEST_F(XlsProviderTest, ReadsAWorksheetByHeadingsSkippingEmptyAccounts) {
  testing::writeWorkbook(book, kUsers);
  auto conn = openBook();
  auto rs = conn->execute("select 登录账号,密码,姓名 from [用户$] where 登录账号 is not null");
  ASSERT_EQ(rs->fields().count(), 3);
  EXPECT_EQ(rs->fields().item(1).name(), "密码");
  // Numbers come as the workbook stores them (doubles), texts unchanged,
  // a blank-only text is a value, an empty text is Null.
  EXPECT_EQ(readAll(*rs), (std::vector<std::vector<std::string>>{
                              {"zhang", "e10adc3949ba59abbe56e057f20f883e", "张三"},
                              {"1001", "123456", "李四"},
                              {"  ", "<null>", "空白账号"},
                          }));
  rs->close();
  conn->close();
}

TEST_F(XlsProviderTest, ValueTypesAndFieldLookup) {
  testing::writeWorkbook(book, kUsers);
  auto conn = openBook();
  auto rs = conn->execute("SELECT * FROM [用户$]");
  ASSERT_EQ(rs->fields().count(), 5);
  EXPECT_EQ(rs->fields().item(4).name(), "F5");  // an empty heading, named as the original driver did
  ASSERT_FALSE(rs->eof());
  EXPECT_EQ(rs->fields().item("入职日期").value().type(), VarType::Date);
  EXPECT_EQ(rs->fields().item("入职日期").value().joinText(), "2024-03-05");
  EXPECT_EQ(rs->fields().item("f5").value().type(), VarType::Double);
  rs->moveNext();  // the row without an account is there when nothing filters it
  EXPECT_TRUE(rs->fields().item("登录账号").value().isNull());
  EXPECT_EQ(rs->fields().item("密码").value().joinText(), "nopass");
  rs->moveNext();
  EXPECT_EQ(rs->fields().item("登录账号").value().type(), VarType::Double);
  EXPECT_EQ(rs->fields().item("入职日期").value().joinText(), "2023-12-31 08:30:00");
  EXPECT_EQ(rs->fields().item("F5").value().joinText(), "3.5");
}

TEST_F(XlsProviderTest, KeysetRecordsetCountsAndPages) {
  std::vector<std::vector<json>> rows{{"登录账号"}};
  for (int i = 1; i <= 25; ++i) rows.push_back({i % 5 == 0 ? json(nullptr) : json("u" + std::to_string(i))});
  testing::writeWorkbook(book, {{"用户", rows}});
  auto conn = openBook();
  auto rs = std::dynamic_pointer_cast<Recordset>(host->classes().create("adodb.recordset"));
  rs->open("select 登录账号 from [用户$] where 登录账号 is not null", conn, adOpenKeyset, adLockReadOnly);
  EXPECT_EQ(rs->recordCount(), 20);
  rs->setPageSize(6);
  EXPECT_EQ(rs->pageCount(), 4);
  rs->setAbsolutePage(2);
  EXPECT_EQ(rs->fields().item(0).value().joinText(), "u8");
}

TEST_F(XlsProviderTest, DriverNameInAnyCaseWithOrWithoutBraces) {
  testing::writeWorkbook(book, kUsers);
  for (const char* driver : {"{Microsoft Excel Driver (*.xls)}", "{MICROSOFT EXCEL DRIVER (*.XLS)}",
                             "Microsoft excel Driver (*.xls)"}) {
    auto conn = openBook(driver);
    EXPECT_TRUE(conn->isOpen()) << driver;
  }
}

TEST_F(XlsProviderTest, FailuresCarryTheDataLayerNumbers) {
  EXPECT_EQ(errorOf([&] { openBook(); }), err::kDbFail);  // no file
  {
    std::ofstream(book) << "not a workbook at all";
    EXPECT_EQ(errorOf([&] { openBook(); }), err::kDbFail);
  }
  testing::writeWorkbook(book, kUsers);
  auto conn = openBook();
  EXPECT_EQ(errorOf([&] { conn->execute("select 登录账号 from [用户表$]"); }), err::kDbNoSuchTable);
  EXPECT_EQ(errorOf([&] { conn->execute("select 登录账号,手机 from [用户$]"); }), err::kDbNoSuchColumn);
  EXPECT_EQ(errorOf([&] { conn->execute("select 登录账号 from [用户$] where 手机 is not null"); }),
            err::kDbNoSuchColumn);
  EXPECT_EQ(errorOf([&] { conn->execute("delete from [用户$]"); }), err::kDbErrorsInCommand);
  EXPECT_EQ(errorOf([&] { conn->execute("select 登录账号 from [用户$] where 登录账号 = 'x'"); }),
            err::kDbErrorsInCommand);
  EXPECT_NE(errorOf([&] { conn->beginTrans(); }), 0);
}

// A small file whose cells share one text (the workbook stores it once)
// expanded to hundreds of megabytes in the reader; the text is bounded in
// total, whatever the file's size.
TEST_F(XlsProviderTest, TextIsBoundedInTotalNotOnlyTheFile) {
  const std::string shared(16000, 'x');
  std::vector<std::vector<json>> rows = {{"登录账号", "姓名"}};
  for (int i = 0; i < 2200; ++i) rows.push_back({"u" + std::to_string(i), shared});  // 35 MB of text
  testing::writeWorkbook(book, {{"用户", rows}});
  EXPECT_LT(std::filesystem::file_size(book), 200u * 1024);
  try {
    openBook();
    ADD_FAILURE() << "a workbook of 35 MB of text was read";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbFail);
    EXPECT_NE(e.description().find("MB of text"), std::string::npos) << e.description();
  }
  rows.resize(1000);  // 16 MB: taken
  testing::writeWorkbook(book, {{"用户", rows}});
  auto conn = openBook();
  EXPECT_EQ(readAll(*conn->execute("select 登录账号 from [用户$]")).size(), 999u);
}

TEST_F(XlsProviderTest, CursorOutlivingItsSessionRaisesClosed) {
  testing::writeWorkbook(book, kUsers);
  auto provider = makeXlsProvider();
  auto cs = ConnectionString::parse("Driver={Microsoft Excel Driver (*.xls)};DBQ=" + book.string());
  ASSERT_TRUE(provider->accepts(cs));
  EXPECT_FALSE(
      provider->accepts(ConnectionString::parse("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x.mdb")));
  auto session = provider->open(cs);
  auto cursor = session->query("select 姓名 from [用户$]");
  std::vector<Variant> row;
  ASSERT_TRUE(cursor->next(row));
  EXPECT_EQ(row.at(0).joinText(), "张三");
  session->close();
  EXPECT_EQ(errorOf([&] { cursor->next(row); }), err::kDbClosed);
}

}  // namespace
}  // namespace kvdn
