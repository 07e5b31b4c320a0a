// Connection strings and the choice of a provider.
#include <algorithm>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/provider.h"

namespace kvdn {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

ConnectionString ConnectionString::parse(std::string_view text) {
  ConnectionString cs;
  cs.text_ = std::string(text);
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    std::size_t eq = i;
    while (eq < n && text[eq] != '=' && text[eq] != ';') ++eq;
    if (eq >= n || text[eq] == ';') {  // a piece without "=": ignored
      i = eq + 1;
      continue;
    }
    const std::string_view key = trim(text.substr(i, eq - i));
    std::size_t v = eq + 1;
    while (v < n && isBlank(text[v])) ++v;
    std::string value;
    std::size_t end = v;
    if (v < n && (text[v] == '"' || text[v] == '\'')) {
      const char quote = text[v];
      end = v + 1;
      while (end < n) {
        if (text[end] == quote) {
          if (end + 1 < n && text[end + 1] == quote) {
            value += quote;
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        value += text[end++];
      }
      while (end < n && text[end] != ';') ++end;  // anything after the closing quote is dropped
    } else if (v < n && text[v] == '{') {
      std::size_t close = text.find('}', v);
      std::size_t valueEnd = close == std::string_view::npos ? n : close + 1;
      end = valueEnd;
      while (end < n && text[end] != ';') ++end;
      value = std::string(trim(text.substr(v, end - v)));
    } else {
      while (end < n && text[end] != ';') ++end;
      value = std::string(trim(text.substr(v, end - v)));
    }
    if (!key.empty()) cs.set(key, value);
    i = end + 1;
  }
  return cs;
}

std::optional<std::string> ConnectionString::get(std::string_view key) const {
  for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it) {
    if (iequals(it->first, key)) return it->second;
  }
  return std::nullopt;
}

void ConnectionString::set(std::string_view key, std::string_view value) {
  const std::string_view spelled = trim(key);
  std::string k = asciiLower(spelled);
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    if (pairs_[i].first == k) {
      pairs_[i].second = std::string(value);
      spelled_[i] = std::string(spelled);
      return;
    }
  }
  pairs_.emplace_back(std::move(k), std::string(value));
  spelled_.emplace_back(spelled);
}

void ProviderRegistry::add(std::shared_ptr<Provider> provider) {
  if (provider) providers_.push_back(std::move(provider));
}

std::shared_ptr<Provider> ProviderRegistry::find(const ConnectionString& cs) const {
  for (auto it = providers_.rbegin(); it != providers_.rend(); ++it) {
    if ((*it)->accepts(cs)) return *it;
  }
  // Say what is missing without repeating the string: it may hold a password.
  if (cs.empty()) {
    raise(err::kDbFail, "The connection string is empty: it names no provider and no data source.");
  }
  const std::string provider = asciiLower(cs.value("provider"));
  const std::string driver = asciiLower(cs.value("driver"));
  if (provider == "sqloledb" || provider.rfind("sqlncli", 0) == 0 || provider == "msoledbsql" ||
      driver.find("sql server") != std::string::npos) {
    raise(err::kDbFail, "SQL Server connections need the ODBC provider, which this build does not include.");
  }
  if (driver.find("excel") != std::string::npos) {
    raise(err::kDbFail,
          "Spreadsheet connections need the spreadsheet provider, which this build does not include.");
  }
  if (!provider.empty()) {
    raise(err::kDbFail, "Provider cannot be found. It may not be properly installed. (Provider=" +
                            cs.value("provider") + ")");
  }
  raise(err::kDbFail,
        "The connection string names no provider this build knows (expected Provider=... or Driver=...).");
}

}  // namespace kvdn
