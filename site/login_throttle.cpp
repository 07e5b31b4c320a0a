// Failed logins per account and per address (see LoginThrottle in site.h).
#include <algorithm>
#include <string>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/page.h"
#include "kvdn/text.h"
#include "site.h"

namespace site {

namespace {}  // namespace

bool LoginThrottle::makeRoom(std::map<std::string, Entry>& table, int free, Clock::time_point now) {
  if (table.size() < kMaxEntries) return true;
  std::erase_if(table, [&](const auto& entry) { return now - entry.second.last > kForget; });
  if (table.size() < kMaxEntries) return true;
  // The oldest entry that holds no one back: dropping a key that must
  // still wait would let a flood of failures on other keys release it.
  auto oldest = table.end();
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (wait(table, it->first, free, now) == 0 &&
        (oldest == table.end() || it->second.last < oldest->second.last))
      oldest = it;
  }
  if (oldest == table.end()) return false;
  table.erase(oldest);
  return true;
}

long long LoginThrottle::wait(const std::map<std::string, Entry>& table, const std::string& key, int free,
                              Clock::time_point now) {
  auto it = table.find(key);
  if (it == table.end() || it->second.failures < free) return 0;
  if (now - it->second.last > kForget) return 0;
  // 2 s after the free failures are used up, doubling with each further one.
  const int over = std::min(it->second.failures - free, 20);
  const auto delay = std::min<std::chrono::seconds>(std::chrono::seconds(2LL << over), kMaxDelay);
  const auto left = it->second.last + delay - now;
  if (left <= Clock::duration::zero()) return 0;
  return std::chrono::ceil<std::chrono::seconds>(left).count();
}

int LoginThrottle::bump(std::map<std::string, Entry>& table, const std::string& key, int free,
                        Clock::time_point now) {
  auto it = table.find(key);
  if (it == table.end()) {
    // Every entry holds someone back: this key goes uncounted (the other
    // table still counts the failure) rather than release one of them.
    if (!makeRoom(table, free, now)) return 1;
    it = table.emplace(key, Entry{}).first;
  } else if (now - it->second.last > kForget) {
    it->second.failures = 0;
  }
  ++it->second.failures;
  it->second.last = now;
  return it->second.failures;
}

long long LoginThrottle::waitSeconds(std::string_view account, std::string_view address,
                                     Clock::time_point now) {
  const std::string accountKey = kvdn::asciiLower(account);
  if (!database_.empty()) {
    auto conn = connect();
    const Table rows = read(*conn, {"a:" + accountKey, "ip:" + std::string(address)}, now);
    return std::max(wait(rows, "a:" + accountKey, kFreeFailures, now),
                    wait(rows, "ip:" + std::string(address), kFreeFailuresPerAddress, now));
  }
  std::lock_guard lock(mutex_);
  return std::max(wait(accounts_, accountKey, kFreeFailures, now),
                  wait(addresses_, std::string(address), kFreeFailuresPerAddress, now));
}

LoginThrottle::Counts LoginThrottle::failed(std::string_view account, std::string_view address,
                                            Clock::time_point now) {
  const std::string accountKey = kvdn::asciiLower(account);
  Counts counts;
  if (!database_.empty()) {
    const std::string a = "a:" + accountKey;
    const std::string ip = "ip:" + std::string(address);
    auto conn = connect();
    Table rows = read(*conn, {a, ip}, now);
    counts.account = bump(rows, a, kFreeFailures, now);
    counts.address = bump(rows, ip, kFreeFailuresPerAddress, now);
    write(*conn, rows, {a, ip}, now);
    return counts;
  }
  std::lock_guard lock(mutex_);
  counts.account = bump(accounts_, accountKey, kFreeFailures, now);
  counts.address = bump(addresses_, std::string(address), kFreeFailuresPerAddress, now);
  return counts;
}

void LoginThrottle::succeeded(std::string_view account) {
  if (!database_.empty()) {
    connect()->execute("delete from kvdn_login_failures where name='" +
                       sqlLiteral("a:" + kvdn::asciiLower(account)) + "'");
    return;
  }
  std::lock_guard lock(mutex_);
  accounts_.erase(kvdn::asciiLower(account));
}

void LoginThrottle::clear() {
  std::lock_guard lock(mutex_);
  accounts_.clear();
  addresses_.clear();
  auditWindow_ = {};
  audited_ = 0;
  unaudited_ = 0;
}

LoginThrottle::AuditTurn LoginThrottle::auditFailure(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  AuditTurn turn;
  if (now - auditWindow_ >= kAuditWindow) {
    turn.unauditedBefore = unaudited_;
    auditWindow_ = now;
    audited_ = 0;
    unaudited_ = 0;
  }
  turn.write = audited_ < kAuditedPerWindow;
  if (turn.write)
    ++audited_;
  else
    ++unaudited_;
  return turn;
}

void LoginThrottle::useDatabase(const std::string& connectionString) {
  database_ = connectionString;
  auto conn = connect();
  try {
    conn->execute("select count(*) from kvdn_login_failures");
  } catch (const kvdn::ComError& e) {
    if (e.number() != kvdn::err::kDbNoSuchTable) throw;
    try {
      conn->execute(
          "create table kvdn_login_failures (name varchar(300) primary key, failures integer not null, "
          "last_ms bigint not null)");
    } catch (const kvdn::ComError&) {
      // Made meanwhile by another process starting at the same moment, or
      // this failure stands.
      conn->execute("select count(*) from kvdn_login_failures");
    }
  }
}

std::shared_ptr<kvdn::Connection> LoginThrottle::connect() {
  kvdn::ClassRegistry classes;
  kvdn::registerStandardClasses(classes);
  auto conn = std::dynamic_pointer_cast<kvdn::Connection>(classes.create("ADODB.Connection"));
  if (!conn) kvdn::raise(kvdn::err::kTypeMismatch, "unexpected class behind a standard ProgID");
  conn->open(database_);
  return conn;
}

namespace {

// The database keeps wall-clock milliseconds (every process reads them);
// the counting works in this process's steady clock.
long long wallMilliseconds(LoginThrottle::Clock::time_point t, LoginThrottle::Clock::time_point now) {
  const auto wall = std::chrono::system_clock::now() +
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(t - now);
  return std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
}

}  // namespace

LoginThrottle::Table LoginThrottle::read(kvdn::Connection& conn, std::initializer_list<std::string> keys,
                                         Clock::time_point now) {
  Table table;
  const long long nowMs = wallMilliseconds(now, now);
  for (const std::string& key : keys) {
    auto rs = conn.execute("select failures, last_ms from kvdn_login_failures where name='" +
                           sqlLiteral(key) + "'");
    if (!rs->isOpen() || rs->eof()) continue;
    Entry entry;
    entry.failures = rs->fields().item(0).value().toInt32();
    entry.last = now + std::chrono::milliseconds(rs->fields().item(1).value().toInt64() - nowMs);
    entry.stored = true;
    rs->close();
    table[key] = entry;
  }
  return table;
}

void LoginThrottle::write(kvdn::Connection& conn, const Table& table, std::initializer_list<std::string> keys,
                          Clock::time_point now) {
  for (const std::string& key : keys) {
    auto it = table.find(key);
    if (it == table.end()) continue;
    const std::string failures = std::to_string(it->second.failures);
    const std::string last = std::to_string(wallMilliseconds(it->second.last, now));
    // Appended, not "'" + ...: GCC 12 at -O3 warns falsely (-Wrestrict).
    std::string name = "'";
    name += sqlLiteral(key);
    name += '\'';
    const std::string update =
        "update kvdn_login_failures set failures=" + failures + ", last_ms=" + last + " where name=" + name;
    if (it->second.stored) {
      conn.execute(update);
      continue;
    }
    try {
      conn.execute("insert into kvdn_login_failures (name, failures, last_ms) values (" + name + "," +
                   failures + "," + last + ")");
    } catch (const kvdn::ComError&) {
      // Another process stored the first failure of this key meanwhile.
      conn.execute(update);
    }
  }
}

LoginThrottle& loginThrottle() {
  static LoginThrottle throttle;
  return throttle;
}

}  // namespace site
