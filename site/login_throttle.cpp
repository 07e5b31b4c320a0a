// Failed logins per account and per address (see LoginThrottle in site.h).
#include <algorithm>
#include <string>

#include "kvdn/object.h"
#include "kvdn/text.h"
#include "site.h"

namespace site {

namespace {

// Drops what is forgotten anyway, then, if still full, the oldest entry.
template <typename Table>
void makeRoom(Table& table, LoginThrottle::Clock::time_point now) {
  if (table.size() < LoginThrottle::kMaxEntries) return;
  std::erase_if(table, [&](const auto& entry) { return now - entry.second.last > LoginThrottle::kForget; });
  if (table.size() < LoginThrottle::kMaxEntries) return;
  table.erase(std::min_element(table.begin(), table.end(),
                               [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
}

}  // namespace

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

int LoginThrottle::bump(std::map<std::string, Entry>& table, const std::string& key, Clock::time_point now) {
  auto it = table.find(key);
  if (it == table.end()) {
    makeRoom(table, now);
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
  std::lock_guard lock(mutex_);
  return std::max(wait(accounts_, kvdn::asciiLower(account), kFreeFailures, now),
                  wait(addresses_, std::string(address), kFreeFailuresPerAddress, now));
}

LoginThrottle::Counts LoginThrottle::failed(std::string_view account, std::string_view address,
                                            Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Counts counts;
  counts.account = bump(accounts_, kvdn::asciiLower(account), now);
  counts.address = bump(addresses_, std::string(address), now);
  return counts;
}

void LoginThrottle::succeeded(std::string_view account) {
  std::lock_guard lock(mutex_);
  accounts_.erase(kvdn::asciiLower(account));
}

void LoginThrottle::clear() {
  std::lock_guard lock(mutex_);
  accounts_.clear();
  addresses_.clear();
}

LoginThrottle& loginThrottle() {
  static LoginThrottle throttle;
  return throttle;
}

}  // namespace site
