// The session stores: what the database store keeps of each kind of value,
// when it forgets a session, that two processes' writes of one session
// each keep their own keys; and what the host does when its store fails.
#include "kvdn/session_store.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <thread>

#include "data/odbc/pg_database.h"
#include "kvdn/http_host.h"
#include "support/fake_session_store.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

class DatabaseSessionStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pgtest::hasServer()) GTEST_SKIP() << pgtest::kNoServer;
    db = std::make_unique<pgtest::PgDatabase>();
    store = makeDatabaseSessionStore(db->dsn(), std::chrono::minutes(20));
  }
  std::unique_ptr<pgtest::PgDatabase> db;
  std::shared_ptr<SessionStore> store;
};

// The bound both stores keep (a table of 6, an account keeping 2): one
// account logging in again and again drops only its own least recently
// used sessions; a session without an account makes room; an account's
// live session never does (a new one is refused until one ends).
void checkBoundsPerOwner(SessionStore& store) {
  auto login = [&](const std::string& account) {
    auto [id, values] = store.create();
    values->setValue("account", Variant(account));
    store.save(id, *values, {"account"});
    return id;
  };
  auto who = [&](const std::string& id) {
    auto values = store.find(id);
    return values ? values->value("account").joinText() : std::string("(none)");
  };
  const std::string v1 = login("v1"), v2 = login("v2"), v3 = login("v3");
  auto [anonymous, anonymousValues] = store.create();
  anonymousValues->setValue("n", Variant(1));
  store.save(anonymous, *anonymousValues, {"n"});
  std::vector<std::string> mallory;
  for (int i = 0; i < 12; ++i) mallory.push_back(login(i % 2 ? "mallory" : "MALLORY"));
  EXPECT_EQ(who(v1), "v1");
  EXPECT_EQ(who(v2), "v2");
  EXPECT_EQ(who(v3), "v3");
  EXPECT_EQ(who(anonymous), "(none)") << "the session without an account made room";
  EXPECT_EQ(who(mallory.back()), "mallory");
  EXPECT_EQ(std::count_if(mallory.begin(), mallory.end(),
                          [&](const std::string& id) { return who(id) != "(none)"; }),
            2)
      << "an account keeps two sessions";
  const std::string v4 = login("v4");
  EXPECT_EQ(who(v4), "v4");
  try {
    login("v5");
    ADD_FAILURE() << "a live session of an account made room";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kCannotCreate);
  }
  EXPECT_EQ(who(v1), "v1");
  store.remove(v1);
  EXPECT_EQ(who(login("v5")), "v5");
}

TEST(MemorySessionStore, BoundedPerOwnerAndInTotal) {
  checkBoundsPerOwner(*makeMemorySessionStore(std::chrono::minutes(20), 6, "account", 2));
}

TEST_F(DatabaseSessionStoreTest, BoundedPerOwnerAndInTotal) {
  checkBoundsPerOwner(*makeDatabaseSessionStore(db->dsn(), std::chrono::minutes(20), 6, "account", 2));
}

TEST_F(DatabaseSessionStoreTest, EveryKindOfValueComesBackAsItWasStored) {
  struct Case {
    const char* key;
    Variant value;
  };
  const Case cases[] = {
      {"empty", Variant()},
      {"null", Variant::null()},
      {"yes", Variant(true)},
      {"no", Variant(false)},
      {"short", Variant(std::int16_t{-7})},
      {"long", Variant(std::int32_t{2147483647})},
      {"huge", Variant(std::int64_t{-9007199254740993LL})},
      {"double", Variant(0.1 + 0.2)},
      {"date", Variant(Date::fromParts(2024, 2, 29, 23, 59, 58))},
      {"text", Variant(std::string("中文 'quoted' \"x\" 12:34 \n\t end"))},
      {"blank", Variant(std::string())},
      {"Key:With:Colons", Variant(std::string("5:abc"))},
  };
  auto [id, values] = store->create();
  ASSERT_TRUE(isSessionId(id));
  std::vector<std::string> changed;
  for (const auto& c : cases) {
    values->setValue(c.key, c.value);
    changed.emplace_back(c.key);
  }
  store->save(id, *values, changed);
  auto back = store->find(id);
  ASSERT_NE(back, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    const Variant got = back->value(c.key);
    EXPECT_EQ(got.type(), c.value.type());
    if (!c.value.isEmpty() && !c.value.isNull()) {
      EXPECT_EQ(got.joinText(), c.value.joinText());
    }
  }
  EXPECT_EQ(back->value("TEXT").joinText(), cases[9].value.joinText()) << "keys match without letter case";
  EXPECT_EQ(back->value("double").dbl(), 0.1 + 0.2) << "doubles keep every bit";
}

TEST_F(DatabaseSessionStoreTest, TwoProcessesWritingOneSessionKeepEachOthersKeys) {
  auto [id, values] = store->create();
  values->setValue("uid", Variant(std::int32_t{3}));
  store->save(id, *values, {"uid"});
  // Another process with a store of its own on the same database.
  auto other = makeDatabaseSessionStore(db->dsn(), std::chrono::minutes(20));
  auto mine = store->find(id);
  auto theirs = other->find(id);
  ASSERT_TRUE(mine && theirs);
  mine->setValue("flash", Variant("saved"));
  theirs->setValue("token", Variant("abc"));
  store->save(id, *mine, {"flash"});
  other->save(id, *theirs, {"token"});
  auto now = store->find(id);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->value("uid").toInt32(), 3);
  EXPECT_EQ(now->value("flash").joinText(), "saved");
  EXPECT_EQ(now->value("token").joinText(), "abc");
  // Ended on one, gone on both.
  other->remove(id);
  EXPECT_EQ(store->find(id), nullptr);
}

TEST_F(DatabaseSessionStoreTest, IdleSessionsEndAndOnlySessionIdsAreLookedUp) {
  auto [id, values] = store->create();
  values->setValue("uid", Variant(std::int32_t{1}));
  store->save(id, *values, {"uid"});
  EXPECT_NE(store->find(id), nullptr);
  db->run({"update kvdn_sessions set touched = touched - 1201 where id='" + id + "'"});
  EXPECT_EQ(store->find(id), nullptr);
  EXPECT_EQ(db->query("select count(*) from kvdn_sessions")[0][0], "0") << "the idle session was ended";
  // Nothing that is not 32 hex digits reaches a query.
  for (const std::string& bad :
       std::vector<std::string>{"", "x' or '1'='1", std::string(32, 'A'), std::string(33, 'a'), id + " "})
    EXPECT_EQ(store->find(bad), nullptr) << bad;
  // A session that was never saved is not there; an object cannot be kept.
  auto [fresh, freshValues] = store->create();
  EXPECT_EQ(store->find(fresh), nullptr);
  freshValues->setValue("obj", Variant(std::make_shared<SessionValues>()));
  try {
    store->save(fresh, *freshValues, {"obj"});
    ADD_FAILURE() << "an object was kept";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);
  }
}

TEST(HttpHostSessionStore, AFailingStoreFailsOnlyThePagesThatUseTheSession) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "static");
  auto store = std::make_shared<testing::FakeSessionStore>();
  HttpHostOptions options;
  options.siteRoot = dir.path();
  options.port = 0;
  options.sessionStore = store;
  HttpHost host(options);
  host.addPage("/count.asp", [](PageEnv& env) {
    const int n = env.session().value("n").isEmpty() ? 0 : env.session().value("n").toInt32();
    env.session().setValue("n", Variant(n + 1));
    env.write(std::to_string(n + 1));
  });
  host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
  ASSERT_TRUE(host.bind());
  std::thread server([&] { host.serve(); });
  httplib::Client client("127.0.0.1", host.port());
  for (int i = 0; i < 100 && !client.Get("/ping.asp"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto first = client.Get("/count.asp");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->body, "1");
  EXPECT_EQ(store->saves.load(), 1);
  const std::string cookie = first->get_header_value("Set-Cookie").substr(0, 44);
  httplib::Headers withCookie{{"Cookie", cookie}};

  store->failFind = true;
  auto failed = client.Get("/count.asp", withCookie);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 500);
  auto ping = client.Get("/ping.asp", withCookie);
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->status, 200) << "a page that never reads the session does not ask the store";
  store->failFind = false;

  store->failSave = true;
  auto unsaved = client.Get("/count.asp", withCookie);
  ASSERT_TRUE(unsaved);
  EXPECT_EQ(unsaved->status, 500) << "a value the store did not keep is not answered as kept";
  store->failSave = false;
  auto again = client.Get("/count.asp", withCookie);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body, "2");
  host.stop();
  server.join();
}

}  // namespace
}  // namespace kvdn
