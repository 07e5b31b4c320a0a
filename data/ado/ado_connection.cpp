// The ADO-style Connection over any Provider: opening through the provider registry, statements
// and transactions on its session, the names a page script uses on it, and the class registration.
#include "ado_internal.h"
#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/page.h"
#include "kvdn/provider.h"
#include "kvdn/text.h"

namespace kvdn {

namespace ado {

bool given(const Args& args, std::size_t i) {
  return i < args.size() && !args[i].isEmpty();
}

std::string textArg(const Args& args, std::size_t i, std::string_view fallback) {
  return given(args, i) ? args[i].toString() : std::string(fallback);
}

int intArg(const Args& args, std::size_t i, int fallback) {
  return given(args, i) ? args[i].toInt32() : fallback;
}

}  // namespace ado

namespace {

using ado::Args;
using ado::given;
using ado::intArg;
using ado::textArg;

class ProviderConnection final : public Connection {
 public:
  explicit ProviderConnection(std::shared_ptr<const ProviderRegistry> providers)
      : providers_(std::move(providers)) {}

  void open(std::string_view connectionString, std::string_view user, std::string_view password,
            int) override {
    if (session_) raise(err::kAdObjectOpen);
    connectionString_ = std::string(connectionString);
    ConnectionString cs = ConnectionString::parse(connectionString);
    if (!user.empty()) cs.set("user id", user);
    if (!password.empty()) cs.set("password", password);
    std::shared_ptr<Provider> provider = providers_->find(cs);
    session_ = std::shared_ptr<DataSession>(provider->open(cs));
  }

  bool isOpen() const override { return session_ != nullptr; }

  std::shared_ptr<Recordset> execute(std::string_view sql, int) override {
    const std::shared_ptr<DataSession>& s = session();
    std::string translated = s->dialect().translate(sql);
    ExecuteResult result = s->execute(translated);
    lastAffected_ = result.affected;
    if (result.rows)
      return ado::forwardRecordset(providers_, s, std::move(result.rows), std::move(translated));
    return makeRecordset(providers_);
  }

  void close() override {
    if (!session_) raise(err::kDbClosed);
    session_->close();
    session_.reset();
  }

  void beginTrans() override { session()->begin(); }
  void commitTrans() override { session()->commit(); }
  void rollbackTrans() override { session()->rollback(); }
  std::string connectionString() const override { return connectionString_; }

  // Late binding from the table "Connection" (ado_connection.cpp).
  const MemberTable& members() const noexcept override;
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
  Variant getProperty(std::string_view name) override;
  void setProperty(std::string_view name, const Variant& value) override;

  const std::shared_ptr<DataSession>& session() const {
    if (!session_) raise(err::kDbClosed);
    return session_;
  }
  const std::shared_ptr<const ProviderRegistry>& providers() const { return providers_; }

 private:
  std::shared_ptr<const ProviderRegistry> providers_;
  std::shared_ptr<DataSession> session_;
  std::string connectionString_;
  std::int64_t lastAffected_ = 0;
};

}  // namespace

namespace ado {

std::shared_ptr<DataSession> sessionOf(const std::shared_ptr<Connection>& connection) {
  auto ours = std::dynamic_pointer_cast<ProviderConnection>(connection);
  if (!ours) raise(err::kAdArguments, ado::kBadConnectionText);
  if (!ours->isOpen()) raise(err::kDbClosed, kBadConnectionText);
  return ours->session();
}

}  // namespace ado

namespace {

// The names a page uses on a connection. The ids are its DISPIDs: never
// renumber one.
enum ConnectionId : std::int32_t {
  kOpen = 1,
  kExecute,
  kClose,
  kBeginTrans,
  kCommitTrans,
  kRollbackTrans,
  kConnectionString,
  kState,
};

constexpr Member kConnectionMembers[] = {
    {"Open", kOpen, Member::kMethod, 0, 4},
    // RecordsAffected (the second argument) is written back.
    {"Execute", kExecute, Member::kMethod, 1, 3, 0b10},
    {"Close", kClose, Member::kMethod, 0, 0},
    {"BeginTrans", kBeginTrans, Member::kMethod, 0, 0},
    {"CommitTrans", kCommitTrans, Member::kMethod, 0, 0},
    {"RollbackTrans", kRollbackTrans, Member::kMethod, 0, 0},
    {"ConnectionString", kConnectionString, Member::kGet | Member::kLet, 0, 0},
    {"State", kState, Member::kGet, 0, 0},
};
constexpr MemberTable kConnectionTable("Connection", kConnectionMembers);

const MemberTable& ProviderConnection::members() const noexcept {
  return kConnectionTable;
}

Variant ProviderConnection::invoke(std::string_view name, Args& args) {
  switch (bindMember(kConnectionTable, name, Member::kMethod, args.size()).id) {
    case kOpen:
      open(given(args, 0) ? args[0].toString() : connectionString_, textArg(args, 1, ""),
           textArg(args, 2, ""), intArg(args, 3, adCmdUnspecified));
      return {};
    case kExecute: {
      std::shared_ptr<Recordset> rs = execute(textArg(args, 0, ""), intArg(args, 2, adCmdUnspecified));
      if (args.size() > 1) args[1] = Variant(lastAffected_);  // RecordsAffected, by reference
      return Variant(std::static_pointer_cast<Object>(rs));
    }
    case kClose:
      close();
      return {};
    case kBeginTrans:
      beginTrans();
      return Variant(static_cast<std::int32_t>(1));  // the nesting level
    case kCommitTrans:
      commitTrans();
      return {};
    case kRollbackTrans:
      rollbackTrans();
      return {};
    default:
      raise(err::kNotSupported);
  }
}

Variant ProviderConnection::getProperty(std::string_view name) {
  switch (bindMember(kConnectionTable, name, Member::kGet, 0).id) {
    case kConnectionString:
      return Variant(connectionString_);
    case kState:
      return Variant(static_cast<std::int32_t>(isOpen() ? 1 : 0));
    default:
      raise(err::kNotSupported);
  }
}

void ProviderConnection::setProperty(std::string_view name, const Variant& value) {
  bindMember(kConnectionTable, name, Member::kPut, 0);  // only ConnectionString may be set
  if (isOpen()) raise(err::kAdObjectOpen);
  connectionString_ = value.toString();
}

}  // namespace

std::shared_ptr<Connection> makeConnection(std::shared_ptr<const ProviderRegistry> providers) {
  return std::make_shared<ProviderConnection>(std::move(providers));
}

void registerDataClasses(ClassRegistry& registry, std::shared_ptr<const ProviderRegistry> providers) {
  registry.add("adodb.connection", [providers] { return ObjectPtr(makeConnection(providers)); });
  registry.add("adodb.recordset", [providers] { return ObjectPtr(makeRecordset(providers)); });
}

}  // namespace kvdn
