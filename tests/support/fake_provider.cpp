#include "support/fake_provider.h"

#include "sqlite_provider.h"

namespace kvdn {

namespace {

class FakeSession final : public DataSession {
 public:
  FakeSession(std::unique_ptr<DataSession> inner, std::shared_ptr<FakeSwitches> switches)
      : inner_(std::move(inner)), switches_(std::move(switches)) {}

  const Dialect& dialect() const override { return inner_->dialect(); }

  std::unique_ptr<Cursor> query(std::string_view sql, bool wantKeys) override {
    statement(sql, "");
    return inner_->query(sql, wantKeys);
  }
  ExecuteResult execute(std::string_view sql) override {
    statement(sql, "");
    return inner_->execute(sql);
  }
  std::int64_t count(std::string_view sql) override {
    statement(sql, "count: ");
    return inner_->count(sql);
  }
  StoredRow insertRow(const RowWrite& row) override {
    rowWrite("insert: ", row);
    return inner_->insertRow(row);
  }
  std::optional<StoredRow> updateRow(const RowWrite& row, const RowKey& key) override {
    rowWrite("update: ", row);
    return inner_->updateRow(row, key);
  }
  void begin() override {
    counted();
    inner_->begin();
  }
  void commit() override {
    counted();
    inner_->commit();
  }
  void rollback() override {
    counted();
    inner_->rollback();
  }
  void close() override { inner_->close(); }
  bool isOpen() const override { return inner_->isOpen(); }

 private:
  void counted() {
    if (switches_->countdown.tick()) raise(switches_->number, switches_->description);
  }
  void statement(std::string_view sql, std::string_view prefix) {
    switches_->log.push_back(std::string(prefix) + std::string(sql));
    counted();
    const std::string& line = switches_->log.back();
    if (switches_->failStatement && (switches_->failStatementMatching.empty() ||
                                     line.find(switches_->failStatementMatching) != std::string::npos)) {
      raise(switches_->number, switches_->description);
    }
  }
  void rowWrite(std::string_view prefix, const RowWrite& row) {
    switches_->log.push_back(std::string(prefix) + row.table);
    counted();
    if (switches_->failRowWrite) raise(switches_->number, switches_->description);
  }

  std::unique_ptr<DataSession> inner_;
  std::shared_ptr<FakeSwitches> switches_;
};

class FakeProvider final : public Provider {
 public:
  FakeProvider(std::shared_ptr<Provider> inner, std::shared_ptr<FakeSwitches> switches)
      : inner_(std::move(inner)), switches_(std::move(switches)) {}

  std::string name() const override { return "fake " + inner_->name(); }
  bool accepts(const ConnectionString& cs) const override { return inner_->accepts(cs); }
  std::unique_ptr<DataSession> open(const ConnectionString& cs) override {
    ++switches_->opens;
    if (switches_->countdown.tick()) raise(switches_->number, switches_->description);
    if (switches_->failOpen) raise(switches_->number, switches_->description);
    return std::make_unique<FakeSession>(inner_->open(cs), switches_);
  }

 private:
  std::shared_ptr<Provider> inner_;
  std::shared_ptr<FakeSwitches> switches_;
};

}  // namespace

std::shared_ptr<FakeSwitches> installFakeProvider(ProviderRegistry& registry,
                                                  std::shared_ptr<Provider> inner) {
  auto switches = std::make_shared<FakeSwitches>();
  registry.add(std::make_shared<FakeProvider>(inner ? std::move(inner) : makeSqliteProvider(), switches));
  return switches;
}

}  // namespace kvdn
