// Connection strings as a page sets them: parsed, read back, and turned into
// the strings handed to the ODBC driver manager. Whatever a value holds, the
// driver's string has exactly the attributes the page named (a value cannot
// add one: a value holding ";" is refused, braced or not).
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "fuzz_site.h"
#include "kvdn/error.h"
#include "kvdn/provider.h"
#include "odbc_provider.h"

using namespace kvdn;

namespace {
// The attribute keys of an ODBC connection string by the driver manager's
// rules: ";" separates, a value starting with "{" runs to the "}" that is not
// doubled. Lower-cased.
std::multiset<std::string> odbcKeys(std::string_view s) {
  std::multiset<std::string> keys;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t eq = s.find('=', i);
    const std::size_t semi = s.find(';', i);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      if (semi == std::string_view::npos) break;
      i = semi + 1;
      continue;
    }
    std::string key;
    for (char c : s.substr(i, eq - i)) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!key.empty() && key.front() == ' ') key.erase(key.begin());
    while (!key.empty() && key.back() == ' ') key.pop_back();
    keys.insert(key);
    std::size_t j = eq + 1;
    while (j < s.size() && s[j] == ' ') ++j;
    if (j < s.size() && s[j] == '{') {
      ++j;
      while (j < s.size()) {
        if (s[j] == '}') {
          if (j + 1 < s.size() && s[j + 1] == '}') {
            j += 2;
            continue;
          }
          ++j;
          break;
        }
        ++j;
      }
    }
    const std::size_t next = s.find(';', j);
    if (next == std::string_view::npos) break;
    i = next + 1;
  }
  return keys;
}

bool plainKey(const std::string& key) {
  if (key.empty()) return false;
  for (char c : key) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '_') return false;
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::textOf(data, size);
  ConnectionString cs = ConnectionString::parse(text);
  for (const auto& [key, value] : cs.pairs()) {
    if (!cs.get(key)) std::abort();  // every key parsed can be read back
  }
  (void)cs.value("provider");
  // A value holding ";" is refused, braced or not (not every driver reads
  // braces to their end), and so is a key holding a character the ODBC
  // grammar reserves; a string without either never is.
  bool separator = false;
  for (const auto& [key, value] : cs.pairs()) separator = separator || value.find(';') != std::string::npos;
  bool reservedKey = false;
  for (std::size_t i = 0; i < cs.pairs().size(); ++i)
    reservedKey = reservedKey || cs.spelledKey(i).find_first_of("[]{}(),;?*=!@") != std::string::npos;
  try {
    (void)odbc::sqlServerConnectionString(cs, "{FreeTDS}");
  } catch (const ComError& e) {
    if (e.number() != err::kDbFail || !separator) std::abort();
  }
  std::string passed;
  try {
    passed = odbc::passThroughConnectionString(cs);
  } catch (const ComError& e) {
    if (e.number() != err::kDbFail || !(separator || reservedKey)) std::abort();
    return 0;
  }

  // The injection check, where the keys themselves are plain words (a key
  // holding "{" or "=" is the page's own doing, not a value's).
  std::multiset<std::string> expected;
  for (const auto& [key, value] : cs.pairs()) {
    std::string k;
    for (char c : key) k += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!plainKey(k)) return 0;
    if (k != "provider") expected.insert(k);
  }
  const std::multiset<std::string> got = odbcKeys(passed);
  for (const std::string& k : got) {
    if (!expected.count(k) && k != "uid" && k != "pwd") std::abort();  // an attribute no page named
  }
  return 0;
}
