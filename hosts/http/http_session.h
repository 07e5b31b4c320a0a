// Internal to the HTTP host: the page's Session over the host's session
// store, named by a random cookie.
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
#include "kvdn/session_store.h"

namespace kvdn::http_internal {

inline constexpr const char* kSessionCookie = "KVDNSESSION";

// The page's Session: the visitor's session when the request named a live
// one, else nothing until a page stores a value. The store is asked only
// when the page first uses the session (a page that never does costs the
// store nothing). Used by one request only; save() after the page ran.
class HttpSession final : public Session {
 public:
  HttpSession(SessionStore& store, std::string id, bool secure)
      : store_(store), id_(std::move(id)), secure_(secure) {}

  Variant value(std::string_view key) const override {
    load();
    return values_ ? values_->value(key) : Variant();
  }
  void setValue(std::string_view key, const Variant& value) override {
    load();
    if (!values_) {
      auto [id, values] = store_.create();
      id_ = std::move(id);
      values_ = std::move(values);
      cookie_ = cookieFor(id_, false);
    }
    values_->setValue(key, value);
    changed_.emplace_back(key);
  }
  void abandon() override {
    load();
    if (values_) store_.remove(id_);
    values_.reset();
    id_.clear();
    changed_.clear();
    cookie_ = cookieFor("", true);
  }
  void renew() {
    abandon();
    auto [id, values] = store_.create();
    id_ = std::move(id);
    values_ = std::move(values);
    cookie_ = cookieFor(id_, false);
  }
  // Hands the values the page stored to the store. Raises what the store
  // raises.
  void save() {
    if (values_ && !changed_.empty()) store_.save(id_, *values_, changed_);
    changed_.clear();
  }
  // The value of `key` when the page used the session (the store is not
  // asked for it otherwise), else Empty.
  Variant valueIfUsed(std::string_view key) const {
    return loaded_ && values_ ? values_->value(key) : Variant();
  }
  // The Set-Cookie header this request must send, or "".
  const std::string& cookie() const { return cookie_; }

 private:
  void load() const {
    if (loaded_) return;
    loaded_ = true;
    if (!id_.empty()) values_ = store_.find(id_);
    if (!values_) id_.clear();
  }
  std::string cookieFor(const std::string& id, bool expire) const {
    std::string c = std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
    if (expire) c += "; Max-Age=0";
    if (secure_) c += "; Secure";
    return c;
  }
  SessionStore& store_;
  mutable std::string id_;
  bool secure_;
  mutable bool loaded_ = false;
  mutable std::shared_ptr<SessionValues> values_;
  std::vector<std::string> changed_;
  std::string cookie_;
};

// The value of cookie `name` in a Cookie header, or "".
std::string cookieValue(const std::string& cookies, const std::string& name);

}  // namespace kvdn::http_internal
