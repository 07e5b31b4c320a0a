#include "kvdn/text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "kvdn/object.h"

namespace kvdn {
namespace {

TEST(Utf, WellFormedRoundTrips) {
  const char* cases[] = {
      "", "abc", "中文，！", "€", "\xF0\x9F\x98\x80 emoji", "\x7F\xC2\x80\xDF\xBF\xEF\xBF\xBF"};
  for (const char* s : cases) EXPECT_EQ(toUtf8(toUtf16(s)), s);
  EXPECT_EQ(toUtf16("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(toUtf16("中"), std::u16string(u"\u4E2D"));
}

TEST(Utf, MalformedUtf8BecomesReplacementCharacters) {
  struct Case {
    const char* in;
    std::u16string out;
  } cases[] = {
      {"a\x80z", u"a\uFFFDz"},                            // stray continuation
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong '/'
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE4\xB8", u"\uFFFD"},                            // truncated at the end: one replacement
      {"\xE4\xB8z", u"\uFFFDz"},                          // truncated before an ASCII byte
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(toUtf16(c.in), c.out) << c.in;
}

TEST(Utf, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(toUtf8(std::u16string{0xD800}), "\xEF\xBF\xBD");
  EXPECT_EQ(toUtf8(std::u16string{0xDC00, u'a'}),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(toUtf8(std::u16string{0xD83D, u'a', 0xDE00}),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD");
}

TEST(Cp936, CodesAndWidths) {
  struct Case {
    char16_t unit;
    int code, width;
  } cases[] = {
      {u'A', 65, 1},          {u' ', 32, 1}, {0, 0, 1}, {u'\u4E2D', -10544, 2},  // 中
      {u'\uFF0C', -23636, 2},                                                    // full-width comma
      {u'\uFF01', -23647, 2},  // full-width exclamation mark
      {u'\u20AC', 128, 1},     // euro sign, single byte 0x80
      {u'\u0E01', 63, 1},      // Thai: not in the code page
      {0xD83D, 63, 1},         // half of a surrogate pair
      {0xDE00, 63, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ansiCode(c.unit), c.code) << static_cast<int>(c.unit);
    EXPECT_EQ(ansiWidth(c.unit), c.width) << static_cast<int>(c.unit);
  }
}

TEST(Text, ReplaceAllScansOnceWithoutOverlap) {
  struct Case {
    const char* s;
    const char* from;
    const char* to;
    const char* out;
  } cases[] = {
      {"aaa", "aa", "b", "ba"}, {"a'b'c", "'", "''", "a''b''c"},  // the replacement is not scanned again
      {"abc", "x", "y", "abc"}, {"", "a", "b", ""},
      {"abab", "ab", "", ""},   {"abc", "", "x", "abc"},
  };
  for (const auto& c : cases) EXPECT_EQ(replaceAll(c.s, c.from, c.to), c.out) << c.s;
}

TEST(Text, TrimBlanksTrimsSpacesOnly) {
  EXPECT_EQ(trimBlanks("  a b  "), "a b");
  EXPECT_EQ(trimBlanks("   "), "");
  EXPECT_EQ(trimBlanks("\ta\t"), "\ta\t");
  EXPECT_EQ(trimBlanks("\xE3\x80\x80x"), "\xE3\x80\x80x");  // ideographic space stays
}

TEST(Text, LowerCaseLowersEveryLetter) {
  const std::pair<const char*, const char*> cases[] = {
      {"SELECT Users", "select users"},
      {"ÄÖÜ ÀÉÎ Ñ", "äöü àéî ñ"},    // Latin-1
      {"ŁÓDŹ ČESKÝ", "łódź český"},  // Latin Extended-A
      {"ΑΘΗΝΑ", "αθηνα"},            // Greek
      {"ДАННЫЕ", "данные"},          // Cyrillic
      {"ＵＳＥＲＳ", "ｕｓｅｒｓ"},  // full-width letters, as Chinese input methods type them
      {"用户表", "用户表"},          // no case: unchanged
      {"𐐀", "𐐨"},                    // beyond the 16-bit range (Deseret)
      {"a\xFF"
       "B\xC3",
       "a\xFF"
       "b\xC3"},  // malformed bytes pass as they are
      {"\xED\xA0\x80"
       "A",
       "\xED\xA0\x80"
       "a"},  // an encoded surrogate too
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(lowerCase(in), out) << in;
}

TEST(Text, HtmlCellTextEscapesMarkupQuotesAndTokenBraces) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain 文字", "plain 文字"},
      {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"a & \"b\"", "a &amp; &quot;b&quot;"},
      {"x{qzmClassa' onclick=f() b_}", "x&#123;qzmClassa&#39; onclick=f() b_&#125;"},
      {"{qzmLeft2_}abc{_qzmLeft}", "&#123;qzmLeft2_&#125;abc&#123;_qzmLeft&#125;"},
      {"&#123;", "&amp;#123;"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(htmlCellText(in), out) << in;
}

// The one-pass search against the plain one (lower the copy, find each word)
// over generated texts built from the words' pieces in both cases, with
// UTF-8 bytes between them; and the branch-free lowering against tolower.
TEST(Text, CaseBlindSearchAnswersAsLoweringAndFinding) {
  const char* pieces[] = {"RAN",  "dom",    "No", "w",       "cur",   "RENT_",  "chan",
                          "GES",  "sqLite", "_",  "journal", "_MODE", "select", " ",
                          "用户", "\xFF",   "@",  "[",       "`",     "z",      "Z"};
  const auto search = [](std::string_view text, int list) {
    if (list == 0) return containsAnyAsciiNoCase(text, {"journal_mode"});
    if (list == 1) return containsAnyAsciiNoCase(text, {"now", "d"});
    return containsAnyAsciiNoCase(text, {"random", "now", "current_", "changes", "sqlite_"});
  };
  const std::vector<std::vector<std::string_view>> lists = {
      {"journal_mode"}, {"now", "d"}, {"random", "now", "current_", "changes", "sqlite_"}};
  std::mt19937 rng(20261209);
  for (int n = 0; n < 30000; ++n) {
    std::string text;
    for (int k = std::uniform_int_distribution<int>(0, 6)(rng); k > 0; --k)
      text += pieces[std::uniform_int_distribution<std::size_t>(0, std::size(pieces) - 1)(rng)];
    const std::string lower = asciiLower(text);
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto u = static_cast<unsigned char>(text[i]);
      ASSERT_EQ(lower[i], u < 0x80 ? static_cast<char>(std::tolower(u)) : text[i]) << text;
    }
    const int list = n % 3;
    bool expected = false;
    for (std::string_view w : lists[list]) expected = expected || lower.find(w) != std::string::npos;
    ASSERT_EQ(search(text, list), expected) << text << " list " << list;
  }
}

}  // namespace
}  // namespace kvdn
