// dbWrite and dbWriteGet through the in-memory host over a real SQLite file.
#include <gtest/gtest.h>

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

using testing::querySql;
using Rows = std::vector<std::vector<std::string>>;

const char* const kRefused = "<script>alert('禁止非法访问！');history.go(-1);</script>";
const char* const kSameSite = "http://localhost/list.asp";

// Percent-encodes everything but unreserved ASCII, so any text can be posted.
std::string enc(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// "k1=v1&k2=v2" with both sides encoded.
std::string pairs(const std::vector<std::pair<std::string, std::string>>& kv) {
  std::string out;
  for (const auto& [k, v] : kv) {
    if (!out.empty()) out += '&';
    out += enc(k) + "=" + enc(v);
  }
  return out;
}

class WritersTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase({
        "create table news(ID integer primary key autoincrement, 标题 text, 内容 text, 数量 integer, "
        "时间 datetime, 单号 text, 单号2 text, ip text, 登录密码 text)",
        "create table canary(ID integer primary key, v text)",
        "insert into canary values(1, 'alive')",
    });
  }

  struct Call {
    testing::TestPage page;
    Variant result;
  };

  // One page request: query string, posted form, extra server variables. The
  // referrer is this site unless the variables name another. `connect` false
  // leaves conn nothing, so any database access raises 91.
  testing::TestPage request(std::string query, std::string form = {},
                            std::vector<std::pair<std::string, std::string>> vars = {}, bool connect = true) {
    PageRequest r;
    r.url = "/list.asp";
    r.query = std::move(query);
    r.form = std::move(form);
    bool hasReferrer = false;
    for (const auto& v : vars) hasReferrer = hasReferrer || v.first == "HTTP_REFERER";
    if (!hasReferrer) vars.emplace_back("HTTP_REFERER", kSameSite);
    r.serverVariables = std::move(vars);
    auto p = page(r, connect);
    p.db->setClock([] { return Date::fromParts(2024, 3, 9, 10, 11, 12); });
    return p;
  }

  Call write(std::string query, std::string form = {},
             std::vector<std::pair<std::string, std::string>> vars = {}, bool connect = true) {
    Call c{request(std::move(query), std::move(form), std::move(vars), connect), {}};
    c.result = c.page.db->dbWrite(Variant("news"));
    return c;
  }

  Call writeGet(std::string query, std::vector<std::pair<std::string, std::string>> vars = {}) {
    Call c{request(std::move(query), {}, std::move(vars)), {}};
    c.result = c.page.db->dbWriteGet(Variant("news"));
    return c;
  }

  Rows news(const std::string& columns = "ID, 标题, 内容, 数量") {
    return querySql(databaseFile(), "select " + columns + " from news order by ID");
  }
  void seed() {
    setupDatabase({
        "insert into news(ID, 标题, 内容, 数量, 登录密码) values(3, 'a', 'x', 1, 'oldpw')",
        "insert into news(ID, 标题, 内容, 数量) values(5, 'b', 'y', 2)",
        "insert into news(ID, 标题, 内容, 数量) values(7, 'c', 'z', 3)",
    });
  }
  void expectCanaryAlive() { EXPECT_EQ(querySql(databaseFile(), "select v from canary"), (Rows{{"alive"}})); }
};

// ---------------------------------------------------------------------------
// dbWrite

TEST_F(WritersTest, AcGateAnswersFalseWithoutOutputOrDatabase) {
  for (const char* query : {"", "ac=call&page=2", "ac=adds", "ac=", "ac=%20add", "id=3"}) {
    auto c = write(query, "标题=t", {}, false);  // no connection: any access would raise
    EXPECT_EQ(c.result.type(), VarType::Boolean) << query;
    EXPECT_FALSE(c.result.toBool()) << query;
    EXPECT_EQ(c.page.output(), "") << query;
    EXPECT_FALSE(c.page.ended()) << query;
  }
}

TEST_F(WritersTest, OtherSiteIsRefusedBeforeAnyDatabaseAccess) {
  for (const char* referrer :
       {"http://evil.example/a.asp", "", "http://localhost.evil.example/", "localhost/a.asp"}) {
    auto c = write("ac=add", "标题=t", {{"HTTP_REFERER", referrer}}, false);
    EXPECT_FALSE(c.result.toBool()) << referrer;
    EXPECT_EQ(c.page.output(), kRefused) << referrer;
    EXPECT_TRUE(c.page.ended()) << referrer;
  }
}

TEST_F(WritersTest, AddStoresPostedColumnsAndSkipsSubmitAndAc) {
  auto c = write("ac=ADD", pairs({{"标题", "  hello  "},
                                  {"内容", "world"},
                                  {"数量", "42"},
                                  {"submit", "保存"},
                                  {"ac", "whatever"}}));
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(c.page.output(), "");
  EXPECT_EQ(news(), (Rows{{"1", "hello", "world", "42"}}));
  EXPECT_EQ(c.page.db->rsValue(), nullptr);
  EXPECT_EQ(c.page.db->sqlTextValue().joinText(), "select top 1 * from news");
}

TEST_F(WritersTest, MagicValuesOnAdd) {
  auto c = write("ac=add",
                 pairs({{"标题", "t"},
                        {"时间", "  SerVerTime "},
                        {"单号", "makedanhao"},
                        {"单号2", " MakeDanHao"},
                        {"ip", "SERVERGETIP"}}),
                 {{"REMOTE_ADDR", "10.1.2.3"}});
  ASSERT_TRUE(c.result.toBool());
  // Same number for both fields: the table's next ID, read before the insert.
  EXPECT_EQ(news("时间, 单号, 单号2, ip"),
            (Rows{{"2024-03-09 10:11:12", "2024030001", "2024030001", "10.1.2.3"}}));

  // The forwarded address wins; the sequence is the last four digits of the
  // highest ID plus one.
  setupDatabase({"insert into news(ID, 标题) values(12345, 'big')"});
  c = write("ac=add", pairs({{"单号", "makedanhao"}, {"ip", "servergetip"}}),
            {{"REMOTE_ADDR", "10.1.2.3"}, {"HTTP_X_FORWARDED_FOR", "203.0.113.9"}});
  ASSERT_TRUE(c.result.toBool());
  EXPECT_EQ(querySql(databaseFile(), "select 单号, ip from news where ID=12346"),
            (Rows{{"2024032346", "203.0.113.9"}}));

  // Only whole values are magic.
  c = write("ac=add", pairs({{"标题", "servertime now"}, {"内容", "makedanhao2"}}));
  ASSERT_TRUE(c.result.toBool());
  EXPECT_EQ(querySql(databaseFile(), "select 标题, 内容 from news where ID=12347"),
            (Rows{{"servertime now", "makedanhao2"}}));
}

// Any client sets X-Forwarded-For: "servergetip" takes its first entry only
// when that is an IP address, else the peer's address, in both writers.
TEST_F(WritersTest, ServerGetIpStoresOnlyAnAddress) {
  struct Case {
    const char* forwarded;
    const char* stored;
  } cases[] = {
      {"203.0.113.9", "203.0.113.9"},
      {" 203.0.113.9 , 10.0.0.1", "203.0.113.9"},
      {"2001:db8::7", "2001:db8::7"},
      {"", "10.1.2.3"},
      {"<script>alert(1)</script>{qzmClassx' onmouseover=y_}", "10.1.2.3"},
      {"unknown, 203.0.113.9", "10.1.2.3"},
      {"203.0.113.9<b>", "10.1.2.3"},
      {"[2001:db8::7]:443", "10.1.2.3"},
  };
  int id = 0;
  for (const auto& c : cases) {
    const std::vector<std::pair<std::string, std::string>> vars = {{"REMOTE_ADDR", "10.1.2.3"},
                                                                   {"HTTP_X_FORWARDED_FOR", c.forwarded}};
    auto w = write("ac=add", pairs({{"ip", " ServerGetIP "}}), vars);
    ASSERT_TRUE(w.result.toBool()) << c.forwarded;
    EXPECT_EQ(querySql(databaseFile(), "select ip from news where ID=" + std::to_string(++id)),
              (Rows{{c.stored}}))
        << "dbWrite, " << c.forwarded;
    auto g = writeGet(pairs({{"ip", "servergetip"}}), vars);
    ASSERT_TRUE(g.result.toBool()) << c.forwarded;
    EXPECT_EQ(querySql(databaseFile(), "select ip from news where ID=" + std::to_string(++id)),
              (Rows{{c.stored}}))
        << "dbWriteGet, " << c.forwarded;
  }
}

TEST_F(WritersTest, PasswordFieldsAreDoubleDigestedAndEmptyOnesLeftAlone) {
  seed();
  const std::string digest = "ec0405c5aef93e771cd80e0db180b88b";  // md5(md5("abc"))
  auto c = write("ac=modify&id=3", pairs({{"标题", "a2"}, {"登录密码", "  "}}));
  ASSERT_TRUE(c.result.toBool());
  EXPECT_EQ(news("标题, 登录密码"), (Rows{{"a2", "oldpw"}, {"b", "NULL"}, {"c", "NULL"}}));

  c = write("ac=modify&id=3", pairs({{"登录密码", "abc"}}));
  ASSERT_TRUE(c.result.toBool());
  EXPECT_EQ(querySql(databaseFile(), "select 登录密码 from news where ID=3"), (Rows{{digest}}));

  c = write("ac=add", pairs({{"标题", "n"}, {"登录密码", "abc"}}));
  ASSERT_TRUE(c.result.toBool());
  EXPECT_EQ(querySql(databaseFile(), "select 登录密码 from news where ID=8"), (Rows{{digest}}));
}

TEST_F(WritersTest, ModifyChangesOnlyTheNamedRecord) {
  seed();
  auto c = write("ac=modify&id=5", pairs({{"标题", "B"}, {"数量", "20"}, {"submit", "ok"}}));
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(c.page.output(), "");  // the version notice is empty
  EXPECT_EQ(news(), (Rows{{"3", "a", "x", "1"}, {"5", "B", "y", "20"}, {"7", "c", "z", "3"}}));
  EXPECT_EQ(c.page.db->sqlTextValue().joinText(), "select top 1 * from news where ID=5");
}

TEST_F(WritersTest, EmptyKeysWriteNothing) {
  seed();
  const Rows before = news();
  for (const auto& [query, form] : std::vector<std::pair<std::string, std::string>>{
           {"ac=modify", "标题=first"},
           {"ac=modify&id=", "标题=first"},
           {"ac=modify&id=%20%20", "标题=first"},
           {"ac=del", ""},
           {"ac=del", "delids="},
           {"ac=del", "标题=first"},
       }) {
    auto c = write(query, form);
    EXPECT_FALSE(c.result.toBool()) << query << " " << form;
    EXPECT_EQ(c.page.output(), "") << query;
  }
  EXPECT_EQ(news(), before);
}

TEST_F(WritersTest, DeleteRemovesTickedRecords) {
  seed();
  auto c = write("ac=del", "delids=3&delids=5");  // the host joins them as "3, 5"
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(news(), (Rows{{"7", "c", "z", "3"}}));
  c = write("ac=del", pairs({{"delids", " 7 ,99"}}));
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(news(), Rows{});
}

// A failure reaches the page, and nothing of that request is stored.
TEST_F(WritersTest, FailuresReachThePageAndStoreNothing) {
  seed();
  const Rows before = news();
  struct Case {
    const char* query;
    std::string form;
  } cases[] = {
      {"ac=add", pairs({{"标题", "new"}, {"无此列", "v"}})},
      {"ac=add", pairs({{"标题", "new"}, {"数量", "abc"}})},
      {"ac=modify&id=5", pairs({{"标题", "changed"}, {"无此列", "v"}})},
      {"ac=modify&id=5", pairs({{"标题", "changed"}, {"数量", "1x"}})},
      {"ac=modify&id=99", pairs({{"标题", "ghost"}})},
  };
  for (const auto& c : cases) {
    auto p = request(c.query, c.form);
    EXPECT_NE(errorOf([&] { p.db->dbWrite(Variant("news")); }), 0) << c.query << " " << c.form;
  }
  EXPECT_EQ(news(), before);

  auto p = request("ac=add", "标题=t");
  EXPECT_LT(errorOf([&] { p.db->dbWrite(Variant("nosuchtable")); }), 0);
  auto q = request("ac=add", "标题=t", {}, false);
  EXPECT_EQ(errorOf([&] { q.db->dbWrite(Variant("news")); }), err::kObjectNotSet);
}

// Every statement, count, row write and transaction call of an add, a
// modify and a delete failed in turn (the Nth, once): the page sees an
// error and the table is as before, or it sees success and the whole write.
TEST_F(WritersTest, EveryFailurePointStoresAllOrNothing) {
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  const std::shared_ptr<FakeSwitches> fake = installFakeProvider(*providers);
  registerDataClasses(host->classes(), providers);
  seed();
  const Rows before = news();
  const std::pair<const char*, std::string> writes[] = {
      {"ac=add", pairs({{"标题", "new"}, {"数量", "4"}})},
      {"ac=modify&id=5", pairs({{"标题", "changed"}, {"数量", "9"}})},
      {"ac=del", pairs({{"delids", "3, 7"}})},
  };
  for (const auto& [query, form] : writes) {
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE(std::string(query) + " failing call " + std::to_string(n));
      auto p = request(query, form);
      fake->countdown.reset(n);  // the page's open went through
      const std::int32_t error = errorOf([&] { p.db->dbWrite(Variant("news")); });
      p.db->OnEndPage();
      const bool reached = fake->countdown.calls() >= n;
      fake->countdown.reset(0);
      const Rows after = news();
      if (error != 0 || p.ended()) {
        EXPECT_EQ(after, before) << "a failed write stored something";
      } else {
        EXPECT_NE(after, before) << "a write answered as done stored nothing";
      }
      setupDatabase({"delete from news", "delete from sqlite_sequence"});
      seed();
      if (!reached) {  // no call left to fail: every point was tried
        EXPECT_GT(n, 1u) << "no call of the write was failed";
        break;
      }
    }
  }
}

TEST_F(WritersTest, HostileValuesAreStoredLiterally) {
  const std::vector<std::string> values = {
      "O'Brien",        "'); drop table canary; --",     "\"; delete from news; --",
      "x' or '1'='1",   "1; update canary set v='dead'", "%27 \\ [标题] ` ? :a @b $c",
      "中文，引号‘’“”",
  };
  for (const auto& v : values) {
    auto c = write("ac=add", pairs({{"标题", v}, {"内容", v}}));
    ASSERT_TRUE(c.result.toBool()) << v;
  }
  const Rows rows = news("标题, 内容");
  ASSERT_EQ(rows.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(rows[i], (std::vector<std::string>{values[i], values[i]}));
  expectCanaryAlive();
}

TEST_F(WritersTest, HostileFieldNamesNeverBecomeSql) {
  seed();
  const Rows before = news();
  for (const char* name : {"标题) values ('x'); drop table canary; --", "标题\" = 'x'; drop table canary; --",
                           "[标题]; drop table canary", "标题`", "v from canary; --", "rowid", "标题 "}) {
    auto p = request("ac=modify&id=3", pairs({{name, "x"}}));
    EXPECT_NE(errorOf([&] { p.db->dbWrite(Variant("news")); }), 0) << name;
  }
  EXPECT_EQ(news(), before);
  expectCanaryAlive();
}

TEST_F(WritersTest, HostileKeysAreRefusedLikeAnotherSite) {
  seed();
  const Rows before = news();
  for (const char* id : {"3 or 1=1", "3; drop table canary", "3'--", "0x3", "3.0", "1e2", "3,5", "- 3",
                         "99999999999999999999", "3)"}) {
    auto c = write("ac=modify&id=" + enc(id), pairs({{"标题", "pwned"}}), {}, false);
    EXPECT_FALSE(c.result.toBool()) << id;
    EXPECT_EQ(c.page.output(), kRefused) << id;
  }
  for (const char* ids :
       {"3) or (1=1", "3; drop table canary", "3,,5", "3,", ",3", "3 5", "abc", "3, 5)--", "3,0x5", "3,-"}) {
    auto c = write("ac=del", pairs({{"delids", ids}}), {}, false);
    EXPECT_FALSE(c.result.toBool()) << ids;
    EXPECT_EQ(c.page.output(), kRefused) << ids;
  }
  EXPECT_EQ(news(), before);
  expectCanaryAlive();

  // Blanks around a whole number are fine.
  auto c = write("ac=modify&id=%205%20", pairs({{"标题", "ok"}}));
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(querySql(databaseFile(), "select 标题 from news where ID=5"), Rows{{"ok"}});
}

TEST_F(WritersTest, TableNameMustBeOneIdentifier) {
  seed();
  for (const char* table :
       {"news; drop table canary", "news where 1=1", "news--", "", "[news]]; drop table canary", "1news",
        "news\"", "news,canary", "main..news", "news.", "[news"}) {
    // The form writer raises; the query-string writer answers False quietly.
    auto p = request("ac=add", "标题=x");
    EXPECT_EQ(errorOf([&] { p.db->dbWrite(Variant(table)); }), err::kInvalidCall) << table;
    auto g = request("标题=x", "");
    Variant result;
    EXPECT_EQ(errorOf([&] { result = g.db->dbWriteGet(Variant(table)); }), 0) << table;
    EXPECT_FALSE(result.toBool()) << table;
    EXPECT_EQ(g.output(), "") << table;
  }
  expectCanaryAlive();
  EXPECT_EQ(news().size(), 3u);

  setupDatabase({"create table 用户_2(ID integer primary key, 姓名 text)"});
  for (const char* table : {"用户_2", "[用户_2]", "main.用户_2", "[main].[用户_2]"}) {
    auto c = request("ac=add", pairs({{"姓名", table}}));
    EXPECT_TRUE(c.db->dbWrite(Variant(table)).toBool()) << table;
  }
  EXPECT_EQ(querySql(databaseFile(), "select 姓名 from 用户_2 order by ID"),
            (Rows{{"用户_2"}, {"[用户_2]"}, {"main.用户_2"}, {"[main].[用户_2]"}}));
}

TEST_F(WritersTest, TheKeyColumnIsNeverWrittenFromTheRequest) {
  seed();
  const auto before = news();
  for (const char* key : {"ID", "Id"}) {
    // An add choosing its own key, a modify moving a record to another key.
    auto add = request("ac=add", pairs({{"标题", "new"}, {key, "100"}}));
    EXPECT_LT(errorOf([&] { add.db->dbWrite(Variant("news")); }), 0) << key;
    auto modify = request("ac=modify&id=5", pairs({{"标题", "moved"}, {key, "9"}}));
    EXPECT_LT(errorOf([&] { modify.db->dbWrite(Variant("news")); }), 0) << key;
    auto get = writeGet(pairs({{"标题", "new"}, {key, "100"}}));
    EXPECT_FALSE(get.result.toBool()) << key;
  }
  EXPECT_EQ(news(), before);
}

// ---------------------------------------------------------------------------
// dbWriteGet

TEST_F(WritersTest, GetUpdatesByIdAndInsertsWithoutIt) {
  seed();
  auto c = writeGet(pairs({{"id", "7"}, {"标题", " C "}, {"t", "123"}, {"ac", "modify"}}));
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(c.page.output(), "");
  EXPECT_EQ(news(), (Rows{{"3", "a", "x", "1"}, {"5", "b", "y", "2"}, {"7", "C", "z", "3"}}));

  c = writeGet(pairs({{"t", "0.5"},
                      {"标题", "new"},
                      {"时间", "servertime"},
                      {"内容", "ServerTime"},
                      {"ip", "servergetip"}}),
               {{"REMOTE_ADDR", "10.9.8.7"}});
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(querySql(databaseFile(), "select 标题, 时间, 内容, ip from news where ID=8"),
            (Rows{{"new", "2024-03-09 10:11:12", "ServerTime", "10.9.8.7"}}));
  // No password handling and no document numbers here.
  c = writeGet(pairs({{"单号", "makedanhao"}, {"登录密码", "abc"}}));
  EXPECT_TRUE(c.result.toBool());
  EXPECT_EQ(querySql(databaseFile(), "select 单号, 登录密码 from news where ID=9"),
            (Rows{{"makedanhao", "abc"}}));
}

TEST_F(WritersTest, GetIsAllOrNothingAndQuiet) {
  seed();
  const Rows before = news();
  for (const std::string& query : {
           pairs({{"标题", "half"}, {"无此列", "v"}}),
           pairs({{"标题", "half"}, {"数量", "abc"}}),
           pairs({{"id", "5"}, {"标题", "half"}, {"无此列", "v"}}),
           pairs({{"id", "5"}, {"数量", "2x"}}),
           pairs({{"id", "99"}, {"标题", "ghost"}}),
           pairs({{"标题) values('x'); drop table canary; --", "v"}}),
       }) {
    auto c = writeGet(query);
    EXPECT_FALSE(c.result.toBool()) << query;
    EXPECT_EQ(c.page.output(), "") << query;
    EXPECT_FALSE(c.page.ended()) << query;
    EXPECT_EQ(c.page.db->rsValue(), nullptr) << query;
  }
  EXPECT_EQ(news(), before);
  expectCanaryAlive();

  // Without a connection: False as well, not an error.
  auto p = request(pairs({{"标题", "x"}}), {}, {}, false);
  EXPECT_FALSE(p.db->dbWriteGet(Variant("news")).toBool());
}

TEST_F(WritersTest, GetRefusesOtherSitesAndForgedIds) {
  seed();
  const Rows before = news();
  auto c = writeGet(pairs({{"标题", "x"}}), {{"HTTP_REFERER", "http://evil.example/"}});
  EXPECT_FALSE(c.result.toBool());
  EXPECT_EQ(c.page.output(), kRefused);

  for (const char* id : {"7 or 1=1", "7; drop table canary", "7'", "0x7", "7.5", " "}) {
    c = writeGet(pairs({{"id", id}, {"标题", "pwned"}}));
    EXPECT_FALSE(c.result.toBool()) << id;
    EXPECT_EQ(c.page.output(), "") << id;
    EXPECT_TRUE(c.page.db->sqlTextValue().isEmpty()) << id;  // no statement was even formed
  }
  EXPECT_EQ(news(), before);
  expectCanaryAlive();
}

}  // namespace
}  // namespace kvdn
