// menuNav through the in-memory host over a real SQLite database.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/provider.h"
#include "support/errors.h"
#include "support/fake_provider.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

const char* const kRefusalScript = "<script>alert('对不起,你没有该权限!');history.go(-1);</script>";

std::string heading(int k, const std::string& name, bool open) {
  const std::string id = std::to_string(k);
  return "<div class='titleNav' onclick=DoMenu('ChildMenu" + id + "')>" + name +
         "</div><ul class='menu' id='ChildMenu" + id + "'" + (open ? ">" : " style ='display:none'>");
}
std::string link(const std::string& file, const std::string& name) {
  return "<li><a href='" + file + "'>" + name + "</a></li>";
}
std::string current(const std::string& name) {
  return "<li class='cMenu'>" + name + "</li>";
}

class MenuNavTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    // Every statement goes through a fake provider that logs it.
    auto providers = std::make_shared<ProviderRegistry>();
    registerStandardProviders(*providers);
    fake = installFakeProvider(*providers);
    registerDataClasses(host->classes(), providers);
    // Text compares case-insensitively, as in the original database.
    setupDatabase({
        "create table 功能模块 (ID integer primary key, 名称 text collate nocase, 文件名 text collate "
        "nocase, "
        "层级 integer, 必选 integer, 顺序 integer)",
        "create table 用户身份 (ID integer primary key, 权限 text collate nocase)",
    });
  }

  // The rows of the sample menu.
  void sampleMenu() {
    setupDatabase({
        "insert into 功能模块 values (1, 'System', '', 0, 0, 1)",
        "insert into 功能模块 values (4, 'Data', '', 0, 0, 2)",
        "insert into 功能模块 values (2, 'Users', 'user.asp', 1, 0, 1)",
        "insert into 功能模块 values (3, 'Password', 'pwd.asp', 1, 1, 2)",
        "insert into 功能模块 values (5, 'New', 'modalForm(''info.asp?ac=add'')', 4, 0, 1)",
    });
  }
  void role(int id, const std::string& rightsLiteral) {
    setupDatabase({"insert into 用户身份 values (" + std::to_string(id) + ", " + rightsLiteral + ")"});
  }

  // A page of the admin folder; the statement log starts empty.
  testing::TestPage at(const std::string& file, const std::string& query = "") {
    PageRequest request;
    request.url = "/admin/" + file;
    request.query = query;
    auto p = page(request);
    fake->log.clear();
    return p;
  }

  std::string menu(const std::string& file, const Variant& roleId, const std::string& query = "") {
    auto p = at(file, query);
    const Variant result = p.db->menuNav(roleId);
    EXPECT_FALSE(p.ended()) << p.output();
    EXPECT_EQ(p.output(), "");
    EXPECT_TRUE(result.isString());
    return result.joinText();
  }

  bool refused(const std::string& file, const Variant& roleId, const std::string& query = "") {
    auto p = at(file, query);
    const Variant result = p.db->menuNav(roleId);
    if (!p.ended()) return false;
    EXPECT_EQ(p.output(), kRefusalScript);
    EXPECT_TRUE(result.isEmpty());
    return true;
  }

  // The statements sent since the page was made; the row counts that keyset
  // cursors take are not the caller's statements.
  std::vector<std::string> statements() const {
    std::vector<std::string> out;
    for (const auto& entry : fake->log) {
      if (entry.rfind("count: ", 0) != 0) out.push_back(entry);
    }
    return out;
  }

  std::shared_ptr<FakeSwitches> fake;
};

// ---------------------------------------------------------------------------
// The sample menu, byte for byte.

TEST_F(MenuNavTest, SampleMenuForAnotherRole) {
  sampleMenu();
  role(2, "'2'");
  auto p = at("pwd.asp");
  const Variant result = p.db->menuNav(Variant(std::int32_t{2}));
  EXPECT_EQ(result.joinText(),
            "<div class='titleNav' onclick=DoMenu('ChildMenu0')>System</div>"
            "<ul class='menu' id='ChildMenu0'><li><a href='user.asp'>Users</a></li>"
            "<li class='cMenu'>Password</li></ul>");
  EXPECT_EQ(p.output(), "");
  EXPECT_EQ(statements().size(), 5u);
  EXPECT_EQ(p.db->sqlTextValue().joinText(),
            "select 名称,文件名,层级 from 功能模块 where ID in (2) or 必选=1 order by 顺序 asc");
  EXPECT_EQ(p.db->rsValue(), nullptr);
}

TEST_F(MenuNavTest, SampleMenuForTheAdministrator) {
  sampleMenu();
  const std::string expected =
      "<div class='titleNav' onclick=DoMenu('ChildMenu0')>System</div>"
      "<ul class='menu' id='ChildMenu0'><li><a href='user.asp'>Users</a></li>"
      "<li class='cMenu'>Password</li></ul>"
      "<div class='titleNav' onclick=DoMenu('ChildMenu1')>Data</div>"
      "<ul class='menu' id='ChildMenu1' style ='display:none'>"
      "<li><a onclick=modalForm('info.asp?ac=add')>New</a></li></ul>";
  // The administrator role however the page holds the number 1; its
  // 用户身份 row is never read (there is none here).
  for (const Variant& id : {Variant(std::int16_t{1}), Variant(std::int32_t{1}), Variant(std::int64_t{1}),
                            Variant(1.0), Variant("1"), Variant(" 1 "), Variant("1.0")}) {
    auto p = at("pwd.asp");
    EXPECT_EQ(p.db->menuNav(id).joinText(), expected) << id.joinText();
    EXPECT_EQ(statements().size(), 3u);
    EXPECT_EQ(p.db->sqlTextValue().joinText(),
              "select 名称,文件名,层级 from 功能模块 where 层级>0 order by 顺序 asc");
  }
}

// ---------------------------------------------------------------------------
// Permission.

TEST_F(MenuNavTest, PermissionMatchesWholeItemsOfTheRights) {
  sampleMenu();
  setupDatabase({"insert into 功能模块 values (6, 'Report', 'report.asp', 4, 0, 2)"});
  struct Case {
    const char* rights;  // SQL literal; NULL row means no 用户身份 row
    const char* file;
    const char* query;
    bool refused;
  } cases[] = {
      {"'2'", "pwd.asp", "", false},     // mandatory, not listed
      {"'2'", "user.asp", "", false},    // listed
      {"'2'", "report.asp", "", true},   // not listed, not mandatory
      {"'6'", "report.asp", "", false},  //
      {"'16'", "report.asp", "", true},  // 6 is not an item of 16
      {"'61'", "report.asp", "", true},  // nor of 61
      {"'2, 6 ,16'", "report.asp", "", false},
      {"' 2,16 , 61'", "report.asp", "", true},
      {"'006'", "report.asp", "", false},  // the same number
      {"'6'", "Report.ASP", "", false},    // the database compares names case-insensitively
      {"'6'", "report.asp", "x=1", true},  // the query string is part of the page key
      {"'6'", "unknown.asp", "", true},    // no module names the page
      {"'2,3,4,5,6'", "unknown.asp", "", true},
      {"''", "pwd.asp", "", false},  // no rights: only mandatory modules
      {"''", "user.asp", "", true},
      {"''", "unknown.asp", "", true},  // an empty list lists no unknown page either
      {"NULL", "pwd.asp", "", false},   // no 用户身份 row for the role
      {"NULL", "user.asp", "", true},
      {"NULL", "unknown.asp", "", true},
  };
  for (const Case& c : cases) {
    setupDatabase({"delete from 用户身份"});
    if (std::string(c.rights) != "NULL") role(2, c.rights);
    EXPECT_EQ(refused(c.file, Variant("2"), c.query), c.refused)
        << c.rights << " " << c.file << "?" << c.query;
    if (c.refused) {
      EXPECT_EQ(statements().size(), 2u) << "nothing runs after the refusal";
    }
  }
}

TEST_F(MenuNavTest, AdministratorIsNeverRefused) {
  sampleMenu();
  EXPECT_EQ(menu("unknown.asp", Variant(1)),
            heading(0, "System", false) + link("user.asp", "Users") + link("pwd.asp", "Password") + "</ul>" +
                heading(1, "Data", false) + "<li><a onclick=modalForm('info.asp?ac=add')>New</a></li></ul>");
  // Reached with a query string, user.asp is another page: nothing is open.
  EXPECT_EQ(menu("user.asp", Variant(1), "type=2").find("cMenu"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The menu's content.

TEST_F(MenuNavTest, ContentOfTheMenu) {
  sampleMenu();
  setupDatabase({
      "insert into 功能模块 values (9, 'Empty', '', 0, 0, 3)",               // a heading without entries
      "insert into 功能模块 values (10, 'Orphan', 'orphan.asp', 99, 1, 1)",  // names no heading
  });
  role(2, "''");
  role(3, "'4'");  // a heading's ID only
  role(4, "'5'");

  const std::string system =
      heading(0, "System", true) + link("user.asp", "Users") + current("Password") + "</ul>";
  const std::string data = "<li><a onclick=modalForm('info.asp?ac=add')>New</a></li></ul>";
  struct Case {
    const char* label;
    Variant role;
    std::string file;
    std::string query;
    std::string expected;
  } cases[] = {
      {"administrator sees every heading", Variant(1), "pwd.asp", "",
       system + heading(1, "Data", false) + data + heading(2, "Empty", false) + "</ul>"},
      {"no rights: mandatory modules only", Variant(2), "pwd.asp", "",
       heading(0, "System", true) + current("Password") + "</ul>"},
      {"a listed heading adds nothing", Variant(3), "pwd.asp", "",
       heading(0, "System", true) + current("Password") + "</ul>"},
      {"another role sees its entries' headings", Variant(4), "pwd.asp", "",
       heading(0, "System", true) + current("Password") + "</ul>" + heading(1, "Data", false) + data},
      // The database finds PWD.asp; the entry, compared exactly, stays a link.
      {"case differs", Variant(1), "PWD.asp", "",
       heading(0, "System", true) + link("user.asp", "Users") + link("pwd.asp", "Password") + "</ul>" +
           heading(1, "Data", false) + data + heading(2, "Empty", false) + "</ul>"},
      // The current page shows without a link even when it is a script call.
      {"current script call", Variant(4), "modalForm('info.asp", "ac=add')",
       heading(0, "System", false) + link("pwd.asp", "Password") + "</ul>" + heading(1, "Data", true) +
           current("New") + "</ul>"},
  };
  for (const Case& c : cases) EXPECT_EQ(menu(c.file, c.role, c.query), c.expected) << c.label;
}

TEST_F(MenuNavTest, ScriptCallNeedsNineLettersInAnyCase) {
  setupDatabase({
      "insert into 功能模块 values (1, 'H', '', 0, 0, 1)",
      "insert into 功能模块 values (2, 'a', 'ModalForm(1)', 1, 0, 1)",
      "insert into 功能模块 values (3, 'b', 'MODALFORM(2)', 1, 0, 2)",
      "insert into 功能模块 values (4, 'c', 'modalfor(3)', 1, 0, 3)",
      "insert into 功能模块 values (5, 'd', 'modal', 1, 0, 4)",
      "insert into 功能模块 values (6, 'e', NULL, 1, 0, 5)",
      "insert into 功能模块 values (7, NULL, 'x.asp', 1, 0, 6)",
  });
  EXPECT_EQ(menu("none.asp", Variant(1)), heading(0, "H", false) + "<li><a onclick=ModalForm(1)>a</a></li>" +
                                              "<li><a onclick=MODALFORM(2)>b</a></li>" +
                                              link("modalfor(3)", "c") + link("modal", "d") + link("", "e") +
                                              link("x.asp", "") + "</ul>");
}

TEST_F(MenuNavTest, HeadingsAreNumberedByPositionInOrder) {
  setupDatabase({
      "insert into 功能模块 values (30, 'Third', '', 0, 0, 3)",
      "insert into 功能模块 values (10, 'First', '', 0, 0, 1)",
      "insert into 功能模块 values (20, 'Second', '', 0, 0, 2)",
      "insert into 功能模块 values (21, 'Page', 'page.asp', 20, 1, 1)",
  });
  EXPECT_EQ(menu("page.asp", Variant(1)), heading(0, "First", false) + "</ul>" + heading(1, "Second", true) +
                                              current("Page") + "</ul>" + heading(2, "Third", false) +
                                              "</ul>");
}

TEST_F(MenuNavTest, IdsAboveSixteenBits) {
  setupDatabase({
      "insert into 功能模块 values (40000, 'Big', '', 0, 0, 1)",
      "insert into 功能模块 values (40001, 'Page', 'big.asp', 40000, 0, 1)",
      "insert into 功能模块 values (70000, 'Other', 'other.asp', 40000, 0, 2)",
  });
  role(2, "'40001'");
  const std::string open = heading(0, "Big", true) + current("Page");
  EXPECT_EQ(menu("big.asp", Variant(1)), open + link("other.asp", "Other") + "</ul>");
  EXPECT_EQ(menu("big.asp", Variant(2)), open + "</ul>");
  // Beyond 32 bits the conversion overflows instead of wrapping around.
  setupDatabase({"update 功能模块 set 层级=4294967296+40000 where ID=70000"});
  auto p = at("big.asp");
  EXPECT_EQ(errorOf([&] { p.db->menuNav(Variant(1)); }), err::kOverflow);
}

TEST_F(MenuNavTest, NoHeadingGivesTheEmptyMenu) {
  // Administrator, empty table.
  EXPECT_EQ(menu("any.asp", Variant(1)), "");
  EXPECT_EQ(statements().size(), 3u);

  // A page that lets every role through (必选 Null) while the role lists
  // nothing and nothing is mandatory: no level at all.
  setupDatabase({"insert into 功能模块 values (1, 'Free', 'free.asp', NULL, NULL, 1)"});
  role(2, "''");
  EXPECT_EQ(menu("free.asp", Variant(2)), "");
  for (const auto& sql : statements()) EXPECT_EQ(sql.find("in ()"), std::string::npos) << sql;

  // Only a Null level: it names no heading.
  setupDatabase({"update 功能模块 set 必选=1"});
  EXPECT_EQ(menu("free.asp", Variant(2)), "");

  // The role lists only a heading: level 0 matches no module.
  setupDatabase({"delete from 功能模块", "insert into 功能模块 values (1, 'H', 'h.asp', 0, 0, 1)",
                 "update 用户身份 set 权限='1'"});
  EXPECT_EQ(menu("h.asp", Variant(2)), "");
  EXPECT_EQ(statements().size(), 5u);
}

// ---------------------------------------------------------------------------
// Hostile input.

TEST_F(MenuNavTest, RoleIdMustBeAWholeNumberBeforeAnyStatement) {
  sampleMenu();
  role(2, "'2'");
  for (const Variant& id :
       {Variant("abc"), Variant(""), Variant(), Variant::null(), Variant("2 or 1=1"), Variant("2;"),
        Variant("1e"), Variant(true), Variant(2.5), Variant("2.5"), Variant("0x1"), Variant("+-2"),
        Variant("--2"), Variant(Date::fromParts(2024, 1, 1))}) {
    auto p = at("pwd.asp");
    EXPECT_EQ(errorOf([&] { p.db->menuNav(id); }), err::kTypeMismatch) << id.joinText();
    EXPECT_TRUE(statements().empty()) << id.joinText();
    EXPECT_EQ(p.output(), "");
  }
  // Whole numbers in any form are role IDs.
  for (const Variant& id : {Variant(2.0), Variant(" 2 "), Variant("2.0"), Variant("+2")}) {
    EXPECT_EQ(menu("pwd.asp", id).substr(0, 10), "<div class") << id.joinText();
  }
  // A role ID that names no role is a role without rights.
  EXPECT_EQ(menu("pwd.asp", Variant(std::int64_t{1} << 40)),
            heading(0, "System", true) + current("Password") + "</ul>");
}

TEST_F(MenuNavTest, RightsMustBeAListOfWholeNumbers) {
  sampleMenu();
  for (const char* rights :
       {"'2) or 1=1 --'", "'2;delete from 功能模块'", "'2,,3'", "'2,'", "','", "',2'", "'abc'", "'2\t3'",
        "'0x10'", "'2.5'", "'1e3'", "'-'", "'99999999999999999999'", "'２'"}) {
    setupDatabase({"delete from 用户身份"});
    role(2, rights);
    auto p = at("pwd.asp");
    EXPECT_EQ(errorOf([&] { p.db->menuNav(Variant(2)); }), err::kTypeMismatch) << rights;
    EXPECT_EQ(statements().size(), 2u) << rights << ": only the module and role statements ran";
    EXPECT_EQ(p.output(), "");
  }
  setupDatabase({"delete from 用户身份"});
  role(2, "NULL");
  auto p = at("pwd.asp");
  EXPECT_EQ(errorOf([&] { p.db->menuNav(Variant(2)); }), err::kInvalidNull);
  EXPECT_EQ(testing::querySql(databaseFile(), "select count(*) from 功能模块")[0][0], "5");
}

TEST_F(MenuNavTest, PageKeyCannotEndItsLiteral) {
  sampleMenu();
  setupDatabase({"insert into 功能模块 values (7, 'Quote', 'o''brien.asp', 4, 0, 2)"});
  role(2, "'7'");
  const std::string collapsed = heading(0, "System", false) + link("user.asp", "Users") +
                                link("pwd.asp", "Password") + "</ul>" + heading(1, "Data", false) +
                                "<li><a onclick=modalForm('info.asp?ac=add')>New</a></li>" +
                                link("o'brien.asp", "Quote") + "</ul>";
  for (const char* query : {"a='1'", "id=1' or '1'='1", "x=1'; delete from 功能模块; --", "'", "''",
                            "q=select top 1 ID from 功能模块", "%27%20or%201=1", "a\\'b"}) {
    EXPECT_EQ(menu("x.asp", Variant(1), query), collapsed) << query;
    EXPECT_TRUE(refused("x.asp", Variant(2), query)) << query;
    // Ending the name with a quote does not reach a real module either.
    EXPECT_TRUE(refused(std::string("pwd.asp") + "' or 文件名='user.asp", Variant(2), query)) << query;
  }
  EXPECT_EQ(testing::querySql(databaseFile(), "select count(*) from 功能模块")[0][0], "6");
  // A quote in a real page name is found and marked.
  EXPECT_EQ(menu("o'brien.asp", Variant(2)), heading(0, "System", false) + link("pwd.asp", "Password") +
                                                 "</ul>" + heading(1, "Data", true) + current("Quote") +
                                                 "</ul>");
}

// ---------------------------------------------------------------------------
// A larger menu: 12 headings of 15 entries, against a plain model of it.

TEST_F(MenuNavTest, LargerMenu) {
  struct Entry {
    int id, level, order;
    bool mandatory;
  };
  std::vector<std::string> sql;
  std::vector<int> headings;  // in display order
  std::vector<Entry> entries;
  for (int h = 0; h < 12; ++h) {
    const int hid = 1000 + 7 * ((h * 5) % 12);  // IDs out of order
    headings.push_back(hid);
    sql.push_back("insert into 功能模块 values (" + std::to_string(hid) + ", 'H" + std::to_string(hid) +
                  "', '', 0, 0, " + std::to_string(h) + ")");
    for (int e = 0; e < 15; ++e) {
      Entry entry{hid * 100 + e, hid, 15 - e, (h + e) % 11 == 0};
      entries.push_back(entry);
      sql.push_back("insert into 功能模块 values (" + std::to_string(entry.id) + ", 'E" +
                    std::to_string(entry.id) + "', 'p" + std::to_string(entry.id) + ".asp', " +
                    std::to_string(hid) + ", " + (entry.mandatory ? "1" : "0") + ", " +
                    std::to_string(entry.order) + ")");
    }
  }
  setupDatabase(sql);
  std::string rights;
  auto listed = [](const Entry& e) { return e.id % 3 == 0 || e.id % 13 == 0; };
  for (const Entry& e : entries) {
    if (listed(e)) rights += (rights.empty() ? "" : " , ") + std::to_string(e.id);
  }
  role(2, "'" + rights + "'");

  const int page = headings[4] * 100 + 6;  // listed: a multiple of 3
  ASSERT_TRUE(page % 3 == 0);
  auto expected = [&](bool administrator) {
    std::string out;
    int k = 0;
    for (int hid : headings) {
      std::vector<Entry> shown;
      for (const Entry& e : entries) {
        if (e.level == hid && (administrator || listed(e) || e.mandatory)) shown.push_back(e);
      }
      if (shown.empty() && !administrator) continue;
      std::stable_sort(shown.begin(), shown.end(),
                       [](const Entry& a, const Entry& b) { return a.order < b.order; });
      out += heading(k++, "H" + std::to_string(hid), hid == headings[4]);
      for (const Entry& e : shown) {
        const std::string id = std::to_string(e.id);
        out += e.id == page ? current("E" + id) : link("p" + id + ".asp", "E" + id);
      }
      out += "</ul>";
    }
    return out;
  };
  const std::string file = "p" + std::to_string(page) + ".asp";
  EXPECT_EQ(menu(file, Variant(1)), expected(true));
  EXPECT_EQ(menu(file, Variant(2)), expected(false));
  EXPECT_EQ(statements().size(), 5u);
}

}  // namespace
}  // namespace kvdn
