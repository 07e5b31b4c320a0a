// The speed paths of the database file (kept connections, kept counts and
// results, kept statements, deep pages by seeking) never change what a page
// answers: histories run with them on and off must agree byte for byte.
// KVDN_SPEED_DIFF_SEEDS=N runs N generated histories instead of the few of
// an ordinary run; KVDN_SPEED_DIFF_SEED=S replays the one history of seed S
// (with both, N histories from seed S on).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kvdn/provider.h"
#include "sqlite_provider.h"
#include "support/site_fixture.h"
#include "support/speed_paths_diff.h"

namespace kvdn {
namespace {

using speed_diff::Call;
using speed_diff::Side;
using speed_diff::Step;

Call exec(std::string sql) {
  return Call{"", {}, std::move(sql)};
}
Call grid(std::string sql) {
  return Call{"dbSelect",
              {Variant(std::move(sql)), Variant(10), Variant(1), Variant(""), Variant(0), Variant(""),
               Variant(1), Variant("g")},
              ""};
}
Call options(std::string sql) {
  return Call{"rsDropDownList", {Variant(std::move(sql)), Variant(""), Variant(0)}, ""};
}
Call detail(std::string sql) {
  return Call{"xiangxi", {Variant(std::move(sql)), Variant(80), Variant(200), Variant("t")}, ""};
}
Step page(std::vector<Call> calls, int pageNumber = 1) {
  return Step{"ac=call&page=" + std::to_string(pageNumber), std::move(calls), ""};
}
Step other(std::string sql) {
  return Step{"", {}, std::move(sql)};
}

struct Scenario {
  const char* name;
  std::vector<std::string> setup;
  std::vector<Step> steps;
};

const std::vector<std::string> kThreeHundred = {
    "CREATE TABLE t (ID INTEGER PRIMARY KEY, c INTEGER, v TEXT COLLATE NOCASE)",
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
    "INSERT INTO t SELECT i, CASE WHEN i > 270 THEN NULL ELSE i % 97 END, "
    "CASE WHEN i % 5 = 0 THEN NULL ELSE 'v' || (i % 13) END FROM n",
    "CREATE INDEX ic ON t(c)", "CREATE INDEX iv ON t(v)"};

// Each fault that was once seen, as a short history.
const std::vector<Scenario> kScenarios = {
    {"TemporaryTableOfOnePageIsGoneInTheNext",
     kThreeHundred,
     {page({exec("create temp table t as select * from main.t where ID = 2"), grid("select ID, c from t")}),
      page({grid("select ID, c from t order by ID")}),
      page({exec("create temp table t (x)"), exec("insert into t values (1)")}),
      page({exec("create temp table t (x)"), options("select count(*) from t")})}},
    {"SettingsOfOnePageAreNotTheNextOnes",
     kThreeHundred,
     {page({exec("pragma query_only = 1")}),
      page({exec("update t set v = 'w' where ID = 1"), detail("select * from t where ID = 1")}),
      page({exec("pragma case_sensitive_like = 1")}),
      page({options("select ID, v from t where v like 'V1%' order by ID")}),
      page({exec("pragma reverse_unordered_selects = 1")}),
      page({options("select ID, v from t where ID < 9")})}},
    {"CountersStartAtZeroOnEveryPage",
     kThreeHundred,
     {page({exec("insert into t (c, v) values (1, 'x')"),
            options("select last_insert_rowid(), total_changes()")}),
      page({options("select last_insert_rowid(), changes(), total_changes()")}),
      page({exec("delete from t where ID > 290"), options("select changes(), total_changes()")})}},
    {"GridFollowsTheSchemaChangedByThePageOrAnother",
     kThreeHundred,
     {page({grid("select * from t where ID < 3"), detail("select * from t where ID = 1")}),
      page({exec("alter table t add column z text default 'new'")}),
      page({grid("select * from t where ID < 3"), detail("select * from t where ID = 1")}),
      other("alter table t rename column v to w"),
      page({grid("select * from t where ID < 3"), detail("select * from t where ID = 1")}),
      page({grid("select * from t where ID < 3"), exec("drop table t"),
            grid("select * from t where ID < 3")})}},
    {"DeepPagesOverNullRunsTiesAndCollations",
     kThreeHundred,
     {page({grid("select ID, c from t order by c desc")}, 28),
      page({grid("select ID, c from t order by c desc")}, 29),
      page({grid("select ID, c from t order by c desc")}, 30),
      page({grid("select ID, c from t order by c")}, 27),
      page({grid("select ID, c from t where ID % 2 = 0 order by c desc")}, 14),
      page({grid("select ID, v from t order by v desc")}, 29),
      page({grid("select ID, v from t order by v")}, 28), other("update t set v = upper(v) where ID % 3 = 0"),
      page({grid("select ID, v from t order by v")}, 27)}},
};

class SpeedPathsTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(SpeedPathsTest, PagesAnswerAsWithoutThem) {
  const Scenario& s = GetParam();
  testing::TempDir dir;
  Side fast(dir.path() / "on");
  Side plain(dir.path() / "off");
  ASSERT_EQ(fast.direct(s.setup), "");
  ASSERT_EQ(plain.direct(s.setup), "");
  for (std::size_t i = 0; i < s.steps.size(); ++i) {
    const Step& step = s.steps[i];
    if (!step.external.empty()) {
      ASSERT_EQ(fast.direct({step.external}), plain.direct({step.external}));
      continue;
    }
    setSqliteSpeedPaths(true);
    const std::string a = fast.page(step);
    setSqliteSpeedPaths(false);
    const std::string b = plain.page(step);
    setSqliteSpeedPaths(true);
    EXPECT_EQ(a, b) << "step " << i << ": " << step.describe();
  }
  clearSqlitePool();
}

INSTANTIATE_TEST_SUITE_P(Seen, SpeedPathsTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& param) { return std::string(param.param.name); });

// Generated histories (a fixed set of seeds in an ordinary run).
TEST(SpeedPathsDifferential, GeneratedHistoriesAnswerAlike) {
  std::uint64_t first = 1;
  std::uint64_t count = 6;
  if (const char* seeds = std::getenv("KVDN_SPEED_DIFF_SEEDS")) count = std::strtoull(seeds, nullptr, 10);
  if (const char* seed = std::getenv("KVDN_SPEED_DIFF_SEED")) {
    first = std::strtoull(seed, nullptr, 10);
    if (!std::getenv("KVDN_SPEED_DIFF_SEEDS")) count = 1;  // both: SEEDS histories from SEED on
  }
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    testing::TempDir dir;
    speed_diff::SeededChoices choices(seed);
    const auto difference = speed_diff::run(choices, dir.path(), 60);
    clearSqlitePool();
    ASSERT_FALSE(difference) << "seed " << seed << " (KVDN_SPEED_DIFF_SEED=" << seed << "), step "
                             << difference->step << "; history:" << difference->history
                             << "\n--- with the speed paths:\n"
                             << difference->withSpeedPaths << "\n--- without:\n"
                             << difference->without;
  }
}

}  // namespace
}  // namespace kvdn
