// The cursor over one statement's result: rows read as the data layer asks for them, with
// the key columns it added kept out of the row. Internal to odbc/.
#pragma once

#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "kvdn/provider.h"
#include "odbc_handles.h"
#include "odbc_values.h"

namespace kvdn::odbc {

class OdbcCursor final : public Cursor {
 public:
  // `hidden`: leading columns added for the keys, not reported. `keys`: the
  // positions (in the full row) of the key columns; empty without keys.
  OdbcCursor(std::unique_ptr<Statement> st, std::vector<Column> columns, std::size_t hidden,
             std::vector<std::size_t> keys, bool executed)
      : st_(std::move(st)),
        all_(std::move(columns)),
        hidden_(hidden),
        keys_(std::move(keys)),
        executed_(executed) {
    for (std::size_t i = hidden_; i < all_.size(); ++i) columns_.push_back(all_[i].info);
    if (executed_ && st_->link()->oneActive) st_->link()->active = this;
  }
  ~OdbcCursor() override {
    if (st_ && st_->link()->active == this) st_->link()->active = nullptr;
  }

  const std::vector<ColumnInfo>& columns() const override { return columns_; }

  bool next(std::vector<Variant>& row) override {
    if (!buffered_.empty()) {
      auto& [values, key] = buffered_.front();
      row = std::move(values);
      key_ = std::move(key);
      buffered_.pop_front();
      return true;
    }
    if (done_) {
      key_.clear();
      return false;
    }
    std::vector<Variant> full;
    if (!fetch(full)) {
      key_.clear();
      return false;
    }
    split(std::move(full), row, key_);
    return true;
  }

  RowKey rowKey() const override { return key_; }

  // Reads every remaining row into memory and ends the result, so that the
  // connection is free for another statement.
  void drain() {
    std::vector<Variant> full;
    while (fetch(full)) {
      std::vector<Variant> values;
      RowKey key;
      split(std::move(full), values, key);
      buffered_.emplace_back(std::move(values), std::move(key));
      full.clear();
    }
  }

 private:
  // The next row with every column, or false at the end (the result is then
  // closed).
  bool fetch(std::vector<Variant>& full) {
    const LinkPtr& link = st_->link();
    if (link->closed) raiseClosed();
    if (done_) return false;
    if (!executed_) {
      link->makeRoom(this);
      st_->check(SQLExecute(st_->handle()));
      executed_ = true;
      if (link->oneActive) link->active = this;
    }
    SQLRETURN rc = SQLFetch(st_->handle());
    if (rc == SQL_NO_DATA) {
      finish();
      return false;
    }
    if (!SQL_SUCCEEDED(rc)) {
      try {
        st_->check(rc);
      } catch (...) {
        finish();
        throw;
      }
    }
    full.resize(all_.size());
    for (std::size_t i = 0; i < all_.size(); ++i) {
      full[i] = readValue(*st_, static_cast<SQLUSMALLINT>(i + 1), all_[i].read);
    }
    return true;
  }

  void finish() {
    done_ = true;
    st_->closeCursor();
    if (st_->link()->active == this) st_->link()->active = nullptr;
  }

  void split(std::vector<Variant> full, std::vector<Variant>& row, RowKey& key) const {
    key.clear();
    for (std::size_t k : keys_) key.push_back(full[k]);
    if (hidden_ == 0) {
      row = std::move(full);
    } else {
      row.assign(std::make_move_iterator(full.begin() + static_cast<std::ptrdiff_t>(hidden_)),
                 std::make_move_iterator(full.end()));
    }
  }

  std::unique_ptr<Statement> st_;
  std::vector<Column> all_;
  std::vector<ColumnInfo> columns_;
  std::size_t hidden_;
  std::vector<std::size_t> keys_;
  bool executed_;
  bool done_ = false;
  RowKey key_;
  std::deque<std::pair<std::vector<Variant>, RowKey>> buffered_;
};

}  // namespace kvdn::odbc
