#include "writing/client_address.h"

#include <cstddef>

namespace kvdn {

namespace {

bool isDecDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
  return isDecDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isIpv4(std::string_view text) {
  int parts = 0;
  std::size_t i = 0;
  while (true) {
    const std::size_t start = i;
    int value = 0;
    while (i < text.size() && isDecDigit(text[i]) && i - start < 3) value = value * 10 + (text[i++] - '0');
    const std::size_t digits = i - start;
    // "010" could be read as octal by some parsers: refuse leading zeros.
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    ++parts;
    if (i == text.size()) return parts == 4;
    if (text[i] != '.' || parts == 4) return false;
    ++i;
  }
}

bool isIpv6(std::string_view text) {
  if (text.size() < 2) return false;
  int groups = 0;           // 16-bit groups written, an IPv4 tail counting two
  bool compressed = false;  // "::" seen
  std::size_t i = 0;
  if (text.substr(0, 2) == "::") {
    compressed = true;
    i = 2;
    if (i == text.size()) return true;  // "::"
  } else if (text[0] == ':') {
    return false;
  }
  while (true) {
    const std::size_t start = i;
    while (i < text.size() && isHexDigit(text[i]) && i - start < 5) ++i;
    if (i < text.size() && text[i] == '.') {
      // The last 32 bits as an IPv4 address.
      if (!isIpv4(text.substr(start))) return false;
      groups += 2;
      break;
    }
    const std::size_t digits = i - start;
    if (digits == 0 || digits > 4) return false;
    ++groups;
    if (i == text.size()) break;
    if (text[i] != ':') return false;
    ++i;
    if (i < text.size() && text[i] == ':') {
      if (compressed) return false;  // only one "::"
      compressed = true;
      ++i;
      if (i == text.size()) break;
    } else if (i == text.size()) {
      return false;  // a single trailing ":"
    }
  }
  return compressed ? groups <= 7 : groups == 8;
}

}  // namespace

bool isIpAddress(std::string_view text) {
  return isIpv4(text) || isIpv6(text);
}

std::string clientAddressOf(std::string_view forwardedFor, std::string_view remoteAddr) {
  std::string_view first = forwardedFor.substr(0, forwardedFor.find(','));
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!first.empty() && blank(first.front())) first.remove_prefix(1);
  while (!first.empty() && blank(first.back())) first.remove_suffix(1);
  if (isIpAddress(first)) return std::string(first);
  return std::string(remoteAddr);
}

}  // namespace kvdn
