// The digest against OpenSSL (ASCII texts, where it is the standard MD5) and
// against a plain second implementation of the packing (any text).
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/text.h"

namespace kvdn {
namespace {

std::string opensslMd5(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_md5(), nullptr), 1);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

// The message words written plainly from the description: the whole array
// at once, 64-bit arithmetic for the shifted, sign-extended codes.
std::vector<std::uint32_t> referenceWords(const std::string& utf8) {
  const std::u16string text = toUtf16(utf8);
  const std::uint64_t n = text.size();
  std::vector<std::uint32_t> word(16 * ((n + 8) / 64 + 1), 0);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::int64_t code = ansiCode(text[i]);
    const std::uint64_t placed = static_cast<std::uint64_t>(code) << (8 * (i % 4));
    word[i / 4] |= static_cast<std::uint32_t>(placed & 0xFFFFFFFFu);
  }
  word[n / 4] |= static_cast<std::uint32_t>(0x80u) << (8 * (n % 4));
  word[word.size() - 2] = static_cast<std::uint32_t>(n * 8);
  word[word.size() - 1] = static_cast<std::uint32_t>(n >> 29);
  return word;
}

// RFC 1321 in its loop form, constants derived from the sine.
std::string referenceDigest(const std::string& utf8) {
  static const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  std::uint32_t k[64];
  for (int i = 0; i < 64; ++i)
    k[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
  std::uint32_t h[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
  const auto w = referenceWords(utf8);
  for (std::size_t blk = 0; blk < w.size(); blk += 16) {
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f;
      int g;
      if (i < 16)
        f = (b & c) | (~b & d), g = i;
      else if (i < 32)
        f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
      else if (i < 48)
        f = b ^ c ^ d, g = (3 * i + 5) % 16;
      else
        f = c ^ (b | ~d), g = (7 * i) % 16;
      const std::uint32_t sum = a + f + k[i] + w[blk + static_cast<std::size_t>(g)];
      const int s = shifts[i / 16][i % 4];
      a = d;
      d = c;
      c = b;
      b = b + ((sum << s) | (sum >> (32 - s)));
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  char buf[33];
  for (int i = 0; i < 16; ++i) std::snprintf(buf + 2 * i, 3, "%02x", (h[i / 4] >> (8 * (i % 4))) & 0xFF);
  return buf;
}

std::string digest(const Variant& v) {
  Md5Class engine;
  return engine.md5(v);
}

TEST(Md5, KnownDigestsOfDoubleByteText) {
  const auto one = referenceWords("中");
  EXPECT_EQ(one[0], 0xFFFFD6D0u);
  EXPECT_EQ(one[14], 8u);
  const auto two = referenceWords("a中");
  EXPECT_EQ(two[0], 0xFFD6D061u);
  EXPECT_EQ(two[14], 16u);

  EXPECT_EQ(digest("中"), "6cba308f8d5f2b49971dbb43879a078c");
  EXPECT_EQ(digest("a中"), "5ccba97b33a7b638a06b421636e21954");
  EXPECT_EQ(referenceDigest("中"), "6cba308f8d5f2b49971dbb43879a078c");
  EXPECT_EQ(referenceDigest("a中"), "5ccba97b33a7b638a06b421636e21954");
}

TEST(Md5, Rfc1321Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(digest(text), expected) << text;
}

// The fast path takes ASCII as its own code page 936 code.
TEST(Md5, AsciiIsItsOwnCode) {
  for (char16_t c = 0; c < 128; ++c) ASSERT_EQ(ansiCode(c), static_cast<std::int16_t>(c));
}

TEST(Md5, AsciiTextsMatchOpenSsl) {
  std::mt19937 rng(1321);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (std::size_t n : {255u, 256u, 1000u, 4095u, 4096u, 65535u, 65536u, 65600u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    std::string text(n, ' ');
    for (char& c : text) c = static_cast<char>(rng() % 128);
    ASSERT_EQ(digest(text), opensslMd5(text)) << "length " << n;
  }
  // The reference agrees with OpenSSL too, so it can be trusted elsewhere.
  for (std::size_t n : {0u, 55u, 56u, 63u, 64u, 119u, 120u, 1000u}) {
    const std::string text(n, 'x');
    ASSERT_EQ(referenceDigest(text), opensslMd5(text)) << "length " << n;
  }
}

// Chinese, full-width punctuation, Latin letters the code page writes in two
// bytes, characters it cannot write, pairs of surrogates, mixed at every
// alignment and at the lengths around block boundaries.
TEST(Md5, AnyTextMatchesTheReference) {
  const std::vector<std::string> pieces = {"a", "Z", "0",        " ",  "'",  "中", "文", "用户", "，", "！",
                                           "é", "€", "\xC2\x80", "ア", "한", "😀",  "\t", "\n",   "~"};
  std::mt19937 rng(936);
  for (int round = 0; round < 40; ++round) {
    for (std::size_t units : {1u, 3u, 4u, 5u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 121u, 200u}) {
      std::string text;
      while (toUtf16(text).size() < units) text += pieces[rng() % pieces.size()];
      ASSERT_EQ(digest(text), referenceDigest(text)) << text;
    }
  }
  const std::string chinese = [] {
    std::string s;
    for (int i = 0; i < 65536 / 3; ++i) s += (i % 7 == 0) ? "a" : "汉";
    return s;
  }();
  EXPECT_EQ(digest(chinese), referenceDigest(chinese));
  // 64 ASCII characters after a Chinese one: the block fast path must not
  // start off a block boundary.
  const std::string shifted = "中" + std::string(200, 'q');
  EXPECT_EQ(digest(shifted), referenceDigest(shifted));
}

TEST(Md5, MalformedUtf8CountsAsTheLibraryDecodesIt) {
  for (const std::string& text :
       {std::string("ab\xFF"), std::string("\xE4\xB8"), std::string("x\xED\xA0\x80y"),
        std::string("\xC0\xAF") + std::string(70, 'k'), std::string("中\x80中")}) {
    EXPECT_EQ(digest(text), referenceDigest(text));
  }
}

TEST(Md5, ValuesUseTheirTextForm) {
  EXPECT_EQ(digest(Variant()), digest(""));
  EXPECT_EQ(digest(Variant(std::int32_t{123})), digest("123"));
  EXPECT_EQ(digest(Variant(std::int16_t{-7})), digest("-7"));
  EXPECT_EQ(digest(Variant(1.5)), digest("1.5"));
  EXPECT_EQ(digest(Variant(true)), digest("True"));
  EXPECT_EQ(digest(Variant(Date::fromParts(2024, 1, 2))), digest("2024-01-02"));
}

TEST(Md5, NullRaisesInvalidUseOfNull) {
  Md5Class engine;
  std::vector<Variant> args{Variant::null()};
  DbClass db;
  const auto expect94 = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kInvalidNull);
    }
  };
  expect94([&] { engine.md5(Variant::null()); });
  expect94([&] { engine.invoke("md5", args); });
  expect94([&] { db.md5(Variant::null()); });
}

TEST(Md5, DbClassUsesAFreshEngineByName) {
  DbClass db;
  for (const char* text : {"", "password", "密码123"}) EXPECT_EQ(db.md5(text), digest(text));
  const ObjectPtr first = db.md5EngineValue().object();
  EXPECT_NE(std::dynamic_pointer_cast<Md5Class>(first), nullptr);
  db.md5("again");
  EXPECT_NE(db.md5EngineValue().object(), first);

  // Through late binding, as pages call both classes.
  std::vector<Variant> args{Variant("abc")};
  EXPECT_EQ(db.invoke("MD5", args).toString(), "900150983cd24fb0d6963f7d28e17f72");
  Md5Class engine;
  EXPECT_EQ(engine.invoke("Md5", args).toString(), "900150983cd24fb0d6963f7d28e17f72");
  std::vector<Variant> none;
  EXPECT_THROW(engine.invoke("md5", none), ComError);
  EXPECT_THROW(engine.invoke("sha1", args), ComError);
}

}  // namespace
}  // namespace kvdn
