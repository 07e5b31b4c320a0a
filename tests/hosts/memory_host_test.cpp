#include <gtest/gtest.h>

#include "kvdn/error.h"
#include "kvdn/memory_host.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

TEST(UrlEncodedCollection, ItemsAndKeys) {
  UrlEncodedCollection c("a=1&B=two+words&a=3&c=%E4%B8%AD%2C&empty=&flag");
  EXPECT_EQ(c.item("a"), "1, 3");
  EXPECT_EQ(c.item("A"), "1, 3");
  EXPECT_EQ(c.item("b"), "two words");
  EXPECT_EQ(c.item("c"), "中,");
  EXPECT_EQ(c.item("empty"), "");
  EXPECT_EQ(c.item("flag"), "");
  EXPECT_EQ(c.item("absent"), "");
  EXPECT_EQ(c.keys(), (std::vector<std::string>{"a", "B", "c", "empty", "flag"}));
}

TEST(UrlEncodedCollection, MalformedPercentIsKept) {
  EXPECT_EQ(percentDecode("100%", true), "100%");
  EXPECT_EQ(percentDecode("%zz%4", true), "%zz%4");
  EXPECT_EQ(percentDecode("a+b", false), "a+b");
}

TEST(MapVirtualPath, Rules) {
  const std::filesystem::path root = "/srv/site";
  struct Case {
    const char* url;
    const char* path;
    const char* expected;
  } cases[] = {
      {"/admin/user.asp", "/database/app.mdb", "/srv/site/database/app.mdb"},
      {"/admin/user.asp", "database/app.mdb", "/srv/site/admin/database/app.mdb"},
      {"/admin/user.asp", "database\\#20260101.bak", "/srv/site/admin/database/#20260101.bak"},
      {"/admin/user.asp", "../database/app.mdb", "/srv/site/database/app.mdb"},
      {"/user.asp", "./a/./b", "/srv/site/a/b"},
      {"/admin/user.asp", "", "/srv/site/admin"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mapVirtualPath(root, c.url, c.path), std::filesystem::path(c.expected))
        << c.url << " " << c.path;
  }
  for (const char* outside : {"../x", "/../x", "a/../../x", "..\\..\\etc\\passwd"}) {
    try {
      mapVirtualPath(root, "/user.asp", outside);
      ADD_FAILURE() << outside;
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kInvalidCall);
    }
  }
}

class MemoryHostTest : public testing::SiteFixture {};

TEST_F(MemoryHostTest, RequestServerVariablesAndResponse) {
  PageRequest r;
  r.url = "/admin/user.asp";
  r.query = "ac=modify&id=7";
  r.form = "name=x";
  r.serverVariables = {{"HTTP_REFERER", "http://localhost/admin/user.asp"}};
  auto page = host->newPage(r);
  auto req = page->request();
  EXPECT_EQ(req->serverVariable("Url"), "/admin/user.asp");
  EXPECT_EQ(req->serverVariable("QUERY_STRING"), "ac=modify&id=7");
  EXPECT_EQ(req->serverVariable("http_referer"), "http://localhost/admin/user.asp");
  EXPECT_EQ(req->serverVariable("HTTP_HOST"), "localhost");
  EXPECT_EQ(req->serverVariable("HTTP_X_FORWARDED_FOR"), "");
  EXPECT_EQ(req->queryString().item("id"), "7");
  EXPECT_EQ(req->form().item("NAME"), "x");

  page->response()->write("a");
  page->response()->write("b");
  page->response()->end();
  page->response()->write("c");
  EXPECT_EQ(page->output(), "ab");
  EXPECT_TRUE(page->ended());
}

TEST_F(MemoryHostTest, CreateObjectRegistryAndInjectedFailures) {
  auto page = host->newPage({});
  EXPECT_NE(page->server()->createObject("KVDNASPDLL.DBCLASS"), nullptr);
  try {
    page->server()->createObject("No.Such.Class");
    ADD_FAILURE();
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kInvalidClassString);
    EXPECT_EQ(e.description(), "Invalid class string");
  }
  host->failures().progIds.insert("kvdnaspdll.dbclass");
  EXPECT_THROW(page->server()->createObject("kvdnAspDll.dbClass"), ComError);
  host->failures().mapPath = true;
  EXPECT_THROW(page->server()->mapPath("/x"), ComError);
}

}  // namespace
}  // namespace kvdn
