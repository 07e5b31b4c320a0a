// The HTTP page host over cpp-httplib.
#include "kvdn/http_host.h"

#include <httplib.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>

#include "kvdn/error.h"
#include "kvdn/memory_host.h"
#include "kvdn/text.h"

namespace kvdn {

namespace {

const char* kSessionCookie = "KVDNSESSION";

std::shared_ptr<Request> makeHttpRequest(const httplib::Request& req) {
  std::string rawQuery;
  if (auto q = req.target.find('?'); q != std::string::npos) rawQuery = req.target.substr(q + 1);
  std::string rawForm;
  if (req.get_header_value("Content-Type").find("application/x-www-form-urlencoded") != std::string::npos) {
    rawForm = req.body;
  }
  std::vector<std::pair<std::string, std::string>> vars = {
      {"URL", req.path},
      {"SCRIPT_NAME", req.path},
      {"PATH_INFO", req.path},
      {"QUERY_STRING", rawQuery},
      {"REQUEST_METHOD", req.method},
      {"REMOTE_ADDR", req.remote_addr},
      {"REMOTE_PORT", std::to_string(req.remote_port)},
  };
  for (const auto& [name, value] : req.headers) {
    std::string key = "HTTP_" + name;
    for (char& c : key) {
      if (c == '-') c = '_';
    }
    vars.emplace_back(std::move(key), value);
  }
  return std::make_shared<ParsedRequest>(rawQuery, rawForm, vars);
}

class HttpResponse final : public Response {
 public:
  void write(std::string_view text) override {
    if (!ended_) body_ += text;
  }
  void end() override { ended_ = true; }
  bool ended() const override { return ended_; }
  std::string body_;
  std::string location_;
  bool ended_ = false;
};

class HttpServerObject final : public Server {
 public:
  HttpServerObject(const std::filesystem::path& root, std::string url, const ClassRegistry& classes)
      : root_(root), url_(std::move(url)), classes_(classes) {}
  std::string mapPath(std::string_view path) const override {
    return mapVirtualPath(root_, url_, path).string();
  }
  ObjectPtr createObject(std::string_view progId) override { return classes_.create(progId); }

 private:
  const std::filesystem::path& root_;
  std::string url_;
  const ClassRegistry& classes_;
};

class HttpApplication final : public Application {};

class HttpContext final : public ScriptingContext {
 public:
  HttpContext(std::shared_ptr<Application> a, std::shared_ptr<Request> rq, std::shared_ptr<HttpResponse> rs,
              std::shared_ptr<Server> sv, std::shared_ptr<Session> ss)
      : a_(std::move(a)), rq_(std::move(rq)), rs_(std::move(rs)), sv_(std::move(sv)), ss_(std::move(ss)) {}
  std::shared_ptr<Application> application() override { return a_; }
  std::shared_ptr<Request> request() override { return rq_; }
  std::shared_ptr<Response> response() override { return rs_; }
  std::shared_ptr<Server> server() override { return sv_; }
  std::shared_ptr<Session> session() override { return ss_; }
  HttpResponse& httpResponse() { return *rs_; }

 private:
  std::shared_ptr<Application> a_;
  std::shared_ptr<Request> rq_;
  std::shared_ptr<HttpResponse> rs_;
  std::shared_ptr<Server> sv_;
  std::shared_ptr<Session> ss_;
};

std::string cookieValue(const httplib::Request& req, const std::string& name) {
  std::string cookies = req.get_header_value("Cookie");
  std::size_t pos = 0;
  while (pos < cookies.size()) {
    std::size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(pos, end - pos);
    std::size_t start = pair.find_first_not_of(' ');
    if (start != std::string::npos) pair = pair.substr(start);
    if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
    pos = end + 1;
  }
  return {};
}

}  // namespace

void PageEnv::redirect(const std::string& location) const {
  if (auto* http = dynamic_cast<HttpResponse*>(&response())) http->location_ = location;
  response().end();
}

struct HttpHost::Impl {
  HttpHostOptions options;
  ClassRegistry classes;
  httplib::Server server;
  std::shared_ptr<Application> application = std::make_shared<HttpApplication>();
  using Clock = std::chrono::steady_clock;
  struct SessionSlot {
    std::shared_ptr<SessionValues> session;
    Clock::time_point lastUsed;
  };
  std::mutex sessionsMutex;
  std::map<std::string, SessionSlot> sessions;
  Clock::time_point lastSweep = Clock::now();
  int port = 0;

  // The visitor's session, made (with a new cookie) when the request has none
  // or its session has been idle longer than the timeout. Idle sessions are
  // dropped, so visitors that never send the cookie back (scripts, crawlers)
  // cannot grow the table without bound.
  std::shared_ptr<SessionValues> session(const httplib::Request& req, httplib::Response& res) {
    const Clock::time_point now = Clock::now();
    const auto timeout = options.sessionTimeout;
    std::lock_guard lock(sessionsMutex);
    std::string id = cookieValue(req, kSessionCookie);
    if (auto it = sessions.find(id); !id.empty() && it != sessions.end()) {
      if (now - it->second.lastUsed <= timeout) {
        it->second.lastUsed = now;
        return it->second.session;
      }
      sessions.erase(it);
    }
    // A sweep visits every session: at most once per second (or per timeout).
    if (now - lastSweep >= std::min<Clock::duration>(timeout, std::chrono::seconds(1))) {
      std::erase_if(sessions, [&](const auto& entry) { return now - entry.second.lastUsed > timeout; });
      lastSweep = now;
    }
    id = newSessionId();
    auto s = std::make_shared<SessionValues>();
    sessions[id] = SessionSlot{s, now};
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Lax");
    return s;
  }

  // 128 bits from the kernel's cryptographic generator: the cookie is the
  // only proof of a login, so it must not be guessable from earlier ones.
  static std::string newSessionId() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
      const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        raise(err::kCannotCreate, "no random bytes for a session id");
      }
    }
    static const char* hex = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
      id += hex[b >> 4];
      id += hex[b & 15];
    }
    return id;
  }

  void run(const PageHandler& page, const httplib::Request& req, httplib::Response& res) {
    auto response = std::make_shared<HttpResponse>();
    auto ctx = std::make_shared<HttpContext>(
        application, makeHttpRequest(req), response,
        std::make_shared<HttpServerObject>(options.siteRoot, req.path, classes), session(req, res));
    PageEnv env{ctx, nullptr};
    try {
      env.db = std::dynamic_pointer_cast<DbClass>(ctx->server()->createObject("kvdnAspDll.dbClass"));
      if (!env.db) raise(err::kTypeMismatch, "kvdnAspDll.dbClass is not a dbClass");
      env.db->OnStartPage(ctx);
      page(env);
      env.db->OnEndPage();
    } catch (const ComError& e) {
      fail(req, res, env, std::to_string(e.number()), e.description());
      return;
    } catch (const std::exception& e) {
      fail(req, res, env, "-", e.what());
      return;
    }
    if (!response->location_.empty()) {
      res.status = 302;
      res.set_header("Location", response->location_);
    }
    res.set_content(response->body_, "text/html; charset=utf-8");
  }

  static void fail(const httplib::Request& req, httplib::Response& res, PageEnv& env,
                   const std::string& number, const std::string& description) {
    std::cerr << "kvdn-http: " << req.method << " " << req.target << ": error " << number << ": "
              << description << std::endl;
    if (env.db) {
      try {
        env.db->OnEndPage();
      } catch (const ComError& e) {
        std::cerr << "kvdn-http: OnEndPage: error " << e.number() << ": " << e.description() << std::endl;
      }
    }
    res.status = 500;
    res.set_content(
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Page error</title></head><body>"
        "<h1>The page failed</h1><p>Error " +
            htmlEscape(number) + ": " + htmlEscape(description) + "</p><p>Page: " + htmlEscape(req.path) +
            "</p></body></html>",
        "text/html; charset=utf-8");
  }
};

HttpHost::HttpHost(HttpHostOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  registerStandardClasses(impl_->classes);
  const int threads = impl_->options.threads > 0 ? impl_->options.threads : 8;
  impl_->server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  impl_->server.set_payload_max_length(8 * 1024 * 1024);
  // Answers leave in more than one write (headers, then body). Without
  // TCP_NODELAY the second write waits for the client's delayed ACK, about
  // 40 ms on Linux, for every request after the first on a kept-alive
  // connection. Browsers and load tools keep connections: allow 100 requests
  // on one instead of the library's 5.
  impl_->server.set_tcp_nodelay(true);
  impl_->server.set_keep_alive_max_count(100);
  for (const auto& folder : impl_->options.staticFolders) {
    impl_->server.set_mount_point("/" + folder, (impl_->options.siteRoot / folder).string());
  }
  impl_->server.set_exception_handler(
      [](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
        std::cerr << "kvdn-http: " << req.method << " " << req.target << ": unexpected failure" << std::endl;
        res.status = 500;
        res.set_content("<!DOCTYPE html><html><body><h1>The page failed</h1></body></html>",
                        "text/html; charset=utf-8");
      });
}

HttpHost::~HttpHost() {
  stop();
}

ClassRegistry& HttpHost::classes() {
  return impl_->classes;
}

void HttpHost::addPage(const std::string& path, PageHandler handler) {
  auto shared = std::make_shared<PageHandler>(std::move(handler));
  std::string pattern;
  for (char c : path) {
    if (std::string_view(".^$|()[]{}*+?\\").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  auto call = [this, shared](const httplib::Request& req, httplib::Response& res) {
    impl_->run(*shared, req, res);
  };
  impl_->server.Get(pattern, call);
  impl_->server.Post(pattern, call);
}

bool HttpHost::bind() {
  if (impl_->options.port == 0) {
    impl_->port = impl_->server.bind_to_any_port(impl_->options.address);
  } else {
    impl_->port =
        impl_->server.bind_to_port(impl_->options.address, impl_->options.port) ? impl_->options.port : -1;
  }
  if (impl_->port <= 0) {
    std::cerr << "kvdn-http: cannot listen on " << impl_->options.address << ":" << impl_->options.port
              << std::endl;
    return false;
  }
  return true;
}

int HttpHost::port() const {
  return impl_->port;
}

bool HttpHost::serve() {
  return impl_->server.listen_after_bind();
}

void HttpHost::stop() {
  if (impl_->server.is_running()) impl_->server.stop();
}

}  // namespace kvdn
