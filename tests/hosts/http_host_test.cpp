// The HTTP page host end to end over loopback.
#include "kvdn/http_host.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
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

// The same from a source address of our choosing (any of 127.0.0.0/8).
int connectFrom(int port, const char* source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

bool sendAll(int fd, const std::string& text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// What arrives until the peer closes, the receive timeout passes, or a
// whole answer with a body of its Content-Length is in.
std::string receiveAnswer(int fd) {
  std::string got;
  char buffer[4096];
  while (true) {
    const auto headEnd = got.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      const auto at = got.find("Content-Length: ");
      if (at != std::string::npos && at < headEnd &&
          got.size() >= headEnd + 4 + std::stoul(got.substr(at + 16)))
        return got;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return got;
    got.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string formHead(std::size_t length) {
  return "POST /size.asp HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
         std::to_string(length) + "\r\n\r\n";
}

// Whether this process holds an open file in `folder` (a body's unnamed
// temporary file shows as "FOLDER/#N (deleted)").
bool holdsFileIn(const std::filesystem::path& folder) {
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (!ec && target.rfind(folder.string() + "/", 0) == 0) return true;
  }
  return false;
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

// One account logging in again and again (10,000 logins used to evict
// every other session from the store) drops only its own oldest sessions;
// a live session of another account is never dropped to make room: a new
// one is refused instead, until one ends.
TEST(HttpHostSessions, AnAccountCannotCrowdOutOthers) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  options.maxSessions = 6;
  options.sessionOwnerKey = "account";
  options.maxSessionsPerOwner = 2;
  RunningHost running(options);
  running.host.addPage("/login.asp", [](PageEnv& env) {
    env.renewSession();
    env.session().setValue("account", Variant(env.query("a")));
  });
  running.host.addPage("/anonymous.asp", [](PageEnv& env) { env.session().setValue("n", Variant(1)); });
  running.host.addPage("/who.asp",
                       [](PageEnv& env) { env.write(env.session().value("account").joinText()); });
  running.host.addPage("/logout.asp", [](PageEnv& env) { env.session().abandon(); });
  running.start();
  httplib::Client client("127.0.0.1", running.host.port());
  auto who = [&](const std::string& cookie) {
    auto res = client.Get("/who.asp", httplib::Headers{{"Cookie", cookie}});
    return res ? res->body : "?";
  };
  std::vector<std::string> victims;
  for (const char* name : {"v1", "v2", "v3"})
    victims.push_back(cookieOf(client.Get(std::string("/login.asp?a=") + name)));
  const std::string anonymous = cookieOf(client.Get("/anonymous.asp"));
  std::vector<std::string> attacker;
  for (int i = 0; i < 30; ++i) {
    auto res = client.Get(i % 2 ? "/login.asp?a=mallory" : "/login.asp?a=MALLORY");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << "login " << i;
    attacker.push_back(cookieOf(res));
  }
  EXPECT_EQ(who(victims[0]), "v1");
  EXPECT_EQ(who(victims[1]), "v2");
  EXPECT_EQ(who(victims[2]), "v3");
  EXPECT_EQ(who(attacker[29]), "mallory");
  EXPECT_EQ(who(attacker[28]), "MALLORY");
  EXPECT_EQ(who(attacker[27]), "") << "an account keeps two sessions";
  EXPECT_EQ(who(anonymous), "") << "a session without an account makes room";
  // Full of live sessions of accounts (v1-v4 and two of mallory's): the
  // next one is refused, until one ends.
  const std::string fourth = cookieOf(client.Get("/login.asp?a=v4"));
  EXPECT_EQ(who(fourth), "v4");
  ::testing::internal::CaptureStderr();
  auto refused = client.Get("/login.asp?a=v5");
  const std::string said = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 500);
  EXPECT_NE(said.find("no room for another session"), std::string::npos) << said;
  EXPECT_EQ(who(victims[0]), "v1");
  client.Get("/logout.asp", httplib::Headers{{"Cookie", victims[0]}});
  EXPECT_EQ(who(cookieOf(client.Get("/login.asp?a=v5"))), "v5");
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

// Each new key of a form was compared with every earlier one, on the
// server's thread: 40,000 keys took seconds and held every other client.
// Past the field limit the answer is 413; up to it the page gets them all.
TEST_F(HttpHostTest, FormsWithTooManyFieldsAre413) {
  auto fields = [](int n) {
    std::string body;
    for (int i = 0; i < n; ++i) body += "k" + std::to_string(i) + "=1&";
    return body + "f=last";
  };
  auto many = client->Post("/echo.asp", fields(40000), "application/x-www-form-urlencoded");
  ASSERT_TRUE(many);
  EXPECT_EQ(many->status, 413);
  EXPECT_NE(many->body.find("5000 fields"), std::string::npos) << many->body;
  std::string shortFields;
  for (int i = 0; i < 100; ++i) shortFields += "a&";
  auto inQuery = client->Post("/echo.asp?" + shortFields, fields(4950), "application/x-www-form-urlencoded");
  ASSERT_TRUE(inQuery) << httplib::to_string(inQuery.error());
  EXPECT_EQ(inQuery->status, 413) << "the query's fields count too";
  auto allowed = client->Post("/echo.asp", fields(4999), "application/x-www-form-urlencoded");
  ASSERT_TRUE(allowed);
  EXPECT_EQ(allowed->status, 200);
  EXPECT_NE(allowed->body.find(";f=last;"), std::string::npos);
}

// Forms in flight are bounded in total: one the budget cannot hold is
// refused (503) as soon as its headers are in, before its body is read; a
// long one arrives into a temporary file, not memory, and reaches the page
// whole. Each connection could hold 8 MB before, without any bound.
TEST(HttpHostBodies, BoundedInTotalAndLongOnesGoToAFile) {
  testing::TempDir dir;
  const std::filesystem::path spool = dir.path() / "spool";
  std::filesystem::create_directories(spool);
  HttpHostOptions options = optionsIn(dir.path() / "site");
  options.maxBodyBytesInFlight = 1000000;
  options.bodyInMemoryBytes = 1000;
  options.tempFolder = spool;
  RunningHost running(options);
  running.host.addPage("/size.asp", [](PageEnv& env) { env.write(std::to_string(env.form("f").size())); });
  running.start();
  const int port = running.host.port();
  const std::string value(599998, 'v');  // "f=" and the value: 600,000 bytes

  const int first = connectFrom(port, "127.0.0.1");
  ASSERT_GE(first, 0);
  ASSERT_TRUE(sendAll(first, formHead(600000) + "f=" + value.substr(0, 200000)));
  // Half-sent, the first form waits in a file of the temporary folder. Its
  // file also shows the host has read its headers: the second connection
  // must not overtake it (the I/O threads may take them in either order).
  bool inFile = false;
  for (int i = 0; i < 500 && !(inFile = holdsFileIn(spool)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(inFile) << "the body is not in a file of " << spool;
  // The first form's length is set aside; a second one does not fit.
  const int second = connectFrom(port, "127.0.0.1");
  ASSERT_GE(second, 0);
  ASSERT_TRUE(sendAll(second, formHead(600000)));
  const std::string refused = receiveAnswer(second);
  EXPECT_EQ(refused.rfind("HTTP/1.1 503", 0), 0u) << refused.substr(0, 200);
  EXPECT_NE(refused.find("Retry-After: 5"), std::string::npos);
  ::close(second);
  ASSERT_TRUE(sendAll(first, value.substr(200000)));
  const std::string answered = receiveAnswer(first);
  EXPECT_EQ(answered.rfind("HTTP/1.1 200", 0), 0u) << answered.substr(0, 200);
  EXPECT_EQ(answered.substr(answered.size() - 6), "599998");
  ::close(first);
  // Answered, it gives its share back (once the answer has left: the
  // client may read it a moment before).
  int taken = 0;
  for (int tries = 0; taken < 3 && tries < 100; ++tries) {
    const int again = connectFrom(port, "127.0.0.1");
    sendAll(again, formHead(600000) + "f=" + value);
    const std::string answer = receiveAnswer(again);
    ::close(again);
    if (answer.rfind("HTTP/1.1 200", 0) == 0 && answer.substr(answer.size() - 6) == "599998")
      ++taken;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(taken, 3);
  bool held = true;
  for (int i = 0; i < 200 && (held = holdsFileIn(spool)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(held) << "a temporary file outlived its request";

  // A folder that cannot take the file: the form is refused, the host lives.
  std::filesystem::remove(spool);
  const int lost = connectFrom(port, "127.0.0.1");
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(sendAll(lost, formHead(5000) + "f=" + std::string(4998, 'v')));
  const std::string failed = receiveAnswer(lost);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(failed.rfind("HTTP/1.1 503", 0), 0u) << failed.substr(0, 200);
  EXPECT_NE(said.find("no temporary file"), std::string::npos) << said;
  ::close(lost);
}

// One address may hold only so many connections: 4,100 slow sockets from
// one address made the site unusable for everyone. Another address is
// served meanwhile; the trusted proxy has no such limit.
TEST(HttpHostLoad, ConnectionsPerAddressAreLimited) {
  testing::TempDir dir;
  for (const bool proxy : {false, true}) {
    SCOPED_TRACE(proxy ? "from the proxy" : "from a client");
    HttpHostOptions options = optionsIn(dir.path());
    options.maxConnectionsPerAddress = 5;
    if (proxy) options.unlimitedAddresses = {"127.0.0.1"};
    RunningHost running(options);
    running.host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
    running.start();
    const int port = running.host.port();
    const std::string ping = "GET /ping.asp HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<int> held;
    for (int i = 0; i < 8; ++i) {
      const int fd = connectFrom(port, "127.0.0.1");
      ASSERT_GE(fd, 0);
      held.push_back(fd);
      // Answered (and so counted) before the next one; kept open.
      const std::string answer = sendAll(fd, ping) ? receiveAnswer(fd) : "";
      const bool served = answer.rfind("HTTP/1.1 200", 0) == 0;
      EXPECT_EQ(served, proxy || i < 5) << "connection " << i << ": " << answer.substr(0, 100);
    }
    const int other = connectFrom(port, "127.0.0.2");
    ASSERT_GE(other, 0);
    ASSERT_TRUE(sendAll(other, ping));
    EXPECT_EQ(receiveAnswer(other).rfind("HTTP/1.1 200", 0), 0u) << "another address was refused";
    ::close(other);
    for (int fd : held) ::close(fd);
    // Closed, they free the address's share.
    bool servedAgain = false;
    for (int i = 0; i < 100 && !servedAgain; ++i) {
      const int fd = connectFrom(port, "127.0.0.1");
      servedAgain = fd >= 0 && sendAll(fd, ping) && receiveAnswer(fd).rfind("HTTP/1.1 200", 0) == 0;
      if (fd >= 0) ::close(fd);
      if (!servedAgain) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(servedAgain);
  }
}

// The request log is written from a thread of its own: a log that blocks
// (standard error not read: a full pipe, a paused terminal) held a server
// thread, and with it every client. Past the backlog records are dropped
// and counted; the stop does not wait for a log that never returns.
TEST(HttpHostLoad, ALogThatBlocksHoldsNoRequest) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  options.ioThreads = 1;
  options.requestLogBacklog = 5;
  std::mutex mutex;
  std::condition_variable changed;
  bool blocked = true;
  std::vector<RequestRecord> written;
  options.requestLog = [&](const RequestRecord& r) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return !blocked; });
    written.push_back(r);
    changed.notify_all();
  };
  auto running = std::make_unique<RunningHost>(options);
  running->host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
  running->start();
  httplib::Client client("127.0.0.1", running->host.port());
  client.set_read_timeout(3, 0);
  for (int i = 0; i < 30; ++i) {
    auto res = client.Get("/ping.asp?n=" + std::to_string(i));
    ASSERT_TRUE(res) << "request " << i << " waited for the log";
  }
  {
    std::unique_lock lock(mutex);
    blocked = false;
    changed.notify_all();
    // The held record and the backlog are written first: a request
    // answered while the backlog is still full would be dropped too, and
    // the count of the drops travels with the next record written.
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return written.size() >= 6; });
  }
  ASSERT_TRUE(client.Get("/ping.asp"));
  {
    std::unique_lock lock(mutex);
    // The last record may still be on its way when its answer arrives.
    auto accounted = [&] {
      long long dropped = 0;
      for (const RequestRecord& r : written) dropped += r.droppedBefore;
      return std::make_pair(written.size() + static_cast<std::size_t>(dropped), dropped);
    };
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return accounted().first >= 31; });
    const auto [count, dropped] = accounted();
    EXPECT_EQ(count, 31u) << "every request is written or counted";
    EXPECT_GT(dropped, 0);
    blocked = true;  // blocks again, for good
    written.clear();
  }
  // A log blocked for good does not hold the stop.
  ASSERT_TRUE(client.Get("/ping.asp"));
  const auto start = std::chrono::steady_clock::now();
  running.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  {
    std::lock_guard lock(mutex);
    blocked = false;  // lets the left thread end
    changed.notify_all();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The log may buffer its lines: the flush follows every batch, so that no
// line written is left unflushed, however the records were batched.
TEST(HttpHostLoad, EveryLoggedLineIsFlushed) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t written = 0;
  std::size_t flushed = 0;  // records written before the latest flush
  std::size_t flushes = 0;
  options.requestLog = [&](const RequestRecord&) {
    std::lock_guard lock(mutex);
    ++written;
  };
  options.requestLogFlush = [&] {
    std::lock_guard lock(mutex);
    flushed = written;
    ++flushes;
    changed.notify_all();
  };
  RunningHost running(options);
  running.host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
  running.start();
  constexpr int kClients = 4;
  constexpr int kEach = 100;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([port = running.host.port()] {
      httplib::Client client("127.0.0.1", port);
      for (int i = 0; i < kEach; ++i) client.Get("/ping.asp");
    });
  }
  for (std::thread& t : clients) t.join();
  std::unique_lock lock(mutex);
  changed.wait_for(lock, std::chrono::seconds(5), [&] { return flushed == kClients * kEach; });
  EXPECT_EQ(written, static_cast<std::size_t>(kClients * kEach));
  EXPECT_EQ(flushed, written) << "lines written after the last flush";
  EXPECT_GE(flushes, 1u);
}

// Only the names the site serves: a page on another site whose name now
// points at this server (DNS rebinding) sends its own name as Host.
TEST(HttpHostListen, OnlyTheNamesServedAreAnswered) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  options.hostNames = {"127.0.0.1", "localhost", "intranet.example", "::1"};
  RunningHost running(options);
  running.host.addPage("/ping.asp", [](PageEnv& env) { env.write("ok"); });
  running.start();
  const std::pair<const char*, int> cases[] = {
      {"127.0.0.1:8080", 200},
      {"LOCALHOST", 200},
      {"intranet.example:80", 200},
      {"[::1]:8080", 200},
      {"evil.example", 421},
      {"evil.example:8080", 421},
      {"127.0.0.1.evil", 421},
      {"intranet.example.x", 421},
      {"[::1", 421},
      {"", 421},
  };
  for (const auto& [host, status] : cases) {
    SCOPED_TRACE(host);
    const int fd = connectFrom(running.host.port(), "127.0.0.1");
    ASSERT_TRUE(sendAll(fd, std::string("GET /ping.asp HTTP/1.1\r\nHost: ") + host + "\r\n\r\n"));
    const std::string answer = receiveAnswer(fd);
    ::close(fd);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(status)) << answer.substr(0, 100);
  }
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

// Whether the calling thread is one of the host's page threads (they are
// named so); a page run on the server's thread is not.
bool onPageThread() {
  char name[16] = "";
  pthread_getname_np(pthread_self(), name, sizeof name);
  return std::string(name) == "kvdn-page";
}

// Pages that ran on the server's thread give the same answers as on a page
// thread: the same generated requests (pages that read the query, the
// form, the session, set headers and status, redirect, end, fail) against
// a host that runs short pages where they arrive and one that hands every
// page to a page thread.
TEST(HttpHostSpeed, PagesRunWhereTheyArriveAnswerTheSame) {
  testing::TempDir dir;
  std::atomic<int> inlineRuns{0};
  auto addPages = [&](HttpHost& host) {
    host.addPage("/echo.asp", [&](PageEnv& env) {
      if (!onPageThread()) ++inlineRuns;
      env.write("q=" + env.query("q") + ";f=" + env.form("f") +
                ";m=" + env.request().serverVariable("REQUEST_METHOD") +
                ";raw=" + env.request().serverVariable("QUERY_STRING") +
                ";h=" + env.request().serverVariable("HTTP_X_T"));
    });
    host.addPage("/count.asp", [](PageEnv& env) {
      int n = env.session().value("n").isEmpty() ? 0 : env.session().value("n").toInt32();
      env.session().setValue("n", Variant(n + 1));
      env.write(std::to_string(n + 1));
    });
    host.addPage("/shape.asp", [](PageEnv& env) {
      const std::string how = env.query("how");
      if (how == "status") env.status(404);
      if (how == "header") env.header("X-Made", env.query("v"));
      if (how == "type") env.header("Content-Type", "text/plain");
      if (how == "redirect") return env.redirect("/echo.asp?q=" + env.query("v"));
      env.write("shape " + how);
      if (how == "end") {
        env.response().end();
        env.write("lost");
      }
      if (how == "fail") env.db->md5(Variant(Variant::null().toString()));  // raises 94
    });
  };
  HttpHostOptions off = optionsIn(dir.path() / "off");
  off.inlinePageMicros = 0;
  HttpHostOptions on = optionsIn(dir.path() / "on");
  on.inlinePageMicros = 5'000'000;  // every short page, however busy the machine
  RunningHost plain(off);
  RunningHost fast(on);
  addPages(plain.host);
  addPages(fast.host);
  plain.start();
  fast.start();
  httplib::Client a("127.0.0.1", plain.host.port());
  httplib::Client b("127.0.0.1", fast.host.port());
  std::string cookieA, cookieB;  // each host's own session, the same history
  std::mt19937 random(23);
  auto pick = [&](std::initializer_list<const char*> from) {
    return std::string(*(from.begin() + random() % from.size()));
  };
  const char* hows[] = {"", "status", "header", "type", "redirect", "end", "fail"};
  for (int i = 0; i < 400; ++i) {
    const std::string page = pick({"/echo.asp", "/echo.asp", "/count.asp", "/shape.asp", "/none.asp"});
    std::string query = "q=" + pick({"1", "%E4%B8%AD", "a+b", "%26", ""}) + "&how=" + hows[random() % 7] +
                        "&v=" + pick({"x", "%3Cb%3E", "1%202"});
    const bool post = random() % 3 == 0;
    const std::string form = "f=" + pick({"v", "%E4%B8%AD", "a%26b", ""});
    httplib::Headers headers{{"X-T", pick({"t", "", "中"})}};
    auto ask = [&](httplib::Client& client, std::string& cookie) {
      httplib::Headers h = headers;
      if (!cookie.empty()) h.emplace("Cookie", cookie);
      auto res = post ? client.Post(page + "?" + query, h, form, "application/x-www-form-urlencoded")
                      : client.Get(page + "?" + query, h);
      if (res && res->has_header("Set-Cookie")) cookie = cookieOf(res);
      return res;
    };
    auto x = ask(a, cookieA);
    auto y = ask(b, cookieB);
    ASSERT_TRUE(x && y) << page << "?" << query;
    EXPECT_EQ(x->status, y->status) << page << "?" << query;
    EXPECT_EQ(x->body, y->body) << page << "?" << query;
    for (const char* name :
         {"Content-Type", "Location", "X-Made", "Cache-Control", "Content-Security-Policy"})
      EXPECT_EQ(x->get_header_value(name), y->get_header_value(name))
          << name << " of " << page << "?" << query;
    EXPECT_EQ(x->has_header("Set-Cookie"), y->has_header("Set-Cookie")) << page << "?" << query;
  }
  EXPECT_GT(inlineRuns.load(), 50) << "the fast host ran its short pages where they arrived";
}

// A request whose target holds more fields than the library keeps in a
// connection's memory, or a long target with a body, is answered: the page
// when its fields are within the limit, 413 past it, 414 for a target too
// long to take. Before, the connection was closed without an answer.
TEST(HttpHostSpeed, LongTargetsAreAnswered) {
  testing::TempDir dir;
  HttpHostOptions options = optionsIn(dir.path());
  RunningHost running(options);
  running.host.addPage("/echo.asp", [](PageEnv& env) {
    env.write("n=" + std::to_string(env.request().queryString().keys().size()) + ";f=" + env.form("f"));
  });
  running.start();
  // `fields` fields "k1=1&k2=2..." (distinct keys), or "a&a&..." (one key).
  auto query = [](int fields, bool oneKey) {
    std::string q = "q=1";
    for (int i = 1; i < fields; ++i)
      q += oneKey ? std::string("&a") : "&k" + std::to_string(i) + "=" + std::to_string(i);
    return q;
  };
  struct Case {
    int fields;
    bool oneKey;
    std::size_t bodyBytes;
    const char* status;
    const char* body;  // part of the answer's body ("" for any)
  } cases[] = {
      {10, false, 0, "200", "n=10;f="},
      {450, false, 0, "200", "n=450;f="},
      {1200, false, 0, "200", "n=1200;f="},
      {1200, false, 3000, "200", "n=1200;f=x"},
      {2500, false, 3000, "200", "n=2500;f=x"},
      {5001, true, 0, "413", "5000 fields"},
      {40000, false, 0, "414", ""},
      {40000, false, 3000, "414", ""},
  };
  for (const Case& c : cases) {
    const int fd = connectTo(running.host.port());
    ASSERT_GE(fd, 0);
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string body = c.bodyBytes ? "f=x&g=" + std::string(c.bodyBytes, 'y') : "";
    std::string request = std::string(c.bodyBytes ? "POST" : "GET") + " /echo.asp?" +
                          query(c.fields, c.oneKey) + " HTTP/1.1\r\nHost: x\r\n";
    if (c.bodyBytes)
      request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    sendAll(fd, request);
    const std::string answer = receiveAnswer(fd);
    ::close(fd);
    const std::string what = std::to_string(c.fields) + " fields, body " + std::to_string(c.bodyBytes);
    ASSERT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + c.status)
        << what << ": " << answer.substr(0, 200);
    EXPECT_NE(answer.find(c.body), std::string::npos) << what << ": " << answer.substr(0, 400);
  }
}

}  // namespace
}  // namespace kvdn
