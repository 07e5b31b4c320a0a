// A provider for tests: the real SQLite provider behind switches that make an
// open, a statement or a row write fail. Never registered by the library;
// tests install it into a registry of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/provider.h"
#include "support/countdown.h"

namespace kvdn {

// Shared by the fake provider and every session it opened, so a test can
// flip a switch after the connection is open. Not thread-safe.
struct FakeSwitches {
  bool failOpen = false;
  // Fails queries, executes and counts; only those whose log line (below)
  // contains failStatementMatching when it is not empty.
  bool failStatement = false;
  std::string failStatementMatching;
  // Fails single-row inserts and updates (Recordset.Update).
  bool failRowWrite = false;
  // Fails by count over opens, statements, counts, row writes and the
  // transaction calls alike.
  testing::Countdown countdown;
  // What an injected failure raises.
  std::int32_t number = err::kDbFail;
  std::string description = "Injected failure";

  // Every statement the sessions were given (as the engine got it), in order;
  // a count of the rows of a query is logged as "count: QUERY", row writes
  // as "insert: TABLE" and "update: TABLE".
  std::vector<std::string> log;
  int opens = 0;
};

// Puts a fake in front of `inner` (the SQLite provider when null) in
// `registry`: it serves whatever `inner` accepts. Returns its switches.
std::shared_ptr<FakeSwitches> installFakeProvider(ProviderRegistry& registry,
                                                  std::shared_ptr<Provider> inner = nullptr);

}  // namespace kvdn
