// UTF conversions, code page 936 codes and widths, small text helpers.
#include "kvdn/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <iterator>
#include <system_error>

#include "text_scan.h"

namespace kvdn {

namespace {

#include "cp936_table.inc"
#include "lower_table.inc"

constexpr char16_t kReplacement = 0xFFFD;

bool isTrail(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

// Decoding follows the "maximal subpart" rule: a lead byte followed by a
// valid but incomplete continuation becomes one U+FFFD, and each other
// stray byte one U+FFFD of its own. Overlong forms, encoded surrogates and
// values above U+10FFFF are malformed.
std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    int need = 0;
    char32_t cp = 0;
    // Bounds of the second byte narrow the first continuation so that
    // overlongs and surrogates fail at the right place.
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      if (j >= n) {
        ok = false;
        break;
      }
      const unsigned char t = p[j];
      const bool inRange = k == 0 ? (t >= lo && t <= hi) : isTrail(t);
      if (!inRange) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (t & 0x3F);
    }
    if (!ok) {
      out.push_back(kReplacement);
      i = j;  // skip the lead and the valid part of its continuation
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i = j;
  }
  return out;
}

std::string toUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      appendUtf8(out, cp);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::int16_t ansiCode(char16_t unit) noexcept {
  return kCp936Codes[unit];
}

int ansiWidth(char16_t unit) noexcept {
  return std::abs(static_cast<int>(kCp936Codes[unit])) > 255 ? 2 : 1;
}

namespace {

// Which blocks of 256 code points below 0x20000 hold a letter that has a
// lower case (the table ends below that): most text here is Chinese, whose
// blocks hold none and need no search.
const std::array<bool, 0x200>& casedBlocks() noexcept {
  static const std::array<bool, 0x200> blocks = [] {
    std::array<bool, 0x200> b{};
    for (const auto& pair : kLowerPairs) {
      if (pair[0] < 0x20000) b[pair[0] >> 8] = true;
    }
    return b;
  }();
  return blocks;
}

char32_t lowerOf(char32_t cp) noexcept {
  if (cp < 0x20000 && !casedBlocks()[cp >> 8]) return cp;
  const auto* begin = std::begin(kLowerPairs);
  const auto* end = std::end(kLowerPairs);
  const auto* it =
      std::lower_bound(begin, end, cp, [](const std::uint32_t(&pair)[2], char32_t c) { return pair[0] < c; });
  return it != end && (*it)[0] == cp ? static_cast<char32_t>((*it)[1]) : cp;
}

}  // namespace

std::string lowerCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    // A run of ASCII goes over at once and is lowered in place: statement
    // texts are mostly ASCII and run to kilobytes.
    std::size_t end = i;
    while (end < s.size() && static_cast<unsigned char>(s[end]) < 0x80) ++end;
    if (end > i) {
      const std::size_t from = out.size();
      out.append(s.substr(i, end - i));
      for (std::size_t k = from; k < out.size(); ++k) out[k] = lowerAscii(out[k]);
      i = end;
      continue;
    }
    // A byte that starts no well-formed sequence goes through as it is.
    const std::size_t start = i;
    const std::optional<char32_t> cp = decodeUtf8(s, i);
    if (!cp) {
      out.push_back(s[i]);
      ++i;
      continue;
    }
    const char32_t lower = lowerOf(*cp);
    if (lower == *cp) {
      out.append(s.substr(start, i - start));  // as it came: no need to encode it again
    } else {
      appendUtf8(out, lower);
    }
  }
  return out;
}

std::optional<char32_t> decodeUtf8(std::string_view s, std::size_t& i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return static_cast<char32_t>(c);
  }
  std::size_t n = 0;
  char32_t cp = 0;
  char32_t least = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, cp = c & 0x1F, least = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, cp = c & 0x0F, least = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, cp = c & 0x07, least = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + n > s.size()) return std::nullopt;
  for (std::size_t k = 1; k < n; ++k) {
    const auto t = static_cast<unsigned char>(s[i + k]);
    if (!isTrail(t)) return std::nullopt;
    cp = (cp << 6) | (t & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  i += n;
  return cp;
}

std::optional<std::int64_t> parseWholeNumber(std::string_view text) noexcept {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);  // from_chars takes "-" only
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
  // An empty pattern would match everywhere; nothing sensible to replace.
  if (from.empty()) return std::string(s);
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s, pos);
  return out;
}

std::string trimBlanks(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(' ');
  return std::string(s.substr(first, last - first + 1));
}

std::string htmlEscape(std::string_view s, bool apostrophe) {
  std::string out;
  out.reserve(s.size() + 16);
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        if (apostrophe) {
          out += "&#39;";
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string htmlCellText(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 16);
  std::size_t from = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c != '{' && c != '}') continue;
    out += htmlEscape(s.substr(from, i - from));
    out += c == '{' ? "&#123;" : "&#125;";
    from = i + 1;
  }
  out += htmlEscape(s.substr(from));
  return out;
}

}  // namespace kvdn
