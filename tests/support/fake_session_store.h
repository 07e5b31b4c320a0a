// A session store for tests: copies of sessions in memory, as a store kept
// elsewhere holds them, with switches that make
// each call fail as a store kept elsewhere can (the database gone).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/session_store.h"
#include "kvdn/text.h"

namespace kvdn::testing {

class FakeSessionStore final : public SessionStore {
 public:
  // Raise err::kDbFail from find(), save() or remove() while set.
  std::atomic<bool> failFind{false};
  std::atomic<bool> failSave{false};
  std::atomic<bool> failRemove{false};
  std::atomic<int> saves{0};

  std::shared_ptr<SessionValues> find(const std::string& id) override {
    if (failFind) raise(err::kDbFail, "the session store is not reachable");
    std::lock_guard lock(mutex_);
    auto it = kept_.find(id);
    if (it == kept_.end()) return nullptr;
    auto values = std::make_shared<SessionValues>();
    for (const auto& [key, value] : it->second) values->setValue(key, value);
    return values;
  }
  std::pair<std::string, std::shared_ptr<SessionValues>> create() override {
    std::lock_guard lock(mutex_);
    return {std::to_string(++made_) + std::string(31, '0'), std::make_shared<SessionValues>()};
  }
  void remove(const std::string& id) override {
    if (failRemove) raise(err::kDbFail, "the session store is not reachable");
    std::lock_guard lock(mutex_);
    kept_.erase(id);
  }
  // Keeps copies, as a store elsewhere does: a value the page changed but
  // save() refused is not kept.
  void save(const std::string& id, const SessionValues& values,
            const std::vector<std::string>& changed) override {
    if (failSave) raise(err::kDbFail, "the session store is not reachable");
    ++saves;
    std::lock_guard lock(mutex_);
    auto& kept = kept_[id];
    for (const std::string& key : changed) {
      std::erase_if(kept, [&](const auto& entry) { return asciiLower(entry.first) == asciiLower(key); });
      kept.emplace_back(key, values.value(key));
    }
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<std::pair<std::string, Variant>>> kept_;
  int made_ = 0;
};

}  // namespace kvdn::testing
