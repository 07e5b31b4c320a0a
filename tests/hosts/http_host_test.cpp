// The HTTP page host end to end over loopback.
#include "kvdn/http_host.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "support/site_fixture.h"

namespace kvdn {
namespace {

class HttpHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.path() / "site";
    std::filesystem::create_directories(root / "static");
    std::filesystem::create_directories(root / "database");
    std::ofstream(root / "static/site.css") << "body{}";
    std::ofstream(root / "database/app.mdb") << "secret";
    HttpHostOptions options;
    options.siteRoot = root;
    options.port = 0;
    options.threads = 4;
    host = std::make_unique<HttpHost>(options);
    host->addPage("/echo.asp", [](PageEnv& env) {
      env.write("q=" + env.query("q") + ";f=" + env.form("f") + ";url=" +
                env.request().serverVariable("Url") + ";raw=" + env.request().serverVariable("QUERY_STRING"));
    });
    host->addPage("/count.asp", [](PageEnv& env) {
      int n = env.session().value("n").isEmpty() ? 0 : env.session().value("n").toInt32();
      env.session().setValue("n", Variant(n + 1));
      env.write(std::to_string(n + 1));
    });
    host->addPage("/end.asp", [](PageEnv& env) {
      env.write("before");
      env.response().end();
      env.write("after");
    });
    host->addPage("/fail.asp", [](PageEnv& env) {
      env.write("partial");
      Variant v = Variant::null();
      env.db->md5(Variant(v.toString()));  // raises 94
    });
    host->addPage("/bound.asp", [](PageEnv& env) { env.write(env.db->boundToPage() ? "bound" : "unbound"); });
    ASSERT_TRUE(host->bind());
    server = std::thread([this] { host->serve(); });
    client = std::make_unique<httplib::Client>("127.0.0.1", host->port());
    for (int i = 0; i < 100 && !client->Get("/bound.asp"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  void TearDown() override {
    host->stop();
    server.join();
  }

  testing::TempDir dir;
  std::filesystem::path root;
  std::unique_ptr<HttpHost> host;
  std::thread server;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(HttpHostTest, RequestValuesAndUtf8) {
  auto res = client->Post("/echo.asp?q=%E4%B8%AD&x=1", "f=a+b%26c", "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(res->body, "q=中;f=a b&c;url=/echo.asp;raw=q=%E4%B8%AD&x=1");
  auto bound = client->Get("/bound.asp");
  ASSERT_TRUE(bound);
  EXPECT_EQ(bound->body, "bound");
}

TEST_F(HttpHostTest, SessionFollowsTheCookie) {
  auto first = client->Get("/count.asp");
  ASSERT_TRUE(first);
  std::string cookie = first->get_header_value("Set-Cookie");
  ASSERT_FALSE(cookie.empty());
  cookie = cookie.substr(0, cookie.find(';'));
  httplib::Headers headers{{"Cookie", cookie}};
  auto second = client->Get("/count.asp", headers);
  ASSERT_TRUE(second);
  EXPECT_EQ(first->body, "1");
  EXPECT_EQ(second->body, "2");
  auto stranger = client->Get("/count.asp");
  EXPECT_EQ(stranger->body, "1");
}

TEST_F(HttpHostTest, EndStopsOutputAndErrorsGiveAnErrorPage) {
  auto ended = client->Get("/end.asp");
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->body, "before");
  auto failed = client->Get("/fail.asp");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 500);
  EXPECT_NE(failed->body.find("Error 94"), std::string::npos) << failed->body;
  EXPECT_EQ(failed->body.find("partial"), std::string::npos);
  // The server is still there.
  auto again = client->Get("/bound.asp");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
}

TEST_F(HttpHostTest, StaticFilesButNeverTheDatabase) {
  auto css = client->Get("/static/site.css");
  ASSERT_TRUE(css);
  EXPECT_EQ(css->status, 200);
  EXPECT_EQ(css->body, "body{}");
  auto db = client->Get("/database/app.mdb");
  ASSERT_TRUE(db);
  EXPECT_EQ(db->status, 404);
  auto missing = client->Get("/nothing.asp");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST(HttpHostSessions, IdleSessionsAreDropped) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "static");
  HttpHostOptions options;
  options.siteRoot = dir.path();
  options.port = 0;
  options.threads = 2;
  options.sessionTimeout = std::chrono::milliseconds(200);
  HttpHost host(options);
  host.addPage("/count.asp", [](PageEnv& env) {
    int n = env.session().value("n").isEmpty() ? 0 : env.session().value("n").toInt32();
    env.session().setValue("n", Variant(n + 1));
    env.write(std::to_string(n + 1));
  });
  ASSERT_TRUE(host.bind());
  std::thread server([&host] { host.serve(); });
  httplib::Client client("127.0.0.1", host.port());
  auto first = client.Get("/count.asp");
  for (int i = 0; i < 100 && !first; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    first = client.Get("/count.asp");
  }
  ASSERT_TRUE(first);
  std::string cookie = first->get_header_value("Set-Cookie");
  cookie = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(cookie.size(), std::string("KVDNSESSION=").size() + 32);
  httplib::Headers headers{{"Cookie", cookie}};
  auto second = client.Get("/count.asp", headers);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->body, "2");
  EXPECT_FALSE(second->has_header("Set-Cookie"));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  auto later = client.Get("/count.asp", headers);
  ASSERT_TRUE(later);
  EXPECT_EQ(later->body, "1") << "the idle session was kept";
  EXPECT_NE(later->get_header_value("Set-Cookie").substr(0, cookie.size()), cookie);
  host.stop();
  server.join();
}

// On a kept-alive connection every answer must leave at once: with Nagle's
// algorithm on, the body waited for the client's delayed ACK (about 40 ms).
TEST_F(HttpHostTest, KeptAliveAnswersAreNotDelayed) {
  httplib::Client kept("127.0.0.1", host->port());
  kept.set_keep_alive(true);
  kept.set_tcp_nodelay(true);
  std::vector<double> ms;
  for (int i = 0; i < 21; ++i) {
    auto start = std::chrono::steady_clock::now();
    auto res = kept.Get("/bound.asp");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  EXPECT_LT(ms[ms.size() / 2], 20.0) << "median of 21 requests on one connection";
}

}  // namespace
}  // namespace kvdn
