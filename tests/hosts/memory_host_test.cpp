#include <gtest/gtest.h>

#include <algorithm>
#include <random>

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

// The collection against a plain model (a list searched key by key, as a
// page sees it) over generated bodies: keys differing only in ASCII case
// are one key, first spelling and order kept, values joined in order.
TEST(UrlEncodedCollection, MatchesAListModel) {
  std::mt19937 random(22);
  const std::vector<std::string> names = {"a", "A", "b", "ab", "aB", "中", "%41", "x+y", "x y", ""};
  for (int round = 0; round < 500; ++round) {
    std::string raw;
    std::vector<std::pair<std::string, std::vector<std::string>>> model;
    const int fields = static_cast<int>(random() % 12);
    for (int i = 0; i < fields; ++i) {
      const std::string key = names[random() % names.size()];
      const std::string value = std::to_string(random() % 100);
      if (!raw.empty() || random() % 4 == 0) raw += '&';  // empty pairs now and then
      raw += key + "=" + value;
      const std::string decoded = percentDecode(key, true);
      auto it =
          std::find_if(model.begin(), model.end(), [&](const auto& e) { return iequals(e.first, decoded); });
      if (it == model.end())
        model.emplace_back(decoded, std::vector<std::string>{value});
      else
        it->second.push_back(value);
    }
    SCOPED_TRACE(raw);
    const UrlEncodedCollection c(raw);
    std::vector<std::string> keys;
    for (const auto& [key, values] : model) {
      keys.push_back(key);
      std::string joined;
      for (const std::string& v : values) joined += (joined.empty() ? "" : ", ") + v;
      EXPECT_EQ(c.item(asciiUpper(key)), joined) << key;
    }
    EXPECT_EQ(c.keys(), keys);
    EXPECT_EQ(urlEncodedFieldCount(raw), static_cast<std::size_t>(fields));
  }
}

// Half a million distinct keys: each new key used to be compared with every
// earlier one (hours for this body; 40,000 keys took 2.8 s).
TEST(UrlEncodedCollection, ManyKeysCostLinearTime) {
  std::string raw;
  constexpr int kKeys = 500000;
  for (int i = 0; i < kKeys; ++i) raw += "k" + std::to_string(i) + "=" + std::to_string(i) + "&";
  const UrlEncodedCollection c(raw);
  EXPECT_EQ(c.keys().size(), static_cast<std::size_t>(kKeys));
  EXPECT_EQ(c.item("K499999"), "499999");
  EXPECT_EQ(urlEncodedFieldCount(raw), static_cast<std::size_t>(kKeys));
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
  for (const std::filesystem::path& r : {root, std::filesystem::path("/srv/site/")}) {
    for (const auto& c : cases) {
      EXPECT_EQ(mapVirtualPath(r, c.url, c.path).native(), std::string(c.expected))
          << r << c.url << " " << c.path;
    }
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
