// A PostgreSQL database for one test: a schema of its own on the server that
// KVDN_PG_DSN names (`make test` starts one with scripts/pg-test-server.sh),
// so that tests running side by side never see each other's tables.
//
// Without KVDN_PG_DSN the server tests skip: call skipWithoutServer() (or
// check hasServer()) first.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/provider.h"

namespace kvdn::pgtest {

inline constexpr const char* kNoServer =
    "KVDN_PG_DSN is not set: no PostgreSQL server to test against. `make test` starts one (see "
    "scripts/pg-test-server.sh); or export KVDN_PG_DSN=\"$(scripts/pg-test-server.sh start | sed "
    "s/^KVDN_PG_DSN=//)\"";

// The ODBC connection string of the test server, "" when none is set.
inline std::string serverDsn() {
  const char* dsn = std::getenv("KVDN_PG_DSN");
  return dsn ? std::string(dsn) : std::string();
}
inline bool hasServer() {
  return !serverDsn().empty();
}

inline std::shared_ptr<const ProviderRegistry> standardProviders() {
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  return providers;
}

class PgDatabase {
 public:
  // Creates the schema, with the domain DATETIME (a timestamp to the second)
  // that statements written for Access and SQL Server use.
  PgDatabase() : providers_(standardProviders()) {
    static std::atomic<unsigned> counter{0};
    schema_ = "kvdn_t" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" +
              std::to_string(std::random_device{}() % 100000);
    admin_ = makeConnection(providers_);
    admin_->open(serverDsn());
    admin_->execute("CREATE SCHEMA " + schema_);
    admin_->execute("CREATE DOMAIN " + schema_ + ".datetime AS timestamp(0)");
    admin_->close();
    admin_->open(dsn());
  }
  ~PgDatabase() {
    try {
      if (admin_->isOpen()) admin_->close();
      admin_->open(serverDsn());
      admin_->execute("DROP SCHEMA " + schema_ + " CASCADE");
      admin_->close();
    } catch (const ComError& e) {
      ADD_FAILURE() << "could not drop the test schema " << schema_ << ": " << e.description();
    }
  }
  PgDatabase(const PgDatabase&) = delete;
  PgDatabase& operator=(const PgDatabase&) = delete;

  // The connection string that opens this database (its schema first on the
  // search path).
  std::string dsn() const { return serverDsn() + ";ConnSettings=SET search_path TO " + schema_; }
  const std::string& schema() const { return schema_; }
  const std::shared_ptr<const ProviderRegistry>& providers() const { return providers_; }

  // A new open connection through the library's own objects.
  std::shared_ptr<Connection> connect() const {
    auto conn = makeConnection(providers_);
    conn->open(dsn());
    return conn;
  }

  // Runs statements on the setup connection; a failure fails the test.
  void run(const std::vector<std::string>& statements) {
    for (const auto& sql : statements) {
      try {
        admin_->execute(sql);
      } catch (const ComError& e) {
        ADD_FAILURE() << sql << ": " << e.description();
      }
    }
  }

  // Every value as text ("NULL" for null).
  std::vector<std::vector<std::string>> query(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    try {
      auto rs = admin_->execute(sql);
      while (rs->isOpen() && !rs->eof()) {
        std::vector<std::string> row;
        for (int i = 0; i < rs->fields().count(); ++i) {
          const Variant v = rs->fields().item(i).value();
          row.push_back(v.isNull() ? "NULL" : v.joinText());
        }
        rows.push_back(std::move(row));
        rs->moveNext();
      }
    } catch (const ComError& e) {
      ADD_FAILURE() << sql << ": " << e.description();
    }
    return rows;
  }

 private:
  std::shared_ptr<const ProviderRegistry> providers_;
  std::string schema_;
  std::shared_ptr<Connection> admin_;
};

}  // namespace kvdn::pgtest
