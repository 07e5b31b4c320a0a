// Scanning text for the library's own use (not part of the public API): one
// UTF-8 decoder and one whole-number parser that every layer shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kvdn {

// Decodes the one well-formed UTF-8 sequence that starts at s[i] and moves i
// past it. Overlong forms, encoded surrogates, values above U+10FFFF, stray
// continuation bytes and sequences cut short are malformed: nullopt, and i
// stays where it was. Expects i < s.size(); never throws.
std::optional<char32_t> decodeUtf8(std::string_view s, std::size_t& i) noexcept;

// `c` lowered when it is an ASCII capital, else as it is. Branch-free, so
// that loops over long texts can do many bytes at a time.
inline char lowerAscii(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return static_cast<char>(u | (static_cast<unsigned char>(u - 'A') < 26u ? 0x20u : 0u));
}

// A whole decimal number and nothing else: an optional "+" or "-", then
// digits; no blanks, no fraction, no exponent, within 64 bits. nullopt for
// anything else ("", "+", "+-1", "1.0", "1e3", " 1", 2^63). Callers that
// allow blanks around the number trim them first. Never throws.
std::optional<std::int64_t> parseWholeNumber(std::string_view text) noexcept;

}  // namespace kvdn
