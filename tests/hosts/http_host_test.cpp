// The HTTP page host end to end over loopback.
#include "kvdn/http_host.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
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

// A host on a free port with a few pages, served from a thread of its own.
struct RunningHost {
  explicit RunningHost(HttpHostOptions options) : host(std::move(options)) {}
  void start() {
    ASSERT_TRUE(host.bind());
    server = std::thread([this] { host.serve(); });
  }
  ~RunningHost() {
    host.stop();
    if (server.joinable()) server.join();
  }
  HttpHost host;
  std::thread server;
};

HttpHostOptions optionsIn(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "static");
  HttpHostOptions options;
  options.siteRoot = root;
  options.port = 0;
  options.threads = 2;
  return options;
}

// An open TCP connection to the host, for clients that misbehave.
int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string cookieOf(const httplib::Result& res) {
  std::string c = res->get_header_value("Set-Cookie");
  return c.substr(0, c.find(';'));
}

TEST(HttpHostSessions, MadeOnlyWhenStoredRenewedAndCapped) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  options.maxSessions = 3;
  RunningHost running(options);
  running.host.addPage("/read.asp", [](PageEnv& env) { env.write(env.session().value("n").joinText()); });
  running.host.addPage("/store.asp", [](PageEnv& env) {
    env.session().setValue("n", Variant(env.query("n")));
    env.write("stored");
  });
  running.host.addPage("/renew.asp", [](PageEnv& env) {
    env.renewSession();
    env.session().setValue("n", Variant("renewed"));
  });
  running.host.addPage("/abandon.asp", [](PageEnv& env) { env.session().abandon(); });
  running.start();
  httplib::Client client("127.0.0.1", running.host.port());

  // Reading makes no session, whatever cookie comes along.
  auto read = client.Get("/read.asp", httplib::Headers{{"Cookie", "KVDNSESSION=planted"}});
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->has_header("Set-Cookie"));
  EXPECT_EQ(read->body, "");

  // A planted id is never adopted: storing makes a new one.
  auto stored = client.Get("/store.asp?n=1", httplib::Headers{{"Cookie", "KVDNSESSION=planted"}});
  ASSERT_TRUE(stored);
  const std::string set = stored->get_header_value("Set-Cookie");
  EXPECT_NE(set.find("; HttpOnly"), std::string::npos) << set;
  EXPECT_NE(set.find("; SameSite=Strict"), std::string::npos) << set;
  EXPECT_EQ(set.find("Secure"), std::string::npos) << set;
  const std::string first = cookieOf(stored);
  EXPECT_NE(first, "KVDNSESSION=planted");
  EXPECT_EQ(client.Get("/read.asp", httplib::Headers{{"Cookie", first}})->body, "1");

  // Renewal: a new id with the new values; the old id is gone.
  auto renewed = client.Get("/renew.asp", httplib::Headers{{"Cookie", first}});
  ASSERT_TRUE(renewed);
  const std::string second = cookieOf(renewed);
  EXPECT_NE(second, first);
  EXPECT_EQ(client.Get("/read.asp", httplib::Headers{{"Cookie", second}})->body, "renewed");
  EXPECT_EQ(client.Get("/read.asp", httplib::Headers{{"Cookie", first}})->body, "");

  // Abandon: the cookie is cleared and the id no longer names a session.
  auto abandoned = client.Get("/abandon.asp", httplib::Headers{{"Cookie", second}});
  ASSERT_TRUE(abandoned);
  EXPECT_NE(abandoned->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(client.Get("/read.asp", httplib::Headers{{"Cookie", second}})->body, "");

  // At most three: the fourth replaces the least recently used.
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    ids.push_back(cookieOf(client.Get("/store.asp?n=" + std::to_string(i))));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(client.Get("/read.asp", httplib::Headers{{"Cookie", ids[0]}})->body, "");
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(client.Get("/read.asp", httplib::Headers{{"Cookie", ids[i]}})->body, std::to_string(i));
  }
}

TEST(HttpHostSessions, SecureCookiesWhenServedOverHttps) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  options.secureCookies = true;
  RunningHost running(options);
  running.host.addPage("/store.asp", [](PageEnv& env) { env.session().setValue("n", Variant(1)); });
  running.start();
  httplib::Client client("127.0.0.1", running.host.port());
  auto res = client.Get("/store.asp");
  ASSERT_TRUE(res);
  EXPECT_NE(res->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
}

TEST_F(HttpHostTest, PagesSendTheSecurityHeaders) {
  auto page = client->Get("/bound.asp");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "SAMEORIGIN");
  EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");
  EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
  const std::string csp = page->get_header_value("Content-Security-Policy");
  EXPECT_NE(csp.find("frame-ancestors 'self'"), std::string::npos) << csp;
  EXPECT_NE(csp.find("script-src 'self' 'unsafe-inline'"), std::string::npos) << csp;
  auto css = client->Get("/static/site.css");
  ASSERT_TRUE(css);
  EXPECT_EQ(css->get_header_value("Content-Type"), "text/css; charset=utf-8");
  EXPECT_NE(css->get_header_value("Cache-Control"), "no-store");
  for (const char* bad : {"/static/../database/app.mdb", "/static/%2e%2e/database/app.mdb", "/static/",
                          "/static//site.css", "/static/..%2fdatabase%2fapp.mdb"}) {
    SCOPED_TRACE(bad);
    auto res = client->Get(bad);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    EXPECT_EQ(res->body.find("secret"), std::string::npos);
  }
}

// Forms of any size up to the stated limit reach the page; past it a 413
// page says what the limit is, before any page runs.
TEST_F(HttpHostTest, LargeFormsUpToTheLimit) {
  const std::string big(3 * 1024 * 1024, 'x');
  auto res = client->Post("/echo.asp", "f=" + big, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body.size(), std::string("q=;f=;url=/echo.asp;raw=").size() + big.size());
  httplib::Client other("127.0.0.1", host->port());
  auto tooBig =
      other.Post("/echo.asp", "f=" + std::string(8 * 1024 * 1024, 'y'), "application/x-www-form-urlencoded");
  ASSERT_TRUE(tooBig);
  EXPECT_EQ(tooBig->status, 413);
  EXPECT_NE(tooBig->body.find("8388608 bytes (8 MB)"), std::string::npos) << tooBig->body;
  // The server goes on.
  httplib::Client after("127.0.0.1", host->port());
  auto again = after.Get("/bound.asp");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
}

TEST(HttpHostListen, ABusyPortIsAnError) {
  testing::TempDir dir;
  HttpHost first(optionsIn(dir.path()));
  ASSERT_TRUE(first.bind());
  HttpHostOptions options = optionsIn(dir.path());
  options.port = first.port();
  HttpHost second(options);
  ::testing::internal::CaptureStderr();
  const bool bound = second.bind();
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(bound);
  EXPECT_NE(said.find("address in use"), std::string::npos) << said;
}

// Idle kept-alive connections and clients that never finish their headers
// take no worker: with far more of them than threads, pages still answer.
TEST(HttpHostLoad, IdleAndSlowClientsDoNotStopTheServer) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  options.threads = 2;
  RunningHost running(options);
  running.host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
  running.start();
  const int port = running.host.port();
  std::vector<int> sockets;
  const std::string ping = "GET /ping.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
  for (int i = 0; i < 60; ++i) {
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, ping.data(), ping.size(), 0), static_cast<ssize_t>(ping.size()));
    char buffer[512];
    ASSERT_GT(::recv(fd, buffer, sizeof buffer, 0), 0);  // answered; the connection stays open, idle
    sockets.push_back(fd);
  }
  const std::string partial = "GET /ping.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
  for (int i = 0; i < 20; ++i) {
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ::send(fd, partial.data(), partial.size(), 0);
    sockets.push_back(fd);
  }
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(3, 0);
  client.set_connection_timeout(3, 0);
  for (int i = 0; i < 20; ++i) {
    auto res = client.Get("/ping.asp");
    ASSERT_TRUE(res) << "request " << i << " got no answer";
    EXPECT_EQ(res->body, "ok");
  }
  for (int fd : sockets) ::close(fd);
}

// A page that waits (on a lock, the database, a file) holds a page thread,
// never the server's: other connections are answered meanwhile, even with
// a single server thread.
TEST(HttpHostLoad, AWaitingPageDelaysNoOtherConnection) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  options.ioThreads = 1;
  options.threads = 2;
  RunningHost running(options);
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<bool> entered{false};
  running.host.addPage("/wait.asp", [&](PageEnv& env) {
    entered = true;
    std::unique_lock lock(mutex);
    released.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    env.write("released");
  });
  running.host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
  running.start();
  const int port = running.host.port();
  std::optional<std::string> waited;
  std::thread waiter([&] {
    httplib::Client client("127.0.0.1", port);
    if (auto res = client.Get("/wait.asp")) waited = res->body;
  });
  while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  for (int i = 0; i < 10; ++i) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(2, 0);
    auto res = client.Get("/ping.asp");
    ASSERT_TRUE(res) << "request " << i << " waited for the other page";
    EXPECT_EQ(res->body, "ok");
  }
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  waiter.join();
  ASSERT_TRUE(waited);
  EXPECT_EQ(*waited, "released");
}

// Stop lets the answer in flight finish and returns well within a second,
// however many idle connections browsers keep open.
TEST(HttpHostLoad, StopFinishesRequestsInFlightQuickly) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  RunningHost running(options);
  std::atomic<bool> entered{false};
  running.host.addPage("/slow.asp", [&entered](PageEnv& env) {
    entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    env.write("finished");
  });
  running.host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
  running.start();
  const int port = running.host.port();
  std::vector<std::unique_ptr<httplib::Client>> idle;
  for (int i = 0; i < 5; ++i) {
    idle.push_back(std::make_unique<httplib::Client>("127.0.0.1", port));
    idle.back()->set_keep_alive(true);
    ASSERT_TRUE(idle.back()->Get("/ping.asp"));
  }
  std::optional<std::string> slow;
  std::thread request([&] {
    httplib::Client client("127.0.0.1", port);
    if (auto res = client.Get("/slow.asp")) slow = res->body;
  });
  while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto start = std::chrono::steady_clock::now();
  running.host.stop();
  running.server.join();
  const auto took = std::chrono::steady_clock::now() - start;
  request.join();
  ASSERT_TRUE(slow) << "the request in flight was cut off";
  EXPECT_EQ(*slow, "finished");
  EXPECT_LT(took, std::chrono::seconds(1));
  // Nothing listens any more.
  EXPECT_LT(connectTo(port), 0);
}

// Requests that keep arriving on kept-alive connections while the host
// stops: each is answered or its connection closed, and the process lives
// (libmicrohttpd aborts when it is stopped with a connection suspended, and
// a request read just after the last in-flight one finished used to be).
TEST(HttpHostLoad, StopWhileRequestsKeepArriving) {
  testing::TempDir dir;
  for (int cycle = 0; cycle < 25; ++cycle) {
    HttpHostOptions options = optionsIn(dir.path());
    RunningHost running(options);
    running.host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
    running.start();
    const int port = running.host.port();
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
      clients.emplace_back([&] {
        const std::string request = "GET /ping.asp HTTP/1.1\r\nHost: x\r\n\r\n";
        char buffer[4096];
        while (!done) {
          const int fd = connectTo(port);
          if (fd < 0) return;
          timeval limit{2, 0};
          setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
          while (!done && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0 &&
                 ::recv(fd, buffer, sizeof buffer, 0) > 0)
            ++answered;
          ::close(fd);
        }
      });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (answered < 20 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(answered, 20) << "the clients got no answers before the stop";
    running.host.stop();
    running.server.join();
    done = true;
    for (auto& t : clients) t.join();
  }
}

}  // namespace
}  // namespace kvdn
