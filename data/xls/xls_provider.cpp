#include "xls_provider.h"

#include <cstdio>
#include <optional>

#include "kvdn/error.h"
#include "kvdn/workbook_reader.h"
#include "sheet_query.h"

namespace kvdn {

namespace {

using xls::SheetQuery;

// What a session and its cursors share: the workbook's content while the
// session is open.
struct SessionState {
  std::shared_ptr<const WorkbookContent> workbook;
  bool open() const { return workbook != nullptr; }
};

// The heading text of a column: the cell's text form; an empty heading gets
// the name the original driver gave it, "F" + column number from 1.
std::string heading(const WorkbookSheet& sheet, unsigned column) {
  std::string text = sheet.cell(0, column).joinText();
  if (!text.empty()) return text;
  // Formatted in a buffer: GCC 12 at -O3 warns falsely (-Wrestrict) about
  // string concatenation here.
  char name[16];
  std::snprintf(name, sizeof name, "F%u", column + 1);
  return std::string(name);
}

[[noreturn]] void raiseClosed() {
  raise(err::kDbClosed);
}

// The rows of one worksheet query, read as next() asks for them.
class SheetCursor final : public Cursor {
 public:
  SheetCursor(std::shared_ptr<SessionState> state, const SheetQuery& query) : state_(std::move(state)) {
    const WorkbookContent& book = *state_->workbook;
    const int index = book.findSheet(query.sheet);
    if (index < 0) {
      raise(err::kDbNoSuchTable,
            "The Microsoft Jet database engine could not find the object '" + query.sheet +
                "$'. Make sure the object exists and that you spell its name correctly.");
    }
    sheet_ = &book.sheets[static_cast<std::size_t>(index)];
    rows_ = sheet_->rows;
    std::vector<std::string> headings;
    for (unsigned c = 0; c < sheet_->columns && sheet_->rows > 0; ++c)
      headings.push_back(heading(*sheet_, c));
    auto find = [&](const std::string& name) -> unsigned {
      for (std::size_t c = 0; c < headings.size(); ++c) {
        if (iequals(headings[c], name)) return static_cast<unsigned>(c);
      }
      raise(err::kDbNoSuchColumn, "No value given for one or more required parameters: the worksheet '" +
                                      query.sheet + "$' has no column '" + name + "'");
    };
    if (query.allColumns) {
      for (unsigned c = 0; c < headings.size(); ++c) selected_.push_back(c);
    } else {
      for (const auto& name : query.columns) selected_.push_back(find(name));
    }
    for (unsigned c : selected_) columns_.push_back(ColumnInfo{headings[c], "", "", ""});
    if (!query.filterColumn.empty()) filter_ = find(query.filterColumn);
    filterNotNull_ = query.filterNotNull;
    skip_ = query.offset;
    remaining_ = query.limit;
  }

  const std::vector<ColumnInfo>& columns() const override { return columns_; }

  bool next(std::vector<Variant>& row) override {
    if (!state_->open()) raiseClosed();
    while (remaining_ != 0 && next_ < rows_) {
      const unsigned r = next_++;
      if (filter_ && sheet_->cell(r, *filter_).isNull() == filterNotNull_) continue;
      if (skip_ > 0) {
        --skip_;
        continue;
      }
      if (remaining_ > 0) --remaining_;
      row.clear();
      for (unsigned c : selected_) row.push_back(sheet_->cell(r, c));
      return true;
    }
    return false;
  }

  RowKey rowKey() const override { return {}; }

 private:
  std::shared_ptr<SessionState> state_;  // keeps the content that sheet_ points into
  const WorkbookSheet* sheet_ = nullptr;
  unsigned rows_ = 0;
  unsigned next_ = 1;  // row 0 holds the headings
  std::vector<unsigned> selected_;
  std::vector<ColumnInfo> columns_;
  std::optional<unsigned> filter_;
  bool filterNotNull_ = true;
  std::int64_t skip_ = 0;
  std::int64_t remaining_ = -1;
};

// SELECT count(*) FROM (...): one row holding the number of rows.
class CountCursor final : public Cursor {
 public:
  explicit CountCursor(std::int64_t count) : count_(count), columns_{ColumnInfo{"Expr1000", "", "", ""}} {}
  const std::vector<ColumnInfo>& columns() const override { return columns_; }
  bool next(std::vector<Variant>& row) override {
    if (done_) return false;
    done_ = true;
    row.assign(1, Variant(count_));
    return true;
  }
  RowKey rowKey() const override { return {}; }

 private:
  std::int64_t count_;
  std::vector<ColumnInfo> columns_;
  bool done_ = false;
};

class SheetDialect final : public Dialect {
 public:
  std::string translate(std::string_view sql) const override { return std::string(sql); }
  bool isQuery(std::string_view sql) const override {
    std::size_t i = sql.find_first_not_of(" \t\r\n");
    return i != std::string_view::npos && sql.size() - i >= 6 && iequals(sql.substr(i, 6), "select");
  }
  std::string limitRows(std::string_view sql, std::int64_t limit, std::int64_t offset) const override {
    return std::string(sql) + " LIMIT " + std::to_string(limit < 0 ? -1 : limit) + " OFFSET " +
           std::to_string(offset);
  }
  std::string countRows(std::string_view sql) const override {
    return "SELECT count(*) FROM (" + std::string(sql) + ")";
  }
  std::string quoteIdentifier(std::string_view name) const override { return xls::bracketName(name); }
};

[[noreturn]] void raiseReadOnly() {
  raise(err::kDbErrorsInCommand, "Operation must use an updateable query: the spreadsheet is read-only");
}

class SheetSession final : public DataSession {
 public:
  SheetSession(WorkbookReader& reader, const std::string& path) : state_(std::make_shared<SessionState>()) {
    state_->workbook = std::make_shared<const WorkbookContent>(reader.read(path));
  }
  ~SheetSession() override { close(); }

  const Dialect& dialect() const override { return dialect_; }

  std::unique_ptr<Cursor> query(std::string_view sql, bool /*wantKeys*/) override {
    if (!state_->open()) raiseClosed();
    SheetQuery q = xls::parseSheetQuery(sql);
    if (q.count) {
      SheetQuery inner = q;
      inner.count = false;
      SheetCursor rows(state_, inner);
      std::vector<Variant> row;
      std::int64_t n = 0;
      while (rows.next(row)) ++n;
      return std::make_unique<CountCursor>(n);
    }
    return std::make_unique<SheetCursor>(state_, q);
  }

  ExecuteResult execute(std::string_view sql) override {
    if (!state_->open()) raiseClosed();
    if (!dialect_.isQuery(sql)) raiseReadOnly();
    ExecuteResult result;
    result.rows = query(sql, false);
    return result;
  }

  std::int64_t count(std::string_view sql) override {
    auto cursor = query(sql, false);
    std::vector<Variant> row;
    std::int64_t n = 0;
    while (cursor->next(row)) ++n;
    return n;
  }

  StoredRow insertRow(const RowWrite&) override { raiseReadOnly(); }
  std::optional<StoredRow> updateRow(const RowWrite&, const RowKey&) override { raiseReadOnly(); }
  void begin() override { raise(err::kDbFail, "The spreadsheet reader does not support transactions"); }
  void commit() override { raise(err::kDbFail, "The spreadsheet reader does not support transactions"); }
  void rollback() override { raise(err::kDbFail, "The spreadsheet reader does not support transactions"); }

  // Frees the workbook; cursors still held raise kDbClosed from then on.
  void close() override { state_->workbook.reset(); }
  bool isOpen() const override { return state_->open(); }

 private:
  std::shared_ptr<SessionState> state_;
  SheetDialect dialect_;
};

bool isExcelDriver(std::string value) {
  if (value.size() >= 2 && value.front() == '{' && value.back() == '}')
    value = value.substr(1, value.size() - 2);
  return iequals(value, "Microsoft Excel Driver (*.xls)");
}

class XlsProvider final : public Provider {
 public:
  explicit XlsProvider(std::shared_ptr<WorkbookReader> reader) : reader_(std::move(reader)) {
    if (!reader_) raise(err::kInvalidCall, "The spreadsheet provider needs a workbook reader");
  }
  std::string name() const override { return "Excel spreadsheet"; }
  bool accepts(const ConnectionString& cs) const override {
    auto driver = cs.get("Driver");
    return driver && isExcelDriver(*driver);
  }
  std::unique_ptr<DataSession> open(const ConnectionString& cs) override {
    const std::string path = cs.value("DBQ");
    if (path.empty()) raise(err::kDbFail, "The connection string names no spreadsheet file (DBQ)");
    return std::make_unique<SheetSession>(*reader_, path);
  }

 private:
  std::shared_ptr<WorkbookReader> reader_;
};

}  // namespace

std::shared_ptr<Provider> makeXlsProvider(std::shared_ptr<WorkbookReader> reader) {
  return std::make_shared<XlsProvider>(std::move(reader));
}

std::shared_ptr<Provider> makeXlsProvider() {
  return makeXlsProvider(makeSystemWorkbookReader());
}

void registerXlsProvider(ProviderRegistry& registry, std::shared_ptr<WorkbookReader> reader) {
  registry.add(makeXlsProvider(std::move(reader)));
}

void registerXlsProvider(ProviderRegistry& registry) {
  registerXlsProvider(registry, makeSystemWorkbookReader());
}

}  // namespace kvdn
