// The two session stores: the process's own table, and a server database
// table that several site processes share.
#include "kvdn/session_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "http_session.h"
#include "kvdn/data.h"
#include "kvdn/db_class.h"
#include "kvdn/error.h"
#include "kvdn/http_host.h"
#include "kvdn/object.h"
#include "kvdn/text.h"

namespace kvdn {

bool isSessionId(const std::string& id) {
  return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

namespace {

class MemorySessionStore final : public SessionStore {
 public:
  using Clock = std::chrono::steady_clock;

  MemorySessionStore(std::chrono::milliseconds timeout, std::size_t max, std::string ownerKey,
                     std::size_t maxPerOwner)
      : timeout_(timeout), max_(max), ownerKey_(std::move(ownerKey)), maxPerOwner_(maxPerOwner) {}

  std::shared_ptr<SessionValues> find(const std::string& id) override {
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

  std::pair<std::string, std::shared_ptr<SessionValues>> create() override {
    std::string id = newRandomId();
    auto session = std::make_shared<SessionValues>();
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    if (slots_.size() >= max_) {
      std::erase_if(slots_, [&](const auto& entry) { return now - entry.second.lastUsed > timeout_; });
    }
    if (slots_.size() >= max_) {
      // Only a session that belongs to no one may make room: else anyone
      // able to log in could log everyone else out.
      auto oldest = slots_.end();
      for (auto it = slots_.begin(); it != slots_.end(); ++it) {
        if ((ownerKey_.empty() || it->second.owner.empty()) &&
            (oldest == slots_.end() || it->second.lastUsed < oldest->second.lastUsed))
          oldest = it;
      }
      if (oldest == slots_.end())
        raise(err::kCannotCreate, "no room for another session: every one is in use");
      oldest->second.session->abandon();
      slots_.erase(oldest);
    }
    slots_[id] = Slot{session, now, {}};
    return {id, session};
  }

  void remove(const std::string& id) override {
    std::lock_guard lock(mutex_);
    if (auto it = slots_.find(id); it != slots_.end()) {
      it->second.session->abandon();
      slots_.erase(it);
    }
  }

  // The page changed the kept values themselves; what is left is the
  // session's owner, once the page stored it.
  void save(const std::string& id, const SessionValues& values,
            const std::vector<std::string>& changed) override {
    if (ownerKey_.empty() || std::none_of(changed.begin(), changed.end(),
                                          [&](const std::string& k) { return iequals(k, ownerKey_); }))
      return;
    const std::string owner = asciiLower(values.value(ownerKey_).joinText());
    std::lock_guard lock(mutex_);
    auto slot = slots_.find(id);
    if (slot == slots_.end()) return;
    slot->second.owner = owner;
    if (owner.empty()) return;
    // The owner's sessions, least recently used first: the surplus goes.
    std::vector<std::map<std::string, Slot>::iterator> owned;
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
      if (it->second.owner == owner && it != slot) owned.push_back(it);
    }
    if (owned.size() < maxPerOwner_) return;
    std::sort(owned.begin(), owned.end(),
              [](const auto& a, const auto& b) { return a->second.lastUsed < b->second.lastUsed; });
    for (std::size_t i = 0; i + maxPerOwner_ <= owned.size(); ++i) {
      owned[i]->second.session->abandon();
      slots_.erase(owned[i]);
    }
  }

 private:
  struct Slot {
    std::shared_ptr<SessionValues> session;
    Clock::time_point lastUsed;
    std::string owner;  // lower-cased; "" for none
  };
  std::chrono::milliseconds timeout_;
  std::size_t max_;
  std::string ownerKey_;
  std::size_t maxPerOwner_;
  std::mutex mutex_;
  std::map<std::string, Slot> slots_;
};

// The text form of a session's values in the database: for each value a
// kind letter, the key's length, ':', the key, the value text's length,
// ':', the value text. Lengths make any key or text safe to hold.
std::string encodeValues(const std::vector<std::pair<std::string, Variant>>& items) {
  std::string out;
  for (const auto& [key, value] : items) {
    char kind = 'E';
    std::string text;
    char number[40];
    switch (value.type()) {
      case VarType::Empty:
        break;
      case VarType::Null:
        kind = 'N';
        break;
      case VarType::Boolean:
        kind = 'B';
        // Not assigned a literal: GCC 12 at -O3 warns falsely (-Wrestrict).
        text.assign(1, value.boolean() ? '1' : '0');
        break;
      case VarType::Integer:
      case VarType::Long:
      case VarType::LongLong:
        kind = value.type() == VarType::Integer ? 'I' : value.type() == VarType::Long ? 'L' : 'Q';
        text = std::to_string(value.integer());
        break;
      case VarType::Double:
        kind = 'D';
        std::snprintf(number, sizeof number, "%.17g", value.dbl());
        text = number;
        break;
      case VarType::Date:
        kind = 'T';
        std::snprintf(number, sizeof number, "%.17g", value.date().serial);
        text = number;
        break;
      case VarType::String:
        kind = 'S';
        text = value.str();
        break;
      case VarType::Object:
        raise(err::kTypeMismatch, "an object cannot be kept in a session shared through the database");
    }
    out += kind;
    out += std::to_string(key.size()) + ":" + key;
    out += std::to_string(text.size()) + ":" + text;
  }
  return out;
}

// The values of encodeValues' text; a damaged text gives what was read
// before the damage (never a failure: a visitor is then logged out at worst).
std::vector<std::pair<std::string, Variant>> decodeValues(const std::string& data) {
  std::vector<std::pair<std::string, Variant>> items;
  std::size_t pos = 0;
  auto piece = [&](std::string& out) {
    const std::size_t colon = data.find(':', pos);
    if (colon == std::string::npos || colon == pos || colon - pos > 9) return false;
    std::size_t length = 0;
    for (std::size_t i = pos; i < colon; ++i) {
      if (data[i] < '0' || data[i] > '9') return false;
      length = length * 10 + static_cast<std::size_t>(data[i] - '0');
    }
    if (length > data.size() - colon - 1) return false;
    out = data.substr(colon + 1, length);
    pos = colon + 1 + length;
    return true;
  };
  while (pos < data.size()) {
    const char kind = data[pos++];
    std::string key;
    std::string text;
    if (!piece(key) || !piece(text)) break;
    Variant value;
    char* end = nullptr;
    switch (kind) {
      case 'E':
        break;
      case 'N':
        value = Variant::null();
        break;
      case 'B':
        value = Variant(text == "1");
        break;
      case 'I':
        value = Variant(static_cast<std::int16_t>(std::strtol(text.c_str(), &end, 10)));
        break;
      case 'L':
        value = Variant(static_cast<std::int32_t>(std::strtol(text.c_str(), &end, 10)));
        break;
      case 'Q':
        value = Variant(static_cast<std::int64_t>(std::strtoll(text.c_str(), &end, 10)));
        break;
      case 'D':
        value = Variant(std::strtod(text.c_str(), &end));
        break;
      case 'T':
        value = Variant(Date{std::strtod(text.c_str(), &end)});
        break;
      case 'S':
        value = Variant(std::move(text));
        break;
      default:
        return items;
    }
    items.emplace_back(std::move(key), std::move(value));
  }
  return items;
}

long long epochSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class DatabaseSessionStore final : public SessionStore {
 public:
  static constexpr std::size_t kIdleConnections = 4;
  // A session's last use is written only when it is older than this: a
  // visitor's every request does not cost a write.
  static constexpr long long kTouchEverySeconds = 60;
  static constexpr long long kSweepEverySeconds = 60;

  DatabaseSessionStore(std::string connectionString, std::chrono::milliseconds timeout, std::size_t max,
                       std::string ownerKey, std::size_t maxPerOwner)
      : connectionString_(std::move(connectionString)),
        timeoutSeconds_(
            std::max<long long>(1, std::chrono::duration_cast<std::chrono::seconds>(timeout).count())),
        max_(std::max<std::size_t>(1, max)),
        ownerKey_(std::move(ownerKey)),
        maxPerOwner_(std::max<std::size_t>(1, maxPerOwner)) {
    registerStandardClasses(classes_);
    Lease conn(*this);
    try {
      conn->execute("select count(*) from kvdn_sessions");
    } catch (const ComError& e) {
      if (e.number() != err::kDbNoSuchTable) throw;
      try {
        conn->execute(
            "create table kvdn_sessions (id varchar(32) primary key, touched bigint not null, data text)");
      } catch (const ComError&) {
        // Another process starting at the same moment made it: then it is
        // there now; else this failure stands.
        conn->execute("select count(*) from kvdn_sessions");
      }
    }
    // The owner column came later: a table made before gets it.
    try {
      conn->execute("select owner from kvdn_sessions where 1=0");
    } catch (const ComError&) {
      try {
        conn->execute("alter table kvdn_sessions add owner varchar(32)");
      } catch (const ComError&) {
        conn->execute("select owner from kvdn_sessions where 1=0");
      }
    }
  }

  std::shared_ptr<SessionValues> find(const std::string& id) override {
    if (!isSessionId(id)) return nullptr;
    const long long now = epochSeconds();
    Lease conn(*this);
    sweep(*conn, now);
    auto rs = conn->execute("select touched, data from kvdn_sessions where id='" + id + "'");
    if (!rs->isOpen() || rs->eof()) return nullptr;
    const long long touched = rs->fields().item(0).value().toInt64();
    const Variant data = rs->fields().item(1).value();
    rs->close();
    if (now - touched > timeoutSeconds_) {
      conn->execute("delete from kvdn_sessions where id='" + id + "'");
      return nullptr;
    }
    if (now - touched >= kTouchEverySeconds)
      conn->execute("update kvdn_sessions set touched=" + std::to_string(now) + " where id='" + id + "'");
    auto values = std::make_shared<SessionValues>();
    for (auto& [key, value] : decodeValues(data.joinText())) values->setValue(key, value);
    return values;
  }

  std::pair<std::string, std::shared_ptr<SessionValues>> create() override {
    return {newRandomId(), std::make_shared<SessionValues>()};
  }

  void remove(const std::string& id) override {
    if (!isSessionId(id)) return;
    Lease conn(*this);
    conn->execute("delete from kvdn_sessions where id='" + id + "'");
  }

  void save(const std::string& id, const SessionValues& values,
            const std::vector<std::string>& changed) override {
    if (!isSessionId(id) || changed.empty()) return;
    Lease conn(*this);
    // The row as it is now, with only this request's keys replaced: keys
    // another request stored meanwhile stay.
    auto rs = std::dynamic_pointer_cast<Recordset>(classes_.create("ADODB.Recordset"));
    if (!rs) raise(err::kTypeMismatch, "unexpected class behind ADODB.Recordset");
    const long long now = epochSeconds();
    const bool owned =
        !ownerKey_.empty() && std::any_of(changed.begin(), changed.end(),
                                          [&](const std::string& k) { return iequals(k, ownerKey_); });
    // The owner as a digest: a fixed alphabet, whatever the account's text.
    const std::string owner = owned ? ownerDigest(values.value(ownerKey_).joinText()) : std::string();
    if (!exists(*conn, id)) makeRoom(*conn, now);
    rs->open("select id, touched, data, owner from kvdn_sessions where id='" + id + "'", conn.get(),
             adOpenKeyset, adLockOptimistic);
    SessionValues merged;
    const bool found = !rs->eof();
    if (found) {
      for (auto& [key, value] : decodeValues(rs->fields().item("data").value().joinText()))
        merged.setValue(key, value);
    } else {
      rs->addNew();
      rs->fields().item("id").setValue(Variant(id));
    }
    for (const std::string& key : changed) merged.setValue(key, values.value(key));
    rs->fields().item("touched").setValue(Variant(static_cast<std::int64_t>(now)));
    rs->fields().item("data").setValue(Variant(encodeValues(merged.items())));
    if (owned) rs->fields().item("owner").setValue(owner.empty() ? Variant::null() : Variant(owner));
    rs->update();
    rs->close();
    if (!owner.empty()) dropSurplusOf(*conn, owner, id);
  }

 private:
  // An open connection for one call, back to the idle ones afterwards
  // (dropped instead when the call failed: it may be broken).
  class Lease {
   public:
    explicit Lease(DatabaseSessionStore& store) : store_(store), conn_(store.takeConnection()) {}
    ~Lease() {
      if (std::uncaught_exceptions() == 0) store_.giveConnection(std::move(conn_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Connection* operator->() const { return conn_.get(); }
    Connection& operator*() const { return *conn_; }
    const std::shared_ptr<Connection>& get() const { return conn_; }

   private:
    DatabaseSessionStore& store_;
    std::shared_ptr<Connection> conn_;
  };

  std::shared_ptr<Connection> takeConnection() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        auto conn = std::move(idle_.back());
        idle_.pop_back();
        return conn;
      }
    }
    auto conn = std::dynamic_pointer_cast<Connection>(classes_.create("ADODB.Connection"));
    if (!conn) raise(err::kTypeMismatch, "unexpected class behind ADODB.Connection");
    conn->open(connectionString_);
    return conn;
  }

  void giveConnection(std::shared_ptr<Connection> conn) noexcept {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kIdleConnections) idle_.push_back(std::move(conn));
  }

  // The digest an owner is kept under ("" for no owner).
  static std::string ownerDigest(const std::string& owner) {
    if (owner.empty()) return {};
    DbClass digest;
    return digest.md5(Variant(asciiLower(owner)));
  }

  static bool exists(Connection& conn, const std::string& id) {
    auto rs = conn.execute("select count(*) from kvdn_sessions where id='" + id + "'");
    const bool found = rs->fields().item(0).value().toInt64() > 0;
    rs->close();
    return found;
  }

  static long long count(Connection& conn) {
    auto rs = conn.execute("select count(*) from kvdn_sessions");
    const long long n = rs->fields().item(0).value().toInt64();
    rs->close();
    return n;
  }

  // Room for one more session, as the memory store makes it: from sessions
  // idle too long, then from the least recently used one without an owner;
  // never from an owner's live session (raises err::kCannotCreate then).
  // Two processes making room at once may each take the last place.
  void makeRoom(Connection& conn, long long now) {
    if (static_cast<std::size_t>(count(conn)) < max_) return;
    conn.execute("delete from kvdn_sessions where touched<" + std::to_string(now - timeoutSeconds_));
    if (static_cast<std::size_t>(count(conn)) < max_) return;
    std::string oldest;
    auto rs = conn.execute("select id from kvdn_sessions where owner is null order by touched");
    if (!rs->eof()) oldest = rs->fields().item(0).value().joinText();
    rs->close();
    if (!isSessionId(oldest)) raise(err::kCannotCreate, "no room for another session: every one is in use");
    conn.execute("delete from kvdn_sessions where id='" + oldest + "'");
  }

  // An owner keeps at most maxPerOwner_ sessions: `keep` (just saved) and
  // the most recently used others.
  void dropSurplusOf(Connection& conn, const std::string& owner, const std::string& keep) {
    std::vector<std::string> surplus;
    auto rs = conn.execute("select id from kvdn_sessions where owner='" + owner + "' and id<>'" + keep +
                           "' order by touched desc");
    for (std::size_t kept = 1; !rs->eof(); rs->moveNext()) {
      if (kept < maxPerOwner_)
        ++kept;
      else
        surplus.push_back(rs->fields().item(0).value().joinText());
    }
    rs->close();
    for (const std::string& id : surplus) {
      if (isSessionId(id)) conn.execute("delete from kvdn_sessions where id='" + id + "'");
    }
  }

  // Ends the sessions of visitors gone for good, at most once a minute.
  void sweep(Connection& conn, long long now) {
    {
      std::lock_guard lock(mutex_);
      if (now - lastSweep_ < kSweepEverySeconds) return;
      lastSweep_ = now;
    }
    conn.execute("delete from kvdn_sessions where touched<" + std::to_string(now - timeoutSeconds_));
  }

  std::string connectionString_;
  long long timeoutSeconds_;
  std::size_t max_;
  std::string ownerKey_;
  std::size_t maxPerOwner_;
  ClassRegistry classes_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Connection>> idle_;
  long long lastSweep_ = 0;
};

}  // namespace

std::shared_ptr<SessionStore> makeMemorySessionStore(std::chrono::milliseconds timeout, std::size_t max,
                                                     std::string ownerKey, std::size_t maxPerOwner) {
  return std::make_shared<MemorySessionStore>(timeout, max, std::move(ownerKey),
                                              std::max<std::size_t>(1, maxPerOwner));
}

std::shared_ptr<SessionStore> makeDatabaseSessionStore(const std::string& connectionString,
                                                       std::chrono::milliseconds timeout, std::size_t max,
                                                       std::string ownerKey, std::size_t maxPerOwner) {
  return std::make_shared<DatabaseSessionStore>(connectionString, timeout, max, std::move(ownerKey),
                                                maxPerOwner);
}

}  // namespace kvdn
