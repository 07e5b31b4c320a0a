// Internal to the HTTP host: visitors' sessions, kept in one table and
// named by a random cookie; the page's Session over them.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "kvdn/error.h"
#include "kvdn/memory_host.h"
#include "kvdn/object.h"

namespace kvdn::http_internal {

inline constexpr const char* kSessionCookie = "KVDNSESSION";

// The cookie is the only proof of a login, so it must not be guessable from
// earlier ones. Throws ComError when no random bytes can be had.
std::string newSessionId();

// The sessions of every visitor. A session is made only when a page stores
// a value (a visitor that only reads, a scanner, a health probe, costs
// nothing); at most `max` are kept, idle ones are dropped after `timeout`.
class SessionTable {
 public:
  using Clock = std::chrono::steady_clock;

  SessionTable(std::chrono::milliseconds timeout, std::size_t max) : timeout_(timeout), max_(max) {}

  // The live session of `id`, or null (unknown or idle too long).
  std::shared_ptr<SessionValues> find(const std::string& id) {
    if (id.empty()) return nullptr;
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    auto it = slots_.find(id);
    if (it == slots_.end()) return nullptr;
    if (now - it->second.lastUsed > timeout_) {
      it->second.session->abandon();
      slots_.erase(it);
      return nullptr;
    }
    it->second.lastUsed = now;
    return it->second.session;
  }

  // A new empty session under a new id (never one the client chose).
  std::pair<std::string, std::shared_ptr<SessionValues>> create() {
    std::string id = newSessionId();
    auto session = std::make_shared<SessionValues>();
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    if (slots_.size() >= max_) {
      std::erase_if(slots_, [&](const auto& entry) { return now - entry.second.lastUsed > timeout_; });
    }
    if (slots_.size() >= max_ && !slots_.empty()) {
      auto oldest = std::min_element(slots_.begin(), slots_.end(), [](const auto& a, const auto& b) {
        return a.second.lastUsed < b.second.lastUsed;
      });
      oldest->second.session->abandon();
      slots_.erase(oldest);
    }
    slots_[id] = Slot{session, now};
    return {id, session};
  }

  void remove(const std::string& id) {
    std::lock_guard lock(mutex_);
    if (auto it = slots_.find(id); it != slots_.end()) {
      it->second.session->abandon();
      slots_.erase(it);
    }
  }

  std::size_t size() {
    std::lock_guard lock(mutex_);
    return slots_.size();
  }

 private:
  struct Slot {
    std::shared_ptr<SessionValues> session;
    Clock::time_point lastUsed;
  };
  std::chrono::milliseconds timeout_;
  std::size_t max_;
  std::mutex mutex_;
  std::map<std::string, Slot> slots_;
};

// The page's Session: the visitor's session when the request named a live
// one, else nothing until a page stores a value. Used by one request only.
class HttpSession final : public Session {
 public:
  HttpSession(SessionTable& table, std::string id, bool secure)
      : table_(table), id_(std::move(id)), secure_(secure) {
    values_ = table_.find(id_);
    if (!values_) id_.clear();
  }

  Variant value(std::string_view key) const override { return values_ ? values_->value(key) : Variant(); }
  void setValue(std::string_view key, const Variant& value) override {
    if (!values_) {
      auto [id, values] = table_.create();
      id_ = std::move(id);
      values_ = std::move(values);
      cookie_ = cookieFor(id_, false);
    }
    values_->setValue(key, value);
  }
  void abandon() override {
    if (values_) table_.remove(id_);
    values_.reset();
    id_.clear();
    cookie_ = cookieFor("", true);
  }
  void renew() {
    abandon();
    auto [id, values] = table_.create();
    id_ = std::move(id);
    values_ = std::move(values);
    cookie_ = cookieFor(id_, false);
  }
  // The Set-Cookie header this request must send, or "".
  const std::string& cookie() const { return cookie_; }

 private:
  std::string cookieFor(const std::string& id, bool expire) const {
    std::string c = std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
    if (expire) c += "; Max-Age=0";
    if (secure_) c += "; Secure";
    return c;
  }
  SessionTable& table_;
  std::string id_;
  bool secure_;
  std::shared_ptr<SessionValues> values_;
  std::string cookie_;
};

// The value of cookie `name` in a Cookie header, or "".
std::string cookieValue(const std::string& cookies, const std::string& name);

}  // namespace kvdn::http_internal
