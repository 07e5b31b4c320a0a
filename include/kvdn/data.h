// The data layer as the component uses it: Connection, Recordset, Fields.
// One implementation (the ADO-style objects over pluggable providers) lives
// in sqlite/ for file databases; other providers plug in behind the same
// Connection. Every failure raises ComError with an OLE DB style number
// (negative) and the engine's own description.
//
// Threads: the apartment model, as every Object: a connection, its
// recordsets and their fields are used by one thread (the page's); nothing in
// them is locked. Only what they share behind the scenes (the pool of kept
// database connections) is safe across threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kvdn/error.h"
#include "kvdn/export.h"
#include "kvdn/object.h"

namespace kvdn {

class Connection;

// Cursor and lock types, options: the values pages pass.
inline constexpr int adOpenForwardOnly = 0;
inline constexpr int adOpenKeyset = 1;
inline constexpr int adOpenDynamic = 2;
inline constexpr int adOpenStatic = 3;
inline constexpr int adLockReadOnly = 1;
inline constexpr int adLockPessimistic = 2;
inline constexpr int adLockOptimistic = 3;
inline constexpr int adCmdUnspecified = -1;
inline constexpr int adClipString = 2;

class KVDN_API Field {
 public:
  virtual ~Field() = default;
  virtual std::string name() const = 0;
  // The current row's value; raises when there is no current row.
  virtual Variant value() const = 0;
  // Only on updatable recordsets, between AddNew/edit and Update. The value
  // is checked against the column's declared type when the row is stored.
  virtual void setValue(const Variant& value) = 0;
};

class KVDN_API Fields {
 public:
  virtual ~Fields() = default;
  virtual int count() const = 0;
  // By position from 0; out of range raises err::kDbNoSuchColumn.
  virtual Field& item(int index) = 0;
  // By name, case-insensitively; unknown name raises err::kDbNoSuchColumn.
  virtual Field& item(std::string_view name) = 0;
};

class KVDN_API Recordset : public Object {
 public:
  // Opens `source` on `connection` (which must be open). A keyset read-only
  // recordset knows its exact RecordCount and pages without reading the whole
  // result; a keyset optimistic one is updatable (AddNew / edit / Update) and
  // has the table's columns as fields even when no row matched.
  virtual void open(std::string_view source, const std::shared_ptr<Connection>& connection,
                    int cursorType = adOpenForwardOnly, int lockType = adLockReadOnly,
                    int options = adCmdUnspecified) = 0;
  virtual bool isOpen() const = 0;
  virtual bool eof() const = 0;
  virtual bool bof() const = 0;
  virtual void moveNext() = 0;
  virtual Fields& fields() = 0;
  virtual void addNew() = 0;
  // Stores the new or edited row: bound parameters, quoted identifiers; an
  // edited row is found again by its rowid or primary key. A value the column
  // cannot take raises and nothing of the row is stored.
  virtual void update() = 0;
  virtual std::int32_t pageSize() const = 0;
  virtual void setPageSize(std::int32_t size) = 0;
  virtual std::int32_t absolutePage() const = 0;
  virtual void setAbsolutePage(std::int32_t page) = 0;
  virtual std::int32_t pageCount() const = 0;
  virtual std::int64_t recordCount() const = 0;
  // The remaining rows as text (format adClipString): each value followed by
  // colDelim, the row's last value by rowDelim instead; Null as nullExpr.
  // Raises when at EOF.
  virtual std::string getString(int format, int rows, std::string_view colDelim, std::string_view rowDelim,
                                std::string_view nullExpr) = 0;
  virtual void close() = 0;
};

class KVDN_API Connection : public Object {
 public:
  // Opens by connection string (see README: the Access kind, an SQLite file
  // that is never created by an open; "sqloledb" and ODBC kinds; the
  // spreadsheet driver). Raises on failure; the object stays closed.
  virtual void open(std::string_view connectionString, std::string_view user = "",
                    std::string_view password = "", int options = adCmdUnspecified) = 0;
  virtual bool isOpen() const = 0;
  // Runs a statement. A statement with rows gives a forward-only recordset on
  // its first row; one without rows gives a closed recordset.
  virtual std::shared_ptr<Recordset> execute(std::string_view sql, int options = adCmdUnspecified) = 0;
  // Raises when not open.
  virtual void close() = 0;
  virtual void beginTrans() = 0;
  virtual void commitTrans() = 0;
  virtual void rollbackTrans() = 0;
  virtual std::string connectionString() const = 0;
};

}  // namespace kvdn
