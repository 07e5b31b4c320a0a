// Text in UTF-8, counted in UTF-16 code units where a rule counts characters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kvdn/export.h"

namespace kvdn {

// UTF-8 to UTF-16. Malformed bytes become U+FFFD; never throws.
KVDN_API std::u16string toUtf16(std::string_view utf8);
// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD; never throws.
KVDN_API std::string toUtf8(std::u16string_view utf16);

// Code page 936 (GBK as the system converter defines it, 0x80 being the euro
// sign). The code of one UTF-16 unit: 0..255 for a single-byte character,
// lead*256+trail as a signed 16-bit number for a double-byte one (always
// negative), 63 ("?") when the code page cannot represent it (lone
// surrogates included).
KVDN_API std::int16_t ansiCode(char16_t unit) noexcept;
// Display width: 2 when the code page writes the unit in two bytes, else 1.
KVDN_API int ansiWidth(char16_t unit) noexcept;

// Every letter in lower case, as the runtime's LCase: the simple Unicode
// mapping of each character (A to a, Ä to ä, Д to д, Ａ to ａ). Bytes that are
// not well-formed UTF-8 are kept as they are; never throws.
KVDN_API std::string lowerCase(std::string_view s);

// Replace every occurrence of `from` (non-empty) by `to`, scanning once from
// the left, matches not overlapping.
KVDN_API std::string replaceAll(std::string_view s, std::string_view from, std::string_view to);
// Trim blanks (U+0020 only, as the runtime's Trim) at both ends.
KVDN_API std::string trimBlanks(std::string_view s);

// Text made safe for HTML content and for quoted attribute values: &, <, >
// and the double quote become entities, and the apostrophe too unless
// `apostrophe` is false (for a double-quoted attribute whose escaped form is
// fixed).
KVDN_API std::string htmlEscape(std::string_view s, bool apostrophe = true);

// What the SQL function htmlEncode(x) gives for a text, on every provider:
// htmlEscape(s) with "{" and "}" also written as entities (&#123; &#125;), so
// that user text shown in a grid can neither carry markup nor form one of
// the grid's {qzm...} cell tokens. The name of that SQL function is
// kHtmlEncodeFunction.
KVDN_API std::string htmlCellText(std::string_view s);
inline constexpr std::string_view kHtmlEncodeFunction = "htmlEncode";

}  // namespace kvdn
