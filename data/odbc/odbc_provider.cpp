#include "odbc_provider.h"

#include <filesystem>
#include <mutex>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "odbc_session.h"

namespace kvdn {
namespace odbc {

namespace {

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

// True when `value` is exactly one value in ODBC braces: "{" ... "}" with
// every "}" inside doubled, so that the driver reads it to its very end.
bool isBracedValue(std::string_view value) {
  if (value.size() < 2 || value.front() != '{') return false;
  std::size_t i = 1;
  while (i < value.size()) {
    if (value[i] == '}') {
      if (i + 1 == value.size()) return true;
      if (value[i + 1] != '}') return false;  // the braces would close before the end
      i += 2;
      continue;
    }
    ++i;
  }
  return false;
}

// A value as an ODBC connection string holds it. Plain text stays as it is;
// a value already written in ODBC braces (Driver={PostgreSQL Unicode}) is
// taken as such; anything else that holds a character the grammar reserves,
// or blanks at its ends, is braced with every "}" doubled. A value holding a
// ";" is refused (raises err::kDbFail naming `key`), braced or not: not
// every driver reads braces to their end (FreeTDS took "{x};Server=other"
// as a password and a server), so such a value could add an attribute of
// its own, a server or a database.
std::string odbcValue(std::string_view key, std::string_view value) {
  if (value.find(';') != std::string_view::npos)
    raise(err::kDbFail,
          "The connection string's value of " + std::string(key) +
              " holds a ';', which a driver may read as the start of another attribute: refused");
  const bool plain = value.find_first_of("[]{}(),;?*=!@") == std::string_view::npos &&
                     (value.empty() || (value.front() != ' ' && value.back() != ' '));
  if (plain || isBracedValue(value)) return std::string(value);
  std::string out = "{";
  for (char c : value) {
    if (c == '}') out += '}';
    out += c;
  }
  out += '}';
  return out;
}

// The first of `keys` that the string holds.
std::optional<std::string> firstOf(const ConnectionString& cs, std::initializer_list<std::string_view> keys) {
  for (auto key : keys) {
    if (auto v = cs.get(key)) return v;
  }
  return std::nullopt;
}

// The Debian places of the FreeTDS driver file.
constexpr const char* kFreeTdsFiles[] = {
    "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so",
    "/usr/lib/aarch64-linux-gnu/odbc/libtdsodbc.so",
    "/usr/lib/odbc/libtdsodbc.so",
};

}  // namespace

bool isSqlServerString(const ConnectionString& cs) {
  const std::string provider = asciiLower(cs.value("provider"));
  return provider == "sqloledb" || startsWithNoCase(provider, "sqloledb.") ||
         startsWithNoCase(provider, "sqlncli") || startsWithNoCase(provider, "msoledbsql");
}

bool isOdbcString(const ConnectionString& cs) {
  const std::string provider = asciiLower(cs.value("provider"));
  if (!provider.empty() && provider != "msdasql" && !startsWithNoCase(provider, "msdasql.")) return false;
  if (!cs.value("dsn").empty() || !cs.value("filedsn").empty()) return true;
  const std::string driver = asciiLower(cs.value("driver"));
  return !driver.empty() && driver.find("excel") == std::string::npos;
}

std::string sqlServerConnectionString(const ConnectionString& cs, std::string_view driver) {
  std::string server =
      firstOf(cs, {"server", "data source", "address", "addr", "network address"}).value_or("");
  if (startsWithNoCase(server, "tcp:")) server.erase(0, 4);
  std::string port;
  if (auto comma = server.find(','); comma != std::string::npos) {
    port = server.substr(comma + 1);
    server.erase(comma);
    while (!port.empty() && port.front() == ' ') port.erase(0, 1);
    while (!server.empty() && server.back() == ' ') server.pop_back();
  }
  // The local machine as SQL Server's tools write it.
  std::string host = server.substr(0, server.find('\\'));
  std::string instance = server.size() > host.size() ? server.substr(host.size()) : std::string();
  if (host == "(local)" || host == "." || iequals(host, "(localdb)")) host = "localhost";
  server = host + instance;

  std::string out = "Driver=" + odbcValue("Driver", driver) + ";Server=" + odbcValue("Server", server);
  if (!port.empty()) out += ";Port=" + odbcValue("Port", port);
  const std::optional<std::string> uid = firstOf(cs, {"user id", "uid", "user"});
  const std::optional<std::string> pwd = firstOf(cs, {"password", "pwd"});
  if (uid) out += ";UID=" + odbcValue("UID", *uid);
  if (uid || pwd) out += ";PWD=" + odbcValue("PWD", pwd.value_or(""));
  if (auto database = firstOf(cs, {"database", "initial catalog"}))
    out += ";Database=" + odbcValue("Database", *database);
  if (auto app = firstOf(cs, {"application name", "app"})) out += ";APP=" + odbcValue("APP", *app);
  out += ";ClientCharset=UTF-8";
  return out;
}

std::string passThroughConnectionString(const ConnectionString& cs) {
  const bool overrideUser = cs.has("user id");
  const bool overridePassword = cs.has("password");
  std::string out;
  auto add = [&](std::string_view key, std::string_view value) {
    if (!out.empty()) out += ';';
    out += key;
    out += '=';
    out += odbcValue(key, value);
  };
  for (std::size_t i = 0; i < cs.pairs().size(); ++i) {
    const auto& [key, value] = cs.pairs()[i];
    if (key == "provider") continue;
    if ((key == "uid" && overrideUser) || (key == "pwd" && overridePassword)) continue;
    if (key == "user id") {
      add("UID", value);
    } else if (key == "password") {
      add("PWD", value);
    } else {
      // As the page spelt it: some drivers know their keys in one case only
      // (DBQ, not dbq). A key the grammar cannot carry is refused, not
      // mended: it would be read as something else.
      const std::string& spelled = cs.spelledKey(i);
      if (spelled.find_first_of("[]{}(),;?*=!@") != std::string::npos)
        raise(err::kDbFail, "The connection string holds a key that an ODBC driver cannot read: " + spelled);
      add(spelled, value);
    }
  }
  return out;
}

std::string freeTdsDriver() {
  try {
    auto env = makeEnvironment();
#ifdef _WIN32
    // On Windows the machine's own SQL Server driver ("SQL Server", "ODBC
    // Driver 18 for SQL Server", ...) serves the same strings.
    std::string native = installedDriver(*env, "sql server");
    if (!native.empty()) return "{" + native + "}";
#endif
    std::string registered = installedDriver(*env, "freetds");
    if (!registered.empty()) return "{" + registered + "}";
  } catch (const ComError&) {
    // No driver manager to ask: look for the file.
  }
  for (const char* file : kFreeTdsFiles) {
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) return file;
  }
  return "{FreeTDS}";
}

namespace {

class OdbcProvider final : public Provider {
 public:
  explicit OdbcProvider(Options options) : options_(options) {}

  std::string name() const override { return "ODBC"; }

  bool accepts(const ConnectionString& cs) const override {
    return isSqlServerString(cs) || isOdbcString(cs);
  }

  std::unique_ptr<DataSession> open(const ConnectionString& cs) override {
    std::shared_ptr<Environment> env;
    std::string driver;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!env_) env_ = makeEnvironment();
      env = env_;
      if (isSqlServerString(cs)) {
        if (freeTds_.empty()) freeTds_ = freeTdsDriver();
        driver = freeTds_;
      }
    }
    const std::string odbcString =
        isSqlServerString(cs) ? sqlServerConnectionString(cs, driver) : passThroughConnectionString(cs);
    return openSession(std::move(env), odbcString, options_);
  }

 private:
  Options options_;
  std::mutex mutex_;  // pages open connections from several threads
  std::shared_ptr<Environment> env_;
  std::string freeTds_;
};

}  // namespace

}  // namespace odbc

std::shared_ptr<Provider> makeOdbcProvider(odbc::Options options) {
  return std::make_shared<odbc::OdbcProvider>(options);
}

void registerOdbcProvider(ProviderRegistry& registry) {
  registry.add(makeOdbcProvider());
}

}  // namespace kvdn
