// Deep pages found by seeking on the order key: the statement shapes that
// allow it (the row key, or an indexed column whose index orders the
// statement), and the ladder of every kLadderStep-th key kept per statement.
#include <cmath>
#include <cstdio>

#include "kvdn/text.h"
#include "sqlite_session.h"

namespace kvdn::sqlite_internal {

std::string unquotedName(std::string_view name) {
  if (name.size() >= 2 &&
      ((name.front() == '"' && name.back() == '"') || (name.front() == '[' && name.back() == ']') ||
       (name.front() == '`' && name.back() == '`'))) {
    return std::string(name.substr(1, name.size() - 2));
  }
  return std::string(name);
}

std::optional<SeekShape> seekShapeOf(std::string_view statement) {
  const sql::Shape shape = sql::shapeOf(statement);
  if (!shape.query || shape.limited || shape.compound || shape.distinct || shape.grouped) return std::nullopt;
  const std::string_view text = sql::trimStatement(statement);
  const sql::TokenList t(text);
  std::size_t select = sql::npos;
  const std::size_t columns = t.afterSelect(&select);
  if (columns == sql::npos || select != t.nextSig(0) || t.isWord(columns, "top")) return std::nullopt;
  const std::size_t from = t.findOuter(columns, "from");
  const std::size_t order = t.outerOrderBy();
  if (from == sql::npos || order == sql::npos || order < from) return std::nullopt;
  const std::size_t table = t.nextSig(from + 1);
  if (!t.isName(table)) return std::nullopt;
  const std::size_t afterTable = t.nextSig(table + 1);
  std::size_t where = sql::npos;
  if (t.isWord(afterTable, "where")) {
    where = afterTable;
  } else if (afterTable != order) {
    return std::nullopt;  // an alias, a join, a list of tables
  }
  for (const char* word : {"having", "window"}) {
    if (t.findWord(from, order, word) != sql::npos) return std::nullopt;
  }
  const std::size_t by = t.nextSig(order + 1);
  const std::size_t key = t.nextSig(by + 1);
  if (!t.isWord(by, "by") || !t.isName(key)) return std::nullopt;
  std::size_t last = key;
  bool descending = false;
  const std::size_t direction = t.nextSig(key + 1);
  if (t.isWord(direction, "asc") || t.isWord(direction, "desc")) {
    descending = t.isWord(direction, "desc");
    last = direction;
  }
  if (t.lastSig(0, t.size()) != last) return std::nullopt;  // more after the key
  // The key as a result column may only be the column itself: "x AS key",
  // "x key" or "t.key" would make the seek compare another value.
  const std::string keyName = asciiLower(unquotedName(t.str(key)));
  for (std::size_t i = columns; i < from; i = t.skipGroup(i)) {
    if (t.trivia(i) || !t.isName(i) || asciiLower(unquotedName(t.str(i))) != keyName) continue;
    const std::size_t before = t.prevSig(i);
    const std::size_t after = t.nextSig(i + 1);
    if (!(i == columns || t.isPunct(before, ',')) || !(after == from || t.isPunct(after, ','))) {
      return std::nullopt;
    }
  }
  SeekShape out;
  out.head = std::string(text.substr(0, t.tokens[where != sql::npos ? where : order].begin));
  if (where != sql::npos) {
    const std::size_t b = t.tokens[where].end;
    out.condition = std::string(text.substr(b, t.tokens[order].begin - b));
    if (sql::trimStatement(out.condition).empty()) return std::nullopt;
  }
  out.table = unquotedName(t.str(table));
  out.key = std::string(t.str(key));
  out.descending = descending;
  return out;
}

// The statement to run for `limited` when it is a window (limitRows) of a
// statement of the seek shape, beyond its first step: the page's rows are
// found by seeking to the remembered key of the nearest step before them,
// then skipping fewer than kLadderStep rows. "" when the window is read as
// it stands (not a window, not of that shape, near the start, inside a
// transaction, or the ladder cannot be had).
std::string SqliteSession::seekingWindow(std::string_view limited) {
  if (!speedPathsOn()) return {};
  const SqliteDialect::Window* window = dialect_->window(limited);
  if (!window || window->offset < kLadderStep) return {};
  const std::optional<SeekShape>& shape = seekShape(window->statement, limited);
  if (!shape || !keptStillValid()) return {};
  const std::vector<SeekStep>* ladder = ladderOf(window->statement, *shape);
  if (!ladder) return {};
  const auto step = static_cast<std::size_t>(window->offset / kLadderStep);
  if (step >= ladder->size()) return {};
  const SeekStep& from = (*ladder)[step];
  const char* direction = shape->descending ? " DESC" : "";
  std::string out = shape->head;
  out += shape->condition.empty() ? " WHERE " : " WHERE (" + shape->condition + ") AND ";
  if (shape->rowKey) {
    out += shape->key + (shape->descending ? " <= " : " >= ") + from.key;
    out += " ORDER BY " + shape->key + direction;
  } else {
    // The order the index gives: by key, equal keys by rowid; Null is
    // below every value, so a Null run comes first ascending and last
    // descending, and a comparison with Null is never true: the rows of a
    // Null run are named by IS NULL.
    const std::string rowid = std::to_string(from.rowid);
    if (from.null) {
      out += shape->descending ? "(" + shape->key + " IS NULL AND _rowid_ <= " + rowid + ")"
                               : "((" + shape->key + " IS NULL AND _rowid_ >= " + rowid + ") OR " +
                                     shape->key + " IS NOT NULL)";
    } else if (shape->descending) {
      out += "((" + shape->key + ", _rowid_) <= (" + from.key + ", " + rowid + ") OR " + shape->key +
             " IS NULL)";
    } else {
      out += "(" + shape->key + ", _rowid_) >= (" + from.key + ", " + rowid + ")";
    }
    out += " ORDER BY " + shape->key + direction + ", _rowid_" + direction;
  }
  out += " LIMIT " + std::to_string(window->limit < 0 ? -1 : window->limit);
  const std::int64_t skip = window->offset - static_cast<std::int64_t>(step) * kLadderStep;
  if (skip > 0) out += " OFFSET " + std::to_string(skip);
  return out;
}

// The seek shape of `statement` on this connection's schema, remembered.
// `limited` is the window as the offset would read it: SQLite weighs a
// LIMIT in choosing its plan, so whether the index gives the order (and so
// the order of equal keys) is asked of that very statement.
const std::optional<SeekShape>& SqliteSession::seekShape(const std::string& statement,
                                                         std::string_view limited) {
  // A shape depends on the schema (keys, indexes) and the plan.
  if (shapesEpoch_ != handle_->epoch) {
    shapes_.clear();
    shapesEpoch_ = handle_->epoch;
  }
  if (auto it = shapes_.find(limited); it != shapes_.end()) return it->second;
  if (shapes_.size() >= kRememberedKeyed) shapes_.clear();
  std::optional<SeekShape> shape = seekShapeOf(statement);
  if (shape) {
    shape->rowKey = isRowKey(*shape);
    if (!shape->rowKey && !isIndexOrdered(*shape, std::string(limited))) shape.reset();
  }
  return shapes_.emplace(std::string(limited), std::move(shape)).first->second;
}

// The key is the table's row key: rowid by one of its names, or the only
// primary-key column, declared INTEGER.
bool SqliteSession::isRowKey(const SeekShape& shape) {
  const std::string key = asciiLower(unquotedName(shape.key));
  if (key == "rowid" || key == "_rowid_" || key == "oid") return true;
  try {
    Statement st =
        prepare(handle_, "SELECT lower(name), upper(type) FROM pragma_table_info(?1) WHERE pk > 0");
    // Text is bound without a copy: the value must outlive the steps.
    const Variant table(shape.table);
    bindValue(handle_->db, st.get(), 1, table);
    int keys = 0;
    bool match = false;
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
      ++keys;
      const std::string name = text(reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)));
      const std::string type = text(reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1)));
      match = name == key && type == "INTEGER";
    }
    return keys == 1 && match;
  } catch (const ComError&) {
    return false;
  }
}

// The key is a column of the table (not one that hides the rowid's names)
// and SQLite's plan reads `statement` in the order of an index on that
// column alone: one scan or search of the table using such an index and no
// sorting of its own. Equal keys then come in rowid order (an index
// holds the rowid after its columns), backwards for DESC.
bool SqliteSession::isIndexOrdered(const SeekShape& shape, const std::string& statement) {
  const std::string key = asciiLower(unquotedName(shape.key));
  try {
    Statement columns = prepare(handle_, "SELECT lower(name) FROM pragma_table_info(?1)");
    const Variant table(shape.table);  // bound without a copy: outlives the steps
    bindValue(handle_->db, columns.get(), 1, table);
    bool found = false;
    while (sqlite3_step(columns.get()) == SQLITE_ROW) {
      const std::string name = text(reinterpret_cast<const char*>(sqlite3_column_text(columns.get(), 0)));
      if (name == "rowid" || name == "_rowid_" || name == "oid") return false;
      found = found || name == key;
    }
    if (!found) return false;
    // Indexes of the table on the key alone, ascending: an index of more
    // columns orders equal keys by its next column, not by rowid, and one
    // declared DESC holds equal keys in rowid order under keys in reverse,
    // so that read backwards for an ascending order its ties come last
    // rowid first.
    Statement indexes =
        prepare(handle_,
                "SELECT lower(il.name) FROM pragma_index_list(?1) il, pragma_index_xinfo(il.name) ii "
                "WHERE ii.seqno = 0 AND ii.key = 1 AND ii.desc = 0 AND lower(ii.name) = ?2 AND "
                "(SELECT count(*) FROM pragma_index_xinfo(il.name) WHERE key = 1) = 1");
    const Variant keyValue(key);
    bindValue(handle_->db, indexes.get(), 1, table);
    bindValue(handle_->db, indexes.get(), 2, keyValue);
    std::vector<std::string> usable;
    while (sqlite3_step(indexes.get()) == SQLITE_ROW)
      usable.push_back(text(reinterpret_cast<const char*>(sqlite3_column_text(indexes.get(), 0))));
    if (usable.empty()) return false;
    Statement plan = prepare(handle_, "EXPLAIN QUERY PLAN " + statement);
    int steps = 0;
    bool ordered = false;
    while (sqlite3_step(plan.get()) == SQLITE_ROW) {
      ++steps;
      const std::string detail =
          asciiLower(text(reinterpret_cast<const char*>(sqlite3_column_text(plan.get(), 3))));
      if (detail.find("temp b-tree") != std::string::npos) return false;
      for (const std::string& index : usable) {
        for (const char* using_ : {"using index ", "using covering index "}) {
          const std::string mark = using_ + index;
          const std::size_t at = detail.find(mark);
          if (at != std::string::npos &&
              (at + mark.size() == detail.size() || detail[at + mark.size()] == ' '))
            ordered = true;
        }
      }
    }
    return steps == 1 && ordered;
  } catch (const ComError&) {
    return false;
  }
}

// Every kLadderStep-th key of `statement` in its order, built with one
// pass over the keys and kept until the database changes.
const std::vector<SeekStep>* SqliteSession::ladderOf(const std::string& statement, const SeekShape& shape) {
  auto& ladders = handle_->ladders;
  if (auto it = ladders.find(statement); it != ladders.end()) return &it->second;
  if (ladders.size() >= kMaxLadders) ladders.clear();
  const char* direction = shape.descending ? " DESC" : "";
  // The row key is its own tie-break (and a table without rowid may have one).
  std::string keys = "SELECT " + shape.key + ", " + (shape.rowKey ? shape.key : std::string("_rowid_")) +
                     " FROM " + sql::quoteIdentifier(shape.table);
  if (!shape.condition.empty()) keys += " WHERE " + shape.condition;
  keys += " ORDER BY " + shape.key + direction;
  if (!shape.rowKey) keys += std::string(", _rowid_") + direction;
  std::vector<SeekStep> ladder;
  try {
    Statement st = prepare(handle_, keys);
    std::int64_t n = 0;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
      if (n++ % kLadderStep != 0) continue;
      SeekStep step;
      step.rowid = sqlite3_column_int64(st.get(), 1);
      switch (sqlite3_column_type(st.get(), 0)) {
        case SQLITE_INTEGER:
          step.key = std::to_string(sqlite3_column_int64(st.get(), 0));
          break;
        case SQLITE_FLOAT: {
          const double v = sqlite3_column_double(st.get(), 0);
          if (shape.rowKey || !std::isfinite(v)) return nullptr;
          char number[40];
          std::snprintf(number, sizeof number, "%.17g", v);
          step.key = number;
          if (step.key.find_first_of(".en") == std::string::npos) step.key += ".0";  // stays a real
          break;
        }
        case SQLITE_TEXT: {
          if (shape.rowKey) return nullptr;
          const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
          const std::string value(bytes, static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 0)));
          if (value.find('\0') != std::string::npos) return nullptr;
          // Built a character at a time: GCC 12 at -O3 reports a false
          // -Wrestrict for the string-concatenation forms of this.
          std::string literal(1, '\'');
          literal.reserve(value.size() + 8);
          for (char c : value) {
            literal.push_back(c);
            if (c == '\'') literal.push_back(c);
          }
          literal.push_back('\'');
          step.key = std::move(literal);
          break;
        }
        case SQLITE_NULL:
          if (shape.rowKey) return nullptr;
          step.null = true;
          break;
        default:  // a blob: no literal to seek to
          return nullptr;
      }
      ladder.push_back(std::move(step));
    }
    if (rc != SQLITE_DONE) return nullptr;
  } catch (const ComError&) {
    return nullptr;
  }
  return &ladders.emplace(statement, std::move(ladder)).first->second;
}

}  // namespace kvdn::sqlite_internal
