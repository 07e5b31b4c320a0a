// getLenTitle, alert and fromHostRight.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

TEST(GetLenTitle, ShortensByDisplayWidth) {
  struct Case {
    Variant text;
    Variant width;
    std::string result;
    std::string title;  // "" when the text is not shortened
  } cases[] = {
      {"abcdefghijkl", 10, "abcdefghij…", " title=\"abcdefghijkl\" "},
      {"abcdefghij", 10, "abcdefghij", ""},
      {"ab中文c", 5, "ab中文…", " title=\"ab中文c\" "},  // widths 1, 2, 4, 6
      {"ab中文", 5, "ab中文", ""},                       // the last character reaches the limit
      {"，！ab", 3, "，！…", " title=\"，！ab\" "},      // full-width punctuation counts 2
      {"abc", 0, "a…", " title=\"abc\" "},
      {"abc", -3, "a…", " title=\"abc\" "},
      {"a", 0, "a", ""},
      {"", 5, "", ""},
      {Variant(), 5, "", ""},
      {"abcdef", "3", "abc…", " title=\"abcdef\" "},  // a width given as text
      {std::int32_t{123456}, 3, "123…", " title=\"123456\" "},
      // The full text is escaped for the attribute; the visible part is not.
      {"say \"hi\" & <b>", 3, "say…", " title=\"say &quot;hi&quot; &amp; &lt;b&gt;\" "},
      // A surrogate pair is never cut in half.
      {"😀😀😀", 1, "😀…", " title=\"😀😀😀\" "},
  };
  for (const auto& c : cases) {
    DbClass db;
    const Variant result = db.getLenTitle(c.text, c.width);
    EXPECT_EQ(result.joinText(), c.result) << c.text.joinText() << " / " << c.width.joinText();
    EXPECT_EQ(db.titleAttrValue().joinText(), c.title) << c.text.joinText();
  }
}

TEST(GetLenTitle, KeepsTheTitleWhenNotShortening) {
  DbClass db;
  db.getLenTitle("abcdefghijkl", 10);
  db.getLenTitle("short", 10);
  EXPECT_EQ(db.titleAttrValue().joinText(), " title=\"abcdefghijkl\" ");
}

TEST(GetLenTitle, BadArgumentsGoToTheCaller) {
  DbClass db;
  EXPECT_EQ(errorOf([&] { db.getLenTitle(Variant::null(), 5); }), err::kInvalidNull);
  EXPECT_EQ(errorOf([&] { db.getLenTitle("abc", "wide"); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([&] { db.getLenTitle("abc", Variant::null()); }), err::kInvalidNull);
  EXPECT_EQ(errorOf([&] { db.getLenTitle("abc", 1e12); }), err::kOverflow);
}

class PageHelpersTest : public testing::SiteFixture {};

TEST_F(PageHelpersTest, AlertWritesAnEscapedScriptAndEnds) {
  struct Case {
    Variant msg;
    Variant url;
    std::string expected;
  } cases[] = {
      {"保存成功！", "", "<script>alert('保存成功！');history.go(-1);</script>"},
      {"ok", "list.asp", "<script>alert('ok');this.location.href='list.asp'</script>"},
      {"it's", Variant(), "<script>alert('it\\'s');history.go(-1);</script>"},
      {"a\\b\"c", "", "<script>alert('a\\\\b\\\"c');history.go(-1);</script>"},
      {"one\r\ntwo\u2028three\u2029", "",
       "<script>alert('one\\r\\ntwo\\u2028three\\u2029');history.go(-1);</script>"},
      {"</script><script>steal()</script>", "",
       "<script>alert('<\\/script><script>steal()<\\/script>');history.go(-1);</script>"},
      {"a < b", "x.asp?q=';evil()//",
       "<script>alert('a < b');this.location.href='x.asp?q=\\';evil()//'</script>"},
      {Variant::null(), Variant::null(), "<script>alert('');this.location.href=''</script>"},
      {std::int32_t{42}, "", "<script>alert('42');history.go(-1);</script>"},
  };
  for (const auto& c : cases) {
    auto p = page({}, false);
    p.db->alert(c.msg, c.url);
    EXPECT_EQ(p.output(), c.expected);
    EXPECT_TRUE(p.ended());
  }
}

TEST_F(PageHelpersTest, AlertWithoutAPageRaises) {
  DbClass db;
  EXPECT_EQ(errorOf([&] { db.alert("x", ""); }), err::kObjectNotSet);
}

TEST_F(PageHelpersTest, FromHostRightComparesTheReferrersHost) {
  struct Case {
    const char* referrer;  // nullptr: no Referer header at all
    const char* host;
    bool expected;
  } cases[] = {
      {"http://localhost/a.asp", "localhost", true},
      {"http://LocalHost/a.asp", "localhost", true},
      {"http://localhost/a.asp", "LOCALHOST", true},
      {"https://example.com/admin/list.asp?ac=add", "example.com", true},
      {"HTTPS://Example.COM/x", "example.com", true},
      {"http://example.com:8080/x", "example.com:8080", true},
      {"http://example.com:8080/x", "example.com", false},
      {"http://example.com/x", "example.com:8080", false},
      {"http://example.com", "example.com", true},
      {"http://example.com?a=1", "example.com", true},
      {"http://example.com#top", "example.com", true},
      {"http://other.com/a.asp", "example.com", false},
      {"http://evil.com/http://localhost/", "localhost", false},
      {"http://localhost@evil.com/", "localhost", false},
      {"http://localhost.evil.com/", "localhost", false},
      {"", "localhost", false},
      {nullptr, "localhost", false},
      {"", "", false},
      {"http:///a.asp", "", false},
      {"localhost/a.asp", "localhost", false},
      {"/a.asp", "localhost", false},
      {"://localhost/", "localhost", false},
      {"1http://localhost/", "localhost", false},
      {"ht tp://localhost/", "localhost", false},
  };
  for (const auto& c : cases) {
    PageRequest request;
    request.serverVariables.push_back({"HTTP_HOST", c.host});
    if (c.referrer) request.serverVariables.push_back({"HTTP_REFERER", c.referrer});
    auto p = page(request, false);
    const Variant result = p.db->fromHostRight();
    ASSERT_EQ(result.type(), VarType::Boolean);
    EXPECT_EQ(result.boolean(), c.expected) << (c.referrer ? c.referrer : "(none)") << " vs " << c.host;
    EXPECT_FALSE(p.ended());
  }
}

}  // namespace
}  // namespace kvdn
