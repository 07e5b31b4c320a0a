// The ADO-style Recordset and its Fields over any Provider: one implementation shared by
// every kind of database, with the names a page script uses on it.
//
// Paging never reads the whole result: a keyset recordset knows its size from
// one count statement and reads a page through the dialect's LIMIT/OFFSET;
// rows are stepped lazily, one at a time, as the caller moves.
#include <algorithm>
#include <limits>

#include "ado_internal.h"
#include "kvdn/error.h"
#include "kvdn/page.h"
#include "kvdn/provider.h"
#include "kvdn/text.h"
#include "sql_text.h"

namespace kvdn {

namespace {

using ado::Args;
using ado::given;
using ado::intArg;
using ado::kBadConnectionText;
using ado::sessionOf;
using ado::storable;
using ado::textArg;

// Texts of this object model that say more than the standard description of
// their number (see kvdn/error.h).
constexpr const char* kNoItemText =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";
constexpr const char* kNotUpdatableText =
    "Current Recordset does not support updating. This may be a limitation of the provider, or of the "
    "selected "
    "locktype.";
constexpr const char* kNoBookmarksText =
    "Current Recordset does not support bookmarks. This may be a limitation of the provider or of the "
    "selected "
    "cursortype.";

// A cheap first look: could `source` be a lone table name (no blank or
// parenthesis inside, or a quoted name)? Statements skip the tokenizer here.
bool maybeTableName(std::string_view source) {
  const auto first = source.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return false;
  const char c = source[first];
  if (c == '[' || c == '"' || c == '`') return true;
  const auto last = source.find_last_not_of(" \t\r\n;");
  return last == std::string_view::npos ||
         source.substr(first, last - first + 1).find_first_of(" \t\r\n(") == std::string_view::npos;
}

// ---------------------------------------------------------------------------

class ProviderRecordset;

class FieldImpl final : public Field {
 public:
  FieldImpl(ProviderRecordset* rs, int index) : rs_(rs), index_(index) {}
  std::string name() const override;
  Variant value() const override;
  void setValue(const Variant& value) override;

 private:
  ProviderRecordset* rs_;
  int index_;
};

// The fields of the open result. References handed out stay valid until the
// recordset is closed or opened again.
class FieldsImpl final : public Fields {
 public:
  explicit FieldsImpl(ProviderRecordset* rs) : rs_(rs) {}
  void reset(std::size_t n) {
    fields_.clear();
    fields_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) fields_.emplace_back(rs_, static_cast<int>(i));
  }
  int count() const override { return static_cast<int>(fields_.size()); }
  Field& item(int index) override {
    if (index < 0 || index >= count()) raise(err::kDbNoSuchColumn, kNoItemText);
    return fields_[static_cast<std::size_t>(index)];
  }
  Field& item(std::string_view name) override;

 private:
  ProviderRecordset* rs_;
  std::vector<FieldImpl> fields_;
};

class ProviderRecordset final : public Recordset {
 public:
  explicit ProviderRecordset(std::shared_ptr<const ProviderRegistry> providers)
      : providers_(std::move(providers)), fields_(this) {}

  // ---- Recordset ----
  void open(std::string_view source, const std::shared_ptr<Connection>& connection, int cursorType,
            int lockType, int options) override {
    if (open_) raise(err::kAdObjectOpen);
    if (!connection) raise(err::kAdArguments, kBadConnectionText);
    std::shared_ptr<DataSession> session = sessionOf(connection);
    const Dialect& dialect = session->dialect();
    std::string text(source);
    // A bare table name (or adCmdTable) opens the whole table.
    if (std::string table = maybeTableName(source) ? sql::tableNameOnly(source) : std::string();
        !table.empty() || options == 2) {
      text = "SELECT * FROM " +
             dialect.quoteIdentifier(table.empty() ? std::string(sql::trimStatement(source)) : table);
    }
    std::string translated = dialect.translate(text);
    if (!dialect.isQuery(translated)) {
      // Not a query: run it as Execute would; rows (if any) are read forward.
      ExecuteResult result = session->execute(translated);
      if (result.rows)
        attach(std::move(session), std::move(result.rows), std::move(translated), false, false);
      return;
    }
    const bool updatable = lockType != adLockReadOnly;
    const bool counted = cursorType == adOpenKeyset || cursorType == adOpenStatic;
    std::unique_ptr<Cursor> cursor = session->query(translated, updatable);
    attach(std::move(session), std::move(cursor), std::move(translated), counted, updatable);
  }

  bool isOpen() const override { return open_; }

  bool eof() const override {
    requireOpen();
    if (overlay_ || edit_ == Edit::Adding) return false;
    if (answersByCount()) return pos_ >= count();
    ensurePositioned();
    return !haveRow_;
  }

  bool bof() const override {
    requireOpen();
    if (overlay_ || edit_ == Edit::Adding || pos_ > 0) return false;
    if (answersByCount()) return count() == 0;
    ensurePositioned();
    return !haveRow_;
  }

  void moveNext() override {
    requireOpen();
    if (edit_ != Edit::None) update();  // moving stores pending changes, as ADO does
    if (overlay_) {
      // The cursor stayed where it was when the row was added; it is read
      // only now that the caller moves on from the added row.
      overlay_ = false;
      ensurePositioned();
      if (!haveRow_) return;
    } else {
      ensurePositioned();
      if (!haveRow_) raise(err::kDbEofBof);
    }
    ++pos_;
    // At the end of a page window the next row is read only when asked for:
    // a pager that stops after its page costs no further statement.
    if (windowEnd_ >= 0 && pos_ >= windowEnd_) {
      positioned_ = haveRow_ = false;
      key_.clear();
      return;
    }
    fetch();
  }

  Fields& fields() override {
    requireOpen();
    return fields_;
  }

  void addNew() override {
    requireOpen();
    if (!updatable_) raise(err::kAdNotSupported, kNotUpdatableText);
    if (edit_ != Edit::None) update();
    edit_ = Edit::Adding;
    buffer_.assign(columns().size(), std::nullopt);
  }

  void update() override {
    requireOpen();
    if (edit_ == Edit::None) return;
    // Whatever fails below, the pending changes are dropped: nothing of the
    // record is stored and the next AddNew starts clean.
    const Edit edit = edit_;
    std::vector<std::optional<Variant>> buffer = std::move(buffer_);
    edit_ = Edit::None;
    buffer_.clear();

    if (target_.empty()) {
      raise(err::kAdNotSupported, "The recordset cannot be updated: its columns do not come from one table.");
    }
    RowWrite write;
    write.table = target_;
    for (std::size_t i = 0; i < columns().size(); ++i) {
      if (!buffer[i]) continue;
      const ColumnInfo& column = columns()[i];
      if (column.table != target_ || column.origin.empty()) {
        raise(err::kAdNotSupported,
              "Field '" + column.name + "' cannot be updated: it is not a column of the table.");
      }
      write.columns.push_back(column.origin);
      write.values.push_back(storable(column, *buffer[i]));
    }
    std::vector<int> readIndex(columns().size(), -1);
    for (std::size_t i = 0; i < columns().size(); ++i) {
      if (columns()[i].table == target_ && !columns()[i].origin.empty()) {
        readIndex[i] = static_cast<int>(write.readBack.size());
        write.readBack.push_back(columns()[i].origin);
      }
    }
    if (edit == Edit::Adding) {
      StoredRow stored = session()->insertRow(write);
      std::vector<Variant> values(columns().size(), Variant::null());
      for (std::size_t i = 0; i < columns().size(); ++i) {
        if (readIndex[i] >= 0) values[i] = stored.values[static_cast<std::size_t>(readIndex[i])];
      }
      // The new row becomes the current one; the cursor stays where it was
      // (and is read, if it has not been yet, when the caller moves on).
      added_ = std::move(values);
      addedKey_ = std::move(stored.key);
      overlay_ = true;
      count_.reset();
      return;
    }
    const RowKey& key = overlay_ ? addedKey_ : key_;
    if (key.empty()) {
      raise(err::kAdNotSupported,
            "The recordset cannot locate its row for updating: select from one table to edit rows.");
    }
    std::optional<StoredRow> stored = session()->updateRow(write, key);
    if (!stored) {
      raise(err::kDbNoRecord,
            "Row cannot be located for updating. Some values may have been changed since it was last read.");
    }
    std::vector<Variant>& current = overlay_ ? added_ : row_;
    for (std::size_t i = 0; i < columns().size(); ++i) {
      if (readIndex[i] >= 0) current[i] = stored->values[static_cast<std::size_t>(readIndex[i])];
    }
  }

  std::int32_t pageSize() const override { return pageSize_; }

  void setPageSize(std::int32_t size) override {
    if (size < 1) raise(err::kAdArguments);
    pageSize_ = size;
  }

  std::int32_t absolutePage() const override {
    requireOpen();
    if (!counted_ || overlay_ || edit_ == Edit::Adding) return -1;  // adPosUnknown
    if (bof()) return -2;                                           // adPosBOF
    if (eof()) return -3;                                           // adPosEOF
    return static_cast<std::int32_t>(pos_ / pageSize_ + 1);
  }

  void setAbsolutePage(std::int32_t page) override {
    requireOpen();
    if (!counted_) raise(err::kAdNotSupported, kNoBookmarksText);
    if (page < 1 || page > pageCount()) raise(err::kAdArguments);
    if (edit_ != Edit::None) update();
    openWindow(static_cast<std::int64_t>(page - 1) * pageSize_, pageSize_);
  }

  std::int32_t pageCount() const override {
    requireOpen();
    if (!counted_) return -1;
    const std::int64_t n = count();
    const std::int64_t pages = (n + pageSize_ - 1) / pageSize_;
    return static_cast<std::int32_t>(std::min<std::int64_t>(pages, std::numeric_limits<std::int32_t>::max()));
  }

  std::int64_t recordCount() const override {
    requireOpen();
    return counted_ ? count() : -1;
  }

  std::string getString(int format, int rows, std::string_view colDelim, std::string_view rowDelim,
                        std::string_view nullExpr) override {
    requireOpen();
    if (format != adClipString) raise(err::kAdArguments);
    if (eof()) raise(err::kDbEofBof);
    std::string out;
    for (std::int64_t n = 0; (rows <= 0 || n < rows) && !eof(); ++n) {
      const std::vector<Variant>& row = *currentRow();
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i].isNull()) {
          out += nullExpr;
        } else {
          out += row[i].joinText();
        }
        out += i + 1 < row.size() ? colDelim : rowDelim;
      }
      moveNext();
    }
    return out;
  }

  void close() override {
    requireOpen();
    reset();
  }

  // ---- Late binding, from the table "Recordset" (below) ----
  const MemberTable& members() const noexcept override;
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
  Variant getProperty(std::string_view name) override;
  void setProperty(std::string_view name, const Variant& value) override;

  // ---- Used by Connection::execute ----
  // A forward-only, read-only recordset over `cursor`, on its first row.
  void attachForward(std::shared_ptr<DataSession> session, std::unique_ptr<Cursor> cursor, std::string sql) {
    attach(std::move(session), std::move(cursor), std::move(sql), false, false);
  }

  // ---- For Field / Fields ----
  const std::vector<ColumnInfo>& columns() const { return columns_ ? *columns_ : noColumns_; }

  Variant valueAt(int index) {
    requireOpen();
    checkIndex(index);
    const auto i = static_cast<std::size_t>(index);
    if (edit_ != Edit::None && buffer_[i]) return *buffer_[i];
    if (edit_ == Edit::Adding) return Variant::null();
    const std::vector<Variant>* row = currentRow();
    if (!row) raise(err::kDbEofBof);
    return (*row)[i];
  }

  void setValueAt(int index, const Variant& value) {
    requireOpen();
    checkIndex(index);
    if (!updatable_) raise(err::kAdNotSupported, kNotUpdatableText);
    if (edit_ == Edit::None) {
      if (!currentRow()) raise(err::kDbEofBof);
      edit_ = Edit::Changing;
      buffer_.assign(columns().size(), std::nullopt);
    }
    buffer_[static_cast<std::size_t>(index)] = value;
  }

  std::shared_ptr<ProviderRecordset> self() {
    return std::static_pointer_cast<ProviderRecordset>(shared_from_this());
  }

 private:
  enum class Edit { None, Changing, Adding };

  void requireOpen() const {
    if (!open_) raise(err::kDbClosed);
  }

  void checkIndex(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= columns().size())
      raise(err::kDbNoSuchColumn, kNoItemText);
  }

  const std::shared_ptr<DataSession>& session() const {
    if (!session_) raise(err::kDbClosed);
    return session_;
  }

  void attach(std::shared_ptr<DataSession> session, std::unique_ptr<Cursor> cursor, std::string sql,
              bool counted, bool updatable) {
    reset();
    session_ = std::move(session);
    cursor_ = std::move(cursor);
    sql_ = std::move(sql);
    counted_ = counted;
    updatable_ = updatable;
    wantKeys_ = updatable;
    columns_ = cursor_->sharedColumns();
    fields_.reset(columns().size());
    // The one table the columns come from, if there is exactly one.
    target_.clear();
    for (const auto& c : columns()) {
      if (c.table.empty()) continue;
      if (target_.empty()) {
        target_ = c.table;
      } else if (c.table != target_) {
        target_.clear();
        break;
      }
    }
    open_ = true;
    // Forward-only: on the first row at once, so that Execute reports a
    // failing statement itself. Keyset: nothing is read before it is needed.
    if (!counted_) ensurePositioned();
  }

  void reset() {
    open_ = false;
    counted_ = updatable_ = wantKeys_ = false;
    cursor_.reset();
    session_.reset();
    sql_.clear();
    columns_.reset();
    fields_.reset(0);
    target_.clear();
    pos_ = 0;
    windowEnd_ = -1;
    positioned_ = haveRow_ = overlay_ = false;
    row_.clear();
    key_.clear();
    added_.clear();
    addedKey_.clear();
    count_.reset();
    edit_ = Edit::None;
    buffer_.clear();
  }

  std::int64_t count() const {
    if (!count_) count_ = session()->count(sql_);
    return *count_;
  }

  // EOF/BOF before the first row is read. A read-only keyset answers from
  // the count (a pager asks for it next anyway, and the rows are read only
  // for the page it then chooses). An updatable recordset is opened to edit
  // or add a row: it reads its first row instead, which editing needs
  // anyway, and counts only when RecordCount or the pages are asked for.
  bool answersByCount() const { return !positioned_ && counted_ && (!updatable_ || count_.has_value()); }

  // Rows start .. start+limit-1 (limit < 0: to the end); nothing read yet.
  void openWindow(std::int64_t start, std::int64_t limit) const {
    const Dialect& dialect = session()->dialect();
    cursor_ =
        session()->query(start == 0 && limit < 0 ? sql_ : dialect.limitRows(sql_, limit, start), wantKeys_);
    pos_ = start;
    windowEnd_ = limit < 0 ? -1 : start + limit;
    positioned_ = haveRow_ = overlay_ = false;
    key_.clear();
  }

  // Reads the row at pos_. Past the end of a page window the caller is
  // reading on: the rest of the result follows in one further statement.
  void fetch() const {
    if (windowEnd_ >= 0 && pos_ >= windowEnd_) openWindow(pos_, -1);
    positioned_ = true;
    haveRow_ = cursor_->next(row_);
    if (haveRow_ && wantKeys_) {
      key_ = cursor_->rowKey();
    } else {
      key_.clear();
    }
  }

  void ensurePositioned() const {
    if (!positioned_) fetch();
  }

  const std::vector<Variant>* currentRow() const {
    if (overlay_) return &added_;
    ensurePositioned();
    return haveRow_ ? &row_ : nullptr;
  }

  std::shared_ptr<const ProviderRegistry> providers_;
  FieldsImpl fields_;
  bool open_ = false;
  bool counted_ = false;    // keyset/static over a query: exact count, pages
  bool updatable_ = false;  // lock type other than read-only
  bool wantKeys_ = false;
  std::shared_ptr<DataSession> session_;
  // The reading position changes lazily, also in const queries (EOF,
  // RecordCount): what is read is decided by the first question asked.
  mutable std::unique_ptr<Cursor> cursor_;
  std::string sql_;  // the translated statement
  // Shared with the cursors' provider (they stay the same from page to page).
  // Null when closed.
  std::shared_ptr<const std::vector<ColumnInfo>> columns_;
  const std::vector<ColumnInfo> noColumns_;
  std::string target_;  // the table written by AddNew/Update, "" when none

  mutable std::int64_t pos_ = 0;         // index of the current row in the whole result
  mutable std::int64_t windowEnd_ = -1;  // cursor_ ends before this row (-1: at the end)
  mutable bool positioned_ = false;      // cursor_ has been stepped onto pos_
  mutable bool haveRow_ = false;         // ... and found a row there
  mutable std::vector<Variant> row_;
  mutable RowKey key_;
  mutable std::optional<std::int64_t> count_;
  std::int32_t pageSize_ = 10;  // ADO's default

  Edit edit_ = Edit::None;
  std::vector<std::optional<Variant>> buffer_;
  mutable bool overlay_ = false;  // the current row is one just added (added_)
  std::vector<Variant> added_;
  RowKey addedKey_;

  // Defaults for a late-bound Open that leaves them out.
  int cursorType_ = adOpenForwardOnly;
  int lockType_ = adLockReadOnly;
};

std::string FieldImpl::name() const {
  return rs_->columns().at(static_cast<std::size_t>(index_)).name;
}
Variant FieldImpl::value() const {
  return rs_->valueAt(index_);
}
void FieldImpl::setValue(const Variant& value) {
  rs_->setValueAt(index_, value);
}

Field& FieldsImpl::item(std::string_view name) {
  const auto& columns = rs_->columns();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (iequals(columns[i].name, name)) return fields_[i];
  }
  raise(err::kDbNoSuchColumn, kNoItemText);
}

// ---------------------------------------------------------------------------
// Late binding: the names a page script uses.

// The names a page uses on a recordset, its fields and a field. The ids are
// their DISPIDs: never renumber one.
enum FieldId : std::int32_t { kFieldValue = 0, kFieldName = 1 };
constexpr Member kFieldMembers[] = {
    {"Value", kFieldValue, Member::kGet | Member::kLet | Member::kMethod, 0, 0},
    {"Name", kFieldName, Member::kGet, 0, 0},
};
constexpr MemberTable kFieldTable("Field", kFieldMembers);

enum FieldsId : std::int32_t { kFieldsItem = 0, kFieldsCount = 1, kFieldsEnum = -4 };
constexpr Member kFieldsMembers[] = {
    {"Item", kFieldsItem, Member::kGet | Member::kMethod, 1, 1},
    {"Count", kFieldsCount, Member::kGet, 0, 0},
    {"_NewEnum", kFieldsEnum, Member::kGet | Member::kMethod, 0, 0},
};
constexpr MemberTable kFieldsTable("Fields", kFieldsMembers);

enum RecordsetId : std::int32_t {
  // rs("name"): the value of a field of the current row.
  kCollect = 0,
  kOpen = 1,
  kMoveNext,
  kAddNew,
  kUpdate,
  kClose,
  kGetString,
  kFields,
  kItem,
  kEof,
  kBof,
  kPageSize,
  kAbsolutePage,
  kPageCount,
  kRecordCount,
  kState,
  kCursorType,
  kLockType,
};
constexpr std::uint8_t kProperty = Member::kGet | Member::kLet;
constexpr Member kRecordsetMembers[] = {
    {"Collect", kCollect, Member::kGet | Member::kMethod, 1, 1},
    {"Open", kOpen, Member::kMethod, 0, 5},
    {"MoveNext", kMoveNext, Member::kMethod, 0, 0},
    {"AddNew", kAddNew, Member::kMethod, 0, 0},
    {"Update", kUpdate, Member::kMethod, 0, 0},
    {"Close", kClose, Member::kMethod, 0, 0},
    {"GetString", kGetString, Member::kMethod, 0, 5},
    {"Fields", kFields, Member::kGet | Member::kMethod, 0, 1},
    {"Item", kItem, Member::kGet | Member::kMethod, 1, 1},
    {"EOF", kEof, Member::kGet, 0, 0},
    {"BOF", kBof, Member::kGet, 0, 0},
    {"PageSize", kPageSize, kProperty, 0, 0},
    {"AbsolutePage", kAbsolutePage, kProperty, 0, 0},
    {"PageCount", kPageCount, Member::kGet, 0, 0},
    {"RecordCount", kRecordCount, Member::kGet, 0, 0},
    {"State", kState, Member::kGet, 0, 0},
    {"CursorType", kCursorType, kProperty, 0, 0},
    {"LockType", kLockType, kProperty, 0, 0},
};
constexpr MemberTable kRecordsetTable("Recordset", kRecordsetMembers);

// A field as an object: keeps its recordset alive.
class FieldObject final : public Object {
 public:
  FieldObject(std::shared_ptr<ProviderRecordset> rs, int index) : rs_(std::move(rs)), index_(index) {}
  const MemberTable& members() const noexcept override { return kFieldTable; }
  Variant invoke(std::string_view name, Args& args) override {
    bindMember(kFieldTable, name, Member::kMethod, args.size());  // Value alone
    return rs_->valueAt(index_);
  }
  Variant getProperty(std::string_view name) override {
    if (bindMember(kFieldTable, name, Member::kGet, 0).id == kFieldName)
      return Variant(rs_->fields().item(index_).name());
    return rs_->valueAt(index_);
  }
  void setProperty(std::string_view name, const Variant& value) override {
    bindMember(kFieldTable, name, Member::kPut, 0);  // Value alone
    rs_->setValueAt(index_, value);
  }

 private:
  std::shared_ptr<ProviderRecordset> rs_;
  int index_;
};

int fieldIndex(ProviderRecordset& rs, const Variant& key) {
  if (key.isString()) {
    const auto& columns = rs.columns();
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (iequals(columns[i].name, key.str())) return static_cast<int>(i);
    }
    raise(err::kDbNoSuchColumn, kNoItemText);
  }
  int index = key.toInt32();
  if (index < 0 || static_cast<std::size_t>(index) >= rs.columns().size())
    raise(err::kDbNoSuchColumn, kNoItemText);
  return index;
}

class FieldsObject final : public Object {
 public:
  explicit FieldsObject(std::shared_ptr<ProviderRecordset> rs) : rs_(std::move(rs)) {}
  const MemberTable& members() const noexcept override { return kFieldsTable; }
  // Item(key); _NewEnum has no value of its own here (enumerate is the
  // enumeration): 438 by name.
  Variant invoke(std::string_view name, Args& args) override {
    if (bindMember(kFieldsTable, name, Member::kMethod, args.size()).id != kFieldsItem)
      raise(err::kNotSupported);
    rs_->fields();  // raises when closed
    return Variant(std::make_shared<FieldObject>(rs_, fieldIndex(*rs_, args[0])));
  }
  Variant getProperty(std::string_view name) override {
    if (bindMember(kFieldsTable, name, Member::kGet, 0).id != kFieldsCount) raise(err::kNotSupported);
    return Variant(static_cast<std::int32_t>(rs_->fields().count()));
  }
  // Every field, in column order (For Each f In rs.Fields).
  std::vector<Variant> enumerate() override {
    const int n = rs_->fields().count();  // raises when closed
    std::vector<Variant> out;
    out.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) out.emplace_back(std::make_shared<FieldObject>(rs_, i));
    return out;
  }

 private:
  std::shared_ptr<ProviderRecordset> rs_;
};

const MemberTable& ProviderRecordset::members() const noexcept {
  return kRecordsetTable;
}

Variant ProviderRecordset::invoke(std::string_view name, Args& args) {
  switch (bindMember(kRecordsetTable, name, Member::kMethod, args.size()).id) {
    case kOpen: {
      std::shared_ptr<Connection> connection;
      if (given(args, 1) && args[1].isObject()) {
        connection = std::dynamic_pointer_cast<Connection>(args[1].object());
        if (!connection) raise(err::kAdArguments, kBadConnectionText);
      } else if (given(args, 1)) {  // a connection string: a connection of our own
        connection = makeConnection(providers_);
        connection->open(args[1].toString());
      } else {
        raise(err::kAdArguments, kBadConnectionText);
      }
      open(textArg(args, 0, ""), connection, intArg(args, 2, cursorType_), intArg(args, 3, lockType_),
           intArg(args, 4, adCmdUnspecified));
      return {};
    }
    case kMoveNext:
      moveNext();
      return {};
    case kAddNew:
      addNew();
      return {};
    case kUpdate:
      update();
      return {};
    case kClose:
      close();
      return {};
    case kGetString:
      return Variant(getString(intArg(args, 0, adClipString), intArg(args, 1, -1), textArg(args, 2, "\t"),
                               textArg(args, 3, "\r"), textArg(args, 4, "")));
    case kFields:
      if (args.empty()) return Variant(std::make_shared<FieldsObject>(self()));
      fields();
      return Variant(std::make_shared<FieldObject>(self(), fieldIndex(*this, args[0])));
    case kCollect:
    case kItem:
      fields();
      return valueAt(fieldIndex(*this, args[0]));
    default:
      raise(err::kNotSupported);
  }
}

Variant ProviderRecordset::getProperty(std::string_view name) {
  switch (bindMember(kRecordsetTable, name, Member::kGet, 0).id) {
    case kEof:
      return Variant(eof());
    case kBof:
      return Variant(bof());
    case kPageSize:
      return Variant(pageSize());
    case kAbsolutePage:
      return Variant(absolutePage());
    case kPageCount:
      return Variant(pageCount());
    case kRecordCount: {
      const std::int64_t n = recordCount();
      if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(n));
      }
      return Variant(n);
    }
    case kState:
      return Variant(static_cast<std::int32_t>(open_ ? 1 : 0));
    case kFields:
      return Variant(std::make_shared<FieldsObject>(self()));
    case kCursorType:
      return Variant(static_cast<std::int32_t>(cursorType_));
    case kLockType:
      return Variant(static_cast<std::int32_t>(lockType_));
    default:
      raise(err::kNotSupported);
  }
}

void ProviderRecordset::setProperty(std::string_view name, const Variant& value) {
  switch (bindMember(kRecordsetTable, name, Member::kPut, 0).id) {
    case kPageSize:
      return setPageSize(value.toInt32());
    case kAbsolutePage:
      return setAbsolutePage(value.toInt32());
    case kCursorType:
      if (open_) raise(err::kAdObjectOpen);
      cursorType_ = value.toInt32();
      return;
    case kLockType:
      if (open_) raise(err::kAdObjectOpen);
      lockType_ = value.toInt32();
      return;
    default:
      raise(err::kNotSupported);
  }
}

}  // namespace

std::shared_ptr<Recordset> makeRecordset(std::shared_ptr<const ProviderRegistry> providers) {
  return std::make_shared<ProviderRecordset>(std::move(providers));
}

namespace ado {

std::shared_ptr<Recordset> forwardRecordset(std::shared_ptr<const ProviderRegistry> providers,
                                            std::shared_ptr<DataSession> session,
                                            std::unique_ptr<Cursor> rows, std::string sql) {
  auto rs = std::make_shared<ProviderRecordset>(std::move(providers));
  rs->attachForward(std::move(session), std::move(rows), std::move(sql));
  return rs;
}

}  // namespace ado

}  // namespace kvdn
