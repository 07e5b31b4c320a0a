// The machine's own data objects (ADODB.Connection and ADODB.Recordset as the
// page host's Server.CreateObject hands them out, or a connection the page
// assigns to `conn`) offered to the component as its Connection and
// Recordset: every operation a late-bound call, so that on a real server the
// component works through the site's own ADO and providers (Access files,
// SQL Server). Failures of the callee come back as its number and text.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "automation.h"
#include "foreign_data.h"
#include "kvdn/data.h"
#include "kvdn/error.h"

namespace kvdn::platform::windows {

namespace {

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

Variant get(const DispatchRef& d, std::string_view name) {
  return callDispatch(d, name, kGet, {});
}
Variant call(const DispatchRef& d, std::string_view name, const std::vector<Variant>& args = {}) {
  return callDispatch(d, name, kCall, args);
}
void put(const DispatchRef& d, std::string_view name, const Variant& value) {
  callDispatch(d, name, DISPATCH_PROPERTYPUT, {value});
}
DispatchRef dispatchOfObject(const Variant& v) {
  if (!v.isObject() || !v.object()) raise(err::kObjectNotSet);
  IDispatch* d = dispatchFor(v.object());  // one reference for us
  DispatchRef ref(d);
  d->Release();
  return ref;
}

// A field of the foreign recordset by its key (an index or a name), found
// afresh on each use: it holds no reference to a field object, so nothing
// outlives a reopened recordset and nothing piles up per call.
class ForeignField final : public Field {
 public:
  ForeignField(DispatchRef recordset, Variant key) : recordset_(std::move(recordset)), key_(std::move(key)) {}
  std::string name() const override { return get(field(), "Name").joinText(); }
  Variant value() const override { return get(field(), "Value"); }
  void setValue(const Variant& value) override { put(field(), "Value", value); }

  DispatchRef field() const {
    return dispatchOfObject(call(dispatchOfObject(get(recordset_, "Fields")), "Item", {key_}));
  }

 private:
  DispatchRef recordset_;
  Variant key_;
};

// One Field per key asked, kept for the recordset's life so that the
// references item() hands out stay valid; a key is checked against the
// recordset when first asked (the callee's error for one it has not).
class ForeignFields final : public Fields {
 public:
  explicit ForeignFields(DispatchRef recordset) : recordset_(std::move(recordset)) {}
  int count() const override { return get(fields(), "Count").toInt32(); }
  // Slots "#index" and "$name" (appended, not concatenated: GCC 12 at -O3
  // warns falsely on operator+ of a literal and a string).
  Field& item(int index) override {
    std::string slot(1, '#');
    slot.append(std::to_string(index));
    return keep(slot, Variant(static_cast<std::int32_t>(index)));
  }
  Field& item(std::string_view name) override {
    std::string slot(1, '$');
    slot.append(asciiLower(name));
    return keep(slot, Variant(name));
  }

 private:
  DispatchRef fields() const { return dispatchOfObject(get(recordset_, "Fields")); }
  Field& keep(const std::string& slot, const Variant& key) {
    auto it = kept_.find(slot);
    if (it != kept_.end()) return it->second;
    ForeignField field(recordset_, key);
    field.field();  // raises for a key the recordset does not have
    return kept_.emplace(slot, std::move(field)).first->second;
  }
  DispatchRef recordset_;
  std::map<std::string, ForeignField> kept_;
};

class ForeignRecordset final : public Recordset {
 public:
  explicit ForeignRecordset(DispatchRef d) : d_(d), fields_(d) {}

  void open(std::string_view source, const std::shared_ptr<Connection>& connection, int cursorType,
            int lockType, int options) override {
    if (!connection) raise(err::kObjectNotSet);
    call(d_, "Open",
         {Variant(source), Variant(ObjectPtr(connection)), Variant(static_cast<std::int32_t>(cursorType)),
          Variant(static_cast<std::int32_t>(lockType)), Variant(static_cast<std::int32_t>(options))});
  }
  bool isOpen() const override { return get(d_, "State").toInt32() != 0; }
  bool eof() const override { return get(d_, "EOF").toBool(); }
  bool bof() const override { return get(d_, "BOF").toBool(); }
  void moveNext() override { call(d_, "MoveNext"); }
  Fields& fields() override { return fields_; }
  void addNew() override { call(d_, "AddNew"); }
  void update() override { call(d_, "Update"); }
  std::int32_t pageSize() const override { return get(d_, "PageSize").toInt32(); }
  void setPageSize(std::int32_t size) override { put(d_, "PageSize", Variant(size)); }
  std::int32_t absolutePage() const override { return get(d_, "AbsolutePage").toInt32(); }
  void setAbsolutePage(std::int32_t page) override { put(d_, "AbsolutePage", Variant(page)); }
  std::int32_t pageCount() const override { return get(d_, "PageCount").toInt32(); }
  std::int64_t recordCount() const override { return get(d_, "RecordCount").toInt64(); }
  std::string getString(int format, int rows, std::string_view colDelim, std::string_view rowDelim,
                        std::string_view nullExpr) override {
    return call(d_, "GetString",
                {Variant(static_cast<std::int32_t>(format)), Variant(static_cast<std::int32_t>(rows)),
                 Variant(colDelim), Variant(rowDelim), Variant(nullExpr)})
        .joinText();
  }
  void close() override { call(d_, "Close"); }

  Variant invoke(std::string_view name, std::vector<Variant>& args) override { return call(d_, name, args); }
  Variant getProperty(std::string_view name) override { return get(d_, name); }
  void setProperty(std::string_view name, const Variant& value) override { put(d_, name, value); }
  IDispatch* dispatch() const { return d_.get(); }

 private:
  DispatchRef d_;
  ForeignFields fields_;
};

class ForeignConnection final : public Connection {
 public:
  explicit ForeignConnection(DispatchRef d) : d_(std::move(d)) {}

  void open(std::string_view connectionString, std::string_view user, std::string_view password,
            int options) override {
    call(d_, "Open",
         {Variant(connectionString), Variant(user), Variant(password),
          Variant(static_cast<std::int32_t>(options))});
  }
  bool isOpen() const override { return get(d_, "State").toInt32() != 0; }
  // The records-affected argument is left out: only the statement goes
  // (adCmdUnspecified is the callee's default as well).
  std::shared_ptr<Recordset> execute(std::string_view sql, int options) override {
    Variant rs =
        options == adCmdUnspecified
            ? call(d_, "Execute", {Variant(sql)})
            : call(d_, "Execute", {Variant(sql), Variant(), Variant(static_cast<std::int32_t>(options))});
    auto typed = std::dynamic_pointer_cast<Recordset>(adaptForeign(rs.toObject(), "adodb.recordset"));
    if (!typed) raise(err::kTypeMismatch);
    return typed;
  }
  void close() override { call(d_, "Close"); }
  void beginTrans() override { call(d_, "BeginTrans"); }
  void commitTrans() override { call(d_, "CommitTrans"); }
  void rollbackTrans() override { call(d_, "RollbackTrans"); }
  std::string connectionString() const override { return get(d_, "ConnectionString").joinText(); }

  Variant invoke(std::string_view name, std::vector<Variant>& args) override { return call(d_, name, args); }
  Variant getProperty(std::string_view name) override { return get(d_, name); }
  void setProperty(std::string_view name, const Variant& value) override { put(d_, name, value); }
  IDispatch* dispatch() const { return d_.get(); }

 private:
  DispatchRef d_;
};

}  // namespace

ObjectPtr adaptForeign(const ObjectPtr& object, std::string_view kind) {
  auto foreign = std::dynamic_pointer_cast<ForeignObject>(object);
  if (!foreign) return object;
  if (iequals(kind, "adodb.connection"))
    return std::make_shared<ForeignConnection>(DispatchRef(foreign->dispatch()));
  if (iequals(kind, "adodb.recordset"))
    return std::make_shared<ForeignRecordset>(DispatchRef(foreign->dispatch()));
  return object;
}

IDispatch* foreignDispatch(const ObjectPtr& object) {
  if (auto c = std::dynamic_pointer_cast<ForeignConnection>(object)) return c->dispatch();
  if (auto r = std::dynamic_pointer_cast<ForeignRecordset>(object)) return r->dispatch();
  return nullptr;
}

}  // namespace kvdn::platform::windows
