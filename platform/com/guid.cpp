// GUID text forms and HRESULT descriptions.
#include <cstdio>

#include "kvdn/com.h"

namespace kvdn::com {

std::string formatGuid(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `count` hex digits from text[pos]; nullopt when one is not a digit.
std::optional<std::uint32_t> hexField(std::string_view text, std::size_t pos, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    int d = hexDigit(text[pos + i]);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return value;
}

}  // namespace

std::optional<GUID> parseGuid(std::string_view t) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters.
  if (t.size() != 38 || t[0] != '{' || t[37] != '}' || t[9] != '-' || t[14] != '-' || t[19] != '-' ||
      t[24] != '-') {
    return std::nullopt;
  }
  GUID g{};
  auto d1 = hexField(t, 1, 8);
  auto d2 = hexField(t, 10, 4);
  auto d3 = hexField(t, 15, 4);
  if (!d1 || !d2 || !d3) return std::nullopt;
  g.Data1 = *d1;
  g.Data2 = static_cast<std::uint16_t>(*d2);
  g.Data3 = static_cast<std::uint16_t>(*d3);
  const std::size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    auto b = hexField(t, bytePos[i], 2);
    if (!b) return std::nullopt;
    g.Data4[i] = static_cast<std::uint8_t>(*b);
  }
  return g;
}

const char* describeHresult(HRESULT hr) noexcept {
  switch (hr) {
    case S_OK:
      return "Success";
    case S_FALSE:
      return "Success (false)";
    case E_NOINTERFACE:
      return "No such interface supported";
    case E_POINTER:
      return "Invalid pointer";
    case E_UNEXPECTED:
      return "Catastrophic failure";
    case E_OUTOFMEMORY:
      return "Not enough memory resources are available to complete this operation";
    case E_INVALIDARG:
      return "The parameter is incorrect";
    case CLASS_E_NOAGGREGATION:
      return "Class does not support aggregation";
    case CLASS_E_CLASSNOTAVAILABLE:
      return "ClassFactory cannot supply requested class";
    case SELFREG_E_CLASS:
      return "Error in registering the class";
    case CO_E_ERRORINDLL:
      return "Error in the DLL";
    case HRESULT_MOD_NOT_FOUND:
      return "The specified module could not be found";
    default:
      return "Unspecified error";
  }
}

}  // namespace kvdn::com
